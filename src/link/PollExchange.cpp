#include "link/PollExchange.h"

void PollExchange::prepare(const QString &command)
{
    m_command = command;
    m_letter = command.size() == 1 ? command.at(0) : QChar();
    // The reply line with its CR: "N" and four digits, "Y" and two.
    m_want = command == QLatin1String("N") ? 6 : command == QLatin1String("Y") ? 4 : 1;
}

void PollExchange::begin()
{
    m_waiting = false;
    m_stopAsked = false;
    m_gaveUp = false;
    m_ended = false;
    m_runOut = LinkOutcome::Done;
    m_step = Step::Send;
    // A new "N" begins a new reading: a "Y" after it never completes an older one.
    if (m_letter == QLatin1Char('N'))
        m_pendingOpen = false;
}

void PollExchange::describe(LinkView &view) const
{
    view.step = qint16(m_step);
    view.commEnd = m_ended ? 1 : 0;
    view.shortReplies = m_patience.shortReplies;
    view.noReplies = m_patience.noReplies;
}

LinkExchange::Pass PollExchange::waitRunOut(LinkOutcome outcome)
{
    m_runOut = outcome;
    resetWatch();
    m_step = Step::End;
    return Pass::Busy;
}

LinkExchange::Pass PollExchange::ended(const QString &reply)
{
    replyTimerStop();
    // The reading: the "N" begins it, the "Y" after it completes it.
    if (m_letter == QLatin1Char('N')) {
        m_begun = MakeReading(Now(), g_funcReplyValue(reply, 4), options().scale);
        m_pendingOpen = true;
        emit session().valueReceived(m_begun);
    } else if (m_letter == QLatin1Char('Y') && m_pendingOpen) {
        m_pendingOpen = false;
        m_reading = m_begun;
        m_reading.takeOutputs(g_funcReplyValue(reply, 2));
        emit session().readingCompleted(m_reading);
    }
    return finish(LinkOutcome::Done, reply);
}

LinkExchange::Pass PollExchange::pass()
{
    SerialPortService &p = port();
    if (sending()) {
        const SendStep s = driveSend();
        if (s == SendStep::Waiting)
            return Pass::Idle;
        if (s == SendStep::Failed) {
            replyTimerStop();
            return sendFailed();
        }
        m_step = Step::Sent;
        return Pass::Busy;
    }
    if (m_stopAsked && !m_waiting)
        m_step = Step::End;
    switch (m_step) {
    case Step::Send:
        replyTimerStop();
        buffer().clear();
        m_patience = PollPatience();
        // Whatever waits on the line before an "N" is a late answer to an earlier poll: it
        // would be taken for this one's.
        if (m_letter == QLatin1Char('N') && p.inBufferCount() > 0)
            p.clearInBuffer();
        sendBegin(m_command);
        return Pass::Busy;
    case Step::Sent: m_step = Step::Wait; return Pass::Busy;
    case Step::Wait: {
        if (!m_waiting) {
            // Each wait for the reply's bytes has the reply wait.
            m_waiting = true;
            boundStart(options().replyWaitMs);
        }
        if (p.inBufferCount() < m_want && p.portOpen() && !m_stopAsked && !boundUp())
            return Pass::Idle;
        m_waiting = false;
        boundStop();
        if (!p.portOpen()) {
            // The port closed under the wait: told as a send on it would be; the poll ends
            // as one that could not be sent.
            lostReport();
            replyTimerStop();
            return finish(LinkOutcome::DeviceGone, QString(), false);
        }
        if (boundUp() && p.inBufferCount() < m_want && !m_stopAsked)
            return waitRunOut(LinkOutcome::NoReply);
        qint64 &givingUpSinceMs = m_givingUpSinceMs[m_letter == QLatin1Char('N') ? 0 : 1];
        receive();
        DropLateReplies(buffer(), m_letter);
        PollReply r = CheckPoll(buffer(), m_patience);
        // A late reply still coming in (its CR not yet there) is waited for as a short
        // line is, and then given up.
        if (r == PollReply::Complete && !buffer().startsWith(m_letter))
            r = m_patience.shortReplies++ > 4 ? PollReply::GiveUp : PollReply::Wait;
        if (r == PollReply::Complete) {
            const QString reply = buffer();
            buffer().clear();
            m_step = Step::End;
            m_ended = true;
            givingUpSinceMs = -1;
            return ended(reply);
        }
        if (r == PollReply::GiveUp) {
            m_step = Step::End;
            m_gaveUp = true;
            const qint64 now = clockService().elapsedMs();
            if (givingUpSinceMs < 0)
                givingUpSinceMs = now;
            else if (now - givingUpSinceMs >= options().replyWaitMs)
                return waitRunOut(LinkOutcome::GaveUp);
            return Pass::Busy;
        }
        // "?" or a short line: wait a moment for more bytes.
        passSoon();
        return Pass::Idle;
    }
    case Step::End: {
        m_ended = true;
        replyTimerStop();
        LinkOutcome o = LinkOutcome::NotUnderstood;
        if (m_runOut != LinkOutcome::Done)
            o = m_runOut;
        else if (!m_gaveUp)
            o = LinkOutcome::Cancelled;
        return finish(o);
    }
    }
    m_step = Step::End;
    return Pass::Busy;
}
