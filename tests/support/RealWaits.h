#pragma once
// Waits on the real clock for tests that run a real port: a condition, or one exchange.
#include <QElapsedTimer>

#include "platform/Clock.h"
#include "platform/SerialPort.h"

// Waits until cond holds or ms have passed; false on the time-out.
template <class Cond>
bool waitFor(Cond cond, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms)
            return false;
        WaitForEvent(5);
    }
    return true;
}

// One request and its reply line; empty when none came within ms.
inline QByteArray exchangeLine(SerialPortService &port, const QByteArray &frame, int ms)
{
    port.input();
    if (port.output(frame + '\r').failed())
        return {};
    QByteArray got;
    waitFor([&] { got += port.input(); return got.endsWith('\r') || !port.portOpen(); }, ms);
    return got;
}
