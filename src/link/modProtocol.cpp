#include "link/modProtocol.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "platform/Dialogs.h"

qint32 g_lngReplyWaitMs = kReplyWaitMs;

// ---------------------------------------------------------------- connection check

void g_subConnectCheck()
{
    const QString caption = QStringLiteral("通信ﾎﾟｰﾄのｵｰﾌﾟﾝと接続のﾁｪｯｸ");
    g_subConnectStatusSet(2);
    g_subCommBusySet(1);
    // The outcome is shown when the check ends; meanwhile the state stays "in progress".
    qint16 result = 0;
    if (!g_funcCommPortOpen(g_intCommPort)) {
        Beep();
        MsgBox(QStringLiteral("ﾎﾟｰﾄを開くことができませんでした。"), vbOKOnly + vbExclamation, caption);
        g_subPortAccessHint(g_intCommPort, caption);
    } else {
        LinkSession &s = appSessionNow();
        const LinkResult r = s.run([&](LinkDone done) { s.checkConnection(std::move(done)); });
        if (r.outcome == LinkOutcome::NoReply)
            MsgBox(QStringLiteral("通信応答がありません。"), vbOKOnly + vbExclamation, caption);
        result = r.ok() ? 1 : 0;
    }
    g_subReplyTimerStop();
    g_subCommTimerStop();
    // The lock's release comes before the state, which has the last word on the enabling.
    g_subCommBusySet(0);
    g_subConnectStatusSet(result);
}

// ---------------------------------------------------------------- poll exchange

void g_subPollWatchReset() { appSession().resetPollWatch(); }

LinkResult g_subAnaMoni1CommandSend2(const QString &command)
{
    LinkSession &s = appSessionNow();
    return s.run([&](LinkDone done) { s.poll(command, std::move(done)); });
}

// ---------------------------------------------------------------- analog channel

bool g_funcChannelRead(int channel, double &volts)
{
    LinkSession &s = appSessionNow();
    const LinkResult r = s.run([&](LinkDone done) { s.channelRead(channel, std::move(done)); });
    if (r.ok())
        volts = r.volts;
    return r.ok();
}

bool g_funcAnalogOut(int channel, double volts)
{
    LinkSession &s = appSessionNow();
    return s.run([&](LinkDone done) { s.analogOut(channel, volts, std::move(done)); }).ok();
}
