#pragma once
// Listening for TCP connections (the watcher's maintenance ports) and the connections taken.
// Production uses Qt Network (QTcpServer, QTcpSocket); tests install a double whose
// connections they feed and read by hand, on the virtual clock.
//
// Nothing here reads more than asked: a connection's bytes wait in the socket (and past its
// small buffer, at the peer) until its owner takes them, so an owner that reads at its own
// pace bounds what a peer can make it hold.
#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

// One connection taken by a listener.
class NetConnection {
public:
    virtual ~NetConnection() = default;
    // The peer's address and port: "127.0.0.1", 50312; an IPv4 peer on an IPv6 socket is
    // given as IPv4.
    virtual QString peerHost() const = 0;
    virtual quint16 peerPort() const = 0;
    // "127.0.0.1:50312", "[::1]:50312".
    QString peerText() const;
    // Up to max bytes that arrived; empty when none wait.
    virtual QByteArray read(qsizetype max) = 0;
    virtual qsizetype bytesAvailable() const = 0;
    // Queues bytes for the peer; false when the connection is closed.
    virtual bool write(const QByteArray &bytes) = 0;
    // Bytes queued that the peer has not taken yet.
    virtual qsizetype bytesToWrite() const = 0;
    // Sends what is queued, then closes. No activity is told after it.
    virtual void close() = 0;
    // Still open (the peer has not closed, close was not asked).
    virtual bool isOpen() const = 0;
    // Something happened: bytes arrived, queued bytes left, or the peer closed. Called from
    // the event loop, never from inside another call on the connection.
    std::function<void()> onActivity;
};

// Listens on one address and port.
class NetListener {
public:
    virtual ~NetListener() = default;
    // Listens on host ("127.0.0.1", "::1", "0.0.0.0", "::") and port; false with a reason.
    virtual bool listen(const QString &host, quint16 port, QString *error) = 0;
    // Stops listening; connections already taken stay.
    virtual void close() = 0;
    virtual bool isListening() const = 0;
    // A connection came (from the event loop); the owner decides what becomes of it.
    std::function<void(std::unique_ptr<NetConnection>)> onConnection;
};

class NetListenService {
public:
    virtual ~NetListenService() = default;
    virtual std::unique_ptr<NetListener> makeListener() = 0;
};

NetListenService &netListenService();
void installNetListen(NetListenService *s); // not owned; nullptr restores the real one

// A CIDR block of client addresses: "127.0.0.0/8", "10.1.0.0/16", "::1/128", or one address.
struct NetBlock {
    QString text;
    // false with a reason for anything else.
    static bool parse(const QString &text, NetBlock *out, QString *error);
    bool contains(const QString &host) const;

private:
    QByteArray m_net; // 4 or 16 bytes
    int m_bits = 0;
};
// Whether host names a loopback address (127.0.0.0/8, ::1, "localhost").
bool IsLoopbackHost(const QString &host);
