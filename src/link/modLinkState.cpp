#include "link/modLinkState.h"

namespace {
qint16 s_commBusy = 0;
qint16 s_connectStatus = 0;
qint16 s_monitorOn = 0;
qint16 s_monitorStop = 0;
bool g_transferRunning = false;
} // namespace

const qint16 &g_intCommBusy = s_commBusy;
const qint16 &g_intConnectStatus = s_connectStatus;
const qint16 &g_intMonitorOn = s_monitorOn;
const qint16 &g_intMonitorStop = s_monitorStop;
qint16 g_intPollBusy = 0;

void g_subConnectStatusSet(qint16 status)
{
    if (s_connectStatus == status)
        return;
    s_connectStatus = status;
    g_subCommStatusNotify();
}

void g_subCommBusySet(qint16 busy)
{
    if (s_commBusy == busy)
        return;
    s_commBusy = busy;
    g_subBusyLock();
}

void g_subMonitorOnSet(qint16 on)
{
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
    emit linkEvents().monitorStopChanged(stop == 1);
}

void g_subLinkStateReset()
{
    s_commBusy = 0;
    s_connectStatus = 0;
    s_monitorOn = 0;
    s_monitorStop = 0;
    g_intPollBusy = 0;
    g_transferRunning = false;
}

namespace {

using E = Enable;
constexpr QRgb kRed = 0xFFFF0000, kGreen = 0xFF00FF00, kYellow = 0xFFFFFF00;

// Rows for 0 disconnected, 1 connected, 2 check in progress and any other value; the
// columns in the order of CommStatusRow.
const CommStatusRow kRows[4] = {
    {"状態 : 切断",         kRed,    E::Off, E::Off, E::On,  E::Off,                 E::On,  E::On,  E::On,  E::Off, E::On,  E::On,  E::Off,  E::Off,  E::On,   E::Off,  true},
    {"状態 : 接続中",       kGreen,  E::On,  E::On,  E::Off, E::OnUnlessMonitorOpen, E::Off, E::Keep, E::On, E::On,  E::On,  E::Off, E::On,   E::On,   E::Off,  E::On,   false},
    {"状態 : 接続ﾁｪｯｸ中 ", kYellow, E::Off, E::Off, E::Off, E::Off,                 E::Off, E::Keep, E::Off, E::Keep, E::Off, E::Off, E::On,  E::Keep, E::Off,  E::Keep, false},
    {"状態 : 不明",         kRed,    E::Off, E::Off, E::On,  E::Off,                 E::On,  E::Keep, E::On, E::Keep, E::On,  E::Off, E::On,   E::Keep, E::Keep, E::Keep, false},
};
} // namespace

const CommStatusRow &CommStatusRowOf(int status) { return kRows[status >= 0 && status <= 2 ? status : 3]; }

QString CommPortPanelText(int port)
{
    if (port == 100)
        return QStringLiteral("ﾎﾟｰﾄ : 未設定");
    if (port == 0)
        return QStringLiteral("ﾎﾟｰﾄ : 使用不可");
    return QStringLiteral("ﾎﾟｰﾄ : COM") + QString::number(port);
}

LinkEvents &linkEvents()
{
    static LinkEvents *e = new LinkEvents(); // lives as long as the process
    return *e;
}

void g_subCommStatusNotify() { emit linkEvents().commStatusChanged(); }

void g_subMonitorEnableNotify() { emit linkEvents().monitorEnablingChanged(); }

void g_subBusyLock()
{
    if (g_intCommBusy != 0 && g_intCommBusy != 1)
        return;
    emit linkEvents().busyLockChanged(g_intCommBusy == 1);
}

bool g_funcTransferRunning() { return g_transferRunning; }

void g_subTransferRunningSet(bool running)
{
    g_transferRunning = running;
    emit linkEvents().transferRunningChanged(running);
}
