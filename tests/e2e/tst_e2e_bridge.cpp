// A fleet spread over bridged brokers, end to end: two districts, each a mosquitto with its
// own qelvo-watchd watching 20 sites of one qelvo-ctrlsim, both districts bridged to an
// office mosquitto with mosquitto's own bridge settings (connection, address, topic ... both
// 1), everything on ports of 127.0.0.1 picked here. The office side is the project's own
// MqttClient (its session kept) feeding a SiteBoard, as the office view does. In order: the
// office sees every site of both districts, and the bridges make no loop and no watcher
// clears the other's states; a district's broker is restarted; the office's broker is
// restarted (the districts' bridges keep what waits for it); a watcher killed: its last
// will crosses the bridge and the board shows its sites stopped, the other district's
// online; last, every reading of every site's log reached the office.
#include "support/FreePorts.h"
#include "support/Ctrlsim.h"
#include "support/Mosquitto.h"

#include "fleet/MqttClient.h"
#include "fleet/SiteBoard.h"
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

#include <csignal>
#include <map>
#include <memory>
#include <pwd.h>
#include <unistd.h>

namespace {
constexpr int kSitesPerDistrict = 20;
constexpr int kAwayMs = 10000;
const QString kPrefix = QStringLiteral("fleet");

// A mosquitto on 127.0.0.1:port, its sessions and queues kept across a restart (written at
// its end, read at its start), with what else its configuration says (a bridge).
struct Broker {
    QTemporaryDir dir;
    QProcess proc;
    quint16 port = freePort();
    QString extra;
    QString log() const { return dir.filePath("mosquitto.log"); }
    bool start()
    {
        QFile conf(dir.filePath("mosquitto.conf"));
        conf.open(QIODevice::WriteOnly | QIODevice::Truncate);
        conf.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\npersistence true\n"
                                  "persistence_location %3/\nlog_dest file %4\nmax_queued_messages 100000\n%5")
                       .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name))
                       .arg(port)
                       .arg(dir.path(), log(), extra)
                       .toUtf8());
        conf.close();
        return StartMosquitto(proc, conf.fileName(), port);
    }
    void stop() { stopProcess(proc); }
    ~Broker() { stop(); }
};

// A district: its broker bridged to the office, its controllers and its watcher.
struct District {
    QString name; // "a": sites a00 ... a19, watcher watchd-a
    Broker broker;
    QProcess sims, watchd;
    QByteArray watchdErr;
    QTemporaryDir dir;
    quint16 first = 0;
    QString clientId() const { return QStringLiteral("watchd-") + name; }
    QString site(int i) const { return name + QStringLiteral("%1").arg(i, 2, 10, QLatin1Char('0')); }
    QString logs() const { return dir.filePath("logs"); }
    QByteArray says() { return watchdErr += watchd.readAllStandardError(); }
};

// The bridge of a district to the office, as the README shows it.
QString bridgeConfig(const QString &district, quint16 officePort)
{
    return QStringLiteral("connection office-%1\naddress 127.0.0.1:%2\ntopic %3/# both 1\n"
                          "remote_clientid bridge-%1\ncleansession false\nrestart_timeout 1\nkeepalive_interval 5\n")
        .arg(district)
        .arg(officePort)
        .arg(kPrefix);
}

struct Msg {
    QString topic;
    QByteArray payload;
    bool retained;
    qint64 atMs; // on the test's clock
};

// One reading as the office got it.
struct Got {
    Reading reading;
    bool late = false;
};

// A data line of the log without its number: "2026/12/09, 05:09:44, 02.05,V, 10100000".
QString lineKey(const QString &line) { return line.section(QStringLiteral(", "), 1); }
QDateTime lineTime(const QString &key)
{
    return QDateTime::fromString(key.section(QStringLiteral(", "), 0, 1), QStringLiteral("yyyy/MM/dd, HH:mm:ss"));
}
} // namespace

class tst_e2e_bridge : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup()
    {
        if (QTest::currentTestFailed())
            for (District *d : {&m_a, &m_b})
                qInfo("qelvo-watchd of district %s said:\n%s", qPrintable(d->name), d->says().constData());
        if (QTest::currentTestFailed())
            for (const Broker *b : {&m_office, &m_a.broker, &m_b.broker}) {
                QFile log(b->log());
                if (log.open(QIODevice::ReadOnly))
                    qInfo("the broker on port %d logged:\n%s", b->port, log.readAll().right(6000).constData());
            }
    }
    void officeSeesEverySiteOfBoth();
    void districtBrokerRestarted();
    void officeBrokerRestarted();
    void lastWillCrossesTheBridge();
    void everyLoggedReadingReachedTheOffice();

private:
    bool startDistrict(District &d, int com);
    std::map<QString, QList<Got>> received(QString *fault) const;
    QStringList csvKeys(const District &d, const QString &site) const;
    int online(const District &d) const
    {
        int n = 0;
        for (int i = 0; i < kSitesPerDistrict; ++i) {
            const int row = m_board.indexOf(d.site(i));
            n += row >= 0 && m_board.rows()[row].link == BoardRow::Link::Online;
        }
        return n;
    }
    int readingsOf(const QString &site, qint64 sinceMs) const
    {
        int n = 0;
        for (const Msg &m : m_msgs)
            n += m.atMs >= sinceMs && m.topic == kPrefix + QLatin1Char('/') + site + QStringLiteral("/reading");
        return n;
    }
    bool everySiteReads(qint64 sinceMs, int atLeast) const
    {
        for (const District *d : {&m_a, &m_b})
            for (int i = 0; i < kSitesPerDistrict; ++i)
                if (readingsOf(d->site(i), sinceMs) < atLeast)
                    return false;
        return true;
    }

    Broker m_office;
    District m_a, m_b;
    std::unique_ptr<MqttClient> m_sub;
    SiteBoard m_board;
    QList<Msg> m_msgs;
    QElapsedTimer m_clock;
    QDateTime m_awayFrom, m_awayTo, m_killedAt;
};

bool tst_e2e_bridge::startDistrict(District &d, int com)
{
    d.broker.extra = bridgeConfig(d.name, m_office.port);
    if (!d.broker.start())
        return false;
    d.first = freePorts(kSitesPerDistrict);
    if (d.first == 0
        || !startCtrlsim(d.sims, {"--tcp", QStringLiteral("%1-%2").arg(d.first).arg(d.first + kSitesPerDistrict - 1),
                                  "--com", QString::number(com), "--wave", "sine", "--period", "60", "--demo", "--quiet"}))
        return false;
    QString ini = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=1000\n[mqtt]\nurl=mqtt://127.0.0.1:%2\n"
                                 "topic_prefix=%3\nclient_id=%4\n[sites]\n")
                      .arg(d.logs())
                      .arg(d.broker.port)
                      .arg(kPrefix, d.clientId());
    for (int i = 0; i < kSitesPerDistrict; ++i)
        ini += QStringLiteral("%1=tcp://127.0.0.1:%2\n").arg(d.site(i)).arg(d.first + i);
    QFile f(d.dir.filePath("watchd.ini"));
    if (!f.open(QIODevice::WriteOnly) || f.write(ini.toUtf8()) != ini.toUtf8().size())
        return false;
    f.close();
    d.watchd.start(BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd")), {f.fileName()});
    return d.watchd.waitForStarted(5000);
}

void tst_e2e_bridge::initTestCase()
{
    const QString watchd = BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd"));
    QVERIFY2(QFileInfo(watchd).isExecutable(), qPrintable(watchd + " (set QELVO_WATCHD)"));
    QVERIFY2(m_office.start(), "mosquitto did not start (scripts/common.sh installs it)");
    m_clock.start();
    MqttClient::Options o;
    o.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(m_office.port);
    o.clientId = QStringLiteral("office-view");
    o.cleanSession = false;
    o.reconnectMinMs = 200;
    o.reconnectMaxMs = 400;
    m_sub = std::make_unique<MqttClient>(o);
    connect(m_sub.get(), &MqttClient::messageReceived, this, [this](const QString &t, const QByteArray &p, bool r) {
        m_msgs << Msg{t, p, r, m_clock.elapsed()};
        m_board.takeMessage(kPrefix, t, p);
    });
    QSignalSpy subscribed(m_sub.get(), &MqttClient::subscribed);
    QVERIFY(m_sub->start());
    QTRY_VERIFY(m_sub->isConnected());
    QVERIFY(m_sub->subscribe(kPrefix + QStringLiteral("/#"), 1) > 0 && subscribed.wait(5000));

    m_a.name = QStringLiteral("a");
    m_b.name = QStringLiteral("b");
    QVERIFY(startDistrict(m_a, 41));
    QVERIFY(startDistrict(m_b, 42));
}

void tst_e2e_bridge::cleanupTestCase()
{
    m_sub.reset();
    for (District *d : {&m_a, &m_b}) {
        stopProcess(d->watchd);
        stopProcess(d->sims);
        d->broker.stop();
    }
    m_office.stop();
}

// The office, subscribed to its own broker only, sees the 40 sites of both districts online
// with their readings, each watcher "running"; every message came once (a bridge that sent
// the office's messages back down and up again would double them), and neither watcher,
// though each sees the other's retained states through its bridge, clears them.
void tst_e2e_bridge::officeSeesEverySiteOfBoth()
{
    QVERIFY2(QTest::qWaitFor([&] { return online(m_a) == kSitesPerDistrict && online(m_b) == kSitesPerDistrict; }, 30000),
             qPrintable(QStringLiteral("online: a %1, b %2").arg(online(m_a)).arg(online(m_b))));
    QCOMPARE(m_board.rows().size(), 2 * kSitesPerDistrict);
    const qint64 since = m_clock.elapsed();
    QVERIFY(QTest::qWaitFor([&] { return everySiteReads(since, 5); }, 15000));
    for (const District *d : {&m_a, &m_b}) {
        const int row = m_board.indexOf(d->site(7));
        QCOMPARE(m_board.rows()[row].watcher, d->clientId());
        QVERIFY(m_board.rows()[row].valueValid);
        QVERIFY(m_board.history(row)->size() >= 5);
    }
    bool running[2] = {false, false};
    QHash<QByteArray, int> copies;
    int readings = 0;
    for (const Msg &m : m_msgs) {
        if (m.topic.endsWith(QLatin1String("/state")) && m.payload.isEmpty())
            QFAIL(qPrintable("a state cleared: " + m.topic));
        for (int k = 0; k < 2; ++k)
            if (m.topic == kPrefix + QStringLiteral("/watchd/") + (k ? m_b : m_a).clientId()
                && QJsonDocument::fromJson(m.payload).object().value("state").toString() == QLatin1String("running"))
                running[k] = true;
        if (m.topic.endsWith(QLatin1String("/reading"))) {
            ++readings;
            ++copies[m.payload];
        }
    }
    QVERIFY(running[0] && running[1]);
    QVERIFY2(copies.size() >= readings * 98 / 100, qPrintable(QStringLiteral("%1 readings, %2 different").arg(readings).arg(copies.size())));
}

// District a's broker goes away for 10 s and comes back with what it kept: its watcher's
// readings of the while wait in the watcher's queue and reach the office late; the other
// district goes on as it was.
void tst_e2e_bridge::districtBrokerRestarted()
{
    m_awayFrom = QDateTime::currentDateTime();
    const qint64 awayMs = m_clock.elapsed();
    m_a.broker.stop();
    QTest::qWait(kAwayMs / 2);
    const qint64 midMs = m_clock.elapsed();
    QTest::qWait(kAwayMs / 2);
    for (int i = 0; i < kSitesPerDistrict; ++i)
        QVERIFY2(readingsOf(m_b.site(i), midMs) >= kAwayMs / 2000 - 1, qPrintable(m_b.site(i)));
    QVERIFY2(readingsOf(m_a.site(0), midMs) == 0, "district a's broker was away");
    QVERIFY(m_a.broker.start());
    m_awayTo = QDateTime::currentDateTime();
    // Its sites' readings of the outage come, late, and the live ones again.
    QVERIFY2(QTest::qWaitFor([&] {
        for (int i = 0; i < kSitesPerDistrict; ++i)
            if (readingsOf(m_a.site(i), awayMs) < kAwayMs / 1000 + 3)
                return false;
        return true;
    }, 40000), m_a.says().constData());
}

// The office's broker goes away for 10 s: both districts' bridges keep what the watchers
// publish meanwhile (the watchers never notice) and hand it over when it is back.
void tst_e2e_bridge::officeBrokerRestarted()
{
    const QDateTime awayFrom = QDateTime::currentDateTime();
    const qint64 awayMs = m_clock.elapsed();
    m_office.stop();
    QTest::qWait(kAwayMs);
    const qint64 backMs = m_clock.elapsed();
    QVERIFY(m_office.start());
    QTRY_VERIFY_WITH_TIMEOUT(m_sub->isConnected(), 10000);
    // The watchers' brokers stayed: what was taken meanwhile comes from the bridges' queues,
    // not late from a watcher's.
    int onTime = 0, late = 0;
    const auto meanwhile = [&] {
        onTime = late = 0;
        for (const Msg &m : m_msgs)
            if (m.atMs > awayMs && m.topic.endsWith(QLatin1String("/reading"))) {
                const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
                const QDateTime t = QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs);
                if (t > awayFrom.addMSecs(1000) && t < awayFrom.addMSecs(kAwayMs - 1000))
                    ++(o.value("late").toBool() ? late : onTime);
            }
        return onTime + late;
    };
    const int expected = 2 * kSitesPerDistrict * (kAwayMs / 1000 - 3);
    QVERIFY2(QTest::qWaitFor([&] { return meanwhile() >= expected; }, 60000), qPrintable(QString::number(meanwhile())));
    // mosquitto's bridge tries again at its own pace (some seconds), then hands over its queue.
    qInfo("what the bridges kept came within %lld ms of the office's return", m_clock.elapsed() - backMs);
    QCOMPARE(late, 0);
    const qint64 flushedMs = m_clock.elapsed();
    QVERIFY(QTest::qWaitFor([&] { return everySiteReads(flushedMs, 3); }, 15000));
}

// A watcher killed: its broker publishes its last will, the bridge takes it to the office,
// the board shows that watcher's sites stopped and the other's online; a client that
// subscribes at the office now is told the same by the retained messages.
void tst_e2e_bridge::lastWillCrossesTheBridge()
{
    m_killedAt = QDateTime::currentDateTime();
    const qint64 killedMs = m_clock.elapsed();
    QVERIFY(::kill(pid_t(m_b.watchd.processId()), SIGKILL) == 0);
    QVERIFY(m_b.watchd.waitForFinished(5000));
    const QString willTopic = kPrefix + QStringLiteral("/watchd/") + m_b.clientId();
    QVERIFY(QTest::qWaitFor([&] {
        for (const Msg &m : m_msgs)
            if (m.atMs >= killedMs && m.topic == willTopic
                && QJsonDocument::fromJson(m.payload).object().value("state").toString() == QLatin1String("offline"))
                return true;
        return false;
    }, 30000));
    for (int i = 0; i < kSitesPerDistrict; ++i)
        QCOMPARE(m_board.rows()[m_board.indexOf(m_b.site(i))].link, BoardRow::Link::ServiceDown);
    QCOMPARE(online(m_a), kSitesPerDistrict);

    MqttClient::Options o = m_sub->options();
    o.clientId = QStringLiteral("office-late-comer");
    o.cleanSession = true;
    MqttClient late(o);
    QHash<QString, QByteArray> kept;
    connect(&late, &MqttClient::messageReceived, this, [&](const QString &t, const QByteArray &p, bool r) {
        if (r)
            kept[t] = p;
    });
    late.start();
    QTRY_VERIFY(late.isConnected());
    QVERIFY(late.subscribe(kPrefix + QStringLiteral("/+/+"), 1) > 0);
    // Every site's state and both watchers' topics (the sites' retained alarms come too).
    const QString aTopic = kPrefix + QStringLiteral("/watchd/") + m_a.clientId();
    QVERIFY(QTest::qWaitFor([&] {
        int states = 0;
        for (auto it = kept.cbegin(); it != kept.cend(); ++it)
            states += it.key().endsWith(QLatin1String("/state"));
        return states >= 2 * kSitesPerDistrict && kept.contains(willTopic) && kept.contains(aTopic);
    }, 5000));
    QCOMPARE(QJsonDocument::fromJson(kept.value(willTopic)).object().value("state").toString(), QStringLiteral("offline"));
    QCOMPARE(QJsonDocument::fromJson(kept.value(aTopic)).object().value("state").toString(), QStringLiteral("running"));
    SiteBoard fresh;
    for (auto it = kept.cbegin(); it != kept.cend(); ++it)
        fresh.takeMessage(kPrefix, it.key(), it.value());
    QCOMPARE(fresh.rows().size(), 2 * kSitesPerDistrict);
}

std::map<QString, QList<Got>> tst_e2e_bridge::received(QString *fault) const
{
    std::map<QString, QList<Got>> out;
    QSet<QByteArray> seen;
    for (const Msg &m : m_msgs) {
        // A QoS 1 message may come twice (the same bytes again): it counts once.
        if (!m.topic.endsWith(QLatin1String("/reading")) || seen.contains(m.payload))
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
        g.late = o.value("late").toBool();
        out[o.value("site").toString()] << g;
    }
    return out;
}

QStringList tst_e2e_bridge::csvKeys(const District &d, const QString &site) const
{
    QStringList keys;
    const QDir dir(d.logs() + QLatin1Char('/') + site);
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

// Every reading of every site's log reached the office, through the district broker's
// restart and the office's (of the killed watcher, those logged up to a second before it
// was killed); those taken while district a's broker was away came late.
void tst_e2e_bridge::everyLoggedReadingReachedTheOffice()
{
    QVERIFY(::kill(pid_t(m_a.watchd.processId()), SIGTERM) == 0);
    QVERIFY(m_a.watchd.waitForFinished(10000));
    QTest::qWait(3000); // what the bridge still had on its way
    QString fault;
    const std::map<QString, QList<Got>> got = received(&fault);
    QVERIFY2(fault.isEmpty(), qPrintable("a reading the office cannot take: " + fault));
    int missing = 0, total = 0, late = 0;
    QString firstMissing;
    for (const District *d : {&m_a, &m_b})
        for (int i = 0; i < kSitesPerDistrict; ++i) {
            const QString site = d->site(i);
            QHash<QString, int> arrived;
            const auto it = got.find(site);
            if (it != got.end())
                for (const Got &g : it->second) {
                    QDateTime t = g.reading.time;
                    t.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
                    ++arrived[lineKey(MakeDataLine(1, t, g.reading, true, true))];
                    if (d == &m_a && g.reading.time > m_awayFrom.addMSecs(1500) && g.reading.time < m_awayTo.addMSecs(-1500)) {
                        QVERIFY2(g.late, qPrintable(site + ": taken while its broker was away, and not late"));
                        ++late;
                    }
                }
            for (const QString &k : csvKeys(*d, site)) {
                if (d == &m_b && lineTime(k) >= m_killedAt.addSecs(-1))
                    continue;
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
    qInfo("%d of %d logged readings reached the office (%d missing), %d of them late", total - missing, total, missing, late);
    QVERIFY2(total > 2 * kSitesPerDistrict * 30, qPrintable(QString::number(total)));
    QVERIFY2(missing == 0, qPrintable(QStringLiteral("%1 readings missing, the first %2").arg(missing).arg(firstMissing)));
    QVERIFY2(late >= kSitesPerDistrict * (kAwayMs / 1000 - 4), qPrintable(QString::number(late)));
    for (const Broker *b : {&m_office, &m_a.broker, &m_b.broker}) {
        QFile log(b->log());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY2(!log.readAll().contains("Outgoing messages are being dropped"), qPrintable(b->log()));
    }
}

QTEST_GUILESS_MAIN(tst_e2e_bridge)
#include "tst_e2e_bridge.moc"
