#include "link/LinkSession.h"

#include "core/modMain1.h"
#include "link/modComm1.h"
#include "link/modPos.h"
#include "link/modProtocol.h"
#include "link/modTransfer.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "settings/modUserData.h"

#include <cctype>

namespace {
const QString kCheckPort = QStringLiteral("通信ﾎﾟｰﾄの状態を確認して下さい。");

bool isHexPair(const QString &s)
{
    if (s.size() != 2)
        return false;
    for (QChar c : s)
        if (c.unicode() > 127 || !std::isxdigit(c.toLatin1()))
            return false;
    return true;
}

// A run of passes that never waits would hold the program; this many in a row hand the
// rest to the event loop.
constexpr int kBusyPassesPerTurn = 10000;
} // namespace

const char *LinkOutcomeName(LinkOutcome o)
{
    switch (o) {
    case LinkOutcome::Done: return "done";
    case LinkOutcome::Refused: return "refused";
    case LinkOutcome::NotUnderstood: return "not understood";
    case LinkOutcome::NoReply: return "no reply";
    case LinkOutcome::DeviceGone: return "device gone";
    case LinkOutcome::SendFailed: return "send failed";
    case LinkOutcome::Cancelled: return "cancelled";
    case LinkOutcome::Busy: return "busy";
    }
    return "?";
}

LinkSession::LinkSession(std::unique_ptr<SerialPortService> port, QObject *parent)
    : QObject(parent), m_ownPort(std::move(port))
{
    init();
    hookPort(*m_ownPort);
}

LinkSession::LinkSession(LinkState *state, QObject *parent) : QObject(parent), m_state(state) { init(); }

LinkSession::~LinkSession()
{
    if (m_ownPort) {
        m_hooked->onActivity = nullptr;
        m_hooked->onCommEvent = nullptr;
    }
}

void LinkSession::init()
{
    m_replyTimer.onTick = [this] {
        m_state->replyTimeUp = 1;
        poke();
    };
    m_commTimer.onTick = [this] {
        m_state->commTimeUp = -1;
        poke();
    };
    m_waitTimer.onTick = [this] {
        m_waitTimer.setEnabled(false);
        m_waitUp = true;
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
    p.onCommEvent = [this](int event, const QString &description) { onPortEvent(event, description); };
}

void LinkSession::setScale(const ReadingScale &scale)
{
    m_scale = scale;
    m_hasScale = true;
}

ReadingScale LinkSession::scale() const
{
    if (m_hasScale)
        return m_scale;
    return {g_intInputType == 0 ? 1 : g_intInputType, g_dblScale, g_strUnit};
}

int LinkSession::msgBox(const QString &text, int style, const QString &caption)
{
    m_reason = text;
    return (m_dialogs ? *m_dialogs : dialogs()).msgBox(text, style, caption);
}

// ---------------------------------------------------------------- state

void LinkSession::setConnectStatus(qint16 status)
{
    if (m_state->connectStatus == status)
        return;
    m_state->connectStatus = status;
    emit connectStatusChanged(status);
}

void LinkSession::setCommBusy(qint16 busy)
{
    if (m_state->commBusy == busy)
        return;
    m_state->commBusy = busy;
    if (busy == 0 || busy == 1)
        emit busyLockChanged(busy == 1);
}

void LinkSession::setMonitorOn(qint16 on)
{
    if (m_state->monitorOn == on)
        return;
    m_state->monitorOn = on;
    emit monitorOnChanged(on);
}

void LinkSession::setMonitorStop(qint16 stop)
{
    if (m_state->monitorStop == stop)
        return;
    m_state->monitorStop = stop;
    emit monitorStopChanged(stop == 1);
    poke(); // a poll waiting for its reply ends at the stop
}

void LinkSession::setTransferRunning(bool running)
{
    m_state->transferRunning = running;
    emit transferRunningChanged(running);
}

void LinkSession::resetExchangeState()
{
    *m_state = LinkState();
    m_replyTimer.setEnabled(false);
    m_commTimer.setEnabled(false);
    m_waitTimer.setEnabled(false);
    m_drainTimer.setEnabled(false);
    m_passTimer.setEnabled(false);
    m_state->inPut.clear();
    m_state->step = m_state->commEnd = m_state->address = 0;
    m_state->command.clear();
    m_state->shortReplies = m_state->noReplies = 0;
    m_state->replyTimeUp = m_state->commTimeUp = 0;
    m_kind = Kind::None;
    m_done = nullptr;
    m_send = SendPhase::None;
    m_cancelled = false;
    m_pendingOpen = false;
    m_reading = Reading();
    resetPollWatch();
}

void LinkSession::onPortEvent(int, const QString &description)
{
    emit deviceGone(description);
    // The device went away and the backend has closed the port. An exchange that waits on
    // it sees the closed port and ends through its own messages; an idle connection is shown
    // as ended at once.
    const LinkState &s = *m_state;
    if (s.connectStatus == 1 && s.commBusy == 0 && !s.transferRunning && s.monitorOn == 0 && s.pollBusy == 0)
        setConnectStatus(0);
    poke();
}

// ---------------------------------------------------------------- port and buffer

bool LinkSession::openPort(int commPort)
{
    SerialPortService &p = port();
    if (p.portOpen())
        return true;
    p.setCommPort(commPort);
    if (p.setPortOpen(true).failed())
        return false;
    portOpened();
    return true;
}

void LinkSession::portOpened()
{
    m_lostTold = false;
    port().clearInBuffer();
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
    const QString text = kCheckPort + vbCrLf + ErrTextErrNumber(e);
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

int LinkSession::replyWaitMs() const { return m_replyWaitMs > 0 ? m_replyWaitMs : g_lngReplyWaitMs; }
int LinkSession::sendLimit() const { return m_sendLimit >= 0 ? m_sendLimit : g_intTransferSendLimit; }

bool LinkSession::checkPort(int commPort)
{
    SerialPortService &p = port();
    if (p.portOpen())
        return p.commPort() == commPort;
    p.setCommPort(commPort);
    if (p.setPortOpen(true).failed())
        return false;
    if (p.portOpen())
        return !p.setPortOpen(false).failed();
    return true;
}

CommError LinkSession::closePort()
{
    SerialPortService &p = port();
    if (!p.portOpen())
        return {};
    return p.setPortOpen(false);
}

void LinkSession::receive()
{
    const QByteArray in = port().input();
    if (!in.isEmpty())
        m_state->inPut += QString::fromLatin1(in);
    // Upper case first: it can make a text longer ("ß" becomes "SS"), and the limit holds
    // for what stays in the buffer.
    m_state->inPut = m_state->inPut.toUpper();
    if (m_state->inPut.size() > kReceiveLimit)
        m_state->inPut = m_state->inPut.right(kReceiveLimit);
}

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
    m_replyTimer.setInterval(1000);
    m_state->replyTimeUp = 0;
    m_replyTimer.setEnabled(true);
}

void LinkSession::replyTimerStop()
{
    m_replyTimer.setEnabled(false);
    m_state->replyTimeUp = 0;
}

void LinkSession::commTimerStart()
{
    if (m_commTimer.Enabled()) {
        msgBox(QStringLiteral("通信ﾀｲﾑｱｳﾄﾀｲﾏｰを二重に開始しようとしました。"), vbOKOnly + vbExclamation, g_strAppTitle);
        return;
    }
    m_state->commTimeUp = 0;
    emit waitCursorChanged(true);
    m_commTimer.setInterval(10000);
    m_commTimer.setEnabled(true);
}

void LinkSession::commTimerStop()
{
    m_commTimer.setEnabled(false);
    m_commTimer.setInterval(0);
    m_state->commTimeUp = 0;
    emit waitCursorChanged(false);
}

// ---------------------------------------------------------------- reply checks

bool LinkSession::hasCr() const { return m_state->inPut.contains(QLatin1Char('\r')); }

qint16 LinkSession::lCheck()
{
    receive();
    if (!port().portOpen())
        return 0;
    if (m_state->inPut == QLatin1String("L0001\r")) {
        m_state->inPut.clear();
        return 2;
    }
    if (m_state->inPut == QLatin1String("?\r")) {
        m_sawQuestion = true;
        m_state->inPut.clear();
    }
    return 1;
}

void LinkSession::letterCheck(QChar letter)
{
    receive();
    if (!hasCr()) {
        m_state->step = 20;
    } else if (m_state->inPut.contains(letter)) {
        m_state->step = 30;
    } else if (m_state->inPut.contains(QLatin1Char('?'))) {
        m_sawQuestion = true;
        m_state->inPut.clear();
        m_state->step = 11;
    }
}

void LinkSession::rCheck() { letterCheck(QLatin1Char('R')); }
void LinkSession::wCheck() { letterCheck(QLatin1Char('W')); }

bool LinkSession::eCheck()
{
    receive();
    if (hasCr() && m_state->inPut.contains(QLatin1Char('E'))) {
        m_state->inPut.clear();
        return true;
    }
    if (hasCr() && m_state->inPut.contains(QLatin1Char('?'))) {
        m_sawQuestion = true;
        m_state->inPut.clear();
    }
    return false;
}

qint16 LinkSession::pCheck()
{
    receive();
    if (!hasCr())
        return 100;
    if (m_state->inPut.contains(QLatin1Char('P')))
        return 1;
    if (m_state->inPut.contains(QLatin1Char('?'))) {
        m_state->inPut.clear();
        return 3;
    }
    return 0;
}

QString LinkSession::readData() const
{
    const qsizetype r = m_state->inPut.indexOf(QLatin1Char('R'));
    return r < 0 ? QString() : m_state->inPut.mid(r + 1, 2);
}

qint16 LinkSession::pollParse()
{
    receive();
    if (m_state->inPut.isEmpty()) {
        if (m_state->noReplies > 5)
            return 40;
        ++m_state->noReplies;
        return 100;
    }
    const QChar first = m_state->inPut.at(0);
    if (first == QLatin1Char('?'))
        return 0;
    // "N" and four digits, or "Y" and two; a short line gets a few more passes.
    int length = 0, patience = 0;
    if (first == QLatin1Char('N')) {
        length = 5;
        patience = 4;
    } else if (first == QLatin1Char('Y')) {
        length = 3;
        patience = 2;
    } else {
        return 40;
    }
    if (m_state->inPut.size() >= length) {
        m_state->shortReplies = 0;
        return 1;
    }
    if (m_state->shortReplies > patience)
        return 40;
    ++m_state->shortReplies;
    return 100;
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

void LinkSession::start(Kind kind, LinkDone done)
{
    m_kind = kind;
    m_done = std::move(done);
    m_reason.clear();
    m_sawQuestion = false;
    m_send = SendPhase::None;
    m_waitUp = false;
    port(); // the program's session hooks the installed port before it waits on it
    drive();
}

void LinkSession::finish(LinkOutcome outcome, const QString &reply, bool sent)
{
    m_waitTimer.setEnabled(false);
    m_drainTimer.setEnabled(false);
    m_passTimer.setEnabled(false);
    m_send = SendPhase::None;
    m_kind = Kind::None;
    m_last = LinkResult();
    m_last.outcome = outcome;
    m_last.reply = reply;
    m_last.sent = sent;
    m_last.volts = m_volts;
    m_volts = 0;
    m_last.reason = m_reason;
    if (outcome == LinkOutcome::DeviceGone && m_last.reason.isEmpty())
        m_last.reason = HangUpError().description;
    LinkDone done = std::move(m_done);
    m_done = nullptr;
    if (done)
        done(m_last);
}

constexpr int kIdleWaitLimitMs = 60000;

void LinkSession::poke()
{
    if (m_kind == Kind::None)
        return;
    if (m_driving) {
        m_again = true; // the running drive takes another pass
        return;
    }
    // The next pass runs from the event loop, never inside the port's own handler.
    QMetaObject::invokeMethod(this, [this] { drive(); }, Qt::QueuedConnection);
}

void LinkSession::drive()
{
    if (m_driving) {
        m_again = true;
        return;
    }
    m_driving = true;
    int busyPasses = 0;
    while (m_kind != Kind::None) {
        m_again = false;
        const Pass p = pass();
        if (p == Pass::Busy) {
            if (++busyPasses < kBusyPassesPerTurn)
                continue;
            m_driving = false;
            poke();
            return;
        }
        if (p == Pass::Idle && !m_again)
            break;
    }
    m_driving = false;
}

LinkSession::Pass LinkSession::pass()
{
    switch (m_kind) {
    case Kind::None: return Pass::Finished;
    case Kind::Send: return passSend();
    case Kind::Check: return passCheck();
    case Kind::Read:
    case Kind::Write: return passTransfer();
    case Kind::Poll: return passPoll();
    case Kind::ChannelRead: return passChannel();
    case Kind::AnalogOut: return passAnalogOut();
    case Kind::Position: return passPosition();
    }
    return Pass::Finished;
}

LinkResult LinkSession::wait()
{
    while (busy()) {
        drive();
        if (!busy())
            break;
        // Every exchange that waits has a timer armed (the reply timer, its bound) or waits
        // for the port, whose activity ends this wait; the limit only guards against neither.
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
            m_state->inPut.clear();
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
                msgBox(kCheckPort + vbCrLf + QStringLiteral("送信ﾊﾞｯﾌｧｰ空き待ちﾀｲﾑｱｯﾌﾟ"), vbOKOnly + vbCritical, caption);
                m_send = SendPhase::Failed;
                return m_send;
            } else {
                return m_send;
            }
        } else {
            return m_send;
        }
        m_sendError = e;
        if (!sendFailedBox(e)) {
            m_send = SendPhase::Failed;
            return m_send;
        }
        m_send = SendPhase::Start;
    }
}

void LinkSession::send(const QString &command, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    sendBegin(command);
    start(Kind::Send, std::move(done));
}

LinkSession::Pass LinkSession::passSend()
{
    if (m_send == SendPhase::None)
        m_send = SendPhase::Start;
    switch (sendPass()) {
    case SendPhase::Sent: finish(LinkOutcome::Done); return Pass::Finished;
    case SendPhase::Failed:
        finish(port().portOpen() ? LinkOutcome::SendFailed : LinkOutcome::DeviceGone, QString(), false);
        return Pass::Finished;
    default: return Pass::Idle;
    }
}

// ---------------------------------------------------------------- connection check

void LinkSession::checkConnection(LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_state->commEnd = 0;
    port().clearInBuffer();
    m_state->step = 0;
    commTimerStart();
    start(Kind::Check, std::move(done));
}

LinkSession::Pass LinkSession::passCheck()
{
    if (m_send != SendPhase::None) {
        // "L" goes out; whether it went or not, the reply timer runs next.
        const SendPhase s = sendPass();
        if (s != SendPhase::Sent && s != SendPhase::Failed)
            return Pass::Idle;
        m_send = SendPhase::None;
        m_state->step = 1;
        return Pass::Busy;
    }
    if (m_state->commTimeUp == -1) {
        commTimerStop();
        replyTimerStop();
        finish(LinkOutcome::NoReply);
        return Pass::Finished;
    }
    switch (m_state->step) {
    case 0:
        sendBegin(QStringLiteral("L"));
        return Pass::Busy;
    case 1:
        replyTimerStart();
        m_state->step = 2;
        return Pass::Busy;
    case 2: {
        if (m_state->replyTimeUp == 1) {
            replyTimerStop();
            m_state->step = 0;
            return Pass::Busy;
        }
        const qint16 r = lCheck();
        if (r == 0) {
            replyTimerStop();
            // A port that closed by itself (a device server that ends the connection at once
            // when its line is busy) says why.
            lostReport();
            finish(LinkOutcome::DeviceGone);
            return Pass::Finished;
        }
        if (r == 1)
            return Pass::Idle;
        m_state->step = 40;
        replyTimerStop();
        return Pass::Busy;
    }
    case 40:
        m_state->commEnd = 1;
        finish(LinkOutcome::Done);
        return Pass::Finished;
    default:
        finish(LinkOutcome::Cancelled);
        return Pass::Finished;
    }
}

// ---------------------------------------------------------------- read and write

void LinkSession::readSettings(MemCell *image, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    startTransfer(Kind::Read, image, nullptr, std::move(done));
}

void LinkSession::writeSettings(const MemCell *image, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    startTransfer(Kind::Write, nullptr, image, std::move(done));
}

void LinkSession::startTransfer(Kind kind, MemCell *readInto, const MemCell *writeFrom, LinkDone done)
{
    m_readImage = readInto;
    m_writeImage = writeFrom;
    m_refusal = TransferRefusal();
    noteAnswered();
    m_cancelled = false;
    m_state->commEnd = 0;
    m_state->address = 0;
    m_state->step = 0;
    m_progress = 0;
    start(kind, std::move(done));
}

bool LinkSession::noteNoAnswer(const QString &command, const QString &reply)
{
    m_sendNoted = true;
    if (m_unansweredCommand != command) {
        m_unansweredCommand = command;
        m_unansweredSends = 0;
    }
    ++m_unansweredSends;
    const int limit = sendLimit();
    if (limit <= 0 || m_unansweredSends < limit)
        return false;
    const bool refused = reply.section(QLatin1Char('\r'), 0, 0).trimmed() == QLatin1String("?");
    m_refusal = {refused ? TransferRefusal::Refused : TransferRefusal::NotUnderstood, command, reply,
                 m_unansweredSends};
    return true;
}

void LinkSession::noteAnswered()
{
    m_unansweredCommand.clear();
    m_unansweredSends = 0;
}

LinkSession::Pass LinkSession::giveUp()
{
    replyTimerStop();
    finish(m_refusal.kind == TransferRefusal::Refused ? LinkOutcome::Refused : LinkOutcome::NotUnderstood,
           m_refusal.reply);
    return Pass::Finished;
}

void LinkSession::cancel()
{
    m_cancelled = true;
    m_state->step = 60;
    poke();
}

// Steps first, first + 1 and first + 2: send the command, start the reply timer, then wait
// for the check (0 port closed, 1 not yet, 2 accepted); the command goes again each second
// until it is accepted, and the exchange goes on at step next.
LinkSession::Pass LinkSession::repeatEachSecond(qint16 first, const QString &command,
                                                const std::function<qint16()> &check, qint16 next)
{
    const int phase = m_state->step - first;
    if (phase == 0) {
        sendBegin(command);
        m_sendNoted = false;
        m_state->step = qint16(first + 1);
        return Pass::Busy;
    }
    if (phase == 1) {
        replyTimerStart();
        m_state->step = qint16(first + 2);
        return Pass::Busy;
    }
    if (m_state->replyTimeUp == 1) {
        replyTimerStop();
        m_state->step = first;
        // Bytes without a line end are no answer either.
        if (!m_sendNoted && !m_state->inPut.isEmpty() && noteNoAnswer(command, m_state->inPut))
            return giveUp();
        return Pass::Busy;
    }
    // What stood in the buffer before the check, which empties it after a "?".
    receive();
    const QString seen = m_state->inPut;
    switch (check()) {
    case 0:
        replyTimerStop();
        finish(LinkOutcome::DeviceGone);
        return Pass::Finished;
    case 2:
        m_state->step = next;
        replyTimerStop();
        noteAnswered();
        return Pass::Busy;
    default:
        if (!m_sendNoted && seen.contains(QLatin1Char('\r')) && noteNoAnswer(command, seen))
            return giveUp();
        return Pass::Idle;
    }
}

LinkSession::Pass LinkSession::passTransfer()
{
    const bool reading = m_kind == Kind::Read;
    if (m_send != SendPhase::None) {
        const SendPhase s = sendPass();
        if (s != SendPhase::Sent && s != SendPhase::Failed)
            return m_cancelled ? (m_send = SendPhase::None, Pass::Busy) : Pass::Idle;
        m_send = SendPhase::None;
        // The prepared command of step 11 goes again when it could not be sent.
        if (m_state->step == 11)
            m_state->step = s == SendPhase::Sent ? 12 : 11;
        return Pass::Busy;
    }
    if (m_cancelled)
        m_state->step = 60;
    switch (m_state->step) {
    case 60:
        replyTimerStop();
        finish(LinkOutcome::Cancelled);
        return Pass::Finished;
    case 0:
    case 1:
    case 2: return repeatEachSecond(0, QStringLiteral("L"), [this] { return lCheck(); }, 10);
    case 40:
        m_state->commEnd = 1;
        finish(LinkOutcome::Done);
        return Pass::Finished;
    default: break;
    }
    if (!port().portOpen()) {
        // The device went away: no reply can come any more.
        replyTimerStop();
        finish(LinkOutcome::DeviceGone);
        return Pass::Finished;
    }
    switch (m_state->step) {
    case 10:
        m_state->command = reading ? FrameRead(m_state->address) : FrameWrite(m_state->address, m_writeImage[m_state->address].data());
        m_state->step = 11;
        return Pass::Busy;
    case 11: sendBegin(m_state->command); return Pass::Busy;
    case 12: m_state->step = 20; return Pass::Busy;
    case 20: {
        receive();
        const QString seen = m_state->inPut;
        if (reading)
            rCheck();
        else
            wCheck();
        if (m_state->step == 11) {
            // "?": the command goes again.
            return noteNoAnswer(m_state->command, seen) ? giveUp() : Pass::Busy;
        }
        if (m_state->step == 20 && sendLimit() > 0 && seen.contains(QLatin1Char('\r'))) {
            // A line that is no answer: without a user to cancel, it is treated as a "?".
            m_state->inPut.clear();
            m_state->step = 11;
            return noteNoAnswer(m_state->command, seen) ? giveUp() : Pass::Busy;
        }
        return m_state->step == 20 ? Pass::Idle : Pass::Busy;
    }
    case 30:
        if (reading) {
            // A reply whose data are not two hex digits is asked for again.
            const QString data = readData();
            if (!isHexPair(data)) {
                const QString seen = m_state->inPut;
                m_state->inPut.clear();
                m_state->step = 11;
                return noteNoAnswer(m_state->command, seen) ? giveUp() : Pass::Busy;
            }
            m_readImage[m_state->address].setData(data);
        }
        noteAnswered();
        m_state->inPut.clear();
        if (m_state->address == 47) {
            m_state->step = reading ? 40 : 5;
        } else {
            ++m_state->address;
            emit transferProgress(++m_progress);
            m_state->step = 10;
        }
        return Pass::Busy;
    case 5:
    case 6:
    case 7:
        // The end of the write: "E", repeated once a second until answered.
        if (!reading)
            return repeatEachSecond(5, QStringLiteral("E"), [this] { return qint16(eCheck() ? 2 : 1); }, 40);
        break;
    default: break;
    }
    replyTimerStop();
    finish(LinkOutcome::Cancelled);
    return Pass::Finished;
}

// ---------------------------------------------------------------- the poll

void LinkSession::resetPollWatch() { m_givingUpSinceMs[0] = m_givingUpSinceMs[1] = -1; }

void LinkSession::poll(const QString &command, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_pollCommand = command;
    m_pollWant = command == QLatin1String("N") ? 6 : command == QLatin1String("Y") ? 4 : 1;
    m_pollWaiting = false;
    m_pollGaveUp = false;
    m_pollTimedOut = false;
    m_state->commEnd = 0;
    m_state->replyTimeUp = 0;
    m_state->step = 11;
    m_state->pollBusy = -1;
    start(Kind::Poll, std::move(done));
}

// A poll reply that carries no value is given up silently, one tick at a time; a controller
// that answers every poll like that would keep the monitor running on stale values without a
// word. "N" and "Y" are watched each on its own, since a good answer to one says nothing of
// the other: when the polls of either have given up for as long as one reply wait may last,
// the monitor ends as on a reply time-out.
void LinkSession::pollTimedOut()
{
    replyTimeOutBox();
    m_pollTimedOut = true;
    setMonitorStop(1);
    m_state->step = 40;
    resetPollWatch();
}

LinkSession::Pass LinkSession::passPoll()
{
    SerialPortService &p = port();
    if (m_send != SendPhase::None) {
        const SendPhase s = sendPass();
        if (s == SendPhase::Sent) {
            m_send = SendPhase::None;
            m_state->step = 12;
            return Pass::Busy;
        }
        if (s != SendPhase::Failed)
            return Pass::Idle;
        m_send = SendPhase::None;
        m_state->pollBusy = 0;
        replyTimerStop();
        m_state->replyTimeUp = 0;
        m_state->step = 0;
        finish(p.portOpen() ? LinkOutcome::SendFailed : LinkOutcome::DeviceGone, QString(), false);
        return Pass::Finished;
    }
    if (m_state->monitorStop == 1 && !m_pollWaiting)
        m_state->step = 40;
    switch (m_state->step) {
    case 11:
        replyTimerStop();
        m_state->inPut.clear();
        m_state->shortReplies = 0;
        m_state->noReplies = 0;
        sendBegin(m_pollCommand);
        return Pass::Busy;
    case 12: m_state->step = 20; return Pass::Busy;
    case 20: {
        if (!m_pollWaiting) {
            // Each wait for the reply's bytes has twenty seconds.
            m_pollWaiting = true;
            m_waitUp = false;
            m_waitTimer.setEnabled(false);
            m_waitTimer.setInterval(replyWaitMs());
            m_waitTimer.setEnabled(true);
        }
        const bool stop = m_state->monitorStop == 1;
        if (p.inBufferCount() < m_pollWant && p.portOpen() && !stop && !m_waitUp)
            return Pass::Idle;
        m_pollWaiting = false;
        m_waitTimer.setEnabled(false);
        if (!p.portOpen() && lostReport()) {
            // The port closed by itself under the wait: the exchange ends as a send on it would.
            m_state->pollBusy = 0;
            replyTimerStop();
            m_state->replyTimeUp = 0;
            m_state->step = 0;
            finish(LinkOutcome::DeviceGone, QString(), false);
            return Pass::Finished;
        }
        if ((m_waitUp && p.inBufferCount() < m_pollWant && !stop) || !p.portOpen()) {
            pollTimedOut();
            return Pass::Busy;
        }
        qint64 &givingUpSinceMs = m_givingUpSinceMs[m_pollCommand == QLatin1String("N") ? 0 : 1];
        const qint16 r = pollParse();
        if (r == 1) {
            const QString reply = m_state->inPut;
            m_state->inPut.clear();
            m_state->step = 40;
            givingUpSinceMs = -1;
            m_state->pollBusy = 0;
            replyTimerStop();
            m_state->replyTimeUp = 0;
            // The reading: the "N" begins it, the "Y" after it completes it. A line of the other
            // letter is a late reply to an earlier poll (a controller that stalled answers in a
            // burst when it wakes): it is shown as the written monitor shows it, but makes no
            // reading, so that a late value never passes for the outputs or the other way round.
            const QChar letter = reply.isEmpty() ? QChar() : reply.at(0);
            if (m_pollCommand == QLatin1String("N")) {
                m_pendingValue = reply.mid(1, 4);
                m_pendingTime = Now();
                m_pendingOpen = letter == QLatin1Char('N');
            } else if (m_pollCommand == QLatin1String("Y") && m_pendingOpen) {
                m_pendingOpen = false;
                if (letter == QLatin1Char('Y')) {
                    m_reading = MakeReading(m_pendingTime, m_pendingValue, reply.mid(1, 2), scale());
                    emit readingCompleted(m_reading);
                }
            }
            finish(LinkOutcome::Done, reply);
            return Pass::Finished;
        }
        if (r == 40) {
            m_state->step = 40;
            m_pollGaveUp = true;
            const qint64 now = clockService().elapsedMs();
            if (givingUpSinceMs < 0)
                givingUpSinceMs = now;
            else if (now - givingUpSinceMs >= replyWaitMs())
                pollTimedOut();
            return Pass::Busy;
        }
        // "?" or a short line: wait a moment for more bytes.
        m_passTimer.setEnabled(false);
        m_passTimer.setInterval(1);
        m_passTimer.setEnabled(true);
        return Pass::Idle;
    }
    case 40: {
        m_state->commEnd = 1;
        m_state->pollBusy = 0;
        replyTimerStop();
        m_state->replyTimeUp = 0;
        LinkOutcome o = LinkOutcome::NotUnderstood;
        if (m_pollTimedOut)
            o = p.portOpen() ? LinkOutcome::NoReply : LinkOutcome::DeviceGone;
        else if (!m_pollGaveUp)
            o = LinkOutcome::Cancelled;
        finish(o);
        return Pass::Finished;
    }
    default: m_state->step = 40; return Pass::Busy;
    }
}

// ---------------------------------------------------------------- analog channel

void LinkSession::channelRead(int channel, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_channel = channel;
    m_state->command = FrameChannelRead(channel);
    m_state->step = 11;
    m_channelSends = 0;
    // The reply bound holds across the sends of one read.
    m_waitUp = false;
    m_waitTimer.setEnabled(false);
    m_waitTimer.setInterval(replyWaitMs());
    m_waitTimer.setEnabled(true);
    start(Kind::ChannelRead, std::move(done));
}

void LinkSession::analogOut(int channel, double volts, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_channel = channel;
    m_state->command = FrameAnalogOut(channel, volts);
    m_state->step = 11;
    start(Kind::AnalogOut, std::move(done));
}

void LinkSession::replyTimeOutBox()
{
    msgBox(QStringLiteral("受信待ち ﾀｲﾑｱｯﾌﾟ") + vbCrLf + QStringLiteral("通信の状態を確認してください"),
           vbOKOnly + vbExclamation, QStringLiteral("ｱﾅﾛｸﾞﾓﾆﾀｰ"));
}

LinkSession::Pass LinkSession::passChannel()
{
    SerialPortService &p = port();
    if (m_send != SendPhase::None) {
        const SendPhase s = sendPass();
        if (s == SendPhase::Failed) {
            finish(p.portOpen() ? LinkOutcome::SendFailed : LinkOutcome::DeviceGone, QString(), false);
            return Pass::Finished;
        }
        if (s != SendPhase::Sent)
            return Pass::Idle;
        m_send = SendPhase::None;
        m_state->step = 20;
        return Pass::Busy;
    }
    if (m_state->step == 11) {
        // A "?" or a line that carries no value asks for the command again, kChannelReadSends
        // sends in all; then the read ends with the time-out's message, as when the controller
        // stays silent, instead of holding the tool in a loop.
        ++m_channelSends;
        p.clearInBuffer();
        m_state->inPut.clear();
        sendBegin(m_state->command);
        return Pass::Busy;
    }
    // Step 20: waiting for a CR within the bound.
    receive();
    if (!hasCr()) {
        if (p.portOpen() && !m_waitUp)
            return Pass::Idle;
        if (!(!p.portOpen() && lostReport()))
            replyTimeOutBox();
        finish(p.portOpen() ? LinkOutcome::NoReply : LinkOutcome::DeviceGone);
        return Pass::Finished;
    }
    if (m_state->inPut.contains(QLatin1Char('N'))) {
        m_state->step = 30;
        const qsizetype cr = m_state->inPut.indexOf(QLatin1Char('\r'));
        bool ok = false;
        const int count = m_state->inPut.mid(2, cr - 2).toInt(&ok, 16);
        if (ok) {
            m_volts = ChannelVolts(count);
            finish(LinkOutcome::Done, m_state->inPut);
            return Pass::Finished;
        }
    }
    if (m_state->inPut.contains(QLatin1Char('?')))
        m_sawQuestion = true;
    m_state->inPut.clear();
    m_state->step = 11;
    if (m_channelSends >= kChannelReadSends) {
        replyTimeOutBox();
        finish(m_sawQuestion ? LinkOutcome::Refused : LinkOutcome::NotUnderstood);
        return Pass::Finished;
    }
    return Pass::Busy;
}

LinkSession::Pass LinkSession::passAnalogOut()
{
    SerialPortService &p = port();
    if (m_send != SendPhase::None) {
        const SendPhase s = sendPass();
        if (s == SendPhase::Failed) {
            finish(p.portOpen() ? LinkOutcome::SendFailed : LinkOutcome::DeviceGone, QString(), false);
            return Pass::Finished;
        }
        if (s != SendPhase::Sent)
            return Pass::Idle;
        m_send = SendPhase::None;
        m_state->step = 20;
        m_waitUp = false;
        m_waitTimer.setEnabled(false);
        m_waitTimer.setInterval(replyWaitMs());
        m_waitTimer.setEnabled(true);
        return Pass::Busy;
    }
    if (m_state->step == 11) {
        p.clearInBuffer();
        m_state->inPut.clear();
        sendBegin(m_state->command);
        return Pass::Busy;
    }
    receive();
    if (hasCr()) {
        finish(LinkOutcome::Done, m_state->inPut);
        return Pass::Finished;
    }
    if (p.portOpen() && !m_waitUp)
        return Pass::Idle;
    if (!(!p.portOpen() && lostReport()))
        replyTimeOutBox();
    finish(p.portOpen() ? LinkOutcome::NoReply : LinkOutcome::DeviceGone);
    return Pass::Finished;
}

// ---------------------------------------------------------------- position output

void LinkSession::positionOutput(const QString &command, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_state->commEnd = 0;
    m_state->step = 0;
    m_state->replyTimeUp = 0;
    m_state->inPut.clear();
    m_state->command = command;
    m_state->step = 11;
    m_unanswered = 0;
    start(Kind::Position, std::move(done));
}

LinkSession::Pass LinkSession::passPosition()
{
    const QString caption = QStringLiteral("POS ｺﾏﾝﾄﾞ送信");
    SerialPortService &p = port();
    auto end = [this, &p](LinkOutcome o) {
        replyTimerStop();
        // A device that went away during the exchange: the link is down, not "接続中".
        if (!p.portOpen() && m_state->connectStatus == 1)
            setConnectStatus(0);
        if (o == LinkOutcome::Done && !p.portOpen())
            o = LinkOutcome::DeviceGone;
        finish(o);
        return Pass::Finished;
    };
    // The command goes out at most four times without an answer: a second without a reply
    // and a "?" both count, so a controller that refuses it for ever cannot hold the tool.
    auto sendAgain = [&](bool question) {
        m_state->step = 11;
        if (question)
            m_sawQuestion = true;
        if (++m_unanswered > 3) {
            replyTimerStop();
            msgBox(QStringLiteral("ｺﾏﾝﾄﾞ送信ﾘﾄﾗｲ ") + QStringLiteral("3") + QStringLiteral("回") + vbCrLf +
                       QStringLiteral("応答がありません"),
                   vbOKOnly + vbExclamation, caption);
            return end(m_sawQuestion ? LinkOutcome::Refused : LinkOutcome::NoReply);
        }
        return Pass::Busy;
    };
    if (m_send != SendPhase::None) {
        const SendPhase s = sendPass();
        if (s == SendPhase::Sent) {
            m_send = SendPhase::None;
            m_state->step = 12;
            return Pass::Busy;
        }
        if (s != SendPhase::Failed)
            return Pass::Idle;
        m_send = SendPhase::None;
        // The user cancelled a send to a closed port: nothing can go out.
        if (!p.portOpen())
            return end(LinkOutcome::DeviceGone);
        m_state->step = 11;
        return Pass::Busy;
    }
    switch (m_state->step) {
    case 11:
        replyTimerStop();
        sendBegin(m_state->command);
        return Pass::Busy;
    case 12:
        replyTimerStart();
        m_state->step = 20;
        return Pass::Busy;
    case 20: {
        const qint16 r = pCheck();
        if (r == 1) {
            if (g_funcPosResult(m_state->inPut) == QLatin1String("0"))
                return end(LinkOutcome::Done);
            const QString text = QStringLiteral("ﾎﾟｼﾞｼｮﾝ指定出力（POS）は異常終了しました。") + vbCrLf +
                                 QStringLiteral("再試行？　/　ｷｬﾝｾﾙ？");
            replyTimerStop();
            if (msgBox(text, vbRetryCancel, caption) == vbRetry) {
                m_state->step = 11;
                return Pass::Busy;
            }
            return end(LinkOutcome::Refused);
        }
        if (r == 3)
            return sendAgain(true);
        if (m_state->replyTimeUp == 1)
            return sendAgain(false);
        // A line that is no answer to "P" counts as no reply: it is dropped.
        if (r == 0)
            m_state->inPut.clear();
        return Pass::Idle;
    }
    default: return end(LinkOutcome::Done);
    }
}
