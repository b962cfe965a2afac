#include "fleet/Watcher.h"

#include "fleet/HistoryServer.h"
#include "fleet/SettingsAudit.h"
#include "fleet/MaintenancePort.h"
#include "fleet/WatchAlarms.h"
#include "logfiler/LogRun.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/TextFile.h"

#include "qelvo_version.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <utility>

namespace {

constexpr int kMaxInflight = 100;
constexpr int kMaxClientQueue = 5000;
constexpr int kPaceTickMs = 100;
const QString kDiscoveryPrefix = QStringLiteral("homeassistant");

QString secondsText(int ms) { return QString::number(qRound(ms / 100.0) / 10.0); }
} // namespace

QString IsoTimeText(const QDateTime &t)
{
    // The alarms' times and the readings' are one form: ISO 8601 with milliseconds and the
    // offset always written ("+00:00", not Qt's "Z").
    return AlarmTimeText(t);
}

QString SiUnit(const QString &unit) { return unit == QLatin1String("M") ? QStringLiteral("m") : unit; }

const char *ReadingQuality(const Reading &r, bool typeAssumed)
{
    if (!r.valueValid)
        return "no-value";
    if (!r.outputsValid)
        return "no-outputs";
    return typeAssumed ? "type-assumed" : "good";
}

QByteArray ReadingPayload(const QString &site, const Reading &r, bool late, bool typeAssumed)
{
    QByteArray p;
    p.reserve(300);
    p += "{\"site\":" + JsonString(site) + ",\"time\":\"" + IsoTimeText(r.time).toLatin1() + "\",\"ts\":";
    p += QByteArray::number(r.time.toMSecsSinceEpoch());
    p += ",\"count\":";
    p += r.valueValid ? QByteArray::number(r.count) : QByteArray("null");
    p += ",\"value\":";
    p += r.valueValid ? r.valueText().toLatin1() : QByteArray("null");
    p += ",\"unit\":" + JsonString(SiUnit(r.unit)) + ",\"outputs\":";
    p += r.outputsValid ? JsonString(r.outputsHex) : QByteArray("null");
    for (int ch = 1; ch <= 8; ++ch) {
        p += ",\"output" + QByteArray::number(ch) + "\":";
        p += !r.outputsValid ? "null" : r.outputOn(ch) ? "true" : "false";
    }
    p += ",\"quality\":\"";
    p += ReadingQuality(r, typeAssumed);
    p += late ? "\",\"late\":true}" : "\",\"late\":false}";
    return p;
}

QByteArray StatePayload(const SiteStatus &s)
{
    QByteArray p = "{\"site\":" + JsonString(s.site) + ",\"state\":\"" + SiteStateName(s.state) + "\",\"code\":" +
                   JsonString(s.code) + ",\"since\":\"" + IsoTimeText(s.since.isValid() ? s.since : Now()).toLatin1() +
                   "\",\"reason\":" + JsonString(s.reason) + ",\"title\":" + JsonString(s.title) +
                   ",\"watchd\":" + JsonString(s.watcher) + ",\"warn_outputs\":\"" +
                   OutputListText(s.warnOutputs).toLatin1() + '"';
    if (s.intervalMs > 0)
        p += ",\"interval_ms\":" + QByteArray::number(s.intervalMs);
    if (!s.log.isEmpty())
        p += ",\"log\":" + JsonString(s.log);
    if (s.dropped > 0)
        p += ",\"dropped\":" + QByteArray::number(s.dropped);
    if (!s.maintenance.isEmpty())
        p += ",\"maintenance\":" + JsonString(s.maintenance);
    if (!s.client.isEmpty())
        p += ",\"client\":" + JsonString(s.client);
    p += '}';
    return p;
}

QString LogProblemText(const FileError &e)
{
    switch (e.number) {
    case errDiskFull: return QStringLiteral("disk full");
    case errPermissionDenied:
    case errPathFileAccess: return QStringLiteral("permission denied");
    case errFileNotFound:
    case errPathNotFound: return QStringLiteral("folder missing");
    default: return QStringLiteral("write error");
    }
}

QString DiscoveryNode(const QString &clientId)
{
    QString n = clientId;
    for (QChar &c : n)
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != QLatin1Char('_') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    return n;
}

QStringList DiscoveryTopics(const WatchMqtt &mqtt, const QString &site)
{
    const QString node = DiscoveryNode(mqtt.clientId);
    QStringList t{QStringLiteral("%1/sensor/%2/%3_level/config").arg(kDiscoveryPrefix, node, site)};
    for (int ch = 1; ch <= 8; ++ch)
        t << QStringLiteral("%1/binary_sensor/%2/%3_output%4/config").arg(kDiscoveryPrefix, node, site).arg(ch);
    return t;
}

QList<DiscoveryMessage> DiscoveryConfigs(const WatchMqtt &mqtt, const WatchSite &site, const QString &siUnit)
{
    const QString node = DiscoveryNode(mqtt.clientId);
    const QString base = mqtt.topicPrefix + QLatin1Char('/') + site.name;
    // Available while the site is online and its watcher runs: a state left by a watcher that
    // is gone never passes for a live one.
    const QJsonArray availability{
        QJsonObject{{"topic", base + QStringLiteral("/state")},
                    {"value_template", QStringLiteral("{{ 'online' if value_json.state == 'online' else 'offline' }}")},
                    {"payload_available", QStringLiteral("online")},
                    {"payload_not_available", QStringLiteral("offline")}},
        QJsonObject{{"topic", mqtt.topicPrefix + QStringLiteral("/watchd/") + mqtt.clientId},
                    {"value_template", QStringLiteral("{{ value_json.state }}")},
                    {"payload_available", QStringLiteral("running")},
                    {"payload_not_available", QStringLiteral("offline")}}};
    const QJsonObject device{{"identifiers", QJsonArray{node + QLatin1Char('_') + site.name}},
                             {"name", site.title.isEmpty() ? site.name : site.title},
                             {"model", QStringLiteral("water-level comparator")},
                             {"sw_version", QStringLiteral("qelvo-watchd " QELVO_VERSION)}};
    const auto entity = [&](const QString &object, const QString &name) {
        return QJsonObject{{"name", name},
                           {"unique_id", node + QLatin1Char('_') + object},
                           {"state_topic", base + QStringLiteral("/reading")},
                           {"availability", availability},
                           {"availability_mode", QStringLiteral("all")},
                           {"device", device},
                           {"qos", 1}};
    };
    QList<DiscoveryMessage> out;
    const QStringList topics = DiscoveryTopics(mqtt, site.name);
    static const QHash<QString, QString> deviceClass{{QStringLiteral("V"), QStringLiteral("voltage")},
                                                     {QStringLiteral("mA"), QStringLiteral("current")},
                                                     {QStringLiteral("m"), QStringLiteral("distance")}};
    if (deviceClass.contains(siUnit)) {
        QJsonObject level = entity(site.name + QStringLiteral("_level"), QStringLiteral("Level"));
        // A late reading leaves the state as it is (an empty result is no state).
        level["value_template"] = QStringLiteral("{{ '' if value_json.late else value_json.value }}");
        level["unit_of_measurement"] = siUnit;
        level["device_class"] = deviceClass.value(siUnit);
        level["state_class"] = QStringLiteral("measurement");
        out << DiscoveryMessage{topics[0], QJsonDocument(level).toJson(QJsonDocument::Compact)};
    }
    for (int ch = 1; ch <= 8; ++ch) {
        if (!((site.warnOutputs >> (ch - 1)) & 1))
            continue;
        QJsonObject out1 = entity(site.name + QStringLiteral("_output%1").arg(ch), QStringLiteral("Output %1").arg(ch));
        out1["value_template"] = QStringLiteral("{% if value_json.late or value_json.output%1 is none %}"
                                                "{% elif value_json.output%1 %}ON{% else %}OFF{% endif %}")
                                     .arg(ch);
        out1["payload_on"] = QStringLiteral("ON");
        out1["payload_off"] = QStringLiteral("OFF");
        out1["device_class"] = QStringLiteral("problem");
        out << DiscoveryMessage{topics[ch], QJsonDocument(out1).toJson(QJsonDocument::Compact)};
    }
    return out;
}

Watcher::Watcher(const WatchSettings &settings, const SitePortMaker &makePort, QObject *parent)
    : QObject(parent), m_settings(settings), m_makePort(makePort), m_shutdownTimer(std::make_unique<WindowTimer>()),
      m_runTimer(std::make_unique<WindowTimer>()), m_paceTimer(std::make_unique<WindowTimer>()),
      m_auditTimer(std::make_unique<WindowTimer>())
{
    m_auditTimer->onTick = [this] { dailyAudit(); };
    m_alarms = std::make_unique<WatchAlarms>(m_settings, [this](const QString &topic, const QByteArray &p, bool retain) {
        return m_mqtt && m_mqtt->isConnected() && m_mqtt->publish(topic, p, 1, retain) > 0;
    });
    connect(m_alarms.get(), &WatchAlarms::logLine, this, &Watcher::logLine);
    connect(m_alarms.get(), &WatchAlarms::statusChanged, this, [this] {
        // Its counts go with "running", once the states of a connect are out.
        if (!m_stopping && !m_announce)
            publishWatcher("running");
    });
    m_runTimer->onTick = [this] { tickRuns(); };
    m_paceTimer->setInterval(kPaceTickMs);
    m_paceTimer->onTick = [this] { pump(); };
}

Watcher::~Watcher()
{
    m_shutdownTimer->setEnabled(false);
    m_runTimer->setEnabled(false);
    m_paceTimer->setEnabled(false);
    m_auditTimer->setEnabled(false);
    // Runs destroyed while logging write no end block: a watcher that goes
    // without its shutdown leaves its files as a crash would.
    m_sites.clear();
}

QString Watcher::topic(const QString &site, const char *leaf) const
{
    return m_settings.mqtt->topicPrefix + QLatin1Char('/') + site + QLatin1Char('/') + QLatin1String(leaf);
}

QString Watcher::watcherTopic() const
{
    return m_settings.mqtt->topicPrefix + QStringLiteral("/watchd/") + m_settings.mqtt->clientId;
}

bool Watcher::start(QString *error)
{
    if (!EnsureFolder(m_settings.logFolder)) {
        if (error)
            *error = QStringLiteral("cannot make the log folder %1").arg(m_settings.logFolder);
        return false;
    }
    m_since = Now();
    m_alarms->start();
    if (m_settings.mqtt && !startMqtt(error))
        return false;
    for (const WatchSite &cfg : m_settings.sites)
        addSite(cfg);
    scheduleAudit();
    return true;
}

bool Watcher::startMqtt(QString *error)
{
    const WatchMqtt &m = *m_settings.mqtt;
    MqttClient::Options o;
    o.url = m.url;
    o.clientId = m.clientId;
    o.username = m.username;
    o.caFile = m.caFile;
    // The password as the configuration read it: a reload that reads another one connects
    // again with it.
    o.password = m.password;
    o.willTopic = watcherTopic();
    o.willPayload = "{\"state\":\"offline\",\"version\":\"" QELVO_VERSION "\"}";
    o.maxInflight = kMaxInflight;
    o.maxQueued = kMaxClientQueue;
    auto client = std::make_unique<MqttClient>(o);
    // The retained states of this watcher's sites and its discovery topics, as the broker
    // keeps them: what a watcher that died, or ran with another configuration, left there.
    client->subscribe(m.topicPrefix + QStringLiteral("/+/state"), 1);
    client->subscribe(QStringLiteral("%1/+/%2/+/config").arg(kDiscoveryPrefix, DiscoveryNode(m.clientId)), 1);
    connect(client.get(), &MqttClient::messageReceived, this,
            [this](const QString &t, const QByteArray &p, bool retained) {
                if (retained)
                    retainedSeen(t, p);
            });
    connect(client.get(), &MqttClient::connected, this, [this] {
        emit logLine(QStringLiteral("broker %1: connected").arg(m_settings.mqtt->url));
        // Every site's state first, then the watcher's "running": the states a watcher
        // that died left behind are replaced before anyone may take them for live ones.
        m_statesPending = 0;
        for (auto &[name, s] : m_sites) {
            s->statePending = true;
            ++m_statesPending;
            s->discoveryPending = m_settings.mqtt->homeAssistant && !s->unit.isEmpty();
            s->settingsPending = !s->settings.isEmpty();
        }
        m_announce = true;
        m_tokens = qMax(1, m_settings.mqtt->backlogRate * kPaceTickMs / 1000);
        m_tokensAtMs = clockService().elapsedMs();
        pump();
        m_alarms->connected();
    });
    connect(client.get(), &MqttClient::messageReceived, m_alarms.get(), &WatchAlarms::message);
    client->subscribe(m_alarms->commandFilter(), 1);
    // History requests, answered from the log files.
    m_history = std::make_unique<HistoryServer>(
        m.topicPrefix, m_settings.logFolder, [this](const QString &site) { return m_sites.count(site) > 0; },
        [this](const QString &t, const QByteArray &p) {
            return m_mqtt && m_mqtt->isConnected() && m_mqtt->publish(t, p, 1, false) > 0;
        });
    connect(client.get(), &MqttClient::messageReceived, m_history.get(), &HistoryServer::message);
    client->subscribe(m_history->requestFilter(), 1);
    // The first attempt may fail inside start(), before the client is kept.
    MqttClient *c = client.get();
    connect(c, &MqttClient::disconnected, this, [this, c](const QString &why) {
        emit logLine(QStringLiteral("broker %1: %2; readings wait, next try in %3 s")
                         .arg(m_settings.mqtt->url, why, secondsText(c->nextAttemptInMs())));
    });
    QString why;
    if (!client->start(&why)) {
        if (error)
            *error = QStringLiteral("broker %1: %2").arg(m.url, why);
        return false;
    }
    m_mqtt = std::move(client);
    return true;
}

void Watcher::addSite(const WatchSite &cfg)
{
    auto owned = std::make_unique<Site>();
    Site *s = owned.get();
    s->cfg = cfg;
    s->watch = std::make_unique<SiteWatch>(cfg, m_makePort);
    s->run = std::make_unique<LogRun>(LogRunMonitor{[s] { return s->watch->state() == SiteState::Online; },
                                                    [s] { return qint64(s->cfg.intervalMs); }});
    // One check a second for all runs (tickRuns), and none while no run logs.
    s->run->setSharedTicks(true);
    if (cfg.inputType > 0)
        s->unit = SiUnit(ScaleOfType(cfg.inputType).unit);
    connect(s->run.get(), &LogRun::appendFailed, this,
            [this, s](const QString &why, const QString &path) { onLogFailure(*s, why, path); });
    connect(s->watch.get(), &SiteWatch::stateChanged, this, [this, s] { onState(*s); });
    connect(s->watch.get(), &SiteWatch::readingTaken, this, [this, s](const Reading &r) { onReading(*s, r); });
    connect(s->watch.get(), &SiteWatch::note, this,
            [this, s](const QString &text) { emit logLine(s->cfg.name + QStringLiteral(": ") + text); });
    connect(s->watch.get(), &SiteWatch::settingsRead, this,
            [this, s](const MemCell *cells, const QDateTime &at) { onSettings(*s, cells, at); });
    connect(s->watch.get(), &SiteWatch::settingsUnread, this, [this, s](const QString &why) {
        emit logLine(QStringLiteral("%1: the settings could not be read for the audit (%2); the last audit stands")
                         .arg(s->cfg.name, why));
    });
    if (cfg.maintenancePort > 0) {
        s->maintenance = std::make_unique<MaintenancePort>(*s->watch, m_settings.maintenance);
        connect(s->maintenance.get(), &MaintenancePort::note, this,
                [this, s](const QString &text) { emit logLine(s->cfg.name + QStringLiteral(": ") + text); });
        QString why;
        if (!s->maintenance->start(&why))
            emit logLine(QStringLiteral("%1: maintenance port: %2; trying again every %3 s")
                             .arg(cfg.name, why)
                             .arg(MaintenancePort::kRetryListenMs / 1000));
    }
    m_sites[cfg.name] = std::move(owned);
    m_alarms->siteAdded(cfg);
    s->watch->start();
    if (m_settings.mqtt && m_settings.mqtt->homeAssistant && !s->unit.isEmpty()) {
        s->discoveryPending = true;
        pump();
    }
}

void Watcher::removeSite(const QString &name, bool clearStates)
{
    const auto it = m_sites.find(name);
    if (it == m_sites.end())
        return;
    Site &s = *it->second;
    s.run->stop();
    s.run->endIfStopAsked();
    s.watch->disconnect(this);
    s.watch->stop();
    // Its client is closed; the line was the stopped site's.
    s.maintenance.reset();
    m_queuedTotal -= qsizetype(s.queue.size());
    if (s.statePending)
        --m_statesPending;
    // Its retained state (and discovery) is cleared now, or at the next connect while the
    // broker is away.
    if (clearStates && m_mqtt) {
        clearRetained(topic(name, "state"));
        if (!s.settings.isEmpty())
            clearRetained(topic(name, "settings"));
        if (!s.discoveredUnit.isEmpty() || m_settings.mqtt->homeAssistant)
            for (const QString &t : DiscoveryTopics(*m_settings.mqtt, name))
                clearRetained(t);
    }
    m_sites.erase(it);
    if (clearStates)
        m_alarms->siteRemoved(name);
    pump();
}

void Watcher::clearRetained(const QString &t)
{
    if (m_clears.size() >= size_t(kMaxClears) || m_clearSet.contains(t))
        return;
    m_clears.push_back(t);
    m_clearSet.insert(t);
}

void Watcher::onState(Site &s)
{
    const SiteWatch &w = *s.watch;
    const QString reason = w.reason();
    emit logLine(s.cfg.name + QStringLiteral(": ") + QLatin1String(SiteStateName(w.state())) +
                 (reason.isEmpty() ? QString() : QStringLiteral(" (") + reason + QLatin1Char(')')));
    // The run ends with the site: "/** Logging Quit **/".
    if (w.state() != SiteState::Online && s.run->state() != LogRun::Stopped)
        s.run->endIfDue();
    publishState(s);
    m_alarms->siteState(s.cfg.name, w.state(), reason);
}

void Watcher::onReading(Site &s, const Reading &r)
{
    // The reading may end the run (midnight, the count limit); the next run
    // begins with it.
    if (s.run->state() != LogRun::Stopped)
        s.run->takeReading(r);
    if (s.run->state() == LogRun::Stopped && !m_stopping) {
        s.run->takeReading(r);
        startRun(s, r);
    }
    if (s.writeFailing && s.run->unwrittenBytes() == 0) {
        s.writeFailing = false;
        s.logProblem.clear();
        emit logLine(QStringLiteral("%1: writing %2 again").arg(s.cfg.name, s.run->path()));
        publishState(s);
    }
    setUnit(s, SiUnit(r.unit));
    if (m_mqtt)
        publishReading(s, r);
    m_alarms->reading(s.cfg.name, r);
}

void Watcher::onLogFailure(Site &s, const QString &why, const QString &path)
{
    if (!s.writeFailing) {
        s.writeFailing = true;
        emit logLine(QStringLiteral("%1: cannot write %2: %3; the lines wait for the next reading")
                         .arg(s.cfg.name, path, why.simplified()));
    }
    const QString problem = LogProblemText(s.run->appendFailure());
    if (problem != s.logProblem) {
        s.logProblem = problem;
        publishState(s);
    }
}

void Watcher::setUnit(Site &s, const QString &unit)
{
    if (unit == s.unit)
        return;
    s.unit = unit;
    if (m_mqtt && m_settings.mqtt->homeAssistant) {
        s.discoveryPending = true;
        pump();
    }
}

void Watcher::startRun(Site &s, const Reading &r)
{
    const QDate day = (r.time.isValid() ? r.time : Now()).date();
    LogRunSettings rs;
    rs.set.strInterval = QStringLiteral("00:00:01");
    rs.set.intEndMode = 1;
    // The day's file ends at local midnight.
    rs.set.strEndTime = QDateTime(day.addDays(1), QTime(0, 0)).toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    const QString folder = m_settings.logFolder + QLatin1Char('/') + s.cfg.name;
    rs.set.strFolder = folder + QLatin1Char('/');
    rs.set.strFileName = QStringLiteral("qlv") + day.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".csv");
    rs.voltDisp = true;
    rs.bitsDisp = true;
    rs.eachReading = true;
    rs.keepUnwritten = true;
    EnsureFolder(folder);
    s.run->start(rs);
    if (s.run->state() != LogRun::Stopped && !m_runTimer->Enabled()) {
        m_runTimer->setInterval(1000);
        m_runTimer->setEnabled(true);
    }
}

// The runs' once-a-second check: the clock is asked once for all of them, at about the
// wall clock's whole second; the timer stops when no run logs.
void Watcher::tickRuns()
{
    const QDateTime now = Now();
    bool logging = false;
    for (auto &[name, s] : m_sites) {
        if (s->run->state() == LogRun::Stopped)
            continue;
        s->run->sharedTick(now);
        logging = logging || s->run->state() != LogRun::Stopped;
    }
    if (!logging) {
        m_runTimer->setEnabled(false);
        return;
    }
    m_runTimer->setInterval(1000 - now.time().msec() + 5);
}

bool Watcher::runChecksTicking() const { return m_runTimer->Enabled(); }

void Watcher::publishReading(Site &s, const Reading &r)
{
    // Live readings go out at once, also while older ones wait: those follow, marked late.
    if (m_mqtt->isConnected() &&
        m_mqtt->publish(topic(s.cfg.name, "reading"), ReadingPayload(s.cfg.name, r, false, s.watch->typeAssumed()), 1,
                        false) > 0)
        return;
    s.queue.push_back(ReadingPayload(s.cfg.name, r, true, s.watch->typeAssumed()));
    ++m_queuedTotal;
    const size_t limit = size_t(qMax(1, s.cfg.queueLimit));
    if (s.queue.size() > limit && !s.overflowing) {
        s.overflowing = true;
        emit logLine(QStringLiteral("%1: %2 readings wait for the broker (queue_limit); the oldest are dropped "
                                    "from now on and counted in the site's next state")
                         .arg(s.cfg.name)
                         .arg(limit));
    }
    while (s.queue.size() > limit) {
        s.queue.pop_front();
        --m_queuedTotal;
        ++s.dropped;
    }
    if (m_mqtt->isConnected())
        pump();
}

SiteStatus Watcher::status(const Site &s) const
{
    const SiteWatch &w = *s.watch;
    SiteStatus st;
    st.site = s.cfg.name;
    st.state = w.state();
    st.code = QString::fromLatin1(w.code());
    st.since = w.since();
    st.reason = w.reason();
    st.title = s.cfg.title;
    st.watcher = m_settings.mqtt ? m_settings.mqtt->clientId : QString();
    st.warnOutputs = s.cfg.warnOutputs;
    st.dropped = s.dropped;
    st.intervalMs = s.cfg.intervalMs;
    st.log = s.logProblem;
    st.maintenance = s.cfg.maintenanceUrl();
    if (w.state() == SiteState::Maintenance)
        st.client = w.holder();
    return st;
}

QByteArray Watcher::statePayload(const QString &name) const
{
    const auto it = m_sites.find(name);
    return it == m_sites.end() ? QByteArray() : StatePayload(status(*it->second));
}

void Watcher::publishState(Site &s)
{
    if (!m_mqtt)
        return;
    if (!s.statePending) {
        s.statePending = true;
        ++m_statesPending;
    }
    pump();
}

bool Watcher::publishStateNow(Site &s)
{
    if (m_mqtt->publish(topic(s.cfg.name, "state"), StatePayload(status(s)), 1, true) <= 0)
        return false;
    s.dropped = 0;
    if (s.statePending) {
        s.statePending = false;
        --m_statesPending;
    }
    return true;
}

void Watcher::publishWatcher(const char *state)
{
    if (!m_mqtt || !m_mqtt->isConnected())
        return;
    QByteArray p = QByteArray("{\"state\":\"") + state + '"';
    if (qstrcmp(state, "running") == 0)
        p += ",\"sites\":" + QByteArray::number(siteCount()) + ",\"since\":\"" + IsoTimeText(m_since).toLatin1() + '"' +
             m_alarms->statusFields();
    p += ",\"version\":\"" QELVO_VERSION "\"}";
    m_mqtt->publish(watcherTopic(), p, 1, true);
}

bool Watcher::pumpWork() const
{
    return !m_clears.empty() || m_statesPending > 0 || m_announce || m_queuedTotal > 0 ||
           std::any_of(m_sites.begin(), m_sites.end(),
                       [](const auto &e) { return e.second->discoveryPending || e.second->settingsPending; });
}

// What goes out in bulk, at the pace: the clears of sites removed, the states, "running",
// the discovery, then the readings that waited, a site's readings in their order and the
// sites in turn. A message needs a token; the tokens come back at backlog_rate a second, up
// to a tenth of it, so no burst is larger than what goes out in 100 ms.
void Watcher::pump()
{
    // A stop sends its last states itself.
    if (!m_mqtt || !m_mqtt->isConnected() || m_stopping) {
        m_paceTimer->setEnabled(false);
        return;
    }
    const int rate = m_settings.mqtt->backlogRate;
    const double burst = qMax(1, rate * kPaceTickMs / 1000);
    const qint64 now = clockService().elapsedMs();
    m_tokens = qMin(burst, m_tokens + double(now - m_tokensAtMs) * rate / 1000.0);
    m_tokensAtMs = now;
    const auto work = [this] {
        while (!m_clears.empty() && m_tokens >= 1) {
            if (m_mqtt->publish(m_clears.front(), QByteArray(), 1, true) <= 0)
                return;
            m_clearSet.remove(m_clears.front());
            m_clears.pop_front();
            m_tokens -= 1;
        }
        for (auto it = m_sites.begin(); m_statesPending > 0 && it != m_sites.end(); ++it) {
            if (!it->second->statePending)
                continue;
            if (m_tokens < 1 || !publishStateNow(*it->second))
                return;
            m_tokens -= 1;
        }
        if (m_announce && m_statesPending == 0 && m_clears.empty()) {
            publishWatcher("running");
            m_announce = false;
        }
        if (m_announce)
            return;
        for (auto &[name, s] : m_sites) {
            if (!s->discoveryPending)
                continue;
            if (m_tokens < 1)
                return;
            // A site's configurations go out together; the tokens they take beyond those
            // there are paid back by the next ones.
            const QList<DiscoveryMessage> configs = DiscoveryConfigs(*m_settings.mqtt, s->cfg, s->unit);
            for (const DiscoveryMessage &d : configs)
                if (m_mqtt->publish(d.topic, d.payload, 1, true) <= 0)
                    return;
            m_tokens -= double(configs.size());
            s->discoveryPending = false;
            s->discoveredUnit = s->unit;
        }
        for (auto &[name, s] : m_sites) {
            if (!s->settingsPending)
                continue;
            if (m_tokens < 1 || m_mqtt->publish(topic(name, "settings"), s->settings, 1, true) <= 0)
                return;
            m_tokens -= 1;
            s->settingsPending = false;
        }
        // The readings that waited, the sites in turn from where the last round stopped.
        while (m_queuedTotal > 0 && m_tokens >= 1) {
            auto it = m_sites.lower_bound(m_nextBacklogSite);
            for (qsizetype seen = 0; seen < qsizetype(m_sites.size()); ++seen, ++it) {
                if (it == m_sites.end())
                    it = m_sites.begin();
                if (!it->second->queue.empty())
                    break;
            }
            Site &s = *it->second;
            if (m_mqtt->publish(topic(s.cfg.name, "reading"), s.queue.front(), 1, false) <= 0)
                return;
            s.queue.pop_front();
            --m_queuedTotal;
            m_tokens -= 1;
            if (s.queue.size() < size_t(qMax(1, s.cfg.queueLimit)))
                s.overflowing = false;
            const auto next = std::next(it);
            m_nextBacklogSite = next == m_sites.end() ? QString() : next->first;
        }
    };
    work();
    const bool more = pumpWork();
    if (more != m_paceTimer->Enabled())
        m_paceTimer->setEnabled(more);
}

void Watcher::retainedSeen(const QString &t, const QByteArray &payload)
{
    if (payload.isEmpty() || !m_settings.mqtt)
        return;
    const WatchMqtt &m = *m_settings.mqtt;
    const QStringList parts = t.split(QLatin1Char('/'));
    // A state of a site this watcher published and watches no more.
    const QString prefix = m.topicPrefix + QLatin1Char('/');
    if (t.startsWith(prefix) && t.endsWith(QLatin1String("/state"))) {
        const QString site = t.mid(prefix.size()).chopped(6);
        if (site.contains(QLatin1Char('/')) || site == QLatin1String("watchd") || m_sites.count(site))
            return;
        if (QJsonDocument::fromJson(payload).object().value(QStringLiteral("watchd")).toString() == m.clientId) {
            clearRetained(t);
            pump();
        }
        return;
    }
    // A discovery topic of this watcher's node that it would not publish now.
    static const QRegularExpression object(QStringLiteral("^([A-Za-z0-9_-]+)_(level|output([1-8]))$"));
    if (parts.size() != 5 || parts[0] != kDiscoveryPrefix || parts[2] != DiscoveryNode(m.clientId) ||
        parts[4] != QLatin1String("config"))
        return;
    const QRegularExpressionMatch o = object.match(parts[3]);
    bool keep = false;
    if (o.hasMatch() && m.homeAssistant) {
        const auto it = m_sites.find(o.captured(1));
        if (it != m_sites.end()) {
            const int ch = o.captured(3).toInt();
            keep = ch == 0 ? parts[1] == QLatin1String("sensor")
                           : parts[1] == QLatin1String("binary_sensor") && ((it->second->cfg.warnOutputs >> (ch - 1)) & 1);
        }
    }
    if (!keep) {
        clearRetained(t);
        pump();
    }
}

void Watcher::reload(const WatchSettings &next)
{
    const WatchDiff d = DiffWatchConfig(m_settings, next);
    if (d.empty()) {
        emit logLine(QStringLiteral("reloaded: no change"));
        return;
    }
    const bool mqttChanged = d.mqttChanged;
    if (mqttChanged && m_mqtt) {
        m_clears.clear(); // they belong to the old broker
        m_clearSet.clear();
        // The old broker is told that this watcher left it.
        publishWatcher("offline");
        m_mqtt->stop();
        m_mqtt.reset();
        m_history.reset(); // its answers belong to the old broker
        m_paceTimer->setEnabled(false);
    }
    // A changed site whose warning outputs are fewer now: Home Assistant forgets the others.
    if (m_mqtt && m_settings.mqtt->homeAssistant)
        for (const WatchSite &cfg : next.sites) {
            const auto it = m_sites.find(cfg.name);
            if (it == m_sites.end() || it->second->discoveredUnit.isEmpty())
                continue;
            const QStringList topics = DiscoveryTopics(*m_settings.mqtt, cfg.name);
            for (int ch = 1; ch <= 8; ++ch)
                if (((it->second->cfg.warnOutputs >> (ch - 1)) & 1) && !((cfg.warnOutputs >> (ch - 1)) & 1))
                    clearRetained(topics[ch]);
        }
    for (const QString &name : d.removed)
        removeSite(name, true);
    for (const QString &name : d.changed)
        removeSite(name, false);
    const bool folderChanged = d.logFolderChanged;
    m_settings = next;
    m_alarms->reload(next);
    if (m_history)
        m_history->setLogFolder(m_settings.logFolder);
    if (d.maintenanceChanged)
        for (auto &[name, s] : m_sites)
            if (s->maintenance)
                s->maintenance->setRules(m_settings.maintenance);
    if (folderChanged) {
        // The next reading of each site begins its run in the new folder.
        for (auto &[name, s] : m_sites) {
            s->run->stop();
            s->run->endIfStopAsked();
        }
        EnsureFolder(m_settings.logFolder);
    }
    for (const WatchSite &cfg : m_settings.sites) {
        const auto it = m_sites.find(cfg.name);
        if (it == m_sites.end())
            addSite(cfg);
        else
            it->second->cfg = cfg; // the same settings; the queue limit may follow a new [mqtt]
    }
    // A new approved file is compared with the settings last read; a site that has none now
    // has no audit.
    for (const QString &name : d.goldenChanged) {
        const auto it = m_sites.find(name);
        if (it == m_sites.end())
            continue;
        Site &s = *it->second;
        s.watch->setGolden(s.cfg.golden);
        if (!s.cfg.goldenCells.isEmpty()) {
            if (!s.controllerCells.isEmpty())
                audit(s);
            continue;
        }
        m_alarms->settingsAudited(name, false, QString());
        if (!s.settings.isEmpty()) {
            s.settings.clear();
            s.settingsPending = false;
            if (m_mqtt) {
                clearRetained(topic(name, "settings"));
                pump();
            }
        }
    }
    if (d.auditTimeChanged)
        scheduleAudit();
    if (mqttChanged && m_settings.mqtt) {
        QString why;
        if (!startMqtt(&why))
            emit logLine(QStringLiteral("the new broker settings cannot be used: %1; "
                                        "nothing is published")
                             .arg(why));
    } else {
        publishWatcher("running");
    }
    emit logLine(QStringLiteral("reloaded: %1 added, %2 removed, %3 changed%4")
                     .arg(d.added.size())
                     .arg(d.removed.size())
                     .arg(d.changed.size())
                     .arg(mqttChanged ? QStringLiteral(", new broker settings") : QString()) +
                 (d.goldenChanged.isEmpty() ? QString()
                                            : QStringLiteral(", %1 new golden files").arg(d.goldenChanged.size())) +
                 (d.alarmsChanged ? QStringLiteral(", new alarm settings") : QString()));
}

void Watcher::shutdown(int boundMs, std::function<void()> done)
{
    if (m_stopping)
        return;
    m_stopping = true;
    m_runTimer->setEnabled(false);
    m_auditTimer->setEnabled(false);
    m_history.reset(); // the answers still running end with the watcher
    for (auto &[name, s] : m_sites) {
        s->run->stop();
        s->run->endIfStopAsked();
    }
    // Each site stops with its line, then its maintenance client is closed.
    for (auto &[name, s] : m_sites)
        s->watch->stop();
    for (auto &[name, s] : m_sites)
        if (s->maintenance)
            s->maintenance->stop();
    m_alarms->stop();
    // The last states go out at once, whatever the pace: every site says that its watcher
    // stopped, then the watcher does.
    m_paceTimer->setEnabled(false);
    if (m_mqtt && m_mqtt->isConnected())
        for (auto &[name, s] : m_sites)
            if (s->statePending)
                publishStateNow(*s);
    publishWatcher("offline");
    const qint64 until = clockService().elapsedMs() + boundMs;
    auto finish = [this, until, done = std::move(done)] {
        const bool taken = !m_mqtt || !m_mqtt->isConnected() || m_mqtt->inFlight() == 0;
        if (!taken && clockService().elapsedMs() < until)
            return;
        m_shutdownTimer->setEnabled(false);
        if (m_mqtt)
            m_mqtt->stop();
        done();
    };
    m_shutdownTimer->onTick = finish;
    m_shutdownTimer->setInterval(10);
    m_shutdownTimer->setEnabled(true);
}

SiteWatch *Watcher::site(const QString &name) const
{
    const auto it = m_sites.find(name);
    return it == m_sites.end() ? nullptr : it->second->watch.get();
}

LogRun *Watcher::run(const QString &name) const
{
    const auto it = m_sites.find(name);
    return it == m_sites.end() ? nullptr : it->second->run.get();
}

MaintenancePort *Watcher::maintenance(const QString &name) const
{
    const auto it = m_sites.find(name);
    return it == m_sites.end() ? nullptr : it->second->maintenance.get();
}

qsizetype Watcher::queued(const QString &name) const
{
    const auto it = m_sites.find(name);
    return it == m_sites.end() ? 0 : qsizetype(it->second->queue.size());
}

qint64 Watcher::dropped(const QString &name) const
{
    const auto it = m_sites.find(name);
    return it == m_sites.end() ? 0 : it->second->dropped;
}

bool Watcher::requestAudit(const QString &name)
{
    const auto it = m_sites.find(name);
    if (it == m_sites.end() || it->second->cfg.goldenCells.isEmpty() || m_stopping)
        return false;
    it->second->watch->requestAudit();
    return true;
}

QByteArray Watcher::settingsPayload(const QString &name) const
{
    const auto it = m_sites.find(name);
    return it == m_sites.end() ? QByteArray() : it->second->settings;
}

void Watcher::onSettings(Site &s, const MemCell *cells, const QDateTime &at)
{
    s.controllerCells = CellsHex(cells);
    s.readAt = at;
    if (!s.cfg.goldenCells.isEmpty())
        audit(s);
}

void Watcher::audit(Site &s)
{
    const std::unique_ptr<MemCell[]> cells(new MemCell[kSettingsCells]);
    if (!CellsFromHex(s.controllerCells, cells.get()))
        return;
    const SettingsAudit a = AuditSettings(s.cfg.goldenCells, cells.get());
    s.settings = SettingsAuditPayload(s.cfg.name, s.readAt, s.cfg.golden, a, s.controllerCells);
    QStringList what;
    for (const AuditDifference &d : a.differences)
        what << QStringLiteral("%1 %2 -> %3").arg(d.name, d.golden, d.controller);
    const QString text = a.equal() ? QString()
                                   : QStringLiteral("%1 settings differ from %2: %3")
                                         .arg(a.differences.size())
                                         .arg(s.cfg.golden, what.join(QStringLiteral(", ")));
    emit logLine(s.cfg.name + QStringLiteral(": ") +
                 (a.equal() ? QStringLiteral("settings equal %1").arg(s.cfg.golden) : text));
    // The alarm keeps a short value: the settings that differ, by name.
    QStringList names;
    for (const AuditDifference &d : a.differences)
        names << d.name;
    m_alarms->settingsAudited(s.cfg.name, !a.equal(), names.join(QStringLiteral(", ")));
    if (!m_mqtt)
        return;
    s.settingsPending = true;
    pump();
}

// The daily audit's timer looks at the wall clock at least hourly, so a clock set forward or
// back (or a change of daylight saving) moves the audit with it.
void Watcher::scheduleAudit()
{
    m_auditTimer->setEnabled(false);
    if (m_settings.auditMinute < 0 || m_stopping) {
        m_nextAudit = QDateTime();
        return;
    }
    const QDateTime now = Now();
    const QTime at(m_settings.auditMinute / 60, m_settings.auditMinute % 60);
    QDateTime next(now.date(), at);
    if (next <= now)
        next = QDateTime(now.date().addDays(1), at);
    m_nextAudit = next;
    const qint64 ms = now.msecsTo(next);
    m_auditTimer->setInterval(int(qBound(qint64(1), ms, qint64(3600000))));
    m_auditTimer->setEnabled(true);
}

void Watcher::dailyAudit()
{
    if (m_nextAudit.isValid() && Now() >= m_nextAudit) {
        int n = 0;
        for (auto &[name, s] : m_sites)
            if (!s->cfg.goldenCells.isEmpty()) {
                s->watch->requestAudit();
                ++n;
            }
        emit logLine(QStringLiteral("daily audit: %1 sites' settings are read").arg(n));
        // The next one is tomorrow's, even when the clock stands within the same minute.
        m_nextAudit = QDateTime();
        const QDateTime now = Now();
        QDateTime next(now.date().addDays(1), QTime(m_settings.auditMinute / 60, m_settings.auditMinute % 60));
        m_nextAudit = next;
        m_auditTimer->setInterval(int(qBound(qint64(1), now.msecsTo(next), qint64(3600000))));
        m_auditTimer->setEnabled(true);
        return;
    }
    scheduleAudit();
}
