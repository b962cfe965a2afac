#pragma once
// The fleet watcher's alarms: the conditions of its sites into an AlarmBook, the book kept
// in a state file, every transition in the alarm journal and the service's log, the raises
// told to the notifications, each site's alarms published, and the users' commands taken.
//
//   Conditions. A reading sets each warning output's condition (on or off) and clears
//   no-reply, lost, refused and garbled; the site's state no-reply, lost, refused or garbled
//   (a controller that answers "?", or answers not understood, for its whole reply time)
//   sets its own and clears the others. An audit of the site's settings sets or clears
//   settings (the controller's settings differ from the site's golden file). Starting and stopped change nothing:
//   the alarms of a watcher that stops or starts stay as they were, and nothing is raised
//   for a broker that goes away.
//   Out of service. A site removed from the configuration has its alarms suppressed
//   (DSUPR) until it comes back; one without alarms is forgotten and its topic cleared. A
//   site whose line is lent for maintenance has them suppressed until the polls resume.
//   State file. <state dir>/alarms-<client id>.json (alarms.json without a broker; none
//   without a state folder, as a watcher made in code may be), written whole (a new file
//   synced and renamed over the old one) at the next turn of the event loop after a user's
//   act, at most every kSaveGapMs; after raises and clears at most every kConditionSaveMs
//   (a chattering fleet is one write a second); and at the stop. One that cannot be read
//   is told, kept beside as .corrupt, and the watch starts with no alarms.
//   Journal. <log folder>/alarms/qlvalarmYYYYMMDD.csv, Shift_JIS, CR LF, one line per
//   transition: "yyyy/MM/dd HH:mm:ss,SITE,EVENT,CAUSE,USER,REASON", EVENT and CAUSE in the
//   words of the office view's alarm log.
//   Topics. <prefix>/<site>/alarms, retained (AlarmsPayload), at each change and at each
//   connect for every site. Commands come on <prefix>/command/<user>/<site> (the broker's
//   ACL lets only <user> publish there), {"id","action","cause","minutes","reason"}, and are
//   answered on <prefix>/command/<user>/<site>/result with {"id","ok","reason"}. A retained
//   command is ignored; a command past a user's or everyone's rate, or over kMaxCommandBytes,
//   or malformed, changes nothing and is counted.
#include "fleet/AlarmBook.h"
#include "fleet/AlarmNotify.h"
#include "fleet/SiteWatch.h"
#include "fleet/WatchConfig.h"
#include "platform/TextFile.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>
#include <map>
#include <memory>

class WindowTimer;
struct Reading;

class WatchAlarms : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxCommandBytes = 4096;
    static constexpr int kMaxId = 64;
    // The rate bounds (token buckets): a burst of a whole fleet's acknowledgements, then a
    // steady rate; the same for all users together.
    static constexpr int kUserBurst = 1000;
    static constexpr int kUserPerSecond = 20;
    static constexpr int kAllBurst = 2000;
    static constexpr int kAllPerSecond = 100;
    static constexpr int kMaxUsers = 256;
    static constexpr int kSaveGapMs = 50;
    static constexpr int kConditionSaveMs = 1000;
    static constexpr int kTickMs = 5000;
    static constexpr int kRetryMs = 200; // lists the client's full queue refused, tried again
    static constexpr qint64 kMaxStateBytes = 16 * 1024 * 1024;

    struct Counts {
        quint64 accepted = 0;  // carried out
        quint64 refused = 0;   // well formed, and answered why not
        quint64 malformed = 0; // no command (answered "malformed" within the rate)
        quint64 oversized = 0; // over kMaxCommandBytes
        quint64 limited = 0;   // past a rate bound: not answered
        quint64 retained = 0;  // retained: ignored
    };

    // publish: hands a message to the broker (QoS 1); false when it could not be now.
    using Publish = std::function<bool(const QString &topic, const QByteArray &payload, bool retain)>;
    WatchAlarms(const WatchSettings &settings, Publish publish, QObject *parent = nullptr);
    ~WatchAlarms() override;

    // The conditions a site's state sets in a book: one cause of the line at a time (none
    // online); starting and stopped touch nothing. A reading clears the line's causes and sets
    // each output's (warn: the outputs that are warning stages). The watcher's, and the office
    // view's for the sites it polls itself.
    static void stateConditions(AlarmBook &book, const QString &name, SiteState state, const QString &reason);
    static void readingConditions(AlarmBook &book, const QString &name, const Reading &r, quint8 warn);

    // Reads the state file; the sites it holds that the configuration does not name are
    // suppressed.
    void start();
    // New settings: the sites' titles and warning outputs, the notifications, the longest
    // shelve, the state file's folder.
    void reload(const WatchSettings &next);
    // Writes the state file now and stops the notifications.
    void stop();

    // What the watcher sees of its sites.
    void siteAdded(const WatchSite &site);
    void siteRemoved(const QString &name);
    void siteState(const QString &name, SiteState state, const QString &reason);
    void reading(const QString &name, const Reading &r);
    // An audit of the site's settings: they differ from its golden file (reason: how), or
    // not (also when the site has no golden file any more).
    void settingsAudited(const QString &name, bool differ, const QString &reason);

    // The broker: the topic filter of the commands, each site's alarms published (at each
    // connect), and a message of the filter.
    QString commandFilter() const;
    void connected();
    void message(const QString &topic, const QByteArray &payload, bool retained);
    // The watcher's own state message gets these fields (",\"alarms\":{...}...").
    QByteArray statusFields() const;

    AlarmBook &book() { return m_book; }
    AlarmNotifier &notifier() { return *m_notifier; }
    const Counts &counts() const { return m_counts; }
    // Users whose command rate is being kept.
    int users() const { return int(m_users.size()); }
    QString statePath() const;
    QString journalPath(const QDate &day) const;

signals:
    // One line for the service's log.
    void logLine(const QString &line);
    // The counts changed since the last time (told at most every kTickMs).
    void statusChanged();

private:
    struct Bucket {
        double tokens = 0;
        qint64 lastMs = 0;
    };

    void onEvent(const AlarmEvent &e);
    void journal(const AlarmEvent &e);
    bool publishSite(const QString &name);
    void publishDirty();
    // act: a user's act (or a suppression), written within kSaveGapMs; else within
    // kConditionSaveMs.
    void scheduleSave(bool act);
    void saveNow();
    void tick();
    void renotify();
    void command(const QString &user, const QString &site, const QByteArray &payload);
    void answer(const QString &user, const QString &site, const QByteArray &id, bool ok, const QString &reason);
    bool take(Bucket &b, int burst, int perSecond, qint64 now);
    bool allowed(const QString &user);
    AlarmNotice notice(const QString &event, const QString &site, const Alarm &a) const;
    QString prefix() const;
    const WatchSite *siteOf(const QString &name) const;

    WatchSettings m_settings;
    QHash<QString, WatchSite> m_sites;
    QSet<QString> m_inMaintenance; // sites suppressed for maintenance
    Publish m_publish;
    AlarmBook m_book;
    std::unique_ptr<AlarmNotifier> m_notifier;
    std::unique_ptr<WindowTimer> m_saveTimer;
    std::unique_ptr<WindowTimer> m_tick;
    std::unique_ptr<WindowTimer> m_retry; // armed while lists wait for room in the client's queue
    qint64 m_lastSaveMs = -1000000;
    qint64 m_saveDueMs = -1;       // when the save timer falls due; -1: not armed
    bool m_actPending = false;     // a user's act waits to be written
    bool m_saveFailing = false;
    bool m_journalFailing = false;
    QString m_journalPath;         // the journal written last
    AppendFile m_journalFile;      // kept open: a line is one write
    int m_batch = 0;               // hooks running: publishing waits for their end
    QSet<QString> m_dirty;         // sites whose list waits to be published
    QSet<QString> m_clearAtConnect;
    std::map<QString, qint64> m_notified; // "site/cause": when last told, elapsed ms
    QHash<QString, Bucket> m_users;
    Bucket m_all;
    Counts m_counts;
    Counts m_toldCounts;           // as the log's summary last had them
    QByteArray m_lastStatus;
    int m_ticks = 0;
};
