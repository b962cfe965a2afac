#pragma once
// The log filer's state as the other windows see it, the log file's lines, and the append
// that writes them.
#include "link/Reading.h"
#include "logfiler/modLogFileSetting.h"

#include <QDateTime>
#include <QObject>
#include <QString>

// Read-only views; the log filer window changes them through the setters below.
// 0 stopped, -1 logging, 2 paused.
extern const qint16 &flgLogFilerOnWork;
// The settings read at the start of the current log.
extern const LogFileSetting &g_typLogFilerSet;
// The current log file: the folder followed by the file name.
extern const QString &g_strLogFilePath;
// "-1" normal; "10" after the user chose Abort in the append error box.
extern const QString &g_strLogFilerStatus;
void g_subLogFilerOnWorkSet(qint16 onWork);
void g_subLogFilerSettingSet(const LogFileSetting &setting);
void g_subLogFilePathSet(const QString &path);
void g_subLogFilerStatusSet(const QString &status);

// Appends text and CR LF to the log file (Shift_JIS; created when missing, never
// truncated). 1 written; on a failure the Abort/Retry/Ignore box: Retry tries again,
// Ignore returns 5 (nothing written), Abort sets the status "10" and returns 3.
qint16 AppendLogFilerData(const QString &text, const QString &path);
// The same append and box without the log filer's status: a run keeps its own (LogRun).
qint16 AppendLogLine(const QString &text, const QString &path);

// "yyyy/mm/dd, hh:nn:ss", the time form of the log file.
QString LogTimeText(const QDateTime &t);
// The start and end blocks: the marker, CR LF, "Time :," and the time.
QString LogBlock(const QString &marker, const QDateTime &t);
// One data line: number "000000", the scheduled time, the value column, the outputs. The
// value column is the value in its unit ("00.00,V") with voltDisp, else the count's four
// hexadecimal digits as they came; the outputs are eight digits "0"/"1" with bitsDisp,
// else their two hexadecimal digits.
QString MakeDataLine(qint32 count, const QDateTime &scheduled, const Reading &reading, bool voltDisp, bool bitsDisp);
// The next scheduled time: old + the interval's seconds, minutes and hours; old itself when
// the interval cannot be read.
QDateTime CalcNextTime(const QString &interval, const QDateTime &old);
// The interval in seconds; -1 when it cannot be read.
qint64 IntervalSeconds(const QString &interval);

class LogFilerEvents : public QObject {
    Q_OBJECT
signals:
    // Another window refused something because the log filer logs: its window comes to
    // the front so the user sees why.
    void bringToFrontRequested();
    // The log filer window closed: its toolbar button comes back.
    void windowClosed();
};
LogFilerEvents &logFilerEvents();
