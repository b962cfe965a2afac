#include "fleet/SharedTick.h"

#include "platform/Clock.h"

#include <algorithm>
#include <map>
#include <memory>
#include <vector>

namespace {
// The sites of one interval and its two timers: the interval's, and the slices' after the
// first within a pass. A group stays when its sites leave (a site may leave within the
// group's own tick), its timers stopped.
struct Group {
    WindowTimer tick;
    WindowTimer slice;
    // In the order they joined; a tick that leaves during a pass leaves a hole, closed once
    // the pass is over, so that the slices of a pass deal out the same order.
    std::vector<SharedTick *> members;
    int live = 0;
    int nextSlice = 0;
    int slices = 0;
    size_t passCount = 0; // the members when the pass began
    bool inPass = false;
};

std::map<int, std::unique_ptr<Group>> &groups()
{
    // Never destroyed: a site may leave after the end of main().
    static auto *g = new std::map<int, std::unique_ptr<Group>>;
    return *g;
}

void endPass(Group &g)
{
    g.inPass = false;
    g.slice.setEnabled(false);
    g.members.erase(std::remove(g.members.begin(), g.members.end(), nullptr), g.members.end());
    if (g.live == 0)
        g.tick.setEnabled(false);
}

void runSlice(Group &g)
{
    const int k = g.nextSlice++;
    // Those that join during the pass wait for the next one (a site polls once as it joins).
    for (size_t i = size_t(k); i < g.passCount; i += size_t(g.slices)) {
        SharedTick *t = g.members[i];
        if (t && t->onTick)
            t->onTick();
    }
    if (g.nextSlice >= g.slices)
        endPass(g);
}
} // namespace

SharedTick::~SharedTick() { leave(); }

SharedTick::Spread SharedTick::spreadFor(int sites, int interval)
{
    if (sites <= kSlices * kSliceSites)
        return {std::min(kSlices, sites), kSliceMs};
    const int slices = (sites + kSliceSites - 1) / kSliceSites;
    // Within half the interval: a pass never runs into the next one.
    const int ms = std::clamp(interval / 2 / (slices - 1), kSliceMs, kLargeSliceMs);
    return {slices, ms};
}

int SharedTick::timerCount()
{
    int n = 0;
    for (const auto &[interval, g] : groups())
        n += g->tick.Enabled();
    return n;
}

void SharedTick::setInterval(int ms)
{
    if (ms == m_interval)
        return;
    leave();
    m_interval = ms;
    if (m_enabled)
        join();
}

void SharedTick::setEnabled(bool on)
{
    m_enabled = on;
    if (on)
        join();
    else
        leave();
}

void SharedTick::join()
{
    if (m_joined || m_interval <= 0)
        return;
    auto &all = groups();
    auto it = all.find(m_interval);
    if (it == all.end()) {
        auto g = std::make_unique<Group>();
        Group *raw = g.get();
        raw->tick.setInterval(m_interval);
        raw->tick.onTick = [raw] {
            if (raw->inPass) // a pass that outlasted the interval (a slow handler): finish it first
                return;
            const SharedTick::Spread spread = SharedTick::spreadFor(int(raw->members.size()), raw->tick.Interval());
            raw->slices = spread.slices;
            if (raw->slices == 0)
                return;
            if (raw->slice.Interval() != spread.sliceMs)
                raw->slice.setInterval(spread.sliceMs);
            raw->inPass = true;
            raw->nextSlice = 0;
            raw->passCount = raw->members.size();
            if (raw->slices > 1)
                raw->slice.setEnabled(true);
            runSlice(*raw);
        };
        raw->slice.setInterval(kSliceMs);
        raw->slice.onTick = [raw] {
            if (raw->inPass)
                runSlice(*raw);
        };
        it = all.emplace(m_interval, std::move(g)).first;
    }
    // A group whose sites all left keeps its place (it may be within its own tick), idle.
    if (!it->second->tick.Enabled())
        it->second->tick.setEnabled(true);
    it->second->members.push_back(this);
    ++it->second->live;
    m_joined = true;
}

void SharedTick::leave()
{
    if (!m_joined)
        return;
    m_joined = false;
    auto &all = groups();
    const auto it = all.find(m_interval);
    if (it == all.end())
        return;
    Group &g = *it->second;
    const auto pos = std::find(g.members.begin(), g.members.end(), this);
    if (pos == g.members.end())
        return;
    --g.live;
    if (g.inPass) {
        *pos = nullptr;
        return;
    }
    g.members.erase(pos);
    if (g.live == 0)
        g.tick.setEnabled(false);
}
