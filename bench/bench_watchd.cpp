// bench_watchd: the fleet watcher with 100 sites. One qelvo-ctrlsim serves 100 controllers
// on consecutive TCP ports of 127.0.0.1 (sine waves, each its own phase), qelvo-watchd polls
// each once a second, logs it and publishes it to a mosquitto started here, and this
// program subscribes to every reading with the project's MqttClient.
//
// Once every site has sent its first reading (and two seconds more), it measures for
// $QELVO_BENCH_SECONDS (default 60):
//   RESULT watchd_cpu_percent_100_sites <the watcher's processor time / wall time, % of one core>
//   RESULT watchd_rss_mb_100_sites      <the watcher's peak resident memory (VmHWM), MB>
//   RESULT watchd_publish_p99_ms        <99th percentile of the reading's "time" to its receipt here>
//   RESULT watchd_readings_ratio        <readings received / 100 a second, over the measured time>
// The "time" of a reading is when the controller's "N" reply came; its "Y" follows within a
// few milliseconds on the line, so the latency is an upper bound of the time from the
// completed reading ("Y") to its receipt.
//
// Then the broker is stopped for 30 s ($QELVO_BENCH_OUTAGE_SECONDS) and started again; the
// subscriber (a session the broker keeps, mosquitto's default limits), which from now on takes
// a millisecond for each message as one that stores the readings does, waits until the
// watcher's backlog has come:
//   RESULT watchd_backlog_delivered_ratio <readings taken while the broker was away and
//                                          received / those in the CSV files>
// Last, a second watcher with 1000 sites on TCP ports where nothing listens (each refused,
// tried again after 1, 2, 4 ... 60 s), its processor share over the measured time after 10 s:
//   RESULT watchd_cpu_percent_1000_idle_sites <% of one core>
// Then, in the same run, a fleet of each size of $QELVO_BENCH_SCALE (default "300,1000"; empty
// for none), each a watcher of its own over one qelvo-ctrlsim, measured as the first:
//   RESULT watchd_cpu_percent_<N>_sites, watchd_rss_mb_<N>_sites, watchd_publish_p99_ms_<N>_sites,
//          watchd_readings_ratio_<N>_sites
//   RESULT watchd_cpu_ratio_<largest>_to_100 <its processor share / that of the 100 sites>
//
// qelvo-watchd is taken from $QELVO_WATCHD, else ../tools/watchd/qelvo-watchd next to this
// program; qelvo-ctrlsim as the other benchmarks take it; mosquitto from the system.
#include "BenchCommon.h"

#include "fleet/MqttClient.h"
#include "platform/TextFile.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <pwd.h>
#include <unistd.h>

namespace {
constexpr int kSites = 100;
constexpr int kIntervalMs = 1000;
constexpr int kIdleSites = 1000;

QString watchdProgram()
{ return BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd")); }

bool spin(int ms, const std::function<bool()> &done = {}) { return spinEvents(ms, done, nullptr); }
quint16 freePorts(int count) { return freeLocalPorts(count); }

// utime + stime of a process, in seconds.
double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    // Fields 14 and 15 of the line; the list starts at field 3.
    return fields.size() > 13 ? (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK)) : -1;
}

struct Received {
    qint64 timeMs; // the reading's time
    double latencyMs;
    bool late;
    qint64 atMs;   // its receipt
};

// The seconds (since the epoch) of every data line of the watcher's CSV files.
QList<qint64> loggedSeconds(const QString &logs)
{
    QList<qint64> out;
    QDirIterator it(logs, {QStringLiteral("*.csv")}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QByteArray bytes;
        if (ReadWholeFile(it.next(), bytes).failed())
            continue;
        for (const QByteArray &line : bytes.split('\n')) {
            if (line.isEmpty() || line.at(0) < '0' || line.at(0) > '9')
                continue;
            // "000001, 2026/12/09, 05:09:44, ..."
            const QList<QByteArray> f = line.split(',');
            if (f.size() < 3)
                continue;
            const QDateTime t = QDateTime::fromString(QString::fromLatin1(f[1].trimmed() + ' ' + f[2].trimmed()),
                                                      QStringLiteral("yyyy/MM/dd HH:mm:ss"));
            if (t.isValid())
                out << t.toSecsSinceEpoch();
        }
    }
    return out;
}
struct FleetFigures {
    bool ok = false;
    double cpuPercent = 0, rssMb = 0, p99 = 0, readingsRatio = 0;
};

// A watcher of `sites` sites over one qelvo-ctrlsim, its readings taken by a subscriber of
// its own; measured for `seconds` once every site has sent a reading.
FleetFigures measureFleet(int sites, int seconds, quint16 brokerPort, const QString &dir)
{
    FleetFigures out;
    QDir().mkpath(dir);
    const quint16 first = freePorts(sites);
    QProcess sims;
    sims.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (first == 0 || !startCtrlsim(sims, {"--tcp", QStringLiteral("%1-%2").arg(first).arg(first + sites - 1), "--wave",
                                           "sine", "--period", "60", "--demo", "--quiet"})) {
        printf("ERROR: qelvo-ctrlsim did not start %d controllers\n", sites);
        return out;
    }
    const QString prefix = QStringLiteral("bench%1").arg(sites);
    QList<double> latencies;
    qint64 from = 0, to = 0;
    QSet<QString> seenSites;
    QSet<QByteArray> seen;
    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort);
    o.clientId = QStringLiteral("bench-office-%1").arg(sites);
    MqttClient office(o);
    QObject::connect(&office, &MqttClient::messageReceived, [&](const QString &topic, const QByteArray &payload, bool) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QDateTime t = QDateTime::fromString(QJsonDocument::fromJson(payload).object().value("time").toString(),
                                                  Qt::ISODateWithMs);
        if (!t.isValid() || seen.contains(payload))
            return;
        seen << payload;
        seenSites << topic.section('/', 1, 1);
        if (from && t.toMSecsSinceEpoch() >= from && (!to || t.toMSecsSinceEpoch() < to))
            latencies << double(now - t.toMSecsSinceEpoch());
    });
    office.start();
    bool ok = spin(5000, [&] { return office.isConnected(); }) && office.subscribe(prefix + "/+/reading", 1) >= 0;

    QString ini = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=%2\n[mqtt]\nurl=mqtt://127.0.0.1:%3\ntopic_prefix=%4\n"
                                 "client_id=%4-watchd\n[sites]\n")
                      .arg(dir + "/logs").arg(kIntervalMs).arg(brokerPort).arg(prefix);
    for (int i = 0; i < sites; ++i)
        ini += QStringLiteral("s%1=tcp://127.0.0.1:%2\n").arg(i, 4, 10, QLatin1Char('0')).arg(first + i);
    QFile iniFile(dir + "/watchd.ini");
    iniFile.open(QIODevice::WriteOnly);
    iniFile.write(ini.toUtf8());
    iniFile.close();
    QProcess watchd;
    watchd.setStandardOutputFile(QProcess::nullDevice());
    watchd.setStandardErrorFile(dir + "/watchd.err");
    watchd.start(watchdProgram(), {iniFile.fileName()});
    ok = ok && watchd.waitForStarted(5000) && spin(60000, [&] { return seenSites.size() == sites; });
    if (!ok) {
        QFile err(dir + "/watchd.err");
        err.open(QIODevice::ReadOnly);
        printf("ERROR: %d of %d sites sent a reading within 60 s (office %s)\n%s\n", int(seenSites.size()), sites,
               office.isConnected() ? "connected" : "not connected", err.readAll().right(1500).constData());
    } else {
        spin(2000);
        const qint64 pid = watchd.processId();
        from = QDateTime::currentMSecsSinceEpoch();
        const qint64 wall0 = monoNs();
        const double cpu0 = cpuSeconds(pid);
        spin(seconds * 1000);
        to = QDateTime::currentMSecsSinceEpoch();
        const double cpu1 = cpuSeconds(pid), wall = (monoNs() - wall0) / 1e9;
        out.rssMb = procStatusMb(pid, "VmHWM");
        spin(3000); // what was read in the measured time and is still on its way
        std::sort(latencies.begin(), latencies.end());
        out.cpuPercent = 100.0 * (cpu1 - cpu0) / wall;
        out.readingsRatio = latencies.size() / (sites * (to - from) / double(kIntervalMs));
        out.p99 = latencies.isEmpty() ? -1 : latencies[qMin(latencies.size() - 1, latencies.size() * 99 / 100)];
        out.ok = cpu0 >= 0 && cpu1 >= 0 && !latencies.isEmpty();
        printf("qelvo-watchd, %d sites at %d ms, %.1f s measured: %.2f s of processor, %d readings of %.0f, p99 %.1f ms, "
               "peak RSS %.1f MB\n",
               sites, kIntervalMs, wall, cpu1 - cpu0, int(latencies.size()), sites * (to - from) / double(kIntervalMs),
               out.p99, out.rssMb);
    }
    ::kill(pid_t(watchd.processId()), SIGTERM);
    out.ok = out.ok && watchd.waitForFinished(10000) && watchd.exitCode() == 0;
    office.stop();
    stopProcess(sims);
    return out;
}
} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!useBenchEnvironment(home))
        return 1;
    QCoreApplication app(argc, argv);
    const int seconds = qEnvironmentVariableIsSet("QELVO_BENCH_SECONDS") ? qEnvironmentVariableIntValue("QELVO_BENCH_SECONDS") : 60;
    if (!builtProgramFound(watchdProgram(), "QELVO_WATCHD"))
        return 1;
    const QString mosquitto = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
    if (mosquitto.isEmpty() || seconds < 5) {
        printf("ERROR: %s\n", seconds < 5 ? "QELVO_BENCH_SECONDS must be at least 5" : "mosquitto is not installed");
        return 1;
    }

    // The broker.
    const quint16 brokerPort = freePorts(1);
    QFile conf(home.filePath("mosquitto.conf"));
    conf.open(QIODevice::WriteOnly);
    // Its default limits; the subscriber's session is kept across the restart of the outage.
    conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\npersistence true\n"
                              "persistence_location %3/\nlog_dest none\n")
                   .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name)).arg(brokerPort).arg(home.path()).toUtf8());
    conf.close();
    QProcess broker;
    const auto startBroker = [&] { return startBenchBroker(broker, mosquitto, conf.fileName(), brokerPort); };
    bool ok = startBroker();

    // The controllers.
    const quint16 first = freePorts(kSites);
    QProcess sims;
    sims.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ok = ok && first != 0
         && startCtrlsim(sims, {"--tcp", QStringLiteral("%1-%2").arg(first).arg(first + kSites - 1), "--wave", "sine",
                                "--period", "60", "--demo", "--quiet"});
    if (!ok) {
        printf("ERROR: mosquitto or qelvo-ctrlsim did not start\n");
        return 1;
    }

    // The office: every reading, stamped at its receipt.
    QList<Received> received;
    QHash<QString, int> perSite;
    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort);
    o.clientId = QStringLiteral("bench-office");
    o.cleanSession = false;
    o.reconnectMinMs = 200;
    o.reconnectMaxMs = 400;
    MqttClient office(o);
    QSet<QByteArray> seen; // a QoS 1 message may come twice
    bool slowOffice = false;
    QObject::connect(&office, &MqttClient::messageReceived, [&](const QString &topic, const QByteArray &payload, bool) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QJsonObject json = QJsonDocument::fromJson(payload).object();
        const QDateTime t = QDateTime::fromString(json.value("time").toString(), Qt::ISODateWithMs);
        if (!t.isValid() || seen.contains(payload))
            return;
        seen << payload;
        received << Received{t.toMSecsSinceEpoch(), double(now - t.toMSecsSinceEpoch()), json.value("late").toBool(), now};
        ++perSite[topic.section('/', 1, 1)];
        if (slowOffice)
            QThread::usleep(1000);
    });
    office.start();
    ok = spin(5000, [&] { return office.isConnected(); }) && office.subscribe("bench/+/reading", 1) >= 0;

    // The watcher.
    QString ini = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=%2\n[mqtt]\nurl=mqtt://127.0.0.1:%3\ntopic_prefix=bench\n"
                                 "client_id=bench-watchd\n[sites]\n")
                      .arg(home.filePath("logs")).arg(kIntervalMs).arg(brokerPort);
    for (int i = 0; i < kSites; ++i)
        ini += QStringLiteral("s%1=tcp://127.0.0.1:%2\n").arg(i, 3, 10, QLatin1Char('0')).arg(first + i);
    QFile iniFile(home.filePath("watchd.ini"));
    iniFile.open(QIODevice::WriteOnly);
    iniFile.write(ini.toUtf8());
    iniFile.close();
    QProcess watchd;
    watchd.setProcessChannelMode(QProcess::SeparateChannels); // its state lines are not the figures
    watchd.start(watchdProgram(), {iniFile.fileName()});
    ok = ok && watchd.waitForStarted(5000) && spin(30000, [&] { return perSite.size() == kSites; });
    if (!ok) {
        printf("ERROR: %d of %d sites sent a reading within 30 s\n%s", int(perSite.size()), kSites,
               watchd.readAllStandardError().right(2000).constData());
        return 1;
    }
    spin(2000);

    const qint64 pid = watchd.processId();
    const qint64 from = QDateTime::currentMSecsSinceEpoch(), wall0 = monoNs();
    const double cpu0 = cpuSeconds(pid);
    spin(seconds * 1000);
    const qint64 to = QDateTime::currentMSecsSinceEpoch();
    const double cpu1 = cpuSeconds(pid), wall = (monoNs() - wall0) / 1e9;
    double rss = procStatusMb(pid, "VmHWM");
    if (rss < 0)
        rss = procStatusMb(pid, "VmRSS");
    // What was read in the measured time and is still on its way.
    spin(3000);

    // The outage: what the CSV files hold of the seconds strictly inside it must all come.
    const int outage = qEnvironmentVariableIsSet("QELVO_BENCH_OUTAGE_SECONDS")
                           ? qEnvironmentVariableIntValue("QELVO_BENCH_OUTAGE_SECONDS") : 30;
    slowOffice = true;
    const qint64 awayFrom = QDateTime::currentSecsSinceEpoch() + 1;
    stopProcess(broker);
    spin(outage * 1000);
    const qint64 awayTo = QDateTime::currentSecsSinceEpoch() - 1;
    const bool back = startBroker();
    const qint64 backAt = QDateTime::currentMSecsSinceEpoch();
    // Until no reading that waited has come for 5 s (at most two minutes).
    spin(120000, [&] {
        qint64 lastLate = backAt;
        for (const Received &r : std::as_const(received))
            if (r.late)
                lastLate = qMax(lastLate, r.atMs);
        return QDateTime::currentMSecsSinceEpoch() - lastLate > 5000 && QDateTime::currentMSecsSinceEpoch() - backAt > 15000;
    });
    qint64 inside = 0, lateCount = 0, lastLateAt = backAt;
    for (const Received &r : std::as_const(received)) {
        inside += r.timeMs / 1000 >= awayFrom && r.timeMs / 1000 <= awayTo;
        if (r.late) {
            ++lateCount;
            lastLateAt = qMax(lastLateAt, r.atMs);
        }
    }

    ::kill(pid_t(pid), SIGTERM);
    const bool ended = watchd.waitForFinished(5000) && watchd.exitStatus() == QProcess::NormalExit && watchd.exitCode() == 0;
    qint64 logged = 0;
    for (const qint64 sec : loggedSeconds(home.filePath("logs")))
        logged += sec >= awayFrom && sec <= awayTo;
    stopProcess(sims);

    // 1000 sites whose ports refuse every connection.
    const quint16 closed = freePorts(kIdleSites);
    QString idleIni = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=1000\n[mqtt]\nurl=mqtt://127.0.0.1:%2\n"
                                     "topic_prefix=bench-idle\nclient_id=bench-idle\n[sites]\n")
                          .arg(home.filePath("idle-logs")).arg(brokerPort);
    for (int i = 0; i < kIdleSites; ++i)
        idleIni += QStringLiteral("i%1=tcp://127.0.0.1:%2\n").arg(i, 4, 10, QLatin1Char('0')).arg(closed + i);
    QFile idleFile(home.filePath("idle.ini"));
    idleFile.open(QIODevice::WriteOnly);
    idleFile.write(idleIni.toUtf8());
    idleFile.close();
    QProcess idle;
    idle.setStandardOutputFile(QProcess::nullDevice());
    idle.setStandardErrorFile(QProcess::nullDevice());
    idle.start(watchdProgram(), {idleFile.fileName()});
    const bool idleStarted = closed != 0 && idle.waitForStarted(5000);
    spin(10000);
    const double idleCpu0 = cpuSeconds(idle.processId()), idleWall0 = monoNs();
    spin(seconds * 1000);
    const double idleCpu1 = cpuSeconds(idle.processId()), idleWall = (monoNs() - idleWall0) / 1e9;
    ::kill(pid_t(idle.processId()), SIGTERM);
    const bool idleEnded = idleStarted && idle.waitForFinished(10000) && idle.exitCode() == 0;
    office.stop();

    // The fleets of the other sizes, on the same broker.
    QList<QPair<int, FleetFigures>> scale;
    const QString sizes = qEnvironmentVariableIsSet("QELVO_BENCH_SCALE") ? qEnvironmentVariable("QELVO_BENCH_SCALE")
                                                                          : QStringLiteral("300,1000");
    for (const QString &n : sizes.split(',', Qt::SkipEmptyParts))
        if (n.toInt() > 0)
            scale << qMakePair(n.toInt(), measureFleet(n.toInt(), seconds, brokerPort, home.filePath("scale-" + n)));
    stopProcess(broker);

    QList<double> latencies;
    for (const Received &r : std::as_const(received))
        if (r.timeMs >= from && r.timeMs < to)
            latencies << r.latencyMs;
    std::sort(latencies.begin(), latencies.end());
    const double expected = kSites * (to - from) / double(kIntervalMs);
    if (latencies.isEmpty() || cpu0 < 0 || cpu1 < 0) {
        printf("ERROR: no readings in the measured time\n");
        return 1;
    }
    const double p50 = latencies[latencies.size() / 2], p99 = latencies[qMin(latencies.size() - 1, latencies.size() * 99 / 100)];
    printf("qelvo-watchd, %d sites at %d ms, %.1f s measured\n", kSites, kIntervalMs, wall);
    printf("  processor   %.2f s in %.1f s\n", cpu1 - cpu0, wall);
    printf("  readings    %d received of %.0f expected; latency median %.1f ms, p99 %.1f ms, max %.1f ms\n",
           int(latencies.size()), expected, p50, p99, latencies.last());
    printf("  clean stop  %s\n", ended ? "exit 0" : "FAILED");
    printf("  outage      %d s: %lld readings logged inside it, %lld of them received; %lld late readings, the last "
           "%.1f s after the broker came back%s\n",
           outage, logged, qMin(inside, logged), lateCount, (lastLateAt - backAt) / 1000.0, back ? "" : " (the broker did not come back)");
    printf("  idle        %d sites on closed ports: %.2f s of processor in %.1f s%s\n", kIdleSites, idleCpu1 - idleCpu0,
           idleWall, idleEnded ? "" : " (the watcher did not stop cleanly)");
    printf("RESULT watchd_cpu_percent_100_sites %.2f\n", 100.0 * (cpu1 - cpu0) / wall);
    printf("RESULT watchd_rss_mb_100_sites %.1f\n", rss);
    printf("RESULT watchd_publish_p99_ms %.1f\n", p99);
    printf("RESULT watchd_readings_ratio %.3f\n", latencies.size() / expected);
    printf("RESULT watchd_backlog_delivered_ratio %.3f\n", logged > 0 ? double(inside) / double(logged) : 0.0);
    printf("RESULT watchd_cpu_percent_1000_idle_sites %.2f\n", 100.0 * (idleCpu1 - idleCpu0) / idleWall);
    bool scaled = true;
    for (const auto &[n, f] : std::as_const(scale)) {
        scaled = scaled && f.ok;
        printf("RESULT watchd_cpu_percent_%d_sites %.2f\n", n, f.cpuPercent);
        printf("RESULT watchd_rss_mb_%d_sites %.1f\n", n, f.rssMb);
        printf("RESULT watchd_publish_p99_ms_%d_sites %.1f\n", n, f.p99);
        printf("RESULT watchd_readings_ratio_%d_sites %.4f\n", n, f.readingsRatio);
    }
    if (!scale.isEmpty() && cpu1 > cpu0)
        printf("RESULT watchd_cpu_ratio_%d_to_100 %.2f\n", scale.last().first,
               scale.last().second.cpuPercent / (100.0 * (cpu1 - cpu0) / wall));
    return ended && idleEnded && back && scaled ? 0 : 1;
}
