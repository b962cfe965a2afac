#include "link/modProtocol.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modComm1.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/SerialPort.h"

#include <cmath>

qint16 g_intCommStep = 0;
qint16 g_intCommEnd = 0;
qint16 g_intCommAddr = 0;
QString g_strCommand;
qint32 g_intShortReplyCount = 0;
qint32 g_intNoReplyCount = 0;
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

static bool hasCr() { return g_strInPut.contains(QLatin1Char('\r')); }

qint16 g_funcLCheck()
{
    g_subCommReceive();
    if (!MSComm1().portOpen())
        return 0;
    if (g_strInPut == QLatin1String("L0001\r")) {
        g_strInPut.clear();
        return 2;
    }
    if (g_strInPut == QLatin1String("?\r"))
        g_strInPut.clear();
    return 1;
}

static void letterCheck(QChar letter)
{
    g_subCommReceive();
    if (!hasCr()) {
        g_intCommStep = 20;
    } else if (g_strInPut.contains(letter)) {
        g_intCommStep = 30;
    } else if (g_strInPut.contains(QLatin1Char('?'))) {
        g_strInPut.clear();
        g_intCommStep = 11;
    }
}

void g_subRCheck() { letterCheck(QLatin1Char('R')); }
void g_subWCheck() { letterCheck(QLatin1Char('W')); }

bool g_funcECheck()
{
    g_subCommReceive();
    if (hasCr() && g_strInPut.contains(QLatin1Char('E'))) {
        g_strInPut.clear();
        return true;
    }
    if (hasCr() && g_strInPut.contains(QLatin1Char('?')))
        g_strInPut.clear();
    return false;
}

qint16 g_funcPCheck()
{
    g_subCommReceive();
    if (!hasCr())
        return 100;
    if (g_strInPut.contains(QLatin1Char('P')))
        return 1;
    if (g_strInPut.contains(QLatin1Char('?'))) {
        g_strInPut.clear();
        return 3;
    }
    return 0;
}

QString g_funcReadData()
{
    const qsizetype r = g_strInPut.indexOf(QLatin1Char('R'));
    return r < 0 ? QString() : g_strInPut.mid(r + 1, 2);
}

qint16 g_funcPollParse(const QString &command)
{
    Q_UNUSED(command);
    g_subCommReceive();
    if (g_strInPut.isEmpty()) {
        if (g_intNoReplyCount > 5)
            return 40;
        ++g_intNoReplyCount;
        return 100;
    }
    const QChar first = g_strInPut.at(0);
    if (first == QLatin1Char('?'))
        return 0;
    // "N" and four digits, or "Y" and two; a short line gets a few more passes.
    int length = 0, patience = 0;
    if (first == QLatin1Char('N')) {
        length = 5;
        patience = 4;
    } else if (first == QLatin1Char('Y')) {
        length = 3;
        patience = 2;
    } else {
        return 40;
    }
    if (g_strInPut.size() >= length) {
        g_intShortReplyCount = 0;
        return 1;
    }
    if (g_intShortReplyCount > patience)
        return 40;
    ++g_intShortReplyCount;
    return 100;
}

void g_subSendPrepared() { g_intCommStep = g_funcCommOutPut(g_strCommand) ? 12 : 11; }

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
        g_intCommEnd = 0;
        MSComm1().clearInBuffer();
        g_intCommStep = 0;
        g_subCommTimerStart();
        while (g_intCommEnd != 1) {
            bool idle = false;
            if (g_intCommTimeUp == -1) {
                g_subCommTimerStop();
                MsgBox(QStringLiteral("通信応答がありません。"), vbOKOnly + vbExclamation, caption);
                result = 0;
                break;
            }
            if (g_intCommStep == 0) {
                g_funcCommOutPut(QStringLiteral("L"));
                g_intCommStep = 1;
            } else if (g_intCommStep == 1) {
                g_subReplyTimerStart();
                g_intCommStep = 2;
            } else if (g_intCommStep == 2) {
                if (g_intReplyTimeUp == 1) {
                    g_subReplyTimerStop();
                    g_intCommStep = 0;
                } else {
                    const qint16 r = g_funcLCheck();
                    if (r == 0) {
                        g_subReplyTimerStop();
                        // A port that closed by itself (a device server that ends the
                        // connection at once when its line is busy) says why.
                        g_funcCommLostReport();
                        result = 0;
                        break;
                    }
                    if (r == 1) {
                        result = 0;
                        idle = true;
                    } else {
                        g_intCommStep = 40;
                        result = 1;
                        g_subReplyTimerStop();
                    }
                }
            } else if (g_intCommStep == 40) {
                g_intCommEnd = 1;
            } else if (g_intCommStep == 60) {
                break;
            }
            // A pass that found nothing new sleeps until the next byte or tick.
            if (idle)
                WaitForWire();
            else
                DoEvents();
        }
    }
    g_subReplyTimerStop();
    g_subCommTimerStop();
    // The lock's release comes before the state, which has the last word on the enabling.
    g_subCommBusySet(0);
    g_subConnectStatusSet(result);
}

// ---------------------------------------------------------------- poll exchange

// A poll reply that carries no value is given up silently, one tick at a time; a controller
// that answers every poll like that would keep the monitor running on stale values without
// a word. "N" and "Y" are watched each on its own, since a good answer to one says nothing
// of the other: when the polls of either have given up for as long as one reply wait may
// last, the monitor ends as on a reply time-out.
static qint64 s_givingUpSinceMs[2] = {-1, -1}; // "N", "Y"

void g_subPollWatchReset() { s_givingUpSinceMs[0] = s_givingUpSinceMs[1] = -1; }

static void pollTimedOut()
{
    MsgBox(QStringLiteral("受信待ち ﾀｲﾑｱｯﾌﾟ") + vbCrLf + QStringLiteral("通信の状態を確認してください"),
           vbOKOnly + vbExclamation, QStringLiteral("ｱﾅﾛｸﾞﾓﾆﾀｰ"));
    g_subMonitorStopSet(1);
    g_intCommStep = 40;
    g_subPollWatchReset();
}

bool g_subAnaMoni1CommandSend2(const QString &command, QString *reply)
{
    const int want = command == QLatin1String("N") ? 6 : command == QLatin1String("Y") ? 4 : 1;
    qint64 &givingUpSinceMs = s_givingUpSinceMs[command == QLatin1String("N") ? 0 : 1];
    g_intCommEnd = 0;
    g_intCommStep = 0;
    g_intReplyTimeUp = 0;
    g_intCommStep = 11;
    g_intPollBusy = -1;
    while (g_intCommEnd != 1) {
        DoEvents();
        if (g_intMonitorStop == 1)
            g_intCommStep = 40;
        switch (g_intCommStep) {
        case 11:
            g_subReplyTimerStop();
            g_strInPut.clear();
            g_intShortReplyCount = 0;
            g_intNoReplyCount = 0;
            if (!g_funcCommOutPut(command)) {
                g_intPollBusy = 0;
                g_subReplyTimerStop();
                g_intReplyTimeUp = 0;
                g_intCommStep = 0;
                return false;
            }
            g_intCommStep = 12;
            break;
        case 12: g_intCommStep = 20; break;
        case 20: {
            const Deadline bound(g_lngReplyWaitMs);
            while (MSComm1().inBufferCount() < want && MSComm1().portOpen() && g_intMonitorStop != 1 &&
                   !bound.passed())
                bound.wait();
            if (!MSComm1().portOpen() && g_funcCommLostReport()) {
                // The port closed by itself under the wait: the exchange ends as a send on
                // it would.
                g_intPollBusy = 0;
                g_subReplyTimerStop();
                g_intReplyTimeUp = 0;
                g_intCommStep = 0;
                return false;
            }
            if ((bound.passed() && MSComm1().inBufferCount() < want && g_intMonitorStop != 1) ||
                !MSComm1().portOpen()) {
                pollTimedOut();
                break;
            }
            const qint16 r = g_funcPollParse(command);
            if (r == 1) {
                if (reply)
                    *reply = g_strInPut;
                g_strInPut.clear();
                g_intCommStep = 40;
                givingUpSinceMs = -1;
            } else if (r == 40) {
                g_intCommStep = 40;
                const qint64 now = clockService().elapsedMs();
                if (givingUpSinceMs < 0)
                    givingUpSinceMs = now;
                else if (now - givingUpSinceMs >= g_lngReplyWaitMs)
                    pollTimedOut();
            } else {
                // "?" or a short line: wait for more bytes.
                WaitForEvent(1);
            }
            break;
        }
        case 40: g_intCommEnd = 1; break;
        default: g_intCommStep = 40; break;
        }
    }
    g_intPollBusy = 0;
    g_subReplyTimerStop();
    g_intReplyTimeUp = 0;
    return true;
}

// ---------------------------------------------------------------- analog channel

static void channelTimedOut()
{
    MsgBox(QStringLiteral("受信待ち ﾀｲﾑｱｯﾌﾟ") + vbCrLf + QStringLiteral("通信の状態を確認してください"),
           vbOKOnly + vbExclamation, QStringLiteral("ｱﾅﾛｸﾞﾓﾆﾀｰ"));
}

// Waits for a CR in the receive buffer, bounded like the poll; false, after the time-out's
// message, when the bound passes. The bound holds across the sends of one exchange.
static bool waitForLine(const Deadline &reply)
{
    for (;;) {
        g_subCommReceive();
        if (hasCr())
            return true;
        if (!MSComm1().portOpen() || reply.passed())
            break;
        reply.wait();
    }
    if (!MSComm1().portOpen() && g_funcCommLostReport())
        return false;
    channelTimedOut();
    return false;
}

bool g_funcChannelRead(int channel, double &volts)
{
    g_strCommand = FrameChannelRead(channel);
    g_intCommStep = 11;
    const Deadline reply(g_lngReplyWaitMs);
    // A "?" or a line that carries no value asks for the command again, kChannelReadSends
    // sends in all; then the read ends with the time-out's message, as when the controller
    // stays silent, instead of holding the tool in a loop.
    for (int sends = 1;; ++sends) {
        MSComm1().clearInBuffer();
        g_strInPut.clear();
        if (!g_funcCommOutPut(g_strCommand))
            return false;
        if (!waitForLine(reply))
            return false;
        if (g_strInPut.contains(QLatin1Char('N'))) {
            g_intCommStep = 30;
            const qsizetype cr = g_strInPut.indexOf(QLatin1Char('\r'));
            bool ok = false;
            const int count = g_strInPut.mid(2, cr - 2).toInt(&ok, 16);
            if (ok) {
                volts = ChannelVolts(count);
                return true;
            }
        }
        g_strInPut.clear();
        g_intCommStep = 11;
        if (sends >= kChannelReadSends) {
            channelTimedOut();
            return false;
        }
    }
}

bool g_funcAnalogOut(int channel, double volts)
{
    MSComm1().clearInBuffer();
    g_strInPut.clear();
    if (!g_funcCommOutPut(FrameAnalogOut(channel, volts)))
        return false;
    return waitForLine(Deadline(g_lngReplyWaitMs));
}
