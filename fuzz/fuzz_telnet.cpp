// The Telnet COM port control: a device server's bytes (or a client's) through the
// parser, the client that sets the line and the server the simulator plays. The first byte
// chooses how the bytes are cut into reads, the second whether the stream goes to the
// client, the server or both; the rest is the stream.
//
// Expectations: the parser gives the same data and commands however the bytes are cut;
// data escaped and parsed again comes back whole, in binary and in text mode (CR NUL); the
// answers client and server send carry no data and only well-formed commands, and refuse
// each option they do not take at most once; client and server give the same data however
// the bytes are cut, the parser's data less some NULs after a CR; a client is never ready
// and failed at once, and ready only with the line set to 9600 8N1 without flow control;
// the server keeps at most its bound of requests.
#include "FuzzSupport.h"

#include "platform/Rfc2217.h"

#include <QMap>

namespace {
struct Parsed {
    QByteArray data;
    QList<TelnetParser::Command> commands;
};

Parsed parseInChunks(const QByteArray &stream, int chunk)
{
    TelnetParser p;
    Parsed out;
    for (qsizetype i = 0; i < stream.size(); i += chunk)
        p.feed(stream.mid(i, chunk), &out.data, &out.commands);
    return out;
}

// Answers are commands only: option verbs with an option, or whole subnegotiations. The
// refusals (WONT, DONT) of options outside `taken` are counted into refusals.
void checkAnswers(const QByteArray &answers, const QList<quint8> &taken, QMap<int, int> *refusals)
{
    const Parsed p = parseInChunks(answers, int(answers.size()) + 1);
    FUZZ_CHECK(p.data.isEmpty());
    for (const TelnetParser::Command &c : p.commands) {
        FUZZ_CHECK(c.verb == Telnet::SB || (c.verb >= Telnet::WILL && c.verb <= Telnet::DONT));
        if ((c.verb == Telnet::WONT || c.verb == Telnet::DONT) && !taken.contains(c.option))
            FUZZ_CHECK(++(*refusals)[c.verb * 256 + c.option] == 1);
    }
}

// The answers of a fixed line to the line's settings name 9600 baud, 8 data bits, no parity,
// 1 stop bit and, for the outbound flow control, none.
void checkFixedLine(const QByteArray &answers)
{
    using namespace ComPortOption;
    const Parsed p = parseInChunks(answers, int(answers.size()) + 1);
    for (const TelnetParser::Command &c : p.commands) {
        if (c.verb != Telnet::SB || c.option != Telnet::OptComPort || c.payload.isEmpty())
            continue;
        const int code = quint8(c.payload.at(0)) - ServerOffset;
        if (code == SetBaudRate)
            FUZZ_CHECK(c.payload.mid(1) == QByteArray("\x00\x00\x25\x80", 4));
        else if (code == SetDataSize)
            FUZZ_CHECK(c.payload.mid(1) == QByteArray(1, 8));
        else if (code == SetParity || code == SetStopSize)
            FUZZ_CHECK(c.payload.mid(1) == QByteArray(1, 1));
    }
}

// Bytes with the NULs right after each CR left out.
QByteArray withoutNulsAfterCr(const QByteArray &bytes)
{
    QByteArray out;
    bool afterCr = false;
    for (const char c : bytes) {
        if (afterCr && c == '\0')
            continue;
        afterCr = c == '\r';
        out.append(c);
    }
    return out;
}

// got is data with at most one NUL after each CR left out.
bool lessNulsAfterCr(const QByteArray &data, const QByteArray &got)
{
    return got.size() <= data.size() && data.size() - got.size() <= data.count('\r') &&
           withoutNulsAfterCr(got) == withoutNulsAfterCr(data);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int chunk = data[0] % 16 + 1;
    const int target = data[1] % 4; // 0 or 3 both, 1 client, 2 server
    const QByteArray stream(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));

    // Cut at every chunk size the same as whole.
    const Parsed whole = parseInChunks(stream, int(stream.size()) + 1);
    const Parsed cut = parseInChunks(stream, chunk);
    FUZZ_CHECK(cut.data == whole.data);
    FUZZ_CHECK(cut.commands == whole.commands);
    for (const TelnetParser::Command &c : whole.commands)
        FUZZ_CHECK(c.payload.size() <= TelnetParser::kMaxSubnegotiation);
    FUZZ_CHECK(whole.data.size() <= stream.size());

    // The data as a server would send it, back through the parser, in binary and as text.
    const Parsed again = parseInChunks(TelnetParser::escape(whole.data), chunk);
    FUZZ_CHECK(again.data == whole.data);
    FUZZ_CHECK(again.commands.isEmpty());
    const Parsed text = parseInChunks(NvtText::encode(whole.data, true), chunk);
    FUZZ_CHECK(text.commands.isEmpty());
    NvtText nvt;
    QByteArray back;
    for (qsizetype i = 0; i < text.data.size(); i += chunk)
        nvt.take(text.data, i, qMin(text.data.size(), i + chunk), true, &back);
    FUZZ_CHECK(back == whole.data);

    if (target != 2) {
        const QList<quint8> taken{Telnet::OptBinary, Telnet::OptSuppressGoAhead, Telnet::OptComPort};
        QMap<int, int> refusals;
        Rfc2217Client client;
        checkAnswers(client.start(), taken, &refusals);
        QByteArray got;
        for (qsizetype i = 0; i < stream.size(); i += chunk)
            checkAnswers(client.receive(stream.mid(i, chunk), &got), taken, &refusals);
        Rfc2217Client atOnce;
        atOnce.start();
        QByteArray all;
        atOnce.receive(stream, &all);
        FUZZ_CHECK(got == all);
        FUZZ_CHECK(lessNulsAfterCr(whole.data, got));
        FUZZ_CHECK(!(client.ready() && client.failed()));
        if (client.ready())
            FUZZ_CHECK(client.lineText() == QStringLiteral("9600 8N1, no flow control"));
        if (client.failed())
            FUZZ_CHECK(!client.reason(false).isEmpty() && !client.reason(true).isEmpty());
        else
            FUZZ_CHECK(client.reason(false).isEmpty());
    }
    if (target != 1) {
        const bool refuseComPort = data[1] & 4, refuseBinary = data[1] & 8;
        QList<quint8> taken{Telnet::OptSuppressGoAhead};
        if (!refuseBinary)
            taken << Telnet::OptBinary;
        if (!refuseComPort)
            taken << Telnet::OptComPort;
        // A fixed line (the watcher's maintenance port) answers every setting with its own.
        const bool fixed = data[1] & 16;
        QMap<int, int> refusals;
        Rfc2217Server server(refuseComPort, refuseBinary);
        server.setFixedLine(fixed);
        checkAnswers(server.start(), taken, &refusals);
        QByteArray got;
        for (qsizetype i = 0; i < stream.size(); i += chunk) {
            const QByteArray answers = server.receive(stream.mid(i, chunk), &got);
            checkAnswers(answers, taken, &refusals);
            if (fixed)
                checkFixedLine(answers);
        }
        Rfc2217Server atOnce(refuseComPort, refuseBinary);
        atOnce.setFixedLine(fixed);
        atOnce.start();
        QByteArray all;
        atOnce.receive(stream, &all);
        FUZZ_CHECK(got == all);
        FUZZ_CHECK(lessNulsAfterCr(whole.data, got));
        FUZZ_CHECK(server.takePurges() <= ComPortOption::PurgeBoth);
        FUZZ_CHECK(server.requests.size() <= Rfc2217Server::kMaxRequests);
        FUZZ_CHECK(server.requests.size() + server.requestsDropped == atOnce.requests.size() + atOnce.requestsDropped);
    }
    return 0;
}
