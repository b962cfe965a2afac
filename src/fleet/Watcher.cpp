#include "fleet/Watcher.h"

#include "fleet/WatchAlarms.h"
#include "logfiler/LogRun.h"
#include "platform/Clock.h"
#include "platform/Paths.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <utility>

namespace {
// A JSON string, quoted and escaped.
QByteArray jsonString(const QString &text)
{
    // Site names, units and hexadecimal digits need no escapes: the common case is quick.
    bool plain = true;
    for (const QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7E || c == QLatin1Char('"') || c == QLatin1Char('\\')) {
            plain = false;
            break;
        }
    if (plain)
        return '"' + text.toLatin1() + '"';
    const QByteArray a = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
    return a.mid(1, a.size() - 2);
}

constexpr int kMaxInflight = 100;
constexpr int kMaxClientQueue = 5000;
} // namespace

QString IsoTimeText(const QDateTime &t)
{
    QString s = t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODateWithMs);
    // Qt writes an offset of zero as "Z"; the payloads always carry the offset.
    if (s.endsWith(QLatin1Char('Z'))) {
        s.chop(1);
        s += QStringLiteral("+00:00");
    }
    return s;
}

QByteArray ReadingPayload(const QString &site, const Reading &r)
{
    QByteArray p;
    p.reserve(160);
    p += "{\"site\":" + jsonString(site) + ",\"time\":\"" + IsoTimeText(r.time).toLatin1() + "\",\"count\":";
    p += r.valueValid ? QByteArray::number(r.count) : QByteArray("null");
    p += ",\"value\":";
    p += r.valueValid ? r.valueText().toLatin1() : QByteArray("null");
    p += ",\"unit\":" + jsonString(r.unit) + ",\"outputs\":";
    p += r.outputsValid ? jsonString(r.outputsHex) : QByteArray("null");
    p += '}';
    return p;
}

QByteArray StatePayload(const QString &site, SiteState state, const QDateTime &since, const QString &reason,
                        const QString &title, qint64 dropped, const QString &watcher, quint8 warnOutputs,
                        int intervalMs)
{
    QByteArray p = "{\"site\":" + jsonString(site) + ",\"state\":\"" + SiteStateName(state) + "\",\"since\":\"" +
                   (since.isValid() ? IsoTimeText(since).toLatin1() : QByteArray()) +
                   "\",\"reason\":" + jsonString(reason) + ",\"title\":" + jsonString(title) +
                   ",\"watchd\":" + jsonString(watcher) + ",\"warn_outputs\":\"" +
                   OutputListText(warnOutputs).toLatin1() + '"';
    if (intervalMs > 0)
        p += ",\"interval_ms\":" + QByteArray::number(intervalMs);
    if (dropped > 0)
        p += ",\"dropped\":" + QByteArray::number(dropped);
    p += '}';
    return p;
}

Watcher::Watcher(const WatchSettings &settings, const SitePortMaker &makePort, QObject *parent)
    : QObject(parent), m_settings(settings), m_makePort(makePort), m_shutdownTimer(std::make_unique<WindowTimer>())
{
    m_alarms = std::make_unique<WatchAlarms>(m_settings, [this](const QString &topic, const QByteArray &p, bool retain) {
        return m_mqtt && m_mqtt->isConnected() && m_mqtt->publish(topic, p, 1, retain) > 0;
    });
    connect(m_alarms.get(), &WatchAlarms::logLine, this, &Watcher::logLine);
    connect(m_alarms.get(), &WatchAlarms::statusChanged, this, [this] {
        if (!m_stopping)
            publishWatcher("running");
    });
}

Watcher::~Watcher()
{
    m_shutdownTimer->setEnabled(false);
    // Runs destroyed while logging write no end block: a watcher that goes
    // without its shutdown leaves its files as a crash would.
    m_sites.clear();
}

QString Watcher::topic(const QString &site, const char *leaf) const
{
    return m_settings.mqtt->topicPrefix + QLatin1Char('/') + site + QLatin1Char('/') + QLatin1String(leaf);
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
    if (!m.passwordFile.isEmpty()) {
        QString why;
        if (!ReadPasswordFile(m.passwordFile, &o.password, &why)) {
            if (error)
                *error = why;
            return false;
        }
    }
    o.willTopic = m.topicPrefix + QStringLiteral("/watchd/") + m.clientId;
    o.willPayload = "{\"state\":\"offline\"}";
    o.maxInflight = kMaxInflight;
    o.maxQueued = kMaxClientQueue;
    auto client = std::make_unique<MqttClient>(o);
    connect(client.get(), &MqttClient::connected, this, [this] {
        emit logLine(QStringLiteral("broker %1: connected").arg(m_settings.mqtt->url));
        publishWatcher("running");
        for (const QString &name : std::exchange(m_clearAtConnect, {}))
            if (m_sites.find(name) == m_sites.end())
                m_mqtt->publish(topic(name, "state"), QByteArray(), 1, true);
        for (auto &[name, s] : m_sites)
            publishState(*s);
        m_alarms->connected();
        flush();
    });
    connect(client.get(), &MqttClient::messageReceived, m_alarms.get(), &WatchAlarms::message);
    client->subscribe(m_alarms->commandFilter(), 1);
    // The first attempt may fail inside start(), before the client is kept.
    MqttClient *c = client.get();
    connect(c, &MqttClient::disconnected, this, [this, c](const QString &why) {
        emit logLine(QStringLiteral("broker %1: %2; readings wait, next try in %3 s")
                         .arg(m_settings.mqtt->url, why)
                         .arg(qMax(1, c->reconnectDelayMs() / 1000)));
    });
    connect(client.get(), &MqttClient::published, this, [this] {
        if (m_queuedTotal > 0)
            flush();
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
    connect(s->run.get(), &LogRun::appendFailed, this, [this, s](const QString &why, const QString &path) {
        if (s->writeFailing)
            return;
        s->writeFailing = true;
        emit logLine(QStringLiteral("%1: cannot write %2: %3; the lines wait for the next reading")
                         .arg(s->cfg.name, path, why.simplified()));
    });
    connect(s->watch.get(), &SiteWatch::stateChanged, this, [this, s] { onState(*s); });
    connect(s->watch.get(), &SiteWatch::readingTaken, this, [this, s](const Reading &r) { onReading(*s, r); });
    connect(s->watch.get(), &SiteWatch::note, this,
            [this, s](const QString &text) { emit logLine(s->cfg.name + QStringLiteral(": ") + text); });
    connect(s->watch.get(), &SiteWatch::pollFailed, this,
            [this, s](LinkOutcome o) { m_alarms->pollFailed(s->cfg.name, o); });
    m_sites[cfg.name] = std::move(owned);
    m_alarms->siteAdded(cfg);
    s->watch->start();
}

void Watcher::removeSite(const QString &name, bool clearRetained)
{
    const auto it = m_sites.find(name);
    if (it == m_sites.end())
        return;
    Site &s = *it->second;
    s.run->stop();
    s.run->endIfStopAsked();
    s.watch->stop();
    m_queuedTotal -= qsizetype(s.queue.size());
    // Its retained state is cleared now, or at the next connect while the broker is away.
    if (clearRetained && m_mqtt && (!m_mqtt->isConnected() || m_mqtt->publish(topic(name, "state"), QByteArray(), 1, true) <= 0))
        if (!m_clearAtConnect.contains(name))
            m_clearAtConnect << name;
    m_sites.erase(it);
    if (clearRetained)
        m_alarms->siteRemoved(name);
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
        emit logLine(QStringLiteral("%1: writing %2 again").arg(s.cfg.name, s.run->path()));
    }
    if (m_mqtt)
        publishReading(s, ReadingPayload(s.cfg.name, r));
    m_alarms->reading(s.cfg.name, r);
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
}

void Watcher::publishReading(Site &s, QByteArray payload)
{
    if (m_mqtt->isConnected() && s.queue.empty() &&
        m_mqtt->publish(topic(s.cfg.name, "reading"), payload, 1, false) > 0)
        return;
    s.queue.push_back(std::move(payload));
    ++m_queuedTotal;
    const size_t limit = size_t(qMax(1, s.cfg.queueLimit));
    while (s.queue.size() > limit) {
        s.queue.pop_front();
        --m_queuedTotal;
        ++s.dropped;
    }
}

void Watcher::flush()
{
    if (!m_mqtt || !m_mqtt->isConnected())
        return;
    // Site by site in turn, each site's readings in their order; a full client
    // queue waits for the broker's acknowledgements (published()).
    bool progress = true;
    while (m_queuedTotal > 0 && progress) {
        progress = false;
        for (auto &[name, s] : m_sites) {
            if (s->queue.empty())
                continue;
            if (m_mqtt->publish(topic(name, "reading"), s->queue.front(), 1, false) <= 0)
                return;
            s->queue.pop_front();
            --m_queuedTotal;
            progress = true;
        }
    }
}

void Watcher::publishState(Site &s)
{
    if (!m_mqtt || !m_mqtt->isConnected())
        return;
    const SiteWatch &w = *s.watch;
    if (m_mqtt->publish(topic(s.cfg.name, "state"),
                        StatePayload(s.cfg.name, w.state(), w.since(), w.reason(), s.cfg.title, s.dropped,
                                     m_settings.mqtt->clientId, s.cfg.warnOutputs, s.cfg.intervalMs), 1,
                        true) > 0)
        s.dropped = 0;
}

void Watcher::publishWatcher(const char *state)
{
    if (!m_mqtt || !m_mqtt->isConnected())
        return;
    QByteArray p = QByteArray("{\"state\":\"") + state + '"';
    if (qstrcmp(state, "running") == 0)
        p += ",\"sites\":" + QByteArray::number(siteCount()) + ",\"since\":\"" + IsoTimeText(m_since).toLatin1() + '"' +
             m_alarms->statusFields();
    p += '}';
    m_mqtt->publish(m_settings.mqtt->topicPrefix + QStringLiteral("/watchd/") + m_settings.mqtt->clientId, p, 1, true);
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
        m_clearAtConnect.clear(); // they belong to the old broker
        // The old broker is told that this watcher left it.
        publishWatcher("offline");
        m_mqtt->stop();
        m_mqtt.reset();
    }
    for (const QString &name : d.removed)
        removeSite(name, true);
    for (const QString &name : d.changed)
        removeSite(name, false);
    const bool folderChanged = d.logFolderChanged;
    m_settings = next;
    m_alarms->reload(next);
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
                 (d.alarmsChanged ? QStringLiteral(", new alarm settings") : QString()));
}

void Watcher::shutdown(int boundMs, std::function<void()> done)
{
    if (m_stopping)
        return;
    m_stopping = true;
    for (auto &[name, s] : m_sites) {
        s->run->stop();
        s->run->endIfStopAsked();
    }
    for (auto &[name, s] : m_sites)
        s->watch->stop();
    m_alarms->stop();
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
