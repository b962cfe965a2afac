// The receive path: bytes from the controller reach the receive buffer through
// g_subCommReceive (the recording port installed as the serial port) and go through every
// reply check and parse of the link, the monitor store and the readers' conversions.
//
// Input: one byte that picks how the bytes are cut into pieces (0: in one piece; never more
// than 32), one byte that picks the input type and the analog channel, then the
// controller's bytes.
//  1. The bytes arrive piece by piece while each check polls for its reply: the "L"
//     check, the read and write checks at step 20, the end check, the position check
//     with its result code, and the poll's parse of an "N" and a "Y" reply, whose accepted
//     replies go into the store and out through the readers' conversions.
//  2. When the bytes end in CR they are the controller's answers, one line per command,
//     again and again, each line arriving in up to four pieces a millisecond apart on the
//     virtual clock: one monitor tick ("N" then "Y", ended by the monitor's stop flag after
//     20 ms like a user's stop) and an analog channel read.
#include "FuzzSupport.h"

#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "link/modPos.h"
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
    ReplyTimer().setEnabled(false);
    CommTimer().setEnabled(false);
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

    g_subPollWatchReset(); // each execution starts on a fresh clock
    appSession().inPut().clear();
    appSession().replyTimeUp() = 0;
    appSession().commTimeUp() = 0;
    appSession().step() = 0;
    appSession().commEnd() = 0;
    appSession().address() = 0;
    appSession().command().clear();
    appSession().shortReplyCount() = 0;
    appSession().noReplyCount() = 0;
    g_subCommBusySet(0);
    g_subConnectStatusSet(1);
    g_subMonitorOnSet(-1);
    g_subMonitorStopSet(0);
    g_subMonitorIni();
    g_subInputTypeSet(inputType);
}

// What the readers make of the newest reading.
void readNewest()
{
    const MonDataRec &r = g_typMonData[g_intMonDataIdx];
    const QString volts = HexToVolt(r.Value);
    FUZZ_CHECK(volts == QLatin1String("ERROR") || volts.contains(QLatin1Char('.')));
    const QString volts00 = HexToVolt00(r.Value);
    FUZZ_CHECK(volts00 == QLatin1String("ERROR") || volts00.indexOf(QLatin1Char('.')) >= 2);
    const QString bits = HexToBits(r.Outputs);
    FUZZ_CHECK(bits == QLatin1String("ERROR") || bits.size() == 8);
    MakeDataLine(1, Now(), r.Value, r.Outputs, true, true);
}

// The parses that read the receive buffer as it stands (run on the read check's buffer).
void parseBuffer()
{
    FUZZ_CHECK(appSession().inPut().size() <= kReceiveLimit);
    const QString data = g_funcReadData();
    FUZZ_CHECK(data.size() <= 2);
    const QString result = g_funcPosResult(appSession().inPut());
    FUZZ_CHECK(result.size() <= 1);
    HexToVolt(g_funcReplyValue(appSession().inPut(), 4));
    HexToBits(g_funcReplyValue(appSession().inPut(), 2));
}

// A long stream arrives in at most this many pieces, so every check's passes stay few.
constexpr qsizetype kMaxPieces = 32;

enum Check { CheckL, CheckR, CheckW, CheckE, CheckP, CheckPollN, CheckPollY, kChecks };

void runCheck(int check, const QList<QByteArray> &pieces)
{
    g_port.clearInBuffer();
    appSession().inPut().clear();
    appSession().step() = 20;
    appSession().shortReplyCount() = 0;
    appSession().noReplyCount() = 0;
    for (const QByteArray &piece : pieces) {
        g_port.feed(piece);
        switch (check) {
        case CheckL: {
            const qint16 r = g_funcLCheck();
            FUZZ_CHECK(r == 1 || r == 2);
            break;
        }
        case CheckR:
        case CheckW:
            appSession().step() = 20;
            if (check == CheckR)
                g_subRCheck();
            else
                g_subWCheck();
            FUZZ_CHECK(appSession().step() == 20 || appSession().step() == 30 || appSession().step() == 11);
            if (check == CheckR)
                parseBuffer();
            // The transfer takes the reply (the read its two data characters) and clears.
            if (appSession().step() == 30)
                appSession().inPut().clear();
            break;
        case CheckE: g_funcECheck(); break;
        case CheckP: {
            const qint16 r = g_funcPCheck();
            FUZZ_CHECK(r == 100 || r == 1 || r == 3 || r == 0);
            // The position output takes its result from a "P" line; another line is dropped.
            if (r == 1)
                FUZZ_CHECK(g_funcPosResult(appSession().inPut()).size() == 1);
            if (r == 1 || r == 0)
                appSession().inPut().clear();
            break;
        }
        case CheckPollN:
        case CheckPollY: {
            const QString command = check == CheckPollN ? QStringLiteral("N") : QStringLiteral("Y");
            const qint16 r = g_funcPollParse(command);
            FUZZ_CHECK(r == 1 || r == 100 || r == 40 || r == 0);
            if (r == 1) {
                g_subMonDataStore(command, appSession().inPut());
                readNewest();
            }
            // An exchange that ended starts the next one afresh.
            if (r != 100) {
                appSession().inPut().clear();
                appSession().shortReplyCount() = 0;
                appSession().noReplyCount() = 0;
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
    appSession().inPut().clear();
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
