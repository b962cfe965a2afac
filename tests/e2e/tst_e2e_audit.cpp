// The settings audit end to end, with real processes: qelvo-ctrlsim controllers on TCP ports
// of 127.0.0.1, a mosquitto started here, qelvo-watchd and qelvo-cli. One controller holds its
// golden file's settings, one differs from its file in two cells, and a third site's golden
// file is missing. qelvo-cli audit tells each (its lines, --json and its exit status); the
// watcher's --check names the missing file; the watcher publishes each site's audit,
// retained, and raises the settings alarm for the site that differs; a reload whose golden
// file cannot be read keeps the old one; and the controller written with its golden file
// while the watcher is stopped is found equal at the next connect, its alarm cleared.
#include "support/FreePorts.h"
#include "support/Ctrlsim.h"
#include "support/Mosquitto.h"

#include "ctrlmodel/CtrlModel.h"
#include "fleet/MqttClient.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
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
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\nlog_dest none\n")
                       .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name)).arg(port).toUtf8());
        conf.close();
        return StartMosquitto(proc, conf.fileName(), port);
    }
    ~Broker() { stopProcess(proc); }
};

// A .qvd file of a controller's memory, as the tool saves a read.
QByteArray qvdOf(const CtrlModel &m)
{
    std::unique_ptr<MemCell[]> image(new MemCell[kImageCells]);
    for (int a = 0; a < kImageCells; ++a) {
        image[a].setAddress(QByteArray::number(a, 16).rightJustified(4, '0').toUpper());
        const QByteArray data = a < kSettingsCells ? QByteArray::number(m.cell(a), 16).rightJustified(2, '0').toUpper()
                                                   : QByteArray("00");
        image[a].setData(QByteArrayView(data));
    }
    return UserFileBytes(image.get());
}

struct Run {
    int code = -1;
    QString out, err;
};
Run runCli(const QStringList &args)
{
    QProcess p;
    p.start(cliProgram(), args);
    Run r;
    if (!p.waitForFinished(60000))
        return r;
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}
} // namespace

class tst_e2e_audit : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo("qelvo-watchd said:\n%s", watchdSays().constData());
    }
    void cliAuditsEverySite();
    void checkNamesTheMissingGoldenFile();
    void watcherPublishesTheAuditAndRaisesTheAlarm();
    void reloadWithAnUnreadableGoldenKeepsTheOld();
    void controllerPutBackClearsAtTheNextAudit();

private:
    QString config(const QStringList &sites, const QString &goneGolden = QString()) const;
    bool writeFile(const QString &path, const QByteArray &bytes) const
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
    }
    bool startWatchd()
    {
        m_watchd.setProcessChannelMode(QProcess::SeparateChannels);
        m_watchd.start(watchdProgram(), {m_conf});
        return m_watchd.waitForStarted(5000);
    }
    QByteArray watchdSays() { return m_watchdErr += m_watchd.readAllStandardError(); }
    // The retained messages under pattern, as a client that subscribes now gets them.
    QHash<QString, QByteArray> retained(const QString &pattern);
    QJsonObject retainedJson(const QString &topic)
    {
        return QJsonDocument::fromJson(retained(topic).value(topic)).object();
    }

    Broker m_broker;
    QTemporaryDir m_dir;
    QString m_conf;
    quint16 m_ports[2] = {freePort(), freePort()};
    std::unique_ptr<QProcess> m_sims[2];
    QProcess m_watchd;
    QByteArray m_watchdErr;
    QByteArray m_golden[2];
};

QString tst_e2e_audit::config(const QStringList &sites, const QString &goneGolden) const
{
    QString t = QStringLiteral("[watch]\nlog_folder=%1/logs\nstate_dir=%1/state\ninterval_ms=500\n[mqtt]\n"
                               "url=mqtt://127.0.0.1:%2\ntopic_prefix=e2au\nclient_id=watchd-audit\n[sites]\n")
                    .arg(m_dir.path())
                    .arg(m_broker.port);
    const QStringList names = {QStringLiteral("equal"), QStringLiteral("two")};
    for (int i = 0; i < 2; ++i)
        if (sites.contains(names[i]))
            t += QStringLiteral("%1=tcp://127.0.0.1:%2\n").arg(names[i]).arg(m_ports[i]);
    if (sites.contains(QStringLiteral("gone")))
        t += QStringLiteral("gone=tcp://127.0.0.1:%1\n").arg(freePort());
    for (const QString &n : names)
        if (sites.contains(n))
            t += QStringLiteral("[%1]\ngolden=%1.qvd\nwarn_outputs=none\n").arg(n); // the settings alarm alone
    if (sites.contains(QStringLiteral("gone")))
        t += QStringLiteral("[gone]\ngolden=%1\n").arg(goneGolden.isEmpty() ? QStringLiteral("missing.qvd") : goneGolden);
    return t;
}

QHash<QString, QByteArray> tst_e2e_audit::retained(const QString &pattern)
{
    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(m_broker.port);
    o.clientId = QStringLiteral("e2au-retained");
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

void tst_e2e_audit::initTestCase()
{
    QVERIFY2(QFileInfo(watchdProgram()).isExecutable(), qPrintable(watchdProgram() + " (set QELVO_WATCHD)"));
    QVERIFY2(QFileInfo(cliProgram()).isExecutable(), qPrintable(cliProgram() + " (set QELVO_CLI)"));
    QVERIFY2(m_broker.start(), "mosquitto did not start");
    m_conf = m_dir.filePath("watchd.ini");
    // Both controllers hold the demo settings; "two"'s golden file differs from them in the
    // hysteresis and output 3's maximum.
    CtrlModel demo;
    demo.loadDemoSettings();
    m_golden[0] = qvdOf(demo);
    demo.setField(0x28, demo.field(0x28) + 3);
    demo.setField(0x0A, demo.field(0x0A) + 40);
    m_golden[1] = qvdOf(demo);
    QVERIFY(writeFile(m_dir.filePath("equal.qvd"), m_golden[0]));
    QVERIFY(writeFile(m_dir.filePath("two.qvd"), m_golden[1]));
    for (int i = 0; i < 2; ++i) {
        m_sims[i] = std::make_unique<QProcess>();
        QVERIFY(startCtrlsim(*m_sims[i], {"--tcp", QString::number(m_ports[i]), "--com", QString::number(41 + i),
                                          "--level", "300", "--demo", "--quiet"}));
    }
}

void tst_e2e_audit::cleanupTestCase()
{
    stopProcess(m_watchd);
    for (auto &s : m_sims)
        if (s)
            stopProcess(*s);
}

void tst_e2e_audit::cliAuditsEverySite()
{
    QVERIFY(writeFile(m_conf, config({"equal", "two"}).toUtf8()));
    Run r = runCli({"audit", m_conf});
    QCOMPARE(r.code, 1);
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].startsWith("equal") && lines[0].simplified() == QStringLiteral("equal equal"), qPrintable(r.out));
    QVERIFY2(lines[1].startsWith("two") && lines[1].contains("differs") && lines[1].contains("Out 3 最大値") &&
                 lines[1].contains("ﾋｽﾃﾘｼｽ"),
             qPrintable(r.out));

    r = runCli({"audit", m_conf, "--json"});
    QCOMPARE(r.code, 1);
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(o.value("equal").toBool(true), false);
    const QJsonArray sites = o.value("sites").toArray();
    QCOMPARE(sites.size(), 2);
    QCOMPARE(sites[0]["equal"].toBool(false), true);
    QCOMPARE(sites[1]["equal"].toBool(true), false);
    QCOMPARE(sites[1]["differences"].toArray().size(), 2);
    QCOMPARE(sites[1]["port"].toString(), QStringLiteral("tcp://127.0.0.1:%1").arg(m_ports[1]));

    // Only the equal site: 0.
    QVERIFY(writeFile(m_conf, config({"equal"}).toUtf8()));
    QCOMPARE(runCli({"audit", m_conf}).code, 0);
}

void tst_e2e_audit::checkNamesTheMissingGoldenFile()
{
    QVERIFY(writeFile(m_conf, config({"equal", "two", "gone"}).toUtf8()));
    QProcess check;
    check.start(watchdProgram(), {"--check", m_conf});
    QVERIFY(check.waitForFinished(10000));
    QCOMPARE(check.exitCode(), 2);
    const QString said = QString::fromUtf8(check.readAllStandardError() + check.readAllStandardOutput());
    QVERIFY2(said.contains("golden=missing.qvd: the file does not exist"), qPrintable(said));

    // qelvo-cli audit reads the others and tells the missing file as that site's error.
    const Run r = runCli({"audit", m_conf});
    QCOMPARE(r.code, 2);
    QVERIFY2(r.out.contains(QRegularExpression("^equal +equal", QRegularExpression::MultilineOption)), qPrintable(r.out));
    QVERIFY2(r.out.contains(QRegularExpression("^two +differs", QRegularExpression::MultilineOption)), qPrintable(r.out));
    QVERIFY2(r.out.contains(QRegularExpression("^gone +error +golden=.*missing.qvd: the file does not exist",
                                               QRegularExpression::MultilineOption)),
             qPrintable(r.out));
    QVERIFY(r.err.contains("gone: golden="));
}

void tst_e2e_audit::watcherPublishesTheAuditAndRaisesTheAlarm()
{
    QVERIFY(writeFile(m_conf, config({"equal", "two"}).toUtf8()));
    QVERIFY(startWatchd());
    QVERIFY2(QTest::qWaitFor([&] { return retained("e2au/+/settings").size() == 2; }, 20000), watchdSays().constData());
    const QJsonObject eq = retainedJson("e2au/equal/settings");
    const QJsonObject two = retainedJson("e2au/two/settings");
    QCOMPARE(eq.value("equal").toBool(false), true);
    QCOMPARE(eq.value("golden").toString(), m_dir.filePath("equal.qvd"));
    QCOMPARE(two.value("equal").toBool(true), false);
    QStringList names;
    for (const QJsonValue &d : two.value("differences").toArray())
        names << d["name"].toString();
    QCOMPARE(names, (QStringList{"Out 3 最大値", "ﾋｽﾃﾘｼｽ"}));
    CtrlModel demo;
    demo.loadDemoSettings();
    QCOMPARE(two.value("controller").toString(), QString::fromLatin1(demo.memory().left(kSettingsCells).toHex().toUpper()));
    // The alarm: two's settings UNACK, nothing at equal.
    QVERIFY(QTest::qWaitFor([&] {
        return retainedJson("e2au/two/alarms").value("alarms").toArray().size() == 1;
    }, 10000));
    const QJsonObject alarm = retainedJson("e2au/two/alarms").value("alarms").toArray()[0].toObject();
    QCOMPARE(alarm.value("cause").toString(), QStringLiteral("settings"));
    QCOMPARE(alarm.value("state").toString(), QStringLiteral("UNACK"));
    QVERIFY(retainedJson("e2au/equal/alarms").value("alarms").toArray().isEmpty());
    const QByteArray said = watchdSays();
    QVERIFY2(said.contains("two: 2 settings differ from ") && said.contains("equal: settings equal "), said.constData());
    // The polls go on.
    QVERIFY(QTest::qWaitFor([&] {
        return QJsonDocument::fromJson(retained("e2au/two/state").value("e2au/two/state")).object().value("state") ==
               QStringLiteral("online");
    }, 10000));
}

void tst_e2e_audit::reloadWithAnUnreadableGoldenKeepsTheOld()
{
    const QByteArray before = retained("e2au/two/settings").value("e2au/two/settings");
    QVERIFY(!before.isEmpty());
    QVERIFY(QFile::rename(m_dir.filePath("two.qvd"), m_dir.filePath("two.away")));
    ::kill(pid_t(m_watchd.processId()), SIGHUP);
    QVERIFY(QTest::qWaitFor([&] { return watchdSays().contains("reload refused"); }, 10000));
    QVERIFY(watchdSays().contains("golden=two.qvd: the file does not exist"));
    QVERIFY(QFile::rename(m_dir.filePath("two.away"), m_dir.filePath("two.qvd")));
    QCOMPARE(retained("e2au/two/settings").value("e2au/two/settings"), before);
    QCOMPARE(m_watchd.state(), QProcess::Running);
}

void tst_e2e_audit::controllerPutBackClearsAtTheNextAudit()
{
    // The watcher holds the lines: stopped, the controller is written with its golden file.
    ::kill(pid_t(m_watchd.processId()), SIGTERM);
    QVERIFY(m_watchd.waitForFinished(10000));
    const Run w = runCli({"write", "COM42", m_dir.filePath("two.qvd"), "--yes"});
    QVERIFY2(w.code == 0, qPrintable(w.err));
    QCOMPARE(runCli({"audit", m_conf}).code, 0);
    m_watchdErr.clear();
    QVERIFY(startWatchd());
    QVERIFY2(QTest::qWaitFor([&] { return retainedJson("e2au/two/settings").value("equal").toBool(false); }, 20000),
             watchdSays().constData());
    // The alarm's condition is gone; it waits for its acknowledgement (RTNUN).
    QVERIFY(QTest::qWaitFor([&] {
        const QJsonArray a = retainedJson("e2au/two/alarms").value("alarms").toArray();
        return a.size() == 1 && a[0]["state"].toString() == QStringLiteral("RTNUN");
    }, 10000));
}

QTEST_GUILESS_MAIN(tst_e2e_audit)
#include "tst_e2e_audit.moc"
