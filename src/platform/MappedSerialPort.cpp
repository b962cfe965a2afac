#include "platform/MappedSerialPort.h"

#include "platform/ComPorts.h"

MappedSerialPort::MappedSerialPort()
{
    // Each port's events are this port's events.
    for (SerialPortService *p : {static_cast<SerialPortService *>(&m_device), static_cast<SerialPortService *>(&m_network)})
        p->onCommEvent = [this](int event, const QString &description) {
            if (onCommEvent)
                onCommEvent(event, description);
        };
    for (SerialPortService *p : {static_cast<SerialPortService *>(&m_device), static_cast<SerialPortService *>(&m_network)})
        p->onActivity = [this] { notifyActivity(); };
}

void MappedSerialPort::setCommPort(int n)
{
    m_commPort = n;
    m_device.setCommPort(n);
    m_network.setCommPort(n);
}

CommError MappedSerialPort::setPortOpen(bool open)
{
    if (!open) {
        cancelOpen();
        return m_active->setPortOpen(false);
    }
    if (m_active->portOpen())
        return {comPortAlreadyOpen, QStringLiteral("Port already open")};
    m_unusable.clear();
    const ComPortMapping m = ComPortMap(m_commPort);
    switch (m.kind) {
    case ComPortMapping::Kind::Unreadable:
        m_unusable = QStringLiteral("COM%1: %2").arg(m_commPort).arg(m.describe(false));
        return {comPortOpenFailed, m_unusable};
    case ComPortMapping::Kind::Tcp:
    case ComPortMapping::Kind::Rfc2217:
        m_active = &m_network;
        return m_network.connectTo(m);
    case ComPortMapping::Kind::Device:
    case ComPortMapping::Kind::None:
        break;
    }
    m_active = &m_device;
    return m_device.setPortOpen(true);
}

void MappedSerialPort::openAsync(std::function<void(const CommError &)> done)
{
    cancelOpen();
    if (m_active->portOpen()) {
        SerialPortService::openAsync(std::move(done)); // answers "already open" in its turn
        return;
    }
    m_unusable.clear();
    const ComPortMapping m = ComPortMap(m_commPort);
    if (m.network()) {
        m_active = &m_network;
        m_network.openAsync(m, std::move(done));
        return;
    }
    // A device, or a file that cannot be used: at once, told in a queued call.
    SerialPortService::openAsync(std::move(done));
}

void MappedSerialPort::cancelOpen()
{
    SerialPortService::cancelOpen();
    m_network.cancelOpen();
}

QString MappedSerialPort::accessHint(int n) const
{
    const ComPortMapping m = ComPortMap(n);
    switch (m.kind) {
    case ComPortMapping::Kind::Unreadable:
        return QStringLiteral("COM%1: %2").arg(n).arg(m.describe(true));
    case ComPortMapping::Kind::Tcp:
    case ComPortMapping::Kind::Rfc2217:
        return m_network.accessHint(n);
    case ComPortMapping::Kind::Device:
    case ComPortMapping::Kind::None:
        break;
    }
    return m_device.accessHint(n);
}
