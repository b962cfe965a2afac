#include "link/modComm1.h"

#include "link/LinkSession.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/PortClaims.h"
#include "platform/SerialPort.h"

const WindowTimer &ReplyTimer() { return appSession().replyTimer(); }
const WindowTimer &CommTimer() { return appSession().commTimer(); }

namespace {
// Who has taken COM n for itself (the office view's sites), or empty: the port is then not
// this session's to open.
QString takenBy(int port) { return PortClaims::none() ? QString() : PortClaims::holderOf(ComPortKeys(port)); }
} // namespace

bool g_funcCommPortOpen(int port)
{
    LinkSession &s = appSessionNow();
    if (!s.port().portOpen() && !takenBy(port).isEmpty())
        return false;
    return !s.openPortAndWait(port).failed();
}

bool g_funcCommPortCheck(int port)
{
    LinkSession &s = appSessionNow();
    if (!s.port().portOpen() && !takenBy(port).isEmpty())
        return false;
    return s.checkPort(port);
}

void g_subCommPortClose()
{
    const CommError e = appSession().closePort();
    if (e.failed())
        MsgBox(ErrTextErrNumber(e), vbOKOnly + vbCritical, QStringLiteral("通信ﾎﾟｰﾄをｸﾛｰｽﾞします"));
}

CommError g_funcCommPortLost() { return appSession().portLost(); }
bool g_funcCommLostReport() { return appSessionNow().lostReport(); }

bool g_funcCommOutPut(const QString &command)
{
    LinkSession &s = appSessionNow();
    return s.run([&](LinkDone done) { s.send(command, std::move(done)); }).ok();
}

void g_subCommReceive() { appSession().receive(); }
void g_subReplyTimerStart() { appSession().replyTimerStart(); }
void g_subReplyTimerStop() { appSession().replyTimerStop(); }
void g_subCommTimerStart() { appSessionNow().commTimerStart(); }
void g_subCommTimerStop() { appSession().commTimerStop(); }
void g_subCommBufferClear() { appSessionNow().purge(); }

void g_subPortAccessHint(int port, const QString &caption)
{
    const QString holder = takenBy(port);
    if (!holder.isEmpty()) {
        MsgBox(QStringLiteral("COM%1 は%2が使用中です。").arg(port).arg(holder), vbOKOnly + vbInformation, caption);
        return;
    }
    const QString hint = MSComm1().accessHint(port);
    if (!hint.isEmpty())
        MsgBox(hint, vbOKOnly + vbInformation, caption);
}
