#include "fleet/SiteBoard.h"

#include "logfiler/modLogReader.h"
#include "platform/Clock.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <utility>

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
    if (state == QLatin1String("maintenance"))
        return BoardRow::Link::Maintenance;
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
    case SiteState::Maintenance: return BoardRow::Link::Maintenance;
    case SiteState::Starting: break;
    }
    return BoardRow::Link::Unknown;
}

const Sparkline kNoTrend;
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
    case BoardRow::Link::NotConnected: return QStringLiteral("未接続");
    case BoardRow::Link::Maintenance: return QStringLiteral("保守中");
    case BoardRow::Link::Unknown: break;
    }
    return QString();
}

SiteBoard::SiteBoard(QObject *parent) : QObject(parent), m_since(Now())
{
    // Every step of an alarm changes the list of alarms.
    connect(this, &SiteBoard::alarmStep, this, &SiteBoard::alarmsChanged);
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
    // The history: the last hour in full, then a band of a lowest and highest value per 10 s.
    m_history << SiteHistory{{}, std::make_shared<TrendSeries>(TrendSeries::Summarised{})};
    m_index.insert(name, int(m_rows.size() - 1));
    emit rowAdded(name);
    return int(m_rows.size() - 1);
}

const Sparkline &SiteBoard::sparkline(int index) const
{
    return index >= 0 && index < m_history.size() ? m_history[index].trend : kNoTrend;
}

qint64 SiteBoard::sparklineBytes(int index) const
{
    return index >= 0 && index < m_history.size() ? Sparkline::bytes() : 0;
}

std::shared_ptr<const TrendSeries> SiteBoard::history(int index) const
{
    return index >= 0 && index < m_history.size() ? m_history[index].series : nullptr;
}

std::shared_ptr<TrendSeries> SiteBoard::historyToMerge(int index)
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
    if (!topic.startsWith(prefix + QLatin1Char('/')) || payload.size() > kMaxAlarmsPayload ||
        (payload.size() > kMaxPayload && !topic.endsWith(QLatin1String("/alarms")) &&
         !topic.endsWith(QLatin1String("/settings"))))
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
        const QString &watcher = parts[1];
        if (down == m_downWatchers.contains(watcher))
            return true;
        if (down)
            m_downWatchers.insert(watcher);
        else
            m_downWatchers.remove(watcher);
        // One alarm of the watcher; its sites wait without alarms of their own.
        sourceCause(watcher, AlarmCause::ServiceDown, down);
        const qint64 now = clockService().elapsedMs();
        for (int i = 0; i < m_rows.size(); ++i) {
            BoardRow &r = m_rows[i];
            if (r.watcher != watcher)
                continue;
            if (down) {
                r.link = BoardRow::Link::ServiceDown;
                suppress(i);
            } else if (!m_brokerDown) {
                r.link = r.ownLink;
                resume(i, now);
            }
            emit rowChanged(r.name);
        }
        return true;
    }
    const QString &name = parts[0];
    if (!siteName(name))
        return drop();
    // An empty retained state: the watcher dropped the site.
    if (payload.isEmpty() && parts[1] == QLatin1String("settings")) {
        // The site has no golden file any more.
        const int i = rowFor(name);
        if (i >= 0 && m_rows[i].hasSettings) {
            m_rows[i].hasSettings = false;
            m_rows[i].settings = {};
            ++m_rows[i].settingsTaken;
            emit rowChanged(name);
        }
        return true;
    }
    if (payload.isEmpty())
        return parts[1] == QLatin1String("state") || parts[1] == QLatin1String("alarms") || drop();
    if (parts[1] == QLatin1String("settings")) {
        const int i = rowFor(name);
        SettingsAuditMessage m;
        if (i < 0 || !ParseSettingsAudit(payload, &m) || m.site != name)
            return drop();
        m_rows[i].hasSettings = true;
        m_rows[i].settings = m;
        ++m_rows[i].settingsTaken;
        emit rowChanged(name);
        return true;
    }
    if (parts[1] == QLatin1String("alarms")) {
        const int i = rowFor(name);
        return (i >= 0 && takeAlarms(i, payload)) || drop();
    }
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
    r.maintenance = o.value(QStringLiteral("maintenance")).toString().left(200);
    if (const std::optional<quint8> warn = ParseOutputList(o.value(QStringLiteral("warn_outputs")).toString().left(40)))
        r.warnMask = *warn;
    // How often the watcher asks the site (20 ms to a minute): silence is judged against it.
    const int interval = o.value(QStringLiteral("interval_ms")).toInt();
    if (interval >= kWatchIntervalMin && interval <= kWatchIntervalMax) {
        r.intervalMs = interval;
        r.intervalGiven = true;
    }
    const BoardRow::Link link = linkOf(o.value(QStringLiteral("state")).toString());
    // A site its watcher stopped, or whose watcher is gone, waits for the watcher, whose own
    // state is the alarm; what the site's own state says is followed beneath.
    const bool waits = link == BoardRow::Link::Stopped || m_downWatchers.contains(r.watcher);
    // A site lent for maintenance is silent on purpose: nothing of it is raised meanwhile.
    const bool maintenance = link == BoardRow::Link::Maintenance;
    if (waits || maintenance)
        suppress(i);
    if (link != BoardRow::Link::Stopped && !maintenance)
        r.ownLink = link;
    cause(i, AlarmCause::NoReply, r.ownLink == BoardRow::Link::NoReply);
    cause(i, AlarmCause::Lost, r.ownLink == BoardRow::Link::Lost);
    r.link = waits ? BoardRow::Link::ServiceDown
             : m_brokerDown ? BoardRow::Link::NotConnected
             : maintenance ? BoardRow::Link::Maintenance
                           : r.ownLink;
    if (!waits && !maintenance && r.suppressed && !m_brokerDown)
        resume(i, clockService().elapsedMs());
    emit rowChanged(name);
    return true;
}

void SiteBoard::takeReading(const QString &name, const Reading &r, int intervalMs)
{
    const int i = addSite(name);
    if (i < 0)
        return;
    m_rows[i].intervalMs = intervalMs;
    m_rows[i].intervalGiven = intervalMs > 0;
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
    r.link = r.ownLink = linkOf(state);
    cause(i, AlarmCause::NoReply, r.link == BoardRow::Link::NoReply);
    cause(i, AlarmCause::Lost, r.link == BoardRow::Link::Lost);
    emit rowChanged(name);
}

void SiteBoard::readingIn(int i, bool valueValid, double value, const QString &unit, int count, int outputs, qint64 nowMs,
                          qint64 sampleMs)
{
    BoardRow &r = m_rows[i];
    // Silence is judged against the interval the watcher's state or the configuration gives.
    // A watcher that gives none: the time between two readings tells it (the times they were
    // taken, where both are given and in order, since readings that waited arrive closer
    // together than they were taken). A longer gap is taken at once; a shorter one only halves
    // the way, so that a quick reading after a slow one does not make the next ordinary gap
    // look like silence.
    if (!r.intervalGiven && r.lastMs >= 0 && r.link != BoardRow::Link::Unknown) {
        qint64 seen = 0;
        if (sampleMs >= 0 && r.lastSampleMs >= 0 && sampleMs > r.lastSampleMs)
            seen = sampleMs - r.lastSampleMs;
        else if (nowMs > r.lastMs)
            seen = nowMs - r.lastMs;
        seen = qMin<qint64>(seen, 3600 * 1000);
        if (seen > 0)
            r.intervalMs = int(r.intervalMs == 0 || seen >= r.intervalMs ? seen : (r.intervalMs + seen) / 2);
    }
    r.lastMs = nowMs;
    r.lastSampleMs = sampleMs;
    r.valueValid = valueValid;
    r.value = value;
    r.unit = unit;
    r.count = count;
    r.outputs = outputs;
    if (r.ownLink == BoardRow::Link::Unknown)
        r.ownLink = BoardRow::Link::Online;
    if (!r.suppressed && (r.link == BoardRow::Link::Unknown || r.link == BoardRow::Link::ServiceDown ||
                          r.link == BoardRow::Link::NotConnected))
        r.link = BoardRow::Link::Online;
    SiteHistory &past = m_history[i];
    if (valueValid && std::isfinite(value))
        past.trend.add(nowMs, value);
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
    for (int ch = 1; ch <= 8; ++ch)
        if ((r.warnMask >> (ch - 1)) & 1)
            cause(i, OutputCause(ch), outputs >= 0 && ((outputs >> (ch - 1)) & 1));
    emit rowChanged(r.name);
}

void SiteBoard::check()
{
    const qint64 now = clockService().elapsedMs();
    for (int i = 0; i < m_rows.size(); ++i) {
        BoardRow &r = m_rows[i];
        // Behind a watcher or a broker that is gone, silence is theirs. A site not online
        // (応答なし, 切断 ...) is silent for the reason its state gives, which is its alarm;
        // back online, its silence counts from then.
        const bool online = r.link == BoardRow::Link::Online;
        if (!online)
            r.onlineSinceMs = BoardRow::kOffline;
        else if (r.onlineSinceMs == BoardRow::kOffline)
            r.onlineSinceMs = now;
        if (r.lastMs < 0 || r.intervalMs <= 0 || r.suppressed)
            continue;
        const bool stale = online && now - qMax(r.lastMs, r.onlineSinceMs) > qint64(kStaleIntervals) * r.intervalMs;
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
    // Suppressed, or the service's to tell (all but the view's own silence): what holds is
    // followed without a word, so that the row takes its true state back when it resumes.
    if (r.suppressed || (r.hasService && what != AlarmCause::Stale)) {
        if (holds)
            a.active << what;
        else
            a.active.removeAll(what);
        return;
    }
    if (!holds) {
        a.active.removeAll(what);
        emit alarmStep(r.name, AlarmStep::Cleared, what, QString());
        return;
    }
    a.active << what;
    a.raisedAt.insert(int(what), Now());
    emit alarmStep(r.name, AlarmStep::Raised, what, QString());
    if (a.latched)
        return;
    a.latched = true;
    a.first = what;
    ++m_unacked;
    emit alarmRaised(r.name, what);
    emit unacknowledgedChanged(unacknowledged());
}

void SiteBoard::sourceCause(const QString &key, AlarmCause what, bool holds)
{
    SiteAlarm &a = m_sources[key];
    if (holds == a.holds(what))
        return;
    if (!holds) {
        a.active.removeAll(what);
        emit alarmStep(key, AlarmStep::Cleared, what, QString());
        if (!a.latched)
            m_sources.remove(key);
        return;
    }
    a.active << what;
    a.raisedAt.insert(int(what), Now());
    emit alarmStep(key, AlarmStep::Raised, what, QString());
    if (a.latched)
        return;
    a.latched = true;
    a.first = what;
    ++m_unacked;
    emit alarmRaised(key, what);
    emit unacknowledgedChanged(unacknowledged());
}

bool SiteBoard::takeAlarms(int i, const QByteArray &payload)
{
    SiteAlarms next;
    if (!ParseAlarmsPayload(payload, &next) || next.site != m_rows[i].name)
        return false;
    // A list older than the one held (a retained one that crossed a newer) changes nothing.
    if (m_rows[i].hasService && next.seq < m_rows[i].service.seq)
        return true;
    takeAlarms(i, std::move(next));
    return true;
}

void SiteBoard::takeServiceAlarms(const QString &name, const SiteAlarms &alarms)
{
    const int i = addSite(name);
    if (i >= 0)
        takeAlarms(i, alarms);
}

void SiteBoard::takeAlarms(int i, SiteAlarms next)
{
    BoardRow &r = m_rows[i];
    const auto unacked = [](const SiteAlarms &s) {
        int n = 0;
        for (const Alarm &a : s.alarms)
            n += a.unacknowledged() ? 1 : 0;
        return n;
    };
    const SiteAlarms before = std::exchange(r.service, next);
    const bool first = !r.hasService;
    r.hasService = true;
    // The view's own latch of the site gives way to the service's.
    if (first && r.alarm.latched) {
        r.alarm.latched = false;
        --m_unacked;
    }
    m_serviceUnacked += unacked(r.service) - (first ? 0 : unacked(before));
    // The steps the view saw, for its alarm log; a new unacknowledged alarm rings, as the
    // view's own would. What was raised before the board began is the state it found, not news.
    const auto find = [](const SiteAlarms &s, AlarmCause c) -> const Alarm * {
        for (const Alarm &a : s.alarms)
            if (a.cause == c)
                return &a;
        return nullptr;
    };
    std::optional<AlarmCause> rang;
    for (int c = 0; c < kAlarmCauses; ++c) {
        const Alarm *was = find(before, AlarmCause(c)), *is = find(r.service, AlarmCause(c));
        const bool wasActive = was && was->active, isActive = is && is->active;
        const bool raisedAgain = is && was && is->raised.isValid() && is->raised != was->raised;
        const bool news = !is || !first || !is->raised.isValid() || is->raised >= m_since;
        if (!news)
            continue;
        if (isActive && (!wasActive || raisedAgain))
            emit alarmStep(r.name, AlarmStep::Raised, AlarmCause(c), QString());
        if (wasActive && !isActive && !first)
            emit alarmStep(r.name, AlarmStep::Cleared, AlarmCause(c), QString());
        // A shelved alarm waits for no one, but no one acknowledged it either: no 確認 line.
        const bool setAside = is && (is->state() == AlarmState::Shelved || is->state() == AlarmState::Suppressed);
        if (was && was->unacknowledged() && !(is && is->unacknowledged()) && !setAside && !first)
            emit alarmStep(r.name, AlarmStep::Acknowledged, AlarmCause(c), is ? is->ackedBy : QString());
        if (is && is->state() == AlarmState::Unack && (!was || was->state() != AlarmState::Unack || raisedAgain) &&
            !rang)
            rang = AlarmCause(c);
    }
    // One bell for what one list brought, named by its first cause.
    if (rang)
        emit alarmRaised(r.name, *rang);
    emit unacknowledgedChanged(unacknowledged());
    emit alarmsChanged();
    emit rowChanged(r.name);
}

void SiteBoard::suppress(int i)
{
    BoardRow &r = m_rows[i];
    if (r.suppressed)
        return;
    r.suppressed = true;
    r.heldBefore = r.alarm.active;
}

void SiteBoard::resume(int i, qint64 nowMs)
{
    BoardRow &r = m_rows[i];
    if (!r.suppressed)
        return;
    r.suppressed = false;
    if (r.lastMs >= 0)
        r.lastMs = nowMs;
    // What changed beneath is told now, as one change: a cause that came meanwhile is raised,
    // one that went is cleared.
    const QList<AlarmCause> now = std::exchange(r.alarm.active, std::exchange(r.heldBefore, {}));
    for (const AlarmCause c : QList<AlarmCause>(r.alarm.active))
        if (!now.contains(c))
            cause(i, c, false);
    for (const AlarmCause c : now)
        cause(i, c, true);
}

void SiteBoard::setBrokerUp(bool up, const QString &name)
{
    if (up)
        m_brokerSeen = true;
    if (!m_brokerName.isEmpty() && m_brokerName != name && m_brokerDown)
        sourceCause(m_brokerName, AlarmCause::BrokerDown, false);
    m_brokerName = name;
    if (up != m_brokerDown || (!up && !m_brokerSeen))
        return;
    m_brokerDown = !up;
    sourceCause(name, AlarmCause::BrokerDown, !up);
    const qint64 now = clockService().elapsedMs();
    for (int i = 0; i < m_rows.size(); ++i) {
        BoardRow &r = m_rows[i];
        if (r.watcher.isEmpty())
            continue; // a site the program polls itself
        if (!up) {
            r.link = BoardRow::Link::NotConnected;
            suppress(i);
        } else if (!m_downWatchers.contains(r.watcher)) {
            // The retained states come again with the subscription.
            r.link = r.ownLink;
            resume(i, now);
        } else {
            r.link = BoardRow::Link::ServiceDown;
        }
        emit rowChanged(r.name);
    }
}

void SiteBoard::acknowledge(const QStringList &names, const QString &user)
{
    bool any = false;
    // The sources' alarms: named, or behind a site named.
    QSet<QString> sources;
    for (const QString &name : names) {
        if (m_sources.contains(name))
            sources.insert(name);
        if (const BoardRow *r = row(name); r && !r->watcher.isEmpty()) {
            sources.insert(r->watcher);
            if (!m_brokerName.isEmpty())
                sources.insert(m_brokerName);
        }
    }
    for (const QString &key : sources) {
        const auto it = m_sources.find(key);
        if (it == m_sources.end() || !it->latched)
            continue;
        it->latched = false;
        --m_unacked;
        any = true;
        emit alarmStep(key, AlarmStep::Acknowledged, it->first, user);
        if (it->active.isEmpty())
            m_sources.erase(it);
    }
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
        emit unacknowledgedChanged(unacknowledged());
}

int SiteBoard::unacknowledged() const { return m_unacked + m_serviceUnacked; }

int SiteBoard::active() const
{
    int n = 0;
    for (const BoardRow &r : m_rows) {
        bool held = !r.suppressed && !r.alarm.active.isEmpty() && !r.hasService;
        for (const Alarm &a : r.service.alarms)
            held = held || a.state() == AlarmState::Unack || a.state() == AlarmState::Acked;
        n += held ? 1 : 0;
    }
    for (const SiteAlarm &a : m_sources)
        if (!a.active.isEmpty())
            ++n;
    return n;
}
