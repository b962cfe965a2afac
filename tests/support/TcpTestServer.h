#pragma once
// A device server in the test's own process, on 127.0.0.1: the controller model behind a
// TCP port (raw, or with Telnet COM port control), and the ways a network line fails: a
// server that accepts and never answers, one that drops the connection after some lines,
// one that sends each reply a byte at a time. It runs on the test's event loop, so the
// tool's waits serve it; use it with the real clock.
#include "ctrlmodel/CtrlModel.h"
#include "platform/Rfc2217.h"

#include <QByteArrayList>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

class TcpTestServer : public QObject {
    Q_OBJECT
public:
    enum class Mode {
        Answer,   // the controller answers at once
        Silent,   // accepts and never says a word (not even Telnet)
        DropAfter,// answers param lines, then closes the connection when the next comes
        Drip,     // each reply one byte at a time, param ms apart
        Busy,     // a new connection is told the line is busy and closed param ms later (ser2net)
    };

    explicit TcpTestServer(Mode mode = Mode::Answer, int param = 0, bool telnet = false);
    ~TcpTestServer() override;

    bool listening() const { return m_server.isListening(); }
    quint16 port() const { return m_server.serverPort(); }
    // "tcp://127.0.0.1:PORT" or "rfc2217://127.0.0.1:PORT".
    QString url() const;
    // A port on 127.0.0.1 where nothing listens (a connection there is refused).
    static quint16 closedPort();
    // Writes ports/COM<n> of the data folder with the line given.
    static bool bindCom(int n, const QString &line);

    void setMode(Mode mode, int param = 0);
    // Closes the client's connection now.
    void dropClient();
    // Sends bytes to the client as they are (no Telnet escaping).
    void push(const QByteArray &bytes);
    // A server that refuses the COM port option (with telnet).
    bool refuseComPort = false;
    // What a busy server says before it closes.
    QByteArray busyText = "Port's device already in use\r\n";
    // A server that refuses BINARY (with telnet): CR travels as CR NUL both ways.
    bool refuseBinary = false;
    // The host's bytes as they came off the network, Telnet and all (the first 64 KiB).
    QByteArray wire;

    CtrlModel model;
    int connections = 0;
    QByteArrayList frames; // the host's lines, without CR
    int purges = 0;        // PURGE-DATA requests received

private:
    void onConnection();
    void onData();
    void send(const QByteArray &data);

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    Mode m_mode;
    int m_param;
    bool m_telnet;
    std::unique_ptr<Rfc2217Server> m_rfc;
    QByteArray m_line;
    QByteArray m_drip;
    QTimer m_dripTimer;
    QElapsedTimer m_clock;
};
