#include "fleet/SiteWatch.h"

#include "fleet/SharedTick.h"
#include "link/LinkSession.h"
#include "platform/Clock.h"
#include "platform/ComPorts.h"
#include "platform/Dialogs.h"
#include "platform/MappedSerialPort.h"
#include "platform/PortClaims.h"
#include "platform/TcpSerialPort.h"
#include "settings/modUserData.h"

#include <QRegularExpression>

namespace {
// A device server's line named by the site itself: opening it (always without waiting)
// connects to the address.
class SiteNetworkPort : public TcpSerialPort {
public:
    explicit SiteNetworkPort(const WatchSite &site)
    {
        m_map.kind =
            site.kind == WatchSite::PortKind::Rfc2217 ? ComPortMapping::Kind::Rfc2217 : ComPortMapping::Kind::Tcp;
        m_map.host = site.host;
        m_map.port = site.tcpPort;
    }
    void openAsync(std::function<void(const CommError &)> done) override
    {
        TcpSerialPort::openAsync(m_map, std::move(done));
    }

private:
    ComPortMapping m_map;
};

SilentDialogs &siteDialogs()
{
    static SilentDialogs d;
    return d;
}

// The reason of a result in one line.
QString oneLine(const QString &text)
{
    return text.simplified();
}

// Why the port failed to open or closed by itself, as the port tells it; a device server's
// line names the COM number it stands for and its address ("COM0 (tcp://...): "), which the
// address alone replaces.
QString portProblem(const SerialPortService &p, const QString &fallback)
{
    QString why = p.problem();
    if (why.isEmpty())
        return oneLine(fallback);
    static const QRegularExpression comAndAddress(QStringLiteral("^COM\\d+ \\(([a-z0-9]+://[^)]*)\\): "));
    why.replace(comAndAddress, QStringLiteral("\\1: "));
    return oneLine(why);
}

const QString kStartingReason = QStringLiteral("waiting for the controller's first reading");
} // namespace

const char *SiteStateName(SiteState s)
{
    switch (s) {
    case SiteState::Starting: return "starting";
    case SiteState::Online: return "online";
    case SiteState::Refused: return "refused";
    case SiteState::Garbled: return "garbled";
    case SiteState::NoReply: return "no-reply";
    case SiteState::Lost: return "lost";
    case SiteState::Stopped: return "stopped";
    case SiteState::Maintenance: return "maintenance";
    }
    return "?";
}

std::unique_ptr<SerialPortService> MakeSitePort(const WatchSite &site)
{
    if (site.kind == WatchSite::PortKind::Com)
        return std::make_unique<MappedSerialPort>();
    return std::make_unique<SiteNetworkPort>(site);
}

QStringList SitePortKeys(const WatchSite &site)
{
    if (site.kind == WatchSite::PortKind::Com)
        return ComPortKeys(site.comPort);
    return {NetworkPortKey(site.host, site.tcpPort)};
}

SiteWatch::SiteWatch(const WatchSite &site, const SitePortMaker &makePort, QObject *parent)
    : QObject(parent), m_site(site), m_pollTimer(std::make_unique<SharedTick>()),
      m_retryTimer(std::make_unique<WindowTimer>()), m_typeTimer(std::make_unique<WindowTimer>()),
      m_settleTimer(std::make_unique<WindowTimer>())
{
    m_since = Now();
    m_reason = kStartingReason;
    m_session = std::make_unique<LinkSession>(makePort(site));
    SessionOptions o;
    o.dialogs = &siteDialogs();
    o.scale = ScaleOfType(site.inputType > 0 ? site.inputType : 1);
    // No one is there to press "中止": a settings read refused again and again is
    // given up.
    o.sendLimit = 3;
    m_session->setOptions(o);
    m_pollTimer->setInterval(site.intervalMs);
    m_pollTimer->onTick = [this] { poll(); };
    m_retryTimer->onTick = [this] {
        m_retryTimer->setEnabled(false);
        open();
    };
    m_settleTimer->setInterval(kSettleMs);
    m_settleTimer->onTick = [this] {
        m_settleTimer->setEnabled(false);
        if (m_lent || m_state == SiteState::Stopped || !m_session->port().portOpen())
            return;
        // The controller's answer to the line ended is no reply to a poll.
        m_session->port().clearInBuffer();
        typeKnown(scale());
    };
    m_typeTimer->setInterval(kTypeReadMs);
    m_typeTimer->onTick = [this] {
        m_typeTimer->setEnabled(false);
        m_typeTimedOut = true;
        m_session->cancel();
    };
    connect(m_session.get(), &LinkSession::readingCompleted, this, [this](const Reading &r) {
        m_retryMs = kRetryMinMs;
        m_heardRefusal = m_heardGarble = false;
        setState(SiteState::Online, SiteCode::Ok);
        emit readingTaken(r);
    });
    connect(m_session.get(), &LinkSession::deviceGone, this, [this](const QString &why) {
        if (m_state == SiteState::Stopped)
            return;
        const QString reason = portProblem(m_session->port(), why);
        if (m_lent) {
            // The holder hears of it and gives the line back, which opens it again.
            emit lineGone(reason);
            return;
        }
        lose(reason);
    });
}

SiteWatch::~SiteWatch()
{
    m_settleTimer->setEnabled(false);
    m_pollTimer->setEnabled(false);
    m_retryTimer->setEnabled(false);
    m_typeTimer->setEnabled(false);
    if (m_session->port().portOpen())
        m_session->closePort();
}

ReadingScale SiteWatch::scale() const
{
    return m_session->options().scale;
}

void SiteWatch::start()
{
    if (m_state == SiteState::Stopped) {
        m_state = SiteState::Starting;
        m_code = SiteCode::Connecting;
        m_reason = kStartingReason;
        m_since = Now();
    }
    m_retryMs = kRetryMinMs;
    m_retryTimer->setInterval(1);
    m_retryTimer->setEnabled(true);
}

void SiteWatch::stop()
{
    m_granted = nullptr;
    m_lent = false;
    m_holder.clear();
    m_session->setIdleListener(nullptr);
    m_settleTimer->setEnabled(false);
    m_polling = false;
    m_pollTimer->setEnabled(false);
    m_retryTimer->setEnabled(false);
    m_typeTimer->setEnabled(false);
    // The exchange that runs ends (its result is not waited for): the port closes
    // under it.
    m_session->reset();
    if (m_session->port().portOpen())
        m_session->closePort();
    setState(SiteState::Stopped, SiteCode::Stopped, QStringLiteral("the watcher stopped watching the site"));
}

void SiteWatch::open()
{
    if (m_state == SiteState::Stopped)
        return;
    if (m_session->port().portOpen()) {
        opened();
        return;
    }
    if (m_openCheck) {
        const QString why = m_openCheck();
        if (!why.isEmpty()) {
            lose(why);
            return;
        }
    }
    // Opened without waiting, a device as a device server's line: one site's open (a
    // connection and its RFC 2217 negotiation) holds up no other.
    m_session->openPort(m_site.comPort, [this](const CommError &e) {
        if (m_state == SiteState::Stopped)
            return;
        SerialPortService &p = m_session->port();
        if (!e.failed() && p.portOpen()) {
            opened();
            return;
        }
        QString why = portProblem(p, e.description.isEmpty() ? QStringLiteral("the port did not open") : e.description);
        // A device this user may not open: how to get the permission.
        if (e.number == comPortAccessDenied)
            why += QStringLiteral(" (") + oneLine(ComPortPermissionHint(m_site.comPort, false)) + QLatin1Char(')');
        lose(why);
    });
}

bool SiteWatch::settingsWanted() const
{
    return m_site.inputType == 0 || !m_site.golden.isEmpty();
}

void SiteWatch::opened()
{
    m_session->resetPollWatch();
    if (lendIfAsked())
        return;
    if (!settingsWanted())
        typeKnown(ScaleOfType(m_site.inputType));
    else
        readInputType();
}

void SiteWatch::requestAudit()
{
    m_auditWanted = true;
    if (m_polling && !m_session->busy() && m_session->port().portOpen())
        auditRead();
}

// The audit's read, between two polls: the next tick finds the session busy and leaves its
// poll out, and the tick after the read polls again.
void SiteWatch::auditRead()
{
    m_auditWanted = false;
    m_image.reset(new MemCell[kSettingsCells]);
    m_typeTimedOut = false;
    m_typeTimer->setEnabled(false);
    m_typeTimer->setEnabled(true);
    m_session->readSettings(m_image.get(), [this](const LinkResult &r) {
        m_typeTimer->setEnabled(false);
        if (m_state == SiteState::Stopped)
            return;
        const std::unique_ptr<MemCell[]> image = std::move(m_image);
        if (r.ok()) {
            emit settingsRead(image.get(), Now());
            return;
        }
        const QString why = m_typeTimedOut ? QStringLiteral("no progress for %1 s").arg(kTypeReadMs / 1000)
                                           : QString::fromLatin1(LinkOutcomeName(r.outcome));
        emit settingsUnread(why);
        if (r.outcome == LinkOutcome::DeviceGone || !m_session->port().portOpen())
            lose(portProblem(m_session->port(), r.reason));
    });
}

void SiteWatch::readInputType()
{
    m_connected = true;
    m_image.reset(new MemCell[kSettingsCells]);
    m_typeTimedOut = false;
    m_typeTimer->setEnabled(false);
    m_typeTimer->setEnabled(true);
    m_auditWanted = false;
    m_session->readSettings(m_image.get(), [this](const LinkResult &r) {
        m_typeTimer->setEnabled(false);
        if (m_state == SiteState::Stopped)
            return;
        if (r.ok() && m_site.inputType > 0) {
            // Read for the audit only: the site pins its type.
            emit settingsRead(m_image.get(), Now());
            m_image.reset();
            typeKnown(ScaleOfType(m_site.inputType));
            return;
        }
        if (r.ok()) {
            const int type = InputTypeFromCode(m_image[cellInputCode].data());
            emit settingsRead(m_image.get(), Now());
            m_image.reset();
            const ReadingScale s = ScaleOfType(type);
            m_typeAssumed = false;
            emit note(
                QStringLiteral("input type %1 (%2), from the controller's settings").arg(s.inputType).arg(s.unit));
            typeKnown(s);
            return;
        }
        m_image.reset();
        if (r.outcome == LinkOutcome::DeviceGone || !m_session->port().portOpen()) {
            lose(portProblem(m_session->port(), r.reason));
            return;
        }
        const QString failed = m_typeTimedOut ? QStringLiteral("no progress for %1 s").arg(kTypeReadMs / 1000)
                                              : QString::fromLatin1(LinkOutcomeName(r.outcome));
        if (!m_site.golden.isEmpty())
            emit settingsUnread(failed);
        if (m_site.inputType > 0) {
            typeKnown(ScaleOfType(m_site.inputType));
            return;
        }
        emit note(QStringLiteral("the input type could not be read from the controller "
                                 "(%1); values as type %2 until the next connect")
                      .arg(failed)
                      .arg(scale().inputType));
        m_typeAssumed = true;
        typeKnown(scale());
    });
}

void SiteWatch::typeKnown(const ReadingScale &scale)
{
    m_connected = true;
    if (m_site.inputType > 0)
        m_typeAssumed = false;
    SessionOptions o = m_session->options();
    o.scale = scale;
    m_session->setOptions(o);
    m_polling = true;
    m_pollTimer->setEnabled(true);
    poll();
}

void SiteWatch::poll()
{
    if (m_lent || lendIfAsked())
        return;
    // The poll of an earlier tick still waits for its reply (at most the reply
    // time).
    if (!m_polling || m_session->busy() || !m_session->port().portOpen())
        return;
    if (m_auditWanted) {
        auditRead();
        return;
    }
    m_session->poll(QStringLiteral("N"), [this](const LinkResult &r) {
        if (!r.ok()) {
            pollEnded(r);
            return;
        }
        m_session->poll(QStringLiteral("Y"), [this](const LinkResult &y) { pollEnded(y); });
    });
}

void SiteWatch::pollEnded(const LinkResult &r)
{
    if (!m_polling)
        return;
    switch (r.outcome) {
    case LinkOutcome::Done: // the reading (if the "N" came) has made the site online
        m_heardRefusal = m_heardGarble = false;
        break;
    case LinkOutcome::NoReply:
    case LinkOutcome::GaveUp: {
        // The poll waited its whole reply time, or its replies carried no value for as long.
        // What the line held by then tells a controller that refuses the poll ("?") and a
        // line whose speed or settings turn the answers into something else from a
        // controller that says nothing at all. The next poll empties the line anyway.
        const QString heard = (m_session->buffer() + QString::fromLatin1(m_session->port().input())).trimmed();
        const int waitS = m_session->options().replyWaitMs / 1000;
        m_session->resetPollWatch();
        if (heard.startsWith(QLatin1Char('?')) || (heard.isEmpty() && m_heardRefusal))
            setState(SiteState::Refused, SiteCode::Refused,
                     QStringLiteral("the controller answered \"?\" for %1 s: it does not take the poll "
                                    "(check the controller)").arg(waitS));
        else if (!heard.isEmpty() || m_heardGarble || r.outcome == LinkOutcome::GaveUp)
            setState(SiteState::Garbled, SiteCode::Garbled,
                     QStringLiteral("no reply understood for %1 s: check the line's speed and settings").arg(waitS));
        else
            setState(SiteState::NoReply, SiteCode::NoReply,
                     QStringLiteral("no reply for %1 s: check the controller's power and its line").arg(waitS));
        m_heardRefusal = m_heardGarble = false;
        break;
    }
    case LinkOutcome::Refused: m_heardRefusal = true; break; // the next tick asks again
    case LinkOutcome::NotUnderstood: m_heardGarble = true; break;
    case LinkOutcome::DeviceGone:
    case LinkOutcome::SendFailed: lose(portProblem(m_session->port(), r.reason)); break;
    default: break;
    }
    // The exchange in progress is over: a client that asked for the line gets it now.
    lendIfAsked();
}

bool SiteWatch::lendLine(const QString &holder, std::function<void(const QString &)> granted)
{
    if (m_lent || m_granted || m_state == SiteState::Stopped)
        return false;
    m_holder = holder;
    m_granted = std::move(granted);
    if (lendIfAsked())
        return true;
    // A closed port (lost, waiting for its next try, or never opened) is opened now; one
    // that is opening lends the line once it is open (opened()).
    if (!m_session->port().portOpen() && m_retryTimer->Enabled()) {
        m_retryTimer->setEnabled(false);
        open();
    }
    return true;
}

bool SiteWatch::lendIfAsked()
{
    if (!m_granted || m_lent || m_session->busy() || !m_session->port().portOpen())
        return false;
    m_lent = true;
    m_polling = false;
    m_pollTimer->setEnabled(false);
    m_typeTimer->setEnabled(false);
    m_retryTimer->setEnabled(false);
    m_session->reset();
    m_session->setIdleListener([this] { emit lineActivity(); });
    setState(SiteState::Maintenance, SiteCode::Maintenance,
             QStringLiteral("the line is lent for maintenance to %1").arg(m_holder));
    const auto granted = std::exchange(m_granted, nullptr);
    granted(QString());
    return true;
}

void SiteWatch::takeLineBack(bool openLine)
{
    const bool wasLent = m_lent;
    m_granted = nullptr;
    m_lent = false;
    m_holder.clear();
    m_session->setIdleListener(nullptr);
    if (!wasLent || m_state == SiteState::Stopped)
        return;
    // What the holder sent and the line has not taken goes with it; what the controller said
    // to the holder is not a reply to the watcher's polls.
    SerialPortService &p = m_session->port();
    if (p.portOpen()) {
        p.clearOutBuffer();
        p.clearInBuffer();
        setState(SiteState::Starting, SiteCode::Resuming, QStringLiteral("the polls resume after maintenance"));
        // A technician may have changed the settings: a site with an approved file is audited
        // at the first tick after the session.
        if (!m_site.golden.isEmpty())
            m_auditWanted = true;
        // The input type of the last connect stands; the polls begin at once, or after the
        // answer to the line the holder left open (the poll empties the line before its "N").
        m_session->resetPollWatch();
        if (openLine && !p.output("\r").failed()) {
            m_settleTimer->setEnabled(false);
            m_settleTimer->setEnabled(true);
            return;
        }
        typeKnown(scale());
        return;
    }
    lose(portProblem(p, QStringLiteral("the port closed during maintenance")));
}

void SiteWatch::lose(const QString &reason)
{
    if (m_granted) {
        // A client that waits for the line is told that it does not open.
        const auto granted = std::exchange(m_granted, nullptr);
        m_holder.clear();
        granted(reason.isEmpty() ? QStringLiteral("the port closed") : reason);
    }
    m_polling = false;
    m_pollTimer->setEnabled(false);
    m_typeTimer->setEnabled(false);
    m_session->reset();
    if (m_session->port().portOpen())
        m_session->closePort();
    // A port that was open and polled went away; one that never opened did not open.
    setState(SiteState::Lost, m_connected ? SiteCode::ConnectionLost : SiteCode::OpenFailed,
             reason.isEmpty() ? QStringLiteral("the port closed") : reason);
    m_connected = false;
    m_heardRefusal = m_heardGarble = false;
    m_retryTimer->setInterval(m_retryMs);
    m_retryTimer->setEnabled(true);
    m_retryMs = qMin(m_retryMs * 2, kRetryMaxMs);
}

void SiteWatch::setState(SiteState s, const char *code, const QString &reason)
{
    if (s == m_state && reason == m_reason && qstrcmp(code, m_code) == 0)
        return;
    const bool changed = s != m_state;
    m_state = s;
    m_code = code;
    m_reason = reason;
    if (changed)
        m_since = Now();
    emit stateChanged(s, reason);
}
