#include "logfiler/LogRun.h"

#include "core/modMain1.h"
#include "logfiler/modLogFiler.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/Paths.h"
#include "platform/TextFile.h"

namespace {
QDateTime toSecond(const QDateTime &t)
{
    QDateTime s = t;
    s.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
    return s;
}

// The next once-a-second check: at the wall clock's next whole second, and never more than a
// second of elapsed (monotonic) time away, so a clock set back or forward never holds the
// checks up.
qint64 nextCheckMs(qint64 elapsedMs, const QDateTime &wall) { return elapsedMs + 1000 - wall.time().msec(); }
} // namespace

LogRun::LogRun(LogRunMonitor monitor, QObject *parent) : QObject(parent), m_monitor(std::move(monitor))
{
    // As the monitor's store holds before its first reading: a count and outputs of zero.
    m_reading = MakeReading(QDateTime(), QStringLiteral("0000"), QStringLiteral("00"), ScaleOfType(1));
    for (int i = 0; i < kShownLines; ++i)
        m_lines << QString();
    m_timer.onTick = [this] { tick(); };
    m_timer.setInterval(100);
    m_timer.setEnabled(true);
}

void LogRun::takeReading(const Reading &reading)
{
    m_reading = reading;
    m_fresh = true;
    if (m_settings.eachReading && m_state == Logging) {
        const QDateTime t = toSecond(reading.time.isValid() ? reading.time : Now());
        if (!endProc(t))
            takeSample(t);
    }
}

bool LogRun::monitorCheck() const
{
    if (m_monitor.running && m_monitor.running())
        return true;
    MsgBox(QStringLiteral("入力ﾓﾆﾀｰ機能が停止している時はﾛｸﾞﾌｧｲﾗは開始できません。"), vbOKOnly + vbExclamation,
           QStringLiteral("ﾛｸﾞﾌｧｲﾗの開始"));
    return false;
}

bool LogRun::start(const LogRunSettings &settings)
{
    if (m_state != Stopped || !monitorCheck())
        return false;
    if (m_status != QLatin1String("-1")) {
        m_status = QStringLiteral("-1");
        emit statusChanged(m_status);
    }
    if (!CheckLogEndTime(settings.set))
        return false;
    m_settings = settings;
    m_path = settings.path.isEmpty() ? settings.set.strFolder + settings.set.strFileName : settings.path;
    m_lines.clear();
    for (int i = 0; i < kShownLines; ++i)
        m_lines << QString();
    m_stopAsked = false;
    const QDateTime wall = Now();
    m_startTime = toSecond(wall);
    // The start counts as this second's check.
    m_nextCheckMs = nextCheckMs(clockService().elapsedMs(), wall);
    m_nextTime = QDateTime();
    m_count = 0;
    // A run that writes each reading decides its end once a second and needs no finer tick.
    m_timer.setInterval(settings.eachReading ? 1000 : 100);
    m_appendFailure = FileError();
    emit begun();
    const QString marker = QStringLiteral("/** Logging Start **/");
    if (append(LogBlock(marker, m_startTime)) == 3) {
        endProc(m_startTime);
        return false;
    }
    addLine(marker);
    addLine(QStringLiteral("Time :,") + LogTimeText(m_startTime));
    addLine(QString());
    // The first sample at once, whether a reading came since the last one or not (a run that
    // writes each reading writes the one given before its start, if any, at its time).
    if (!m_settings.eachReading)
        takeSample(m_startTime);
    else if (m_fresh)
        takeSample(m_reading.time.isValid() ? toSecond(m_reading.time) : m_startTime);
    // An Abort on the first sample has ended the run already.
    if (m_status != QLatin1String("-1"))
        return false;
    setState(Logging);
    return true;
}

bool LogRun::pause()
{
    if (m_state == Stopped)
        return false;
    setState(Paused);
    return true;
}

bool LogRun::resume()
{
    if (m_state != Paused)
        return false;
    setState(Logging);
    alignSchedule(toSecond(Now()));
    return true;
}

void LogRun::stop()
{
    if (m_state != Stopped)
        m_stopAsked = true;
}

void LogRun::endIfStopAsked()
{
    if (m_stopAsked && m_state != Stopped)
        endProc(toSecond(Now()));
    m_stopAsked = false;
}

bool LogRun::endIfDue() { return m_state != Stopped && endProc(toSecond(Now())); }

void LogRun::setDisplay(bool voltDisp, bool bitsDisp)
{
    m_settings.voltDisp = voltDisp;
    m_settings.bitsDisp = bitsDisp;
}

void LogRun::setState(State s)
{
    if (m_state == s)
        return;
    m_state = s;
    emit stateChanged(s);
}

void LogRun::alignSchedule(const QDateTime &now)
{
    // A pause, a moved clock or stalled readings leave no burst of samples to catch up with
    // readings stamped with times at which they were not taken.
    if (!m_nextTime.isValid())
        return;
    const qint64 step = IntervalSeconds(m_settings.set.strInterval);
    QDateTime next = now;
    if (step > 0) {
        const qint64 behind = m_nextTime.secsTo(now); // negative while the next time lies ahead
        const qint64 steps = behind > 0 ? (behind + step - 1) / step : -(-behind / step);
        next = m_nextTime.addSecs(steps * step);
    }
    if (next == m_nextTime)
        return;
    m_nextTime = next;
    emit changed();
}

void LogRun::keepScheduleNearNow(const QDateTime &now)
{
    if (!m_nextTime.isValid())
        return;
    const qint64 step = IntervalSeconds(m_settings.set.strInterval);
    // A due sample may wait for a fresh reading, one poll period and this check's second,
    // and is then written a little late with its scheduled time. Later than that, or more
    // than an interval ahead (the clock was set back), the schedule goes back on its grid.
    const qint64 period = m_monitor.pollPeriodMs ? m_monitor.pollPeriodMs() : 0;
    const qint64 slack = (qMax<qint64>(period, 0) + 999) / 1000 + 1;
    const qint64 ahead = now.secsTo(m_nextTime);
    if (step <= 0 ? ahead != 0 : (ahead > step || -ahead > slack))
        alignSchedule(now);
}

void LogRun::takeSample(QDateTime scheduled)
{
    Reading r = m_reading;
    if (m_settings.scale && !r.madeWith(*m_settings.scale))
        r.applyScale(*m_settings.scale);
    m_fresh = false;
    m_nextTime = CalcNextTime(m_settings.set.strInterval, scheduled);
    ++m_count;
    const QString line = MakeDataLine(m_count, scheduled, r, m_settings.voltDisp, m_settings.bitsDisp);
    if (append(line) == 3)
        endProc(scheduled);
    else
        addLine(line);
    emit changed();
}

// The end time of the settings, read once for each text (a check runs every 100 ms).
const QDateTime &LogRun::endTime()
{
    if (!m_endTimeRead || m_endTimeText != m_settings.set.strEndTime) {
        m_endTimeText = m_settings.set.strEndTime;
        m_endTime = LogEndDateTime(m_endTimeText);
        m_endTimeRead = true;
    }
    return m_endTime;
}

bool LogRun::endProc(const QDateTime &curTime)
{
    const LogFileSetting &set = m_settings.set;
    QString marker;
    if (!(m_monitor.running && m_monitor.running())) {
        MsgBox(QStringLiteral("入力ﾓﾆﾀｰ機能が停止しました。") + QStringLiteral("入力ﾓﾆﾀｰ機能が停止している時はﾛｸﾞﾌｧｲﾗは使用できません。") +
                   vbCrLf + QStringLiteral("ﾛｸﾞﾌｧｲﾗを終了します。"),
               vbOKOnly + vbExclamation);
        marker = QStringLiteral("/** Logging Quit **/");
    } else if (m_status != QLatin1String("-1")) {
        if (m_status != QLatin1String("10"))
            marker = QStringLiteral("/** Logging ERR STOP **/");
    } else if (m_stopAsked) {
        marker = QStringLiteral("/** Logging QUIT **/");
    } else if (set.intEndMode != 0 && endTime().isValid() && endTime() <= curTime) {
        marker = QStringLiteral("/** Logging END T **/");
    } else if (set.intEndMode == 0 && m_count >= set.lngCountMax) {
        marker = QStringLiteral("/** Logging END C **/");
    } else if (m_count >= kCountLimit) {
        marker = QStringLiteral("/** Logging COUNTMAX OVER **/");
    } else {
        return false;
    }
    m_stopAsked = false;
    setState(Stopped);
    if (!marker.isEmpty()) {
        append(LogBlock(marker, curTime));
        addLine(marker);
        addLine(QStringLiteral("Time :,") + LogTimeText(curTime));
        addLine(QString());
        emit changed();
    }
    // The file is held only while the run lasts; the next run opens it again.
    m_file.close();
    return true;
}

void LogRun::setSharedTicks(bool shared)
{
    m_sharedTicks = shared;
    m_timer.setEnabled(!shared);
}

void LogRun::sharedTick(const QDateTime &now)
{
    if (m_inTick || m_state == Stopped)
        return;
    m_inTick = true;
    check(toSecond(now));
    m_inTick = false;
}

void LogRun::tick()
{
    // A box inside the work (the end, an append error) lets the timer tick again: the tick
    // waits for itself.
    if (m_inTick)
        return;
    m_inTick = true;
    const QDateTime wall = Now();
    const QDateTime now = toSecond(wall);
    const qint64 elapsed = clockService().elapsedMs();
    // Once a second of elapsed time, whatever the wall clock does; also while the monitor's
    // poll has stopped, so that a monitor that stopped under the run ends it.
    if (m_state != Stopped && elapsed >= m_nextCheckMs) {
        m_nextCheckMs = nextCheckMs(elapsed, wall);
        check(now);
    }
    m_inTick = false;
    emit ticked(now);
}

// The check of the run's second now: the end decision, else the due sample.
void LogRun::check(const QDateTime &now)
{
    if (endProc(now))
        return;
    // While paused nothing is written, and resuming puts the schedule on its grid.
    if (m_state == Logging)
        keepScheduleNearNow(now);
    if (!m_settings.eachReading && m_nextTime.isValid() && m_nextTime <= now) {
        emit changed();
        if (m_state == Logging && m_fresh)
            takeSample(m_nextTime);
    }
}

qsizetype LogRun::unwrittenBytes() const
{
    qsizetype n = 0;
    for (const auto &u : m_unwritten)
        n += u.second.size();
    return n;
}

// The lines that wait go out first, each to its own file (a run that began in another file
// since still owes that file its lines); a failure keeps them all, in order.
qint16 LogRun::appendKept(const QString &text)
{
    const QByteArray bytes = SjisEncode(text) + "\r\n";
    if (!m_unwritten.isEmpty() && m_unwritten.last().first == m_path)
        m_unwritten.last().second += bytes;
    else
        m_unwritten.append({m_path, bytes});
    while (!m_unwritten.isEmpty()) {
        const QString path = m_unwritten.first().first;
        // Read in place: a copy would share the bytes, and giving up the oldest line below
        // would then copy the whole megabyte for every line that comes while the disk is full.
        const QByteArray &pending = m_unwritten.first().second;
        FileError e = m_file.append(path, pending);
        // A log folder removed under the run is made again.
        if (e.number == errPathNotFound && EnsureFolder(GetPathFolder(path)))
            e = m_file.append(path, pending);
        if (e.failed()) {
            // Bounded: past the limit the oldest whole lines are given up.
            qsizetype over = unwrittenBytes() - kUnwrittenLimit;
            while (over > 0 && !m_unwritten.isEmpty()) {
                QByteArray &oldest = m_unwritten.first().second;
                const qsizetype end = oldest.indexOf("\r\n");
                const qsizetype cut = end < 0 ? oldest.size() : end + 2;
                oldest.remove(0, cut);
                over -= cut;
                ++m_givenUp;
                if (oldest.isEmpty())
                    m_unwritten.removeFirst();
            }
            m_appendFailure = e;
            emit appendFailed(ErrTextAppend(e), path);
            return 5;
        }
        m_unwritten.removeFirst();
    }
    m_appendFailure = FileError();
    return 1;
}

qint16 LogRun::append(const QString &text)
{
    if (m_settings.keepUnwritten)
        return appendKept(text);
    const qint16 written = AppendLogLine(text, m_path, m_file);
    if (written == 3) {
        m_status = QStringLiteral("10");
        emit statusChanged(m_status);
    }
    return written;
}

void LogRun::addLine(const QString &line)
{
    if (m_lines.size() >= kShownLines)
        m_lines.removeFirst();
    m_lines << line;
}
