#pragma once
// The log filer's settings: the record kept in "lfst.ini" (seven lines, Shift_JIS, CR LF),
// its reading and writing, the default log file name and the check of the end time.
#include "platform/TextFile.h"

#include <QDateTime>
#include <QString>

struct LogFileSetting {
    QString strInterval;  // "hh:nn:ss"
    qint32 lngCountMax = 0;
    QString strEndTime;   // "yyyy/mm/dd hh:nn:ss" or kNoEndTime
    qint16 intEndMode = 0; // 0 by count, 1 by time
    qint16 intAutoName = 0;
    QString strFolder;    // ends with '/'
    QString strFileName;
};

// The end time of a record that never had one.
extern const QString kNoEndTime; // "----/--/-- --:--:--"

// The settings the log filer runs with when "lfst.ini" cannot be read.
LogFileSetting DefaultLogFileSetting();
// Reads "lfst.ini" into s; on failure the error box and false (values read before the
// failure are kept, the others keep what s had).
bool LoadLogFileSetting(LogFileSetting &s);
// Writes "lfst.ini" whole (QSaveFile: a failed save leaves the old file); no box.
FileError SaveLogFileSetting(const LogFileSetting &s);
// The seven lines of "lfst.ini" holding s.
QByteArray LogFileSettingBytes(const LogFileSetting &s);
// "qlv" + today as yyyymmdd + ".csv".
QString MakeLogFileName();
// Time mode: false with a warning box when now is at or past the end time, or when the
// end time cannot be read as a date and time.
bool CheckLogEndTime(const LogFileSetting &s);
// An end time text as a date and time: "yyyy/mm/dd hh:nn:ss", also as written by hand with
// one-digit month, day, hour, minute or second ("2026/4/30 8:00:00"); invalid when it is none.
QDateTime LogEndDateTime(const QString &text);
// The first character of text that "lfst.ini" cannot hold as it stands (one Shift_JIS does
// not have, or a double quote, which would end the quoted value); empty when there is none.
QString LogSettingBadChar(const QString &text);
