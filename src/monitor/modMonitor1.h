#pragma once
// The input monitor's state and store: whether it runs and whether a stop is asked, a ring
// of the 21 newest readings, whether the poll runs, and what the monitor announces to its
// windows. The program's session feeds the ring: each "N" reply it takes begins the next
// entry (valueReceived) and the "Y" reply after it completes it (readingCompleted); the
// store announces each completed reading, and the windows show it when they hear it. A late
// or out-of-step reply makes no reading, so it never reaches the ring.
#include "link/Reading.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

// ------------------------------------------------------------------ run flags
// Read-only views; the setters below change them and announce the change (and only a
// change): g_intMonitorOn monitorEnablingChanged, g_intMonitorStop monitorStopChanged.
extern const qint16 &g_intMonitorOn;   // -1 while the input monitor runs
extern const qint16 &g_intMonitorStop; // 1 asks the monitor to stop at its next tick
extern const qint16 &g_intPollBusy;    // -1 while a poll exchange runs
void g_subMonitorOnSet(qint16 on);
// A stop (1) also ends a poll that waits for its reply, without sending more.
void g_subMonitorStopSet(qint16 stop);
void g_subPollBusySet(qint16 busy);
// Announces the monitor's enabling again (what the editor's g_subChangeFrmEnable asks).
void g_subMonitorEnableNotify();
// Back to the values at process start, without announcing (start-up and tests).
void g_subMonitorStateReset();

// ------------------------------------------------------------------ the ring
constexpr int kMonData = 21;
// Read-only views of the ring and its newest index. Each entry is a reading as the session
// made it; between its "N" and its "Y" reply the newest entry holds the new value with the
// outputs of the entry before it. An entry never filled has no time.
extern const Reading (&g_typMonData)[kMonData];
extern const qint16 &g_intMonDataIdx;
// The fresh-reading flags of the readers that sample on their own schedule instead of
// showing each reading (the log filer): 0 a new reading came, -1 the reader has taken it.
// The store lowers them all; a reader raises its own when it takes a reading.
enum MonReader : int { monLogFiler, kMonReaders };
extern const qint16 (&g_intMonNewFlag)[kMonReaders];
void g_subMonNewFlagSet(int reader, qint16 flag); // other readers change nothing

void g_subMonitorIni();
// What the program's session feeds the store with (connected when the store is first set
// up): an "N" reply's reading begins the next ring entry; the reading its "Y" reply
// completed fills it, lowers every reader's flag, goes into the trend's history and is
// announced (queued: the listeners run when the poll has returned to the event loop).
void g_subMonValueStore(const Reading &begun);
void g_subMonReadingStore(const Reading &reading);
// The newest complete reading, in the unit of the settings loaded now (another input type
// loaded since re-scales the count, it does not decode it again); what the readers show and
// log. A count and outputs of zero before the first reading.
const Reading &NewestReading();
// The newest entry of the ring (its outputs still the entry before's until its "Y"), in the
// unit of the settings loaded now.
Reading NewestEntry();

// The poll runs (its timer is loaded) from the start of the monitor to the tick that ends
// it: "the monitor runs" as the readers see it. The poll sets it, and it is announced.
bool g_funcMonitorPolling();
void g_subMonitorPollingSet(bool polling);

// Whether the running monitor may not be stopped by hand now, because something samples
// it (the log filer while it logs): the sampler sets the check while it exists.
void g_subMonitorHoldSet(std::function<bool()> held);
bool g_funcMonitorHeld();
// The reception time as the monitor stamps it: "yyyy/MM/dd HH:mm:ss", blank padded to 22
// (22 blanks for an entry never filled).
QString MonTimeText(const QDateTime &t);

// What the monitor announces; the monitor windows listen.
class MonitorEvents : public QObject {
    Q_OBJECT
signals:
    // A reading is complete (its "Y" reply stored): the windows show the newest entry.
    void readingStored();
    // The poll started (true) or ended (false).
    void pollingChanged(bool polling);
    // The monitor ended (g_subAnaMoniEnd): the analog monitor's display timer stops.
    void monitorEnded();
    // A stop by hand was refused because the monitor is held: the holder shows why.
    void stopRefused();
    // The connection ended: the analog monitor window closes.
    void analogMonitorCloseRequested();
    // g_intMonitorOn changed: the commands the running monitor forbids follow it.
    void monitorEnablingChanged();
    // g_intMonitorStop changed: a stop was asked of the monitor (true) or its run began.
    void monitorStopChanged(bool requested);
};
MonitorEvents &monitorEvents();
