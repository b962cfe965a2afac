// The port layer and the command protocol: frames on the wire, the send with its drain
// wait and its errors, the receive buffer, the two timers, the reply checks, the poll
// exchange and the analog channel, and the poll against every fault of the controller.
#include "support/LinkHelpers.h"

#include "app/frmMdi1.h"
#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"

#include <QtTest>

namespace {
const QString kCheckPort = QStringLiteral("通信ﾎﾟｰﾄの状態を確認して下さい。");
const QString kPollTimeUp = QStringLiteral("受信待ち ﾀｲﾑｱｯﾌﾟ\r\n通信の状態を確認してください");

// What reached the monitor store (reset by the fixture): "N|value" for a new entry,
// "Y|outputs" for outputs put into the newest one.
QStringList stored()
{
    QStringList l;
    if (g_intMonDataIdx == 1)
        l << QStringLiteral("N|") + g_typMonData[1].valueHex;
    if (g_typMonData[g_intMonDataIdx].outputsHex != QLatin1String("00"))
        l << QStringLiteral("Y|") + g_typMonData[g_intMonDataIdx].outputsHex;
    return l;
}

// Bytes the port gives into the program's session's receive buffer.
void received(RecordingPort &rec, const QByteArray &bytes)
{
    rec.feed(bytes);
    g_subCommReceive();
}

// The written reply checks' answers, from the protocol's checks of the receive buffer: "L"
// 0 port closed, 1 not yet, 2 "L0001"; "R" and "W" the step after them (20 wait, 30 reply,
// 11 send again); "E" 1 answered; "P" 100 no CR, 1 "P", 3 "?", 0 another line.
int writtenCheck(char check, QString &buffer)
{
    switch (check) {
    case 'L':
        if (!MSComm1().portOpen())
            return 0;
        return CheckL(buffer) == LReply::Accepted ? 2 : 1;
    case 'R':
    case 'W':
        switch (CheckLine(buffer, QLatin1Char(check))) {
        case LineReply::Answered: return 30;
        case LineReply::Refused: return 11;
        default: return 20;
        }
    case 'E':
        if (CheckLine(buffer, QLatin1Char('E')) == LineReply::Answered) {
            buffer.clear();
            return 1;
        }
        return 0;
    case 'P':
        switch (CheckLine(buffer, QLatin1Char('P'))) {
        case LineReply::Waiting: return 100;
        case LineReply::Answered: return 1;
        case LineReply::Refused: return 3;
        case LineReply::Other: return 0;
        }
    }
    return -1;
}
} // namespace

class TestComm : public QObject {
    Q_OBJECT
private slots:

    void framesOnTheWire();
    void analogOutputAndChannelRead();
    void sendToClosedPortOffersRetry();
    void drainTimeOut_data();
    void drainTimeOut();
    void portClosedUnderTheDrain();
    void receiveFoldsCaseAndKeepsTheNewest();
    void portOpenCheckAndClose();
    void replyTimerAndOverallTimer();
    void replyChecks_data();
    void replyChecks();
    void readDataAfterFirstR_data();
    void readDataAfterFirstR();
    void pollAnswers_data();
    void pollAnswers();
    void pollQuestionRunsIntoThePassLimit();
    void channelWaitsAreBounded();
    void waitsWakeOnTheWire();
    void channelQuestionForEverIsBounded();
    void channelQuestionThenAnswer();
    void pollAgainstFaults_data();
    void pollAgainstFaults();
};

void TestComm::framesOnTheWire()
{
    AppFixture f(false);
    QVERIFY(g_funcCommPortOpen(1));
    for (const QString &cmd : {FrameRead(5), FrameRead(10), FrameRead(47), FrameWrite(0x2F, QStringLiteral("5A")),
                               FrameAnalogOut(1, 2.5), FrameAnalogOut(1, 0), FrameChannelRead(3)}) {
        received(f.rec, "STALE");
        QCOMPARE(g_strInPut, QStringLiteral("STALE"));
        QVERIFY(g_funcCommOutPut(cmd));
        QVERIFY(g_strInPut.isEmpty());
    }
    QCOMPARE(f.rec.written, QByteArray("R05\rR0A\rR2F\rW2F5A\rD101FF\rD10000\rN3\r"));
    QCOMPARE(FrameAnalogOut(2, 5.0), QStringLiteral("D203FF"));
    QCOMPARE(ChannelVolts(511), 2.5);
    QCOMPARE(ChannelVolts(1023), 5.0);
    QCOMPARE(f.dlg.boxes.size(), 0);
}

void TestComm::analogOutputAndChannelRead()
{
    // The simulated controller loops its analog outputs back to the channel inputs.
    AppFixture f;
    QVERIFY(g_funcCommPortOpen(1));
    QVERIFY(g_funcAnalogOut(1, 2.5));
    QVERIFY(g_funcAnalogOut(2, 0.0));
    QCOMPARE(f.sim.model().analogOut(1), 0x1FF);
    QCOMPARE(f.sim.model().analogOut(2), 0);
    double volts = -1;
    QVERIFY(g_funcChannelRead(1, volts));
    QCOMPARE(volts, 2.5);
    QVERIFY(g_funcChannelRead(2, volts));
    QCOMPARE(volts, 0.0);
    QCOMPARE(f.sim.model().received(), QByteArrayList({"D101FF", "D20000", "N1", "N2"}));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestComm::sendToClosedPortOffersRetry()
{
    AppFixture f(false);
    received(f.rec, "L0001\r");
    QCOMPARE(g_strInPut, QStringLiteral("L0001\r"));
    f.dlg.answers << vbRetry << vbCancel;
    QVERIFY(!g_funcCommOutPut(QStringLiteral("L")));
    QVERIFY(g_strInPut.isEmpty());
    QCOMPARE(f.dlg.boxes.size(), 2); // Retry tried the whole send again
    for (const auto &b : f.dlg.boxes) {
        QCOMPARE(boxOf(b), box(QStringLiteral("g_funcCommOutPut"), kCheckPort + QStringLiteral("\r\n:Err.Number 0"), vbRetryCancel, vbCritical));
    }
    QVERIFY(f.rec.written.isEmpty());
    QVERIFY(!f.rec.portOpen());
}

void TestComm::drainTimeOut_data()
{
    QTest::addColumn<int>("drainMs"); // when the last byte leaves, after the send; 0 never
    QTest::addColumn<bool>("sent");
    QTest::newRow("drained at once") << 1 << true;
    QTest::newRow("drained within 20 s") << 19999 << true;
    QTest::newRow("drained after 20 s is a time-out") << 20001 << false;
    QTest::newRow("never drains") << 0 << false;
}

void TestComm::drainTimeOut()
{
    QFETCH(int, drainMs);
    QFETCH(bool, sent);
    AppFixture f(false);
    QVERIFY(g_funcCommPortOpen(1));
    f.rec.stuckBytes = 1;
    const qint64 t0 = f.clock.nowUs();
    if (drainMs > 0)
        f.clock.scheduleAt(t0 + drainMs * 1000LL, [&f] { f.rec.clearOutBuffer(); });
    if (!sent)
        f.dlg.answers << vbOK;
    const quint64 waits = f.clock.waitCalls();
    QElapsedTimer real;
    real.start();
    QCOMPARE(g_funcCommOutPut(QStringLiteral("R05")), sent);
    QVERIFY(real.elapsed() < 5000);
    // The wait wakes when the bytes leave, not on a poll: a handful of waits at most.
    QVERIFY2(f.clock.waitCalls() - waits <= 3, QByteArray::number(f.clock.waitCalls() - waits));
    QCOMPARE(f.rec.written, QByteArray("R05\r"));
    QCOMPARE(f.dlg.boxes.size(), sent ? 0 : 1);
    if (!sent) {
        const auto &b = f.dlg.boxes[0];
        QCOMPARE(boxOf(b), box(QStringLiteral("g_funcCommOutPut"), kCheckPort + QStringLiteral("\r\n送信ﾊﾞｯﾌｧｰ空き待ちﾀｲﾑｱｯﾌﾟ"), vbOKOnly, vbCritical));
        QCOMPARE(f.msSince(t0), 20000);
    } else {
        QCOMPARE(f.msSince(t0), qint64(drainMs));
    }
}

void TestComm::portClosedUnderTheDrain()
{
    // The port closes while the line waits in the transmit buffer: the send failed and
    // says so; Retry finds the port closed, Cancel gives up.
    AppFixture f(false);
    QVERIFY(g_funcCommPortOpen(1));
    f.rec.stuckBytes = 2;
    f.clock.scheduleIn(5000, [&f] { f.rec.setPortOpen(false); });
    f.dlg.answers << vbRetry << vbCancel;
    QCOMPARE(g_funcCommOutPut(QStringLiteral("R05")), false);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 2);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("g_funcCommOutPut"), kSendLost, vbRetryCancel, vbCritical));
    QCOMPARE(boxText(f.dlg.boxes[1]), QStringLiteral("g_funcCommOutPut / ") + kCheckPort + QStringLiteral("\r\n:Err.Number 0"));
    QCOMPARE(f.rec.written, QByteArray("R05\r"));
}

void TestComm::receiveFoldsCaseAndKeepsTheNewest()
{
    AppFixture f(false);
    QVERIFY(g_funcCommPortOpen(1));
    f.rec.feed("l00");
    g_subCommReceive();
    f.rec.feed("01\r");
    g_subCommReceive();
    QCOMPARE(g_strInPut, QStringLiteral("L0001\r"));
    // A flood without CR cannot grow the buffer past 1024 characters; the newest stay.
    QByteArray flood;
    for (int i = 0; i < 3000; ++i)
        flood += char('a' + i % 26);
    f.rec.feed(flood);
    g_subCommReceive();
    QCOMPARE(g_strInPut.size(), kReceiveLimit);
    QCOMPARE(g_strInPut, QString::fromLatin1(flood.right(1024).toUpper()));
    // Upper case that lengthens a character ("ß" is "SS") keeps the limit too (it once
    // left 2048 characters).
    QVERIFY(g_funcCommOutPut(QStringLiteral("L"))); // a send empties the buffer
    f.rec.feed(QByteArray(1100, '\xDF'));
    g_subCommReceive();
    QCOMPARE(g_strInPut, QString(kReceiveLimit, QLatin1Char('S')));
    f.rec.feed("N03\xDF\r");
    g_subCommReceive();
    QCOMPARE(g_strInPut.size(), kReceiveLimit);
    QVERIFY(g_strInPut.endsWith(QStringLiteral("N03SS\r")));
    // Opening discards what was received before.
    g_subCommPortClose();
    f.rec.feed("junk");
    QVERIFY(g_funcCommPortOpen(1));
    QCOMPARE(f.rec.inBufferCount(), 0);
}

void TestComm::portOpenCheckAndClose()
{
    AppFixture f(false);
    f.rec.usablePorts = {1, 3};
    QVERIFY(g_funcCommPortCheck(1));
    QVERIFY(!g_funcCommPortCheck(2));
    QVERIFY(g_funcCommPortCheck(3));
    QVERIFY(!f.rec.portOpen()); // a check leaves the port closed
    QVERIFY(!g_funcCommPortOpen(2));
    QVERIFY(g_funcCommPortOpen(3));
    QCOMPARE(f.rec.commPort(), 3);
    QVERIFY(g_funcCommPortOpen(1)); // already open: nothing happens
    QCOMPARE(f.rec.commPort(), 3);
    QCOMPARE(f.rec.opens, 3);
    g_subCommPortClose();
    g_subCommPortClose(); // closing a closed port is silent
    QVERIFY(!f.rec.portOpen());
    QCOMPARE(f.rec.closes, 3);
    // The buffer-clear button: both buffers emptied and the port closed.
    QVERIFY(g_funcCommPortOpen(1));
    f.rec.feed("N0");
    g_subCommBufferClear();
    QVERIFY(!f.rec.portOpen());
    QCOMPARE(f.rec.inBufferCount(), 0);
    QCOMPARE(f.dlg.boxes.size(), 0);
}

void TestComm::replyTimerAndOverallTimer()
{
    AppFixture f;
    f.startSeeded();
    // The reply timer: a full second from each start; the flag stays until stopped.
    g_subReplyTimerStart();
    f.clock.advance(999);
    QCOMPARE(g_intReplyTimeUp, qint16(0));
    f.clock.advance(1);
    QCOMPARE(g_intReplyTimeUp, qint16(1));
    g_subReplyTimerStart();
    QCOMPARE(g_intReplyTimeUp, qint16(0));
    f.clock.advance(600);
    g_subReplyTimerStart(); // a restart gives a full second again
    f.clock.advance(600);
    QCOMPARE(g_intReplyTimeUp, qint16(0));
    g_subReplyTimerStop();
    QVERIFY(!ReplyTimer().Enabled());
    f.clock.advance(2000);
    QCOMPARE(g_intReplyTimeUp, qint16(0));

    // The overall timer: wait cursor while it runs; a second start warns and changes nothing.
    g_subCommTimerStart();
    QCOMPARE(g_frmMdi1->cursor().shape(), Qt::WaitCursor);
    f.clock.advance(6000);
    f.dlg.answers << vbOK;
    g_subCommTimerStart();
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(g_strAppTitle, QStringLiteral("通信ﾀｲﾑｱｳﾄﾀｲﾏｰを二重に開始しようとしました。"), vbOKOnly, vbExclamation));
    f.clock.advance(3999);
    QCOMPARE(g_intCommTimeUp, qint16(0));
    f.clock.advance(1); // ten seconds after the first start, not the second
    QCOMPARE(g_intCommTimeUp, qint16(-1));
    g_subCommTimerStop();
    QCOMPARE(g_intCommTimeUp, qint16(0));
    QVERIFY(!CommTimer().Enabled());
    QCOMPARE(CommTimer().Interval(), 0);
    QCOMPARE(g_frmMdi1->cursor().shape(), Qt::ArrowCursor);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestComm::replyChecks_data()
{
    QTest::addColumn<char>("check");
    QTest::addColumn<QByteArray>("fed");
    QTest::addColumn<int>("result"); // L/E/P: the check's answer; R/W: the step after it
    QTest::addColumn<QString>("bufferAfter");
    QTest::newRow("L exact") << 'L' << QByteArray("L0001\r") << 2 << QString();
    QTest::newRow("L lower case") << 'L' << QByteArray("l0001\r") << 2 << QString();
    QTest::newRow("L with LF") << 'L' << QByteArray("L0001\r\n") << 1 << QStringLiteral("L0001\r\n");
    QTest::newRow("L leading noise") << 'L' << QByteArray("\rL0001\r") << 1 << QStringLiteral("\rL0001\r");
    QTest::newRow("L half") << 'L' << QByteArray("L00") << 1 << QStringLiteral("L00");
    QTest::newRow("L question") << 'L' << QByteArray("?\r") << 1 << QString();
    QTest::newRow("R no CR") << 'R' << QByteArray("R3F") << 20 << QStringLiteral("R3F");
    QTest::newRow("R line") << 'R' << QByteArray("r3f\r") << 30 << QStringLiteral("R3F\r");
    QTest::newRow("R question") << 'R' << QByteArray("?\r") << 11 << QString();
    QTest::newRow("R other line") << 'R' << QByteArray("W\r") << 20 << QStringLiteral("W\r");
    QTest::newRow("W line") << 'W' << QByteArray("W\r") << 30 << QStringLiteral("W\r");
    QTest::newRow("W question") << 'W' << QByteArray("?\r") << 11 << QString();
    QTest::newRow("W other line") << 'W' << QByteArray("E\r") << 20 << QStringLiteral("E\r");
    QTest::newRow("E line") << 'E' << QByteArray("e\r") << 1 << QString();
    QTest::newRow("E no CR") << 'E' << QByteArray("E") << 0 << QStringLiteral("E");
    QTest::newRow("E question") << 'E' << QByteArray("?\r") << 0 << QString();
    QTest::newRow("E other line") << 'E' << QByteArray("W\r") << 0 << QStringLiteral("W\r");
    QTest::newRow("P no CR") << 'P' << QByteArray("P0") << 100 << QStringLiteral("P0");
    QTest::newRow("P line") << 'P' << QByteArray("P1\r") << 1 << QStringLiteral("P1\r");
    QTest::newRow("P question") << 'P' << QByteArray("?\r") << 3 << QString();
    QTest::newRow("P other line") << 'P' << QByteArray("X\r") << 0 << QStringLiteral("X\r");
}

void TestComm::replyChecks()
{
    QFETCH(char, check);
    QFETCH(QByteArray, fed);
    QFETCH(int, result);
    QFETCH(QString, bufferAfter);
    AppFixture f(false);
    QVERIFY(g_funcCommPortOpen(1));
    received(f.rec, fed);
    QString buffer = g_strInPut;
    QCOMPARE(writtenCheck(check, buffer), result);
    QCOMPARE(buffer, bufferAfter);
    // With the port closed the "L" check answers 0.
    g_subCommPortClose();
    QCOMPARE(writtenCheck('L', buffer), 0);
}

void TestComm::readDataAfterFirstR_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("data");
    QTest::newRow("plain") << QByteArray("R3F\r") << QStringLiteral("3F");
    QTest::newRow("noise before") << QByteArray("xR3F\r") << QStringLiteral("3F");
    QTest::newRow("lower case") << QByteArray("r3f\r") << QStringLiteral("3F");
    QTest::newRow("two R") << QByteArray("R0AR55\r") << QStringLiteral("0A");
}

void TestComm::readDataAfterFirstR()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, data);
    AppFixture f(false);
    QVERIFY(g_funcCommPortOpen(1));
    received(f.rec, reply);
    QString buffer = g_strInPut;
    QCOMPARE(writtenCheck('R', buffer), 30);
    QCOMPARE(ReadData(buffer), data);
}

void TestComm::pollAnswers_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("captured"); // empty: nothing reached the store
    QTest::newRow("N value") << QStringLiteral("N") << QByteArray("N03FF\r") << QStringLiteral("N|03FF");
    QTest::newRow("N lower case") << QStringLiteral("N") << QByteArray("n03ff\r") << QStringLiteral("N|03FF");
    QTest::newRow("Y state") << QStringLiteral("Y") << QByteArray("Y05\r") << QStringLiteral("Y|05");
    QTest::newRow("N foreign line") << QStringLiteral("N") << QByteArray("R0501\r") << QString();
    QTest::newRow("Y foreign line") << QStringLiteral("Y") << QByteArray("W05\r") << QString();
}

void TestComm::pollAnswers()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, reply);
    QFETCH(QString, captured);
    AppFixture f(false);
    QVERIFY(g_funcCommPortOpen(1));
    // A "Y" completes the reading its "N" began: an "N" of a zero count comes first.
    if (command == QLatin1String("Y")) {
        answerWith(f.rec, {{"N", "N0000\r"}});
        QVERIFY(g_funcMonitorPoll(QStringLiteral("N")));
        f.rec.written.clear();
    }
    answerWith(f.rec, {{command.toLatin1(), reply}});
    QVERIFY(g_funcMonitorPoll(command));
    QCOMPARE(f.rec.written, command.toLatin1() + '\r');
    QStringList got = stored();
    if (command == QLatin1String("Y"))
        got.removeAll(QStringLiteral("N|0000"));
    QCOMPARE(got, captured.isEmpty() ? QStringList() : QStringList{captured});
    QVERIFY(g_strInPut.isEmpty() || captured.isEmpty());
    QCOMPARE(g_intPollBusy, qint16(0));
    QCOMPARE(g_intMonitorStop, qint16(0));
    QVERIFY(!ReplyTimer().Enabled());
    QCOMPARE(f.dlg.boxes.size(), 0);
}

void TestComm::pollQuestionRunsIntoThePassLimit()
{
    AppFixture f(false);
    QVERIFY(g_funcCommPortOpen(1));
    answerWith(f.rec, {{"N", "?\r"}});
    f.dlg.answers << vbOK;
    const qint64 t0 = f.clock.nowUs();
    QElapsedTimer real;
    real.start();
    QVERIFY(g_funcMonitorPoll(QStringLiteral("N")));
    QVERIFY(real.elapsed() < 5000);
    // 20000 passes of a millisecond; the "?" is not answered by a resend.
    QVERIFY(f.msSince(t0) >= 19999 && f.msSince(t0) <= 20010);
    QCOMPARE(f.rec.written, QByteArray("N\r"));
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("ｱﾅﾛｸﾞﾓﾆﾀｰ"), kPollTimeUp, vbOKOnly, vbExclamation));
    QCOMPARE(g_intMonitorStop, qint16(1));
    QCOMPARE(g_intPollBusy, qint16(0));
    QVERIFY(stored().isEmpty());
    // A send that fails returns false at once.
    g_subMonitorStopSet(0);
    g_subCommPortClose();
    f.dlg.answers << vbCancel;
    QVERIFY(!g_funcMonitorPoll(QStringLiteral("Y")));
    QCOMPARE(f.dlg.boxes.last().caption, QStringLiteral("g_funcCommOutPut"));
    QCOMPARE(g_intPollBusy, qint16(0));
}

void TestComm::channelWaitsAreBounded()
{
    // A silent controller holds neither the channel read nor the output set for ever.
    AppFixture f;
    f.sim.setFault(Fault::Silence);
    QVERIFY(g_funcCommPortOpen(1));
    f.dlg.answers << vbOK << vbOK;
    const qint64 t0 = f.clock.nowUs();
    double volts = -1;
    QVERIFY(!g_funcChannelRead(1, volts));
    QVERIFY(f.msSince(t0) >= 20000 && f.msSince(t0) <= 20100);
    QCOMPARE(volts, -1.0);
    QVERIFY(!g_funcAnalogOut(1, 2.5));
    QVERIFY(f.msSince(t0) >= 40000 && f.msSince(t0) <= 40200);
    QCOMPARE(f.dlg.boxes.size(), 2);
    for (const auto &b : f.dlg.boxes) {
        QCOMPARE(b.caption, QStringLiteral("ｱﾅﾛｸﾞﾓﾆﾀｰ"));
        QCOMPARE(b.text, kPollTimeUp);
    }
    QCOMPARE(f.sim.model().received(), QByteArrayList({"N1", "D101FF"}));
}

void TestComm::waitsWakeOnTheWire()
{
    // A controller that answers after 2 s: each exchange ends the moment the reply's CR
    // is in, and sleeps through the wait instead of looking for bytes every millisecond;
    // a silent one still ends at the 20 s bound, asleep all the same.
    AppFixture f;
    f.sim.model().setAnswerDelayUs(2000000);
    QVERIFY(g_funcCommPortOpen(1));
    struct Exchange {
        const char *name;
        std::function<bool()> run;
        int lineBytes; // both ways
    };
    double volts = 0;
    const Exchange exchanges[] = {
        {"channel read", [&] { return g_funcChannelRead(1, volts); }, 3 + 6},
        {"poll", [] { return g_funcMonitorPoll(QStringLiteral("N")) && g_intMonitorStop == 0; }, 2 + 6},
        {"output set", [] { return g_funcAnalogOut(1, 2.5); }, 7 + 2},
    };
    for (const Exchange &e : exchanges) {
        const qint64 t0 = f.clock.nowUs();
        const quint64 waits = f.clock.waitCalls();
        QVERIFY2(e.run(), e.name);
        const qint64 lineUs = 2000000 + e.lineBytes * CtrlModel::ByteTimeNs / 1000;
        QVERIFY2(qAbs(f.clock.nowUs() - t0 - lineUs) < 1500, e.name);
        QVERIFY2(f.clock.waitCalls() - waits <= 2 * quint64(e.lineBytes), e.name);
    }
    f.sim.setFault(Fault::Silence);
    f.dlg.answers << vbOK;
    const quint64 waits = f.clock.waitCalls();
    QVERIFY(!g_funcChannelRead(1, volts));
    QVERIFY2(f.clock.waitCalls() - waits <= 10, QByteArray::number(f.clock.waitCalls() - waits));
}

void TestComm::channelQuestionForEverIsBounded()
{
    // A controller that answers every channel read with "?" (or with a line that carries
    // no value) gets the command four times, and the read then ends without a value and
    // with the time-out's message (it once asked again for ever).
    for (const Fault fault : {Fault::Question, Fault::Garbage}) {
        AppFixture f;
        f.sim.setFault(fault);
        f.dlg.answers << vbOK;
        QVERIFY(g_funcCommPortOpen(1));
        const qint64 t0 = f.clock.nowUs();
        double volts = -1;
        QVERIFY(!g_funcChannelRead(1, volts));
        QCOMPARE(volts, -1.0);
        QCOMPARE(f.sim.model().received(), QByteArrayList({"N1", "N1", "N1", "N1"}));
        QVERIFY2(f.msSince(t0) <= 100, QByteArray::number(f.msSince(t0)));
        QCOMPARE(f.dlg.boxes.size(), 1);
        QCOMPARE(boxText(f.dlg.boxes[0]), QStringLiteral("ｱﾅﾛｸﾞﾓﾆﾀｰ / 受信待ち ﾀｲﾑｱｯﾌﾟ\r\n通信の状態を確認してください"));
    }
}

void TestComm::channelQuestionThenAnswer()
{
    // Three "?" in a row are asked again; the fourth send's answer is taken.
    AppFixture f(false);
    int sends = 0;
    f.rec.onOutput = [&f, &sends](const QByteArray &) {
        f.rec.feed(++sends < kChannelReadSends ? QByteArray("?\r") : QByteArray("N101FF\r"));
    };
    QVERIFY(g_funcCommPortOpen(1));
    double volts = -1;
    QVERIFY(g_funcChannelRead(1, volts));
    QCOMPARE(volts, 2.5);
    QCOMPARE(f.rec.written, QByteArray("N1\rN1\rN1\rN1\r"));
    QCOMPARE(f.dlg.boxes.size(), 0);
}

void TestComm::pollAgainstFaults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<bool>("value");   // a reading reached the store
    QTest::addColumn<bool>("timeUp");  // the "受信待ち ﾀｲﾑｱｯﾌﾟ" box stopped the monitor
    QTest::addColumn<bool>("sent");    // the command went out (else the send's box, Cancel)
    QTest::addColumn<int>("boundMs");  // virtual time the exchange may take at most
    QTest::newRow("healthy") << Fault::None << 0 << true << false << true << 20;
    QTest::newRow("silence") << Fault::Silence << 0 << false << true << true << 20100;
    QTest::newRow("question") << Fault::Question << 0 << false << true << true << 20100;
    QTest::newRow("slow") << Fault::Slow << 500 << true << false << true << 520;
    QTest::newRow("garbage") << Fault::Garbage << 6 << false << false << true << 20;
    QTest::newRow("split") << Fault::Split << 50 << true << false << true << 70;
    QTest::newRow("flood") << Fault::Flood << 100 << false << false << true << 20;
    QTest::newRow("flood stream") << Fault::Flood << -1 << false << false << true << 20;
    // The line drops as the command arrives: the send is reported failed, not waited on.
    QTest::newRow("hang-up") << Fault::HangUp << 0 << false << false << false << 20;
}

void TestComm::pollAgainstFaults()
{
    QFETCH(Fault, fault);
    QFETCH(int, param);
    QFETCH(bool, value);
    QFETCH(bool, timeUp);
    QFETCH(bool, sent);
    QFETCH(int, boundMs);
    AppFixture f;
    f.sim.model().setLevel(0x3FF);
    f.sim.setFault(fault, param);
    QVERIFY(g_funcCommPortOpen(1));
    if (timeUp)
        f.dlg.answers << vbOK;
    if (!sent)
        f.dlg.answers << vbCancel;
    const qint64 t0 = f.clock.nowUs();
    QCOMPARE(g_funcMonitorPoll(QStringLiteral("N")), sent);
    QVERIFY2(f.msSince(t0) <= boundMs, QByteArray::number(f.msSince(t0)));
    QCOMPARE(stored(), value ? QStringList{QStringLiteral("N|03FF")} : QStringList());
    QCOMPARE(g_intMonitorStop, qint16(timeUp ? 1 : 0));
    QCOMPARE(f.dlg.boxes.size(), timeUp || !sent ? 1 : 0);
    if (timeUp)
        QCOMPARE(f.dlg.boxes[0].text, kPollTimeUp);
    if (!sent)
        QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("g_funcCommOutPut"), kSendLost, vbRetryCancel, vbCritical));
    QCOMPARE(g_intPollBusy, qint16(0));
    QVERIFY(!ReplyTimer().Enabled());
    QCOMPARE(f.sim.model().frameCount(), 1); // the poll never resends
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

QTEST_MAIN(TestComm)
#include "tst_comm.moc"
