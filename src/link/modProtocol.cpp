#include "link/modProtocol.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "platform/Dialogs.h"

#include <cmath>

qint32 g_lngReplyWaitMs = kReplyWaitMs;

QString HexByte(int v) { return QStringLiteral("%1").arg(v & 0xFF, 2, 16, QLatin1Char('0')).toUpper(); }
QString HexWord(int v) { return QStringLiteral("%1").arg(v & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper(); }
QString FrameRead(int address) { return QStringLiteral("R") + HexByte(address); }
QString FrameWrite(int address, const QString &data) { return QStringLiteral("W") + HexByte(address) + data; }

QString FrameAnalogOut(int channel, double volts)
{
    const int count = int(std::trunc(volts * 1023.0 / 5.0));
    return QStringLiteral("D") + QString::number(channel) + HexWord(count);
}

QString FrameChannelRead(int channel) { return QStringLiteral("N") + QString::number(channel); }

double ChannelVolts(int count) { return std::round(count * 100.0 / (1023.0 / 5.0)) / 100.0; }

qint16 g_funcLCheck() { return appSession().lCheck(); }
void g_subRCheck() { appSession().rCheck(); }
void g_subWCheck() { appSession().wCheck(); }
bool g_funcECheck() { return appSession().eCheck(); }
qint16 g_funcPCheck() { return appSession().pCheck(); }
QString g_funcReadData() { return appSession().readData(); }

qint16 g_funcPollParse(const QString &command)
{
    Q_UNUSED(command);
    return appSession().pollParse();
}

// ---------------------------------------------------------------- connection check

void g_subConnectCheck()
{
    const QString caption = QStringLiteral("通信ﾎﾟｰﾄのｵｰﾌﾟﾝと接続のﾁｪｯｸ");
    LinkSession &s = appSession();
    g_subConnectStatusSet(2);
    g_subCommBusySet(1);
    // The outcome is shown when the check ends; meanwhile the state stays "in progress".
    qint16 result = 0;
    if (!g_funcCommPortOpen(g_intCommPort)) {
        Beep();
        MsgBox(QStringLiteral("ﾎﾟｰﾄを開くことができませんでした。"), vbOKOnly + vbExclamation, caption);
        g_subPortAccessHint(g_intCommPort, caption);
    } else {
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

bool g_subAnaMoni1CommandSend2(const QString &command, QString *reply)
{
    LinkSession &s = appSession();
    const LinkResult r = s.run([&](LinkDone done) { s.poll(command, std::move(done)); });
    if (!r.sent)
        return false;
    if (r.ok() && reply)
        *reply = r.reply;
    return true;
}

// ---------------------------------------------------------------- analog channel

bool g_funcChannelRead(int channel, double &volts)
{
    LinkSession &s = appSession();
    const LinkResult r = s.run([&](LinkDone done) { s.channelRead(channel, std::move(done)); });
    if (r.ok())
        volts = r.volts;
    return r.ok();
}

bool g_funcAnalogOut(int channel, double volts)
{
    LinkSession &s = appSession();
    return s.run([&](LinkDone done) { s.analogOut(channel, volts, std::move(done)); }).ok();
}
