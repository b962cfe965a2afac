#pragma once
// The fleet watcher without its program: a SiteWatch and a LogRun per site (and a
// MaintenancePort for a site whose line may be lent), and the publisher of their readings and
// states on an MQTT broker. A site in maintenance has its alarms suppressed (WatchAlarms).
//
// Each site's readings are written to <log folder>/<site>/qlvYYYYMMDD.csv as the log filer
// writes them with both display options on, one line per reading. A run begins with the
// first reading of an online site and ends with "/** Logging Quit **/" when the site leaves
// online, "/** Logging QUIT **/" when the watcher stops or drops the site, and
// "/** Logging END T **/" at local midnight (the next reading begins the new day's file).
// The files are the record: a failed append waits and is tried again at the next reading,
// and the site's state says why its log cannot be written ("log":"disk full").
//
// With a broker (QoS 1):
//   <prefix>/<site>/reading        each reading (not retained)
//   <prefix>/<site>/state          retained: its state, code, reason and since, at each
//                                  change and each connect; "dropped" counts the readings
//                                  the queue gave up since the last one; "maintenance" the
//                                  address its line is lent at, and in maintenance "client"
//                                  who holds it
//   <prefix>/watchd/<client id>    retained: running (with the version), and offline by
//                                  the last will or a stop
//   <prefix>/<site>/alarms         retained: the site's alarms (WatchAlarms), which
//                                  <prefix>/command/<user>/<site> acts on
//   <prefix>/<site>/history/request  a site's readings between two times, answered from its
//                                  CSV files in chunks (HistoryServer)
//   <prefix>/<site>/settings       retained: the last audit of a site with a golden file
//                                  (SettingsAuditPayload), after each read of the
//                                  controller's settings: at each connect, when asked
//                                  (requestAudit) and daily at audit_time
//   homeassistant/...              with homeassistant_discovery: Home Assistant's
//                                  discovery configuration of each site (retained)
// Readings go out as they come. While the broker is away each site's readings wait in its
// own queue (queueLimit readings; past that the oldest go, and the service's log says so);
// when it is back they follow the live readings, marked "late", in order per site and at a
// bounded pace (backlog_rate a second), so that a subscriber's queue at the broker never
// overflows. Whatever goes out in bulk at a connect (the states, the discovery, the clears
// of sites removed) takes the same pace, the states first and the watcher's "running"
// after them, so that a consumer that joins a site's state with its watcher's never sees a
// state left by a watcher that died as a live one.
#include "fleet/MqttClient.h"
#include "fleet/SiteWatch.h"
#include "fleet/WatchConfig.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <map>
#include <memory>

class HistoryServer;
class LogRun;
class MaintenancePort;
class WatchAlarms;
class WindowTimer;
struct FileError;

// ISO 8601 with milliseconds and the offset from UTC:
// "2026-12-09T05:09:44.120+09:00".
QString IsoTimeText(const QDateTime &t);
// The unit as SI writes it, for the payloads: "V", "mA", and "m" for the distance types
// (whose written text is "M").
QString SiUnit(const QString &unit);
// "good", or why a reading is not: "no-value" (the "N" reply held no count), "no-outputs"
// (the "Y" reply held no outputs), "type-assumed" (the input type could not be read from
// the controller: the value's scale is a guess).
const char *ReadingQuality(const Reading &r, bool typeAssumed);
// The payloads, as UTF-8 JSON.
QByteArray ReadingPayload(const QString &site, const Reading &r, bool late = false, bool typeAssumed = false);
// A site's state as published. The state names the outputs that are the site's warning
// stages ("warn_outputs":"1,2,5"), so that an office view raises its alarms on those.
struct SiteStatus {
    QString site;
    SiteState state = SiteState::Starting;
    QString code;
    QDateTime since;
    QString reason;
    QString title;
    QString watcher;           // the client id of the watcher that publishes it
    quint8 warnOutputs = 0xFF;
    qint64 dropped = 0;        // readings the queue gave up since the last state
    int intervalMs = 0;        // how often the site is asked: a view judges its silence by it
    QString log;               // why its log cannot be written; empty while it can
    QString maintenance;       // "rfc2217://HOST:PORT", where its line is lent; empty: nowhere
    QString client;            // in maintenance: who holds the line
};
QByteArray StatePayload(const SiteStatus &s);
// Why a log file cannot be written, in a few words for the state: "disk full",
// "permission denied", "folder missing", "write error".
QString LogProblemText(const FileError &e);

// Home Assistant's MQTT discovery: the retained configuration topics of a site and their
// payloads, a sensor for its level (once its unit is known) and a binary sensor for each of
// its warning outputs, available while both the site is online and its watcher runs.
struct DiscoveryMessage {
    QString topic;
    QByteArray payload;
};
// The node of a watcher's discovery topics: its client id in the characters the topics take.
QString DiscoveryNode(const QString &clientId);
QList<DiscoveryMessage> DiscoveryConfigs(const WatchMqtt &mqtt, const WatchSite &site, const QString &siUnit);
// Every discovery topic a site may have (to clear them all when it goes).
QStringList DiscoveryTopics(const WatchMqtt &mqtt, const QString &site);

class Watcher : public QObject {
    Q_OBJECT
public:
    explicit Watcher(const WatchSettings &settings, const SitePortMaker &makePort = MakeSitePort,
                     QObject *parent = nullptr);
    ~Watcher() override;

    // Makes the log folder, connects to the broker (when there is one) and starts
    // every site; false with a reason when the watcher cannot work.
    bool start(QString *error);
    // The settings of a file read again: sites added start, sites removed stop
    // (their runs end and their retained states are cleared), changed sites start
    // again, the others go on untouched. A new broker, password or log folder restarts
    // what depends on it.
    void reload(const WatchSettings &next);
    // Ends every run, publishes every site as stopped and the watcher as offline,
    // leaves the broker (waiting at most boundMs for it to take the messages) and
    // calls done.
    void shutdown(int boundMs, std::function<void()> done);

    const WatchSettings &settings() const { return m_settings; }
    int siteCount() const { return int(m_sites.size()); }
    SiteWatch *site(const QString &name) const;
    LogRun *run(const QString &name) const;
    // The site's maintenance port (nullptr for a site without one).
    MaintenancePort *maintenance(const QString &name) const;
    // Readings waiting for the broker, and those the queue gave up since the last
    // state.
    qsizetype queued(const QString &name) const;
    qint64 dropped(const QString &name) const;
    // The site's state as it would be published now (empty for a site not watched).
    QByteArray statePayload(const QString &name) const;
    // Whether the once-a-second check of the log runs is ticking (only while one logs).
    bool runChecksTicking() const;
    // A retained message the broker kept under the watcher's subscriptions (its prefix's
    // states, its discovery topics), as the client hands it over at a connect: a state this
    // watcher published for a site it no longer watches, or a discovery topic it would not
    // publish now, is cleared (at most kMaxClears waiting; what is past them waits for the
    // next connect).
    void retainedSeen(const QString &topic, const QByteArray &payload);
    // Retained topics waiting to be cleared.
    qsizetype clearsWaiting() const { return qsizetype(m_clears.size()); }
    static constexpr int kMaxClears = 10 * 2 * kWatchMaxSites;
    MqttClient *mqtt() const { return m_mqtt.get(); }
    WatchAlarms &alarms() const { return *m_alarms; }
    // The answers to history requests (<prefix>/<site>/history/request); null without a broker.
    HistoryServer *history() const { return m_history.get(); }
    // Reads the site's settings again and audits them (after a maintenance session, say);
    // false for a site not watched or without a golden file.
    bool requestAudit(const QString &name);
    // The site's last audit as published (empty before the first).
    QByteArray settingsPayload(const QString &name) const;
    // When the next daily audit falls due (invalid without audit_time).
    QDateTime nextAudit() const { return m_nextAudit; }

signals:
    // One line for the service's log (stderr, the journal).
    void logLine(const QString &line);

private:
    struct Site {
        WatchSite cfg;
        std::unique_ptr<SiteWatch> watch;
        std::unique_ptr<LogRun> run;
        std::unique_ptr<MaintenancePort> maintenance; // after watch and run: it goes first
        std::deque<QByteArray> queue; // late readings' payloads, oldest first
        qint64 dropped = 0;
        bool overflowing = false;     // its queue is at its limit (told once a stretch)
        bool writeFailing = false;
        QString logProblem;           // why its log cannot be written
        bool statePending = false;    // its state waits for the pace
        QString unit;                 // the SI unit of its readings, once known
        QString discoveredUnit;       // the unit of its published discovery; empty: none
        bool discoveryPending = false;
        QByteArray controllerCells;   // the controller's settings as last read (96 hex digits)
        QDateTime readAt;
        QByteArray settings;          // the last audit's message
        bool settingsPending = false; // it waits for the broker
    };

    void addSite(const WatchSite &cfg);
    void removeSite(const QString &name, bool clearRetained);
    void onState(Site &s);
    void onReading(Site &s, const Reading &r);
    void onLogFailure(Site &s, const QString &why, const QString &path);
    void onSettings(Site &s, const MemCell *cells, const QDateTime &at);
    void audit(Site &s);
    void scheduleAudit();
    void dailyAudit();
    void startRun(Site &s, const Reading &r);
    void tickRuns();
    void publishReading(Site &s, const Reading &r);
    void publishState(Site &s);
    bool publishStateNow(Site &s);
    void publishWatcher(const char *state);
    void clearRetained(const QString &topic);
    void setUnit(Site &s, const QString &unit);
    void pump();
    bool pumpWork() const;
    bool startMqtt(QString *error);
    SiteStatus status(const Site &s) const;
    QString topic(const QString &site, const char *leaf) const;
    QString watcherTopic() const;

    WatchSettings m_settings;
    SitePortMaker m_makePort;
    std::map<QString, std::unique_ptr<Site>> m_sites;
    std::unique_ptr<MqttClient> m_mqtt;
    std::unique_ptr<WatchAlarms> m_alarms;
    QDateTime m_since;
    qsizetype m_queuedTotal = 0;
    bool m_stopping = false;
    std::unique_ptr<WindowTimer> m_shutdownTimer;
    // The log runs' once-a-second check, one for all sites: it ticks only while a run logs.
    std::unique_ptr<WindowTimer> m_runTimer;
    // The pace of what goes out in bulk: a bucket of tokens, refilled at backlogRate a
    // second up to a tenth of it, and a timer that ticks every 100 ms while anything waits.
    std::unique_ptr<WindowTimer> m_paceTimer;
    double m_tokens = 0;
    qint64 m_tokensAtMs = 0;
    std::deque<QString> m_clears;   // retained topics to clear, at the next connect if need be
    QSet<QString> m_clearSet;       // the same, to find one
    int m_statesPending = 0;
    bool m_announce = false;        // "running" goes out once the pending states are out
    QString m_nextBacklogSite;      // where the backlog's round goes on
    std::unique_ptr<WindowTimer> m_auditTimer;
    QDateTime m_nextAudit;
    std::unique_ptr<HistoryServer> m_history;
};
