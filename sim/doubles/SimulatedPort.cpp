#include "doubles/SimulatedPort.h"

#include "platform/ComPorts.h"
#include "doubles/VirtualClock.h"

#include <limits>

namespace {
constexpr qint64 kNever = std::numeric_limits<qint64>::max();

VirtualClock *virtualClock() { return dynamic_cast<VirtualClock *>(&clockService()); }
} // namespace

SimulatedPort::SimulatedPort()
{
    m_elapsed.start();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
        m_wakeAtUs = -1;
        service();
        notifyActivity();
    });
}

SimulatedPort::~SimulatedPort()
{
    *m_alive = false;
    disarm();
}

qint64 SimulatedPort::nowUs() const
{
    if (VirtualClock *vc = virtualClock())
        return vc->nowUs();
    return m_elapsed.nsecsElapsed() / 1000;
}

// ------------------------------------------------------------------------- port

CommError SimulatedPort::setPortOpen(bool open)
{
    if (!open) {
        if (m_open) {
            ++closes;
            shut();
        }
        portSettled(false);
        return {};
    }
    if (m_open)
        return {comPortAlreadyOpen, QStringLiteral("Port already open")};
    if (m_port < 1 || m_port > 99)
        return {comPortInvalid, QStringLiteral("Invalid port number")};
    if (m_gone || !usablePorts.contains(m_port)) {
        openFailed(QStringLiteral("COM%1: no such device").arg(m_port));
        return {comPortOpenFailed, QStringLiteral("COM%1: no such device").arg(m_port)};
    }
    portSettled(true);
    m_open = true;
    ++opens;
    m_model.resetLine();
    m_txFreeUs = m_rxFreeUs = nowUs();
    arm(); // a streaming controller talks at once
    return {};
}

void SimulatedPort::shut()
{
    m_open = false;
    disarm();
    m_tx.clear();
    m_rx.clear();
    m_in.clear();
}

void SimulatedPort::hangUp()
{
    m_gone = true;
    if (!m_open)
        return;
    ++closes;
    shut();
    portGone(QStringLiteral("COM%1: the device went away").arg(m_port));
}

void SimulatedPort::plugIn()
{
    m_gone = false;
    if (m_model.fault() == CtrlModel::Fault::HangUp)
        m_model.setFault(CtrlModel::Fault::None);
}

CommError SimulatedPort::output(const QByteArray &bytes)
{
    if (!m_open)
        return {comPortNotOpen, QStringLiteral("Operation valid only when the port is open")};
    service();
    if (!m_open) // the device went away just now
        return {comPortNotOpen, QStringLiteral("Operation valid only when the port is open")};
    if (m_tx.size() + size_t(bytes.size()) > size_t(ComOutBufferSize))
        return {comOutBufferFull, QStringLiteral("Transmit buffer full")};
    const qint64 start = qMax(m_txFreeUs, nowUs());
    for (int i = 0; i < bytes.size(); ++i)
        m_tx.push_back({start + CtrlModel::lineTimeUs(i + 1), bytes.at(i)});
    m_txFreeUs = start + CtrlModel::lineTimeUs(bytes.size());
    arm();
    return {};
}

int SimulatedPort::outBufferCount()
{
    service();
    return int(m_tx.size());
}

void SimulatedPort::clearOutBuffer()
{
    service();
    m_tx.clear();
    m_txFreeUs = nowUs();
    arm();
}

int SimulatedPort::inBufferCount()
{
    service();
    return int(m_in.size());
}

void SimulatedPort::clearInBuffer()
{
    service();
    m_in.clear();
}

QByteArray SimulatedPort::input()
{
    service();
    QByteArray r;
    r.swap(m_in);
    return r;
}

// ------------------------------------------------------------------------- line

void SimulatedPort::queueReply(const QList<CtrlModel::Chunk> &chunks, qint64 atUs)
{
    qint64 base = atUs;
    for (const CtrlModel::Chunk &c : chunks) {
        const qint64 start = qMax(m_rxFreeUs, base + c.gapUs);
        for (int i = 0; i < c.bytes.size(); ++i)
            m_rx.push_back({start + CtrlModel::lineTimeUs(i + 1), c.bytes.at(i)});
        m_rxFreeUs = start + CtrlModel::lineTimeUs(c.bytes.size());
        base = m_rxFreeUs;
    }
}

void SimulatedPort::service()
{
    if (!m_open || m_inService)
        return;
    m_inService = true;
    const qint64 now = nowUs();
    for (;;) {
        const qint64 tx = m_tx.empty() ? kNever : m_tx.front().atUs;
        const qint64 rx = m_rx.empty() ? kNever : m_rx.front().atUs;
        if (qMin(tx, rx) > now)
            break;
        if (tx <= rx) {
            const Byte b = m_tx.front();
            m_tx.pop_front();
            queueReply(m_model.receive(QByteArray(1, b.value), b.atUs), b.atUs);
            if (m_model.hungUp()) {
                m_inService = false;
                hangUp();
                return;
            }
        } else {
            if (m_in.size() < ComInBufferSize)
                m_in.append(m_rx.front().value);
            else
                ++m_overruns;
            m_rx.pop_front();
        }
    }
    // A flooding controller keeps the line busy whether asked or not.
    // (a tenth of a second at a time, so the pace stays exact).
    if (m_model.streaming() && m_rx.empty())
        queueReply({{qMax<qint64>(0, now - m_rxFreeUs), m_model.floodBytes(ComBaudRate / 100)}}, m_rxFreeUs);
    m_inService = false;
    arm();
}

void SimulatedPort::arm()
{
    if (!m_open) {
        disarm();
        return;
    }
    if (m_model.streaming() && m_rx.empty()) {
        service(); // starts the stream and arms
        return;
    }
    // Wake when the next answer byte arrives or the next CR has gone out; other host bytes
    // can reach the controller whenever the port is next looked at.
    qint64 next = m_rx.empty() ? kNever : m_rx.front().atUs;
    for (const Byte &b : m_tx) {
        if (b.atUs >= next)
            break;
        if (b.value == '\r') {
            next = b.atUs;
            break;
        }
    }
    if (next == kNever) {
        disarm();
        return;
    }
    if (next == m_wakeAtUs && (m_wakeId || m_timer.isActive()))
        return;
    disarm();
    m_wakeAtUs = next;
    if (VirtualClock *vc = virtualClock()) {
        m_wakeClock = vc;
        std::weak_ptr<bool> alive = m_alive;
        m_wakeId = vc->scheduleAt(next, [this, alive] {
            if (alive.expired())
                return;
            m_wakeId = 0;
            m_wakeAtUs = -1;
            service();
            notifyActivity();
        });
    } else {
        const qint64 waitUs = next - nowUs();
        m_timer.start(int(qMax<qint64>(0, (waitUs + 999) / 1000)));
    }
}

void SimulatedPort::disarm()
{
    if (m_wakeId) {
        // Only on the clock it was scheduled on, and only while that clock is installed
        // (a clock that was taken away may already be gone).
        if (m_wakeClock && &clockService() == m_wakeClock)
            static_cast<VirtualClock *>(m_wakeClock)->cancel(m_wakeId);
        m_wakeId = 0;
    }
    m_wakeClock = nullptr;
    m_timer.stop();
    m_wakeAtUs = -1;
}
