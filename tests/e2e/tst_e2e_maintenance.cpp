// A site's line lent through the watcher, end to end: qelvo-watchd watching three
// controllers of one qelvo-ctrlsim --tcp FIRST-LAST, mosquitto started here, and qelvo-cli
// reading and writing the middle site through its maintenance port (ports/COM21 names it as
// any device server) while the other two keep their cadence. The site's state goes
// maintenance (with the client) and back, its log run ends and begins again; a second client
// is refused in words; a client that goes silent is dropped after the idle time; last, the
// tool itself connects (接続) and reads (データ読込) through the watcher.
#include "support/Ctrlsim.h"
#include "support/FreePorts.h"
#include "support/RealPortApp.h"
#include "support/TcpTestServer.h"
#include "support/Mosquitto.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "link/modLinkState.h"

#include "fleet/MqttClient.h"
#include "platform/ComPorts.h"
#include "platform/Paths.h"
#include "settings/modUserFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <pwd.h>
#include <unistd.h>

namespace {
QString watchdProgram() { return BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd")); }
QString cliProgram() { return BuiltProgram("QELVO_CLI", QStringLiteral("cli/qelvo-cli")); }

struct Broker {
    QTemporaryDir dir;
    QProcess proc;
    quint16 port = freePort();
    bool start()
    {
        QFile conf(dir.filePath("mosquitto.conf"));
        if (!conf.open(QIODevice::WriteOnly))
            return false;
        conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\nlog_dest none\n")
                       .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name))
                       .arg(port)
                       .toUtf8());
        conf.close();
        return StartMosquitto(proc, conf.fileName(), port);
    }
    ~Broker() { stopProcess(proc); }
};

struct Run {
    int code = -1;
    QString out, err;
    QByteArray what() const { return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(code).arg(out, err).toUtf8(); }
};

// qelvo-cli to its end, with the events of this process going on (the office's client).
Run cli(const QStringList &args, int timeoutMs = 60000)
{
    QProcess p;
    p.start(cliProgram(), args);
    p.closeWriteChannel();
    Run r;
    if (!QTest::qWaitFor([&] { return p.state() == QProcess::NotRunning; }, timeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        r.err = QStringLiteral("did not end in %1 ms").arg(timeoutMs);
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QStringList markers(const QByteArray &file)
{
    QStringList out;
    for (const QByteArray &l : file.split('\n'))
        if (l.startsWith("/**"))
            out << QString::fromLatin1(l.trimmed());
    return out;
}

constexpr int kInterval = 500;
const char *const kSites[] = {"m0", "m1", "m2"};
} // namespace

class tst_e2e_maintenance : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo("qelvo-watchd said:\n%s", watchdSays().constData());
    }
    void checkListsEachSitesPort();
    void readAndWriteThroughTheWatcher();
    void secondClientRefused();
    void silentClientDropped();
    void theToolConnectsAndReadsThroughTheWatcher();

private:
    QByteArray watchdSays() { return m_watchdErr += m_watchd.readAllStandardError(); }
    // (virtual ms received, state payload) of a site's states since sinceMs.
    QList<QJsonObject> states(const QString &site, qint64 sinceMs) const
    {
        QList<QJsonObject> out;
        for (const auto &[at, topic, payload] : m_msgs)
            if (at >= sinceMs && topic == QStringLiteral("mt/%1/state").arg(site))
                out << QJsonDocument::fromJson(payload).object();
        return out;
    }
    bool waitState(const QString &site, const QString &state, qint64 sinceMs, int timeoutMs)
    {
        return QTest::qWaitFor(
            [&] {
                const QList<QJsonObject> l = states(site, sinceMs);
                return !l.isEmpty() && l.last().value("state").toString() == state;
            },
            timeoutMs);
    }
    // The times (ms since 1970) of a site's readings taken within [from, to].
    QList<qint64> readingTimes(const QString &site, qint64 fromEpochMs, qint64 toEpochMs) const
    {
        QList<qint64> out;
        for (const auto &[at, topic, payload] : m_msgs)
            if (topic == QStringLiteral("mt/%1/reading").arg(site)) {
                const qint64 ts = qint64(QJsonDocument::fromJson(payload).object().value("ts").toDouble());
                if (ts >= fromEpochMs && ts <= toEpochMs)
                    out << ts;
            }
        return out;
    }

    Broker m_broker;
    QTemporaryDir m_dir, m_home;
    QString m_conf, m_logs;
    quint16 m_simBase = 0, m_maintBase = 0;
    QProcess m_sim, m_watchd;
    QByteArray m_watchdErr;
    std::unique_ptr<MqttClient> m_office;
    QElapsedTimer m_clock;
    struct Msg {
        qint64 at;
        QString topic;
        QByteArray payload;
    };
    QList<Msg> m_msgs;
};

void tst_e2e_maintenance::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME"))
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    QVERIFY2(QFileInfo(watchdProgram()).isExecutable(), qPrintable(watchdProgram()));
    QVERIFY2(QFileInfo(cliProgram()).isExecutable(), qPrintable(cliProgram()));
    QVERIFY2(m_broker.start(), "mosquitto did not start");
    m_simBase = freePorts(3);
    m_maintBase = freePorts(3);
    QVERIFY(m_simBase && m_maintBase);
    QVERIFY(startCtrlsim(m_sim, {"--tcp", QStringLiteral("%1-%2").arg(m_simBase).arg(m_simBase + 2), "--level", "300",
                                 "--demo", "--quiet"}));
    m_logs = m_dir.filePath("logs");
    m_conf = m_dir.filePath("watchd.ini");
    QString t = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=%2\n[mqtt]\nurl=mqtt://127.0.0.1:%3\n"
                               "topic_prefix=mt\nclient_id=watchd-mt\n[maintenance]\nlisten=127.0.0.1:%4\n"
                               "idle_min=0.1\n[sites]\n")
                    .arg(m_logs)
                    .arg(kInterval)
                    .arg(m_broker.port)
                    .arg(m_maintBase);
    for (int i = 0; i < 3; ++i)
        t += QStringLiteral("%1=tcp://127.0.0.1:%2\n").arg(kSites[i]).arg(m_simBase + i);
    QFile f(m_conf);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(t.toUtf8());
    f.close();

    m_clock.start();
    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(m_broker.port);
    o.clientId = QStringLiteral("mt-office");
    m_office = std::make_unique<MqttClient>(o);
    connect(m_office.get(), &MqttClient::messageReceived, this,
            [this](const QString &topic, const QByteArray &p, bool) { m_msgs << Msg{m_clock.elapsed(), topic, p}; });
    QSignalSpy subscribed(m_office.get(), &MqttClient::subscribed);
    QVERIFY(m_office->start());
    QTRY_VERIFY(m_office->isConnected());
    QVERIFY(m_office->subscribe("mt/#", 1) > 0 && subscribed.wait(5000));

    m_watchd.start(watchdProgram(), {m_conf});
    QVERIFY(m_watchd.waitForStarted(5000));
    for (const char *s : kSites)
        QVERIFY2(waitState(s, "online", 0, 15000), watchdSays().constData());
    // COM21 is the middle site's line, through the watcher.
    QDir().mkpath(ComPortsFolder());
    QFile map(ComPortsFolder() + QStringLiteral("/COM21"));
    QVERIFY(map.open(QIODevice::WriteOnly));
    map.write(QStringLiteral("rfc2217://127.0.0.1:%1\n").arg(m_maintBase + 1).toUtf8());
}

void tst_e2e_maintenance::cleanupTestCase()
{
    if (m_watchd.state() != QProcess::NotRunning) {
        m_watchd.terminate();
        m_watchd.waitForFinished(5000);
    }
    stopProcess(m_watchd);
    stopProcess(m_sim);
    QFile::remove(ComPortsFolder() + QStringLiteral("/COM21"));
}

void tst_e2e_maintenance::checkListsEachSitesPort()
{
    QProcess p;
    p.start(watchdProgram(), {"--check", m_conf});
    QVERIFY(p.waitForFinished(10000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QCOMPARE(p.exitCode(), 0);
    for (int i = 0; i < 3; ++i)
        QVERIFY2(out.contains(QStringLiteral("%1: maintenance at rfc2217://127.0.0.1:%2").arg(kSites[i]).arg(m_maintBase + i)),
                 qPrintable(out));
    // The retained state tells where to connect.
    const QList<QJsonObject> st = states("m1", 0);
    QVERIFY(!st.isEmpty());
    QCOMPARE(st.last().value("maintenance").toString(), QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_maintBase + 1));
}

void tst_e2e_maintenance::readAndWriteThroughTheWatcher()
{
    const qint64 since = m_clock.elapsed();
    const qint64 fromEpoch = QDateTime::currentMSecsSinceEpoch();
    const QString file = m_dir.filePath("m1.qvd");
    Run r = cli({"read", "COM21", "-o", file});
    QVERIFY2(r.code == 0, r.what());
    QCOMPARE(QFileInfo(file).size(), qint64(kUserFileBytes));
    // The site was lent to the client and given back.
    QVERIFY2(waitState("m1", "online", since, 5000), watchdSays().constData());
    QList<QJsonObject> st = states("m1", since);
    const auto lent = std::find_if(st.begin(), st.end(), [](const QJsonObject &o) { return o.value("state") == "maintenance"; });
    QVERIFY(lent != st.end());
    QVERIFY2(lent->value("client").toString().startsWith("127.0.0.1:"), QJsonDocument(*lent).toJson().constData());
    QVERIFY(lent->value("reason").toString().contains("lent for maintenance"));

    // A write of the same settings, then a comparison: each a client of its own.
    r = cli({"write", "COM21", file, "--yes"});
    QVERIFY2(r.code == 0, r.what());
    r = cli({"diff", file, "COM21"});
    QVERIFY2(r.code == 0, r.what());
    QVERIFY2(waitState("m1", "online", m_clock.elapsed() - 1, 5000) || states("m1", since).last().value("state") == "online",
             watchdSays().constData());
    const qint64 toEpoch = QDateTime::currentMSecsSinceEpoch();

    // The other sites kept their cadence: no reading later than one interval.
    for (const char *s : {"m0", "m2"}) {
        QList<qint64> ts = readingTimes(s, fromEpoch, toEpoch);
        QVERIFY2(ts.size() >= (toEpoch - fromEpoch) / kInterval / 2, s);
        qint64 worst = 0;
        for (qsizetype i = 1; i < ts.size(); ++i)
            worst = qMax(worst, ts[i] - ts[i - 1]);
        QVERIFY2(worst <= 2 * kInterval, qPrintable(QStringLiteral("%1: a gap of %2 ms").arg(s).arg(worst)));
    }
    // The middle site's readings resumed within one interval of each client leaving: its
    // largest gap is the clients' time, and its log has a Quit and a new Start for each.
    QTest::qWait(2 * kInterval);
    QFile csv(m_logs + QStringLiteral("/m1/qlv%1.csv").arg(QDate::currentDate().toString("yyyyMMdd")));
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QStringList m = markers(csv.readAll());
    QVERIFY2(m.count("/** Logging Quit **/") >= 3, qPrintable(m.join(' ')));
    QVERIFY2(m.count("/** Logging Start **/") >= 4, qPrintable(m.join(' ')));
    QCOMPARE(m.last(), QStringLiteral("/** Logging Start **/"));
    // The watcher's log names each client and the pause.
    QVERIFY(watchdSays().contains("m1: maintenance: 127.0.0.1:"));
}

void tst_e2e_maintenance::secondClientRefused()
{
    const qint64 since = m_clock.elapsed();
    QTcpSocket first, second;
    first.connectToHost(QHostAddress::LocalHost, m_maintBase + 2);
    QVERIFY(first.waitForConnected(3000));
    QVERIFY2(waitState("m2", "maintenance", since, 5000), watchdSays().constData());
    second.connectToHost(QHostAddress::LocalHost, m_maintBase + 2);
    QVERIFY(second.waitForConnected(3000));
    QByteArray said;
    QVERIFY(QTest::qWaitFor(
        [&] {
            said += second.readAll();
            return second.state() == QAbstractSocket::UnconnectedState;
        },
        5000));
    said += second.readAll();
    QVERIFY2(said.contains("is in use for maintenance by 127.0.0.1:"), said.constData());
    QCOMPARE(first.state(), QAbstractSocket::ConnectedState);
    first.disconnectFromHost();
    QVERIFY2(waitState("m2", "online", since, 3000), watchdSays().constData());
}

void tst_e2e_maintenance::silentClientDropped()
{
    // idle_min=0.1: six seconds.
    const qint64 since = m_clock.elapsed();
    QTcpSocket mute;
    mute.connectToHost(QHostAddress::LocalHost, m_maintBase);
    QVERIFY(mute.waitForConnected(3000));
    QVERIFY2(waitState("m0", "maintenance", since, 5000), watchdSays().constData());
    const qint64 lentAt = m_clock.elapsed();
    QVERIFY(QTest::qWaitFor([&] { return mute.state() == QAbstractSocket::UnconnectedState || !mute.isValid() ||
                                         (mute.readAll(), mute.state() != QAbstractSocket::ConnectedState); },
                            15000));
    const qint64 droppedAt = m_clock.elapsed();
    QVERIFY2(droppedAt - lentAt >= 5500 && droppedAt - lentAt <= 9000, QByteArray::number(droppedAt - lentAt));
    QVERIFY2(waitState("m0", "online", lentAt, 3000), watchdSays().constData());
    QVERIFY(watchdSays().contains("sent nothing for 6 s"));
}

void tst_e2e_maintenance::theToolConnectsAndReadsThroughTheWatcher()
{
    // The tool with its own port; COM1 is the middle site's line through the watcher.
    RealPortApp app;
    QVERIFY(TcpTestServer::bindCom(1, QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_maintBase + 1)));
    Main();
    const qint64 since = m_clock.elapsed();
    g_subMenuCommand(21); // 接続
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(g_intConnectStatus, qint16(1));
    QCOMPARE(g_frmMdi1->statusPanel(2), QStringLiteral("状態 : 接続中"));
    QCOMPARE(app.port.network().lineText(), QStringLiteral("9600 8N1, no flow control"));
    // While the tool holds the line the site is in maintenance.
    QVERIFY2(waitState("m1", "maintenance", since, 5000), watchdSays().constData());
    g_intSaved = 1;
    g_frmMain1->Command1_Click(0); // データ読込
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(g_intConnectStatus, qint16(1));
    // The bytes are the controller's, as qelvo-cli read them through the watcher before.
    QFile cliFile(m_dir.filePath("m1.qvd")), toolFile(g_strTempFile);
    QVERIFY(cliFile.open(QIODevice::ReadOnly) && toolFile.open(QIODevice::ReadOnly));
    QVERIFY(cliFile.readAll() == toolFile.readAll());
    QCOMPARE(states("m1", since).last().value("state").toString(), QStringLiteral("maintenance"));
    // 切断 gives the line back.
    g_subMenuCommand(22);
    QVERIFY2(waitState("m1", "online", since, 5000), watchdSays().constData());
}

QTEST_MAIN(tst_e2e_maintenance)
#include "tst_e2e_maintenance.moc"
