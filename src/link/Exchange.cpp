#include "link/Exchange.h"

#include "link/ChannelExchange.h"
#include "link/ConnectionCheck.h"
#include "link/PollExchange.h"
#include "link/PositionExchange.h"
#include "link/SettingsTransfer.h"
#include "platform/Dialogs.h"

// ---------------------------------------------------------------- the exchanges' common steps

LinkExchange::SendStep LinkExchange::driveSend()
{
    switch (m_s.sendPass()) {
    case LinkSession::SendPhase::Sent: dropSend(); return SendStep::Sent;
    case LinkSession::SendPhase::Failed: dropSend(); return SendStep::Failed;
    default: return SendStep::Waiting;
    }
}

LinkExchange::Pass LinkExchange::sendFailed()
{
    return finish(port().portOpen() ? LinkOutcome::SendFailed : LinkOutcome::DeviceGone, QString(), false);
}

void LinkExchange::replyTimeOutBox() { msgBox(ReplyTimeUpText(), vbOKOnly + vbExclamation, ReplyTimeUpCaption()); }

void LinkExchange::passSoon()
{
    m_s.m_passTimer.setEnabled(false);
    m_s.m_passTimer.setInterval(1);
    m_s.m_passTimer.setEnabled(true);
}


// ---------------------------------------------------------------- the exchanges

void LinkSession::send(const QString &command, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_sendExchange->prepare(command);
    start(*m_sendExchange, std::move(done));
}

void LinkSession::checkConnection(LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    start(*m_check, std::move(done));
}

void LinkSession::readSettings(MemCell *image, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_transfer->prepare(image, nullptr);
    start(*m_transfer, std::move(done));
}

void LinkSession::writeSettings(const MemCell *image, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_transfer->prepare(nullptr, image);
    start(*m_transfer, std::move(done));
}

void LinkSession::poll(const QString &command, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_poll->prepare(command);
    start(*m_poll, std::move(done));
}

void LinkSession::channelRead(int channel, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_channel->prepareRead(channel);
    start(*m_channel, std::move(done));
}

void LinkSession::analogOut(int channel, double volts, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_channel->prepareOutput(channel, volts);
    start(*m_channel, std::move(done));
}

void LinkSession::positionOutput(const QString &command, LinkDone done)
{
    if (refusedAsBusy(done))
        return;
    m_position->prepare(command);
    start(*m_position, std::move(done));
}

void LinkSession::cancel()
{
    if (m_running != m_transfer.get())
        return;
    m_transfer->cancel();
    poke();
}

void LinkSession::cancelPoll()
{
    if (m_running != m_poll.get())
        return;
    m_poll->cancel();
    poke();
}

void LinkSession::resetPollWatch() { m_poll->resetWatch(); }

const Reading &LinkSession::lastReading() const { return m_poll->reading(); }

const TransferRefusal &LinkSession::refusal() const { return m_transfer->refusal(); }
