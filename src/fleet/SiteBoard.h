#pragma once
// Every site the office hears of, at a glance: the model behind the site list. It takes what
// the watchers publish (the readings, the retained site states and each watcher's own state
// with its last will), or the readings and states of sites the program polls itself, and
// keeps one row per site with its newest value, outputs, state, the time of the last
// reading, an hour of values for a small trend, its history for the trend window and its
// alarm.
//
// A site raises an alarm when an output set as a warning stage turns on, when it goes
// no-reply or lost, or when no reading has come for three times its interval (the interval
// its watcher's state or the configuration gives). One cause, one alarm: a watcher that stops
// (its last will, or its "stopped") is one alarm of the watcher (named by its client id), and
// the broker lost one alarm of the view (setBrokerUp); the sites behind them show ｻｰﾋﾞｽ停止 or
// 未接続 and raise nothing of their own meanwhile (suppressed), and take their true state again
// when the watcher or the broker is back. The alarm latches: it stays until acknowledged, even after its cause has
// cleared. Every raise, clear and acknowledgement is announced (alarmStep) for the alarm log,
// which the site monitor keeps. Rows are known by the site's name and causes by AlarmCause;
// the words of a cause ("出力3 ON", "応答なし" ...) are the views' and the log's
// (AlarmCauseText). What a view draws of a site's past (the small trend and the history for
// the trend window) is kept apart from its alarm (sparkline(), history()).
//
// A broker is input from outside: a message that is too large, not JSON, or for a site name
// that cannot be one is dropped and counted, and the rows are bounded (kMaxRows).
#include "fleet/AlarmBook.h"
#include "fleet/SettingsAudit.h"
#include "fleet/SiteWatch.h"
#include "link/Reading.h"
#include "fleet/Sparkline.h"
#include "monitor/TrendSeries.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QSet>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class WindowTimer;

// Why a site is in alarm (AlarmCause, AlarmBook.h): a warning stage's output on, the link's
// state (refused and garbled are told as no reply), no reading for three intervals (Stale),
// the watcher stopped (ServiceDown).

// The steps of an alarm the alarm log records: a cause came (発生), went (解除), or a user
// acknowledged the latched alarm (確認).
enum class AlarmStep { Raised, Cleared, Acknowledged };
// "発生", "解除", "確認".
QString AlarmStepText(AlarmStep step);

// A site's alarm.
struct SiteAlarm {
    bool latched = false;     // red until acknowledged
    AlarmCause first{};       // what raised the latched alarm (the last one raised)
    QList<AlarmCause> active; // the causes holding now, in the order they came
    QHash<int, QDateTime> raisedAt; // when each cause (by AlarmCause) was last raised
    bool holds(AlarmCause c) const { return active.contains(c); }
};

struct BoardRow {
    // 通信中 / 応答なし / 切断 / ｻｰﾋﾞｽ停止, and before anything came.
    enum class Link { Unknown, Online, NoReply, Lost, Stopped, ServiceDown, NotConnected, Maintenance };
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
    bool intervalGiven = false; // told by the watcher's state or the configuration: no gap changes it
    quint8 warnMask = 0xFF;   // the outputs that are warning stages
    SiteAlarm alarm;
    bool suppressed = false;  // behind a watcher or a broker that is gone: its causes raise nothing
    // Elapsed ms since when the row is seen online again after it was not (its silence counts
    // from then); kOffline while it is not online; -1 before it ever was not.
    static constexpr qint64 kOffline = -2;
    qint64 onlineSinceMs = -1;
    // The service's alarms of the site (<prefix>/<site>/alarms), where its watcher publishes
    // them: the view shows these, not its own latch, for the site's outputs and link.
    bool hasService = false;
    SiteAlarms service;
    Link ownLink = Link::Unknown;   // what the site's own state says, whatever shows
    QList<AlarmCause> heldBefore;   // the causes that held when it was suppressed
    // The last audit of its settings against its golden file (<prefix>/<site>/settings).
    bool hasSettings = false;
    SettingsAuditMessage settings;
    quint64 settingsTaken = 0;      // counts the audits taken (and forgotten): a new one, a new count
    QString maintenance;            // where its watcher lends its line ("rfc2217://HOST:PORT"); empty: nowhere

    QString displayName() const { return title.isEmpty() ? name : title; }
};

// What the views draw of a site's past.
struct SiteHistory {
    // The last hour, its lowest and highest value a minute (a row draws it whatever came).
    Sparkline trend;
    // Every reading since the board began, within SiteBoard's bounds, for the trend window:
    // values in hundredths of the unit from kHundredthsZero (as a log's with values), at
    // the time the watcher took it, or when it came. Shared, so a window showing it keeps it
    // when the board goes.
    std::shared_ptr<TrendSeries> series;
};

// "通信中", "応答なし", "切断", "ｻｰﾋﾞｽ停止", "未接続", "保守中", or empty.
QString BoardLinkText(BoardRow::Link link);

class SiteBoard : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxRows = 1000;
    static constexpr int kMaxPayload = 4096;
    static constexpr int kMaxAlarmsPayload = 16384; // a site's alarms, every cause listed
    static constexpr qint64 kTrendSpanMs = Sparkline::kSpanMs;
    static constexpr int kStaleIntervals = 3;
    // A site's history keeps at most a day and at most a reading a second of it.
    static constexpr qint64 kHistoryMs = 24LL * 3600 * 1000;
    static constexpr qint64 kHistoryMaxReadings = 86400;

    explicit SiteBoard(QObject *parent = nullptr);
    ~SiteBoard() override;

    // A message of a broker under prefix: <prefix>/<site>/reading, <prefix>/<site>/state,
    // <prefix>/<site>/alarms, <prefix>/watchd/<client id>. False when it was dropped.
    bool takeMessage(const QString &prefix, const QString &topic, const QByteArray &payload);
    // A site polled by the program itself.
    void takeReading(const QString &name, const Reading &r, int intervalMs);
    void takeState(const QString &name, SiteState state, const QString &reason);
    void setTitle(const QString &name, const QString &title);
    // The alarms of a site polled here, kept by the view's own book: shown as a service's.
    void takeServiceAlarms(const QString &name, const SiteAlarms &alarms);
    void setWarnMask(const QString &name, quint8 mask);
    // A site known before anything comes from it (from a watcher's configuration); its index,
    // or -1 for a name that cannot be a site's (or past kMaxRows).
    int addSite(const QString &name);

    // The broker of the messages is up or lost; name names its alarm (its address). Only a
    // loss after a connect is an alarm.
    void setBrokerUp(bool up, const QString &name);
    // The alarms of the watchers (by client id) and of the broker (by its name), apart from
    // the rows.
    const QHash<QString, SiteAlarm> &sourceAlarms() const { return m_sources; }

    // The alarms of these sites acknowledged by user: the latch ends (the row is no longer
    // red); a cause that still holds raises nothing new until it clears and comes again. A
    // site's watcher's alarm and the broker's (for a site of the broker) go with it; a name
    // may also be a watcher's or the broker's.
    void acknowledge(const QStringList &names, const QString &user);
    int unacknowledged() const;
    // The alarms whose cause holds now (acknowledged or not): the sites' that are not
    // suppressed, and the watchers' and the broker's.
    int active() const;

    // The rows in the order they came (a row keeps its index).
    const QList<BoardRow> &rows() const { return m_rows; }
    int indexOf(const QString &name) const { return m_index.value(name, -1); }
    // The row of a site; null for none.
    const BoardRow *row(const QString &name) const;
    // The small trend of row index (empty for no row).
    const Sparkline &sparkline(int index) const;
    // The memory the small trend of row index takes, in bytes.
    qint64 sparklineBytes(int index) const;
    // The history of row index (null for no row).
    std::shared_ptr<const TrendSeries> history(int index) const;
    // The same series, for older readings to be merged into it (HistoryFetch).
    std::shared_ptr<TrendSeries> historyToMerge(int index);
    quint64 droppedMessages() const { return m_dropped; }
    // The stale check, once a second by its own timer (also callable).
    void check();

signals:
    void rowAdded(const QString &name);
    void rowChanged(const QString &name);
    // A step of an alarm, for the alarm log; user: who acknowledged.
    void alarmStep(const QString &name, AlarmStep step, AlarmCause cause, const QString &user);
    // An alarm was raised (the row has just turned red): for the bell, the notification and
    // assistive technology.
    void alarmRaised(const QString &name, AlarmCause cause);
    void unacknowledgedChanged(int count);
    // Some alarm changed (raised, cleared, acknowledged, a service's list): for the alarm list.
    void alarmsChanged();

private:
    int rowFor(const QString &name);
    void cause(int index, AlarmCause what, bool holds);
    void sourceCause(const QString &key, AlarmCause what, bool holds);
    // The row is no longer behind a watcher or a broker that is gone: its silence counts from
    // now, and its states and readings raise its alarms again.
    void resume(int index, qint64 nowMs);
    void suppress(int index);
    bool takeAlarms(int index, const QByteArray &payload);
    void takeAlarms(int index, SiteAlarms next);
    // sampleMs: when the reading was taken (ms since the epoch), -1 when not known.
    void readingIn(int index, bool valueValid, double value, const QString &unit, int count, int outputs, qint64 nowMs,
                   qint64 sampleMs);

    QList<BoardRow> m_rows;
    QList<SiteHistory> m_history; // beside m_rows, index for index
    QHash<QString, int> m_index;
    quint64 m_dropped = 0;
    int m_unacked = 0;
    int m_serviceUnacked = 0;            // the services' UNACK and RTNUN alarms
    QDateTime m_since;                   // when the board began
    QHash<QString, SiteAlarm> m_sources; // the watchers' alarms and the broker's
    QSet<QString> m_downWatchers;
    bool m_brokerDown = false;
    bool m_brokerSeen = false;           // connected once: a loss is an alarm
    QString m_brokerName;
    WindowTimer *m_timer = nullptr;
};
