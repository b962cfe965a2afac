#include "link/modLinkState.h"

#include "link/LinkSession.h"

namespace {
// The program's session keeps its state here, so the views below exist from the start.
LinkState s_appState;
} // namespace

const qint16 &g_intCommBusy = s_appState.commBusy;
const qint16 &g_intConnectStatus = s_appState.connectStatus;
const qint16 &g_intMonitorOn = s_appState.monitorOn;
const qint16 &g_intMonitorStop = s_appState.monitorStop;
const qint16 &g_intPollBusy = s_appState.pollBusy;
const QString &g_strInPut = s_appState.inPut;
const qint16 &g_intReplyTimeUp = s_appState.replyTimeUp;
const qint16 &g_intCommTimeUp = s_appState.commTimeUp;
const qint16 &g_intCommStep = s_appState.step;
const qint16 &g_intCommEnd = s_appState.commEnd;
const qint16 &g_intCommAddr = s_appState.address;
const QString &g_strCommand = s_appState.command;
const qint32 &g_intShortReplyCount = s_appState.shortReplies;
const qint32 &g_intNoReplyCount = s_appState.noReplies;

LinkSession &appSession()
{
    static LinkSession *s = [] {
        auto *session = new LinkSession(&s_appState); // lives as long as the process
        // The session's announcements are the windows' link events.
        LinkEvents *e = &linkEvents();
        QObject::connect(session, &LinkSession::connectStatusChanged, e, [] { g_subCommStatusNotify(); });
        QObject::connect(session, &LinkSession::busyLockChanged, e, &LinkEvents::busyLockChanged);
        QObject::connect(session, &LinkSession::monitorOnChanged, e, [] { g_subMonitorEnableNotify(); });
        QObject::connect(session, &LinkSession::monitorStopChanged, e, &LinkEvents::monitorStopChanged);
        QObject::connect(session, &LinkSession::transferRunningChanged, e, &LinkEvents::transferRunningChanged);
        QObject::connect(session, &LinkSession::waitCursorChanged, e, &LinkEvents::waitCursorChanged);
        QObject::connect(session, &LinkSession::transferProgress, e, &LinkEvents::transferProgress);
        return session;
    }();
    return *s;
}

void g_subConnectStatusSet(qint16 status) { appSession().setConnectStatus(status); }
void g_subCommBusySet(qint16 busy) { appSession().setCommBusy(busy); }
void g_subMonitorOnSet(qint16 on) { appSession().setMonitorOn(on); }
void g_subMonitorStopSet(qint16 stop) { appSession().setMonitorStop(stop); }

void g_subLinkStateReset() { appSession().resetExchangeState(); }

void g_subCommEventHook() { appSession().port(); }

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

bool g_funcTransferRunning() { return s_appState.transferRunning; }

void g_subTransferRunningSet(bool running) { appSession().setTransferRunning(running); }
