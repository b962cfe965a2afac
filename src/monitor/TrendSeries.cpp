#include "monitor/TrendSeries.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace {
constexpr int kLevels = TrendSeries::kChunkShift - TrendSeries::kLeafShift + 1;

// a / b rounded down (times before 1970 are negative).
qint64 floorDiv(qint64 a, qint64 b) { return a / b - ((a % b) != 0 && ((a < 0) != (b < 0))); }
} // namespace

// A block of at most kChunk readings: times as offsets from its first reading's, and a
// tree whose level l summarises aligned runs of 2^(kLeafShift + l) readings. A block is
// closed early when the next offset would not fit 32 bits (a gap of 49 days).
struct TrendSeries::Chunk {
    qint64 absStart = 0;
    qint64 baseMs = 0;
    std::vector<quint32> dt;
    std::vector<quint32> leafDt; // the offset of each leaf's first reading
    std::vector<quint16> value;
    std::vector<quint8> outputs;
    std::vector<quint8> flags;
    std::vector<Node> level[kLevels];
    bool closed = false;

    // The arrays grow as readings come (doubling, so a full block takes what it holds): a
    // series of a few readings, as a site's of the office view, takes a few bytes, not a
    // block's half megabyte.
    explicit Chunk(qint64 start, qint64 ms) : absStart(start), baseMs(ms) {}
    qint64 size() const { return qint64(dt.size()); }

    // The first local index whose offset is rel or later (size() when none): the first
    // offsets of the leaves (16 KB a block) narrow it to one leaf, whose offsets share a
    // line of the cache. toLeaf: the first leaf that starts at rel or later.
    qint64 lowerBound(quint64 rel, bool toLeaf) const
    {
        const auto leaf = std::lower_bound(leafDt.begin(), leafDt.end(), rel,
                                           [](quint32 v, quint64 r) { return quint64(v) < r; });
        const qint64 l = qint64(leaf - leafDt.begin());
        if (toLeaf)
            return std::min(size(), l << kLeafShift);
        qint64 i = l == 0 ? 0 : (l - 1) << kLeafShift;
        const qint64 end = std::min(size(), l << kLeafShift);
        while (i < end && quint64(dt[size_t(i)]) < rel)
            ++i;
        return i;
    }
    qint64 msAt(qint64 local) const { return baseMs + dt[size_t(local)]; }

    Summary one(qint64 local) const
    {
        Summary s;
        const quint8 f = flags[size_t(local)];
        if (!(f & NoValue))
            s.min = s.max = value[size_t(local)];
        if (!(f & NoOutputs)) {
            s.on = outputs[size_t(local)];
            s.off = quint8(~outputs[size_t(local)]);
        }
        return s;
    }
    static Node nodeOf(const Summary &s) { return Node{s.min, s.max, s.on, s.off}; }
    static Summary summaryOf(const Node &n)
    {
        Summary s;
        s.min = n.min;
        s.max = n.max;
        s.on = n.on;
        s.off = n.off;
        return s;
    }

    // After the reading at local was added: the nodes it completes.
    void grow(qint64 local)
    {
        const qint64 n = local + 1;
        if (n & ((qint64(1) << kLeafShift) - 1))
            return;
        Summary leaf;
        for (qint64 i = n - (qint64(1) << kLeafShift); i < n; ++i)
            leaf.add(one(i));
        level[0].push_back(nodeOf(leaf));
        for (int l = 1; l < kLevels; ++l) {
            if (n & ((qint64(1) << (kLeafShift + l)) - 1))
                break;
            const std::vector<Node> &below = level[l - 1];
            Summary s = summaryOf(below[below.size() - 2]);
            s.add(summaryOf(below.back()));
            level[l].push_back(nodeOf(s));
        }
    }

    Summary summarize(qint64 a, qint64 b) const
    {
        Summary s;
        constexpr qint64 leaf = qint64(1) << kLeafShift;
        while (a < b) {
            if ((a & (leaf - 1)) || b - a < leaf) {
                s.add(one(a));
                ++a;
                continue;
            }
            // The largest node that starts at a and ends within b.
            const int aligned = a ? std::countr_zero(quint64(a)) : 63;
            const int fits = std::bit_width(quint64(b - a)) - 1;
            const int k = std::min({aligned, fits, kLeafShift + kLevels - 1}) - kLeafShift;
            s.add(summaryOf(level[k][size_t(a >> (kLeafShift + k))]));
            a += qint64(1) << (kLeafShift + k);
        }
        return s;
    }

    qint64 bytes() const
    {
        qint64 b = qint64((dt.capacity() + leafDt.capacity()) * sizeof(quint32) + value.capacity() * sizeof(quint16) +
                          outputs.capacity() + flags.capacity());
        for (const auto &l : level)
            b += qint64(l.capacity() * sizeof(Node));
        return b + qint64(sizeof(Chunk));
    }
};

TrendSeries::TrendSeries() = default;
TrendSeries::TrendSeries(const Summarised &how) : m_how(how)
{
    m_how.slotMs = std::max<qint64>(1, m_how.slotMs);
    m_how.exactMax = std::max<qint64>(1, m_how.exactMax);
}
TrendSeries::~TrendSeries() = default;
TrendSeries::TrendSeries(TrendSeries &&) noexcept = default;
TrendSeries &TrendSeries::operator=(TrendSeries &&) noexcept = default;

void TrendSeries::clear()
{
    m_chunks.clear();
    m_runStarts.clear();
    m_hint = 0;
    m_begin = m_end = 0;
    m_lastMs = 0;
    m_placed = false;
    m_lastWritten = m_lastPlace = m_shift = m_baseShift = 0;
    m_lastGap = -1;
    m_steps.clear();
    m_band.clear();
    m_bandRuns.clear();
    m_bandBegin = 0;
}

qint64 TrendSeries::place(qint64 ms)
{
    if (m_placed && ms < m_lastWritten) {
        // The clock went back: the new stretch stands right after the old one, as far from
        // it as the last two times were apart (a second when there were none; at most a
        // minute, so that a long pause does not open a gap that was not there).
        const qint64 gap = m_lastGap < 0 ? 1000 : std::clamp<qint64>(m_lastGap, 1, 60000);
        Step st;
        st.index = m_end;
        st.beforeMs = m_lastWritten;
        st.afterMs = ms;
        st.placeBefore = m_lastPlace;
        st.placeAfter = m_lastPlace + gap;
        m_shift = st.placeAfter - ms;
        // Two steps before one reading: the second one's "before" is the first's "after".
        if (!m_steps.empty() && m_steps.back().index == m_end) {
            st.placeBefore = m_steps.back().placeBefore;
            st.beforeMs = m_steps.back().beforeMs;
            m_steps.back() = st;
        } else {
            m_steps.push_back(st);
        }
    }
    const qint64 at = ms + m_shift;
    if (m_placed)
        m_lastGap = at - m_lastPlace;
    m_placed = true;
    m_lastWritten = ms;
    m_lastPlace = at;
    return at;
}

qint64 TrendSeries::shiftOf(qint64 abs) const
{
    const auto it = std::upper_bound(m_steps.begin(), m_steps.end(), abs,
                                     [](qint64 v, const Step &s) { return v < s.index; });
    return it == m_steps.begin() ? m_baseShift : std::prev(it)->placeAfter - std::prev(it)->afterMs;
}

qint64 TrendSeries::writtenAt(qint64 placeMs) const
{
    // The stretch whose break lies at or before the place.
    qint64 shift = m_baseShift;
    for (const Step &s : m_steps) {
        if (placeMs < s.breakMs())
            break;
        shift = s.placeAfter - s.afterMs;
    }
    return placeMs - shift;
}

std::vector<TrendSeries::Step> TrendSeries::steps() const
{
    std::vector<Step> out = m_steps;
    // A step in the band of a summarised series stands before the first reading.
    for (Step &s : out)
        s.index = std::max<qint64>(0, s.index - m_begin);
    return out;
}

void TrendSeries::dropSteps()
{
    // A step at or before the first reading held is no longer between two readings; in a
    // summarised series, one whose readings after it passed into the band stays while the
    // band holds something before it.
    while (!m_steps.empty() && m_steps.front().index <= m_begin) {
        if (!m_band.empty() && m_steps.front().placeAfter > bandAt(0).fromMs)
            break;
        m_baseShift = m_steps.front().placeAfter - m_steps.front().afterMs;
        m_steps.erase(m_steps.begin());
    }
}

void TrendSeries::append(qint64 written, quint16 value, quint8 outputs, quint8 flags)
{
    const qint64 ms = place(written);
    if (!m_steps.empty() && m_steps.back().index == m_end && m_end > 0)
        flags |= RunStart;
    Chunk *c = m_chunks.empty() ? nullptr : m_chunks.back().get();
    if (c && !c->closed && (c->size() >= kChunk || ms - c->baseMs > qint64(std::numeric_limits<quint32>::max())))
        c->closed = true;
    if (c && !c->closed && summarised() && c->size() >= kSummarisedChunk)
        c->closed = true;
    if (!c || c->closed) {
        m_chunks.push_back(std::make_unique<Chunk>(m_end, ms));
        c = m_chunks.back().get();
    }
    if (!(c->size() & ((qint64(1) << kLeafShift) - 1)))
        c->leafDt.push_back(quint32(ms - c->baseMs));
    c->dt.push_back(quint32(ms - c->baseMs));
    c->value.push_back(value);
    c->outputs.push_back(outputs);
    c->flags.push_back(flags);
    c->grow(c->size() - 1);
    if (flags & RunStart)
        m_runStarts.push_back(m_end);
    ++m_end;
    m_lastMs = ms;
    if (summarised())
        fold();
}

void TrendSeries::mapValues(quint16 (*f)(quint16))
{
    for (const auto &c : m_chunks) {
        for (size_t k = 0; k < c->value.size(); ++k) {
            if (!(c->flags[k] & NoValue))
                c->value[k] = f(c->value[k]);
        }
        // The tree again, from its leaves up.
        for (auto &l : c->level)
            l.clear();
        for (qint64 k = 0; k < c->size(); ++k)
            c->grow(k);
    }
    for (Summary &b : m_band) {
        if (b.hasValue()) {
            const quint16 lo = f(b.min), hi = f(b.max);
            b.min = std::min(lo, hi);
            b.max = std::max(lo, hi);
        }
    }
}

TrendSeries::Chunk *TrendSeries::chunkOf(qint64 abs, qint64 &local) const
{
    // The block of the last look-up or the one after it, else the last block whose first
    // reading is at or before abs.
    for (size_t k = m_hint; k < m_chunks.size() && k <= m_hint + 1; ++k) {
        Chunk *c = m_chunks[k].get();
        if (abs >= c->absStart && abs < c->absStart + c->size()) {
            m_hint = k;
            local = abs - c->absStart;
            return c;
        }
    }
    auto it = std::upper_bound(m_chunks.begin(), m_chunks.end(), abs,
                               [](qint64 v, const std::unique_ptr<Chunk> &c) { return v < c->absStart; });
    m_hint = size_t(std::prev(it) - m_chunks.begin());
    Chunk *c = std::prev(it)->get();
    local = abs - c->absStart;
    return c;
}

TrendSeries::Reading TrendSeries::at(qint64 i) const
{
    qint64 local = 0;
    const Chunk *c = chunkOf(m_begin + i, local);
    const size_t k = size_t(local);
    const qint64 ms = c->baseMs + c->dt[k];
    return Reading{ms, c->value[k], c->outputs[k], c->flags[k], ms - shiftOf(m_begin + i)};
}

qint64 TrendSeries::firstMs() const
{
    if (!m_band.empty())
        return bandAt(0).fromMs;
    return exactFirstMs();
}

qint64 TrendSeries::exactFirstMs() const
{
    if (isEmpty())
        return 0;
    // The first block holds the oldest reading (read without moving the look-up's block).
    const Chunk *c = m_chunks.front().get();
    return c->msAt(m_begin - c->absStart);
}
qint64 TrendSeries::lastMs() const { return m_lastMs; }

qint64 TrendSeries::lowerBound(qint64 ms, bool toLeaf) const
{
    if (isEmpty() || ms <= exactFirstMs())
        return 0;
    if (ms > m_lastMs)
        return size();
    // The first block whose last reading is at or after ms holds the answer: the block of
    // the last look-up or the one after it, most of the time.
    auto after = [ms](const Chunk *c) { return c->msAt(c->size() - 1) >= ms; };
    const Chunk *c = nullptr;
    for (size_t k = m_hint; k < m_chunks.size() && k <= m_hint + 1; ++k) {
        const Chunk *h = m_chunks[k].get();
        if (after(h) && (k == 0 || !after(m_chunks[k - 1].get()))) {
            c = h;
            m_hint = k;
            break;
        }
    }
    if (!c) {
        auto it = std::partition_point(m_chunks.begin(), m_chunks.end(),
                                       [&](const std::unique_ptr<Chunk> &x) { return !after(x.get()); });
        m_hint = size_t(it - m_chunks.begin());
        c = it->get();
    }
    const quint64 rel = ms <= c->baseMs ? 0 : quint64(ms - c->baseMs);
    const qint64 abs = c->absStart + c->lowerBound(rel, toLeaf);
    return std::max<qint64>(0, abs - m_begin);
}

TrendSeries::Summary TrendSeries::summarize(qint64 from, qint64 to) const
{
    Summary s;
    from = std::max<qint64>(0, from);
    to = std::min(to, size());
    if (from >= to)
        return s;
    qint64 abs = m_begin + from;
    const qint64 absTo = m_begin + to;
    while (abs < absTo) {
        qint64 local = 0;
        const Chunk *c = chunkOf(abs, local);
        const qint64 end = std::min(c->size(), absTo - c->absStart);
        s.add(c->summarize(local, end));
        abs = c->absStart + end;
    }
    return s;
}

bool TrendSeries::runStartIn(qint64 from, qint64 to) const
{
    const auto it = std::lower_bound(m_runStarts.begin(), m_runStarts.end(), m_begin + std::max<qint64>(0, from));
    return it != m_runStarts.end() && *it < m_begin + to;
}

void TrendSeries::dropFront()
{
    m_chunks.pop_front();
    m_hint = 0;
    if (m_chunks.empty()) {
        m_begin = m_end;
    } else {
        m_begin = std::max(m_begin, m_chunks.front()->absStart);
    }
    dropSteps();
}

void TrendSeries::dropBefore(qint64 ms)
{
    dropBandBefore(ms);
    while (!m_chunks.empty() && m_chunks.size() > 1) {
        const Chunk *c = m_chunks.front().get();
        if (c->msAt(c->size() - 1) >= ms)
            break;
        dropFront();
    }
    if (!isEmpty())
        m_begin += lowerBound(ms);
    dropSteps();
}

void TrendSeries::keepAtMost(qint64 maxReadings)
{
    if (size() <= maxReadings)
        return;
    if (summarised()) {
        // Into the band; the newest reading stays a reading.
        foldFront(size() - std::max<qint64>(1, maxReadings));
        boundSteps();
        return;
    }
    const qint64 newBegin = m_end - maxReadings;
    while (m_chunks.size() > 1 && m_chunks.front()->absStart + m_chunks.front()->size() <= newBegin)
        dropFront();
    m_begin = std::max(m_begin, newBegin);
    dropSteps();
}

qint64 TrendSeries::bytes() const
{
    qint64 b = 0;
    for (const auto &c : m_chunks)
        b += c->bytes();
    // A deque keeps its elements in nodes of 512 bytes and a map of pointers to them.
    constexpr qint64 perNode = 512 / qint64(sizeof(Summary));
    const qint64 nodes = (qint64(m_band.size()) + perNode - 1) / perNode + 1;
    b += nodes * 512 + (nodes + 8) * qint64(sizeof(void *));
    b += qint64(m_bandRuns.capacity() * sizeof(BandRun) + m_steps.capacity() * sizeof(Step) +
                m_runStarts.capacity() * sizeof(qint64));
    return b;
}

// ---------------------------------------------------------------- the band

qint64 TrendSeries::msAt(qint64 i) const
{
    qint64 local = 0;
    const Chunk *c = chunkOf(m_begin + i, local);
    return c->msAt(local);
}

TrendSeries::Summary TrendSeries::summarizeAll() const
{
    Summary s = bandSummarize(0, bandCount());
    s.add(summarize(0, size()));
    return s;
}

qint64 TrendSeries::slotOf(qint64 absBand) const
{
    const auto it = std::upper_bound(m_bandRuns.begin(), m_bandRuns.end(), absBand,
                                     [](qint64 v, const BandRun &r) { return v < r.index; });
    const BandRun &r = *std::prev(it);
    return r.slot + (absBand - r.index);
}

TrendSeries::Band TrendSeries::bandAt(qint64 k) const
{
    Band b;
    b.fromMs = slotOf(m_bandBegin + k) * m_how.slotMs;
    b.toMs = b.fromMs + m_how.slotMs;
    b.sum = m_band[size_t(k)];
    return b;
}

qint64 TrendSeries::bandLowerBound(qint64 ms) const
{
    if (m_band.empty())
        return 0;
    // The slot that holds ms, or the first after it.
    const qint64 slot = floorDiv(ms, m_how.slotMs);
    const qint64 end = m_bandBegin + bandCount();
    auto it = std::upper_bound(m_bandRuns.begin(), m_bandRuns.end(), slot,
                               [](qint64 v, const BandRun &r) { return v < r.slot; });
    qint64 abs = m_bandBegin;
    if (it != m_bandRuns.begin()) {
        const BandRun &r = *std::prev(it);
        const qint64 runEnd = it == m_bandRuns.end() ? end : it->index;
        abs = r.index + (slot - r.slot);
        if (abs >= runEnd)
            abs = runEnd;
    }
    return std::clamp(abs, m_bandBegin, end) - m_bandBegin;
}

TrendSeries::Summary TrendSeries::bandSummarize(qint64 from, qint64 to) const
{
    Summary s;
    from = std::max<qint64>(0, from);
    to = std::min(to, bandCount());
    for (qint64 k = from; k < to; ++k)
        s.add(m_band[size_t(k)]);
    return s;
}

void TrendSeries::bandAdd(qint64 slot, const Summary &sum)
{
    const qint64 end = m_bandBegin + bandCount();
    if (!m_band.empty()) {
        const qint64 last = slotOf(end - 1);
        if (slot <= last) {
            // The rest of a slot whose first readings went in before (or, never, an older one).
            m_band.back().add(sum);
            return;
        }
        if (slot - last - 1 <= kBandGapSlots) {
            for (qint64 k = last + 1; k < slot; ++k)
                m_band.emplace_back();
            m_band.push_back(sum);
            return;
        }
    }
    m_bandRuns.push_back({slot, end});
    m_band.push_back(sum);
}

void TrendSeries::dropBandBefore(qint64 ms)
{
    bool dropped = false;
    while (!m_band.empty() && slotOf(m_bandBegin) * m_how.slotMs < ms) {
        m_band.pop_front();
        ++m_bandBegin;
        dropped = true;
    }
    if (m_band.empty()) {
        m_bandRuns.clear();
    } else {
        while (m_bandRuns.size() > 1 && m_bandRuns[1].index <= m_bandBegin)
            m_bandRuns.erase(m_bandRuns.begin());
    }
    if (dropped)
        dropSteps();
}

void TrendSeries::foldFront(qint64 j)
{
    j = std::min(j, size());
    if (j <= 0)
        return;
    for (qint64 i = 0; i < j;) {
        const qint64 slot = floorDiv(msAt(i), m_how.slotMs);
        const qint64 k = std::clamp(lowerBound((slot + 1) * m_how.slotMs), i + 1, j);
        bandAdd(slot, summarize(i, k));
        i = k;
    }
    const qint64 newBegin = m_begin + j;
    while (m_chunks.size() > 1 && m_chunks.front()->absStart + m_chunks.front()->size() <= newBegin)
        dropFront();
    m_begin = std::max(m_begin, newBegin);
    dropSteps();
}

void TrendSeries::fold()
{
    // Whole slots older than the exact stretch, and the readings beyond its count (a slot
    // cut by the count takes the rest of its readings when they follow).
    const qint64 cutoff = floorDiv(m_lastMs - m_how.exactMs, m_how.slotMs) * m_how.slotMs;
    qint64 j = exactFirstMs() < cutoff ? lowerBound(cutoff) : 0;
    // By the count in steps of a leaf, so that a fast series does not fold at every reading.
    if (size() - j > m_how.exactMax + (qint64(1) << kLeafShift))
        j = size() - m_how.exactMax;
    if (j > 0)
        foldFront(std::min(j, size() - 1));
    boundSteps();
}

void TrendSeries::boundSteps()
{
    // Steps back at every reading (a hostile clock): the oldest stretch of the band goes.
    while (stepCount() > kMaxSteps && !m_band.empty() && m_steps.front().index <= m_begin) {
        dropBandBefore(m_steps.front().placeAfter);
        dropSteps();
    }
}
