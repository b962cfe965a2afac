#pragma once
// The controller's command protocol as plain functions: the frames the host sends, the
// constants that bound an exchange, and the checks of the receive buffer, each of which
// says what it found. Nothing here touches a port, a clock or a box; the exchanges of a
// LinkSession (link/LinkSession.h) are built on it.
#include <QChar>
#include <QString>
#include <QStringList>

// The receive buffer keeps at most this many characters (a flood without CR cannot grow it).
constexpr int kReceiveLimit = 1024;
// How long the transmit buffer may take to drain before the send gives up.
constexpr int kTransmitWaitMs = 20000;
// How long the monitor poll, the channel read and the output set wait for a reply.
constexpr int kReplyWaitMs = 20000;
// The reply timer (the editor's, 1 s) and the overall communication timer (the frame's, 10 s).
constexpr int kReplyTimerMs = 1000;
constexpr int kCommTimerMs = 10000;
// A channel read sends its command at most this many times for one value.
constexpr int kChannelReadSends = 4;
// A position output sends its command at most this many times without an answer.
constexpr int kPositionSends = 4;

// ------------------------------------------------------------------ frames
// Two (or four) upper-case hex digits with leading zeros: 5 -> "05", 47 -> "2F".
QString HexByte(int v);
QString HexWord(int v);
QString FrameRead(int address);
QString FrameWrite(int address, const QString &data);
// "D" ch hhhh: volts * 1023 / 5 truncated; "N" ch.
QString FrameAnalogOut(int channel, double volts);
QString FrameChannelRead(int channel);
// "P" followed by the four selections ("0" to "7" each).
QString g_funcPosCommand(const QStringList &selections);
// The volts of a channel count: count * 100 / (1023 / 5), rounded, / 100.
double ChannelVolts(int count);

// ------------------------------------------------------------------ the receive buffer
// Appends what the port gave to the buffer, folds it to upper case and keeps its newest
// kReceiveLimit characters.
void ReceiveInto(QString &buffer, const QByteArray &bytes);

// ------------------------------------------------------------------ reply checks
// The "L" check: the buffer is exactly "L0001" CR (Accepted, the buffer emptied) or exactly
// "?" CR (Refused, emptied); anything else waits.
enum class LReply { Waiting, Accepted, Refused };
LReply CheckL(QString &buffer);

// A reply line to "R", "W", "E" or "P": no CR yet (Waiting); a line holding the letter
// (Answered); a line holding "?" (Refused, the buffer emptied); any other line (Other).
enum class LineReply { Waiting, Answered, Refused, Other };
LineReply CheckLine(QString &buffer, QChar letter);
// The data of a read: the two characters after the first "R".
QString ReadData(const QString &buffer);
bool IsHexPair(const QString &s);
// The result code of a position output's reply: its second character ("0" a normal end).
QString g_funcPosResult(const QString &reply);

// The poll's reply to "N" or "Y": a line whose first character is "N" with at least five
// characters, or "Y" with at least three, is Complete; an empty buffer waits a few looks and
// a short line a few more (the counters), then the reply is given up; a "?" is Refused; a
// line that starts with anything else is given up at once.
enum class PollReply { Wait, Complete, GiveUp, Refused };
struct PollPatience {
    qint32 shortReplies = 0;
    qint32 noReplies = 0;
};
PollReply CheckPoll(const QString &buffer, PollPatience &patience);
// Lines at the front of the buffer that answer the other poll ("N" for a "Y" and the other
// way round, each ended by its CR) are late replies to an earlier poll: they are taken out.
// The number of lines taken.
int DropLateReplies(QString &buffer, QChar letter);
// The characters after the command letter of a reply (2 to 1 + length); empty on error.
QString g_funcReplyValue(const QString &reply, int length);

// The channel read's reply: "N" ch and the value in hexadecimal up to the CR; false when the
// line holds no "N" or no number.
bool ChannelCount(const QString &buffer, int *count);

// ------------------------------------------------------------------ texts
// The box of a reply that never came, in the poll and the analog channel's exchanges.
QString ReplyTimeUpText();
QString ReplyTimeUpCaption();
