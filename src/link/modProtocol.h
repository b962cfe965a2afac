#pragma once
// The controller's command protocol: frames, reply checks, the shared step numbers,
// the connection check with "L", the monitor poll exchange and the analog channel
// read and output set.
#include <QString>

extern qint16 g_intCommStep;   // the step of the running exchange
extern qint16 g_intCommEnd;    // 1 ends the step loop
extern qint16 g_intCommAddr;   // address of the read or write, 0 to 47
extern QString g_strCommand;   // the prepared command line
extern qint32 g_intShortReplyCount;
extern qint32 g_intNoReplyCount;

// How long the monitor poll, the channel read and the output set wait for a reply, and
// how long the polls may keep giving up before the monitor ends: kReplyWaitMs in the tool;
// qelvo-cli sets its --timeout.
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

// Reply checks: each first collects what arrived and never waits.
qint16 g_funcLCheck();   // 0 port closed, 1 not yet, 2 "L0001" CR
void g_subRCheck();      // step 20 (wait), 30 (reply), 11 (resend after "?")
void g_subWCheck();
bool g_funcECheck();
qint16 g_funcPCheck();   // 100 no CR yet, 1 "P", 3 "?", 0 other line
qint16 g_funcPollParse(const QString &command); // 1 complete, 100 wait, 40 give up, 0 "?"
// The data after the first "R" of the receive buffer.
QString g_funcReadData();

// One step of the sending: step 12 when sent, stays 11 when not.
void g_subSendPrepared();

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

