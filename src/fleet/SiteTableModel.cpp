#include "fleet/SiteTableModel.h"

#include "platform/Clock.h"

#include <QColor>
#include <QFont>
#include <algorithm>
#include <QPointF>

#include <limits>
#include <utility>

SiteTableModel::SiteTableModel(SiteBoard *board, QObject *parent) : QAbstractTableModel(parent), m_board(board)
{
    // The board only ever appends rows, and a row keeps its index.
    for (int i = 0; i < board->rows().size(); ++i)
        m_looks << lookOf(i);
    connect(board, &SiteBoard::rowAdded, this, [this](const QString &name) {
        const int i = m_board->indexOf(name);
        beginInsertRows(QModelIndex(), i, i);
        while (m_looks.size() <= i)
            m_looks << Look{};
        m_looks[i] = lookOf(i);
        endInsertRows();
    });
    connect(board, &SiteBoard::rowChanged, this, &SiteTableModel::rowChanged);
    m_ageTimer = new WindowTimer(this);
    m_ageTimer->setInterval(1000);
    m_ageTimer->onTick = [this] {
        if (rowCount() > 0)
            emit dataChanged(index(0, ColAge), index(rowCount() - 1, ColAge));
    };
    m_ageTimer->setEnabled(true);
}

SiteTableModel::~SiteTableModel() { m_ageTimer->setEnabled(false); }

namespace {
size_t colourKey(const QVariant &v) { return v.isValid() ? size_t(v.value<QColor>().rgba()) + 1 : 0; }
} // namespace

SiteTableModel::Look SiteTableModel::lookOf(int row) const
{
    const BoardRow &r = m_board->rows().at(row);
    const QModelIndex first = index(row, 0);
    Look k;
    k.cell[ColSite] = qHashMulti(0, r.name, r.title);
    k.cell[ColValue] = qHashMulti(0, r.valueValid, r.valueValid ? r.value : 0.0, r.unit);
    k.cell[ColTrend] = qHashMulti(0, m_board->sparkline(row).revision(), r.unit);
    k.cell[ColOutputs] = qHash(r.outputs);
    k.cell[ColLink] = qHashMulti(0, int(r.link), r.reason);
    k.cell[ColAge] = qHash(r.lastMs);
    // The alarm's words and the order it sorts in, from what they are made of (a cause raised
    // again was cleared before: its causes changed meanwhile). No clock is read for a row
    // without a shelved alarm: a reading costs no look at the time zone.
    size_t alarm = qHashMulti(0, r.alarm.latched, int(r.alarm.first), r.hasService, r.service.seq);
    for (const AlarmCause c : r.alarm.active)
        alarm = qHashMulti(alarm, int(c));
    for (const Alarm &a : r.service.alarms) {
        alarm = qHashMulti(alarm, int(a.cause), int(a.state()), a.active);
        if (a.shelved()) // its minutes left
            alarm = qHashMulti(alarm, stateText(a.state(), a.shelvedUntil, Now()));
    }
    k.cell[ColAlarm] = alarm;
    k.cell[ColSettings] = qHashMulti(0, r.hasSettings, r.settingsTaken);
    // The row's colours, and its values turned stale (greyed, their age told).
    k.row = qHashMulti(0, staleRow(r), colourKey(data(first, Qt::BackgroundRole)), colourKey(data(first, Qt::ForegroundRole)));
    return k;
}

void SiteTableModel::rowChanged(const QString &name)
{
    const int i = m_board->indexOf(name);
    if (i < 0 || i >= m_looks.size())
        return;
    const Look now = lookOf(i);
    const Look was = std::exchange(m_looks[i], now);
    if (now.row != was.row) {
        emit dataChanged(index(i, 0), index(i, ColumnCount - 1));
        return;
    }
    for (int c = 0; c < ColumnCount; ++c)
        if (now.cell[c] != was.cell[c])
            emit dataChanged(index(i, c), index(i, c));
}

int SiteTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_board->rows().size());
}

int SiteTableModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : ColumnCount; }

QString SiteTableModel::columnCaption(int column)
{
    static const char *const captions[ColumnCount] = {"サイト", "水位", "傾向(1時間)", "出力", "状態", "最終受信", "警報", "設定"};
    return column >= 0 && column < ColumnCount ? QString::fromUtf8(captions[column]) : QString();
}

QVariant SiteTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && (role == Qt::DisplayRole || role == Qt::AccessibleTextRole))
        return columnCaption(section);
    // A first click on 警報 sorts the alarms to the top.
    if (orientation == Qt::Horizontal && role == Qt::InitialSortOrderRole && section == ColAlarm)
        return int(Qt::DescendingOrder);
    if (orientation == Qt::Vertical && role == Qt::DisplayRole)
        return section + 1;
    return QVariant();
}

QString SiteTableModel::ageText(qint64 ms)
{
    if (ms < 0)
        return QStringLiteral("-");
    const qint64 s = ms / 1000;
    if (s < 60)
        return QStringLiteral("%1秒前").arg(s);
    if (s < 3600)
        return QStringLiteral("%1分%2秒前").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1時間%2分前").arg(s / 3600).arg(s / 60 % 60, 2, 10, QLatin1Char('0'));
}

QString SiteTableModel::outputsText(int outputs)
{
    if (outputs < 0)
        return QStringLiteral("-");
    QStringList parts;
    for (int ch = 1; ch <= 8; ++ch)
        parts << QStringLiteral("出力%1 %2").arg(ch).arg((outputs >> (ch - 1)) & 1 ? QStringLiteral("ON")
                                                                                : QStringLiteral("OFF"));
    return parts.join(QStringLiteral(", "));
}

QString SiteTableModel::lampText(int outputs, int ch)
{
    if (outputs < 0)
        return QStringLiteral("出力%1: -").arg(ch);
    return QStringLiteral("出力%1: %2").arg(ch).arg((outputs >> (ch - 1)) & 1 ? QStringLiteral("ON") : QStringLiteral("OFF"));
}

bool SiteTableModel::staleRow(const BoardRow &r)
{
    return r.link == BoardRow::Link::Lost || r.link == BoardRow::Link::ServiceDown ||
           r.link == BoardRow::Link::NotConnected;
}

QString SiteTableModel::staleNote(const BoardRow &r) const
{
    if (!staleRow(r) || r.lastMs < 0)
        return QString();
    return QStringLiteral(" (古い値 %1)").arg(ageText(qMax<qint64>(0, clockService().elapsedMs() - r.lastMs)));
}

QString SiteTableModel::trendText(const Sparkline &trend, const QString &unit)
{
    if (trend.isEmpty())
        return QStringLiteral("-");
    return QStringLiteral("最小 %1 最大 %2 %3").arg(trend.min(), 0, 'f', 2).arg(trend.max(), 0, 'f', 2).arg(unit);
}

QString SiteTableModel::alarmText(const SiteAlarm &a)
{
    if (a.latched)
        return AlarmCauseText(a.first);
    // An acknowledged alarm whose cause still holds stays in words, without the red.
    QStringList words;
    for (AlarmCause c : a.active)
        words << AlarmCauseText(c);
    return words.join(QStringLiteral(", "));
}

namespace {
// The order in which the service's states press: an unacknowledged alarm first.
int pressing(AlarmState s)
{
    switch (s) {
    case AlarmState::Unack: return 5;
    case AlarmState::Rtnun: return 4;
    case AlarmState::Acked: return 3;
    case AlarmState::Shelved: return 2;
    case AlarmState::Suppressed: return 1;
    case AlarmState::Normal: break;
    }
    return 0;
}
} // namespace

AlarmState SiteTableModel::serviceState(const SiteAlarms &alarms)
{
    AlarmState most = AlarmState::Normal;
    for (const Alarm &a : alarms.alarms)
        if (pressing(a.state()) > pressing(most))
            most = a.state();
    return most;
}

QString SiteTableModel::stateText(AlarmState state, const QDateTime &shelvedUntil, const QDateTime &now)
{
    switch (state) {
    case AlarmState::Unack: return QStringLiteral("未確認");
    case AlarmState::Acked: return QStringLiteral("確認済");
    case AlarmState::Rtnun: return QStringLiteral("復帰未確認");
    case AlarmState::Shelved:
        return QStringLiteral("抑制中 (残り%1分)").arg(qMax<qint64>(1, (now.secsTo(shelvedUntil) + 59) / 60));
    case AlarmState::Suppressed: return QStringLiteral("保守中");
    case AlarmState::Normal: break;
    }
    return QString();
}

QVariant SiteTableModel::stateColour(AlarmState state)
{
    switch (state) {
    case AlarmState::Unack: return QColor(Qt::white);
    case AlarmState::Acked: return QColor(0xC0, 0x00, 0x00);
    case AlarmState::Rtnun: return QColor(Qt::black);
    case AlarmState::Shelved:
    case AlarmState::Suppressed: return QColor(0x70, 0x70, 0x70);
    case AlarmState::Normal: break;
    }
    return QVariant();
}

QString SiteTableModel::serviceText(const SiteAlarms &alarms, const QDateTime &now)
{
    QList<const Alarm *> order;
    for (const Alarm &a : alarms.alarms)
        order << &a;
    std::stable_sort(order.begin(), order.end(),
                     [](const Alarm *a, const Alarm *b) { return pressing(a->state()) > pressing(b->state()); });
    // Each state once, with its first cause and how many more share it.
    QStringList words;
    AlarmState last = AlarmState::Normal;
    int more = 0;
    const auto flush = [&] {
        if (more > 0)
            words.last() += QStringLiteral(" 他%1件").arg(more);
        more = 0;
    };
    for (const Alarm *a : order) {
        if (!words.isEmpty() && a->state() == last) {
            ++more;
            continue;
        }
        flush();
        last = a->state();
        const QString state = stateText(a->state(), a->shelvedUntil, now);
        if (state.isEmpty())
            continue;
        words << state + QLatin1Char(' ') + AlarmCauseText(a->cause);
    }
    flush();
    return words.join(QStringLiteral(", "));
}

QString SiteTableModel::text(int row, int column) const
{
    const BoardRow &r = m_board->rows().at(row);
    switch (column) {
    case ColSite: return r.displayName();
    case ColValue:
        return r.valueValid ? QStringLiteral("%1 %2").arg(r.value, 0, 'f', 2).arg(r.unit).trimmed() : QStringLiteral("-");
    case ColTrend: return trendText(m_board->sparkline(row), r.unit);
    case ColOutputs: return outputsText(r.outputs);
    case ColLink: return BoardLinkText(r.link);
    case ColAge: return ageText(r.lastMs < 0 ? -1 : qMax<qint64>(0, clockService().elapsedMs() - r.lastMs));
    case ColAlarm: {
        // A site whose watcher keeps its alarms: the service's states, and the view's own
        // silence beside them.
        if (!r.hasService)
            return alarmText(r.alarm);
        QString t = serviceText(r.service, Now());
        if (r.alarm.holds(AlarmCause::Stale))
            t = t.isEmpty() ? AlarmCauseText(AlarmCause::Stale) : t + QStringLiteral(", ") + AlarmCauseText(AlarmCause::Stale);
        return t;
    }
    case ColSettings: return settingsText(r);
    }
    return QString();
}

QString SiteTableModel::settingsText(const BoardRow &r)
{
    if (!r.hasSettings)
        return QStringLiteral("未確認");
    if (r.settings.equal)
        return QStringLiteral("一致");
    return QStringLiteral("相違 %1件").arg(r.settings.differences.size());
}

QString SiteTableModel::settingsTip(const BoardRow &r)
{
    if (!r.hasSettings)
        return QString();
    QStringList lines{r.settings.golden + QStringLiteral(" (") +
                      r.settings.time.toLocalTime().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) +
                      QStringLiteral(" 読込)")};
    for (const AuditDifference &d : r.settings.differences)
        lines << d.name + QStringLiteral(": ") + d.golden + QStringLiteral(" → ") + d.controller;
    return lines.join(QLatin1Char('\n'));
}

QVariant SiteTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    const BoardRow &r = m_board->rows().at(index.row());
    const int c = index.column();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::AccessibleTextRole:
    case Qt::ToolTipRole: {
        // The site's name, and why it is not online.
        if (role == Qt::ToolTipRole && c == ColLink && !r.reason.isEmpty())
            return r.reason;
        if (role == Qt::ToolTipRole && c == ColSettings)
            return settingsTip(r);
        if (role == Qt::ToolTipRole && c == ColSite)
            return r.name;
        // A value, trend or lamps no longer current: how old they are, for the ear and the
        // pointer (the cell itself is greyed).
        const bool values = c == ColValue || c == ColTrend || c == ColOutputs;
        if (role != Qt::DisplayRole && values && staleRow(r) && r.lastMs >= 0)
            return text(index.row(), c) + staleNote(r);
        if (role == Qt::ToolTipRole)
            return QVariant();
        return text(index.row(), c);
    }
    case kStaleRole: return staleRow(r);
    case Qt::FontRole:
        if (staleRow(r) && (c == ColValue || c == ColTrend || c == ColOutputs || c == ColAge)) {
            QFont f;
            f.setItalic(true);
            return f;
        }
        return QVariant();
    case kSortRole:
        switch (c) {
        case ColSite: return r.displayName();
        case ColValue: return r.valueValid ? r.value : -1e300;
        case ColTrend: {
            const Sparkline &trend = m_board->sparkline(index.row());
            return trend.isEmpty() ? -1e300 : trend.last();
        }
        case ColOutputs: return r.outputs;
        case ColLink: return int(r.link);
        case ColAge: return r.lastMs < 0 ? std::numeric_limits<qint64>::max() : -r.lastMs;
        case ColAlarm: {
            // Alarms first when sorted by 警報 (descending, the order its header starts with):
            // unacknowledged above the rest, and within a state the newest first.
            const int level = r.hasService ? pressing(serviceState(r.service)) * 2
                              : r.alarm.latched ? 10 : r.alarm.active.isEmpty() ? 0 : 6;
            if (level == 0)
                return 0.0;
            qint64 newest = 0;
            for (const Alarm &a : r.service.alarms)
                newest = qMax(newest, a.raised.isValid() ? a.raised.toMSecsSinceEpoch() : 0);
            for (const QDateTime &t : r.alarm.raisedAt)
                newest = qMax(newest, t.toMSecsSinceEpoch());
            return level * 1e13 + double(newest);
        }
        case ColSettings: return !r.hasSettings ? -1 : int(r.settings.differences.size());
        }
        return QVariant();
    case kNameRole: return r.name;
    case kOutputsRole: return r.outputs;
    case kTrendRole: return QVariant::fromValue(m_board->sparkline(index.row()).points());
    case Qt::BackgroundRole:
        if (r.alarm.latched)
            return QColor(0xD0, 0x10, 0x10);
        // The service's: 未確認 red, 復帰未確認 yellow; 確認済 and 抑制中 in their text's colour.
        if (r.hasService) {
            const AlarmState st = serviceState(r.service);
            if (st == AlarmState::Unack)
                return QColor(0xD0, 0x10, 0x10);
            if (st == AlarmState::Rtnun)
                return QColor(0xF0, 0xD0, 0x30);
        }
        return QVariant();
    case Qt::ForegroundRole: {
        if (r.alarm.latched)
            return QColor(Qt::white);
        const QVariant colour = r.hasService ? stateColour(serviceState(r.service)) : QVariant();
        // A stale value greyed, unless the alarm's colours hold the row.
        if (!colour.isValid() && staleRow(r) && (c == ColValue || c == ColTrend || c == ColOutputs || c == ColAge))
            return QColor(0x80, 0x80, 0x80);
        return colour;
    }
    case Qt::TextAlignmentRole:
        if (c == ColValue || c == ColAge)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return QVariant();
}
