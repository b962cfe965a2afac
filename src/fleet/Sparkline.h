#pragma once
// The small trend of a row of the site list: the last hour as at most kSlots slots of a
// minute, each the lowest and the highest value that came in it, with their times, and the
// newest value. However many readings came (one a second, or fifty), a row draws at most two
// points a slot, which is about one a pixel of the trend's column: the line looks as a line
// through every reading would, and costs the same to draw for every site.
//
// Times are the board's elapsed milliseconds. A time earlier than the newest slot's (the
// clock does not go back, but a reading may come with an older time) counts in the newest
// slot, so the slots stay in order.
#include <QList>
#include <QPointF>
#include <QtGlobal>

#include <array>

class Sparkline {
public:
    static constexpr qint64 kSpanMs = 3600 * 1000;
    static constexpr int kSlots = 60;
    static constexpr qint64 kSlotMs = kSpanMs / kSlots;

    struct Slot {
        qint64 slot = 0; // the slot's number: its start divided by kSlotMs
        double min = 0, max = 0;
        qint64 minMs = 0, maxMs = 0; // when the lowest and the highest came (the first of equals)
    };

    // A reading's value at ms; the slots older than the hour before the newest go.
    void add(qint64 ms, double value);
    void clear();

    bool isEmpty() const { return m_count == 0; }
    // The slots held, oldest first (at most kSlots).
    int slotCount() const { return m_count; }
    const Slot &slotAt(int k) const { return m_slots[size_t((m_first + k) % kSlots)]; }
    // The lowest and highest of every slot held, and the newest value and its time.
    double min() const;
    double max() const;
    double last() const { return m_last; }
    qint64 lastMs() const { return m_lastMs; }
    // The points to draw, oldest first: of each slot its lowest and highest in the order they
    // came, one point when they are one (elapsed ms, value), and the newest value last. At
    // most 2 x kSlots + 1.
    QList<QPointF> points() const;
    // Counts the changes of what is drawn or sorted by (a slot, a lowest, a highest, the
    // newest value): equal counts, the same trend.
    quint64 revision() const { return m_revision; }
    static constexpr qint64 bytes() { return qint64(sizeof(Sparkline)); }

private:
    std::array<Slot, kSlots> m_slots{};
    int m_first = 0; // the oldest slot's place in m_slots
    int m_count = 0;
    double m_last = 0;
    qint64 m_lastMs = 0;
    quint64 m_revision = 0;
};
