#include "link/PositionExchange.h"

#include "platform/Dialogs.h"

namespace {
const QString kCaption = QStringLiteral("POS ｺﾏﾝﾄﾞ送信");
}

void PositionExchange::begin()
{
    buffer().clear();
    m_step = Step::Send;
    m_unanswered = 0;
    m_sawQuestion = false;
}

void PositionExchange::describe(LinkView &view) const
{
    view.step = qint16(m_step);
    view.command = m_command;
}

LinkExchange::Pass PositionExchange::end(LinkOutcome outcome)
{
    replyTimerStop();
    // A device that went away during the exchange: the answer, if any, came from a line
    // that is gone.
    if (outcome == LinkOutcome::Done && !port().portOpen())
        outcome = LinkOutcome::DeviceGone;
    return finish(outcome);
}

LinkExchange::Pass PositionExchange::sendAgain(bool question)
{
    m_step = Step::Send;
    if (question)
        m_sawQuestion = true;
    if (++m_unanswered >= kPositionSends) {
        replyTimerStop();
        msgBox(QStringLiteral("ｺﾏﾝﾄﾞ送信ﾘﾄﾗｲ %1回").arg(kPositionSends - 1) + QStringLiteral("\r\n") +
                   QStringLiteral("応答がありません"),
               vbOKOnly + vbExclamation, kCaption);
        return end(m_sawQuestion ? LinkOutcome::Refused : LinkOutcome::NoReply);
    }
    return Pass::Busy;
}

LinkExchange::Pass PositionExchange::pass()
{
    if (sending()) {
        const SendStep s = driveSend();
        if (s == SendStep::Waiting)
            return Pass::Idle;
        if (s == SendStep::Sent) {
            m_step = Step::Sent;
            return Pass::Busy;
        }
        // The user cancelled a send to a closed port: nothing can go out.
        if (!port().portOpen())
            return end(LinkOutcome::DeviceGone);
        m_step = Step::Send;
        return Pass::Busy;
    }
    switch (m_step) {
    case Step::Send:
        replyTimerStop();
        sendBegin(m_command);
        return Pass::Busy;
    case Step::Sent:
        replyTimerStart();
        m_step = Step::Evaluate;
        return Pass::Busy;
    case Step::Evaluate: {
        receive();
        const LineReply r = CheckLine(buffer(), QLatin1Char('P'));
        if (r == LineReply::Answered) {
            if (g_funcPosResult(buffer()) == QLatin1String("0"))
                return end(LinkOutcome::Done);
            const QString text = QStringLiteral("ﾎﾟｼﾞｼｮﾝ指定出力（POS）は異常終了しました。") + QStringLiteral("\r\n") +
                                 QStringLiteral("再試行？　/　ｷｬﾝｾﾙ？");
            replyTimerStop();
            if (msgBox(text, vbRetryCancel, kCaption) == vbRetry) {
                m_step = Step::Send;
                return Pass::Busy;
            }
            return end(LinkOutcome::Refused);
        }
        if (r == LineReply::Refused)
            return sendAgain(true);
        if (replyTimeUp())
            return sendAgain(false);
        // A line that is no answer to "P" counts as no reply: it is dropped.
        if (r == LineReply::Other)
            buffer().clear();
        return Pass::Idle;
    }
    }
    return end(LinkOutcome::Done);
}
