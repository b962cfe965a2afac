// "lfst.ini": the log filer's seven settings read by LoadLogFileSetting, then what the log
// filer does with them: the end time parsed (LogEndDateTime) and checked against the
// clock, the log file's path, and the schedule's next time from the record's interval
// (CalcNextTime), which must lie IntervalSeconds after the last one.
#include "FuzzSupport.h"

#include "logfiler/modLogFiler.h"
#include "logfiler/modLogFileSetting.h"
#include "platform/Clock.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    g_subLogFilerSettingSet(LogFileSetting());
    g_subLogFilePathSet(QString());
    g_subLogFilerStatusSet(QStringLiteral("-1"));
    FuzzWriteDataFile("lfst.ini", data, size);
    LogFileSetting s = DefaultLogFileSetting();
    if (!LoadLogFileSetting(s))
        return 0;
    g_subLogFilerSettingSet(s);
    g_subLogFilePathSet(s.strFolder + s.strFileName);

    const QDateTime end = LogEndDateTime(s.strEndTime);
    const bool startable = CheckLogEndTime(s);
    QDateTime now = Now();
    now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
    if (s.intEndMode == 1)
        FUZZ_CHECK(startable == (end.isValid() && now < end));
    else
        FUZZ_CHECK(startable);

    const QDateTime last = Now();
    const qint64 step = IntervalSeconds(s.strInterval);
    const QDateTime next = CalcNextTime(s.strInterval, last);
    if (step < 0) {
        FUZZ_CHECK(next == last);
    } else {
        FUZZ_CHECK(next.isValid());
        FUZZ_CHECK(last.secsTo(next) == step);
        FUZZ_CHECK(CalcNextTime(s.strInterval, next).isValid());
    }
    FUZZ_CHECK(!LogTimeText(next).isEmpty());
    return 0;
}
