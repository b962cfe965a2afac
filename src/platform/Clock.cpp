#include "platform/Clock.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

namespace {
RealClock &realClock()
{
    static RealClock c;
    return c;
}
ClockService *g_installedClock = nullptr;

QElapsedTimer &monotonic()
{
    static QElapsedTimer t = [] {
        QElapsedTimer e;
        e.start();
        return e;
    }();
    return t;
}
} // namespace

ClockService &clockService()
{
    return g_installedClock ? *g_installedClock : realClock();
}

void installClock(ClockService *c) { g_installedClock = c; }

QDateTime Now() { return clockService().now(); }
void Sleep(int ms) { clockService().sleep(ms); }
void DoEvents() { clockService().doEvents(); }
void WaitForEvent(int ms) { clockService().waitForEvent(ms); }

// ---------------------------------------------------------------- Deadline

Deadline::Deadline(qint64 ms) : m_endMs(clockService().elapsedMs() + ms) {}

bool Deadline::passed() const { return clockService().elapsedMs() >= m_endMs; }

qint64 Deadline::remainingMs() const { return qMax<qint64>(0, m_endMs - clockService().elapsedMs()); }

void Deadline::wait() const { WaitForEvent(int(qBound(qint64(1), remainingMs(), qint64(1000000)))); }

// A second is longer than any wait a step loop needs to see: every loop runs a timer
// (the reply timer ticks each second) or watches a deadline of its own.
void WaitForWire() { WaitForEvent(1000); }

// ---------------------------------------------------------------- WindowTimer

WindowTimer::WindowTimer(QObject *parent) : QObject(parent)
{
    m_qtimer.setTimerType(Qt::PreciseTimer);
    connect(&m_qtimer, &QTimer::timeout, this, &WindowTimer::fire);
}

WindowTimer::~WindowTimer()
{
    if (m_startedOn)
        m_startedOn->timerStop(this);
}

void WindowTimer::setInterval(int ms)
{
    m_interval = ms < 0 ? 0 : ms;
    restart();
}

void WindowTimer::setEnabled(bool on)
{
    m_enabled = on;
    restart();
}

void WindowTimer::restart()
{
    if (m_startedOn) {
        m_startedOn->timerStop(this);
        m_startedOn = nullptr;
    }
    if (running()) {
        m_startedOn = &clockService();
        m_startedOn->timerStart(this);
    }
}

void WindowTimer::fire()
{
    if (running() && onTick)
        onTick();
}

// ---------------------------------------------------------------- RealClock

RealClock::RealClock() : m_startNs(monotonic().nsecsElapsed()) {}

QDateTime RealClock::now() { return QDateTime::currentDateTime(); }

qint64 RealClock::elapsedMs() { return (monotonic().nsecsElapsed() - m_startNs) / 1000000; }

void RealClock::sleep(int ms)
{
    if (ms <= 0) {
        doEvents();
        return;
    }
    // Leave on the guard's own flag: a coarse timer may fire early and a loop
    // waiting for more events could then block for ever.
    bool due = false;
    QTimer guard;
    guard.setTimerType(Qt::PreciseTimer);
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [&due] { due = true; });
    guard.start(ms);
    while (!due)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void RealClock::doEvents() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

void RealClock::waitForEvent(int ms)
{
    QTimer guard;
    guard.setTimerType(Qt::PreciseTimer);
    guard.setSingleShot(true);
    guard.start(ms < 1 ? 1 : ms);
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void RealClock::timerStart(WindowTimer *t) { t->m_qtimer.start(t->m_interval); }

void RealClock::timerStop(WindowTimer *t) { t->m_qtimer.stop(); }
