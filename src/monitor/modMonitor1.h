#pragma once
// The input monitor's store: a ring of the 21 newest readings and the readers' flags.
#include <QString>

struct MonDataRec {
    QString Time;    // 22 characters, date and time of reception, blank padded
    QString Value;   // 4 hexadecimal digits: the input count
    QString Outputs; // 2 hexadecimal digits: one bit per output
};

constexpr int kMonData = 21;
extern MonDataRec g_typMonData[kMonData];
extern qint16 g_intMonDataIdx;
extern qint16 g_intMonNewFlag[7];
extern qint16 g_intMonitorOn;   // -1 while the monitor runs
extern qint16 g_intMonitorStop; // 1 asks the monitor to stop
extern qint16 g_intPollBusy;    // -1 while a poll exchange runs

void g_subMonitorIni();
