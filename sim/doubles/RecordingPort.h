#pragma once
#include "platform/SerialPort.h"

#include <QByteArray>
#include <QList>
#include <functional>

// A port double for tests: records everything written, feeds what the test gives it.
class RecordingPort : public SerialPortService {
public:
    void setCommPort(int n) override { m_port = n; }
    int commPort() const override { return m_port; }
    bool portOpen() const override { return m_open; }
    CommError setPortOpen(bool open) override;
    CommError output(const QByteArray &bytes) override;
    int outBufferCount() override { return m_outPending; }
    void clearOutBuffer() override { m_outPending = 0; }
    int inBufferCount() override { return int(m_in.size()); }
    void clearInBuffer() override { m_in.clear(); }
    QByteArray input() override;

    // What the tool has written since the last take, whole frames included.
    QByteArray written;
    // Ports that open; others fail with the open error.
    QList<int> usablePorts{1};
    // Bytes that stay in the transmit buffer after each output (a stuck line).
    int stuckBytes = 0;
    // Called for every output, e.g. to answer like a controller.
    std::function<void(const QByteArray &)> onOutput;
    void feed(const QByteArray &bytes) { m_in.append(bytes); }
    int opens = 0;
    int closes = 0;

private:
    int m_port = 0;
    bool m_open = false;
    int m_outPending = 0;
    QByteArray m_in;
};
