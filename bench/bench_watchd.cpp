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
// qelvo-watchd is taken from $QELVO_WATCHD, else ../tools/watchd/qelvo-watchd next to this
// program; qelvo-ctrlsim as the other benchmarks take it; mosquitto from the system.
#include "BenchCommon.h"

#include "fleet/MqttClient.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <pwd.h>
#include <unistd.h>

namespace {
constexpr int kSites = 100;
constexpr int kIntervalMs = 1000;

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
};
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
    conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n")
                   .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name)).arg(brokerPort).toUtf8());
    conf.close();
    QProcess broker;
    broker.setStandardOutputFile(QProcess::nullDevice());
    broker.setStandardErrorFile(QProcess::nullDevice());
    broker.start(mosquitto, {"-c", conf.fileName()});
    QTcpSocket probe;
    bool ok = spin(5000, [&] {
        probe.abort();
        probe.connectToHost(QHostAddress::LocalHost, brokerPort);
        return probe.waitForConnected(100);
    });

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
    MqttClient office(o);
    QObject::connect(&office, &MqttClient::messageReceived, [&](const QString &topic, const QByteArray &payload, bool) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QDateTime t = QDateTime::fromString(QJsonDocument::fromJson(payload).object().value("time").toString(), Qt::ISODateWithMs);
        if (!t.isValid())
            return;
        received << Received{t.toMSecsSinceEpoch(), double(now - t.toMSecsSinceEpoch())};
        ++perSite[topic.section('/', 1, 1)];
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

    ::kill(pid_t(pid), SIGTERM);
    const bool ended = watchd.waitForFinished(5000) && watchd.exitStatus() == QProcess::NormalExit && watchd.exitCode() == 0;
    office.stop();
    stopProcess(sims);
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
    printf("RESULT watchd_cpu_percent_100_sites %.2f\n", 100.0 * (cpu1 - cpu0) / wall);
    printf("RESULT watchd_rss_mb_100_sites %.1f\n", rss);
    printf("RESULT watchd_publish_p99_ms %.1f\n", p99);
    printf("RESULT watchd_readings_ratio %.3f\n", latencies.size() / expected);
    return ended ? 0 : 1;
}
