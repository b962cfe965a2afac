#pragma once
// The poll tick of a site, shared with every site of the same interval: one timer per
// interval wakes the process and polls its sites in one pass, so one wake-up serves many
// sites and their replies come back together, instead of a timer (and a wake-up) per site.
// The pass is cut into at most kSlices slices, kSliceMs apart (all within kSpreadMs), the
// sites dealt out in the order they joined: consecutive ports of one device server, which
// join one after the other, are not all hit in the same millisecond.
//
// A SharedTick is used as a WindowTimer is (interval, enabled, onTick); it may be disabled
// or destroyed from any tick handler, its own included.
#include <functional>

class SharedTick {
public:
    static constexpr int kSlices = 4;
    static constexpr int kSliceMs = 1;
    static constexpr int kSpreadMs = (kSlices - 1) * kSliceMs;

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
