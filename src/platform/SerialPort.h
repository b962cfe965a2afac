#pragma once
// The serial port as the link needs it, named after the classic serial control:
// CommPort, PortOpen, Output, OutBufferCount, InBufferCount, Input, and the port event.
#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

// A failure of a port operation: number and description in the classic runtime's style.
struct CommError {
    int number = 0;
    QString description;
    bool failed() const { return number != 0 || !description.isEmpty(); }
};

// Classic port error numbers.
enum : int {
    comPortNotOpen = 8018,     // operation valid only while the port is open
    comPortAlreadyOpen = 8005, // the port is already open
    comPortInvalid = 8002,     // invalid port number
    comPortOpenFailed = 8012,  // the device could not be opened
    comPortAccessDenied = 8015,// the device is there but this user may not open it
    comHangUp = 1011,          // the device went away
};

// The failure of an operation whose port closed under it (the device went away).
inline CommError HangUpError(const QString &why = QString())
{
    return {comHangUp, why.isEmpty() ? QStringLiteral("The serial device is no longer available") : why};
}

class SerialPortService {
public:
    virtual ~SerialPortService() = default;
    virtual void setCommPort(int n) = 0;
    virtual int commPort() const = 0;
    virtual bool portOpen() const = 0;
    // Opens or closes the port; an empty CommError on success.
    virtual CommError setPortOpen(bool open) = 0;
    virtual CommError output(const QByteArray &bytes) = 0;
    virtual int outBufferCount() = 0;
    virtual void clearOutBuffer() = 0;
    virtual int inBufferCount() = 0;
    virtual void clearInBuffer() = 0;
    // All received bytes not yet taken; removes them from the receive buffer.
    virtual QByteArray input() = 0;

    // How to make COM n usable when it exists but this user may not open it (the dialout
    // group); empty when there is nothing the user can do about it.
    virtual QString accessHint(int n) const
    {
        Q_UNUSED(n);
        return QString();
    }

    // Why the port closed by itself (the device went away), in Japanese, while it stays
    // closed after that; empty while it is open, after a close asked for, and where the
    // port cannot tell.
    virtual QString lostReason() const { return QString(); }

    // Port events (the device went away, a line error); the number is the event code.
    std::function<void(int commEvent, const QString &description)> onCommEvent;
    // Something happened on the line: bytes arrived, the transmit buffer drained, or the
    // port closed. Called from the event loop, never from inside another call on the port.
    std::function<void()> onActivity;

protected:
    void notifyActivity()
    {
        if (onActivity)
            onActivity();
    }
};

SerialPortService &MSComm1();
// Installs the port service (not owned); nullptr falls back to a port that never opens. The
// port replaced loses its event callbacks (it may be destroyed after this).
void installSerialPort(SerialPortService *port);
