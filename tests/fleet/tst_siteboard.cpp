// The office view's model: what the watchers publish becomes rows, the alarms latch until
// acknowledged and, through the site monitor, each of their steps goes to the alarm log and a
// raised one rings and notifies; what a broker should not send is dropped and counted.
#include "support/AppFixture.h"

#include "fleet/SiteAlarmList.h"
#include "fleet/SiteBoard.h"
#include "fleet/SiteMonitor.h"
#include "fleet/SiteTableModel.h"
#include "platform/TextFile.h"
#include "doubles/FaultyDisk.h"

#include <QDir>
#include <QRandomGenerator>
#include <cerrno>
#include <deque>
#include <map>
#include <set>

#include <QFont>
#include <QSignalSpy>
#include <QtTest>

namespace {
QByteArray reading(const char *site, int count, const char *outputs)
{
    return QStringLiteral(R"({"site":"%1","time":"2026-12-09T05:09:44.120+09:00","count":%2,"value":%3,"unit":"V","outputs":"%4"})")
        .arg(QLatin1String(site))
        .arg(count)
        .arg(count * 0.0048875, 0, 'f', 2)
        .arg(QLatin1String(outputs))
        .toUtf8();
}
QByteArray state(const char *site, const char *st)
{
    return QStringLiteral(R"({"site":"%1","state":"%2","since":"","reason":"","title":"川辺","watchd":"w1"})")
        .arg(QLatin1String(site), QLatin1String(st))
        .toUtf8();
}
} // namespace

class tst_siteboard : public QObject {
    Q_OBJECT
private slots:
    void hostileMessagesAreDropped_data();
    void hostileMessagesAreDropped();
    void alarmsLatchUntilAcknowledged();
    void intervalFromTheReadingsTimes_data();
    void intervalFromTheReadingsTimes();
    void aQuickReadingMakesNoChatter_data();
    void aQuickReadingMakesNoChatter();
    void newStatesLateReadingsAndSiUnits();
    void aWatcherOrBrokerLostIsOneAlarm();
    void theServiceAlarmsAreShown();
    void theAlarmListNewestFirst();
    void staleValuesAreGreyedWithTheirAge();
    void theAlarmLogStartsAFileEachDay();
    void aReadingTellsOnlyTheCellsItChanged();
    void theSmallTrendStaysBounded_data();
    void theSmallTrendStaysBounded();
    void theTrendCellMatchesItsReadings();
};

void tst_siteboard::hostileMessagesAreDropped_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("not JSON") << "q/a/reading" << QByteArray("{\"site\":");
    QTest::newRow("another site's body") << "q/a/reading" << reading("b", 1, "00");
    QTest::newRow("bad name") << "q/a.b/reading" << reading("a.b", 1, "00");
    QTest::newRow("too deep") << "q/a/reading/x" << reading("a", 1, "00");
    QTest::newRow("other prefix") << "p/a/reading" << reading("a", 1, "00");
    QTest::newRow("unknown leaf") << "q/a/other" << reading("a", 1, "00");
    QTest::newRow("too large") << "q/a/reading" << QByteArray(SiteBoard::kMaxPayload + 1, ' ');
}

void tst_siteboard::hostileMessagesAreDropped()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    AppFixture f;
    SiteBoard board;
    QVERIFY(!board.takeMessage(QStringLiteral("q"), topic, payload));
    QCOMPARE(board.droppedMessages(), quint64(1));
    QVERIFY(board.rows().isEmpty());
    // The rows are bounded whatever names come.
    for (int i = 0; i < SiteBoard::kMaxRows + 10; ++i)
        board.takeMessage(QStringLiteral("q"), QStringLiteral("q/s%1/state").arg(i),
                          state(qPrintable(QStringLiteral("s%1").arg(i)), "online"));
    QCOMPARE(board.rows().size(), SiteBoard::kMaxRows);
}

void tst_siteboard::alarmsLatchUntilAcknowledged()
{
    AppFixture f;
    SiteMonitor monitor;
    SiteBoard &board = *monitor.board();
    QStringList raised;
    connect(&board, &SiteBoard::alarmRaised, this,
            [&](const QString &name, AlarmCause why) { raised << name + ':' + AlarmCauseText(why); });
    const QString q = QStringLiteral("q");
    board.takeMessage(q, "q/a/state", state("a", "online"));
    // Only ch3 is a warning stage at b: its watcher says so in the state.
    board.takeMessage(q, "q/b/state", R"({"site":"b","state":"online","watchd":"w1","warn_outputs":"3"})");
    for (int t = 0; t < 5; ++t) {
        board.takeMessage(q, "q/a/reading", reading("a", 100 + t, "00"));
        board.takeMessage(q, "q/b/reading", reading("b", 200, t == 2 ? "01" : "00"));
        f.clock.advance(1000);
    }
    QCOMPARE(board.unacknowledged(), 0); // b's ch1 is no warning stage
    board.takeMessage(q, "q/b/reading", reading("b", 200, "05"));
    board.takeMessage(q, "q/b/reading", reading("b", 200, "00")); // the cause clears, the alarm stays
    QCOMPARE(board.unacknowledged(), 1);
    QVERIFY(board.row("b")->alarm.latched);
    QVERIFY(board.row("b")->alarm.active.isEmpty());

    // a falls silent: after three intervals (the board saw 1 s between readings) it is stale.
    f.clock.advance(2500);
    QCOMPARE(board.unacknowledged(), 1);
    f.clock.advance(1500);
    QCOMPARE(board.unacknowledged(), 2);
    // Its watcher dies: the last will shows every row of that watcher as stopped, and is one
    // alarm of the watcher's.
    board.takeMessage(q, "q/watchd/w1", QByteArray(R"({"state":"offline"})"));
    QCOMPARE(BoardLinkText(board.rows()[board.indexOf("a")].link), QStringLiteral("ｻｰﾋﾞｽ停止"));
    QCOMPARE(BoardLinkText(board.rows()[board.indexOf("b")].link), QStringLiteral("ｻｰﾋﾞｽ停止"));
    QCOMPARE(board.unacknowledged(), 3);
    // Acknowledging its sites acknowledges the watcher's alarm with them.
    board.acknowledge({QStringLiteral("a"), QStringLiteral("b")}, QStringLiteral("yamada"));
    QCOMPARE(board.unacknowledged(), 0);
    QCOMPARE(raised, QStringList({"b:出力3 ON", "a:受信なし", "w1:ｻｰﾋﾞｽ停止"}));
    // Each raise rang and was sent as a notification.
    QCOMPARE(f.dlg.beeps, 3);
    QCOMPARE(f.dlg.notifications.size(), 3);
    QCOMPARE(f.dlg.notifications[1], QStringLiteral("ｻｲﾄ警報|川辺 (a): 受信なし"));
    QCOMPARE(f.dlg.notifications.last(), QStringLiteral("ｻｲﾄ警報|w1: ｻｰﾋﾞｽ停止"));
    // Seconds of readings make one slot of the small trend, ending at the newest value.
    QCOMPARE(board.sparkline(board.indexOf("a")).slotCount(), 1);
    QCOMPARE(board.sparkline(board.indexOf("a")).last(), board.row("a")->value);

    const QString text = SjisDecode(AppFixture::readFile(SiteMonitor::alarmLogPath()));
    QStringList events;
    for (const QString &line : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        events << line.section(QLatin1Char(','), 1, 4);
    QCOMPARE(events, QStringList({"b,発生,出力3 ON,", "b,解除,出力3 ON,", "a,発生,受信なし,", "b,発生,受信なし,", "w1,発生,ｻｰﾋﾞｽ停止,",
                                  "w1,確認,ｻｰﾋﾞｽ停止,yamada", "a,確認,受信なし,yamada", "b,確認,出力3 ON,yamada"}));
}

void tst_siteboard::intervalFromTheReadingsTimes_data()
{
    QTest::addColumn<int>("takenMs");   // between the times the readings were taken
    QTest::addColumn<int>("arrivedMs"); // between their arrivals
    for (int taken : {500, 1000, 5000})
        for (int arrived : {5, 50, taken / 2, taken})
            QTest::addRow("taken %d ms, arrived %d ms apart", taken, arrived) << taken << arrived;
}

void tst_siteboard::intervalFromTheReadingsTimes()
{
    // Readings that waited arrive closer together than they were taken; the site is stale
    // after three of its real intervals, not three of the gaps they arrived in.
    QFETCH(int, takenMs);
    QFETCH(int, arrivedMs);
    AppFixture f;
    SiteBoard board;
    const QDateTime t0 = QDateTime::fromString(QStringLiteral("2026-12-09T05:09:44.120+09:00"), Qt::ISODateWithMs);
    for (int k = 0; k < 5; ++k) {
        if (k)
            f.clock.advance(arrivedMs);
        const QByteArray p = QStringLiteral(R"({"site":"a","time":"%1","count":100,"value":0.49,"unit":"V","outputs":"00"})")
                                 .arg(t0.addMSecs(qint64(k) * takenMs).toString(Qt::ISODateWithMs))
                                 .toUtf8();
        QVERIFY(board.takeMessage(QStringLiteral("q"), QStringLiteral("q/a/reading"), p));
    }
    QCOMPARE(board.rows()[0].intervalMs, takenMs);
    f.clock.advance(3 * takenMs - 100);
    QCOMPARE(board.unacknowledged(), 0);
    f.clock.advance(1200);
    QCOMPARE(board.rows()[0].alarm.first, AlarmCause::Stale);
}

void tst_siteboard::aQuickReadingMakesNoChatter_data()
{
    QTest::addColumn<bool>("given"); // the watcher's state tells interval_ms
    QTest::newRow("interval given") << true;
    QTest::newRow("interval seen") << false;
}

void tst_siteboard::aQuickReadingMakesNoChatter()
{
    // A slow reply, then a quick one 0.15 s after it, then once a second again: the site is
    // never silent, and nothing is raised or logged for it.
    QFETCH(bool, given);
    AppFixture f;
    SiteBoard board;
    int steps = 0;
    connect(&board, &SiteBoard::alarmStep, this, [&] { ++steps; });
    const QString q = QStringLiteral("q");
    board.takeMessage(q, "q/a/state",
                      given ? QByteArray(R"({"site":"a","state":"online","watchd":"w1","interval_ms":1000})")
                            : state("a", "online"));
    const QDateTime t0 = QDateTime::fromString(QStringLiteral("2026-12-09T05:09:44.120+09:00"), Qt::ISODateWithMs);
    qint64 at = 0;
    auto take = [&](int afterMs) {
        f.clock.advance(afterMs);
        at += afterMs;
        board.takeMessage(q, "q/a/reading",
                          QStringLiteral(R"({"site":"a","time":"%1","count":100,"value":0.49,"unit":"V","outputs":"00"})")
                              .arg(t0.addMSecs(at).toString(Qt::ISODateWithMs))
                              .toUtf8());
    };
    for (int k = 0; k < 5; ++k)
        take(1000);
    take(1850); // a slow reply
    take(150);  // and a quick one
    for (int k = 0; k < 20; ++k)
        take(1000);
    QCOMPARE(steps, 0);
    QCOMPARE(board.unacknowledged(), 0);
    QVERIFY2(board.rows()[0].intervalMs >= 1000, QByteArray::number(board.rows()[0].intervalMs));
    // Silence is still told, past three intervals (at the next check a second).
    f.clock.advance(2900);
    QCOMPARE(board.unacknowledged(), 0);
    f.clock.advance(1200);
    QCOMPARE(board.unacknowledged(), 1);
    QCOMPARE(board.rows()[0].alarm.first, AlarmCause::Stale);
}

// What the watcher publishes now: a controller that refuses the polls or whose answers are not
// understood is 応答なし (its reason says which), a reading that waited for the broker is no
// present value, and the distance's "m" is shown as the tool writes it.
void tst_siteboard::newStatesLateReadingsAndSiUnits()
{
    AppFixture f;
    SiteBoard board;
    const QString q = QStringLiteral("q");
    for (const char *st : {"refused", "garbled"}) {
        QVERIFY(board.takeMessage(q, "q/a/state", state("a", "online")));
        QVERIFY(board.takeMessage(q, "q/a/state", state("a", st)));
        QCOMPARE(BoardLinkText(board.rows()[board.indexOf("a")].link), QStringLiteral("応答なし"));
    }
    board.takeMessage(q, "q/a/state", state("a", "online"));
    QByteArray live = reading("a", 300, "00");
    live.replace("\"unit\":\"V\"", "\"unit\":\"m\",\"late\":false");
    QVERIFY(board.takeMessage(q, "q/a/reading", live));
    const BoardRow &row = board.rows()[board.indexOf("a")];
    QCOMPARE(row.unit, QStringLiteral("M"));
    QCOMPARE(row.count, 300);
    QByteArray late = reading("a", 100, "FF");
    late.replace("\"unit\":\"V\"", "\"unit\":\"m\",\"late\":true");
    QVERIFY(board.takeMessage(q, "q/a/reading", late));
    QCOMPARE(board.rows()[board.indexOf("a")].count, 300);
    QCOMPARE(board.rows()[board.indexOf("a")].outputs, 0);
    QCOMPARE(board.unacknowledged(), 1); // 応答なし raised the row's alarm
}

// 200 sites behind one watcher: the watcher killed is one alarm, not one per site, and no
// site's silence is raised while it is away; back, each site has its true state. The broker
// lost is one alarm of the view in the same way.
void tst_siteboard::aWatcherOrBrokerLostIsOneAlarm()
{
    AppFixture f;
    SiteMonitor monitor;
    SiteBoard &board = *monitor.board();
    const QString q = QStringLiteral("q");
    int steps = 0;
    connect(&board, &SiteBoard::alarmStep, this, [&] { ++steps; });
    auto site = [](int k) { return QByteArray("s") + QByteArray::number(k); };
    auto stateOf = [&](int k, const char *st) {
        return QByteArray(R"({"site":")") + site(k) + R"(","state":")" + st + R"(","watchd":"w1","interval_ms":1000})";
    };
    board.setBrokerUp(true, QStringLiteral("mqtt://127.0.0.1:1883"));
    board.takeMessage(q, "q/watchd/w1", R"({"state":"running"})");
    auto round = [&](const char *outputs) {
        for (int k = 0; k < 200; ++k)
            board.takeMessage(q, "q/" + site(k) + "/reading", reading(site(k).constData(), 100, k == 7 ? outputs : "00"));
        f.clock.advance(1000);
    };
    for (int k = 0; k < 200; ++k)
        board.takeMessage(q, "q/" + site(k) + "/state", stateOf(k, "online"));
    for (int t = 0; t < 3; ++t)
        round("00");
    QCOMPARE(steps, 0);

    // Killed: its last will.
    board.takeMessage(q, "q/watchd/w1", R"({"state":"offline"})");
    QCOMPARE(board.unacknowledged(), 1);
    QCOMPARE(board.sourceAlarms().value("w1").first, AlarmCause::ServiceDown);
    f.clock.advance(60000);
    QCOMPARE(steps, 1);
    for (const BoardRow &r : board.rows())
        QVERIFY(r.link == BoardRow::Link::ServiceDown && r.suppressed && !r.alarm.latched);
    // Back: the states first, then "running"; s7's output 1 came on meanwhile, s9 no longer
    // answers. Those are raised, nothing else is.
    for (int k = 0; k < 200; ++k)
        board.takeMessage(q, "q/" + site(k) + "/state", stateOf(k, k == 9 ? "no-reply" : "online"));
    board.takeMessage(q, "q/watchd/w1", R"({"state":"running"})");
    for (int t = 0; t < 2; ++t)
        for (int k = 0; k < 200; ++k)
            if (k != 9)
                board.takeMessage(q, "q/" + site(k) + "/reading", reading(site(k).constData(), 100, k == 7 ? "01" : "00"));
    QCOMPARE(board.row("s9")->link, BoardRow::Link::NoReply);
    QVERIFY(board.row("s7")->alarm.latched && board.row("s9")->alarm.latched);
    QCOMPARE(board.unacknowledged(), 3);
    f.clock.advance(2000);
    QCOMPARE(board.unacknowledged(), 3);

    // The broker lost: one alarm, every site 未接続 and silent without an alarm.
    board.acknowledge({"w1", "s7", "s9"}, "sato");
    QCOMPARE(board.unacknowledged(), 0);
    const int before = steps;
    board.setBrokerUp(false, QStringLiteral("mqtt://127.0.0.1:1883"));
    board.setBrokerUp(false, QStringLiteral("mqtt://127.0.0.1:1883")); // each retry says so again
    f.clock.advance(90000);
    QCOMPARE(board.unacknowledged(), 1);
    QCOMPARE(BoardLinkText(board.row("s1")->link), QStringLiteral("未接続"));
    // Back: the retained states come with the subscription; silence counts from the connect.
    board.setBrokerUp(true, QStringLiteral("mqtt://127.0.0.1:1883"));
    for (int k = 0; k < 200; ++k)
        board.takeMessage(q, "q/" + site(k) + "/state", stateOf(k, "online"));
    f.clock.advance(2000);
    QCOMPARE(board.unacknowledged(), 1);
    QCOMPARE(steps - before, 3); // the broker's raise and clear; s9's no-reply cleared
    QCOMPARE(board.row("s1")->link, BoardRow::Link::Online);
}

// A site whose watcher publishes its alarms shows the service's states, not the view's own
// latch: each in words and colour, counted while unacknowledged, a new one rung; an older
// list changes nothing, a hostile one is dropped; 確認 without the broker's user is refused
// with the reason.
void tst_siteboard::theServiceAlarmsAreShown()
{
    AppFixture f;
    SiteMonitor monitor;
    SiteBoard &board = *monitor.board();
    SiteTableModel model(&board);
    const QString q = QStringLiteral("q");
    QStringList told;
    connect(&monitor, &SiteMonitor::commandTold, this, [&](const QString &t) { told << t; });
    board.takeMessage(q, "q/a/state", state("a", "online"));
    const QDateTime now = Now();
    auto alarms = [&](quint64 seq, QList<Alarm> list) {
        SiteAlarms s;
        s.site = QStringLiteral("a");
        s.seq = seq;
        s.alarms = list;
        return AlarmsPayload(s);
    };
    Alarm out1;
    out1.cause = AlarmCause::Output1;
    out1.core = AlarmState::Unack;
    out1.active = true;
    out1.raised = now;
    QVERIFY(board.takeMessage(q, "q/a/alarms", alarms(10, {out1})));
    // The view's own reading of output 1 adds no alarm of its own.
    board.takeMessage(q, "q/a/reading", reading("a", 100, "01"));
    QCOMPARE(board.unacknowledged(), 1);
    QCOMPARE(f.dlg.beeps, 1);
    const QModelIndex cell = model.index(0, SiteTableModel::ColAlarm);
    QCOMPARE(cell.data().toString(), QStringLiteral("未確認 出力1 ON"));
    QCOMPARE(cell.data(Qt::AccessibleTextRole).toString(), QStringLiteral("未確認 出力1 ON"));
    QCOMPARE(cell.data(Qt::BackgroundRole).value<QColor>(), QColor(0xD0, 0x10, 0x10));
    // Acknowledged on another PC: red text, not counted, no new bell.
    out1.core = AlarmState::Acked;
    out1.ackedBy = QStringLiteral("sato");
    QVERIFY(board.takeMessage(q, "q/a/alarms", alarms(11, {out1})));
    QCOMPARE(board.unacknowledged(), 0);
    QCOMPARE(cell.data().toString(), QStringLiteral("確認済 出力1 ON"));
    QVERIFY(!cell.data(Qt::BackgroundRole).isValid());
    QCOMPARE(cell.data(Qt::ForegroundRole).value<QColor>(), QColor(0xC0, 0x00, 0x00));
    QCOMPARE(board.active(), 1);
    // A list older than the one held (a retained one that crossed) changes nothing.
    out1.core = AlarmState::Unack;
    QVERIFY(board.takeMessage(q, "q/a/alarms", alarms(9, {out1})));
    QCOMPARE(cell.data().toString(), QStringLiteral("確認済 出力1 ON"));
    // Returned unacknowledged: yellow; shelved: grey with the time left.
    out1.core = AlarmState::Rtnun;
    out1.active = false;
    Alarm quiet;
    quiet.cause = AlarmCause::NoReply;
    quiet.shelvedBy = QStringLiteral("suzuki");
    quiet.shelvedUntil = now.addSecs(15 * 60);
    QVERIFY(board.takeMessage(q, "q/a/alarms", alarms(12, {out1, quiet})));
    QCOMPARE(board.unacknowledged(), 1);
    QCOMPARE(cell.data().toString(), QStringLiteral("復帰未確認 出力1 ON, 抑制中 (残り15分) 応答なし"));
    QCOMPARE(cell.data(Qt::BackgroundRole).value<QColor>(), QColor(0xF0, 0xD0, 0x30));
    QCOMPARE(f.dlg.beeps, 1);
    // 確認 of such a site without a broker: refused here, with the reason.
    monitor.acknowledge({QStringLiteral("a")});
    QCOMPARE(told, QStringList{QStringLiteral("確認できません: ﾌﾞﾛｰｶ未設定")});
    QCOMPARE(board.unacknowledged(), 1);
    // Hostile lists are dropped, and change nothing.
    const quint64 dropped = board.droppedMessages();
    QVERIFY(!board.takeMessage(q, "q/a/alarms", "{\"site\":\"a\",\"seq\":13,\"alarms\":[{\"cause\":\"output9\"}]}"));
    QVERIFY(!board.takeMessage(q, "q/a/alarms", alarms(14, {out1}).replace("\"site\":\"a\"", "\"site\":\"b\"")));
    QVERIFY(!board.takeMessage(q, "q/a/alarms", QByteArray(SiteBoard::kMaxAlarmsPayload + 1, ' ')));
    QCOMPARE(board.droppedMessages(), dropped + 3);
    QCOMPARE(board.unacknowledged(), 1);
    // All normal again.
    QVERIFY(board.takeMessage(q, "q/a/alarms", alarms(15, {})));
    QCOMPARE(board.unacknowledged(), 0);
    QCOMPARE(cell.data().toString(), QString());
}

// 警報一覧: every alarm not normal, the service's and the view's own, newest first, in the
// states' words; many changes at once make the list once; sorted by 警報, alarm rows first.
void tst_siteboard::theAlarmListNewestFirst()
{
    AppFixture f;
    SiteMonitor monitor;
    SiteBoard &board = *monitor.board();
    SiteTableModel model(&board);
    SiteAlarmList list(&board);
    QSignalSpy resets(&list, &QAbstractItemModel::modelReset);
    const QString q = QStringLiteral("q");
    const QDateTime now = Now();
    const auto alarm = [](AlarmCause c, AlarmState core, bool active, const QDateTime &raised) {
        Alarm a;
        a.cause = c;
        a.core = core;
        a.active = active;
        a.raised = raised;
        return a;
    };
    const auto publish = [&](const char *site, quint64 seq, QList<Alarm> alarms) {
        SiteAlarms s;
        s.site = QLatin1String(site);
        s.seq = seq;
        s.alarms = alarms;
        return board.takeMessage(q, QStringLiteral("q/%1/alarms").arg(QLatin1String(site)), AlarmsPayload(s));
    };
    for (const char *site : {"a", "b", "c"})
        board.takeMessage(q, QStringLiteral("q/%1/state").arg(QLatin1String(site)), state(site, "online"));
    Alarm shelved = alarm(AlarmCause::NoReply, AlarmState::Unack, true, now.addSecs(-60));
    shelved.shelvedBy = QStringLiteral("suzuki");
    shelved.shelvedUntil = now.addSecs(15 * 60);
    QVERIFY(publish("a", 5, {alarm(AlarmCause::Output1, AlarmState::Unack, true, now.addSecs(-120)), shelved}));
    QVERIFY(publish("b", 5, {alarm(AlarmCause::Output2, AlarmState::Rtnun, false, now.addSecs(-30))}));
    f.clock.advance(1000);
    QCOMPARE(list.rowCount(), 3);
    // Site c keeps no service: the view's own latch, raised now; its outputs 1 and 2 at once.
    const qsizetype before = resets.size();
    board.takeMessage(q, "q/c/reading", reading("c", 100, "03"));
    QCOMPARE(list.rowCount(), 3); // made at the next turn of the event loop ...
    QCoreApplication::processEvents();
    QCOMPARE(resets.size(), before + 1); // ... once, for both raises
    const auto lines = [&] {
        QStringList out;
        for (int r = 0; r < list.rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < SiteAlarmList::ColumnCount; ++c)
                cells << list.index(r, c).data().toString();
            out << cells.join(QLatin1Char('|'));
        }
        return out;
    };
    const auto at = [](const QDateTime &t) { return t.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")); };
    QCOMPARE(lines(), (QStringList{at(now.addSecs(1)) + "|川辺|出力1 ON|未確認", at(now.addSecs(1)) + "|川辺|出力2 ON|未確認",
                                   at(now.addSecs(-30)) + "|川辺|出力2 ON|復帰未確認",
                                   at(now.addSecs(-60)) + "|川辺|応答なし|抑制中 (残り15分)",
                                   at(now.addSecs(-120)) + "|川辺|出力1 ON|未確認"}));
    QCOMPARE(list.index(0, SiteAlarmList::ColSite).data(SiteAlarmList::kNameRole).toString(), QStringLiteral("c"));
    QCOMPARE(list.index(0, SiteAlarmList::ColState).data(Qt::AccessibleTextRole).toString(), QStringLiteral("未確認"));
    QCOMPARE(list.index(2, 0).data(Qt::BackgroundRole).value<QColor>(), QColor(0xF0, 0xD0, 0x30));
    QCOMPARE(list.headerData(SiteAlarmList::ColRaised, Qt::Horizontal).toString(), QStringLiteral("発生時刻"));
    // The time left of a shelve counts down with the minutes.
    f.clock.advance(5 * 60 * 1000);
    QCOMPARE(list.index(3, SiteAlarmList::ColState).data().toString(), QStringLiteral("抑制中 (残り10分)"));

    // Sorted by 警報 (the header starts descending): the alarm rows first, the newest of a
    // state first, an acknowledged one after the unacknowledged, a quiet row last.
    board.takeMessage(q, "q/d/state", state("d", "online"));
    QCOMPARE(model.headerData(SiteTableModel::ColAlarm, Qt::Horizontal, Qt::InitialSortOrderRole).toInt(),
             int(Qt::DescendingOrder));
    const auto key = [&](const char *site) {
        return model.index(board.indexOf(QLatin1String(site)), SiteTableModel::ColAlarm).data(SiteTableModel::kSortRole).toDouble();
    };
    QVERIFY(key("c") > key("a"));
    QVERIFY(key("a") > key("b"));
    QVERIFY(key("b") > key("d"));

    // c acknowledged while its output holds: 確認済; the output off: gone from the list.
    board.acknowledge({QStringLiteral("c")}, QStringLiteral("sato"));
    QCoreApplication::processEvents();
    QCOMPARE(lines().mid(0, 2), (QStringList{at(now.addSecs(1)) + "|川辺|出力1 ON|確認済", at(now.addSecs(1)) + "|川辺|出力2 ON|確認済"}));
    QVERIFY(key("c") < key("b"));
    board.takeMessage(q, "q/c/reading", reading("c", 100, "00"));
    QVERIFY(publish("b", 6, {}));
    QCoreApplication::processEvents();
    QCOMPARE(list.rowCount(), 2);
    QVERIFY(!lines().join(QLatin1Char(' ')).contains(QStringLiteral("出力2")));
}

// The values of a row whose link is gone (切断, 未接続) are greyed, and told with their age
// to the ear and the pointer; the cell itself still shows the value; a lamp names its output.
void tst_siteboard::staleValuesAreGreyedWithTheirAge()
{
    AppFixture f;
    SiteBoard board;
    SiteTableModel model(&board);
    const QString q = QStringLiteral("q");
    board.setBrokerUp(true, QStringLiteral("mqtt://127.0.0.1:1883"));
    board.takeMessage(q, "q/a/state", state("a", "online"));
    board.takeMessage(q, "q/a/reading", reading("a", 400, "00"));
    const QModelIndex value = model.index(0, SiteTableModel::ColValue), lamps = model.index(0, SiteTableModel::ColOutputs);
    const QString shown = value.data().toString();
    QCOMPARE(shown, QStringLiteral("1.96 V"));
    QVERIFY(!value.data(SiteTableModel::kStaleRole).toBool());
    QCOMPARE(value.data(Qt::AccessibleTextRole).toString(), shown);
    QVERIFY(!value.data(Qt::ForegroundRole).isValid());
    QVERIFY(!value.data(Qt::ToolTipRole).isValid());

    board.takeMessage(q, "q/a/state", state("a", "lost"));
    f.clock.advance(65 * 1000);
    QCOMPARE(model.index(0, SiteTableModel::ColLink).data().toString(), QStringLiteral("切断"));
    QVERIFY(value.data(SiteTableModel::kStaleRole).toBool());
    QCOMPARE(value.data().toString(), shown);
    QCOMPARE(value.data(Qt::AccessibleTextRole).toString(), shown + QStringLiteral(" (古い値 1分05秒前)"));
    QCOMPARE(value.data(Qt::ToolTipRole).toString(), shown + QStringLiteral(" (古い値 1分05秒前)"));
    QVERIFY(lamps.data(Qt::AccessibleTextRole).toString().endsWith(QStringLiteral("出力8 OFF (古い値 1分05秒前)")));
    QVERIFY(model.index(0, SiteTableModel::ColTrend).data(Qt::AccessibleTextRole).toString().endsWith(QStringLiteral(" (古い値 1分05秒前)")));
    // The site's name and its link are no values: told as before.
    QCOMPARE(model.index(0, SiteTableModel::ColSite).data(Qt::AccessibleTextRole).toString(), QStringLiteral("川辺"));
    // Grey where no alarm colours the row: the loss's alarm acknowledged.
    QCOMPARE(value.data(Qt::ForegroundRole).value<QColor>(), QColor(Qt::white));
    board.acknowledge({QStringLiteral("a")}, QStringLiteral("sato"));
    QCOMPARE(value.data(Qt::ForegroundRole).value<QColor>(), QColor(0x80, 0x80, 0x80));
    QVERIFY(value.data(Qt::FontRole).value<QFont>().italic());
    QVERIFY(!model.index(0, SiteTableModel::ColSite).data(Qt::FontRole).isValid());
    // The link back: current again.
    board.takeMessage(q, "q/a/state", state("a", "online"));
    board.takeMessage(q, "q/a/reading", reading("a", 400, "00"));
    QVERIFY(!value.data(SiteTableModel::kStaleRole).toBool());
    QCOMPARE(value.data(Qt::AccessibleTextRole).toString(), shown);
    // The broker lost: 未接続, its values stale as well.
    board.setBrokerUp(false, QStringLiteral("mqtt://127.0.0.1:1883"));
    f.clock.advance(3000);
    QCOMPARE(model.index(0, SiteTableModel::ColLink).data().toString(), QStringLiteral("未接続"));
    QCOMPARE(value.data(Qt::AccessibleTextRole).toString(), shown + QStringLiteral(" (古い値 3秒前)"));

    QCOMPARE(SiteTableModel::lampText(0x04, 3), QStringLiteral("出力3: ON"));
    QCOMPARE(SiteTableModel::lampText(0x04, 4), QStringLiteral("出力4: OFF"));
    QCOMPARE(SiteTableModel::lampText(-1, 1), QStringLiteral("出力1: -"));
}

// sitealarm.log holds today's lines: at the first line of a new day the file is moved aside
// (through the disk service) as sitealarmYYYYMMDD.log of the day it holds. Across midnight
// on the virtual clock, through a move that failed once (tried again at the next line, the
// lines going on into the log meanwhile) and a run started the next day (the day told by the
// file's last line), no line is lost or doubled.
void tst_siteboard::theAlarmLogStartsAFileEachDay()
{
    AppFixture f;
    FaultyDisk disk; // fails nothing but the renames it is told to, and counts
    const auto setNow = [&](const QDateTime &at) { f.clock.setBase(at.addMSecs(-(f.clock.nowUs() / 1000))); };
    setNow(QDateTime(QDate(2026, 12, 9), QTime(23, 59, 58)));
    const QString q = QStringLiteral("q");
    QStringList expected; // every line, as the log writes it, in order
    bool on = false;
    const auto start = [&](SiteMonitor &m) {
        connect(m.board(), &SiteBoard::alarmStep, this, [&](const QString &site, AlarmStep step, AlarmCause c, const QString &user) {
            expected << Now().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) + "," + site + "," + AlarmStepText(step) + "," +
                            AlarmCauseText(c) + "," + user;
        });
        m.board()->takeMessage(q, "q/a/state", state("a", "online"));
    };
    // Output 1 on or off: a line each time.
    const auto toggle = [&](SiteMonitor &m) {
        on = !on;
        const qsizetype before = expected.size();
        m.board()->takeMessage(q, "q/a/reading", reading("a", 100, on ? "01" : "00"));
        QVERIFY(expected.size() > before);
    };
    const auto lines = [](const QString &path) {
        return SjisDecode(AppFixture::readFile(path)).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    };
    {
        auto monitor = std::make_unique<SiteMonitor>();
        start(*monitor);
        toggle(*monitor); // 23:59:58
        f.clock.advance(1000);
        toggle(*monitor); // 23:59:59
        QVERIFY(!QFileInfo::exists(SiteMonitor::alarmLogPath(QDate(2026, 12, 9))));
        f.clock.advance(2000);
        QCOMPARE(disk.renames, 0);
        toggle(*monitor); // 00:00:01 of the 10th: the 9th's file aside
        QCOMPARE(disk.renames, 1);
        QCOMPARE(lines(SiteMonitor::alarmLogPath(QDate(2026, 12, 9))), expected.mid(0, 2));
        QCOMPARE(lines(SiteMonitor::alarmLogPath()), expected.mid(2));
        f.clock.advance(1000);
        toggle(*monitor);
        QCOMPARE(disk.renames, 1); // once a day

        // The 11th, and the move refused: the line still goes to the log; the next line moves it.
        setNow(QDateTime(QDate(2026, 12, 11), QTime(8, 0, 0)));
        disk.renameError = EACCES;
        toggle(*monitor);
        QCOMPARE(disk.renames, 2);
        QVERIFY(!QFileInfo::exists(SiteMonitor::alarmLogPath(QDate(2026, 12, 10))));
        disk.renameError = 0;
        f.clock.advance(1000);
        toggle(*monitor);
        QCOMPARE(disk.renames, 3);
        QVERIFY(QFileInfo::exists(SiteMonitor::alarmLogPath(QDate(2026, 12, 10))));
        QCOMPARE(lines(SiteMonitor::alarmLogPath()), QStringList{expected.last()});
    }
    // A run on the 12th finds the 11th's log: moved aside at its first line under the day its
    // last line tells.
    setNow(QDateTime(QDate(2026, 12, 12), QTime(7, 30, 0)));
    {
        SiteMonitor monitor;
        start(monitor);
        on = false;
        toggle(monitor);
    }
    QCOMPARE(lines(SiteMonitor::alarmLogPath(QDate(2026, 12, 11))).size(), 1);
    // Every line once, each day's lines in its day's file (the refused move's line with the 10th).
    QStringList all;
    for (const QDate &d : {QDate(2026, 12, 9), QDate(2026, 12, 10), QDate(2026, 12, 11)})
        all += lines(SiteMonitor::alarmLogPath(d));
    all += lines(SiteMonitor::alarmLogPath());
    QCOMPARE(all, expected);
    QVERIFY(lines(SiteMonitor::alarmLogPath(QDate(2026, 12, 9))).join(QLatin1Char(' ')).count(QStringLiteral("2026/12/09")) == 2);
    QVERIFY(lines(SiteMonitor::alarmLogPath()).first().startsWith(QStringLiteral("2026/12/12 07:30:00,a,発生,出力1 ON")));
    QCOMPARE(QDir(QFileInfo(SiteMonitor::alarmLogPath()).path()).entryList({"sitealarm*"}, QDir::Files).size(), 4);
}


namespace {
QString siteAt(int i) { return QStringLiteral("s%1").arg(i, 3, 10, QLatin1Char('0')); }
QByteArray readingOf(const QString &site, double value, const char *outputs)
{
    return QStringLiteral(R"({"site":"%1","count":512,"value":%2,"unit":"V","outputs":"%3"})")
        .arg(site)
        .arg(value, 0, 'f', 2)
        .arg(QLatin1String(outputs))
        .toUtf8();
}
// The cells a spy of dataChanged saw, as (row, column); a signal over more than one cell
// counts as each of them, and is also counted in *ranges.
std::multiset<std::pair<int, int>> cellsOf(const QSignalSpy &spy, int *ranges = nullptr)
{
    std::multiset<std::pair<int, int>> cells;
    for (const QList<QVariant> &args : spy) {
        const QModelIndex a = args[0].value<QModelIndex>(), b = args[1].value<QModelIndex>();
        if (ranges && a != b)
            ++*ranges;
        for (int r = a.row(); r <= b.row(); ++r)
            for (int c = a.column(); c <= b.column(); ++c)
                cells.insert({r, c});
    }
    return cells;
}
} // namespace

// A thousand sites: a reading tells the views the cells it changed, one signal a cell (its
// value, its trend, its age; its lamps when they changed), never the rest of the row and never
// the other rows; a change of the row's colours (an alarm) tells the whole row; nothing
// changes the layout or resets the model.
void tst_siteboard::aReadingTellsOnlyTheCellsItChanged()
{
    AppFixture f;
    SiteBoard board;
    SiteTableModel model(&board);
    constexpr int kSites = 1000;
    // ch1 is no warning stage: its lamp changes, no alarm comes of it.
    for (int i = 0; i < kSites; ++i) {
        const QString s = siteAt(i);
        QVERIFY(board.takeMessage("q", "q/" + s + "/state",
                                  QStringLiteral(R"({"site":"%1","state":"online","title":"観測所%2","watchd":"w1","warn_outputs":"2,3,4,5,6,7,8","interval_ms":1000})")
                                      .arg(s)
                                      .arg(i + 1)
                                      .toUtf8()));
        QVERIFY(board.takeMessage("q", "q/" + s + "/reading", readingOf(s, 1.0, "00")));
    }
    QCOMPARE(model.rowCount(), kSites);
    f.clock.advance(200); // not a whole second: the ages' own refresh does not come between
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy layout(&model, &QAbstractItemModel::layoutChanged);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);

    // Every site a new value: three cells of each row, each a signal of its own.
    for (int i = 0; i < kSites; ++i)
        QVERIFY(board.takeMessage("q", "q/" + siteAt(i) + "/reading", readingOf(siteAt(i), 2.0 + i / 1000.0, "00")));
    int ranges = 0;
    std::multiset<std::pair<int, int>> want;
    for (int i = 0; i < kSites; ++i)
        for (int c : {SiteTableModel::ColValue, SiteTableModel::ColTrend, SiteTableModel::ColAge})
            want.insert({board.indexOf(siteAt(i)), c});
    QCOMPARE(changed.size(), 3 * kSites);
    QVERIFY(cellsOf(changed, &ranges) == want);
    QCOMPARE(ranges, 0);

    // The same value again, later: its age only.
    changed.clear();
    f.clock.advance(300);
    const int row = board.indexOf(siteAt(500));
    QVERIFY(board.takeMessage("q", "q/s500/reading", readingOf("s500", 2.5, "00")));
    QVERIFY((cellsOf(changed) == std::multiset<std::pair<int, int>>{{row, SiteTableModel::ColAge}}));
    // At the same moment, a lamp that is no warning stage: the lamps only.
    changed.clear();
    QVERIFY(board.takeMessage("q", "q/s500/reading", readingOf("s500", 2.5, "01")));
    QVERIFY((cellsOf(changed) == std::multiset<std::pair<int, int>>{{row, SiteTableModel::ColOutputs}}));
    QVERIFY(model.index(row, SiteTableModel::ColOutputs).data().toString().startsWith(QStringLiteral("出力1 ON, 出力2 OFF")));
    // A state message that changes nothing tells nothing.
    changed.clear();
    QVERIFY(board.takeMessage("q", "q/s500/state",
                              QByteArray(R"({"site":"s500","state":"online","title":"観測所501","watchd":"w1","warn_outputs":"2,3,4,5,6,7,8","interval_ms":1000})")));
    QCOMPARE(changed.size(), 0);
    // A warning stage's output: the row turns red, one signal over the whole row.
    QVERIFY(board.takeMessage("q", "q/s500/reading", readingOf("s500", 2.5, "03")));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed[0][0].value<QModelIndex>(), model.index(row, 0));
    QCOMPARE(changed[0][1].value<QModelIndex>(), model.index(row, SiteTableModel::ColumnCount - 1));
    QCOMPARE(model.index(row, SiteTableModel::ColValue).data(Qt::BackgroundRole).value<QColor>(), QColor(0xD0, 0x10, 0x10));
    // Its acknowledgement: the row's colours go, the whole row again; the alarm's words stay
    // while the cause holds.
    changed.clear();
    board.acknowledge({QStringLiteral("s500")}, QStringLiteral("yamada"));
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed[0][1].value<QModelIndex>(), model.index(row, SiteTableModel::ColumnCount - 1));
    QVERIFY(!model.index(row, SiteTableModel::ColValue).data(Qt::BackgroundRole).isValid());
    // A new title: the サイト cell.
    changed.clear();
    QVERIFY(board.takeMessage("q", "q/s501/state",
                              QByteArray(R"({"site":"s501","state":"online","title":"観測所502 上流","watchd":"w1","warn_outputs":"2,3,4,5,6,7,8","interval_ms":1000})")));
    QVERIFY((cellsOf(changed) == std::multiset<std::pair<int, int>>{{board.indexOf("s501"), SiteTableModel::ColSite}}));
    // Once a second the ages of every row, as one signal over the column.
    changed.clear();
    f.clock.advance(1000);
    QCOMPARE(changed.size(), 1);
    QCOMPARE(changed[0][0].value<QModelIndex>(), model.index(0, SiteTableModel::ColAge));
    QCOMPARE(changed[0][1].value<QModelIndex>(), model.index(kSites - 1, SiteTableModel::ColAge));
    QCOMPARE(layout.size(), 0);
    QCOMPARE(reset.size(), 0);
    QCOMPARE(inserted.size(), 0);
}

void tst_siteboard::theSmallTrendStaysBounded_data()
{
    QTest::addColumn<qint64>("stepMs");
    QTest::addColumn<qint64>("spanMs");
    QTest::newRow("1 s, 40 min") << qint64(1000) << qint64(40 * 60 * 1000);
    QTest::newRow("1 s, 5 h") << qint64(1000) << qint64(5 * 3600 * 1000);
    QTest::newRow("20 ms, 2 h") << qint64(20) << qint64(2 * 3600 * 1000);
    QTest::newRow("1 min, 3 days") << qint64(60 * 1000) << qint64(3 * 86400LL * 1000);
    QTest::newRow("7 min, 1 day") << qint64(7 * 60 * 1000) << qint64(86400LL * 1000);
}

// However long it was fed and however often, the small trend holds at most a slot a minute
// for the hour and draws at most two points a slot and the newest value; each slot's lowest
// and highest are those of a plain scan of the readings of its minute, in the order they
// came, and the whole trend's are those of the last hour's readings.
void tst_siteboard::theSmallTrendStaysBounded()
{
    QFETCH(qint64, stepMs);
    QFETCH(qint64, spanMs);
    Sparkline line;
    QRandomGenerator random(quint32(stepMs + spanMs));
    // The readings of the last hour and a slot more, for the plain scan.
    std::deque<std::pair<qint64, double>> kept;
    const qint64 t0 = 1234567; // the elapsed clock does not start at a slot's edge
    int checks = 0;
    // Some sixty looks, at steps that fall anywhere in a slot.
    const qint64 stride = spanMs / stepMs / 60 + 7;
    for (qint64 t = t0; t < t0 + spanMs; t += stepMs) {
        const double v = std::round((5 + 3 * std::sin(double(t) / 7e5) + random.bounded(1.0)) * 100) / 100;
        line.add(t, v);
        kept.emplace_back(t, v);
        while (kept.front().first < t - Sparkline::kSpanMs - Sparkline::kSlotMs)
            kept.pop_front();
        QVERIFY(line.slotCount() <= Sparkline::kSlots);
        if ((t - t0) / stepMs % stride != 0 && t + stepMs < t0 + spanMs)
            continue;
        ++checks;
        // The plain scan, slot by slot, of the slots the trend still holds.
        const qint64 newest = t / Sparkline::kSlotMs;
        std::map<qint64, std::pair<double, double>> bySlot;
        std::map<qint64, std::pair<qint64, qint64>> when;
        for (const auto &[ms, value] : kept) {
            const qint64 slot = ms / Sparkline::kSlotMs;
            if (slot <= newest - Sparkline::kSlots)
                continue;
            auto it = bySlot.find(slot);
            if (it == bySlot.end()) {
                bySlot[slot] = {value, value};
                when[slot] = {ms, ms};
                continue;
            }
            if (value < it->second.first) {
                it->second.first = value;
                when[slot].first = ms;
            }
            if (value > it->second.second) {
                it->second.second = value;
                when[slot].second = ms;
            }
        }
        QCOMPARE(line.slotCount(), int(bySlot.size()));
        double lo = 1e300, hi = -1e300;
        int k = 0;
        for (const auto &[slot, range] : bySlot) {
            const Sparkline::Slot &got = line.slotAt(k++);
            QCOMPARE(got.slot, slot);
            QCOMPARE(got.min, range.first);
            QCOMPARE(got.max, range.second);
            QCOMPARE(got.minMs, when[slot].first);
            QCOMPARE(got.maxMs, when[slot].second);
            lo = std::min(lo, range.first);
            hi = std::max(hi, range.second);
        }
        QCOMPARE(line.min(), lo);
        QCOMPARE(line.max(), hi);
        QCOMPARE(line.last(), v);
        const QList<QPointF> pts = line.points();
        QVERIFY(pts.size() <= 2 * Sparkline::kSlots + 1);
        QVERIFY(pts.size() >= line.slotCount());
        for (qsizetype i = 1; i < pts.size(); ++i)
            QVERIFY(pts[i].x() >= pts[i - 1].x());
        QCOMPARE(pts.last(), QPointF(double(t), v));
        QVERIFY(pts.first().x() >= double((newest - Sparkline::kSlots + 1) * Sparkline::kSlotMs));
    }
    QVERIFY(checks > 10);
    QVERIFY(Sparkline::bytes() < 4096);
}

// Through the board, on its clock: an hour and a half of readings a second; the trend cell's
// words (for assistive technology) and its sort value are those of a plain scan of the last
// hour's readings, and a row draws no more points for it than the bound.
void tst_siteboard::theTrendCellMatchesItsReadings()
{
    AppFixture f;
    SiteBoard board;
    SiteTableModel model(&board);
    QVERIFY(board.takeMessage("q", "q/a/state", state("a", "online")));
    QList<std::pair<qint64, double>> all;
    for (int s = 0; s < 5400; ++s) {
        const double v = (s % 600) / 100.0 + (s == 4000 ? 20 : 0);
        QVERIFY(board.takeMessage("q", "q/a/reading", readingOf("a", v, "00")));
        all << std::pair<qint64, double>(clockService().elapsedMs(), v);
        f.clock.advance(1000);
    }
    const Sparkline &line = board.sparkline(board.indexOf("a"));
    const qint64 oldest = (all.last().first / Sparkline::kSlotMs - Sparkline::kSlots + 1) * Sparkline::kSlotMs;
    double lo = 1e300, hi = -1e300;
    for (const auto &[ms, v] : all)
        if (ms >= oldest) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    QCOMPARE(hi, 20 + (4000 % 600) / 100.0); // the spike is in the hour
    const QModelIndex trend = model.index(board.indexOf("a"), SiteTableModel::ColTrend);
    QCOMPARE(trend.data(Qt::AccessibleTextRole).toString(),
             QStringLiteral("最小 %1 最大 %2 V").arg(lo, 0, 'f', 2).arg(hi, 0, 'f', 2));
    QCOMPARE(trend.data(SiteTableModel::kSortRole).toDouble(), all.last().second);
    const QList<QPointF> pts = trend.data(SiteTableModel::kTrendRole).value<QList<QPointF>>();
    QVERIFY(pts.size() <= 2 * Sparkline::kSlots + 1);
    QVERIFY(std::any_of(pts.begin(), pts.end(), [&](const QPointF &p) { return p.y() == hi; }));
    QCOMPARE(board.sparklineBytes(board.indexOf("a")), Sparkline::bytes());
}

QTEST_MAIN(tst_siteboard)
#include "tst_siteboard.moc"
