#include "doubles/LoopbackListen.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

struct LoopbackListen::Impl {
    QObject context;
    QMap<quint16, NetListener *> listeners;
    QMap<quint16, QString> hosts;
};

namespace {
void later(QObject *context, const std::shared_ptr<LoopbackListen::Pipe> &p)
{
    QMetaObject::invokeMethod(
        context,
        [w = std::weak_ptr<LoopbackListen::Pipe>(p)] {
            if (auto pipe = w.lock(); pipe && pipe->tell)
                pipe->tell();
        },
        Qt::QueuedConnection);
}

class LoopbackConnection : public NetConnection {
public:
    LoopbackConnection(std::shared_ptr<LoopbackListen::Pipe> p, QString host, quint16 port)
        : m_pipe(std::move(p)), m_host(std::move(host)), m_port(port)
    {
        m_pipe->tell = [this] {
            if (onActivity)
                onActivity();
        };
    }
    ~LoopbackConnection() override
    {
        m_pipe->tell = nullptr;
        m_pipe->serverOpen = false;
    }
    QString peerHost() const override { return m_host; }
    quint16 peerPort() const override { return m_port; }
    QByteArray read(qsizetype max) override
    {
        const QByteArray b = m_pipe->toServer.left(max);
        m_pipe->toServer.remove(0, b.size());
        return b;
    }
    qsizetype bytesAvailable() const override { return m_pipe->toServer.size(); }
    bool write(const QByteArray &bytes) override
    {
        if (!isOpen())
            return false;
        m_pipe->toClient += bytes;
        return true;
    }
    qsizetype bytesToWrite() const override { return m_pipe->toClient.size(); }
    void close() override
    {
        onActivity = nullptr;
        m_pipe->tell = nullptr;
        m_pipe->serverOpen = false;
    }
    bool isOpen() const override { return m_pipe->serverOpen && m_pipe->clientOpen; }

private:
    std::shared_ptr<LoopbackListen::Pipe> m_pipe;
    QString m_host;
    quint16 m_port;
};

class LoopbackListener : public NetListener {
public:
    explicit LoopbackListener(std::weak_ptr<LoopbackListen::Impl> impl) : m_impl(std::move(impl)) {}
    ~LoopbackListener() override { close(); }
    bool listen(const QString &host, quint16 port, QString *error) override
    {
        close();
        auto impl = m_impl.lock();
        if (!impl || impl->listeners.contains(port)) {
            if (error)
                *error = QStringLiteral("cannot listen on %1:%2: The bound address is already in use").arg(host).arg(port);
            return false;
        }
        impl->listeners[port] = this;
        impl->hosts[port] = host;
        m_port = port;
        return true;
    }
    void close() override
    {
        if (auto impl = m_impl.lock(); impl && m_port && impl->listeners.value(m_port) == this) {
            impl->listeners.remove(m_port);
            impl->hosts.remove(m_port);
        }
        m_port = 0;
    }
    bool isListening() const override { return m_port != 0; }

private:
    std::weak_ptr<LoopbackListen::Impl> m_impl;
    quint16 m_port = 0;
};
} // namespace

void LoopbackListen::Client::send(const QByteArray &bytes)
{
    if (!m_pipe->clientOpen)
        return;
    m_pipe->toServer += bytes;
    if (m_pipe->tell)
        m_pipe->tell();
}

QByteArray LoopbackListen::Client::take()
{
    const QByteArray b = m_pipe->toClient;
    m_pipe->toClient.clear();
    if (!b.isEmpty() && m_pipe->tell)
        m_pipe->tell();
    return b;
}

void LoopbackListen::Client::close()
{
    m_pipe->clientOpen = false;
    if (m_pipe->tell)
        m_pipe->tell();
}

LoopbackListen::LoopbackListen() : m_impl(std::make_shared<Impl>()) {}
LoopbackListen::~LoopbackListen() = default;

std::unique_ptr<NetListener> LoopbackListen::makeListener() { return std::make_unique<LoopbackListener>(m_impl); }

std::unique_ptr<LoopbackListen::Client> LoopbackListen::connect(quint16 port, const QString &host, quint16 peerPort)
{
    NetListener *l = m_impl->listeners.value(port);
    if (!l || !l->onConnection)
        return nullptr;
    auto pipe = std::make_shared<Pipe>();
    auto client = std::make_unique<Client>(pipe);
    QPointer<QObject> ctx(&m_impl->context);
    std::weak_ptr<Impl> w = m_impl;
    // The program hears of it from the event loop, as from a real listener.
    QMetaObject::invokeMethod(
        &m_impl->context,
        [w, port, pipe, host, peerPort] {
            auto impl = w.lock();
            if (!impl)
                return;
            NetListener *l = impl->listeners.value(port);
            if (!l || !l->onConnection) {
                pipe->serverOpen = false;
                return;
            }
            l->onConnection(std::make_unique<LoopbackConnection>(pipe, host, peerPort));
            if (!pipe->toServer.isEmpty() || !pipe->clientOpen)
                later(&impl->context, pipe);
        },
        Qt::QueuedConnection);
    return client;
}

QMap<quint16, QString> LoopbackListen::listening() const { return m_impl->hosts; }
