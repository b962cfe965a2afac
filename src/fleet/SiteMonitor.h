#pragma once
// The office view's engine, without a window: the sources kept in the data folder's
// "sites.ini" (a broker the watchers publish on, and a watcher's configuration file whose
// sites are polled here, each on its own session), the SiteBoard their messages, readings
// and states go to, and the alarms' side effects: the bell, a desktop notification and the
// alarm log "sitealarm.log" (Shift_JIS, CR LF, "yyyy/MM/dd HH:mm:ss,SITE,EVENT,CAUSE,USER").
// The program starts it at start-up when a source is set, so alarms are watched, rung and
// counted in the frame's status bar (siteEvents) whether or not ｻｲﾄ一覧 is open; the window
// is a view of it.
//
// The polled sites' ports are taken (PortClaims) while they are polled, so the program's own
// link cannot open them meanwhile, and a site whose port the own link holds waits (lost,
// retrying) until it is free.
#include "fleet/AlarmBook.h"
#include "fleet/HistoryFetch.h"
#include "fleet/MqttClient.h"
#include "fleet/SiteBoard.h"
#include "fleet/SiteWatch.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// Where the office view hears the watchers: the keys of the watcher's [mqtt] group, and a
// watcher's configuration file ([watch] file).
struct SiteSource {
    QString url;              // mqtt://HOST:PORT or mqtts://HOST:PORT; empty: none set
    QString topicPrefix = QStringLiteral("qelvo");
    QString username;
    QString passwordFile;
    QString watchFile;        // a watcher's configuration file whose sites are polled here; empty: none
    bool set() const { return !url.isEmpty() || !watchFile.isEmpty(); }
    bool operator==(const SiteSource &o) const = default;
};
// The data folder's "sites.ini" ([mqtt] url, topic_prefix, username, password_file; [watch]
// file), read as the watcher's configuration is (IniFile): the defaults when it is missing;
// the defaults and, in fault, the first fault when it cannot be used.
SiteSource LoadSiteSource(QString *fault = nullptr);
// False (after the box that says why) when it could not be written.
bool SaveSiteSource(const SiteSource &s);
QString SiteSourcePath();

class SiteMonitor : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxSourceBytes = 64 * 1024;

    explicit SiteMonitor(QObject *parent = nullptr);
    ~SiteMonitor() override;

    // Watches the sources of s. The first source, or another broker, prefix or file, starts a
    // new board (the sites of the old one go with their alarms; the alarm log keeps what
    // happened) and both sources over; another user or password file connects to the broker
    // again. False when one cannot be used (brokerText, fileText say why).
    bool useSource(const SiteSource &s);
    // The sources saved in "sites.ini" (LoadSiteSource); a file that cannot be used is told
    // after brokerText, and false.
    bool useSavedSource();
    // Leaves the broker, stops the polled sites and frees their ports; the board stays.
    void stop();
    // A source was given (useSource), whether or not it could be used.
    bool started() const { return m_started; }
    const SiteSource &source() const { return m_source; }

    SiteBoard *board() const { return m_board; }
    MqttClient *client() const { return m_mqtt.get(); }
    // The sites polled here (from the watcher's configuration file).
    const std::vector<std::unique_ptr<SiteWatch>> &localSites() const { return m_local; }
    // The broker and whether it is connected ("ﾌﾞﾛｰｶ未設定", "mqtt://... 接続中" ...).
    const QString &brokerText() const { return m_brokerText; }
    // The watcher's configuration file and its sites ("watchd.ini 3ｻｲﾄ" ...); empty: none.
    const QString &fileText() const { return m_fileText; }
    // "警報: <site> <cause>" of the last alarm raised while any is unacknowledged; else empty.
    const QString &lastAlarm() const { return m_lastAlarm; }

    // The alarms of these sites acknowledged by the login name: the view's own alarms here,
    // and for the sites whose watcher keeps their alarms, an "ack" command published on
    // <prefix>/command/<user>/<site> in the name of the broker's user (none without one: the
    // reason is told by commandTold). The watcher's answers come back through commandTold.
    void acknowledge(const QStringList &names);
    // The service's alarms of these sites shelved for minutes with reason: a "shelve"
    // command per alarm that stands (unacknowledged, acknowledged or returned), in the name
    // of the broker's user. What was sent, or why nothing was, is told by commandTold.
    void shelve(const QStringList &names, int minutes, const QString &reason);
    // The shelved alarms of these sites back: an "unshelve" command per site that has any.
    void unshelve(const QStringList &names);
    // Why the service's alarms cannot be acted on from here; empty when they can.
    QString commandRefusal() const;
    // A site polled here (from the watcher's configuration file): its alarms are the view's
    // own book's (localBook), acted on here, whatever the broker.
    bool isLocal(const QString &name) const { return m_localNames.contains(name); }
    // The alarms of the sites polled here; null while none are.
    AlarmBook *localBook() const { return m_localBook.get(); }

    // A site's last day asked of its watcher into its history (HistoryFetch), the chunks
    // merged as they come; a site polled here, or without a broker, keeps what arrived since
    // the board began. Told through commandTold.
    void askHistory(const QString &name);
    // The fetches of history on the broker; null without one.
    HistoryFetch *historyFetch() const { return m_fetch.get(); }

    // How a polled site's port is made (tests give simulated ones).
    static SitePortMaker &portMaker();
    static QString loginName();
    // The alarm log in the data folder: today's lines. At the first line of another day, the
    // file of the day before is moved aside to alarmLogPath(day), "sitealarmYYYYMMDD.log" of
    // the day it holds (with "_2", "_3" ... should that name be taken already).
    static QString alarmLogPath();
    static QString alarmLogPath(const QDate &day);

signals:
    // A new board: a view shows it from now on (the old one is deleted after this).
    void boardReplaced(SiteBoard *board);
    void brokerTextChanged(const QString &text);
    void fileTextChanged(const QString &text);
    // An alarm was raised (after the bell and the notification): "警報: <site> <cause>".
    void alarmRaised(const QString &text);
    void unacknowledgedChanged(int count);
    // A command sent, refused here, or answered by the watcher, in words for the status line.
    void commandTold(const QString &text);

private:
    void newBoard();
    bool useBroker(const SiteSource &s);
    void useHistoryFetch(const QString &clientId);
    bool useWatchFile(const QString &path);
    void stopBroker();
    void stopLocal();
    void setBrokerText(const QString &text);
    void setFileText(const QString &text);
    void logStep(const QString &site, AlarmStep step, AlarmCause cause, const QString &user);
    // A line of the alarm log: "yyyy/MM/dd HH:mm:ss,SITE,WHAT,CAUSE,USER".
    void logLine(const QString &site, const QString &what, AlarmCause cause, const QString &user);
    // The polled sites' changed lists to the board.
    void handLocalAlarms();
    // The rows of names whose watcher keeps their alarms (not those polled here).
    QList<const BoardRow *> serviceRows(const QStringList &names) const;
    // The log of another day than today moved aside; a move that failed is tried again at the
    // next line (the lines go on into the log meanwhile).
    void rotateAlarmLog(const QDate &today);
    void raised(const QString &site, AlarmCause cause);
    void countChanged(int count);
    void commandAnswered(const QString &site, const QByteArray &payload);
    // Publishes the command (its JSON after "id") on <prefix>/command/<user>/<site>.
    bool sendCommand(const QString &site, const QByteArray &rest);

    SiteBoard *m_board = nullptr;
    std::unique_ptr<MqttClient> m_mqtt;
    std::unique_ptr<HistoryFetch> m_fetch;
    std::vector<std::unique_ptr<SiteWatch>> m_local;
    std::unique_ptr<AlarmBook> m_localBook;
    QSet<QString> m_localNames;
    QSet<QString> m_localChanged; // sites whose list waits for handLocalAlarms
    SiteSource m_source;
    QString m_prefix;
    QString m_brokerText;
    QString m_fileText;
    QString m_lastAlarm;
    bool m_started = false;
    quint64 m_commandId = 0;
    QDate m_logDay; // the day the alarm log holds; invalid until the first line
};

// What the site monitor tells the frame: the count of alarms not yet acknowledged (its status
// bar), a site's history asked for (the trend window opens on it) and a history that grew (a
// trend window showing it redraws).
class SiteEvents : public QObject {
    Q_OBJECT
signals:
    void unacknowledgedChanged(int count);
    // caption "<title> (<name>)", the series in hundredths of unit (see SiteHistory::series).
    void historyAsked(const QString &caption, std::shared_ptr<const TrendSeries> series, const QString &unit);
    void historyGrew(const TrendSeries *series);
};
SiteEvents &siteEvents();

// The program's site monitor, made on first use and kept until EndSiteMonitor.
SiteMonitor &siteMonitor();
// Start-up: the site monitor on the sources of "sites.ini", when one is set.
void StartSiteMonitor();
// The program ends: the monitor stops (its board stays for the windows still shown).
void StopSiteMonitor();
// Deletes the program's site monitor, once no window shows it (a test's end of a run).
void EndSiteMonitor();
