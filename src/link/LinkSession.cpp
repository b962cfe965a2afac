#include "link/LinkSession.h"

#include "link/ChannelExchange.h"
#include "link/ConnectionCheck.h"
#include "link/Exchange.h"
#include "link/PollExchange.h"
#include "link/PositionExchange.h"
#include "link/SettingsTransfer.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"

namespace {
const QString kCheckPort = QStringLiteral("通信ﾎﾟｰﾄの状態を確認して下さい。");
const QString kCrLf = QStringLiteral("\r\n");

// A run of passes that never waits would hold the program; this many in a row hand the
// rest to the event loop.
constexpr int kBusyPassesPerTurn = 10000;
// Every exchange that waits has a timer armed or waits for the port, whose activity ends
// a wait; this bound only guards against neither.
constexpr int kIdleWaitLimitMs = 60000;

// The boxes of a session that was given none: each answered with its safe button.
DialogService &silentDialogs()
{
    static SilentDialogs d;
    return d;
}
} // namespace

const char *LinkOutcomeName(LinkOutcome o)
{
    switch (o) {
    case LinkOutcome::Done: return "done";
    case LinkOutcome::Refused: return "refused";
    case LinkOutcome::NotUnderstood: return "not understood";
    case LinkOutcome::GaveUp: return "gave up";
    case LinkOutcome::NoReply: return "no reply";
    case LinkOutcome::DeviceGone: return "device gone";
    case LinkOutcome::SendFailed: return "send failed";
    case LinkOutcome::Cancelled: return "cancelled";
    case LinkOutcome::Busy: return "busy";
    }
    return "?";
}

// ---------------------------------------------------------------- the session

LinkSession::LinkSession(std::unique_ptr<SerialPortService> port, QObject *parent)
    : QObject(parent), m_ownPort(std::move(port))
{
    init();
    hookPort(*m_ownPort);
}

LinkSession::LinkSession(LinkView *view, QObject *parent) : QObject(parent), m_view(view) { init(); }

LinkSession::~LinkSession()
{
    if (m_ownPort) {
        m_ownPort->cancelOpen();
        m_hooked->onActivity = nullptr;
        m_hooked->onCommEvent = nullptr;
    }
}

void LinkSession::init()
{
    m_sendExchange = std::make_unique<SendExchange>(*this);
    m_check = std::make_unique<ConnectionCheck>(*this);
    m_transfer = std::make_unique<SettingsTransfer>(*this);
    m_poll = std::make_unique<PollExchange>(*this);
    m_channel = std::make_unique<ChannelExchange>(*this);
    m_position = std::make_unique<PositionExchange>(*this);
    m_replyTimer.onTick = [this] {
        m_view->replyTimeUp = 1;
        poke();
    };
    m_commTimer.onTick = [this] {
        m_view->commTimeUp = -1;
        poke();
    };
    m_boundTimer.onTick = [this] {
        m_boundTimer.setEnabled(false);
        m_boundUp = true;
        poke();
    };
    m_drainTimer.onTick = [this] {
        m_drainTimer.setEnabled(false);
        m_drainUp = true;
        poke();
    };
    m_passTimer.onTick = [this] {
        m_passTimer.setEnabled(false);
        poke();
    };
}

SerialPortService &LinkSession::port()
{
    if (m_ownPort)
        return *m_ownPort;
    SerialPortService &p = MSComm1();
    // A port installed in place of another may stand at the freed one's address: one without
    // the session's hooks gets them.
    if (&p != m_hooked || !p.onActivity)
        hookPort(p);
    return p;
}

void LinkSession::hookPort(SerialPortService &p)
{
    // A port installed before this one was unhooked when it was replaced (installSerialPort).
    m_hooked = &p;
    p.onActivity = [this] { poke(); };
    p.onCommEvent = [this](int, const QString &description) { onPortEvent(description); };
}

int LinkSession::msgBox(const QString &text, int style, const QString &caption)
{
    m_reason = text;
    return (m_options.dialogs ? *m_options.dialogs : silentDialogs()).msgBox(text, style, caption);
}

void LinkSession::onPortEvent(const QString &description)
{
    // The device went away and the backend has closed the port. An exchange that waits on
    // it sees the closed port and ends through its own messages; whoever holds the line
    // hears of it.
    emit deviceGone(description);
    poke();
}

// ---------------------------------------------------------------- port and buffer

void LinkSession::openPort(int commPort, std::function<void(const CommError &)> done)
{
    SerialPortService &p = port();
    if (p.portOpen()) {
        if (done)
            QMetaObject::invokeMethod(this, [done] { done(CommError{}); }, Qt::QueuedConnection);
        return;
    }
    p.setCommPort(commPort);
    p.openAsync([this, done](const CommError &e) {
        if (!e.failed() && port().portOpen()) {
            m_lostTold = false;
            port().clearInBuffer();
        }
        if (done)
            done(e.failed() || port().portOpen() ? e : CommError{comPortOpenFailed, QStringLiteral("the port did not open")});
    });
}

CommError LinkSession::openPortAndWait(int commPort)
{
    if (port().portOpen())
        return {};
    auto result = std::make_shared<std::optional<CommError>>();
    openPort(commPort, [result](const CommError &e) { *result = e; });
    // A device opens in the next turn of the event loop, a device server's line when its
    // connection (and its negotiation) is through; the windows go on meanwhile.
    DoEvents();
    while (!result->has_value())
        WaitForEvent(kIdleWaitLimitMs);
    return **result;
}

bool LinkSession::checkPort(int commPort)
{
    SerialPortService &p = port();
    if (p.portOpen())
        return p.commPort() == commPort;
    if (openPortAndWait(commPort).failed())
        return false;
    if (port().portOpen())
        return !port().setPortOpen(false).failed();
    return true;
}

CommError LinkSession::closePort()
{
    SerialPortService &p = port();
    p.cancelOpen();
    if (!p.portOpen())
        return {};
    return p.setPortOpen(false);
}

CommError LinkSession::portLost()
{
    const SerialPortService &p = port();
    if (p.portOpen())
        return {};
    const QString why = p.lostReason();
    return why.isEmpty() ? CommError{} : HangUpError(why);
}

bool LinkSession::sendFailedBox(const CommError &e)
{
    if (e.number == comHangUp)
        m_lostTold = true;
    const QString text = kCheckPort + kCrLf + ErrTextErrNumber(e);
    return msgBox(text, vbRetryCancel + vbCritical, QStringLiteral("g_funcCommOutPut")) == vbRetry;
}

bool LinkSession::lostReport()
{
    if (m_lostTold)
        return false;
    CommError e = portLost();
    if (!e.failed())
        return false;
    while (sendFailedBox(e)) {
        // Retry: the port stays closed until an exchange opens it again.
        e = portLost();
        if (!e.failed())
            break;
    }
    return true;
}

void LinkSession::receive() { ReceiveInto(m_view->inPut, port().input()); }

void LinkSession::clearBuffers()
{
    SerialPortService &p = port();
    p.clearOutBuffer();
    p.clearInBuffer();
    p.input();
}

void LinkSession::purge()
{
    clearBuffers();
    const CommError e = closePort();
    if (e.failed())
        msgBox(ErrTextErrNumber(e), vbOKOnly + vbCritical, QStringLiteral("通信ﾎﾟｰﾄをｸﾛｰｽﾞします"));
    // The link stays as it was: the analog monitor's next exchange opens the port again.
}

// ---------------------------------------------------------------- timers

void LinkSession::replyTimerStart()
{
    m_replyTimer.setEnabled(false);
    m_replyTimer.setInterval(kReplyTimerMs);
    m_view->replyTimeUp = 0;
    m_replyTimer.setEnabled(true);
}

void LinkSession::replyTimerStop()
{
    m_replyTimer.setEnabled(false);
    m_view->replyTimeUp = 0;
}

void LinkSession::commTimerStart()
{
    if (m_commTimer.Enabled()) {
        msgBox(QStringLiteral("通信ﾀｲﾑｱｳﾄﾀｲﾏｰを二重に開始しようとしました。"), vbOKOnly + vbExclamation, g_strAppTitle);
        return;
    }
    m_view->commTimeUp = 0;
    emit waitCursorChanged(true);
    m_commTimer.setInterval(kCommTimerMs);
    m_commTimer.setEnabled(true);
}

void LinkSession::commTimerStop()
{
    m_commTimer.setEnabled(false);
    m_commTimer.setInterval(0);
    m_view->commTimeUp = 0;
    emit waitCursorChanged(false);
}

void LinkSession::boundStart(int ms)
{
    m_boundUp = false;
    m_boundTimer.setEnabled(false);
    m_boundTimer.setInterval(ms);
    m_boundTimer.setEnabled(true);
}

// ---------------------------------------------------------------- the send

void LinkSession::sendBegin(const QString &command)
{
    m_sendFrame = command.toLatin1() + '\r';
    m_send = SendPhase::Start;
}

LinkSession::SendPhase LinkSession::sendPass()
{
    const QString caption = QStringLiteral("g_funcCommOutPut");
    for (;;) {
        SerialPortService &p = port();
        CommError e;
        if (m_send == SendPhase::Start) {
            m_view->inPut.clear();
            if (!p.portOpen()) {
                // A port that closed by itself says why; one never opened has nothing to say.
                e = portLost();
            } else {
                e = p.output(m_sendFrame);
                if (!e.failed()) {
                    // The transmit buffer gets 20 s to drain; the wait wakes as the bytes leave.
                    m_drainUp = false;
                    m_drainTimer.setEnabled(false);
                    m_drainTimer.setInterval(kTransmitWaitMs);
                    m_drainTimer.setEnabled(true);
                    m_send = SendPhase::Draining;
                    continue;
                }
            }
        } else if (m_send == SendPhase::Draining) {
            if (!p.portOpen()) {
                // The port closed under the wait: the line did not go out.
                m_drainTimer.setEnabled(false);
                e = HangUpError(p.lostReason());
            } else if (p.outBufferCount() == 0) {
                m_drainTimer.setEnabled(false);
                m_send = SendPhase::Sent;
                return m_send;
            } else if (m_drainUp) {
                msgBox(kCheckPort + kCrLf + QStringLiteral("送信ﾊﾞｯﾌｧｰ空き待ちﾀｲﾑｱｯﾌﾟ"), vbOKOnly + vbCritical, caption);
                m_send = SendPhase::Failed;
                return m_send;
            } else {
                return m_send;
            }
        } else {
            return m_send;
        }
        if (!sendFailedBox(e)) {
            m_send = SendPhase::Failed;
            return m_send;
        }
        m_send = SendPhase::Start;
    }
}

// ---------------------------------------------------------------- driving

bool LinkSession::refusedAsBusy(const LinkDone &done)
{
    if (!busy())
        return false;
    if (done)
        done(LinkResult{LinkOutcome::Busy, {}, 0, {}, false});
    return true;
}

void LinkSession::start(LinkExchange &exchange, LinkDone done)
{
    m_running = &exchange;
    m_done = std::move(done);
    m_reason.clear();
    m_send = SendPhase::None;
    m_boundUp = false;
    port(); // the program's session hooks the installed port before it waits on it
    exchange.begin();
    showView();
    drive();
}

void LinkSession::finish(LinkOutcome outcome, const QString &reply, bool sent, double volts)
{
    m_boundTimer.setEnabled(false);
    m_drainTimer.setEnabled(false);
    m_passTimer.setEnabled(false);
    m_send = SendPhase::None;
    showView();
    m_running = nullptr;
    m_last = LinkResult();
    m_last.outcome = outcome;
    m_last.reply = reply;
    m_last.sent = sent;
    m_last.volts = volts;
    m_last.reason = m_reason;
    if (outcome == LinkOutcome::DeviceGone && m_last.reason.isEmpty())
        m_last.reason = HangUpError().description;
    LinkDone done = std::move(m_done);
    m_done = nullptr;
    if (done)
        done(m_last);
}

void LinkSession::showView()
{
    if (m_running)
        m_running->describe(*m_view);
}

void LinkSession::poke()
{
    if (!m_running) {
        if (m_idle)
            m_idle();
        return;
    }
    if (m_driving) {
        m_again = true; // the running drive takes another pass
        return;
    }
    // The next pass runs from the event loop, never inside the port's own handler; one
    // waiting pass serves every poke until it runs (bytes, a drained buffer and a timer
    // together).
    if (m_drivePosted)
        return;
    m_drivePosted = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_drivePosted = false;
            drive();
        },
        Qt::QueuedConnection);
}

void LinkSession::drive()
{
    if (m_driving) {
        m_again = true;
        return;
    }
    m_driving = true;
    int busyPasses = 0;
    while (m_running) {
        m_again = false;
        LinkExchange *x = m_running;
        const LinkExchange::Pass p = x->pass();
        if (m_running == x)
            showView();
        if (p == LinkExchange::Pass::Busy) {
            if (++busyPasses < kBusyPassesPerTurn)
                continue;
            m_driving = false;
            poke();
            return;
        }
        if (p == LinkExchange::Pass::Idle && !m_again)
            break;
    }
    m_driving = false;
}

LinkResult LinkSession::wait()
{
    while (busy()) {
        drive();
        if (!busy())
            break;
        WaitForEvent(kIdleWaitLimitMs);
    }
    return m_last;
}

LinkResult LinkSession::run(const std::function<void(LinkDone)> &begin)
{
    if (busy()) {
        LinkResult r;
        r.outcome = LinkOutcome::Busy;
        return r;
    }
    begin(nullptr);
    return wait();
}

void LinkSession::reset()
{
    m_running = nullptr;
    m_done = nullptr;
    m_send = SendPhase::None;
    m_replyTimer.setEnabled(false);
    m_commTimer.setEnabled(false);
    m_boundTimer.setEnabled(false);
    m_drainTimer.setEnabled(false);
    m_passTimer.setEnabled(false);
    *m_view = LinkView();
    m_poll->forget();
    resetPollWatch();
}
