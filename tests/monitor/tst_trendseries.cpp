// The level's history: the series' summaries against a plain scan of the same readings
// (every extreme is kept, whatever the range and wherever its blocks begin), its search by
// time, what it forgets, and the monitor store feeding the history as the poll stores.
#include "support/LinkHelpers.h"

#include "link/modComm1.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"
#include "monitor/modTrendHistory.h"
#include "monitor/TrendSeries.h"
#include "platform/Clock.h"

#include <QRandomGenerator>
#include <QtTest>

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

QTEST_MAIN(TestTrendSeries)
#include "tst_trendseries.moc"
