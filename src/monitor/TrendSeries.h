#pragma once
// A series of readings against time, kept lean for a day of 20 ms readings (8 bytes a
// reading) and summarised fast for drawing: per column of pixels the lowest and highest
// value and which outputs were on or off, from a min/max tree over blocks of 2^k readings,
// so a redraw costs about as much as the pixels it fills, not the readings it covers.
//
// A reading holds a 16-bit raw value (a count of the controller, or a value in hundredths
// of its unit; the series' owner says which), the eight outputs as a byte, and flags: no
// value, no outputs, and the start of a run (the line is not joined to the reading before).
//
// Times are milliseconds since the epoch, kept as written (or as measured). A clock set back
// (a log written after the PC's clock was put back, the autumn's repeated hour, a PC clock
// stepped under the running monitor) starts a new stretch: the series keeps every reading's
// own time and places the new stretch on its time line right after the old one, so the line
// of places never goes back. Searches and summaries work on that line ("ms"); "written"
// is the time the reading carries. Without a step back the two are the same.
//
// A summarised series (a site's history in the office view, one per row) keeps its
// readings in full only for the newest stretch (an hour, at most 3600 readings) and the
// older ones as a band: one Summary (lowest and highest value, outputs on and off) per
// slot of 10 seconds of the time line, 6 bytes each, so a day at a reading a second takes
// under 100 KB instead of 700. The readings (size(), at(), summarize() ...) are the exact
// stretch; the band (bandCount(), bandAt() ...) lies before it, and firstMs(), steps(),
// writtenAt() and summarizeAll() cover both.
#include <QtGlobal>

#include <deque>
#include <memory>
#include <vector>

class TrendSeries {
public:
    enum Flag : quint8 { NoValue = 1, NoOutputs = 2, RunStart = 4 };

    struct Reading {
        qint64 ms = 0; // its place on the series' time line
        quint16 value = 0;
        quint8 outputs = 0;
        quint8 flags = 0;
        qint64 written = 0; // its own time
    };

    // A step of the clock back between two readings (or markers placed with place()); one
    // within the band of a summarised series has index 0.
    struct Step {
        qint64 index = 0;    // the first reading after it (an index of at())
        qint64 beforeMs = 0; // the last time before it, as written
        qint64 afterMs = 0;  // the first time after it, as written
        qint64 placeBefore = 0, placeAfter = 0; // both on the time line
        // Where the break stands on the time line: between the two.
        qint64 breakMs() const { return placeBefore + (placeAfter - placeBefore) / 2; }
    };

    // What a stretch of readings holds.
    struct Summary {
        quint16 min = 0xFFFF; // over the readings with a value
        quint16 max = 0;
        quint8 on = 0;        // outputs on in at least one reading (with outputs)
        quint8 off = 0;       // outputs off in at least one reading
        bool hasValue() const { return min <= max; }
        void add(const Summary &o)
        {
            min = o.min < min ? o.min : min;
            max = o.max > max ? o.max : max;
            on |= o.on;
            off |= o.off;
        }
    };

    // How a summarised series forgets detail: readings older than exactMs before the newest
    // one, and beyond the newest exactMax, go into the band, one slot per slotMs.
    struct Summarised {
        qint64 exactMs = 3600 * 1000;
        qint64 exactMax = 3600;
        qint64 slotMs = 10 * 1000;
    };
    // A slot of the band: [fromMs, toMs) of the time line and what its readings held.
    struct Band {
        qint64 fromMs = 0, toMs = 0;
        Summary sum;
    };

    TrendSeries();
    explicit TrendSeries(const Summarised &how);
    ~TrendSeries();
    TrendSeries(TrendSeries &&) noexcept;
    TrendSeries &operator=(TrendSeries &&) noexcept;

    // Appends a reading at its own time ms. A time earlier than the last one placed starts
    // a new stretch, and the reading a new run (RunStart is added).
    void append(qint64 ms, quint16 value, quint8 outputs, quint8 flags);
    // The place of something else of the same time line (a log's marker) at its own time
    // ms, in order with the readings; a time that goes back starts a new stretch as a
    // reading's does.
    qint64 place(qint64 ms);
    void clear();
    // Gives every reading with a value the value f makes of it (a log whose counts turn
    // out to stand among values in a unit).
    void mapValues(quint16 (*f)(quint16));

    // The steps back among the readings held, oldest first (a step before the first reading
    // held is forgotten with it).
    std::vector<Step> steps() const;
    qint64 stepCount() const { return qint64(m_steps.size()); }
    // The most steps an owner keeps: a log with more is refused, the history forgets its
    // oldest readings.
    static constexpr qint64 kMaxSteps = 10000;
    // The own time of a place on the time line (of the stretch it lies in).
    qint64 writtenAt(qint64 placeMs) const;

    // Readings held in full, index 0 the oldest.
    qint64 size() const { return m_end - m_begin; }
    bool isEmpty() const { return size() == 0; }
    Reading at(qint64 i) const;
    // The oldest place held (the band's first slot's start, else the first reading's) and
    // the newest reading's.
    qint64 firstMs() const;
    qint64 lastMs() const;
    // The first reading's place (the band, when there is one, lies before it).
    qint64 exactFirstMs() const;
    // The first index whose time is ms or later (size() when none). toLeaf: the first that
    // also starts a run of 2^kLeafShift readings of the tree, so that a summary from there
    // takes whole nodes (for columns of many readings: none is left out or counted twice).
    qint64 lowerBound(qint64 ms, bool toLeaf = false) const;
    // The readings [from, to).
    Summary summarize(qint64 from, qint64 to) const;
    // Whether a reading of [from, to) starts a run.
    bool runStartIn(qint64 from, qint64 to) const;
    // The band and the readings together.
    Summary summarizeAll() const;

    // The band of a summarised series, oldest slot first; slots without readings (a pause
    // of a minute or less between two that have some) are held empty.
    bool summarised() const { return m_how.slotMs > 0; }
    const Summarised &summarising() const { return m_how; }
    qint64 bandCount() const { return qint64(m_band.size()); }
    Band bandAt(qint64 k) const;
    // The first slot that ends after ms (bandCount() when none).
    qint64 bandLowerBound(qint64 ms) const;
    // The slots [from, to).
    Summary bandSummarize(qint64 from, qint64 to) const;

    // Forgets the readings (and the band's slots) older than ms, and the oldest readings
    // beyond maxReadings (a summarised series keeps those in its band).
    void dropBefore(qint64 ms);
    void keepAtMost(qint64 maxReadings);

    // Bytes of memory the readings, their tree and the band take.
    qint64 bytes() const;

    // Readings per block; the tree's lowest level summarises 2^kLeafShift readings.
    static constexpr int kChunkShift = 16;
    static constexpr qint64 kChunk = qint64(1) << kChunkShift;
    static constexpr int kLeafShift = 4;
    // A summarised series' blocks are small, so that the readings passing into the band
    // free their memory soon.
    static constexpr qint64 kSummarisedChunk = 512;
    // Empty slots held between two that have readings, at most; a longer pause starts a
    // new run of slots.
    static constexpr qint64 kBandGapSlots = 6;

private:
    struct Node {
        quint16 min, max;
        quint8 on, off;
    };
    struct Chunk;
    Chunk *chunkOf(qint64 abs, qint64 &local) const;
    void dropFront();

    std::deque<std::unique_ptr<Chunk>> m_chunks;
    // The block the last look-up landed in: a redraw asks for neighbouring readings.
    mutable size_t m_hint = 0;
    // Absolute indexes: readings ever appended are numbered from 0; [m_begin, m_end) are held.
    qint64 m_begin = 0;
    qint64 m_end = 0;
    qint64 m_lastMs = 0;
    // The time line: the last time placed as written, the place it got, the step from one
    // reading to the next there, and what to add to a time written in the current stretch.
    bool m_placed = false;
    qint64 m_lastWritten = 0;
    qint64 m_lastPlace = 0;
    qint64 m_lastGap = -1;
    qint64 m_shift = 0;
    // The steps of the readings held (indexes absolute), and the shift of the stretch before the first of them.
    std::vector<Step> m_steps;
    qint64 m_baseShift = 0;
    qint64 shiftOf(qint64 abs) const;
    void dropSteps();
    // The absolute indexes of the readings that start a run (a few a day).
    std::vector<qint64> m_runStarts;

    // The band: its slots, and where each run of consecutive slots begins (the slot number,
    // time divided by slotMs, of the run's first slot and its absolute index in the band).
    Summarised m_how{0, 0, 0};
    std::deque<Summary> m_band;
    struct BandRun {
        qint64 slot = 0;
        qint64 index = 0;
    };
    std::vector<BandRun> m_bandRuns;
    qint64 m_bandBegin = 0; // the absolute index of m_band.front()
    qint64 slotOf(qint64 absBand) const;
    void bandAdd(qint64 slot, const Summary &sum);
    void dropBandBefore(qint64 ms);
    // Moves the readings [0, j) into the band.
    void foldFront(qint64 j);
    // The readings past the exact stretch into the band, and the oldest stretch of the band
    // away while there are more steps than kMaxSteps.
    void fold();
    void boundSteps();
    qint64 msAt(qint64 i) const;
};
