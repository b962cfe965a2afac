#pragma once
// One run of the log filer, without its window: the schedule, the sampling of the readings
// it is given, the end decision and the lines it appends to its log file. A run keeps all
// of its state itself, so a process may hold one per site; the log filer window is the view
// of the program's run (frmLogFiler1), and the fleet watcher runs one per site.
//
// The schedule: the first sample at the start, then one every interval on the grid of the
// start time. A check once a second of elapsed time (on its 100 ms timer) ends the run when
// its end has come (the monitor it samples stopped, an append aborted, a stop asked, the end
// time, the count, 65535 samples), else takes the due sample when a reading came since the
// last one (a run whose owner holds many may leave the checks to it: setSharedTicks); a clock set back or forward, or readings that stalled, put the schedule back on
// its grid around now. Each line goes out through AppendLogLine, with its
// Abort/Retry/Ignore box on a failure.
//
// The log file stays open while the run lasts (an AppendFile): a line is one write, with
// the kernel when it returns; the file is opened again after a failed write, when the
// local date changes, and when its path no longer names it (deleted or moved away: the
// next line, or the first after the once-a-second check, starts a new file at the path),
// and closed when the run ends.
#include "link/Reading.h"
#include "logfiler/modLogFileSetting.h"
#include "platform/Clock.h"
#include "platform/TextFile.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// What a run is told at its start.
struct LogRunSettings {
    LogFileSetting set;   // the interval, the end by count or time (its folder and file name
                          // make the path unless path is given)
    QString path;         // the log file; empty: set.strFolder + set.strFileName
    bool voltDisp = true; // "電圧で表示": the value in its unit, else its hexadecimal count
    bool bitsDisp = true; // "ﾋﾞｯﾄで表示": the outputs as eight bits, else two hex digits
    // The input type the values are written in; empty: as each reading was decoded.
    std::optional<ReadingScale> scale;
    // A sample for every reading given, stamped with the reading's own time, instead of the
    // samples of the schedule (the fleet watcher logs each poll). The end is still decided
    // once a second, and also before each reading, so that a reading past the end time
    // ends the run instead of being written into it.
    bool eachReading = false;
    // No box on a failed append: the lines wait (in order, at most kUnwrittenLimit bytes,
    // the oldest given up past that) and go out before the next line, and appendFailed()
    // tells why. For a run that no one watches.
    bool keepUnwritten = false;
};

// What a run asks of the monitor it samples.
struct LogRunMonitor {
    std::function<bool()> running;         // the monitor runs: a run starts only then, and ends when it stops
    std::function<qint64()> pollPeriodMs;  // how often it polls (how late a due sample may be)
};

class LogRun : public QObject {
    Q_OBJECT
public:
    // The written values of the log filer's state.
    enum State : qint16 { Stopped = 0, Logging = -1, Paused = 2 };
    static constexpr int kShownLines = 21;
    static constexpr qint32 kCountLimit = 65535;
    static constexpr qsizetype kUnwrittenLimit = 1024 * 1024;

    explicit LogRun(LogRunMonitor monitor, QObject *parent = nullptr);

    // A reading of the monitor (the newest one at the start is the first sample; each one
    // after a sample lets the next due sample be taken).
    void takeReading(const Reading &reading);

    // False, with its box, while the monitor does not run.
    bool monitorCheck() const;
    // The monitor's check, the end time's check (CheckLogEndTime), then the start block and
    // the first sample at once. False when it did not start or ended at once (an Abort).
    bool start(const LogRunSettings &settings);
    // Logging: nothing is written until resume(), which puts the schedule on its grid.
    bool pause();
    bool resume();
    // The run ends at its next check, whatever happens meanwhile.
    void stop();
    // A stop asked for and not yet done is done now (before another start, or closing).
    void endIfStopAsked();
    // The end decision of the next check, taken now (the monitor it samples has just stopped):
    // true when the run has ended.
    bool endIfDue();
    // The display options of the samples to come.
    void setDisplay(bool voltDisp, bool bitsDisp);
    // The owner of many runs gives them their once-a-second checks itself, asking the clock
    // once for all of them (sharedTick): the run's own timer stops, so a run that is not
    // logging costs no tick at all. The log filer window keeps the run's own timer, which
    // also shows the time while nothing is logged (ticked).
    void setSharedTicks(bool shared);
    // The once-a-second check of a run with shared ticks, at the wall clock's time now.
    void sharedTick(const QDateTime &now);

    State state() const { return m_state; }
    bool stopAsked() const { return m_stopAsked; }
    // "-1" normal; "10" after Abort in an append's box.
    const QString &status() const { return m_status; }
    const LogRunSettings &settings() const { return m_settings; }
    const QString &path() const { return m_path; }
    qint32 count() const { return m_count; }
    QDateTime startTime() const { return m_startTime; } // invalid before the first start
    QDateTime nextTime() const { return m_nextTime; }
    // The last kShownLines lines written (the blocks, the samples; a line ignored after a
    // failed append too).
    const QStringList &lines() const { return m_lines; }
    // keepUnwritten: the bytes still waiting for their file, and the lines given up.
    qsizetype unwrittenBytes() const;
    qint64 linesGivenUp() const { return m_givenUp; }
    // keepUnwritten: the failure of the last append that failed (its number says what
    // happened: errDiskFull, errPermissionDenied ...), cleared once the lines are out.
    const FileError &appendFailure() const { return m_appendFailure; }

signals:
    // The run begins: its settings and path are set, its lines cleared; the start block follows.
    void begun();
    void stateChanged(qint16 state);
    void statusChanged(const QString &status);
    // The next time, the count or the lines changed.
    void changed();
    // After each tick of the timer: the time of the check, to the second.
    void ticked(const QDateTime &now);
    // keepUnwritten: an append failed (the reason and the path); the lines wait.
    void appendFailed(const QString &reason, const QString &path);

private:
    void tick();
    void check(const QDateTime &wall);
    void takeSample(QDateTime scheduled); // by value: it moves the next time
    // The end decision at the time of a check; true when the run has ended.
    bool endProc(const QDateTime &curTime);
    void alignSchedule(const QDateTime &now);
    void keepScheduleNearNow(const QDateTime &now);
    qint16 append(const QString &text);
    qint16 appendKept(const QString &text);
    void addLine(const QString &line);
    void setState(State s);

    LogRunMonitor m_monitor;
    LogRunSettings m_settings;
    QString m_path;
    State m_state = Stopped;
    QString m_status = QStringLiteral("-1");
    bool m_stopAsked = false;
    Reading m_reading;
    bool m_fresh = false; // a reading came since the last sample
    QDateTime m_startTime;
    QDateTime m_nextTime;
    const QDateTime &endTime();
    QString m_endTimeText; // the settings' end time as last read
    QDateTime m_endTime;
    bool m_endTimeRead = false;
    qint32 m_count = 0;
    QStringList m_lines;
    // When the next once-a-second check is due, on the monotonic clock (milliseconds).
    qint64 m_nextCheckMs = 0;
    bool m_inTick = false;
    WindowTimer m_timer;
    // keepUnwritten: lines not yet in their file, with the file each belongs to.
    QList<QPair<QString, QByteArray>> m_unwritten;
    qint64 m_givenUp = 0;
    FileError m_appendFailure;
    bool m_sharedTicks = false;
    // The log file, open from the run's first line to its end.
    AppendFile m_file;
};
