#include "support/TcpTestServer.h"

#include "platform/ComPorts.h"

#include <QDir>
#include <QFile>

TcpTestServer::TcpTestServer(Mode mode, int param, bool telnet) : m_mode(mode), m_param(param), m_telnet(telnet)
{
    m_clock.start();
    connect(&m_server, &QTcpServer::newConnection, this, &TcpTestServer::onConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
    m_dripTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_dripTimer, &QTimer::timeout, this, [this] {
        if (m_drip.isEmpty() || !m_client) {
            m_dripTimer.stop();
            return;
        }
        send(m_drip.left(1));
        m_drip.remove(0, 1);
    });
}

TcpTestServer::~TcpTestServer()
{
    if (m_client)
        m_client->abort();
}

QString TcpTestServer::url() const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_telnet ? "rfc2217" : "tcp").arg(port());
}

quint16 TcpTestServer::closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    const quint16 p = s.serverPort();
    s.close();
    return p;
}

bool TcpTestServer::bindCom(int n, const QString &line)
{
    QDir().mkpath(ComPortsFolder());
    QFile::remove(ComPortLink(n));
    QFile f(ComPortLink(n));
    return f.open(QIODevice::WriteOnly) && f.write(line.toUtf8() + '\n') > 0;
}

void TcpTestServer::setMode(Mode mode, int param)
{
    m_mode = mode;
    m_param = param;
    // What was still to trickle out belongs to the fault that ends.
    m_drip.clear();
    m_dripTimer.stop();
}

void TcpTestServer::dropClient()
{
    if (m_client)
        m_client->abort();
}

void TcpTestServer::push(const QByteArray &bytes)
{
    if (m_client) {
        m_client->write(bytes);
        m_client->flush();
    }
}

void TcpTestServer::onConnection()
{
    while (QTcpSocket *s = m_server.nextPendingConnection()) {
        ++connections;
        // One client at a time, as on a serial line: a new connection takes the line from
        // the old one (whose close may not have been read yet when the tool reconnects).
        if (m_client) {
            QTcpSocket *old = m_client;
            m_client = nullptr;
            old->abort();
        }
        m_client = s;
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(s, &QTcpSocket::readyRead, this, &TcpTestServer::onData);
        connect(s, &QTcpSocket::disconnected, this, [this, s] {
            if (m_client == s)
                m_client = nullptr;
            s->deleteLater();
        });
        m_line.clear();
        m_drip.clear();
        wire.clear();
        model.resetLine();
        m_rfc.reset();
        if (m_mode == Mode::Busy) {
            s->write(busyText);
            s->flush();
            QTimer::singleShot(m_param, s, [s] { s->disconnectFromHost(); });
            continue;
        }
        if (m_telnet && m_mode != Mode::Silent) {
            m_rfc = std::make_unique<Rfc2217Server>(refuseComPort, refuseBinary);
            s->write(m_rfc->start());
        }
    }
}

void TcpTestServer::send(const QByteArray &data)
{
    if (!m_client)
        return;
    m_client->write(m_rfc ? m_rfc->encode(data) : data);
    m_client->flush();
}

void TcpTestServer::onData()
{
    if (!m_client)
        return;
    QByteArray in = m_client->readAll();
    wire += in.left(65536 - wire.size());
    if (m_mode == Mode::Silent || m_mode == Mode::Busy)
        return;
    if (m_rfc) {
        QByteArray data;
        const QByteArray answer = m_rfc->receive(in, &data);
        // Both buffers purged in one read count as two purges.
        const int asked = m_rfc->takePurges();
        purges += (asked & ComPortOption::PurgeReceive ? 1 : 0) + (asked & ComPortOption::PurgeTransmit ? 1 : 0);
        if (!answer.isEmpty())
            m_client->write(answer);
        in = data;
    }
    for (const char c : std::as_const(in)) {
        m_line.append(c);
        if (c != '\r')
            continue;
        const QByteArray frame = m_line.chopped(1);
        m_line.clear();
        if (m_mode == Mode::DropAfter && frames.size() >= m_param) {
            frames << frame;
            m_client->abort();
            return;
        }
        frames << frame;
        QByteArray reply;
        for (const CtrlModel::Chunk &ch : model.receive(frame + '\r', m_clock.nsecsElapsed() / 1000))
            reply += ch.bytes;
        if (m_mode == Mode::Drip) {
            m_drip += reply;
            if (!m_dripTimer.isActive())
                m_dripTimer.start(m_param);
        } else {
            send(reply);
        }
    }
}
