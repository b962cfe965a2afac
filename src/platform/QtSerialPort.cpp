#include "platform/QtSerialPort.h"

#include "platform/ComPorts.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

QtSerialPort::QtSerialPort()
{
    QObject::connect(&m_port, &QSerialPort::errorOccurred, &m_port,
                     [this](QSerialPort::SerialPortError e) { onError(e); });
    QObject::connect(&m_port, &QSerialPort::readyRead, &m_port, [this] { notifyActivity(); });
    QObject::connect(&m_port, &QSerialPort::bytesWritten, &m_port, [this] { notifyActivity(); });
}

QtSerialPort::~QtSerialPort()
{
    // No events from a port that is being destroyed.
    QObject::disconnect(&m_port, nullptr, nullptr, nullptr);
    closePort();
}

void QtSerialPort::closePort()
{
    if (m_port.isOpen())
        m_port.close();
    // The lock goes after the port: no other program opens the line while it is ours.
    if (m_lock >= 0) {
        ::close(m_lock);
        m_lock = -1;
    }
}

CommError QtSerialPort::setPortOpen(bool open)
{
    if (!open) {
        closePort();
        portSettled(false);
        return {};
    }
    if (m_port.isOpen())
        return {comPortAlreadyOpen, QStringLiteral("Port already open")};
    m_heldBy = 0;
    const CommError e = openDevice();
    if (e.failed()) {
        openFailed(e.description);
        // Another program holds the device: the box after the open's says so.
        if (e.number == comPortAlreadyOpen)
            m_heldBy = m_commPort;
        return e;
    }
    portSettled(true);
    return {};
}

CommError QtSerialPort::openDevice()
{
    const QString device = ComPortDevice(m_commPort);
    if (device.isEmpty())
        return {comPortInvalid, QStringLiteral("Invalid port number")};

    m_device = device;
    // QSerialPort's lock file is named after the name it is given, and the exclusive mode it
    // sets does not stop root: two names of one device (a link in ports/ beside the device,
    // two links to one pseudo-terminal) would both open. The lock on the device itself (its
    // inode, whichever name leads there) does not let them. It is taken before QSerialPort
    // touches the line's settings, and it ends with the process however that ends. A device
    // this cannot open is left to QSerialPort, which tells why.
    const int lock = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (lock >= 0) {
        if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
            ::close(lock);
            return {comPortAlreadyOpen, QStringLiteral("COM%1 (%2): the device is in use by another program")
                                            .arg(m_commPort)
                                            .arg(device)};
        }
        m_lock = lock;
    }
    m_port.setPortName(device);
    m_port.setBaudRate(ComBaudRate);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    m_port.setReadBufferSize(ComInBufferSize);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError e = m_port.error();
        const QString why = QStringLiteral("COM%1 (%2): %3").arg(m_commPort).arg(device, m_port.errorString());
        m_port.clearError();
        closePort();
        switch (e) {
        case QSerialPort::DeviceNotFoundError:
            return {comPortOpenFailed, why};
        case QSerialPort::PermissionError:
            // Either this user may not use the device, or another program holds it.
            if (ComPortPermissionDenied(m_commPort))
                return {comPortAccessDenied, why};
            return {comPortAlreadyOpen, why};
        default:
            return {comPortOpenFailed, why};
        }
    }
    // Whatever the line held before we came is not ours.
    m_port.clear();
    return {};
}

void QtSerialPort::onError(QSerialPort::SerialPortError e)
{
    if (e != QSerialPort::ReadError && e != QSerialPort::ResourceError)
        return;
    // A vanished device keeps reporting ReadError while the port still counts as open:
    // close once, here. Closing a closed port would report yet another error.
    if (!m_port.isOpen())
        return;
    const QString why = QStringLiteral("COM%1 (%2): %3").arg(m_commPort).arg(m_device, m_port.errorString());
    closePort();
    m_port.clearError();
    // The boxes tell it in the hang-up's words, as a line that went during a send does.
    portGone(why);
}

CommError QtSerialPort::output(const QByteArray &bytes)
{
    if (!m_port.isOpen())
        return {comPortNotOpen, QStringLiteral("Operation valid only when the port is open")};
    if (m_port.bytesToWrite() + bytes.size() > ComOutBufferSize)
        return {comOutBufferFull, QStringLiteral("Transmit buffer full")};
    if (m_port.write(bytes) != bytes.size()) {
        const QString why = m_port.errorString();
        return {m_port.isOpen() ? comPortOpenFailed : comHangUp, why};
    }
    // Without this the bytes wait for the next pass of the event loop.
    m_port.flush();
    return {};
}

void QtSerialPort::clearOutBuffer()
{
    if (m_port.isOpen())
        m_port.clear(QSerialPort::Output);
}

int QtSerialPort::inBufferCount() { return m_port.isOpen() ? int(m_port.bytesAvailable()) : 0; }

void QtSerialPort::clearInBuffer()
{
    if (m_port.isOpen())
        m_port.clear(QSerialPort::Input);
}

QByteArray QtSerialPort::input() { return m_port.isOpen() ? m_port.readAll() : QByteArray(); }

QString QtSerialPort::accessHint(int n) const
{
    if (ComPortPermissionDenied(n))
        return ComPortPermissionHint(n);
    if (m_heldBy == n && n != 0)
        return QStringLiteral("COM%1 (%2) は他のﾌﾟﾛｸﾞﾗﾑが使用中です。").arg(n).arg(m_device);
    return QString();
}
