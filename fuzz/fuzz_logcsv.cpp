// A log file of the log filer read back for the trend window (g_funcLogFileRead): what it
// takes must be a well-formed series (times that never go back, a run start first, the
// summaries equal to a plain scan, searches by time that land where they should, the run
// starts where the readings' flags say), markers with times, and a file it refuses must
// leave what the caller held as it was.
#include "FuzzSupport.h"

#include "logfiler/modLogReader.h"

#include <algorithm>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    FuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzWriteDataFile("log.csv", data, size);
    LogFileData d;
    d.runs = -7;
    if (!g_funcLogFileRead(FuzzDataFile("log.csv"), d)) {
        FUZZ_CHECK(d.runs == -7 && d.series.isEmpty() && d.markers.isEmpty());
        return 0;
    }
    const TrendSeries &s = d.series;
    FUZZ_CHECK(d.runs >= 1);
    FUZZ_CHECK(s.size() == d.lines);
    FUZZ_CHECK(d.hundredths == !d.unit.isEmpty());
    for (const LogMarker &m : d.markers)
        FUZZ_CHECK(!m.text.isEmpty());
    if (s.isEmpty())
        return 0;
    FUZZ_CHECK(s.at(0).flags & TrendSeries::RunStart);
    const qint64 n = std::min<qint64>(s.size(), 4096);
    TrendSeries::Summary all;
    for (qint64 i = 0; i < n; ++i) {
        const TrendSeries::Reading r = s.at(i);
        if (i > 0)
            FUZZ_CHECK(s.at(i - 1).ms <= r.ms);
        FUZZ_CHECK(s.lowerBound(r.ms) <= i);
        FUZZ_CHECK(s.runStartIn(i, i + 1) == bool(r.flags & TrendSeries::RunStart));
        FUZZ_CHECK(s.lowerBound(r.ms + 1) > i);
        TrendSeries::Summary one;
        if (!(r.flags & TrendSeries::NoValue))
            one.min = one.max = r.value;
        if (!(r.flags & TrendSeries::NoOutputs)) {
            one.on = r.outputs;
            one.off = quint8(~r.outputs);
        }
        all.add(one);
        const TrendSeries::Summary got = s.summarize(0, i + 1);
        FUZZ_CHECK(got.min == all.min && got.max == all.max && got.on == all.on && got.off == all.off);
    }
    FUZZ_CHECK(s.lowerBound(s.lastMs() + 1) == s.size());
    return 0;
}
