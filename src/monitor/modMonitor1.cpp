#include "monitor/modMonitor1.h"

#include "platform/Clock.h"

#include <QDateTime>

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

QString g_funcReplyValue(const QString &reply, int length)
{
    if (length <= 0 || reply.size() < 2)
        return QString();
    return reply.mid(1, length);
}

QString MonTimeText(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")).leftJustified(22, QLatin1Char(' '), true);
}

void g_subMonDataStore(const QString &command, const QString &reply)
{
    if (command == QLatin1String("N")) {
        g_intMonDataIdx = g_intMonDataIdx >= kMonData - 1 ? 0 : qint16(g_intMonDataIdx + 1);
        MonDataRec &r = g_typMonData[g_intMonDataIdx];
        r.Time = MonTimeText(Now());
        r.Value = g_funcReplyValue(reply, 4);
    } else if (command == QLatin1String("Y")) {
        g_typMonData[g_intMonDataIdx].Outputs = g_funcReplyValue(reply, 2);
        for (qint16 &f : g_intMonNewFlag)
            f = 0;
    }
}

MonitorEvents &monitorEvents()
{
    static MonitorEvents *e = new MonitorEvents(); // lives as long as the process
    return *e;
}
