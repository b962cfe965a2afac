#pragma once
// A COM port that is the serial line of a device server on the network: a TCP connection
// carrying the line's bytes as they are (tcp://) or inside Telnet COM port control
// (rfc2217://, which also sets the remote line to 9600 8N1 without flow control).
//
// Opening connects within 5 s, waiting through the platform's clock so the windows stay
// alive; RFC 2217 is negotiated and the server's answers checked within the same bound.
// The receive buffer holds at most 1024 bytes (the rest waits in the connection); emptying
// it on an RFC 2217 line also purges the server's buffer. A connection that drops closes
// the port once and reports comHangUp, like a device that went away, with the address and
// the reason (lostReason); the next open makes a new connection.
//
// A server cannot make the port use memory or processor time without bound: at most
// kMaxQueuedOutput bytes may wait to be sent (past that the server reads nothing, and the
// connection ends as a drop with that reason), the socket is read kReadChunk bytes at a
// time, and bytes that carry no data (Telnet commands, NOPs) are read at most
// kNoiseBudget per kNoiseWindowMs: past that the port leaves them in the socket until the
// window ends, so the server's flood waits in its own buffers.
#include "platform/Clock.h"
#include "platform/ComPorts.h"
#include "platform/Rfc2217.h"
#include "platform/SerialPort.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <memory>

class TcpSerialPort : public SerialPortService {
public:
    static constexpr int kConnectTimeoutMs = 5000;
    // Bytes written and not yet taken by the network; the line itself carries 960 a second.
    static constexpr int kMaxQueuedOutput = 64 * 1024;
    static constexpr int kReadChunk = 64 * 1024;
    static constexpr int kNoiseBudget = 64 * 1024;
    static constexpr int kNoiseWindowMs = 100;
    // The server's own words kept from the end of what it sent.
    static constexpr int kWordsKept = 240;

    TcpSerialPort();
    ~TcpSerialPort() override;

    void setCommPort(int n) override { m_commPort = n; }
    int commPort() const override { return m_commPort; }
    bool portOpen() const override { return m_open; }
    // Opens what COM n is mapped to (tcp:// or rfc2217://); closing disconnects.
    CommError setPortOpen(bool open) override;
    // Opens a given address within timeoutMs.
    CommError connectTo(const ComPortMapping &m, int timeoutMs = kConnectTimeoutMs);
    // The same without waiting: done comes from the event loop with the open's result (empty
    // when open). A program that opens many lines at once uses it, so that one slow server
    // holds up no other line. Closing the port, or another open, drops it without done.
    void openAsync(const ComPortMapping &m, std::function<void(const CommError &)> done, int timeoutMs = kConnectTimeoutMs);
    // What COM n is mapped to, the same way.
    void openAsync(std::function<void(const CommError &)> done) override;
    void cancelOpen() override;
    bool opening() const { return bool(m_openDone); }
    CommError output(const QByteArray &bytes) override;
    int outBufferCount() override;
    void clearOutBuffer() override;
    int inBufferCount() override;
    void clearInBuffer() override;
    QByteArray input() override;
    // Why COM n did not open the last time it was tried (Japanese); empty when it did.
    QString accessHint(int n) const override;
    // Why the connection dropped, while the port stays closed after it (Japanese).
    QString lostReason() const override { return m_open ? QString() : m_lostJa; }

    // Why the last open failed, or why the connection dropped; empty when neither.
    QString problem() const override { return m_problem; }
    QString problemJa() const { return m_problemJa; }
    const ComPortMapping &mapping() const { return m_map; }
    // RFC 2217: the line as the server set it ("9600 8N1, no flow control"); else empty.
    QString lineText() const { return m_telnet ? m_telnet->lineText() : QString(); }
    // RFC 2217: the purges the server has confirmed on this connection.
    int purgesConfirmed() const { return m_telnet ? m_telnet->purgesConfirmed() : 0; }
    // RFC 2217: whether each direction is binary (else CR travels as CR NUL).
    bool binaryIn() const { return m_telnet && m_telnet->binaryIn(); }
    bool binaryOut() const { return m_telnet && m_telnet->binaryOut(); }

private:
    // Moves what has arrived into the receive buffer, up to its size, through Telnet.
    void pump();
    // Feeds the bytes to the Telnet client (if any) and sends its answers; returns the data.
    QByteArray decode(const QByteArray &raw);
    // Writes bytes for the server; false (the connection ended) past kMaxQueuedOutput.
    bool send(const QByteArray &bytes);
    // Whether the noise budget of the present window is spent (then a timer resumes).
    bool noiseSpent();
    void onDropped(const QString &why, const QString &whyJa);
    // "the server closed the connection" with its last words, if it said any.
    void onClosedByServer();
    QString serverWords() const;
    CommError closedWhileOpening();
    // The open in steps: the connection asked for, then each look at how far it came.
    enum class OpenStep { Pending, Opened, Failed };
    bool beginConnect(const ComPortMapping &m, CommError *e);
    OpenStep stepOpen(bool timeUp, int timeoutMs, CommError *e);
    void stepOpenAsync();
    CommError failOpen(const QString &en, const QString &ja);
    void closeSocket();
    void tuneSocket();

    QTcpSocket m_socket;
    int m_commPort = 1;
    ComPortMapping m_map;
    bool m_open = false;
    bool m_connecting = false;
    bool m_negotiating = false; // RFC 2217: connected, the line settings not yet confirmed
    std::function<void(const CommError &)> m_openDone; // an openAsync under way
    int m_openTimeoutMs = kConnectTimeoutMs;
    bool m_openTimeUp = false;
    WindowTimer m_openBound;
    std::unique_ptr<Rfc2217Client> m_telnet;
    QByteArray m_in;
    QByteArray m_decoded; // data read from the socket that the receive buffer had no room for
    QByteArray m_said;    // the last data bytes the server sent (its words when it closes)
    qint64 m_noise = 0;   // bytes without data read in the present window
    QElapsedTimer m_noiseWindow;
    QTimer m_resume;
    QString m_problem, m_problemJa, m_lostJa;
    QString m_dropEn, m_dropJa; // why the port ended a connection it was still opening
    int m_problemPort = 0;
};
