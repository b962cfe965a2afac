// The whole tool in real time against qelvo-ctrlsim on a pseudo-terminal: QSerialPort,
// the real clock and the real event loop; only the boxes are scripted. Connect, a full
// write and read through the port, a line that drops in the middle of a transfer, and
// what a connection check and an idle connection cost in time and processor.
#include "support/AppFixture.h"
#include "support/Ctrlsim.h"
#include "support/DataFiles.h"
#include "support/LinkHelpers.h"
#include "support/RealWaits.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "graph/frmGraph1.h"
#include "graph/modGraph1.h"
#include "link/frmCommMsg1.h"
#include "link/modComm1.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/frmLogView1.h"
#include "monitor/frmOutputMonitor1.h"
#include "monitor/modMonitor1.h"
#include "platform/ComPorts.h"
#include "platform/QtDialogs.h"
#include "platform/QtSerialPort.h"
#include "settings/modUserData.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QSet>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <time.h>

namespace {
// 9600 baud carries 960 bytes a second.
constexpr double kLineMsPerByte = 1000.0 / 960.0;

qint64 cpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The tool as main() starts it, but with scripted boxes and a recorded process end; the
// clock is the real one.
struct RealApp {
    ScriptedDialogs dlg;
    RecordingProcess proc;
    QtSerialPort port;

    RealApp()
    {
        installClock(nullptr);
        installDialogs(&dlg);
        installProcess(&proc);
        installSerialPort(&port);
        g_subCommEventHook();
        AppFixture::resetGlobals();
        AppFixture::wipeDataFolder();
        AppFixture::seedDataFolder(1);
    }
    ~RealApp()
    {
        AppFixture::closeWindows();
        port.setPortOpen(false);
        AppFixture::resetGlobals();
        installSerialPort(nullptr);
        installProcess(nullptr);
        installDialogs(nullptr);
    }
    QByteArray unexpected() const { return dlg.unexpectedWhat.join(QStringLiteral(" | ")).toUtf8(); }
};

// qelvo-ctrlsim bound to COM1 of the test's data folder, with its frame log on stderr.
struct Sim {
    QProcess p;
    QByteArray err;

    bool start(const QStringList &extra = {})
    {
        return startCtrlsim(p, QStringList{"--com", "1", "--log"} + extra) && QFileInfo(ComPortLink(1)).isSymLink();
    }
    // The command lines the simulator received so far, without CR, oldest first.
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
    void stop() { stopProcess(p); }
    ~Sim() { stop(); }
};

// The 48 read frames of the settings block, as the controller must see them.
QByteArrayList readFrames()
{
    QByteArrayList l;
    for (int a = 0; a < kSettingsCells; ++a)
        l << "R" + hexDigits(a, 2);
    return l;
}

// The 48 write frames of the settings block as UserData holds it, then "E".
QByteArrayList writeFrames()
{
    QByteArrayList l;
    for (int a = 0; a < kSettingsCells; ++a)
        l << "W" + hexDigits(a, 2) + UserData[a].data().toLatin1();
    return l << "E";
}

void clickCancelWhenShown()
{
    if (g_frmCommMsg1)
        g_frmCommMsg1->Command1->click();
}

// The fault table of the simulated controller (tests/link/faultmatrix_table.inc): its
// hang-up rows are what a real device that goes away must give too.
enum Exchange { Check, Read, Write, Position, MonitorStart, MonitorRunning, LogRunning, ChannelRead, AnalogOut };
struct Row {
    int fault;
    Exchange exchange;
    const char *boxes;
    bool connected;
    int boundMs;
};
#include "../link/faultmatrix_table.inc"
constexpr int kHangUpFault = 7;

const Row &hangUpRow(Exchange e)
{
    for (const Row &r : kRows)
        if (r.fault == kHangUpFault && r.exchange == e)
            return r;
    qFatal("no hang-up row");
}

// The way out of every box a user who gives up takes: Cancel, OK where it is the only button.
int giveUp(int buttons) { return buttons == vbRetryCancel || buttons == vbOKCancel ? vbCancel : vbOK; }

// The boxes' texts on one line, as the fault table writes them.
QString outcomeOf(const ScriptedDialogs &dlg)
{
    QStringList texts;
    for (const auto &b : dlg.boxes)
        texts << QString(b.text).replace(QLatin1String("\r\n"), QLatin1String(" "));
    return texts.join(QStringLiteral(" | "));
}
} // namespace

class tst_e2e_pty : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void connectShowsConnected();
    void writeThenReadThroughThePort();
    void hangUpDuringCheckEndsDisconnected();
    void deviceHeldByAnotherProgram();
    void hangUpMidTransfer_data();
    void hangUpMidTransfer();
    void hangUpRowsOnARealDevice_data();
    void hangUpRowsOnARealDevice();
    void connectionCheckCost();
    void idleConnectionCostsNoProcessor();
    void monitorFollowsARamp();
    void logFilerWritesThreeSamples();
    void graphLevelCrossesTheThresholds();

private:
    // Connects through the dispatcher; the wall time of the check in ms.
    static qint64 connectLink();
    // Starts the simulator and the tool and connects; false when any of it fails.
    static bool startConnected(Sim &sim);
    QTemporaryDir m_home;
};

void tst_e2e_pty::initTestCase()
{
    // The simulator inherits the variable and binds COM1 in the test's own data folder.
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) {
        QVERIFY(m_home.isValid());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    }
}

qint64 tst_e2e_pty::connectLink()
{
    QElapsedTimer t;
    t.start();
    g_subMenuCommand(21);
    return t.elapsed();
}

bool tst_e2e_pty::startConnected(Sim &sim)
{
    if (!sim.start())
        return false;
    Main();
    connectLink();
    return g_intConnectStatus == 1;
}

void tst_e2e_pty::connectShowsConnected()
{
    RealApp app;
    Sim sim;
    QVERIFY(sim.start());
    Main();
    QCOMPARE(g_frmMdi1->statusPanel(1), QStringLiteral("ﾎﾟｰﾄ : COM1"));
    QCOMPARE(g_frmMdi1->statusPanel(2), QStringLiteral("状態 : 切断"));
    const qint64 ms = connectLink();
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(g_intConnectStatus, qint16(1));
    QCOMPARE(g_frmMdi1->statusPanel(2), QStringLiteral("状態 : 接続中"));
    QCOMPARE(g_frmMain1->Label1->palette().color(QPalette::Window), QColor(0, 255, 0));
    QVERIFY(g_frmMain1->Command1[0]->isEnabled() && g_frmMain1->Command1[1]->isEnabled());
    QCOMPARE(g_intCommBusy, qint16(0));
    QVERIFY(app.port.portOpen());
    QCOMPARE(app.port.deviceName(), ComPortLink(1));
    // One "L", answered at once: no second try a second later.
    QVERIFY2(ms < 1000, qPrintable(QString::number(ms)));
    QTRY_COMPARE(sim.frames(), QByteArrayList{"L"});
}

void tst_e2e_pty::writeThenReadThroughThePort()
{
    RealApp app;
    Sim sim;
    QVERIFY(startConnected(sim));

    // Known values in every control of the window mode (0-5 V).
    EditorTexts t = g_frmMain1->editorTexts();
    for (int n = 1; n <= 8; ++n) {
        t.cell[1][n] = QString::number(0.6 * n, 'f', 2);        // 0.60 ... 4.80
        t.cell[2][n] = QString::number(0.6 * n - 0.35, 'f', 2); // 0.25 ... 4.45
    }
    t.param[0] = QStringLiteral("100");
    t.param[1] = QStringLiteral("700");
    t.param[2] = QStringLiteral("0.50");
    t.param[3] = QStringLiteral("4.50");
    t.param[4] = QStringLiteral("0.10");
    const bool nc[8] = {true, false, false, true, true, false, true, false};
    std::copy(nc, nc + 8, t.nc);
    g_frmMain1->setEditorTexts(t);

    app.dlg.answers << vbOK;
    QElapsedTimer clock;
    clock.start();
    g_frmMain1->Command1_Click(1);
    qInfo("write: %lld ms", qint64(clock.elapsed()));
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(app.dlg.boxes.size(), 1);
    QCOMPARE(boxText(app.dlg.boxes[0]), QStringLiteral("ﾃﾞｰﾀｰ書込み / データは正常に書き込まれました。"));
    QCOMPARE(app.dlg.boxes[0].icon, int(vbInformation));
    QVERIFY(!g_frmCommMsg1);
    QVERIFY(g_frmMdi1->isEnabled());

    // What the controller received: "L", 48 "W" address data in order, then "E".
    QByteArrayList written;
    for (int a = 0; a < kSettingsCells; ++a)
        written << UserData[a].data().toLatin1();
    const QByteArrayList expect = QByteArrayList{"L"} + writeFrames();
    QTRY_COMPARE(sim.frames().mid(1), expect);
    QCOMPARE(written[0x2A], QByteArray("FF"));
    QCOMPARE(written[0x2B], QByteArray("59")); // NC on outputs 1, 4, 5 and 7
    QCOMPARE(written[0x2D], QByteArray("00"));
    QCOMPARE(written[0x02] + written[0x03], QByteArray("7B00")); // 0.60 V = 123 counts
    QCOMPARE(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("temp.tmp"))).size(), 851968);

    // The editor forgets, then reads the controller back.
    g_subUserDataIni();
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    QVERIFY(g_frmMain1->editorTexts().cell[1][1] != t.cell[1][1]);
    app.dlg.answers << vbNo; // the changed-contents question
    clock.restart();
    g_frmMain1->Command1_Click(0);
    qInfo("read: %lld ms", qint64(clock.elapsed()));
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(app.dlg.boxes.size(), 2);
    QCOMPARE(boxText(app.dlg.boxes[1]),
             QStringLiteral("Qelvo Software / 新規.qvd の内容は変更されています。\r\n変更を保存しますか？\r\n"));
    QCOMPARE(app.dlg.boxes[1].buttons, int(vbYesNoCancel));
    for (int a = 0; a < kSettingsCells; ++a)
        QCOMPARE(UserData[a].data().toLatin1(), written[a]);
    QCOMPARE(UserData[0x30].data(), QStringLiteral("00"));
    const EditorTexts back = g_frmMain1->editorTexts();
    for (int r = 1; r <= 2; ++r)
        for (int c = 1; c <= 8; ++c)
            QCOMPARE(back.cell[r][c], t.cell[r][c]);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(back.param[i], t.param[i]);
    QVERIFY(std::equal(nc, nc + 8, back.nc));
    QCOMPARE(g_intSaved, qint16(0));
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY(app.port.portOpen());
    QByteArrayList expectRead{"L"};
    expectRead += readFrames();
    QTRY_COMPARE(sim.frames().mid(1 + expect.size()), expectRead);
}

void tst_e2e_pty::hangUpDuringCheckEndsDisconnected()
{
    RealApp app;
    {
        Sim sim;
        QVERIFY(sim.start({"--hangup-after", "0"}));
        Main();
        // The loss is told as a send on the line tells it, as the fault table's hang-up row
        // of the check has it.
        app.dlg.onBox = [&app](const ScriptedDialogs::Box &b) { app.dlg.answers << giveUp(b.buttons); };
        const qint64 ms = connectLink();
        app.dlg.onBox = nullptr;
        qInfo("check against a line that drops: %lld ms", ms);
        QVERIFY2(ms < 3000, qPrintable(QString::number(ms)));
        QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
        QCOMPARE(outcomeOf(app.dlg), QString::fromUtf8(hangUpRow(Check).boxes));
        QCOMPARE(g_intConnectStatus, qint16(0));
        QCOMPARE(g_frmMdi1->statusPanel(2), QStringLiteral("状態 : 切断"));
        QCOMPARE(g_frmMain1->Label1->palette().color(QPalette::Window), QColor(255, 0, 0));
        QCOMPARE(g_intCommBusy, qint16(0));
        QVERIFY(g_frmMain1->isEnabled());
        QVERIFY(!app.port.portOpen());
        QVERIFY(sim.p.state() == QProcess::NotRunning || sim.p.waitForFinished(3000));
    }
    // A fresh controller on the same number connects.
    Sim fresh;
    QVERIFY(fresh.start());
    connectLink();
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(g_intConnectStatus, qint16(1));
}

void tst_e2e_pty::deviceHeldByAnotherProgram()
{
    // Another program holds the device (its lock on the line): after the written box, a
    // second one says so, as qelvo-cli says "port in use by another program".
    RealApp app;
    Sim sim;
    QVERIFY(sim.start());
    Main();
    QtSerialPort other;
    other.setCommPort(1);
    QVERIFY(!other.setPortOpen(true).failed());
    app.dlg.answers << vbOK << vbOK;
    connectLink();
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QCOMPARE(app.dlg.boxes.size(), 2);
    const QString caption = QStringLiteral("通信ﾎﾟｰﾄのｵｰﾌﾟﾝと接続のﾁｪｯｸ");
    QCOMPARE(boxOf(app.dlg.boxes[0]), box(caption, QStringLiteral("ﾎﾟｰﾄを開くことができませんでした。"), vbOKOnly, vbExclamation));
    QCOMPARE(boxOf(app.dlg.boxes[1]),
             box(caption, QStringLiteral("COM1 (%1) は他のﾌﾟﾛｸﾞﾗﾑが使用中です。").arg(ComPortLink(1)), vbOKOnly, vbInformation));
    QCOMPARE(g_intConnectStatus, qint16(0));
    // Let go, the line opens.
    other.setPortOpen(false);
    connectLink();
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
}

void tst_e2e_pty::hangUpMidTransfer_data()
{
    QTest::addColumn<int>("dir");
    QTest::addColumn<int>("answer");
    QTest::newRow("read, Cancel") << 0 << int(vbCancel);
    QTest::newRow("read, Retry on a fresh line") << 0 << int(vbRetry);
    QTest::newRow("write, Cancel") << 1 << int(vbCancel);
    QTest::newRow("write, Retry on a fresh line") << 1 << int(vbRetry);
}

void tst_e2e_pty::hangUpMidTransfer()
{
    QFETCH(int, dir);
    QFETCH(int, answer);
    RealApp app;
    Main();
    g_intSaved = 1; // no question before the read
    Sim fresh;
    {
        Sim sim;
        // The "L" of the check, the "L" of the transfer and eight addresses are answered;
        // the ninth address drops the line.
        QVERIFY(sim.start({"--hangup-after", "10"}));
        connectLink();
        QCOMPARE(g_intConnectStatus, qint16(1));
        const EditorTexts before = g_frmMain1->editorTexts();
        MemCell image[kSettingsCells];
        std::copy(UserData, UserData + kSettingsCells, image);

        // Retry: the controller is back by the time the user answers.
        bool freshStarted = false;
        app.dlg.onBox = [&](const ScriptedDialogs::Box &b) {
            if (answer == vbRetry && b.caption == QStringLiteral("入力モニターの開始"))
                freshStarted = fresh.start();
        };
        app.dlg.answers << answer;
        if (dir == 1 && answer == vbRetry)
            app.dlg.answers << vbOK;
        // Should the transfer wait for ever, "中止" gets it out (and the time check fails).
        QTimer rescue;
        rescue.setSingleShot(true);
        QObject::connect(&rescue, &QTimer::timeout, [] { clickCancelWhenShown(); });
        rescue.start(3000);
        QElapsedTimer t;
        t.start();
        g_frmMain1->Command1_Click(dir);
        const qint64 ms = t.elapsed();
        rescue.stop();
        qInfo("transfer with a dropped line returned after %lld ms", ms);
        QVERIFY2(ms < 2500, qPrintable(QString::number(ms)));
        QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
        QVERIFY(!g_frmCommMsg1);
        QVERIFY(g_frmMdi1->isEnabled());
        QVERIFY(sim.p.state() == QProcess::NotRunning || sim.p.waitForFinished(3000));
        const QByteArrayList got = sim.frames();
        QCOMPARE(got.size(), 11);
        QCOMPARE(got.last(), dir == 0 ? QByteArray("R08") : "W08" + UserData[8].data().toLatin1());

        // The transfer's error box, with Retry and Cancel.
        QVERIFY(!app.dlg.boxes.isEmpty());
        const auto &box = app.dlg.boxes[0];
        QCOMPARE(box.caption, QStringLiteral("入力モニターの開始"));
        QVERIFY2(box.text.endsWith(QStringLiteral(" : ｴﾗｰNo.1011\r\n[再試行]=再試行 / [ｷｬﾝｾﾙ]=通信をやめる")),
                 qPrintable(box.text));
        QCOMPARE(box.buttons, int(vbRetryCancel));
        QCOMPARE(box.icon, int(vbExclamation));

        if (answer == vbCancel) {
            QCOMPARE(app.dlg.boxes.size(), 1); // no success box after a cancelled write
            QCOMPARE(g_intConnectStatus, qint16(0));
            QCOMPARE(g_frmMdi1->statusPanel(2), QStringLiteral("状態 : 切断"));
            QVERIFY(!app.port.portOpen());
            // The read takes nothing over; the write leaves the editor as it was.
            if (dir == 0)
                for (int a = 0; a < kSettingsCells; ++a)
                    QCOMPARE(UserData[a].data(), image[a].data());
            const EditorTexts after = g_frmMain1->editorTexts();
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 9; ++c)
                    QCOMPARE(after.cell[r][c], before.cell[r][c]);
            for (int i = 0; i < 5; ++i)
                QCOMPARE(after.param[i], before.param[i]);
        }
        if (answer == vbRetry)
            QVERIFY(freshStarted);
    }
    app.dlg.onBox = nullptr;

    if (answer == vbCancel) {
        // The user connects again to a controller that is back.
        QVERIFY(fresh.start());
        connectLink();
        QCOMPARE(g_intConnectStatus, qint16(1));
        QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
        QTRY_COMPARE(fresh.frames(), QByteArrayList{"L"});
        return;
    }
    // Retry opened the port again and ran the whole transfer on the fresh line.
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY(app.port.portOpen());
    QByteArrayList expect{"L"};
    if (dir == 0) {
        expect += readFrames();
        QCOMPARE(UserData[0x00].data(), QStringLiteral("00")); // the fresh controller's power-up memory
        QCOMPARE(UserData[0x2A].data(), QStringLiteral("FF"));
        QCOMPARE(app.dlg.boxes.size(), 1);
    } else {
        expect += writeFrames();
        QCOMPARE(app.dlg.boxes.size(), 2);
        QCOMPARE(app.dlg.boxes[1].caption, QStringLiteral("ﾃﾞｰﾀｰ書込み"));
    }
    QTRY_COMPARE(fresh.frames(), expect);
}

void tst_e2e_pty::hangUpRowsOnARealDevice_data()
{
    // Where the pseudo-terminal's other end closes: when a command of a read comes in, when
    // the "N" of a running monitor comes in to a controller slow to answer it (the tool waits
    // for the reply), and between two ticks of the monitor (the tool is idle).
    QTest::addColumn<QString>("when");
    QTest::addColumn<int>("exchange");
    QTest::newRow("during a read") << QStringLiteral("read") << int(Read);
    QTest::newRow("during a poll") << QStringLiteral("poll") << int(MonitorRunning);
    QTest::newRow("between ticks") << QStringLiteral("idle") << int(MonitorRunning);
}

void tst_e2e_pty::hangUpRowsOnARealDevice()
{
    // The same boxes, in the same order, and the same link afterwards as the fault table's
    // hang-up rows give on the simulated port.
    QFETCH(QString, when);
    QFETCH(int, exchange);
    const Row &row = hangUpRow(Exchange(exchange));
    RealApp app;
    Main();
    g_intSaved = 1; // no question before the read
    Sim sim;
    // The connection check's "L", the read's "L" and three addresses; the check, the start's
    // "N" and one tick's "N" and "Y".
    QStringList args;
    if (when == QLatin1String("read"))
        args << "--hangup-after" << "5";
    else if (when == QLatin1String("poll"))
        args << "--fault" << "slow:500" << "--hangup-after" << "4";
    QVERIFY(sim.start(args));
    connectLink();
    QCOMPARE(g_intConnectStatus, qint16(1));
    app.dlg.onBox = [&app](const ScriptedDialogs::Box &b) { app.dlg.answers << giveUp(b.buttons); };
    QElapsedTimer took;
    took.start();
    if (exchange == Read) {
        QTimer rescue; // a read that waits for ever is stopped as a user would
        rescue.setSingleShot(true);
        QObject::connect(&rescue, &QTimer::timeout, [] { clickCancelWhenShown(); });
        rescue.start(5000);
        g_frmMain1->Command1_Click(0);
    } else {
        g_subSamplingTimeSet(when == QLatin1String("idle") ? 2000 : 1000);
        g_subMenuCommand(12);
        QVERIFY(g_frmDirect1);
        bool stored = false;
        QObject context;
        QObject::connect(&monitorEvents(), &MonitorEvents::readingStored, &context, [&] { stored = true; });
        g_frmDirect1->Command2[0]->click();
        QCOMPARE(g_intMonitorOn, qint16(-1));
        if (when == QLatin1String("idle")) {
            // A whole reading, then the line goes while the tool waits for its next tick.
            QVERIFY(waitFor([&] { return stored; }, 5000));
            sim.stop();
            took.restart();
        }
        QVERIFY(waitFor([] { return g_intMonitorOn == 0; }, 30000));
    }
    const qint64 ms = took.elapsed();
    Sleep(1500); // whatever the monitor still has to finish
    qInfo("%s: %lld ms, %s", qPrintable(when), ms, qPrintable(outcomeOf(app.dlg)));
    QStringList boxes = QString::fromUtf8(row.boxes).split(QStringLiteral(" | "));
    // The simulated device goes away while the read's command drains, so its row begins
    // with the send's box; a real line goes while the reply is awaited, and the read tells
    // the loss in its own box alone, as the table's network rows do when a device server
    // ends the connection there.
    if (exchange == Read)
        boxes.removeFirst();
    QCOMPARE(outcomeOf(app.dlg), boxes.join(QStringLiteral(" | ")));
    QCOMPARE(g_intConnectStatus == 1, row.connected);
    QVERIFY2(ms < 5000, qPrintable(QString::number(ms)));
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    QVERIFY(!app.port.portOpen());
    checkSane();
    QCOMPARE(g_frmMdi1->statusPanel(2), QStringLiteral("状態 : 切断"));
    QVERIFY(!g_frmMain1->Command1[0]->isEnabled() && !g_frmMain1->Command1[1]->isEnabled());
}

void tst_e2e_pty::connectionCheckCost()
{
    RealApp app;
    Sim sim;
    QVERIFY(startConnected(sim)); // warms up the first open
    const double lineMs = 8 * kLineMsPerByte;
    // With the port closed (each check opens it) and with the port left open.
    for (bool reopen : {true, false}) {
        QList<double> wall, cpu;
        for (int i = 0; i < 5; ++i) {
            if (reopen) {
                g_subMenuCommand(22);
            } else {
                g_subConnectStatusSet(0);
                g_frmMain1->subCommStatus_Change();
            }
            QCOMPARE(app.port.portOpen(), !reopen);
            QElapsedTimer t;
            t.start();
            const qint64 c0 = cpuNs();
            g_subMenuCommand(21);
            const qint64 c1 = cpuNs();
            wall << t.nsecsElapsed() / 1e6;
            cpu << (c1 - c0) / 1e6;
            QCOMPARE(g_intConnectStatus, qint16(1));
        }
        std::sort(wall.begin(), wall.end());
        std::sort(cpu.begin(), cpu.end());
        qInfo("connection check (%s), median of 5: wall %.2f ms (min %.2f, max %.2f), CPU %.2f ms;"
              " line time of the 8 bytes %.2f ms; wall/line %.2f; CPU/wall %.0f %%",
              reopen ? "port opened" : "port already open", wall[2], wall.first(), wall.last(), cpu[2], lineMs,
              wall[2] / lineMs, 100.0 * cpu[2] / wall[2]);
        // Answered at the first "L": well within the one-second retry.
        QVERIFY2(wall[2] < 500, qPrintable(QString::number(wall[2])));
    }
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
}

void tst_e2e_pty::idleConnectionCostsNoProcessor()
{
    RealApp app;
    Sim sim;
    QVERIFY(startConnected(sim));

    // The application's own event loop, as exec() runs it, for ten seconds.
    QEventLoop loop;
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    const qint64 c0 = cpuNs();
    loop.exec();
    const double cpuMs = (cpuNs() - c0) / 1e6;
    const double wallMs = t.nsecsElapsed() / 1e6;
    const double share = 100.0 * cpuMs / wallMs;
    qInfo("idle connected: %.1f ms CPU in %.0f ms = %.3f %% of one core", cpuMs, wallMs, share);
    QVERIFY2(share < 5.0, qPrintable(QString::number(share)));
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY(app.port.portOpen());
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
}

void tst_e2e_pty::monitorFollowsARamp()
{
    // The level climbs from 0 to full scale in 8 s through the eight staggered windows:
    // the value rises, the list shows today's readings and the lamps change.
    RealApp app;
    Sim sim;
    QVERIFY(sim.start({"--wave", "ramp", "--period", "8", "--demo"}));
    Main();
    connectLink();
    QCOMPARE(g_intConnectStatus, qint16(1));
    g_subSamplingTimeSet(100);
    g_subMenuCommand(12);
    g_subMenuCommand(14);
    g_subMenuCommand(15);
    QVERIFY(g_frmDirect1 && g_frmLogView1 && g_frmOutputMonitor1);
    g_frmDirect1->Command2[0]->click();
    QCOMPARE(g_intMonitorOn, qint16(-1));
    QSet<QString> lampStates;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QString state;
        for (QLabel *lamp : g_frmOutputMonitor1->Picture1)
            state += lamp->accessibleDescription() == QLatin1String("ON") ? QLatin1Char('1') : QLatin1Char('0');
        lampStates << state;
    });
    watch.start(50);
    QTest::qWait(300);
    const double first = g_frmDirect1->Label6->text().toDouble();
    QTest::qWait(3000);
    watch.stop();
    const double last = g_frmDirect1->Label6->text().toDouble();
    QVERIFY2(last > first + 1.0, qPrintable(QStringLiteral("%1 -> %2").arg(first).arg(last)));
    QVERIFY2(lampStates.size() >= 2, qPrintable(QStringList(lampStates.values()).join(QLatin1Char(' '))));
    const QString today = QDate::currentDate().toString(QStringLiteral("yyyy/MM/dd"));
    const QString newest = g_frmLogView1->Label1->item(0)->text();
    QVERIFY2(newest.startsWith(today), qPrintable(newest.left(40)));
    QVERIFY(g_frmLogView1->Label1->count() >= 21); // the ring is full
    g_frmDirect1->Command2[1]->click();
    QTRY_COMPARE(g_intFormOpen[idTimer], qint16(0));
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
}

void tst_e2e_pty::logFilerWritesThreeSamples()
{
    // The monitor polls the controller (level 0x1A3 = 2.05 V in the demo windows: outputs 3
    // and 4 on); the log filer writes three samples one second apart and ends by its count.
    RealApp app;
    Sim sim;
    QVERIFY(sim.start({"--level", "419", "--demo"}));
    Main();
    connectLink();
    QCOMPARE(g_intConnectStatus, qint16(1));
    LogFileSetting s;
    s.strInterval = QStringLiteral("00:00:01");
    s.lngCountMax = 3;
    s.strEndTime = kNoEndTime;
    s.strFolder = AppFixture::dataFile(QStringLiteral("logs/"));
    s.strFileName = QStringLiteral("e2e.csv");
    QVERIFY(QDir().mkpath(s.strFolder));
    QVERIFY(!SaveLogFileSetting(s).failed());
    g_subMenuCommand(12);
    g_frmDirect1->Command2[0]->click();
    QCOMPARE(g_intMonitorOn, qint16(-1));
    QTest::qWait(1200); // a whole reading, "N" and "Y"
    g_subMenuCommand(13);
    QVERIFY(g_frmLogFiler1);
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(flgLogFilerOnWork, qint16(-1));
    QTRY_COMPARE_WITH_TIMEOUT(flgLogFilerOnWork, qint16(0), 8000);
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
    const QByteArray bytes = AppFixture::readFile(s.strFolder + s.strFileName);
    const QByteArrayList lines = bytes.split('\n');
    QCOMPARE(lines.size(), 2 + 3 + 2 + 1); // the last CR LF leaves an empty piece
    QVERIFY(bytes.endsWith("\r\n"));
    QCOMPARE(lines[0], QByteArray("/** Logging Start **/\r"));
    const QByteArray startText = lines[1].mid(7).chopped(1); // "yyyy/MM/dd, HH:mm:ss"
    const QDateTime start = QDateTime::fromString(QString::fromLatin1(startText), QStringLiteral("yyyy/MM/dd, HH:mm:ss"));
    QVERIFY2(start.isValid() && qAbs(start.secsTo(QDateTime::currentDateTime())) < 15, startText.constData());
    for (int n = 1; n <= 3; ++n) {
        const QByteArray expect = QByteArray::number(n).rightJustified(6, '0') + ", " +
                                  LogTimeText(start.addSecs(n - 1)).toLatin1() + ", 02.05,V, 00110000\r";
        QCOMPARE(lines[1 + n], expect);
    }
    QCOMPARE(lines[5], QByteArray("/** Logging END C **/\r"));
    QVERIFY(lines[6].startsWith("Time :,"));
    g_frmDirect1->Command2[1]->click();
    QTRY_COMPARE(g_intFormOpen[idTimer], qint16(0));
}

void tst_e2e_pty::graphLevelCrossesTheThresholds()
{
    // The controller's demo windows read into the grid, its level a sine: the graph's level
    // line moves up and down across the threshold lines while the monitor runs.
    RealApp app;
    Sim sim;
    QVERIFY(sim.start({"--wave", "sine", "--period", "4", "--demo"}));
    Main();
    connectLink();
    QCOMPARE(g_intConnectStatus, qint16(1));
    app.dlg.answers << vbNo; // the new document is not saved before the read
    g_frmMain1->Command1_Click(0);
    QCOMPARE(g_frmMain1->MSFlexGrid1->TextMatrix(1, 2), QStringLiteral("1.56")); // output 2 up to 319 counts
    g_subMenuCommand(11);
    QVERIFY(g_frmGraph1);
    g_subSamplingTimeSet(100);
    g_subMenuCommand(12);
    g_frmDirect1->Command2[0]->click();
    QCOMPARE(g_intMonitorOn, qint16(-1));
    const QColor level = QtDialogs::qtColor(quint32(g_lngColor[9]));
    QSet<int> rows;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QImage &img = g_frmGraph1->canvas();
        const int x = img.width() / 2;
        for (int y = 0; y < img.height(); ++y)
            if (img.pixelColor(x, y) == level)
                rows << y;
    });
    watch.start(30);
    QTest::qWait(4500);
    watch.stop();
    g_frmDirect1->Command2[1]->click();
    QVERIFY2(rows.size() >= 20, qPrintable(QString::number(rows.size())));
    // Threshold rows the level went past: at least the demo windows' lower bounds inside.
    const QImage &img = g_frmGraph1->canvas();
    int crossed = 0;
    const int top = *std::min_element(rows.begin(), rows.end()), bottom = *std::max_element(rows.begin(), rows.end());
    for (int n = 1; n <= 8; ++n) {
        const QColor c = QtDialogs::qtColor(quint32(g_lngColor[n]));
        for (int y = top + 1; y < bottom; ++y) {
            int hits = 0;
            for (int x = img.width() / 3; x < img.width() * 2 / 3; ++x)
                hits += img.pixelColor(x, y) == c;
            if (hits > 10) {
                ++crossed;
                break;
            }
        }
    }
    QVERIFY2(crossed >= 3, qPrintable(QString::number(crossed)));
    QTRY_COMPARE(g_intFormOpen[idTimer], qint16(0));
    QVERIFY2(app.dlg.unexpected == 0, app.unexpected());
}

QTEST_MAIN(tst_e2e_pty)
#include "tst_e2e_pty.moc"
