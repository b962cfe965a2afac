#include "platform/TcpSerialPort.h"

#include "platform/Clock.h"


#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace {
// Printable text of bytes a server sent, at most 120 characters; any other byte is a blank.
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
    m_openBound.onTick = [this] {
        m_openBound.setEnabled(false);
        m_openTimeUp = true;
        stepOpenAsync();
    };
    QObject::connect(&m_socket, &QAbstractSocket::stateChanged, &m_socket, [this] {
        if (m_openDone)
            QMetaObject::invokeMethod(&m_socket, [this] { stepOpenAsync(); }, Qt::QueuedConnection);
    });
    m_resume.setSingleShot(true);
    m_resume.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_resume, &QTimer::timeout, &m_socket, [this] {
        if (m_open || m_connecting)
            pump();
    });
    QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] {
        if (m_open || m_connecting)
            pump();
        if (m_openDone)
            stepOpenAsync();
        notifyActivity();
    });
    QObject::connect(&m_socket, &QTcpSocket::bytesWritten, &m_socket, [this] { notifyActivity(); });
    QObject::connect(&m_socket, &QTcpSocket::disconnected, &m_socket, [this] {
        if (m_open)
            onClosedByServer();
    });
    QObject::connect(&m_socket, &QTcpSocket::errorOccurred, &m_socket, [this](QAbstractSocket::SocketError e) {
        // A drop is told by whichever comes first, the error or the disconnect; an error
        // that leaves the connection up is none.
        if (!m_open || (e != QAbstractSocket::RemoteHostClosedError && m_socket.state() == QAbstractSocket::ConnectedState))
            return;
        if (e == QAbstractSocket::RemoteHostClosedError)
            onClosedByServer();
        else
            onDropped(m_socket.errorString(), QStringLiteral("接続が切れました (%1)").arg(m_socket.errorString()));
    });
}

TcpSerialPort::~TcpSerialPort()
{
    m_openDone = nullptr;
    QObject::disconnect(&m_socket, nullptr, nullptr, nullptr);
    m_resume.stop();
    m_open = false;
    m_socket.abort();
}

CommError TcpSerialPort::setPortOpen(bool open)
{
    if (!open) {
        cancelOpen();
        m_lostJa.clear();
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

bool TcpSerialPort::beginConnect(const ComPortMapping &m, CommError *e)
{
    if (m_open) {
        *e = {comPortAlreadyOpen, QStringLiteral("Port already open")};
        return false;
    }
    m_map = m;
    m_problem.clear();
    m_problemJa.clear();
    m_lostJa.clear();
    m_dropEn.clear();
    m_dropJa.clear();
    m_in.clear();
    m_decoded.clear();
    m_said.clear();
    m_noise = 0;
    m_noiseWindow.invalidate();
    m_resume.stop();
    m_telnet.reset();
    if (!m.network()) {
        *e = failOpen(QStringLiteral("no network address"), QStringLiteral("ﾈｯﾄﾜｰｸのｱﾄﾞﾚｽがありません。"));
        return false;
    }
    if (m.kind == ComPortMapping::Kind::Rfc2217)
        m_telnet = std::make_unique<Rfc2217Client>();
    m_connecting = true;
    m_negotiating = false;
    m_socket.abort();
    m_socket.setReadBufferSize(kReadChunk);
    m_socket.connectToHost(m.host, m.port);
    return true;
}

TcpSerialPort::OpenStep TcpSerialPort::stepOpen(bool timeUp, int timeoutMs, CommError *e)
{
    const QString seconds = QString::number(timeoutMs / 1000.0, 'g', 3);
    const auto failed = [&](const CommError &err) {
        *e = err;
        return OpenStep::Failed;
    };
    if (!m_negotiating) {
        const QAbstractSocket::SocketState state = m_socket.state();
        if (state != QAbstractSocket::ConnectedState) {
            if (state != QAbstractSocket::UnconnectedState) {
                if (!timeUp)
                    return OpenStep::Pending;
                return failed(failOpen(QStringLiteral("no answer within %1 s").arg(seconds),
                                       QStringLiteral("%1 秒以内に応答がありません。").arg(seconds)));
            }
            switch (m_socket.error()) {
            case QAbstractSocket::RemoteHostClosedError: return failed(closedWhileOpening());
            case QAbstractSocket::ConnectionRefusedError:
                return failed(failOpen(QStringLiteral("connection refused"), QStringLiteral("接続を拒否されました。")));
            case QAbstractSocket::HostNotFoundError:
                return failed(failOpen(QStringLiteral("host %1 not found").arg(m_map.host),
                                       QStringLiteral("ﾎｽﾄ %1 が見つかりません。").arg(m_map.host)));
            default: return failed(failOpen(m_socket.errorString(), m_socket.errorString()));
            }
        }
        tuneSocket();
        if (m_telnet) {
            send(m_telnet->start());
            m_negotiating = true;
        }
    }
    if (m_negotiating) {
        pump();
        if (!m_telnet->ready() && !m_telnet->failed()) {
            if (!m_dropEn.isEmpty())
                return failed(failOpen(m_dropEn, m_dropJa));
            if (m_socket.state() != QAbstractSocket::ConnectedState)
                return failed(closedWhileOpening());
            if (!timeUp)
                return OpenStep::Pending;
            if (!m_telnet->accepted())
                return failed(failOpen(QStringLiteral("the server does not answer RFC 2217 (COM-PORT-OPTION) within %1 s; "
                                                      "for a raw TCP port write tcp:// instead")
                                           .arg(seconds),
                                       QStringLiteral("ｻｰﾊﾞｰが %1 秒以内に RFC 2217 (COM-PORT-OPTION) に応答しません。"
                                                      "生の TCP ﾎﾟｰﾄなら tcp:// で指定してください。")
                                           .arg(seconds)));
            return failed(failOpen(QStringLiteral("the server did not confirm the line settings within %1 s").arg(seconds),
                                   QStringLiteral("ｻｰﾊﾞｰが %1 秒以内に通信条件の設定に応答しません。").arg(seconds)));
        }
        m_negotiating = false;
        if (m_telnet->failed())
            return failed(failOpen(m_telnet->reason(false), m_telnet->reason(true)));
    }
    // A server that closed at once (a busy device server says so and goes).
    if (m_socket.state() != QAbstractSocket::ConnectedState)
        return failed(closedWhileOpening());
    m_connecting = false;
    m_open = true;
    return OpenStep::Opened;
}

CommError TcpSerialPort::connectTo(const ComPortMapping &m, int timeoutMs)
{
    CommError e;
    if (!beginConnect(m, &e))
        return e;
    // The windows go on while the connection is made: the wait sleeps until the next event.
    const Deadline bound(timeoutMs);
    for (;;) {
        switch (stepOpen(bound.passed(), timeoutMs, &e)) {
        case OpenStep::Opened: return {};
        case OpenStep::Failed: return e;
        case OpenStep::Pending: bound.wait(); break;
        }
    }
}

void TcpSerialPort::openAsync(const ComPortMapping &m, std::function<void(const CommError &)> done, int timeoutMs)
{
    cancelOpen();
    CommError e;
    if (!beginConnect(m, &e)) {
        QMetaObject::invokeMethod(
            &m_socket, [done = std::move(done), e] { done(e); }, Qt::QueuedConnection);
        return;
    }
    m_openDone = std::move(done);
    m_openTimeoutMs = timeoutMs;
    m_openTimeUp = false;
    m_openBound.setEnabled(false);
    m_openBound.setInterval(timeoutMs);
    m_openBound.setEnabled(true);
    QMetaObject::invokeMethod(&m_socket, [this] { stepOpenAsync(); }, Qt::QueuedConnection);
}

void TcpSerialPort::openAsync(std::function<void(const CommError &)> done)
{
    cancelOpen();
    const ComPortMapping m = ComPortMap(m_commPort);
    if (!m.network()) {
        m_map = m;
        const CommError e = failOpen(QStringLiteral("COM%1 is not mapped to a network address").arg(m_commPort),
                                     QStringLiteral("COM%1 はﾈｯﾄﾜｰｸのｱﾄﾞﾚｽに割り当てられていません。").arg(m_commPort));
        QMetaObject::invokeMethod(&m_socket, [done = std::move(done), e] { done(e); }, Qt::QueuedConnection);
        return;
    }
    openAsync(m, std::move(done));
}

void TcpSerialPort::stepOpenAsync()
{
    if (!m_openDone)
        return;
    CommError e;
    const OpenStep step = stepOpen(m_openTimeUp, m_openTimeoutMs, &e);
    if (step == OpenStep::Pending)
        return;
    m_openBound.setEnabled(false);
    const auto done = std::move(m_openDone);
    m_openDone = nullptr;
    done(step == OpenStep::Opened ? CommError{} : e);
}

void TcpSerialPort::cancelOpen()
{
    if (!m_openDone)
        return;
    m_openDone = nullptr;
    m_openBound.setEnabled(false);
    m_connecting = false;
    m_negotiating = false;
    m_telnet.reset();
    m_socket.abort();
}

CommError TcpSerialPort::closedWhileOpening()
{
    if (!m_dropEn.isEmpty())
        return failOpen(m_dropEn, m_dropJa);
    // What the server still sent before it closed: it may say why.
    decode(m_socket.read(kReadChunk));
    const QString said = serverWords();
    if (!said.isEmpty())
        return failOpen(QStringLiteral("the server closed the connection: \"%1\"").arg(said),
                        QStringLiteral("ｻｰﾊﾞｰが接続を切りました: \"%1\"").arg(said));
    if (m_telnet)
        return failOpen(QStringLiteral("the server closed the connection during the RFC 2217 negotiation"),
                        QStringLiteral("RFC 2217 の交渉中にｻｰﾊﾞｰが接続を切りました。"));
    return failOpen(QStringLiteral("the server closed the connection"), QStringLiteral("ｻｰﾊﾞｰが接続を切りました。"));
}

void TcpSerialPort::tuneSocket()
{
    // A command line goes out at once, not held back to be joined with the next.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // The line carries 960 bytes a second: small socket buffers are plenty. A server that
    // reads nothing fills the send buffer soon, so the port's own bound (kMaxQueuedOutput)
    // notices; a server that floods finds the receive buffer full, so its flood waits on
    // its side and the data behind it is late by little.
    m_socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 32 * 1024);
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 32 * 1024);
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

void TcpSerialPort::onDropped(const QString &why, const QString &whyJa)
{
    m_open = false;
    m_in.clear();
    m_decoded.clear();
    m_resume.stop();
    m_socket.abort();
    const QString where = QStringLiteral("COM%1 (%2)").arg(m_map.comPort).arg(m_map.url());
    m_problem = QStringLiteral("%1: %2").arg(where, why);
    m_problemJa = m_lostJa = QStringLiteral("%1: %2").arg(where, whyJa);
    if (onCommEvent)
        onCommEvent(comHangUp, m_problem);
    notifyActivity();
}

void TcpSerialPort::onClosedByServer()
{
    // What the server still sent before it closed: it may say why.
    decode(m_socket.read(kReadChunk));
    const QString words = serverWords();
    if (words.isEmpty())
        onDropped(QStringLiteral("the server closed the connection"), QStringLiteral("ｻｰﾊﾞｰが接続を切りました"));
    else
        onDropped(QStringLiteral("the server closed the connection: \"%1\"").arg(words),
                  QStringLiteral("ｻｰﾊﾞｰが接続を切りました: \"%1\"").arg(words));
}

QString TcpSerialPort::serverWords() const
{
    // The last line the server sent, when it is words: the controller's own lines are
    // capitals, digits and "?", never a small letter.
    const QList<QByteArray> lines = m_said.split('\n');
    for (qsizetype i = lines.size() - 1; i >= 0; --i) {
        const QList<QByteArray> parts = lines.at(i).split('\r');
        for (qsizetype j = parts.size() - 1; j >= 0; --j) {
            const QString t = shownText(parts.at(j));
            if (t.isEmpty())
                continue;
            for (const QChar c : t)
                if (c >= QLatin1Char('a') && c <= QLatin1Char('z'))
                    return t;
            return QString();
        }
    }
    return QString();
}

bool TcpSerialPort::send(const QByteArray &bytes)
{
    if (m_socket.state() != QAbstractSocket::ConnectedState)
        return false;
    if (bytes.isEmpty())
        return true;
    if (m_socket.write(bytes) != bytes.size())
        return false;
    m_socket.flush();
    const qint64 queued = m_socket.bytesToWrite();
    if (queued <= kMaxQueuedOutput)
        return m_socket.state() == QAbstractSocket::ConnectedState;
    // The server takes nothing of what the port sends it: the connection ends, with that
    // reason, before the queue can grow without bound.
    const QString en = QStringLiteral("the server reads nothing (%1 bytes wait to be sent)").arg(queued);
    const QString ja = QStringLiteral("ｻｰﾊﾞｰが受信しません (送信待ち %1 ﾊﾞｲﾄ)").arg(queued);
    if (m_open) {
        onDropped(en, ja);
    } else {
        m_dropEn = en;
        m_dropJa = ja;
        m_socket.abort();
    }
    return false;
}

QByteArray TcpSerialPort::decode(const QByteArray &raw)
{
    QByteArray data;
    if (m_telnet)
        send(m_telnet->receive(raw, &data));
    else
        data = raw;
    m_said += data.right(kWordsKept);
    if (m_said.size() > kWordsKept)
        m_said.remove(0, m_said.size() - kWordsKept);
    return data;
}

bool TcpSerialPort::noiseSpent()
{
    if (!m_noiseWindow.isValid() || m_noiseWindow.elapsed() >= kNoiseWindowMs) {
        m_noiseWindow.start();
        m_noise = 0;
        return false;
    }
    if (m_noise < kNoiseBudget)
        return false;
    if (!m_resume.isActive())
        m_resume.start(int(kNoiseWindowMs - m_noiseWindow.elapsed()) + 1);
    return true;
}

void TcpSerialPort::pump()
{
    // One read of the socket per call at most: a flood costs a bounded piece of work for
    // each pass of the event loop, and what is left comes at the next.
    bool read = false;
    while (m_in.size() < ComInBufferSize) {
        if (!m_decoded.isEmpty()) {
            const qsizetype n = qMin<qsizetype>(ComInBufferSize - m_in.size(), m_decoded.size());
            m_in += m_decoded.left(n);
            m_decoded.remove(0, n);
            continue;
        }
        if (m_socket.bytesAvailable() <= 0)
            return;
        if (read) {
            if (!m_resume.isActive())
                m_resume.start(0);
            return;
        }
        if (noiseSpent())
            return;
        const QByteArray raw = m_socket.read(m_telnet ? kReadChunk : ComInBufferSize - m_in.size());
        if (raw.isEmpty())
            return;
        read = true;
        QByteArray data = decode(raw);
        if (m_socket.state() != QAbstractSocket::ConnectedState)
            return; // the connection ended while the port answered
        m_noise += raw.size() - data.size();
        m_decoded = std::move(data);
    }
    // The receive buffer is full: the rest waits in the socket until the link takes some.
}

CommError TcpSerialPort::output(const QByteArray &bytes)
{
    if (!m_open)
        return {comPortNotOpen, QStringLiteral("Operation valid only when the port is open")};
    const QByteArray wire = m_telnet ? m_telnet->encode(bytes) : bytes;
    if (m_socket.bytesToWrite() + wire.size() > ComOutBufferSize)
        return {comOutBufferFull, QStringLiteral("Transmit buffer full")};
    if (!send(wire))
        return m_open ? CommError{comPortOpenFailed, m_socket.errorString()} : HangUpError(m_lostJa);
    return {};
}

int TcpSerialPort::outBufferCount() { return m_open ? int(m_socket.bytesToWrite()) : 0; }

void TcpSerialPort::clearOutBuffer()
{
    // What is written has gone to the network at once; the server's own buffer is emptied.
    if (m_open && m_telnet)
        send(Rfc2217Client::purge(ComPortOption::PurgeTransmit));
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
    // Everything that has arrived is dropped (the socket holds at most kReadChunk); Telnet
    // commands among it are still answered.
    m_in.clear();
    m_decoded.clear();
    if (m_socket.bytesAvailable() > 0 && !noiseSpent()) {
        const QByteArray raw = m_socket.read(kReadChunk);
        m_noise += raw.size() - decode(raw).size();
    }
    if (m_telnet && m_open)
        send(Rfc2217Client::purge(ComPortOption::PurgeReceive));
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
