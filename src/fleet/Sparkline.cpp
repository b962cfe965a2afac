#include "fleet/Sparkline.h"

#include <algorithm>

void Sparkline::add(qint64 ms, double value)
{
    const qint64 slot = (ms >= 0 ? ms : ms - kSlotMs + 1) / kSlotMs;
    const bool fresh = m_count == 0 || slot > slotAt(m_count - 1).slot;
    bool changed = fresh || value != m_last;
    if (fresh) {
        // A new slot; those that lie more than the hour before it go.
        while (m_count > 0 && slotAt(0).slot <= slot - kSlots) {
            m_first = (m_first + 1) % kSlots;
            --m_count;
        }
        if (m_count == kSlots) { // cannot be after the above, but the ring stays bounded
            m_first = (m_first + 1) % kSlots;
            --m_count;
        }
        m_slots[size_t((m_first + m_count) % kSlots)] = Slot{slot, value, value, ms, ms};
        ++m_count;
    } else {
        Slot &s = m_slots[size_t((m_first + m_count - 1) % kSlots)];
        if (value < s.min) {
            s.min = value;
            s.minMs = ms;
            changed = true;
        }
        if (value > s.max) {
            s.max = value;
            s.maxMs = ms;
            changed = true;
        }
    }
    m_last = value;
    m_lastMs = ms;
    if (changed)
        ++m_revision;
}

void Sparkline::clear()
{
    m_first = m_count = 0;
    m_last = 0;
    m_lastMs = 0;
    ++m_revision;
}

double Sparkline::min() const
{
    double lo = m_count ? slotAt(0).min : 0;
    for (int k = 1; k < m_count; ++k)
        lo = std::min(lo, slotAt(k).min);
    return lo;
}

double Sparkline::max() const
{
    double hi = m_count ? slotAt(0).max : 0;
    for (int k = 1; k < m_count; ++k)
        hi = std::max(hi, slotAt(k).max);
    return hi;
}

QList<QPointF> Sparkline::points() const
{
    QList<QPointF> pts;
    pts.reserve(2 * m_count);
    for (int k = 0; k < m_count; ++k) {
        const Slot &s = slotAt(k);
        const QPointF lo(double(s.minMs), s.min), hi(double(s.maxMs), s.max);
        if (s.min == s.max) {
            pts << lo;
        } else if (s.minMs <= s.maxMs) {
            pts << lo << hi;
        } else {
            pts << hi << lo;
        }
    }
    // The line ends at the newest value.
    if (m_count && (pts.last().x() != double(m_lastMs) || pts.last().y() != m_last))
        pts << QPointF(double(m_lastMs), m_last);
    return pts;
}
