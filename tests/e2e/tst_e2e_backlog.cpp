// qelvo-watchd's backlog after a broker outage, end to end: 100 sites of one qelvo-ctrlsim
// polled once a second, a mosquitto with its default limits (each subscriber's queue holds
// 1000 messages, 20 of them in flight) and an ordinary QoS 1 subscriber (the project's own
// MqttClient, its session kept across the broker's restart, taking a millisecond for each
// message as one that stores each reading somewhere does: about 1000 messages a second). The broker is away for 30 s,
// then the watch goes on for five minutes ($QELVO_E2E_BACKLOG_AFTER_S): every reading of
// every site's CSV file must have reached the subscriber, each site's readings in order,
// the ones taken while the broker was away marked late and delivered at the watcher's
// pace, and the broker must never have dropped a message for the subscriber.
#include "support/FreePorts.h"
#include "support/Ctrlsim.h"
#include "support/Mosquitto.h"

#include "fleet/MqttClient.h"
#include "link/Reading.h"
#include "logfiler/modLogFiler.h"
#include "platform/TextFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <csignal>
#include <map>
#include <thread>
#include <pwd.h>
#include <unistd.h>

namespace {
constexpr int kSites = 100;
constexpr int kAwayMs = 30000;

// mosquitto with nothing but its listener, its sessions kept across a restart, and its log.
struct Broker {
    QTemporaryDir dir;
    QProcess proc;
    quint16 port = freePort();
    QString log() const { return dir.filePath("mosquitto.log"); }
    bool start()
    {
        QFile conf(dir.filePath("mosquitto.conf"));
        conf.open(QIODevice::WriteOnly);
        conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                  "persistence_location %3/\nlog_dest file %4\n")
                       .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name))
                       .arg(port)
                       .arg(dir.path(), log())
                       .toUtf8());
        conf.close();
        return StartMosquitto(proc, conf.fileName(), port);
    }
    void stop() { stopProcess(proc); }
    ~Broker() { stop(); }
};

struct Received {
    QByteArray payload;
    qint64 atMs; // on the test's clock
};

// One reading as the subscriber got it.
struct Got {
    Reading reading;
    bool late = false;
    bool hasLate = false;
    qint64 atMs = 0;
};

// A data line of the log without its number: "2026/12/09, 05:09:44, 02.05,V, 10100000".
QString lineKey(const QString &line) { return line.section(QStringLiteral(", "), 1); }
} // namespace

class tst_e2e_backlog : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void everyReadingArrivesAfterAnOutage();

private:
    QByteArray watchdSays() { return m_watchdErr += m_watchd.readAllStandardError(); }
    std::map<QString, QList<Got>> received(QString *fault) const;
    QStringList csvKeys(const QString &site) const;

    Broker m_broker;
    QTemporaryDir m_dir;
    QProcess m_sims, m_watchd;
    QByteArray m_watchdErr;
    std::unique_ptr<MqttClient> m_sub;
    QList<Received> m_msgs;
    QElapsedTimer m_clock;
    quint16 m_first = 0;
};

void tst_e2e_backlog::initTestCase()
{
    const QString watchd = BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd"));
    QVERIFY2(QFileInfo(watchd).isExecutable(), qPrintable(watchd + " (set QELVO_WATCHD)"));
    QVERIFY2(m_broker.start(), "mosquitto did not start (scripts/common.sh installs it)");
    m_first = freePorts(kSites);
    QVERIFY(m_first != 0);
    QVERIFY(startCtrlsim(m_sims, {"--tcp", QStringLiteral("%1-%2").arg(m_first).arg(m_first + kSites - 1), "--wave",
                                  "sine", "--period", "60", "--demo", "--quiet"}));
    m_clock.start();

    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(m_broker.port);
    o.clientId = QStringLiteral("backlog-subscriber");
    o.cleanSession = false;
    o.reconnectMinMs = 200;
    o.reconnectMaxMs = 400;
    m_sub = std::make_unique<MqttClient>(o);
    connect(m_sub.get(), &MqttClient::messageReceived, this, [this](const QString &, const QByteArray &p, bool) {
        m_msgs << Received{p, m_clock.elapsed()};
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    QSignalSpy subscribed(m_sub.get(), &MqttClient::subscribed);
    QVERIFY(m_sub->start());
    QTRY_VERIFY(m_sub->isConnected());
    QVERIFY(m_sub->subscribe("bk/+/reading", 1) > 0 && subscribed.wait(5000));

    QString ini = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=1000\n[mqtt]\nurl=mqtt://127.0.0.1:%2\n"
                                 "topic_prefix=bk\nclient_id=backlog-watchd\n[sites]\n")
                      .arg(m_dir.filePath("logs"))
                      .arg(m_broker.port);
    for (int i = 0; i < kSites; ++i)
        ini += QStringLiteral("s%1=tcp://127.0.0.1:%2\n").arg(i, 3, 10, QLatin1Char('0')).arg(m_first + i);
    QFile f(m_dir.filePath("watchd.ini"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(ini.toUtf8());
    f.close();
    m_watchd.start(watchd, {f.fileName()});
    QVERIFY(m_watchd.waitForStarted(5000));
}

void tst_e2e_backlog::cleanupTestCase()
{
    m_sub.reset();
    stopProcess(m_watchd);
    stopProcess(m_sims);
    m_broker.stop();
}

std::map<QString, QList<Got>> tst_e2e_backlog::received(QString *fault) const
{
    std::map<QString, QList<Got>> out;
    QSet<QByteArray> seen;
    for (const Received &m : m_msgs) {
        // A QoS 1 message may come twice (the same bytes again): it counts once.
        if (seen.contains(m.payload))
            continue;
        seen << m.payload;
        const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
        const QDateTime t = QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs).toLocalTime();
        const QString outputs = o.value("outputs").toString();
        if (!t.isValid() || o.value("unit").toString() != QLatin1String("V") || outputs.size() != 2) {
            if (fault->isEmpty())
                *fault = QString::fromUtf8(m.payload);
            continue;
        }
        Got g;
        g.reading = MakeReading(t, QString::number(o.value("count").toInt(), 16).rightJustified(4, '0'), outputs,
                                ScaleOfType(1));
        g.hasLate = o.contains("late");
        g.late = o.value("late").toBool();
        g.atMs = m.atMs;
        out[o.value("site").toString()] << g;
    }
    return out;
}

QStringList tst_e2e_backlog::csvKeys(const QString &site) const
{
    QStringList keys;
    const QDir dir(m_dir.filePath("logs/") + site);
    for (const QString &f : dir.entryList({"*.csv"}, QDir::Files, QDir::Name)) {
        QByteArray bytes;
        if (ReadWholeFile(dir.filePath(f), bytes).failed())
            return {QStringLiteral("(%1 cannot be read)").arg(f)};
        for (const QString &l : SjisDecode(bytes).split("\r\n"))
            if (!l.isEmpty() && l.at(0).isDigit())
                keys << lineKey(l);
    }
    return keys;
}

void tst_e2e_backlog::everyReadingArrivesAfterAnOutage()
{
    const int afterS = qEnvironmentVariableIsSet("QELVO_E2E_BACKLOG_AFTER_S")
                           ? qEnvironmentVariableIntValue("QELVO_E2E_BACKLOG_AFTER_S") : 300;
    QString fault;
    QVERIFY2(QTest::qWaitFor([&] { return received(&fault).size() == size_t(kSites); }, 30000), watchdSays().constData());
    QTest::qWait(5000);

    const QDateTime awayFrom = QDateTime::currentDateTime();
    const qint64 awayFromMs = m_clock.elapsed();
    m_broker.stop();
    QTest::qWait(kAwayMs);
    QVERIFY(m_broker.start());
    const QDateTime awayTo = QDateTime::currentDateTime();
    const qint64 backMs = m_clock.elapsed();
    qInfo("the broker was away for %lld ms; the watch goes on for %d s", backMs - awayFromMs, afterS);
    QTest::qWait(afterS * 1000);

    QVERIFY(m_watchd.processId() > 0); // kill(0) would signal the test's own process group
    QVERIFY(::kill(pid_t(m_watchd.processId()), SIGTERM) == 0);
    QVERIFY(m_watchd.waitForFinished(10000));
    QTest::qWait(2000); // what the broker still had on its way
    const std::map<QString, QList<Got>> got = received(&fault);
    QVERIFY2(fault.isEmpty(), qPrintable("a reading the subscriber cannot take: " + fault));

    // Every reading of the logs reached the subscriber. The loss is counted over all sites
    // before anything else is checked, so that a run tells how much went missing.
    int missing = 0, total = 0;
    QString firstMissing;
    for (int i = 0; i < kSites; ++i) {
        const QString site = QStringLiteral("s%1").arg(i, 3, 10, QLatin1Char('0'));
        QHash<QString, int> arrived;
        const auto it = got.find(site);
        if (it != got.end())
            for (const Got &g : it->second) {
                QDateTime t = g.reading.time;
                t.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
                ++arrived[lineKey(MakeDataLine(1, t, g.reading, true, true))];
            }
        for (const QString &k : csvKeys(site)) {
            ++total;
            if (arrived.value(k) > 0) {
                --arrived[k];
            } else {
                ++missing;
                if (firstMissing.isEmpty())
                    firstMissing = site + ": " + k;
            }
        }
    }
    qInfo("%d of %d logged readings reached the subscriber (%d missing)", total - missing, total, missing);
    QFile log(m_broker.log());
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray brokerLog = log.readAll();
    const qsizetype dropLines = brokerLog.count("Outgoing messages are being dropped");
    qInfo("the broker logged %lld times that it dropped messages for a subscriber", qlonglong(dropLines));
    QVERIFY2(total > kSites * (afterS + kAwayMs / 1000) * 9 / 10, qPrintable(QString::number(total)));
    QVERIFY2(missing == 0, qPrintable(QStringLiteral("%1 readings missing, the first %2").arg(missing).arg(firstMissing)));
    QCOMPARE(dropLines, qsizetype(0));

    // Each site: the live readings in order and the late ones in order; taken while the
    // broker was away means late, taken well before it went means live.
    int late = 0;
    qint64 lastLateAtMs = 0;
    QList<qint64> lateAt;
    for (const auto &[site, list] : got) {
        QDateTime lastLive, lastLate;
        for (const Got &g : list) {
            QVERIFY2(g.hasLate, qPrintable(site + ": a reading without \"late\""));
            QDateTime &last = g.late ? lastLate : lastLive;
            QVERIFY2(!last.isValid() || last < g.reading.time,
                     qPrintable(site + ": out of order at " + g.reading.time.toString(Qt::ISODateWithMs)));
            last = g.reading.time;
            if (g.reading.time < awayFrom.addMSecs(-1500))
                QVERIFY2(!g.late, qPrintable(site + ": late before the outage"));
            if (g.reading.time > awayFrom.addMSecs(1500) && g.reading.time < awayTo.addMSecs(-1500))
                QVERIFY2(g.late, qPrintable(site + ": taken while the broker was away, and not late"));
            if (g.late) {
                ++late;
                lastLateAtMs = qMax(lastLateAtMs, g.atMs);
                lateAt << g.atMs;
            }
        }
    }
    QVERIFY2(late >= kSites * (kAwayMs / 1000 - 3), qPrintable(QString::number(late)));
    // The backlog came at the watcher's pace (200 a second), and all of it long before the end.
    std::sort(lateAt.begin(), lateAt.end());
    int most = 0;
    for (qsizetype a = 0, b = 0; b < lateAt.size(); ++b) {
        while (lateAt[b] - lateAt[a] >= 1000)
            ++a;
        most = qMax(most, int(b - a + 1));
    }
    qInfo("%d late readings, at most %d in one second, the last %lld ms after the broker came back", late, most,
          lastLateAtMs - backMs);
    QVERIFY2(most <= 260, qPrintable(QString::number(most)));
    QVERIFY2(lastLateAtMs - backMs < 60000, qPrintable(QString::number(lastLateAtMs - backMs)));
}

int main(int argc, char **argv)
{
    // The watch outlasts the five minutes QtTest gives a test function by default.
    if (qEnvironmentVariableIsEmpty("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "900000");
    QCoreApplication app(argc, argv);
    tst_e2e_backlog t;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&t, argc, argv);
}
#include "tst_e2e_backlog.moc"
