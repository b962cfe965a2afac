#pragma once
// The program's link: its session, the connection state and the busy lock; the table of
// what each connection state shows and enables; and the announcements the windows listen
// to. Each value changes only through its setter, which announces the change; the
// exchanges never reach into a window, and each window applies its own part of the table.
// (The port number is an application setting: core/modIniFile.h; the monitor's run flags
// are the monitor's: monitor/modMonitor1.h.)
#include <QObject>
#include <QRgb>
#include <QString>
#include <functional>

class LinkSession;
struct SessionOptions;

// The program's own session: the windows' link (one port), created at its first use. The
// global names below are views over its state and the written routines work on it.
LinkSession &appSession();
// What the program's session works with, from the program's globals as they stand now: the
// scale of the input type loaded (g_intInputType), the reply wait (g_lngReplyWaitMs), the
// send limit (g_intTransferSendLimit) and the installed dialog service.
SessionOptions AppSessionOptions();
// The program's session with those options given, for the written routine that starts an
// exchange on it now.
LinkSession &appSessionNow();

// Read-only views; the setters below change them.
extern const qint16 &g_intCommBusy;      // 1 while the connection check or the position output runs
extern const qint16 &g_intConnectStatus; // 0 disconnected, 1 connected, 2 check in progress
// The program's session's exchange, read-only (its exchanges show them).
extern const QString &g_strInPut;        // the receive buffer: text since the last send, upper case
extern const qint16 &g_intReplyTimeUp;   // 1 once the reply timer ticked
extern const qint16 &g_intCommTimeUp;    // -1 once the communication timer ticked
extern const qint16 &g_intCommStep;      // the step of the running exchange
extern const qint16 &g_intCommEnd;       // 1 ends the step loop
extern const qint16 &g_intCommAddr;      // address of the read or write, 0 to 47
extern const QString &g_strCommand;      // the prepared command line
extern const qint32 &g_intShortReplyCount;
extern const qint32 &g_intNoReplyCount;

// Each setter announces a change (and only a change) of its value:
// g_intConnectStatus: commStatusChanged; g_intCommBusy (0 or 1): busyLockChanged.
void g_subConnectStatusSet(qint16 status);
void g_subCommBusySet(qint16 busy);
// Back to the values at process start, without announcing (start-up and tests): the state,
// the receive buffer, the step and the timers' flags of the program's session.
void g_subLinkStateReset();
// Hooks the installed port's events (the device went away) to the program's session.
void g_subCommEventHook();
// Who above the link holds the connection (the running monitor): a device that goes away
// while the link is otherwise idle shows the link down at once, unless it is held; the
// holder then ends its work through its own exchange.
void g_subLinkHoldSet(std::function<bool()> held);

// What a row of the connection-state table does to one control.
enum class Enable : qint8 {
    Keep,               // left as it is
    Off,                // disabled (hidden for a visibility)
    On,                 // enabled (shown)
    OnUnlessMonitorOpen // enabled, but disabled while the analog monitor window is open
};

// One row of the connection-state table: the state panel, the link label's colour and the
// enabling of the editor's and the frame's commands.
struct CommStatusRow {
    const char *panel;       // status bar panel 2
    QRgb label;              // background of the editor's link label
    Enable posButton;        // editor "POS"
    Enable transferButtons;  // editor "データ読込" and "データ書込"
    Enable join;             // "接続(&J)"
    Enable direct;           // "入力ﾓﾆﾀｰﾊﾟﾈﾙ(&M)"
    Enable setting;          // "設定(&C)"
    Enable tool;             // "ﾂｰﾙ(&T)"
    Enable help;             // "ﾍﾙﾌﾟ(&H)"
    Enable unjoinShown;      // "接続解除(&B)" shown or hidden
    Enable toolbar;          // the toolbar as a whole
    Enable conect;           // toolbar button "conect" (enabled only)
    Enable unconect;         // toolbar button "unconect" (enabled only)
    Enable inputMon;         // toolbar button "InputMon", image and enabled together
    Enable connectIcon;      // "conect" image and enabled together; Keep = left alone
    Enable disconnectIcon;   // "unconect" image and enabled together; Keep = left alone
    bool closePosArea;       // the position output area is closed
};
// The row of a connection state; any value but 0, 1 and 2 is "unknown".
const CommStatusRow &CommStatusRowOf(int status);
// Status bar panel 1: "ﾎﾟｰﾄ : 未設定", "ﾎﾟｰﾄ : 使用不可" or "ﾎﾟｰﾄ : COM" and the number.
QString CommPortPanelText(int port);

// The link's announcements. Connections are made by the windows with themselves as
// context, so a closed window stops listening.
class LinkEvents : public QObject {
    Q_OBJECT
signals:
    // g_intCommPort or g_intConnectStatus changed: every window applies its row.
    void commStatusChanged();
    // g_subBusyLock: an exchange holds (true) or releases (false) the user interface.
    void busyLockChanged(bool locked);
    // The overall communication timer runs: the frame shows the wait cursor.
    void waitCursorChanged(bool on);
    // A read or write runs: the frame takes no input (its progress window does).
    void transferRunningChanged(bool running);
    // The progress window is asked to load and run the transfer of g_intTransferDir.
    void transferWindowRequested();
    // The progress window's bar, its hiding and its closing.
    void transferProgress(int value);
    void transferWindowHide();
    void transferWindowClose();
};
LinkEvents &linkEvents();

// Announces the port and the connection state again, for a change they do not see (a new
// port number, a window that opened or closed): what the editor's subCommStatus_Change asks.
void g_subCommStatusNotify();
// Locks (g_intCommBusy 1) or unlocks (0) the user interface; other values do nothing.
void g_subBusyLock();
// True while a read or write runs; setting it announces it.
bool g_funcTransferRunning();
void g_subTransferRunningSet(bool running);

// The enabled (or shown) state a control takes from its cell of the table: its current
// state for Keep; monitorWindowOpen decides OnUnlessMonitorOpen.
inline bool EnableResult(Enable e, bool current, bool monitorWindowOpen = false)
{
    switch (e) {
    case Enable::Off: return false;
    case Enable::On: return true;
    case Enable::OnUnlessMonitorOpen: return !monitorWindowOpen;
    case Enable::Keep: break;
    }
    return current;
}
