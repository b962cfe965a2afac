#pragma once
// An MQTT client on Qt's event loop: libmosquitto does the protocol (MQTT 5, or MQTT 3.1.1
// with a broker that refuses 5), and this class drives it through its socket
// (QSocketNotifier: read always, write while libmosquitto has something to send) and one
// platform timer, due at the next deadline and at least once a second (keep-alive, the
// connect time-out, the reconnect back-off). No thread of its own; every signal comes from the
// event loop, and every deadline is on the platform's clock (clockService).
//
// The broker is input from outside and may be hostile. No packet larger than maxPacketBytes()
// is read: the CONNECT tells an MQTT 5 broker so (its Maximum Packet Size), and on a plain
// connection the client reads each packet's announced length itself before libmosquitto
// (which takes in whatever length a packet announces) sees the packet, and leaves a broker
// that announces more. Over TLS the bytes on the socket are the cipher's, so there the bound
// is the broker's keeping to the Maximum Packet Size (a broker whose certificate the CA signed).
// An incoming message larger than maxPayload is dropped and counted, a broker that takes the
// TCP connection and never answers CONNACK is left after connectTimeoutMs, one that stops
// reading what the client sends is left after writeStallMs, and a lost connection is tried
// again after 1 s, 2 s, 4 s ... up to 60 s.
//
// What waits in the client is bounded. A publish is refused while the client is not
// connected, so the caller keeps its own (bounded) queue while the broker is away and sends
// it again after connected(). QoS 1 and 2 messages that were handed over stay in the client
// until the broker acknowledges them (published(mid)), also across a reconnect, at most
// maxQueued of them; at most maxInflight of those are on the wire at once. stop() and start()
// begin a new client: what was not acknowledged before the stop is not sent again.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <memory>
#include <vector>

class PacketGate;
class QHostInfo;
class QSocketNotifier;
class WindowTimer;
struct mosquitto;
struct mosquitto_message;

// A broker's address: mqtt://HOST:PORT (plain TCP) or mqtts://HOST:PORT (TLS). Without
// ":PORT" the port is 1883 (mqtt) or 8883 (mqtts). HOST is a name, an IPv4 address or an
// IPv6 address in brackets.
struct MqttUrl {
    bool tls = false;
    QString host; // without the brackets of an IPv6 address
    quint16 port = 0;
    bool operator==(const MqttUrl &o) const = default;
};
// False with a reason in English when text is no broker address.
bool ParseMqttUrl(const QString &text, MqttUrl *url, QString *error = nullptr);

class MqttClient : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString url;             // mqtt://HOST:PORT or mqtts://HOST:PORT
        QString clientId;        // required unless cleanSession
        QString username;        // empty: none
        QString password;        // the text (the caller reads it from its password file)
        QString caFile;          // mqtts://: the certificate authority of the broker's certificate
        int keepAliveS = 60;     // 5-3600
        bool cleanSession = true;
        QString willTopic;       // empty: no last will
        QByteArray willPayload;  // published by the broker (QoS 1, retained) when the connection breaks
        int maxInflight = 20;    // QoS 1/2 messages on the wire, not yet acknowledged
        int maxQueued = 1000;    // QoS 1/2 messages in the client (on the wire and behind them)
        int maxPayload = 64 * 1024;   // larger incoming messages are dropped, larger outgoing refused
        int connectTimeoutMs = 10000; // name, TCP, TLS and CONNACK together
        int writeStallMs = 30000;     // the broker takes nothing of what the client sends
        int reconnectMinMs = 1000;    // the first wait after a failure; doubles up to the max
        int reconnectMaxMs = 60000;
    };
    enum class State {
        Stopped,    // start() not called, or stop()
        Resolving,  // the broker's name is being looked up
        Connecting, // TCP, TLS and CONNACK
        Connected,
        Waiting,    // for the next attempt (reconnectDelayMs)
    };

    explicit MqttClient(const Options &options, QObject *parent = nullptr);
    ~MqttClient() override;

    // Checks the options and starts connecting; false (with a reason) when they cannot work.
    bool start(QString *error = nullptr);
    // Leaves the broker with DISCONNECT (so it does not publish the will) and stops trying;
    // no disconnected() for it. QoS 1/2 messages not yet acknowledged are dropped: a later
    // start() sets the client up anew, with nothing in flight.
    void stop();

    State state() const { return m_state; }
    bool isConnected() const { return m_state == State::Connected; }
    // QoS 1/2 messages handed over and not yet acknowledged by the broker.
    int inFlight() const { return int(m_unacked.size()); }
    // Incoming messages dropped for their size.
    quint64 droppedMessages() const { return m_dropped; }
    // The largest packet the client reads: maxPayload with room for the longest topic and the
    // headers.
    int maxPacketBytes() const;
    // The protocol of the present or last connection: 5, or 4 (3.1.1) after a broker refused 5.
    int protocolVersion() const { return m_v311 ? 4 : 5; }
    // The wait before the next attempt, once the present one fails.
    int reconnectDelayMs() const { return m_nextDelayMs; }
    // While waiting for the next attempt: the time left until it; else 0.
    int nextAttemptInMs() const;
    // Why the last attempt or connection ended; empty while none did.
    QString lastError() const { return m_lastError; }
    const Options &options() const { return m_opt; }

    // Publishes; the message id (> 0), or -1 with a reason: not connected, the client's
    // queue is full, the topic or payload is unusable. QoS 0-2.
    int publish(const QString &topic, const QByteArray &payload, int qos = 1, bool retain = false,
                QString *error = nullptr);
    // Subscribes now and after every reconnect. The message id when it was sent now, 0 when
    // it goes out at the next connect, -1 with a reason for a pattern that cannot be used.
    int subscribe(const QString &pattern, int qos = 1, QString *error = nullptr);

    static constexpr int kMaxSubscriptions = 1000;
    // What a packet holds beside its payload at most: the topic (length and up to 65535
    // bytes), the packet id, MQTT 5 properties, and the fixed header.
    static constexpr int kPacketRoom = 2 + 65535 + 2 + 1024 + 5;

signals:
    void connected();
    // A connection ended or an attempt failed; the client tries again by itself.
    void disconnected(const QString &reason);
    // retained: a message the broker kept for the topic, sent when the subscription began.
    void messageReceived(const QString &topic, const QByteArray &payload, bool retained);
    // The broker acknowledged a QoS 1/2 message (PUBACK or PUBCOMP).
    void published(int mid);
    // The broker acknowledged a subscription (SUBACK).
    void subscribed(int mid);

private:
    struct Event {
        enum Kind { Connack, Disconnect, Publish, Message, Suback } kind;
        int code = 0; // Connack: the return code; Disconnect: libmosquitto's; Publish/Suback: mid
        QString topic;
        QByteArray payload;
        bool retained = false;
    };

    static void onConnect(mosquitto *, void *obj, int rc);
    static void onDisconnect(mosquitto *, void *obj, int rc);
    static void onPublish(mosquitto *, void *obj, int mid);
    static void onMessage(mosquitto *, void *obj, const mosquitto_message *msg);
    static void onSubscribe(mosquitto *, void *obj, int mid, int count, const int *granted);
    static void onLog(mosquitto *, void *obj, int level, const char *text);

    bool setUp(QString *error);
    void setProtocol(bool v311);
    void closeGate();
    void attempt();
    void lookedUp(const QHostInfo &info);
    void connectTo(const QString &target);
    void service(int what);
    void afterCall(int rc);
    void dispatch();
    void watchSocket();
    void unwatchSocket();
    void arm();
    void tick();
    void tickWork();
    void failed(const QString &reason);
    QString reasonOf(int rc) const;

    Options m_opt;
    MqttUrl m_url;
    mosquitto *m_mosq = nullptr;
    State m_state = State::Stopped;
    std::unique_ptr<WindowTimer> m_timer;
    std::unique_ptr<QSocketNotifier> m_readN;
    std::unique_ptr<QSocketNotifier> m_writeN;
    int m_fd = -1;
    int m_lookupId = -1;
    qint64 m_deadlineMs = 0;     // Resolving, Connecting: the time-out; Waiting: the next attempt
    qint64 m_connectedAtMs = 0;
    qint64 m_writeWaitSinceMs = -1; // libmosquitto wants to write and the socket took nothing
    int m_nextDelayMs = 0;
    int m_qos0Unsent = 0;        // QoS 0 messages handed over while the socket was full
    QSet<int> m_unacked;
    QList<QPair<QString, int>> m_subscriptions;
    std::vector<Event> m_events;
    QString m_lastError;
    QString m_connackError;      // a refused CONNACK's reason, for the disconnect that follows
    QString m_libError;          // libmosquitto's last error line (TLS details)
    int m_errno = 0;
    quint64 m_dropped = 0;
    bool m_stopping = false;
    bool m_v311 = false;         // the connection speaks MQTT 3.1.1
    bool m_try311 = false;       // the broker refused MQTT 5: the next attempt speaks 3.1.1
    PacketGate *m_gate = nullptr; // between libmosquitto and a plain connection
};
