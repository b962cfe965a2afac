#pragma once
// Reading the log filer's CSV files back: the runs between their start and end markers and
// every data line in either form of each column (the count or the value with its unit; the
// outputs as two hexadecimal digits or eight binary ones). Lines that belong to no log are
// skipped and counted; a last line without its line end was cut short and is left out. A
// file with neither a start block nor a data line is no log.
//
// The file is read a piece at a time and each line goes straight into the series, so the
// file's bytes are never held whole. Times stay as written: a clock set back starts a new
// stretch of the series (see TrendSeries).
#include "monitor/TrendSeries.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

// A marker line of the file, at the time of the "Time :," line that follows it.
struct LogMarker {
    qint64 ms = 0;      // its place on the series' time line
    qint64 written = 0; // its own time
    QString text;       // the marker's words: "Logging Start", "Logging END C", ...
    bool start = false;
};

struct LogFileData {
    // The readings; each run's first reading starts a new stretch.
    TrendSeries series;
    // Values as written: counts of the controller (the count column), or, when the file
    // has values with their unit, hundredths of that unit (kHundredthsZero is 0.00).
    bool hundredths = false;
    QString unit;
    QList<LogMarker> markers;
    int runs = 0;
    qint64 lines = 0;     // data lines taken
    qint64 skipped = 0;   // lines that are no part of a log
    bool cutShort = false; // the last line ended without its line end and was left out
};

constexpr int kHundredthsZero = 32768;
// A hundredths reading's value in its unit.
inline double LogHundredthsValue(quint16 raw) { return (int(raw) - kHundredthsZero) / 100.0; }

// No log file the trend window opens is larger than this, has more markers or more steps of
// the clock back (TrendSeries::kMaxSteps), or a longer line than a log line can be (a
// longer one is no part of a log, and only its length is counted).
constexpr qint64 kMaxLogFileBytes = 256LL * 1024 * 1024;
constexpr qint64 kMaxLogMarkers = 100000;
constexpr qint64 kMaxLogLineBytes = 1024;

// What a file's lines came to.
enum class LogParseResult { Log, NoLog, TooManyMarkers, TooManySteps };

// Lines in pieces, cut anywhere. Counts in a file that also holds values are turned into
// values with the current input type.
class LogParser {
public:
    LogParser();
    ~LogParser();
    // False once the file is refused (too many markers or steps); the rest need not come.
    bool feed(QByteArrayView piece);
    LogParseResult finish(LogFileData &out);

private:
    struct State;
    std::unique_ptr<State> d;
};

// The bytes of a whole log file; false when they hold no log.
bool ParseLogFile(const QByteArray &bytes, LogFileData &out);

// Reads a log file; on failure (unreadable, too large, no log) the box that says why, and
// false. A read that takes a while shows the wait cursor and then a progress window with
// キャンセル; cancelled (by it, or by abandon returning true), it ends without a box.
// out is changed only by a read that succeeded.
bool g_funcLogFileRead(const QString &path, LogFileData &out, const std::function<bool()> &abandon = {});
