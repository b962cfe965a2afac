#pragma once
// The analog monitor's channel exchanges. The read sends "N" ch and takes the count after
// the channel digit as volts; a "?" or a line without a value asks again, kChannelReadSends
// sends in all, and then the read ends with the time-out's box, as when the controller stays
// silent. The output sends "D" ch and the count of the volts and waits for any line. Both
// wait the session's reply wait at most.
#include "link/Exchange.h"

class ChannelExchange : public LinkExchange {
public:
    using LinkExchange::LinkExchange;
    void prepareRead(int channel);
    void prepareOutput(int channel, double volts);
    void begin() override;
    Pass pass() override;
    void describe(LinkView &view) const override;

private:
    // The written step numbers: 11 send, 20 wait for the reply.
    enum class Step : qint16 { Send = 11, Wait = 20 };

    Pass readPass();
    Pass outputPass();
    Pass noReply();

    bool m_output = false;
    QString m_command;
    Step m_step = Step::Send;
    int m_sends = 0;
    bool m_sawQuestion = false;
};
