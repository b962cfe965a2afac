#include "link/ChannelExchange.h"

void ChannelExchange::prepareRead(int channel)
{
    m_output = false;
    m_command = FrameChannelRead(channel);
}

void ChannelExchange::prepareOutput(int channel, double volts)
{
    m_output = true;
    m_command = FrameAnalogOut(channel, volts);
}

void ChannelExchange::begin()
{
    m_step = Step::Send;
    m_sends = 0;
    m_sawQuestion = false;
    // The read's bound holds across its sends; the output's starts when its line is out.
    if (!m_output)
        boundStart(options().replyWaitMs);
}

void ChannelExchange::describe(LinkView &view) const
{
    view.step = qint16(m_step);
    view.command = m_command;
}

LinkExchange::Pass ChannelExchange::pass()
{
    if (sending()) {
        const SendStep s = driveSend();
        if (s == SendStep::Failed)
            return sendFailed();
        if (s == SendStep::Waiting)
            return Pass::Idle;
        m_step = Step::Wait;
        if (m_output)
            boundStart(options().replyWaitMs);
        return Pass::Busy;
    }
    if (m_step == Step::Send) {
        ++m_sends;
        port().clearInBuffer();
        buffer().clear();
        sendBegin(m_command);
        return Pass::Busy;
    }
    return m_output ? outputPass() : readPass();
}

// No line within the bound, or the port closed under the wait (told as a send would tell it).
LinkExchange::Pass ChannelExchange::noReply()
{
    const bool open = port().portOpen();
    if (!(!open && lostReport()))
        replyTimeOutBox();
    return finish(open ? LinkOutcome::NoReply : LinkOutcome::DeviceGone);
}

LinkExchange::Pass ChannelExchange::readPass()
{
    receive();
    if (!hasCr()) {
        if (port().portOpen() && !boundUp())
            return Pass::Idle;
        return noReply();
    }
    int count = 0;
    if (ChannelCount(buffer(), &count))
        return finish(LinkOutcome::Done, buffer(), true, ChannelVolts(count));
    if (buffer().contains(QLatin1Char('?')))
        m_sawQuestion = true;
    buffer().clear();
    m_step = Step::Send;
    if (m_sends >= kChannelReadSends) {
        replyTimeOutBox();
        return finish(m_sawQuestion ? LinkOutcome::Refused : LinkOutcome::NotUnderstood);
    }
    return Pass::Busy;
}

LinkExchange::Pass ChannelExchange::outputPass()
{
    receive();
    if (hasCr())
        return finish(LinkOutcome::Done, buffer());
    if (port().portOpen() && !boundUp())
        return Pass::Idle;
    return noReply();
}
