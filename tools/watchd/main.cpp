// qelvo-watchd: watches every controller of a configuration file without
// windows, logs each site's readings in the log filer's files, and publishes
// readings and states over MQTT.
#include "fleet/WatchAlarms.h"
#include "fleet/Watcher.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/EpollDispatcher.h"
#include "platform/Paths.h"
#include "platform/ProcessSignals.h"
#include "platform/TextFile.h"

#include "qelvo_version.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QStringList>
#include <QUrl>

#include <csignal>
#include <cstdio>

namespace {
const char kHelp[] =
    R"(qelvo-watchd - watch a fleet of water-level comparator controllers

Usage:
  qelvo-watchd FILE           watch the sites of FILE in the foreground
  qelvo-watchd --check FILE   only check FILE: one line per fault, exit status 2 when any
  qelvo-watchd --help         this text
  qelvo-watchd --version      the version

Each site of FILE is polled at its interval ("N", then "Y", as the input monitor does) on
its own port. Its readings go to LOG_FOLDER/SITE/qlvYYYYMMDD.csv in the log filer's format,
and with an [mqtt] group to the broker (JSON, QoS 1):
  PREFIX/SITE/reading          site, time, ts (ms since 1970-01-01 UTC), count, value,
                               unit (V, mA or m), outputs (two hex digits), output1 ...
                               output8 (true or false), quality (good, no-value,
                               no-outputs or type-assumed), late (true: it waited for
                               the broker and comes after the live readings)
  PREFIX/SITE/state            retained: state, code, since, reason, title, watchd,
                               warn_outputs, interval_ms; log while the site's log
                               cannot be written ("disk full"); dropped when its queue
                               gave readings up; maintenance (rfc2217://HOST:PORT) for
                               a site whose line may be lent, and client while it is
  PREFIX/watchd/CLIENT_ID      retained: running (with sites, since, version and the
                               counts of commands and notifications), or offline (also
                               the last will); a site's state holds only while its
                               watcher's says running
  PREFIX/SITE/alarms           retained: {"site","seq","alarms":[{"cause","state","raised",
                               "cleared","acked_by","acked_at","shelved_by","shelved_until",
                               "reason"}]}, every alarm that is not normal
  homeassistant/...            with homeassistant_discovery=true: Home Assistant's
                               discovery of each site (a sensor, a binary sensor per
                               warning output)
Its log goes to standard error (the journal under systemd), one line each: the broker's
connection, each site's input type, each change of a site's state and each alarm
transition.

States (and their codes):
  starting  connecting          the port opens and the first reading is awaited
  online    ok                  readings come
  refused   controller-refused  the controller answered "?" to the polls for 20 s
  garbled   reply-garbled       what came for 20 s was no answer: the line's speed or settings
  no-reply  no-reply            nothing came for 20 s: the controller's power or its line
  lost      open-failed         the port did not open; tried again after 1, 2, 4 ... 60 s
            connection-lost     the port or the connection went away; tried again as well
  stopped   watcher-stopped     the watcher stopped
  maintenance maintenance       the line is lent to a client of the site's maintenance port
  starting  resuming            the client left; the polls resume

Maintenance: with [maintenance] listen=127.0.0.1:7000 (the k-th site of [sites], from 0,
gets 7000+k) or a site's maintenance_port=, the watcher serves each site's line there as
an RFC 2217 device server: a client (the tool or qelvo-cli with rfc2217://HOST:PORT in
ports/COMn) holds the line while the site's polls pause, its log run ends and its alarms
are suppressed (DSUPR); the line stays 9600 8N1; one client at a time; a client that sends
nothing for idle_min (default 10) is dropped; the polls resume when it leaves. Only the
loopback address is served unless allow= names the clients' address blocks (CIDR).

Readings taken while the broker is away wait in each site's queue (queue_limit; past it
the oldest go, counted in the state's dropped) and follow the live readings when it is
back, marked late, in order per site, at most backlog_rate a second.

Alarms: one per site and cause (output1-output8 of the site's warn_outputs; no-reply,
lost, refused and garbled: the site's states of those names), in the states UNACK (active,
not acknowledged), ACKED, RTNUN (returned, not acknowledged), SHLVD (shelved by a user
until a time) and DSUPR (the site out of service). They are kept in STATE_DIR/alarms-CLIENT_ID.json across restarts and journaled in
LOG_FOLDER/alarms/qlvalarmYYYYMMDD.csv. A user acts by publishing on
PREFIX/command/USER/SITE (only USER may, by the broker's ACL):
  {"id":"1","action":"ack","cause":"output1"}       (cause: one cause, or "all")
  {"id":"2","action":"shelve","cause":"output2","minutes":60,"reason":"..."}
  {"id":"3","action":"unshelve","cause":"output2"}
and is answered on PREFIX/command/USER/SITE/result with {"id","ok","reason"}.

Signals: SIGTERM and SIGINT end every log run with its end block, publish the final
states and end the program (exit status 0); SIGHUP reads FILE again, starting the sites
added, stopping the sites removed and restarting the sites changed, and connecting again
when the broker's settings or the password changed.

Exit status: 0 after a stop by signal, 1 when the watch cannot start (the log folder, the
broker's settings), 2 for a usage error or a faulty FILE.

FILE (INI; ';' starts a comment):
  [watch]   log_folder (default: the data folder's logs), interval_ms (20-60000, 1000),
            state_dir (the alarms' state; default $STATE_DIRECTORY, else the data folder's
            state), max_shelve_min (the longest shelve, 1-10080, 480)
  [mqtt]    url (mqtt://HOST:PORT or mqtts://HOST:PORT), topic_prefix (qelvo), client_id
            (qelvo-watchd-HOST), username, password_file (its first line is the password;
            others than its owner and group may not read it), ca_file (for mqtts://;
            others may not write it), queue_limit (readings kept per site while the
            broker is away; one hour's worth), backlog_rate (readings that waited,
            published a second, 1-100000; 200), homeassistant_discovery (true or false;
            false), insecure_file_modes (true: password_file and ca_file are taken
            whatever their modes, as a container may need; false)
  [notify]  exec (a program and its arguments, run for each alarm raised with QELVO_SITE,
            QELVO_TITLE, QELVO_CAUSE, QELVO_CAUSE_TEXT, QELVO_STATE, QELVO_TIME,
            QELVO_VALUE, QELVO_EVENT, QELVO_WATCHD and QELVO_JSON in its environment),
            exec_timeout_s (1-3600, 30), renotify_min (again while not acknowledged,
            0-10080, 0: never), webhook (http:// or https://: the alarm POSTed as JSON),
            webhook_timeout_s (1-300, 10), webhook_tries (1-100, 8)
  [sites]   NAME=PORT for each site: COMn, tcp://HOST:PORT or rfc2217://HOST:PORT;
            NAME is 1-40 of A-Z a-z 0-9 _ -, not watch, mqtt, notify, sites, watchd or
            command
  [NAME]    interval_ms, title, input_type (1-5 pins the input type; else it is read
            from the controller's settings at each connect), warn_outputs (the outputs
            that are warning stages, as 1 2 5, or none; all eight)
See qelvo-watchd(1).
)";

// Under systemd the journal stamps each line itself.
bool g_stamp = true;

// One line, whatever the text holds: a line end inside it (a library's message) would
// break the line in two in the journal.
void logLine(const QString &line)
{
    QByteArray out;
    if (g_stamp)
        out = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz ")).toUtf8();
    QByteArray text = line.trimmed().toUtf8();
    text.replace("\r\n", " ").replace('\n', ' ').replace('\r', ' ');
    out += text + '\n';
    std::fwrite(out.constData(), 1, size_t(out.size()), stderr);
    std::fflush(stderr);
}

int usage(const char *why)
{
    std::fprintf(stderr, "qelvo-watchd: %s\nTry 'qelvo-watchd --help'.\n", why);
    return 2;
}
} // namespace

int main(int argc, char **argv)
{
    // Every log line and alarm time is a local time; without TZ the C library looks at the
    // zone file again (a stat) for each conversion. Naming the system's zone file once makes
    // a conversion a computation; the zone is the same one.
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
    // The sites' sockets are watched on epoll: a wake-up costs what is ready, not every
    // socket the watcher holds. QELVO_WATCHD_DISPATCHER=qt takes Qt's own loop instead (to
    // compare the two).
    if (qgetenv("QELVO_WATCHD_DISPATCHER") != "qt") {
        auto *dispatcher = new EpollDispatcher;
        if (dispatcher->isValid())
            QCoreApplication::setEventDispatcher(dispatcher);
        else
            delete dispatcher;
    }
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qelvo-watchd"));
    RaiseOpenFileLimit(); // each logging site keeps its file open beside its socket
    g_stamp = qEnvironmentVariableIsEmpty("JOURNAL_STREAM");
    QStringList args = QCoreApplication::arguments().mid(1);
    bool check = false;
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (args.contains(QStringLiteral("--version")) || args.contains(QStringLiteral("-v"))) {
        std::printf("qelvo-watchd %s\n", QELVO_VERSION);
        return 0;
    }
    if (!args.isEmpty() && args.first() == QStringLiteral("--check")) {
        check = true;
        args.removeFirst();
    }
    if (args.size() != 1)
        return usage(args.isEmpty() ? "a configuration FILE is needed" : "one configuration FILE only");
    if (args.first().startsWith(QLatin1Char('-')))
        return usage(qPrintable(QStringLiteral("unknown option %1").arg(args.first())));
    const QString path = args.first();

    // The exchanges keep their boxes' texts as reasons; the service says what
    // happened itself.
    SilentDialogs silent;
    installDialogs(&silent);

    QStringList faults;
    const std::optional<WatchSettings> settings = LoadWatchConfig(path, DataFolderPath(), &faults);
    if (!settings) {
        for (const QString &f : faults)
            std::fprintf(stderr, "%s\n", qPrintable(f));
        return 2;
    }
    if (check) {
        std::printf("%s: %lld sites, no faults\n", qPrintable(path), qlonglong(settings->sites.size()));
        std::printf("  alarm state in %s, shelves up to %d min\n", qPrintable(settings->stateDir),
                    settings->maxShelveMin);
        const WatchNotify &n = settings->notify;
        if (!n.execProgram.isEmpty())
            std::printf("  exec: %s %s (time-out %d s)\n", qPrintable(n.execProgram), qPrintable(n.execArgs.join(' ')),
                        n.execTimeoutS);
        if (!n.webhook.isEmpty())
            std::printf("  webhook: %s (%d tries, time-out %d s)\n", qPrintable(QUrl(n.webhook).toDisplayString(QUrl::RemoveUserInfo)),
                        n.webhookTries, n.webhookTimeoutS);
        if (n.renotifyMin > 0)
            std::printf("  told again every %d min while not acknowledged\n", n.renotifyMin);
        bool anyMaintenance = false;
        for (const WatchSite &site : settings->sites)
            if (site.maintenancePort > 0) {
                if (!anyMaintenance) {
                    const WatchMaintenance &m = settings->maintenance;
                    std::printf("  maintenance: clients dropped after %s min silent; taken from %s\n",
                                qPrintable(QString::number(m.idleMs / 60000.0, 'g', 4)),
                                m.allow.isEmpty() ? "the loopback address only" : qPrintable(m.allow.join(QStringLiteral(", "))));
                }
                anyMaintenance = true;
                std::printf("  %s: maintenance at %s\n", qPrintable(site.name), qPrintable(site.maintenanceUrl()));
            }
        return 0;
    }

    Watcher watcher(*settings);
    QObject::connect(&watcher, &Watcher::logLine, &watcher, &logLine);
    bool stopping = false;
    std::function<void()> reload;
    TerminationSignals signals_(
        [&](int sig) {
            if (sig == SIGHUP) {
                // Every site opens its port without waiting, so a reload may remove a site
                // whatever it is doing.
                if (!stopping)
                    reload();
                return;
            }
            if (stopping)
                return;
            stopping = true;
            logLine(QStringLiteral("stopping (%1)")
                        .arg(sig == SIGTERM ? QStringLiteral("SIGTERM") : QStringLiteral("SIGINT")));
            watcher.shutdown(1500, [] { QCoreApplication::exit(0); });
        },
        true);
    reload = [&] {
        QStringList reloadFaults;
        const std::optional<WatchSettings> next = LoadWatchConfig(path, DataFolderPath(), &reloadFaults);
        if (!next) {
            for (const QString &f : reloadFaults)
                logLine(f);
            logLine(QStringLiteral("reload refused: the sites go on as they were"));
            return;
        }
        watcher.reload(*next);
    };

    QString error;
    if (!watcher.start(&error)) {
        logLine(QStringLiteral("qelvo-watchd: ") + error);
        return 1;
    }
    logLine(
        QStringLiteral("watching %1 sites; logs in %2, alarms kept in %4%3")
            .arg(watcher.siteCount())
            .arg(settings->logFolder)
            .arg(settings->mqtt
                     ? QStringLiteral("; broker %1, topics %2/").arg(settings->mqtt->url, settings->mqtt->topicPrefix)
                     : QStringLiteral("; no broker"))
            .arg(watcher.alarms().statePath()));
    const int rc = QCoreApplication::exec();
    logLine(QStringLiteral("stopped"));
    return rc;
}
