#include "link/modComm1.h"

#include "link/LinkSession.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/SerialPort.h"

WindowTimer &ReplyTimer() { return appSession().replyTimer(); }
WindowTimer &CommTimer() { return appSession().commTimer(); }

bool g_funcCommPortOpen(int port) { return appSession().openPort(port); }
bool g_funcCommPortCheck(int port) { return appSession().checkPort(port); }

void g_subCommPortClose()
{
    const CommError e = appSession().closePort();
    if (e.failed())
        MsgBox(ErrTextErrNumber(e), vbOKOnly + vbCritical, QStringLiteral("通信ﾎﾟｰﾄをｸﾛｰｽﾞします"));
}

CommError g_funcCommPortLost() { return appSession().portLost(); }
bool g_funcCommLostReport() { return appSession().lostReport(); }

bool g_funcCommOutPut(const QString &command)
{
    LinkSession &s = appSession();
    return s.run([&](LinkDone done) { s.send(command, std::move(done)); }).ok();
}

void g_subCommReceive() { appSession().receive(); }
void g_subReplyTimerStart() { appSession().replyTimerStart(); }
void g_subReplyTimerStop() { appSession().replyTimerStop(); }
void g_subCommTimerStart() { appSession().commTimerStart(); }
void g_subCommTimerStop() { appSession().commTimerStop(); }
void g_subCommBufferClear() { appSession().purge(); }

void g_subPortAccessHint(int port, const QString &caption)
{
    const QString hint = MSComm1().accessHint(port);
    if (!hint.isEmpty())
        MsgBox(hint, vbOKOnly + vbInformation, caption);
}
