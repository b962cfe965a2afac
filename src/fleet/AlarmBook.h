#pragma once
// The alarms of a fleet as alarm management (ISA-18.2 / IEC 62682) has them: one alarm per
// site and cause, in one of the states
//   NORM   normal: the condition does not hold, nothing waits for anyone;
//   UNACK  active, not acknowledged;
//   ACKED  active, acknowledged;
//   RTNUN  returned to normal, not acknowledged;
//   SHLVD  shelved by a named user, with a reason, until a time (at most maxShelveMinutes
//          ahead); it returns by itself then, as a new alarm if its condition still holds;
//   DSUPR  suppressed by design while its site is out of service; back in service it takes
//          the state its condition gives the state it had (an acknowledged alarm still
//          active stays acknowledged).
// The conditions come from whoever watches the sites (the fleet watcher, or a view polling
// sites itself); the acts (acknowledge, shelve, unshelve) from users. Every transition is
// told as an AlarmEvent, for a journal, a notification and the publisher; nothing here knows
// of MQTT or files.
//
// The published form of a site's alarms, <prefix>/<site>/alarms, is made and read here
// (AlarmsPayload, ParseAlarmsPayload), so a console reads exactly what the watcher writes;
// so is the whole book as a state file (save, load).
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <array>
#include <map>
#include <memory>
#include <optional>

class WindowTimer;

// A new cause (a settings change, say) goes after the last one; kAlarmCauses follows.
enum class AlarmCause : quint8 {
    Output1, Output2, Output3, Output4, Output5, Output6, Output7, Output8,
    NoReply,  // the controller did not answer a poll within its reply time
    Lost,     // the port cannot be opened, or the line went away
    Refused,  // the controller answers every poll with a refusal
    Garbled,  // the controller's answers cannot be understood
    // The office view's own: no reading for three intervals; a watcher stopped; the view's
    // broker lost.
    Stale,
    ServiceDown,
    BrokerDown,
    // The watcher's again: the controller's settings differ from the site's approved file.
    Settings,
};
constexpr int kAlarmCauses = int(AlarmCause::Settings) + 1;
// Whether the watcher raises the cause (the office view raises stale, service-down and
// broker-down itself).
constexpr bool WatcherCause(AlarmCause c)
{
    return c != AlarmCause::Stale && c != AlarmCause::ServiceDown && c != AlarmCause::BrokerDown;
}

// "output1" ... "output8", "no-reply", "lost", "refused", "garbled", "stale", "service-down",
// "broker-down", "settings".
const char *AlarmCauseName(AlarmCause c);
std::optional<AlarmCause> AlarmCauseFromName(const QString &name);
// Output ch (1-8).
AlarmCause OutputCause(int ch);
// The cause in the words of the office's alarm log and views: "出力1 ON", "応答なし", "切断",
// "応答拒否", "応答異常", "受信なし", "ｻｰﾋﾞｽ停止", "ﾌﾞﾛｰｶ切断", "設定相違".
QString AlarmCauseText(AlarmCause c);

enum class AlarmState : quint8 { Normal, Unack, Acked, Rtnun, Shelved, Suppressed };
// "NORM", "UNACK", "ACKED", "RTNUN", "SHLVD", "DSUPR".
const char *AlarmStateName(AlarmState s);
std::optional<AlarmState> AlarmStateFromName(const QString &name);

// ISO 8601 with milliseconds and the offset ("2026-12-09T05:09:44.120+09:00").
QString AlarmTimeText(const QDateTime &t);
// A JSON string, quoted and escaped, for the payloads written by hand.
QByteArray JsonString(const QString &text);

struct Alarm {
    AlarmCause cause = AlarmCause::Output1;
    // The state beneath a shelve or a suppression: Normal, Unack, Acked or Rtnun.
    AlarmState core = AlarmState::Normal;
    bool active = false;     // the condition holds
    bool suppressed = false; // the site is out of service
    QDateTime raised;        // when it last became active (as an alarm)
    QDateTime cleared;       // when its condition last went, while the alarm stood
    QString ackedBy;
    QDateTime ackedAt;
    QString shelvedBy;
    QDateTime shelvedUntil;  // valid while shelved
    QString reason;          // the reason given for the shelve, or the suppression's
    QString value;           // what the site read when the condition came ("2.05 V")

    bool shelved() const { return shelvedUntil.isValid(); }
    AlarmState state() const
    {
        return suppressed ? AlarmState::Suppressed : shelved() ? AlarmState::Shelved : core;
    }
    bool unacknowledged() const { return state() == AlarmState::Unack || state() == AlarmState::Rtnun; }
    // Nothing to show and nothing to keep (suppressed or not).
    bool normal() const { return core == AlarmState::Normal && !active && !shelved(); }
};

// One site's alarms as published: the ones not normal, in the order of their causes.
struct SiteAlarms {
    QString site;
    quint64 seq = 0; // grows with every change of the site's list
    QList<Alarm> alarms;
};

// {"site","seq","alarms":[{"cause","state","raised","cleared","acked_by","acked_at",
// "shelved_by","shelved_until","reason"}]}; a time not given is null.
QByteArray AlarmsPayload(const SiteAlarms &s);
// Reads what AlarmsPayload writes, and refuses (false, with a reason in English) anything
// else: more than one alarm per cause, an unknown cause or state, texts longer than their
// bounds, times that are no ISO 8601. The alarms read have their state as core (or shelved
// or suppressed) and active as far as the state tells it.
bool ParseAlarmsPayload(const QByteArray &payload, SiteAlarms *out, QString *why = nullptr);

struct AlarmEvent {
    enum class Kind { Raised, Cleared, Acked, Shelved, Unshelved, ShelveEnded, Suppressed, Unsuppressed };
    Kind kind = Kind::Raised;
    QString site;
    Alarm alarm;    // as it is after the event
    QString user;   // Acked, Shelved, Unshelved
    QString reason; // Shelved, Suppressed
    QDateTime at;
};
// "raised", "cleared", "acknowledged", "shelved", "unshelved", "returned from shelving",
// "suppressed", "back in service".
const char *AlarmEventName(AlarmEvent::Kind k);
// The event in the words of the office's alarm log: 発生, 解除, 確認, 一時抑制, 抑制解除,
// 抑制終了, 保守中, 保守解除.
QString AlarmEventText(AlarmEvent::Kind k);

// The answer to a user's act: done, or why not (English, for the command's result).
struct AlarmAnswer {
    bool ok = false;
    QString reason;
    int changed = 0; // alarms that changed
};

class AlarmBook : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxSites = 2000;
    static constexpr int kMaxUser = 64;
    static constexpr int kMaxReason = 200;
    static constexpr int kMaxValue = 40;
    static constexpr int kDefaultMaxShelveMin = 480;
    static constexpr int kMaxShelveMinLimit = 7 * 24 * 60;
    static constexpr int kMaxPayload = 64 * 1024;

    explicit AlarmBook(QObject *parent = nullptr);
    ~AlarmBook() override;

    void setMaxShelveMinutes(int minutes);
    int maxShelveMinutes() const { return m_maxShelveMin; }

    // The condition of cause at site holds (active) or not, since at (a reading's time; Now()
    // when not valid). value: what was read, kept with a raise for its notification.
    void setCondition(const QString &site, AlarmCause cause, bool active, const QDateTime &at = {},
                      const QString &value = {});
    // The causes whose condition holds at site, bit i for cause i (0 for a site not known):
    // a reading that changes none of them costs one look-up.
    quint32 activeConditions(const QString &site) const;
    // A user's acts. cause nullopt: every alarm of the site that the act applies to.
    AlarmAnswer acknowledge(const QString &site, std::optional<AlarmCause> cause, const QString &user);
    AlarmAnswer shelve(const QString &site, AlarmCause cause, int minutes, const QString &user,
                       const QString &reason);
    AlarmAnswer unshelve(const QString &site, std::optional<AlarmCause> cause, const QString &user);
    // The site out of service (on) or back in it.
    void setSuppressed(const QString &site, bool on, const QString &reason = {});
    bool suppressed(const QString &site) const;
    // Forgets the site and its alarms, telling nothing.
    void forget(const QString &site);

    // The site's alarms that are not normal.
    SiteAlarms site(const QString &name) const;
    const Alarm *find(const QString &site, AlarmCause cause) const;
    // The sites the book holds anything of.
    QStringList sites() const;
    // Alarms in UNACK or RTNUN, over every site.
    int unacknowledged() const;

    // Returns the shelves that ran out; the book's own timer calls it at the earliest end.
    void checkShelves();

    // The whole book, as the state file holds it (UTF-8 JSON).
    QByteArray save() const;
    // Takes a book that save() wrote; anything else is refused (false, with a reason) and
    // the book is left empty. Nothing is told for what is read.
    bool load(const QByteArray &bytes, QString *why = nullptr);

signals:
    // One per transition, after it was made.
    void changed(const AlarmEvent &event);
    // After the events of one call: the site's published list changed.
    void siteChanged(const QString &site);

private:
    struct Entry {
        quint64 seq = 0;
        bool suppressed = false;
        QString suppressReason;
        std::array<Alarm, kAlarmCauses> alarms;
        mutable QByteArray savedJson;   // its part of the state file, while savedValid
        mutable bool savedValid = false;
        Entry();
        bool empty() const;
    };
    using Events = QList<AlarmEvent>;

    Entry *entry(const QString &site, bool make);
    void settle(const QString &site, Alarm &a, const QDateTime &at, Events &ev);
    void endShelve(const QString &site, Alarm &a, AlarmEvent::Kind kind, const QString &user, const QDateTime &at,
                   Events &ev);
    void tell(const QString &site, Events &ev);
    void armShelves();
    void prune();

    std::map<QString, Entry> m_sites;
    int m_maxShelveMin = kDefaultMaxShelveMin;
    std::unique_ptr<WindowTimer> m_shelfTimer;
};
