// The input monitor and its windows on the virtual clock against the simulated controller:
// the ring and the readers' flags, the poll's ticks and its failure and time-out stops,
// the analog monitor window with its channel panel, the present-value log, the output
// monitor's lamps, the commands the running monitor holds back, and the windows that
// come back at start-up.
#include "support/AccessibleTree.h"
#include "support/LinkHelpers.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "graph/frmGraph1.h"
#include "link/modComm1.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "logfiler/modLogFileSetting.h"
#include "monitor/frmDirect1.h"
#include "monitor/frmLogView1.h"
#include "monitor/frmOutputMonitor1.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Geometry.h"
#include "settings/modUserData.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMdiSubWindow>
#include <QPointer>
#include <QtTest>

namespace {
// Connected to the healthy controller with the analog monitor open.
void openMonitor(AppFixture &f)
{
    startConnected(f);
    g_subMenuCommand(12);
    QVERIFY(g_frmDirect1);
}

void startMonitor()
{
    g_frmDirect1->Command2[0]->click();
    QCOMPARE(g_intMonitorOn, qint16(-1));
}

QByteArrayList framesSent(AppFixture &f) { return f.sim.model().received(); }

QColor lamp(int i) { return g_frmOutputMonitor1->Picture1[i]->palette().color(QPalette::Window); }

QStringList listLines()
{
    QStringList lines;
    for (int n = 0; n < g_frmLogView1->Label1->count(); ++n)
        lines << g_frmLogView1->Label1->item(n)->text();
    return lines;
}

const QString kTimeOutBox = QStringLiteral("受信待ち ﾀｲﾑｱｯﾌﾟ\r\n通信の状態を確認してください");
} // namespace

class TestMonitor : public QObject {
    Q_OBJECT
private slots:
    void ringWrapsAfterTwentyOneSamples();
    void tickInsideAnExchangeSendsNothing();
    void replyMakesARecordAndRaisesEveryFlag();
    void failedSendStopsBeforeY();
    void startAfterTheDeviceWentAwayPollsNothing();
    void failedStartClosesTheWindow_data();
    void failedStartClosesTheWindow();
    void bufferClearLeavesTheLinkUp_data();
    void bufferClearLeavesTheLinkUp();
    void replyTimeOutStopsAtTheNextTick();
    void lateRepliesNeverPassForTheOutputs();
    void repliesWithoutValuesEndLikeATimeOut_data();
    void repliesWithoutValuesEndLikeATimeOut();
    void stopKeepsTheNewestSample();
    void runningMonitorHoldsBackOtherExchanges();
    void stopRefusedWhileTheLogFilerLogs();
    void closingStopsFirstAndDisconnectCloses();
    void closingDuringAChannelExchange();
    void frameScrollsToAWindowBelowTheEditor();
    void displayByInputType_data();
    void displayByInputType();
    void channelReadAndOutput();
    void presentValueLog();
    void logViewRecordAndLimits();
    void lampsFollowTheOutputs();
    void readingStoredWhileClosedShowsAtOnce();
    void readingReachesEveryWindowAtOnce();
    void windowsReopenWhereTheyWere();
    void everyShownValueIsReadable();
};

void TestMonitor::ringWrapsAfterTwentyOneSamples()
{
    AppFixture f;
    openMonitor(f);
    startMonitor(); // the first "N" at once: entry 1
    QCOMPARE(g_intMonDataIdx, qint16(1));
    Sleep(19500); // nineteen ticks: entries 2 to 20
    QCOMPARE(g_intMonDataIdx, qint16(20));
    Sleep(1000);
    QCOMPARE(g_intMonDataIdx, qint16(0));
    QVERIFY(MonTimeText(g_typMonData[0].time).contains(QLatin1Char('/')));
    QCOMPARE(MonTimeText(g_typMonData[0].time).size(), 22);
    QCOMPARE(MonTimeText(g_typMonData[0].time), Now().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")).leftJustified(22));
}

void TestMonitor::tickInsideAnExchangeSendsNothing()
{
    // A controller that takes 50 ms per answer, polled every 20 ms: the ticks that fall
    // into a running exchange send nothing, so "N" and "Y" strictly take turns.
    AppFixture f;
    openMonitor(f);
    g_subSamplingTimeSet(20);
    f.sim.model().setAnswerDelayUs(50000);
    startMonitor();
    f.sim.model().clearLog();
    Sleep(1000);
    const QByteArrayList sent = framesSent(f);
    QVERIFY2(sent.size() >= 10 && sent.size() <= 20, QByteArray::number(sent.size()));
    for (int i = 0; i < sent.size(); ++i)
        QCOMPARE(sent[i], QByteArray(i % 2 ? "Y" : "N"));
}

void TestMonitor::replyMakesARecordAndRaisesEveryFlag()
{
    AppFixture f(false);
    f.startSeeded();
    QVERIFY(g_funcCommPortOpen(1));
    answerWith(f.rec, {{"N", "N03FF\r"}, {"Y", "Y05\r"}});
    for (int reader = 0; reader < kMonReaders; ++reader)
        g_subMonNewFlagSet(reader, -1);
    g_subTimerFormLoad();
    g_frmTimer1->MonitorTimer1_Timer();
    QCOMPARE(f.rec.written, QByteArray("N\rY\r"));
    QCOMPARE(g_intMonDataIdx, qint16(1));
    QCOMPARE(g_typMonData[1].valueHex, QStringLiteral("03FF"));
    QCOMPARE(g_typMonData[1].outputsHex, QStringLiteral("05"));
    for (qint16 flag : g_intMonNewFlag)
        QCOMPARE(flag, qint16(0));
    QCOMPARE(g_funcReplyValue(QStringLiteral("N03FF\r"), 4), QStringLiteral("03FF"));
    QCOMPARE(g_funcReplyValue(QString(), 4), QString());
}

void TestMonitor::failedSendStopsBeforeY()
{
    AppFixture f;
    openMonitor(f);
    startMonitor();
    Sleep(1500);
    f.sim.hangUp(); // the cable is pulled between two ticks
    f.sim.model().clearLog();
    f.dlg.answers << vbCancel << vbOK; // the send's box, then the monitor's
    Sleep(1000);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 2);
    QCOMPARE(f.dlg.boxes[0].caption, QStringLiteral("g_funcCommOutPut"));
    QCOMPARE(boxOf(f.dlg.boxes[1]), box(QStringLiteral("入力電圧ﾓﾆﾀｰ"), QStringLiteral("ｴﾗｰのため入力電圧ﾓﾆﾀｰを終了します。"), vbOKOnly, vbInformation));
    QVERIFY(framesSent(f).isEmpty()); // no "Y" after the failed "N"
    QCOMPARE(g_intMonitorOn, qint16(0));
    QCOMPARE(g_intFormOpen[idTimer], qint16(0));
    QCOMPARE(g_intConnectStatus, qint16(0));
    QVERIFY(!f.sim.portOpen());
    checkSane();
    // Nothing is left locked: the window offers a new start, and the editor's link label
    // takes clicks (the read and write wait for a connection).
    QVERIFY(g_frmDirect1->Command2[0]->isEnabled());
    QVERIFY(!g_frmDirect1->Command2[1]->isEnabled());
    QVERIFY(g_frmMain1->Label1->isEnabled());
    QVERIFY(!g_frmMain1->Command1[0]->isEnabled());
    QVERIFY(!g_frmMdi1->menu_Direct->isEnabled());
}

void TestMonitor::startAfterTheDeviceWentAwayPollsNothing()
{
    // The device goes away while the link is idle: the link is shown down at once. A device
    // plugged in again is not polled behind the connection check's back: "開始" finds the
    // port closed, tells the loss as the send does, ends as a failed start and closes the
    // window; nothing goes out on the line.
    AppFixture f;
    openMonitor(f);
    f.sim.hangUp();
    QCOMPARE(g_intConnectStatus, qint16(0));
    QCOMPARE(g_frmMdi1->statusPanel(2), stateText(0));
    f.sim.plugIn();
    f.sim.model().clearLog();
    const int opens = f.sim.opens;
    f.dlg.answers << vbCancel << vbOK;
    QPointer<frmDirect1> window = g_frmDirect1;
    window->Command2[0]->click();
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 2);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("g_funcCommOutPut"), kSendLost, vbRetryCancel, vbCritical));
    QCOMPARE(boxOf(f.dlg.boxes[1]), box(QStringLiteral("入力電圧ﾓﾆﾀｰ開始"), QStringLiteral("ｴﾗｰのため入力電圧ﾓﾆﾀｰを終了します。"), vbOKOnly, vbInformation));
    QCOMPARE(f.sim.opens, opens);
    QVERIFY(framesSent(f).isEmpty());
    QTRY_VERIFY(!window);
    QCOMPARE(g_intMonitorOn, qint16(0));
    QCOMPARE(g_intFormOpen[idTimer], qint16(0));
    QCOMPARE(g_intConnectStatus, qint16(0));
    // The editor's read and write wait for a connection check.
    QVERIFY(!g_frmMain1->Command1[0]->isEnabled() && !g_frmMain1->Command1[1]->isEnabled());
    checkSane();
}

void TestMonitor::failedStartClosesTheWindow_data()
{
    // How the port is lost, how long the user takes to read each box, the sampling time:
    // the poll's timer must not tick inside the boxes and show them again.
    QTest::addColumn<bool>("bufferCleared");
    QTest::addColumn<int>("readMs");
    QTest::addColumn<int>("samplingMs");
    for (bool cleared : {false, true})
        for (int readMs : {0, 1500, 10000})
            for (int samplingMs : {20, 1000, 2000})
                QTest::addRow("%s, boxes read in %d ms, sampling %d ms", cleared ? "buffer cleared" : "device gone", readMs,
                              samplingMs)
                    << cleared << readMs << samplingMs;
}

void TestMonitor::failedStartClosesTheWindow()
{
    QFETCH(bool, bufferCleared);
    QFETCH(int, readMs);
    QFETCH(int, samplingMs);
    AppFixture f;
    openMonitor(f);
    g_subSamplingTimeSet(samplingMs);
    if (bufferCleared)
        g_frmDirect1->Command3->click(); // the port is closed; the start cannot open it again
    f.sim.hangUp();
    f.sim.model().clearLog();
    f.dlg.onBox = [readMs](const ScriptedDialogs::Box &) { Sleep(readMs); };
    f.dlg.answers << vbCancel << vbOK; // the send's box, then the start's
    g_frmDirect1->Command2[0]->click();
    QCoreApplication::processEvents();
    f.dlg.onBox = nullptr;
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 2);
    QCOMPARE(f.dlg.boxes[0].caption, QStringLiteral("g_funcCommOutPut"));
    QCOMPARE(boxOf(f.dlg.boxes[1]), box(QStringLiteral("入力電圧ﾓﾆﾀｰ開始"), QStringLiteral("ｴﾗｰのため入力電圧ﾓﾆﾀｰを終了します。"), vbOKOnly, vbInformation));
    QVERIFY(f.sim.model().received().isEmpty());
    QVERIFY(!g_frmDirect1);
    QCOMPARE(g_intFormOpen[idDirect], qint16(0));
    QCOMPARE(g_intMonitorOn, qint16(0));
    QCOMPARE(g_intConnectStatus, qint16(0));
    QCOMPARE(g_intFormOpen[idTimer], qint16(0)); // the poll is over with the box
    Sleep(5000);
    QCOMPARE(f.dlg.boxes.size(), 2);
    checkSane();
    QVERIFY(g_frmMain1->Label1->isEnabled());
    QVERIFY(!g_frmMain1->Command1[0]->isEnabled());
    QVERIFY(!g_frmMdi1->button.value(QStringLiteral("unconect"))->isEnabled());
}

void TestMonitor::bufferClearLeavesTheLinkUp_data()
{
    QTest::addColumn<QString>("then");
    QTest::newRow("開始") << "start";
    QTest::newRow("現在値の参照") << "read";
    QTest::newRow("output bar") << "output";
}

void TestMonitor::bufferClearLeavesTheLinkUp()
{
    // "Comm Buffer Clear" empties and closes the port and leaves the link as it was
    // (接続中, as the connection-state table has no row for it); the commands the window
    // leaves enabled open the port again and go out.
    QFETCH(QString, then);
    AppFixture f;
    openMonitor(f);
    CtrlModel &m = f.sim.model();
    m.setLevel(0x1FF);
    m.clearLog();
    g_frmDirect1->Command3->click();
    QVERIFY(!f.sim.portOpen());
    QCOMPARE(g_intConnectStatus, qint16(1));
    QCOMPARE(g_frmMdi1->statusPanel(2), stateText(1));
    QVERIFY(g_frmDirect1->Command2[0]->isEnabled() && g_frmDirect1->Command1[0]->isEnabled());
    QVERIFY(!g_frmMdi1->button.value(QStringLiteral("conect"))->isEnabled());
    if (then == QLatin1String("start")) {
        startMonitor();
        Sleep(1050);
        QCOMPARE(m.received().mid(0, 3), (QByteArrayList{"N", "N", "Y"}));
        QCOMPARE(g_typMonData[g_intMonDataIdx].valueHex, QStringLiteral("01FF"));
        g_frmDirect1->Command2[1]->click();
        Sleep(1000);
    } else if (then == QLatin1String("read")) {
        g_frmDirect1->Command1[1]->click();
        QCOMPARE(g_frmDirect1->Label1[1]->text(), QStringLiteral("2.5"));
        QCOMPARE(m.received(), QByteArrayList{"N1"});
    } else {
        g_frmDirect1->FlatScrollBar1[0]->setValue(250);
        QCOMPARE(m.received(), QByteArrayList{"D001FF"});
    }
    QVERIFY2(f.dlg.boxes.isEmpty() && f.dlg.unexpected == 0, f.unexpectedText());
    QVERIFY(f.sim.portOpen());
    QCOMPARE(g_intConnectStatus, qint16(1));
    checkSane();
}

void TestMonitor::replyTimeOutStopsAtTheNextTick()
{
    AppFixture f;
    openMonitor(f);
    startMonitor();
    f.sim.setFault(Fault::Silence);
    f.dlg.answers << vbOK;
    Sleep(22000); // the tick's "N" waits 20000 passes, then the next tick ends the monitor
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("ｱﾅﾛｸﾞﾓﾆﾀｰ"), QStringLiteral("受信待ち ﾀｲﾑｱｯﾌﾟ\r\n通信の状態を確認してください"), vbOKOnly, vbExclamation));
    QCOMPARE(g_intMonitorOn, qint16(0));
    QCOMPARE(g_intFormOpen[idTimer], qint16(0));
    QCOMPARE(g_intConnectStatus, qint16(1)); // the link stays up
    QVERIFY(f.sim.portOpen());
    QVERIFY(!g_frmDirect1->Timer1.Enabled());
    QVERIFY(g_frmDirect1->Command2[0]->isEnabled());
    checkSane();
}

void TestMonitor::lateRepliesNeverPassForTheOutputs()
{
    // The controller stalls for longer than a poll waits: the time-out ends the monitor, the
    // user starts it again while the controller still stalls, and when it wakes it sends the
    // answers it held back in one burst, so a late "N" reply comes in with the replies of
    // the new run. Every window and the log file show the controller's true outputs (level
    // 0200 lies in the windows of outputs 4 and 5), never the value's digits ("02") taken
    // for the outputs.
    AppFixture f;
    f.sim.model().loadDemoSettings();
    f.sim.model().setLevel(0x200);
    const QString truth = QStringLiteral("00011000");
    f.dlg.onBox = [&f](const ScriptedDialogs::Box &) { f.dlg.answers << vbOK; };
    openMonitor(f);
    g_subMenuCommand(14);
    g_subMenuCommand(15);
    QVERIFY(g_frmLogView1 && g_frmOutputMonitor1);
    g_frmLogView1->menu_Disp_Bits->setChecked(true);
    LogFileSetting s = DefaultLogFileSetting();
    s.strInterval = QStringLiteral("00:00:01");
    s.lngCountMax = 1000;
    s.strFolder = AppFixture::dataFile(QStringLiteral("logs/"));
    s.strFileName = QStringLiteral("burst.csv");
    QVERIFY(QDir().mkpath(s.strFolder));
    QVERIFY(!SaveLogFileSetting(s).failed());
    g_subMenuCommand(13);
    QVERIFY(g_frmLogFiler1);
    startMonitor();
    Sleep(1500); // a whole reading before the log filer starts
    g_frmLogFiler1->Command1[0]->click();
    Sleep(21000); // the ring holds this run's readings only

    f.sim.setFault(Fault::Stall, 25000);
    const qint64 end = f.clock.nowUs() + 30000000LL;
    while (g_intMonitorOn == -1 && f.clock.nowUs() < end)
        Sleep(100);
    QCOMPARE(g_intMonitorOn, qint16(0));
    QVERIFY(!f.dlg.boxes.isEmpty());
    QCOMPARE(f.dlg.boxes[0].text, kTimeOutBox);
    // The log filer ends after its monitor (its own box); both are started again at once, as
    // a user would, while the controller still stalls.
    for (int i = 0; i < 30 && flgLogFilerOnWork != 0; ++i)
        Sleep(100);
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    startMonitor();
    g_frmLogFiler1->Command1[0]->click();
    Sleep(6000);

    QCOMPARE(g_intMonitorOn, qint16(-1));
    QCOMPARE(NewestReading().outputBits(), truth);
    QCOMPARE(g_frmDirect1->Label6->text(), QStringLiteral("2.50"));
    QString lamps;
    for (int i = 0; i < 8; ++i)
        lamps += g_frmOutputMonitor1->Picture1[i]->accessibleDescription() == QLatin1String("ON") ? QLatin1Char('1') : QLatin1Char('0');
    QCOMPARE(lamps, truth);
    for (const QString &line : listLines())
        QVERIFY2(line.endsWith(QStringLiteral("  ") + truth), qPrintable(line));
    g_frmLogFiler1->Command1[1]->click(); // 停止
    Sleep(1500);
    g_frmDirect1->Command2[1]->click();
    Sleep(1500);
    const QStringList fileLines = QString::fromLatin1(AppFixture::readFile(s.strFolder + s.strFileName)).split(QStringLiteral("\r\n"));
    int data = 0;
    for (const QString &line : fileLines) {
        if (line.size() < 7 || !line.at(0).isDigit())
            continue;
        ++data;
        QVERIFY2(line.endsWith(QStringLiteral(", ") + truth), qPrintable(line));
    }
    QVERIFY2(data >= 6, qPrintable(fileLines.join(QLatin1Char('|'))));
}

void TestMonitor::repliesWithoutValuesEndLikeATimeOut_data()
{
    QTest::addColumn<QByteArray>("nReply");
    QTest::addColumn<QByteArray>("yReply");
    QTest::addColumn<bool>("goodTickBetween");
    QTest::newRow("both, a good tick between") << QByteArray("#$%&*\r") << QByteArray("<=>\r") << true;
    QTest::newRow("Y answers Z12") << QByteArray("N0200\r") << QByteArray("Z12\r") << false;
    QTest::newRow("N answers E0000") << QByteArray("E0000\r") << QByteArray("Y05\r") << false;
}

void TestMonitor::repliesWithoutValuesEndLikeATimeOut()
{
    // Lines without a value are skipped one tick at a time; only a tick whose two replies
    // both carry values starts the count again (a good answer to one of them says nothing
    // of the other), and 20 s without a value from either end the monitor with the
    // time-out's message, over the open link.
    QFETCH(QByteArray, nReply);
    QFETCH(QByteArray, yReply);
    QFETCH(bool, goodTickBetween);
    AppFixture f(false);
    f.startSeeded();
    const QHash<QByteArray, QByteArray> good = {{"L", "L0001\r"}, {"N", "N0200\r"}, {"Y", "Y05\r"}};
    answerWith(f.rec, good);
    g_subMenuCommand(21);
    g_subMenuCommand(12);
    startMonitor();
    answerWith(f.rec, {{"N", nReply}, {"Y", yReply}});
    if (goodTickBetween) {
        Sleep(15000);
        answerWith(f.rec, good);
        Sleep(1000);
        answerWith(f.rec, {{"N", nReply}, {"Y", yReply}});
        Sleep(15000);
    } else {
        Sleep(19500);
    }
    QCOMPARE(g_intMonitorOn, qint16(-1));
    QCOMPARE(f.dlg.boxes.size(), 0);
    f.dlg.answers << vbOK;
    Sleep(goodTickBetween ? 8000 : 3000);
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("ｱﾅﾛｸﾞﾓﾆﾀｰ"), kTimeOutBox, vbOKOnly, vbExclamation));
    QCOMPARE(g_intMonitorOn, qint16(0));
    QCOMPARE(g_intFormOpen[idTimer], qint16(0));
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY(g_frmDirect1->Command2[0]->isEnabled());
    checkSane();
}

void TestMonitor::stopKeepsTheNewestSample()
{
    AppFixture f;
    openMonitor(f);
    f.sim.model().setLevel(0x155);
    startMonitor();
    Sleep(3500);
    const qint16 idx = g_intMonDataIdx;
    g_frmDirect1->Command2[1]->click();
    QCOMPARE(g_intMonitorOn, qint16(0));
    QVERIFY(g_frmDirect1->Command2[0]->isEnabled());
    QVERIFY(!g_frmDirect1->Command2[1]->isEnabled());
    Sleep(2000); // the next tick ends the poll
    QCOMPARE(g_intFormOpen[idTimer], qint16(0));
    QCOMPARE(g_intMonDataIdx, idx);
    QCOMPARE(g_typMonData[idx].valueHex, QStringLiteral("0155"));
    QCOMPARE(g_frmDirect1->Label6->text(), QStringLiteral("1.67"));
    checkSane();
    // Started again at once (a stop and a start within one tick): the first poll goes out
    // at the start, not a tick later.
    startMonitor();
    Sleep(500);
    g_frmDirect1->Command2[1]->click();
    f.sim.model().setLevel(0x2AA);
    const qsizetype before = framesSent(f).size();
    startMonitor();
    QCOMPARE(framesSent(f).mid(before), QByteArrayList{"N"});
    QCOMPARE(g_typMonData[g_intMonDataIdx].valueHex, QStringLiteral("02AA"));
    g_frmDirect1->Command2[1]->click();
    Sleep(2000);
    checkSane();
}

void TestMonitor::runningMonitorHoldsBackOtherExchanges()
{
    // While the monitor polls, nothing else may talk on its port: the read and write, the
    // link label, the position output's "送信", the channel panel, the settings and the
    // disconnect wait until it stops.
    AppFixture f;
    openMonitor(f);
    g_frmMain1->Command2_Click(); // the position output area
    startMonitor();
    QVERIFY(!g_frmMain1->Command1[0]->isEnabled());
    QVERIFY(!g_frmMain1->Command1[1]->isEnabled());
    QVERIFY(!g_frmMain1->Label1->isEnabled());
    QVERIFY(!g_frmMain1->Command3->isEnabled());
    QVERIFY(!g_frmDirect1->ChannelFrame->isEnabled());
    QVERIFY(!g_frmDirect1->Command3->isEnabled()); // "Comm Buffer Clear"
    QVERIFY(!g_frmMdi1->menu_Setting->isEnabled());
    QVERIFY(!g_frmMdi1->menu_Unjoin->isEnabled());
    QVERIFY(!g_frmMdi1->button.value(QStringLiteral("unconect"))->isEnabled());
    f.sim.model().clearLog();
    g_frmMain1->Command3_Click();       // refused, even when reached directly
    g_subMenuCommand(22);               // the disconnect too
    g_frmDirect1->Command3_Click();     // and the buffer clear, which would close the port
    Sleep(2000);
    QVERIFY(!framesSent(f).contains("P0000"));
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY(f.sim.portOpen());
    QCOMPARE(g_intMonitorOn, qint16(-1));
    QVERIFY2(f.dlg.boxes.isEmpty(), qPrintable(boxText(f.dlg.boxes.value(0))));
    g_frmDirect1->Command2[1]->click();
    QVERIFY(g_frmMain1->Command1[0]->isEnabled());
    QVERIFY(g_frmMain1->Command3->isEnabled());
    QVERIFY(g_frmDirect1->ChannelFrame->isEnabled());
    QVERIFY(g_frmDirect1->Command3->isEnabled());
    QVERIFY(g_frmMdi1->button.value(QStringLiteral("unconect"))->isEnabled());
    Sleep(1100);
    g_frmMain1->Command3_Click();
    QVERIFY(framesSent(f).contains("P0000"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestMonitor::stopRefusedWhileTheLogFilerLogs()
{
    AppFixture f;
    openMonitor(f);
    startMonitor();
    // What the log filer's window does while it logs.
    bool logging = true;
    g_subMonitorHoldSet([&logging] { return logging; });
    int toFront = 0;
    QObject::connect(&monitorEvents(), &MonitorEvents::stopRefused, g_frmDirect1, [&] { ++toFront; });
    f.dlg.answers << vbOK;
    g_frmDirect1->Command2[1]->click();
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(f.dlg.boxes[0].text, QStringLiteral("ﾛｸﾞﾌｧｲﾗ動作中は入力ﾓﾆﾀｰを停止できません。"));
    QCOMPARE(f.dlg.boxes[0].buttons, int(vbOKOnly));
    QCOMPARE(toFront, 1);
    QCOMPARE(g_intMonitorOn, qint16(-1));
    Sleep(2000);
    QCOMPARE(g_intFormOpen[idTimer], qint16(-1)); // still polling
    // Closed meanwhile, the window leaves the monitor running; opened again, it shows it
    // running and follows its readings.
    f.dlg.answers << vbOK;
    g_subCloseChild(g_frmDirect1);
    QCOMPARE(g_intMonitorOn, qint16(-1));
    g_subMenuCommand(12);
    QVERIFY(!g_frmDirect1->Command2[0]->isEnabled() && g_frmDirect1->Command2[1]->isEnabled());
    QVERIFY(!g_frmDirect1->ChannelFrame->isEnabled() && !g_frmDirect1->Command3->isEnabled());
    f.sim.model().setLevel(0x2AA);
    Sleep(2100);
    QCOMPARE(g_frmDirect1->Label6->text(), QStringLiteral("3.33"));
    logging = false;
    g_frmDirect1->Command2[1]->click();
    QCOMPARE(g_intMonitorOn, qint16(0));
    QVERIFY(g_frmDirect1->Command2[0]->isEnabled() && g_frmDirect1->ChannelFrame->isEnabled());
}

void TestMonitor::closingStopsFirstAndDisconnectCloses()
{
    AppFixture f;
    openMonitor(f);
    QVERIFY(!g_frmMdi1->menu_Direct->isEnabled());
    QCOMPARE(shownIcon(g_frmMdi1->button.value(QStringLiteral("InputMon"))), 7);
    startMonitor();
    g_subCloseChild(g_frmDirect1);
    QVERIFY(!g_frmDirect1);
    QCOMPARE(g_intFormOpen[idDirect], qint16(0));
    QCOMPARE(g_intMonitorOn, qint16(0));
    QVERIFY(g_frmMdi1->menu_Direct->isEnabled());
    QVERIFY(g_frmMdi1->button.value(QStringLiteral("InputMon"))->isEnabled());
    Sleep(1100); // the closed window's monitor still ends at its tick
    QCOMPARE(g_intFormOpen[idTimer], qint16(0));
    QVERIFY(g_frmMain1->Command1[0]->isEnabled());
    // A disconnect closes the window.
    g_subMenuCommand(12);
    QVERIFY(g_frmDirect1);
    g_subMenuCommand(22);
    QCoreApplication::processEvents();
    QVERIFY(!g_frmDirect1);
    QCOMPARE(g_intConnectStatus, qint16(0));
    checkSane();
}

void TestMonitor::closingDuringAChannelExchange()
{
    // The user closes the window while a channel read, then a typed output value, waits for
    // the controller's reply (300 ms): the window goes once the exchange has returned, and
    // the link is left as after any exchange.
    AppFixture f;
    openMonitor(f);
    CtrlModel &m = f.sim.model();
    m.setLevel(0x1FF);
    m.setAnswerDelayUs(300000);
    for (int round = 0; round < 2; ++round) {
        m.clearLog();
        QPointer<frmDirect1> w = g_frmDirect1;
        QPointer<QWidget> sub = w->parentWidget();
        // The click on the close box is an event that the exchange's wait handles.
        f.clock.scheduleIn(100000, [] {
            QMetaObject::invokeMethod(qApp, [] { g_subCloseChild(g_frmDirect1); }, Qt::QueuedConnection);
        });
        // Meanwhile the other commands that talk on the port are refused: nothing else goes
        // out inside the exchange's wait.
        f.clock.scheduleIn(50000, [w] {
            w->Command2[0]->click();
            w->Command1[3]->click();
            w->Command3->click();
        });
        if (round == 0) {
            QTest::mouseClick(w->Command1[1], Qt::LeftButton);
        } else {
            QTest::mouseClick(w->Text1[2], Qt::LeftButton);
            QTest::keyClicks(w->Text2, QStringLiteral("1.25"));
            QTest::keyClick(w->Text2, Qt::Key_Return);
        }
        QVERIFY(w); // still there under its own handler
        QVERIFY(!sub->isVisible());
        QVERIFY(!g_frmDirect1);
        QCOMPARE(g_intFormOpen[idDirect], qint16(0));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!w && !sub);
        QCOMPARE(m.received(), QByteArrayList{round == 0 ? QByteArray("N1") : QByteArray("D200FF")});
        QCOMPARE(g_intMonitorOn, qint16(0));
        QVERIFY(f.sim.portOpen());
        QCOMPARE(g_intConnectStatus, qint16(1));
        checkSane();
        QVERIFY(g_frmMdi1->menu_Direct->isEnabled());
        g_subMenuCommand(12);
        QVERIFY(g_frmDirect1);
    }
    QCOMPARE(m.analogOut(2), 255);
    g_frmDirect1->Command1[0]->click(); // the new window reads over the same link
    QCOMPARE(g_frmDirect1->Label1[0]->text(), QStringLiteral("2.5"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestMonitor::frameScrollsToAWindowBelowTheEditor()
{
    // In a frame of 626 x 568 the analog monitor, directly below the editor, reaches past
    // the client area: the frame scrolls, and every part of the window can be brought in.
    AppFixture f;
    f.startSeeded();
    g_frmMdi1->resize(626, 568);
    g_subMenuCommand(12);
    QMdiArea *area = g_frmMdi1->mdiArea;
    QWidget *sub = g_frmDirect1->parentWidget();
    QCOMPARE(sub->y(), g_frmMain1->subWindow()->height());
    QVERIFY(sub->geometry().bottom() >= area->viewport()->height());
    QScrollBar *bar = area->verticalScrollBar();
    QTRY_VERIFY(bar->isVisible());
    bar->setValue(bar->maximum());
    QTRY_VERIFY(sub->geometry().bottom() < area->viewport()->height());
    QVERIFY(sub->y() >= 0);
}

void TestMonitor::displayByInputType_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<int>("level");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("range");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("value");
    QTest::newRow("0-5 V") << QByteArray("00") << 0x200 << "アナログ入力電圧" << "設定範囲 0 - 5V" << "V" << "2.50";
    QTest::newRow("0-10 V") << QByteArray("01") << 1023 << "アナログ入力電圧" << "設定範囲 0 - 10V" << "V" << "10.00";
    QTest::newRow("4-20 mA") << QByteArray("02") << 0x200 << "アナログ入力電流" << "設定範囲 4 - 20mA" << "mA" << "10.01";
    QTest::newRow("5 m, count 0") << QByteArray("03") << 0 << "アナログ入力 距離" << "設定範囲 0 - 5M" << "M" << "5.00";
    QTest::newRow("10 m") << QByteArray("04") << 1023 << "アナログ入力 距離" << "設定範囲 0 - 10M" << "M" << "0.00";
}

void TestMonitor::displayByInputType()
{
    QFETCH(QByteArray, code);
    QFETCH(int, level);
    QFETCH(QString, input);
    QFETCH(QString, range);
    QFETCH(QString, unit);
    QFETCH(QString, value);
    AppFixture f;
    openMonitor(f);
    UserData[cellInputCode].setData(QByteArrayView(code));
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    g_subMonitorWindowsRefresh(); // what a read or a new type is followed by
    QCOMPARE(g_frmDirect1->Label5[0]->text(), input);
    QCOMPARE(g_frmDirect1->Label5[1]->text(), range);
    QCOMPARE(g_frmDirect1->Label9->text(), unit);
    f.sim.model().setLevel(level);
    startMonitor();
    Sleep(1050);
    QCOMPARE(g_frmDirect1->Label6->text(), value);
    // The indicator blinks at each display tick, fresh reading or not.
    const QColor before = g_frmDirect1->Picture3->palette().color(QPalette::Window);
    Sleep(1000);
    QVERIFY(g_frmDirect1->Picture3->palette().color(QPalette::Window) != before);
    g_frmDirect1->Command4->click();
    QCOMPARE(QGuiApplication::clipboard()->text(), value);
    QCOMPARE(g_frmDirect1->Text3->text(), value);
}

void TestMonitor::channelReadAndOutput()
{
    AppFixture f;
    openMonitor(f);
    CtrlModel &m = f.sim.model();
    m.setLevel(0x1FF);
    m.clearLog();
    // "CH 2" reads channel 1: count 511 is 2.5 V; the bar follows without a "D".
    g_frmDirect1->Command1[1]->click();
    QCOMPARE(g_frmDirect1->Label1[1]->text(), QStringLiteral("2.5"));
    QCOMPARE(g_frmDirect1->Text1[1]->text(), QStringLiteral("2.5"));
    QCOMPARE(g_frmDirect1->FlatScrollBar1[1]->value(), 250);
    QCOMPARE(m.received(), QByteArrayList{"N1"});
    // The user moves bar 0 to 250: 2.50 V goes out as "D001FF".
    g_frmDirect1->FlatScrollBar1[0]->setValue(250);
    QCOMPARE(g_frmDirect1->Text1[0]->text(), QStringLiteral("2.5"));
    QCOMPARE(m.received().last(), QByteArray("D001FF"));
    QCOMPARE(m.analogOut(0), 511);
    // Typed values: 5.1, nan and inf are refused where they stand, 1.25 goes out.
    const auto type = [](const QString &text) {
        g_frmDirect1->Text2->selectAll();
        QTest::keyClicks(g_frmDirect1->Text2, text);
        QTest::keyClick(g_frmDirect1->Text2, Qt::Key_Return);
    };
    QTest::mouseClick(g_frmDirect1->Text1[2], Qt::LeftButton);
    QVERIFY(g_frmDirect1->Text2->isVisible());
    for (const char *refused : {"5.1", "nan", "inf"}) {
        type(QString::fromLatin1(refused));
        QVERIFY2(g_frmDirect1->Text2->isVisible(), refused);
    }
    QCOMPARE(g_frmDirect1->Text1[2]->text(), QStringLiteral("0"));
    QCOMPARE(g_frmDirect1->FlatScrollBar1[2]->value(), 0);
    type(QStringLiteral("1.25"));
    QVERIFY(!g_frmDirect1->Text2->isVisible());
    QCOMPARE(g_frmDirect1->Text1[2]->text(), QStringLiteral("1.25"));
    QCOMPARE(g_frmDirect1->FlatScrollBar1[2]->value(), 125);
    QCOMPARE(m.received().last(), QByteArray("D200FF")); // 1.25 V: 255.75 counts, truncated
    // What goes out is the value checked: "5e-1" is 0.5 V, 102.3 counts.
    QTest::mouseClick(g_frmDirect1->Text1[2], Qt::LeftButton);
    type(QStringLiteral("5e-1"));
    QCOMPARE(g_frmDirect1->FlatScrollBar1[2]->value(), 50);
    QCOMPARE(m.received().last(), QByteArray("D20066"));
    // A move that cannot go out reports it like any send: the port was emptied and closed,
    // and the device has gone away since.
    g_frmDirect1->Command3->click();
    QVERIFY(!f.sim.portOpen());
    f.sim.hangUp();
    f.dlg.answers << vbCancel;
    g_frmDirect1->FlatScrollBar1[3]->setValue(100);
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(f.dlg.boxes[0].caption, QStringLiteral("g_funcCommOutPut"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestMonitor::presentValueLog()
{
    AppFixture f;
    openMonitor(f);
    CtrlModel &m = f.sim.model();
    m.setLevel(0x200);
    m.setCell(cellRelayMode, 0x05); // outputs 1 and 3 (the contacts are open)
    g_subMenuCommand(14);
    QVERIFY(g_frmLogView1);
    g_frmLogView1->menu_Disp_Denatu->setChecked(true);
    g_frmLogView1->menu_Disp_Bits->setChecked(true);
    QCOMPARE(g_frmLogView1->menu_Disp_Denatu->text(), QStringLiteral("電圧で表示"));
    QVERIFY(listLines().isEmpty()); // no reading yet
    startMonitor();
    Sleep(30); // the start's "N" alone is no complete reading: nothing is listed yet
    QVERIFY(listLines().isEmpty());
    for (int n = 2; n <= 4; ++n) {
        Sleep(1000);
        QCOMPARE(listLines().size(), n); // one line more each reading, newest first
    }
    const QString stamp = Now().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")).leftJustified(22);
    QCOMPARE(listLines().first(), stamp + QStringLiteral("02.50V  10100000"));
    g_frmLogView1->menu_Disp_Denatu->setChecked(false);
    QCOMPARE(listLines().first(), stamp + QStringLiteral("0200  10100000"));
    g_frmLogView1->menu_Disp_Bits->setChecked(false);
    QCOMPARE(listLines().first(), stamp + QStringLiteral("0200  05"));
    QCOMPARE(ReadingOf(QStringLiteral("0200"), QStringLiteral("G1")).outputBits(), QStringLiteral("ERROR"));
    // The distance types show full scale minus the value, under their own caption.
    UserData[cellInputCode].setData(QByteArrayView("03"));
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    g_subMonitorWindowsRefresh();
    g_frmLogView1->menu_Disp_Denatu->setChecked(true);
    QCOMPARE(g_frmLogView1->menu_Disp_Denatu->text(), QStringLiteral("距離で表示"));
    QCOMPARE(listLines().first(), stamp + QStringLiteral("02.50M  05"));
    // A value that is no hexadecimal number reads "ERROR", without a unit.
    g_subMonValueStore(ReadingOf(QStringLiteral("12G4"), QString()));
    g_frmLogView1->subDataDraw();
    QCOMPARE(listLines().first(), stamp + QStringLiteral("ERROR  05"));
    // No new reading, no new text: the 20 ms timer leaves the list alone.
    g_frmDirect1->Command2[1]->click();
    Sleep(1100);
    g_frmLogView1->Label1->item(0)->setText(QStringLiteral("untouched"));
    Sleep(200);
    QCOMPARE(g_frmLogView1->Label1->item(0)->text(), QStringLiteral("untouched"));
}

void TestMonitor::logViewRecordAndLimits()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(14);
    auto *sub = qobject_cast<QMdiSubWindow *>(g_frmLogView1->parentWidget());
    QVERIFY(sub);
    // A resize snaps to 1999-4799 twips high and 2999-3814 wide.
    sub->resize(TwipsToPx(2000), TwipsToPx(1500));
    QCOMPARE(sub->height(), TwipsToPx(1999));
    QCOMPARE(sub->width(), TwipsToPx(2999));
    sub->resize(TwipsToPx(9000), TwipsToPx(9000));
    QCOMPARE(sub->height(), TwipsToPx(4799));
    QCOMPARE(sub->width(), TwipsToPx(3814));
    g_frmLogView1->menu_Disp_Denatu->setChecked(false);
    g_frmLogView1->menu_Disp_Bits->setChecked(true);
    sub->move(30, 40);
    // Recorded while open (as at shutdown): 1 + 4.
    g_subFormPosGet(idLogView);
    QCOMPARE(g_FormPos[idLogView].State, 5);
    QCOMPARE(g_FormPos[idLogView].Left, PxToTwips(30));
    // Closed by the user: recorded without bit 0.
    g_subMenuCommand(14);
    QVERIFY(!g_frmLogView1);
    QCOMPARE(g_intFormOpen[idLogView], qint16(0));
    QCOMPARE(g_FormPos[idLogView].State, 4);
    g_subMenuCommand(50);
    QCOMPARE(g_frmMdi1->menu_inputLogViewer->text(), QStringLiteral("現在値ﾛｸﾞ表示(&L)"));
}

void TestMonitor::lampsFollowTheOutputs()
{
    AppFixture f;
    openMonitor(f);
    CtrlModel &m = f.sim.model();
    m.setCell(cellRelayMode, 0x81); // outputs 1 and 8 inverted: on while the contacts are open
    g_subMenuCommand(15);
    QVERIFY(g_frmOutputMonitor1);
    startMonitor();
    Sleep(1050);
    for (int i = 0; i < 8; ++i) {
        const bool on = i == 0 || i == 7;
        QCOMPARE(lamp(i), on ? QColor(255, 0, 0) : QColor(0, 0, 255));
        QCOMPARE(g_frmOutputMonitor1->Picture1[i]->accessibleName(), QStringLiteral("ch%1").arg(i + 1));
        QCOMPARE(g_frmOutputMonitor1->Picture1[i]->accessibleDescription(), on ? QStringLiteral("ON") : QStringLiteral("OFF"));
        QCOMPARE(g_frmOutputMonitor1->Label1[i]->text(), QStringLiteral("ch%1").arg(i + 1));
    }
    m.setCell(cellRelayMode, 0x00);
    Sleep(1000);
    for (int i = 0; i < 8; ++i)
        QCOMPARE(lamp(i), QColor(0, 0, 255));
    // Stopped: the lamps keep the last state.
    g_frmDirect1->Command2[1]->click();
    Sleep(1100);
    m.setCell(cellRelayMode, 0xFF);
    Sleep(1000);
    QCOMPARE(lamp(0), QColor(0, 0, 255));
}

void TestMonitor::readingStoredWhileClosedShowsAtOnce()
{
    // The output monitor opened on a running monitor shows the reading taken while it was
    // closed at once; opened on a stopped one it keeps its design colour.
    AppFixture f;
    openMonitor(f);
    f.sim.model().setCell(cellRelayMode, 0x03);
    startMonitor();
    Sleep(1050);
    g_subMenuCommand(15);
    QCOMPARE(lamp(0), QColor(255, 0, 0));
    QCOMPARE(lamp(2), QColor(0, 0, 255));
    g_subMenuCommand(15);
    g_frmDirect1->Command2[1]->click();
    Sleep(1100);
    g_subMenuCommand(15);
    QCOMPARE(lamp(0), QColor(128, 128, 128));
}

void TestMonitor::readingReachesEveryWindowAtOnce()
{
    // The four windows that show readings hear the store's announcement: each shows a new
    // reading in the same turn of the event loop, and none of them runs a timer of its own
    // (the poll and the analog monitor's blinking indicator are the only timers armed).
    AppFixture f;
    openMonitor(f);
    g_subMenuCommand(14);
    g_subMenuCommand(15);
    g_subMenuCommand(11);
    QVERIFY(g_frmLogView1 && g_frmOutputMonitor1 && g_frmGraph1);
    CtrlModel &m = f.sim.model();
    m.setLevel(0x200);
    m.setCell(cellRelayMode, 0x05);
    startMonitor();
    QCOMPARE(f.clock.armedTimers(), 2);
    Sleep(1500);
    m.setLevel(0x155);
    QStringList seen;
    QObject::connect(&monitorEvents(), &MonitorEvents::readingStored, g_frmDirect1, [&seen] {
        // Heard after the windows, which listened first: they show it already.
        seen << g_frmDirect1->Label6->text() << g_frmLogView1->Label1->item(0)->text().mid(22, 4)
             << g_frmOutputMonitor1->Picture1[0]->accessibleDescription()
             << g_frmGraph1->Picture1->accessibleName().section(QStringLiteral("、"), 0, 0);
    });
    Sleep(1000);
    QCOMPARE(seen, (QStringList{QStringLiteral("1.67"), QStringLiteral("0155"), QStringLiteral("ON"),
                               QStringLiteral("ﾚﾍﾞﾙﾒｰﾀｰ 1.67V")}));
    QCOMPARE(f.clock.armedTimers(), 2);
}

void TestMonitor::windowsReopenWhereTheyWere()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(14);
    g_subMenuCommand(15);
    g_frmLogView1->parentWidget()->move(60, 30);
    g_frmLogView1->menu_Disp_Denatu->setChecked(true);
    g_frmLogView1->menu_Disp_Bits->setChecked(false);
    g_frmOutputMonitor1->parentWidget()->move(300, 90);
    f.dlg.answers << vbNo; // the exit question of the new document
    g_frmMain1->requestClose();
    QCOMPARE(f.proc.ends, 1);
    f.stopApp();
    f.startApp();
    QVERIFY(g_frmLogView1 && g_frmOutputMonitor1);
    QCOMPARE(g_frmLogView1->parentWidget()->pos(), QPoint(60, 30));
    QCOMPARE(g_frmOutputMonitor1->parentWidget()->pos(), QPoint(300, 90));
    QVERIFY(g_frmLogView1->menu_Disp_Denatu->isChecked());
    QVERIFY(!g_frmLogView1->menu_Disp_Bits->isChecked());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestMonitor::everyShownValueIsReadable()
{
    // The three windows read through Qt's accessibility interfaces: every value shown is a
    // node's name (or a line edit's text), each line of the log a list item, newest first,
    // the captions in descriptions and label relations; and they follow a new reading.
    AppFixture f;
    openMonitor(f);
    CtrlModel &m = f.sim.model();
    m.setLevel(0x1A3); // 2.05 V
    m.setCell(cellRelayMode, 0x05);
    g_frmDirect1->Command1[0]->click(); // "CH 1" reads 2.05
    g_subMenuCommand(14);
    g_subMenuCommand(15);
    g_frmLogView1->menu_Disp_Denatu->setChecked(true);
    g_frmLogView1->menu_Disp_Bits->setChecked(true);
    startMonitor();
    Sleep(3050);
    frmDirect1 *direct = g_frmDirect1;
    for (QWidget *window : {static_cast<QWidget *>(direct), static_cast<QWidget *>(g_frmLogView1),
                            static_cast<QWidget *>(g_frmOutputMonitor1)})
        QVERIFY2(unreadableValues(window).isEmpty(), qPrintable(unreadableValues(window).join(QLatin1Char('\n'))));
    QAccessibleInterface *value = accessibleNode(direct, direct->Label6);
    QVERIFY(value);
    QCOMPARE(value->text(QAccessible::Name), QStringLiteral("2.05"));
    QCOMPARE(value->text(QAccessible::Description), QStringLiteral("アナログ入力電圧"));
    const auto labelledBy = value->relations(QAccessible::Label);
    QVERIFY(!labelledBy.isEmpty());
    QCOMPARE(labelledBy.first().first->text(QAccessible::Name), QStringLiteral("アナログ入力電圧"));
    QAccessibleInterface *ch1 = accessibleNode(direct, direct->Label1[0]);
    QCOMPARE(ch1->text(QAccessible::Name), QStringLiteral("2.05"));
    QCOMPARE(ch1->text(QAccessible::Description), QStringLiteral("CH 1 現在値"));
    QCOMPARE(ch1->relations(QAccessible::Label).value(0).first->text(QAccessible::Name), QStringLiteral("CH 1"));
    QAccessibleInterface *list = accessibleNode(g_frmLogView1, g_frmLogView1->Label1);
    QCOMPARE(list->role(), QAccessible::List);
    QCOMPARE(list->childCount(), 4);
    const QString stamp = Now().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")).leftJustified(22);
    QCOMPARE(list->child(0)->text(QAccessible::Name), stamp + QStringLiteral("02.05V  10100000"));
    QAccessibleInterface *lamp3 = accessibleNode(g_frmOutputMonitor1, g_frmOutputMonitor1->Picture1[2]);
    QCOMPARE(lamp3->text(QAccessible::Description), QStringLiteral("ON"));
    // A new reading: the same nodes read the new values.
    m.setLevel(0x2AA);
    m.setCell(cellRelayMode, 0x01);
    Sleep(1000);
    QCOMPARE(value->text(QAccessible::Name), QStringLiteral("3.33"));
    QCOMPARE(list->childCount(), 5);
    QCOMPARE(list->child(0)->text(QAccessible::Name), Now().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")).leftJustified(22) + QStringLiteral("03.33V  10000000"));
    QCOMPARE(list->child(1)->text(QAccessible::Name), stamp + QStringLiteral("02.05V  10100000"));
    QCOMPARE(lamp3->text(QAccessible::Description), QStringLiteral("OFF"));
    for (QWidget *window : {static_cast<QWidget *>(direct), static_cast<QWidget *>(g_frmLogView1)})
        QVERIFY2(unreadableValues(window).isEmpty(), qPrintable(unreadableValues(window).join(QLatin1Char('\n'))));
}

QTEST_MAIN(TestMonitor)
#include "tst_monitor.moc"
