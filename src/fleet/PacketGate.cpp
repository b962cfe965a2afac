#include "fleet/PacketGate.h"

#include "platform/Clock.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

PacketGate::PacketGate(qint64 maxPacket, Fail fail) : m_maxPacket(maxPacket), m_fail(std::move(fail)) {}

PacketGate::~PacketGate() { close(); }

// Takes over libmosquitto's socket: its descriptor names one end of a pair from now on.
bool PacketGate::open(int libFd)
{
    m_net = fcntl(libFd, F_DUPFD_CLOEXEC, 0);
    int pair[2];
    if (m_net < 0 || socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    for (int fd : pair) {
        const int size = kPairBuffer;
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    }
    if (dup3(pair[0], libFd, O_CLOEXEC) < 0) {
        const int err = errno;
        ::close(pair[0]);
        ::close(pair[1]);
        errno = err;
        return false;
    }
    ::close(pair[0]);
    m_lib = pair[1];
    m_netRead = new QSocketNotifier(m_net, QSocketNotifier::Read, this);
    m_netWrite = new QSocketNotifier(m_net, QSocketNotifier::Write, this);
    m_libRead = new QSocketNotifier(m_lib, QSocketNotifier::Read, this);
    m_libWrite = new QSocketNotifier(m_lib, QSocketNotifier::Write, this);
    connect(m_netRead, &QSocketNotifier::activated, this, [this] { fromBroker(); });
    connect(m_netWrite, &QSocketNotifier::activated, this, [this] { toBroker(); });
    connect(m_libRead, &QSocketNotifier::activated, this, [this] { fromLibrary(); });
    connect(m_libWrite, &QSocketNotifier::activated, this, [this] { toLibrary(); });
    update();
    return true;
}

void PacketGate::flush()
{
    if (m_net < 0)
        return;
    fromLibrary();
    if (m_net >= 0)
        toBroker();
}

void PacketGate::close()
{
    for (QSocketNotifier *n : {m_netRead, m_netWrite, m_libRead, m_libWrite})
        if (n)
            n->setEnabled(false);
    if (m_net >= 0) {
        ::shutdown(m_net, SHUT_RDWR);
        ::close(m_net);
    }
    if (m_lib >= 0)
        ::close(m_lib);
    m_net = m_lib = -1;
}

void PacketGate::fail(int err, const QString &reason)
{
    close();
    m_fail(err, reason); // may delete this (later): nothing after it
}

void PacketGate::update()
{
    if (m_net < 0)
        return;
    m_netRead->setEnabled(!m_netEnded && m_down.size() < kChunk);
    m_netWrite->setEnabled(!m_connected || !m_up.isEmpty());
    m_libRead->setEnabled(!m_libEnded && m_up.size() < kChunk);
    m_libWrite->setEnabled(m_waitLibrary);
}

// The TCP connection completed, or takes bytes again.
void PacketGate::toBroker()
{
    if (!m_connected) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(m_net, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err)
            return fail(err, QString());
        m_connected = true;
    }
    while (!m_up.isEmpty()) {
        const ssize_t n = ::send(m_net, m_up.constData(), size_t(m_up.size()), MSG_NOSIGNAL);
        if (n > 0) {
            m_up.remove(0, n);
            m_upWaitSinceMs = -1;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            break;
        return fail(n < 0 ? errno : EPIPE, QString());
    }
    if (!m_up.isEmpty() && m_upWaitSinceMs < 0)
        m_upWaitSinceMs = clockService().elapsedMs();
    update();
}

// libmosquitto wrote (or closed its end).
void PacketGate::fromLibrary()
{
    while (m_up.size() < kChunk && !m_libEnded) {
        char buf[kChunk];
        const ssize_t n = ::recv(m_lib, buf, size_t(kChunk - m_up.size()), 0);
        if (n > 0) {
            m_up.append(buf, n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            break;
        m_libEnded = true; // libmosquitto closed the connection: what it wrote still goes
    }
    if (m_connected)
        toBroker();
    else
        update();
}

// The broker sent bytes (or ended the connection).
void PacketGate::fromBroker()
{
    if (m_down.size() < kChunk && !m_netEnded) {
        char buf[kChunk];
        const ssize_t n = ::recv(m_net, buf, size_t(kChunk - m_down.size()), 0);
        if (n > 0) {
            m_down.append(buf, n);
        } else if (n == 0) {
            m_netEnded = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return fail(errno, QString());
        }
    }
    // Each packet's fixed header: the type and flags, and the remaining length in one to
    // four bytes of seven bits each. The bytes after a header that is not whole yet wait.
    while (m_checked < m_down.size()) {
        if (m_bodyLeft > 0) {
            const qint64 take = qMin<qint64>(m_bodyLeft, m_down.size() - m_checked);
            m_checked += take;
            m_bodyLeft -= take;
            continue;
        }
        qint64 length = 0;
        int header = 0;
        for (int i = 1; i <= 4 && !header; ++i) {
            if (m_checked + i >= m_down.size())
                break;
            const quint8 b = quint8(m_down[m_checked + i]);
            length |= qint64(b & 0x7F) << (7 * (i - 1));
            if (!(b & 0x80))
                header = 1 + i;
            else if (i == 4)
                return fail(0, QStringLiteral("the broker broke the MQTT protocol (a length of more than four bytes)"));
        }
        if (!header)
            break;
        if (header + length > m_maxPacket)
            return fail(0, QStringLiteral("the broker announced a packet of %1 bytes; the client takes at most %2")
                               .arg(header + length).arg(m_maxPacket));
        m_checked += header;
        m_bodyLeft = length;
    }
    toLibrary();
}

// The checked bytes go on to libmosquitto as its socket takes them.
void PacketGate::toLibrary()
{
    m_waitLibrary = false;
    while (m_checked > 0) {
        const ssize_t n = ::send(m_lib, m_down.constData(), size_t(m_checked), MSG_NOSIGNAL);
        if (n > 0) {
            m_down.remove(0, n);
            m_checked -= n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            m_waitLibrary = true;
        else
            m_libEnded = true; // libmosquitto closed its end
        break;
    }
    // The broker ended the connection: libmosquitto reads the end after the last whole
    // packet.
    if (m_netEnded && m_checked == 0 && !m_libShut) {
        ::shutdown(m_lib, SHUT_WR);
        m_libShut = true;
    }
    update();
}
