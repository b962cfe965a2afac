#pragma once
// The log filer's settings the log filer suites start from: a log "site.csv" in the data
// folder's "logs/", with the end, interval and count a test names.
#include "support/AppFixture.h"

#include "logfiler/modLogFileSetting.h"

inline QString logFolder() { return AppFixture::dataFile(QStringLiteral("logs/")); }

inline LogFileSetting settings(int endMode, const QString &interval, int count, const QString &endTime = kNoEndTime)
{
    LogFileSetting s;
    s.strInterval = interval;
    s.lngCountMax = count;
    s.strEndTime = endTime;
    s.intEndMode = qint16(endMode);
    s.strFolder = logFolder();
    s.strFileName = QStringLiteral("site.csv");
    return s;
}
