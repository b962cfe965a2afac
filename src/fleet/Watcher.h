#pragma once
// The fleet watcher without its program: a SiteWatch and a LogRun per site, and
// the publisher of their readings and states on an MQTT broker.
//
// Each site's readings are written to <log folder>/<site>/qlvYYYYMMDD.csv as
// the log filer writes them with both display options on, one line per reading.
// A run begins with the first reading of an online site and ends with "/**
// Logging Quit **/" when the site goes no-reply or lost, "/** Logging QUIT **/"
// when the watcher stops or drops the site, and
// "/** Logging END T **/" at local midnight (the next reading begins the new
// day's file). The files are the record: a failed append waits and is tried
// again at the next reading.
//
// With a broker (QoS 1):
//   <prefix>/<site>/reading        each reading (not retained)
//   <prefix>/<site>/state          retained, at each change and each connect;
//   "dropped" counts
//                                  the readings the queue gave up since the
//                                  last one
//   <prefix>/watchd/<client id>    retained: running, and offline by the last
//   will or a stop
//   <prefix>/<site>/alarms         retained: the site's alarms (WatchAlarms), which
//                                  <prefix>/command/<user>/<site> acts on
// While the broker is away each site's readings wait in its own queue
// (queueLimit readings; past that the oldest go), and are published in order
// when it is back.
#include "fleet/MqttClient.h"
#include "fleet/SiteWatch.h"
#include "fleet/WatchConfig.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <map>
#include <memory>

class LogRun;
class WatchAlarms;
class WindowTimer;

// ISO 8601 with milliseconds and the offset from UTC:
// "2026-12-09T05:09:44.120+09:00".
QString IsoTimeText(const QDateTime &t);
// The payloads, as UTF-8 JSON.
QByteArray ReadingPayload(const QString &site, const Reading &r);
// The state names the outputs that are the site's warning stages ("warn_outputs":"1,2,5"),
// so that an office view raises its alarms on those.
// interval_ms tells how often the site is asked, against which a view judges its silence.
QByteArray StatePayload(const QString &site, SiteState state, const QDateTime &since, const QString &reason,
                        const QString &title, qint64 dropped, const QString &watcher, quint8 warnOutputs = 0xFF,
                        int intervalMs = 0);

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
    // again, the others go on untouched. A new broker or log folder restarts what
    // depends on it.
    void reload(const WatchSettings &next);
    // Ends every run, publishes every site as stopped and the watcher as offline,
    // leaves the broker (waiting at most boundMs for it to take the messages) and
    // calls done.
    void shutdown(int boundMs, std::function<void()> done);

    const WatchSettings &settings() const { return m_settings; }
    int siteCount() const { return int(m_sites.size()); }
    SiteWatch *site(const QString &name) const;
    LogRun *run(const QString &name) const;
    // Readings waiting for the broker, and those the queue gave up since the last
    // state.
    qsizetype queued(const QString &name) const;
    qint64 dropped(const QString &name) const;
    MqttClient *mqtt() const { return m_mqtt.get(); }
    WatchAlarms &alarms() const { return *m_alarms; }

signals:
    // One line for the service's log (stderr, the journal).
    void logLine(const QString &line);

private:
    struct Site {
        WatchSite cfg;
        std::unique_ptr<SiteWatch> watch;
        std::unique_ptr<LogRun> run;
        std::deque<QByteArray> queue;
        qint64 dropped = 0;
        bool writeFailing = false;
    };

    void addSite(const WatchSite &cfg);
    void removeSite(const QString &name, bool clearRetained);
    void onState(Site &s);
    void onReading(Site &s, const Reading &r);
    void startRun(Site &s, const Reading &r);
    void publishReading(Site &s, QByteArray payload);
    void publishState(Site &s);
    void publishWatcher(const char *state);
    void flush();
    bool startMqtt(QString *error);
    QString topic(const QString &site, const char *leaf) const;

    WatchSettings m_settings;
    SitePortMaker m_makePort;
    std::map<QString, std::unique_ptr<Site>> m_sites;
    std::unique_ptr<MqttClient> m_mqtt;
    std::unique_ptr<WatchAlarms> m_alarms;
    QDateTime m_since;
    qsizetype m_queuedTotal = 0;
    QStringList m_clearAtConnect; // sites removed while the broker was away
    bool m_stopping = false;
    std::unique_ptr<WindowTimer> m_shutdownTimer;
};
