#pragma once
// A COM port that is the serial line of a device server on the network: a TCP connection
// carrying the line's bytes as they are (tcp://) or inside Telnet COM port control
// (rfc2217://, which also sets the remote line to 9600 8N1 without flow control).
//
// Opening connects within 5 s, waiting through the platform's clock so the windows stay
// alive; RFC 2217 is negotiated and the server's answers checked within the same bound.
// The receive buffer holds at most 1024 bytes (the rest waits in the connection); emptying
// it on an RFC 2217 line also purges the server's buffer. A connection that drops closes
// the port once and reports comHangUp, like a device that went away; the next open makes
// a new connection.
#include "platform/ComPorts.h"
#include "platform/Rfc2217.h"
#include "platform/SerialPort.h"

#include <QTcpSocket>

#include <memory>

class TcpSerialPort : public SerialPortService {
public:
    static constexpr int kConnectTimeoutMs = 5000;

    TcpSerialPort();
    ~TcpSerialPort() override;

    void setCommPort(int n) override { m_commPort = n; }
    int commPort() const override { return m_commPort; }
    bool portOpen() const override { return m_open; }
    // Opens what COM n is mapped to (tcp:// or rfc2217://); closing disconnects.
    CommError setPortOpen(bool open) override;
    // Opens a given address within timeoutMs.
    CommError connectTo(const ComPortMapping &m, int timeoutMs = kConnectTimeoutMs);
    CommError output(const QByteArray &bytes) override;
    int outBufferCount() override;
    void clearOutBuffer() override;
    int inBufferCount() override;
    void clearInBuffer() override;
    QByteArray input() override;
    // Why COM n did not open the last time it was tried (Japanese); empty when it did.
    QString accessHint(int n) const override;

    // Why the last open failed, or why the connection dropped; empty when neither.
    QString problem(bool japanese = false) const { return japanese ? m_problemJa : m_problem; }
    const ComPortMapping &mapping() const { return m_map; }
    // RFC 2217: the line as the server set it ("9600 8N1, no flow control"); else empty.
    QString lineText() const { return m_telnet ? m_telnet->lineText() : QString(); }
    // RFC 2217: the purges the server has confirmed on this connection.
    int purgesConfirmed() const { return m_telnet ? m_telnet->purgesConfirmed() : 0; }

private:
    // Moves what has arrived into the receive buffer, up to its size, through Telnet.
    void pump();
    // Feeds the bytes to the Telnet client (if any) and sends its answers; returns the data.
    QByteArray decode(const QByteArray &raw);
    void onDropped(const QString &why);
    CommError failOpen(const QString &en, const QString &ja);
    void closeSocket();
    void tuneSocket();

    QTcpSocket m_socket;
    int m_commPort = 1;
    ComPortMapping m_map;
    bool m_open = false;
    bool m_connecting = false;
    std::unique_ptr<Rfc2217Client> m_telnet;
    QByteArray m_in;
    QString m_problem, m_problemJa;
    int m_problemPort = 0;
};
