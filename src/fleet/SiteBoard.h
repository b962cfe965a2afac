#pragma once
// Every site the office hears of, at a glance: the model behind the site list. It takes what
// the watchers publish (the readings, the retained site states and each watcher's own state
// with its last will), or the readings and states of sites the program polls itself, and
// keeps one row per site with its newest value, outputs, state, the time of the last
// reading, an hour of values for a small trend, its history for the trend window and its
// alarm.
//
// A site raises an alarm when an output set as a warning stage turns on, when it goes
// no-reply or lost (or its watcher stops), or when no reading has come for three times its
// interval. The alarm latches: it stays until acknowledged, even after its cause has
// cleared. Every raise, clear and acknowledgement is appended to the alarm log (Shift_JIS,
// CR LF): "yyyy/MM/dd HH:mm:ss,SITE,EVENT,CAUSE,USER".
//
// A broker is input from outside: a message that is too large, not JSON, or for a site name
// that cannot be one is dropped and counted, and the rows are bounded (kMaxRows).
#include "fleet/SiteWatch.h"
#include "link/Reading.h"
#include "monitor/TrendSeries.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class WindowTimer;

struct BoardRow {
    // 通信中 / 応答なし / 切断 / ｻｰﾋﾞｽ停止, and before anything came.
    enum class Link { Unknown, Online, NoReply, Lost, Stopped, ServiceDown };
    QString name;
    QString title;
    QString watcher;          // the client id of the watcher that publishes the site
    bool valueValid = false;
    double value = 0;
    QString unit;
    int count = 0;
    int outputs = -1;         // bit 0 = ch1; -1 before the first reading
    Link link = Link::Unknown;
    QString reason;
    qint64 lastMs = -1;       // elapsed ms of the last reading; -1: none yet
    qint64 lastSampleMs = -1; // when the watcher took it (ms since the epoch); -1: not given
    int intervalMs = 0;       // the site's interval (given, or seen between readings); 0: not known yet
    quint8 warnMask = 0xFF;   // the outputs that are warning stages
    // The last hour, at most one point per kTrendStepMs: elapsed ms and value.
    QList<QPair<qint64, double>> trend;
    // Every reading since the board began, within SiteBoard's bounds, for the trend window:
    // values in hundredths of the unit from kHundredthsZero (as a log's with values), at
    // the time the watcher took it, or when it came. Shared, so a window showing it keeps it
    // when the board goes.
    std::shared_ptr<TrendSeries> history;
    // The alarm: latched until acknowledged; its first cause; the causes holding now.
    bool alarm = false;
    QString cause;
    QStringList active;

    QString displayName() const { return title.isEmpty() ? name : title; }
};

// "通信中", "応答なし", "切断", "ｻｰﾋﾞｽ停止", or empty.
QString BoardLinkText(BoardRow::Link link);

class SiteBoard : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxRows = 1000;
    static constexpr int kMaxPayload = 4096;
    static constexpr qint64 kTrendSpanMs = 3600 * 1000;
    static constexpr qint64 kTrendStepMs = 5000;
    static constexpr int kStaleIntervals = 3;
    // A site's history keeps at most a day and at most a reading a second of it.
    static constexpr qint64 kHistoryMs = 24LL * 3600 * 1000;
    static constexpr qint64 kHistoryMaxReadings = 86400;

    // alarmLog: the alarm log's path; empty: none is written.
    explicit SiteBoard(const QString &alarmLog, QObject *parent = nullptr);
    ~SiteBoard() override;

    // A message of a broker under prefix: <prefix>/<site>/reading, <prefix>/<site>/state,
    // <prefix>/watchd/<client id>. False when it was dropped.
    bool takeMessage(const QString &prefix, const QString &topic, const QByteArray &payload);
    // A site polled by the program itself.
    void takeReading(const QString &name, const Reading &r, int intervalMs);
    void takeState(const QString &name, SiteState state, const QString &reason);
    void setTitle(const QString &name, const QString &title);
    void setWarnMask(const QString &name, quint8 mask);
    // A site known before anything comes from it (from a watcher's configuration).
    int addSite(const QString &name);

    // The alarms of these sites acknowledged by user: the latch ends (the row is no longer
    // red); a cause that still holds raises nothing new until it clears and comes again.
    void acknowledge(const QStringList &names, const QString &user);
    int unacknowledged() const;

    const QList<BoardRow> &rows() const { return m_rows; }
    int indexOf(const QString &name) const;
    // The history of row index (null for no row).
    std::shared_ptr<const TrendSeries> history(int index) const;
    quint64 droppedMessages() const { return m_dropped; }
    // The stale check, once a second by its own timer (also callable).
    void check();

signals:
    void rowAdded(int index);
    void rowChanged(int index);
    // An alarm was raised (the row has just turned red): for the bell, the notification and
    // assistive technology.
    void alarmRaised(int index, const QString &cause);
    void unacknowledgedChanged(int count);

private:
    int rowFor(const QString &name);
    void cause(int index, const QString &what, bool holds);
    void logLine(const QString &site, const QString &event, const QString &what, const QString &user = QString());
    // sampleMs: when the reading was taken (ms since the epoch), -1 when not known.
    void readingIn(int index, bool valueValid, double value, const QString &unit, int count, int outputs, qint64 nowMs,
                   qint64 sampleMs);

    QString m_alarmLog;
    QList<BoardRow> m_rows;
    quint64 m_dropped = 0;
    int m_unacked = 0;
    WindowTimer *m_timer = nullptr;
};
