#include "fleet/SiteWatch.h"

#include "link/LinkSession.h"
#include "platform/Clock.h"
#include "platform/ComPorts.h"
#include "platform/Dialogs.h"
#include "platform/MappedSerialPort.h"
#include "platform/PortClaims.h"
#include "platform/TcpSerialPort.h"
#include "settings/modUserData.h"

#include <QCoreApplication>

namespace {
// A device server's line named by the site itself: opening it connects to the
// address.
class SiteNetworkPort : public TcpSerialPort {
public:
    explicit SiteNetworkPort(const WatchSite &site)
    {
        m_map.kind =
            site.kind == WatchSite::PortKind::Rfc2217 ? ComPortMapping::Kind::Rfc2217 : ComPortMapping::Kind::Tcp;
        m_map.host = site.host;
        m_map.port = site.tcpPort;
    }
    CommError setPortOpen(bool open) override
    {
        return open && !portOpen() ? connectTo(m_map) : TcpSerialPort::setPortOpen(open);
    }

    const ComPortMapping &siteMapping() const { return m_map; }

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

// Why the port failed to open or closed by itself: a device server's line says
// it in English, with its address.
TcpSerialPort *networkPort(SerialPortService &p)
{
    if (auto *mapped = dynamic_cast<MappedSerialPort *>(&p))
        return &mapped->active() == &mapped->network() ? &mapped->network() : nullptr;
    return dynamic_cast<TcpSerialPort *>(&p);
}

// Why the port failed to open or closed by itself: a device server's line says it in
// English after its address ("COM0 (tcp://...): "), which the site's own address replaces.
QString portProblem(SerialPortService &p, const QString &fallback)
{
    const TcpSerialPort *tcp = networkPort(p);
    if (!tcp || tcp->problem().isEmpty())
        return oneLine(fallback);
    QString why = tcp->problem();
    const QString where = QStringLiteral("(%1): ").arg(tcp->mapping().url());
    if (const qsizetype at = why.indexOf(where); at >= 0)
        why = why.mid(at + where.size());
    return tcp->mapping().url() + QStringLiteral(": ") + oneLine(why);
}

int s_opening = 0;
} // namespace

int SiteWatch::openingNow()
{
    return s_opening;
}

const char *SiteStateName(SiteState s)
{
    switch (s) {
    case SiteState::Starting: return "starting";
    case SiteState::Online: return "online";
    case SiteState::NoReply: return "no-reply";
    case SiteState::Lost: return "lost";
    case SiteState::Stopped: return "stopped";
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

namespace {
// Sites stopped while a port was being opened: destroyed once none is.
std::vector<std::unique_ptr<SiteWatch>> &retired()
{
    static std::vector<std::unique_ptr<SiteWatch>> r;
    return r;
}
} // namespace

void SiteWatch::retire(std::unique_ptr<SiteWatch> site)
{
    if (!site)
        return;
    site->disconnect();
    site->stop();
    if (s_opening == 0) {
        site.reset();
        return;
    }
    retired().push_back(std::move(site));
}

SiteWatch::SiteWatch(const WatchSite &site, const SitePortMaker &makePort, QObject *parent)
    : QObject(parent), m_site(site), m_pollTimer(std::make_unique<WindowTimer>()),
      m_retryTimer(std::make_unique<WindowTimer>()), m_typeTimer(std::make_unique<WindowTimer>())
{
    m_session = std::make_unique<LinkSession>(makePort(site));
    m_session->setDialogs(&siteDialogs());
    m_session->setScale(ScaleOfType(site.inputType > 0 ? site.inputType : 1));
    // No one is there to press "中止": a settings read refused again and again is
    // given up.
    m_session->setSendLimit(3);
    m_pollTimer->setInterval(site.intervalMs);
    m_pollTimer->onTick = [this] { poll(); };
    m_retryTimer->onTick = [this] {
        m_retryTimer->setEnabled(false);
        open();
    };
    m_typeTimer->setInterval(kTypeReadMs);
    m_typeTimer->onTick = [this] {
        m_typeTimer->setEnabled(false);
        m_typeTimedOut = true;
        m_session->cancel();
    };
    connect(m_session.get(), &LinkSession::readingCompleted, this, [this](const Reading &r) {
        m_retryMs = kRetryMinMs;
        setState(SiteState::Online);
        emit readingTaken(r);
    });
    connect(m_session.get(), &LinkSession::deviceGone, this, [this](const QString &why) {
        if (m_state != SiteState::Stopped)
            lose(portProblem(m_session->port(), why));
    });
}

SiteWatch::~SiteWatch()
{
    m_pollTimer->setEnabled(false);
    m_retryTimer->setEnabled(false);
    m_typeTimer->setEnabled(false);
    if (m_session->port().portOpen())
        m_session->closePort();
}

ReadingScale SiteWatch::scale() const
{
    return m_session->scale();
}

void SiteWatch::start()
{
    if (m_state == SiteState::Stopped)
        m_state = SiteState::Starting;
    m_retryMs = kRetryMinMs;
    m_retryTimer->setInterval(1);
    m_retryTimer->setEnabled(true);
}

void SiteWatch::stop()
{
    m_polling = false;
    m_pollTimer->setEnabled(false);
    m_retryTimer->setEnabled(false);
    m_typeTimer->setEnabled(false);
    // The exchange that runs ends (its result is not waited for): the port closes
    // under it.
    m_session->resetExchangeState();
    if (m_session->port().portOpen())
        m_session->closePort();
    setState(SiteState::Stopped);
}

void SiteWatch::open()
{
    if (m_state == SiteState::Stopped)
        return;
    SerialPortService &p = m_session->port();
    if (p.portOpen()) {
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
    // A device server's line is opened without waiting: the connection (and its RFC 2217
    // negotiation) of one site holds up no other.
    if (auto *net = dynamic_cast<SiteNetworkPort *>(&p)) {
        net->openAsync(net->siteMapping(), [this, net](const CommError &e) {
            if (m_state == SiteState::Stopped)
                return;
            if (e.failed() || !net->portOpen())
                lose(portProblem(*net,
                                 e.description.isEmpty() ? QStringLiteral("the port did not open") : e.description));
            else
                opened();
        });
        return;
    }
    p.setCommPort(m_site.comPort);
    ++s_opening;
    const CommError e = p.setPortOpen(true);
    --s_opening;
    // Sites retired meanwhile go once the stack of opens has unwound (this one may be one).
    if (s_opening == 0 && !retired().empty())
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [] {
                if (s_opening == 0)
                    retired().clear();
            },
            Qt::QueuedConnection);
    // A stop may have come while the port was being opened.
    if (m_state == SiteState::Stopped) {
        if (p.portOpen())
            m_session->closePort();
        return;
    }
    if (e.failed() || !p.portOpen()) {
        const QString hint = networkPort(p) ? QString() : p.accessHint(m_site.comPort);
        lose(portProblem(p, e.description.isEmpty() ? QStringLiteral("the port did not open") : e.description) +
             (hint.isEmpty() ? QString() : QStringLiteral(" (") + oneLine(hint) + QLatin1Char(')')));
        return;
    }
    opened();
}

void SiteWatch::opened()
{
    m_session->portOpened();
    m_session->resetPollWatch();
    m_session->setMonitorStop(0);
    if (m_site.inputType > 0)
        typeKnown(ScaleOfType(m_site.inputType));
    else
        readInputType();
}

void SiteWatch::readInputType()
{
    m_image.reset(new MemCell[kSettingsCells]);
    m_typeTimedOut = false;
    m_typeTimer->setEnabled(false);
    m_typeTimer->setEnabled(true);
    m_session->readSettings(m_image.get(), [this](const LinkResult &r) {
        m_typeTimer->setEnabled(false);
        if (m_state == SiteState::Stopped)
            return;
        if (r.ok()) {
            const int type = InputTypeFromCode(m_image[cellInputCode].data());
            m_image.reset();
            const ReadingScale s = ScaleOfType(type);
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
        emit note(QStringLiteral("the input type could not be read from the controller "
                                 "(%1); values as type %2 until the next connect")
                      .arg(m_typeTimedOut ? QStringLiteral("no progress for %1 s").arg(kTypeReadMs / 1000)
                                          : QString::fromLatin1(LinkOutcomeName(r.outcome)))
                      .arg(m_session->scale().inputType));
        typeKnown(m_session->scale());
    });
}

void SiteWatch::typeKnown(const ReadingScale &scale)
{
    m_session->setScale(scale);
    m_polling = true;
    m_pollTimer->setEnabled(true);
    poll();
}

void SiteWatch::poll()
{
    // The poll of an earlier tick still waits for its reply (at most the reply
    // time).
    if (!m_polling || m_session->busy() || !m_session->port().portOpen())
        return;
    // A poll that gave up asked the monitor to stop; the site goes on polling.
    if (m_session->state().monitorStop)
        m_session->setMonitorStop(0);
    // Whatever waits on the line now is a late answer to an earlier poll: it would be taken
    // for the answer to this one and put the polls out of step.
    if (m_session->port().inBufferCount() > 0)
        m_session->port().clearInBuffer();
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
    case LinkOutcome::Done: break; // the reading (if the "N" came) has made the site online
    case LinkOutcome::NoReply:
        m_session->resetPollWatch();
        m_session->setMonitorStop(0);
        setState(SiteState::NoReply, QStringLiteral("no reply for %1 s").arg(m_session->replyWaitMs() / 1000));
        break;
    case LinkOutcome::DeviceGone:
    case LinkOutcome::SendFailed: lose(portProblem(m_session->port(), r.reason)); break;
    case LinkOutcome::Refused:
    case LinkOutcome::NotUnderstood: emit pollFailed(r.outcome); break; // the next tick asks again
    default: break;
    }
}

void SiteWatch::lose(const QString &reason)
{
    m_polling = false;
    m_pollTimer->setEnabled(false);
    m_typeTimer->setEnabled(false);
    m_session->resetExchangeState();
    if (m_session->port().portOpen())
        m_session->closePort();
    setState(SiteState::Lost, reason.isEmpty() ? QStringLiteral("the port closed") : reason);
    m_retryTimer->setInterval(m_retryMs);
    m_retryTimer->setEnabled(true);
    m_retryMs = qMin(m_retryMs * 2, kRetryMaxMs);
}

void SiteWatch::setState(SiteState s, const QString &reason)
{
    if (s == m_state && reason == m_reason)
        return;
    const bool changed = s != m_state;
    m_state = s;
    m_reason = reason;
    if (changed)
        m_since = Now();
    emit stateChanged(s, reason);
}
