// Several sessions in one process: each on its own simulated controller, all on the one
// virtual clock, with reads, writes and polls interleaved and one controller failing.
// Nothing is shared: every frame reaches its own controller, every result is its own.
#include "support/LinkHelpers.h"

#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "link/modTransfer.h"
#include "link/modLinkState.h"
#include "settings/modUserData.h"

#include <QtTest>
#include <memory>

namespace {
constexpr int kSessions = 8;

struct Site {
    SimulatedPort *port = nullptr; // owned by the session
    std::unique_ptr<LinkSession> session;
    ScriptedDialogs dialogs;
    MemCell image[kSettingsCells];
    QList<LinkResult> results;
    QList<Reading> readings;
};

// A controller whose memory and level tell it apart from the others.
void prepare(Site &s, int n)
{
    auto port = std::make_unique<SimulatedPort>();
    s.port = port.get();
    s.port->usablePorts = {n};
    for (int a = 0; a < kSettingsCells; ++a)
        s.port->model().setCell(a, quint8((a * 7 + n * 31) & 0xFF));
    s.port->model().setCell(cellInputCode, 0x00);
    s.port->model().setLevel(100 * n);
    s.session = std::make_unique<LinkSession>(std::move(port));
    SessionOptions o;
    o.dialogs = &s.dialogs;
    o.scale = ScaleOfType(Volt5);
    s.session->setOptions(o);
    QObject::connect(s.session.get(), &LinkSession::readingCompleted,
                     [&s](const Reading &r) { s.readings << r; });
    QVERIFY(!s.session->openPortAndWait(n).failed());
}

// Polls "N" then "Y" count times, one pair after the other.
void pollPairs(Site &s, int count)
{
    if (count == 0)
        return;
    s.session->poll(QStringLiteral("N"), [&s, count](const LinkResult &n) {
        s.results << n;
        if (!n.ok())
            return;
        s.session->poll(QStringLiteral("Y"), [&s, count](const LinkResult &y) {
            s.results << y;
            if (y.ok())
                pollPairs(s, count - 1);
        });
    });
}

// A session on a recording port of its own, open, that answers each frame from a table.
struct Scripted {
    RecordingPort *port = nullptr; // owned by the session
    std::unique_ptr<LinkSession> session;
    ScriptedDialogs dialogs;
    QList<Reading> begun, readings;

    explicit Scripted(const SessionOptions &options = SessionOptions())
    {
        auto p = std::make_unique<RecordingPort>();
        port = p.get();
        port->usablePorts = {3};
        session = std::make_unique<LinkSession>(std::move(p));
        SessionOptions o = options;
        if (!o.dialogs)
            o.dialogs = &dialogs;
        session->setOptions(o);
        QObject::connect(session.get(), &LinkSession::valueReceived, [this](const Reading &r) { begun << r; });
        QObject::connect(session.get(), &LinkSession::readingCompleted, [this](const Reading &r) { readings << r; });
        session->openPortAndWait(3);
    }
    // One poll, its frame answered with reply (as it comes, in one piece).
    LinkResult poll(const char *command, const QByteArray &reply)
    {
        answerWith(*port, {{command, reply}});
        return session->run([&](LinkDone d) { session->poll(QString::fromLatin1(command), std::move(d)); });
    }
};

} // namespace

class TestSessions : public QObject {
    Q_OBJECT
private slots:
    void eightSessionsInOneProcess();
    void programSessionViewsFollowItsState();
    void lateRepliesAreLeftOut_data();
    void lateRepliesAreLeftOut();
    void aReadingNeedsItsOwnN();
    void pollsThatGiveUpEndAsGaveUp();
    void aStopEndsAWaitingPoll();
    void aSessionReadsNoGlobal();
};

void TestSessions::eightSessionsInOneProcess()
{
    AppFixture f;
    Site sites[kSessions];
    for (int i = 0; i < kSessions; ++i)
        prepare(sites[i], i + 1);

    // Sessions 1-3 read, 4 writes, 5-7 poll; session 8 polls a controller that falls silent.
    MemCell written[kSettingsCells];
    for (int a = 0; a < kSettingsCells; ++a)
        written[a].setData(QStringLiteral("%1").arg((a * 3) & 0xFF, 2, 16, QLatin1Char('0')).toUpper());
    for (int i = 0; i < 3; ++i)
        sites[i].session->readSettings(sites[i].image, [&, i](const LinkResult &r) { sites[i].results << r; });
    sites[3].session->writeSettings(written, [&](const LinkResult &r) { sites[3].results << r; });
    for (int i = 4; i < 8; ++i)
        pollPairs(sites[i], 5);
    // The eighth controller answers its first poll, then stays silent.
    f.clock.scheduleIn(60 * 1000, [&] { sites[7].port->setFault(CtrlModel::Fault::Silence); });

    const qint64 t0 = f.clock.nowUs();
    auto allDone = [&] {
        for (int i = 0; i < 3; ++i)
            if (sites[i].results.isEmpty())
                return false;
        if (sites[3].results.isEmpty())
            return false;
        for (int i = 4; i < 7; ++i)
            if (sites[i].results.size() < 10)
                return false;
        return !sites[7].results.isEmpty() && !sites[7].results.last().ok();
    };
    while (!allDone() && f.msSince(t0) < 60000)
        f.clock.advance(10);
    QVERIFY2(allDone(), "not every session completed");
    // The exchanges ran side by side: a read of 48 addresses takes about half a second, and
    // eight of them one after the other would take four.
    QVERIFY2(f.msSince(t0) < 30000, QByteArray::number(f.msSince(t0)));

    for (int i = 0; i < 3; ++i) {
        QCOMPARE(sites[i].results.size(), 1);
        QCOMPARE(sites[i].results[0].outcome, LinkOutcome::Done);
        for (int a = 0; a < kSettingsCells; ++a)
            QCOMPARE(sites[i].image[a].data().toUInt(nullptr, 16), uint(sites[i].port->model().cell(a)));
        QCOMPARE(sites[i].port->model().received().first(), QByteArray("L"));
        QCOMPARE(sites[i].port->model().received().last(), QByteArray("R2F"));
    }
    QCOMPARE(sites[3].results[0].outcome, LinkOutcome::Done);
    for (int a = 0; a < kSettingsCells; ++a)
        QCOMPARE(int(sites[3].port->model().cell(a)), (a * 3) & 0xFF);
    QCOMPARE(sites[3].port->model().received().last(), QByteArray("E"));

    for (int i = 4; i < 7; ++i) {
        const Site &s = sites[i];
        QCOMPARE(s.readings.size(), 5);
        for (const LinkResult &r : s.results)
            QCOMPARE(r.outcome, LinkOutcome::Done);
        for (const Reading &r : s.readings) {
            QVERIFY(r.valueValid && r.outputsValid);
            QCOMPARE(r.count, 100 * (i + 1)); // its own controller's level
            QCOMPARE(r.unit, QStringLiteral("V"));
        }
        // Each frame went to its own port: pollers never saw a read, readers never a poll.
        for (const QByteArray &frame : s.port->model().received())
            QVERIFY2(frame == "N" || frame == "Y", frame.constData());
        QCOMPARE(s.dialogs.boxes.size(), 0);
    }
    for (int i = 0; i < 4; ++i)
        for (const QByteArray &frame : sites[i].port->model().received())
            QVERIFY2(frame != "N" && frame != "Y", frame.constData());

    // The silent controller: its poll ended on the twenty-second bound, and the other
    // sessions went on meanwhile. What that stops is for the session's user to decide: the
    // poll itself shows no box.
    const Site &silent = sites[7];
    QCOMPARE(silent.results.last().outcome, LinkOutcome::NoReply);
    QCOMPARE(silent.dialogs.boxes.size(), 0);
    // The program's own session saw none of it.
    QCOMPARE(f.dlg.boxes.size(), 0);
    QCOMPARE(f.sim.model().frameCount(), 0);
}

void TestSessions::programSessionViewsFollowItsState()
{
    // The written global names are views over the program's link and session.
    AppFixture f(false);
    QSignalSpy status(&linkEvents(), &LinkEvents::commStatusChanged);
    g_subConnectStatusSet(1);
    QCOMPARE(g_intConnectStatus, qint16(1));
    QCOMPARE(status.size(), 1);
    g_subConnectStatusSet(1); // no change, no announcement
    QCOMPARE(status.size(), 1);
    g_subCommBusySet(1);
    QCOMPARE(g_intCommBusy, qint16(1));
    // The session's exchange shows its buffer, step, address and command.
    QVERIFY(g_funcCommPortOpen(1));
    f.rec.feed("junk");
    g_subCommReceive();
    QCOMPARE(g_strInPut, QStringLiteral("JUNK"));
    answerWith(f.rec, {{"L", "L0001\r"}, {"R00", "R00\r"}});
    MemCell image[kSettingsCells];
    LinkSession &s = appSession();
    s.readSettings(image, nullptr);
    f.clock.advance(100);
    QCOMPARE(g_intCommAddr, qint16(1));
    QCOMPARE(g_intCommStep, qint16(20)); // waiting for the reply to its command
    QCOMPARE(g_strCommand, QStringLiteral("R01"));
    g_subLinkStateReset();
    QVERIFY(!s.busy());
    QCOMPARE(g_intConnectStatus, qint16(0));
    QCOMPARE(g_intCommBusy, qint16(0));
    QCOMPARE(g_intCommStep, qint16(0));
    QVERIFY(g_strInPut.isEmpty());
}

void TestSessions::lateRepliesAreLeftOut_data()
{
    // What stands in the buffer when a poll looks at it: lines of the other command (late
    // replies of an earlier poll, a controller that stalled and answers in a burst) are left
    // out; the poll's own line makes the reading.
    QTest::addColumn<QByteArray>("nReply");
    QTest::addColumn<QByteArray>("yReply");
    QTest::addColumn<QString>("valueHex");
    QTest::addColumn<QString>("outputsHex");
    QTest::newRow("in step") << QByteArray("N0200\r") << QByteArray("Y18\r") << "0200" << "18";
    QTest::newRow("a late N before the Y") << QByteArray("N0200\r") << QByteArray("N0123\rY18\r") << "0200" << "18";
    QTest::newRow("two late N before the Y") << QByteArray("N0200\r") << QByteArray("N0123\rN0124\rY18\r") << "0200" << "18";
    QTest::newRow("a late Y before the N") << QByteArray("Y05\rN0200\r") << QByteArray("Y18\r") << "0200" << "18";
    QTest::newRow("lower case") << QByteArray("y05\rn0200\r") << QByteArray("n0123\ry18\r") << "0200" << "18";
}

void TestSessions::lateRepliesAreLeftOut()
{
    QFETCH(QByteArray, nReply);
    QFETCH(QByteArray, yReply);
    QFETCH(QString, valueHex);
    QFETCH(QString, outputsHex);
    AppFixture f;
    Scripted s;
    QVERIFY(s.poll("N", nReply).ok());
    QVERIFY(s.poll("Y", yReply).ok());
    QCOMPARE(s.readings.size(), 1);
    QCOMPARE(s.readings[0].valueHex, valueHex);
    QCOMPARE(s.readings[0].outputsHex, outputsHex);
    QCOMPARE(s.begun.size(), 1);
    QCOMPARE(s.begun[0].time, s.readings[0].time); // the time of its "N"
    QCOMPARE(s.dialogs.boxes.size(), 0);
}

void TestSessions::aReadingNeedsItsOwnN()
{
    // A "Y" completes only the reading its own "N" began: after an "N" that brought no value
    // line, or with no "N" at all, its outputs make no reading. An "N" whose outputs never
    // came is not completed by the next tick's "Y" either.
    AppFixture f;
    Scripted s;
    QVERIFY(s.poll("Y", "Y05\r").ok());
    QCOMPARE(s.readings.size(), 0);
    QCOMPARE(s.poll("N", "#$%&*\r").outcome, LinkOutcome::NotUnderstood);
    QVERIFY(s.poll("Y", "Y05\r").ok());
    QCOMPARE(s.readings.size(), 0);
    QVERIFY(s.poll("N", "N0100\r").ok());
    QCOMPARE(s.poll("Y", "<=>\r").outcome, LinkOutcome::NotUnderstood);
    QCOMPARE(s.poll("N", "!\"#$%\r").outcome, LinkOutcome::NotUnderstood);
    QVERIFY(s.poll("Y", "Y07\r").ok());
    QCOMPARE(s.readings.size(), 0);
    QVERIFY(s.poll("N", "N0101\r").ok());
    QVERIFY(s.poll("Y", "Y08\r").ok());
    QCOMPARE(s.readings.size(), 1);
    QCOMPARE(s.readings[0].count, 0x101);
    QCOMPARE(s.readings[0].outputs, 8);
    QCOMPARE(s.session->lastReading().count, 0x101);
}

void TestSessions::pollsThatGiveUpEndAsGaveUp()
{
    // Replies without a value are given up one poll at a time; once the polls of one
    // command have given up for as long as a reply may take, the poll says so. A good reply
    // to the other command does not start its count again; a good one to the same does.
    AppFixture f;
    SessionOptions o;
    o.replyWaitMs = 3000;
    Scripted s(o);
    QList<LinkOutcome> outcomes;
    for (int i = 0; i < 5; ++i) {
        outcomes << s.poll("N", "ZZZZZ\r").outcome << s.poll("Y", "Y05\r").outcome;
        f.clock.advance(1000);
    }
    QCOMPARE(outcomes.mid(0, 6), (QList<LinkOutcome>{LinkOutcome::NotUnderstood, LinkOutcome::Done,
                                                     LinkOutcome::NotUnderstood, LinkOutcome::Done,
                                                     LinkOutcome::NotUnderstood, LinkOutcome::Done}));
    QCOMPARE(outcomes[6], LinkOutcome::GaveUp);
    QCOMPARE(s.readings.size(), 0);
    QCOMPARE(s.dialogs.boxes.size(), 0); // what that stops is for the session's user to decide
    s.session->resetPollWatch();
    QCOMPARE(s.poll("N", "ZZZZZ\r").outcome, LinkOutcome::NotUnderstood);
    QVERIFY(s.poll("N", "N0001\r").ok());
    f.clock.advance(5000);
    QCOMPARE(s.poll("N", "ZZZZZ\r").outcome, LinkOutcome::NotUnderstood);
}

void TestSessions::aStopEndsAWaitingPoll()
{
    // A stop ends a poll that waits for its reply at once, without a box; any other
    // exchange goes on.
    AppFixture f;
    Scripted s;
    LinkResult got;
    bool done = false;
    s.session->poll(QStringLiteral("N"), [&](const LinkResult &r) {
        got = r;
        done = true;
    });
    f.clock.advance(500);
    QVERIFY(!done);
    s.session->cancelPoll();
    f.clock.advance(10);
    QVERIFY(done);
    QCOMPARE(got.outcome, LinkOutcome::Cancelled);
    QCOMPARE(s.port->written, QByteArray("N\r"));
    answerWith(*s.port, {});
    s.session->checkConnection(nullptr);
    s.session->cancelPoll();
    QVERIFY(s.session->busy());
    s.port->feed("L0001\r");
    QCOMPARE(s.session->wait().outcome, LinkOutcome::Done);
    QCOMPARE(s.dialogs.boxes.size(), 0);
}

void TestSessions::aSessionReadsNoGlobal()
{
    // The program's globals say one thing, a session's options another: the session goes by
    // its options (scale, reply wait, send limit, boxes).
    AppFixture f;
    g_subInputTypeSet(Current20mA);
    g_lngReplyWaitMs = 1000;
    g_intTransferSendLimit = 1;
    f.dlg.answers.clear();
    SessionOptions o;
    o.scale = ScaleOfType(Dist10M);
    o.replyWaitMs = 4000;
    o.sendLimit = 2;
    Scripted s(o);
    QVERIFY(s.poll("N", "N0000\r").ok());
    QVERIFY(s.poll("Y", "Y00\r").ok());
    QCOMPARE(s.readings.size(), 1);
    QCOMPARE(s.readings[0].unit, InputTypeOf(Dist10M).unit);
    QCOMPARE(s.readings[0].valueText(), QStringLiteral("10.00")); // full scale minus nothing
    // The reply wait: four seconds, not the program's one.
    const qint64 t0 = f.clock.nowUs();
    QCOMPARE(s.poll("N", QByteArray()).outcome, LinkOutcome::NoReply);
    QVERIFY2(f.msSince(t0) >= 4000 && f.msSince(t0) <= 4010, QByteArray::number(f.msSince(t0)));
    // The send limit: two refusals, not the program's one.
    answerWith(*s.port, {{"L", "?\r"}});
    MemCell image[kSettingsCells];
    const LinkResult r = s.session->run([&](LinkDone d) { s.session->readSettings(image, std::move(d)); });
    QCOMPARE(r.outcome, LinkOutcome::Refused);
    QCOMPARE(s.session->refusal().sends, 2);
    // Its boxes are its own: none reached the installed service. A session given none
    // answers them without a word.
    QCOMPARE(f.dlg.boxes.size(), 0);
    SessionOptions quiet;
    Scripted silent(quiet);
    silent.session->setOptions(quiet);
    QCOMPARE(silent.session->run([&](LinkDone d) { silent.session->send(QStringLiteral("L"), std::move(d)); }).outcome,
             LinkOutcome::Done);
    silent.session->closePort();
    const LinkResult closed = silent.session->run([&](LinkDone d) { silent.session->send(QStringLiteral("L"), std::move(d)); });
    QVERIFY(!closed.sent);
    QVERIFY2(closed.reason.startsWith(QStringLiteral("通信ﾎﾟｰﾄの状態を確認して下さい。")), qPrintable(closed.reason));
    QCOMPARE(f.dlg.boxes.size(), 0);
    QCOMPARE(f.dlg.unexpected, 0);
    g_lngReplyWaitMs = kReplyWaitMs;
    g_intTransferSendLimit = 0;
}

QTEST_MAIN(TestSessions)
#include "tst_sessions.moc"
