// Several sessions in one process: each on its own simulated controller, all on the one
// virtual clock, with reads, writes and polls interleaved and one controller failing.
// Nothing is shared: every frame reaches its own controller, every result is its own.
#include "support/AppFixture.h"

#include "link/LinkSession.h"
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
    s.session->setDialogs(&s.dialogs);
    s.session->setScale(ScaleOfType(Volt5));
    QObject::connect(s.session.get(), &LinkSession::readingCompleted,
                     [&s](const Reading &r) { s.readings << r; });
    QVERIFY(s.session->openPort(n));
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
} // namespace

class TestSessions : public QObject {
    Q_OBJECT
private slots:
    void eightSessionsInOneProcess();
    void programSessionViewsFollowItsState();
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
    sites[7].dialogs.answers << vbOK;

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

    // The silent controller: its poll ended on the twenty-second bound with its own box,
    // and the other sessions went on meanwhile.
    const Site &silent = sites[7];
    QCOMPARE(silent.results.last().outcome, LinkOutcome::NoReply);
    QCOMPARE(silent.dialogs.boxes.size(), 1);
    QCOMPARE(silent.dialogs.boxes[0].text, QStringLiteral("受信待ち ﾀｲﾑｱｯﾌﾟ\r\n通信の状態を確認してください"));
    QCOMPARE(silent.session->state().monitorStop, qint16(1));
    for (int i = 0; i < 7; ++i)
        QCOMPARE(sites[i].session->state().monitorStop, qint16(0));
    // The program's own session saw none of it.
    QCOMPARE(f.dlg.boxes.size(), 0);
    QCOMPARE(f.sim.model().frameCount(), 0);
}

void TestSessions::programSessionViewsFollowItsState()
{
    // The written global names are views over the program's session.
    AppFixture f;
    QSignalSpy status(&linkEvents(), &LinkEvents::commStatusChanged);
    appSession().setConnectStatus(1);
    QCOMPARE(g_intConnectStatus, qint16(1));
    QCOMPARE(status.size(), 1);
    appSession().setConnectStatus(1); // no change, no announcement
    QCOMPARE(status.size(), 1);
    g_subCommBusySet(1);
    QCOMPARE(appSession().state().commBusy, qint16(1));
    g_subLinkStateReset();
    QCOMPARE(g_intConnectStatus, qint16(0));
    QCOMPARE(g_intCommBusy, qint16(0));
}

QTEST_MAIN(TestSessions)
#include "tst_sessions.moc"
