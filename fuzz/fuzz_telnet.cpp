// The Telnet COM port control: a device server's bytes (or a client's) through the
// parser, the client that sets the line and the server the simulator plays. The first byte
// chooses how the bytes are cut into reads, the second whether the stream goes to the
// client, the server or both; the rest is the stream.
//
// Expectations: the parser gives the same data and commands however the bytes are cut;
// data escaped and parsed again comes back whole; the answers client and server send
// carry no data and only well-formed commands; a client is never ready and failed at once,
// and ready only with the line set to 9600 8N1 without flow control.
#include "FuzzSupport.h"

#include "platform/Rfc2217.h"

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

// Answers are commands only: option verbs with an option, or whole subnegotiations.
void checkAnswers(const QByteArray &answers)
{
    const Parsed p = parseInChunks(answers, int(answers.size()) + 1);
    FUZZ_CHECK(p.data.isEmpty());
    for (const TelnetParser::Command &c : p.commands)
        FUZZ_CHECK(c.verb == Telnet::SB || (c.verb >= Telnet::WILL && c.verb <= Telnet::DONT));
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

    // The data as a server would send it, back through the parser.
    const Parsed again = parseInChunks(TelnetParser::escape(whole.data), chunk);
    FUZZ_CHECK(again.data == whole.data);
    FUZZ_CHECK(again.commands.isEmpty());

    if (target != 2) {
        Rfc2217Client client;
        checkAnswers(client.start());
        QByteArray got;
        for (qsizetype i = 0; i < stream.size(); i += chunk)
            checkAnswers(client.receive(stream.mid(i, chunk), &got));
        FUZZ_CHECK(got == whole.data);
        FUZZ_CHECK(!(client.ready() && client.failed()));
        if (client.ready())
            FUZZ_CHECK(client.lineText() == QStringLiteral("9600 8N1, no flow control"));
        if (client.failed())
            FUZZ_CHECK(!client.reason(false).isEmpty() && !client.reason(true).isEmpty());
        else
            FUZZ_CHECK(client.reason(false).isEmpty());
    }
    if (target != 1) {
        Rfc2217Server server(data[1] & 4);
        checkAnswers(server.start());
        QByteArray got;
        for (qsizetype i = 0; i < stream.size(); i += chunk)
            checkAnswers(server.receive(stream.mid(i, chunk), &got));
        FUZZ_CHECK(got == whole.data);
        FUZZ_CHECK(server.takePurges() <= ComPortOption::PurgeBoth);
    }
    return 0;
}
