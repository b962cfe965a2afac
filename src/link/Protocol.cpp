#include "link/Protocol.h"

#include <cctype>
#include <cmath>

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

QString g_funcPosCommand(const QStringList &selections) { return QStringLiteral("P") + selections.join(QString()); }

double ChannelVolts(int count) { return std::round(count * 100.0 / (1023.0 / 5.0)) / 100.0; }

void ReceiveInto(QString &buffer, const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        buffer += QString::fromLatin1(bytes);
    // Upper case first: it can make a text longer ("ß" becomes "SS"), and the limit holds
    // for what stays in the buffer.
    buffer = buffer.toUpper();
    if (buffer.size() > kReceiveLimit)
        buffer = buffer.right(kReceiveLimit);
}

LReply CheckL(QString &buffer)
{
    if (buffer == QLatin1String("L0001\r")) {
        buffer.clear();
        return LReply::Accepted;
    }
    if (buffer == QLatin1String("?\r")) {
        buffer.clear();
        return LReply::Refused;
    }
    return LReply::Waiting;
}

LineReply CheckLine(QString &buffer, QChar letter)
{
    if (!buffer.contains(QLatin1Char('\r')))
        return LineReply::Waiting;
    if (buffer.contains(letter))
        return LineReply::Answered;
    if (buffer.contains(QLatin1Char('?'))) {
        buffer.clear();
        return LineReply::Refused;
    }
    return LineReply::Other;
}

QString ReadData(const QString &buffer)
{
    const qsizetype r = buffer.indexOf(QLatin1Char('R'));
    return r < 0 ? QString() : buffer.mid(r + 1, 2);
}

bool IsHexPair(const QString &s)
{
    if (s.size() != 2)
        return false;
    for (QChar c : s)
        if (c.unicode() > 127 || !std::isxdigit(c.toLatin1()))
            return false;
    return true;
}

QString g_funcPosResult(const QString &reply) { return reply.size() >= 2 ? reply.mid(1, 1) : QString(); }

PollReply CheckPoll(const QString &buffer, PollPatience &patience)
{
    if (buffer.isEmpty()) {
        if (patience.noReplies > 5)
            return PollReply::GiveUp;
        ++patience.noReplies;
        return PollReply::Wait;
    }
    const QChar first = buffer.at(0);
    if (first == QLatin1Char('?'))
        return PollReply::Refused;
    // "N" and four digits, or "Y" and two; a short line gets a few more looks.
    int length = 0, allowed = 0;
    if (first == QLatin1Char('N')) {
        length = 5;
        allowed = 4;
    } else if (first == QLatin1Char('Y')) {
        length = 3;
        allowed = 2;
    } else {
        return PollReply::GiveUp;
    }
    if (buffer.size() >= length) {
        patience.shortReplies = 0;
        return PollReply::Complete;
    }
    if (patience.shortReplies > allowed)
        return PollReply::GiveUp;
    ++patience.shortReplies;
    return PollReply::Wait;
}

int DropLateReplies(QString &buffer, QChar letter)
{
    const QChar other = letter == QLatin1Char('N') ? QLatin1Char('Y') : QLatin1Char('N');
    int dropped = 0;
    while (!buffer.isEmpty() && buffer.at(0) == other) {
        const qsizetype cr = buffer.indexOf(QLatin1Char('\r'));
        if (cr < 0)
            break;
        buffer.remove(0, cr + 1);
        ++dropped;
    }
    return dropped;
}

QString g_funcReplyValue(const QString &reply, int length)
{
    if (length <= 0 || reply.size() < 2)
        return QString();
    return reply.mid(1, length);
}

bool ChannelCount(const QString &buffer, int *count)
{
    if (!buffer.contains(QLatin1Char('N')))
        return false;
    const qsizetype cr = buffer.indexOf(QLatin1Char('\r'));
    bool ok = false;
    *count = buffer.mid(2, cr - 2).toInt(&ok, 16);
    return ok;
}

QString ReplyTimeUpText() { return QStringLiteral("受信待ち ﾀｲﾑｱｯﾌﾟ\r\n通信の状態を確認してください"); }
QString ReplyTimeUpCaption() { return QStringLiteral("ｱﾅﾛｸﾞﾓﾆﾀｰ"); }
