// The alarms held by qelvo-watchd, end to end: a mosquitto that wants a password from every
// client and lets a user publish commands only under its own name (password_file written
// with mosquitto_passwd, acl_file with "pattern write PREFIX/command/%u/#"), the watcher
// over qelvo-ctrlsim controllers on TCP ports, two views (the project's MqttClient as the
// user "view") and operators who act by publishing commands. The test functions run in
// order on one watcher: a warning output raises UNACK in both views; someone who publishes
// under another user's name is refused by the broker; an operator's acknowledgement shows in
// both views and in the journal with the user's name; outputs that go off again leave the
// acknowledged alarm normal and the unacknowledged one RTNUN until acknowledged; every raise
// reaches the notification program and the web hook (a server here that fails twice first)
// exactly once, while the polls go on; the watcher killed with SIGKILL and started again
// keeps what was unacknowledged unacknowledged and what was acknowledged acknowledged; the
// broker restarted gets every site's alarms back; and a flood of hostile commands changes
// nothing and is counted.
#include "support/FreePorts.h"
#include "support/Ctrlsim.h"
#include "support/HttpTestServer.h"
#include "support/Mosquitto.h"

#include "fleet/AlarmBook.h"
#include "fleet/MqttClient.h"
#include "platform/TextFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
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
const QString kPrefix = QStringLiteral("e2a");

QString watchdProgram()
{
    return BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd"));
}

QString findProgram(const QString &name)
{
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/usr/local/sbin", "/usr/bin", "/usr/local/bin"});
}

// mosquitto on 127.0.0.1: passwords for everyone, commands only under one's own name. It
// keeps nothing across a restart: what comes back is what the watcher publishes again.
struct Broker {
    QTemporaryDir dir;
    QProcess proc;
    quint16 port = freePort();
    QStringList users = {"qelvo-watchd", "view", "sato", "tanaka", "intruder", "mallory"};

    bool setUp()
    {
        const QString passwd = dir.filePath("passwd");
        for (int i = 0; i < users.size(); ++i) {
            QStringList args;
            if (i == 0)
                args << "-c";
            args << "-b" << passwd << users[i] << users[i] + "-pw";
            if (QProcess::execute(findProgram("mosquitto_passwd"), args) != 0)
                return false;
        }
        QFile acl(dir.filePath("acl"));
        if (!acl.open(QIODevice::WriteOnly))
            return false;
        acl.write(QStringLiteral("user qelvo-watchd\ntopic readwrite %1/#\n\n"
                                 "user view\ntopic read %1/#\n\n"
                                 "user sato\ntopic read %1/#\nuser tanaka\ntopic read %1/#\n"
                                 "user intruder\ntopic read %1/#\nuser mallory\ntopic read %1/#\n\n"
                                 "pattern write %1/command/%u/#\n")
                      .arg(kPrefix)
                      .toUtf8());
        acl.close();
        QFile conf(dir.filePath("mosquitto.conf"));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous false\npassword_file %3\n"
                                  "acl_file %4\npersistence false\nlog_dest none\n")
                       .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name))
                       .arg(port)
                       .arg(passwd, acl.fileName())
                       .toUtf8());
        return true;
    }
    bool start()
    {
        return StartMosquitto(proc, dir.filePath("mosquitto.conf"), port);
    }
    void stop() { stopProcess(proc); }
    ~Broker() { stop(); }
};

struct Site {
    QString name;
    QStringList simArgs;
    quint16 port = freePort();
    std::unique_ptr<QProcess> sim;
};

QString states(const SiteAlarms &s)
{
    QStringList out;
    for (const Alarm &a : s.alarms)
        out << QLatin1String(AlarmCauseName(a.cause)) + QLatin1Char('=') + QLatin1String(AlarmStateName(a.state()));
    return out.join(QLatin1Char(','));
}

struct Msg {
    QString topic;
    QByteArray payload;
    bool retained;
    qint64 atMs;
};

// A client of the broker as a named user, keeping every message it is given.
struct Client {
    std::unique_ptr<MqttClient> mqtt;
    QList<Msg> msgs;
    const QElapsedTimer *clock = nullptr;

    // A view subscribes as the office view does: readings, states, alarms and the watchers.
    bool start(const QString &id, const QString &user, quint16 port, const QElapsedTimer &c,
               const QStringList &filters = {kPrefix + "/+/reading", kPrefix + "/+/state", kPrefix + "/+/alarms",
                                             kPrefix + "/watchd/+"})
    {
        clock = &c;
        MqttClient::Options o;
        o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
        o.clientId = id;
        o.username = user;
        o.password = user + "-pw";
        o.reconnectMinMs = 200;
        o.reconnectMaxMs = 400;
        mqtt = std::make_unique<MqttClient>(o);
        QObject::connect(mqtt.get(), &MqttClient::messageReceived, mqtt.get(),
                         [this](const QString &t, const QByteArray &p, bool r) { msgs << Msg{t, p, r, clock->elapsed()}; });
        QSignalSpy subscribed(mqtt.get(), &MqttClient::subscribed);
        if (!mqtt->start() || !QTest::qWaitFor([&] { return mqtt->isConnected(); }, 5000))
            return false;
        for (const QString &f : filters)
            if (mqtt->subscribe(f, 1) <= 0)
                return false;
        return QTest::qWaitFor([&] { return subscribed.size() == filters.size(); }, 5000);
    }
    // The site's alarms as this client last heard them.
    SiteAlarms alarms(const QString &site) const
    {
        for (qsizetype i = msgs.size() - 1; i >= 0; --i)
            if (msgs[i].topic == kPrefix + "/" + site + "/alarms") {
                SiteAlarms s;
                ParseAlarmsPayload(msgs[i].payload, &s);
                return s;
            }
        return {};
    }
    QString state(const QString &site, AlarmCause c) const
    {
        for (const Alarm &a : alarms(site).alarms)
            if (a.cause == c)
                return QLatin1String(AlarmStateName(a.state()));
        return QStringLiteral("NORM");
    }
    int count(const QString &topic) const
    {
        return int(std::count_if(msgs.begin(), msgs.end(), [&](const Msg &m) { return m.topic == topic; }));
    }
};
} // namespace

class tst_e2e_alarms : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo("qelvo-watchd said:\n%s", watchdSays().right(6000).constData());
    }
    void warningOutputRaisesUnackInBothViews();
    void anotherUsersTopicIsRefusedByTheBroker();
    void acknowledgementShowsEverywhereWithItsUser();
    void outputsGoingOffAgain();
    void eachRaiseNotifiedOnceWhilePollingGoesOn();
    void killedWatcherKeepsItsAlarms();
    void brokerRestartedGetsTheAlarmsBack();
    void hostileCommandsChangeNothing();

private:
    bool startWatchd();
    QByteArray watchdSays()
    {
        if (m_watchd)
            m_said += m_watchd->readAllStandardError();
        return m_said;
    }
    // Publishes a command as user on site; its result as the user heard it (empty when none
    // came within ms).
    QJsonObject command(Client &as, const QString &user, const QString &site, const QByteArray &json, int ms = 3000);
    bool waitBoth(const QString &site, AlarmCause c, const QString &state, int ms)
    {
        return QTest::qWaitFor([&] { return m_view1.state(site, c) == state && m_view2.state(site, c) == state; }, ms);
    }
    QStringList journal() const
    {
        const QStringList files = QDir(m_logs + "/alarms").entryList({"qlvalarm*.csv"}, QDir::Files, QDir::Name);
        QStringList lines;
        for (const QString &f : files) {
            QByteArray bytes;
            ReadWholeFile(m_logs + "/alarms/" + f, bytes);
            lines += SjisDecode(bytes).split("\r\n", Qt::SkipEmptyParts);
        }
        return lines;
    }
    QJsonObject watcherState() const
    {
        for (qsizetype i = m_view1.msgs.size() - 1; i >= 0; --i)
            if (m_view1.msgs[i].topic == kPrefix + "/watchd/alarms-e2e")
                return QJsonDocument::fromJson(m_view1.msgs[i].payload).object();
        return {};
    }

    Broker m_broker;
    QTemporaryDir m_dir;
    QString m_conf, m_logs, m_notified;
    std::vector<Site> m_sites;
    HttpTestServer m_hook;
    QElapsedTimer m_clock;
    Client m_view1, m_view2, m_sato, m_tanaka, m_intruder, m_mallory;
    std::unique_ptr<QProcess> m_watchd;
    QByteArray m_said;
};

bool tst_e2e_alarms::startWatchd()
{
    m_said += watchdSays();
    m_watchd = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TZ", "Asia/Tokyo");
    m_watchd->setProcessEnvironment(env);
    m_watchd->start(watchdProgram(), {m_conf});
    return m_watchd->waitForStarted(5000);
}

QJsonObject tst_e2e_alarms::command(Client &as, const QString &user, const QString &site, const QByteArray &json, int ms)
{
    const QString topic = kPrefix + "/command/" + user + "/" + site;
    const int before = as.count(topic + "/result");
    if (as.mqtt->publish(topic, json, 1, false) <= 0)
        return {};
    if (!QTest::qWaitFor([&] { return as.count(topic + "/result") > before; }, ms))
        return {};
    for (qsizetype i = as.msgs.size() - 1; i >= 0; --i)
        if (as.msgs[i].topic == topic + "/result")
            return QJsonDocument::fromJson(as.msgs[i].payload).object();
    return {};
}

void tst_e2e_alarms::initTestCase()
{
    QVERIFY2(QFileInfo(watchdProgram()).isExecutable(), qPrintable(watchdProgram() + " (set QELVO_WATCHD)"));
    QVERIFY2(!findProgram("mosquitto_passwd").isEmpty(), "mosquitto_passwd is missing (the mosquitto package)");
    QVERIFY(m_broker.setUp());
    QVERIFY2(m_broker.start(), "mosquitto did not start");
    QVERIFY(m_hook.listening());
    m_hook.statuses = {500, 503}; // the first POST fails twice, then every one is taken
    m_logs = m_dir.filePath("logs");
    m_notified = m_dir.filePath("notified.txt");
    m_clock.start();

    // Output 1 of the demo windows is closed from 0 to 191 counts: on at 100, off at 512.
    // "wave" sites spend 8 s at each, off first.
    QFile wave(m_dir.filePath("wave.txt"));
    QVERIFY(wave.open(QIODevice::WriteOnly));
    wave.write("512\n100\n");
    wave.close();
    const QStringList steady{"--level", "100"};
    const QStringList waving{"--wave", "file:" + wave.fileName(), "--period", "16"};
    m_sites.push_back({"steady", steady});
    m_sites.push_back({"steady-2", steady});
    m_sites.push_back({"wave-a", waving});
    m_sites.push_back({"wave-b", waving});
    for (Site &s : m_sites) {
        s.sim = std::make_unique<QProcess>();
        QVERIFY2(startCtrlsim(*s.sim, QStringList{"--tcp", QString::number(s.port), "--demo", "--quiet"} + s.simArgs),
                 qPrintable(s.name));
    }

    // The notification program: one line per notice, and slow on purpose.
    QFile script(m_dir.filePath("tell.sh"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\necho \"$QELVO_SITE|$QELVO_CAUSE|$QELVO_TIME|$QELVO_EVENT|$QELVO_STATE\" >> '%1'\n"
                                "sleep 1\n")
                     .arg(m_notified)
                     .toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile pw(m_dir.filePath("watchd-pw"));
    QVERIFY(pw.open(QIODevice::WriteOnly));
    pw.write("qelvo-watchd-pw\n");
    pw.close();
    // The watcher refuses a password others may read.
    pw.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    QString ini = QStringLiteral("[watch]\nlog_folder=%1\nstate_dir=%2\ninterval_ms=500\n"
                                 "[mqtt]\nurl=mqtt://127.0.0.1:%3\ntopic_prefix=%4\nclient_id=alarms-e2e\n"
                                 "username=qelvo-watchd\npassword_file=%5\n"
                                 "[notify]\nexec=%6\nwebhook=%7\n[sites]\n")
                      .arg(m_logs, m_dir.filePath("state"))
                      .arg(m_broker.port)
                      .arg(kPrefix, pw.fileName(), script.fileName(), m_hook.url());
    for (const Site &s : m_sites)
        ini += QStringLiteral("%1=tcp://127.0.0.1:%2\n").arg(s.name).arg(s.port);
    for (const Site &s : m_sites)
        ini += QStringLiteral("[%1]\nwarn_outputs=1\n").arg(s.name);
    m_conf = m_dir.filePath("watchd.ini");
    QFile conf(m_conf);
    QVERIFY(conf.open(QIODevice::WriteOnly));
    conf.write(ini.toUtf8());
    conf.close();

    QVERIFY(m_view1.start("view-1", "view", m_broker.port, m_clock));
    QVERIFY(m_view2.start("view-2", "view", m_broker.port, m_clock));
    QVERIFY(m_sato.start("op-sato", "sato", m_broker.port, m_clock, {kPrefix + "/command/sato/#"}));
    QVERIFY(m_tanaka.start("op-tanaka", "tanaka", m_broker.port, m_clock, {kPrefix + "/command/tanaka/#"}));
    QVERIFY(m_intruder.start("op-intruder", "intruder", m_broker.port, m_clock, {kPrefix + "/command/#"}));
    QVERIFY(m_mallory.start("op-mallory", "mallory", m_broker.port, m_clock, {kPrefix + "/command/mallory/#"}));
    QVERIFY(startWatchd());
    QVERIFY2(QTest::qWaitFor([&] {
        return std::all_of(m_sites.begin(), m_sites.end(),
                           [&](const Site &s) { return m_view1.count(kPrefix + "/" + s.name + "/reading") > 0; });
    }, 15000), watchdSays().constData());
}

void tst_e2e_alarms::cleanupTestCase()
{
    // A watcher that has ended has no id: kill(0) would signal the test's own process group.
    if (m_watchd && m_watchd->processId() > 0) {
        ::kill(pid_t(m_watchd->processId()), SIGTERM);
        m_watchd->waitForFinished(5000);
        stopProcess(*m_watchd);
    }
    for (Site &s : m_sites)
        if (s.sim)
            stopProcess(*s.sim);
}

void tst_e2e_alarms::warningOutputRaisesUnackInBothViews()
{
    for (const char *site : {"steady", "steady-2"})
        QVERIFY2(waitBoth(site, AlarmCause::Output1, "UNACK", 3000), site);
    // What each view holds is the same message: the service's state, not a view's own.
    QCOMPARE(AlarmsPayload(m_view1.alarms("steady")), AlarmsPayload(m_view2.alarms("steady")));
    // Within a second of the reading that had the output on.
    const SiteAlarms s = m_view1.alarms("steady");
    QVERIFY(s.alarms.first().raised.isValid());
    qint64 readingAt = -1, alarmAt = -1;
    for (const Msg &m : m_view1.msgs) {
        if (readingAt < 0 && m.topic == kPrefix + "/steady/reading")
            readingAt = m.atMs;
        if (alarmAt < 0 && m.topic == kPrefix + "/steady/alarms" && m.payload.contains("UNACK"))
            alarmAt = m.atMs;
    }
    QVERIFY2(alarmAt >= 0 && alarmAt - readingAt < 1000, qPrintable(QString("%1 ms").arg(alarmAt - readingAt)));
    // The state says the site's interval, against which a view judges its silence.
    for (qsizetype i = m_view1.msgs.size() - 1; i >= 0; --i)
        if (m_view1.msgs[i].topic == kPrefix + "/steady/state") {
            QCOMPARE(QJsonDocument::fromJson(m_view1.msgs[i].payload).object().value("interval_ms").toInt(), 500);
            break;
        }
}

void tst_e2e_alarms::anotherUsersTopicIsRefusedByTheBroker()
{
    // The intruder publishes as if it were sato: the broker's ACL drops it, so the watcher
    // never hears it, answers nothing, and the alarm stays.
    const QJsonObject r = command(m_intruder, "sato", "steady", R"({"id":"x1","action":"ack","cause":"output1"})", 2000);
    QVERIFY(r.isEmpty());
    QCOMPARE(m_view1.state("steady", AlarmCause::Output1), QStringLiteral("UNACK"));
    QVERIFY(!watchdSays().contains("command from sato"));
    QVERIFY(!journal().join('\n').contains(",確認,"));
}

void tst_e2e_alarms::acknowledgementShowsEverywhereWithItsUser()
{
    QElapsedTimer t;
    t.start();
    const QJsonObject r = command(m_sato, "sato", "steady", R"({"id":"a1","action":"ack","cause":"output1"})");
    QCOMPARE(r.value("id").toString(), QStringLiteral("a1"));
    QVERIFY2(r.value("ok").toBool(), qPrintable(r.value("reason").toString()));
    QVERIFY(waitBoth("steady", AlarmCause::Output1, "ACKED", 1000));
    QVERIFY2(t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
    const Alarm a = m_view2.alarms("steady").alarms.first();
    QCOMPARE(a.ackedBy, QStringLiteral("sato"));
    QVERIFY(a.ackedAt.isValid());
    QVERIFY(QTest::qWaitFor([&] { return journal().join('\n').contains(",steady,確認,出力1 ON,sato,"); }, 2000));
    // Done once: a second acknowledgement is refused with its reason.
    QCOMPARE(command(m_sato, "sato", "steady", R"({"id":"a2","action":"ack","cause":"output1"})").value("reason").toString(),
             QStringLiteral("already acknowledged"));
    // The other unacknowledged alarm is untouched.
    QCOMPARE(m_view1.state("steady-2", AlarmCause::Output1), QStringLiteral("UNACK"));
}

void tst_e2e_alarms::outputsGoingOffAgain()
{
    // wave-a: acknowledged while on, normal once off. wave-b: not acknowledged, RTNUN once
    // off, normal once acknowledged. Each from the start of an 8 s stretch of the output on.
    const auto freshRaise = [&](const QString &site) {
        return QTest::qWaitFor([&] { return m_view1.state(site, AlarmCause::Output1) != "UNACK"; }, 17000) &&
               waitBoth(site, AlarmCause::Output1, "UNACK", 17000);
    };
    QVERIFY2(freshRaise("wave-a"), watchdSays().right(2000).constData());
    QVERIFY(command(m_tanaka, "tanaka", "wave-a", R"({"id":"w","action":"ack","cause":"output1"})").value("ok").toBool());
    QVERIFY(waitBoth("wave-a", AlarmCause::Output1, "ACKED", 1000));
    QVERIFY(waitBoth("wave-a", AlarmCause::Output1, "NORM", 10000));
    QVERIFY(m_view1.alarms("wave-a").alarms.isEmpty());
    QVERIFY(freshRaise("wave-b"));
    QVERIFY(waitBoth("wave-b", AlarmCause::Output1, "RTNUN", 10000));
    const Alarm rtn = m_view1.alarms("wave-b").alarms.first();
    QVERIFY(rtn.cleared.isValid() && rtn.cleared > rtn.raised);
    QTest::qWait(1500);
    QCOMPARE(m_view2.state("wave-b", AlarmCause::Output1), QStringLiteral("RTNUN"));
    QVERIFY(command(m_sato, "sato", "wave-b", R"({"id":"b","action":"ack","cause":"all"})").value("ok").toBool());
    QVERIFY(waitBoth("wave-b", AlarmCause::Output1, "NORM", 1000));
    const QString j = journal().join('\n');
    QVERIFY(j.contains(",wave-a,確認,出力1 ON,tanaka,"));
    QVERIFY(j.contains(",wave-b,解除,出力1 ON,,"));
    QVERIFY(j.contains(",wave-b,確認,出力1 ON,sato,"));
}

void tst_e2e_alarms::eachRaiseNotifiedOnceWhilePollingGoesOn()
{
    // Every raise the journal holds, and what the program and the web hook were given: the
    // same raises, each once (the hook's first POST failed twice and was sent again).
    const auto raises = [&] {
        QStringList out;
        for (const QString &l : journal()) {
            const QStringList f = l.split(',');
            if (f.value(2) == QStringLiteral("発生"))
                out << f.value(1) + "|" + f.value(0);
        }
        out.sort();
        return out;
    };
    const auto told = [&] {
        QStringList out;
        QFile f(m_notified);
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray &l : f.readAll().split('\n'))
                if (!l.isEmpty()) {
                    const QStringList p = QString::fromUtf8(l).split('|');
                    if (p.value(3) == "raise")
                        out << p[0] + "|" + QDateTime::fromString(p[2], Qt::ISODateWithMs).toString("yyyy/MM/dd HH:mm:ss");
                }
        out.sort();
        return out;
    };
    const auto hooked = [&] {
        QStringList out;
        for (qsizetype i = 2; i < m_hook.requests.size(); ++i) {
            const QJsonObject o = QJsonDocument::fromJson(m_hook.requests[i].body).object();
            out << o.value("site").toString() + "|" +
                       QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs).toString("yyyy/MM/dd HH:mm:ss");
        }
        out.sort();
        return out;
    };
    QVERIFY2(QTest::qWaitFor([&] { return raises().size() >= 5 && told() == raises() && hooked() == raises(); }, 20000),
             qPrintable(QString("journal: %1\nprogram: %2\nhook: %3")
                            .arg(raises().join(' '), told().join(' '), hooked().join(' '))));
    QVERIFY(m_hook.requests.size() >= 3);
    QCOMPARE(m_hook.requests[0].body, m_hook.requests[2].body);
    QCOMPARE(m_hook.requests[0].contentType, QByteArray("application/json"));
    QVERIFY(watchdSays().contains("HTTP 500 (try 1 of 8); next try in 1 s"));
    QVERIFY(watchdSays().contains("exit status 0"));
    // The polls went on at their interval all the while: no gap in steady's readings.
    QList<qint64> at;
    for (const Msg &m : m_view1.msgs)
        if (m.topic == kPrefix + "/steady/reading")
            at << QDateTime::fromString(QJsonDocument::fromJson(m.payload).object().value("time").toString(),
                                        Qt::ISODateWithMs)
                      .toMSecsSinceEpoch();
    QVERIFY(at.size() > 40);
    for (qsizetype i = 1; i < at.size(); ++i)
        QVERIFY2(at[i] - at[i - 1] < 950, qPrintable(QString("%1 ms between readings").arg(at[i] - at[i - 1])));
}

void tst_e2e_alarms::killedWatcherKeepsItsAlarms()
{
    const SiteAlarms acked = m_view1.alarms("steady"), unacked = m_view1.alarms("steady-2");
    QCOMPARE(states(acked), QStringLiteral("output1=ACKED"));
    QCOMPARE(states(unacked), QStringLiteral("output1=UNACK"));
    const int toldBefore = m_hook.requests.size();
    QTest::qWait(300); // the state file is written within 50 ms of a change
    const qint64 t0 = m_clock.elapsed();
    QVERIFY2(m_watchd->processId() > 0, watchdSays().constData());
    QVERIFY(::kill(pid_t(m_watchd->processId()), SIGKILL) == 0);
    QVERIFY(m_watchd->waitForFinished(5000));
    // A command the broker kept while the watcher was away is given to it as retained when
    // it subscribes again: a state, not anyone's act now, so it is not carried out.
    QVERIFY(m_mallory.mqtt->publish(kPrefix + "/command/mallory/steady-2", R"({"id":"old","action":"ack","cause":"all"})",
                                    1, true) > 0);
    QTest::qWait(300);
    QVERIFY(startWatchd());
    // Back with what it kept: the same alarms, the acknowledged one still acknowledged by the
    // same user, the unacknowledged one still unacknowledged, neither raised anew.
    QVERIFY2(QTest::qWaitFor([&] {
        return std::any_of(m_view1.msgs.begin(), m_view1.msgs.end(),
                           [&](const Msg &m) { return m.atMs > t0 && m.topic == kPrefix + "/steady-2/alarms"; });
    }, 10000), watchdSays().right(2000).constData());
    QTest::qWait(3000);
    for (Client *v : {&m_view1, &m_view2}) {
        const Alarm a = v->alarms("steady").alarms.value(0), u = v->alarms("steady-2").alarms.value(0);
        QCOMPARE(a.state(), AlarmState::Acked);
        QCOMPARE(a.ackedBy, QStringLiteral("sato"));
        QCOMPARE(a.raised, acked.alarms.first().raised);
        QCOMPARE(u.state(), AlarmState::Unack);
        QCOMPARE(u.raised, unacked.alarms.first().raised);
    }
    QVERIFY(watchdSays().contains("not acknowledged"));
    QVERIFY(!watchdSays().contains("command from mallory"));
    m_mallory.mqtt->publish(kPrefix + "/command/mallory/steady-2", QByteArray(), 1, true);
    // Nothing was told again for them.
    for (qsizetype i = toldBefore; i < m_hook.requests.size(); ++i)
        QVERIFY2(!m_hook.requests[i].body.contains("\"site\":\"steady"), m_hook.requests[i].body.constData());
}

void tst_e2e_alarms::brokerRestartedGetsTheAlarmsBack()
{
    const QStringList linesBefore = journal();
    m_broker.stop();
    QTest::qWait(3000);
    QVERIFY(m_broker.start());
    // A view that comes now is given every site's alarms, retained.
    Client late;
    QVERIFY2(QTest::qWaitFor([&] { return late.start("view-late", "view", m_broker.port, m_clock, {kPrefix + "/+/alarms"}); },
                             15000),
             "the late view did not connect");
    QVERIFY2(QTest::qWaitFor([&] { return late.count(kPrefix + "/steady/alarms") > 0 && late.count(kPrefix + "/steady-2/alarms") > 0; },
                             20000),
             watchdSays().right(2000).constData());
    QCOMPARE(late.state("steady", AlarmCause::Output1), QStringLiteral("ACKED"));
    QCOMPARE(late.state("steady-2", AlarmCause::Output1), QStringLiteral("UNACK"));
    // Kept by the broker: a view that comes later still is given them at once.
    Client later;
    QVERIFY(later.start("view-later", "view", m_broker.port, m_clock, {kPrefix + "/+/alarms"}));
    QVERIFY(QTest::qWaitFor([&] { return later.count(kPrefix + "/steady-2/alarms") > 0; }, 3000));
    QVERIFY(later.msgs.first().retained);
    QCOMPARE(later.state("steady-2", AlarmCause::Output1), QStringLiteral("UNACK"));
    // Nothing of the steady sites was raised or cleared because the broker went.
    for (const QString &l : journal().mid(linesBefore.size()))
        QVERIFY2(!l.contains(",steady,") && !l.contains(",steady-2,"), qPrintable(l));
}

void tst_e2e_alarms::hostileCommandsChangeNothing()
{
    // Wait for the watcher's own state to come with its counts.
    QVERIFY(QTest::qWaitFor([&] { return watcherState().contains("commands"); }, 10000));
    const qint64 pid = m_watchd->processId();
    const auto rssKb = [pid] {
        QFile f(QStringLiteral("/proc/%1/status").arg(pid));
        f.open(QIODevice::ReadOnly);
        for (const QByteArray &l : f.readAll().split('\n'))
            if (l.startsWith("VmRSS:"))
                return l.mid(6).trimmed().split(' ').first().toLongLong();
        return qint64(-1);
    };
    const qint64 rss0 = rssKb();
    const int c0 = watcherState().value("commands").toObject().value("limited").toInt();
    const QString before = states(m_view1.alarms("steady-2"));
    const QString topic = kPrefix + "/command/mallory/steady-2";
    const int readingsBefore = m_view1.count(kPrefix + "/steady/reading");
    QElapsedTimer t;
    t.start();
    int sent = 0;
    // A few of every kind, then a flood, all under mallory's own name (the ACL lets it).
    for (int i = 0; i < 3000; ++i) {
        QByteArray p;
        switch (i % 4) {
        case 0: p = QByteArray(6000, 'x'); break;
        case 1: p = "{\"action\":"; break;
        case 2: p = R"({"id":1,"action":"ack","cause":"nothing"})"; break;
        default: p = R"({"id":2,"action":"shelve","cause":"output1","minutes":100000,"reason":"x"})"; break;
        }
        if (m_mallory.mqtt->publish(topic, p, 0, false) > 0)
            ++sent;
        if (i % 200 == 0)
            QCoreApplication::processEvents();
    }
    QVERIFY(sent > 1000);
    QVERIFY2(QTest::qWaitFor([&] {
        const QJsonObject c = watcherState().value("commands").toObject();
        return c.value("oversized").toInt() > 0 && c.value("malformed").toInt() > 0 && c.value("refused").toInt() > 0 &&
               c.value("retained").toInt() > 0;
    }, 15000), QJsonDocument(watcherState()).toJson().constData());
    QCOMPARE(states(m_view1.alarms("steady-2")), before);
    QCOMPARE(m_view1.state("steady-2", AlarmCause::Output1), QStringLiteral("UNACK"));
    // The watcher went on polling and stays small.
    QVERIFY(m_view1.count(kPrefix + "/steady/reading") > readingsBefore + 4);
    QVERIFY2(rssKb() - rss0 < 20 * 1024, qPrintable(QString("%1 kB more").arg(rssKb() - rss0)));
    QVERIFY(c0 < watcherState().value("commands").toObject().value("limited").toInt() || sent < 1500);
}

QTEST_GUILESS_MAIN(tst_e2e_alarms)
#include "tst_e2e_alarms.moc"
