#include "monitor/TrendSeries.h"

#include <algorithm>
#include <limits>

namespace {
constexpr int kLevels = TrendSeries::kChunkShift - TrendSeries::kLeafShift + 1;
} // namespace

// A block of at most kChunk readings: times as offsets from its first reading's, and a
// tree whose level l summarises aligned runs of 2^(kLeafShift + l) readings. A block is
// closed early when the next offset would not fit 32 bits (a gap of 49 days).
struct TrendSeries::Chunk {
    qint64 absStart = 0;
    qint64 baseMs = 0;
    std::vector<quint32> dt;
    std::vector<quint16> value;
    std::vector<quint8> outputs;
    std::vector<quint8> flags;
    std::vector<Node> level[kLevels];
    bool closed = false;

    explicit Chunk(qint64 start, qint64 ms) : absStart(start), baseMs(ms)
    {
        dt.reserve(kChunk);
        value.reserve(kChunk);
        outputs.reserve(kChunk);
        flags.reserve(kChunk);
        for (int l = 0; l < kLevels; ++l)
            level[l].reserve(size_t(kChunk >> (kLeafShift + l)));
    }
    qint64 size() const { return qint64(dt.size()); }
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
        while (a < b) {
            int l = -1;
            if (!(a & ((qint64(1) << kLeafShift) - 1))) {
                for (int k = kLevels - 1; k >= 0; --k) {
                    const qint64 span = qint64(1) << (kLeafShift + k);
                    if (!(a & (span - 1)) && a + span <= b) {
                        l = k;
                        break;
                    }
                }
            }
            if (l < 0) {
                s.add(one(a));
                ++a;
            } else {
                s.add(summaryOf(level[l][size_t(a >> (kLeafShift + l))]));
                a += qint64(1) << (kLeafShift + l);
            }
        }
        return s;
    }

    qint64 bytes() const
    {
        qint64 b = qint64(dt.capacity() * sizeof(quint32) + value.capacity() * sizeof(quint16) + outputs.capacity() +
                          flags.capacity());
        for (const auto &l : level)
            b += qint64(l.capacity() * sizeof(Node));
        return b + qint64(sizeof(Chunk));
    }
};

void TrendSeries::Summary::add(const Summary &o)
{
    min = std::min(min, o.min);
    max = std::max(max, o.max);
    on |= o.on;
    off |= o.off;
}

TrendSeries::TrendSeries() = default;
TrendSeries::~TrendSeries() = default;
TrendSeries::TrendSeries(TrendSeries &&) noexcept = default;
TrendSeries &TrendSeries::operator=(TrendSeries &&) noexcept = default;

void TrendSeries::clear()
{
    m_chunks.clear();
    m_begin = m_end = 0;
    m_lastMs = 0;
}

void TrendSeries::append(qint64 ms, quint16 value, quint8 outputs, quint8 flags)
{
    if (m_end > 0 && ms < m_lastMs)
        ms = m_lastMs;
    Chunk *c = m_chunks.empty() ? nullptr : m_chunks.back().get();
    if (c && !c->closed && (c->size() >= kChunk || ms - c->baseMs > qint64(std::numeric_limits<quint32>::max())))
        c->closed = true;
    if (!c || c->closed) {
        m_chunks.push_back(std::make_unique<Chunk>(m_end, ms));
        c = m_chunks.back().get();
    }
    c->dt.push_back(quint32(ms - c->baseMs));
    c->value.push_back(value);
    c->outputs.push_back(outputs);
    c->flags.push_back(flags);
    c->grow(c->size() - 1);
    ++m_end;
    m_lastMs = ms;
}

TrendSeries::Chunk *TrendSeries::chunkOf(qint64 abs, qint64 &local) const
{
    // The last block whose first reading is at or before abs.
    auto it = std::upper_bound(m_chunks.begin(), m_chunks.end(), abs,
                               [](qint64 v, const std::unique_ptr<Chunk> &c) { return v < c->absStart; });
    Chunk *c = std::prev(it)->get();
    local = abs - c->absStart;
    return c;
}

TrendSeries::Reading TrendSeries::at(qint64 i) const
{
    qint64 local = 0;
    const Chunk *c = chunkOf(m_begin + i, local);
    const size_t k = size_t(local);
    return Reading{c->baseMs + c->dt[k], c->value[k], c->outputs[k], c->flags[k]};
}

qint64 TrendSeries::firstMs() const { return isEmpty() ? 0 : at(0).ms; }
qint64 TrendSeries::lastMs() const { return m_lastMs; }

qint64 TrendSeries::lowerBound(qint64 ms) const
{
    if (isEmpty() || ms <= firstMs())
        return 0;
    if (ms > m_lastMs)
        return size();
    // The first block whose last reading is at or after ms holds the answer.
    auto it = std::partition_point(m_chunks.begin(), m_chunks.end(),
                                   [ms](const std::unique_ptr<Chunk> &c) { return c->msAt(c->size() - 1) < ms; });
    const Chunk *c = it->get();
    const quint64 rel = ms <= c->baseMs ? 0 : quint64(ms - c->baseMs);
    const auto pos = std::lower_bound(c->dt.begin(), c->dt.end(), rel,
                                      [](quint32 v, quint64 r) { return quint64(v) < r; });
    const qint64 abs = c->absStart + qint64(pos - c->dt.begin());
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

void TrendSeries::dropFront()
{
    m_chunks.pop_front();
    if (m_chunks.empty()) {
        m_begin = m_end;
    } else {
        m_begin = std::max(m_begin, m_chunks.front()->absStart);
    }
}

void TrendSeries::dropBefore(qint64 ms)
{
    while (!m_chunks.empty() && m_chunks.size() > 1) {
        const Chunk *c = m_chunks.front().get();
        if (c->msAt(c->size() - 1) >= ms)
            break;
        dropFront();
    }
    if (!isEmpty())
        m_begin += lowerBound(ms);
}

void TrendSeries::keepAtMost(qint64 maxReadings)
{
    if (size() <= maxReadings)
        return;
    const qint64 newBegin = m_end - maxReadings;
    while (m_chunks.size() > 1 && m_chunks.front()->absStart + m_chunks.front()->size() <= newBegin)
        dropFront();
    m_begin = std::max(m_begin, newBegin);
}

qint64 TrendSeries::bytes() const
{
    qint64 b = 0;
    for (const auto &c : m_chunks)
        b += c->bytes();
    return b;
}
