// The office view's history on request, on the virtual clock: the view's request is one the
// watcher's history server takes; the answer's chunks, from the watcher's CSV files across
// midnight, go into the site's series before the live readings, none twice, in order, shown
// as they come; foreign, repeated and hostile answers change nothing, and a fetch is bounded
// in chunks, readings, time and number.
#include "support/AppFixture.h"

#include "fleet/HistoryFetch.h"
#include "fleet/HistoryServer.h"
#include "fleet/SiteBoard.h"
#include "fleet/SiteMonitor.h"
#include "logfiler/modLogReader.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {
QString folder()
{
    return QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-historyfetch-%1").arg(QCoreApplication::applicationPid()));
}

// What the series should hold of a reading.
struct Expected {
    qint64 ms;
    quint16 raw;
    quint8 outputs;
};
quint16 raw(int hundredths) { return quint16(hundredths + kHundredthsZero); }

// A log file as the watcher writes it, a line a second from t0; line i holds i hundredths and
// the outputs i % 256 (eight digits, ch1 first). The lines before cut are expected.
QByteArray logFile(const QDateTime &t0, int lines, int first, std::vector<Expected> *expected, const QDateTime &cut)
{
    QByteArray f = "/** Logging Start **/\r\nTime :," + t0.toString("yyyy/MM/dd, HH:mm:ss").toLatin1() + "\r\n";
    for (int k = 0; k < lines; ++k) {
        const int i = first + k;
        const QDateTime t = t0.addSecs(k);
        QString bits;
        for (int b = 0; b < 8; ++b)
            bits += ((i % 256) >> b) & 1 ? QLatin1Char('1') : QLatin1Char('0');
        f += QStringLiteral("%1, %2, %3.%4,V, %5\r\n")
                 .arg(k + 1, 6, 10, QLatin1Char('0'))
                 .arg(t.toString("yyyy/MM/dd, HH:mm:ss"))
                 .arg(i / 100 % 100, 2, 10, QLatin1Char('0'))
                 .arg(i % 100, 2, 10, QLatin1Char('0'))
                 .arg(bits)
                 .toLatin1();
        if (expected && t < cut)
            expected->push_back({t.toMSecsSinceEpoch(), raw(i % 10000), quint8(i % 256)});
    }
    return f;
}

// A live reading as the watcher publishes it: 77.77 V, every output on (no line of the log
// holds that), taken at t.
QByteArray live(const QDateTime &t)
{
    return QStringLiteral(R"({"site":"s","time":"%1","count":700,"value":77.77,"unit":"V","outputs":"ff"})")
        .arg(t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODateWithMs))
        .toUtf8();
}

std::vector<Expected> held(const TrendSeries &s)
{
    std::vector<Expected> out;
    for (qint64 i = 0; i < s.size(); ++i)
        out.push_back({s.at(i).written, s.at(i).value, s.at(i).outputs});
    return out;
}

QString describe(const std::vector<Expected> &v)
{
    QStringList out;
    for (const Expected &e : v)
        out << QStringLiteral("%1 %2 %3").arg(e.ms).arg(e.raw).arg(e.outputs);
    return out.join(QLatin1Char('\n'));
}

// The view's fetch and the watcher's history server joined as through a broker, each
// message recorded.
struct Joined {
    QList<QPair<QString, QByteArray>> requests, answers;
    QStringList told;
    bool deliver = true; // the answers reach the view
    bool serve = true;   // the requests reach the watcher (an older one hears nothing)
    HistoryServer server{QStringLiteral("q"), folder(), [](const QString &s) { return s == QLatin1String("s"); },
                         [this](const QString &t, const QByteArray &p) {
                             answers << qMakePair(t, p);
                             if (deliver)
                                 fetch.message(t, p, false);
                             return true;
                         }};
    HistoryFetch fetch{QStringLiteral("q"), QStringLiteral("q/history/view1"), [this](const QString &t, const QByteArray &p) {
                           requests << qMakePair(t, p);
                           if (serve)
                               server.message(t, p, false);
                           return true;
                       }};
    Joined()
    {
        QObject::connect(&fetch, &HistoryFetch::told, &fetch, [this](const QString &t) { told << t; });
    }
};

void runFor(AppFixture &f, int ms)
{
    for (int t = 0; t < ms; t += 10)
        f.clock.advance(10);
}
} // namespace

class tst_historyfetch : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        QDir(folder()).removeRecursively();
        QDir().mkpath(folder() + QStringLiteral("/s"));
    }
    void cleanupTestCase() { QDir(folder()).removeRecursively(); }
    void theRequestIsOneTheWatcherTakes();
    void chunksGoBeforeTheLiveReadingsNoneTwice();
    void foreignRepeatedAndHostileAnswersChangeNothing();
    void aFetchIsBounded();
    void aSilentWatcherLeavesWhatArrived();
};

void tst_historyfetch::theRequestIsOneTheWatcherTakes()
{
    AppFixture f;
    f.clock.setBase(QDateTime(QDate(2026, 12, 10), QTime(9, 0, 0, 400)));
    Joined j;
    j.deliver = false;
    auto series = std::make_shared<TrendSeries>(TrendSeries::Summarised{});
    QVERIFY(j.fetch.ask(QStringLiteral("s"), QStringLiteral("川辺"), series));
    QCOMPARE(j.requests.size(), 1);
    QCOMPARE(j.requests[0].first, QStringLiteral("q/s/history/request"));
    const QByteArray &p = j.requests[0].second;
    QVERIFY(p.size() <= HistoryServer::kMaxRequestBytes);
    const QJsonObject o = QJsonDocument::fromJson(p).object();
    // The day before the whole second the request was made at.
    const qint64 t = QDateTime(QDate(2026, 12, 10), QTime(9, 0, 0)).toMSecsSinceEpoch();
    QCOMPARE(qint64(o.value("to").toDouble()), t - 1);
    QCOMPARE(qint64(o.value("from").toDouble()), t - 24 * 3600 * 1000);
    QCOMPARE(o.value("reply").toString(), QStringLiteral("q/history/view1"));
    const QString id = o.value("id").toString();
    QVERIFY(!id.isEmpty() && id.size() <= HistoryServer::kMaxId);
    QCOMPARE(j.told.last(), QStringLiteral("川辺: 過去24時間の履歴を取得中"));
    // The watcher takes it: an answer (empty, no files) for that id on the view's topic.
    runFor(f, 200);
    QCOMPARE(j.server.counts().malformed, quint64(0));
    QCOMPARE(j.server.counts().served, quint64(1));
    QCOMPARE(j.answers.size(), 1);
    QCOMPARE(j.answers[0].first, QStringLiteral("q/history/view1"));
    QCOMPARE(QJsonDocument::fromJson(j.answers[0].second).object().value("id").toString(), id);
    // Another request, another id.
    QVERIFY(j.fetch.ask(QStringLiteral("t"), QStringLiteral("t"), std::make_shared<TrendSeries>(TrendSeries::Summarised{})));
    QVERIFY(QJsonDocument::fromJson(j.requests.last().second).object().value("id").toString() != id);
}

void tst_historyfetch::chunksGoBeforeTheLiveReadingsNoneTwice()
{
    AppFixture f;
    // The view asks at 00:30:00.400; the log runs from 23:40 the day before, a line a second,
    // across midnight, and is being written on.
    const QDateTime t(QDate(2026, 12, 10), QTime(0, 30, 0));
    f.clock.setBase(t.addMSecs(400 - 600 * 1000));
    std::vector<Expected> older;
    AppFixture::writeFile(folder() + "/s/qlv20261209.csv", logFile(QDateTime(QDate(2026, 12, 9), QTime(23, 40, 0)), 1200, 0, &older, t));
    AppFixture::writeFile(folder() + "/s/qlv20261210.csv", logFile(QDateTime(QDate(2026, 12, 10), QTime(0, 0, 0)), 1810, 1200, &older, t));
    QCOMPARE(older.size(), size_t(3000));

    SiteBoard board;
    // Live readings from 00:20:00.120 to 00:29:59.120, which the log holds too (the seconds
    // the view already has).
    for (int k = 0; k < 600; ++k) {
        QVERIFY(board.takeMessage(QStringLiteral("q"), QStringLiteral("q/s/reading"), live(t.addMSecs(120 - 600 * 1000 + k * 1000))));
        f.clock.advance(1000);
    }
    QDateTime next = t.addMSecs(120);
    const int index = board.indexOf(QStringLiteral("s"));
    const std::shared_ptr<const TrendSeries> shown = board.history(index);
    QCOMPARE(shown->size(), qint64(600));

    Joined j;
    std::vector<const TrendSeries *> grew;
    QObject::connect(&j.fetch, &HistoryFetch::merged, &j.fetch, [&](const TrendSeries *s) { grew.push_back(s); });
    QVERIFY(j.fetch.ask(QStringLiteral("s"), QStringLiteral("s"), board.historyToMerge(index)));
    // The first chunk shows at once, before the live readings the view had (none twice).
    runFor(f, 60);
    QCOMPARE(grew.size(), size_t(1));
    QCOMPARE(grew[0], shown.get());
    {
        const std::vector<Expected> now = held(*shown);
        std::vector<Expected> want(older.begin(), older.begin() + HistoryServer::kChunkReadings);
        for (qint64 i = 0; i < 600; ++i)
            want.push_back({t.addMSecs(120 - 600 * 1000 + i * 1000).toMSecsSinceEpoch(), raw(7777), 0xFF});
        QCOMPARE(describe(now), describe(want));
    }
    // Live readings go on while the rest comes, a reading a second.
    std::vector<Expected> after;
    for (int k = 0; k < 3; ++k) {
        QVERIFY(board.takeMessage(QStringLiteral("q"), QStringLiteral("q/s/reading"), live(next)));
        after.push_back({next.toMSecsSinceEpoch(), raw(7777), 0xFF});
        next = next.addSecs(1);
        runFor(f, 1000);
    }
    QCOMPARE(j.fetch.running(), 0);
    QCOMPARE(j.told.last(), QStringLiteral("s: 過去24時間の履歴 3000件"));
    // The log's readings before the request, then the live ones after it, in order.
    std::vector<Expected> want = older;
    want.insert(want.end(), after.begin(), after.end());
    QCOMPARE(describe(held(*shown)), describe(want));
    // And following live readings as before.
    QVERIFY(board.takeMessage(QStringLiteral("q"), QStringLiteral("q/s/reading"), live(next)));
    QCOMPARE(shown->size(), qint64(want.size() + 1));
    QCOMPARE(shown->at(shown->size() - 1).written, next.toMSecsSinceEpoch());
    QCOMPARE(j.fetch.ignored(), quint64(0));
}

void tst_historyfetch::foreignRepeatedAndHostileAnswersChangeNothing()
{
    AppFixture f;
    const QDateTime t(QDate(2026, 12, 10), QTime(9, 0, 0));
    f.clock.setBase(t);
    Joined j;
    j.serve = false;
    auto series = std::make_shared<TrendSeries>(TrendSeries::Summarised{});
    series->append(t.addSecs(-5).toMSecsSinceEpoch(), raw(1), 0, 0);
    QVERIFY(j.fetch.ask(QStringLiteral("s"), QStringLiteral("s"), series));
    const QString id = QJsonDocument::fromJson(j.requests[0].second).object().value("id").toString();
    const auto reading = [](const QDateTime &at, const char *value = "01.00", const char *bits = "00000000") {
        return QJsonObject{{"time", at.toOffsetFromUtc(at.offsetFromUtc()).toString(Qt::ISODate)},
                           {"value", value}, {"unit", "V"}, {"bits", bits}};
    };
    const auto chunk = [&](const QString &withId, const QString &site, int seq, const QJsonArray &readings, bool last = false) {
        return QJsonDocument(QJsonObject{{"id", withId}, {"site", site}, {"seq", seq}, {"last", last}, {"readings", readings}})
            .toJson(QJsonDocument::Compact);
    };
    const QJsonArray one{reading(t.addSecs(-100))};
    const QString topic = QStringLiteral("q/history/view1");
    const QList<QPair<QString, QByteArray>> hostile = {
        {topic, chunk(QStringLiteral("other"), "s", 0, one)},            // another view's
        {topic, chunk(id, "x", 0, one)},                                  // another site's
        {QStringLiteral("q/history/view2"), chunk(id, "s", 0, one)},      // another topic
        {topic, chunk(id, "s", -1, one)},                                 // no such chunk
        {topic, chunk(id, "s", HistoryFetch::kMaxChunks + 1, one)},
        {topic, "{\"id\":\"" + id.toUtf8() + "\",\"site\":\"s\",\"seq\":0,"},
        {topic, "[1,2]"},
        {topic, chunk(id, "s", 0, one).leftJustified(HistoryFetch::kMaxAnswerBytes + 1, ' ')},
    };
    for (const auto &m : hostile)
        j.fetch.message(m.first, m.second, false);
    j.fetch.message(topic, chunk(id, "s", 0, one), true); // retained
    QCOMPARE(j.fetch.ignored(), quint64(hostile.size() + 1));
    QCOMPARE(series->size(), qint64(1));
    QCOMPARE(j.fetch.running(), 1);

    // A chunk with readings outside the span, and readings that are none, takes the rest.
    j.fetch.message(topic, chunk(id, "s", 0,
                                 QJsonArray{reading(t.addSecs(-25 * 3600)), reading(t.addSecs(-10), "02.50", "10000001"),
                                            reading(t.addSecs(-9), "xx", "2"), QJsonObject{{"time", "never"}},
                                            reading(t.addSecs(-8), "03.00", "0000001"), reading(t), 5}),
                    false);
    // Delivered again: no reading twice.
    j.fetch.message(topic, chunk(id, "s", 0, QJsonArray{reading(t.addSecs(-10), "02.50", "10000001")}), false);
    QCOMPARE(j.fetch.ignored(), quint64(hostile.size() + 2));
    j.fetch.message(topic, chunk(id, "s", 1, {}, true), false);
    QCOMPARE(j.fetch.running(), 0);
    // 02.50 with ch1 and ch8; a value that is none, outputs that are none; the live reading
    // from before the request is the log's now.
    QCOMPARE(series->size(), qint64(3));
    QCOMPARE(series->at(0).written, t.addSecs(-10).toMSecsSinceEpoch());
    QCOMPARE(series->at(0).value, raw(250));
    QCOMPARE(series->at(0).outputs, quint8(0x81));
    QCOMPARE(series->at(1).flags & TrendSeries::NoValue, int(TrendSeries::NoValue));
    QVERIFY(series->at(1).flags & TrendSeries::NoOutputs);
    QCOMPARE(series->at(2).value, raw(300));
    QVERIFY(series->at(2).flags & TrendSeries::NoOutputs);
    // Late chunks of an ended fetch are foreign.
    j.fetch.message(topic, chunk(id, "s", 2, one), false);
    QCOMPARE(series->size(), qint64(3));

    // An error answer: told, the series as it was.
    QVERIFY(j.fetch.ask(QStringLiteral("s"), QStringLiteral("s"), series));
    const QString id2 = QJsonDocument::fromJson(j.requests.last().second).object().value("id").toString();
    j.fetch.message(topic, QJsonDocument(QJsonObject{{"id", id2}, {"site", "s"}, {"error", "busy"}}).toJson(), false);
    QCOMPARE(j.fetch.running(), 0);
    QCOMPARE(j.told.last(), QStringLiteral("s: 履歴を取得できません (busy) (表示は一覧を開いてからの受信分)"));
    QCOMPARE(series->size(), qint64(3));
}

void tst_historyfetch::aFetchIsBounded()
{
    AppFixture f;
    const QDateTime t(QDate(2026, 12, 10), QTime(9, 0, 0));
    f.clock.setBase(t);
    Joined j;
    j.serve = false;
    const QString topic = QStringLiteral("q/history/view1");
    // At most kMaxFetches at once: a new one ends the oldest, whose answers are foreign then.
    std::vector<std::shared_ptr<TrendSeries>> all;
    QStringList ids;
    for (int i = 0; i <= HistoryFetch::kMaxFetches; ++i) {
        all.push_back(std::make_shared<TrendSeries>(TrendSeries::Summarised{}));
        QVERIFY(j.fetch.ask(QStringLiteral("s%1").arg(i), QStringLiteral("s%1").arg(i), all.back()));
        ids << QJsonDocument::fromJson(j.requests.last().second).object().value("id").toString();
    }
    QCOMPARE(j.fetch.running(), HistoryFetch::kMaxFetches);
    const auto chunk = [&](int fetch, int seq, int readings, qint64 fromMs) {
        QByteArray p = "{\"id\":\"" + ids[fetch].toUtf8() + "\",\"site\":\"s" + QByteArray::number(fetch) +
                       "\",\"seq\":" + QByteArray::number(seq) + ",\"last\":false,\"readings\":[";
        for (int k = 0; k < readings; ++k) {
            const QDateTime at = QDateTime::fromMSecsSinceEpoch(fromMs + k * 10);
            p += (k ? ",{\"time\":\"" : "{\"time\":\"") +
                 at.toOffsetFromUtc(at.offsetFromUtc()).toString(Qt::ISODateWithMs).toLatin1() +
                 "\",\"value\":\"01.00\",\"unit\":\"V\",\"bits\":\"00000000\"}";
        }
        return p + "]}";
    };
    j.fetch.message(topic, chunk(0, 0, 1, t.addSecs(-60).toMSecsSinceEpoch()), false);
    QCOMPARE(all[0]->size(), qint64(0));
    // Chunks: at most kMaxChunks, then the fetch ends with what it took.
    for (int seq = 0; seq < HistoryFetch::kMaxChunks + 5; ++seq)
        j.fetch.message(topic, chunk(1, seq, 1, t.addSecs(-20000 + seq).toMSecsSinceEpoch()), false);
    QCOMPARE(j.fetch.running(), HistoryFetch::kMaxFetches - 1);
    QCOMPARE(all[1]->size(), qint64(HistoryFetch::kMaxChunks));
    QCOMPARE(j.told.last(), QStringLiteral("s1: 履歴が多すぎます (%1件まで表示)").arg(HistoryFetch::kMaxChunks));
    // Readings: at most kMaxReadings, however the chunks come.
    const int per = 1500; // more than the watcher sends, within the size taken
    QVERIFY(chunk(2, 0, per, 0).size() <= HistoryFetch::kMaxAnswerBytes);
    const qint64 start = t.addMSecs(-20 * 3600 * 1000).toMSecsSinceEpoch();
    int seq = 0;
    while (j.fetch.running() == HistoryFetch::kMaxFetches - 1) {
        j.fetch.message(topic, chunk(2, seq, per, start + qint64(seq) * per * 10), false);
        QVERIFY(++seq <= HistoryFetch::kMaxChunks);
    }
    QCOMPARE(seq, int(HistoryFetch::kMaxReadings / per) + 1);
    QCOMPARE(j.told.last(), QStringLiteral("s2: 履歴が多すぎます (%1件まで表示)").arg(HistoryFetch::kMaxReadings));
    // What the series keeps stays within a site's history's bounds.
    // (whole readings, 8 bytes each, would be 1.6 MB and more: the band holds the older ones)
    QVERIFY2(all[2]->bytes() < 512 * 1024 && all[2]->bandCount() > 0,
             qPrintable(QStringLiteral("%1 bytes, %2 readings").arg(all[2]->bytes()).arg(all[2]->size())));
}

void tst_historyfetch::aSilentWatcherLeavesWhatArrived()
{
    AppFixture f;
    const QDateTime t(QDate(2026, 12, 10), QTime(9, 0, 0));
    f.clock.setBase(t);
    Joined j;
    j.serve = false; // an older watcher: no answer
    auto series = std::make_shared<TrendSeries>(TrendSeries::Summarised{});
    series->append(t.addSecs(-5).toMSecsSinceEpoch(), raw(1), 0, 0);
    QVERIFY(j.fetch.ask(QStringLiteral("s"), QStringLiteral("川辺"), series));
    runFor(f, int(HistoryFetch::kQuietMs) - 600);
    QCOMPARE(j.fetch.running(), 1);
    runFor(f, 1200);
    QCOMPARE(j.fetch.running(), 0);
    QCOMPARE(j.told.last(), QStringLiteral("川辺: ｻｰﾋﾞｽから履歴の応答がありません (表示は一覧を開いてからの受信分)"));
    QCOMPARE(series->size(), qint64(1));

    // A site the view polls itself, and a view without a broker: told so at once.
    SiteMonitor monitor;
    QStringList told;
    connect(&monitor, &SiteMonitor::commandTold, this, [&](const QString &text) { told << text; });
    monitor.board()->takeReading(QStringLiteral("k"), Reading(), 1000);
    monitor.askHistory(QStringLiteral("k"));
    QCOMPARE(told, QStringList{HistoryFetch::localText(QStringLiteral("k"))});
    QVERIFY(!monitor.historyFetch());
}

QTEST_MAIN(tst_historyfetch)
#include "tst_historyfetch.moc"
