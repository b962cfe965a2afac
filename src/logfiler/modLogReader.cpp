#include "logfiler/modLogReader.h"

#include "core/modMain1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/FilePieces.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"

#include <QDateTime>
#include <QFileInfo>

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

// A count as a reading of a file with values: hundredths from kHundredthsZero.
quint16 countAsHundredths(int count) { return quint16(qBound(0, countToHundredths(count) + kHundredthsZero, 0xFFFF)); }

const char kBom[] = "\xEF\xBB\xBF";
} // namespace

struct LogParser::State {
    LogFileData out;
    LocalTimes times;
    QByteArray unit;
    bool anyInUnit = false;
    // A marker waits for its "Time :," line; a start without one stands at the next reading.
    int pendingMarker = -1;
    QList<int> startsWithoutTime;
    bool runOpen = false;
    bool nextStarts = true;
    // The part of a line that the last piece ended in, and whether that line is already
    // too long to be a log's.
    QByteArray carry;
    bool overlong = false;
    LogParseResult refused = LogParseResult::Log;

    void line(Span line);
    void marker(int k);
    void reading(Parsed &r);
};

void LogParser::State::marker(int k)
{
    if (out.markers.size() >= kMaxLogMarkers) {
        refused = LogParseResult::TooManyMarkers;
        return;
    }
    LogMarker m;
    m.text = QString::fromLatin1(kMarkers[k]).mid(4).chopped(4);
    m.start = k == 0;
    m.ms = -1;
    // An end whose time line is missing stands at the last reading before it.
    if (!m.start && !out.series.isEmpty()) {
        const TrendSeries::Reading last = out.series.at(out.series.size() - 1);
        m.ms = last.ms;
        m.written = last.written;
    }
    if (m.start) {
        ++out.runs;
        startsWithoutTime << int(out.markers.size());
    }
    runOpen = m.start;
    nextStarts = true;
    out.markers << m;
    pendingMarker = int(out.markers.size() - 1);
}

void LogParser::State::reading(Parsed &r)
{
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
    if (r.inUnit && !anyInUnit) {
        // The first value with its unit: the counts before it become values too.
        anyInUnit = true;
        out.series.mapValues([](quint16 v) { return countAsHundredths(v); });
    }
    int raw = 0;
    if (r.flags & TrendSeries::NoValue)
        raw = 0;
    else if (!anyInUnit)
        raw = qBound(0, r.value, 0xFFFF);
    else if (!r.inUnit)
        raw = countAsHundredths(r.value);
    else
        raw = qBound(0, r.value + kHundredthsZero, 0xFFFF);
    out.series.append(r.ms, quint16(raw), r.outputs, r.flags);
    ++out.lines;
    if (out.series.stepCount() > TrendSeries::kMaxSteps) {
        refused = LogParseResult::TooManySteps;
        return;
    }
    // Starts whose time line was missing stand at this reading.
    if (!startsWithoutTime.isEmpty()) {
        const TrendSeries::Reading here = out.series.at(out.series.size() - 1);
        for (const int i : std::as_const(startsWithoutTime)) {
            out.markers[i].ms = here.ms;
            out.markers[i].written = here.written;
        }
        startsWithoutTime.clear();
    }
}

void LogParser::State::line(Span line)
{
    if (line.n && line.p[line.n - 1] == '\r')
        --line.n;
    // A byte order mark (a copy saved by an editor) is no part of the line.
    if (line.startsWith(kBom))
        line = line.mid(3);
    const Span t = line.trimmed();
    if (!t.n)
        return;
    if (const int k = markerOf(t); k >= 0) {
        marker(k);
        return;
    }
    if (t.startsWith("Time :,")) {
        const Span rest = t.mid(7);
        const char *comma = static_cast<const char *>(memchr(rest.p, ',', size_t(rest.n)));
        qint64 ms = 0;
        if (pendingMarker >= 0 && comma &&
            times.ms(Span{rest.p, comma - rest.p}.trimmed(), rest.mid(comma - rest.p + 1).trimmed(), ms)) {
            LogMarker &m = out.markers[pendingMarker];
            m.written = ms;
            m.ms = out.series.place(ms);
            startsWithoutTime.removeOne(pendingMarker);
            pendingMarker = -1;
            if (out.series.stepCount() > TrendSeries::kMaxSteps)
                refused = LogParseResult::TooManySteps;
        } else {
            ++out.skipped;
        }
        return;
    }
    Parsed r;
    if (!dataLine(t, times, r, unit)) {
        ++out.skipped;
        return;
    }
    reading(r);
}

LogParser::LogParser() : d(std::make_unique<State>()) {}
LogParser::~LogParser() = default;

bool LogParser::feed(QByteArrayView piece)
{
    const char *p = piece.data();
    const char *const end = p + piece.size();
    while (p < end && d->refused == LogParseResult::Log) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', size_t(end - p)));
        const char *stop = nl ? nl : end;
        if (d->overlong) {
            // The rest of a line too long to be a log's: only its end matters.
        } else if (d->carry.size() + (stop - p) > kMaxLogLineBytes) {
            d->overlong = true;
            d->carry.clear();
        } else if (nl && d->carry.isEmpty()) {
            // A whole line within the piece: read where it lies.
            d->line(Span{p, nl - p});
        } else {
            d->carry.append(p, stop - p);
            if (nl)
                d->line(Span{d->carry.constData(), d->carry.size()});
        }
        if (!nl)
            break;
        if (d->overlong)
            ++d->out.skipped;
        d->overlong = false;
        d->carry.clear();
        p = nl + 1;
    }
    return d->refused == LogParseResult::Log;
}

LogParseResult LogParser::finish(LogFileData &out)
{
    State &s = *d;
    if (s.refused != LogParseResult::Log)
        return s.refused;
    // The log filer ends every line it writes; a last line without its end was cut short (a
    // copy taken while a line was written), and even where it reads as a line it may be
    // missing digits.
    if (s.overlong || Span{s.carry.constData(), s.carry.size()}.trimmed().n)
        s.out.cutShort = true;
    if (s.out.runs == 0)
        return LogParseResult::NoLog;
    s.out.hundredths = s.anyInUnit;
    s.out.unit = s.anyInUnit ? QString::fromLatin1(s.unit) : QString();
    // A marker that found no time (a start after the last reading, an end before the first)
    // is left out.
    s.out.markers.removeIf([](const LogMarker &m) { return m.ms < 0; });
    out = std::move(s.out);
    return LogParseResult::Log;
}

bool ParseLogFile(const QByteArray &bytes, LogFileData &out)
{
    LogParser parser;
    parser.feed(bytes);
    LogFileData data;
    if (parser.finish(data) != LogParseResult::Log) {
        out = LogFileData();
        return false;
    }
    out = std::move(data);
    return true;
}

bool g_funcLogFileRead(const QString &path, LogFileData &out, const std::function<bool()> &abandon)
{
    const QString caption = QStringLiteral("ﾛｸﾞﾌｧｲﾙ読み込み");
    LogParser parser;
    FilePiecesResult read;
    bool cancelled = false;
    {
        LongTask task(caption, QStringLiteral("ﾛｸﾞﾌｧｲﾙを読み込んでいます...") + vbCrLf + QFileInfo(path).fileName());
        read = ReadFilePieces(path, kMaxLogFileBytes, [&](QByteArrayView piece, qint64 done, qint64 size) {
            if (!parser.feed(piece))
                return false;
            cancelled = !task.step(done, size) || (abandon && abandon());
            return !cancelled;
        });
    }
    if (read.error.number == errOutOfMemory) {
        MsgBox(QStringLiteral("ﾌｧｲﾙが大きすぎるため、読み込めません。") + vbCrLf +
                   QStringLiteral("読み込めるのは %1 MB までです (このﾌｧｲﾙは %2 MB)。")
                       .arg(kMaxLogFileBytes / (1024 * 1024))
                       .arg((read.size + 1024 * 1024 - 1) / (1024 * 1024)) +
                   vbCrLf + path,
               vbOKOnly + vbExclamation, caption);
        return false;
    }
    if (read.error.failed()) {
        MsgBox(ErrTextErrorNo(read.error) + vbCrLf + path, vbOKOnly + vbCritical, caption);
        return false;
    }
    if (cancelled)
        return false; // nothing changes, and no box
    LogFileData data;
    const LogParseResult result = parser.finish(data);
    switch (result) {
    case LogParseResult::Log: break;
    case LogParseResult::NoLog:
        MsgBox(QStringLiteral("ﾛｸﾞﾌｧｲﾗのﾛｸﾞﾌｧｲﾙではありません。") + vbCrLf +
                   QStringLiteral("開始ﾏｰｶｰもﾃﾞｰﾀ行も見つかりませんでした。") + vbCrLf + path,
               vbOKOnly + vbExclamation, caption);
        return false;
    case LogParseResult::TooManyMarkers:
    case LogParseResult::TooManySteps:
        MsgBox(QStringLiteral("このﾛｸﾞﾌｧｲﾙは読み込めません。") + vbCrLf +
                   (result == LogParseResult::TooManyMarkers
                        ? QStringLiteral("開始・終了ﾏｰｶｰは %1 個まで読み込めます。").arg(kMaxLogMarkers)
                        : QStringLiteral("時刻の戻りは %1 か所まで読み込めます。").arg(TrendSeries::kMaxSteps)) +
                   vbCrLf + path,
               vbOKOnly + vbExclamation, caption);
        return false;
    }
    out = std::move(data);
    return true;
}
