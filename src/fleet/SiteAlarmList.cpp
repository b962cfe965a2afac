#include "fleet/SiteAlarmList.h"

#include "fleet/SiteTableModel.h"
#include "platform/Clock.h"

#include <QColor>

#include <algorithm>
#include <limits>

SiteAlarmList::SiteAlarmList(SiteBoard *board, QObject *parent) : QAbstractTableModel(parent), m_board(board)
{
    connect(board, &SiteBoard::alarmsChanged, this, &SiteAlarmList::changed);
    connect(board, &SiteBoard::unacknowledgedChanged, this, &SiteAlarmList::changed);
    // A site's title may come after its alarm.
    connect(board, &SiteBoard::rowAdded, this, &SiteAlarmList::changed);
    m_minute = new WindowTimer(this);
    m_minute->setInterval(60 * 1000);
    m_minute->onTick = [this] {
        if (std::any_of(m_lines.begin(), m_lines.end(),
                        [](const AlarmLine &l) { return l.state == AlarmState::Shelved; }))
            emit dataChanged(index(0, ColState), index(rowCount() - 1, ColState));
    };
    m_minute->setEnabled(true);
    m_lines = linesOf(board);
}

SiteAlarmList::~SiteAlarmList() { m_minute->setEnabled(false); }

void SiteAlarmList::changed()
{
    // Many changes at once (a watcher's sites back together) make the list once.
    if (m_pending)
        return;
    m_pending = true;
    QMetaObject::invokeMethod(this, &SiteAlarmList::refresh, Qt::QueuedConnection);
}

void SiteAlarmList::refresh()
{
    m_pending = false;
    beginResetModel();
    m_lines = linesOf(m_board);
    endResetModel();
}

namespace {
// The view's own alarm read as the service's states.
void ownLines(QList<AlarmLine> &out, const QString &name, const QString &shown, const SiteAlarm &a, bool suppressed)
{
    const auto add = [&](AlarmCause c, AlarmState st) {
        out << AlarmLine{a.raisedAt.value(int(c)), name, shown, c, st, {}};
    };
    if (a.latched && !a.holds(a.first))
        add(a.first, AlarmState::Rtnun);
    for (AlarmCause c : a.active) {
        if (a.latched && c == a.first)
            add(c, AlarmState::Unack);
        else if (!suppressed)
            add(c, a.latched ? AlarmState::Unack : AlarmState::Acked);
    }
}
} // namespace

QList<AlarmLine> SiteAlarmList::linesOf(const SiteBoard *board)
{
    QList<AlarmLine> out;
    for (const BoardRow &r : board->rows()) {
        if (!r.hasService) {
            ownLines(out, r.name, r.displayName(), r.alarm, r.suppressed);
            continue;
        }
        for (const Alarm &a : r.service.alarms)
            out << AlarmLine{a.raised, r.name, r.displayName(), a.cause, a.state(), a.shelvedUntil};
        // The view's own silence beside the service's.
        if (r.alarm.holds(AlarmCause::Stale))
            out << AlarmLine{r.alarm.raisedAt.value(int(AlarmCause::Stale)), r.name, r.displayName(), AlarmCause::Stale,
                             r.alarm.latched ? AlarmState::Unack : AlarmState::Acked, {}};
    }
    for (auto it = board->sourceAlarms().begin(); it != board->sourceAlarms().end(); ++it)
        ownLines(out, it.key(), it.key(), it.value(), false);
    // Newest first; an alarm of no known time last; the same time by site and cause.
    const auto time = [](const AlarmLine &l) {
        return l.raised.isValid() ? l.raised.toMSecsSinceEpoch() : std::numeric_limits<qint64>::min();
    };
    std::stable_sort(out.begin(), out.end(), [&time](const AlarmLine &a, const AlarmLine &b) {
        if (time(a) != time(b))
            return time(a) > time(b);
        if (a.shown != b.shown)
            return a.shown < b.shown;
        return a.cause < b.cause;
    });
    return out;
}

int SiteAlarmList::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : int(m_lines.size()); }

int SiteAlarmList::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant SiteAlarmList::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const char *const captions[ColumnCount] = {"発生時刻", "サイト", "原因", "状態"};
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) && section >= 0 &&
        section < ColumnCount)
        return QString::fromUtf8(captions[section]);
    return QVariant();
}

QVariant SiteAlarmList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const AlarmLine &l = m_lines.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
        switch (index.column()) {
        case ColRaised:
            return l.raised.isValid() ? l.raised.toLocalTime().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"))
                                      : QStringLiteral("-");
        case ColSite: return l.shown;
        case ColCause: return AlarmCauseText(l.cause);
        case ColState: return SiteTableModel::stateText(l.state, l.shelvedUntil, Now());
        }
        return QVariant();
    case Qt::ToolTipRole:
        return index.column() == ColSite ? QVariant(l.name) : QVariant();
    case kNameRole: return l.name;
    case Qt::BackgroundRole:
        if (l.state == AlarmState::Unack)
            return QColor(0xD0, 0x10, 0x10);
        if (l.state == AlarmState::Rtnun)
            return QColor(0xF0, 0xD0, 0x30);
        return QVariant();
    case Qt::ForegroundRole: return SiteTableModel::stateColour(l.state);
    }
    return QVariant();
}
