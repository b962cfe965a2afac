#include "link/modComm1.h"

#include "core/modMain1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/SerialPort.h"

QString g_strInPut;
qint16 g_intReplyTimeUp = 0;
qint16 g_intCommTimeUp = 0;

// The loss of the port has been told since it was last opened.
static bool s_lostTold = false;

// A timer whose tick raises a flag (the timers live for the whole process).
static WindowTimer *flagTimer(qint16 &flag, qint16 raised)
{
    auto *w = new WindowTimer();
    w->onTick = [&flag, raised] { flag = raised; };
    return w;
}

WindowTimer &ReplyTimer()
{
    static WindowTimer *t = flagTimer(g_intReplyTimeUp, 1);
    return *t;
}

WindowTimer &CommTimer()
{
    static WindowTimer *t = flagTimer(g_intCommTimeUp, -1);
    return *t;
}

bool g_funcCommPortOpen(int port)
{
    SerialPortService &p = MSComm1();
    if (p.portOpen())
        return true;
    p.setCommPort(port);
    if (p.setPortOpen(true).failed())
        return false;
    s_lostTold = false;
    p.clearInBuffer();
    return true;
}

bool g_funcCommPortCheck(int port)
{
    SerialPortService &p = MSComm1();
    if (p.portOpen())
        return p.commPort() == port;
    p.setCommPort(port);
    if (p.setPortOpen(true).failed())
        return false;
    if (p.portOpen())
        return !p.setPortOpen(false).failed();
    return true;
}

void g_subCommPortClose()
{
    SerialPortService &p = MSComm1();
    if (!p.portOpen())
        return;
    const CommError e = p.setPortOpen(false);
    if (e.failed())
        MsgBox(ErrTextErrNumber(e), vbOKOnly + vbCritical,
               QStringLiteral("通信ﾎﾟｰﾄをｸﾛｰｽﾞします"));
}

CommError g_funcCommPortLost()
{
    const SerialPortService &p = MSComm1();
    if (p.portOpen())
        return {};
    const QString why = p.lostReason();
    return why.isEmpty() ? CommError{} : HangUpError(why);
}

// The send's box for a failure e: true for Retry.
static bool sendFailed(const CommError &e)
{
    if (e.number == comHangUp)
        s_lostTold = true;
    const QString text = QStringLiteral("通信ﾎﾟｰﾄの状態を確認して下さい。") + vbCrLf + ErrTextErrNumber(e);
    return MsgBox(text, vbRetryCancel + vbCritical, QStringLiteral("g_funcCommOutPut")) == vbRetry;
}

bool g_funcCommLostReport()
{
    if (s_lostTold)
        return false;
    CommError e = g_funcCommPortLost();
    if (!e.failed())
        return false;
    while (sendFailed(e)) {
        // Retry: the port stays closed until an exchange opens it again.
        e = g_funcCommPortLost();
        if (!e.failed())
            break;
    }
    return true;
}

bool g_funcCommOutPut(const QString &command)
{
    const QString caption = QStringLiteral("g_funcCommOutPut");
    const QString check = QStringLiteral("通信ﾎﾟｰﾄの状態を確認して下さい。");
    const QByteArray frame = command.toLatin1() + '\r';
    for (;;) {
        g_strInPut.clear();
        SerialPortService &p = MSComm1();
        CommError e;
        if (!p.portOpen()) {
            // A port that closed by itself says why; one never opened has nothing to say.
            e = g_funcCommPortLost();
        } else {
            e = p.output(frame);
            if (!e.failed()) {
                // The transmit buffer gets 20 s to drain; the wait wakes as the bytes leave.
                const Deadline drain(kTransmitWaitMs);
                while (p.portOpen() && p.outBufferCount() != 0 && !drain.passed())
                    drain.wait();
                if (!p.portOpen()) {
                    // The port closed under the wait: the line did not go out.
                    e = HangUpError(p.lostReason());
                } else if (p.outBufferCount() != 0) {
                    MsgBox(check + vbCrLf + QStringLiteral("送信ﾊﾞｯﾌｧｰ空き待ちﾀｲﾑｱｯﾌﾟ"), vbOKOnly + vbCritical, caption);
                    return false;
                } else {
                    return true;
                }
            }
        }
        if (!sendFailed(e))
            return false;
    }
}

void g_subCommReceive()
{
    const QByteArray in = MSComm1().input();
    if (!in.isEmpty())
        g_strInPut += QString::fromLatin1(in);
    // Upper case first: it can make a text longer ("ß" becomes "SS"), and the limit holds
    // for what stays in the buffer.
    g_strInPut = g_strInPut.toUpper();
    if (g_strInPut.size() > kReceiveLimit)
        g_strInPut = g_strInPut.right(kReceiveLimit);
}

void g_subReplyTimerStart()
{
    WindowTimer &t = ReplyTimer();
    t.setEnabled(false);
    t.setInterval(1000);
    g_intReplyTimeUp = 0;
    t.setEnabled(true);
}

void g_subReplyTimerStop()
{
    ReplyTimer().setEnabled(false);
    g_intReplyTimeUp = 0;
}

void g_subCommTimerStart()
{
    WindowTimer &t = CommTimer();
    if (t.Enabled()) {
        MsgBox(QStringLiteral("通信ﾀｲﾑｱｳﾄﾀｲﾏｰを二重に開始しようとしました。"), vbOKOnly + vbExclamation);
        return;
    }
    g_intCommTimeUp = 0;
    emit linkEvents().waitCursorChanged(true);
    t.setInterval(10000);
    t.setEnabled(true);
}

void g_subCommTimerStop()
{
    WindowTimer &t = CommTimer();
    t.setEnabled(false);
    t.setInterval(0);
    g_intCommTimeUp = 0;
    emit linkEvents().waitCursorChanged(false);
}

void g_subCommBufferClear()
{
    SerialPortService &p = MSComm1();
    p.clearOutBuffer();
    p.clearInBuffer();
    p.input();
    // The link stays as it was: the analog monitor's next exchange opens the port again.
    g_subCommPortClose();
}

void g_subPortAccessHint(int port, const QString &caption)
{
    const QString hint = MSComm1().accessHint(port);
    if (!hint.isEmpty())
        MsgBox(hint, vbOKOnly + vbInformation, caption);
}

void g_subCommEventHook()
{
    MSComm1().onCommEvent = [](int, const QString &) {
        // The device went away and the backend has closed the port. An exchange that
        // waits on it sees the closed port and ends through its own messages; an idle
        // connection is shown as ended at once.
        if (g_intConnectStatus == 1 && g_intCommBusy == 0 && !g_funcTransferRunning() && g_intMonitorOn == 0 &&
            g_intPollBusy == 0) {
            g_subConnectStatusSet(0);
        }
    };
}
