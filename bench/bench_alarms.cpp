// bench_alarms: the fleet watcher's alarms with 100 sites. One qelvo-ctrlsim serves 99
// controllers at a constant level (no warning output on), another one controller whose level
// steps between 512 and 100 counts every second (--demo: output 1 closes at 100), so its
// output 1, its only warning stage, goes on and off. qelvo-watchd polls the 99 once a second
// and the stepping one every 100 ms, and publishes to a mosquitto started here. Two views
// (the project's MqttClient) take every site's alarms and the stepping site's readings; an
// operator acknowledges each raise as soon as the first view shows it.
//
// Once every site has sent a reading (and two seconds more), it measures for
// $QELVO_BENCH_SECONDS (default 60):
//   RESULT alarm_publish_ms_median / alarm_publish_ms_p99
//       from the "time" of the reading whose output 1 differs from the one before to the
//       alarm message (a raise, or a clear) at the first view
//   RESULT ack_roundtrip_ms_median / ack_roundtrip_ms_p99
//       from the acknowledgement published to both views holding ACKED
//   RESULT alarms_watchd_cpu_percent   the watcher's processor time / wall time
// A reading's "time" is when the controller's "N" reply came; its "Y", which carries the
// outputs, follows within a few milliseconds on the line, so the first figure is an upper
// bound of the time from the reading complete in the watcher to the alarm at a view.
//
// qelvo-watchd is taken from $QELVO_WATCHD, else ../tools/watchd/qelvo-watchd next to this
// program; qelvo-ctrlsim as the other benchmarks take it; mosquitto from the system.
#include "BenchCommon.h"

#include "fleet/AlarmBook.h"
#include "fleet/MqttClient.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>

#include <csignal>
#include <cstdio>
#include <pwd.h>
#include <unistd.h>

namespace {
constexpr int kSites = 100;
constexpr int kStepIntervalMs = 100;
const QString kStepSite = QStringLiteral("step");

QString watchdProgram()
{
    return BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd"));
}

double cpuSeconds(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = f.readAll();
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 13 ? (fields[11].toDouble() + fields[12].toDouble()) / double(sysconf(_SC_CLK_TCK)) : -1;
}

double percentile(QList<double> v, int p)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v[qMin(v.size() - 1, v.size() * p / 100)];
}

std::unique_ptr<MqttClient> client(const QString &id, quint16 port)
{
    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(port);
    o.clientId = id;
    return std::make_unique<MqttClient>(o);
}

QString output1(const QByteArray &alarms)
{
    SiteAlarms s;
    if (!ParseAlarmsPayload(alarms, &s))
        return QString();
    for (const Alarm &a : s.alarms)
        if (a.cause == AlarmCause::Output1)
            return QLatin1String(AlarmStateName(a.state()));
    return QStringLiteral("NORM");
}
} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!useBenchEnvironment(home))
        return 1;
    QCoreApplication app(argc, argv);
    const int seconds =
        qEnvironmentVariableIsSet("QELVO_BENCH_SECONDS") ? qEnvironmentVariableIntValue("QELVO_BENCH_SECONDS") : 60;
    if (!builtProgramFound(watchdProgram(), "QELVO_WATCHD"))
        return 1;
    const QString mosquitto = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
    if (mosquitto.isEmpty() || seconds < 5) {
        printf("ERROR: %s\n", seconds < 5 ? "QELVO_BENCH_SECONDS must be at least 5" : "mosquitto is not installed");
        return 1;
    }

    const quint16 brokerPort = freeLocalPorts(1);
    QFile conf(home.filePath("mosquitto.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n")
                   .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name))
                   .arg(brokerPort)
                   .toUtf8());
    conf.close();
    QProcess broker;
    bool ok = startBenchBroker(broker, mosquitto, conf.fileName(), brokerPort);

    // The controllers: 99 steady ones, and the one that steps.
    const quint16 first = freeLocalPorts(kSites);
    QFile wave(home.filePath("wave.txt"));
    wave.open(QIODevice::WriteOnly);
    wave.write("512\n100\n");
    wave.close();
    QProcess steady, stepping;
    steady.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    stepping.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ok = ok && first != 0 &&
         startCtrlsim(steady, {"--tcp", QStringLiteral("%1-%2").arg(first).arg(first + kSites - 2), "--level", "512",
                               "--demo", "--quiet"}) &&
         startCtrlsim(stepping, {"--tcp", QString::number(first + kSites - 1), "--wave", "file:" + wave.fileName(),
                                 "--period", "2", "--demo", "--quiet"});
    if (!ok) {
        printf("ERROR: mosquitto or qelvo-ctrlsim did not start\n");
        return 1;
    }

    // The views, and the operator.
    struct Seen {
        QString state;
        qint64 atMs = 0;
    };
    QList<Seen> view[2];
    QHash<QString, int> readings;
    QList<QPair<qint64, int>> steps; // the reading's time, output 1 after it
    int lastOut = -1;
    QList<double> publishMs;
    std::unique_ptr<MqttClient> views[2] = {client("bench-view-1", brokerPort), client("bench-view-2", brokerPort)};
    std::unique_ptr<MqttClient> op = client("bench-operator", brokerPort);
    bool measuring = false;
    qint64 ackSentNs = -1;
    QList<double> ackMs;
    int ackSeen = 0;
    for (int v = 0; v < 2; ++v) {
        QObject::connect(views[v].get(), &MqttClient::messageReceived, [&, v](const QString &topic, const QByteArray &p, bool) {
            const qint64 now = QDateTime::currentMSecsSinceEpoch();
            const QString site = topic.section('/', 1, 1);
            if (topic.endsWith("/reading")) {
                ++readings[site];
                if (v == 0 && site == kStepSite) {
                    const QJsonObject o = QJsonDocument::fromJson(p).object();
                    const int out = o.value("outputs").toString().toInt(nullptr, 16) & 1;
                    if (out != lastOut && lastOut >= 0)
                        steps << qMakePair(
                            QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs).toMSecsSinceEpoch(), out);
                    lastOut = out;
                }
                return;
            }
            if (!topic.endsWith("/alarms") || site != kStepSite)
                return;
            const QString state = output1(p);
            if (!view[v].isEmpty() && view[v].last().state == state)
                return;
            view[v] << Seen{state, now};
            if (v == 0 && measuring && (state == "UNACK" || state == "NORM" || state == "RTNUN")) {
                // The step that made it: the newest reading whose output 1 changed to what the
                // state says, at or before now.
                const int want = state == "UNACK" ? 1 : 0;
                for (qsizetype i = steps.size() - 1; i >= 0; --i)
                    if (steps[i].second == want) {
                        if (steps[i].first <= now && now - steps[i].first < 5000)
                            publishMs << double(now - steps[i].first);
                        break;
                    }
            }
            if (v == 0 && state == "UNACK" && ackSentNs < 0 && measuring) {
                ackSentNs = monoNs();
                ackSeen = 0;
                op->publish(QStringLiteral("bench/command/operator/%1").arg(kStepSite),
                            R"({"id":"b","action":"ack","cause":"output1"})", 1, false);
            }
            if (state == "ACKED" && ackSentNs >= 0 && ++ackSeen == 2) {
                ackMs << (monoNs() - ackSentNs) / 1e6;
                ackSentNs = -1;
            }
        });
        views[v]->start();
    }
    op->start();
    ok = spinEvents(5000, [&] { return views[0]->isConnected() && views[1]->isConnected() && op->isConnected(); });
    for (auto &v : views)
        ok = ok && v->subscribe("bench/+/alarms", 1) >= 0 && v->subscribe("bench/+/reading", 1) >= 0;

    QString ini = QStringLiteral("[watch]\nlog_folder=%1\nstate_dir=%2\ninterval_ms=1000\n[mqtt]\nurl=mqtt://127.0.0.1:%3\n"
                                 "topic_prefix=bench\nclient_id=bench-watchd\n[sites]\n")
                      .arg(home.filePath("logs"), home.filePath("state"))
                      .arg(brokerPort);
    for (int i = 0; i < kSites - 1; ++i)
        ini += QStringLiteral("s%1=tcp://127.0.0.1:%2\n").arg(i, 3, 10, QLatin1Char('0')).arg(first + i);
    ini += QStringLiteral("%1=tcp://127.0.0.1:%2\n").arg(kStepSite).arg(first + kSites - 1);
    for (int i = 0; i < kSites - 1; ++i)
        ini += QStringLiteral("[s%1]\nwarn_outputs=none\n").arg(i, 3, 10, QLatin1Char('0'));
    ini += QStringLiteral("[%1]\nwarn_outputs=1\ninterval_ms=%2\n").arg(kStepSite).arg(kStepIntervalMs);
    QFile iniFile(home.filePath("watchd.ini"));
    iniFile.open(QIODevice::WriteOnly);
    iniFile.write(ini.toUtf8());
    iniFile.close();
    QProcess watchd;
    watchd.setProcessChannelMode(QProcess::SeparateChannels);
    watchd.start(watchdProgram(), {iniFile.fileName()});
    ok = ok && watchd.waitForStarted(5000) && spinEvents(30000, [&] { return readings.size() == kSites; });
    if (!ok) {
        printf("ERROR: %d of %d sites sent a reading within 30 s\n%s", int(readings.size()), kSites,
               watchd.readAllStandardError().right(2000).constData());
        return 1;
    }
    spinEvents(2000);

    const qint64 pid = watchd.processId();
    const qint64 wall0 = monoNs();
    const double cpu0 = cpuSeconds(pid);
    measuring = true;
    spinEvents(seconds * 1000);
    measuring = false;
    const double cpu1 = cpuSeconds(pid), wall = (monoNs() - wall0) / 1e9;
    spinEvents(500);
    ::kill(pid_t(pid), SIGTERM);
    const bool ended = watchd.waitForFinished(5000) && watchd.exitStatus() == QProcess::NormalExit && watchd.exitCode() == 0;
    for (auto &v : views)
        v->stop();
    op->stop();
    stopProcess(steady);
    stopProcess(stepping);
    stopProcess(broker);

    if (publishMs.isEmpty() || ackMs.isEmpty()) {
        printf("ERROR: no alarm measured (%d published, %d acknowledged)\n", int(publishMs.size()), int(ackMs.size()));
        return 1;
    }
    printf("qelvo-watchd, %d sites, one stepping every second, %.1f s measured\n", kSites, wall);
    printf("  alarm messages  %d measured: reading -> view median %.1f ms, p99 %.1f ms, max %.1f ms\n",
           int(publishMs.size()), percentile(publishMs, 50), percentile(publishMs, 99), percentile(publishMs, 100));
    printf("  acknowledgements %d: command -> both views median %.1f ms, p99 %.1f ms, max %.1f ms\n", int(ackMs.size()),
           percentile(ackMs, 50), percentile(ackMs, 99), percentile(ackMs, 100));
    printf("  processor   %.2f s in %.1f s; clean stop %s\n", cpu1 - cpu0, wall, ended ? "exit 0" : "FAILED");
    printf("RESULT alarm_publish_ms_median %.1f\n", percentile(publishMs, 50));
    printf("RESULT alarm_publish_ms_p99 %.1f\n", percentile(publishMs, 99));
    printf("RESULT ack_roundtrip_ms_median %.1f\n", percentile(ackMs, 50));
    printf("RESULT ack_roundtrip_ms_p99 %.1f\n", percentile(ackMs, 99));
    printf("RESULT alarms_watchd_cpu_percent %.2f\n", 100.0 * (cpu1 - cpu0) / wall);
    return ended ? 0 : 1;
}
