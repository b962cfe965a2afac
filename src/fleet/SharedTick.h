#pragma once
// The poll tick of a site, shared with every site of the same interval: one timer per
// interval wakes the process and polls its sites in one pass, so one wake-up serves many
// sites and their replies come back together, instead of a timer (and a wake-up) per site.
// The pass is cut into slices, the sites dealt out in the order they joined: consecutive
// ports of one device server, which join one after the other, are not all hit in the same
// millisecond. Up to kSlices x kSliceSites sites, kSlices slices kSliceMs apart (all within
// kSpreadMs); a larger group gets one slice for each kSliceSites sites, at most
// kLargeSliceMs apart and within half the interval: the replies of one slice are taken
// before the next slice's come, so a reading waits for a slice's worth of others, not for
// the whole fleet's (a thousand sites in one pass kept a reading a tenth of a second).
//
// A SharedTick is used as a WindowTimer is (interval, enabled, onTick); it may be disabled
// or destroyed from any tick handler, its own included.
#include <functional>

class SharedTick {
public:
    static constexpr int kSlices = 4;
    static constexpr int kSliceMs = 1;
    static constexpr int kSpreadMs = (kSlices - 1) * kSliceMs;
    static constexpr int kSliceSites = 50;
    static constexpr int kLargeSliceMs = 25;
    // The slices of a pass of `sites` sites every `interval` ms, and the time between two.
    struct Spread {
        int slices;
        int sliceMs;
    };
    static Spread spreadFor(int sites, int interval);

    SharedTick() = default;
    ~SharedTick();
    SharedTick(const SharedTick &) = delete;
    SharedTick &operator=(const SharedTick &) = delete;

    int interval() const { return m_interval; }
    void setInterval(int ms);
    bool enabled() const { return m_enabled; }
    void setEnabled(bool on);

    std::function<void()> onTick;

    // The intervals with a shared timer now (one per interval of the enabled ticks).
    static int timerCount();

private:
    void join();
    void leave();
    int m_interval = 0;
    bool m_enabled = false;
    bool m_joined = false;
};
