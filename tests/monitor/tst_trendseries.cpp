// The level's history: the series' summaries against a plain scan of the same readings
// (every extreme is kept, whatever the range and wherever its blocks begin), its search by
// time, what it forgets, and the monitor store feeding the history as the poll stores; a
// site's summarised history against the same scan: a day of readings, every slot of its
// band, the last hour exact, its bytes bounded at every moment, the clock set back in it.
#include "support/LinkHelpers.h"

#include "link/modComm1.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"
#include "monitor/modTrendHistory.h"
#include "monitor/TrendSeries.h"
#include "platform/Clock.h"

#include <QRandomGenerator>
#include <QtTest>

#include <map>
#include <vector>

namespace {
struct Plain {
    std::vector<TrendSeries::Reading> r;
    TrendSeries::Summary summarize(qint64 a, qint64 b) const
    {
        TrendSeries::Summary s;
        for (qint64 i = a; i < b; ++i) {
            const TrendSeries::Reading &x = r[size_t(i)];
            if (!(x.flags & TrendSeries::NoValue)) {
                s.min = qMin(s.min, x.value);
                s.max = qMax(s.max, x.value);
            }
            if (!(x.flags & TrendSeries::NoOutputs)) {
                s.on |= x.outputs;
                s.off |= quint8(~x.outputs);
            }
        }
        return s;
    }
};

bool same(const TrendSeries::Summary &a, const TrendSeries::Summary &b)
{
    return a.min == b.min && a.max == b.max && a.on == b.on && a.off == b.off;
}

// A wandering level with rare single-reading spikes up and down, gaps without a value or
// outputs, and outputs that flick on for one reading.
void fill(TrendSeries &s, Plain &p, qint64 n, quint32 seed)
{
    QRandomGenerator g(seed);
    qint64 ms = 1'700'000'000'000;
    int level = 500;
    for (qint64 i = 0; i < n; ++i) {
        ms += 20 + g.bounded(3);
        level = qBound(0, level + int(g.bounded(11)) - 5, 1023);
        quint16 v = quint16(level);
        if (g.bounded(5000) == 0)
            v = quint16(g.bounded(2) ? 1023 + g.bounded(3000) : 0);
        quint8 out = quint8(level > 600 ? 1 : 0);
        if (g.bounded(3000) == 0)
            out |= quint8(1 << g.bounded(8));
        quint8 flags = 0;
        if (g.bounded(2000) == 0)
            flags |= TrendSeries::NoValue;
        if (g.bounded(2000) == 0)
            flags |= TrendSeries::NoOutputs;
        s.append(ms, v, out, flags);
        p.r.push_back({ms, v, out, flags});
    }
}

// What the office view does with a site's history at each reading (SiteBoard): a day, at
// most 86400 readings, at most kMaxSteps steps back.
void keepAsTheBoard(TrendSeries &h)
{
    constexpr qint64 day = 24LL * 3600 * 1000;
    if (h.firstMs() < h.lastMs() - day)
        h.dropBefore(h.lastMs() - day);
    h.keepAtMost(86400);
    if (h.stepCount() > TrendSeries::kMaxSteps)
        h.keepAtMost(h.size() - h.steps().front().index);
}

qint64 floorSlot(qint64 ms, qint64 slotMs) { return ms >= 0 ? ms / slotMs : -((-ms + slotMs - 1) / slotMs); }
} // namespace

class TestTrendSeries : public QObject {
    Q_OBJECT
private slots:
    void summariesKeepEveryExtreme();
    void searchByTime();
    void forgetting();
    void aDayOfReadingsInItsMemory();
    void theStoreFeedsTheHistory();
    void clockSetBack_data();
    void clockSetBack();
    void clockSetBackUnderTheMonitor();
    void aSiteDaySummarised_data();
    void aSiteDaySummarised();
    void clockSetBackInTheBand();
};

void TestTrendSeries::summariesKeepEveryExtreme()
{
    // Three and a half blocks: ranges cross block edges and end in the block being filled.
    TrendSeries s;
    Plain p;
    const qint64 n = TrendSeries::kChunk * 3 + TrendSeries::kChunk / 2 + 7;
    fill(s, p, n, 17);
    QCOMPARE(s.size(), n);
    QRandomGenerator g(5);
    for (int k = 0; k < 3000; ++k) {
        qint64 a = qint64(g.bounded(quint64(n)));
        qint64 b = qint64(g.bounded(quint64(n + 1)));
        if (k % 3 == 0)
            b = qMin<qint64>(n, a + qint64(g.bounded(40))); // short: no tree node fits
        if (a > b)
            std::swap(a, b);
        const TrendSeries::Summary got = s.summarize(a, b), want = p.summarize(a, b);
        QVERIFY2(same(got, want), qPrintable(QStringLiteral("[%1, %2): %3-%4 vs %5-%6").arg(a).arg(b).arg(got.min).arg(got.max).arg(want.min).arg(want.max)));
    }
    // Each spike alone decides its column: the columns of a 1600-pixel view together hold
    // every extreme of the whole series.
    const qint64 cols = 1600;
    TrendSeries::Summary all;
    for (qint64 c = 0; c < cols; ++c) {
        const TrendSeries::Summary col = s.summarize(c * n / cols, (c + 1) * n / cols);
        QVERIFY(same(col, p.summarize(c * n / cols, (c + 1) * n / cols)));
        all.add(col);
    }
    QVERIFY(same(all, p.summarize(0, n)));
    QCOMPARE(all.max, quint16(p.summarize(0, n).max));
    QVERIFY(all.max > 1023); // a spike was among them
    QCOMPARE(all.min, quint16(0));
}

void TestTrendSeries::searchByTime()
{
    TrendSeries s;
    // Equal times.
    const qint64 t[] = {1000, 1000, 1020, 1500, 2000};
    for (qint64 ms : t)
        s.append(ms, 1, 0, 0);
    QCOMPARE(s.lowerBound(0), qint64(0));
    QCOMPARE(s.lowerBound(1000), qint64(0));
    QCOMPARE(s.lowerBound(1001), qint64(2));
    QCOMPARE(s.lowerBound(1500), qint64(3));
    QCOMPARE(s.lowerBound(1501), qint64(4));
    QCOMPARE(s.lowerBound(2001), qint64(5));

    TrendSeries big;
    Plain p;
    fill(big, p, TrendSeries::kChunk * 2 + 100, 3);
    QRandomGenerator g(9);
    for (int k = 0; k < 2000; ++k) {
        const qint64 ms = p.r.front().ms - 50 + qint64(g.bounded(quint64(p.r.back().ms - p.r.front().ms + 100)));
        const auto it = std::lower_bound(p.r.begin(), p.r.end(), ms,
                                         [](const TrendSeries::Reading &r, qint64 v) { return r.ms < v; });
        const qint64 want = qint64(it - p.r.begin());
        QCOMPARE(big.lowerBound(ms), want);
        // To a leaf: the first leaf start at or after it (or the end).
        const qint64 leaf = big.lowerBound(ms, true);
        QVERIFY(leaf >= want && leaf - want < 16 && (leaf % 16 == 0 || leaf == big.size()));
    }
}

void TestTrendSeries::forgetting()
{
    TrendSeries s;
    Plain p;
    const qint64 n = TrendSeries::kChunk * 3;
    fill(s, p, n, 21);
    const qint64 cut = p.r[size_t(TrendSeries::kChunk + 123)].ms;
    s.dropBefore(cut);
    const auto first = std::lower_bound(p.r.begin(), p.r.end(), cut,
                                        [](const TrendSeries::Reading &r, qint64 v) { return r.ms < v; }) - p.r.begin();
    QCOMPARE(s.size(), n - first);
    QCOMPARE(s.firstMs(), p.r[size_t(first)].ms);
    QVERIFY(same(s.summarize(0, s.size()), p.summarize(first, n)));
    QCOMPARE(s.lowerBound(cut - 1), qint64(0));
    // A whole block was freed; the one the cut falls in stays until it is all past.
    QVERIFY(s.bytes() < 3 * 600 * 1024);
    s.keepAtMost(1000);
    QCOMPARE(s.size(), qint64(1000));
    QCOMPARE(s.at(0).ms, p.r[size_t(n - 1000)].ms);
    QVERIFY(same(s.summarize(0, 1000), p.summarize(n - 1000, n)));
    // Appending goes on after a cut.
    s.append(p.r.back().ms + 20, 7, 0, 0);
    QCOMPARE(s.size(), qint64(1001));
    QCOMPARE(s.at(1000).value, quint16(7));
}

void TestTrendSeries::aDayOfReadingsInItsMemory()
{
    // 25 hours of 20 ms readings: the history keeps the last 24, in about 8 bytes a reading.
    g_subTrendHistoryClear();
    const QString values[] = {QStringLiteral("0100"), QStringLiteral("0200"), QStringLiteral("03FF")};
    const QString outputs = QStringLiteral("05");
    const qint64 t0 = 1'700'000'000'000;
    const qint64 n = 25LL * 3600 * 50;
    for (qint64 i = 0; i < n; ++i)
        g_subTrendHistoryAdd(t0 + i * 20, values[i % 3], outputs);
    const TrendSeries &h = g_funcTrendHistory();
    QCOMPARE(h.size(), kTrendHistoryMaxReadings);
    QCOMPARE(h.lastMs() - h.firstMs(), kTrendHistoryMs - 20);
    QVERIFY2(h.bytes() < 40LL * 1024 * 1024, qPrintable(QString::number(h.bytes())));
    QCOMPARE(h.summarize(0, h.size()).max, quint16(0x3FF));
    g_subTrendHistoryClear();
    QCOMPARE(g_funcTrendHistory().size(), qint64(0));
}

void TestTrendSeries::theStoreFeedsTheHistory()
{
    // The program's session polls a controller that answers each command as told.
    AppFixture f(false);
    g_subMonitorIni();
    QVERIFY(g_funcCommPortOpen(1));
    const auto poll = [&f](const char *command, const QByteArray &reply) {
        answerWith(f.rec, {{command, reply}});
        QVERIFY(g_funcMonitorPoll(QString::fromLatin1(command)));
    };
    QCOMPARE(g_funcTrendHistory().size(), qint64(0));
    g_subMonitorPollingSet(true);
    const qint64 t1 = Now().toMSecsSinceEpoch();
    poll("N", "N01A3\r");
    Sleep(500); // the "Y" comes later; the reading keeps the time of its "N"
    poll("Y", "Y05\r");
    // A tick whose "N" brought nothing: its "Y" adds no reading.
    poll("N", "#$%&*\r");
    poll("Y", "Y07\r");
    poll("N", "NZZZZ\r");
    poll("Y", "Y0G\r");
    g_subMonitorPollingSet(false);
    g_subMonitorPollingSet(true);
    poll("N", "N0200\r");
    poll("Y", "Y80\r");
    const TrendSeries &h = g_funcTrendHistory();
    QCOMPARE(h.size(), qint64(3));
    QCOMPARE(h.at(0).ms, t1);
    QCOMPARE(h.at(0).value, quint16(0x1A3));
    QCOMPARE(h.at(0).outputs, quint8(5));
    QCOMPARE(h.at(0).flags, quint8(TrendSeries::RunStart));
    QCOMPARE(h.at(1).flags, quint8(TrendSeries::NoValue | TrendSeries::NoOutputs));
    QCOMPARE(h.at(2).flags, quint8(TrendSeries::RunStart));
    QCOMPARE(h.at(2).outputs, quint8(0x80));
    g_subMonitorPollingSet(false);
    // Start-up's reset of the store empties the history too.
    g_subMonitorIni();
    QCOMPARE(h.size(), qint64(0));
}

void TestTrendSeries::clockSetBack_data()
{
    // Readings 10 s apart; at each listed reading the clock goes back by the amount (or
    // forward, which is only a gap). Placed where blocks of the series begin and end too.
    QTest::addColumn<QList<qint64>>("at");
    QTest::addColumn<qint64>("back");
    const qint64 k = TrendSeries::kChunk;
    for (const qint64 back : {1LL, 10'000LL, 3'600'000LL, 86'400'000LL}) {
        QTest::addRow("back %lld ms once", back) << QList<qint64>{360} << back;
        QTest::addRow("back %lld ms at block edges", back) << QList<qint64>{k - 1, k, k + 1, 2 * k} << back;
    }
    QTest::addRow("forward an hour") << QList<qint64>{360} << -3'600'000LL;
}

void TestTrendSeries::clockSetBack()
{
    QFETCH(QList<qint64>, at);
    QFETCH(qint64, back);
    TrendSeries s;
    std::vector<qint64> written;
    qint64 ms = 1'700'000'000'000;
    const qint64 n = 2 * TrendSeries::kChunk + 50;
    for (qint64 i = 0; i < n; ++i) {
        ms += at.contains(i) ? -back : 10'000;
        written.push_back(ms);
        s.append(ms, quint16(i & 0x3FF), 0, 0);
    }
    // Nothing is re-timed, the places never go back, and each step back is one new run.
    QCOMPARE(s.stepCount(), back > 0 ? qint64(at.size()) : 0);
    for (qint64 i = 0; i < n; ++i) {
        const TrendSeries::Reading r = s.at(i);
        QCOMPARE(r.written, written[size_t(i)]);
        QCOMPARE(s.writtenAt(r.ms), r.written);
        if (i > 0)
            QVERIFY(r.ms > s.at(i - 1).ms);
        QCOMPARE(bool(r.flags & TrendSeries::RunStart), back > 0 && at.contains(i));
        QCOMPARE(s.lowerBound(r.ms), i);
    }
    for (const TrendSeries::Step &st : s.steps()) {
        QCOMPARE(st.beforeMs, written[size_t(st.index - 1)]);
        QCOMPARE(st.afterMs, written[size_t(st.index)]);
        QVERIFY(st.placeBefore < st.breakMs() && st.breakMs() < st.placeAfter);
    }
    // Forgetting the readings before a step forgets the step, not the times after it.
    if (back > 0) {
        s.keepAtMost(n - at.first());
        QCOMPARE(s.stepCount(), qint64(at.size() - 1));
        QCOMPARE(s.at(0).written, written[size_t(at.first())]);
    }
}

void TestTrendSeries::clockSetBackUnderTheMonitor()
{
    // The PC's clock put back an hour while the monitor runs: the history keeps each
    // reading's time and names the step; more steps than it keeps forget the oldest stretch.
    AppFixture f;
    g_subMonitorIni();
    g_subMonitorPollingSet(true);
    const QDateTime base = Now();
    for (int i = 0; i < 4; ++i) {
        if (i == 2)
            f.clock.setBase(f.clock.now().addSecs(-3600).addMSecs(-f.clock.nowUs() / 1000));
        StoreReading(QStringLiteral("0100"), QStringLiteral("00"));
        Sleep(1000);
    }
    const TrendSeries &h = g_funcTrendHistory();
    QCOMPARE(h.size(), qint64(4));
    QCOMPARE(h.stepCount(), qint64(1));
    QCOMPARE(h.at(1).written, base.addSecs(1).toMSecsSinceEpoch());
    QCOMPARE(h.at(2).written, base.addSecs(2 - 3600).toMSecsSinceEpoch());
    g_subMonitorPollingSet(false);
    for (qint64 i = 0; i <= TrendSeries::kMaxSteps + 5; ++i)
        g_subTrendHistoryAdd(1'700'000'000'000 - i * 1000, QStringLiteral("0100"), QStringLiteral("00"));
    QVERIFY(h.stepCount() <= TrendSeries::kMaxSteps);
    QCOMPARE(h.at(h.size() - 1).written, 1'700'000'000'000 - (TrendSeries::kMaxSteps + 5) * 1000);
}

void TestTrendSeries::aSiteDaySummarised_data()
{
    QTest::addColumn<int>("periodMs"); // between readings, give or take a few ms
    QTest::addColumn<int>("hours");
    QTest::addColumn<bool>("gaps");    // the site away for 3 and for 40 minutes, now and then
    QTest::addColumn<quint32>("seed");
    QTest::addRow("1 s, a day") << 1000 << 24 << false << 1u;
    QTest::addRow("1 s, 26 h with gaps") << 1000 << 26 << true << 2u;
    QTest::addRow("5 s, 26 h with gaps") << 5000 << 26 << true << 3u;
    QTest::addRow("200 ms, 25 h") << 200 << 25 << false << 4u;
    QTest::addRow("1 s, 3 h") << 1000 << 3 << true << 5u;
}

void TestTrendSeries::aSiteDaySummarised()
{
    // Readings of a site as the office view keeps them: the series' band against a plain
    // scan of every reading, slot for slot; the last hour reading for reading; and the
    // bytes, looked at every ten minutes of readings, never past 100 KB.
    QFETCH(int, periodMs);
    QFETCH(int, hours);
    QFETCH(bool, gaps);
    QFETCH(quint32, seed);
    const TrendSeries::Summarised how;
    TrendSeries s(how);
    QVERIFY(s.summarised());
    Plain p;
    QRandomGenerator g(seed);
    qint64 ms = 1'700'000'000'000 + g.bounded(10000);
    const qint64 end = ms + qint64(hours) * 3600 * 1000;
    int level = 30000;
    qint64 nextCheck = ms, maxBytes = 0;
    while (ms < end) {
        ms += periodMs - 3 + g.bounded(7);
        if (gaps && g.bounded(3600LL * 1000 / periodMs) == 0)
            ms += (g.bounded(2) ? 3 : 40) * 60 * 1000;
        level = qBound(0, level + int(g.bounded(401)) - 200, 65535);
        quint16 v = quint16(level);
        if (g.bounded(3000) == 0)
            v = quint16(g.bounded(2) ? 65535 : 0); // a spike alone in its slot
        const quint8 out = quint8((level > 31000 ? 1 : 0) | (g.bounded(500) == 0 ? 1 << g.bounded(8) : 0));
        quint8 flags = 0;
        if (g.bounded(400) == 0)
            flags |= TrendSeries::NoValue;
        if (g.bounded(400) == 0)
            flags |= TrendSeries::NoOutputs;
        s.append(ms, v, out, flags);
        keepAsTheBoard(s);
        p.r.push_back({ms, v, out, flags});
        if (ms >= nextCheck) {
            maxBytes = std::max(maxBytes, s.bytes());
            nextCheck = ms + 600 * 1000;
        }
    }
    maxBytes = std::max(maxBytes, s.bytes());
    qInfo("%d ms readings, %d h: at most %lld bytes, %lld readings in full, %lld slots", periodMs, hours, maxBytes, s.size(), s.bandCount());
    QVERIFY2(maxBytes <= 100 * 1024, qPrintable(QString::number(maxBytes)));

    // The exact stretch: the last readings, each as given, and at least the last hour of
    // them (at most 3600, ten seconds more at most).
    const qint64 n = qint64(p.r.size());
    const qint64 first = n - s.size();
    QVERIFY(first >= 0);
    for (qint64 i = 0; i < s.size(); ++i) {
        const TrendSeries::Reading a = s.at(i), &b = p.r[size_t(first + i)];
        if (a.ms != b.ms || a.value != b.value || a.outputs != b.outputs || a.flags != b.flags || a.written != b.ms)
            QFAIL(qPrintable(QStringLiteral("reading %1 of %2").arg(i).arg(s.size())));
    }
    QCOMPARE(s.exactFirstMs(), p.r[size_t(first)].ms);
    // Whole slots older than the hour go into the band: what is left is every reading from
    // the slot the hour before the newest begins in, unless that is more than 3600 (and a
    // leaf of 16) readings, when it is the newest 3600.
    auto firstAtOrAfter = [&](qint64 t) {
        return qint64(std::lower_bound(p.r.begin(), p.r.end(), t, [](const TrendSeries::Reading &r, qint64 v) { return r.ms < v; }) -
                      p.r.begin());
    };
    const qint64 byTime = firstAtOrAfter(floorSlot(s.lastMs() - how.exactMs, how.slotMs) * how.slotMs);
    if (n - byTime <= how.exactMax + 16) {
        QCOMPARE(first, byTime);
        QVERIFY(first <= firstAtOrAfter(s.lastMs() - how.exactMs)); // the whole last hour
    } else {
        QVERIFY(s.size() >= how.exactMax && s.size() <= how.exactMax + 16);
    }
    if (periodMs >= 1000)
        QVERIFY(n - byTime <= how.exactMax + 16);
    // The band: every slot of 10 s older than the exact stretch, back to a day before the
    // newest reading, is the scan's lowest and highest value and outputs of its readings;
    // a slot without readings is empty, and none is missing.
    std::map<qint64, TrendSeries::Summary> bySlot;
    for (qint64 i = 0; i < first; ++i) {
        const TrendSeries::Reading &r = p.r[size_t(i)];
        bySlot[floorSlot(r.ms, how.slotMs)].add(p.summarize(i, i + 1));
    }
    if (hours <= 1) {
        QCOMPARE(s.bandCount(), qint64(0));
        return;
    }
    QVERIFY(s.bandCount() > 0);
    const qint64 firstSlot = floorSlot(s.bandAt(0).fromMs, how.slotMs);
    QVERIFY(s.bandAt(0).fromMs >= s.lastMs() - 24LL * 3600 * 1000);
    QVERIFY(s.bandAt(0).fromMs < s.lastMs() - 24LL * 3600 * 1000 + how.slotMs || hours < 24 || gaps);
    QCOMPARE(s.firstMs(), s.bandAt(0).fromMs);
    qint64 k = 0, withReadings = 0;
    for (auto it = bySlot.lower_bound(firstSlot); it != bySlot.end(); ++it) {
        // Empty slots of a short pause stand between.
        while (k < s.bandCount() && floorSlot(s.bandAt(k).fromMs, how.slotMs) < it->first) {
            const TrendSeries::Summary e = s.bandAt(k).sum;
            QVERIFY(!e.hasValue() && !e.on && !e.off);
            ++k;
        }
        QVERIFY(k < s.bandCount());
        const TrendSeries::Band b = s.bandAt(k);
        QCOMPARE(b.fromMs, it->first * how.slotMs);
        QCOMPARE(b.toMs - b.fromMs, how.slotMs);
        if (!same(b.sum, it->second))
            QFAIL(qPrintable(QStringLiteral("slot at %1: %2-%3 %4/%5, scan %6-%7 %8/%9")
                                 .arg(b.fromMs).arg(b.sum.min).arg(b.sum.max).arg(b.sum.on).arg(b.sum.off)
                                 .arg(it->second.min).arg(it->second.max).arg(it->second.on).arg(it->second.off)));
        QCOMPARE(s.bandLowerBound(b.fromMs), k);
        QCOMPARE(s.bandLowerBound(b.toMs - 1), k);
        ++k;
        ++withReadings;
    }
    QCOMPARE(k, s.bandCount());
    QVERIFY(withReadings > 0);
    // The whole: the band's and the readings' extremes together.
    TrendSeries::Summary all = s.summarize(0, s.size());
    for (auto it = bySlot.lower_bound(firstSlot); it != bySlot.end(); ++it)
        all.add(it->second);
    QVERIFY(same(s.summarizeAll(), all));
}

void TestTrendSeries::clockSetBackInTheBand()
{
    // Two hours of a site at 1 s whose clock went back half an hour after 40 minutes: the
    // step stays named while the band holds what lies before it, the band's times read as
    // written on both sides, and a clock that goes back at every reading keeps at most
    // kMaxSteps of its steps, in bounded memory.
    TrendSeries s{TrendSeries::Summarised{}};
    const qint64 t0 = 1'700'000'000'000;
    std::vector<qint64> written;
    for (qint64 i = 0; i < 7200; ++i) {
        written.push_back(t0 + i * 1000 - (i >= 2400 ? 1800 * 1000 : 0));
        s.append(written.back(), quint16(i), 0, 0);
        keepAsTheBoard(s);
    }
    QVERIFY(s.bandCount() > 0);
    QCOMPARE(s.stepCount(), qint64(1));
    const TrendSeries::Step st = s.steps().front();
    QCOMPARE(st.beforeMs, written[2399]);
    QCOMPARE(st.afterMs, written[2400]);
    QCOMPARE(st.index, qint64(0)); // before the first reading held: in the band
    QVERIFY(st.breakMs() > s.firstMs() && st.breakMs() < s.exactFirstMs());
    const qint64 shift = st.placeAfter - st.afterMs;
    for (qint64 k = 0; k < s.bandCount(); ++k) {
        const TrendSeries::Band b = s.bandAt(k);
        QCOMPARE(s.writtenAt(b.fromMs + 1), b.fromMs + 1 - (b.fromMs + 1 < st.breakMs() ? 0 : shift));
    }
    for (qint64 i = 0; i < s.size(); ++i)
        QCOMPARE(s.at(i).written, written[size_t(7200 - s.size() + i)]);
    // A day later the stretch before the step is gone, and the step with it.
    for (qint64 i = 7200; i < 7200 + 86400; i += 1) {
        s.append(t0 + i * 1000 - 1800 * 1000, 7, 0, 0);
        keepAsTheBoard(s);
    }
    QCOMPARE(s.stepCount(), qint64(0));
    QVERIFY(s.bytes() <= 100 * 1024);

    TrendSeries hostile{TrendSeries::Summarised{}};
    for (qint64 i = 0; i < 3 * TrendSeries::kMaxSteps; ++i) {
        hostile.append(t0 - i * 1000, quint16(i), 0, 0);
        keepAsTheBoard(hostile);
        QVERIFY(hostile.stepCount() <= TrendSeries::kMaxSteps);
    }
    QVERIFY(hostile.bandCount() > 0);
    QCOMPARE(hostile.at(hostile.size() - 1).written, t0 - (3 * TrendSeries::kMaxSteps - 1) * 1000);
    QVERIFY2(hostile.bytes() < 1024 * 1024, qPrintable(QString::number(hostile.bytes())));
}

QTEST_MAIN(TestTrendSeries)
#include "tst_trendseries.moc"
