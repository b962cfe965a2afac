#include "link/modTransfer.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
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
bool g_cancelled = false;
bool s_compareRead = false; // the comparison's read filled TempData
QDateTime s_compareReadAt;  // and when
int g_progress = 0; // the progress window's bar

TransferRefusal s_refusal; // why the last transfer gave its command up
// The sends of the command in hand that found no answer ("?" or a line that is none).
QString s_unansweredCommand;
int s_unansweredSends = 0;
bool s_sendNoted = false; // this send's reply has been counted

// A send of command was answered with "?" or with what is no answer. True when that spends
// the send limit: the transfer then gives the command up.
bool noteNoAnswer(const QString &command, const QString &reply)
{
    s_sendNoted = true;
    if (s_unansweredCommand != command) {
        s_unansweredCommand = command;
        s_unansweredSends = 0;
    }
    ++s_unansweredSends;
    if (g_intTransferSendLimit <= 0 || s_unansweredSends < g_intTransferSendLimit)
        return false;
    const bool refused = reply.section(QLatin1Char('\r'), 0, 0).trimmed() == QLatin1String("?");
    s_refusal = {refused ? TransferRefusal::Refused : TransferRefusal::NotUnderstood, command,
                 reply, s_unansweredSends};
    return true;
}

void noteAnswered()
{
    s_unansweredCommand.clear();
    s_unansweredSends = 0;
}

const QString kRetryLine = QStringLiteral("[再試行]=再試行 / [ｷｬﾝｾﾙ]=通信をやめる");

bool isHexPair(const QString &s)
{
    if (s.size() != 2)
        return false;
    for (QChar c : s)
        if (c.unicode() > 127 || !std::isxdigit(c.toLatin1()))
            return false;
    return true;
}

void closeProgress() { emit linkEvents().transferWindowClose(); }

void setProgress(int value)
{
    g_progress = value;
    emit linkEvents().transferProgress(value);
}

// The error box of a transfer: Retry (true) or Cancel, which marks the link disconnected.
bool transferError(const FileError &e)
{
    const QString text = ErrTextJpNo(e) + vbCrLf + kRetryLine;
    if (MsgBox(text, vbRetryCancel + vbExclamation, QStringLiteral("入力モニターの開始")) == vbRetry)
        return true;
    g_intCommStep = 60;
    closeProgress();
    g_subConnectStatusSet(0);
    g_subCommPortClose();
    return false;
}

bool openPort(const QString &title)
{
    MSComm1().clearInBuffer();
    g_intCommEnd = 0;
    g_intCommAddr = 0;
    g_intCommStep = 0;
    setProgress(0);
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

// What one pass of the step loop did.
enum class Pass { Busy, Idle, Cancelled, Lost, GaveUp };
enum class Outcome { Done, Cancelled, Lost, GaveUp };

// Steps first, first + 1 and first + 2: send the command, start the reply timer, then
// wait for the check (0 port closed, 1 not yet, 2 accepted); the command goes again
// each second until it is accepted, and the loop goes on at step next.
Pass repeatEachSecond(qint16 first, const QString &command, const std::function<qint16()> &check, qint16 next)
{
    const int phase = g_intCommStep - first;
    if (phase == 0) {
        g_funcCommOutPut(command);
        s_sendNoted = false;
        g_intCommStep = qint16(first + 1);
        return Pass::Busy;
    }
    if (phase == 1) {
        g_subReplyTimerStart();
        g_intCommStep = qint16(first + 2);
        return Pass::Busy;
    }
    if (g_intReplyTimeUp == 1) {
        g_subReplyTimerStop();
        g_intCommStep = first;
        // Bytes without a line end are no answer either.
        if (!s_sendNoted && !g_strInPut.isEmpty() && noteNoAnswer(command, g_strInPut))
            return Pass::GaveUp;
        return Pass::Busy;
    }
    // What stood in the buffer before the check, which empties it after a "?".
    g_subCommReceive();
    const QString seen = g_strInPut;
    switch (check()) {
    case 0:
        g_subReplyTimerStop();
        return Pass::Lost;
    case 2:
        g_intCommStep = next;
        g_subReplyTimerStop();
        noteAnswered();
        return Pass::Busy;
    default:
        if (!s_sendNoted && seen.contains(QLatin1Char('\r')) && noteNoAnswer(command, seen)) {
            g_subReplyTimerStop();
            return Pass::GaveUp;
        }
        return Pass::Idle;
    }
}

// The "L" handshake (steps 0 to 2) of the read and the write.
Pass handshake() { return repeatEachSecond(0, QStringLiteral("L"), g_funcLCheck, 10); }

// What a direction adds to the shared address loop: the command of step 10, the reply
// check of step 20, the take-over of step 30 (false: ask for the same address again),
// the step after the last address, and any steps of its own.
struct Direction {
    std::function<QString()> command;
    void (*check)() = nullptr;
    std::function<bool()> take;
    qint16 afterLast = 40;
    std::function<Pass()> other;
};

// Runs the step loop until g_intCommEnd is 1, the user cancels or the port is lost.
Outcome runSteps(const Direction &d)
{
    g_cancelled = false;
    s_refusal = TransferRefusal();
    noteAnswered();
    while (g_intCommEnd != 1) {
        if (g_cancelled)
            g_intCommStep = 60;
        Pass p = Pass::Busy;
        switch (g_intCommStep) {
        case 60: p = Pass::Cancelled; break;
        case 0:
        case 1:
        case 2: p = handshake(); break;
        case 40: g_intCommEnd = 1; break;
        default:
            if (!MSComm1().portOpen()) {
                // The device went away: no reply can come any more.
                p = Pass::Lost;
                break;
            }
            switch (g_intCommStep) {
            case 10:
                g_strCommand = d.command();
                g_intCommStep = 11;
                break;
            case 11: g_subSendPrepared(); break;
            case 12: g_intCommStep = 20; break;
            case 20: {
                g_subCommReceive();
                const QString seen = g_strInPut;
                d.check();
                if (g_intCommStep == 11) {
                    // "?": the command goes again.
                    if (noteNoAnswer(g_strCommand, seen))
                        p = Pass::GaveUp;
                } else if (g_intCommStep == 20 && g_intTransferSendLimit > 0 && seen.contains(QLatin1Char('\r'))) {
                    // A line that is no answer: without a user to cancel, it is treated as a "?".
                    g_strInPut.clear();
                    g_intCommStep = 11;
                    if (noteNoAnswer(g_strCommand, seen))
                        p = Pass::GaveUp;
                } else if (g_intCommStep == 20) {
                    p = Pass::Idle;
                }
                break;
            }
            case 30:
                if (!d.take()) {
                    const QString seen = g_strInPut;
                    g_strInPut.clear();
                    g_intCommStep = 11;
                    if (noteNoAnswer(g_strCommand, seen))
                        p = Pass::GaveUp;
                    break;
                }
                noteAnswered();
                g_strInPut.clear();
                if (g_intCommAddr == 47) {
                    g_intCommStep = d.afterLast;
                } else {
                    ++g_intCommAddr;
                    setProgress(g_progress + 1);
                    g_intCommStep = 10;
                }
                break;
            default: p = d.other ? d.other() : Pass::Cancelled; break;
            }
        }
        if (p == Pass::Cancelled || p == Pass::Lost || p == Pass::GaveUp) {
            g_subReplyTimerStop();
            if (p != Pass::Lost)
                closeProgress();
            return p == Pass::Cancelled ? Outcome::Cancelled : p == Pass::GaveUp ? Outcome::GaveUp : Outcome::Lost;
        }
        // A pass that found nothing new sleeps until the next byte or tick.
        if (p == Pass::Idle)
            WaitForWire();
        else
            DoEvents();
    }
    return Outcome::Done;
}

// The port closed under a transfer (the device went away): the transfer's error box, with
// the port's reason where it has one (a device server that ended the connection).
bool portLost()
{
    const CommError lost = g_funcCommPortLost();
    const CommError e = lost.failed() ? lost : HangUpError();
    return transferError(FileError{e.number, e.description});
}

// The write's address loop and its "E".
Outcome writeBlock()
{
    Direction write;
    write.command = [] { return FrameWrite(g_intCommAddr, UserData[g_intCommAddr].data()); };
    write.check = g_subWCheck;
    write.take = [] { return true; };
    write.afterLast = 5;
    // The end of the write: "E" (steps 5 to 7), repeated once a second until answered.
    write.other = []() -> Pass {
        if (g_intCommStep < 5 || g_intCommStep > 7)
            return Pass::Cancelled;
        return repeatEachSecond(5, QStringLiteral("E"), [] { return qint16(g_funcECheck() ? 2 : 1); }, 40);
    };
    return runSteps(write);
}

void reportTempSave()
{
    if (!g_funcTempDataSave(g_strTempFile))
        MsgBox(QStringLiteral("一時ﾌｧｲﾙへの書込みに失敗しました"), vbOKOnly + vbExclamation);
}
} // namespace

const TransferRefusal &g_funcTransferRefusal() { return s_refusal; }

void g_subTransferCancel()
{
    g_cancelled = true;
    g_intCommStep = 60;
}

bool g_funcControllerReadBlock()
{
    for (;;) {
        g_subTempDataIni();
        if (!openPort(QStringLiteral("コントローラからデータ読込")))
            return false;
        Direction read;
        read.command = [] { return FrameRead(g_intCommAddr); };
        read.check = g_subRCheck;
        read.take = [] {
            // A reply whose data are not two hex digits is asked for again.
            const QString data = g_funcReadData();
            if (!isHexPair(data))
                return false;
            TempData[g_intCommAddr].setData(data);
            return true;
        };
        const Outcome done = runSteps(read);
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
        const Outcome done = writeBlock();
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
