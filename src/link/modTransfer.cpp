#include "link/modTransfer.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/SerialPort.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <functional>

qint16 g_intTransferDir = 0;
int g_intTransferSendLimit = 0;

namespace {
bool s_compareRead = false; // the comparison's read filled TempData
QDateTime s_compareReadAt;  // and when

const QString kRetryLine = QStringLiteral("[再試行]=再試行 / [ｷｬﾝｾﾙ]=通信をやめる");

void closeProgress() { emit linkEvents().transferWindowClose(); }

// The error box of a transfer: Retry (true) or Cancel, which marks the link disconnected.
bool transferError(const FileError &e)
{
    const QString text = ErrTextJpNo(e) + vbCrLf + kRetryLine;
    if (MsgBox(text, vbRetryCancel + vbExclamation, QStringLiteral("入力モニターの開始")) == vbRetry)
        return true;
    closeProgress();
    g_subConnectStatusSet(0);
    g_subCommPortClose();
    return false;
}

bool openPort(const QString &title)
{
    MSComm1().clearInBuffer();
    emit linkEvents().transferProgress(0);
    if (g_funcCommPortOpen(g_intCommPort))
        return true;
    MsgBox(QStringLiteral("ﾎﾟｰﾄを開くことができませんでした。"), vbOKOnly, title);
    g_subPortAccessHint(g_intCommPort, title);
    // A connection whose port no longer opens (the device went away) is not shown as up.
    if (g_intConnectStatus == 1) {
        g_subConnectStatusSet(0);
    }
    closeProgress();
    return false;
}

enum class Outcome { Done, Cancelled, Lost };

// Runs the read or the write on the program's session until it ends, the user cancels or
// the port is lost.
Outcome runTransfer(const std::function<void(LinkDone)> &begin)
{
    const LinkResult r = appSessionNow().run(begin);
    switch (r.outcome) {
    case LinkOutcome::Done: return Outcome::Done;
    case LinkOutcome::DeviceGone: return Outcome::Lost;
    default:
        closeProgress();
        return Outcome::Cancelled;
    }
}

// The port closed under a transfer (the device went away): the transfer's error box, with
// the port's reason where it has one (a device server that ended the connection).
bool portLost()
{
    const CommError lost = g_funcCommPortLost();
    const CommError e = lost.failed() ? lost : HangUpError();
    return transferError(FileError{e.number, e.description});
}

void reportTempSave()
{
    if (!g_funcTempDataSave(g_strTempFile))
        MsgBox(QStringLiteral("一時ﾌｧｲﾙへの書込みに失敗しました"), vbOKOnly + vbExclamation);
}
} // namespace

const TransferRefusal &g_funcTransferRefusal() { return appSession().refusal(); }

void g_subTransferCancel() { appSession().cancel(); }

bool g_funcControllerReadBlock()
{
    for (;;) {
        g_subTempDataIni();
        if (!openPort(QStringLiteral("コントローラからデータ読込")))
            return false;
        const Outcome done = runTransfer([](LinkDone d) { appSession().readSettings(TempData, std::move(d)); });
        if (done == Outcome::Lost && portLost())
            continue; // Retry opens the port and reads again
        if (done != Outcome::Done)
            return false;
        // Check the values read before they replace the editor's.
        FileError e;
        if (!ImageShowable(TempData, e)) {
            if (transferError(e))
                continue; // Retry reads the block again
            return false;
        }
        return true;
    }
}

void g_subControllerRead()
{
    if (!g_funcControllerReadBlock())
        return;
    g_subTempToUser();
    reportTempSave();
    g_funcShowUserData();
    g_typSettingsSource = {g_intCommPort, Now()};
    Sleep(2);
    emit linkEvents().transferWindowHide();
    g_intSaved = 0;
    closeProgress();
}

bool g_funcControllerWriteBlock()
{
    for (;;) {
        g_subTempDataIni();
        if (!openPort(QStringLiteral("コントローラへのデータ書込")))
            return false;
        const Outcome done = runTransfer([](LinkDone d) { appSession().writeSettings(UserData, std::move(d)); });
        if (done == Outcome::Done)
            return true;
        if (done != Outcome::Lost || !portLost())
            return false;
    }
}

void g_subControllerWrite()
{
    g_subTakeUserData();
    if (!g_funcControllerWriteBlock())
        return;
    reportTempSave();
    g_funcShowUserData();
    Sleep(2);
    emit linkEvents().transferWindowHide();
    MsgBox(QStringLiteral("データは正常に書き込まれました。"), vbOKOnly + vbInformation, QStringLiteral("ﾃﾞｰﾀｰ書込み"));
    closeProgress();
}

void g_subControllerCompareRead()
{
    s_compareRead = g_funcControllerReadBlock();
    if (!s_compareRead)
        return;
    s_compareReadAt = Now();
    Sleep(2);
    emit linkEvents().transferWindowHide();
    closeProgress();
}

bool g_funcCompareRead()
{
    // As the read: the frame takes no input while the progress window reads, but nothing
    // is offered for saving, since the editor keeps its values.
    g_subTransferRunningSet(true);
    s_compareRead = false;
    g_intTransferDir = 2;
    DoEvents();
    Sleep(1);
    emit linkEvents().transferWindowRequested();
    closeProgress();
    g_intTransferDir = 0;
    g_subTransferRunningSet(false);
    return s_compareRead;
}

QDateTime g_funcCompareReadAt() { return s_compareReadAt; }

bool g_funcCompareTakeOver()
{
    // The values replace the editor's, as a read's do: unsaved edits are offered for saving.
    if (!g_funcChangedPrompt())
        return false;
    g_subTempToUser();
    reportTempSave();
    g_funcShowUserData();
    g_typSettingsSource = {g_intCommPort, s_compareReadAt};
    g_intSaved = 0;
    g_subMonitorWindowsRefresh();
    return true;
}

void g_subTransferStart(int dir)
{
    // The frame takes no input while the transfer runs; its progress window does.
    g_subTransferRunningSet(true);
    // A read replaces the editor's values: unsaved edits are offered for saving first,
    // and a save that fails or is cancelled stops the read.
    if (dir == 0 && !g_funcChangedPrompt()) {
        g_subTransferRunningSet(false);
        return;
    }
    g_intTransferDir = qint16(dir);
    DoEvents();
    Sleep(1);
    // The progress window loads and runs g_subControllerRead or g_subControllerWrite.
    emit linkEvents().transferWindowRequested();
    closeProgress();
    if (dir == 0)
        g_subMonitorWindowsRefresh();
    g_subTransferRunningSet(false);
}
