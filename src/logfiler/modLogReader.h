#pragma once
// Reading the log filer's CSV files back: the runs between their start and end markers and
// every data line in either form of each column (the count or the value with its unit; the
// outputs as two hexadecimal digits or eight binary ones). Lines that belong to no log are
// skipped and counted; a last line without its line end was cut short and is left out. A
// file with neither a start block nor a data line is no log.
#include "monitor/TrendSeries.h"

#include <QByteArray>
#include <QList>
#include <QString>

// A marker line of the file, at the time of the "Time :," line that follows it.
struct LogMarker {
    qint64 ms = 0;
    QString text; // the marker's words: "Logging Start", "Logging END C", ...
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

// The bytes of a log file; false when they hold no log. Counts in a file that also holds
// values are turned into values with the current input type.
bool ParseLogFile(const QByteArray &bytes, LogFileData &out);

// No log file the trend window opens is larger than this.
constexpr qint64 kMaxLogFileBytes = 256LL * 1024 * 1024;

// Reads a log file; on failure (unreadable, or no log) the box that says why, and false.
bool g_funcLogFileRead(const QString &path, LogFileData &out);
