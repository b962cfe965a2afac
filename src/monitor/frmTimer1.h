#pragma once
// The input monitor's poll: the carrier of MonitorTimer1, which asks the controller for its
// input ("N") and outputs ("Y") once per sampling period while the monitor runs. It is
// never shown; loading it starts the timer and unloading it stops the timer. What a poll
// came to decides what stops: a command that could not be sent ends the monitor and the
// link, a reply that never came (or never carried a value) ends the monitor over the open
// link.
#include "core/modMain1.h"
#include "platform/Clock.h"

#include <QObject>

class frmTimer1 : public QObject {
    Q_OBJECT
public:
    frmTimer1();
    void MonitorTimer1_Timer();
    WindowTimer MonitorTimer1;

private:
    // A failed exchange: the monitor stops, the link goes down and the port closes.
    void failureStop(const QString &text);
};

// The one carrier, made at its first load; it stays for the whole process.
extern frmTimer1 *const &g_frmTimer1;
// Loading starts polling at g_lngSamplingTime, unloading stops it; g_intFormOpen(13) and
// g_funcMonitorPolling tell which.
void g_subTimerFormLoad();
void g_subTimerFormUnload();

// One poll exchange ("N" or "Y") on the program's session, whose readings go into the
// store; false when the command could not be sent. A reply that never came, or came
// without a value for as long as a reply may take, shows the time-out's box and asks the
// monitor to stop. Nothing is sent once a stop is asked. The start's first poll and every
// tick use it.
bool g_funcMonitorPoll(const QString &command);

// Ends the input monitor at a tick that found the stop request: a poll that still runs
// ends, the analog monitor's display timer off, the poll unloaded and the enabling back.
// Works whether the analog monitor window is open or already closed.
void g_subAnaMoniEnd();
