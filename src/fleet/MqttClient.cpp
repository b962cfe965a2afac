#include "fleet/MqttClient.h"

#include "fleet/PacketGate.h"
#include "platform/Clock.h"
#include "platform/ComPorts.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <mutex>
#include <sys/socket.h>

bool ParseMqttUrl(const QString &text, MqttUrl *url, QString *error)
{
    const QString t = text.trimmed();
    const int sep = t.indexOf(QLatin1String("://"));
    const QString scheme = sep < 0 ? QString() : t.left(sep).toLower();
    const auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))
        return fail(QStringLiteral("\"%1\" is no broker address; write mqtt://HOST:PORT or mqtts://HOST:PORT").arg(t));
    const bool tls = scheme == QLatin1String("mqtts");
    QString rest = t.mid(sep + 3);
    if (rest.endsWith(QLatin1Char('/')))
        rest.chop(1);
    // The port may be left out; the host and port rules are those of a device server's
    // address, so the same parser checks them.
    const bool bracketed = rest.startsWith(QLatin1Char('['));
    const int close = rest.indexOf(QLatin1Char(']'));
    const bool hasPort = bracketed ? close >= 0 && rest.mid(close + 1).startsWith(QLatin1Char(':'))
                                   : rest.contains(QLatin1Char(':')) && rest.count(QLatin1Char(':')) == 1;
    if (!hasPort && !rest.isEmpty() && (bracketed || !rest.contains(QLatin1Char(':'))))
        rest += tls ? QStringLiteral(":8883") : QStringLiteral(":1883");
    const ComPortMapping m = ParseComPortAddress(("tcp://" + rest).toUtf8());
    if (m.kind != ComPortMapping::Kind::Tcp) {
        QString why = m.problem;
        why.replace(QLatin1String("tcp://HOST:PORT or rfc2217://HOST:PORT"), QLatin1String("mqtt://HOST:PORT or mqtts://HOST:PORT"));
        why.replace(QLatin1String("tcp://"), scheme + QLatin1String("://"));
        return fail(QStringLiteral("\"%1\": %2").arg(t, why));
    }
    if (url) {
        url->tls = tls;
        url->host = m.host;
        url->port = m.port;
    }
    return true;
}

namespace {
void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

bool validUtf8(const QByteArray &b)
{
    return mosquitto_validate_utf8(b.constData(), int(b.size())) == MOSQ_ERR_SUCCESS;
}
} // namespace

MqttClient::MqttClient(const Options &options, QObject *parent)
    : QObject(parent), m_opt(options), m_timer(std::make_unique<WindowTimer>())
{
    m_timer->onTick = [this] { tick(); };
    m_nextDelayMs = qMax(1, m_opt.reconnectMinMs);
}

MqttClient::~MqttClient()
{
    stop();
    m_events.clear();
    closeGate();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
}

int MqttClient::maxPacketBytes() const { return int(qMin<qint64>(qint64(m_opt.maxPayload) + kPacketRoom, 268435455)); }

void MqttClient::closeGate()
{
    if (!m_gate)
        return;
    m_gate->close();
    m_gate->deleteLater(); // it may be in one of its own handlers
    m_gate = nullptr;
}

// MQTT 5 tells the broker the largest packet the client takes, and keeps a session that is
// not clean for as long as 3.1.1 does; 3.1.1 has no properties.
void MqttClient::setProtocol(bool v311)
{
    m_v311 = v311;
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, v311 ? MQTT_PROTOCOL_V311 : MQTT_PROTOCOL_V5);
    mosquitto_property *props = nullptr;
    if (!v311) {
        mosquitto_property_add_int32(&props, MQTT_PROP_MAXIMUM_PACKET_SIZE, uint32_t(maxPacketBytes()));
        if (!m_opt.cleanSession)
            mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, UINT32_MAX);
    }
    // libmosquitto has no asynchronous connect that takes CONNECT properties, but keeps those
    // of mosquitto_connect_bind_v5 for every later connect; given no port, that call stops
    // (MOSQ_ERR_INVAL) once it has kept them, before it would connect and wait. (The tests
    // read the CONNECT that goes out.)
    mosquitto_connect_bind_v5(m_mosq, "127.0.0.1", -1, m_opt.keepAliveS, nullptr, props);
    mosquitto_property_free_all(&props);
}

bool MqttClient::setUp(QString *error)
{
    const auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    QString why;
    if (!ParseMqttUrl(m_opt.url, &m_url, &why))
        return fail(why);
    if (m_opt.keepAliveS < 5 || m_opt.keepAliveS > 3600)
        return fail(QStringLiteral("keep-alive %1 s is out of range (5-3600)").arg(m_opt.keepAliveS));
    if (m_opt.maxInflight < 1 || m_opt.maxInflight > 65535 || m_opt.maxQueued < m_opt.maxInflight)
        return fail(QStringLiteral("the in-flight limit %1 and the queue limit %2 do not fit (1 <= in-flight <= queue)")
                        .arg(m_opt.maxInflight).arg(m_opt.maxQueued));
    if (m_opt.maxPayload < 0 || m_opt.connectTimeoutMs < 1 || m_opt.writeStallMs < 1 || m_opt.reconnectMinMs < 1
        || m_opt.reconnectMaxMs < m_opt.reconnectMinMs)
        return fail(QStringLiteral("a size or time limit is out of range"));
    const QByteArray id = m_opt.clientId.toUtf8();
    if (id.isEmpty() && !m_opt.cleanSession)
        return fail(QStringLiteral("a client that keeps its session needs a client id"));
    if (id.size() > 65535 || !validUtf8(id))
        return fail(QStringLiteral("the client id is no UTF-8 text of at most 65535 bytes"));
    if (m_opt.username.isEmpty() && !m_opt.password.isEmpty())
        return fail(QStringLiteral("a password needs a user name"));
    if (m_url.tls && m_opt.caFile.isEmpty())
        return fail(QStringLiteral("mqtts:// needs a CA file to check the broker's certificate"));
    if (m_url.tls && !QFileInfo(m_opt.caFile).isReadable())
        return fail(QStringLiteral("the CA file %1 cannot be read").arg(m_opt.caFile));

    initLibrary();
    closeGate();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
    // A new library client holds nothing of the old one: no message waits for an acknowledgement.
    m_unacked.clear();
    m_qos0Unsent = 0;
    m_events.clear();
    m_try311 = false;
    m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), m_opt.cleanSession, this);
    if (!m_mosq)
        return fail(QStringLiteral("the MQTT library refused the client: %1").arg(QString::fromLocal8Bit(strerror(errno))));
    setProtocol(false);
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_max_inflight_messages_set(m_mosq, unsigned(m_opt.maxInflight));
    mosquitto_connect_callback_set(m_mosq, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttClient::onDisconnect);
    mosquitto_publish_callback_set(m_mosq, &MqttClient::onPublish);
    mosquitto_message_callback_set(m_mosq, &MqttClient::onMessage);
    mosquitto_subscribe_callback_set(m_mosq, &MqttClient::onSubscribe);
    mosquitto_log_callback_set(m_mosq, &MqttClient::onLog);
    int rc = MOSQ_ERR_SUCCESS;
    if (!m_opt.username.isEmpty()) {
        const QByteArray user = m_opt.username.toUtf8(), pass = m_opt.password.toUtf8();
        rc = mosquitto_username_pw_set(m_mosq, user.constData(), pass.isEmpty() ? nullptr : pass.constData());
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("the user name or password cannot be used: %1").arg(reasonOf(rc)));
    }
    if (!m_opt.willTopic.isEmpty()) {
        const QByteArray topic = m_opt.willTopic.toUtf8();
        if (m_opt.willPayload.size() > m_opt.maxPayload)
            return fail(QStringLiteral("the last will is larger than %1 bytes").arg(m_opt.maxPayload));
        rc = mosquitto_will_set(m_mosq, topic.constData(), int(m_opt.willPayload.size()), m_opt.willPayload.constData(), 1, true);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("the last will's topic \"%1\" cannot be used: %2").arg(m_opt.willTopic, reasonOf(rc)));
    }
    if (m_url.tls) {
        rc = mosquitto_tls_set(m_mosq, QFile::encodeName(m_opt.caFile).constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return fail(QStringLiteral("TLS cannot be set up with %1: %2").arg(m_opt.caFile, reasonOf(rc)));
    }
    return true;
}

bool MqttClient::start(QString *error)
{
    if (m_state != State::Stopped)
        return true;
    if (!setUp(error))
        return false;
    m_nextDelayMs = m_opt.reconnectMinMs;
    m_lastError.clear();
    attempt();
    return true;
}

void MqttClient::stop()
{
    if (m_state == State::Stopped)
        return;
    m_stopping = true;
    if (m_lookupId >= 0) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    if (m_mosq && mosquitto_socket(m_mosq) >= 0) {
        // DISCONNECT goes out at once when the socket takes it; the library then closes it.
        if (m_state == State::Connected && mosquitto_disconnect(m_mosq) == MOSQ_ERR_SUCCESS)
            mosquitto_loop_write(m_mosq, 1);
        if (m_gate)
            m_gate->flush();
        if (mosquitto_socket(m_mosq) >= 0) {
            ::shutdown(mosquitto_socket(m_mosq), SHUT_RDWR);
            mosquitto_loop_read(m_mosq, 1);
        }
    }
    closeGate();
    unwatchSocket();
    m_timer->setEnabled(false);
    m_events.clear();
    m_qos0Unsent = 0;
    m_state = State::Stopped;
    m_stopping = false;
}

// ---------------------------------------------------------------- connecting

// The timer falls due at the present deadline (the connect time-out, the next attempt),
// and at least once a second for the keep-alive and the write watch.
void MqttClient::arm()
{
    if (m_state == State::Stopped) {
        m_timer->setEnabled(false);
        return;
    }
    qint64 due = 1000;
    if (m_state != State::Connected)
        due = qBound(qint64(1), m_deadlineMs - clockService().elapsedMs(), qint64(1000));
    m_timer->setInterval(int(due));
    m_timer->setEnabled(true);
}

void MqttClient::attempt()
{
    if (m_try311 && !m_v311)
        setProtocol(true);
    m_connackError.clear();
    m_libError.clear();
    m_errno = 0;
    m_deadlineMs = clockService().elapsedMs() + m_opt.connectTimeoutMs;
    m_state = State::Connecting;
    arm();
    // libmosquitto resolves a name with a blocking getaddrinfo(); the name is looked up
    // here first, off the event loop, and libmosquitto gets the address. Only mqtts:// with
    // a name hands the name over (the certificate is checked against it): that look-up is
    // then answered from what was just resolved.
    if (!QHostAddress(m_url.host).isNull()) {
        connectTo(m_url.host);
        return;
    }
    m_state = State::Resolving;
    m_lookupId = QHostInfo::lookupHost(m_url.host, this, &MqttClient::lookedUp);
}

void MqttClient::lookedUp(const QHostInfo &info)
{
    if (info.lookupId() != m_lookupId || m_state != State::Resolving)
        return;
    m_lookupId = -1;
    if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
        failed(QStringLiteral("the broker's name %1 does not resolve: %2").arg(m_url.host, info.errorString()));
        return;
    }
    connectTo(m_url.tls ? m_url.host : info.addresses().constFirst().toString());
}

void MqttClient::connectTo(const QString &target)
{
    m_state = State::Connecting;
    const QByteArray host = target.toUtf8();
    closeGate();
    const int rc = mosquitto_connect_async(m_mosq, host.constData(), m_url.port, m_opt.keepAliveS);
    if (rc != MOSQ_ERR_SUCCESS) {
        m_errno = errno;
        failed(reasonOf(rc));
        return;
    }
    // A plain connection passes through the gate, which reads each packet's length first.
    if (!m_url.tls && mosquitto_socket(m_mosq) >= 0) {
        m_gate = new PacketGate(maxPacketBytes(), [this](int err, const QString &why) {
            if (m_state != State::Connecting && m_state != State::Connected)
                return;
            if (err)
                m_errno = err;
            failed(err ? reasonOf(MOSQ_ERR_ERRNO) : why);
        });
        if (!m_gate->open(mosquitto_socket(m_mosq))) {
            m_errno = errno;
            failed(reasonOf(MOSQ_ERR_ERRNO));
            return;
        }
    }
    watchSocket();
    dispatch();
}

// ---------------------------------------------------------------- the socket

void MqttClient::watchSocket()
{
    const int fd = m_mosq ? mosquitto_socket(m_mosq) : -1;
    if (fd != m_fd) {
        unwatchSocket();
        if (fd >= 0) {
            m_fd = fd;
            m_readN = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
            connect(m_readN.get(), &QSocketNotifier::activated, this, [this] { service(0); });
            m_writeN = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
            m_writeN->setEnabled(false);
            connect(m_writeN.get(), &QSocketNotifier::activated, this, [this] { service(1); });
        }
    }
    if (m_fd < 0)
        return;
    const bool want = mosquitto_want_write(m_mosq);
    m_writeN->setEnabled(want);
    if (!want) {
        m_writeWaitSinceMs = -1;
        m_qos0Unsent = 0;
    } else if (m_writeWaitSinceMs < 0) {
        m_writeWaitSinceMs = clockService().elapsedMs();
    }
}

void MqttClient::unwatchSocket()
{
    // Before the library's descriptor can be used again for something else.
    m_readN.reset();
    m_writeN.reset();
    m_fd = -1;
    m_writeWaitSinceMs = -1;
}

void MqttClient::service(int what)
{
    if (!m_mosq || m_state == State::Stopped)
        return;
    int rc = MOSQ_ERR_SUCCESS;
    if (what == 0) {
        rc = mosquitto_loop_read(m_mosq, 1);
    } else if (what == 1) {
        // The socket took bytes: the broker reads.
        m_writeWaitSinceMs = -1;
        rc = mosquitto_loop_write(m_mosq, 1);
    } else {
        rc = mosquitto_loop_misc(m_mosq);
    }
    if (rc == MOSQ_ERR_ERRNO && !m_errno)
        m_errno = errno;
    afterCall(rc);
}

void MqttClient::afterCall(int rc)
{
    watchSocket();
    const bool gone = mosquitto_socket(m_mosq) < 0;
    bool lostSeen = false;
    for (const Event &e : m_events)
        lostSeen = lostSeen || e.kind == Event::Disconnect;
    if (gone && !lostSeen && (m_state == State::Connecting || m_state == State::Connected))
        m_events.push_back({Event::Disconnect, rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : rc, {}, {}, false});
    dispatch();
}

void MqttClient::dispatch()
{
    QPointer<MqttClient> self(this);
    while (self && m_state != State::Stopped && !m_events.empty()) {
        const Event e = std::move(m_events.front());
        m_events.erase(m_events.begin());
        switch (e.kind) {
        case Event::Connack:
            if (e.code != 0) {
                // A broker of MQTT 3.1.1 refuses 5: the next attempt speaks 3.1.1.
                const bool older = !m_v311 && (e.code == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
                                              e.code == CONNACK_REFUSED_PROTOCOL_VERSION);
                m_connackError = QStringLiteral("the broker refused the connection: %1")
                                     .arg(QString::fromUtf8(e.code >= 128 ? mosquitto_reason_string(e.code)
                                                                          : mosquitto_connack_string(e.code)));
                if (older) {
                    m_try311 = true;
                    m_connackError = QStringLiteral("the broker does not speak MQTT 5; the next attempt speaks 3.1.1");
                }
                break;
            }
            if (m_state != State::Connecting)
                break;
            m_state = State::Connected;
            m_connectedAtMs = clockService().elapsedMs();
            m_lastError.clear();
            arm();
            for (const auto &[pattern, qos] : std::as_const(m_subscriptions)) {
                const QByteArray p = pattern.toUtf8();
                mosquitto_subscribe(m_mosq, nullptr, p.constData(), qos);
            }
            watchSocket();
            emit connected();
            break;
        case Event::Disconnect: {
            if (m_state != State::Connecting && m_state != State::Connected)
                break;
            QString reason = !m_connackError.isEmpty() ? m_connackError : reasonOf(e.code);
            failed(reason);
            break;
        }
        case Event::Publish:
            if (m_unacked.remove(e.code))
                emit published(e.code);
            break;
        case Event::Message:
            emit messageReceived(e.topic, e.payload, e.retained);
            break;
        case Event::Suback:
            emit subscribed(e.code);
            break;
        }
    }
}

// Ends the present attempt or connection and waits for the next one.
void MqttClient::failed(const QString &reason)
{
    const bool wasConnected = m_state == State::Connected;
    if (m_mosq && mosquitto_socket(m_mosq) >= 0) {
        // Closed here, not left to a broker that may never read again: the next read
        // sees the end and the library closes its socket.
        ::shutdown(mosquitto_socket(m_mosq), SHUT_RDWR);
        mosquitto_loop_read(m_mosq, 1);
    }
    closeGate();
    unwatchSocket();
    const qint64 now = clockService().elapsedMs();
    // A connection that held for a while starts the back-off again; one that breaks at
    // once (a broker that drops every client) keeps doubling it.
    if (wasConnected && now - m_connectedAtMs >= m_opt.reconnectMaxMs)
        m_nextDelayMs = m_opt.reconnectMinMs;
    m_state = State::Waiting;
    m_deadlineMs = now + m_nextDelayMs;
    m_nextDelayMs = qMin(m_nextDelayMs * 2, m_opt.reconnectMaxMs);
    m_lastError = reason;
    arm();
    // What the library still reports for the old connection is stale now.
    std::erase_if(m_events, [](const Event &e) { return e.kind == Event::Disconnect || e.kind == Event::Connack; });
    emit disconnected(reason);
}

int MqttClient::nextAttemptInMs() const
{
    return m_state == State::Waiting ? int(qMax<qint64>(0, m_deadlineMs - clockService().elapsedMs())) : 0;
}

void MqttClient::tick()
{
    QPointer<MqttClient> self(this); // a slot of disconnected() may delete the client
    tickWork();
    if (self)
        arm();
}

void MqttClient::tickWork()
{
    const qint64 now = clockService().elapsedMs();
    switch (m_state) {
    case State::Stopped:
        return;
    case State::Resolving:
        if (now >= m_deadlineMs) {
            QHostInfo::abortHostLookup(m_lookupId);
            m_lookupId = -1;
            failed(QStringLiteral("the broker's name %1 did not resolve within %2 s").arg(m_url.host).arg(m_opt.connectTimeoutMs / 1000.0));
        }
        return;
    case State::Connecting:
        if (now >= m_deadlineMs)
            failed(QStringLiteral("the broker did not answer the connection within %1 s").arg(m_opt.connectTimeoutMs / 1000.0));
        return;
    case State::Waiting:
        if (now >= m_deadlineMs)
            attempt();
        return;
    case State::Connected: {
        // What waits for the broker: in libmosquitto, or in the gate once libmosquitto has
        // handed it on.
        const qint64 gateWait = m_gate ? m_gate->waitingSinceMs() : -1;
        const qint64 since = m_writeWaitSinceMs < 0 ? gateWait : gateWait < 0 ? m_writeWaitSinceMs
                                                                             : qMin(gateWait, m_writeWaitSinceMs);
        if (since >= 0 && now - since >= m_opt.writeStallMs) {
            failed(QStringLiteral("the broker took nothing of what the client sent for %1 s").arg(m_opt.writeStallMs / 1000.0));
            return;
        }
        service(2); // keep-alive: PINGREQ, and the end of a broker that stopped answering it
        return;
    }
    }
}

// ---------------------------------------------------------------- publish and subscribe

int MqttClient::publish(const QString &topic, const QByteArray &payload, int qos, bool retain, QString *error)
{
    const auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return -1;
    };
    if (qos < 0 || qos > 2)
        return fail(QStringLiteral("QoS %1 is out of range (0-2)").arg(qos));
    if (payload.size() > m_opt.maxPayload)
        return fail(QStringLiteral("the message of %1 bytes is larger than %2 bytes").arg(payload.size()).arg(m_opt.maxPayload));
    const QByteArray t = topic.toUtf8();
    if (t.isEmpty() || t.size() > 65535 || !validUtf8(t) || mosquitto_pub_topic_check(t.constData()) != MOSQ_ERR_SUCCESS)
        return fail(QStringLiteral("\"%1\" is no topic to publish on").arg(topic));
    if (m_state != State::Connected)
        return fail(QStringLiteral("not connected to the broker"));
    if (qos > 0 && m_unacked.size() >= m_opt.maxQueued)
        return fail(QStringLiteral("%1 messages wait for the broker's acknowledgement").arg(m_unacked.size()));
    if (qos == 0 && m_qos0Unsent >= m_opt.maxQueued)
        return fail(QStringLiteral("%1 messages wait for the broker to read them").arg(m_qos0Unsent));
    int mid = 0;
    const int rc = mosquitto_publish(m_mosq, &mid, t.constData(), int(payload.size()), payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        m_errno = errno;
        const QString why = reasonOf(rc);
        // A write that failed has ended the connection inside the library.
        afterCall(rc);
        return fail(why);
    }
    if (qos > 0)
        m_unacked.insert(mid);
    else if (m_writeWaitSinceMs >= 0 || mosquitto_want_write(m_mosq))
        ++m_qos0Unsent;
    watchSocket();
    return mid;
}

int MqttClient::subscribe(const QString &pattern, int qos, QString *error)
{
    const auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return -1;
    };
    const QByteArray p = pattern.toUtf8();
    if (qos < 0 || qos > 2)
        return fail(QStringLiteral("QoS %1 is out of range (0-2)").arg(qos));
    if (p.isEmpty() || p.size() > 65535 || !validUtf8(p) || mosquitto_sub_topic_check(p.constData()) != MOSQ_ERR_SUCCESS)
        return fail(QStringLiteral("\"%1\" is no topic pattern").arg(pattern));
    bool known = false;
    for (auto &s : m_subscriptions)
        if (s.first == pattern) {
            s.second = qos;
            known = true;
        }
    if (!known) {
        if (m_subscriptions.size() >= kMaxSubscriptions)
            return fail(QStringLiteral("more than %1 subscriptions").arg(kMaxSubscriptions));
        m_subscriptions.append({pattern, qos});
    }
    if (m_state != State::Connected)
        return 0;
    int mid = 0;
    const int rc = mosquitto_subscribe(m_mosq, &mid, p.constData(), qos);
    if (rc != MOSQ_ERR_SUCCESS) {
        afterCall(rc);
        return 0; // renewed at the next connect
    }
    watchSocket();
    return mid;
}

// ---------------------------------------------------------------- library callbacks
// They only take note; the signals go out once the library call has returned.

void MqttClient::onConnect(mosquitto *, void *obj, int rc)
{
    static_cast<MqttClient *>(obj)->m_events.push_back({Event::Connack, rc, {}, {}, false});
}

void MqttClient::onDisconnect(mosquitto *, void *obj, int rc)
{
    auto *self = static_cast<MqttClient *>(obj);
    if (rc == MOSQ_ERR_ERRNO && !self->m_errno)
        self->m_errno = errno;
    if (!self->m_stopping)
        self->m_events.push_back({Event::Disconnect, rc, {}, {}, false});
}

void MqttClient::onPublish(mosquitto *, void *obj, int mid)
{
    static_cast<MqttClient *>(obj)->m_events.push_back({Event::Publish, mid, {}, {}, false});
}

void MqttClient::onMessage(mosquitto *, void *obj, const mosquitto_message *msg)
{
    auto *self = static_cast<MqttClient *>(obj);
    if (msg->payloadlen < 0 || msg->payloadlen > self->m_opt.maxPayload) {
        ++self->m_dropped;
        return;
    }
    self->m_events.push_back({Event::Message, 0, QString::fromUtf8(msg->topic),
                              QByteArray(static_cast<const char *>(msg->payload), msg->payloadlen), msg->retain});
}

void MqttClient::onSubscribe(mosquitto *, void *obj, int mid, int, const int *)
{
    static_cast<MqttClient *>(obj)->m_events.push_back({Event::Suback, mid, {}, {}, false});
}

void MqttClient::onLog(mosquitto *, void *obj, int level, const char *text)
{
    // The library's lines may end with a line end: the reason is one line.
    if (level == MOSQ_LOG_ERR && text)
        static_cast<MqttClient *>(obj)->m_libError = QString::fromUtf8(text).simplified().left(300);
}

QString MqttClient::reasonOf(int rc) const
{
    QString r;
    switch (rc) {
    case MOSQ_ERR_ERRNO:
        r = m_errno ? QString::fromLocal8Bit(strerror(m_errno)) : QStringLiteral("a system call failed");
        break;
    case MOSQ_ERR_CONN_LOST:
    case MOSQ_ERR_NO_CONN:
        r = QStringLiteral("the connection to the broker was lost");
        break;
    case MOSQ_ERR_KEEPALIVE:
        r = QStringLiteral("the broker stopped answering (keep-alive)");
        break;
    case MOSQ_ERR_PROTOCOL:
    case MOSQ_ERR_MALFORMED_PACKET:
        r = QStringLiteral("the broker broke the MQTT protocol");
        break;
    default:
        r = QString::fromUtf8(mosquitto_strerror(rc));
        if (r.endsWith(QLatin1Char('.')))
            r.chop(1);
        r[0] = r[0].toLower();
    }
    if (!m_libError.isEmpty())
        r += QStringLiteral(" (%1)").arg(m_libError);
    return r;
}
