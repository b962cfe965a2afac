#include "platform/SerialPort.h"

#include <QObject>

SerialPortService::SerialPortService() = default;
SerialPortService::~SerialPortService() = default;

void SerialPortService::openAsync(std::function<void(const CommError &)> done)
{
    cancelOpen();
    m_opening = std::make_unique<QObject>();
    QMetaObject::invokeMethod(
        m_opening.get(),
        [this, done = std::move(done)] {
            // The call's own object goes once the call has returned; done may destroy the port.
            m_opening.release()->deleteLater();
            done(setPortOpen(true));
        },
        Qt::QueuedConnection);
}

void SerialPortService::cancelOpen() { m_opening.reset(); }

void SerialPortService::portGone(const QString &problem, const QString &lostReason)
{
    m_problem = problem;
    m_lostReason = lostReason.isEmpty() ? HangUpError().description : lostReason;
    if (onCommEvent)
        onCommEvent(comHangUp, problem);
    notifyActivity();
}

namespace {
// The port in use while none is installed: any COM number can be chosen, none opens, and
// with the port closed there is nothing to send or to take.
class NoPort : public SerialPortService {
public:
    void setCommPort(int n) override { m_port = n; }
    int commPort() const override { return m_port; }
    bool portOpen() const override { return false; }
    CommError setPortOpen(bool open) override
    {
        if (open)
            return {comPortOpenFailed, QStringLiteral("Port not available")};
        return {};
    }
    CommError output(const QByteArray &) override
    {
        return {comPortNotOpen, QStringLiteral("Operation valid only when the port is open")};
    }
    int outBufferCount() override { return 0; }
    void clearOutBuffer() override {}
    int inBufferCount() override { return 0; }
    void clearInBuffer() override {}
    QByteArray input() override { return QByteArray(); }

private:
    int m_port = 0;
};

SerialPortService *g_port = nullptr;
NoPort &nullPort()
{
    static NoPort p;
    return p;
}
} // namespace

SerialPortService &MSComm1() { return g_port ? *g_port : nullPort(); }

void installSerialPort(SerialPortService *port)
{
    // The port that goes out tells nobody about its events any more.
    if (g_port && g_port != port) {
        g_port->onActivity = nullptr;
        g_port->onCommEvent = nullptr;
    }
    g_port = port;
}
