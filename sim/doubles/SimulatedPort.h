#pragma once
// The controller in process, behind the serial port interface: the same CtrlModel as the
// qelvo-ctrlsim program, with every byte on the line paced at 9600 baud on the installed
// clock. Under the virtual clock the bytes fall due as scheduled events, so a test runs
// the same way every time; under the real clock a precise timer delivers them.
//
// Host to controller: output() queues the bytes; they leave the transmit buffer one per
// byte time, and the controller acts on a line when its CR has gone out.
// Controller to host: the answer's bytes land in the receive buffer one by one, each when
// its stop bit has arrived.
#include "ctrlmodel/CtrlModel.h"
#include "platform/SerialPort.h"

#include <QElapsedTimer>
#include <QList>
#include <QTimer>
#include <deque>
#include <memory>

class ClockService;

class SimulatedPort : public SerialPortService {
public:
    SimulatedPort();
    ~SimulatedPort() override;

    void setCommPort(int n) override { m_port = n; }
    int commPort() const override { return m_port; }
    bool portOpen() const override { return m_open; }
    CommError setPortOpen(bool open) override;
    CommError output(const QByteArray &bytes) override;
    int outBufferCount() override;
    void clearOutBuffer() override;
    int inBufferCount() override;
    void clearInBuffer() override;
    QByteArray input() override;

    // The controller behind the port: settings memory, level, faults, log of frames.
    CtrlModel &model() { return m_model; }
    void setFault(CtrlModel::Fault f) { m_model.setFault(f); }
    void setFault(CtrlModel::Fault f, int param) { m_model.setFault(f, param); }

    // COM numbers that open; others fail with comPortOpenFailed.
    QList<int> usablePorts{1};

    // The device goes away now: an open port closes, onCommEvent gets comHangUp, and the
    // port does not open again until plugIn().
    void hangUp();
    // The device is back (a fresh line: a hang-up fault of the model is cleared too).
    void plugIn();
    bool deviceGone() const { return m_gone; }

    // The port's time in microseconds (the virtual clock's, or a monotonic one).
    qint64 nowUs() const;
    // Bytes the controller sent while the receive buffer was full (they are lost).
    int overruns() const { return m_overruns; }
    int opens = 0;
    int closes = 0;

private:
    struct Byte {
        qint64 atUs; // when its stop bit has gone by
        char value;
    };
    // Brings the line up to nowUs: transmitted bytes reach the controller, due answer
    // bytes reach the receive buffer, in time order; then arms the next wake-up.
    void service();
    void arm();
    void disarm();
    void shut();
    void queueReply(const QList<CtrlModel::Chunk> &chunks, qint64 atUs);

    CtrlModel m_model;
    int m_port = 1;
    bool m_open = false;
    bool m_gone = false;
    bool m_inService = false;
    std::deque<Byte> m_tx;
    std::deque<Byte> m_rx;
    qint64 m_txFreeUs = 0;
    qint64 m_rxFreeUs = 0;
    QByteArray m_in;
    int m_overruns = 0;

    // The one pending wake-up, on the virtual clock or on the timer.
    qint64 m_wakeAtUs = -1;
    quint64 m_wakeId = 0;
    ClockService *m_wakeClock = nullptr;
    QTimer m_timer;
    QElapsedTimer m_elapsed;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
