#include "platform/TcpSerialPort.h"

#include "platform/Clock.h"


#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {
// Printable text a server sent before it closed (ser2net says why it will not serve).
QString shownText(const QByteArray &bytes)
{
    QString t;
    for (const char c : bytes.left(120)) {
        if (c >= 0x20 && c < 0x7F)
            t += QLatin1Char(c);
        else if (!t.endsWith(QLatin1Char(' ')))
            t += QLatin1Char(' ');
    }
    return t.trimmed();
}
} // namespace

TcpSerialPort::TcpSerialPort()
{
    QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] {
        if (m_open || m_connecting)
            pump();
        notifyActivity();
    });
    QObject::connect(&m_socket, &QTcpSocket::bytesWritten, &m_socket, [this] { notifyActivity(); });
    QObject::connect(&m_socket, &QTcpSocket::disconnected, &m_socket, [this] {
        if (m_open)
            onDropped(QStringLiteral("the server closed the connection"));
    });
    QObject::connect(&m_socket, &QTcpSocket::errorOccurred, &m_socket, [this](QAbstractSocket::SocketError e) {
        // A drop is told by whichever comes first, the error or the disconnect; an error
        // that leaves the connection up is none.
        if (!m_open || (e != QAbstractSocket::RemoteHostClosedError && m_socket.state() == QAbstractSocket::ConnectedState))
            return;
        onDropped(e == QAbstractSocket::RemoteHostClosedError ? QStringLiteral("the server closed the connection")
                                                               : m_socket.errorString());
    });
}

TcpSerialPort::~TcpSerialPort()
{
    QObject::disconnect(&m_socket, nullptr, nullptr, nullptr);
    m_open = false;
    m_socket.abort();
}

CommError TcpSerialPort::setPortOpen(bool open)
{
    if (!open) {
        if (m_open) {
            m_open = false;
            closeSocket();
        }
        return {};
    }
    if (m_open)
        return {comPortAlreadyOpen, QStringLiteral("Port already open")};
    const ComPortMapping m = ComPortMap(m_commPort);
    if (!m.network()) {
        m_map = m;
        return failOpen(QStringLiteral("COM%1 is not mapped to a network address").arg(m_commPort),
                        QStringLiteral("COM%1 はﾈｯﾄﾜｰｸのｱﾄﾞﾚｽに割り当てられていません。").arg(m_commPort));
    }
    return this->connectTo(m);
}

CommError TcpSerialPort::failOpen(const QString &en, const QString &ja)
{
    m_connecting = false;
    closeSocket();
    m_telnet.reset();
    const QString where = m_map.network() ? QStringLiteral("COM%1 (%2)").arg(m_map.comPort).arg(m_map.url())
                                          : QStringLiteral("COM%1").arg(m_map.comPort);
    m_problem = QStringLiteral("%1: %2").arg(where, en);
    m_problemJa = m_map.network() ? QStringLiteral("%1 に接続できません: %2").arg(where, ja)
                                  : QStringLiteral("%1: %2").arg(where, ja);
    m_problemPort = m_map.comPort;
    return {comPortOpenFailed, m_problem};
}

CommError TcpSerialPort::connectTo(const ComPortMapping &m, int timeoutMs)
{
    if (m_open)
        return {comPortAlreadyOpen, QStringLiteral("Port already open")};
    m_map = m;
    m_problem.clear();
    m_problemJa.clear();
    m_in.clear();
    m_telnet.reset();
    if (!m.network())
        return failOpen(QStringLiteral("no network address"), QStringLiteral("ﾈｯﾄﾜｰｸのｱﾄﾞﾚｽがありません。"));
    if (m.kind == ComPortMapping::Kind::Rfc2217)
        m_telnet = std::make_unique<Rfc2217Client>();

    m_connecting = true;
    m_socket.abort();
    m_socket.setReadBufferSize(ComInBufferSize);
    // The windows go on while the connection is made: the wait sleeps until the next event.
    const Deadline bound(timeoutMs);
    m_socket.connectToHost(m.host, m.port);
    while (m_socket.state() != QAbstractSocket::ConnectedState &&
           m_socket.state() != QAbstractSocket::UnconnectedState && !bound.passed())
        bound.wait();
    const QString seconds = QString::number(timeoutMs / 1000.0, 'g', 3);
    if (m_socket.state() != QAbstractSocket::ConnectedState) {
        if (m_socket.state() != QAbstractSocket::UnconnectedState)
            return failOpen(QStringLiteral("no answer within %1 s").arg(seconds),
                            QStringLiteral("%1 秒以内に応答がありません。").arg(seconds));
        switch (m_socket.error()) {
        case QAbstractSocket::ConnectionRefusedError:
            return failOpen(QStringLiteral("connection refused"), QStringLiteral("接続を拒否されました。"));
        case QAbstractSocket::HostNotFoundError:
            return failOpen(QStringLiteral("host %1 not found").arg(m.host),
                            QStringLiteral("ﾎｽﾄ %1 が見つかりません。").arg(m.host));
        default:
            return failOpen(m_socket.errorString(), m_socket.errorString());
        }
    }
    tuneSocket();

    if (m_telnet) {
        m_socket.write(m_telnet->start());
        m_socket.flush();
        for (;;) {
            pump();
            if (m_telnet->ready() || m_telnet->failed())
                break;
            if (m_socket.state() != QAbstractSocket::ConnectedState) {
                const QString said = shownText(m_in);
                return failOpen(said.isEmpty() ? QStringLiteral("the server closed the connection during the RFC 2217 "
                                                                "negotiation")
                                               : QStringLiteral("the server closed the connection: \"%1\"").arg(said),
                                said.isEmpty() ? QStringLiteral("RFC 2217 の交渉中にｻｰﾊﾞｰが接続を切りました。")
                                               : QStringLiteral("ｻｰﾊﾞｰが接続を切りました: \"%1\"").arg(said));
            }
            if (bound.passed()) {
                if (!m_telnet->accepted())
                    return failOpen(QStringLiteral("the server does not answer RFC 2217 (COM-PORT-OPTION) within %1 s; "
                                                   "for a raw TCP port write tcp:// instead")
                                        .arg(seconds),
                                    QStringLiteral("ｻｰﾊﾞｰが %1 秒以内に RFC 2217 (COM-PORT-OPTION) に応答しません。"
                                                   "生の TCP ﾎﾟｰﾄなら tcp:// で指定してください。")
                                        .arg(seconds));
                return failOpen(QStringLiteral("the server did not confirm the line settings within %1 s").arg(seconds),
                                QStringLiteral("ｻｰﾊﾞｰが %1 秒以内に通信条件の設定に応答しません。").arg(seconds));
            }
            bound.wait();
        }
        if (m_telnet->failed())
            return failOpen(m_telnet->reason(false), m_telnet->reason(true));
    }
    m_connecting = false;
    m_open = true;
    return {};
}

void TcpSerialPort::tuneSocket()
{
    // A command line goes out at once, not held back to be joined with the next.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // A site whose link died without a word is noticed: keep-alive probes on an idle
    // connection, and a bound on data the server does not acknowledge.
    m_socket.setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    const qintptr fd = m_socket.socketDescriptor();
    if (fd < 0)
        return;
    const int idle = 10, interval = 5, count = 3;
    const unsigned int userTimeoutMs = 20000;
    setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(int(fd), IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

void TcpSerialPort::closeSocket()
{
    // What was written (a purge of the server's buffers) leaves before the connection ends.
    if (m_socket.state() == QAbstractSocket::ConnectedState) {
        m_socket.flush();
        m_socket.disconnectFromHost();
    }
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
}

void TcpSerialPort::onDropped(const QString &why)
{
    m_open = false;
    m_in.clear();
    m_socket.abort();
    m_problem = QStringLiteral("COM%1 (%2): %3").arg(m_commPort).arg(m_map.url(), why);
    if (onCommEvent)
        onCommEvent(comHangUp, m_problem);
    notifyActivity();
}

QByteArray TcpSerialPort::decode(const QByteArray &raw)
{
    if (!m_telnet)
        return raw;
    QByteArray data;
    const QByteArray answer = m_telnet->receive(raw, &data);
    if (!answer.isEmpty() && m_socket.state() == QAbstractSocket::ConnectedState) {
        m_socket.write(answer);
        m_socket.flush();
    }
    return data;
}

void TcpSerialPort::pump()
{
    while (m_in.size() < ComInBufferSize && m_socket.bytesAvailable() > 0) {
        const QByteArray raw = m_socket.read(ComInBufferSize - m_in.size());
        if (raw.isEmpty())
            break;
        m_in += decode(raw);
    }
}

CommError TcpSerialPort::output(const QByteArray &bytes)
{
    if (!m_open)
        return {comPortNotOpen, QStringLiteral("Operation valid only when the port is open")};
    const QByteArray wire = m_telnet ? Rfc2217Client::escapeData(bytes) : bytes;
    if (m_socket.bytesToWrite() + wire.size() > ComOutBufferSize)
        return {comOutBufferFull, QStringLiteral("Transmit buffer full")};
    if (m_socket.write(wire) != wire.size())
        return {m_open ? comPortOpenFailed : comHangUp, m_socket.errorString()};
    // Without this the bytes wait for the next pass of the event loop.
    m_socket.flush();
    return {};
}

int TcpSerialPort::outBufferCount() { return m_open ? int(m_socket.bytesToWrite()) : 0; }

void TcpSerialPort::clearOutBuffer()
{
    // What is written has gone to the network at once; the server's own buffer is emptied.
    if (m_open && m_telnet) {
        m_socket.write(Rfc2217Client::purge(ComPortOption::PurgeTransmit));
        m_socket.flush();
    }
}

int TcpSerialPort::inBufferCount()
{
    if (!m_open)
        return 0;
    pump();
    return int(m_in.size());
}

void TcpSerialPort::clearInBuffer()
{
    if (!m_open)
        return;
    // Everything that has arrived is dropped; Telnet commands among it are still answered.
    m_in.clear();
    while (m_socket.bytesAvailable() > 0) {
        decode(m_socket.read(4096));
    }
    m_in.clear();
    if (m_telnet && m_open) {
        m_socket.write(Rfc2217Client::purge(ComPortOption::PurgeReceive));
        m_socket.flush();
    }
}

QByteArray TcpSerialPort::input()
{
    if (!m_open)
        return {};
    pump();
    QByteArray out;
    out.swap(m_in);
    pump();
    out += m_in;
    m_in.clear();
    return out;
}

QString TcpSerialPort::accessHint(int n) const
{
    return n == m_problemPort && !m_open ? m_problemJa : QString();
}
