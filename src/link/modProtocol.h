#pragma once
// The controller's command protocol: frames, reply checks, the connection check with "L",
// the monitor poll exchange and the analog channel read and output set, as the program's
// windows run them on appSession() (the step, the command and the reply counters are the
// session's).
#include <QString>

// How long the monitor poll, the channel read and the output set wait for a reply.
constexpr int kReplyWaitMs = 20000;
extern qint32 g_lngReplyWaitMs;

// Two (or four) upper-case hex digits with leading zeros: 5 -> "05", 47 -> "2F".
QString HexByte(int v);
QString HexWord(int v);
QString FrameRead(int address);
QString FrameWrite(int address, const QString &data);
// "D" ch hhhh: volts * 1023 / 5 truncated; "N" ch.
QString FrameAnalogOut(int channel, double volts);
QString FrameChannelRead(int channel);
// The volts of a channel count: count * 100 / (1023 / 5), rounded, / 100.
double ChannelVolts(int count);

// Reply checks of the program's session: each first collects what arrived and never waits.
qint16 g_funcLCheck();   // 0 port closed, 1 not yet, 2 "L0001" CR
void g_subRCheck();      // step 20 (wait), 30 (reply), 11 (resend after "?")
void g_subWCheck();
bool g_funcECheck();
qint16 g_funcPCheck();   // 100 no CR yet, 1 "P", 3 "?", 0 other line
qint16 g_funcPollParse(const QString &command); // 1 complete, 100 wait, 40 give up, 0 "?"
// The data after the first "R" of the receive buffer.
QString g_funcReadData();

void g_subConnectCheck();
// The monitor's poll exchange ("N" or "Y"): false when the command could not be sent. An
// accepted reply line is handed back in reply (left alone when none was accepted: a reply
// without a value is given up, and a time-out asks the monitor to stop).
bool g_subAnaMoni1CommandSend2(const QString &command, QString *reply = nullptr);
// A monitor start forgets the polls of an earlier run that gave up.
void g_subPollWatchReset();
// The analog monitor's channel read (volts; false, after a message, when no value came in
// kChannelReadSends sends) and output set.
constexpr int kChannelReadSends = 4;
bool g_funcChannelRead(int channel, double &volts);
bool g_funcAnalogOut(int channel, double volts);

