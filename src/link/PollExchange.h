#pragma once
// The monitor's poll: "N" (the input count) or "Y" (the outputs), the reply awaited for the
// session's reply wait. The "N" reply begins a reading and the "Y" reply after it completes
// it; this is the one place where the two are paired. A reply to the other command is late
// (a controller that stalled answers in a burst when it wakes): it is left out, so that a
// late value never passes for the outputs or the other way round.
//
// A reply that carries no value is given up for that poll (NotUnderstood). "N" and "Y" are
// watched each on its own, since a good answer to one says nothing of the other: when the
// polls of either have given up for as long as one reply wait may last, the poll ends as
// GaveUp. What stops is for the caller to decide.
#include "link/Exchange.h"

class PollExchange : public LinkExchange {
public:
    using LinkExchange::LinkExchange;
    void prepare(const QString &command);
    void begin() override;
    Pass pass() override;
    // A stop: the poll ends at its next pass without sending more (Cancelled).
    void cancel() override { m_stopAsked = true; }
    void describe(LinkView &view) const override;

    // The polls of an earlier run that gave up are forgotten.
    void resetWatch() { m_givingUpSinceMs[0] = m_givingUpSinceMs[1] = -1; }
    // The reading begun by an "N" is dropped (the session was reset).
    void forget() { m_pendingOpen = false; }
    const Reading &reading() const { return m_reading; }

private:
    // The written step numbers: 11 send, 12 sent, 20 wait for the reply, 40 end.
    enum class Step : qint16 { Send = 11, Sent = 12, Wait = 20, End = 40 };

    Pass ended(const QString &reply);
    Pass waitRunOut(LinkOutcome outcome);

    QString m_command;
    QChar m_letter;
    int m_want = 1;
    Step m_step = Step::Send;
    bool m_ended = false;
    bool m_waiting = false;
    bool m_stopAsked = false;
    bool m_gaveUp = false;
    LinkOutcome m_runOut = LinkOutcome::Done; // NoReply or GaveUp once the wait has run out
    PollPatience m_patience;
    qint64 m_givingUpSinceMs[2] = {-1, -1};

    Reading m_begun; // the "N" reply's reading, awaiting its "Y"
    bool m_pendingOpen = false;
    Reading m_reading;
};
