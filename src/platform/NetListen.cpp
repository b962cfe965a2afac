#include "platform/NetListen.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {
// What Qt reads ahead of its owner from one connection; the rest waits in the kernel and at
// the peer.
constexpr qint64 kReadAhead = 16 * 1024;

QHostAddress plain(const QHostAddress &a)
{
    bool v4 = false;
    const quint32 ip = a.toIPv4Address(&v4);
    return v4 ? QHostAddress(ip) : a;
}

class QtConnection : public NetConnection {
public:
    explicit QtConnection(QTcpSocket *s) : m_socket(s)
    {
        m_socket->setReadBufferSize(kReadAhead);
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
        m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 32 * 1024);
        m_socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 32 * 1024);
        if (const qintptr fd = m_socket->socketDescriptor(); fd >= 0) {
            // A client whose host vanished is noticed by the keep-alive probes.
            const int idle = 30, interval = 10, count = 3;
            setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
            setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
            setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        }
        const QHostAddress peer = plain(m_socket->peerAddress());
        m_host = peer.toString();
        m_port = m_socket->peerPort();
        const auto tell = [this] {
            if (onActivity)
                onActivity();
        };
        QObject::connect(m_socket, &QTcpSocket::readyRead, m_socket, tell);
        QObject::connect(m_socket, &QTcpSocket::bytesWritten, m_socket, tell);
        QObject::connect(m_socket, &QTcpSocket::disconnected, m_socket, tell);
        QObject::connect(m_socket, &QTcpSocket::errorOccurred, m_socket, tell);
    }
    ~QtConnection() override
    {
        if (m_socket) {
            m_socket->disconnect();
            m_socket->abort();
            m_socket->deleteLater();
        }
    }
    QString peerHost() const override { return m_host; }
    quint16 peerPort() const override { return m_port; }
    QByteArray read(qsizetype max) override { return m_socket ? m_socket->read(max) : QByteArray(); }
    qsizetype bytesAvailable() const override { return m_socket ? m_socket->bytesAvailable() : 0; }
    bool write(const QByteArray &bytes) override
    {
        if (!isOpen())
            return false;
        if (m_socket->write(bytes) != bytes.size())
            return false;
        // Out at once, not at the next turn of the event loop: each answer of the line is
        // awaited by the peer.
        m_socket->flush();
        return true;
    }
    qsizetype bytesToWrite() const override { return m_socket ? m_socket->bytesToWrite() : 0; }
    void close() override
    {
        if (!m_socket)
            return;
        onActivity = nullptr;
        m_socket->disconnect();
        // What was queued (a refusal's words) still leaves; the socket goes once it is out,
        // or after a bound when the peer takes nothing.
        QTcpSocket *s = m_socket;
        m_socket = nullptr;
        if (s->state() == QAbstractSocket::ConnectedState && s->bytesToWrite() > 0) {
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            s->disconnectFromHost();
            QPointer<QTcpSocket> p(s);
            QTimer::singleShot(5000, s, [p] {
                if (p)
                    p->abort();
            });
            return;
        }
        s->abort();
        s->deleteLater();
    }
    bool isOpen() const override { return m_socket && m_socket->state() == QAbstractSocket::ConnectedState; }

private:
    QTcpSocket *m_socket;
    QString m_host;
    quint16 m_port = 0;
};

class QtListener : public NetListener {
public:
    QtListener()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *s = m_server.nextPendingConnection()) {
                s->setParent(nullptr);
                auto c = std::make_unique<QtConnection>(s);
                if (onConnection)
                    onConnection(std::move(c));
            }
        });
    }
    bool listen(const QString &host, quint16 port, QString *error) override
    {
        m_server.close();
        QHostAddress a;
        if (host == QLatin1String("localhost"))
            a = QHostAddress(QHostAddress::LocalHost);
        else if (!a.setAddress(host)) {
            if (error)
                *error = QStringLiteral("%1 is no address to listen on").arg(host);
            return false;
        }
        if (!m_server.listen(a, port)) {
            if (error)
                *error = QStringLiteral("cannot listen on %1:%2: %3").arg(host).arg(port).arg(m_server.errorString());
            return false;
        }
        return true;
    }
    void close() override { m_server.close(); }
    bool isListening() const override { return m_server.isListening(); }

private:
    QTcpServer m_server;
};

class QtListenService : public NetListenService {
public:
    std::unique_ptr<NetListener> makeListener() override { return std::make_unique<QtListener>(); }
};

NetListenService *g_listen = nullptr;
} // namespace

QString NetConnection::peerText() const
{
    const QString h = peerHost();
    return (h.contains(QLatin1Char(':')) ? QLatin1Char('[') + h + QLatin1Char(']') : h) + QLatin1Char(':') +
           QString::number(peerPort());
}

NetListenService &netListenService()
{
    static QtListenService real;
    return g_listen ? *g_listen : real;
}

void installNetListen(NetListenService *s) { g_listen = s; }

bool NetBlock::parse(const QString &text, NetBlock *out, QString *error)
{
    const QString t = text.trimmed();
    QHostAddress a;
    int bits = -1;
    if (t.contains(QLatin1Char('/'))) {
        const auto sub = QHostAddress::parseSubnet(t);
        a = sub.first;
        bits = sub.second;
    } else if (a.setAddress(t)) {
        bits = a.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128;
    }
    if (a.isNull() || bits < 0) {
        if (error)
            *error = QStringLiteral("%1 is no address block (as 10.1.0.0/16 or ::1)").arg(t);
        return false;
    }
    a = plain(a);
    if (a.protocol() == QAbstractSocket::IPv4Protocol && bits > 32)
        bits -= 96; // ::ffff:a.b.c.d/120 is a.b.c.d/24
    out->text = t;
    out->m_bits = bits;
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v = a.toIPv4Address();
        out->m_net = QByteArray(4, 0);
        for (int i = 0; i < 4; ++i)
            out->m_net[i] = char(v >> (24 - 8 * i));
    } else {
        const Q_IPV6ADDR v = a.toIPv6Address();
        out->m_net = QByteArray(reinterpret_cast<const char *>(v.c), 16);
    }
    return true;
}

bool NetBlock::contains(const QString &host) const
{
    QHostAddress a;
    if (!a.setAddress(host))
        return false;
    a = plain(a);
    QByteArray b;
    if (a.protocol() == QAbstractSocket::IPv4Protocol) {
        const quint32 v = a.toIPv4Address();
        b = QByteArray(4, 0);
        for (int i = 0; i < 4; ++i)
            b[i] = char(v >> (24 - 8 * i));
    } else {
        const Q_IPV6ADDR v = a.toIPv6Address();
        b = QByteArray(reinterpret_cast<const char *>(v.c), 16);
    }
    if (b.size() != m_net.size())
        return false;
    int bits = m_bits;
    for (int i = 0; i < b.size() && bits > 0; ++i, bits -= 8) {
        const quint8 mask = bits >= 8 ? 0xFF : quint8(0xFF << (8 - bits));
        if ((quint8(b[i]) & mask) != (quint8(m_net[i]) & mask))
            return false;
    }
    return true;
}

bool IsLoopbackHost(const QString &host)
{
    if (host == QLatin1String("localhost"))
        return true;
    QHostAddress a;
    return a.setAddress(host) && a.isLoopback();
}
