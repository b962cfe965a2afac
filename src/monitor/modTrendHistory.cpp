#include "monitor/modTrendHistory.h"

namespace {
TrendSeries &history()
{
    static TrendSeries *s = new TrendSeries(); // lives as long as the process
    return *s;
}
bool s_runStart = true;
} // namespace

const TrendSeries &g_funcTrendHistory() { return history(); }

void g_subTrendHistoryAdd(qint64 ms, const QString &value, const QString &outputs)
{
    // The history keeps counts: the scale does not matter here.
    TrendHistoryAdd(ms, MakeReading(QDateTime(), value, outputs, ScaleOfType(1)));
}

void TrendHistoryAdd(qint64 ms, const Reading &r)
{
    quint8 flags = s_runStart ? quint8(TrendSeries::RunStart) : quint8(0);
    if (!r.valueValid)
        flags |= TrendSeries::NoValue;
    if (!r.outputsValid)
        flags |= TrendSeries::NoOutputs;
    s_runStart = false;
    TrendSeries &h = history();
    h.append(ms, quint16(r.valueValid ? r.count : 0), quint8(r.outputsValid ? r.outputs : 0), flags);
    // Older readings drop off; whole blocks are freed as they pass out of the day.
    if (h.firstMs() < h.lastMs() - kTrendHistoryMs)
        h.dropBefore(h.lastMs() - kTrendHistoryMs);
    h.keepAtMost(kTrendHistoryMaxReadings);
    // A clock set back more often than the series keeps steps: the oldest stretch goes.
    if (h.stepCount() > TrendSeries::kMaxSteps)
        h.keepAtMost(h.size() - h.steps().front().index);
}

void g_subTrendHistoryRunStart() { s_runStart = true; }

void g_subTrendHistoryClear()
{
    history().clear();
    s_runStart = true;
}
