#pragma once
// One open line to one controller: the port, the receive buffer, the step of the running
// exchange, the reply counters, the reply and communication timers, and the connection
// state, the busy lock and the monitor's run flags with their setters and announcements.
//
// Every exchange (connection check, read and write of the 48 settings bytes, the poll's
// "N" and "Y", channel read and output set, position output) is a state machine driven by
// the port's notifications and the session's own timers: start() returns at once, and the
// exchange completes with a LinkResult. It keeps the controller's resends, pauses and
// time-outs: "L" again each second, the ten-second overall bound, the twenty seconds a poll
// or a channel waits for its reply, the twenty seconds the transmit buffer gets to drain.
//
// The boxes an exchange shows on its way (a send that failed offers Retry, a position output
// that ended abnormally asks whether to try again) go to the session's dialog service: the
// program's own session shows them, a headless session answers them so that the exchange
// ends and keeps their texts as the result's reason.
//
// Sessions share nothing: a process may hold one per port and run their exchanges at once.
// The program's windows use one session, appSession() (link/modLinkState.h), through the
// written routines, which start an exchange and wait for it (wait()).
#include "link/Reading.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class DialogService;
struct MemCell;

// Why a transfer gave its command up, when its send limit ended it.
struct TransferRefusal {
    enum Kind { None, Refused, NotUnderstood };
    Kind kind = None;
    QString command; // "L", "R05", "W05FF", "E"
    QString reply;   // the last line that was no answer, as it came (CR included; at most the
                     // receive buffer's kReceiveLimit characters)
    int sends = 0;
};

// What an exchange came to.
enum class LinkOutcome {
    Done,          // the reply came (or the command went out and was answered)
    Refused,       // the controller answered "?" until the exchange's sends were spent
    NotUnderstood, // lines came that the exchange could not use
    NoReply,       // the controller stayed silent for the exchange's time-out
    DeviceGone,    // the port closed under the exchange (or could not be opened)
    SendFailed,    // the command could not be sent, and Retry was not chosen
    Cancelled,     // cancelled by the user, or a stop of the monitor
    Busy,          // another exchange runs on this session
};
const char *LinkOutcomeName(LinkOutcome o);

struct LinkResult {
    LinkOutcome outcome = LinkOutcome::Done;
    QString reply;  // the accepted reply line, upper case, with its CR
    double volts = 0;
    QString reason; // the last box's text, for a session that shows none
    bool sent = true; // false: the command could not be sent (and Retry was not chosen)
    bool ok() const { return outcome == LinkOutcome::Done; }
};
using LinkDone = std::function<void(const LinkResult &)>;

// The state a session shares with the windows that show it.
struct LinkState {
    qint16 connectStatus = 0; // 0 disconnected, 1 connected, 2 check in progress
    qint16 commBusy = 0;      // 1 while the connection check or the position output runs
    qint16 monitorOn = 0;     // -1 while the input monitor runs
    qint16 monitorStop = 0;   // 1 asks the monitor to stop at its next tick
    qint16 pollBusy = 0;      // -1 while a poll exchange runs
    bool transferRunning = false;
    // The running exchange: the receive buffer (text received since the last send, upper
    // case, at most 1024), the step and end flags, the address and command, the reply
    // counters and the flags of the reply and communication timers.
    QString inPut;
    qint16 step = 0;
    qint16 commEnd = 0;
    qint16 address = 0;
    QString command;
    qint32 shortReplies = 0;
    qint32 noReplies = 0;
    qint16 replyTimeUp = 0;
    qint16 commTimeUp = 0;
};

class LinkSession : public QObject {
    Q_OBJECT
public:
    // A session on a port of its own (a headless program's site or port).
    explicit LinkSession(std::unique_ptr<SerialPortService> port, QObject *parent = nullptr);
    // The program's session: on the installed port (MSComm1(), looked up at each use, so a
    // test may install another) and with its state kept in state, which outlives it.
    explicit LinkSession(LinkState *state, QObject *parent = nullptr);
    ~LinkSession() override;

    SerialPortService &port();
    // The boxes of the exchanges; nullptr: the installed dialog service.
    void setDialogs(DialogService *d) { m_dialogs = d; }
    // How counts become values for the readings; unset: the input type of the settings the
    // program has loaded (g_intInputType), looked up at each reading.
    void setScale(const ReadingScale &scale);
    ReadingScale scale() const;

    // ------------------------------------------------------------- state
    const LinkState &state() const { return *m_state; }
    void setConnectStatus(qint16 status);
    void setCommBusy(qint16 busy);
    void setMonitorOn(qint16 on);
    void setMonitorStop(qint16 stop);
    void setTransferRunning(bool running);
    // Back to the values at start, without announcing: the state, the receive buffer, the
    // step and the timers (an exchange that runs is dropped without its result).
    void resetExchangeState();

    // ------------------------------------------------------------- port and buffer
    bool openPort(int commPort);         // opens (if closed) and empties the receive buffer
    // The port was opened without the session (a device server's line opened without
    // waiting): the receive buffer is emptied, and a later loss is told again.
    void portOpened();
    // The port closed by itself (the device went away, a device server ended the connection):
    // the hang-up with the port's own reason; no failure while it is open or was closed on purpose.
    CommError portLost();
    // An exchange that finds the port closed by itself under it says so as a send on that
    // port does: the send's box with the hang-up and the port's reason (Retry shows it again
    // while the port stays closed). Once per loss; true when there was a loss to tell.
    bool lostReport();
    // How long the poll, the channel read and the output set wait for a reply (and the polls
    // may keep giving up); 0: g_lngReplyWaitMs.
    void setReplyWaitMs(int ms) { m_replyWaitMs = ms; }
    int replyWaitMs() const;
    // A transfer gives a command up once it was sent this many times and each send was
    // answered with "?" or with what is no answer; 0: no limit (the user has "中止");
    // -1: g_intTransferSendLimit.
    void setSendLimit(int sends) { m_sendLimit = sends; }
    int sendLimit() const;
    const TransferRefusal &refusal() const { return m_refusal; }
    bool checkPort(int commPort);        // opens and closes again: true when it opens
    CommError closePort();               // closes; the failure of the close
    // The receive buffer: text received since the last send, upper case, at most 1024.
    QString &inPut() { return m_state->inPut; }
    void receive();                      // takes what arrived into the buffer
    void clearBuffers();                 // both port buffers and what is waiting
    // The purge of "Comm Buffer Clear": empties both buffers and closes the port; a
    // connection is not shown as up over the closed port.
    void purge();

    // ------------------------------------------------------------- exchange state
    qint16 &step() { return m_state->step; }
    qint16 &commEnd() { return m_state->commEnd; }
    qint16 &address() { return m_state->address; }
    QString &command() { return m_state->command; }
    qint32 &shortReplyCount() { return m_state->shortReplies; }
    qint32 &noReplyCount() { return m_state->noReplies; }
    qint16 &replyTimeUp() { return m_state->replyTimeUp; }
    qint16 &commTimeUp() { return m_state->commTimeUp; }
    WindowTimer &replyTimer() { return m_replyTimer; }
    WindowTimer &commTimer() { return m_commTimer; }
    void replyTimerStart();
    void replyTimerStop();
    void commTimerStart();
    void commTimerStop();

    // The reply checks: each first takes what arrived and never waits.
    qint16 lCheck();                  // 0 port closed, 1 not yet, 2 "L0001" CR
    void rCheck();                    // step 20 (wait), 30 (reply), 11 (send again after "?")
    void wCheck();
    bool eCheck();
    qint16 pCheck();                  // 100 no CR yet, 1 "P", 3 "?", 0 other line
    qint16 pollParse();               // 1 complete, 100 wait, 40 give up, 0 "?"
    QString readData() const;         // the two characters after the first "R"

    // ------------------------------------------------------------- exchanges
    bool busy() const { return m_kind != Kind::None; }
    // The send of one command line with its drain wait; a failure offers Retry.
    void send(const QString &command, LinkDone done);
    // "L" once a second until "L0001", for ten seconds at most. The port must be open.
    void checkConnection(LinkDone done);
    // The 48 settings bytes into image (cells 0x00-0x2F), or image's 48 bytes and "E" to
    // the controller. The port must be open. transferProgress counts the addresses.
    void readSettings(MemCell *image, LinkDone done);
    void writeSettings(const MemCell *image, LinkDone done);
    // One poll exchange, "N" (the input count) or "Y" (the outputs). A "Y" whose "N" came
    // completes a reading (readingCompleted).
    void poll(const QString &command, LinkDone done);
    // The channel read ("N" ch, up to four sends) and the analog output ("D" ch count).
    void channelRead(int channel, LinkDone done);
    void analogOut(int channel, double volts, LinkDone done);
    // The position output "P" and four selections, with its resends and Retry question.
    void positionOutput(const QString &command, LinkDone done);
    // Asks the running read or write to end at its next pass ("中止").
    void cancel();
    // A monitor start forgets the polls of an earlier run that gave up.
    void resetPollWatch();

    // Waits until the running exchange completes, handling events meanwhile; the result.
    LinkResult wait();
    // Runs the exchange that start begins and waits for it.
    LinkResult run(const std::function<void(LinkDone)> &start);
    const LinkResult &lastResult() const { return m_last; }
    // The newest completed reading.
    const Reading &lastReading() const { return m_reading; }

signals:
    void connectStatusChanged(qint16 status);
    void busyLockChanged(bool locked);
    void monitorOnChanged(qint16 on);
    void monitorStopChanged(bool requested);
    void transferRunningChanged(bool running);
    void waitCursorChanged(bool on);
    void transferProgress(int value);
    // A "Y" reply completed the reading begun by the "N" before it.
    void readingCompleted(const Reading &reading);
    // The device went away (the port closed itself).
    void deviceGone(const QString &reason);

private:
    enum class Kind { None, Send, Check, Read, Write, Poll, ChannelRead, AnalogOut, Position };
    enum class Pass { Busy, Idle, Finished };
    enum class SendPhase { None, Start, Draining, Sent, Failed };

    void init();
    void hookPort(SerialPortService &p);
    void start(Kind kind, LinkDone done);
    // An exchange asked for while another runs ends at once as Busy: true then.
    bool refusedAsBusy(const LinkDone &done);
    void startTransfer(Kind kind, MemCell *readInto, const MemCell *writeFrom, LinkDone done);
    void finish(LinkOutcome outcome, const QString &reply = QString(), bool sent = true);
    void drive();
    void poke();
    Pass pass();
    int msgBox(const QString &text, int style, const QString &caption);

    bool sendFailedBox(const CommError &e); // the send's box; true for Retry
    bool noteNoAnswer(const QString &command, const QString &reply);
    void noteAnswered();
    Pass giveUp();

    // The send sub-machine every exchange uses.
    void sendBegin(const QString &command);
    SendPhase sendPass();

    Pass passSend();
    Pass passCheck();
    Pass passTransfer();
    Pass repeatEachSecond(qint16 first, const QString &command, const std::function<qint16()> &check, qint16 next);
    Pass passPoll();
    Pass passChannel();
    Pass passAnalogOut();
    Pass passPosition();
    void pollTimedOut();
    void replyTimeOutBox(); // "受信待ち ﾀｲﾑｱｯﾌﾟ" of the poll and the channel
    bool hasCr() const;
    void letterCheck(QChar letter);
    void onPortEvent(int event, const QString &description);

    std::unique_ptr<SerialPortService> m_ownPort;
    SerialPortService *m_hooked = nullptr;
    LinkState m_ownState;
    LinkState *m_state = &m_ownState;
    DialogService *m_dialogs = nullptr;
    bool m_hasScale = false;
    ReadingScale m_scale;

    bool m_lostTold = false; // the loss of the port has been told since it was opened
    int m_replyWaitMs = 0;
    int m_sendLimit = -1;
    TransferRefusal m_refusal;
    QString m_unansweredCommand;
    int m_unansweredSends = 0;
    bool m_sendNoted = false;

    WindowTimer m_replyTimer;
    WindowTimer m_commTimer;
    WindowTimer m_waitTimer;  // the poll's and the channel's reply bounds
    WindowTimer m_drainTimer; // the transmit buffer's drain bound
    bool m_drainUp = false;
    WindowTimer m_passTimer;  // the next pass after a short pause
    bool m_waitUp = false;

    // The running exchange.
    Kind m_kind = Kind::None;
    LinkDone m_done;
    LinkResult m_last;
    bool m_driving = false;
    bool m_again = false;
    bool m_cancelled = false;
    QString m_reason;

    SendPhase m_send = SendPhase::None;
    QByteArray m_sendFrame;
    CommError m_sendError;

    MemCell *m_readImage = nullptr;
    const MemCell *m_writeImage = nullptr;
    int m_progress = 0;

    QString m_pollCommand;
    int m_pollWant = 0;
    bool m_pollWaiting = false;
    bool m_pollGaveUp = false;
    bool m_pollTimedOut = false;
    qint64 m_givingUpSinceMs[2] = {-1, -1};
    QString m_pendingValue; // the "N" reply's value awaiting its "Y"
    QDateTime m_pendingTime;
    bool m_pendingOpen = false;
    Reading m_reading;

    double m_volts = 0;
    int m_channel = 0;
    int m_channelSends = 0;
    bool m_sawQuestion = false;
    int m_unanswered = 0;
};
