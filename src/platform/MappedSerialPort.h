#pragma once
// The program's serial port: COM n opens as what its number is mapped to (ComPortMap), a
// serial device through QtSerialPort or a device server's line through TcpSerialPort.
// Every operation goes to the one that is open; a ports/COM<n> file that holds no usable
// address fails the open and says why (accessHint).
#include "platform/QtSerialPort.h"
#include "platform/SerialPort.h"
#include "platform/TcpSerialPort.h"

class MappedSerialPort : public SerialPortService {
public:
    MappedSerialPort();

    void setCommPort(int n) override;
    int commPort() const override { return m_commPort; }
    bool portOpen() const override { return m_active->portOpen(); }
    CommError setPortOpen(bool open) override;
    // A device opens in a queued call, a device server's line in steps; a ports/COM<n> file
    // that cannot be used fails in a queued call.
    void openAsync(std::function<void(const CommError &)> done) override;
    void cancelOpen() override;
    CommError output(const QByteArray &bytes) override { return m_active->output(bytes); }
    int outBufferCount() override { return m_active->outBufferCount(); }
    void clearOutBuffer() override { m_active->clearOutBuffer(); }
    int inBufferCount() override { return m_active->inBufferCount(); }
    void clearInBuffer() override { m_active->clearInBuffer(); }
    QByteArray input() override { return m_active->input(); }
    QString accessHint(int n) const override;
    QString lostReason() const override { return m_active->lostReason(); }
    QString problem() const override { return m_unusable.isEmpty() ? m_active->problem() : m_unusable; }

    // The port that serves the open (or last opened) COM number.
    SerialPortService &active() { return *m_active; }
    QtSerialPort &device() { return m_device; }
    TcpSerialPort &network() { return m_network; }

private:
    QtSerialPort m_device;
    TcpSerialPort m_network;
    SerialPortService *m_active = &m_device;
    int m_commPort = 1;
    QString m_unusable; // why the ports/COM<n> file could not be used at the last open
};
