#pragma once
// Between libmosquitto and a plain TCP connection to the broker. libmosquitto reads a packet's
// remaining length and then allocates that much, whatever it is (up to 256 MiB) and without a
// hook before it does; so its socket becomes one end of a socket pair, the connection is held
// here, and the bytes pass through: each packet the broker sends goes on to libmosquitto only
// once its fixed header has been read here and its length is within the bound. A broker that
// announces more is left before libmosquitto sees a byte of that packet. What libmosquitto
// writes goes on to the broker as the connection takes it. The buffers between are small
// (kChunk each way, kPairBuffer in the pair), so a broker that reads nothing still shows as one:
// libmosquitto wants to write, or bytes wait here (waitingSinceMs).
//
// (A peek at the socket would not do: libmosquitto reads on into the next packets in the same
// call, so a header that arrived meanwhile would be read unchecked.)
#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

class QSocketNotifier;

class PacketGate : public QObject {
public:
    static constexpr int kChunk = 64 * 1024;
    static constexpr int kPairBuffer = 16 * 1024;

    // fail: the connection must end (errno, or 0 with a reason). It is called from the gate's
    // own handlers, which touch nothing after it; the gate may be deleted later.
    using Fail = std::function<void(int err, const QString &reason)>;
    PacketGate(qint64 maxPacket, Fail fail);
    ~PacketGate() override;

    // Takes over libmosquitto's connecting socket libFd (its descriptor then names one end of
    // the pair); false with errno.
    bool open(int libFd);
    // What libmosquitto has written goes to the broker now, as far as the socket takes it
    // (the DISCONNECT of a stop).
    void flush();
    // Since when (clockService) bytes for the broker wait that its connection takes nothing
    // of; -1 while none wait.
    qint64 waitingSinceMs() const { return m_upWaitSinceMs; }
    // Stops passing bytes and closes both ends; the connection is shut down, so a broker that
    // never reads cannot hold it.
    void close();

private:
    void fail(int err, const QString &reason);
    void update();
    void toBroker();
    void fromLibrary();
    void fromBroker();
    void toLibrary();

    const qint64 m_maxPacket;
    Fail m_fail;
    int m_net = -1; // the TCP connection to the broker
    int m_lib = -1; // this end of libmosquitto's socket pair
    QSocketNotifier *m_netRead = nullptr;
    QSocketNotifier *m_netWrite = nullptr;
    QSocketNotifier *m_libRead = nullptr;
    QSocketNotifier *m_libWrite = nullptr;
    QByteArray m_down;      // from the broker; the first m_checked bytes may pass
    qint64 m_checked = 0;
    qint64 m_bodyLeft = 0;  // of the packet whose header passed
    QByteArray m_up;        // from libmosquitto, for the broker
    qint64 m_upWaitSinceMs = -1;
    bool m_connected = false;
    bool m_netEnded = false;
    bool m_libEnded = false;
    bool m_libShut = false;
    bool m_waitLibrary = false;
};
