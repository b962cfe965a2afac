#include "monitor/frmTimer1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "link/modLinkState.h"
#include "link/modProtocol.h"
#include "monitor/modMonitor1.h"
#include "platform/Dialogs.h"

namespace {
frmTimer1 *s_frmTimer1 = nullptr;
}
frmTimer1 *const &g_frmTimer1 = s_frmTimer1;

frmTimer1::frmTimer1() { MonitorTimer1.onTick = [this] { MonitorTimer1_Timer(); }; }

void g_subTimerFormLoad()
{
    if (!g_frmTimer1)
        s_frmTimer1 = new frmTimer1();
    g_intFormOpen[idTimer] = -1;
    g_frmTimer1->MonitorTimer1.setInterval(int(g_lngSamplingTime));
    g_frmTimer1->MonitorTimer1.setEnabled(true);
    g_subMonitorPollingSet(true);
}

void g_subTimerFormUnload()
{
    if (g_frmTimer1)
        g_frmTimer1->MonitorTimer1.setEnabled(false);
    g_intFormOpen[idTimer] = 0;
    g_subMonitorPollingSet(false);
}

bool g_funcMonitorPoll(const QString &command)
{
    // A stop asked meanwhile (a reply that never came, the stop button): nothing more goes
    // out in this tick.
    if (g_intMonitorStop == 1)
        return true;
    g_subPollBusySet(-1);
    const LinkResult r = g_subAnaMoni1CommandSend2(command);
    if (r.outcome == LinkOutcome::NoReply || r.outcome == LinkOutcome::GaveUp) {
        // The monitor ends at its next tick, over the open link; the poll is still busy
        // while the box is up, so no tick polls again under it.
        MsgBox(ReplyTimeUpText(), vbOKOnly + vbExclamation, ReplyTimeUpCaption());
        g_subMonitorStopSet(1);
    }
    g_subPollBusySet(0);
    return r.sent;
}

void frmTimer1::MonitorTimer1_Timer()
{
    if (g_intMonitorStop == 1) {
        g_subMonitorOnSet(0);
        g_subAnaMoniEnd();
        return;
    }
    // No second exchange inside a running one: the poll of an earlier tick still waits, or
    // another exchange (a connection check) holds the port.
    if (g_intPollBusy == -1 || g_intCommBusy == 1)
        return;
    if (!g_funcMonitorPoll(QStringLiteral("N"))) {
        failureStop(QStringLiteral("ｴﾗｰのため入力電圧ﾓﾆﾀｰを終了します。"));
        return;
    }
    if (!g_funcMonitorPoll(QStringLiteral("Y")))
        failureStop(QStringLiteral("ｴﾗｰのため出力電圧ﾓﾆﾀｰを終了します。"));
}

void frmTimer1::failureStop(const QString &text)
{
    MonitorTimer1.setEnabled(false);
    g_subMonitorOnSet(0);
    MsgBox(text, vbOKOnly + vbInformation, QStringLiteral("入力電圧ﾓﾆﾀｰ"));
    // The monitor is over: nothing is left running or locked behind the message.
    g_subMonitorStopSet(1);
    g_subAnaMoniEnd();
    // The lock's release comes before the state, which has the last word on the enabling.
    g_subCommBusySet(0);
    g_subConnectStatusSet(0);
    g_subCommPortClose();
}

void g_subAnaMoniEnd()
{
    appSession().cancelPoll();
    emit monitorEvents().monitorEnded();
    g_subTimerFormUnload();
    g_subMonitorEnableNotify();
}
