#pragma once
// Clock and pump: every wait, every reading of the time and every window timer of the
// tool goes through the installed ClockService, so tests can swap in the virtual clock.
#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <functional>

class WindowTimer;

class ClockService {
public:
    virtual ~ClockService() = default;
    virtual QDateTime now() = 0;
    // Monotonic milliseconds since the service started.
    virtual qint64 elapsedMs() = 0;
    // Let ms pass while window events (and timer ticks) are handled as they come.
    virtual void sleep(int ms) = 0;
    // Handle pending events and return at once.
    virtual void doEvents() = 0;
    // Sleep until the next event (serial byte, timer tick, click) or ms at most, and handle it.
    virtual void waitForEvent(int ms) = 0;

protected:
    friend class WindowTimer;
    virtual void timerStart(WindowTimer *t) = 0;
    virtual void timerStop(WindowTimer *t) = 0;
};

// The installed clock (a RealClock unless a test installed another one).
ClockService &clockService();
// Installs c (not owned); nullptr restores the real clock.
void installClock(ClockService *c);

QDateTime Now();
void Sleep(int ms);
void DoEvents();
void WaitForEvent(int ms);

// A wait's time bound on the monotonic clock. A pass of a step loop that found nothing
// new calls wait(): it sleeps until the next event (a serial byte, a timer tick, a click)
// or the bound, so the loop sees a byte the moment it arrives and an idle wait costs no
// processor time.
class Deadline {
public:
    explicit Deadline(qint64 ms);
    bool passed() const;
    qint64 remainingMs() const;
    void wait() const;

private:
    qint64 m_endMs;
};

// A pass of a step loop that found nothing new and whose end comes from its timers (the
// reply timer, the overall communication timer) or the user: sleeps until the next event.
void WaitForWire();

// A window's timer: an interval, an enabled switch and a tick handler.
// Ticks are delivered on the user-interface thread, also inside waits.
class WindowTimer : public QObject {
    Q_OBJECT
public:
    explicit WindowTimer(QObject *parent = nullptr);
    ~WindowTimer() override;

    int Interval() const { return m_interval; }
    void setInterval(int ms);
    bool Enabled() const { return m_enabled; }
    void setEnabled(bool on);
    bool running() const { return m_enabled && m_interval > 0; }

    std::function<void()> onTick;
    // Called by the clock when the timer falls due.
    void fire();

private:
    friend class RealClock;
    friend class VirtualClock;
    void restart();
    int m_interval = 0;
    bool m_enabled = false;
    QTimer m_qtimer;
    ClockService *m_startedOn = nullptr;
};

class RealClock : public ClockService {
public:
    RealClock();
    QDateTime now() override;
    qint64 elapsedMs() override;
    void sleep(int ms) override;
    void doEvents() override;
    void waitForEvent(int ms) override;

protected:
    void timerStart(WindowTimer *t) override;
    void timerStop(WindowTimer *t) override;

private:
    qint64 m_startNs;
};
