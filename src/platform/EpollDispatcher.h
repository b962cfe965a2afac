// An event dispatcher for one thread on Linux's epoll, for a program that watches many
// sockets at once (qelvo-watchd holds one per site). Qt's own dispatchers hand every socket
// to poll() at each wake-up, so their cost grows with the idle sockets; here a wake-up costs
// what is ready, not what is open.
//
// - Sockets: each descriptor is in the epoll set with the union of its notifiers' kinds.
//   Notifiers switched on and off between two waits (a socket's write notifier is on only
//   while it has bytes to send) change the set once, just before the next wait, or not at
//   all where they end as they began; a descriptor whose last notifier goes leaves the set
//   at once (its number may be given to a new socket before the next wait). A descriptor
//   epoll refuses (a plain file) counts as always ready, as poll() has it.
// - Timers: a heap ordered by the next time each is due, on the monotonic clock, to the
//   millisecond. A timer whose object is still handling its last event (a nested loop) is
//   not fired again inside it.
// - Posted events: a wake-up from the dispatcher's own thread only keeps the next wait from
//   sleeping; from another thread it writes an eventfd, once until the dispatcher reads it.
#pragma once

#include <QAbstractEventDispatcher>

#include <atomic>
#include <cstdint>
#include <queue>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class QSocketNotifier;

class EpollDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit EpollDispatcher(QObject *parent = nullptr);
    ~EpollDispatcher() override;

    // false where the kernel gave no epoll or eventfd (the caller takes Qt's own then).
    bool isValid() const { return m_epoll >= 0 && m_wakeFd >= 0; }

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;
    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;
    void wakeUp() override;
    void interrupt() override;

    // For the tests: descriptors in the epoll set, epoll_ctl calls made, timers held.
    int watchedDescriptors() const { return m_watched; }
    quint64 setChanges() const { return m_setChanges; }
    int timerCount() const { return int(m_timers.size()); }

private:
    struct Fd {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
        QSocketNotifier *exception = nullptr;
        uint32_t applied = 0;   // the kinds the epoll set holds for it
        bool inSet = false;     // in the epoll set at all
        bool dirty = false;     // queued in m_dirty
        bool alwaysReady = false;
        bool present = false;   // has a notifier
        uint32_t wanted() const;
    };
    struct Timer {
        QObject *object = nullptr;
        qint64 intervalMs = 0;
        qint64 dueMs = 0;
        quint64 seq = 0;        // the heap entry that is this timer's own
        Qt::TimerType type = Qt::CoarseTimer;
        bool firing = false;
    };
    struct Due {
        qint64 dueMs;
        quint64 seq;
        int id;
        bool operator>(const Due &o) const { return dueMs != o.dueMs ? dueMs > o.dueMs : seq > o.seq; }
    };

    static qint64 nowMs();
    void markDirty(int fd, Fd &entry);
    void applyChanges();
    int nextTimeoutMs(qint64 now);
    int activateSockets(const void *events, int count);
    int activateAlwaysReady();
    int activateTimers();
    void push(int id, Timer &t);
    void compactHeap();
    bool deliver(int fd, QSocketNotifier *Fd::*which);

    int m_epoll = -1;
    int m_wakeFd = -1;
    std::vector<Fd> m_fds; // by descriptor: the numbers are small and dense
    int m_watched = 0;
    std::vector<int> m_dirty;
    std::unordered_set<int> m_alwaysReady;
    std::unordered_map<int, Timer> m_timers;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> m_heap;
    quint64 m_seq = 0;
    quint64 m_setChanges = 0;
    std::atomic<bool> m_wakePending{false};
    std::atomic<bool> m_wakeFdArmed{false};
    std::atomic<bool> m_interrupt{false};
    std::atomic<Qt::HANDLE> m_owner{nullptr};
};
