#include "fleet/WatchAlarms.h"

#include "link/LinkSession.h"
#include "link/Reading.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/TextFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <cmath>
#include <set>

namespace {
// Holds the publishing of the sites' lists until the outermost hook has made all its
// changes: a reading that turns three outputs on publishes the site once.
class Batch {
public:
    Batch(int &depth, std::function<void()> done) : m_depth(depth), m_done(std::move(done)) { ++m_depth; }
    ~Batch()
    {
        if (--m_depth == 0)
            m_done();
    }

private:
    int &m_depth;
    std::function<void()> m_done;
};

// A field of the journal: a comma or a double quote puts it in quotes; line ends go.
QString csvField(QString t)
{
    t.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (t.contains(QLatin1Char(',')) || t.contains(QLatin1Char('"')))
        return QLatin1Char('"') + t.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
    return t;
}

// A user's text as the journal and the log take it: no control characters, one line.
QString cleanText(const QString &t)
{
    QString out;
    out.reserve(t.size());
    for (const QChar c : t)
        out += c.category() == QChar::Other_Control || c.category() == QChar::Other_Format ? QLatin1Char(' ') : c;
    return out.simplified();
}

QByteArray jsonValue(const QJsonValue &v)
{
    const QByteArray a = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2);
}

QString key(const QString &site, AlarmCause c)
{
    return site + QLatin1Char('/') + QLatin1String(AlarmCauseName(c));
}

// What the journal's reason column holds for the event.
QString reasonOf(const AlarmEvent &e)
{
    switch (e.kind) {
    case AlarmEvent::Kind::Raised: return e.alarm.value;
    case AlarmEvent::Kind::Shelved:
    case AlarmEvent::Kind::Suppressed: return e.reason;
    default: break;
    }
    return QString();
}
} // namespace

WatchAlarms::WatchAlarms(const WatchSettings &settings, Publish publish, QObject *parent)
    : QObject(parent), m_settings(settings), m_publish(std::move(publish)),
      m_notifier(std::make_unique<AlarmNotifier>(settings.notify)), m_saveTimer(std::make_unique<WindowTimer>()),
      m_tick(std::make_unique<WindowTimer>()), m_retry(std::make_unique<WindowTimer>())
{
    for (const WatchSite &s : settings.sites)
        m_sites.insert(s.name, s);
    m_book.setMaxShelveMinutes(settings.maxShelveMin);
    m_all.tokens = kAllBurst;
    m_all.lastMs = clockService().elapsedMs();
    connect(&m_book, &AlarmBook::changed, this, &WatchAlarms::onEvent);
    connect(&m_book, &AlarmBook::siteChanged, this, [this](const QString &site) {
        m_dirty.insert(site);
        if (m_batch == 0)
            publishDirty();
        scheduleSave(m_actPending);
    });
    connect(m_notifier.get(), &AlarmNotifier::logLine, this, &WatchAlarms::logLine);
    m_saveTimer->onTick = [this] { saveNow(); };
    m_tick->setInterval(kTickMs);
    m_tick->onTick = [this] { tick(); };
    m_tick->setEnabled(true);
    m_retry->setInterval(kRetryMs);
    m_retry->onTick = [this] {
        m_retry->setEnabled(false);
        publishDirty();
    };
}

WatchAlarms::~WatchAlarms()
{
    m_saveTimer->setEnabled(false);
    m_tick->setEnabled(false);
    m_retry->setEnabled(false);
}

QString WatchAlarms::prefix() const
{
    return m_settings.mqtt ? m_settings.mqtt->topicPrefix : QString();
}

const WatchSite *WatchAlarms::siteOf(const QString &name) const
{
    const auto it = m_sites.constFind(name);
    return it == m_sites.constEnd() ? nullptr : &*it;
}

namespace {
// One file per watcher (its client id is its own at the broker), so two watchers given the
// same folder keep apart.
QString statePathOf(const WatchSettings &s)
{
    if (s.stateDir.isEmpty())
        return QString();
    QString id = s.mqtt ? s.mqtt->clientId : QString();
    static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
    id.replace(unsafe, QStringLiteral("_"));
    return s.stateDir + (id.isEmpty() ? QStringLiteral("/alarms.json") : QStringLiteral("/alarms-%1.json").arg(id));
}
} // namespace

QString WatchAlarms::statePath() const
{
    return statePathOf(m_settings);
}

QString WatchAlarms::journalPath(const QDate &day) const
{
    return m_settings.logFolder + QStringLiteral("/alarms/qlvalarm") + day.toString(QStringLiteral("yyyyMMdd")) +
           QStringLiteral(".csv");
}

void WatchAlarms::start()
{
    const QString path = statePath();
    QByteArray bytes;
    const FileError e = path.isEmpty() ? MakeError(errFileNotFound) : ReadWholeFile(path, bytes, kMaxStateBytes);
    QString why;
    if (path.isEmpty()) {
        emit logLine(QStringLiteral("alarms: no state folder; they are not kept across a restart"));
    } else if (e.number == errFileNotFound) {
        emit logLine(QStringLiteral("alarms: none kept yet (%1)").arg(path));
    } else if (e.failed()) {
        emit logLine(QStringLiteral("alarms: cannot read %1 (%2); the watch starts with no alarms")
                         .arg(path, e.description));
    } else if (!m_book.load(bytes, &why)) {
        // Kept for whoever wants to see what went wrong; the next change writes a new file.
        WriteWholeFile(path + QStringLiteral(".corrupt"), bytes);
        emit logLine(QStringLiteral("alarms: %1 cannot be used (%2); it is kept as %1.corrupt and the watch starts "
                                    "with no alarms")
                         .arg(path, why));
    } else {
        int count = 0;
        for (const QString &site : m_book.sites())
            count += int(m_book.site(site).alarms.size());
        emit logLine(QStringLiteral("alarms: %1 of %2 sites from %3, %4 not acknowledged")
                         .arg(count)
                         .arg(m_book.sites().size())
                         .arg(path)
                         .arg(m_book.unacknowledged()));
    }
    Batch b(m_batch, [this] { publishDirty(); });
    for (const QString &site : m_book.sites())
        if (!m_sites.contains(site) && !m_book.suppressed(site))
            m_book.setSuppressed(site, true, QStringLiteral("not in the configuration"));
}

void WatchAlarms::reload(const WatchSettings &next)
{
    const bool moved = statePath() != statePathOf(next);
    m_settings = next;
    m_book.setMaxShelveMinutes(next.maxShelveMin);
    m_notifier->setSettings(next.notify);
    if (moved)
        saveNow();
}

void WatchAlarms::stop()
{
    m_tick->setEnabled(false);
    m_notifier->stop();
    saveNow();
}

void WatchAlarms::siteAdded(const WatchSite &site)
{
    Batch b(m_batch, [this] { publishDirty(); });
    m_sites.insert(site.name, site);
    m_clearAtConnect.remove(site.name);
    m_inMaintenance.remove(site.name);
    if (m_book.suppressed(site.name))
        m_book.setSuppressed(site.name, false);
    // Consoles learn that the site's alarms are kept here, even while it has none.
    m_dirty.insert(site.name);
}

void WatchAlarms::siteRemoved(const QString &name)
{
    Batch b(m_batch, [this] { publishDirty(); });
    m_sites.remove(name);
    if (!m_book.site(name).alarms.isEmpty()) {
        m_book.setSuppressed(name, true, QStringLiteral("removed from the configuration"));
        return;
    }
    m_book.forget(name);
    m_dirty.remove(name);
    scheduleSave(true);
    if (m_settings.mqtt && !m_publish(prefix() + QLatin1Char('/') + name + QStringLiteral("/alarms"), QByteArray(), true))
        m_clearAtConnect.insert(name);
}

void WatchAlarms::stateConditions(AlarmBook &book, const QString &name, SiteState state, const QString &reason)
{
    const QDateTime now = Now();
    // One condition of the line at a time: the state says which.
    auto only = [&](std::optional<AlarmCause> on) {
        for (AlarmCause c : {AlarmCause::NoReply, AlarmCause::Lost, AlarmCause::Refused, AlarmCause::Garbled})
            if (c != on)
                book.setCondition(name, c, false, now);
        if (on)
            book.setCondition(name, *on, true, now, reason);
    };
    switch (state) {
    case SiteState::NoReply: only(AlarmCause::NoReply); break;
    case SiteState::Lost: only(AlarmCause::Lost); break;
    case SiteState::Refused: only(AlarmCause::Refused); break;
    case SiteState::Garbled: only(AlarmCause::Garbled); break;
    case SiteState::Online: only(std::nullopt); break;
    case SiteState::Starting:
    case SiteState::Stopped:
    case SiteState::Maintenance: break; // the watcher's own coming and going: nothing of the site's
    }
}

void WatchAlarms::readingConditions(AlarmBook &book, const QString &name, const Reading &r, quint8 warn)
{
    // The conditions a reading sets, compared with those that hold: most readings change
    // none, and then nothing more is made (no value text, no look-up per cause).
    const auto bit = [](AlarmCause c) { return 1u << int(c); };
    const AlarmCause lineCauses[] = {AlarmCause::NoReply, AlarmCause::Lost, AlarmCause::Refused, AlarmCause::Garbled};
    const quint32 active = book.activeConditions(name);
    quint32 wanted = active;
    for (AlarmCause c : lineCauses)
        wanted &= ~bit(c);
    if (r.outputsValid)
        for (int ch = 1; ch <= 8; ++ch) {
            const bool on = ((warn >> (ch - 1)) & 1) && r.outputOn(ch);
            wanted = on ? wanted | bit(OutputCause(ch)) : wanted & ~bit(OutputCause(ch));
        }
    if (wanted == active)
        return;
    const QDateTime at = r.time.isValid() ? r.time : Now();
    for (AlarmCause c : lineCauses)
        if ((wanted ^ active) & bit(c))
            book.setCondition(name, c, false, at);
    if (!r.outputsValid)
        return;
    const QString value = r.valueValid ? r.valueText() + QLatin1Char(' ') + r.unit : QString();
    for (int ch = 1; ch <= 8; ++ch)
        if ((wanted ^ active) & bit(OutputCause(ch)))
            book.setCondition(name, OutputCause(ch), wanted & bit(OutputCause(ch)), at, value);
}

void WatchAlarms::siteState(const QString &name, SiteState state, const QString &reason)
{
    Batch b(m_batch, [this] { publishDirty(); });
    // A site in maintenance raises nothing; back from it, its alarms take their true state
    // with the polls.
    if (state == SiteState::Maintenance) {
        m_book.setSuppressed(name, true, QStringLiteral("maintenance: ") + reason);
        m_inMaintenance.insert(name);
        scheduleSave(true);
        return;
    }
    if (m_inMaintenance.remove(name)) {
        m_book.setSuppressed(name, false);
        scheduleSave(true);
    }
    stateConditions(m_book, name, state, reason);
}

void WatchAlarms::reading(const QString &name, const Reading &r)
{
    Batch b(m_batch, [this] { publishDirty(); });
    const WatchSite *site = siteOf(name);
    readingConditions(m_book, name, r, site ? site->warnOutputs : 0xFF);
}

void WatchAlarms::settingsAudited(const QString &name, bool differ, const QString &reason)
{
    Batch b(m_batch, [this] { publishDirty(); });
    m_book.setCondition(name, AlarmCause::Settings, differ, Now(), reason);
}

void WatchAlarms::onEvent(const AlarmEvent &e)
{
    if (e.kind != AlarmEvent::Kind::Raised && e.kind != AlarmEvent::Kind::Cleared)
        m_actPending = true;
    journal(e);
    QString line = e.site + QStringLiteral(": alarm ") + QLatin1String(AlarmCauseName(e.alarm.cause)) +
                   QLatin1Char(' ') + QLatin1String(AlarmEventName(e.kind));
    if (!e.user.isEmpty())
        line += QStringLiteral(" by ") + e.user;
    if (e.kind == AlarmEvent::Kind::Shelved)
        line += QStringLiteral(" until ") + e.alarm.shelvedUntil.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    line += QStringLiteral(" (") + QLatin1String(AlarmStateName(e.alarm.state())) + QLatin1Char(')');
    if (const QString why = reasonOf(e); !why.isEmpty())
        line += QStringLiteral(": ") + why;
    emit logLine(line);
    if (e.kind == AlarmEvent::Kind::Raised && e.alarm.state() == AlarmState::Unack) {
        m_notified[key(e.site, e.alarm.cause)] = clockService().elapsedMs();
        if (m_notifier->any())
            m_notifier->notify(notice(QStringLiteral("raise"), e.site, e.alarm));
    }
}

void WatchAlarms::journal(const AlarmEvent &e)
{
    const QDateTime at = e.at.isValid() ? e.at : Now();
    const QString path = journalPath(at.date());
    const QString line = at.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) + QLatin1Char(',') + e.site +
                         QLatin1Char(',') + AlarmEventText(e.kind) + QLatin1Char(',') +
                         AlarmCauseText(e.alarm.cause) + QLatin1Char(',') + csvField(e.user) + QLatin1Char(',') +
                         csvField(reasonOf(e));
    // The folder is made once per file (and again after a failure).
    if (path != m_journalPath || m_journalFailing)
        EnsureFolder(m_settings.logFolder + QStringLiteral("/alarms"));
    m_journalPath = path;
    const FileError err = m_journalFile.append(path, SjisEncode(line) + "\r\n");
    if (err.failed() && !m_journalFailing)
        emit logLine(QStringLiteral("alarms: cannot write the journal %1: %2; the log lines are the record until it "
                                    "can be written again")
                         .arg(path, err.description));
    else if (!err.failed() && m_journalFailing)
        emit logLine(QStringLiteral("alarms: writing the journal %1 again").arg(path));
    m_journalFailing = err.failed();
}

AlarmNotice WatchAlarms::notice(const QString &event, const QString &site, const Alarm &a) const
{
    AlarmNotice n;
    n.event = event;
    n.site = site;
    const WatchSite *cfg = siteOf(site);
    n.title = cfg && !cfg->title.isEmpty() ? cfg->title : site;
    n.cause = QLatin1String(AlarmCauseName(a.cause));
    n.causeText = AlarmCauseText(a.cause);
    n.state = QLatin1String(AlarmStateName(a.state()));
    n.time = a.raised.isValid() ? AlarmTimeText(a.raised) : QString();
    n.value = a.value;
    n.watchd = m_settings.mqtt ? m_settings.mqtt->clientId : QString();
    return n;
}

bool WatchAlarms::publishSite(const QString &name)
{
    if (!m_settings.mqtt)
        return true;
    if (m_publish(prefix() + QLatin1Char('/') + name + QStringLiteral("/alarms"), AlarmsPayload(m_book.site(name)),
                  true))
        return true;
    m_dirty.insert(name);
    return false;
}

void WatchAlarms::publishDirty()
{
    // The first list the client refuses (its queue is full) ends the pass: the rest stay
    // dirty for the retry timer, so a full queue costs one payload a pass, not one a site.
    // While the timer is armed, changes only mark their sites.
    if (m_retry->Enabled())
        return;
    while (!m_dirty.isEmpty()) {
        const QString name = *m_dirty.cbegin();
        m_dirty.erase(m_dirty.cbegin());
        if (!publishSite(name)) {
            m_retry->setEnabled(true);
            return;
        }
    }
}

void WatchAlarms::connected()
{
    if (!m_settings.mqtt)
        return;
    for (const QString &name : std::exchange(m_clearAtConnect, {}))
        if (!m_sites.contains(name) && !m_book.sites().contains(name))
            if (!m_publish(prefix() + QLatin1Char('/') + name + QStringLiteral("/alarms"), QByteArray(), true))
                m_clearAtConnect.insert(name);
    // Every list goes out again: as many as the client takes now, the rest by the retry timer.
    m_dirty.clear();
    for (const QString &name : m_sites.keys())
        m_dirty.insert(name);
    for (const QString &name : m_book.sites())
        m_dirty.insert(name);
    m_retry->setEnabled(false);
    publishDirty();
}

QString WatchAlarms::commandFilter() const
{
    return prefix() + QStringLiteral("/command/+/+");
}

void WatchAlarms::message(const QString &topic, const QByteArray &payload, bool retained)
{
    const QString base = prefix() + QStringLiteral("/command/");
    if (!m_settings.mqtt || !topic.startsWith(base))
        return;
    const QStringList levels = topic.mid(base.size()).split(QLatin1Char('/'));
    if (levels.size() != 2)
        return; // a result, or nothing of ours
    // A command is an act, not a state: one the broker kept is no one's act now.
    if (retained) {
        ++m_counts.retained;
        return;
    }
    const QString &user = levels[0];
    if (user.isEmpty() || user.size() > AlarmBook::kMaxUser || cleanText(user) != user || levels[1].size() > 100) {
        ++m_counts.malformed;
        return;
    }
    if (!allowed(user)) {
        ++m_counts.limited;
        return;
    }
    Batch b(m_batch, [this] { publishDirty(); });
    command(user, levels[1], payload);
}

bool WatchAlarms::take(Bucket &b, int burst, int perSecond, qint64 now)
{
    b.tokens = qMin(double(burst), b.tokens + double(now - b.lastMs) * perSecond / 1000.0);
    b.lastMs = now;
    if (b.tokens < 1)
        return false;
    b.tokens -= 1;
    return true;
}

bool WatchAlarms::allowed(const QString &user)
{
    const qint64 now = clockService().elapsedMs();
    auto it = m_users.find(user);
    if (it == m_users.end()) {
        if (m_users.size() >= kMaxUsers) {
            // Users whose buckets have filled again are remembered no longer.
            for (auto u = m_users.begin(); u != m_users.end();)
                u = u->tokens + double(now - u->lastMs) * kUserPerSecond / 1000.0 >= kUserBurst ? m_users.erase(u)
                                                                                                  : std::next(u);
            if (m_users.size() >= kMaxUsers)
                return false;
        }
        it = m_users.insert(user, Bucket{double(kUserBurst), now});
    }
    return take(*it, kUserBurst, kUserPerSecond, now) && take(m_all, kAllBurst, kAllPerSecond, now);
}

void WatchAlarms::command(const QString &user, const QString &site, const QByteArray &payload)
{
    const auto malformed = [&](const QByteArray &id, const QString &why) {
        ++m_counts.malformed;
        answer(user, site, id, false, why);
    };
    if (payload.size() > kMaxCommandBytes) {
        ++m_counts.oversized;
        answer(user, site, "null", false, QStringLiteral("too large"));
        return;
    }
    QJsonParseError err;
    const QJsonDocument doc = QJsonDocument::fromJson(payload, &err);
    if (err.error != QJsonParseError::NoError || !doc.isObject())
        return malformed("null", QStringLiteral("malformed"));
    const QJsonObject o = doc.object();
    const QJsonValue idv = o.value(QLatin1String("id"));
    if (!(idv.isUndefined() || idv.isNull() || idv.isDouble() || (idv.isString() && idv.toString().size() <= kMaxId)))
        return malformed("null", QStringLiteral("malformed"));
    const QByteArray id = idv.isUndefined() ? QByteArray("null") : jsonValue(idv);
    const QJsonValue actionV = o.value(QLatin1String("action")), causeV = o.value(QLatin1String("cause")),
                     minutesV = o.value(QLatin1String("minutes")), reasonV = o.value(QLatin1String("reason"));
    if (!actionV.isString() || !(causeV.isString() || causeV.isUndefined()) ||
        !(reasonV.isString() || reasonV.isUndefined() || reasonV.isNull()) ||
        reasonV.toString().size() > AlarmBook::kMaxReason)
        return malformed(id, QStringLiteral("malformed"));
    const QString action = actionV.toString();
    const QString causeText = causeV.isUndefined() ? QStringLiteral("all") : causeV.toString();
    const QString reason = cleanText(reasonV.toString());

    AlarmAnswer a;
    std::optional<AlarmCause> cause;
    if (action != QLatin1String("ack") && action != QLatin1String("shelve") && action != QLatin1String("unshelve")) {
        a.reason = QStringLiteral("unknown action");
    } else if (!m_sites.contains(site)) {
        a.reason = QStringLiteral("unknown site");
    } else if (causeText != QLatin1String("all") &&
               (!(cause = AlarmCauseFromName(causeText)) || !WatcherCause(*cause))) {
        // Stale, ServiceDown and BrokerDown are the office view's own causes, never the watcher's.
        a.reason = QStringLiteral("unknown cause");
    } else if (action == QLatin1String("ack")) {
        a = m_book.acknowledge(site, cause, user);
    } else if (action == QLatin1String("unshelve")) {
        a = m_book.unshelve(site, cause, user);
    } else if (!cause) {
        a.reason = QStringLiteral("shelve needs one cause");
    } else if (!minutesV.isDouble() || minutesV.toDouble() != std::floor(minutesV.toDouble()) ||
               minutesV.toDouble() < 1) {
        return malformed(id, QStringLiteral("malformed"));
    } else {
        const double minutes = minutesV.toDouble();
        a = minutes > m_book.maxShelveMinutes() ? AlarmAnswer{false, QStringLiteral("too long"), 0}
                                                : m_book.shelve(site, *cause, int(minutes), user, reason);
    }
    if (a.ok)
        ++m_counts.accepted;
    else
        ++m_counts.refused;
    emit logLine(QStringLiteral("command from %1 for %2: %3 %4: %5")
                     .arg(user, site.left(40), action.left(20), causeText.left(20),
                          a.ok ? QStringLiteral("done") : QStringLiteral("refused (%1)").arg(a.reason)));
    answer(user, site, id, a.ok, a.reason);
}

void WatchAlarms::answer(const QString &user, const QString &site, const QByteArray &id, bool ok,
                         const QString &reason)
{
    const QByteArray p = "{\"id\":" + id + ",\"ok\":" + (ok ? "true" : "false") +
                         ",\"reason\":" + jsonValue(QJsonValue(reason)) + '}';
    m_publish(prefix() + QStringLiteral("/command/") + user + QLatin1Char('/') + site + QStringLiteral("/result"), p,
              false);
}

void WatchAlarms::scheduleSave(bool act)
{
    const qint64 now = clockService().elapsedMs();
    const qint64 due = qMax(now + 1, m_lastSaveMs + (act ? kSaveGapMs : kConditionSaveMs));
    if (m_saveTimer->Enabled() && m_saveDueMs <= due)
        return;
    m_saveDueMs = due;
    m_saveTimer->setEnabled(false);
    m_saveTimer->setInterval(int(due - now));
    m_saveTimer->setEnabled(true);
}

void WatchAlarms::saveNow()
{
    m_saveTimer->setEnabled(false);
    m_saveDueMs = -1;
    m_actPending = false;
    m_lastSaveMs = clockService().elapsedMs();
    const QString path = statePath();
    if (path.isEmpty())
        return;
    EnsureFolder(m_settings.stateDir);
    const FileError e = WriteWholeFile(path, m_book.save());
    if (e.failed() && !m_saveFailing)
        emit logLine(QStringLiteral("alarms: cannot write %1: %2; tried again at the next change").arg(path, e.description));
    else if (!e.failed() && m_saveFailing)
        emit logLine(QStringLiteral("alarms: writing %1 again").arg(path));
    m_saveFailing = e.failed();
}

void WatchAlarms::renotify()
{
    const int everyMin = m_settings.notify.renotifyMin;
    // Nothing to tell again: the fleet's alarms are not walked (the times of the first
    // notices are kept at each raise, so a reload that sets a notice goes on from them).
    if (everyMin <= 0 || !m_notifier->any())
        return;
    const qint64 now = clockService().elapsedMs();
    std::set<QString> standing;
    for (const QString &site : m_book.sites()) {
        for (const Alarm &a : m_book.site(site).alarms) {
            if (!a.unacknowledged())
                continue;
            const QString k = key(site, a.cause);
            standing.insert(k);
            const auto it = m_notified.find(k);
            if (it == m_notified.end()) {
                m_notified[k] = now; // kept from before a restart: told then
            } else if (everyMin > 0 && m_notifier->any() && now - it->second >= qint64(everyMin) * 60000) {
                it->second = now;
                m_notifier->notify(notice(QStringLiteral("renotify"), site, a));
            }
        }
    }
    for (auto it = m_notified.begin(); it != m_notified.end();)
        it = standing.count(it->first) ? std::next(it) : m_notified.erase(it);
}

void WatchAlarms::tick()
{
    renotify();
    publishDirty();
    const Counts &c = m_counts, &t = m_toldCounts;
    if (c.malformed != t.malformed || c.oversized != t.oversized || c.limited != t.limited ||
        c.retained != t.retained)
        emit logLine(QStringLiteral("commands in the last %1 s: %2 past the rate bounds, %3 malformed, %4 too large, "
                                    "%5 retained (ignored)")
                         .arg(kTickMs / 1000)
                         .arg(c.limited - t.limited)
                         .arg(c.malformed - t.malformed)
                         .arg(c.oversized - t.oversized)
                         .arg(c.retained - t.retained));
    m_toldCounts = m_counts;
    const QByteArray status = statusFields();
    if (status != m_lastStatus) {
        m_lastStatus = status;
        emit statusChanged();
    }
}

QByteArray WatchAlarms::statusFields() const
{
    const Counts &c = m_counts;
    const AlarmNotifier::Counts &n = m_notifier->counts();
    return ",\"alarms\":{\"unacknowledged\":" + QByteArray::number(m_book.unacknowledged()) +
           "},\"commands\":{\"accepted\":" + QByteArray::number(c.accepted) +
           ",\"refused\":" + QByteArray::number(c.refused) + ",\"malformed\":" + QByteArray::number(c.malformed) +
           ",\"oversized\":" + QByteArray::number(c.oversized) + ",\"limited\":" + QByteArray::number(c.limited) +
           ",\"retained\":" + QByteArray::number(c.retained) +
           "},\"notify\":{\"exec_done\":" + QByteArray::number(n.execDone) +
           ",\"exec_failed\":" + QByteArray::number(n.execFailed) +
           ",\"exec_dropped\":" + QByteArray::number(n.execDropped) +
           ",\"webhook_sent\":" + QByteArray::number(n.webhookSent) +
           ",\"webhook_failed\":" + QByteArray::number(n.webhookFailed) +
           ",\"webhook_dropped\":" + QByteArray::number(n.webhookDropped) + '}';
}
