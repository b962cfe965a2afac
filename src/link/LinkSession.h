#pragma once
// One open line to one controller: the port, the receive buffer, the timers, the loop that
// drives the running exchange and waits for it, and the send of one command line that every
// exchange uses. The exchanges themselves (the connection check, the read and write of the
// 48 settings bytes, the poll, the analog channel's read and output, the position output)
// are each a file of their own (link/Exchange.h): start() returns at once, and the exchange
// completes with a LinkResult. They keep the controller's resends, pauses and time-outs.
//
// A session reads no global: its scale, reply wait, send limit and dialog service come in
// one SessionOptions value. The boxes an exchange shows on its way (a send that failed
// offers Retry) go to that dialog service: the program's session shows them, a headless
// session answers them so that the exchange ends and keeps their texts as the result's
// reason.
//
// Sessions share nothing: a process may hold one per port and run their exchanges at once.
// The program's windows use one session, appSession() (link/modLinkState.h), through the
// written routines, which start an exchange and wait for it (wait()).
#include "link/Protocol.h"
#include "link/Reading.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class DialogService;
class LinkExchange;
class ConnectionCheck;
class SettingsTransfer;
class PollExchange;
class ChannelExchange;
class PositionExchange;
class SendExchange;
struct MemCell;

// What a session needs to know from whoever runs it.
struct SessionOptions {
    ReadingScale scale;                // how counts become values in the readings
    int replyWaitMs = kReplyWaitMs;    // the poll's, the channel read's and the output's wait
    // A transfer gives a command up once it was sent this many times and each send was
    // answered with "?" or with what is no answer; 0: no limit (the user has "中止").
    int sendLimit = 0;
    DialogService *dialogs = nullptr; // the boxes; nullptr: answered without a word
};

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
    GaveUp,        // a poll: the replies of its command carried no value for as long as one
                   // reply wait
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

// What the written names show of a session (the program's: link/modLinkState.h): the receive
// buffer, the step of the running exchange as the written exchanges number it, its end
// flag, address and command, the poll's counters and the timers' flags.
struct LinkView {
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
    // test may install another), showing its state in view, which outlives it.
    explicit LinkSession(LinkView *view, QObject *parent = nullptr);
    ~LinkSession() override;

    SerialPortService &port();
    void setOptions(const SessionOptions &options) { m_options = options; }
    const SessionOptions &options() const { return m_options; }
    const LinkView &view() const { return *m_view; }
    // While no exchange runs, the port's activity (bytes arrived, the transmit buffer
    // drained, the port closed) is told here: the line lent to someone who reads and writes
    // the port itself. Empty: no one.
    void setIdleListener(std::function<void()> listener) { m_idle = std::move(listener); }

    // ------------------------------------------------------------- port and buffer
    // Opens COM n without waiting (a device server's line connects in steps); done comes from
    // the event loop with the open's result. On success the receive buffer is emptied and a
    // later loss is told again. An open port is left as it is.
    void openPort(int commPort, std::function<void(const CommError &)> done);
    // The same, waiting for it with the events going on (the written routines).
    CommError openPortAndWait(int commPort);
    // Opens and closes again: true when it opens (an open port: true when it is COM n).
    bool checkPort(int commPort);
    CommError closePort();
    // The port closed by itself (the device went away, a device server ended the connection):
    // the hang-up with the port's own reason; no failure while it is open or was closed on purpose.
    CommError portLost();
    // An exchange that finds the port closed by itself under it says so as a send on that
    // port does: the send's box with the hang-up and the port's reason (Retry shows it again
    // while the port stays closed). Once per loss; true when there was a loss to tell.
    bool lostReport();
    // The receive buffer: text received since the last send, upper case, at most 1024.
    const QString &buffer() const { return m_view->inPut; }
    void receive();                      // takes what arrived into the buffer
    void clearBuffers();                 // both port buffers and what is waiting
    // The purge of "Comm Buffer Clear": empties both buffers and closes the port.
    void purge();

    // ------------------------------------------------------------- the two timers
    // The reply timer (1 s, raised each tick until stopped) and the overall communication
    // timer (10 s, with the wait cursor).
    void replyTimerStart();
    void replyTimerStop();
    void commTimerStart();
    void commTimerStop();
    const WindowTimer &replyTimer() const { return m_replyTimer; }
    const WindowTimer &commTimer() const { return m_commTimer; }

    // ------------------------------------------------------------- exchanges
    bool busy() const { return m_running != nullptr; }
    // The send of one command line with its drain wait; a failure offers Retry.
    void send(const QString &command, LinkDone done);
    // "L" once a second until "L0001", for ten seconds at most. The port must be open.
    void checkConnection(LinkDone done);
    // The 48 settings bytes into image (cells 0x00-0x2F), or image's 48 bytes and "E" to
    // the controller. The port must be open. transferProgress counts the addresses.
    void readSettings(MemCell *image, LinkDone done);
    void writeSettings(const MemCell *image, LinkDone done);
    // One poll exchange, "N" (the input count) or "Y" (the outputs). An "N" reply begins a
    // reading (valueReceived), the "Y" reply after it completes it (readingCompleted); a
    // reply to the other command (late, from an earlier poll) is left out.
    void poll(const QString &command, LinkDone done);
    // The channel read ("N" ch, up to four sends) and the analog output ("D" ch count).
    void channelRead(int channel, LinkDone done);
    void analogOut(int channel, double volts, LinkDone done);
    // The position output "P" and four selections, with its resends and Retry question.
    void positionOutput(const QString &command, LinkDone done);
    // Asks the running read or write to end at its next pass ("中止").
    void cancel();
    // Asks a running poll to end at its next pass without sending more (a stop of the
    // monitor); any other exchange goes on.
    void cancelPoll();
    // A monitor start forgets the polls of an earlier run that gave up.
    void resetPollWatch();
    // Drops the running exchange without its result, stops the timers and empties the
    // buffer and the view.
    void reset();

    // Waits until the running exchange completes, handling events meanwhile; the result.
    LinkResult wait();
    // Runs the exchange that start begins and waits for it.
    LinkResult run(const std::function<void(LinkDone)> &start);
    const LinkResult &lastResult() const { return m_last; }
    // The newest completed reading.
    const Reading &lastReading() const;
    // Why the last transfer gave its command up, when its send limit ended it.
    const TransferRefusal &refusal() const;

signals:
    void waitCursorChanged(bool on);
    void transferProgress(int value);
    // An "N" reply began a reading (its value; the outputs still to come).
    void valueReceived(const Reading &begun);
    // A "Y" reply completed the reading begun by the "N" before it.
    void readingCompleted(const Reading &reading);
    // The device went away (the port closed itself).
    void deviceGone(const QString &reason);

private:
    friend class LinkExchange;
    enum class SendPhase { None, Start, Draining, Sent, Failed };

    void init();
    void hookPort(SerialPortService &p);
    void onPortEvent(const QString &description);
    // An exchange asked for while another runs ends at once as Busy: true then.
    bool refusedAsBusy(const LinkDone &done);
    void start(LinkExchange &exchange, LinkDone done);
    void finish(LinkOutcome outcome, const QString &reply, bool sent, double volts);
    void drive();
    void poke();
    void showView();
    int msgBox(const QString &text, int style, const QString &caption);
    bool sendFailedBox(const CommError &e); // the send's box; true for Retry
    void sendBegin(const QString &command);
    SendPhase sendPass();
    void boundStart(int ms);

    std::unique_ptr<SerialPortService> m_ownPort;
    std::function<void()> m_idle;
    SerialPortService *m_hooked = nullptr;
    LinkView m_ownView;
    LinkView *m_view = &m_ownView;
    SessionOptions m_options;
    bool m_lostTold = false; // the loss of the port has been told since it was opened

    WindowTimer m_replyTimer;
    WindowTimer m_commTimer;
    WindowTimer m_boundTimer; // an exchange's bound on a reply
    bool m_boundUp = false;
    WindowTimer m_drainTimer; // the transmit buffer's drain bound
    bool m_drainUp = false;
    WindowTimer m_passTimer;  // the next pass after a short pause

    // The running exchange and its driver.
    LinkExchange *m_running = nullptr;
    LinkDone m_done;
    LinkResult m_last;
    QString m_reason;
    bool m_driving = false;
    bool m_again = false;
    bool m_drivePosted = false; // a pass waits in the event loop

    // The send of one line.
    SendPhase m_send = SendPhase::None;
    QByteArray m_sendFrame;

    std::unique_ptr<SendExchange> m_sendExchange;
    std::unique_ptr<ConnectionCheck> m_check;
    std::unique_ptr<SettingsTransfer> m_transfer;
    std::unique_ptr<PollExchange> m_poll;
    std::unique_ptr<ChannelExchange> m_channel;
    std::unique_ptr<PositionExchange> m_position;
};
