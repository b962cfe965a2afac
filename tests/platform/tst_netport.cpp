// COM ports on the network: what a ports/COM<n> file may hold, and the port over TCP (raw
// and RFC 2217) against qelvo-ctrlsim and a server in this process: exchanges, the
// failures to open and why, the receive buffer's bound, the purge, and the look that tells
// whether a host answers. Real sockets, real clock; the fault matrix has the rest.
#include "support/Ctrlsim.h"
#include "support/HeapUse.h"
#include "support/RealWaits.h"
#include "support/TcpTestServer.h"

#include "platform/Clock.h"
#include "platform/ComPorts.h"
#include "platform/MappedSerialPort.h"
#include "platform/Paths.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {
using Kind = ComPortMapping::Kind;

// One request and its reply line; empty when none came within ms.
QByteArray exchange(SerialPortService &port, const QByteArray &frame, int ms = 2000)
{
    return exchangeLine(port, frame, ms);
}

// A hostile RFC 2217 server (Python, a process of its own): it accepts the COM port
// option and answers the settings, then sends its noise ("options": every option asked both
// ways, and NOPs; "toggle": BINARY switched off and on) as fast as it is taken, with the data
// line "N0123" CR once a second among it, and reads nothing more. It prints its port first.
const char *kFloodServer = R"(
import re, socket, sys, time
if sys.argv[1] == 'options':
    noise = b''.join(bytes([255, 253, o, 255, 251, o]) for o in range(256)) + b'\xff\xf1' * 512
else:
    noise = b'\xff\xfc\x00\xff\xfb\x00' * 2048
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
s.bind(('127.0.0.1', 0))
s.listen(1)
print(s.getsockname()[1], flush=True)
c, _ = s.accept()
c.sendall(b'\xff\xfd,\xff\xfb\x00\xff\xfd\x00')
got, answered = b'', 0
while answered < 5:
    got += c.recv(4096)
    for code, value in re.findall(rb'\xff\xfa,(.)(.*?)\xff\xf0', got, re.S)[answered:]:
        c.sendall(b'\xff\xfa,' + bytes([code[0] + 100]) + value + b'\xff\xf0')
        answered += 1
c.settimeout(0.2)
pending, line = b'', 0
while True:
    if not pending:
        pending = noise
        if time.monotonic() >= line:
            pending, line = b'N0123\r' + noise, time.monotonic() + 1
    try:
        pending = pending[c.send(pending):]
    except socket.timeout:
        pass
    except OSError:
        break
)";

// The processor time of this process and its peak resident memory.
struct Usage {
    qint64 cpuMs = 0;
    qint64 peakKb = 0;
};
Usage usageNow()
{
    Usage u;
    QFile stat(QStringLiteral("/proc/self/stat")), status(QStringLiteral("/proc/self/status"));
    if (stat.open(QIODevice::ReadOnly)) {
        // Fields 14 and 15, after the command name in parentheses: user and system ticks.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        u.cpuMs = (f.value(11).toLongLong() + f.value(12).toLongLong()) * 1000 / ::sysconf(_SC_CLK_TCK);
    }
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &l : status.readAll().split('\n'))
            if (l.startsWith("VmHWM:"))
                u.peakKb = l.mid(6).trimmed().split(' ').value(0).toLongLong();
    return u;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile::remove(path);
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}
} // namespace

Q_DECLARE_METATYPE(ComPortMapping::Kind)

class tst_netport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void addressForms_data();
    void addressForms();
    void whatComNStandsFor();

    void exchangesThroughTheNetwork_data();
    void exchangesThroughTheNetwork();
    void openFailuresSayWhy_data();
    void openFailuresSayWhy();
    void receiveBufferHoldsItsSize();
    void clearingPurgesTheServer();
    void probeTellsWhetherTheHostAnswers_data();
    void probeTellsWhetherTheHostAnswers();
    void dropsSayWhy_data();
    void dropsSayWhy();
    void textModeServer();
    void pyserialTalksToTheSimulator_data();
    void pyserialTalksToTheSimulator();
    void hostileServer_data();
    void hostileServer();

private:
    QTemporaryDir m_home;
};

void tst_netport::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) {
        QVERIFY(m_home.isValid());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    }
}

void tst_netport::cleanup() { QDir(ComPortsFolder()).removeRecursively(); }

void tst_netport::addressForms_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("said"); // the URL shown, or the start of the reason
    const Kind tcp = Kind::Tcp, rfc = Kind::Rfc2217, bad = Kind::Unreadable;
    QTest::newRow("name") << QByteArray("tcp://site7.example.org:4001\n") << tcp << "site7.example.org" << 4001
                          << "tcp://site7.example.org:4001";
    QTest::newRow("IPv4, CR LF, upper-case scheme") << QByteArray("RFC2217://192.0.2.10:2217\r\n") << rfc << "192.0.2.10"
                                                    << 2217 << "rfc2217://192.0.2.10:2217";
    QTest::newRow("IPv6 in brackets") << QByteArray("rfc2217://[2001:db8::7]:65535") << rfc << "2001:db8::7" << 65535
                                      << "rfc2217://[2001:db8::7]:65535";
    QTest::newRow("comments and blank lines around")
        << QByteArray("# roadside 7\n\n   tcp://localhost:1  \n# end\n") << tcp << "localhost" << 1 << "tcp://localhost:1";
    QTest::newRow("empty") << QByteArray("\n# nothing\n") << bad << "" << 0 << "the file holds no address";
    QTest::newRow("two lines") << QByteArray("tcp://a:1\ntcp://b:2\n") << bad << "" << 0
                               << "the file holds more than one line";
    QTest::newRow("no scheme") << QByteArray("192.0.2.1:4001") << bad << "" << 0 << "\"192.0.2.1:4001\" is no address";
    QTest::newRow("unknown scheme") << QByteArray("telnet://h:23") << bad << "" << 0 << "unknown scheme \"telnet://\"";
    QTest::newRow("no port") << QByteArray("tcp://host") << bad << "" << 0 << "no port number after the host";
    QTest::newRow("port 0") << QByteArray("tcp://host:0") << bad << "" << 0 << "\"0\" is no port number (1-65535)";
    QTest::newRow("a path after the port") << QByteArray("tcp://host:80/x") << bad << "" << 0 << "\"80/x\" is no port";
    QTest::newRow("no host") << QByteArray("tcp://:4001") << bad << "" << 0 << "no host before the port number";
    QTest::newRow("bare IPv6") << QByteArray("tcp://::1:4001") << bad << "" << 0
                               << "an IPv6 address is written in brackets";
    QTest::newRow("bad IPv6") << QByteArray("tcp://[12::zz]:1") << bad << "" << 0 << "\"12::zz\" is no IPv6 address";
    QTest::newRow("unclosed bracket") << QByteArray("tcp://[::1:4001") << bad << "" << 0 << "the IPv6 address has no";
    QTest::newRow("bad IPv4") << QByteArray("tcp://300.1.2.3:1") << bad << "" << 0 << "\"300.1.2.3\" is no IPv4 address";
    QTest::newRow("bad name") << QByteArray("tcp://site_7:1") << bad << "" << 0 << "\"site_7\" is no host name";
}

void tst_netport::addressForms()
{
    QFETCH(QByteArray, contents);
    QFETCH(Kind, kind);
    QFETCH(QString, host);
    QFETCH(int, port);
    QFETCH(QString, said);
    const ComPortMapping m = ParseComPortAddress(contents);
    QCOMPARE(m.kind, kind);
    if (kind == Kind::Unreadable) {
        QVERIFY2(m.problem.startsWith(said), qPrintable(m.problem));
        QVERIFY(!m.problemJa.isEmpty());
        QVERIFY(m.url().isEmpty());
        return;
    }
    QCOMPARE(m.host, host);
    QCOMPARE(int(m.port), port);
    QCOMPARE(m.url(), said);
    QCOMPARE(m.describe(), said);
}

void tst_netport::whatComNStandsFor()
{
    // A link to a device, a file with an address, a link to such a file, a file too large,
    // a number without a file, and COM98 with nothing.
    QDir().mkpath(ComPortsFolder());
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), ComPortLink(3)));
    writeFile(ComPortLink(4), "tcp://127.0.0.1:4001\n");
    writeFile(m_home.filePath(QStringLiteral("site9.txt")), "rfc2217://[::1]:2217\n");
    QVERIFY(QFile::link(m_home.filePath(QStringLiteral("site9.txt")), ComPortLink(9)));
    writeFile(ComPortLink(11), QByteArray(kComPortFileLimit + 1, '#'));

    ComPortMapping m = ComPortMap(3);
    QCOMPARE(m.kind, Kind::Device);
    QCOMPARE(m.device, ComPortLink(3));
    QCOMPARE(m.describe(), ComPortLink(3) + QStringLiteral(" -> /dev/null"));
    m = ComPortMap(4);
    QCOMPARE(m.kind, Kind::Tcp);
    QCOMPARE(m.file, ComPortLink(4));
    QCOMPARE(m.comPort, 4);
    QCOMPARE(ComPortMap(9).url(), QStringLiteral("rfc2217://[::1]:2217"));
    m = ComPortMap(11);
    QCOMPARE(m.kind, Kind::Unreadable);
    QVERIFY2(m.describe().startsWith(ComPortLink(11) + QStringLiteral(" cannot be used: the file is too large")),
             qPrintable(m.describe()));
    m = ComPortMap(5);
    QCOMPARE(m.kind, Kind::Device);
    QCOMPARE(m.device, QStringLiteral("/dev/ttyS4"));
    QVERIFY(m.file.isEmpty());
    QCOMPARE(ComPortMap(98).kind, Kind::None);
    QCOMPARE(ComPortMap(0).kind, Kind::None);
    // Files and links alike are candidates for the port list.
    const QList<int> candidates = ComPortCandidates();
    for (int n : {3, 4, 9, 11})
        QVERIFY(candidates.contains(n));
}

void tst_netport::exchangesThroughTheNetwork_data()
{
    QTest::addColumn<bool>("telnet");
    QTest::newRow("qelvo-ctrlsim --tcp") << false;
    QTest::newRow("qelvo-ctrlsim --rfc2217") << true;
}

void tst_netport::exchangesThroughTheNetwork()
{
    QFETCH(bool, telnet);
    QProcess sim;
    const quint16 port = TcpTestServer::closedPort();
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QVERIFY(startCtrlsim(sim, {telnet ? "--rfc2217" : "--tcp", QString::number(port), "--com", "7", "--quiet"}));
    // The simulator binds COM7 with its address, as a site is bound.
    QCOMPARE(ComPortMap(7).url(), QStringLiteral("%1://127.0.0.1:%2").arg(telnet ? "rfc2217" : "tcp").arg(port));
    MappedSerialPort p;
    p.setCommPort(7);
    for (int connection = 1; connection <= 2; ++connection) {
        QVERIFY(!p.setPortOpen(true).failed());
        QCOMPARE(&p.active(), static_cast<SerialPortService *>(&p.network()));
        QCOMPARE(p.network().lineText(), telnet ? QStringLiteral("9600 8N1, no flow control") : QString());
        QCOMPARE(exchange(p, "L"), QByteArray("L0001\r"));
        QCOMPARE(exchange(p, "W2B5A"), QByteArray("W\r"));
        QCOMPARE(exchange(p, "R2B"), QByteArray("R5A\r"));
        QCOMPARE(p.setPortOpen(true).number, int(comPortAlreadyOpen));
        QVERIFY(!p.setPortOpen(false).failed());
        QCOMPARE(p.output("L\r").number, int(comPortNotOpen));
    }
    sim.terminate();
    QVERIFY(sim.waitForFinished(3000));
    QVERIFY(!QFileInfo::exists(ComPortLink(7))); // the simulator takes its address away
}

void tst_netport::openFailuresSayWhy_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("server"); // 1 refusing RFC 2217, 2 closing at once
    QTest::addColumn<QString>("why");
    QTest::addColumn<QString>("hint");
    QTest::newRow("RFC 2217 refused") << QStringLiteral("rfc2217://127.0.0.1:%1") << 1
                                      << QStringLiteral("the server refuses RFC 2217")
                                      << QStringLiteral("ｻｰﾊﾞｰが RFC 2217 (COM-PORT-OPTION) を拒否しました。");
    QTest::newRow("closed during the negotiation") << QStringLiteral("rfc2217://127.0.0.1:%1") << 2
                                                   << QStringLiteral("the server closed the connection: \"Port's device already in use\"")
                                                   << QStringLiteral("ｻｰﾊﾞｰが接続を切りました");
}

void tst_netport::openFailuresSayWhy()
{
    QFETCH(QString, line);
    QFETCH(int, server);
    QFETCH(QString, why);
    QFETCH(QString, hint);
    TcpTestServer refusing(TcpTestServer::Mode::Answer, 0, true);
    refusing.refuseComPort = true;
    QTcpServer closing;
    closing.listen(QHostAddress::LocalHost);
    QObject::connect(&closing, &QTcpServer::newConnection, &closing, [&closing] {
        QTcpSocket *s = closing.nextPendingConnection();
        s->write("Port's device already in use\r\n");
        s->flush();
        s->disconnectFromHost();
    });
    QVERIFY(TcpTestServer::bindCom(12, line.arg(server == 1 ? refusing.port() : closing.serverPort())));
    MappedSerialPort p;
    p.setCommPort(12);
    QElapsedTimer t;
    t.start();
    const CommError e = p.setPortOpen(true);
    QVERIFY2(t.elapsed() < 4000, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(e.number, int(comPortOpenFailed));
    QVERIFY2(e.description.contains(why), qPrintable(e.description));
    QVERIFY(!p.portOpen());
    const QString h = p.accessHint(12);
    QVERIFY2(h.startsWith(QStringLiteral("COM12")) && h.contains(hint), qPrintable(h));
    QVERIFY(p.accessHint(13).isEmpty());
}

void tst_netport::receiveBufferHoldsItsSize()
{
    // A flood of 5000 bytes 0xFF: never more than 1024 waiting in the port, all of it
    // taken in the end, each doubled 0xFF of the RFC 2217 line one byte.
    for (bool telnet : {false, true}) {
        TcpTestServer server(TcpTestServer::Mode::Answer, 0, telnet);
        QVERIFY(TcpTestServer::bindCom(2, server.url()));
        MappedSerialPort port;
        port.setCommPort(2);
        QVERIFY(!port.setPortOpen(true).failed());
        const QByteArray flood(5000, char(0xFF));
        server.push(telnet ? TelnetParser::escape(flood) : flood);
        QByteArray got;
        int most = 0;
        QVERIFY(waitFor([&] {
            most = qMax(most, port.inBufferCount());
            if (most > ComInBufferSize)
                return true;
            got += port.input();
            return got.size() >= flood.size();
        }, 3000));
        QVERIFY2(most <= ComInBufferSize, qPrintable(QString::number(most)));
        QCOMPARE(got, flood);
        port.setPortOpen(false);
    }
}

void tst_netport::clearingPurgesTheServer()
{
    // The analog monitor's buffer clear: both buffers emptied, then the port closed; the
    // server is told to purge both before the connection ends.
    TcpTestServer server(TcpTestServer::Mode::Answer, 0, true);
    QVERIFY(TcpTestServer::bindCom(2, server.url()));
    MappedSerialPort port;
    port.setCommPort(2);
    QVERIFY(!port.setPortOpen(true).failed());
    server.push("stale\r");
    QVERIFY(waitFor([&] { return port.inBufferCount() == 6; }, 2000));
    port.clearOutBuffer();
    port.clearInBuffer();
    QCOMPARE(port.inBufferCount(), 0);
    QVERIFY(port.input().isEmpty());
    port.setPortOpen(false);
    QTRY_COMPARE(server.purges, 2);
}

void tst_netport::probeTellsWhetherTheHostAnswers_data()
{
    QTest::addColumn<QString>("line"); // the file's line, "link" for a device, "" for none
    QTest::addColumn<bool>("answers");
    QTest::addColumn<QString>("detail");
    QTest::newRow("raw port") << "tcp" << true << "answers (connected in ";
    QTest::newRow("RFC 2217 port") << "rfc2217" << true << "RFC 2217 line 9600 8N1, no flow control)";
    QTest::newRow("refused") << "refused" << false << "COM6 (tcp://127.0.0.1:";
    QTest::newRow("unreadable") << "tcp://" << false << "no host and port number after \"tcp://\"";
    QTest::newRow("device") << "link" << true << "present";
}

void tst_netport::probeTellsWhetherTheHostAnswers()
{
    QFETCH(QString, line);
    QFETCH(bool, answers);
    QFETCH(QString, detail);
    TcpTestServer raw, telnet(TcpTestServer::Mode::Answer, 0, true);
    QDir().mkpath(ComPortsFolder());
    if (line == QLatin1String("tcp"))
        QVERIFY(TcpTestServer::bindCom(6, raw.url()));
    else if (line == QLatin1String("rfc2217"))
        QVERIFY(TcpTestServer::bindCom(6, telnet.url()));
    else if (line == QLatin1String("refused"))
        QVERIFY(TcpTestServer::bindCom(6, QStringLiteral("tcp://127.0.0.1:%1").arg(TcpTestServer::closedPort())));
    else if (line == QLatin1String("link"))
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), ComPortLink(6)));
    else
        QVERIFY(TcpTestServer::bindCom(6, line));
    const ComPortReach r = ComPortProbe(6, 2000);
    QCOMPARE(r.answers, answers);
    QVERIFY2(r.detail.contains(detail), qPrintable(r.detail));
    QVERIFY(!r.detailJa.isEmpty());
    QVERIFY(r.ms < 2000);
    if (line == QLatin1String("tcp"))
        QTRY_COMPARE(raw.connections, 1);
}

void tst_netport::dropsSayWhy_data()
{
    QTest::addColumn<bool>("telnet");
    QTest::addColumn<QByteArray>("said"); // what a busy server says before it closes; empty: a drop
    QTest::addColumn<QString>("why");
    QTest::newRow("busy, raw") << false << QByteArray("Port's device already in use\r\n")
                               << QStringLiteral("ｻｰﾊﾞｰが接続を切りました: \"Port's device already in use\"");
    QTest::newRow("busy, control bytes and a long line")
        << false << QByteArray("\x1b[2J\x07" "busy\xff\xfe") + QByteArray(189, 'z') + "\r\n"
        << QStringLiteral("ｻｰﾊﾞｰが接続を切りました: \"[2J busy %1\"").arg(QString(109, QLatin1Char('z')));
    QTest::newRow("a controller's line is no words") << false << QByteArray("L0001\r")
                                                     << QStringLiteral("ｻｰﾊﾞｰが接続を切りました");
    QTest::newRow("raw, dropped") << false << QByteArray() << QStringLiteral("ｻｰﾊﾞｰが接続を切りました");
    QTest::newRow("RFC 2217, dropped") << true << QByteArray() << QStringLiteral("ｻｰﾊﾞｰが接続を切りました");
}

void tst_netport::dropsSayWhy()
{
    QFETCH(bool, telnet);
    QFETCH(QByteArray, said);
    QFETCH(QString, why);
    TcpTestServer server(TcpTestServer::Mode::Answer, 0, telnet);
    QVERIFY(TcpTestServer::bindCom(5, server.url()));
    if (!said.isEmpty()) {
        server.busyText = said;
        server.setMode(TcpTestServer::Mode::Busy, 200);
    }
    MappedSerialPort port;
    port.setCommPort(5);
    QList<int> events;
    port.onCommEvent = [&](int event, const QString &) { events << event; };
    QVERIFY(!port.setPortOpen(true).failed());
    QVERIFY(port.lostReason().isEmpty());
    if (said.isEmpty()) {
        QCOMPARE(exchange(port, "L"), QByteArray("L0001\r"));
        server.dropClient();
    }
    QVERIFY(waitFor([&] { return !port.portOpen(); }, 3000));
    QCOMPARE(events, QList<int>{comHangUp});
    QCOMPARE(port.lostReason(), QStringLiteral("COM5 (%1): %2").arg(server.url(), why));
    // Closing and opening again forget it.
    port.setPortOpen(false);
    QVERIFY(port.lostReason().isEmpty());
}

void tst_netport::textModeServer()
{
    // A server that refuses BINARY: CR travels as CR NUL both ways, and the exchanges work.
    TcpTestServer server(TcpTestServer::Mode::Answer, 0, true);
    server.refuseBinary = true;
    QVERIFY(TcpTestServer::bindCom(2, server.url()));
    MappedSerialPort port;
    port.setCommPort(2);
    QVERIFY(!port.setPortOpen(true).failed());
    QVERIFY(!port.network().binaryIn() && !port.network().binaryOut());
    QCOMPARE(exchange(port, "L"), QByteArray("L0001\r"));
    QCOMPARE(exchange(port, "W2B5A"), QByteArray("W\r"));
    QCOMPARE(exchange(port, "R2B"), QByteArray("R5A\r"));
    QCOMPARE(server.frames, (QByteArrayList{"L", "W2B5A", "R2B"}));
    QVERIFY(server.wire.contains(QByteArrayLiteral("R2B\r\0")));
}

void tst_netport::pyserialTalksToTheSimulator_data()
{
    // pyserial's own RFC 2217 client, as it comes, and with its reader given the time to
    // see the simulator's DO COM-PORT-OPTION before the client offers the option itself
    // (then it takes the DO for the answer and never says WILL).
    QTest::addColumn<QString>("order");
    for (int run = 1; run <= 4; ++run) {
        QTest::addRow("as it comes, run %d", run) << "plain";
        QTest::addRow("our DO seen first, run %d", run) << "late";
    }
}

void tst_netport::pyserialTalksToTheSimulator()
{
    QFETCH(QString, order);
    static const char *script = R"(
import sys, threading, time
import serial
if sys.argv[2] == 'late':
    start = threading.Thread.start
    def late(self):
        start(self)
        time.sleep(0.3)
    threading.Thread.start = late
s = serial.serial_for_url('rfc2217://127.0.0.1:' + sys.argv[1], baudrate=9600, bytesize=8,
                          parity='N', stopbits=1, timeout=3)
s.write(b'L\r')
sys.stdout.write(repr(s.read_until(b'\r')))
s.close()
)";
    const QString python = QStringLiteral("/usr/bin/python3");
    QProcess check;
    check.start(python, {"-c", "import serial.rfc2217"});
    QVERIFY2(check.waitForFinished(10000) && check.exitCode() == 0,
             "Debian's python3-serial is missing (scripts/test installs it)");

    QProcess sim;
    const quint16 port = TcpTestServer::closedPort();
    QVERIFY(startCtrlsim(sim, {"--rfc2217", QString::number(port), "--com", "8", "--log"}));
    QProcess client;
    client.start(python, {"-c", QString::fromUtf8(script), QString::number(port), order});
    QVERIFY(client.waitForFinished(15000));
    const QByteArray out = client.readAllStandardOutput();
    QVERIFY2(client.exitCode() == 0, client.readAllStandardError().constData());
    QCOMPARE(out, QByteArray("b'L0001\\r'"));
    stopProcess(sim);
    // The simulator took the line settings pyserial asked for.
    const QByteArray log = sim.readAllStandardError();
    for (const char *want : {"rfc2217: baud 9600", "rfc2217: data 8", "rfc2217: parity 1", "rfc2217: stop 1"})
        QVERIFY2(log.contains(want), want);
}

void tst_netport::hostileServer_data()
{
    QTest::addColumn<QString>("noise");
    QTest::addColumn<bool>("stays"); // else the connection ends: the server reads nothing
    QTest::newRow("every option both ways and NOPs, 30 s") << "options" << true;
    QTest::newRow("BINARY off and on, reading nothing") << "toggle" << false;
}

void tst_netport::hostileServer()
{
    // The connected, idle port: its memory stays small and the processor mostly idle, and
    // the data among the noise still comes through; answers that back up end the connection.
    QFETCH(QString, noise);
    QFETCH(bool, stays);
    QProcess server;
    server.start(QStringLiteral("/usr/bin/python3"), {"-c", QString::fromUtf8(kFloodServer), noise});
    QVERIFY(server.waitForReadyRead(10000));
    QVERIFY(TcpTestServer::bindCom(3, QStringLiteral("rfc2217://127.0.0.1:%1").arg(server.readLine().trimmed())));
    MappedSerialPort port;
    port.setCommPort(3);
    QList<int> events;
    port.onCommEvent = [&](int event, const QString &) { events << event; };
    QVERIFY(!port.setPortOpen(true).failed());
    const Usage before = usageNow();
    const qint64 heapBefore = HeapInUse();
    qint64 heapMost = heapBefore;
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 30000 && port.portOpen()) {
        WaitForEvent(200); // as the tool waits, taking what has come
        got += port.input();
        heapMost = qMax(heapMost, HeapInUse());
    }
    const Usage after = usageNow();
    const double cpu = double(after.cpuMs - before.cpuMs) / double(t.elapsed());
    const int lines = int(got.count("N0123\r"));
    qInfo("%lld ms: processor %.1f %%, peak memory %lld KiB, heap grown by at most %lld KiB, %d data lines",
          qint64(t.elapsed()), cpu * 100, after.peakKb, (heapMost - heapBefore) / 1024, lines);
    stopProcess(server);
    // The port keeps what it is bounded to; the heap shows it in any build. The peak resident
    // size means something only without a sanitizer, whose shadow memory and held-back blocks
    // it also counts.
    QVERIFY2(heapMost - heapBefore < 16 * 1024 * 1024, "heap");
    if (!kSanitized)
        QVERIFY2(after.peakKb < 100 * 1024, "memory");
    QCOMPARE(port.portOpen(), stays);
    if (stays) {
        QVERIFY2(cpu < 0.10, "processor");
        QVERIFY2(lines >= 15, "data");
        QCOMPARE(got, QByteArray("N0123\r").repeated(lines));
    } else {
        QCOMPARE(events, QList<int>{comHangUp});
        QVERIFY2(port.lostReason().contains(QStringLiteral("ｻｰﾊﾞｰが受信しません")), qPrintable(port.lostReason()));
    }
}

QTEST_GUILESS_MAIN(tst_netport)
#include "tst_netport.moc"
