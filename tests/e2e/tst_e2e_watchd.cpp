// qelvo-watchd end to end: the watcher as a service manager runs it, with a configuration
// written here, against qelvo-ctrlsim controllers on TCP ports of 127.0.0.1 (one process per
// site, each at a constant level, so a site can stop alone) and a mosquitto started here.
// The office side is the project's own MqttClient subscribed to e2e/#. The test functions
// run in order on one watcher: steady readings, Home Assistant's discovery, a site that is
// lost and one that stops answering, the broker away for 20 s, a reload, the stop; then
// every site's CSV is rebuilt from the readings that arrived with the log filer's own code
// and compared byte for byte. Last, a watcher killed and started again.
#include "support/FreePorts.h"
#include "support/Ctrlsim.h"
#include "support/Mosquitto.h"

#include "fleet/MqttClient.h"
#include "fleet/Watcher.h"
#include "link/Reading.h"
#include "logfiler/modLogFiler.h"
#include "platform/TextFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace {
QString watchdProgram()
{ return BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd")); }

// mosquitto on 127.0.0.1:port. It keeps its sessions across a restart, so the office's
// subscription (a session that is not clean) gets what the watcher publishes before the
// office has come back; the watcher's own queue is what the test is about.
struct Broker {
    QTemporaryDir dir;
    QProcess proc;
    quint16 port = freePort();
    bool start()
    {
        QFile conf(dir.filePath("mosquitto.conf"));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                  "persistence_location %3/\nlog_dest none\n")
                       .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name)).arg(port).arg(dir.path()).toUtf8());
        conf.close();
        return StartMosquitto(proc, conf.fileName(), port);
    }
    void stop() { stopProcess(proc); }
    ~Broker() { stop(); }
};

// One site: its controller (qelvo-ctrlsim with the demo windows, at a constant level) and
// what the watcher is told about it.
struct Site {
    Site(const QString &n, int l, int i, int pinned, int t) : name(n), level(l), intervalMs(i), pinnedType(pinned), type(t) {}
    QString name;
    int level;
    int intervalMs;
    int pinnedType; // input_type= in the configuration; 0: read from the controller
    int type;       // the input type its readings are decoded with
    quint16 port = freePort();
    std::unique_ptr<QProcess> sim;
    QString title() const { return QStringLiteral("川辺第%1観測所").arg(name.right(1)); }
    bool startSim()
    {
        sim = std::make_unique<QProcess>();
        return startCtrlsim(*sim, {"--tcp", QString::number(port), "--com", QString::number(10 + name.right(1).toInt()),
                                   "--level", QString::number(level), "--demo", "--quiet"});
    }
    pid_t pid() const { return pid_t(sim->processId()); }
};

// The outputs the demo windows give at a level (qelvo-ctrlsim --help): output n is closed
// from 128(n-1) to 128(n-1)+191 counts.
int demoOutputs(int level)
{
    int bits = 0;
    for (int n = 1; n <= 8; ++n)
        if (level >= 128 * (n - 1) && level <= qMin(128 * (n - 1) + 191, 1023))
            bits |= 1 << (n - 1);
    return bits;
}

struct Msg {
    QString topic;
    QByteArray payload;
    bool retained;
    qint64 atMs; // when the office received it
};

struct State {
    QByteArray payload;
    QString state, reason, title, code, since;
    int dropped = 0;
    qint64 atMs = 0;
};

const QRegularExpression kIsoMs(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d)$"));
} // namespace

class tst_e2e_watchd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo("qelvo-watchd said:\n%s", watchdSays().constData());
    }
    void readingsAtTheirInterval_data() { siteRows({"kawabe-1", "kawabe-2", "kawabe-3"}); }
    void readingsAtTheirInterval();
    void homeAssistantDiscovery();
    void siteLostAndSilentComeBack();
    void brokerAwayForTwentySeconds();
    void reloadAddsAndRemovesSites();
    void terminateEndsEveryRun();
    void logBytesAreTheReadingsReceived_data() { siteRows({"kawabe-1", "kawabe-2", "kawabe-3", "kawabe-4"}); }
    void logBytesAreTheReadingsReceived();
    void checkOption_data();
    void checkOption();
    void killedWatcherLeavesNoLiveState();

private:
    void siteRows(const QStringList &names)
    {
        QTest::addColumn<QString>("name");
        for (const QString &n : names)
            QTest::newRow(qPrintable(n)) << n;
    }
    Site &site(const QString &name)
    {
        return *std::find_if(m_sites.begin(), m_sites.end(), [&](const Site &s) { return s.name == name; });
    }
    QString config(const QStringList &names) const;
    bool writeConfig(const QString &text) const
    {
        QFile f(m_confPath);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text.toUtf8()) == text.toUtf8().size();
    }
    // The site's readings as received, in order, each checked against the controller and the
    // watcher's unit; a QoS 1 duplicate (the same message again) is left out.
    QList<Reading> readings(const Site &s, QString *fault) const;
    QList<State> states(const QString &name, qint64 sinceMs = 0) const;
    bool waitState(const QString &name, const QString &state, qint64 sinceMs, int timeoutMs)
    {
        return QTest::qWaitFor([&] {
            const QList<State> l = states(name, sinceMs);
            return !l.isEmpty() && l.last().state == state;
        }, timeoutMs);
    }
    QByteArray watchdSays() { return m_watchdErr += m_watchd.readAllStandardError(); }
    // The retained messages under pattern, as a client that subscribes now gets them.
    QHash<QString, QByteArray> retained(const QString &pattern);

    Broker m_broker;
    QTemporaryDir m_dir;
    QString m_confPath, m_logs;
    std::vector<Site> m_sites;
    std::unique_ptr<MqttClient> m_office;
    QList<Msg> m_msgs;
    QElapsedTimer m_clock;
    QProcess m_watchd;
    QByteArray m_watchdErr;
    QDateTime m_awayFrom, m_awayTo;
};

QString tst_e2e_watchd::config(const QStringList &names) const
{
    QString t = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=1000\n[mqtt]\nurl=mqtt://127.0.0.1:%2\n"
                               "topic_prefix=e2e\nclient_id=watchd-e2e\nqueue_limit=100\nhomeassistant_discovery=true\n"
                               "[sites]\n")
                    .arg(m_logs).arg(m_broker.port);
    for (const Site &s : m_sites)
        if (names.contains(s.name))
            t += QStringLiteral("%1=tcp://127.0.0.1:%2\n").arg(s.name).arg(s.port);
    for (const Site &s : m_sites) {
        if (!names.contains(s.name))
            continue;
        t += QStringLiteral("[%1]\ninterval_ms=%2\ntitle=%3\n").arg(s.name).arg(s.intervalMs).arg(s.title());
        if (s.pinnedType)
            t += QStringLiteral("input_type=%1\n").arg(s.pinnedType);
    }
    return t;
}

QList<Reading> tst_e2e_watchd::readings(const Site &s, QString *fault) const
{
    QList<Reading> out;
    QDateTime lastLive, lastLate; // each stream in order: the live readings, and those that waited
    QSet<QByteArray> seen;
    const ReadingScale scale = ScaleOfType(s.type);
    const QString outputs = QString::number(demoOutputs(s.level), 16).toUpper().rightJustified(2, '0');
    for (const Msg &m : m_msgs) {
        if (m.topic != QStringLiteral("e2e/%1/reading").arg(s.name) || seen.contains(m.payload))
            continue;
        seen << m.payload;
        const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
        const QString time = o.value("time").toString();
        const Reading r = MakeReading(QDateTime::fromString(time, Qt::ISODateWithMs),
                                      QString::number(o.value("count").toInt(-1), 16).toUpper().rightJustified(4, '0'),
                                      o.value("outputs").toString(), scale);
        bool bits = true;
        for (int ch = 1; ch <= 8; ++ch)
            bits = bits && o.value(QStringLiteral("output%1").arg(ch)).toBool() == r.outputOn(ch);
        QDateTime &last = o.value("late").toBool() ? lastLate : lastLive;
        // Asia/Tokyo is the watcher's zone here (initTestCase).
        const bool ok = o.value("site").toString() == s.name && kIsoMs.match(time).hasMatch() && time.endsWith("+09:00")
                        && qint64(o.value("ts").toDouble()) == r.time.toMSecsSinceEpoch()
                        && o.value("count").toInt(-1) == s.level && o.value("unit").toString() == SiUnit(scale.unit)
                        && QString::number(o.value("value").toDouble(-1), 'f', 2) == r.valueText()
                        && o.value("outputs").toString() == outputs && o.value("outputs").toString() == r.outputsHex
                        && bits && o.value("quality").toString() == QLatin1String("good") && o.value("late").isBool()
                        && (!last.isValid() || last < r.time);
        if (!ok && fault->isEmpty())
            *fault = QStringLiteral("%1 after %2 readings (level %3, unit %4, outputs %5, in order)")
                         .arg(QString::fromUtf8(m.payload)).arg(out.size()).arg(s.level).arg(SiUnit(scale.unit), outputs);
        last = r.time;
        out << r;
    }
    // The live readings and those that waited, as the controller gave them.
    std::stable_sort(out.begin(), out.end(), [](const Reading &a, const Reading &b) { return a.time < b.time; });
    return out;
}

QHash<QString, QByteArray> tst_e2e_watchd::retained(const QString &pattern)
{
    MqttClient::Options o = m_office->options();
    o.clientId = "e2e-retained";
    o.cleanSession = true;
    MqttClient c(o);
    QHash<QString, QByteArray> kept;
    connect(&c, &MqttClient::messageReceived, this, [&](const QString &t, const QByteArray &p, bool r) {
        if (r)
            kept[t] = p;
    });
    c.start();
    if (!QTest::qWaitFor([&] { return c.isConnected(); }, 5000) || c.subscribe(pattern, 1) <= 0)
        return {};
    QTest::qWait(1000);
    return kept;
}

QList<State> tst_e2e_watchd::states(const QString &name, qint64 sinceMs) const
{
    QList<State> out;
    for (const Msg &m : m_msgs) {
        if (m.topic != QStringLiteral("e2e/%1/state").arg(name) || m.atMs < sinceMs)
            continue;
        const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
        out << State{m.payload, m.payload.isEmpty() ? QStringLiteral("(cleared)") : o.value("state").toString(),
                     o.value("reason").toString(), o.value("title").toString(), o.value("code").toString(),
                     o.value("since").toString(), o.value("dropped").toInt(), m.atMs};
    }
    return out;
}

void tst_e2e_watchd::initTestCase()
{
    QVERIFY2(QFileInfo(watchdProgram()).isExecutable(), qPrintable(watchdProgram() + " (set QELVO_WATCHD)"));
    QVERIFY(QFile::exists("/usr/share/zoneinfo/Asia/Tokyo"));
    QVERIFY2(m_broker.start(), "mosquitto did not start (scripts/common.sh installs it)");
    m_confPath = m_dir.filePath("watchd.ini");
    m_logs = m_dir.filePath("logs");
    // kawabe-3 runs at 150 ms, so 20 s without the broker overflow its queue of 100 readings;
    // the others stay under it. kawabe-4's controller is told the 10 m distance input type.
    m_sites.emplace_back("kawabe-1", 100, 500, 0, 1);
    m_sites.emplace_back("kawabe-2", 700, 400, 3, 3);
    m_sites.emplace_back("kawabe-3", 1000, 150, 0, 1);
    m_sites.emplace_back("kawabe-4", 300, 250, 0, 5);
    for (int i = 0; i < 3; ++i)
        QVERIFY2(m_sites[i].startSim(), qPrintable(m_sites[i].name));

    m_clock.start();
    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(m_broker.port);
    o.clientId = QStringLiteral("e2e-office");
    o.cleanSession = false;
    o.reconnectMinMs = 200;
    o.reconnectMaxMs = 400;
    m_office = std::make_unique<MqttClient>(o);
    connect(m_office.get(), &MqttClient::messageReceived, this, [this](const QString &t, const QByteArray &p, bool r) {
        m_msgs << Msg{t, p, r, m_clock.elapsed()};
    });
    QSignalSpy subscribed(m_office.get(), &MqttClient::subscribed);
    QVERIFY(m_office->start());
    QTRY_VERIFY(m_office->isConnected());
    QVERIFY(m_office->subscribe("e2e/#", 1) > 0 && subscribed.wait(5000));

    QVERIFY(writeConfig(config({"kawabe-1", "kawabe-2", "kawabe-3"})));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TZ", "Asia/Tokyo");
    m_watchd.setProcessEnvironment(env);
    m_watchd.start(watchdProgram(), {m_confPath});
    QVERIFY(m_watchd.waitForStarted(5000));
    for (const char *n : {"kawabe-1", "kawabe-2", "kawabe-3"})
        QVERIFY2(waitState(n, "online", 0, 10000), watchdSays().constData());
    QTest::qWait(4000);
}

void tst_e2e_watchd::cleanupTestCase()
{
    for (Site &s : m_sites)
        if (s.sim) {
            ::kill(s.pid(), SIGCONT);
            stopProcess(*s.sim);
        }
    stopProcess(m_watchd);
}

void tst_e2e_watchd::readingsAtTheirInterval()
{
    QFETCH(QString, name);
    const Site &s = site(name);
    QString fault;
    const QList<Reading> rs = readings(s, &fault);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    QVERIFY2(rs.size() >= 4000 / s.intervalMs, qPrintable(QString::number(rs.size())));
    QList<qint64> gaps;
    for (int i = 1; i < rs.size(); ++i)
        gaps << rs[i - 1].time.msecsTo(rs[i].time);
    std::sort(gaps.begin(), gaps.end());
    const qint64 median = gaps[gaps.size() / 2];
    QVERIFY2(qAbs(median - s.intervalMs) <= s.intervalMs / 10, qPrintable(QString("median %1 ms").arg(median)));
    const QList<State> st = states(name);
    QCOMPARE(st.last().title, s.title());
    QCOMPARE(st.last().reason, QString());
    QCOMPARE(st.last().code, QString("ok"));
    for (const State &one : st)
        QVERIFY2(kIsoMs.match(one.since).hasMatch(), one.payload.constData());
    QList<Msg> w;
    std::copy_if(m_msgs.begin(), m_msgs.end(), std::back_inserter(w), [](const Msg &m) { return m.topic == "e2e/watchd/watchd-e2e"; });
    QVERIFY(!w.isEmpty());
    const QJsonObject o = QJsonDocument::fromJson(w.last().payload).object();
    QCOMPARE(o.value("state").toString(), QString("running"));
    QCOMPARE(o.value("sites").toInt(), 3);
    QVERIFY(kIsoMs.match(o.value("since").toString()).hasMatch());
    QVERIFY(!o.value("version").toString().isEmpty());
    // The watcher came after its sites' states: none of them was older than its "running".
    const qsizetype running = std::find_if(m_msgs.begin(), m_msgs.end(), [](const Msg &m) {
        return m.topic == "e2e/watchd/watchd-e2e";
    }) - m_msgs.begin();
    QVERIFY(std::any_of(m_msgs.begin(), m_msgs.begin() + running, [&](const Msg &m) { return m.topic == "e2e/" + name + "/state"; }));
}

// What Home Assistant finds under homeassistant/ for the first three sites: a sensor of the
// level in the site's unit and a binary sensor per warning output (all eight), with the keys
// of its MQTT sensor and binary sensor, each available while the site is online and the
// watcher runs.
void tst_e2e_watchd::homeAssistantDiscovery()
{
    const QHash<QString, QByteArray> kept = retained("homeassistant/#");
    const QSet<QString> keys{"name", "unique_id", "state_topic", "value_template", "availability",
                             "availability_mode", "device", "qos", "device_class", "unit_of_measurement",
                             "state_class", "payload_on", "payload_off"};
    const QHash<QString, QString> units{{"kawabe-1", "V"}, {"kawabe-2", "mA"}, {"kawabe-3", "V"}};
    QSet<QString> ids;
    for (const QString &name : {QStringLiteral("kawabe-1"), QStringLiteral("kawabe-2"), QStringLiteral("kawabe-3")}) {
        const QString sensor = "homeassistant/sensor/watchd-e2e/" + name + "_level/config";
        QVERIFY2(kept.contains(sensor), qPrintable(QStringList(kept.keys()).join(' ')));
        QJsonObject o = QJsonDocument::fromJson(kept[sensor]).object();
        QCOMPARE(o.value("unit_of_measurement").toString(), units[name]);
        QCOMPARE(o.value("device_class").toString(), QString(units[name] == "V" ? "voltage" : "current"));
        QCOMPARE(o.value("device").toObject().value("name").toString(), site(name).title());
        for (int ch = 1; ch <= 8; ++ch) {
            const QString out = QStringLiteral("homeassistant/binary_sensor/watchd-e2e/%1_output%2/config").arg(name).arg(ch);
            QVERIFY2(kept.contains(out), qPrintable(out));
        }
        for (auto it = kept.begin(); it != kept.end(); ++it) {
            if (!it.key().contains("/" + name + "_"))
                continue;
            o = QJsonDocument::fromJson(it.value()).object();
            for (const QString &k : o.keys())
                QVERIFY2(keys.contains(k), qPrintable(it.key() + ": " + k));
            QCOMPARE(o.value("state_topic").toString(), "e2e/" + name + "/reading");
            const QJsonArray av = o.value("availability").toArray();
            QCOMPARE(av.size(), 2);
            QCOMPARE(av[0].toObject().value("topic").toString(), "e2e/" + name + "/state");
            QCOMPARE(av[1].toObject().value("topic").toString(), QString("e2e/watchd/watchd-e2e"));
            ids << o.value("unique_id").toString();
        }
    }
    QCOMPARE(ids.size(), 27);
}

void tst_e2e_watchd::siteLostAndSilentComeBack()
{
    // kawabe-3's controller goes away (lost, then back on the same port); kawabe-2's stops
    // answering (no-reply once a poll has waited 20 s); kawabe-1 goes on alone.
    Site &lost = site("kawabe-3"), &silent = site("kawabe-2");
    const qint64 t0 = m_clock.elapsed();
    QVERIFY(::kill(silent.pid(), SIGSTOP) == 0);
    stopProcess(*lost.sim);
    QVERIFY2(waitState(lost.name, "lost", t0, 5000), watchdSays().constData());
    QVERIFY(!states(lost.name, t0).last().reason.isEmpty());
    QTest::qWait(1000);
    QVERIFY(lost.startSim());
    QVERIFY2(waitState(lost.name, "online", t0, 15000), watchdSays().constData());
    QVERIFY2(waitState(silent.name, "no-reply", t0, 26000), watchdSays().constData());
    const qint64 after = states(silent.name, t0).last().atMs - t0;
    QVERIFY2(after >= 19500 && after <= 23000, qPrintable(QString("no-reply after %1 ms").arg(after)));
    QVERIFY(!states(silent.name, t0).last().reason.isEmpty());
    QVERIFY(::kill(silent.pid(), SIGCONT) == 0);
    QVERIFY2(waitState(silent.name, "online", t0 + after, 10000), watchdSays().constData());
    QCOMPARE(states("kawabe-1", t0).size(), 0);
    // Both give readings at their interval again.
    const QDateTime back = QDateTime::currentDateTime();
    QTest::qWait(3000);
    for (const Site *s : {&lost, &silent}) {
        QString fault;
        const QList<Reading> rs = readings(*s, &fault);
        const qsizetype fresh = std::count_if(rs.begin(), rs.end(), [&](const Reading &r) { return r.time > back; });
        QVERIFY2(fresh >= 2500 / s->intervalMs, qPrintable(QString("%1: %2 readings in 3 s").arg(s->name).arg(fresh)));
    }
}

void tst_e2e_watchd::brokerAwayForTwentySeconds()
{
    const Site &s = site("kawabe-1");
    m_awayFrom = QDateTime::currentDateTime();
    m_broker.stop();
    QTest::qWait(20000);
    QVERIFY(m_broker.start());
    m_awayTo = QDateTime::currentDateTime();
    const qint64 back = m_clock.elapsed();
    // The watcher's back-off (1, 2, 4, 8, 16 s) brings it back within about 12 s; the
    // readings taken meanwhile follow the live ones.
    QString fault;
    int during = 0;
    QVERIFY2(QTest::qWaitFor([&] {
        const QList<Reading> rs = readings(s, &fault);
        during = int(std::count_if(rs.begin(), rs.end(), [&](const Reading &r) { return r.time > m_awayFrom && r.time < m_awayTo; }));
        return !rs.isEmpty() && rs.last().time > m_awayTo.addSecs(1) && during >= 20000 / s.intervalMs - 2;
    }, 25000), qPrintable(QStringLiteral("%1 readings of the outage\n").arg(during) + watchdSays()));
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    // What was taken while the broker was away came late, and said so.
    for (const Msg &m : m_msgs) {
        if (m.topic != "e2e/kawabe-1/reading")
            continue;
        const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
        const QDateTime t = QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs);
        if (t > m_awayFrom.addSecs(1) && t < m_awayTo.addSecs(-1))
            QVERIFY2(o.value("late").toBool(), m.payload.constData());
    }
    // The retry lines tell the wait that comes: 1 s, then 2 s ...; each line is one line.
    const QByteArray said = watchdSays();
    static const QRegularExpression retry(QStringLiteral("next try in ([0-9.]+) s"));
    QList<double> waits;
    for (auto it = retry.globalMatch(QString::fromUtf8(said)); it.hasNext();)
        waits << it.next().captured(1).toDouble();
    QVERIFY2(waits.size() >= 3 && waits[0] == 1 && waits[1] == 2 && waits[2] == 4, said.constData());
    QVERIFY2(said.contains("kawabe-3: 100 readings wait for the broker"), said.constData());
    // kawabe-3 overflowed its queue: the next state says how many readings were dropped.
    QTRY_VERIFY_WITH_TIMEOUT(!states("kawabe-3", back).isEmpty(), 5000);
    const State st = states("kawabe-3", back).last();
    QCOMPARE(st.state, QString("online"));
    QVERIFY2(st.dropped > 0, qPrintable(QString::number(st.dropped)));
    QTest::qWait(1000); // the states of the new connection have all come
}

void tst_e2e_watchd::reloadAddsAndRemovesSites()
{
    // A file with a fault changes nothing: the fault is told, the old sites run on.
    qint64 t0 = m_clock.elapsed();
    QVERIFY(writeConfig(config({"kawabe-1", "kawabe-2"}).replace("interval_ms=1000", "interval_ms=5")));
    QVERIFY(::kill(pid_t(m_watchd.processId()), SIGHUP) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(watchdSays().contains(QStringLiteral("%1:3:").arg(m_confPath).toUtf8()), 5000);
    QTest::qWait(1000);
    QCOMPARE(m_watchd.state(), QProcess::Running);
    for (const char *n : {"kawabe-1", "kawabe-2", "kawabe-3"})
        QCOMPARE(states(n, t0).size(), 0);

    // kawabe-4 comes with its controller set to the 10 m distance type; kawabe-2 goes.
    Site &added = site("kawabe-4");
    QVERIFY(added.startSim());
    QTcpSocket line;
    line.connectToHost(QHostAddress::LocalHost, added.port);
    QVERIFY(line.waitForConnected(3000));
    line.write("W2D04\r");
    QByteArray answer;
    QTRY_COMPARE(answer += line.readAll(), QByteArray("W\r"));
    line.disconnectFromHost();
    QTest::qWait(200); // the controller takes one client at a time
    t0 = m_clock.elapsed();
    QVERIFY(writeConfig(config({"kawabe-1", "kawabe-3", "kawabe-4"})));
    QVERIFY(::kill(pid_t(m_watchd.processId()), SIGHUP) == 0);
    QVERIFY2(waitState("kawabe-4", "online", t0, 10000), watchdSays().constData());
    QVERIFY2(waitState("kawabe-2", "(cleared)", t0, 5000), watchdSays().constData());
    QTest::qWait(2000);
    for (const char *n : {"kawabe-1", "kawabe-3"})
        QCOMPARE(states(n, t0).size(), 0);
    QString fault;
    QVERIFY(readings(added, &fault).size() >= 6);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));

    // What an office that comes now is told: the three sites, and nothing of kawabe-2.
    MqttClient::Options o = m_office->options();
    o.clientId = "e2e-late";
    o.cleanSession = true;
    MqttClient late(o);
    QStringList kept;
    connect(&late, &MqttClient::messageReceived, this, [&](const QString &t, const QByteArray &, bool r) {
        if (r)
            kept << t;
    });
    late.start();
    QTRY_VERIFY(late.isConnected());
    QVERIFY(late.subscribe("e2e/+/state", 1) > 0);
    QTest::qWait(1000);
    kept.sort();
    QCOMPARE(kept, (QStringList{"e2e/kawabe-1/state", "e2e/kawabe-3/state", "e2e/kawabe-4/state"}));

    // Home Assistant forgets kawabe-2, and finds kawabe-4 (a distance, in m).
    const QHash<QString, QByteArray> discovery = retained("homeassistant/#");
    QVERIFY(!discovery.isEmpty());
    for (auto it = discovery.begin(); it != discovery.end(); ++it)
        QVERIFY2(!it.key().contains("kawabe-2"), qPrintable(it.key()));
    const QJsonObject level = QJsonDocument::fromJson(discovery.value("homeassistant/sensor/watchd-e2e/kawabe-4_level/config")).object();
    QCOMPARE(level.value("unit_of_measurement").toString(), QString("m"));
    QCOMPARE(level.value("device_class").toString(), QString("distance"));
}

void tst_e2e_watchd::terminateEndsEveryRun()
{
    const qint64 t0 = m_clock.elapsed();
    QElapsedTimer took;
    took.start();
    QVERIFY(::kill(pid_t(m_watchd.processId()), SIGTERM) == 0);
    QVERIFY(m_watchd.waitForFinished(10000));
    const qint64 ms = took.elapsed();
    QCOMPARE(m_watchd.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_watchd.exitCode(), 0);
    QVERIFY2(ms < 2000, qPrintable(QString("%1 ms").arg(ms)));
    for (const char *n : {"kawabe-1", "kawabe-3", "kawabe-4"})
        QVERIFY2(waitState(n, "stopped", t0, 3000), n);
    QTRY_VERIFY(std::any_of(m_msgs.begin(), m_msgs.end(), [&](const Msg &m) {
        return m.atMs >= t0 && m.topic == "e2e/watchd/watchd-e2e"
               && QJsonDocument::fromJson(m.payload).object().value("state").toString() == "offline";
    }));
    for (const char *n : {"kawabe-1", "kawabe-3", "kawabe-4"})
        QCOMPARE(states(n, t0).last().code, QString("watcher-stopped"));
}

void tst_e2e_watchd::logBytesAreTheReadingsReceived()
{
    QFETCH(QString, name);
    const Site &s = site(name);
    QString fault;
    const QList<Reading> rs = readings(s, &fault);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
    // kawabe-1 was never touched: not one reading is missing, whatever the broker did.
    for (int i = 1; name == "kawabe-1" && i < rs.size(); ++i)
        QVERIFY2(rs[i - 1].time.msecsTo(rs[i].time) < s.intervalMs * 19 / 10,
                 qPrintable(rs[i - 1].time.toString(Qt::ISODateWithMs) + " -> " + rs[i].time.toString(Qt::ISODateWithMs)));
    int dropped = 0;
    QSet<QByteArray> told; // a state delivered twice (QoS 1) told its drops once
    for (const State &st : states(name))
        if (!told.contains(st.payload)) {
            told << st.payload;
            dropped += st.dropped;
        }

    // Each file again from the blocks it holds and, for its data lines, the readings
    // received: the line the log filer makes of each, numbered within its run.
    const QDir dir(m_logs + "/" + name);
    const QStringList files = dir.entryList({"*.csv"}, QDir::Files, QDir::Name);
    QVERIFY(!files.isEmpty());
    static const QRegularExpression block(QStringLiteral("^/\\*\\* Logging (Start|QUIT|Quit|END T) \\*\\*/$"));
    static const QRegularExpression timeLine(QStringLiteral("^Time :,\\d{4}/\\d\\d/\\d\\d, \\d\\d:\\d\\d:\\d\\d$"));
    QStringList markers;
    QString mismatch;
    int next = 0, unreceived = 0, number = 0;
    bool inRun = false;
    for (const QString &f : files) {
        QByteArray bytes;
        QCOMPARE(ReadWholeFile(dir.filePath(f), bytes).number, 0);
        const QStringList lines = SjisDecode(bytes).split("\r\n");
        QVERIFY2(lines.last().isEmpty(), qPrintable(f + ": the last line has no CR LF"));
        QStringList expected;
        for (int i = 0; i + 1 < lines.size(); ++i) {
            const QString &l = lines[i];
            const QRegularExpressionMatch b = block.match(l);
            if (b.hasMatch() && i + 2 < lines.size() && timeLine.match(lines[i + 1]).hasMatch()) {
                QVERIFY2(inRun != (b.captured(1) == "Start"), qPrintable(f + ": " + l));
                inRun = b.captured(1) == "Start";
                markers << b.captured(1);
                expected << l << lines[++i];
                number = 0;
                continue;
            }
            QVERIFY2(inRun, qPrintable(f + ": outside a run: " + l));
            ++number;
            const QString line = next < rs.size() ? MakeDataLine(number, rs[next].time, rs[next], true, true) : QString();
            if (line == l) {
                QCOMPARE(f, rs[next].time.toString("'qlv'yyyyMMdd'.csv'"));
                ++next;
            } else {
                ++unreceived; // dropped from the broker queue: told in the state, never published
                if (mismatch.isEmpty())
                    mismatch = QStringLiteral("%1: \"%2\" where the next reading received makes \"%3\"").arg(f, l, line);
            }
            expected << l;
            QVERIFY2(l.startsWith(QStringLiteral("%1, ").arg(number, 6, 10, QLatin1Char('0'))), qPrintable(f + ": " + l));
        }
        // Shift_JIS with CR LF after every line, and nothing between the lines.
        QCOMPARE(bytes, SjisLines(expected));
    }
    QVERIFY2(!inRun, "the last run has no end block");
    QVERIFY2(next == rs.size() && unreceived == dropped,
             qPrintable(QString("%1 of %2 readings received found in the log; %3 lines not received, %4 told dropped; %5")
                            .arg(next).arg(rs.size()).arg(unreceived).arg(dropped).arg(mismatch)));
    // A day's end closes one run and opens the next; what else the runs did depends on the site.
    markers = markers.join(",").replace("END T,Start,", "").split(",");
    const bool stopped = name == "kawabe-2" || name == "kawabe-3";
    QCOMPARE(markers, stopped ? (QStringList{"Start", "Quit", "Start", "QUIT"}) : (QStringList{"Start", "QUIT"}));
}

void tst_e2e_watchd::checkOption_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("text"); // LOGS stands for a folder of the case's own
    QTest::addColumn<int>("code");
    QTest::addColumn<QList<int>>("faultLines");
    const QString good = "[watch]\nlog_folder=LOGS\ninterval_ms=500\n[sites]\na=COM3\nb=tcp://127.0.0.1:4001\n[b]\ntitle=第2\n";
    const QString bad = "[watch]\nlog_folder=LOGS\ninterval_ms=5\n[mqtt]\nurl=http://x\n[sites]\na=COM3\nb=COM100\n"
                        "[a]\ninput_type=9\n";
    QTest::newRow("good") << QStringList{"--check"} << good << 0 << QList<int>{};
    QTest::newRow("four faults") << QStringList{"--check"} << bad << 2 << QList<int>{3, 5, 8, 10};
    QTest::newRow("four faults, run") << QStringList{} << bad << 2 << QList<int>{3, 5, 8, 10};
}

void tst_e2e_watchd::checkOption()
{
    QFETCH(QStringList, args);
    QFETCH(QString, text);
    QFETCH(int, code);
    QFETCH(QList<int>, faultLines);
    QTemporaryDir d;
    const QString path = d.filePath("w.ini");
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QString(text).replace("LOGS", d.filePath("logs")).toUtf8());
    f.close();
    QProcess p;
    p.start(watchdProgram(), args << path);
    QVERIFY(p.waitForFinished(10000));
    const QString said = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == code, qPrintable(said));
    QVERIFY(!QFile::exists(d.filePath("logs"))); // nothing started
    if (code == 0)
        return;
    // One line per fault, each naming the file and its line.
    const QRegularExpression fault("^" + QRegularExpression::escape(path) + ":(\\d+): \\S");
    QList<int> lines;
    for (const QString &l : said.split('\n', Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = fault.match(l);
        QVERIFY2(m.hasMatch(), qPrintable(said));
        lines << m.captured(1).toInt();
    }
    std::sort(lines.begin(), lines.end());
    QVERIFY2(lines == faultLines, qPrintable(said));
}

// The watcher killed (SIGKILL) and started again. A consumer that joins each site's state
// with the state of the watcher it names never finds a site online while the watcher is
// away: the broker's last will says offline at once, and the watcher that comes back
// replaces every site's state before it says running again.
void tst_e2e_watchd::killedWatcherLeavesNoLiveState()
{
    QString text = config({"kawabe-1", "kawabe-3", "kawabe-4"});
    text.replace(m_logs, m_dir.filePath("logs-again"));
    QVERIFY(writeConfig(text));
    const auto start = [&] {
        m_watchd.start(watchdProgram(), {m_confPath});
        return m_watchd.waitForStarted(5000);
    };
    // What a consumer that subscribes now makes of it: the sites it would show online.
    const auto joinedOnline = [&] {
        const QHash<QString, QByteArray> kept = retained("e2e/#");
        QStringList online;
        for (auto it = kept.begin(); it != kept.end(); ++it) {
            const QJsonObject o = QJsonDocument::fromJson(it.value()).object();
            if (!it.key().endsWith("/state") || o.value("state").toString() != "online")
                continue;
            const QJsonObject w = QJsonDocument::fromJson(kept.value("e2e/watchd/" + o.value("watchd").toString())).object();
            if (w.value("state").toString() == "running")
                online << o.value("site").toString();
        }
        return online;
    };
    qint64 t0 = m_clock.elapsed();
    QVERIFY(start());
    for (const char *n : {"kawabe-1", "kawabe-3", "kawabe-4"})
        QVERIFY2(waitState(n, "online", t0, 15000), watchdSays().constData());
    QCOMPARE(joinedOnline().size(), 3);

    QVERIFY(::kill(pid_t(m_watchd.processId()), SIGKILL) == 0);
    QVERIFY(m_watchd.waitForFinished(5000));
    QTest::qWait(1000);
    QCOMPARE(joinedOnline(), QStringList());

    t0 = m_clock.elapsed();
    QVERIFY(start());
    QTRY_VERIFY_WITH_TIMEOUT(std::any_of(m_msgs.begin(), m_msgs.end(), [&](const Msg &m) {
        return m.atMs >= t0 && m.topic == "e2e/watchd/watchd-e2e"
               && QJsonDocument::fromJson(m.payload).object().value("state").toString() == "running";
    }), 10000);
    // Each site's state was replaced before the watcher said running: at no moment did the
    // two topics together show a state of the killed watcher's as live.
    QSet<QString> replaced;
    for (const Msg &m : m_msgs) {
        if (m.atMs < t0)
            continue;
        if (m.topic.endsWith("/state"))
            replaced << m.topic.section('/', 1, 1);
        if (m.topic == "e2e/watchd/watchd-e2e") {
            QCOMPARE(replaced, (QSet<QString>{"kawabe-1", "kawabe-3", "kawabe-4"}));
            break;
        }
    }
    for (const char *n : {"kawabe-1", "kawabe-3", "kawabe-4"})
        QVERIFY2(waitState(n, "online", t0, 15000), watchdSays().constData());
    QCOMPARE(joinedOnline().size(), 3);
    QVERIFY(::kill(pid_t(m_watchd.processId()), SIGTERM) == 0);
    QVERIFY(m_watchd.waitForFinished(10000));
}

QTEST_GUILESS_MAIN(tst_e2e_watchd)
#include "tst_e2e_watchd.moc"
