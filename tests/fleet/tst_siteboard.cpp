// The office view's model: what the watchers publish becomes rows, the alarms latch until
// acknowledged and, through the site monitor, each of their steps goes to the alarm log and a
// raised one rings and notifies; what a broker should not send is dropped and counted.
#include "support/AppFixture.h"

#include "fleet/SiteBoard.h"
#include "fleet/SiteMonitor.h"
#include "platform/TextFile.h"

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
    void newStatesLateReadingsAndSiUnits();
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
    // Its watcher dies: the last will shows every row of that watcher as stopped.
    board.takeMessage(q, "q/watchd/w1", QByteArray(R"({"state":"offline"})"));
    QCOMPARE(BoardLinkText(board.rows()[board.indexOf("a")].link), QStringLiteral("ｻｰﾋﾞｽ停止"));
    QCOMPARE(BoardLinkText(board.rows()[board.indexOf("b")].link), QStringLiteral("ｻｰﾋﾞｽ停止"));
    board.acknowledge({QStringLiteral("a"), QStringLiteral("b")}, QStringLiteral("yamada"));
    QCOMPARE(board.unacknowledged(), 0);
    QCOMPARE(raised, QStringList({"b:出力3 ON", "a:受信なし"}));
    // Each raise rang and was sent as a notification.
    QCOMPARE(f.dlg.beeps, 2);
    QCOMPARE(f.dlg.notifications.size(), 2);
    QCOMPARE(f.dlg.notifications.last(), QStringLiteral("ｻｲﾄ警報|川辺 (a): 受信なし"));
    // Five seconds of readings make one point of the small trend, holding the newest value.
    QCOMPARE(board.sparkline(board.indexOf("a")).size(), 1);
    QCOMPARE(board.sparkline(board.indexOf("a")).last().second, board.row("a")->value);

    const QString text = SjisDecode(AppFixture::readFile(SiteMonitor::alarmLogPath()));
    QStringList events;
    for (const QString &line : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        events << line.section(QLatin1Char(','), 1, 4);
    QCOMPARE(events, QStringList({"b,発生,出力3 ON,", "b,解除,出力3 ON,", "a,発生,受信なし,", "b,発生,受信なし,", "a,発生,ｻｰﾋﾞｽ停止,",
                                  "b,発生,ｻｰﾋﾞｽ停止,", "a,確認,受信なし,yamada", "b,確認,出力3 ON,yamada"}));
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

QTEST_MAIN(tst_siteboard)
#include "tst_siteboard.moc"
