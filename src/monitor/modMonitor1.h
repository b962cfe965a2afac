#pragma once
// The input monitor's store: a ring of the 21 newest readings, whether the poll runs, and
// what the monitor announces to its windows. Only the poll writes the ring; the store
// announces each completed reading, and the windows show the newest entry when they hear
// it. (The monitor's run flags, which the poll exchange reads, are the link's:
// link/modLinkState.h.)
#include "link/Reading.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

struct MonDataRec {
    QString Time;    // 22 characters, date and time of reception, blank padded
    QString Value;   // 4 hexadecimal digits: the input count
    QString Outputs; // 2 hexadecimal digits: one bit per output
};

constexpr int kMonData = 21;
// Read-only views of the ring and its newest index: g_subMonDataStore writes them.
extern const MonDataRec (&g_typMonData)[kMonData];
extern const qint16 &g_intMonDataIdx;
// The fresh-reading flags of the readers that sample on their own schedule instead of
// showing each reading (the log filer): 0 a new reading came, -1 the reader has taken it.
// The store lowers them all; a reader raises its own when it takes a reading.
enum MonReader : int { monLogFiler, kMonReaders };
extern const qint16 (&g_intMonNewFlag)[kMonReaders];
void g_subMonNewFlagSet(int reader, qint16 flag); // other readers change nothing

void g_subMonitorIni();
// The characters after the command letter of a reply (2 to 1 + length); empty on error.
QString g_funcReplyValue(const QString &reply, int length);
// Stores an accepted poll reply: "N" starts the next ring entry stamped with the time of
// reception, "Y" adds the outputs to that entry, raises every reader's flag and announces
// the reading (queued: the listeners run when the poll has returned to the event loop).
void g_subMonDataStore(const QString &command, const QString &reply);
// The newest reading, as the ring keeps it.
const MonDataRec &g_funcNewestReading();
// The newest complete reading, decoded once when its "Y" reply was stored (with the input
// type of the loaded settings, and again in another unit when other settings are loaded);
// what the readers show and log. A count and outputs of zero before the first reading.
const Reading &NewestReading();

// The poll runs (its timer is loaded) from the start of the monitor to the tick that ends
// it: "the monitor runs" as the readers see it. The poll sets it, and it is announced.
bool g_funcMonitorPolling();
void g_subMonitorPollingSet(bool polling);

// Whether the running monitor may not be stopped by hand now, because something samples
// it (the log filer while it logs): the sampler sets the check while it exists.
void g_subMonitorHoldSet(std::function<bool()> held);
bool g_funcMonitorHeld();
// The reception time as the monitor stamps it: "yyyy/MM/dd HH:mm:ss", blank padded to 22.
QString MonTimeText(const QDateTime &t);

// A reading's outputs as eight digits "0"/"1", bit 0 first ("ERROR" when not hexadecimal).
QString HexToBits(const QString &outputs);
// A reading's value in its unit, "0.00" (distance types show full scale minus it);
// "ERROR" when not hexadecimal.
QString HexToVolt(const QString &value);
// The same padded to "00.00" (at least two digits before the point).
QString HexToVolt00(const QString &value);

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
};
MonitorEvents &monitorEvents();
