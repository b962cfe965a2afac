// Telnet COM port control without a network: the byte stream parser however the bytes
// are cut (0xFF escaping round trips are fuzz_telnet's), the option answers, and the
// client against the server setting the line, refused, or answered with another setting.
#include "platform/Rfc2217.h"

#include <QtTest>

namespace {
using Cmd = TelnetParser::Command;
using namespace Telnet;

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray b;
    for (int v : list)
        b.append(char(v));
    return b;
}

struct Parsed {
    QByteArray data;
    QList<Cmd> commands;
};

// Feeds the input in pieces cut at the given positions.
Parsed parse(const QByteArray &in, const QList<int> &cuts = {})
{
    TelnetParser p;
    Parsed out;
    int from = 0;
    for (int cut : cuts) {
        p.feed(in.mid(from, cut - from), &out.data, &out.commands);
        from = cut;
    }
    p.feed(in.mid(from), &out.data, &out.commands);
    return out;
}

// Runs client and server against each other until neither has anything to say; the
// rounds it took (fails the test past 10: the answers would loop).
int converse(Rfc2217Client &c, Rfc2217Server &s, QByteArray *clientData = nullptr, QByteArray *serverData = nullptr)
{
    QByteArray toServer = c.start(), toClient = s.start();
    QByteArray sink;
    int rounds = 0;
    while (!toServer.isEmpty() || !toClient.isEmpty()) {
        if (++rounds > 10)
            return rounds;
        const QByteArray a = s.receive(toServer, serverData ? serverData : &sink);
        const QByteArray b = c.receive(toClient, clientData ? clientData : &sink);
        toClient = a;
        toServer = b;
    }
    return rounds;
}
} // namespace

Q_DECLARE_METATYPE(QList<Cmd>)

class tst_rfc2217 : public QObject {
    Q_OBJECT
private slots:
    void parserAnyCut_data();
    void parserAnyCut();
    void optionAnswers_data();
    void optionAnswers();
    void clientSetsTheLine();
    void refusedOption();
    void wrongSettingFails_data();
    void wrongSettingFails();
    void textWithoutBinary_data();
    void textWithoutBinary();
    void serverKeepsRequestsBounded();
};

void tst_rfc2217::parserAnyCut_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QList<Cmd>>("commands");
    QTest::newRow("plain") << QByteArray("L0001\r") << QByteArray("L0001\r") << QList<Cmd>{};
    QTest::newRow("doubled 0xFF is data") << bytes({'A', IAC, IAC, 'B'}) << bytes({'A', 0xFF, 'B'}) << QList<Cmd>{};
    QTest::newRow("options between data")
        << bytes({'x', IAC, WILL, OptBinary, IAC, DO, OptComPort, 'y'}) << QByteArray("xy")
        << QList<Cmd>{{WILL, OptBinary, {}}, {DO, OptComPort, {}}};
    QTest::newRow("subnegotiation with escaped 0xFF")
        << bytes({IAC, SB, OptComPort, 101, 0, 0, IAC, IAC, 0x80, IAC, SE, 'z'}) << QByteArray("z")
        << QList<Cmd>{{SB, OptComPort, bytes({101, 0, 0, 0xFF, 0x80})}};
    QTest::newRow("NOP, GA and a stray SE carry nothing")
        << bytes({'a', IAC, NOP, 'b', IAC, 249, IAC, SE, 'c'}) << QByteArray("abc") << QList<Cmd>{};
    QTest::newRow("command inside an unfinished subnegotiation")
        << bytes({IAC, SB, OptComPort, 1, 2, IAC, WILL, OptBinary, 'q'}) << QByteArray("q")
        << QList<Cmd>{{WILL, OptBinary, {}}};
    QByteArray longSub = bytes({IAC, SB, OptComPort});
    longSub += QByteArray(1000, 'S');
    longSub += bytes({IAC, SE, '!'});
    QTest::newRow("long subnegotiation is cut") << longSub << QByteArray("!")
                                                << QList<Cmd>{{SB, OptComPort, QByteArray(TelnetParser::kMaxSubnegotiation, 'S')}};
}

void tst_rfc2217::parserAnyCut()
{
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, data);
    QFETCH(QList<Cmd>, commands);
    // Whole, and cut once and twice at every place: the same result.
    const int n = int(in.size());
    const int step = n > 64 ? 97 : 1;
    for (int i = 0; i <= n; i += step) {
        for (int j = i; j <= n; j += step) {
            const Parsed p = parse(in, {i, j});
            QCOMPARE(p.data, data);
            QCOMPARE(p.commands, commands);
        }
    }
}

void tst_rfc2217::optionAnswers_data()
{
    QTest::addColumn<QByteArray>("in");
    QTest::addColumn<QByteArray>("answer");
    // The client wants binary and suppress-go-ahead both ways and offers COM-PORT-OPTION.
    QTest::newRow("WILL ECHO is refused") << bytes({IAC, WILL, 1}) << bytes({IAC, DONT, 1});
    QTest::newRow("DO of an unknown option is refused") << bytes({IAC, DO, 99}) << bytes({IAC, WONT, 99});
    QTest::newRow("DONT and WONT of what is off need no answer") << bytes({IAC, DONT, 1, IAC, WONT, 1}) << QByteArray();
    QTest::newRow("answers to our own requests need none")
        << bytes({IAC, WILL, OptBinary, IAC, DO, OptBinary}) << QByteArray();
    QTest::newRow("a repeated WILL once enabled needs none")
        << bytes({IAC, WILL, OptSuppressGoAhead, IAC, WILL, OptSuppressGoAhead}) << QByteArray();
    QTest::newRow("switching binary off is acknowledged")
        << bytes({IAC, WILL, OptBinary, IAC, WONT, OptBinary}) << bytes({IAC, DONT, OptBinary});
    QTest::newRow("a refused request asked again gets no second answer")
        << bytes({IAC, DO, 99, IAC, WILL, 99, IAC, DO, 99, IAC, WILL, 99}) << bytes({IAC, WONT, 99, IAC, DONT, 99});
    QTest::newRow("a flood of requests is refused once each")
        << bytes({IAC, DO, 99, IAC, WILL, 1, IAC, NOP}).repeated(5000) << bytes({IAC, WONT, 99, IAC, DONT, 1});
    QTest::newRow("binary switched off and on again: one answer per change")
        << bytes({IAC, WILL, OptBinary, IAC, WONT, OptBinary, IAC, WONT, OptBinary, IAC, WILL, OptBinary, IAC, WILL, OptBinary})
        << bytes({IAC, DONT, OptBinary, IAC, DO, OptBinary});
}

void tst_rfc2217::optionAnswers()
{
    QFETCH(QByteArray, in);
    QFETCH(QByteArray, answer);
    Rfc2217Client c;
    c.start();
    QByteArray data;
    QCOMPARE(c.receive(in, &data), answer);
    QVERIFY(data.isEmpty());
    QVERIFY(!c.failed() && !c.ready());
}

void tst_rfc2217::clientSetsTheLine()
{
    Rfc2217Client c;
    Rfc2217Server s;
    QVERIFY(converse(c, s) <= 4);
    QVERIFY(c.accepted());
    QVERIFY(c.ready());
    QVERIFY(!c.failed());
    QCOMPARE(c.lineText(), QStringLiteral("9600 8N1, no flow control"));
    QCOMPARE(s.requests, (QStringList{"baud 9600", "data 8", "parity 1", "stop 1", "control 1"}));
    QVERIFY(s.comPortEnabled());
    QVERIFY(c.reason(false).isEmpty());
}

void tst_rfc2217::refusedOption()
{
    Rfc2217Client c;
    Rfc2217Server s(true);
    QVERIFY(converse(c, s) <= 4);
    QVERIFY(c.failed());
    QVERIFY(!c.ready() && !c.accepted());
    QCOMPARE(c.failure(), Rfc2217Client::Failure::Refused);
    QVERIFY(c.reason(false).contains(QLatin1String("refuses RFC 2217")));
    QVERIFY(c.reason(true).contains(QStringLiteral("tcp://")));
    QVERIFY(s.requests.isEmpty());
}

void tst_rfc2217::wrongSettingFails_data()
{
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<QString>("reason");
    const QByteArray baud = QByteArray::fromHex("fffa2c6500002580fff0"), data8 = QByteArray::fromHex("fffa2c6608fff0"),
                     none = QByteArray::fromHex("fffa2c6701fff0"), stop1 = QByteArray::fromHex("fffa2c6801fff0"),
                     noFlow = QByteArray::fromHex("fffa2c6901fff0");
    QTest::newRow("baud") << QByteArray::fromHex("fffa2c65000012c0fff0") + data8 + none + stop1 + noFlow
                          << QStringLiteral("the server set the baud rate to 4800, not 9600");
    QTest::newRow("data bits") << baud + QByteArray::fromHex("fffa2c6607fff0") + none + stop1 + noFlow
                               << QStringLiteral("the server set the data bits to 7, not 8");
    QTest::newRow("parity") << baud + data8 + QByteArray::fromHex("fffa2c6703fff0") + stop1 + noFlow
                            << QStringLiteral("the server set the parity to E, not N");
    QTest::newRow("stop bits") << baud + data8 + none + QByteArray::fromHex("fffa2c6802fff0") + noFlow
                               << QStringLiteral("the server set the stop bits to 2, not 1");
    QTest::newRow("flow control") << baud + data8 + none + stop1 + QByteArray::fromHex("fffa2c6903fff0")
                                  << QStringLiteral("the server set the flow control to RTS/CTS flow control, not no flow control");
}

void tst_rfc2217::wrongSettingFails()
{
    QFETCH(QByteArray, answers);
    QFETCH(QString, reason);
    Rfc2217Client c;
    c.start();
    QByteArray data;
    c.receive(QByteArray::fromHex("fffd2c"), &data);
    c.receive(answers, &data);
    QVERIFY(c.failed());
    QVERIFY(!c.ready());
    QCOMPARE(c.failure(), Rfc2217Client::Failure::WrongSetting);
    QCOMPARE(c.reason(false), reason);
    QVERIFY(c.reason(true).endsWith(QStringLiteral("が必要です)。")));
}

void tst_rfc2217::textWithoutBinary_data()
{
    // Whether the server sends binary (WILL) and takes ours (DO): outside binary a CR
    // travels as CR NUL, and the NUL is no data.
    QTest::addColumn<bool>("fromServer");
    QTest::addColumn<bool>("toServer");
    for (bool from : {false, true})
        for (bool to : {false, true})
            QTest::addRow("from the server %s, to it %s", from ? "binary" : "text", to ? "binary" : "text") << from << to;
}

void tst_rfc2217::textWithoutBinary()
{
    QFETCH(bool, fromServer);
    QFETCH(bool, toServer);
    const QByteArray negotiation = bytes({IAC, fromServer ? WILL : WONT, OptBinary, IAC, toServer ? DO : DONT, OptBinary});
    // Replies as a text-mode server sends them, with a CR LF and a data 0xFF among them; in
    // binary the same bytes are all data.
    const QByteArray stream = QByteArrayLiteral("L0001\r\0N03FF\r\0\r\n\xff\xff\r\0");
    const QByteArray want = fromServer ? QByteArrayLiteral("L0001\r\0N03FF\r\0\r\n\xff\r\0")
                                       : QByteArrayLiteral("L0001\rN03FF\r\r\n\xff\r");
    for (int cut = 0; cut <= stream.size(); ++cut) {
        Rfc2217Client c;
        c.start();
        QByteArray data;
        c.receive(negotiation + stream.left(cut), &data);
        c.receive(stream.mid(cut), &data);
        QCOMPARE(data, want);
        QCOMPARE(c.binaryIn(), fromServer);
        QCOMPARE(c.binaryOut(), toServer);
        QCOMPARE(c.encode(bytes({'L', '\r', 0xFF})), toServer ? bytes({'L', '\r', IAC, IAC}) : bytes({'L', '\r', 0, IAC, IAC}));
    }
    // A server that refuses binary both ways reads the client's lines as the client meant them.
    Rfc2217Client c;
    Rfc2217Server s(false, true);
    QByteArray got;
    QVERIFY(converse(c, s) <= 4);
    QVERIFY(c.ready() && !c.binaryIn() && !c.binaryOut());
    s.receive(c.encode("R2B\rL\r"), &got);
    QCOMPARE(got, QByteArray("R2B\rL\r"));
    QByteArray back;
    c.receive(s.encode("R5A\r"), &back);
    QCOMPARE(back, QByteArray("R5A\r"));
}

void tst_rfc2217::serverKeepsRequestsBounded()
{
    // Settings without end: each is answered, the first ones kept in order, the rest counted.
    Rfc2217Server s;
    s.start();
    QByteArray flood = bytes({IAC, WILL, OptComPort}), data;
    for (int i = 0; i < 10000; ++i)
        flood += TelnetParser::subnegotiation(OptComPort, bytes({ComPortOption::SetDataSize, 5 + i % 4}));
    QCOMPARE(s.receive(flood, &data).count(QByteArray::fromHex("fffa2c66")), 10000);
    QCOMPARE(s.requests.size() + s.requestsDropped, 10000);
    QCOMPARE(s.requests.size(), int(Rfc2217Server::kMaxRequests));
    for (int i = 0; i < s.requests.size(); ++i)
        QCOMPARE(s.requests.at(i), QStringLiteral("data %1").arg(5 + i % 4));
}

QTEST_GUILESS_MAIN(tst_rfc2217)
#include "tst_rfc2217.moc"
