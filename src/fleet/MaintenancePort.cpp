#include "fleet/MaintenancePort.h"

#include "fleet/SiteWatch.h"
#include "link/LinkSession.h"
#include "platform/Clock.h"
#include "platform/Rfc2217.h"
#include "platform/SerialPort.h"

#include <utility>

namespace {
QString minutesText(int ms)
{
    return ms % 60000 == 0 ? QString::number(ms / 60000) + QStringLiteral(" min")
                           : QString::number(ms / 1000.0, 'f', ms % 1000 ? 1 : 0) + QStringLiteral(" s");
}
} // namespace

MaintenancePort::MaintenancePort(SiteWatch &site, const WatchMaintenance &rules, QObject *parent)
    : QObject(parent), m_site(site), m_rules(rules), m_idleTimer(std::make_unique<WindowTimer>()),
      m_retryTimer(std::make_unique<WindowTimer>()), m_paceTimer(std::make_unique<WindowTimer>())
{
    m_idleTimer->onTick = [this] {
        m_idleTimer->setEnabled(false);
        if (!m_client)
            return;
        ++m_counts.idleDrops;
        end(QStringLiteral("sent nothing for %1").arg(minutesText(m_rules.idleMs)));
    };
    m_retryTimer->setInterval(kRetryListenMs);
    m_retryTimer->onTick = [this] { listenAgain(); };
    m_paceTimer->onTick = [this] {
        m_paceTimer->setEnabled(false);
        pump();
    };
    connect(&m_site, &SiteWatch::lineActivity, this, [this] { pump(); });
    connect(&m_site, &SiteWatch::lineGone, this, [this](const QString &why) {
        if (m_client)
            end(QStringLiteral("the site's port went away: %1").arg(why));
    });
}

MaintenancePort::~MaintenancePort()
{
    // The client is closed; the site goes with this port (or was stopped), so the line is not
    // given back to its polls.
    m_retryTimer->setEnabled(false);
    if (m_client) {
        m_client->onActivity = nullptr;
        m_client->close();
    }
}

bool MaintenancePort::start(QString *error)
{
    if (!m_listener) {
        m_listener = netListenService().makeListener();
        m_listener->onConnection = [this](std::unique_ptr<NetConnection> c) { accept(std::move(c)); };
    }
    const WatchSite &s = m_site.site();
    if (m_listener->listen(s.maintenanceHost, s.maintenancePort, error)) {
        m_retryTimer->setEnabled(false);
        return true;
    }
    m_retryTimer->setEnabled(true);
    return false;
}

void MaintenancePort::listenAgain()
{
    QString why;
    if (start(&why))
        emit note(QStringLiteral("maintenance port %1 listens").arg(m_site.site().maintenanceUrl()));
}

void MaintenancePort::stop()
{
    m_retryTimer->setEnabled(false);
    if (m_listener)
        m_listener->close();
    if (m_client)
        end(QStringLiteral("the watcher stops watching the site"));
}

void MaintenancePort::setRules(const WatchMaintenance &rules)
{
    m_rules = rules;
}

bool MaintenancePort::listening() const
{
    return m_listener && m_listener->isListening();
}

QString MaintenancePort::client() const
{
    return m_client ? m_client->peerText() : QString();
}

bool MaintenancePort::allowed(const QString &host) const
{
    if (m_rules.allow.isEmpty())
        return IsLoopbackHost(host);
    for (const QString &text : m_rules.allow) {
        NetBlock b;
        if (NetBlock::parse(text, &b, nullptr) && b.contains(host))
            return true;
    }
    return false;
}

void MaintenancePort::turnAway(std::unique_ptr<NetConnection> c, const QByteArray &words)
{
    // Words a terminal shows and the tool's port tells as the server's last line.
    c->write("\r\n" + words + "\r\n");
    c->close();
}

void MaintenancePort::accept(std::unique_ptr<NetConnection> c)
{
    const QString who = c->peerText();
    const QString site = m_site.site().name;
    if (!allowed(c->peerHost())) {
        ++m_counts.notAllowed;
        emit note(QStringLiteral("maintenance: %1 is not among the addresses allowed; closed").arg(who));
        turnAway(std::move(c), "qelvo-watchd: this address may not use the line of " + site.toUtf8());
        return;
    }
    if (m_client) {
        ++m_counts.refused;
        emit note(QStringLiteral("maintenance: %1 refused, the line is held by %2").arg(who, m_client->peerText()));
        turnAway(std::move(c), "qelvo-watchd: the line of " + site.toUtf8() + " is in use for maintenance by " +
                                   m_client->peerText().toUtf8() + " since " +
                                   m_since.toString(QStringLiteral("HH:mm:ss")).toLatin1());
        return;
    }
    if (m_site.lendAsked() || m_site.state() == SiteState::Stopped) {
        ++m_counts.refused;
        turnAway(std::move(c), "qelvo-watchd: the line of " + site.toUtf8() + " cannot be lent now");
        return;
    }
    m_client = std::move(c);
    m_client->onActivity = [this] { pump(); };
    m_telnet = std::make_unique<Rfc2217Server>();
    m_telnet->setFixedLine(true);
    m_telnet->setSignature("qelvo-watchd " + site.toUtf8());
    m_toLine.clear();
    m_openLine = false;
    m_granted = false;
    m_since = Now();
    m_windowStartMs = clockService().elapsedMs();
    m_windowCommandBytes = 0;
    m_client->write(m_telnet->start());
    m_idleTimer->setInterval(m_rules.idleMs);
    m_idleTimer->setEnabled(true);
    ++m_counts.clients;
    emit note(QStringLiteral("maintenance: %1 connected; the polls pause").arg(who));
    m_site.lendLine(who, [this](const QString &error) { granted(error); });
    pump();
}

void MaintenancePort::granted(const QString &error)
{
    if (!m_client)
        return;
    if (!error.isEmpty()) {
        m_client->write(m_telnet->encode("\r\nqelvo-watchd: the line cannot be opened: " + error.toUtf8() + "\r\n"));
        end(QStringLiteral("the line cannot be opened: %1").arg(error));
        return;
    }
    m_granted = true;
    // Whatever waited on the line before the client had it is not the client's.
    m_site.session().port().clearInBuffer();
    pump();
}

void MaintenancePort::pump()
{
    if (m_pumping) {
        m_again = true;
        return;
    }
    m_pumping = true;
    do {
        m_again = false;
        if (!m_client)
            break;
        fromClient();
        if (!m_client)
            break;
        toClient();
    } while (m_again && m_client);
    m_pumping = false;
}

void MaintenancePort::fromClient()
{
    const qint64 now = clockService().elapsedMs();
    if (now - m_windowStartMs >= kCommandWindowMs) {
        m_windowStartMs = now;
        m_windowCommandBytes = 0;
    }
    // Reads only what the line has room for; a client past its share of Telnet commands
    // waits for the next window.
    while (m_client->bytesAvailable() > 0 && m_toLine.size() < kMaxToLine) {
        if (m_windowCommandBytes >= kMaxCommandBytes) {
            if (!m_paceTimer->Enabled()) {
                m_paceTimer->setInterval(int(qMax<qint64>(1, m_windowStartMs + kCommandWindowMs - now)));
                m_paceTimer->setEnabled(true);
            }
            break;
        }
        const QByteArray raw = m_client->read(qMin(kReadChunk, kMaxToLine - m_toLine.size()));
        if (raw.isEmpty())
            break;
        QByteArray data;
        const QByteArray answer = m_telnet->receive(raw, &data);
        m_windowCommandBytes += raw.size() - data.size();
        if (!answer.isEmpty()) {
            m_client->write(answer);
            // Answers it does not read: it is dropped before they pile up.
            if (m_client->bytesToWrite() > kMaxToClient) {
                ++m_counts.flowDrops;
                end(QStringLiteral("reads nothing (%1 bytes waited for it)").arg(m_client->bytesToWrite()));
                return;
            }
        }
        if (!data.isEmpty()) {
            m_toLine += data;
            // Only data is use of the line; options and their answers keep no one on it.
            m_idleTimer->setEnabled(false);
            m_idleTimer->setEnabled(true);
        }
        if (const int purges = m_telnet->takePurges(); purges && m_granted) {
            SerialPortService &p = m_site.session().port();
            if (purges & ComPortOption::PurgeReceive)
                p.clearInBuffer();
            if (purges & ComPortOption::PurgeTransmit)
                p.clearOutBuffer();
        }
    }
    m_counts.settingsDeclined = m_telnet->settingsDeclined();
    // A client that left has left: what it sent and the line has not taken yet goes with
    // it, so that the polls resume at once.
    if (!m_client->isOpen()) {
        end(QStringLiteral("left"));
        return;
    }
    if (!m_granted)
        return;
    SerialPortService &p = m_site.session().port();
    if (!p.portOpen())
        return; // lineGone ends it
    while (!m_toLine.isEmpty() && p.outBufferCount() < kLineChunk) {
        const QByteArray chunk = m_toLine.left(kLineChunk);
        const CommError e = p.output(chunk);
        if (e.failed())
            break;
        m_openLine = !chunk.endsWith('\r');
        m_toLine.remove(0, chunk.size());
    }
    // Room again: what waits in the socket is read at the next activity of either side.
    if (m_toLine.size() < kMaxToLine && m_client->bytesAvailable() > 0 && m_windowCommandBytes < kMaxCommandBytes)
        m_again = true;
}

void MaintenancePort::toClient()
{
    if (m_granted) {
        SerialPortService &p = m_site.session().port();
        if (p.portOpen() && p.inBufferCount() > 0) {
            const QByteArray bytes = p.input();
            if (!bytes.isEmpty())
                m_client->write(m_telnet->encode(bytes));
        }
    }
    if (m_client->bytesToWrite() > kMaxToClient) {
        ++m_counts.flowDrops;
        end(QStringLiteral("reads nothing (%1 bytes waited for it)").arg(m_client->bytesToWrite()));
    }
}

void MaintenancePort::end(const QString &why)
{
    if (!m_client)
        return;
    const QString who = m_client->peerText();
    const qint64 heldS = m_since.secsTo(Now());
    m_idleTimer->setEnabled(false);
    m_paceTimer->setEnabled(false);
    m_client->onActivity = nullptr;
    m_client->close();
    m_client.reset();
    m_telnet.reset();
    m_toLine.clear();
    m_granted = false;
    emit note(QStringLiteral("maintenance: %1 %2 after %3 s").arg(who, why).arg(heldS));
    m_site.takeLineBack(std::exchange(m_openLine, false));
}
