#include "monitor/modMonitor1.h"

#include "link/LinkSession.h"
#include "link/modLinkState.h"
#include "monitor/modTrendHistory.h"
#include "platform/Clock.h"

#include <QDateTime>

namespace {
qint16 s_monitorOn = 0;
qint16 s_monitorStop = 0;
qint16 s_pollBusy = 0;

Reading s_monData[kMonData];
qint16 s_monDataIdx = 0;
qint16 s_monNewFlag[kMonReaders] = {};
bool s_polling = false;
// Whether the newest entry's "Y" is still to come.
bool s_readingOpen = false;
Reading s_newest;
std::function<bool()> s_held;

// What a reading shows before the first one came: a count and outputs of zero.
Reading zeroReading()
{
    Reading r;
    r.valueValid = true;
    r.valueHex = QStringLiteral("0000");
    r.outputsValid = true;
    r.outputsHex = QStringLiteral("00");
    r.applyScale(AppSessionOptions().scale);
    return r;
}

// The store hears the program's session from its first use on.
void listen()
{
    static bool listening = false;
    if (listening)
        return;
    listening = true;
    LinkSession &s = appSession();
    QObject::connect(&s, &LinkSession::valueReceived, &monitorEvents(), &g_subMonValueStore);
    QObject::connect(&s, &LinkSession::readingCompleted, &monitorEvents(), &g_subMonReadingStore);
    // While the monitor runs, a device that goes away is its to tell, at its next poll.
    g_subLinkHoldSet([] { return s_monitorOn == -1 || s_pollBusy == -1; });
}
} // namespace

const qint16 &g_intMonitorOn = s_monitorOn;
const qint16 &g_intMonitorStop = s_monitorStop;
const qint16 &g_intPollBusy = s_pollBusy;
const Reading (&g_typMonData)[kMonData] = s_monData;
const qint16 &g_intMonDataIdx = s_monDataIdx;
const qint16 (&g_intMonNewFlag)[kMonReaders] = s_monNewFlag;

void g_subMonitorOnSet(qint16 on)
{
    listen();
    if (s_monitorOn == on)
        return;
    s_monitorOn = on;
    g_subMonitorEnableNotify();
}

void g_subMonitorStopSet(qint16 stop)
{
    if (s_monitorStop == stop)
        return;
    s_monitorStop = stop;
    emit monitorEvents().monitorStopChanged(stop == 1);
    // A poll waiting for its reply ends at the stop.
    if (stop == 1)
        appSession().cancelPoll();
}

void g_subPollBusySet(qint16 busy) { s_pollBusy = busy; }

void g_subMonitorEnableNotify() { emit monitorEvents().monitorEnablingChanged(); }

void g_subMonitorStateReset()
{
    s_monitorOn = 0;
    s_monitorStop = 0;
    s_pollBusy = 0;
}

void g_subMonNewFlagSet(int reader, qint16 flag)
{
    if (reader >= 0 && reader < kMonReaders)
        s_monNewFlag[reader] = flag;
}

void g_subMonitorIni()
{
    listen();
    const Reading zero = zeroReading();
    for (Reading &r : s_monData) {
        r = zero;
        r.time = QDateTime();
    }
    s_monDataIdx = 0;
    for (qint16 &f : s_monNewFlag)
        f = 0;
    s_polling = false;
    s_readingOpen = false;
    s_newest = zero;
    g_subTrendHistoryClear();
}

QString MonTimeText(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")).leftJustified(22, QLatin1Char(' '), true);
}

void g_subMonValueStore(const Reading &begun)
{
    const Reading &before = s_monData[s_monDataIdx];
    s_monDataIdx = s_monDataIdx >= kMonData - 1 ? 0 : qint16(s_monDataIdx + 1);
    Reading &r = s_monData[s_monDataIdx];
    // Until the "Y" of this tick, the new entry holds the outputs of the tick before.
    const int outputs = before.outputs;
    const bool outputsValid = before.outputsValid;
    const QString outputsHex = before.outputsHex;
    r = begun;
    r.outputs = outputs;
    r.outputsValid = outputsValid;
    r.outputsHex = outputsHex;
    s_readingOpen = true;
}

void g_subMonReadingStore(const Reading &reading)
{
    if (s_readingOpen)
        s_monData[s_monDataIdx] = reading;
    s_readingOpen = false;
    s_newest = reading;
    TrendHistoryAdd(reading.time.toMSecsSinceEpoch(), s_newest);
    for (qint16 &f : s_monNewFlag)
        f = 0;
    QMetaObject::invokeMethod(
        &monitorEvents(), [] { emit monitorEvents().readingStored(); }, Qt::QueuedConnection);
}

const Reading &NewestReading()
{
    // The settings loaded since (another input type) show the count in their own unit.
    const ReadingScale scale = AppSessionOptions().scale;
    if (!s_newest.madeWith(scale))
        s_newest.applyScale(scale);
    return s_newest;
}

Reading NewestEntry()
{
    Reading r = s_monData[s_monDataIdx];
    r.applyScale(AppSessionOptions().scale);
    return r;
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

MonitorEvents &monitorEvents()
{
    static MonitorEvents *e = new MonitorEvents(); // lives as long as the process
    return *e;
}
