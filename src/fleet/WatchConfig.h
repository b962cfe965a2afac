#pragma once
// The fleet watcher's configuration file (INI, read with QSettings; ';' starts a comment):
//
//   [watch]   log_folder, interval_ms, state_dir (the alarms' state file), max_shelve_min,
//             audit_time (HH:MM: every day then, each site with a golden file is audited)
//   [mqtt]    url, topic_prefix, client_id, username, password_file, ca_file, queue_limit,
//             backlog_rate, homeassistant_discovery, insecure_file_modes
//             (no [mqtt] group: nothing is published)
//   [notify]  exec, exec_timeout_s, renotify_min, webhook, webhook_timeout_s, webhook_tries
//             (no [notify] group: no one is told of an alarm but the consoles)
//   [sites]   NAME=PORT, one line per site: COMn, tcp://HOST:PORT or rfc2217://HOST:PORT
//   [maintenance] listen (HOST:PORT, the first site's port; the k-th site of [sites], counted
//             from 0, gets PORT+k), idle_min (a client silent this long is dropped; default
//             10, decimals taken), allow (the client addresses, CIDR, taken; without it only
//             the loopback address, and listening elsewhere needs it)
//   [NAME]    optional, per site: interval_ms, title, input_type, warn_outputs (the outputs that
//             are warning stages, as 1 2 5; default all eight), golden (the site's approved
//             settings, a .qvd file, read with the configuration: a file that cannot be read
//             is a fault), maintenance_port (the site's own maintenance port, on
//             [maintenance]'s address or 127.0.0.1)
//
// A file with any fault gives one line per fault, "FILE:LINE: what is wrong", and no
// settings. Paths that are not absolute are taken from the configuration file's folder.
// A password file that others than its owner and group may read, or a CA file that they
// may write, is a fault unless insecure_file_modes=true (a container whose mounted files
// carry modes it cannot change).
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The backlog after an outage is published at this many readings a second by default, in
// bursts of a tenth of it: 20 messages every 100 ms fit the window mosquitto keeps in flight
// for each subscriber (max_inflight_messages 20), so an ordinary subscriber takes them as
// they come and its queue (max_queued_messages 1000) stays empty.
constexpr int kWatchBacklogRate = 200;
constexpr int kWatchBacklogRateMax = 100000;

struct WatchMqtt {
    QString url;          // as written
    bool tls = false;
    QString host;
    quint16 port = 0;
    QString topicPrefix;  // default "qelvo"
    QString clientId;     // default "qelvo-watchd-<host name>"
    QString username;
    QString passwordFile; // absolute; empty: no password
    QString password;     // the first line of passwordFile, read with the file (a reload
                          // that finds another password connects again)
    QString caFile;       // absolute; mqtts:// only
    int queueLimit = 0;   // readings kept per site while the broker is away; 0: one hour's worth
    int backlogRate = kWatchBacklogRate; // readings that waited, published per second
    bool homeAssistant = false;   // homeassistant_discovery: Home Assistant's discovery topics
    bool insecureFileModes = false; // the modes of password_file and ca_file are not checked
    bool operator==(const WatchMqtt &) const = default;
};

struct WatchSite {
    enum class PortKind { Com, Tcp, Rfc2217 };
    QString name;         // [A-Za-z0-9_-]{1,40}, not reserved (ReservedSiteName): the site's topics and log folder
    QString port;         // "COM3", "tcp://10.0.5.21:4001", "rfc2217://[fe80::1]:4002"
    PortKind kind = PortKind::Com;
    int comPort = 0;      // Com: 1-99
    QString host;         // Tcp, Rfc2217
    quint16 tcpPort = 0;
    int intervalMs = 1000;
    QString title;        // empty: none
    int inputType = 0;    // 1-5 pins the input type; 0: read from the controller
    int queueLimit = 0;   // with [mqtt]: the readings kept while the broker is away
    quint8 warnOutputs = 0xFF; // the outputs that are warning stages (bit 0 = output 1)
    QString golden;       // absolute; empty: the site's settings are not audited
    QByteArray goldenCells; // its 48 settings bytes as read with the configuration (96 hex digits)
    QString goldenProblem;  // why the file cannot be used (GoldenProblemsKept only); goldenCells empty
    QString maintenanceHost;   // where its line is lent for maintenance (RFC 2217)
    quint16 maintenancePort = 0; // 0: its line is not lent
    // "rfc2217://127.0.0.1:7003", or empty without a maintenance port.
    QString maintenanceUrl() const;
    bool operator==(const WatchSite &) const = default;
    // The same site apart from its golden file: a new approved file needs no new start.
    bool sameWatch(const WatchSite &o) const;
};

// Who is told of an alarm raised, besides the consoles.
struct WatchNotify {
    QString exec;            // as written; empty: no program
    QString execProgram;     // its program, found (absolute)
    QStringList execArgs;    // the words after it
    int execTimeoutS = 30;   // a run is killed past this
    int renotifyMin = 0;     // told again while unacknowledged, every so many minutes; 0: never
    QString webhook;         // http:// or https:// address; empty: none
    int webhookTimeoutS = 10;
    int webhookTries = 8;    // a POST that keeps failing is given up after so many tries
    bool operator==(const WatchNotify &) const = default;
};

// The lending of the sites' lines for maintenance ([maintenance]).
struct WatchMaintenance {
    QString host = QStringLiteral("127.0.0.1"); // where the ports listen
    int basePort = 0;                          // 0: only sites with maintenance_port
    int idleMs = 10 * 60000;                   // a client silent this long is dropped
    QStringList allow;                         // client address blocks (CIDR); empty: loopback
    bool operator==(const WatchMaintenance &) const = default;
};

struct WatchSettings {
    QString logFolder;    // absolute
    int intervalMs = 1000;
    QString stateDir;     // absolute: the alarms' state file
    int maxShelveMin = 480;
    int auditMinute = -1; // audit_time as minutes after midnight; -1: no daily audit
    WatchNotify notify;
    WatchMaintenance maintenance;
    std::optional<WatchMqtt> mqtt;
    QList<WatchSite> sites; // in the order of [sites]
    bool operator==(const WatchSettings &) const = default;
};

// How a new configuration differs from the running one, site by site (for a reload).
struct WatchDiff {
    QStringList added;    // in the new file's order
    QStringList removed;  // in the old file's order
    QStringList changed;  // a site whose port, interval, title, input type, warning outputs or queue changed
    QStringList goldenChanged; // a site kept whose golden file (or what it holds) changed
    bool mqttChanged = false;
    bool logFolderChanged = false;
    bool alarmsChanged = false; // state_dir, max_shelve_min or [notify]
    bool auditTimeChanged = false;
    bool maintenanceChanged = false; // idle_min or allow (a site's port is the site's own)
    bool empty() const
    {
        return added.isEmpty() && removed.isEmpty() && changed.isEmpty() && goldenChanged.isEmpty() && !mqttChanged &&
               !logFolderChanged && !alarmsChanged && !auditTimeChanged && !maintenanceChanged;
    }
};

constexpr int kWatchIntervalMin = 20;
constexpr int kWatchIntervalMax = 60000;
constexpr int kWatchMaxSites = 1000;
constexpr qint64 kWatchFileLimit = 1024 * 1024;
constexpr int kWatchMaxShelveMin = 7 * 24 * 60;
constexpr qint64 kPasswordFileLimit = 4096;
// The topic level under which each watcher publishes its own state: <prefix>/watchd/<client id>.
constexpr char kWatcherTopicLevel[] = "watchd";

// Reads the file at path. dataFolder gives the default log folder (<dataFolder>/logs) and
// state folder ($STATE_DIRECTORY, as systemd's StateDirectory= sets it, else
// <dataFolder>/state).
// On any fault: nullopt, and faults holds one line per fault. With GoldenProblemsKept a golden
// file that cannot be read is no fault: the site says why in goldenProblem (qelvo-cli audit
// tells it as that site's error and reads the others).
enum class WatchLoad { Strict, GoldenProblemsKept };
std::optional<WatchSettings> LoadWatchConfig(const QString &path, const QString &dataFolder, QStringList *faults,
                                             WatchLoad mode = WatchLoad::Strict);
// The 48 settings bytes of a .qvd file's contents as 96 hex digits; empty with why when the
// bytes are no .qvd file the editor could show.
QByteArray GoldenCells(const QByteArray &fileBytes, QString *why);
// "1 2 5" or "1,2,5" (the outputs, 1-8) or "none" as a mask (bit 0 = output 1); nullopt for
// anything else. The text of a mask is written with commas.
std::optional<quint8> ParseOutputList(const QString &text);
QString OutputListText(quint8 mask);
WatchDiff DiffWatchConfig(const WatchSettings &before, const WatchSettings &after);
// Why name cannot name a site although it is written as one ("is a group of this file" ...),
// or empty: the groups of the file and the watchers' own topic level are reserved.
QString ReservedSiteName(const QString &name);
// The first line of a password file (without its line end; the file at most
// kPasswordFileLimit bytes), read through the platform; false with a reason. The watcher and
// the office view read their password files with it.
bool ReadPasswordFile(const QString &path, QString *password, QString *error);
