#include "fleet/SiteBoard.h"

#include "logfiler/modLogReader.h"
#include "platform/Clock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>

namespace {
bool siteName(const QString &s)
{
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_-]{1,40}$"));
    return re.match(s).hasMatch();
}

BoardRow::Link linkOf(const QString &state)
{
    if (state == QLatin1String("online"))
        return BoardRow::Link::Online;
    // A controller that refuses the polls or whose answers are not understood gives no
    // readings either: the row says 応答なし, and the state's reason says which.
    if (state == QLatin1String("no-reply") || state == QLatin1String("refused") || state == QLatin1String("garbled"))
        return BoardRow::Link::NoReply;
    if (state == QLatin1String("lost"))
        return BoardRow::Link::Lost;
    if (state == QLatin1String("stopped"))
        return BoardRow::Link::Stopped;
    return BoardRow::Link::Unknown;
}

BoardRow::Link linkOf(SiteState s)
{
    switch (s) {
    case SiteState::Online: return BoardRow::Link::Online;
    case SiteState::NoReply:
    case SiteState::Refused:
    case SiteState::Garbled: return BoardRow::Link::NoReply;
    case SiteState::Lost: return BoardRow::Link::Lost;
    case SiteState::Stopped: return BoardRow::Link::Stopped;
    case SiteState::Starting: break;
    }
    return BoardRow::Link::Unknown;
}

const QList<QPair<qint64, double>> kNoTrend;
} // namespace

QString AlarmStepText(AlarmStep step)
{
    switch (step) {
    case AlarmStep::Raised: return QStringLiteral("発生");
    case AlarmStep::Cleared: return QStringLiteral("解除");
    case AlarmStep::Acknowledged: break;
    }
    return QStringLiteral("確認");
}

QString BoardLinkText(BoardRow::Link link)
{
    switch (link) {
    case BoardRow::Link::Online: return QStringLiteral("通信中");
    case BoardRow::Link::NoReply: return AlarmCauseText(AlarmCause::NoReply);
    case BoardRow::Link::Lost: return AlarmCauseText(AlarmCause::Lost);
    case BoardRow::Link::Stopped:
    case BoardRow::Link::ServiceDown: return AlarmCauseText(AlarmCause::ServiceDown);
    case BoardRow::Link::Unknown: break;
    }
    return QString();
}

SiteBoard::SiteBoard(QObject *parent) : QObject(parent)
{
    m_timer = new WindowTimer(this);
    m_timer->setInterval(1000);
    m_timer->onTick = [this] { check(); };
    m_timer->setEnabled(true);
}

SiteBoard::~SiteBoard() { m_timer->setEnabled(false); }

const BoardRow *SiteBoard::row(const QString &name) const
{
    const int i = indexOf(name);
    return i < 0 ? nullptr : &m_rows[i];
}

int SiteBoard::rowFor(const QString &name)
{
    const int i = indexOf(name);
    if (i >= 0 || m_rows.size() >= kMaxRows)
        return i;
    BoardRow r;
    r.name = name;
    m_rows << r;
    m_history << SiteHistory{{}, std::make_shared<TrendSeries>()};
    m_index.insert(name, int(m_rows.size() - 1));
    emit rowAdded(name);
    return int(m_rows.size() - 1);
}

const QList<QPair<qint64, double>> &SiteBoard::sparkline(int index) const
{
    return index >= 0 && index < m_history.size() ? m_history[index].trend : kNoTrend;
}

std::shared_ptr<const TrendSeries> SiteBoard::history(int index) const
{
    return index >= 0 && index < m_history.size() ? m_history[index].series : nullptr;
}

int SiteBoard::addSite(const QString &name) { return siteName(name) ? rowFor(name) : -1; }

void SiteBoard::setTitle(const QString &name, const QString &title)
{
    const int i = addSite(name);
    if (i < 0 || m_rows[i].title == title)
        return;
    m_rows[i].title = title;
    emit rowChanged(name);
}

void SiteBoard::setWarnMask(const QString &name, quint8 mask)
{
    const int i = addSite(name);
    if (i >= 0)
        m_rows[i].warnMask = mask;
}

bool SiteBoard::takeMessage(const QString &prefix, const QString &topic, const QByteArray &payload)
{
    const auto drop = [this] {
        ++m_dropped;
        return false;
    };
    if (!topic.startsWith(prefix + QLatin1Char('/')) || payload.size() > kMaxPayload)
        return drop();
    const QStringList parts = topic.mid(prefix.size() + 1).split(QLatin1Char('/'));
    if (parts.size() != 2)
        return drop();
    if (parts[0] == QLatin1String(kWatcherTopicLevel)) {
        // A watcher's own state: when it stops (its last will, or a stop), its sites do.
        QJsonParseError err{};
        const QJsonObject o = QJsonDocument::fromJson(payload, &err).object();
        if (err.error != QJsonParseError::NoError)
            return drop();
        const bool down = o.value(QStringLiteral("state")).toString() != QLatin1String("running");
        for (int i = 0; i < m_rows.size(); ++i) {
            BoardRow &r = m_rows[i];
            if (r.watcher != parts[1])
                continue;
            const BoardRow::Link before = r.link;
            if (down)
                r.link = BoardRow::Link::ServiceDown;
            else if (r.link == BoardRow::Link::ServiceDown)
                r.link = BoardRow::Link::Unknown; // its sites' states follow
            if (r.link != before) {
                cause(i, AlarmCause::ServiceDown, down);
                emit rowChanged(r.name);
            }
        }
        return true;
    }
    const QString &name = parts[0];
    if (!siteName(name))
        return drop();
    // An empty retained state: the watcher dropped the site.
    if (payload.isEmpty())
        return parts[1] == QLatin1String("state") || drop();
    if (parts[1] != QLatin1String("reading") && parts[1] != QLatin1String("state"))
        return drop();
    QJsonParseError err{};
    const QJsonObject o = QJsonDocument::fromJson(payload, &err).object();
    if (err.error != QJsonParseError::NoError || o.value(QStringLiteral("site")).toString() != name)
        return drop();
    const int i = rowFor(name);
    if (i < 0)
        return drop();
    BoardRow &r = m_rows[i];
    if (parts[1] == QLatin1String("reading")) {
        // A reading that waited for the broker is no present value: the row keeps what the
        // live readings say.
        if (o.value(QStringLiteral("late")).toBool())
            return true;
        const QJsonValue v = o.value(QStringLiteral("value"));
        // The payloads write the distance in SI's "m"; the row shows the tool's own "M".
        QString unit = o.value(QStringLiteral("unit")).toString().left(8);
        if (unit == QLatin1String("m"))
            unit = QStringLiteral("M");
        const QString outs = o.value(QStringLiteral("outputs")).toString();
        bool ok = false;
        const int bits = outs.toInt(&ok, 16);
        const QDateTime taken =
            QDateTime::fromString(o.value(QStringLiteral("time")).toString().left(40), Qt::ISODateWithMs);
        readingIn(i, v.isDouble(), v.toDouble(), unit,
                  qBound(0, o.value(QStringLiteral("count")).toInt(), 1023), ok && outs.size() <= 2 ? bits : -1,
                  clockService().elapsedMs(), taken.isValid() ? taken.toMSecsSinceEpoch() : -1);
        return true;
    }
    r.title = o.value(QStringLiteral("title")).toString().left(80);
    r.watcher = o.value(QStringLiteral("watchd")).toString().left(80);
    r.reason = o.value(QStringLiteral("reason")).toString().left(400);
    if (const std::optional<quint8> warn = ParseOutputList(o.value(QStringLiteral("warn_outputs")).toString().left(40)))
        r.warnMask = *warn;
    const BoardRow::Link link = linkOf(o.value(QStringLiteral("state")).toString());
    const BoardRow::Link before = r.link;
    r.link = link == BoardRow::Link::Stopped ? BoardRow::Link::ServiceDown : link;
    if (r.link != before) {
        cause(i, AlarmCause::NoReply, r.link == BoardRow::Link::NoReply);
        cause(i, AlarmCause::Lost, r.link == BoardRow::Link::Lost);
        cause(i, AlarmCause::ServiceDown, r.link == BoardRow::Link::ServiceDown);
    }
    emit rowChanged(name);
    return true;
}

void SiteBoard::takeReading(const QString &name, const Reading &r, int intervalMs)
{
    const int i = addSite(name);
    if (i < 0)
        return;
    m_rows[i].intervalMs = intervalMs;
    readingIn(i, r.valueValid, r.value, r.unit, r.count, r.outputsValid ? r.outputs : -1, clockService().elapsedMs(),
              r.time.isValid() ? r.time.toMSecsSinceEpoch() : -1);
}

void SiteBoard::takeState(const QString &name, SiteState state, const QString &reason)
{
    const int i = addSite(name);
    if (i < 0)
        return;
    BoardRow &r = m_rows[i];
    r.reason = reason;
    r.link = linkOf(state);
    cause(i, AlarmCause::NoReply, r.link == BoardRow::Link::NoReply);
    cause(i, AlarmCause::Lost, r.link == BoardRow::Link::Lost);
    emit rowChanged(name);
}

void SiteBoard::readingIn(int i, bool valueValid, double value, const QString &unit, int count, int outputs, qint64 nowMs,
                          qint64 sampleMs)
{
    BoardRow &r = m_rows[i];
    // A watcher publishes no interval: the time between two readings tells it. The times the
    // readings were taken, where both are given and in order, since readings that waited
    // (for the broker, or in a busy network) arrive closer together than they were taken.
    if (r.lastMs >= 0 && r.link != BoardRow::Link::Unknown) {
        qint64 seen = 0;
        if (sampleMs >= 0 && r.lastSampleMs >= 0 && sampleMs > r.lastSampleMs)
            seen = sampleMs - r.lastSampleMs;
        else if (nowMs > r.lastMs)
            seen = nowMs - r.lastMs;
        seen = qMin<qint64>(seen, 3600 * 1000);
        if (seen > 0 && (r.intervalMs == 0 || seen < r.intervalMs))
            r.intervalMs = int(seen);
    }
    r.lastMs = nowMs;
    r.lastSampleMs = sampleMs;
    r.valueValid = valueValid;
    r.value = value;
    r.unit = unit;
    r.count = count;
    r.outputs = outputs;
    if (r.link == BoardRow::Link::Unknown || r.link == BoardRow::Link::ServiceDown)
        r.link = BoardRow::Link::Online;
    SiteHistory &past = m_history[i];
    if (valueValid) {
        QList<QPair<qint64, double>> &trend = past.trend;
        if (trend.isEmpty() || nowMs - trend.last().first >= kTrendStepMs)
            trend << qMakePair(nowMs, value);
        else
            trend.last().second = value;
        while (!trend.isEmpty() && nowMs - trend.first().first > kTrendSpanMs)
            trend.removeFirst();
    }
    // The history: a value past what 16 bits of hundredths hold is kept at its bound.
    const bool has = valueValid && std::isfinite(value);
    const quint16 raw = has ? quint16(qBound(0.0, std::round(value * 100) + kHundredthsZero, 65535.0)) : 0;
    quint8 flags = has ? 0 : TrendSeries::NoValue;
    if (outputs < 0)
        flags |= TrendSeries::NoOutputs;
    TrendSeries &h = *past.series;
    h.append(sampleMs >= 0 ? sampleMs : Now().toMSecsSinceEpoch(), raw, quint8(outputs >= 0 ? outputs : 0), flags);
    if (h.firstMs() < h.lastMs() - kHistoryMs)
        h.dropBefore(h.lastMs() - kHistoryMs);
    h.keepAtMost(kHistoryMaxReadings);
    // Times that keep going back (a watcher's clock, or a hostile one): the oldest stretch goes.
    if (h.stepCount() > TrendSeries::kMaxSteps)
        h.keepAtMost(h.size() - h.steps().front().index);
    cause(i, AlarmCause::Stale, false);
    cause(i, AlarmCause::ServiceDown, false);
    for (int ch = 1; ch <= 8; ++ch)
        if ((r.warnMask >> (ch - 1)) & 1)
            cause(i, OutputCause(ch), outputs >= 0 && ((outputs >> (ch - 1)) & 1));
    emit rowChanged(r.name);
}

void SiteBoard::check()
{
    const qint64 now = clockService().elapsedMs();
    for (int i = 0; i < m_rows.size(); ++i) {
        const BoardRow &r = m_rows[i];
        if (r.lastMs < 0 || r.intervalMs <= 0)
            continue;
        const bool stale = now - r.lastMs > qint64(kStaleIntervals) * r.intervalMs;
        if (stale != r.alarm.holds(AlarmCause::Stale)) {
            cause(i, AlarmCause::Stale, stale);
            emit rowChanged(r.name);
        }
    }
}

void SiteBoard::cause(int i, AlarmCause what, bool holds)
{
    BoardRow &r = m_rows[i];
    SiteAlarm &a = r.alarm;
    if (holds == a.holds(what))
        return;
    if (!holds) {
        a.active.removeAll(what);
        emit alarmStep(r.name, AlarmStep::Cleared, what, QString());
        return;
    }
    a.active << what;
    emit alarmStep(r.name, AlarmStep::Raised, what, QString());
    if (a.latched)
        return;
    a.latched = true;
    a.first = what;
    ++m_unacked;
    emit alarmRaised(r.name, what);
    emit unacknowledgedChanged(m_unacked);
}

void SiteBoard::acknowledge(const QStringList &names, const QString &user)
{
    bool any = false;
    for (const QString &name : names) {
        const int i = indexOf(name);
        if (i < 0 || !m_rows[i].alarm.latched)
            continue;
        BoardRow &r = m_rows[i];
        r.alarm.latched = false;
        --m_unacked;
        any = true;
        emit alarmStep(r.name, AlarmStep::Acknowledged, r.alarm.first, user);
        emit rowChanged(r.name);
    }
    if (any)
        emit unacknowledgedChanged(m_unacked);
}

int SiteBoard::unacknowledged() const { return m_unacked; }
