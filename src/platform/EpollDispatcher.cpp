#include "EpollDispatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QTimerEvent>

#include <cerrno>
#include <ctime>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
constexpr int kEventsPerWait = 256;
}

uint32_t EpollDispatcher::Fd::wanted() const
{
    uint32_t m = 0;
    if (read)
        m |= EPOLLIN;
    if (write)
        m |= EPOLLOUT;
    if (exception)
        m |= EPOLLPRI;
    return m;
}

EpollDispatcher::EpollDispatcher(QObject *parent) : QAbstractEventDispatcher(parent)
{
    m_epoll = epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epoll >= 0 && m_wakeFd >= 0) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = m_wakeFd;
        if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &ev) != 0) {
            ::close(m_wakeFd);
            m_wakeFd = -1;
        }
    }
}

EpollDispatcher::~EpollDispatcher()
{
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

qint64 EpollDispatcher::nowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// ---- sockets ----

void EpollDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    if (fd < 0)
        return;
    if (size_t(fd) >= m_fds.size())
        m_fds.resize(size_t(fd) + 1);
    Fd &e = m_fds[size_t(fd)];
    if (!e.present) {
        e.present = true;
        ++m_watched;
    }
    switch (notifier->type()) {
    case QSocketNotifier::Read: e.read = notifier; break;
    case QSocketNotifier::Write: e.write = notifier; break;
    case QSocketNotifier::Exception: e.exception = notifier; break;
    }
    markDirty(fd, e);
}

void EpollDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    if (fd < 0 || size_t(fd) >= m_fds.size() || !m_fds[size_t(fd)].present)
        return;
    Fd &e = m_fds[size_t(fd)];
    if (e.read == notifier)
        e.read = nullptr;
    if (e.write == notifier)
        e.write = nullptr;
    if (e.exception == notifier)
        e.exception = nullptr;
    if (!e.wanted()) {
        // The last notifier of a descriptor: out of the set now, not at the next wait. Its
        // owner may close it at once and a new socket take its number before that wait; the
        // kernel drops a closed descriptor by itself, and the new one must be added afresh.
        if (e.inSet) {
            epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
            ++m_setChanges;
        }
        if (e.alwaysReady)
            m_alwaysReady.erase(fd);
        e = Fd{};
        --m_watched;
        return;
    }
    markDirty(fd, e);
}

void EpollDispatcher::markDirty(int fd, Fd &e)
{
    if (!e.dirty) {
        e.dirty = true;
        m_dirty.push_back(fd);
    }
}

// The epoll set follows the notifiers once per wait: a write notifier switched on and off
// again between two waits costs nothing.
void EpollDispatcher::applyChanges()
{
    for (int fd : m_dirty) {
        if (size_t(fd) >= m_fds.size() || !m_fds[size_t(fd)].present)
            continue;
        Fd &e = m_fds[size_t(fd)];
        e.dirty = false;
        const uint32_t want = e.wanted();
        if (e.alwaysReady || !want)
            continue; // (a descriptor without notifiers has left the set already)
        if (e.inSet && want == e.applied)
            continue;
        epoll_event ev{};
        ev.events = want;
        ev.data.fd = fd;
        int rc = epoll_ctl(m_epoll, e.inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev);
        ++m_setChanges;
        // The descriptor may have been closed and its number given out again since it
        // entered the set (the kernel drops a closed one by itself), or be in it already.
        if (rc != 0 && errno == ENOENT)
            rc = epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
        else if (rc != 0 && errno == EEXIST)
            rc = epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev);
        if (rc == 0) {
            e.inSet = true;
            e.applied = want;
        } else if (errno == EPERM) {
            // A plain file: poll() calls it always ready, so does this.
            e.inSet = false;
            e.alwaysReady = true;
            m_alwaysReady.insert(fd);
        } else {
            e.inSet = false;
            e.applied = 0;
        }
    }
    m_dirty.clear();
}

bool EpollDispatcher::deliver(int fd, QSocketNotifier *Fd::*which)
{
    // Each notifier is looked up again: the one before may have switched it off or deleted it.
    if (size_t(fd) >= m_fds.size())
        return false;
    QSocketNotifier *n = m_fds[size_t(fd)].*which;
    if (!n)
        return false;
    QEvent event(QEvent::SockAct);
    QCoreApplication::sendEvent(n, &event);
    return true;
}

int EpollDispatcher::activateSockets(const void *raw, int count)
{
    const auto *events = static_cast<const epoll_event *>(raw);
    int n = 0;
    for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        const uint32_t what = events[i].events;
        if (fd == m_wakeFd) {
            eventfd_t value;
            eventfd_read(m_wakeFd, &value);
            m_wakeFdArmed.store(false, std::memory_order_release);
            continue;
        }
        const bool trouble = what & (EPOLLERR | EPOLLHUP);
        bool readTaken = false;
        if (what & (EPOLLIN | EPOLLERR | EPOLLHUP))
            readTaken = deliver(fd, &Fd::read);
        n += readTaken;
        // A hang-up with no reader goes to the writer, so that someone takes it.
        if ((what & EPOLLOUT) || (what & EPOLLERR) || (trouble && !readTaken))
            n += deliver(fd, &Fd::write);
        if (what & EPOLLPRI)
            n += deliver(fd, &Fd::exception);
    }
    return n;
}

int EpollDispatcher::activateAlwaysReady()
{
    if (m_alwaysReady.empty())
        return 0;
    const std::vector<int> fds(m_alwaysReady.begin(), m_alwaysReady.end());
    int n = 0;
    for (int fd : fds) {
        n += deliver(fd, &Fd::read);
        n += deliver(fd, &Fd::write);
    }
    return n;
}

// ---- timers ----

void EpollDispatcher::push(int id, Timer &t)
{
    t.seq = ++m_seq;
    m_heap.push(Due{t.dueMs, t.seq, id});
    // Timers restarted before they are due leave their old entries behind; they go when they
    // come to the top, or here once they outnumber the live ones.
    if (m_heap.size() > 4 * m_timers.size() + 1024)
        compactHeap();
}

void EpollDispatcher::compactHeap()
{
    std::vector<Due> live;
    live.reserve(m_timers.size());
    for (const auto &[id, t] : m_timers)
        live.push_back(Due{t.dueMs, t.seq, id});
    m_heap = decltype(m_heap)(std::greater<Due>(), std::move(live));
}

void EpollDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object)
{
    Timer &t = m_timers[timerId];
    t.object = object;
    t.intervalMs = qMax<qint64>(0, interval);
    t.type = timerType;
    t.firing = false;
    t.dueMs = nowMs() + t.intervalMs;
    push(timerId, t);
}

bool EpollDispatcher::unregisterTimer(int timerId)
{
    return m_timers.erase(timerId) > 0;
}

bool EpollDispatcher::unregisterTimers(QObject *object)
{
    bool any = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->second.object == object) {
            it = m_timers.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> list;
    for (const auto &[id, t] : m_timers)
        if (t.object == object)
            list.append(TimerInfo(id, int(t.intervalMs), t.type));
    return list;
}

int EpollDispatcher::remainingTime(int timerId)
{
    auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return -1;
    return int(qMax<qint64>(0, it->second.dueMs - nowMs()));
}

int EpollDispatcher::nextTimeoutMs(qint64 now)
{
    while (!m_heap.empty()) {
        const Due &d = m_heap.top();
        auto it = m_timers.find(d.id);
        if (it == m_timers.end() || it->second.seq != d.seq) {
            m_heap.pop();
            continue;
        }
        return int(qBound<qint64>(0, d.dueMs - now, qint64(24) * 3600 * 1000));
    }
    return -1;
}

int EpollDispatcher::activateTimers()
{
    const qint64 now = nowMs();
    // The timers due now are taken and set to their next time before any fires: a timer
    // started or restarted by one of them waits for its own time, so a zero timer fires once
    // a pass, as in Qt's own loops; and a nested loop in one handler sees the others due.
    std::vector<Due> due;
    while (!m_heap.empty() && m_heap.top().dueMs <= now) {
        const Due d = m_heap.top();
        m_heap.pop();
        auto it = m_timers.find(d.id);
        if (it == m_timers.end() || it->second.seq != d.seq)
            continue;
        Timer &t = it->second;
        // The next time is kept on the timer's own beat; one that fell behind starts anew.
        t.dueMs += t.intervalMs;
        if (t.dueMs < now)
            t.dueMs = now + t.intervalMs;
        push(d.id, t);
        due.push_back(Due{t.dueMs, t.seq, d.id});
    }
    int n = 0;
    for (const Due &d : due) {
        // Gone, stopped and started again (Qt gives a freed id out again), or fired by a
        // nested loop meanwhile: not due now.
        auto it = m_timers.find(d.id);
        if (it == m_timers.end() || it->second.seq != d.seq || it->second.firing)
            continue;
        it->second.firing = true;
        QObject *object = it->second.object;
        QTimerEvent event(d.id);
        QCoreApplication::sendEvent(object, &event);
        ++n;
        auto again = m_timers.find(d.id);
        if (again != m_timers.end())
            again->second.firing = false;
    }
    return n;
}

// ---- the loop ----

void EpollDispatcher::wakeUp()
{
    m_wakePending.store(true, std::memory_order_release);
    if (QThread::currentThreadId() == m_owner.load(std::memory_order_acquire))
        return;
    if (!m_wakeFdArmed.exchange(true, std::memory_order_acq_rel))
        eventfd_write(m_wakeFd, 1);
}

void EpollDispatcher::interrupt()
{
    m_interrupt.store(true, std::memory_order_release);
    wakeUp();
}

bool EpollDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_owner.store(QThread::currentThreadId(), std::memory_order_release);
    m_interrupt.store(false, std::memory_order_release);
    emit awake();

    // Posted events first; whatever they post keeps the wait below from sleeping.
    m_wakePending.store(false, std::memory_order_release);
    QCoreApplication::sendPostedEvents();

    const bool canWait = (flags & QEventLoop::WaitForMoreEvents) && !m_interrupt.load(std::memory_order_acquire)
                         && !m_wakePending.load(std::memory_order_acquire);
    const bool timers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool sockets = !(flags & QEventLoop::ExcludeSocketNotifiers);

    applyChanges();
    int timeout = 0;
    if (canWait) {
        timeout = timers ? nextTimeoutMs(nowMs()) : -1;
        if (sockets && !m_alwaysReady.empty())
            timeout = 0;
        if (timeout != 0)
            emit aboutToBlock();
    }

    epoll_event events[kEventsPerWait];
    int count;
    do {
        count = epoll_wait(m_epoll, events, kEventsPerWait, timeout);
    } while (count < 0 && errno == EINTR && timeout == 0);
    if (count < 0)
        count = 0; // a signal ended the wait: the loop comes round again
    if (timeout != 0)
        emit awake();

    int n = 0;
    if (sockets) {
        n += activateSockets(events, count);
        n += activateAlwaysReady();
    } else {
        // The wake-up descriptor is still read, so that it does not stay ready.
        for (int i = 0; i < count; ++i)
            if (events[i].data.fd == m_wakeFd) {
                eventfd_t value;
                eventfd_read(m_wakeFd, &value);
                m_wakeFdArmed.store(false, std::memory_order_release);
            }
    }
    if (timers && !m_interrupt.load(std::memory_order_acquire))
        n += activateTimers();
    return n > 0;
}
