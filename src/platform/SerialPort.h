#pragma once
// The serial port as the link needs it, named after the classic serial control:
// CommPort, PortOpen, Output, OutBufferCount, InBufferCount, Input, and the port event.
#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

class QObject;

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
    SerialPortService();
    virtual ~SerialPortService();
    virtual void setCommPort(int n) = 0;
    virtual int commPort() const = 0;
    virtual bool portOpen() const = 0;
    // Opens or closes the port; an empty CommError on success.
    virtual CommError setPortOpen(bool open) = 0;
    // Opens the port without waiting: done comes from the event loop with the open's result
    // (empty when the port is open). A device opens in that queued call; a device server's
    // line connects (and negotiates) in steps, so that one slow server holds up nothing
    // else. cancelOpen drops an open under way (done is not called), as destroying the port
    // does.
    virtual void openAsync(std::function<void(const CommError &)> done);
    virtual void cancelOpen();
    virtual CommError output(const QByteArray &bytes) = 0;
    virtual int outBufferCount() = 0;
    virtual void clearOutBuffer() = 0;
    virtual int inBufferCount() = 0;
    virtual void clearInBuffer() = 0;
    // All received bytes not yet taken; removes them from the receive buffer.
    virtual QByteArray input() = 0;

    // Why COM n did not open the last time it was tried, for a second box after the fixed
    // "ﾎﾟｰﾄを開くことができませんでした。" (in Japanese): another program holds the device, this
    // user may not open it (and how to get the permission), a device server did not answer;
    // empty when there is nothing more to say.
    virtual QString accessHint(int n) const
    {
        Q_UNUSED(n);
        return QString();
    }

    // Why the port closed by itself (the device went away), for the boxes, while it stays
    // closed after that: the port's own words, or the hang-up's where it has none; empty
    // while it is open and after a close asked for.
    virtual QString lostReason() const { return m_lostReason; }
    // Why the last open failed or why the port closed by itself, in English for a log (the
    // COM number, the device or address, what went wrong); empty when neither.
    virtual QString problem() const { return m_problem; }

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
    // The backend's port has closed by itself (the device went away): keeps why (problem, and
    // the words for the boxes, the hang-up's where lostReason is empty), then tells
    // onCommEvent (comHangUp) and onActivity.
    void portGone(const QString &problem, const QString &lostReason = QString());
    // The port opened, or closed on purpose: no loss to tell; an open clears the problem too.
    void portSettled(bool opened)
    {
        m_lostReason.clear();
        if (opened)
            m_problem.clear();
    }
    // Why an open failed.
    void openFailed(const QString &problem) { m_problem = problem; }

private:
    QString m_lostReason;
    QString m_problem;
    std::unique_ptr<QObject> m_opening; // the queued open of openAsync
};

SerialPortService &MSComm1();
// Installs the port service (not owned); nullptr falls back to a port that never opens. The
// port replaced loses its event callbacks (it may be destroyed after this).
void installSerialPort(SerialPortService *port);
