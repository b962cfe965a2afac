#pragma once
// The level's history for the trend window: every reading the monitor stores, kept for the
// whole run of the tool (whether the window is open or not) up to the last 24 hours. The
// store adds each completed reading; a new run of the poll starts a new stretch of line.
// Values are the controller's counts; the window converts them with the current input type.
// Each reading keeps the time it was stamped with: a PC clock set back under the running
// monitor starts a new stretch of the history (see TrendSeries).
#include "link/Reading.h"
#include "monitor/TrendSeries.h"

#include <QString>

// 24 hours, and at most as many readings as 24 hours of the shortest sampling time give.
constexpr qint64 kTrendHistoryMs = 24LL * 3600 * 1000;
constexpr qint64 kTrendHistoryMaxReadings = kTrendHistoryMs / 20;

const TrendSeries &g_funcTrendHistory();
// Adds a reading received at ms (milliseconds since the epoch): the value's four and the
// outputs' two hexadecimal digits as the controller sent them; a text that is no number is
// kept as a reading without a value or without outputs.
void g_subTrendHistoryAdd(qint64 ms, const QString &value, const QString &outputs);
// Adds a decoded reading received at ms: its count and outputs, or none where it has none.
void TrendHistoryAdd(qint64 ms, const Reading &r);
// The next reading starts a new stretch (the poll started again).
void g_subTrendHistoryRunStart();
void g_subTrendHistoryClear();
