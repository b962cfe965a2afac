#pragma once
// One site of a fleet: its own session on its own port, polled as the input monitor polls
// ("N", then "Y") at the site's interval, with the site's state:
//   starting  the port is being opened and the first reading is awaited;
//   online    readings come;
//   refused   a poll waited the controller's reply time (twenty seconds) and the controller
//             answered "?" to it: it is there, but does not take the poll;
//   garbled   a poll waited the reply time and what came was no answer: the line's speed
//             or settings do not match the controller's;
//   no-reply  a poll waited the reply time and nothing came;
//   lost      the port cannot be opened, or the device (the device server's connection)
//             went away: it is opened again after 1 s, 2 s, 4 s ... up to 60 s;
//   stopped   the watcher stopped watching it;
//   maintenance  its line is lent to a client (the watcher's maintenance port): the polls
//             pause after the exchange in progress and resume when the client leaves.
// Each state comes with a reason in English and a code, a short word for programs.
// At each connect the controller's settings are read for its input type (cell 0x2D, as
// the editor decodes it), unless the site pins the type and has no golden file; the
// readings are made with its scale. Each read that ends well is handed over
// (settingsRead), and an audit asked for (requestAudit) reads them again between two polls.
//
// A site never waits for another: every wait is its own session's timer or its own port's
// activity, and the event loop serves the sites in turn. The sites of one interval share
// their poll tick (SharedTick): one wake-up sends their polls within a few milliseconds.
#include "fleet/WatchConfig.h"
#include "link/Reading.h"
#include "platform/SerialPort.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

class LinkSession;
class SharedTick;
class WindowTimer;
struct LinkResult;
struct MemCell;

enum class SiteState { Starting, Online, Refused, Garbled, NoReply, Lost, Stopped, Maintenance };
// "starting", "online", "refused", "garbled", "no-reply", "lost", "stopped", "maintenance"
const char *SiteStateName(SiteState s);
// The codes that come with the states: what programs test instead of the reasons' words.
namespace SiteCode {
inline constexpr const char *Connecting = "connecting";        // starting
inline constexpr const char *Ok = "ok";                        // online
inline constexpr const char *Refused = "controller-refused";   // refused
inline constexpr const char *Garbled = "reply-garbled";        // garbled
inline constexpr const char *NoReply = "no-reply";             // no-reply
inline constexpr const char *OpenFailed = "open-failed";       // lost: the port did not open
inline constexpr const char *ConnectionLost = "connection-lost"; // lost: it closed by itself
inline constexpr const char *Stopped = "watcher-stopped";      // stopped
inline constexpr const char *Maintenance = "maintenance";      // maintenance
inline constexpr const char *Resuming = "resuming";            // starting, after maintenance
} // namespace SiteCode

// The port of a site: COMn as the program maps it (a serial device, or what
// ports/COMn names), tcp:// and rfc2217:// as a device server's line. Opening
// it opens the site.
std::unique_ptr<SerialPortService> MakeSitePort(const WatchSite &site);
using SitePortMaker = std::function<std::unique_ptr<SerialPortService>(const WatchSite &)>;
// The keys a site's port is known by among the ports the program has taken (PortClaims).
QStringList SitePortKeys(const WatchSite &site);

class SiteWatch : public QObject {
    Q_OBJECT
public:
    static constexpr int kRetryMinMs = 1000;
    static constexpr int kRetryMaxMs = 60000;
    // The settings read for the input type is left after this long without
    // progress.
    static constexpr int kTypeReadMs = 10000;
    // After maintenance that left a line open at the controller: the wait for its answer to
    // the CR that ends it, before the polls resume.
    static constexpr int kSettleMs = 200;

    explicit SiteWatch(const WatchSite &site, const SitePortMaker &makePort = MakeSitePort, QObject *parent = nullptr);
    ~SiteWatch() override;

    // Opens the port (from the event loop, so that sites start side by side) and
    // begins polling, or, failing to open, the retries. Every open is asynchronous (a
    // device server's line connects in steps), so a site may be stopped or destroyed at
    // any time.
    void start();
    // Ends the polling and the retries and closes the port: Stopped.
    void stop();
    // Asked before each open: a reason not to open the port now (another part of the program
    // has it open), or empty. The site is then lost with that reason, and retries.
    void setOpenCheck(std::function<QString()> check) { m_openCheck = std::move(check); }

    const WatchSite &site() const { return m_site; }
    SiteState state() const { return m_state; }
    // When the present state began: always a time (a site is starting from its creation).
    QDateTime since() const { return m_since; }
    QString reason() const { return m_reason; }
    // The state's code (SiteCode).
    const char *code() const { return m_code; }
    // The input type could not be read from the controller at this connect: the values are
    // made with the type assumed (the one of the last connect, or type 1).
    bool typeAssumed() const { return m_typeAssumed; }
    ReadingScale scale() const;
    // Reads the controller's 48 settings bytes between two polls (at once when no poll
    // waits; when the site is not polling, at its next connect, which reads them anyway).
    void requestAudit();
    bool auditWanted() const { return m_auditWanted; }
    // A reload's new golden file (the site's settings are read at each connect while it has one).
    void setGolden(const QString &path) { m_site.golden = path; }
    // While lost: the wait before the next open.
    int retryDelayMs() const { return m_retryMs; }
    LinkSession &session() { return *m_session; }

    // ------------------------------------------------------------- lending the line
    // A client asks for the line: the polls pause after the exchange in progress (a closed
    // port is opened first), the state becomes maintenance with who holds it, and granted
    // is called with an empty text; or with why the line cannot be lent (the port does not
    // open). While lent the holder reads and writes port() itself; its activity is told by
    // lineActivity. One holder at a time: false while lent or asked.
    bool lendLine(const QString &holder, std::function<void(const QString &error)> granted);
    // The holder is done (or never got it): the polls resume at once. openLine: the holder's
    // last bytes ended amid a line (no CR after them), which the controller still holds: a CR
    // ends it, and the polls resume at the next tick, after its answer.
    void takeLineBack(bool openLine = false);
    bool lent() const { return m_lent; }
    bool lendAsked() const { return bool(m_granted) || m_lent; }
    // Who holds the line ("127.0.0.1:50312"), empty while no one.
    QString holder() const { return m_holder; }

signals:
    // While lent: the port had activity (bytes, a drained transmit buffer, a close).
    void lineActivity();
    // While lent: the port went away (the holder is told and leaves).
    void lineGone(const QString &reason);
    void stateChanged(SiteState state, const QString &reason);
    // A reading completed (the state is online by then).
    void readingTaken(const Reading &reading);
    // Something worth a line in the service's log that is no change of state.
    void note(const QString &text);
    // The controller's 48 settings bytes (kSettingsCells cells), read at a connect or for an
    // audit.
    void settingsRead(const MemCell *cells, const QDateTime &at);
    // A read for an audit did not end well (the site's polling goes on).
    void settingsUnread(const QString &why);

private:
    void open();
    void opened();
    void readInputType();
    void auditRead();
    bool settingsWanted() const;
    void typeKnown(const ReadingScale &scale);
    void poll();
    void pollEnded(const LinkResult &r);
    void lose(const QString &reason);
    void setState(SiteState s, const char *code, const QString &reason = QString());
    // Lends the line if it was asked for and no exchange runs: true then.
    bool lendIfAsked();

    WatchSite m_site;
    std::unique_ptr<LinkSession> m_session;
    std::unique_ptr<SharedTick> m_pollTimer; // shared with the sites of the same interval
    std::unique_ptr<WindowTimer> m_retryTimer;
    std::unique_ptr<WindowTimer> m_typeTimer;
    std::unique_ptr<WindowTimer> m_settleTimer;
    std::unique_ptr<MemCell[]> m_image;
    SiteState m_state = SiteState::Starting;
    QDateTime m_since;
    QString m_reason;
    const char *m_code = SiteCode::Connecting;
    bool m_connected = false;    // the port was opened and the polls began since the last loss
    bool m_typeAssumed = false;
    bool m_heardRefusal = false; // since the last reading: a poll was answered with "?"
    bool m_heardGarble = false;  // since the last reading: a poll was answered with no answer
    int m_retryMs = kRetryMinMs;
    bool m_polling = false;
    bool m_typeTimedOut = false;
    bool m_auditWanted = false;
    std::function<QString()> m_openCheck;
    std::function<void(const QString &)> m_granted; // a lend asked for, not yet granted
    bool m_lent = false;
    QString m_holder;
};
