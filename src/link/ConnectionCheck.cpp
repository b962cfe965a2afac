#include "link/ConnectionCheck.h"

void ConnectionCheck::begin()
{
    m_ended = false;
    port().clearInBuffer();
    m_step = Step::SendL;
    commTimerStart();
}

LinkExchange::Pass ConnectionCheck::pass()
{
    if (sending()) {
        // "L" goes out; whether it went or not, the reply timer runs next.
        if (driveSend() == SendStep::Waiting)
            return Pass::Idle;
        m_step = Step::StartTimer;
        return Pass::Busy;
    }
    if (commTimeUp()) {
        commTimerStop();
        replyTimerStop();
        return finish(LinkOutcome::NoReply);
    }
    switch (m_step) {
    case Step::SendL:
        sendBegin(QStringLiteral("L"));
        return Pass::Busy;
    case Step::StartTimer:
        replyTimerStart();
        m_step = Step::Evaluate;
        return Pass::Busy;
    case Step::Evaluate:
        if (replyTimeUp()) {
            // "L" again each second.
            replyTimerStop();
            m_step = Step::SendL;
            return Pass::Busy;
        }
        receive();
        if (!port().portOpen()) {
            replyTimerStop();
            // A port that closed by itself (a device server that ends the connection at once
            // when its line is busy) says why.
            lostReport();
            return finish(LinkOutcome::DeviceGone);
        }
        if (CheckL(buffer()) != LReply::Accepted)
            return Pass::Idle;
        m_step = Step::Answered;
        replyTimerStop();
        return Pass::Busy;
    case Step::Answered:
        m_ended = true;
        return finish(LinkOutcome::Done);
    }
    return finish(LinkOutcome::Cancelled);
}

void ConnectionCheck::describe(LinkView &view) const
{
    view.step = qint16(m_step);
    view.commEnd = m_ended ? 1 : 0;
}
