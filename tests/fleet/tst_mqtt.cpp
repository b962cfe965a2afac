// The MQTT client against the real mosquitto (started here on a free port with a
// configuration written here) and against a small hostile broker in this process, whose
// time-outs, back-off and bounds run on the virtual clock.
#include "support/FreePorts.h"
#include "support/HeapUse.h"
#include "support/Mosquitto.h"

#include "doubles/VirtualClock.h"
#include "fleet/MqttClient.h"
#include "platform/Clock.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <pwd.h>
#include <unistd.h>

namespace {
// mosquitto on 127.0.0.1:port, with extra lines for its listener.
struct Broker {
    QTemporaryDir dir;
    QProcess proc;
    quint16 port = freePort();
    bool start(const QString &extra = {})
    {
        QFile conf(dir.filePath("mosquitto.conf"));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\n%3\nallow_anonymous true\npersistence false\n"
                                  "log_dest none\n")
                       .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name)).arg(port).arg(extra).toUtf8());
        conf.close();
        if (MosquittoProgram().isEmpty())
            qWarning("mosquitto is not installed (scripts/common.sh installs it)");
        const bool up = StartMosquitto(proc, conf.fileName(), port);
        if (!up)
            qWarning("mosquitto: %s", proc.readAllStandardError().constData());
        return up;
    }
    void stop()
    {
        proc.terminate();
        proc.waitForFinished(5000);
    }
    // Stopped where it stands (SIGSTOP): it reads and answers nothing.
    void pause() { ::kill(pid_t(proc.processId()), SIGSTOP); }
    // Gone at once (SIGKILL): what it held unsent is lost with it.
    void kill()
    {
        proc.kill();
        proc.waitForFinished(5000);
    }
    ~Broker() { stop(); }
};

// Lets virtual time pass in steps of 5 ms until done (or virtualMs have passed); the sockets
// are served for real at each step.
bool runUntil(VirtualClock &clock, const std::function<bool()> &done, int virtualMs)
{
    for (int t = 0; t < virtualMs; t += 5) {
        if (done())
            return true;
        QCoreApplication::processEvents();
        clock.advance(5);
    }
    return done();
}

MqttClient::Options opts(quint16 port, const QString &id)
{
    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
    o.clientId = id;
    return o;
}

// A client that is connected and, with a pattern, subscribed.
std::unique_ptr<MqttClient> connectClient(const MqttClient::Options &o, const QString &pattern = {})
{
    auto c = std::make_unique<MqttClient>(o);
    QSignalSpy subscribed(c.get(), &MqttClient::subscribed);
    c->start();
    if (!QTest::qWaitFor([&] { return c->isConnected(); }, 5000))
        return nullptr;
    if (!pattern.isEmpty() && (c->subscribe(pattern, 1) <= 0 || !subscribed.wait(5000)))
        return nullptr;
    return c;
}

QByteArray mqttString(const QByteArray &s) { return char(s.size() >> 8) + QByteArray(1, char(s.size() & 0xFF)) + s; }

QByteArray varint(qint64 n)
{
    QByteArray len;
    for (;;) {
        const char b = char(n & 0x7F);
        n >>= 7;
        len += n ? char(b | 0x80) : b;
        if (!n)
            return len;
    }
}

// A QoS 0 PUBLISH; MQTT 5's has an (empty) property length after the topic.
QByteArray publishPacket(const QByteArray &topic, const QByteArray &payload, bool v5 = true)
{
    const QByteArray body = mqttString(topic) + (v5 ? QByteArray(1, '\0') : QByteArray()) + payload;
    return '\x30' + varint(body.size()) + body;
}

// What a CONNECT says: its protocol level and, in MQTT 5, the Maximum Packet Size (-1: none).
struct Connect {
    int level = 0;
    qint64 maxPacket = -1;
};
// The CONNECT at the start of bytes, once whole.
std::optional<Connect> parseConnect(const QByteArray &b)
{
    qint64 rl = 0;
    int i = 1;
    for (; i <= 4 && i < b.size(); ++i) {
        rl |= qint64(quint8(b[i]) & 0x7F) << (7 * (i - 1));
        if (!(quint8(b[i]) & 0x80))
            break;
    }
    if (b.isEmpty() || i >= b.size() || b.size() < i + 1 + rl)
        return std::nullopt;
    int p = i + 1 + 6; // the protocol name "MQTT"
    Connect c;
    c.level = quint8(b[p]);
    p += 1 + 1 + 2; // level, flags, keep-alive
    if (c.level == 5) {
        qint64 plen = 0;
        for (int k = 0;; ++k) {
            plen |= qint64(quint8(b[p]) & 0x7F) << (7 * k);
            if (!(quint8(b[p++]) & 0x80))
                break;
        }
        for (const int end = int(p + plen); p < end;) {
            const int id = quint8(b[p++]);
            if (id == 0x27) // Maximum Packet Size: four bytes
                c.maxPacket = qint64(quint8(b[p])) << 24 | quint8(b[p + 1]) << 16 | quint8(b[p + 2]) << 8 | quint8(b[p + 3]);
            p += id == 0x27 || id == 0x11 ? 4 : id == 0x21 || id == 0x22 ? 2 : id == 0x17 || id == 0x19 ? 1 : end;
        }
    }
    return c;
}

// A broker in this process: it reads each CONNECT, answers CONNACK (or, Silent, never does),
// never acknowledges a publish, and: Flood sends messages as fast as the socket takes them;
// Deaf reads nothing after the CONNECT; Huge announces a PUBLISH of 200 MB and sends 64 KiB of
// it; Older is a broker of MQTT 3.1.1, which refuses MQTT 5 and does as Huge in 3.1.1.
struct FakeBroker : QTcpServer {
    enum Mode { Silent, NoPuback, Flood, Deaf, Huge, Older } mode;
    static constexpr qint64 kHuge = 200LL * 1024 * 1024;
    QList<qint64> acceptedAtMs; // on the installed clock
    QList<Connect> connects;
    QList<QTcpSocket *> conns;
    explicit FakeBroker(Mode m) : mode(m)
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = nextPendingConnection();
            conns << s;
            acceptedAtMs << clockService().elapsedMs();
            if (mode == Deaf)
                s->setReadBufferSize(1024); // Qt would otherwise read on into memory
            struct Conn {
                QByteArray in;
                bool answered = false;
            };
            auto conn = std::make_shared<Conn>();
            connect(s, &QTcpSocket::readyRead, s, [this, s, conn] {
                if (conn->answered) {
                    if (mode != Deaf)
                        s->readAll();
                    return;
                }
                conn->in += s->readAll();
                const std::optional<Connect> c = parseConnect(conn->in);
                if (!c)
                    return;
                conn->answered = true;
                connects << *c;
                answer(s, *c);
            });
        });
    }
    void answer(QTcpSocket *s, const Connect &c)
    {
        if (mode == Silent)
            return;
        if (mode == Older && c.level == 5) {
            s->write(QByteArray("\x20\x02\x00\x01", 4)); // 3.1.1: unacceptable protocol version
            s->disconnectFromHost();
            return;
        }
        const bool v5 = c.level == 5;
        s->write(v5 ? QByteArray("\x20\x03\x00\x00\x00", 5) : QByteArray("\x20\x02\x00\x00", 4));
        if (mode == Huge || mode == Older) {
            const QByteArray topic = mqttString("h/huge") + (v5 ? QByteArray(1, '\0') : QByteArray());
            s->write('\x30' + varint(kHuge) + topic + QByteArray(64 * 1024, 'x'));
        }
        if (mode == Flood) {
            auto refill = [s, v5] {
                for (int i = 0; s->bytesToWrite() < 512 * 1024 && i < 20; ++i)
                    s->write(publishPacket("f/big", QByteArray(70 * 1024, 'x'), v5) + publishPacket("f/small", "s", v5));
            };
            connect(s, &QTcpSocket::bytesWritten, s, refill);
            refill();
        }
    }
    // The packet the Huge broker announces, header and all.
    static qint64 hugePacket() { return 1 + varint(kHuge).size() + kHuge; }
};
} // namespace

class tst_mqtt : public QObject {
    Q_OBJECT
    Broker m_broker;
private slots:
    void initTestCase() { QVERIFY2(m_broker.start(), "mosquitto did not start"); }
    void parseUrl_data();
    void parseUrl();
    void publishAndReceive_data();
    void publishAndReceive();
    void retainedMessage();
    void lastWill();
    void brokerRestart();
    void tls_data();
    void tls();
    void hostileBroker_data();
    void hostileBroker();
    void floodLeavesTheLoopAlive();
    void announcedPacketIsNotTakenIn_data();
    void announcedPacketIsNotTakenIn();
    void brokerDropsWhatIsTooLarge();
    void stopThenStartPublishesAgain();
    void inFlightAcrossBrokerKill();
};

void tst_mqtt::parseUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("expected"); // tls host port, or the start of the reason
    QTest::newRow("plain") << "mqtt://127.0.0.1:1883" << "0 127.0.0.1 1883";
    QTest::newRow("tls, name") << "MQTTS://broker.example:8884" << "1 broker.example 8884";
    QTest::newRow("default port") << "mqtt://broker" << "0 broker 1883";
    QTest::newRow("default tls port") << "mqtts://[::1]" << "1 ::1 8883";
    QTest::newRow("other scheme") << "http://h:1" << "\"http://h:1\" is no broker address";
    QTest::newRow("bad port") << "mqtt://h:70000" << "\"mqtt://h:70000\": \"70000\" is no port";
    QTest::newRow("bare ipv6") << "mqtt://fe80::1:99" << "\"mqtt://fe80::1:99\": an IPv6 address is written in brackets: mqtt://";
}

void tst_mqtt::parseUrl()
{
    QFETCH(QString, url);
    QFETCH(QString, expected);
    MqttUrl u;
    QString err;
    const QString got = ParseMqttUrl(url, &u, &err) ? QStringLiteral("%1 %2 %3").arg(int(u.tls)).arg(u.host).arg(u.port) : err;
    QVERIFY2(got.startsWith(expected), qPrintable(got));
}

void tst_mqtt::publishAndReceive_data()
{
    QTest::addColumn<int>("qos");
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("arrives");
    for (int qos : {0, 1, 2}) {
        QTest::addRow("qos %d, small", qos) << qos << 10 << true;
        QTest::addRow("qos %d, empty", qos) << qos << 0 << true;
    }
    QTest::newRow("64 KiB arrives") << 1 << 64 * 1024 << true;
    QTest::newRow("64 KiB + 1 is dropped") << 1 << 64 * 1024 + 1 << false;
}

void tst_mqtt::publishAndReceive()
{
    QFETCH(int, qos);
    QFETCH(int, size);
    QFETCH(bool, arrives);
    auto sub = connectClient(opts(m_broker.port, "sub"), "t/#");
    MqttClient::Options po = opts(m_broker.port, "pub");
    po.maxPayload = 1 << 20;
    auto pub = connectClient(po);
    QVERIFY(sub && pub);
    QSignalSpy got(sub.get(), &MqttClient::messageReceived);
    QSignalSpy acked(pub.get(), &MqttClient::published);
    const QByteArray payload(size, 'p');
    QString err;
    if (!arrives) // what the client would not take in, it does not send either
        QCOMPARE(sub->publish("t/a", payload, qos, false, &err), -1);
    const int mid = pub->publish("t/a", payload, qos);
    QVERIFY(mid > 0);
    if (qos > 0) {
        QVERIFY(acked.wait(5000));
        QCOMPARE(acked.first().first().toInt(), mid);
        QCOMPARE(pub->inFlight(), 0);
    }
    // A last small message marks the end: whatever came before it has arrived.
    QVERIFY(pub->publish("t/end", "end", 1) > 0);
    QTRY_VERIFY(!got.isEmpty() && got.last().first().toString() == "t/end");
    QCOMPARE(got.size(), arrives ? 2 : 1);
    if (arrives)
        QCOMPARE(got.first().at(1).toByteArray(), payload);
    QCOMPARE(sub->droppedMessages(), quint64(arrives ? 0 : 1));
}

void tst_mqtt::retainedMessage()
{
    auto pub = connectClient(opts(m_broker.port, "pub"));
    QVERIFY(pub);
    QSignalSpy acked(pub.get(), &MqttClient::published);
    QVERIFY(pub->publish("r/state", "online", 1, true) > 0);
    QVERIFY(acked.wait(5000));
    auto late = connectClient(opts(m_broker.port, "late"), "r/#");
    QVERIFY(late);
    QSignalSpy got(late.get(), &MqttClient::messageReceived);
    QVERIFY(pub->publish("r/state", "live", 1, false) > 0);
    QTRY_COMPARE(got.size(), 2);
    // The kept message first, marked retained; then the live one.
    QCOMPARE(got.at(0), (QVariantList{"r/state", QByteArray("online"), true}));
    QCOMPARE(got.at(1), (QVariantList{"r/state", QByteArray("live"), false}));
}

void tst_mqtt::lastWill()
{
    // The watcher's connection runs through a relay here, so the test can cut it the way a
    // network does: no DISCONNECT, the broker just sees the socket close.
    QTcpServer relay;
    relay.listen(QHostAddress::LocalHost, 0);
    QList<QTcpSocket *> sockets;
    connect(&relay, &QTcpServer::newConnection, this, [&] {
        QTcpSocket *in = relay.nextPendingConnection();
        auto *out = new QTcpSocket(in);
        out->connectToHost(QHostAddress::LocalHost, m_broker.port);
        connect(in, &QTcpSocket::readyRead, out, [in, out] { out->write(in->readAll()); });
        connect(out, &QTcpSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
        sockets << in << out;
    });
    MqttClient::Options wo = opts(m_broker.port, "watcher");
    wo.willTopic = "w/status";
    wo.willPayload = "offline";
    auto office = connectClient(opts(m_broker.port, "office"), "w/#");
    auto watcher = connectClient(wo);
    QVERIFY(watcher && office);
    QSignalSpy got(office.get(), &MqttClient::messageReceived);
    watcher.reset(); // a clean stop: no will
    wo.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(relay.serverPort());
    watcher = connectClient(wo);
    QVERIFY(watcher);
    QSignalSpy lost(watcher.get(), &MqttClient::disconnected);
    QTest::qWait(300);
    QVERIFY(got.isEmpty());
    for (QTcpSocket *s : std::as_const(sockets))
        s->abort();
    QTRY_COMPARE(got.size(), 1);
    QCOMPARE(got.first(), (QVariantList{"w/status", QByteArray("offline"), false}));
    QTRY_COMPARE(lost.size(), 1);
}

void tst_mqtt::brokerRestart()
{
    auto sub = connectClient(opts(m_broker.port, "sub"), "b/#");
    auto pub = connectClient(opts(m_broker.port, "pub"));
    QVERIFY(sub && pub);
    QSignalSpy got(sub.get(), &MqttClient::messageReceived);
    QSignalSpy lost(pub.get(), &MqttClient::disconnected);
    QSignalSpy back(pub.get(), &MqttClient::connected);
    QSignalSpy subBack(sub.get(), &MqttClient::subscribed);
    QList<QByteArray> waiting; // the caller's own queue while the broker is away
    int sent = 0;
    auto pump = [&] {
        while (!waiting.isEmpty() && pub->publish("b/n", waiting.first(), 1) > 0)
            waiting.removeFirst();
    };
    for (; sent < 20; ++sent)
        waiting << QByteArray::number(sent);
    pump();
    // Stopped once the first ones are through: a broker without persistence forgets what
    // it has not passed on yet.
    QTRY_COMPARE(got.size(), 20);
    m_broker.stop();
    QTRY_VERIFY(!lost.isEmpty());
    for (; sent < 40; ++sent)
        waiting << QByteArray::number(sent);
    pump();
    QCOMPARE(waiting.size(), 20); // refused while away, kept by the caller
    QVERIFY(pub->lastError().contains("lost") || pub->lastError().contains("refused"));
    QTest::qWait(2500);
    QVERIFY(m_broker.start());
    QTRY_VERIFY_WITH_TIMEOUT(!back.isEmpty() && !subBack.isEmpty(), 15000);
    // It came back within the back-off: 1 s, 2 s, and 4 s would be the next wait.
    QVERIFY(pub->reconnectDelayMs() >= 4000);
    pump();
    QVERIFY(waiting.isEmpty());
    QTRY_VERIFY(got.size() >= 40);
    QSet<QByteArray> seen;
    for (const QVariantList &m : std::as_const(got))
        seen << m.at(1).toByteArray();
    QCOMPARE(seen.size(), 40);
}

void tst_mqtt::tls_data()
{
    QTest::addColumn<bool>("rightCa");
    QTest::addColumn<QString>("host");
    QTest::newRow("the broker's CA, address") << true << "127.0.0.1";
    QTest::newRow("the broker's CA, name") << true << "localhost";
    QTest::newRow("another CA") << false << "127.0.0.1";
}

void tst_mqtt::tls()
{
    QFETCH(bool, rightCa);
    QFETCH(QString, host);
    QTemporaryDir d;
    const auto ssl = [&](const QString &args) {
        QProcess p;
        p.setWorkingDirectory(d.path());
        p.start("openssl", QProcess::splitCommand(args));
        return p.waitForFinished(20000) && p.exitCode() == 0;
    };
    const QString ec = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    QVERIFY(ssl("req -x509 " + ec + " -keyout ca.key -out ca.crt -subj /CN=QelvoTestCA -days 2"));
    QVERIFY(ssl("req -x509 " + ec + " -keyout other.key -out other.crt -subj /CN=OtherCA -days 2"));
    QVERIFY(ssl("req " + ec + " -keyout server.key -out server.csr -subj /CN=localhost"));
    QFile ext(d.filePath("ext"));
    QVERIFY(ext.open(QIODevice::WriteOnly));
    ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    ext.close();
    QVERIFY(ssl("x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt -days 2 -extfile ext"));
    Broker broker;
    QVERIFY(broker.start(QStringLiteral("cafile %1\ncertfile %2\nkeyfile %3")
                             .arg(d.filePath("ca.crt"), d.filePath("server.crt"), d.filePath("server.key"))));
    MqttClient::Options o = opts(broker.port, "tls");
    o.url = QStringLiteral("mqtts://%1:%2").arg(host).arg(broker.port);
    o.caFile = d.filePath(rightCa ? "ca.crt" : "other.crt");
    MqttClient c(o);
    QSignalSpy lost(&c, &MqttClient::disconnected);
    QVERIFY(c.start());
    if (rightCa) {
        QTRY_VERIFY(c.isConnected());
        QSignalSpy acked(&c, &MqttClient::published);
        QVERIFY(c.publish("tls/x", "y", 1) > 0);
        QVERIFY(acked.wait(5000));
    } else {
        QTRY_VERIFY(!lost.isEmpty());
        QVERIFY2(lost.first().first().toString().contains("certificate verify failed"), qPrintable(lost.first().first().toString()));
        QVERIFY(!c.isConnected());
    }
}

void tst_mqtt::hostileBroker_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("qos");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("refusal"); // once the client's bound is reached
    QTest::addColumn<QString>("reason");  // why it leaves; empty: it stays
    QTest::newRow("never answers CONNACK") << int(FakeBroker::Silent) << 1 << 1 << "not connected to the broker"
                                           << "the broker did not answer the connection within 0.4 s";
    QTest::newRow("never acknowledges") << int(FakeBroker::NoPuback) << 1 << 1
                                        << "20 messages wait for the broker's acknowledgement" << "";
    // It reads nothing: the socket fills, QoS 0 messages wait in the client.
    QTest::newRow("never reads") << int(FakeBroker::Deaf) << 0 << 60000 << "20 messages wait for the broker to read them"
                                 << "the broker took nothing of what the client sent for 0.5 s";
}

void tst_mqtt::hostileBroker()
{
    QFETCH(int, mode);
    QFETCH(int, qos);
    QFETCH(int, size);
    QFETCH(QString, refusal);
    QFETCH(QString, reason);
    VirtualClock clock;
    installClock(&clock);
    FakeBroker fake{FakeBroker::Mode(mode)};
    MqttClient::Options o = opts(fake.serverPort(), "h");
    o.connectTimeoutMs = 400;
    o.writeStallMs = 500;
    o.reconnectMinMs = 200;
    o.maxInflight = 5;
    o.maxQueued = 20;
    MqttClient c(o);
    QSignalSpy lost(&c, &MqttClient::disconnected);
    c.start();
    QVERIFY(runUntil(clock, [&] { return c.isConnected() == (mode != FakeBroker::Silent) && !fake.acceptedAtMs.isEmpty(); }, 300));
    QString err;
    for (int sent = 0; c.publish("h/x", QByteArray(size, 'h'), qos, false, &err) > 0 && sent < 5000;) {
        ++sent;
        QCoreApplication::processEvents();
    }
    QCOMPARE(err, refusal);
    if (mode == FakeBroker::NoPuback)
        QCOMPARE(c.inFlight(), 20);
    if (reason.isEmpty()) {
        runUntil(clock, [] { return false; }, 600);
        QVERIFY(lost.isEmpty());
        return;
    }
    // The client is offered more as it takes it, as a watcher's queue would: a broker that
    // reads nothing fills what lies between, and is left.
    QVERIFY(runUntil(clock, [&] {
        c.publish("h/x", QByteArray(size, 'h'), qos);
        return !lost.isEmpty();
    }, 4000));
    QCOMPARE(lost.first().first().toString(), reason);
    if (mode != FakeBroker::Silent)
        return;
    // Each try waits 0.4 s for CONNACK; the pauses between them are 0.2, 0.4, 0.8 s. (The
    // broker sees a connection once the system has passed it on, a step or a few later.)
    QVERIFY(runUntil(clock, [&] { return fake.acceptedAtMs.size() >= 4; }, 5000));
    for (int i = 1; i < 4; ++i) {
        const qint64 gap = fake.acceptedAtMs[i] - fake.acceptedAtMs[i - 1], expected = 400 + (200 << (i - 1));
        QVERIFY2(gap >= expected - 50 && gap <= expected + 50, qPrintable(QString("%1: %2 ms").arg(i).arg(gap)));
    }
    // Every connection the client gave up is closed.
    QVERIFY(runUntil(clock, [&] {
        return std::count_if(fake.conns.begin(), fake.conns.end(),
                             [](QTcpSocket *s) { return s->state() == QAbstractSocket::ConnectedState; }) <= 1;
    }, 100));
}

// A broker that floods the client with messages, most of them too large: the client takes
// the small ones, drops the large, and every pass of the event loop returns soon, so that
// everything else of the program goes on.
void tst_mqtt::floodLeavesTheLoopAlive()
{
    VirtualClock clock;
    installClock(&clock);
    FakeBroker fake(FakeBroker::Flood);
    MqttClient c(opts(fake.serverPort(), "f"));
    int small = 0, ticks = 0;
    connect(&c, &MqttClient::messageReceived, this, [&](const QString &t) { small += t == "f/small"; });
    WindowTimer timer;
    timer.onTick = [&] { ++ticks; };
    timer.setInterval(20);
    timer.setEnabled(true);
    c.start();
    qint64 longestPassMs = 0;
    QElapsedTimer real;
    for (int i = 0; i < 75; ++i) {
        real.restart();
        QCoreApplication::processEvents();
        clock.advance(20);
        longestPassMs = qMax(longestPassMs, real.elapsed());
    }
    qInfo("flood of 1.5 virtual s: %d small messages taken, %llu large ones dropped, the longest pass %lld ms",
          small, c.droppedMessages(), longestPassMs);
    QVERIFY(c.isConnected());
    QCOMPARE(ticks, 75);
    QVERIFY2(longestPassMs < 500, qPrintable(QString::number(longestPassMs)));
    QVERIFY(small > 20);
    QVERIFY(c.droppedMessages() >= quint64(small) - 1);
}

void tst_mqtt::announcedPacketIsNotTakenIn_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QList<int>>("levels"); // of the CONNECTs the broker read
    QTest::newRow("MQTT 5 broker that ignores the maximum") << int(FakeBroker::Huge) << QList<int>{5};
    QTest::newRow("MQTT 3.1.1 broker") << int(FakeBroker::Older) << QList<int>{5, 4};
}

// A broker that announces a packet of 200 MB: the CONNECT told it the largest packet the
// client takes (MQTT 5), and the client leaves it without taking the packet in, whether the
// broker spoke 5 and ignored the maximum, or is a broker of 3.1.1 that cannot be told.
void tst_mqtt::announcedPacketIsNotTakenIn()
{
    QFETCH(int, mode);
    QFETCH(QList<int>, levels);
    VirtualClock clock;
    installClock(&clock);
    FakeBroker fake{FakeBroker::Mode(mode)};
    MqttClient::Options o = opts(fake.serverPort(), "big");
    o.reconnectMinMs = 100;
    MqttClient c(o);
    QSignalSpy lost(&c, &MqttClient::disconnected);
    const qint64 before = HeapInUse();
    c.start();
    const QString tooLarge = QStringLiteral("the broker announced a packet of %1 bytes; the client takes at most %2")
                                 .arg(FakeBroker::hugePacket()).arg(c.maxPacketBytes());
    runUntil(clock, [&] { return !lost.isEmpty() && lost.last().first().toString() == tooLarge; }, 2000);
    // The broker keeps the connection open: a client that had taken the length in would hold
    // 200 MB now, waiting for the rest.
    const qint64 grown = HeapInUse() - before;
    QVERIFY2(grown < 16 * 1024 * 1024, qPrintable(QString("%1 bytes more on the heap").arg(grown)));
    QVERIFY(!lost.isEmpty());
    QCOMPARE(lost.last().first().toString(), tooLarge);
    QVERIFY(!c.isConnected());
    QList<int> seen;
    for (const Connect &k : std::as_const(fake.connects))
        seen << k.level;
    QCOMPARE(seen, levels);
    QCOMPARE(c.protocolVersion(), levels.last());
    // MQTT 5's CONNECT carries the maximum: the payload bound with room for a topic and headers.
    QCOMPARE(fake.connects.first().maxPacket, qint64(64 * 1024 + MqttClient::kPacketRoom));
    if (levels.size() > 1) {
        QCOMPARE(lost.first().first().toString(), QStringLiteral("the broker does not speak MQTT 5; the next attempt speaks 3.1.1"));
        QCOMPARE(fake.connects.last().maxPacket, qint64(-1));
    }
}

// The real broker keeps to the maximum the client asked for: a message too large for it is
// not sent to that client at all; a smaller one over the payload bound comes and is dropped.
void tst_mqtt::brokerDropsWhatIsTooLarge()
{
    MqttClient::Options so = opts(m_broker.port, "small-sub");
    so.maxPayload = 1000;
    auto sub = connectClient(so, "big/#");
    MqttClient::Options po = opts(m_broker.port, "big-pub");
    po.maxPayload = 1 << 20;
    auto pub = connectClient(po);
    QVERIFY(sub && pub);
    QCOMPARE(sub->protocolVersion(), 5);
    QSignalSpy got(sub.get(), &MqttClient::messageReceived);
    QSignalSpy lost(sub.get(), &MqttClient::disconnected);
    QVERIFY(pub->publish("big/over-the-packet", QByteArray(sub->maxPacketBytes() + 1, 'p'), 1) > 0);
    QVERIFY(pub->publish("big/over-the-payload", QByteArray(2000, 'p'), 1) > 0);
    QVERIFY(pub->publish("big/end", "end", 1) > 0);
    QTRY_VERIFY(!got.isEmpty() && got.last().first().toString() == "big/end");
    QCOMPARE(got.size(), 1);
    QCOMPARE(sub->droppedMessages(), quint64(1)); // only the one the broker sent
    QVERIFY(lost.isEmpty());
}

// stop() and start(): a new client, with nothing in flight from before, that publishes again.
void tst_mqtt::stopThenStartPublishesAgain()
{
    {
        VirtualClock clock;
        installClock(&clock);
        FakeBroker fake(FakeBroker::NoPuback);
        MqttClient::Options o = opts(fake.serverPort(), "again");
        o.maxInflight = 5;
        o.maxQueued = 5;
        MqttClient c(o);
        for (int round = 0; round < 3; ++round) {
            QVERIFY(c.start());
            QVERIFY(runUntil(clock, [&] { return c.isConnected(); }, 500));
            QCOMPARE(c.inFlight(), 0);
            QString err;
            for (int i = 0; i < 5; ++i)
                QVERIFY2(c.publish("a/x", "x", 1, false, &err) > 0, qPrintable(err));
            QCOMPARE(c.publish("a/x", "x", 1, false, &err), -1);
            QCOMPARE(err, QStringLiteral("5 messages wait for the broker's acknowledgement"));
            c.stop();
        }
    }
    installClock(nullptr);
    auto sub = connectClient(opts(m_broker.port, "again-sub"), "again/#");
    auto pub = connectClient(opts(m_broker.port, "again-pub"));
    QVERIFY(sub && pub);
    QSignalSpy got(sub.get(), &MqttClient::messageReceived);
    pub->stop();
    QVERIFY(pub->start());
    QTRY_VERIFY(pub->isConnected());
    QSignalSpy acked(pub.get(), &MqttClient::published);
    const int mid = pub->publish("again/n", "1", 1);
    QVERIFY(mid > 0);
    QVERIFY(acked.wait(5000));
    QCOMPARE(acked.first().first().toInt(), mid);
    QTRY_COMPARE(got.size(), 1);
}

// QoS 1 messages that are on their way when the broker dies (it took them and answered
// nothing) are sent again once it is back, and reach the subscriber.
void tst_mqtt::inFlightAcrossBrokerKill()
{
    Broker broker;
    QVERIFY(broker.start());
    MqttClient::Options so = opts(broker.port, "kill-sub");
    so.reconnectMinMs = 100;
    MqttClient::Options po = opts(broker.port, "kill-pub");
    po.reconnectMinMs = 4000; // after the subscriber has subscribed again
    auto sub = connectClient(so, "kill/#");
    auto pub = connectClient(po);
    QVERIFY(sub && pub);
    QSignalSpy got(sub.get(), &MqttClient::messageReceived);
    QSignalSpy subBack(sub.get(), &MqttClient::subscribed);
    QSignalSpy pubBack(pub.get(), &MqttClient::connected);
    QSignalSpy pubLost(pub.get(), &MqttClient::disconnected);
    broker.pause();
    for (int i = 0; i < 20; ++i)
        QVERIFY(pub->publish("kill/n", QByteArray::number(i), 1) > 0);
    QTest::qWait(300);
    QCOMPARE(pub->inFlight(), 20);
    QVERIFY(got.isEmpty());
    broker.kill();
    QTRY_VERIFY(!pubLost.isEmpty());
    QCOMPARE(pub->inFlight(), 20);
    QVERIFY(broker.start());
    QTRY_VERIFY_WITH_TIMEOUT(!subBack.isEmpty(), 10000);
    QVERIFY2(pubBack.isEmpty(), "the publisher came back before the subscriber had subscribed");
    QTRY_VERIFY_WITH_TIMEOUT(!pubBack.isEmpty(), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(pub->inFlight(), 0, 5000);
    QSet<QByteArray> seen;
    QTRY_VERIFY([&] {
        for (const QVariantList &m : std::as_const(got))
            seen << m.at(1).toByteArray();
        return seen.size() == 20;
    }());
}

QTEST_GUILESS_MAIN(tst_mqtt)
#include "tst_mqtt.moc"
