#pragma once
// The Telnet COM port control (RFC 2217) that a serial device server speaks on its
// network side, reduced to what the controller link needs: the Telnet byte stream (data
// with 0xFF doubled, option commands, subnegotiations), the COM-PORT-OPTION, the line
// settings 9600 baud, 8 data bits, no parity, 1 stop bit and no flow control with the
// server's answers checked, and the purge of the server's buffers.
//
// Nothing here touches a socket or a clock: bytes go in, data and the bytes to send back
// come out. TcpSerialPort drives the client over a QTcpSocket; qelvo-ctrlsim serves the
// simulated controller with the server side.
//
// Where BINARY is not in force in a direction, that direction is the network virtual
// terminal's text: a CR travels as CR NUL. The receiving side drops the NUL, the sending
// side adds it, so the controller's lines come through a server that refuses BINARY.
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace Telnet {
enum : quint8 {
    SE = 240,
    NOP = 241,
    SB = 250,
    WILL = 251,
    WONT = 252,
    DO = 253,
    DONT = 254,
    IAC = 255,
};
// The options either side takes part in; any other is refused.
enum : quint8 {
    OptBinary = 0,
    OptSuppressGoAhead = 3,
    OptComPort = 44,
};
} // namespace Telnet

namespace ComPortOption {
// Client to server; the server answers with the same code + 100.
enum : quint8 {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
    ServerOffset = 100,
};
enum : quint8 { ParityNone = 1, StopBits1 = 1, ControlNone = 1 };
// What PURGE-DATA empties on the server.
enum : quint8 { PurgeReceive = 1, PurgeTransmit = 2, PurgeBoth = 3 };
} // namespace ComPortOption

// Splits the other side's bytes into data and Telnet commands. Any byte sequence is
// taken: a command cut between two calls continues in the next, an unknown command is
// skipped, a subnegotiation longer than kMaxSubnegotiation is cut there.
class TelnetParser {
public:
    struct Command {
        quint8 verb = 0;   // WILL, WONT, DO, DONT, SB (payload unescaped) or another command
        quint8 option = 0; // the option of WILL ... DONT and SB
        QByteArray payload;
        // Where the command stood among the data: the size *data had when it came (a
        // command's effect on the data, BINARY's, begins there). Not compared.
        qsizetype dataAt = 0;
        bool operator==(const Command &o) const { return verb == o.verb && option == o.option && payload == o.payload; }
    };
    static constexpr int kMaxSubnegotiation = 256;

    // Appends the data bytes of bytes to *data and its commands to *commands.
    void feed(const QByteArray &bytes, QByteArray *data, QList<Command> *commands);
    void reset();

    // Data with every 0xFF doubled.
    static QByteArray escape(const QByteArray &data);
    static QByteArray command(quint8 verb, quint8 option);
    // IAC SB option payload IAC SE, the payload escaped.
    static QByteArray subnegotiation(quint8 option, const QByteArray &payload);

private:
    enum class State { Data, Iac, Option, SubOption, SubData, SubIac };
    State m_state = State::Data;
    quint8 m_verb = 0;
    Command m_sub;
};

// Which side enables which option, and the answers that keep both sides agreeing without
// loops: a request is answered only when it changes something, a refusal is acknowledged.
// An option this side does not take part in is refused once; the same request again
// changes nothing and gets no answer, so a peer repeating it cannot make this side write.
class TelnetOptions {
public:
    // The options this side enables on its own side (WILL) and asks of the other side (DO).
    TelnetOptions(QList<quint8> local, QList<quint8> remote);
    // Our offers and requests for the start of the session.
    QByteArray start();
    // Takes a WILL, WONT, DO or DONT; returns the answer to send (possibly empty).
    QByteArray handle(quint8 verb, quint8 option);
    bool localEnabled(quint8 option) const;
    bool remoteEnabled(quint8 option) const;
    // We asked the other side for the option (DO sent) and it has not refused, or it is on.
    bool remoteAsked(quint8 option) const;
    // The other side refused a local option we offered (DONT after our WILL).
    bool localRefused(quint8 option) const;

private:
    struct State {
        bool wanted = false;
        bool enabled = false;
        bool pending = false; // our request waits for its answer
        bool refused = false;
        bool refusalSent = false; // we refused the other side's request (an option we do not take)
    };
    State &local(quint8 option);
    State &remote(quint8 option);
    // The other side enables (WILL, DO) or disables (WONT, DONT) an option; the answer is
    // `yes` or `no`, or nothing when it answers a request of ours, changes nothing or
    // repeats a request already refused.
    static QByteArray enable(State &s, quint8 option, quint8 yes, quint8 no);
    static QByteArray disable(State &s, quint8 option, quint8 no);
    State m_local[256];
    State m_remote[256];
};

// The network virtual terminal's CR rule for one direction of a Telnet connection.
class NvtText {
public:
    // Appends from..to of in to *out, dropping the NUL after each CR while `text` (BINARY not
    // in force). A CR at the end of one call and its NUL at the start of the next are one pair.
    void take(const QByteArray &in, qsizetype from, qsizetype to, bool text, QByteArray *out);
    // Data with 0xFF doubled and, while `text`, each CR sent as CR NUL.
    static QByteArray encode(const QByteArray &data, bool text);

private:
    bool m_afterCr = false;
};

// The client side: offers the COM port option, sets the line once the server accepts it
// and checks every answer. ready() once all five line settings came back as asked;
// failed() with a reason when the server refused the option or set something else.
class Rfc2217Client {
public:
    enum class Failure { None, Refused, WrongSetting };

    Rfc2217Client();
    // The first bytes to send: the option offers and requests.
    QByteArray start();
    // Takes the server's bytes; appends the line's data to *data and returns the bytes to
    // send back (option answers, the line settings once the option is accepted).
    QByteArray receive(const QByteArray &bytes, QByteArray *data);
    // Data for the line: 0xFF doubled, and each CR as CR NUL while the server has not
    // agreed to our binary transmission.
    QByteArray encode(const QByteArray &data) const;
    // Binary transmission in force: from the server to us, from us to the server.
    bool binaryIn() const { return m_options.remoteEnabled(Telnet::OptBinary); }
    bool binaryOut() const { return m_options.localEnabled(Telnet::OptBinary); }
    // PURGE-DATA for the server's receive buffer, transmit buffer or both.
    static QByteArray purge(quint8 which);

    bool ready() const { return m_answered == kSettings && m_failure == Failure::None; }
    bool failed() const { return m_failure != Failure::None; }
    Failure failure() const { return m_failure; }
    // True once the server accepted the option (the settings may still be on their way).
    bool accepted() const { return m_options.localEnabled(Telnet::OptComPort); }
    // Why it failed, in English or Japanese (empty while it has not).
    QString reason(bool japanese) const;
    // The line settings the server answered so far, e.g. "9600 8N1, no flow control".
    QString lineText() const;
    // Purges the server confirmed.
    int purgesConfirmed() const { return m_purges; }

    // The settings asked: baud rate, data bits, parity, stop bits, flow control.
    static constexpr int kSettings = 5;
    static QByteArray lineSettings();

private:
    void onSubnegotiation(const QByteArray &payload);

    TelnetParser m_parser;
    TelnetOptions m_options;
    NvtText m_text;
    bool m_settingsSent = false;
    int m_answered = 0;
    bool m_got[kSettings] = {};
    int m_purges = 0;
    quint32 m_baud = 0;
    int m_dataBits = 0, m_parity = 0, m_stopBits = 0, m_control = 0;
    Failure m_failure = Failure::None;
    quint8 m_wrongCode = 0;
    quint32 m_wrongValue = 0;
};

// The server side, as qelvo-ctrlsim plays a device server: asks for the COM port option,
// answers every setting with the value asked (a query, value 0, with the line's present
// setting: 9600 8N1 without flow control) and records the purges asked. Once it has asked
// for the option (DO) it takes the client's settings, whether or not the client said WILL
// first: a client that read our DO as its answer never says it.
class Rfc2217Server {
public:
    // refuseComPort: a server that does not offer the option and refuses it when asked.
    // refuseBinary: one that keeps both directions network virtual terminal text.
    explicit Rfc2217Server(bool refuseComPort = false, bool refuseBinary = false);
    // The first bytes to send: DO COM-PORT-OPTION and binary transmission both ways.
    QByteArray start();
    // Takes the client's bytes; appends the line's data to *data and returns the answers.
    QByteArray receive(const QByteArray &bytes, QByteArray *data);
    // The line's bytes for the client: 0xFF doubled, each CR as CR NUL outside binary.
    QByteArray encode(const QByteArray &data) const;
    // The purges asked since the last call (PurgeReceive | PurgeTransmit bits).
    int takePurges();
    // A line that stays as it is, 9600 8N1 without flow control, whatever the client asks:
    // every setting is answered with the line's own (the watcher lends a site's line so).
    // The settings asked otherwise are counted.
    void setFixedLine(bool fixed) { m_fixed = fixed; }
    int settingsDeclined() const { return m_declined; }
    // The name the signature request is answered with.
    void setSignature(const QByteArray &name) { m_signature = name.left(64); }
    bool comPortEnabled() const { return m_options.remoteEnabled(Telnet::OptComPort); }
    // The settings the client asked for, in the order they came ("baud 9600", "data 8" ...):
    // the first kMaxRequests; the rest are only counted.
    static constexpr int kMaxRequests = 64;
    QStringList requests;
    int requestsDropped = 0;

private:
    void onSubnegotiation(const QByteArray &payload, QByteArray *answer);
    void record(const QString &request);

    TelnetParser m_parser;
    TelnetOptions m_options;
    NvtText m_text;
    bool m_refuse = false;
    bool m_fixed = false;
    int m_declined = 0;
    QByteArray m_signature = "qelvo-ctrlsim";
    int m_purges = 0;
};
