#pragma once
// The base of an exchange of a LinkSession: a state machine that the session drives one pass
// at a time whenever the port shows activity (bytes arrived, the transmit buffer drained,
// the port closed) or one of the session's timers ticks. A pass that finds nothing new
// returns Idle; nothing polls. Each exchange keeps its own fields and its own steps; what
// it shares with the others is here: the session's port, receive buffer and timers, the
// send of one command line, the boxes and the end with a result.
#include "link/LinkSession.h"

class LinkExchange {
public:
    enum class Pass { Busy, Idle, Finished };

    explicit LinkExchange(LinkSession &session) : m_s(session) {}
    virtual ~LinkExchange() = default;
    LinkExchange(const LinkExchange &) = delete;
    LinkExchange &operator=(const LinkExchange &) = delete;

    // Called when the session starts the exchange, after its own set-up (a timer it needs
    // from the start goes on here).
    virtual void begin() {}
    virtual Pass pass() = 0;
    // Asked to end ("中止", a monitor's stop): the default ignores it.
    virtual void cancel() {}
    // What the written names show of it (step, end flag, address, command, counters).
    virtual void describe(LinkView &view) const = 0;

protected:
    // How the shared send of a command line stands after a pass of it.
    enum class SendStep { Waiting, Sent, Failed };

    SerialPortService &port() { return m_s.port(); }
    QString &buffer() { return m_s.m_view->inPut; }
    void receive() { m_s.receive(); }
    bool hasCr() { return buffer().contains(QLatin1Char('\r')); }
    const SessionOptions &options() const { return m_s.m_options; }

    // The send: the line goes out, the transmit buffer drains within its bound; a failure
    // shows the send's box (Retry tries again).
    void sendBegin(const QString &command) { m_s.sendBegin(command); }
    bool sending() const { return m_s.m_send != LinkSession::SendPhase::None; }
    SendStep driveSend();
    // Forgets a send under way (a cancelled transfer).
    void dropSend() { m_s.m_send = LinkSession::SendPhase::None; }
    // The end of an exchange whose command could not be sent: SendFailed, or DeviceGone
    // when the port has closed.
    Pass sendFailed();

    Pass finish(LinkOutcome outcome, const QString &reply = QString(), bool sent = true, double volts = 0)
    {
        m_s.finish(outcome, reply, sent, volts);
        return Pass::Finished;
    }
    int msgBox(const QString &text, int style, const QString &caption) { return m_s.msgBox(text, style, caption); }
    bool lostReport() { return m_s.lostReport(); }
    void replyTimeOutBox();

    void replyTimerStart() { m_s.replyTimerStart(); }
    void replyTimerStop() { m_s.replyTimerStop(); }
    bool replyTimeUp() const { return m_s.m_view->replyTimeUp == 1; }
    void commTimerStart() { m_s.commTimerStart(); }
    void commTimerStop() { m_s.commTimerStop(); }
    bool commTimeUp() const { return m_s.m_view->commTimeUp == -1; }
    // The bound on a reply (the poll's and the channel's twenty seconds).
    void boundStart(int ms) { m_s.boundStart(ms); }
    void boundStop() { m_s.m_boundTimer.setEnabled(false); }
    bool boundUp() const { return m_s.m_boundUp; }
    // Another pass in a moment (more bytes of a short line may come).
    void passSoon();

    LinkSession &session() { return m_s; }

private:
    LinkSession &m_s;
};

// The send of one command line as an exchange of its own.
class SendExchange : public LinkExchange {
public:
    using LinkExchange::LinkExchange;
    void prepare(const QString &command) { m_command = command; }
    void begin() override { sendBegin(m_command); }
    Pass pass() override
    {
        switch (driveSend()) {
        case SendStep::Sent: return finish(LinkOutcome::Done);
        case SendStep::Failed: return sendFailed();
        case SendStep::Waiting: break;
        }
        return Pass::Idle;
    }
    void describe(LinkView &) const override {}

private:
    QString m_command;
};
