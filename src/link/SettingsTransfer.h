#pragma once
// The read and the write of the controller's 48 settings bytes: "L" once a second until
// answered, then "R" hh (or "W" hh dd) for each address 00 to 2F, sent again after a "?",
// and after a write "E" once a second until answered. The port must be open.
// transferProgress counts the addresses. A send limit (SessionOptions::sendLimit) gives a
// command up once it was sent that often and each send was answered with "?" or with what
// is no answer; without one the command goes again until the user cancels ("中止").
#include "link/Exchange.h"

class SettingsTransfer : public LinkExchange {
public:
    using LinkExchange::LinkExchange;
    // Reads into readInto (cells 0x00-0x2F) or writes writeFrom's 48 bytes.
    void prepare(MemCell *readInto, const MemCell *writeFrom);
    void begin() override;
    Pass pass() override;
    void cancel() override;
    void describe(LinkView &view) const override;
    const TransferRefusal &refusal() const { return m_refusal; }

private:
    // The written step numbers.
    enum class Step : qint16 {
        SendL = 0, LTimer = 1, LCheck = 2,      // "L", repeated each second until answered
        SendE = 5, ETimer = 6, ECheck = 7,      // "E" after a write, the same way
        Prepare = 10, Send = 11, Sent = 12,     // the command of the present address
        Evaluate = 20, TakeOver = 30,           // its reply
        Done = 40, Cancelled = 60,
    };
    // What a look at the reply of "L" or "E" found.
    enum class Seen { PortClosed, Waiting, Answered };

    Pass repeatEachSecond(Step first, const QString &command, Seen (SettingsTransfer::*check)(), Step next);
    Seen checkL();
    Seen checkE();
    // A send answered with "?" or with what is no answer; true when the send limit is spent.
    bool noteNoAnswer(const QString &command, const QString &reply);
    void noteAnswered();
    Pass giveUp();

    MemCell *m_readImage = nullptr;
    const MemCell *m_writeImage = nullptr;
    Step m_step = Step::SendL;
    int m_address = 0;
    QString m_command;
    int m_progress = 0;
    bool m_cancelled = false;
    bool m_ended = false;
    TransferRefusal m_refusal;
    QString m_unansweredCommand;
    int m_unansweredSends = 0;
    bool m_sendNoted = false;
};
