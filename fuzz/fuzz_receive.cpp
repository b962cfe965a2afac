// The receive path: bytes from the controller reach a receive buffer as the link takes them
// (ReceiveInto) and go through every reply check and parse of the protocol, the reading and
// the readers' conversions; and, through the port (the recording port installed as the
// serial port), through the program's session's exchanges into the monitor store.
//
// Input: one byte that picks how the bytes are cut into pieces (0: in one piece; never more
// than 32), one byte that picks the input type and the analog channel, then the
// controller's bytes.
//  1. The bytes arrive piece by piece while each check looks for its reply: the "L" check,
//     the read and write checks, the end check, the position check with its result code,
//     and the poll's parse of an "N" and a "Y" reply (late lines of the other command left
//     out), whose accepted replies make a reading that goes out through the readers'
//     conversions.
//  2. When the bytes end in CR they are the controller's answers, one line per command,
//     again and again, each line arriving in up to four pieces a millisecond apart on the
//     virtual clock: one monitor tick ("N" then "Y", ended by the monitor's stop after 20 ms
//     like a user's stop) and an analog channel read.
#include "FuzzSupport.h"

#include "link/LinkSession.h"
#include "link/Protocol.h"
#include "link/modComm1.h"
#include "link/modLinkState.h"
#include "link/modProtocol.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"
#include "doubles/RecordingPort.h"
#include "doubles/VirtualClock.h"
#include "platform/SerialPort.h"
#include "settings/modUserData.h"

#include <cmath>
#include <memory>

namespace {
RecordingPort g_port;
std::unique_ptr<VirtualClock> g_clock;

// Pieces of 1 to 8 bytes from a small generator seeded with seed; seed 0 keeps it whole.
// With maxPieces, a long line is cut into at most that many pieces (each piece arriving
// costs the waiting exchange a pass).
QList<QByteArray> cutInPieces(const QByteArray &bytes, uint8_t seed, qsizetype maxPieces = 0)
{
    QList<QByteArray> out;
    if (seed == 0) {
        if (!bytes.isEmpty())
            out << bytes;
        return out;
    }
    quint32 x = quint32(seed) * 2654435761u | 1u;
    for (qsizetype pos = 0; pos < bytes.size();) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        qsizetype n = 1 + qsizetype(x % 8);
        if (maxPieces > 0)
            n = qMax(n, (bytes.size() + maxPieces - 1) / maxPieces);
        out << bytes.mid(pos, n);
        pos += n;
    }
    return out;
}

void resetGlobals(int inputType)
{
    g_subLinkStateReset(); // the session's exchange, buffer, timers and poll watch
    auto fresh = std::make_unique<VirtualClock>();
    installClock(fresh.get());
    g_clock = std::move(fresh);

    g_port.onOutput = nullptr;
    g_port.written.clear();
    g_port.stuckBytes = 0;
    g_port.clearInBuffer();
    if (!g_port.portOpen()) {
        g_port.setCommPort(1);
        g_port.setPortOpen(true);
    }

    g_subCommBusySet(0);
    g_subConnectStatusSet(1);
    g_subMonitorOnSet(-1);
    g_subMonitorStopSet(0);
    g_subMonitorIni();
    g_subInputTypeSet(inputType);
}

// What the readers make of a reading.
void readReading(const Reading &r)
{
    const QString volts = r.valueText();
    FUZZ_CHECK(volts == QLatin1String("ERROR") || volts.contains(QLatin1Char('.')));
    const QString volts00 = r.valueText00();
    FUZZ_CHECK(volts00 == QLatin1String("ERROR") || volts00.indexOf(QLatin1Char('.')) >= 2);
    const QString bits = r.outputBits();
    FUZZ_CHECK(bits == QLatin1String("ERROR") || bits.size() == 8);
    FUZZ_CHECK(!r.valueValid || (r.count >= 0 && r.count <= 0xFFFF));
    MakeDataLine(1, Now(), r, true, true);
}

void readNewest()
{
    readReading(NewestReading());
    readReading(NewestEntry());
}

// The parses that read the receive buffer as it stands (run on the read check's buffer).
void parseBuffer(const QString &buffer)
{
    FUZZ_CHECK(buffer.size() <= kReceiveLimit);
    const QString data = ReadData(buffer);
    FUZZ_CHECK(data.size() <= 2);
    const QString result = g_funcPosResult(buffer);
    FUZZ_CHECK(result.size() <= 1);
    readReading(MakeReading(Now(), g_funcReplyValue(buffer, 4), g_funcReplyValue(buffer, 2), AppSessionOptions().scale));
}

// A long stream arrives in at most this many pieces, so every check's passes stay few.
constexpr qsizetype kMaxPieces = 32;

enum Check { LookL, LookR, LookW, LookE, LookP, LookPollN, LookPollY, kChecks };

void runCheck(int check, const QList<QByteArray> &pieces)
{
    QString buffer;
    PollPatience patience;
    const QChar letter = check == LookPollN ? QLatin1Char('N') : QLatin1Char('Y');
    for (const QByteArray &piece : pieces) {
        ReceiveInto(buffer, piece);
        FUZZ_CHECK(buffer.size() <= kReceiveLimit);
        switch (check) {
        case LookL: CheckL(buffer); break;
        case LookR:
        case LookW: {
            const LineReply r = CheckLine(buffer, check == LookR ? QLatin1Char('R') : QLatin1Char('W'));
            if (check == LookR)
                parseBuffer(buffer);
            // The transfer takes the reply (the read its two data characters) and clears.
            if (r == LineReply::Answered)
                buffer.clear();
            break;
        }
        case LookE:
            if (CheckLine(buffer, QLatin1Char('E')) == LineReply::Answered)
                buffer.clear();
            break;
        case LookP: {
            const LineReply r = CheckLine(buffer, QLatin1Char('P'));
            // The position output takes its result from a "P" line; another line is dropped.
            if (r == LineReply::Answered)
                FUZZ_CHECK(g_funcPosResult(buffer).size() == 1);
            if (r == LineReply::Answered || r == LineReply::Other)
                buffer.clear();
            break;
        }
        case LookPollN:
        case LookPollY: {
            DropLateReplies(buffer, letter);
            const PollReply r = CheckPoll(buffer, patience);
            if (r == PollReply::Complete)
                readReading(MakeReading(Now(), g_funcReplyValue(buffer, 4), g_funcReplyValue(buffer, 2),
                                        AppSessionOptions().scale));
            // An exchange that ended starts the next one afresh.
            if (r != PollReply::Wait) {
                buffer.clear();
                patience = PollPatience();
            }
            break;
        }
        default: break;
        }
    }
}

// The controller: each command is answered by the next line, the lines over and over.
struct Controller {
    QList<QByteArray> lines;
    uint8_t seed = 0;
    int next = 0;

    void answer()
    {
        const QByteArray line = lines[next];
        next = (next + 1) % int(lines.size());
        qint64 atUs = 0;
        for (const QByteArray &piece : cutInPieces(line, seed, 4)) {
            atUs += 1000;
            g_clock->scheduleIn(atUs, [piece] { g_port.feed(piece); });
        }
    }
};

void runExchanges(const QByteArray &bytes, uint8_t seed, int channel)
{
    Controller ctl;
    ctl.seed = seed;
    for (qsizetype pos = 0; pos < bytes.size();) {
        const qsizetype cr = bytes.indexOf('\r', pos);
        ctl.lines << bytes.mid(pos, cr - pos + 1);
        pos = cr + 1;
    }
    g_port.clearInBuffer();
    g_port.onOutput = [&ctl](const QByteArray &) { ctl.answer(); };

    // One monitor tick, stopped by the monitor's flag when the replies do not complete it.
    g_subMonitorStopSet(0);
    const quint64 stop = g_clock->scheduleIn(20000, [] { g_subMonitorStopSet(1); });
    FUZZ_CHECK(g_funcMonitorPoll(QStringLiteral("N")));
    readNewest();
    if (g_intMonitorStop != 1) {
        FUZZ_CHECK(g_funcMonitorPoll(QStringLiteral("Y")));
        readNewest();
    }
    g_clock->cancel(stop);
    FUZZ_CHECK(g_intPollBusy == 0);
    g_subMonitorStopSet(0);

    double volts = 0;
    if (g_funcChannelRead(channel, volts))
        FUZZ_CHECK(std::isfinite(volts));
    g_port.onOutput = nullptr;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInit(argc, argv);
    installSerialPort(&g_port);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint8_t seed = size > 0 ? data[0] : 0;
    const uint8_t pick = size > 1 ? data[1] : 0;
    const QByteArray bytes = size > 2 ? QByteArray(reinterpret_cast<const char *>(data) + 2, qsizetype(size - 2))
                                      : QByteArray();
    resetGlobals(1 + pick % 5);
    const QList<QByteArray> pieces = cutInPieces(bytes, seed, kMaxPieces);
    for (int check = 0; check < kChecks; ++check)
        runCheck(check, pieces);
    if (bytes.endsWith('\r'))
        runExchanges(bytes, seed, 1 + (pick / 5) % 4);
    return 0;
}
