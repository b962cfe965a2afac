#include "ctrlmodel/CtrlModel.h"

#include <QFile>
#include <cmath>

namespace {

bool isHex(const QByteArray &s, int from, int n)
{
    if (s.size() < from + n)
        return false;
    for (int i = from; i < from + n; ++i) {
        const char c = s.at(i);
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    }
    return true;
}

int hexValue(const QByteArray &s, int from, int n)
{
    return s.mid(from, n).toInt(nullptr, 16);
}

QByteArray hex(int value, int digits)
{
    return QByteArray::number(value, 16).toUpper().rightJustified(digits, '0').right(digits);
}

// Characters that never mean anything to the host: no command letter, no "?", no CR.
const char kNoise[] = "#$%&*+-/:;<=>@^_~!'()[]{}|0123456789GHJKMQSTUVXZ";

} // namespace

CtrlModel::CtrlModel()
{
    resetMemory();
    for (int &a : m_analog)
        a = -1;
}

void CtrlModel::resetMemory()
{
    m_memory = QByteArray(MemorySize, '\0');
    m_memory[CellMarker] = char(0xFF);
}

void CtrlModel::loadDemoSettings()
{
    for (int n = 1; n <= Outputs; ++n) {
        const int low = 128 * (n - 1);
        setField(4 * (n - 1), low);
        setField(4 * (n - 1) + 2, qMin(low + 191, MaxCount));
    }
    setField(CellHysteresis, 8);
}

// ------------------------------------------------------------------------- line

QList<CtrlModel::Chunk> CtrlModel::receive(const QByteArray &bytes, qint64 nowUs)
{
    QList<Chunk> out;
    for (char c : bytes) {
        if (m_hungUp)
            break;
        if (c == '\n' || c == '\0')
            continue; // a terminal's LF or a line glitch; the controller skips them
        if (c != '\r') {
            // A line that never ends is thrown away rather than grown without bound.
            if (m_partial.size() >= 256)
                m_partial.clear();
            m_partial.append(c);
            continue;
        }
        const QByteArray frame = m_partial;
        m_partial.clear();
        const QList<Chunk> r = reply(frame, nowUs);
        ++m_frameCount;
        Frame f;
        f.atUs = nowUs;
        f.text = frame;
        for (const Chunk &ch : r)
            f.reply += ch.bytes;
        m_frames.append(f);
        if (m_frames.size() > logLimit)
            m_frames.removeFirst();
        out += r;
    }
    return out;
}

QList<CtrlModel::Chunk> CtrlModel::reply(const QByteArray &frame, qint64 nowUs)
{
    const qint64 delay = m_answerDelayUs;
    switch (m_fault) {
    case Fault::Silence:
        return {};
    case Fault::Question:
        return {{delay, "?\r"}};
    case Fault::Garbage: {
        QByteArray g;
        for (int i = 0; i < qMax(1, m_faultParam); ++i)
            g.append(kNoise[m_rng.bounded(int(sizeof kNoise) - 1)]);
        return {{delay, g + '\r'}};
    }
    case Fault::Flood:
        if (m_faultParam < 0)
            return {}; // the stream runs by itself
        return {{delay, floodBytes(m_faultParam)}};
    case Fault::HangUp:
        if (m_answered >= m_faultParam) {
            m_hungUp = true;
            return {};
        }
        ++m_answered;
        break;
    case Fault::Stall:
        if (m_stallEndUs < 0)
            m_stallEndUs = nowUs + qint64(m_faultParam) * 1000;
        break;
    case Fault::Slow:
    case Fault::Split:
    case Fault::None:
        break;
    }

    const QByteArray line = answer(frame, nowUs) + '\r';
    // A frame that comes while the controller stalls is answered when the stall ends, with
    // the answers of every other frame that came meanwhile.
    if (m_fault == Fault::Stall && nowUs < m_stallEndUs)
        return {{delay + m_stallEndUs - nowUs, line}};
    if (m_fault == Fault::Slow)
        return {{delay + qint64(m_faultParam) * 1000, line}};
    if (m_fault == Fault::Split) {
        const int cut = qMax(1, int(line.size()) / 2);
        return {{delay, line.left(cut)}, {qint64(m_faultParam) * 1000, line.mid(cut)}};
    }
    return {{delay, line}};
}

QByteArray CtrlModel::answer(const QByteArray &frameIn, qint64 nowUs)
{
    const QByteArray f = frameIn.toUpper();
    const int n = int(f.size());
    if (n == 0)
        return "?";
    switch (f.at(0)) {
    case 'L':
        if (n == 1)
            return "L0001";
        break;
    case 'R':
        if (n == 3 && isHex(f, 1, 2))
            return "R" + hex(cell(hexValue(f, 1, 2)), 2);
        break;
    case 'W':
        if (n == 5 && isHex(f, 1, 4)) {
            setCell(hexValue(f, 1, 2), quint8(hexValue(f, 3, 2)));
            return "W";
        }
        break;
    case 'E':
        if (n == 1)
            return "E";
        break;
    case 'N':
        if (n == 1)
            return "N" + hex(level(nowUs), 4);
        if (n == 2 && f.at(1) >= '0' && f.at(1) <= '9') {
            // The analog outputs are looped back to the channel inputs; a channel that
            // was never set reads the input level.
            const int ch = f.at(1) - '0';
            const int v = m_analog[ch] >= 0 ? m_analog[ch] : level(nowUs);
            return f + hex(v, 4);
        }
        break;
    case 'Y':
        if (n == 1)
            return "Y" + hex(outputs(nowUs), 2);
        break;
    case 'D':
        if (n == 6 && f.at(1) >= '0' && f.at(1) <= '9' && isHex(f, 2, 4)) {
            m_analog[f.at(1) - '0'] = hexValue(f, 2, 4);
            return "D";
        }
        break;
    case 'P':
        if (n == 5) {
            bool ok = true;
            for (int i = 1; i < 5; ++i)
                ok = ok && f.at(i) >= '0' && f.at(i) <= '7';
            if (ok) {
                m_position = f.mid(1);
                return QByteArray("P") + positionResult;
            }
        }
        break;
    default:
        break;
    }
    return "?";
}

// ------------------------------------------------------------------------- faults

int CtrlModel::defaultParam(Fault f)
{
    switch (f) {
    case Fault::Slow:
        return 2000;
    case Fault::Garbage:
        return 6;
    case Fault::Split:
        return 50;
    case Fault::Flood:
        return 100;
    case Fault::Stall:
        return 25000;
    default:
        return 0;
    }
}

void CtrlModel::setFault(Fault f, int param)
{
    m_fault = f;
    m_faultParam = param;
    m_answered = 0;
    m_hungUp = false;
    m_stallEndUs = -1;
}

QString CtrlModel::faultName(Fault f)
{
    switch (f) {
    case Fault::None: return QStringLiteral("none");
    case Fault::Silence: return QStringLiteral("silence");
    case Fault::Question: return QStringLiteral("question");
    case Fault::Slow: return QStringLiteral("slow");
    case Fault::Garbage: return QStringLiteral("garbage");
    case Fault::Split: return QStringLiteral("split");
    case Fault::Flood: return QStringLiteral("flood");
    case Fault::HangUp: return QStringLiteral("hangup");
    case Fault::Stall: return QStringLiteral("stall");
    }
    return {};
}

bool CtrlModel::parseFault(const QString &text, Fault *f, int *param, QString *error)
{
    const QString name = text.section(QLatin1Char(':'), 0, 0).trimmed().toLower();
    const QString arg = text.section(QLatin1Char(':'), 1).trimmed().toLower();
    static const Fault all[] = {Fault::None, Fault::Silence, Fault::Question, Fault::Slow,
                                Fault::Garbage, Fault::Split, Fault::Flood, Fault::HangUp, Fault::Stall};
    for (Fault candidate : all) {
        if (name != faultName(candidate))
            continue;
        int p = defaultParam(candidate);
        if (text.contains(QLatin1Char(':'))) {
            bool ok = false;
            if (candidate == Fault::Flood && arg == QLatin1String("stream")) {
                p = -1;
                ok = true;
            } else {
                p = arg.toInt(&ok);
                ok = ok && p >= 0;
            }
            if (!ok) {
                if (error)
                    *error = QStringLiteral("bad number in fault \"%1\"").arg(text);
                return false;
            }
        }
        *f = candidate;
        *param = p;
        return true;
    }
    if (error)
        *error = QStringLiteral("unknown fault \"%1\"").arg(text);
    return false;
}

QByteArray CtrlModel::floodBytes(int n)
{
    static const char pattern[] = "0123456789ABCDEF";
    QByteArray b;
    b.reserve(n);
    for (int i = 0; i < n; ++i)
        b.append(pattern[m_floodPos++ % 16]);
    return b;
}

// ------------------------------------------------------------------------- level

void CtrlModel::setSamples(const QList<int> &counts)
{
    m_samples.clear();
    for (int c : counts)
        m_samples.append(qBound(0, c, MaxCount));
    m_wave = Wave::File;
}

bool CtrlModel::loadWaveFile(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error)
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    QList<int> counts;
    int lineNo = 0;
    while (!file.atEnd()) {
        ++lineNo;
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        bool ok = false;
        const int v = line.toInt(&ok);
        if (!ok || v < 0 || v > MaxCount) {
            if (error)
                *error = QStringLiteral("%1 line %2: \"%3\" is not a count 0-1023")
                             .arg(path).arg(lineNo).arg(QString::fromLatin1(line));
            return false;
        }
        counts.append(v);
    }
    if (counts.isEmpty()) {
        if (error)
            *error = QStringLiteral("%1 holds no counts").arg(path);
        return false;
    }
    setSamples(counts);
    return true;
}

bool CtrlModel::parseWave(const QString &text, QString *error)
{
    const QString t = text.trimmed();
    if (t.startsWith(QLatin1String("file:")))
        return loadWaveFile(t.mid(5), error);
    const QString w = t.toLower();
    if (w == QLatin1String("constant"))
        m_wave = Wave::Constant;
    else if (w == QLatin1String("ramp"))
        m_wave = Wave::Ramp;
    else if (w == QLatin1String("sine"))
        m_wave = Wave::Sine;
    else if (w == QLatin1String("steps"))
        m_wave = Wave::Steps;
    else {
        if (error)
            *error = QStringLiteral("unknown waveform \"%1\"").arg(text);
        return false;
    }
    return true;
}

int CtrlModel::level(qint64 tUs) const
{
    const qint64 p = m_periodUs;
    const qint64 phase = qMax<qint64>(0, tUs) % p;
    switch (m_wave) {
    case Wave::Constant:
        return m_level;
    case Wave::Ramp:
        return int(phase * (MaxCount + 1) / p);
    case Wave::Sine:
    {
        // Half-way up is 511.5; the nudge keeps a rounding error from deciding that half.
        const double v = 511.5 * (1.0 - std::cos(2.0 * M_PI * double(phase) / double(p)));
        return qBound(0, int(std::floor(v + 0.5 + 1e-9)), MaxCount);
    }
    case Wave::Steps: {
        static const int steps[8] = {0, 256, 512, 768, 1023, 768, 512, 256};
        return steps[phase * 8 / p];
    }
    case Wave::File:
        if (m_samples.isEmpty())
            return m_level;
        return m_samples.at(int(phase * m_samples.size() / p));
    }
    return m_level;
}

// ------------------------------------------------------------------------- outputs

quint8 CtrlModel::evaluate(int lv)
{
    const int hys = field(CellHysteresis);
    quint8 next = 0;
    for (int n = 0; n < Outputs; ++n) {
        const int lo = field(4 * n);
        const int hi = field(4 * n + 2);
        const bool was = m_contacts & (1u << n);
        bool on = lo <= lv && lv <= hi;
        if (!on && was)
            on = lo - hys <= lv && lv <= hi + hys; // inside the hysteresis band: hold
        if (on)
            next |= quint8(1u << n);
    }
    m_contacts = next;
    return next ^ cell(CellRelayMode);
}

int CtrlModel::inputType() const
{
    const int code = cell(CellInputCode);
    return code >= 1 && code <= 4 ? code + 1 : 1;
}

QString CtrlModel::levelText(int counts) const
{
    static const double scale[5] = {0.0048875, 0.0097751, 0.0195503421309873,
                                    0.00488758553274682, 0.00977517106549};
    static const char *unit[5] = {"V", "V", "mA", "M", "M"};
    const int t = inputType();
    double v = counts * scale[t - 1];
    if (t == 4)
        v = 5 - v;
    else if (t == 5)
        v = 10 - v;
    return QString::number(v, 'f', 2) + QLatin1Char(' ') + QLatin1String(unit[t - 1]);
}

// ------------------------------------------------------------------------- log

QByteArrayList CtrlModel::received() const
{
    QByteArrayList l;
    for (const Frame &f : m_frames)
        l.append(f.text);
    return l;
}

void CtrlModel::clearLog()
{
    m_frames.clear();
    m_frameCount = 0;
}
