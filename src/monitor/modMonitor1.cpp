#include "monitor/modMonitor1.h"

#include "link/LinkSession.h"
#include "link/modLinkState.h"
#include "monitor/modTrendHistory.h"
#include "platform/Clock.h"
#include "settings/modUserData.h"

#include <QDateTime>

namespace {
MonDataRec s_monData[kMonData];
qint16 s_monDataIdx = 0;
qint16 s_monNewFlag[kMonReaders] = {};
bool s_polling = false;
// When the newest entry's "N" reply came, and whether its "Y" is still to come: the history
// takes each entry once, when it is complete.
qint64 s_readingMs = 0;
QDateTime s_readingTime;
bool s_readingOpen = false;
Reading s_newest;
std::function<bool()> s_held;
} // namespace

const MonDataRec (&g_typMonData)[kMonData] = s_monData;
const qint16 &g_intMonDataIdx = s_monDataIdx;
const qint16 (&g_intMonNewFlag)[kMonReaders] = s_monNewFlag;

void g_subMonNewFlagSet(int reader, qint16 flag)
{
    if (reader >= 0 && reader < kMonReaders)
        s_monNewFlag[reader] = flag;
}

void g_subMonitorIni()
{
    for (MonDataRec &r : s_monData) {
        r.Time = QString(22, QLatin1Char(' '));
        r.Value = QStringLiteral("0000");
        r.Outputs = QStringLiteral("00");
    }
    s_monDataIdx = 0;
    for (qint16 &f : s_monNewFlag)
        f = 0;
    s_polling = false;
    s_readingMs = 0;
    s_readingTime = QDateTime();
    s_readingOpen = false;
    // As the ring's entries: a count and outputs of zero until the first reading.
    s_newest = MakeReading(QDateTime(), QStringLiteral("0000"), QStringLiteral("00"), appSession().scale());
    g_subTrendHistoryClear();
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
        const QString outputs = s_monData[s_monDataIdx].Outputs;
        s_monDataIdx = s_monDataIdx >= kMonData - 1 ? 0 : qint16(s_monDataIdx + 1);
        MonDataRec &r = s_monData[s_monDataIdx];
        // Until the "Y" of this tick, the new entry holds the outputs of the tick before.
        r.Outputs = outputs;
        const QDateTime now = Now();
        r.Time = MonTimeText(now);
        s_readingMs = now.toMSecsSinceEpoch();
        s_readingTime = now;
        s_readingOpen = true;
        r.Value = g_funcReplyValue(reply, 4);
    } else if (command == QLatin1String("Y")) {
        MonDataRec &r = s_monData[s_monDataIdx];
        r.Outputs = g_funcReplyValue(reply, 2);
        if (s_readingOpen) {
            s_newest = MakeReading(s_readingTime, r.Value, r.Outputs, appSession().scale());
            TrendHistoryAdd(s_readingMs, s_newest);
        }
        s_readingOpen = false;
        for (qint16 &f : s_monNewFlag)
            f = 0;
        QMetaObject::invokeMethod(
            &monitorEvents(), [] { emit monitorEvents().readingStored(); }, Qt::QueuedConnection);
    }
}

const MonDataRec &g_funcNewestReading() { return s_monData[s_monDataIdx]; }

const Reading &NewestReading()
{
    // The settings loaded since (another input type) show the count in their own unit.
    const ReadingScale scale = appSession().scale();
    if (!s_newest.madeWith(scale))
        s_newest.applyScale(scale);
    return s_newest;
}

bool g_funcMonitorPolling() { return s_polling; }

void g_subMonitorPollingSet(bool polling)
{
    if (s_polling == polling)
        return;
    s_polling = polling;
    if (polling)
        g_subTrendHistoryRunStart();
    emit monitorEvents().pollingChanged(polling);
}

void g_subMonitorHoldSet(std::function<bool()> held) { s_held = std::move(held); }

bool g_funcMonitorHeld() { return s_held && s_held(); }

QString HexToBits(const QString &outputs)
{
    bool ok = !outputs.isEmpty() && outputs.size() <= 2;
    const int v = ok ? outputs.toInt(&ok, 16) : 0;
    if (!ok)
        return QStringLiteral("ERROR");
    QString bits;
    for (int i = 0; i < 8; ++i)
        bits += (v >> i) & 1 ? QLatin1Char('1') : QLatin1Char('0');
    return bits;
}

QString HexToVolt(const QString &value)
{
    bool ok = value.size() == 4;
    const int count = ok ? value.toInt(&ok, 16) : 0;
    if (!ok)
        return QStringLiteral("ERROR");
    return g_funcValueFormat(count * g_dblScale, 1);
}

QString HexToVolt00(const QString &value)
{
    QString v = HexToVolt(value);
    if (v != QLatin1String("ERROR") && v.indexOf(QLatin1Char('.')) < 2)
        v.prepend(QLatin1Char('0'));
    return v;
}

MonitorEvents &monitorEvents()
{
    static MonitorEvents *e = new MonitorEvents(); // lives as long as the process
    return *e;
}
