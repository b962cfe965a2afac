#include "link/SettingsTransfer.h"

#include "settings/modUserData.h"

namespace {
bool isLetterStep(int phase) { return phase >= 0 && phase <= 2; }
} // namespace

void SettingsTransfer::prepare(MemCell *readInto, const MemCell *writeFrom)
{
    m_readImage = readInto;
    m_writeImage = writeFrom;
}

void SettingsTransfer::begin()
{
    m_refusal = TransferRefusal();
    noteAnswered();
    m_cancelled = false;
    m_ended = false;
    m_address = 0;
    m_step = Step::SendL;
    m_progress = 0;
}

void SettingsTransfer::cancel()
{
    m_cancelled = true;
    m_step = Step::Cancelled;
}

void SettingsTransfer::describe(LinkView &view) const
{
    view.step = qint16(m_step);
    view.commEnd = m_ended ? 1 : 0;
    view.address = qint16(m_address);
    view.command = m_command;
}

bool SettingsTransfer::noteNoAnswer(const QString &command, const QString &reply)
{
    m_sendNoted = true;
    if (m_unansweredCommand != command) {
        m_unansweredCommand = command;
        m_unansweredSends = 0;
    }
    ++m_unansweredSends;
    const int limit = options().sendLimit;
    if (limit <= 0 || m_unansweredSends < limit)
        return false;
    const bool refused = reply.section(QLatin1Char('\r'), 0, 0).trimmed() == QLatin1String("?");
    m_refusal = {refused ? TransferRefusal::Refused : TransferRefusal::NotUnderstood, command, reply,
                 m_unansweredSends};
    return true;
}

void SettingsTransfer::noteAnswered()
{
    m_unansweredCommand.clear();
    m_unansweredSends = 0;
}

LinkExchange::Pass SettingsTransfer::giveUp()
{
    replyTimerStop();
    return finish(m_refusal.kind == TransferRefusal::Refused ? LinkOutcome::Refused : LinkOutcome::NotUnderstood,
                  m_refusal.reply);
}

SettingsTransfer::Seen SettingsTransfer::checkL()
{
    receive();
    if (!port().portOpen())
        return Seen::PortClosed;
    return CheckL(buffer()) == LReply::Accepted ? Seen::Answered : Seen::Waiting;
}

SettingsTransfer::Seen SettingsTransfer::checkE()
{
    receive();
    QString &in = buffer();
    const LineReply r = CheckLine(in, QLatin1Char('E'));
    if (r == LineReply::Answered) {
        in.clear();
        return Seen::Answered;
    }
    return Seen::Waiting;
}

// Steps first, first + 1 and first + 2: send the command, start the reply timer, then look
// at the reply; the command goes again each second until it is answered, and the exchange
// goes on at step next.
LinkExchange::Pass SettingsTransfer::repeatEachSecond(Step first, const QString &command,
                                                      Seen (SettingsTransfer::*check)(), Step next)
{
    const int phase = int(m_step) - int(first);
    if (phase == 0) {
        sendBegin(command);
        m_sendNoted = false;
        m_step = Step(int(first) + 1);
        return Pass::Busy;
    }
    if (phase == 1) {
        replyTimerStart();
        m_step = Step(int(first) + 2);
        return Pass::Busy;
    }
    if (replyTimeUp()) {
        replyTimerStop();
        m_step = first;
        // Bytes without a line end are no answer either.
        if (!m_sendNoted && !buffer().isEmpty() && noteNoAnswer(command, buffer()))
            return giveUp();
        return Pass::Busy;
    }
    // What stood in the buffer before the check, which empties it after a "?".
    receive();
    const QString seen = buffer();
    switch ((this->*check)()) {
    case Seen::PortClosed:
        replyTimerStop();
        return finish(LinkOutcome::DeviceGone);
    case Seen::Answered:
        m_step = next;
        replyTimerStop();
        noteAnswered();
        return Pass::Busy;
    case Seen::Waiting: break;
    }
    if (!m_sendNoted && seen.contains(QLatin1Char('\r')) && noteNoAnswer(command, seen))
        return giveUp();
    return Pass::Idle;
}

LinkExchange::Pass SettingsTransfer::pass()
{
    const bool reading = m_readImage != nullptr;
    if (sending()) {
        const SendStep s = driveSend();
        if (s == SendStep::Waiting) {
            if (!m_cancelled)
                return Pass::Idle;
            dropSend();
            return Pass::Busy;
        }
        // The prepared command goes again when it could not be sent.
        if (m_step == Step::Send)
            m_step = s == SendStep::Sent ? Step::Sent : Step::Send;
        return Pass::Busy;
    }
    if (m_cancelled)
        m_step = Step::Cancelled;
    if (m_step == Step::Cancelled) {
        replyTimerStop();
        return finish(LinkOutcome::Cancelled);
    }
    if (isLetterStep(int(m_step) - int(Step::SendL)))
        return repeatEachSecond(Step::SendL, QStringLiteral("L"), &SettingsTransfer::checkL, Step::Prepare);
    if (m_step == Step::Done) {
        m_ended = true;
        return finish(LinkOutcome::Done);
    }
    if (!port().portOpen()) {
        // The device went away: no reply can come any more. The transfer tells it in its own
        // box, with the port's reason.
        replyTimerStop();
        return finish(LinkOutcome::DeviceGone);
    }
    switch (m_step) {
    case Step::Prepare:
        m_command = reading ? FrameRead(m_address) : FrameWrite(m_address, m_writeImage[m_address].data());
        m_step = Step::Send;
        return Pass::Busy;
    case Step::Send: sendBegin(m_command); return Pass::Busy;
    case Step::Sent: m_step = Step::Evaluate; return Pass::Busy;
    case Step::Evaluate: {
        receive();
        const QString seen = buffer();
        const LineReply r = CheckLine(buffer(), reading ? QLatin1Char('R') : QLatin1Char('W'));
        if (r == LineReply::Refused) {
            // "?": the command goes again.
            m_step = Step::Send;
            return noteNoAnswer(m_command, seen) ? giveUp() : Pass::Busy;
        }
        if (r == LineReply::Other && options().sendLimit > 0) {
            // A line that is no answer: without a user to cancel, it is taken for a "?".
            buffer().clear();
            m_step = Step::Send;
            return noteNoAnswer(m_command, seen) ? giveUp() : Pass::Busy;
        }
        if (r != LineReply::Answered)
            return Pass::Idle;
        m_step = Step::TakeOver;
        return Pass::Busy;
    }
    case Step::TakeOver:
        if (reading) {
            // A reply whose data are not two hex digits is asked for again.
            const QString data = ReadData(buffer());
            if (!IsHexPair(data)) {
                const QString seen = buffer();
                buffer().clear();
                m_step = Step::Send;
                return noteNoAnswer(m_command, seen) ? giveUp() : Pass::Busy;
            }
            m_readImage[m_address].setData(data);
        }
        noteAnswered();
        buffer().clear();
        if (m_address == kSettingsCells - 1) {
            m_step = reading ? Step::Done : Step::SendE;
        } else {
            ++m_address;
            emit session().transferProgress(++m_progress);
            m_step = Step::Prepare;
        }
        return Pass::Busy;
    case Step::SendE:
    case Step::ETimer:
    case Step::ECheck:
        // The end of the write: "E", repeated once a second until answered.
        if (!reading)
            return repeatEachSecond(Step::SendE, QStringLiteral("E"), &SettingsTransfer::checkE, Step::Done);
        break;
    default: break;
    }
    replyTimerStop();
    return finish(LinkOutcome::Cancelled);
}
