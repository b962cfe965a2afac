#pragma once
// The connection check: "L" once a second until the controller answers exactly "L0001", for
// ten seconds at most (the overall communication timer, with the wait cursor). The port
// must be open; a port that closes under the check ends it and says why.
#include "link/Exchange.h"

class ConnectionCheck : public LinkExchange {
public:
    using LinkExchange::LinkExchange;
    void begin() override;
    Pass pass() override;
    void describe(LinkView &view) const override;

private:
    // The written step numbers: 0 send "L", 1 start the reply timer, 2 look at the reply,
    // 40 answered.
    enum class Step : qint16 { SendL = 0, StartTimer = 1, Evaluate = 2, Answered = 40 };
    Step m_step = Step::SendL;
    bool m_ended = false;
};
