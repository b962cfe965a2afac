#include "logfiler/modLogReader.h"

#include "core/modMain1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"

#include <QDateTime>

#include <cmath>
#include <cstring>
#include <iterator>
#include <vector>

namespace {
// One line's bytes, without its line end.
struct Span {
    const char *p = nullptr;
    qsizetype n = 0;
    bool startsWith(const char *s) const
    {
        const qsizetype k = qsizetype(qstrlen(s));
        return n >= k && memcmp(p, s, size_t(k)) == 0;
    }
    bool endsWith(const char *s) const
    {
        const qsizetype k = qsizetype(qstrlen(s));
        return n >= k && memcmp(p + n - k, s, size_t(k)) == 0;
    }
    Span mid(qsizetype from, qsizetype len = -1) const
    {
        from = qMin(from, n);
        return Span{p + from, len < 0 ? n - from : qMin(len, n - from)};
    }
    Span trimmed() const
    {
        Span s = *this;
        while (s.n && (s.p[0] == ' ' || s.p[0] == '\t')) {
            ++s.p;
            --s.n;
        }
        while (s.n && (s.p[s.n - 1] == ' ' || s.p[s.n - 1] == '\t'))
            --s.n;
        return s;
    }
    bool equals(const char *s) const { return n == qsizetype(qstrlen(s)) && memcmp(p, s, size_t(n)) == 0; }
};

bool spanDigits(Span s, qsizetype n, int &v)
{
    if (s.n != n)
        return false;
    v = 0;
    for (qsizetype i = 0; i < n; ++i) {
        if (s.p[i] < '0' || s.p[i] > '9')
            return false;
        v = v * 10 + (s.p[i] - '0');
    }
    return true;
}

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool spanHex(Span s, int &v)
{
    v = 0;
    for (qsizetype i = 0; i < s.n; ++i) {
        const int d = hexDigitValue(s.p[i]);
        if (d < 0)
            return false;
        v = v * 16 + d;
    }
    return s.n > 0;
}

// Local date and time texts to milliseconds since the epoch. The zone's rule is asked once a
// minute of the file, so a day of one-second lines costs 1,440 conversions, not 86,400.
class LocalTimes {
public:
    // "yyyy/mm/dd" and "hh:nn:ss"; false when they are no date and time.
    bool ms(Span date, Span time, qint64 &out)
    {
        int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
        if (date.n != 10 || date.p[4] != '/' || date.p[7] != '/' || time.n != 8 || time.p[2] != ':' || time.p[5] != ':')
            return false;
        if (!spanDigits(date.mid(0, 4), 4, y) || !spanDigits(date.mid(5, 2), 2, mo) || !spanDigits(date.mid(8, 2), 2, d) ||
            !spanDigits(time.mid(0, 2), 2, h) || !spanDigits(time.mid(3, 2), 2, mi) || !spanDigits(time.mid(6, 2), 2, s))
            return false;
        if (h > 23 || mi > 59 || s > 59)
            return false;
        const qint64 key = ((((qint64(y) * 13 + mo) * 32 + d) * 24 + h) * 60) + mi;
        if (key != m_key) {
            const QDate day(y, mo, d);
            if (!day.isValid())
                return false;
            m_key = key;
            m_minuteMs = QDateTime(day, QTime(h, mi)).toMSecsSinceEpoch();
        }
        out = m_minuteMs + qint64(s) * 1000;
        return true;
    }

private:
    qint64 m_key = -1;
    qint64 m_minuteMs = 0;
};

// A value written with its unit: "02.05", "-0.05", "ERROR"; hundredths, false when it is no
// such number (ok stays true for "ERROR", which is a line without a value).
bool hundredthsOf(Span s, int &v, bool &hasValue)
{
    hasValue = false;
    if (s.equals("ERROR"))
        return true;
    bool negative = false;
    if (s.n && s.p[0] == '-') {
        negative = true;
        s = s.mid(1);
    }
    const char *dot = static_cast<const char *>(memchr(s.p, '.', size_t(s.n)));
    if (!dot || dot == s.p || s.p + s.n - dot != 3)
        return false;
    int whole = 0, part = 0;
    const Span w{s.p, dot - s.p};
    if (w.n > 6 || !spanDigits(w, w.n, whole) || !spanDigits(Span{dot + 1, 2}, 2, part))
        return false;
    v = (whole * 100 + part) * (negative ? -1 : 1);
    hasValue = true;
    return true;
}

struct Parsed {
    qint64 ms;
    int value;     // a count, or hundredths
    bool inUnit;   // value in hundredths of the unit
    quint8 outputs;
    quint8 flags;
};

// A data line: number, date, time, value (with its unit, or the count), outputs.
bool dataLine(Span line, LocalTimes &times, Parsed &r, QByteArray &unit)
{
    Span f[7];
    int n = 0;
    qsizetype from = 0;
    for (qsizetype i = 0; i <= line.n; ++i) {
        if (i == line.n || line.p[i] == ',') {
            if (n == 7)
                return false;
            f[n++] = line.mid(from, i - from).trimmed();
            from = i + 1;
        }
    }
    if (n != 5 && n != 6)
        return false;
    int number = 0;
    if (f[0].n < 1 || f[0].n > 9 || !spanDigits(f[0], f[0].n, number))
        return false;
    if (!times.ms(f[1], f[2], r.ms))
        return false;
    r.flags = 0;
    r.inUnit = n == 6;
    if (r.inUnit) {
        bool has = false;
        if (!hundredthsOf(f[3], r.value, has))
            return false;
        if (!has)
            r.flags |= TrendSeries::NoValue;
        // The unit as the log filer writes it ("V", "mA", "M"): a short word of ASCII.
        if (f[4].n < 1 || f[4].n > 8)
            return false;
        for (qsizetype i = 0; i < f[4].n; ++i) {
            if (f[4].p[i] < 0x21 || f[4].p[i] > 0x7E)
                return false;
        }
        if (unit.isEmpty())
            unit = QByteArray(f[4].p, f[4].n);
    } else {
        // The count as the controller sent it: four characters, a number or not.
        if (f[3].n != 4)
            return false;
        if (!spanHex(f[3], r.value))
            r.flags |= TrendSeries::NoValue;
    }
    const Span out = f[n - 1];
    int o = 0;
    if (out.n == 8) {
        // Bit 0 first.
        for (qsizetype i = 0; i < 8; ++i) {
            if (out.p[i] != '0' && out.p[i] != '1')
                return false;
            o |= (out.p[i] - '0') << i;
        }
    } else if (out.n == 2) {
        if (!spanHex(out, o))
            r.flags |= TrendSeries::NoOutputs;
    } else if (out.equals("ERROR")) {
        r.flags |= TrendSeries::NoOutputs;
    } else {
        return false;
    }
    r.outputs = quint8(o);
    return true;
}

// The marker lines the log filer writes; the first starts a run, the others end one.
const char *const kMarkers[] = {
    "/** Logging Start **/", "/** Logging QUIT **/",          "/** Logging END C **/", "/** Logging END T **/",
    "/** Logging COUNTMAX OVER **/", "/** Logging Quit **/", "/** Logging ERR STOP **/",
};

int markerOf(Span line)
{
    for (int k = 0; k < int(std::size(kMarkers)); ++k) {
        if (line.equals(kMarkers[k]))
            return k;
    }
    return -1;
}

// The value in hundredths of a count, as a data line with its unit would show it with the
// current input type.
int countToHundredths(int count)
{
    const QString text = g_funcValueFormat(count * g_dblScale, 1);
    return int(std::lround(text.toDouble() * 100));
}
} // namespace

bool ParseLogFile(const QByteArray &bytes, LogFileData &out)
{
    out = LogFileData();
    std::vector<Parsed> readings;
    std::vector<size_t> markerAt; // readings before each marker
    LocalTimes times;
    QByteArray unit;
    bool anyInUnit = false;
    // A marker waits for its "Time :," line.
    int pendingMarker = -1;
    bool runOpen = false;
    bool nextStarts = true;
    const char *p = bytes.constData();
    const qsizetype size = bytes.size();
    qsizetype pos = 0;
    while (pos < size) {
        const char *nl = static_cast<const char *>(memchr(p + pos, '\n', size_t(size - pos)));
        const bool ended = nl != nullptr;
        const qsizetype end = ended ? nl - p : size;
        Span line{p + pos, end - pos};
        if (line.n && line.p[line.n - 1] == '\r')
            --line.n;
        pos = ended ? end + 1 : size;
        const Span t = line.trimmed();
        if (!t.n)
            continue;
        // The log filer ends every line it writes; a last line without its end was cut
        // short (a copy taken while a line was written), and even where it reads as a line
        // it may be missing digits.
        if (!ended) {
            out.cutShort = true;
            continue;
        }
        if (const int k = markerOf(t); k >= 0) {
            LogMarker m;
            m.text = QString::fromLatin1(kMarkers[k]).mid(4).chopped(4);
            m.start = k == 0;
            m.ms = -1;
            if (m.start)
                ++out.runs;
            runOpen = m.start;
            nextStarts = true;
            out.markers << m;
            markerAt.push_back(readings.size());
            pendingMarker = int(out.markers.size() - 1);
            continue;
        }
        if (t.startsWith("Time :,")) {
            const Span rest = t.mid(7);
            const char *comma = static_cast<const char *>(memchr(rest.p, ',', size_t(rest.n)));
            qint64 ms = 0;
            if (pendingMarker >= 0 && comma &&
                times.ms(Span{rest.p, comma - rest.p}.trimmed(), rest.mid(comma - rest.p + 1).trimmed(), ms)) {
                out.markers[pendingMarker].ms = ms;
                pendingMarker = -1;
            } else {
                ++out.skipped;
            }
            continue;
        }
        Parsed r;
        if (!dataLine(t, times, r, unit)) {
            ++out.skipped;
            continue;
        }
        pendingMarker = -1;
        if (!runOpen) {
            // Lines without a start block before them: a run of their own.
            ++out.runs;
            runOpen = true;
            nextStarts = true;
        }
        if (nextStarts)
            r.flags |= TrendSeries::RunStart;
        nextStarts = false;
        anyInUnit = anyInUnit || r.inUnit;
        readings.push_back(r);
    }
    if (out.runs == 0)
        return false;
    out.hundredths = anyInUnit;
    out.unit = anyInUnit ? QString::fromLatin1(unit) : QString();
    for (const Parsed &r : readings) {
        int v = r.value;
        if (out.hundredths && !r.inUnit && !(r.flags & TrendSeries::NoValue))
            v = countToHundredths(v);
        const int raw = out.hundredths ? qBound(0, v + kHundredthsZero, 0xFFFF) : qBound(0, v, 0xFFFF);
        out.series.append(r.ms, quint16(raw), r.outputs, r.flags);
    }
    out.lines = qint64(readings.size());
    // A marker whose time line is missing stands at the reading next to it: a start at the
    // first reading after it, an end at the last one before it.
    QList<LogMarker> markers;
    for (qsizetype i = 0; i < out.markers.size(); ++i) {
        LogMarker m = out.markers[i];
        const size_t at = markerAt[size_t(i)];
        if (m.ms < 0 && m.start && at < readings.size())
            m.ms = readings[at].ms;
        else if (m.ms < 0 && !m.start && at > 0)
            m.ms = readings[at - 1].ms;
        if (m.ms >= 0)
            markers << m;
    }
    out.markers = markers;
    return true;
}

bool g_funcLogFileRead(const QString &path, LogFileData &out)
{
    const QString caption = QStringLiteral("ﾛｸﾞﾌｧｲﾙ読み込み");
    QByteArray bytes;
    const FileError e = ReadWholeFile(path, bytes, kMaxLogFileBytes);
    if (e.failed()) {
        MsgBox(ErrTextErrorNo(e) + vbCrLf + path, vbOKOnly + vbCritical, caption);
        return false;
    }
    LogFileData data;
    if (!ParseLogFile(bytes, data)) {
        MsgBox(QStringLiteral("ﾛｸﾞﾌｧｲﾗのﾛｸﾞﾌｧｲﾙではありません。") + vbCrLf +
                   QStringLiteral("開始ﾏｰｶｰもﾃﾞｰﾀ行も見つかりませんでした。") + vbCrLf + path,
               vbOKOnly + vbExclamation, caption);
        return false;
    }
    out = std::move(data);
    return true;
}
