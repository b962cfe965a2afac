#include "doubles/RecordingPort.h"

CommError RecordingPort::setPortOpen(bool open)
{
    if (open) {
        if (m_open)
            return {comPortAlreadyOpen, QStringLiteral("Port already open")};
        if (!usablePorts.contains(m_port))
            return {comPortOpenFailed, QStringLiteral("Port not available")};
        m_open = true;
        ++opens;
        return {};
    }
    if (m_open)
        ++closes;
    m_open = false;
    m_outPending = 0;
    return {};
}

CommError RecordingPort::output(const QByteArray &bytes)
{
    if (!m_open)
        return {comPortNotOpen, QStringLiteral("Operation valid only when the port is open")};
    written.append(bytes);
    m_outPending = stuckBytes;
    if (onOutput)
        onOutput(bytes);
    return {};
}

QByteArray RecordingPort::input()
{
    QByteArray r = m_in;
    m_in.clear();
    return r;
}
