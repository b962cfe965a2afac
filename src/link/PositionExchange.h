#pragma once
// The position output: "P" and the four selections. Its reply's second character is the
// result ("0" a normal end); another result asks whether to try again. The command goes out
// at most kPositionSends times without an answer: a second without a reply and a "?" both
// count, so a controller that refuses it for ever cannot hold the tool.
#include "link/Exchange.h"

class PositionExchange : public LinkExchange {
public:
    using LinkExchange::LinkExchange;
    void prepare(const QString &command) { m_command = command; }
    void begin() override;
    Pass pass() override;
    void describe(LinkView &view) const override;

private:
    // The written step numbers: 11 send, 12 sent (the reply timer starts), 20 the reply.
    enum class Step : qint16 { Send = 11, Sent = 12, Evaluate = 20 };

    Pass end(LinkOutcome outcome);
    Pass sendAgain(bool question);

    QString m_command;
    Step m_step = Step::Send;
    int m_unanswered = 0;
    bool m_sawQuestion = false;
};
