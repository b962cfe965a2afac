#pragma once
// The virtual clock for tests and benchmarks: time moves only when the code sleeps or
// waits, and timers, simulated serial bytes and scripted actions fall due on it.
#include "platform/Clock.h"

#include <QMap>
#include <functional>
#include <map>

class VirtualClock : public ClockService {
public:
    VirtualClock();
    ~VirtualClock() override;

    QDateTime now() override;
    qint64 elapsedMs() override { return m_nowUs / 1000; }
    void sleep(int ms) override;
    void doEvents() override;
    void waitForEvent(int ms) override;

    qint64 nowUs() const { return m_nowUs; }
    void setBase(const QDateTime &base) { m_base = base; }

    // Runs action when the virtual time reaches atUs; returns an id for cancel().
    quint64 scheduleAt(qint64 atUs, std::function<void()> action);
    quint64 scheduleIn(qint64 inUs, std::function<void()> action) { return scheduleAt(m_nowUs + inUs, std::move(action)); }
    void cancel(quint64 id);
    // How long the work between two DoEvents takes (a slow disk, a large file): a few
    // microseconds unless a test says otherwise.
    qint64 doEventsUs = 5;
    // Lets virtual time run for ms, firing everything that falls due (same as sleep).
    void advance(int ms) { sleep(ms); }
    // How many waits and sleeps the code has asked for (a loop that never waits shows here).
    quint64 waitCalls() const { return m_waitCalls; }
    // The window timers armed on this clock now.
    int armedTimers() const { return int(m_timerIds.size()); }

protected:
    void timerStart(WindowTimer *t) override;
    void timerStop(WindowTimer *t) override;

private:
    struct Due {
        std::function<void()> action;
        WindowTimer *timer = nullptr;
        quint64 id = 0;
    };
    // Fires the earliest entry due at or before limitUs; false when there is none.
    bool fireNext(qint64 limitUs);
    void pumpQt();
    void pumpPosted();

    qint64 m_nowUs = 0;
    quint64 m_nextId = 1;
    quint64 m_waitCalls = 0;
    QDateTime m_base;
    std::multimap<std::pair<qint64, quint64>, Due> m_queue;
    QMap<WindowTimer *, quint64> m_timerIds;
};
