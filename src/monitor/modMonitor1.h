#pragma once
// The input monitor's store: a ring of the 21 newest readings, the readers' fresh-reading
// flags, the monitor's control flags, and what the monitor announces to its windows.
// Only the poll writes the ring; readers look at the newest entry and their own flag.
#include <QDateTime>
#include <QObject>
#include <QString>

struct MonDataRec {
    QString Time;    // 22 characters, date and time of reception, blank padded
    QString Value;   // 4 hexadecimal digits: the input count
    QString Outputs; // 2 hexadecimal digits: one bit per output
};

constexpr int kMonData = 21;
extern MonDataRec g_typMonData[kMonData];
extern qint16 g_intMonDataIdx;
// Per reader (index = the reader's window id: 2 analog monitor, 3 graph, 4 present-value
// log, 5 output monitor, 6 log filer): 0 a new reading came, -1 the reader has taken it.
extern qint16 g_intMonNewFlag[7];
extern qint16 g_intMonitorOn;   // -1 while the monitor runs
extern qint16 g_intMonitorStop; // 1 asks the monitor to stop
extern qint16 g_intPollBusy;    // -1 while a poll exchange runs

void g_subMonitorIni();
// The characters after the command letter of a reply (2 to 1 + length); empty on error.
QString g_funcReplyValue(const QString &reply, int length);
// Stores an accepted poll reply: "N" starts the next ring entry stamped with the time of
// reception, "Y" adds the outputs to that entry and raises every reader's flag.
void g_subMonDataStore(const QString &command, const QString &reply);
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
    // The monitor ended (g_subAnaMoniEnd): the analog monitor's display timer stops.
    void monitorEnded();
    // The connection ended: the analog monitor window closes.
    void analogMonitorCloseRequested();
};
MonitorEvents &monitorEvents();
