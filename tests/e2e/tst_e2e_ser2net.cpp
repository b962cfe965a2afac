// The tool against a controller at a remote site: qelvo-ctrlsim on a pseudo-terminal,
// served by Debian's ser2net as raw TCP on one 127.0.0.1 port and as RFC 2217 on another,
// COM1 bound to each in turn by a ports/COM1 file, the tool with the program's own port,
// the real clock and the real event loop; only the boxes are scripted. Through each: the
// connection check, a full write and read (the controller's memory afterwards equals the
// file), ten seconds of the monitor with the log filer; then ser2net is stopped under the
// running monitor: the device-gone boxes come within the fault matrix's bound, nothing
// hangs, the log keeps every sample taken and ends with its end block.
#include "support/AppFixture.h"
#include "support/Ctrlsim.h"
#include "support/LinkHelpers.h"
#include "support/RealPortApp.h"
#include "support/TcpTestServer.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "link/frmCommMsg1.h"
#include "link/modLinkState.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/modLogFileSetting.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/modMonitor1.h"
#include "platform/ComPorts.h"
#include "platform/MappedSerialPort.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

namespace {
// ser2net offering one terminal as raw TCP and as RFC 2217, each on a 127.0.0.1 port, with
// a control port that tells when it is up (a look at a data port would take the terminal).
struct Ser2net {
    QProcess p;
    QString dir;
    quint16 raw = 0, telnet = 0, control = 0;

    static QString program()
    {
        QString exe = QStandardPaths::findExecutable(QStringLiteral("ser2net"));
        if (exe.isEmpty())
            exe = QStandardPaths::findExecutable(QStringLiteral("ser2net"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
        return exe;
    }

    bool start(const QString &terminal)
    {
        if (raw == 0) {
            raw = TcpTestServer::closedPort();
            telnet = TcpTestServer::closedPort();
            control = TcpTestServer::closedPort();
        }
        const QString config = dir + QStringLiteral("/ser2net.yaml");
        QFile f(config);
        if (!f.open(QIODevice::WriteOnly))
            return false;
        f.write(QStringLiteral("%YAML 1.1\n---\n"
                               "connection: &site-raw\n"
                               "  accepter: tcp,127.0.0.1,%1\n"
                               "  connector: serialdev,%3,9600n81,local\n"
                               "connection: &site-rfc2217\n"
                               "  accepter: telnet(rfc2217),tcp,127.0.0.1,%2\n"
                               "  connector: serialdev,%3,9600n81,local\n")
                    .arg(raw)
                    .arg(telnet)
                    .arg(terminal)
                    .toUtf8());
        f.close();
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        // In the foreground, without lock files, with its own pid file: no service manager.
        p.start(program(), {"-n", "-u", "-c", config, "-P", dir + QStringLiteral("/ser2net.pid"), "-p",
                            QStringLiteral("127.0.0.1,%1").arg(control)});
        if (!p.waitForStarted(3000))
            return false;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 5000 && p.state() == QProcess::Running) {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, control);
            if (s.waitForConnected(200))
                return true;
            QTest::qWait(20);
        }
        return false;
    }
    void stop() { stopProcess(p); }
    ~Ser2net() { stop(); }
};

// qelvo-ctrlsim on a pseudo-terminal (bound to COM9, which the tool does not use) with its
// frame log; the terminal's path.
struct Sim {
    QProcess p;
    QByteArray err;
    QString terminal;

    bool start()
    {
        if (!startCtrlsim(p, {"--com", "9", "--log", "--wave", "sine", "--period", "20", "--demo"}))
            return false;
        terminal = QFile::symLinkTarget(ComPortLink(9));
        return !terminal.isEmpty();
    }
    // The command lines the controller received, without CR, oldest first.
    QByteArrayList frames()
    {
        err += p.readAllStandardError();
        QByteArrayList out;
        static const QRegularExpression re(QStringLiteral("<- (\\S+?)<CR>"));
        for (const QByteArray &line : err.split('\n')) {
            const auto m = re.match(QString::fromLatin1(line));
            if (m.hasMatch())
                out << m.captured(1).toLatin1();
        }
        return out;
    }
    ~Sim() { stopProcess(p); }
};

// The settings block of a .qvd file, 48 data texts.
QStringList settingsOf(const QString &path)
{
    std::vector<MemCell> image(65536);
    FileError err;
    QStringList cells;
    if (!ParseUserFile(AppFixture::readFile(path), image.data(), err))
        return cells;
    for (int a = 0; a < kSettingsCells; ++a)
        cells << image[size_t(a)].data();
    return cells;
}

QStringList settingsInUserData()
{
    QStringList cells;
    for (int a = 0; a < kSettingsCells; ++a)
        cells << UserData[a].data();
    return cells;
}
} // namespace

class tst_e2e_ser2net : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void throughADeviceServer_data();
    void throughADeviceServer();

private:
    QTemporaryDir m_home;
    QTemporaryDir m_run;
};

void tst_e2e_ser2net::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) {
        QVERIFY(m_home.isValid());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    }
    QVERIFY(m_run.isValid());
    QVERIFY2(!Ser2net::program().isEmpty(), "ser2net is not installed (scripts/test installs it)");
}

void tst_e2e_ser2net::throughADeviceServer_data()
{
    QTest::addColumn<bool>("telnet");
    QTest::newRow("raw TCP") << false;
    QTest::newRow("RFC 2217") << true;
}

void tst_e2e_ser2net::throughADeviceServer()
{
    QFETCH(bool, telnet);
    RealPortApp app;
    Sim sim;
    QVERIFY(sim.start());
    Ser2net server;
    server.dir = m_run.path();
    QVERIFY(server.start(sim.terminal));
    const QString url =
        QStringLiteral("%1://127.0.0.1:%2").arg(telnet ? "rfc2217" : "tcp").arg(telnet ? server.telnet : server.raw);
    QVERIFY(TcpTestServer::bindCom(1, QStringLiteral("# the roadside controller\n") + url));
    Main();
    QCOMPARE(g_frmMdi1->statusPanel(1), QStringLiteral("ﾎﾟｰﾄ : COM1"));

    // The connection check.
    QElapsedTimer t;
    t.start();
    g_subMenuCommand(21);
    qInfo("connection check through ser2net (%s): %lld ms", telnet ? "RFC 2217" : "raw", qint64(t.elapsed()));
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(g_intConnectStatus, qint16(1));
    QCOMPARE(g_frmMdi1->statusPanel(2), QStringLiteral("状態 : 接続中"));
    QVERIFY(app.port.portOpen());
    QCOMPARE(&app.port.active(), static_cast<SerialPortService *>(&app.port.network()));
    QCOMPARE(app.port.network().lineText(), telnet ? QStringLiteral("9600 8N1, no flow control") : QString());
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString::number(t.elapsed())));

    // A file of settings, written to the controller and read back.
    EditorTexts texts = g_frmMain1->editorTexts();
    for (int n = 1; n <= 8; ++n) {
        texts.cell[1][n] = QString::number(0.55 * n, 'f', 2);
        texts.cell[2][n] = QString::number(0.55 * n - 0.30, 'f', 2);
    }
    texts.param[0] = QStringLiteral("250");
    texts.param[1] = QStringLiteral("750");
    texts.param[4] = QStringLiteral("0.05");
    g_frmMain1->setEditorTexts(texts);
    g_frmMain1->subFrmMainDataGet();
    const QString file = AppFixture::dataFile(QStringLiteral("site7.qvd"));
    QVERIFY(g_funcUserDataSave(file));
    const QStringList fileCells = settingsOf(file);
    QCOMPARE(fileCells.size(), kSettingsCells);
    app.dlg.answers << vbOK;
    t.restart();
    g_frmMain1->Command1_Click(1);
    qInfo("write: %lld ms", qint64(t.elapsed()));
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(app.dlg.boxes.size(), 1);
    QCOMPARE(boxText(app.dlg.boxes[0]), QStringLiteral("ﾃﾞｰﾀｰ書込み / データは正常に書き込まれました。"));
    // What the controller stored, line by line.
    QByteArrayList written;
    QTRY_VERIFY((written = sim.frames()).size() >= 1 + 1 + kSettingsCells + 1);
    QStringList stored;
    for (const QByteArray &f : written)
        if (f.startsWith('W') && f.size() == 5)
            stored << QString::fromLatin1(f.mid(3));
    QCOMPARE(stored, fileCells);
    // The editor forgets, then reads the controller.
    g_subUserDataIni();
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    g_intSaved = 1;
    t.restart();
    g_frmMain1->Command1_Click(0);
    qInfo("read: %lld ms", qint64(t.elapsed()));
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(app.dlg.boxes.size(), 1);
    QCOMPARE(settingsInUserData(), fileCells);
    QCOMPARE(g_intConnectStatus, qint16(1));

    // Ten seconds of the monitor with the log filer writing a sample a second.
    LogFileSetting s = DefaultLogFileSetting();
    s.strInterval = QStringLiteral("00:00:01");
    s.lngCountMax = 1000;
    s.strEndTime = kNoEndTime;
    s.strFolder = AppFixture::dataFile(QStringLiteral("logs/"));
    s.strFileName = QStringLiteral("site7.csv");
    QVERIFY(QDir().mkpath(s.strFolder));
    QVERIFY(!SaveLogFileSetting(s).failed());
    g_subSamplingTimeSet(250);
    g_subMenuCommand(12);
    QVERIFY(g_frmDirect1);
    g_frmDirect1->Command2[0]->click();
    QCOMPARE(g_intMonitorOn, qint16(-1));
    QTest::qWait(600);
    g_subMenuCommand(13);
    QVERIFY(g_frmLogFiler1);
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(flgLogFilerOnWork, qint16(-1));
    QSet<QString> values;
    int readings = 0;
    const auto counter = connect(&monitorEvents(), &MonitorEvents::readingStored, this, [&] {
        ++readings;
        values << g_typMonData[g_intMonDataIdx].valueHex;
    });
    QTest::qWait(10000);
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(app.dlg.boxes.size(), 1);
    qInfo("monitor: %d readings in 10 s, %d different values", readings, int(values.size()));
    QVERIFY2(readings >= 30, qPrintable(QString::number(readings))); // 4 a second
    QVERIFY2(values.size() >= 10, qPrintable(QString::number(values.size())));  // the sine moves
    QCOMPARE(g_intMonitorOn, qint16(-1));
    QCOMPARE(flgLogFilerOnWork, qint16(-1));

    // The device server goes away under the running monitor.
    app.dlg.boxes.clear();
    app.dlg.onBox = [&app](const ScriptedDialogs::Box &) { app.dlg.answers << vbOK; };
    const int before = readings;
    t.restart();
    server.stop();
    while (g_intMonitorOn == -1 && t.elapsed() < 30000)
        QTest::qWait(20);
    const qint64 ms = t.elapsed();
    QTest::qWait(1000); // what the monitor's end still does
    disconnect(counter);
    QStringList shown;
    for (const auto &b : app.dlg.boxes)
        shown << b.text;
    qInfo("ser2net stopped: the monitor ended after %lld ms with: %s", ms, qPrintable(shown.join(QStringLiteral(" | "))));
    QVERIFY2(ms <= kNetDropBoundMs, qPrintable(QString::number(ms)));
    QCOMPARE(g_intMonitorOn, qint16(0));
    QCOMPARE(g_intConnectStatus, qint16(0));
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QVERIFY(!app.port.portOpen());
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QVERIFY(shown.size() >= 2);
    QVERIFY2(shown.contains(QStringLiteral("ｴﾗｰのため入力電圧ﾓﾆﾀｰを終了します。")), qPrintable(shown.join(" | ")));
    QVERIFY(shown.last().startsWith(QStringLiteral("入力ﾓﾆﾀｰ機能が停止しました。")));
    checkSane();
    QVERIFY(readings - before <= 2);

    // Nothing lost: every sample numbered in turn, one a second, then the end block.
    const QByteArrayList lines = AppFixture::readFile(s.strFolder + s.strFileName).split('\n');
    QCOMPARE(lines.first(), QByteArray("/** Logging Start **/\r"));
    int samples = 0;
    QDateTime last;
    for (const QByteArray &l : lines) {
        if (l.size() < 7 || l.at(6) != ',' || !QChar::isDigit(uchar(l.at(0))))
            continue;
        ++samples;
        QCOMPARE(l.left(6).toInt(), samples);
        const QDateTime at = QDateTime::fromString(QString::fromLatin1(l.mid(8, 20)), QStringLiteral("yyyy/MM/dd, HH:mm:ss"));
        QVERIFY2(at.isValid(), l.constData());
        if (last.isValid())
            QCOMPARE(last.secsTo(at), 1);
        last = at;
    }
    QVERIFY2(samples >= 8, qPrintable(QString::number(samples)));
    // The run ends because the monitor stopped: its end block closes the file.
    const qsizetype quit = lines.indexOf(QByteArray("/** Logging Quit **/\r"));
    QVERIFY(quit > 0);
    QVERIFY(lines.value(quit + 1).startsWith("Time :,"));
    QCOMPARE(lines.size(), quit + 3); // the last CR LF leaves an empty piece
}

QTEST_MAIN(tst_e2e_ser2net)
#include "tst_e2e_ser2net.moc"
