#include "doubles/VirtualClock.h"

#include <QCoreApplication>

VirtualClock::VirtualClock() : m_base(QDate(2026, 1, 5), QTime(9, 0, 0)) {}

VirtualClock::~VirtualClock()
{
    // Timers still armed here forget this clock, or stopping them later would reach a
    // freed object; they run again on the installed clock when next enabled.
    for (auto it = m_timerIds.keyBegin(); it != m_timerIds.keyEnd(); ++it)
        (*it)->m_startedOn = nullptr;
    if (&clockService() == this)
        installClock(nullptr);
}

QDateTime VirtualClock::now() { return m_base.addMSecs(m_nowUs / 1000); }

void VirtualClock::pumpQt()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

quint64 VirtualClock::scheduleAt(qint64 atUs, std::function<void()> action)
{
    const quint64 id = m_nextId++;
    Due d;
    d.action = std::move(action);
    d.id = id;
    m_queue.emplace(std::make_pair(qMax(atUs, m_nowUs), id), std::move(d));
    return id;
}

void VirtualClock::cancel(quint64 id)
{
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
        if (it->second.id == id) {
            m_queue.erase(it);
            return;
        }
    }
}

void VirtualClock::timerStart(WindowTimer *t)
{
    timerStop(t);
    const qint64 at = m_nowUs + qint64(t->Interval()) * 1000;
    const quint64 id = m_nextId++;
    Due d;
    d.timer = t;
    d.id = id;
    m_queue.emplace(std::make_pair(at, id), std::move(d));
    m_timerIds.insert(t, id);
}

void VirtualClock::timerStop(WindowTimer *t)
{
    auto it = m_timerIds.find(t);
    if (it == m_timerIds.end())
        return;
    cancel(it.value());
    m_timerIds.erase(it);
}

bool VirtualClock::fireNext(qint64 limitUs)
{
    if (m_queue.empty())
        return false;
    auto it = m_queue.begin();
    if (it->first.first > limitUs)
        return false;
    m_nowUs = qMax(m_nowUs, it->first.first);
    Due d = std::move(it->second);
    m_queue.erase(it);
    if (d.timer) {
        WindowTimer *t = d.timer;
        m_timerIds.remove(t);
        // Re-arm before the tick so a handler that waits sees its next tick on time.
        timerStart(t);
        t->fire();
    } else if (d.action) {
        d.action();
    }
    return true;
}

void VirtualClock::pumpPosted()
{
    if (QCoreApplication::instance())
        QCoreApplication::sendPostedEvents();
}

void VirtualClock::sleep(int ms)
{
    ++m_waitCalls;
    const qint64 target = m_nowUs + qint64(qMax(ms, 0)) * 1000;
    pumpQt();
    // Between the events of one long sleep only what the code itself posted is handled
    // (queued calls); the window system's events wait for the end of the sleep.
    while (fireNext(target))
        pumpPosted();
    m_nowUs = qMax(m_nowUs, target);
    pumpQt();
}

void VirtualClock::doEvents()
{
    // A few microseconds pass, so even a loop that never waits makes progress.
    m_nowUs += doEventsUs;
    pumpQt();
    while (fireNext(m_nowUs))
        pumpQt();
}

void VirtualClock::waitForEvent(int ms)
{
    ++m_waitCalls;
    const qint64 limit = m_nowUs + qint64(qMax(ms, 1)) * 1000;
    pumpPosted();
    if (!fireNext(limit))
        m_nowUs = limit;
    pumpQt();
}
