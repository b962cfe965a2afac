#include "link/modLinkState.h"

#include "core/modMain1.h"
#include "link/LinkSession.h"
#include "link/modProtocol.h"
#include "link/modTransfer.h"
#include "platform/Dialogs.h"
#include "settings/modUserData.h"

namespace {
// The program's link: the connection state, the busy lock and whether a transfer runs.
struct AppLinkState {
    qint16 connectStatus = 0;
    qint16 commBusy = 0;
    bool transferRunning = false;
};
AppLinkState s_state;
// What the written names show of the program's session; they exist from the start.
LinkView s_view;
std::function<bool()> s_held;

bool linkHeld() { return s_held && s_held(); }
} // namespace

const qint16 &g_intCommBusy = s_state.commBusy;
const qint16 &g_intConnectStatus = s_state.connectStatus;
const QString &g_strInPut = s_view.inPut;
const qint16 &g_intReplyTimeUp = s_view.replyTimeUp;
const qint16 &g_intCommTimeUp = s_view.commTimeUp;
const qint16 &g_intCommStep = s_view.step;
const qint16 &g_intCommEnd = s_view.commEnd;
const qint16 &g_intCommAddr = s_view.address;
const QString &g_strCommand = s_view.command;
const qint32 &g_intShortReplyCount = s_view.shortReplies;
const qint32 &g_intNoReplyCount = s_view.noReplies;

LinkSession &appSession()
{
    static LinkSession *s = [] {
        auto *session = new LinkSession(&s_view); // lives as long as the process
        // The session's announcements are the windows' link events.
        LinkEvents *e = &linkEvents();
        QObject::connect(session, &LinkSession::waitCursorChanged, e, &LinkEvents::waitCursorChanged);
        QObject::connect(session, &LinkSession::transferProgress, e, &LinkEvents::transferProgress);
        // The device went away: a connection that nothing holds (no lock, no transfer, no
        // running monitor) is shown as ended at once; an exchange that waits on the port sees
        // it closed and ends through its own messages, and the running monitor ends at its
        // next poll.
        QObject::connect(session, &LinkSession::deviceGone, e, [] {
            if (s_state.connectStatus == 1 && s_state.commBusy == 0 && !s_state.transferRunning && !linkHeld())
                g_subConnectStatusSet(0);
        });
        session->setOptions(AppSessionOptions());
        return session;
    }();
    return *s;
}

SessionOptions AppSessionOptions()
{
    SessionOptions o;
    o.scale = {g_intInputType == 0 ? 1 : g_intInputType, g_dblScale, g_strUnit};
    o.replyWaitMs = g_lngReplyWaitMs;
    o.sendLimit = g_intTransferSendLimit;
    o.dialogs = &dialogs();
    return o;
}

LinkSession &appSessionNow()
{
    LinkSession &s = appSession();
    s.setOptions(AppSessionOptions());
    return s;
}

void g_subConnectStatusSet(qint16 status)
{
    if (s_state.connectStatus == status)
        return;
    s_state.connectStatus = status;
    g_subCommStatusNotify();
}

void g_subCommBusySet(qint16 busy)
{
    if (s_state.commBusy == busy)
        return;
    s_state.commBusy = busy;
    if (busy == 0 || busy == 1)
        emit linkEvents().busyLockChanged(busy == 1);
}

void g_subLinkStateReset()
{
    s_state = AppLinkState();
    appSession().reset();
}

void g_subCommEventHook() { appSession().port(); }

void g_subLinkHoldSet(std::function<bool()> held) { s_held = std::move(held); }

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

void g_subBusyLock()
{
    if (g_intCommBusy != 0 && g_intCommBusy != 1)
        return;
    emit linkEvents().busyLockChanged(g_intCommBusy == 1);
}

bool g_funcTransferRunning() { return s_state.transferRunning; }

void g_subTransferRunningSet(bool running)
{
    s_state.transferRunning = running;
    emit linkEvents().transferRunningChanged(running);
}
