// bench_overview: the office view with 200 sites, then with 1000. Each fleet size is a run of
// its own process (this program started again for it), one after the other; QELVO_BENCH_SITES
// lists the sizes ("200,1000" unless set; each a multiple of 50, at most 1000). The figures of
// 200 sites keep the names they always had; those of another size carry it (..._1000_sites).
// Below, 200 stands for the size of the run; the steps come 6.3 s apart whatever the size.
//
// In each run, one qelvo-ctrlsim serves 200 controllers on
// consecutive TCP ports of 127.0.0.1, qelvo-watchd polls each once a second and publishes to
// a mosquitto started here, and this process runs the tool itself (its frame, from Main(),
// 1280 x 1000) with ﾂｰﾙ > ｻｲﾄ一覧 open on that broker at 1240 x 860 (some 33 rows in view),
// shown and painting on the display of $DISPLAY (run it under xvfb-run; without a display it
// paints offscreen).
//
// The controllers play one level script (--wave file:), each ahead of the one before by
// period / 200 (6.3 s). The script holds the level between 300 and 700 counts, where no
// output of a blank settings memory closes, except for one 5 s step to 0, where all eight
// close. So every 6.3 s one controller steps to 0, at a moment this program knows: the
// simulator's waveform runs on CLOCK_MONOTONIC from the moment it made its controllers, which
// lies between its start and its first line (that bracket, some 20-70 ms, is printed; its
// earlier end is taken, so a latency may only be too long, by at most the bracket, never too
// short). The sites are numbered in the order
// of their steps (s000 steps 25 s after the start, s001 6.3 s later ...), so the rows that
// turn red are the first rows of the list, which the window shows; the steps before s000's
// (s199, s198 ... at the end of the list) are not counted. The watcher polls every site at
// much the same phase of the second; 6.3 s between steps moves the step against it by 0.3 s
// each time, so ten steps sample the poll's phase evenly.
//
// Once every row has a reading (and two seconds more), it measures for $QELVO_BENCH_SECONDS
// (default 60) this process's processor time against the wall time, then goes on until at
// least ten sites have stepped since the rows were all there:
//   RESULT overview_cpu_percent_200_sites   <processor time / wall time, % of one core>
//   RESULT overview_alarm_latency_ms        <median from the level's step to the row painted red>
//   RESULT overview_alarm_latency_max_ms    <the longest of them>
//   RESULT overview_alarm_pipeline_ms       <median from the reading's "time" to the row painted red>
//   RESULT overview_alarm_pipeline_max_ms   <the longest of them>
// and then for as long again with the table sorted by 水位 (the pointer off the table):
//   RESULT overview_cpu_percent_200_sites_sorted_by_value   <processor time / wall time, %>
//   RESULT overview_stale_alarms_sorted_by_value            <受信なし raised meanwhile; 0>
// The goal of the processor share is 5 % at 200 sites, 10 % beyond; of the pipeline's
// median 30 ms. The last run also feeds a board of one site on the side a day of readings a
// second (the watcher's payloads, on a clock of its own) and prints the most its past (the
// history of the trend window and the row's small trend) took at any ten-minute mark:
//   RESULT overview_history_kb_per_site_day   <KB; goal at most 100>
// "Painted red": SiteBoard::alarmRaised has come (the model's background of the row is the
// alarm's red then), and the table's viewport has painted a region over that row; the moment
// is taken when the event loop comes back after that paint, so the flush to the display is
// in it. The step-to-red latency holds the poll's phase: the watcher asks each controller
// once a second, so a step waits up to a second for the next "N"/"Y"; that part alone is
// 500 ms on the average. The pipeline latency starts at the reading's "time" (when the
// controller's "N" reply came to the watcher; its "Y" with the outputs follows within a few
// milliseconds on the line) and holds the "Y", the publish, the broker, this process's
// client, the board, the model and the paint.
//
// qelvo-watchd is taken from $QELVO_WATCHD, qelvo-ctrlsim from $QELVO_CTRLSIM, else both next
// to this program (../tools/...); mosquitto from the system. Each of them dies with this
// process, however it ends (PR_SET_PDEATHSIG); SIGINT, SIGTERM and SIGHUP end the run the
// normal way, with the scratch folders removed.
#include "BenchCommon.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "doubles/RecordingProcess.h"
#include "fleet/frmSites1.h"
#include "platform/Clock.h"
#include "platform/QtSerialPort.h"

#include <QCursor>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QMdiSubWindow>
#include <QPaintEvent>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pwd.h>
#include <cerrno>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
// The fleet's size of this run (QELVO_BENCH_SITES; one size a process).
int kSites = 200;
constexpr int kIntervalMs = 1000;
// The level script: one sample every kSampleMs over the period; controller i runs
// i x kStaggerMs ahead, so one steps to 0 every kStaggerMs. The samples fill the period
// evenly for a fleet of a multiple of 50 sites.
constexpr qint64 kStaggerMs = 6300, kSampleMs = 5000;
constexpr int kSitesStep = 50;
qint64 kPeriodMs = kStaggerMs * kSites;
int kSamples = int(kPeriodMs / kSampleMs);
// The sample at 0: controller 0 reaches it kFirstStepMs after the simulator's start.
constexpr int kZeroSample = 5;
constexpr qint64 kFirstStepMs = kZeroSample * kSampleMs;
constexpr int kMinAlarms = 10;

QString watchdProgram() { return BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd")); }

// The site of controller i: numbered in the order of the steps, s000 first after the start.
int rankOf(int controller) { return (kSites - controller) % kSites; }
QString siteName(int rank) { return QStringLiteral("s%1").arg(rank, 3, 10, QLatin1Char('0')); }

// SIGINT, SIGTERM and SIGHUP end the run the normal way, so the helper programs are stopped
// and the scratch folders removed: the handler writes a byte to a pipe, which the event loop
// hears.
int s_signalPipe[2] = {-1, -1};
bool s_interrupted = false;
void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(s_signalPipe[1], &byte, 1);
}

bool spin(int ms, const std::function<bool()> &done = {}) { return spinEvents(ms, done, &s_interrupted); }
quint16 freePorts(int count) { return freeLocalPorts(count); }

// A helper program that ends with this process, whichever way this one ends.
void diesWithUs(QProcess &p)
{
    const pid_t parent = getpid();
    p.setChildProcessModifier([parent] {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(1);
    });
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray tail(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().right(3000) : QByteArray();
}


// One alarm, in CLOCK_MONOTONIC ns.
struct SeenAlarm {
    QString site;
    QString cause;
    qint64 stepNs = -1;    // the controller's level stepped to 0
    qint64 readNs = -1;    // the reading's "time"
    qint64 raisedNs = -1;  // SiteBoard::alarmRaised
    qint64 paintedNs = -1; // the viewport painted over the red row, and the loop came back
    bool red = false;      // the model's background of the row was the alarm's red when raised
    bool inView = false;
    int viewRow = -1, firstShown = -1, lastShown = -1; // where the row was when raised, and the rows in view
};

// Watches the table's viewport for the paints that show the alarms' rows.
class PaintWatch : public QObject {
public:
    QList<SeenAlarm> *alarms = nullptr;
    frmSites1 *window = nullptr;
    qint64 paints = 0;
    double paintedShare = 0; // the viewport's share painted, summed over the paints

    bool eventFilter(QObject *o, QEvent *e) override
    {
        if (e->type() != QEvent::Paint || o != window->SiteTable->viewport())
            return false;
        const QRegion region = static_cast<QPaintEvent *>(e)->region();
        const QRect all = window->SiteTable->viewport()->rect();
        qint64 area = 0;
        for (const QRect &r : region.intersected(all))
            area += qint64(r.width()) * r.height();
        ++paints;
        paintedShare += all.isEmpty() ? 0 : double(area) / (qint64(all.width()) * all.height());
        QList<int> shown;
        for (int i = 0; i < alarms->size(); ++i) {
            const SeenAlarm &a = alarms->at(i);
            if (a.paintedNs < 0 && a.raisedNs >= 0 && region.intersects(rowRect(a.site)))
                shown << i;
        }
        if (!shown.isEmpty())
            QTimer::singleShot(0, this, [this, shown] {
                const qint64 now = monoNs();
                for (int i : shown)
                    (*alarms)[i].paintedNs = now;
            });
        return false;
    }

    // The row of the site in the viewport's coordinates; empty when it is not in view.
    QRect rowRect(const QString &site) const
    {
        const int row = window->board()->indexOf(site);
        if (row < 0)
            return QRect();
        const QModelIndex i = window->proxy()->mapFromSource(window->model()->index(row, 0));
        const QRect cell = window->SiteTable->visualRect(i);
        const QRect r(0, cell.y(), window->SiteTable->viewport()->width(), cell.height());
        return i.isValid() ? r.intersected(window->SiteTable->viewport()->rect()) : QRect();
    }
};

// The median; of an even count, the mean of the middle two.
double median(QList<double> v)
{
    if (v.isEmpty())
        return -1;
    std::sort(v.begin(), v.end());
    const qsizetype n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}
double maxOf(const QList<double> &v) { return v.isEmpty() ? -1 : *std::max_element(v.begin(), v.end()); }

// The fleet sizes of QELVO_BENCH_SITES ("200,1000" unless set): each a multiple of 50 from 50
// to the board's bound; empty when one is not.
QList<int> benchSizes()
{
    const QByteArray given = qEnvironmentVariableIsSet("QELVO_BENCH_SITES") ? qgetenv("QELVO_BENCH_SITES") : "200,1000";
    QList<int> sizes;
    for (const QByteArray &part : given.simplified().replace(' ', ',').split(',')) {
        bool ok = false;
        const int n = part.toInt(&ok);
        if (!ok || n < kSitesStep || n > SiteBoard::kMaxRows || n % kSitesStep != 0)
            return {};
        sizes << n;
    }
    return sizes;
}

// More than one size: this program once per size, one after the other, each a process of its
// own (so the first size's figures are taken as a run of that size alone takes them), its
// output passed on. A signal that ends this process ends the run of the moment the same way.
pid_t s_phase = -1;
void onPhaseSignal(int sig)
{
    if (s_phase > 0)
        ::kill(s_phase, sig);
}
int runPhases(char *argv[], const QList<int> &sizes)
{
    struct sigaction sa = {};
    sa.sa_handler = onPhaseSignal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    int failed = 0;
    for (int k = 0; k < sizes.size(); ++k) {
        printf("== %d sites\n", sizes[k]);
        fflush(stdout);
        const pid_t parent = getpid();
        const pid_t child = fork();
        if (child == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent)
                _exit(1);
            setenv("QELVO_BENCH_SITES", QByteArray::number(sizes[k]).constData(), 1);
            // The day of history is measured once, in the last run.
            setenv("QELVO_BENCH_HISTORY", k + 1 == sizes.size() ? "1" : "0", 1);
            execv("/proc/self/exe", argv);
            _exit(127);
        }
        if (child < 0)
            return 1;
        s_phase = child;
        int status = 0;
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        s_phase = -1;
        const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        failed += ok ? 0 : 1;
        if (!ok && WIFSIGNALED(status))
            break; // interrupted: the next size is not started
    }
    return failed == 0 ? 0 : 1;
}

// The clock of a day fed to a board on the side: it stands still until set, its timers never
// fall due.
class DayClock : public ClockService {
public:
    qint64 ms = 0;
    QDateTime epoch = QDateTime::currentDateTimeUtc();
    QDateTime now() override { return epoch.addMSecs(ms); }
    qint64 elapsedMs() override { return ms; }
    void sleep(int m) override { ms += m; }
    void doEvents() override {}
    void waitForEvent(int m) override { ms += m; }

protected:
    void timerStart(WindowTimer *) override {}
    void timerStop(WindowTimer *) override {}
};

// The memory a row's past takes on its board: the history the trend window draws and the
// small trend of the row.
qint64 pastBytes(const SiteBoard &board, int row)
{
    const auto h = board.history(row);
    return (h ? h->bytes() : 0) + board.sparklineBytes(row);
}

// A day of readings a second, as a watcher publishes them, fed to a board of one site on its
// own clock (the board's own path: the payloads parsed, the history and the small trend kept
// as in the view). The value moves (a slow wave, a step a minute, some noise) so every slot of
// the band and every point of the trend has its own lowest and highest. The most its past
// took at any ten-minute mark of the day, in bytes.
qint64 dayOfHistoryBytes()
{
    DayClock day;
    installClock(&day);
    qint64 most = 0;
    {
        SiteBoard board;
        QRandomGenerator noise(42);
        const qint64 t0 = day.epoch.toMSecsSinceEpoch();
        for (int s = 0; s < 86400; ++s) {
            day.ms = s * 1000LL;
            const double value = 5 + 2 * std::sin(2 * M_PI * s / 7200.0) + (s % 60 < 5 ? -1 : 0) + noise.bounded(100) / 1000.0;
            const QByteArray payload =
                QStringLiteral("{\"site\":\"s000\",\"value\":%1,\"unit\":\"m\",\"count\":%2,\"outputs\":\"%3\",\"time\":\"%4\"}")
                    .arg(value, 0, 'f', 2)
                    .arg(int(value * 100) % 1024)
                    .arg(s % 60 < 5 ? QStringLiteral("01") : QStringLiteral("00"))
                    .arg(QDateTime::fromMSecsSinceEpoch(t0 + s * 1000LL, Qt::UTC).toString(Qt::ISODateWithMs))
                    .toUtf8();
            board.takeMessage(QStringLiteral("bench"), QStringLiteral("bench/s000/reading"), payload);
            if (s % 600 == 599)
                most = qMax(most, pastBytes(board, 0));
        }
        most = qMax(most, pastBytes(board, 0));
    }
    installClock(nullptr);
    return most;
}
} // namespace

int main(int argc, char *argv[])
{
    const QList<int> sizes = benchSizes();
    if (sizes.isEmpty()) {
        printf("ERROR: QELVO_BENCH_SITES must list fleet sizes, each a multiple of %d up to %d\n", kSitesStep,
               SiteBoard::kMaxRows);
        return 1;
    }
    if (sizes.size() > 1)
        return runPhases(argv, sizes);
    kSites = sizes.first();
    kPeriodMs = kStaggerMs * kSites;
    kSamples = int(kPeriodMs / kSampleMs);
    // The figures of the first fleet keep their names; another size's carry it.
    const QString sized = kSites == 200 ? QString() : QStringLiteral("_%1_sites").arg(kSites);
    const double cpuGoal = kSites <= 200 ? 5 : 10;
    // A real display where there is one (xvfb-run), so the window is shown and paints there.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && !qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb");
    BenchProcess bench(argc, argv);
    if (!bench.ready)
        return 1;
    const int seconds = qEnvironmentVariableIsSet("QELVO_BENCH_SECONDS") ? qEnvironmentVariableIntValue("QELVO_BENCH_SECONDS") : 60;
    const QString mosquitto = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
    if (!QFileInfo(watchdProgram()).isExecutable() || mosquitto.isEmpty() || seconds < 5) {
        printf("ERROR: %s\n", seconds < 5 ? "QELVO_BENCH_SECONDS must be at least 5"
                              : mosquitto.isEmpty() ? "mosquitto is not installed"
                                                    : qPrintable("qelvo-watchd not found at " + watchdProgram() +
                                                                 " (set QELVO_WATCHD)"));
        return 1;
    }
    const QTemporaryDir &home = bench.home;
    QEventLoop measuring;
    if (::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    QSocketNotifier signalled(s_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalled, &QSocketNotifier::activated, [&] {
        char byte;
        while (::read(s_signalPipe[0], &byte, 1) > 0) {
        }
        s_interrupted = true;
        measuring.quit();
    });
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    RecordingProcess proc;
    QtSerialPort port;
    installProcess(&proc);
    installSerialPort(&port);
    const auto finish = [&](int rc) {
        if (s_interrupted)
            printf("ERROR: interrupted\n");
        delete g_frmMdi1;
        installSerialPort(nullptr);
        installProcess(nullptr);
        return rc;
    };
    if (!seedDataFiles())
        return finish(1);

    // The broker. Its queue for this process holds what a start of the whole fleet sends at
    // once (a state and a reading of every site, and more), which mosquitto's default of 1000
    // messages does not for 1000 sites.
    const quint16 brokerPort = freePorts(1);
    QProcess broker;
    diesWithUs(broker);
    bool ok = brokerPort != 0 &&
              writeFile(home.filePath("mosquitto.conf"),
                        QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n"
                                       "max_queued_messages %3\n")
                            .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name)).arg(brokerPort)
                            .arg(4 * kSites + 1000)
                            .toUtf8());
    ok = ok && startBenchBroker(broker, mosquitto, home.filePath("mosquitto.conf"), brokerPort);

    // The controllers, their script, and the moment their waveform started.
    QByteArray script = "# 300-700 counts, 5 s a sample, and one sample at 0\n";
    for (int k = 0; k < kSamples; ++k)
        script += QByteArray::number(k == kZeroSample ? 0 : int(std::lround(500 + 200 * std::sin(2 * M_PI * k / 30.0)))) + '\n';
    const quint16 first = freePorts(kSites);
    QProcess sims;
    diesWithUs(sims);
    sims.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const qint64 simBeforeNs = monoNs();
    ok = ok && first != 0 && writeFile(home.filePath("levels.txt"), script) &&
         startCtrlsim(sims, {"--tcp", QStringLiteral("%1-%2").arg(first).arg(first + kSites - 1), "--wave",
                             "file:" + home.filePath("levels.txt"), "--period", QString::number(kPeriodMs / 1000.0),
                             "--quiet"});
    const qint64 simAfterNs = monoNs();
    if (!ok) {
        printf("ERROR: mosquitto or qelvo-ctrlsim did not start\n");
        return finish(1);
    }
    // When controller i's level last stepped to 0, at or before nowNs.
    const auto stepBefore = [&](int controller, qint64 nowNs) {
        const qint64 periodNs = kPeriodMs * 1000000LL;
        const qint64 phaseNs = kPeriodMs * 1000LL * controller / kSites * 1000;
        const qint64 base = simBeforeNs + kFirstStepMs * 1000000LL - phaseNs;
        const qint64 k = qint64(std::floor(double(nowNs - base) / double(periodNs)));
        return base + k * periodNs;
    };

    // The office: the tool, with its site list on the broker, its window large.
    Main();
    ok = g_frmMdi1 && bench.dlg.unexpected == 0;
    SiteSource src;
    src.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort);
    src.topicPrefix = QStringLiteral("bench");
    ok = ok && SaveSiteSource(src);
    if (ok) {
        g_frmMdi1->resize(1280, 1000);
        g_subMenuCommand(18);
        ok = g_frmSites1 != nullptr;
    }
    if (!ok) {
        printf("ERROR: the site list did not open (%s)\n", qPrintable(bench.dlg.unexpectedWhat.join(" | ")));
        return finish(1);
    }
    frmSites1 *w = g_frmSites1;
    if (auto *sub = qobject_cast<QMdiSubWindow *>(w->parentWidget()))
        sub->setGeometry(0, 0, 1240, 860);

    QList<SeenAlarm> alarms;
    int otherAlarms = 0;
    const qint64 epochToMonoNs = QDateTime::currentMSecsSinceEpoch() * 1000000LL - monoNs();
    const QMetaObject::Connection hook = QObject::connect(w->board(), &SiteBoard::alarmRaised, w, [&](const QString &name, AlarmCause why) {
        const int index = w->board()->indexOf(name);
        const BoardRow &r = w->board()->rows().at(index);
        const QString cause = AlarmCauseText(why);
        const int rank = r.name.mid(1).toInt();
        if (!r.name.startsWith(QLatin1Char('s')) || cause != QStringLiteral("出力1 ON")) {
            ++otherAlarms;
            printf("  an alarm not of a step: %s %s\n", qPrintable(r.name), qPrintable(cause));
            return;
        }
        SeenAlarm a;
        a.site = r.name;
        a.cause = cause;
        a.raisedNs = monoNs();
        a.stepNs = stepBefore((kSites - rank) % kSites, a.raisedNs);
        a.readNs = r.lastSampleMs >= 0 ? r.lastSampleMs * 1000000LL - epochToMonoNs : -1;
        a.red = w->model()->index(index, 0).data(Qt::BackgroundRole).value<QColor>() == QColor(0xD0, 0x10, 0x10);
        a.viewRow = w->proxy()->mapFromSource(w->model()->index(index, 0)).row();
        a.firstShown = w->SiteTable->rowAt(0);
        a.lastShown = w->SiteTable->rowAt(w->SiteTable->viewport()->height() - 1);
        alarms << a;
    });
    PaintWatch paints;
    paints.alarms = &alarms;
    paints.window = w;
    w->SiteTable->viewport()->installEventFilter(&paints);

    // The watcher.
    QString ini = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=%2\n[mqtt]\nurl=mqtt://127.0.0.1:%3\ntopic_prefix=bench\n"
                                 "client_id=bench-watchd\n[sites]\n")
                      .arg(home.filePath("logs")).arg(kIntervalMs).arg(brokerPort);
    for (int i = 0; i < kSites; ++i)
        ini += QStringLiteral("%1=tcp://127.0.0.1:%2\n").arg(siteName(rankOf(i))).arg(first + i);
    for (int i = 0; i < kSites; ++i)
        ini += QStringLiteral("[%1]\ntitle=観測所%2\n").arg(siteName(rankOf(i))).arg(rankOf(i) + 1);
    QProcess watchd;
    diesWithUs(watchd);
    watchd.setStandardOutputFile(home.filePath("watchd.out"));
    watchd.setStandardErrorFile(home.filePath("watchd.err"));
    ok = writeFile(home.filePath("watchd.ini"), ini.toUtf8());
    if (ok) {
        watchd.start(watchdProgram(), {home.filePath("watchd.ini")});
        ok = watchd.waitForStarted(5000);
    }
    const auto withReading = [&] {
        int n = 0;
        for (const BoardRow &r : w->board()->rows())
            n += r.lastMs >= 0 ? 1 : 0;
        return n;
    };
    const int readyMs = qMax(60000, kSites * 120);
    ok = ok && spin(readyMs, [&] { return withReading() == kSites; });
    const qint64 readyNs = monoNs();
    if (!ok) {
        printf("ERROR: %d of %d rows had a reading within %d s\n%s\n", withReading(), kSites, readyMs / 1000,
               tail(home.filePath("watchd.err")).constData());
        return finish(1);
    }
    printf("qelvo-ctrlsim started its waveform within %.1f ms (so a step -> red latency may be that much too long);"
           " all %d rows had a reading %.1f s after it\n",
           (simAfterNs - simBeforeNs) / 1e6, kSites, (readyNs - simBeforeNs) / 1e9);
    spin(2000);
    if (s_interrupted)
        return finish(1);

    // The processor share, over one run of the event loop.
    const qint64 paints0 = paints.paints;
    const int firstResorts0 = w->resorts();
    const bool pointerOver0 = w->pointerOverTable();
    const double share0 = paints.paintedShare;
    const qint64 wall0 = monoNs(), cpu0 = cpuNs();
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, &measuring, &QEventLoop::quit);
    measuring.exec();
    const double wall = (monoNs() - wall0) / 1e9, cpu = (cpuNs() - cpu0) / 1e9;
    const qint64 paintCount = paints.paints - paints0;
    const double paintShare = paintCount ? (paints.paintedShare - share0) / paintCount : 0;
    const int firstResorts = w->resorts() - firstResorts0;
    // The steps from s000's on, after every row had its reading.
    const auto measured = [&](const SeenAlarm &a) { return a.stepNs >= readyNs && a.site.mid(1).toInt() < kSites / 2; };
    const auto counted = [&](const SeenAlarm &a) { return measured(a) && a.paintedNs >= 0; };
    const auto countedAlarms = [&] { return int(std::count_if(alarms.begin(), alarms.end(), counted)); };
    // A step comes every 6.3 s: enough of them for the latency.
    spin(int((kMinAlarms + 2) * kStaggerMs + kFirstStepMs), [&] { return countedAlarms() >= kMinAlarms; });
    if (s_interrupted)
        return finish(1);
    const double rss = procStatusMb(0, "VmHWM");
    qint64 pastNow = 0;
    for (int i = 0; i < w->board()->rows().size(); ++i)
        pastNow += pastBytes(*w->board(), i);
    const double pastKb = pastNow / 1024.0 / qMax<qsizetype>(1, w->board()->rows().size());
    // The latency is of the alarms so far, the site order's: sorted by 水位 below, the rows that
    // turn red go to the end of the list, out of view.
    const QList<SeenAlarm> seen = alarms;

    // The same, sorted by 水位, a column every reading changes (the pointer off the table, as
    // an operator's who watches): the rows sorted again at most once a second, the share of
    // the processor that of the site order, and no 受信なし raised for want of the messages.
    int staleRaised = 0;
    const QMetaObject::Connection staleHook = QObject::connect(
        w->board(), &SiteBoard::alarmRaised, w, [&](const QString &, AlarmCause why) { staleRaised += why == AlarmCause::Stale; });
    QCursor::setPos(g_frmMdi1->mapToGlobal(QPoint(g_frmMdi1->width() - 2, g_frmMdi1->height() - 2)));
    w->SiteTable->sortByColumn(SiteTableModel::ColValue, Qt::DescendingOrder);
    spin(1500);
    const int resorts0 = w->resorts();
    const quint64 dropped0 = w->board()->droppedMessages();
    const qint64 sortedWall0 = monoNs(), sortedCpu0 = cpuNs();
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, &measuring, &QEventLoop::quit);
    measuring.exec();
    const double sortedWall = (monoNs() - sortedWall0) / 1e9, sortedCpu = (cpuNs() - sortedCpu0) / 1e9;
    const int resorted = w->resorts() - resorts0;
    const quint64 sortedDropped = w->board()->droppedMessages() - dropped0;
    QObject::disconnect(staleHook);
    if (s_interrupted)
        return finish(1);

    QList<double> total, pipeline, poll, paint, way;
    int late = 0;
    for (const SeenAlarm &a : seen) {
        if (!measured(a))
            continue;
        if (!a.red || a.paintedNs < 0) {
            printf("  %s: %s (row %d of the view when raised, rows %d-%d in view)\n", qPrintable(a.site),
                   !a.red ? "the row was not red when its alarm was raised" : "the red row was never painted",
                   a.viewRow, a.firstShown, a.lastShown);
            ++late;
            continue;
        }
        total << (a.paintedNs - a.stepNs) / 1e6;
        pipeline << (a.paintedNs - a.readNs) / 1e6;
        poll << (a.readNs - a.stepNs) / 1e6;
        paint << (a.paintedNs - a.raisedNs) / 1e6;
        way << (a.raisedNs - a.readNs) / 1e6;
        printf("  %s: step -> reading %.0f ms, reading -> raised %.1f ms, raised -> painted %.1f ms\n", qPrintable(a.site),
               poll.last(), (a.raisedNs - a.readNs) / 1e6, paint.last());
    }
    if (late > 0) {
        int untitled = 0;
        for (const BoardRow &r : w->board()->rows())
            untitled += r.title.isEmpty() ? 1 : 0;
        printf("  rows without a title: %d; the first in view:", untitled);
        for (int v = 0; v < 3 && v < w->proxy()->rowCount(); ++v)
            printf(" %s", qPrintable(w->proxy()->index(v, 0).data().toString() + "/" +
                                     w->proxy()->index(v, 0).data(SiteTableModel::kNameRole).toString()));
        printf("\n");
    }
    const bool sane = !poll.isEmpty() && *std::min_element(poll.begin(), poll.end()) > -20 &&
                      *std::max_element(poll.begin(), poll.end()) < 2 * kIntervalMs + 500;

    // The end: the picture of the window as measured, then the watcher stopped first (its
    // sites' last states turn every row red; those alarms are not steps).
    const bool shot = w->grab().save(QStringLiteral("bench_overview.png"));
    QObject::disconnect(hook);
    w->SiteTable->viewport()->removeEventFilter(&paints);
    ::kill(pid_t(watchd.processId()), SIGTERM);
    const bool ended = watchd.waitForFinished(5000) && watchd.exitStatus() == QProcess::NormalExit && watchd.exitCode() == 0;
    stopProcess(watchd);
    stopProcess(sims);
    stopProcess(broker);

    const bool dayWanted = qgetenv("QELVO_BENCH_HISTORY") != "0";
    const qint64 dayBytes = dayWanted ? dayOfHistoryBytes() : 0;

    const auto goal = [](bool met, const char *missed) { return met ? QByteArray("(goal met)") : QByteArray("(goal ") + missed + " MISSED)"; };
    const QByteArray cpuMissed = QByteArray::number(cpuGoal) + " %";
    printf("office view, %d sites at %d ms, %.1f s measured: processor %.2f s (%.2f %% of one core) %s\n", kSites, kIntervalMs,
           wall, cpu, 100 * cpu / wall, goal(100 * cpu / wall <= cpuGoal, cpuMissed).constData());
    printf("  the table's viewport painted %.1f times a second, %.1f %% of it on the average; peak resident %.1f MB;"
           " %llu messages dropped; %d alarms that were no step; picture %s\n",
           paintCount / wall, 100 * paintShare, rss, w->board()->droppedMessages(), otherAlarms,
           shot ? "bench_overview.png" : "not saved");
    printf("  sorted again %d times meanwhile (by サイト); the pointer %s the table when it began\n", firstResorts,
           pointerOver0 ? "over" : "not over");
    printf("  %d alarms measured: step -> red median %.0f ms, max %.0f ms %s; reading -> red median %.1f ms, max %.1f ms %s;"
           " of that, reading -> raised (the watcher's \"Y\" and publish, the broker, this process's client: the"
           " message's way here) median %.1f ms and raised -> painted median %.1f ms; step -> reading (the poll's phase)"
           " median %.0f ms\n",
           int(total.size()), median(total), maxOf(total), goal(median(total) <= 500, "500 ms").constData(),
           median(pipeline), maxOf(pipeline), goal(median(pipeline) <= 30, "30 ms").constData(), median(way), median(paint),
           median(poll));
    printf("sorted by 水位, %.1f s measured: processor %.2f s (%.2f %% of one core) %s; sorted again %d times"
           " (%.2f a second); %llu messages dropped; 受信なし raised %d times %s\n",
           sortedWall, sortedCpu, 100 * sortedCpu / sortedWall, goal(100 * sortedCpu / sortedWall <= cpuGoal, cpuMissed).constData(),
           resorted, resorted / sortedWall, sortedDropped, staleRaised, goal(staleRaised == 0, "0").constData());
    printf("  clean stop of qelvo-watchd: %s\n", ended ? "exit 0" : "FAILED");
    printf("  a row's past after the run (some minutes of readings): %.1f KB on the average\n", pastKb);
    if (dayWanted)
        printf("a day of readings a second fed to a board of one site on the side: its past took at most %.1f KB %s\n",
               dayBytes / 1024.0, goal(dayBytes <= 100 * 1024, "100 KB").constData());
    printf("RESULT overview_cpu_percent_%d_sites %.2f\n", kSites, 100 * cpu / wall);
    printf("RESULT overview_cpu_percent_%d_sites_sorted_by_value %.2f\n", kSites, 100 * sortedCpu / sortedWall);
    printf("RESULT overview_stale_alarms_sorted_by_value%s %d\n", qPrintable(sized), staleRaised);
    printf("RESULT overview_alarm_latency_ms%s %.1f\n", qPrintable(sized), median(total));
    printf("RESULT overview_alarm_latency_max_ms%s %.1f\n", qPrintable(sized), maxOf(total));
    printf("RESULT overview_alarm_pipeline_ms%s %.1f\n", qPrintable(sized), median(pipeline));
    printf("RESULT overview_alarm_pipeline_max_ms%s %.1f\n", qPrintable(sized), maxOf(pipeline));
    if (dayWanted)
        printf("RESULT overview_history_kb_per_site_day %.1f\n", dayBytes / 1024.0);
    if (total.size() < kMinAlarms || late > 0 || !sane || !ended || staleRaised > 0) {
        printf("ERROR: %s\n", total.size() < kMinAlarms ? "fewer alarms than needed"
                              : staleRaised > 0         ? "受信なし raised while sorted by 水位"
                              : late > 0                ? "an alarm row was not shown red"
                              : !sane                   ? "the steps' moments do not agree with the readings' times"
                                                        : "qelvo-watchd did not stop cleanly");
        return finish(1);
    }
    return finish(bench.dlg.unexpected == 0 ? 0 : 1);
}
