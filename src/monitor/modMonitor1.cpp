#include "monitor/modMonitor1.h"

MonDataRec g_typMonData[kMonData];
qint16 g_intMonDataIdx = 0;
qint16 g_intMonNewFlag[7] = {};
qint16 g_intMonitorOn = 0;
qint16 g_intMonitorStop = 0;
qint16 g_intPollBusy = 0;

void g_subMonitorIni()
{
    for (MonDataRec &r : g_typMonData) {
        r.Time = QString(22, QLatin1Char(' '));
        r.Value = QStringLiteral("0000");
        r.Outputs = QStringLiteral("00");
    }
    g_intMonDataIdx = 0;
    for (qint16 &f : g_intMonNewFlag)
        f = 0;
}
