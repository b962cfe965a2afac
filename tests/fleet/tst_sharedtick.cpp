// The shared poll tick on the virtual clock: ticks of one interval joined at different
// moments fire together, in one pass of at most a few slices a millisecond apart, each at
// its interval; ticks that leave (or are destroyed) inside a pass, their own handler
// included; and sites of one interval on simulated controllers, started apart, whose polls
// go out together.
#include "support/AppFixture.h"

#include "fleet/SharedTick.h"
#include "fleet/SiteWatch.h"
#include "platform/Dialogs.h"

#include <QtTest>

#include <map>
#include <memory>
#include <set>
#include <vector>

class tst_sharedtick : public QObject {
    Q_OBJECT
private slots:
    void onePassPerInterval();
    void leavingWithinAPass();
    void sitesOfOneIntervalPollTogether();
    void aLargeFleetIsSpreadInSmallSlices();
};

namespace {
// The moments (virtual ms) each tick fired at.
using Fired = std::vector<std::vector<qint64>>;

// The passes of ticks [from, to) from afterMs on: their fire times, a pass being the times
// within 100 ms of its first (the intervals are longer).
std::vector<std::vector<qint64>> passes(const Fired &fired, size_t from, size_t to, qint64 afterMs)
{
    std::multiset<qint64> all;
    for (size_t i = from; i < to; ++i)
        for (qint64 t : fired[i])
            if (t >= afterMs)
                all.insert(t);
    std::vector<std::vector<qint64>> out;
    for (qint64 t : all) {
        if (out.empty() || t - out.back().front() > 100)
            out.push_back({});
        out.back().push_back(t);
    }
    return out;
}
} // namespace

// Ten ticks of 1000 ms and three of 250 ms, joined 37 ms apart: after the join, each fires
// at its interval, all of an interval in one pass whose firings lie within kSpreadMs at
// kSlices moments at most, ticks joined one after the other in different slices; one shared
// timer per interval, none once all are off.
void tst_sharedtick::onePassPerInterval()
{
    AppFixture f;
    constexpr size_t kSlow = 10, kFast = 3;
    std::vector<std::unique_ptr<SharedTick>> ticks;
    Fired fired(kSlow + kFast);
    std::vector<qint64> joinedAt;
    for (size_t i = 0; i < kSlow + kFast; ++i) {
        auto t = std::make_unique<SharedTick>();
        t->setInterval(i < kSlow ? 1000 : 250);
        t->onTick = [&fired, &f, i] { fired[i].push_back(f.clock.elapsedMs()); };
        t->setEnabled(true);
        joinedAt.push_back(f.clock.elapsedMs());
        ticks.push_back(std::move(t));
        f.clock.advance(37);
    }
    QCOMPARE(SharedTick::timerCount(), 2);
    const qint64 endMs = f.clock.elapsedMs() + 10000;
    while (f.clock.elapsedMs() < endMs)
        f.clock.advance(1);

    for (size_t i = 0; i < ticks.size(); ++i) {
        const qint64 interval = ticks[i]->interval();
        const std::vector<qint64> &t = fired[i];
        QVERIFY2(qint64(t.size()) >= 10000 / interval, qPrintable(QString::number(i)));
        QVERIFY(t.front() > joinedAt[i] && t.front() <= joinedAt[i] + interval);
        for (size_t k = 1; k < t.size(); ++k)
            QVERIFY2(qAbs(t[k] - t[k - 1] - interval) <= SharedTick::kSpreadMs,
                     qPrintable(QStringLiteral("tick %1: %2 after %3").arg(i).arg(t[k]).arg(t[k - 1])));
    }
    // The passes once every tick has joined.
    const qint64 settled = joinedAt.back() + 1000;
    const auto slow = passes(fired, 0, kSlow, settled);
    QVERIFY(slow.size() >= 8);
    for (const auto &pass : slow) {
        QCOMPARE(pass.back() - pass.front() <= SharedTick::kSpreadMs, true);
        const std::set<qint64> moments(pass.begin(), pass.end());
        QVERIFY(qint64(moments.size()) <= SharedTick::kSlices);
        QVERIFY2(moments.size() > 1, "ten ticks in one millisecond: not spread");
    }
    for (size_t i = 1; i < kSlow; ++i)
        QVERIFY2(fired[i].back() != fired[i - 1].back(), qPrintable(QString::number(i)));
    // Every slow tick fired in every pass.
    for (size_t i = 0; i < kSlow; ++i)
        QCOMPARE(qint64(std::count_if(fired[i].begin(), fired[i].end(), [&](qint64 t) { return t >= settled; })),
                 qint64(slow.size()));
    const auto fast = passes(fired, kSlow, kSlow + kFast, settled);
    for (const auto &pass : fast)
        QVERIFY(pass.back() - pass.front() <= SharedTick::kSpreadMs);

    for (auto &t : ticks)
        t->setEnabled(false);
    QCOMPARE(SharedTick::timerCount(), 0);
    const size_t before = fired[0].size();
    f.clock.advance(3000);
    QCOMPARE(fired[0].size(), before);
}

// Inside a pass: the first tick's handler turns itself off and destroys the last; a middle
// one destroys itself. The others fire on; nothing fires once gone; a tick turned on again
// rejoins, and a new interval made inside a handler starts its own timer.
void tst_sharedtick::leavingWithinAPass()
{
    AppFixture f;
    std::vector<std::unique_ptr<SharedTick>> ticks(8);
    std::vector<int> count(ticks.size() + 1, 0);
    std::unique_ptr<SharedTick> extra;
    for (size_t i = 0; i < ticks.size(); ++i) {
        ticks[i] = std::make_unique<SharedTick>();
        ticks[i]->setInterval(500);
        ticks[i]->onTick = [&, i] {
            ++count[i];
            if (i == 0 && count[0] == 2) {
                ticks[0]->setEnabled(false);
                ticks[7].reset();
                extra = std::make_unique<SharedTick>();
                extra->setInterval(300);
                extra->onTick = [&] { ++count[8]; };
                extra->setEnabled(true);
            }
            if (i == 4 && count[4] == 3)
                ticks[4].reset();
        };
        ticks[i]->setEnabled(true);
    }
    for (int ms = 0; ms < 5000; ++ms)
        f.clock.advance(1);
    QCOMPARE(count[0], 2);
    QCOMPARE(count[7], 1); // it came after the first in the pass that destroyed it: only once before
    QCOMPARE(count[4], 3);
    QVERIFY(!ticks[4] && !ticks[7]);
    for (size_t i : {1, 2, 3, 5, 6})
        QVERIFY2(count[i] >= 9 && count[i] <= 10, qPrintable(QStringLiteral("%1: %2").arg(i).arg(count[i])));
    QVERIFY(count[8] >= 12);
    QCOMPARE(SharedTick::timerCount(), 2);
    ticks[0]->setEnabled(true);
    for (int ms = 0; ms < 1100; ++ms)
        f.clock.advance(1);
    QCOMPARE(count[0], 4);
    // Another interval leaves the group it left.
    ticks[0]->setInterval(300);
    const int at300 = count[8];
    for (int ms = 0; ms < 650; ++ms)
        f.clock.advance(1);
    QVERIFY(count[0] >= 6 && count[0] <= 7);
    QVERIFY(count[8] - at300 >= 2);
    for (auto &t : ticks)
        t.reset();
    extra.reset();
    QCOMPARE(SharedTick::timerCount(), 0);
}

// Twelve sites of 1000 ms on simulated controllers, started 37 ms apart (as a watcher's sites
// connect one by one): once all are online, the readings of a tick (each made when the
// controller's reply to "N" came, the same time after its poll) lie within the spread.
void tst_sharedtick::sitesOfOneIntervalPollTogether()
{
    AppFixture f;
    SilentDialogs silent;
    installDialogs(&silent);
    constexpr int kSites = 12;
    std::vector<std::unique_ptr<SiteWatch>> sites;
    std::vector<std::vector<qint64>> readAt(kSites);
    for (int i = 0; i < kSites; ++i) {
        WatchSite s;
        s.name = QStringLiteral("s%1").arg(i);
        s.port = QStringLiteral("COM%1").arg(i + 1);
        s.comPort = i + 1;
        s.intervalMs = 1000;
        s.inputType = 1;
        auto w = std::make_unique<SiteWatch>(s, [](const WatchSite &ws) {
            auto p = std::make_unique<SimulatedPort>();
            p->usablePorts = {ws.comPort};
            return p;
        });
        connect(w.get(), &SiteWatch::readingTaken, this,
                [&readAt, &f, i](const Reading &) { readAt[size_t(i)].push_back(f.clock.elapsedMs()); });
        w->start();
        sites.push_back(std::move(w));
        f.clock.advance(37);
    }
    for (int ms = 0; ms < 4000; ++ms)
        f.clock.advance(1);
    for (const auto &s : sites)
        QCOMPARE(s->state(), SiteState::Online);
    const qint64 from = f.clock.elapsedMs();
    for (int ms = 0; ms < 5000; ++ms)
        f.clock.advance(1);
    const auto p = passes(readAt, 0, kSites, from);
    QVERIFY(p.size() >= 4);
    for (const auto &pass : p)
        QVERIFY2(pass.back() - pass.front() <= SharedTick::kSpreadMs + 1,
                 qPrintable(QStringLiteral("readings from %1 to %2 ms").arg(pass.front()).arg(pass.back())));
    for (const auto &r : readAt)
        QVERIFY(std::count_if(r.begin(), r.end(), [&](qint64 t) { return t >= from; }) >= 4);
    sites.clear();
    installDialogs(nullptr);
}

// 1000 ticks at 1 s and 1000 at 200 ms: each pass fires every tick once, in slices of at
// most kSliceSites ticks at one moment, neighbours in different slices, the pass within
// half its interval; a group that shrinks to a few hundred goes back to kSlices.
void tst_sharedtick::aLargeFleetIsSpreadInSmallSlices()
{
    AppFixture f;
    for (const int interval : {1000, 200}) {
        constexpr int kTicks = 1000;
        std::vector<std::unique_ptr<SharedTick>> ticks;
        std::map<qint64, std::vector<int>> at; // moment -> ticks fired then
        for (int i = 0; i < kTicks; ++i) {
            auto t = std::make_unique<SharedTick>();
            t->setInterval(interval);
            t->onTick = [&at, &f, i] { at[f.clock.elapsedMs()].push_back(i); };
            t->setEnabled(true);
            ticks.push_back(std::move(t));
        }
        f.clock.advance(interval + interval / 2 + 1); // past the first pass
        at.clear();
        for (int n = 0; n < 5 * interval; ++n)
            f.clock.advance(1);
        // Group the moments into passes (a gap of more than a third of the interval between them).
        std::vector<std::vector<std::pair<qint64, std::vector<int>>>> passList;
        qint64 last = -1'000'000;
        for (const auto &[ms, fired] : at) {
            if (ms - last > interval / 3)
                passList.push_back({});
            passList.back().push_back({ms, fired});
            last = ms;
        }
        QVERIFY2(passList.size() >= 4, qPrintable(QString::number(passList.size())));
        for (const auto &pass : passList) {
            std::vector<int> count(kTicks, 0);
            for (const auto &[ms, fired] : pass) {
                QVERIFY2(int(fired.size()) <= SharedTick::kSliceSites, qPrintable(QString::number(fired.size())));
                for (int i : fired)
                    ++count[size_t(i)];
                for (size_t k = 1; k < fired.size(); ++k)
                    QVERIFY(fired[k] - fired[k - 1] > 1); // neighbours not in one slice
            }
            if (&pass == &passList.back() && pass.back().first + interval / 2 > f.clock.elapsedMs())
                continue; // may be cut by the end of the run
            QVERIFY(std::all_of(count.begin(), count.end(), [](int c) { return c == 1; }));
            QVERIFY2(pass.back().first - pass.front().first <= interval / 2,
                     qPrintable(QStringLiteral("%1 ms at %2").arg(pass.back().first - pass.front().first).arg(interval)));
            QCOMPARE(int(pass.size()), kTicks / SharedTick::kSliceSites);
        }
        // Shrunk to 150: four slices a millisecond apart again.
        ticks.resize(150);
        f.clock.advance(interval + 1);
        at.clear();
        f.clock.advance(interval);
        QVERIFY(!at.empty());
        QVERIFY(at.size() <= size_t(SharedTick::kSlices));
        QVERIFY(at.rbegin()->first - at.begin()->first <= SharedTick::kSpreadMs);
        ticks.clear();
    }
    QCOMPARE(SharedTick::timerCount(), 0);
}

QTEST_MAIN(tst_sharedtick)
#include "tst_sharedtick.moc"
