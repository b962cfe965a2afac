#pragma once
// The double of the listening service: nothing touches the network. A test connects a
// client to a port some listener of the program listens on, and feeds and reads the
// client's end by hand; activity is told from the event loop as the real sockets tell it.
// A client that never takes what it was sent makes the connection's bytesToWrite grow, as
// a peer that reads nothing does.
#include "platform/NetListen.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <memory>

class LoopbackListen : public NetListenService {
public:
    // Both ends of one connection.
    struct Pipe {
        QByteArray toServer;   // sent by the client, not yet read by the program
        QByteArray toClient;   // written by the program, not yet taken by the client
        bool clientOpen = true;
        bool serverOpen = true;
        std::function<void()> tell; // the program's connection: activity
    };
    // The client's end.
    class Client {
    public:
        explicit Client(std::shared_ptr<Pipe> p) : m_pipe(std::move(p)) {}
        void send(const QByteArray &bytes);
        // What the program wrote since the last take.
        QByteArray take();
        // The client goes (FIN): the program sees the connection closed.
        void close();
        // The program closed the connection.
        bool closedByServer() const { return !m_pipe->serverOpen; }
        qsizetype untaken() const { return m_pipe->toClient.size(); }

    private:
        std::shared_ptr<Pipe> m_pipe;
    };

    LoopbackListen();
    ~LoopbackListen() override;
    std::unique_ptr<NetListener> makeListener() override;
    // A client from host:peerPort connects to port; nullptr when nothing listens there.
    std::unique_ptr<Client> connect(quint16 port, const QString &host = QStringLiteral("127.0.0.1"),
                                    quint16 peerPort = 40000);
    // Where something listens now: port -> host.
    QMap<quint16, QString> listening() const;

    struct Impl;

private:
    std::shared_ptr<Impl> m_impl;
};
