#pragma once
// The serial port on a real device (or a pseudo-terminal bound to a COM number):
// QSerialPort at 9600 8N1 without flow control, 1024-byte receive and 512-byte transmit
// buffers. A device that goes away closes the port once and reports comHangUp, and keeps why
// until the port is opened or closed again (lostReason, problem). The device
// itself is locked while the port is open (flock on the device, whatever name it was opened
// by), so that no two Qelvo programs drive one line through two names of it.
#include <QList>
#include <QSerialPort>

#include "platform/SerialPort.h"

class QtSerialPort : public SerialPortService {
public:
    QtSerialPort();
    ~QtSerialPort() override;

    void setCommPort(int n) override { m_commPort = n; }
    int commPort() const override { return m_commPort; }
    bool portOpen() const override { return m_port.isOpen(); }
    CommError setPortOpen(bool open) override;
    CommError output(const QByteArray &bytes) override;
    int outBufferCount() override { return m_port.isOpen() ? int(m_port.bytesToWrite()) : 0; }
    void clearOutBuffer() override;
    int inBufferCount() override;
    void clearInBuffer() override;
    QByteArray input() override;

    // The device path the port was opened on (the COM link or /dev/...).
    QString deviceName() const { return m_device; }
    // The permission hint, or that another program holds the device when the last open of
    // COM n found it so.
    QString accessHint(int n) const override;

private:
    CommError openDevice();
    void onError(QSerialPort::SerialPortError e);
    void closePort();

    QSerialPort m_port;
    int m_lock = -1; // the descriptor that holds the device's lock while the port is open
    int m_commPort = 1;
    QString m_device;
    int m_heldBy = 0; // the COM number whose last open found the device held by another program
};
