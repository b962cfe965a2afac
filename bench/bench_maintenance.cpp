// bench_maintenance: a site's line lent through the watcher. One qelvo-ctrlsim serves 100
// controllers on consecutive TCP ports of 127.0.0.1; qelvo-cli reads the first one's 48
// settings bytes directly (ports/COM1 names its TCP port) before the watcher starts, then
// qelvo-watchd watches all 100 once a second, publishing to a mosquitto started here, and
// qelvo-cli reads the same controller through the first site's maintenance port
// (ports/COM2: rfc2217://127.0.0.1:PORT). Each read is a whole qelvo-cli run, the median of
// $QELVO_BENCH_RUNS (default 5):
//   RESULT maintenance_read_ratio       <median read through the watcher / median direct read>
//   RESULT maintenance_other_gap_ratio  <the other 99 sites' largest gap between two readings
//                                        while the reads through the watcher ran / their
//                                        interval>
// qelvo-watchd and qelvo-cli are taken from $QELVO_WATCHD and $QELVO_CLI, else next to this
// program; qelvo-ctrlsim as the other benchmarks take it; mosquitto from the system.
#include "BenchCommon.h"

#include "fleet/MqttClient.h"
#include "platform/ComPorts.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>

#include <csignal>
#include <cstdio>
#include <map>
#include <pwd.h>
#include <unistd.h>

namespace {
constexpr int kSites = 100;
constexpr int kIntervalMs = 1000;

QString watchdProgram() { return BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd")); }
QString cliProgram() { return BuiltProgram("QELVO_CLI", QStringLiteral("cli/qelvo-cli")); }
bool spin(int ms, const std::function<bool()> &done = {}) { return spinEvents(ms, done, nullptr); }

bool mapPort(int com, const QString &address)
{
    QDir().mkpath(ComPortsFolder());
    QFile f(ComPortsFolder() + QStringLiteral("/COM%1").arg(com));
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(address.toUtf8() + '\n') > 0;
}

// One qelvo-cli read of COM n to its end, the events going on; its wall time in ms, or -1.
double timedRead(int com, const QString &out)
{
    QProcess p;
    p.setStandardErrorFile(QProcess::nullDevice());
    QElapsedTimer t;
    t.start();
    p.start(cliProgram(), {"read", QStringLiteral("COM%1").arg(com), "-o", out});
    const bool done = spin(60000, [&] { return p.state() == QProcess::NotRunning; });
    const double ms = double(t.nsecsElapsed()) / 1e6;
    return done && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 ? ms : -1;
}
} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!useBenchEnvironment(home))
        return 1;
    QCoreApplication app(argc, argv);
    const int runs = qEnvironmentVariableIsSet("QELVO_BENCH_RUNS") ? qMax(1, qEnvironmentVariableIntValue("QELVO_BENCH_RUNS")) : 5;
    if (!builtProgramFound(watchdProgram(), "QELVO_WATCHD") || !builtProgramFound(cliProgram(), "QELVO_CLI"))
        return 1;
    const QString mosquitto = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
    if (mosquitto.isEmpty()) {
        printf("ERROR: mosquitto is not installed\n");
        return 1;
    }
    const quint16 brokerPort = freeLocalPorts(1);
    QFile conf(home.filePath("mosquitto.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\nlog_dest none\n")
                   .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name))
                   .arg(brokerPort)
                   .toUtf8());
    conf.close();
    QProcess broker;
    bool ok = startBenchBroker(broker, mosquitto, conf.fileName(), brokerPort);
    const quint16 first = freeLocalPorts(kSites);
    const quint16 maintenance = freeLocalPorts(1);
    QProcess sims;
    sims.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ok = ok && first != 0 && maintenance != 0 &&
         startCtrlsim(sims, {"--tcp", QStringLiteral("%1-%2").arg(first).arg(first + kSites - 1), "--wave", "sine",
                             "--period", "60", "--demo", "--quiet"});
    if (!ok) {
        printf("ERROR: mosquitto or qelvo-ctrlsim did not start\n");
        return 1;
    }

    // Direct reads of the first controller, nothing else on its line.
    mapPort(1, QStringLiteral("tcp://127.0.0.1:%1").arg(first));
    mapPort(2, QStringLiteral("rfc2217://127.0.0.1:%1").arg(maintenance));
    QList<double> direct, through;
    for (int i = 0; i < runs; ++i)
        direct << timedRead(1, home.filePath("direct.qvd"));

    // The office: every reading's time, per site.
    std::map<QString, QList<qint64>> times;
    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort);
    o.clientId = QStringLiteral("bench-maint-office");
    MqttClient office(o);
    QObject::connect(&office, &MqttClient::messageReceived, [&](const QString &topic, const QByteArray &payload, bool) {
        const qint64 ts = qint64(QJsonDocument::fromJson(payload).object().value("ts").toDouble());
        if (ts > 0)
            times[topic.section('/', 1, 1)] << ts;
    });
    office.start();
    ok = spin(5000, [&] { return office.isConnected(); }) && office.subscribe("benchm/+/reading", 1) >= 0;

    QString ini = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=%2\n[mqtt]\nurl=mqtt://127.0.0.1:%3\n"
                                 "topic_prefix=benchm\nclient_id=bench-maint\n[sites]\n")
                      .arg(home.filePath("logs"))
                      .arg(kIntervalMs)
                      .arg(brokerPort);
    for (int i = 0; i < kSites; ++i)
        ini += QStringLiteral("s%1=tcp://127.0.0.1:%2\n").arg(i, 3, 10, QLatin1Char('0')).arg(first + i);
    ini += QStringLiteral("[s000]\nmaintenance_port=%1\n").arg(maintenance);
    QFile iniFile(home.filePath("watchd.ini"));
    iniFile.open(QIODevice::WriteOnly);
    iniFile.write(ini.toUtf8());
    iniFile.close();
    QProcess watchd;
    watchd.setProcessChannelMode(QProcess::SeparateChannels);
    watchd.start(watchdProgram(), {iniFile.fileName()});
    ok = ok && watchd.waitForStarted(5000) && spin(30000, [&] { return times.size() == size_t(kSites); });
    if (!ok) {
        printf("ERROR: %d of %d sites sent a reading within 30 s\n%s", int(times.size()), kSites,
               watchd.readAllStandardError().right(2000).constData());
        return 1;
    }
    spin(3000);

    const qint64 from = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < runs; ++i)
        through << timedRead(2, home.filePath("through.qvd"));
    const qint64 to = QDateTime::currentMSecsSinceEpoch();
    spin(2000);

    // The other sites' largest gap within the reads (the edges count from the reads' start
    // and to their end, so a site that stopped for the whole of it shows).
    qint64 worst = 0;
    QString worstSite;
    for (const auto &[site, ts] : times) {
        if (site == QLatin1String("s000"))
            continue;
        qint64 last = -1;
        for (const qint64 t : ts) {
            if (t < from - kIntervalMs || t > to + kIntervalMs)
                continue;
            if (last >= 0 && t - last > worst) {
                worst = t - last;
                worstSite = site;
            }
            last = t;
        }
    }
    ::kill(pid_t(watchd.processId()), SIGTERM);
    const bool ended = watchd.waitForFinished(5000) && watchd.exitCode() == 0;
    office.stop();
    stopProcess(sims);
    stopProcess(broker);

    QFile a(home.filePath("direct.qvd")), b(home.filePath("through.qvd"));
    const bool same = a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly) && a.readAll() == b.readAll();
    if (direct.contains(-1) || through.contains(-1) || !same) {
        printf("ERROR: a read failed (direct %d, through the watcher %d, same bytes %s)\n", int(direct.count(-1)),
               int(through.count(-1)), same ? "yes" : "no");
        return 1;
    }
    const double d = medianOf(direct), t = medianOf(through);
    printf("qelvo-cli read of one controller, median of %d runs each\n", runs);
    printf("  direct              %.0f ms\n", d);
    printf("  through the watcher %.0f ms (the watcher polling %d sites at %d ms)\n", t, kSites, kIntervalMs);
    printf("  other sites         largest gap %lld ms (%s) over %.1f s of reads\n", worst, qPrintable(worstSite),
           (to - from) / 1000.0);
    printf("  clean stop          %s\n", ended ? "exit 0" : "FAILED");
    printf("RESULT maintenance_read_ratio %.3f\n", t / d);
    printf("RESULT maintenance_other_gap_ratio %.3f\n", double(worst) / kIntervalMs);
    return ended ? 0 : 1;
}
