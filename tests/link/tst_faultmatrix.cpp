// Every fault of the simulated controller against every exchange of the tool, on the
// virtual clock. Each case must end within its bound with the boxes the table names (each
// answered the way a user gives up: Cancel, Abort, OK; a running read or write is
// stopped with "中止" after 30 s, as a user would), and leave the tool consistent: nothing
// busy or locked, the link shown as it is, and no file changed but the ones a run writes.
// The faults of a network line (a device server refusing, never answering, dropping the
// connection, trickling bytes) run the same way with real sockets on the real clock.
#include "support/LinkHelpers.h"
#include "support/RealPortApp.h"
#include "support/TcpTestServer.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "link/frmCommMsg1.h"
#include "link/modComm1.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/MappedSerialPort.h"
#include "settings/modUserData.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QTimer>
#include <QtTest>

namespace {
enum Exchange { Check, Read, Write, Position, MonitorStart, MonitorRunning, LogRunning, ChannelRead, AnalogOut };
const char *kExchangeNames[] = {"check", "read", "write", "position", "monitor start", "monitor running",
                                "log running", "channel read", "analog output"};
const char *kExchangeIds[] = {"Check", "Read", "Write", "Position", "MonitorStart", "MonitorRunning",
                              "LogRunning", "ChannelRead", "AnalogOut"};

struct FaultDef {
    const char *name;
    Fault fault;
    int param;
};
const FaultDef kFaults[] = {
    {"silence", Fault::Silence, 0}, {"question", Fault::Question, 0}, {"slow", Fault::Slow, 2000},
    {"garbage", Fault::Garbage, 6}, {"split", Fault::Split, 50},      {"flood", Fault::Flood, 100},
    {"flood:stream", Fault::Flood, -1}, {"hangup", Fault::HangUp, 0},
};

// The faults of a network line, raw TCP and RFC 2217.
enum class NetFault { Refused, Silent, Drop, Drip, Busy };
struct NetFaultDef {
    const char *name;
    NetFault fault;
    bool telnet;
};
const NetFaultDef kNetFaults[] = {
    {"tcp refused", NetFault::Refused, false}, {"rfc2217 refused", NetFault::Refused, true},
    {"tcp silent", NetFault::Silent, false},   {"rfc2217 silent", NetFault::Silent, true},
    {"tcp drop", NetFault::Drop, false},       {"rfc2217 drop", NetFault::Drop, true},
    {"tcp drip", NetFault::Drip, false},       {"rfc2217 drip", NetFault::Drip, true},
    {"tcp accepts, then closes", NetFault::Busy, false}, {"rfc2217 accepts, then closes", NetFault::Busy, true},
};
// A dropped connection in the middle of a read: the server takes this many more lines.
constexpr int kDropAfterLines = 3;
// Each byte of a reply this long after the one before.
constexpr int kDripMs = 200;
// The connection check's "L0001" dripped: twice its one-second reply timer, so a timer that
// fires late on a busy machine still finds the line incomplete.
constexpr int kCheckDripMs = 400;
// A busy server closes this long after it said so: the open of a raw port is done by then.
constexpr int kBusyCloseMs = 200;

// The rows of both tables.
struct Row {
    int fault;
    Exchange exchange;
    const char *boxes;
    bool connected;
    int boundMs;
};
#include "faultmatrix_table.inc"

// The answer a user gives who wants out: Cancel, Abort, No (unsaved changes before a read),
// OK where it is the only button.
int giveUp(int buttons)
{
    switch (buttons) {
    case vbRetryCancel:
    case vbOKCancel: return vbCancel;
    case vbAbortRetryIgnore: return vbAbort;
    case vbYesNoCancel:
    case vbYesNo: return vbNo;
    default: return vbOK;
    }
}

// Every file of the data folder but the ones a run writes (temp.tmp, the logs).
QMap<QString, QByteArray> dataFiles()
{
    QMap<QString, QByteArray> files;
    QDirIterator it(AppFixture::dataFile(QString()), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (!path.endsWith(QLatin1String("temp.tmp")) && !path.contains(QLatin1String("/logs/")))
            files.insert(path, AppFixture::readFile(path));
    }
    return files;
}

QString logPath() { return AppFixture::dataFile(QStringLiteral("logs/fault.csv")); }

// The outcome as the table writes it: the texts of the boxes in order on one line,
// " | " between; the server's port number, which changes from run to run, as PORT.
QString outcomeOf(const ScriptedDialogs &dlg, int port = 0)
{
    QStringList texts;
    for (const auto &b : dlg.boxes)
        texts << QString(b.text).replace(QLatin1String("\r\n"), QLatin1String(" ")).replace(QLatin1Char('\n'), QLatin1Char(' '));
    QString out = texts.join(QStringLiteral(" | "));
    if (port != 0)
        out.replace(QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("127.0.0.1:PORT"));
    return out;
}
} // namespace

class TestFaultMatrix : public QObject {
    Q_OBJECT
private slots:
    void matrix_data();
    void matrix();
    void network_data();
    void network();
};

void TestFaultMatrix::matrix_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("exchange");
    QTest::addColumn<QString>("boxes");    // the texts of the boxes, in order
    QTest::addColumn<bool>("connected");  // the link afterwards
    QTest::addColumn<int>("boundMs");     // virtual time to the end of the case
    for (const Row &r : kRows) {
        QTest::addRow("%s x %s", kFaults[r.fault].name, kExchangeNames[r.exchange])
            << r.fault << int(r.exchange) << QString::fromUtf8(r.boxes) << r.connected << r.boundMs;
    }
}

void TestFaultMatrix::matrix()
{
    QFETCH(int, fault);
    QFETCH(int, exchange);
    QFETCH(QString, boxes);
    QFETCH(bool, connected);
    QFETCH(int, boundMs);
    const FaultDef &fd = kFaults[fault];
    AppFixture f;
    f.seedDataFolder();
    // The user's way out of every box.
    f.dlg.onBox = [&f](const ScriptedDialogs::Box &b) { f.dlg.answers << giveUp(b.buttons); };
    // A read or write that waits for ever is stopped by the user after 30 s.
    f.clock.scheduleIn(30000000LL + 1, [] {
        if (g_frmCommMsg1)
            g_frmCommMsg1->Command1->click();
    });
    if (exchange == Check) {
        f.startApp();
    } else {
        startConnected(f);
    }
    QDir().mkpath(AppFixture::dataFile(QStringLiteral("logs")));
    if (exchange == MonitorStart || exchange == MonitorRunning || exchange == LogRunning || exchange == ChannelRead ||
        exchange == AnalogOut) {
        g_subMenuCommand(12);
        QVERIFY(g_frmDirect1);
    }
    if (exchange == MonitorRunning || exchange == LogRunning) {
        g_frmDirect1->Command2[0]->click();
        QCOMPARE(g_intMonitorOn, qint16(-1));
        Sleep(1500);
    }
    if (exchange == LogRunning) {
        LogFileSetting s = DefaultLogFileSetting();
        s.strInterval = QStringLiteral("00:00:01");
        s.lngCountMax = 1000;
        s.strFolder = AppFixture::dataFile(QStringLiteral("logs/"));
        s.strFileName = QStringLiteral("fault.csv");
        QVERIFY(!SaveLogFileSetting(s).failed());
        g_subMenuCommand(13);
        g_frmLogFiler1->Command1[0]->click();
        QCOMPARE(flgLogFilerOnWork, qint16(-1));
        Sleep(3500);
    }
    const QMap<QString, QByteArray> filesBefore = dataFiles();
    const QByteArray logBefore = AppFixture::readFile(logPath());
    f.dlg.boxes.clear();
    f.sim.setFault(fd.fault, fd.param);
    const qint64 t0 = f.clock.nowUs();
    switch (exchange) {
    case Check: g_subMenuCommand(21); break;
    case Read:
        g_intSaved = 1;
        g_frmMain1->Command1_Click(0);
        break;
    case Write: g_frmMain1->Command1_Click(1); break;
    case Position: g_frmMain1->Command3_Click(); break;
    case MonitorStart:
        g_frmDirect1->Command2[0]->click();
        Sleep(3000); // the ticks after the start
        break;
    case MonitorRunning:
    case LogRunning: {
        // Until the monitor ends, or for 30 s where the controller still gives values.
        const qint64 end = t0 + 30000000LL;
        while (g_intMonitorOn == -1 && f.clock.nowUs() < end)
            Sleep(100);
        break;
    }
    case ChannelRead: g_frmDirect1->Command1[0]->click(); break;
    case AnalogOut: g_frmDirect1->FlatScrollBar1[0]->setValue(250); break;
    }
    const qint64 tookMs = f.msSince(t0);
    // Whatever a running monitor still has to finish.
    Sleep(2500);
    const QString outcome = outcomeOf(f.dlg);
    if (qEnvironmentVariableIsSet("QELVO_MATRIX_PRINT"))
        qInfo("ROW {%d, %s, \"%s\", %s, %lld},", fault, kExchangeIds[exchange], qPrintable(outcome),
              g_intConnectStatus == 1 ? "true" : "false", tookMs);
    QCOMPARE(outcome, boxes);
    QVERIFY2(tookMs <= boundMs, qPrintable(QStringLiteral("%1 ms").arg(tookMs)));
    QCOMPARE(g_intConnectStatus == 1, connected);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    // Consistent: nothing busy or locked, the display telling the state, and the link shown
    // up only over an open port.
    checkSane();
    if (g_intConnectStatus == 1)
        QVERIFY(f.sim.portOpen());
    if (g_intMonitorOn == 0) {
        QCOMPARE(g_intFormOpen[idTimer], qint16(0));
        QVERIFY(g_frmMain1->Label1->isEnabled());
        QCOMPARE(g_frmMain1->Command1[0]->isEnabled(), g_intConnectStatus == 1);
        if (g_frmDirect1)
            QVERIFY(g_frmDirect1->Command2[0]->isEnabled() && !g_frmDirect1->Command2[1]->isEnabled());
    }
    if (flgLogFilerOnWork == 0 && g_frmLogFiler1)
        QVERIFY(g_frmLogFiler1->Command1[0]->isEnabled());
    // No file changed but what a run writes; a log only grows.
    QCOMPARE(dataFiles(), filesBefore);
    QVERIFY(AppFixture::readFile(logPath()).startsWith(logBefore));
}

void TestFaultMatrix::network_data()
{
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("exchange");
    QTest::addColumn<QString>("boxes");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<int>("boundMs"); // real time to the end of the case
    for (const Row &r : kNetRows) {
        QTest::addRow("%s x %s", kNetFaults[r.fault].name, kExchangeNames[r.exchange])
            << r.fault << int(r.exchange) << QString::fromUtf8(r.boxes) << r.connected << r.boundMs;
    }
}

void TestFaultMatrix::network()
{
    QFETCH(int, fault);
    QFETCH(int, exchange);
    QFETCH(QString, boxes);
    QFETCH(bool, connected);
    QFETCH(int, boundMs);
    const NetFaultDef &fd = kNetFaults[fault];
    RealPortApp app;
    TcpTestServer server(TcpTestServer::Mode::Answer, 0, fd.telnet);
    const int port = fd.fault == NetFault::Refused ? TcpTestServer::closedPort() : server.port();
    QVERIFY(TcpTestServer::bindCom(1, QStringLiteral("%1://127.0.0.1:%2").arg(fd.telnet ? "rfc2217" : "tcp").arg(port)));
    app.dlg.onBox = [&app](const ScriptedDialogs::Box &b) { app.dlg.answers << giveUp(b.buttons); };
    // A read that waits for ever is stopped by the user after 30 s.
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, [] {
        if (g_frmCommMsg1)
            g_frmCommMsg1->Command1->click();
    });
    Main();
    if (exchange != Check) {
        g_subMenuCommand(21);
        QCOMPARE(g_intConnectStatus, qint16(1));
    }
    if (exchange == MonitorStart || exchange == MonitorRunning || exchange == ChannelRead) {
        g_subMenuCommand(12);
        QVERIFY(g_frmDirect1);
    }
    if (exchange == MonitorRunning) {
        g_frmDirect1->Command2[0]->click();
        QCOMPARE(g_intMonitorOn, qint16(-1));
        Sleep(1500);
    }
    const QMap<QString, QByteArray> filesBefore = dataFiles();
    app.dlg.boxes.clear();
    switch (fd.fault) {
    case NetFault::Refused: break;
    case NetFault::Silent: server.setMode(TcpTestServer::Mode::Silent); break;
    case NetFault::Drop:
        // Between two ticks of a running monitor; in a read after some lines; else when the
        // exchange's first line comes, so the tool is waiting for its reply.
        if (exchange == MonitorRunning)
            server.dropClient();
        else
            server.setMode(TcpTestServer::Mode::DropAfter,
                           int(server.frames.size()) + (exchange == Read ? kDropAfterLines : 0));
        break;
    case NetFault::Drip:
        server.setMode(TcpTestServer::Mode::Drip, exchange == Check ? kCheckDripMs : kDripMs);
        break;
    case NetFault::Busy:
        server.setMode(TcpTestServer::Mode::Busy, kBusyCloseMs);
        if (exchange != Check) {
            // The line is taken from the tool, which sees its connection end.
            server.dropClient();
            QElapsedTimer gone;
            gone.start();
            while (app.port.portOpen() && gone.elapsed() < 5000)
                Sleep(20);
            QVERIFY(!app.port.portOpen());
        }
        break;
    }
    QElapsedTimer took;
    took.start();
    rescue.start(30000);
    switch (exchange) {
    case Check: g_subMenuCommand(21); break;
    case Read:
        g_intSaved = 1;
        g_frmMain1->Command1_Click(0);
        break;
    case MonitorStart:
        g_frmDirect1->Command2[0]->click();
        Sleep(3000); // the ticks after the start
        break;
    case MonitorRunning:
        while (g_intMonitorOn == -1 && took.elapsed() < 30000)
            Sleep(100);
        break;
    case ChannelRead: g_frmDirect1->Command1[0]->click(); break;
    default: QFAIL("no network row for this exchange");
    }
    const qint64 tookMs = took.elapsed();
    rescue.stop();
    Sleep(1500);
    const QString outcome = outcomeOf(app.dlg, port);
    if (qEnvironmentVariableIsSet("QELVO_MATRIX_PRINT"))
        qInfo("ROW {%d, %s, \"%s\", %s, %lld},", fault, kExchangeIds[exchange], qPrintable(outcome),
              g_intConnectStatus == 1 ? "true" : "false", tookMs);
    QCOMPARE(outcome, boxes);
    QVERIFY2(tookMs <= boundMs, qPrintable(QStringLiteral("%1 ms").arg(tookMs)));
    QCOMPARE(g_intConnectStatus == 1, connected);
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    checkSane();
    if (g_intConnectStatus == 1)
        QVERIFY(app.port.portOpen());
    if (g_intMonitorOn == 0) {
        QCOMPARE(g_intFormOpen[idTimer], qint16(0));
        QVERIFY(g_frmMain1->Label1->isEnabled());
        QCOMPARE(g_frmMain1->Command1[0]->isEnabled(), g_intConnectStatus == 1);
    }
    QCOMPARE(dataFiles(), filesBefore);
    // The next connect opens a new connection to a server that answers again.
    if (fd.fault != NetFault::Refused && g_intConnectStatus == 0) {
        server.setMode(TcpTestServer::Mode::Answer);
        g_subMenuCommand(21);
        QCOMPARE(g_intConnectStatus, qint16(1));
        QVERIFY(app.port.portOpen());
    }
}

QTEST_MAIN(TestFaultMatrix)
#include "tst_faultmatrix.moc"
