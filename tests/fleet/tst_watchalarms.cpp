// The fleet watcher's alarms on the virtual clock: the sites' readings and states raise and
// clear them (one publish per change of a site, however many outputs changed), commands
// act and are answered (and every malformed, oversized, retained or flooding one changes
// nothing and is counted), the journal holds each transition in the office view's form, the
// state file brings them back after a restart (and a corrupt one is told and set aside),
// and the notifications run their programs and POSTs within their bounds.
#include "support/AppFixture.h"

#include "doubles/RecordingHttp.h"
#include "doubles/RecordingPrograms.h"
#include "fleet/WatchAlarms.h"
#include "fleet/Watcher.h"
#include "link/LinkSession.h"
#include "link/Reading.h"
#include "platform/Dialogs.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {
struct Msg {
    QString topic;
    QByteArray payload;
    bool retain = false;
};

WatchSite site(const QString &name, quint8 warn, const QString &title = {})
{
    WatchSite s;
    s.name = name;
    s.port = QStringLiteral("COM1");
    s.comPort = 1;
    s.warnOutputs = warn;
    s.title = title;
    return s;
}

// A reading of the outputs (bit 0 = output 1) at count 205 (1.00 V), taken now.
Reading reading(int outputs)
{
    return MakeReading(Now(), QStringLiteral("00CD"), QStringLiteral("%1").arg(outputs, 2, 16, QLatin1Char('0')).toUpper(),
                       ScaleOfType(1));
}

QString states(const SiteAlarms &s)
{
    QStringList out;
    for (const Alarm &a : s.alarms)
        out << QLatin1String(AlarmCauseName(a.cause)) + QLatin1Char('=') + QLatin1String(AlarmStateName(a.state()));
    return out.join(QLatin1Char(','));
}

// A watcher's alarms with a broker that takes whatever it is given while "up".
struct Rig {
    QTemporaryDir dir;
    WatchSettings ws;
    QList<Msg> out;
    QStringList log;
    bool up = true;
    std::unique_ptr<WatchAlarms> w;

    Rig()
    {
        ws.logFolder = dir.filePath("logs");
        ws.stateDir = dir.filePath("state");
        WatchMqtt m;
        m.topicPrefix = QStringLiteral("q");
        m.clientId = QStringLiteral("w1");
        ws.mqtt = m;
        ws.sites = {site("a", 0x03, QStringLiteral("川辺第1観測所")), site("b", 0xFF)};
    }
    void start()
    {
        w.reset();
        w = std::make_unique<WatchAlarms>(ws, [this](const QString &t, const QByteArray &p, bool r) {
            if (!up)
                return false;
            out << Msg{t, p, r};
            return true;
        });
        QObject::connect(w.get(), &WatchAlarms::logLine, w.get(), [this](const QString &l) { log << l; });
        w->start();
        for (const WatchSite &s : ws.sites)
            w->siteAdded(s);
        w->connected();
    }
    QList<Msg> take() { return std::exchange(out, {}); }
    // The alarms published for the site, newest; fails the test when none was.
    static SiteAlarms list(const QList<Msg> &msgs, const QString &name)
    {
        for (qsizetype i = msgs.size() - 1; i >= 0; --i)
            if (msgs[i].topic == QStringLiteral("q/%1/alarms").arg(name)) {
                SiteAlarms s;
                QString why;
                if (!ParseAlarmsPayload(msgs[i].payload, &s, &why))
                    qWarning("%s: %s", qPrintable(why), msgs[i].payload.constData());
                return s;
            }
        return {};
    }
    QString now(const QString &name) const { return states(w->book().site(name)); }
    void cmd(const QString &topic, const QByteArray &payload, bool retained = false)
    {
        w->message(topic, payload, retained);
    }
    QStringList journal() const
    {
        QStringList lines = SjisDecode(AppFixture::readFile(w->journalPath(Now().date()))).split(QStringLiteral("\r\n"));
        if (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }
};

QString stamp(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"));
}
} // namespace

class tst_watchalarms : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_f = std::make_unique<AppFixture>();
        m_f->clock.setBase(QDateTime(QDate(2026, 12, 9), QTime(5, 0)));
        installPrograms(&m_progs);
        installHttp(&m_http);
    }
    void cleanup()
    {
        installPrograms(nullptr);
        installHttp(nullptr);
        m_progs = RecordingPrograms();
        m_http = RecordingHttp();
        m_f.reset();
    }
    void conditionsFromTheSites();
    void commands_data();
    void commands();
    void floodsAreBoundedAndCounted();
    void stateFileAcrossARestart();
    void raisesWrittenWithinASecondActsAtOnce();
    void corruptOrUnreadableStateFile();
    void outOfServiceStopAndBrokerAway();
    void programsRunWithinTheirBounds();
    void renotifiedWhileUnacknowledged();
    void webhookRetriesWithBackOff();
    void watcherTakesItsSitesAlarms();
    void statePayloadTellsTheInterval();
    void fullClientQueueCostsOneListAPass();

private:
    std::unique_ptr<AppFixture> m_f;
    RecordingPrograms m_progs;
    RecordingHttp m_http;
};

void tst_watchalarms::conditionsFromTheSites()
{
    Rig r;
    r.start();
    r.take();
    const QDateTime t0 = Now();
    // Output 3 is no warning stage of a: nothing.
    r.w->reading("a", reading(0x04));
    QVERIFY(r.take().isEmpty());
    // Two outputs at once: one message, retained.
    r.w->reading("a", reading(0x07));
    QList<Msg> m = r.take();
    QCOMPARE(m.size(), 1);
    QCOMPARE(m[0].topic, QStringLiteral("q/a/alarms"));
    QVERIFY(m[0].retain);
    QCOMPARE(states(Rig::list(m, "a")), QStringLiteral("output1=UNACK,output2=UNACK"));
    QCOMPARE(Rig::list(m, "a").alarms[0].raised, t0);
    m_f->clock.advance(1000);
    const QDateTime t1 = Now();
    r.w->reading("a", reading(0x01));
    QCOMPARE(states(Rig::list(r.take(), "a")), QStringLiteral("output1=UNACK,output2=RTNUN"));
    m_f->clock.advance(1000);
    const QDateTime t2 = Now();
    r.w->siteState("a", SiteState::NoReply, QStringLiteral("no reply for 20 s"));
    QCOMPARE(states(Rig::list(r.take(), "a")), QStringLiteral("output1=UNACK,output2=RTNUN,no-reply=UNACK"));
    r.w->siteState("a", SiteState::Lost, QStringLiteral("tcp://192.0.2.1:4001: Connection refused"));
    m = r.take();
    QCOMPARE(m.size(), 1);
    QCOMPARE(states(Rig::list(m, "a")), QStringLiteral("output1=UNACK,output2=RTNUN,no-reply=RTNUN,lost=UNACK"));
    // The watcher starting or stopping a site is nothing of the site's.
    r.w->siteState("a", SiteState::Stopped, QString());
    r.w->siteState("a", SiteState::Starting, QString());
    QVERIFY(r.take().isEmpty());
    m_f->clock.advance(1000);
    const QDateTime t3 = Now();
    r.w->reading("a", reading(0x00));
    QCOMPARE(states(Rig::list(r.take(), "a")),
             QStringLiteral("output1=RTNUN,output2=RTNUN,no-reply=RTNUN,lost=RTNUN"));
    QCOMPARE(r.w->book().unacknowledged(), 4);

    // Refusals and garbled answers, as the site's state tells them: one at a time, a reading
    // ends it.
    r.w->siteState("b", SiteState::Refused, QStringLiteral("3 polls refused in a row"));
    QCOMPARE(r.now("b"), QStringLiteral("refused=UNACK"));
    r.w->siteState("b", SiteState::Garbled, QStringLiteral("3 answers not understood in a row"));
    QCOMPARE(r.now("b"), QStringLiteral("refused=RTNUN,garbled=UNACK"));
    r.w->reading("b", reading(0x00));
    QCOMPARE(r.now("b"), QStringLiteral("refused=RTNUN,garbled=RTNUN"));

    // The journal: the office view's line form, the value or the reason of a raise.
    const QString t = stamp(t0);
    QCOMPARE(r.journal().mid(0, 11),
             (QStringList{t + ",a,発生,出力1 ON,,1.00 V", t + ",a,発生,出力2 ON,,1.00 V",
                          stamp(t1) + ",a,解除,出力2 ON,,", stamp(t2) + ",a,発生,応答なし,,no reply for 20 s",
                          stamp(t2) + ",a,解除,応答なし,,",
                          stamp(t2) + ",a,発生,切断,,tcp://192.0.2.1:4001: Connection refused",
                          stamp(t3) + ",a,解除,切断,,", stamp(t3) + ",a,解除,出力1 ON,,",
                          stamp(t3) + ",b,発生,応答拒否,,3 polls refused in a row",
                          stamp(t3) + ",b,解除,応答拒否,,",
                          stamp(t3) + ",b,発生,応答異常,,3 answers not understood in a row"}));
    QVERIFY(AppFixture::readFile(r.w->journalPath(Now().date())).endsWith("\r\n"));
    QVERIFY(r.log.contains(QStringLiteral("a: alarm output1 raised (UNACK): 1.00 V")));
    QVERIFY(r.log.contains(QStringLiteral("a: alarm output2 cleared (RTNUN)")));
}

void tst_watchalarms::commands_data()
{
    QTest::addColumn<QString>("topic");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("retained");
    QTest::addColumn<QByteArray>("result"); // empty: none published
    QTest::addColumn<QString>("after");     // a's alarms afterwards
    QTest::addColumn<QString>("counted");
    const QString t = "q/command/sato/a";
    const auto row = [&](const char *name, const QString &topic, const QByteArray &p, const QByteArray &result,
                         const QString &after, const QString &counted, bool retained = false) {
        QTest::newRow(name) << topic << p << retained << result << after << counted;
    };
    const QString unack = "output1=UNACK", acked = "output1=ACKED";
    row("ack", t, R"({"id":"7","action":"ack","cause":"output1"})", R"({"id":"7","ok":true,"reason":""})", acked, "accepted");
    row("ack all", t, R"({"id":8,"action":"ack","cause":"all"})", R"({"id":8,"ok":true,"reason":""})", acked, "accepted");
    row("ack, no cause: all", t, R"({"action":"ack"})", R"({"id":null,"ok":true,"reason":""})", acked, "accepted");
    row("not active", t, R"({"id":"1","action":"ack","cause":"output2"})", R"({"id":"1","ok":false,"reason":"not active"})",
        unack, "refused");
    row("unknown site", "q/command/sato/zz", R"({"id":"1","action":"ack","cause":"output1"})",
        R"({"id":"1","ok":false,"reason":"unknown site"})", unack, "refused");
    row("unknown cause", t, R"({"id":"1","action":"ack","cause":"output9"})",
        R"({"id":"1","ok":false,"reason":"unknown cause"})", unack, "refused");
    row("a view's own cause", t, R"({"id":"1","action":"shelve","cause":"stale","minutes":5,"reason":"x"})",
        R"({"id":"1","ok":false,"reason":"unknown cause"})", unack, "refused");
    row("unknown action", t, R"({"id":"1","action":"delete","cause":"output1"})",
        R"({"id":"1","ok":false,"reason":"unknown action"})", unack, "refused");
    row("shelve", t, R"({"id":"s","action":"shelve","cause":"output1","minutes":60,"reason":"点検中"})",
        R"({"id":"s","ok":true,"reason":""})", "output1=SHLVD", "accepted");
    row("shelve too long", t, R"({"id":"s","action":"shelve","cause":"output1","minutes":481,"reason":"x"})",
        R"({"id":"s","ok":false,"reason":"too long"})", unack, "refused");
    row("shelve without reason", t, R"({"id":"s","action":"shelve","cause":"output1","minutes":5})",
        R"({"id":"s","ok":false,"reason":"a reason is needed"})", unack, "refused");
    row("shelve all", t, R"({"id":"s","action":"shelve","cause":"all","minutes":5,"reason":"x"})",
        R"({"id":"s","ok":false,"reason":"shelve needs one cause"})", unack, "refused");
    row("shelve, no minutes", t, R"({"id":"s","action":"shelve","cause":"output1","reason":"x"})",
        R"({"id":"s","ok":false,"reason":"malformed"})", unack, "malformed");
    row("shelve, minutes a fraction", t, R"({"id":"s","action":"shelve","cause":"output1","minutes":1.5,"reason":"x"})",
        R"({"id":"s","ok":false,"reason":"malformed"})", unack, "malformed");
    row("shelve, minutes huge", t, R"({"id":"s","action":"shelve","cause":"output1","minutes":1e300,"reason":"x"})",
        R"({"id":"s","ok":false,"reason":"too long"})", unack, "refused");
    row("unshelve, not shelved", t, R"({"id":"u","action":"unshelve","cause":"output1"})",
        R"({"id":"u","ok":false,"reason":"not shelved"})", unack, "refused");
    row("no JSON", t, "ack output1", R"({"id":null,"ok":false,"reason":"malformed"})", unack, "malformed");
    row("an array", t, "[1]", R"({"id":null,"ok":false,"reason":"malformed"})", unack, "malformed");
    row("id an object", t, R"({"id":{},"action":"ack"})", R"({"id":null,"ok":false,"reason":"malformed"})", unack,
        "malformed");
    row("reason a number", t, R"({"id":"r","action":"shelve","cause":"output1","minutes":5,"reason":5})",
        R"({"id":"r","ok":false,"reason":"malformed"})", unack, "malformed");
    row("oversized", t, R"({"id":"big","action":"ack","cause":"output1","pad":")" + QByteArray(5000, 'x') + "\"}",
        R"({"id":null,"ok":false,"reason":"too large"})", unack, "oversized");
    row("retained", t, R"({"id":"7","action":"ack","cause":"output1"})", "", unack, "retained", true);
    row("a result", "q/command/sato/a/result", R"({"id":"7","action":"ack","cause":"output1"})", "", unack, "");
    row("another prefix", "x/command/sato/a", R"({"id":"7","action":"ack","cause":"output1"})", "", unack, "");
    row("control character in the user", "q/command/sa\tto/a", R"({"action":"ack"})", "", unack, "malformed");
}

void tst_watchalarms::commands()
{
    QFETCH(QString, topic);
    QFETCH(QByteArray, payload);
    QFETCH(bool, retained);
    QFETCH(QByteArray, result);
    QFETCH(QString, after);
    QFETCH(QString, counted);
    Rig r;
    r.start();
    r.w->reading("a", reading(0x01));
    r.take();
    const QStringList journal = r.journal();
    r.cmd(topic, payload, retained);
    const QList<Msg> m = r.take();
    QList<Msg> results;
    std::copy_if(m.begin(), m.end(), std::back_inserter(results), [](const Msg &x) { return x.topic.endsWith("/result"); });
    if (result.isEmpty()) {
        QCOMPARE(results.size(), 0);
    } else {
        QCOMPARE(results.size(), 1);
        QCOMPARE(results[0].topic, topic + "/result");
        QVERIFY(!results[0].retain);
        QCOMPARE(results[0].payload, result);
    }
    QCOMPARE(r.now("a"), after);
    // A change is published (and journaled); a refusal changes nothing.
    QCOMPARE(m.size() - results.size(), after == "output1=UNACK" ? 0 : 1);
    QCOMPARE(r.journal().size() - journal.size(), after == "output1=UNACK" ? 0 : 1);
    const WatchAlarms::Counts &c = r.w->counts();
    const QMap<QString, quint64> counts{{"accepted", c.accepted},   {"refused", c.refused}, {"malformed", c.malformed},
                                        {"oversized", c.oversized}, {"limited", c.limited}, {"retained", c.retained}};
    for (auto it = counts.begin(); it != counts.end(); ++it)
        QVERIFY2(it.value() == (it.key() == counted ? 1u : 0u), qPrintable(it.key()));
    if (after == "output1=ACKED") {
        QVERIFY2(r.journal().last().endsWith(",a,確認,出力1 ON,sato,"), qPrintable(r.journal().last()));
        QCOMPARE(r.w->book().find("a", AlarmCause::Output1)->ackedBy, QStringLiteral("sato"));
    }
    if (after == "output1=SHLVD")
        QVERIFY2(r.journal().last().endsWith(",a,一時抑制,出力1 ON,sato,点検中"), qPrintable(r.journal().last()));
}

void tst_watchalarms::floodsAreBoundedAndCounted()
{
    Rig r;
    r.start();
    r.w->reading("a", reading(0x01));
    r.take();
    QElapsedTimer took;
    took.start();
    // One user floods with commands that are refused, another with garbage, then a thousand
    // users send one each; virtual time stands still meanwhile.
    for (int i = 0; i < 10000; ++i)
        r.cmd("q/command/mallory/a", R"({"action":"ack","cause":"output2"})");
    QCOMPARE(r.w->counts().refused, quint64(WatchAlarms::kUserBurst));
    QCOMPARE(r.w->counts().limited, quint64(10000 - WatchAlarms::kUserBurst));
    for (int i = 0; i < 5000; ++i)
        r.cmd("q/command/eve/a", QByteArray(i % 7 + 1, '{'));
    QCOMPARE(r.w->counts().malformed, quint64(WatchAlarms::kUserBurst));
    for (int i = 0; i < 1000; ++i)
        r.cmd(QStringLiteral("q/command/u%1/a").arg(i), R"({"action":"ack","cause":"output1"})");
    // Everyone's bound was spent by the two floods: no one gets through, and the users kept
    // are bounded.
    QCOMPARE(r.w->counts().accepted, 0u);
    QCOMPARE(r.w->counts().limited, quint64(16000 - 2 * WatchAlarms::kUserBurst));
    QVERIFY(r.w->users() <= WatchAlarms::kMaxUsers);
    QCOMPARE(r.now("a"), QStringLiteral("output1=UNACK"));
    const QList<Msg> m = r.take();
    QCOMPARE(m.size(), 2 * WatchAlarms::kUserBurst); // the answers within the bounds, nothing else
    QVERIFY2(took.elapsed() < 10000, qPrintable(QString::number(took.elapsed())));
    // The log tells the refused ones of the bound, and the rest in one line per period.
    QVERIFY(r.log.filter("mallory").size() <= WatchAlarms::kUserBurst);
    m_f->clock.advance(WatchAlarms::kTickMs + 100);
    QCOMPARE(r.log.filter("commands in the last").size(), 1);
    QVERIFY2(r.log.filter("commands in the last").first().contains(
                 QStringLiteral("%1 past the rate bounds, %2 malformed").arg(16000 - 2 * WatchAlarms::kUserBurst).arg(WatchAlarms::kUserBurst)),
             qPrintable(r.log.filter("commands in the last").first()));
    // Once the buckets fill again an honest user is heard.
    m_f->clock.advance(10000);
    r.cmd("q/command/sato/a", R"({"id":"ok","action":"ack","cause":"output1"})");
    QCOMPARE(r.now("a"), QStringLiteral("output1=ACKED"));
    QCOMPARE(r.w->counts().accepted, 1u);
    const QByteArray status = r.w->statusFields();
    QVERIFY2(status.contains(QStringLiteral("\"limited\":%1").arg(16000 - 2 * WatchAlarms::kUserBurst).toLatin1()), status);
}

void tst_watchalarms::stateFileAcrossARestart()
{
    Rig r;
    r.ws.notify.execProgram = QStringLiteral("/usr/local/bin/tell");
    r.start();
    r.w->reading("a", reading(0x01));
    r.w->siteState("b", SiteState::Lost, QStringLiteral("gone"));
    r.cmd("q/command/sato/b", R"({"action":"ack","cause":"lost"})");
    r.cmd("q/command/sato/a", R"({"action":"shelve","cause":"output2","minutes":30,"reason":"調整"})");
    // Written at the next turn of the event loop, not later than kSaveGapMs.
    m_f->clock.advance(WatchAlarms::kSaveGapMs + 10);
    QVERIFY(QFile::exists(r.w->statePath()));
    QCOMPARE(r.w->statePath(), r.dir.filePath("state/alarms-w1.json"));
    const SiteAlarms a = r.w->book().site("a"), b = r.w->book().site("b");
    QCOMPARE(states(a), QStringLiteral("output1=UNACK,output2=SHLVD"));
    QCOMPARE(m_progs.runs.size(), 2);
    // As after a kill: no stop, the next watcher reads what was written.
    r.w.reset();
    r.take();
    r.start();
    const QList<Msg> m = r.take();
    QCOMPARE(AlarmsPayload(Rig::list(m, "a")), AlarmsPayload(a));
    QCOMPARE(AlarmsPayload(Rig::list(m, "b")), AlarmsPayload(b));
    QCOMPARE(r.w->book().unacknowledged(), 1);
    QVERIFY2(r.log.contains(QStringLiteral("alarms: 3 of 2 sites from %1, 1 not acknowledged").arg(r.w->statePath())),
             qPrintable(r.log.join('\n')));
    // Nothing is told again for alarms raised before the restart.
    QCOMPARE(m_progs.runs.size(), 2);
    // It goes on: the unacknowledged alarm returns unacknowledged, the shelve ends on time.
    r.w->reading("a", reading(0x00));
    QCOMPARE(r.now("a"), QStringLiteral("output1=RTNUN,output2=SHLVD"));
    m_f->clock.advance(30 * 60 * 1000);
    QCOMPARE(r.now("a"), QStringLiteral("output1=RTNUN"));
}

void tst_watchalarms::raisesWrittenWithinASecondActsAtOnce()
{
    Rig r;
    r.start();
    auto saved = [&r](const QString &site) {
        AlarmBook b;
        if (!QFile::exists(r.w->statePath()) || !b.load(AppFixture::readFile(r.w->statePath())))
            return QStringLiteral("(none)");
        return states(b.site(site));
    };
    // A raise after a quiet second is written at once; the next ones wait for the pace of
    // conditions: a chattering fleet is one write a second.
    m_f->clock.advance(WatchAlarms::kConditionSaveMs + 10);
    r.w->reading("a", reading(0x01));
    m_f->clock.advance(WatchAlarms::kSaveGapMs + 10);
    QCOMPARE(saved("a"), QStringLiteral("output1=UNACK"));
    r.w->reading("a", reading(0x02));
    m_f->clock.advance(WatchAlarms::kSaveGapMs + 10);
    QCOMPARE(saved("a"), QStringLiteral("output1=UNACK"));
    m_f->clock.advance(WatchAlarms::kConditionSaveMs);
    QCOMPARE(saved("a"), QStringLiteral("output1=RTNUN,output2=UNACK"));
    // A user's act after a raise is written at once, not at the raise's later time.
    r.w->reading("b", reading(0x01));
    m_f->clock.advance(1);
    r.cmd("q/command/sato/a", R"({"action":"ack","cause":"output1"})");
    m_f->clock.advance(WatchAlarms::kSaveGapMs + 10);
    QCOMPARE(saved("a"), QStringLiteral("output2=UNACK"));
    QCOMPARE(saved("b"), QStringLiteral("output1=UNACK"));
    // And an act does not wait behind a raise that came just before it.
    m_f->clock.advance(WatchAlarms::kConditionSaveMs + 10);
    r.w->reading("b", reading(0x00));
    m_f->clock.advance(1);
    r.cmd("q/command/sato/b", R"({"action":"ack","cause":"output1"})");
    m_f->clock.advance(WatchAlarms::kSaveGapMs + 10);
    QCOMPARE(saved("b"), QString());
}

void tst_watchalarms::corruptOrUnreadableStateFile()
{
    Rig r;
    r.start();
    r.w->reading("a", reading(0x01));
    m_f->clock.advance(100);
    const QString path = r.w->statePath();
    AppFixture::writeFile(path, "{\"qelvo_alarms\":1,\"sites\":[{\"site\":\"a\",");
    r.log.clear();
    r.take();
    r.start();
    QVERIFY2(r.log.filter("cannot be used").size() == 1, qPrintable(r.log.join('\n')));
    QVERIFY(r.log.filter("cannot be used").first().contains("starts with no alarms"));
    QCOMPARE(AppFixture::readFile(path + ".corrupt"), QByteArray("{\"qelvo_alarms\":1,\"sites\":[{\"site\":\"a\","));
    QCOMPARE(states(Rig::list(r.take(), "a")), QString());
    // The watch goes on and writes a good file at the next change.
    r.w->reading("a", reading(0x02));
    m_f->clock.advance(100);
    AlarmBook check;
    QString why;
    QVERIFY2(check.load(AppFixture::readFile(path), &why), qPrintable(why));
    QCOMPARE(states(check.site("a")), QStringLiteral("output2=UNACK"));
    // A state file that cannot be read at all (a folder in its place) is told too, and
    // every write is refused and told once.
    QFile::remove(path);
    QVERIFY(QDir().mkpath(path));
    r.log.clear();
    r.start();
    QCOMPARE(r.log.filter("cannot read").size(), 1);
    r.w->reading("a", reading(0x01));
    m_f->clock.advance(100);
    r.w->reading("a", reading(0x00));
    m_f->clock.advance(100);
    QCOMPARE(r.log.filter(QStringLiteral("cannot write %1").arg(path)).size(), 1);
    QCOMPARE(r.now("a"), QStringLiteral("output1=RTNUN"));
}

void tst_watchalarms::outOfServiceStopAndBrokerAway()
{
    Rig r;
    r.start();
    r.w->reading("a", reading(0x01));
    r.take();
    // Removed with an alarm: suppressed, with the reason; removed without: forgotten and its
    // topic cleared.
    r.w->siteRemoved("a");
    r.w->siteRemoved("b");
    QList<Msg> m = r.take();
    QCOMPARE(m.size(), 2);
    const SiteAlarms a = Rig::list(m, "a");
    QCOMPARE(states(a), QStringLiteral("output1=DSUPR"));
    QCOMPARE(a.alarms[0].reason, QStringLiteral("removed from the configuration"));
    QCOMPARE(m[1].topic, QStringLiteral("q/b/alarms"));
    QVERIFY(m[1].payload.isEmpty() && m[1].retain);
    QVERIFY(!r.w->book().sites().contains("b"));
    // A command for a site that is gone: unknown.
    r.cmd("q/command/sato/a", R"({"id":"1","action":"ack","cause":"output1"})");
    QCOMPARE(r.take().last().payload, QByteArray(R"({"id":"1","ok":false,"reason":"unknown site"})"));
    // Back: as it was.
    r.w->siteAdded(r.ws.sites[0]);
    r.w->siteAdded(r.ws.sites[1]);
    m = r.take();
    QCOMPARE(states(Rig::list(m, "a")), QStringLiteral("output1=UNACK"));
    QCOMPARE(states(Rig::list(m, "b")), QString());
    QVERIFY(r.journal().join('\n').contains(",a,保守中,出力1 ON,,removed from the configuration"));
    QVERIFY(r.journal().last().endsWith(",a,保守解除,出力1 ON,,"));
    // The broker away: nothing is lost and nothing raised for it; at the connect every site's
    // list goes out.
    r.up = false;
    r.w->siteState("b", SiteState::Lost, QStringLiteral("gone"));
    r.up = true;
    QVERIFY(r.take().isEmpty());
    r.w->connected();
    m = r.take();
    QCOMPARE(states(Rig::list(m, "b")), QStringLiteral("lost=UNACK"));
    QCOMPARE(states(Rig::list(m, "a")), QStringLiteral("output1=UNACK"));
    // A stop keeps them all as they are, in the file.
    r.w->siteState("a", SiteState::Stopped, QString());
    r.w->stop();
    AlarmBook saved;
    QVERIFY(saved.load(AppFixture::readFile(r.w->statePath())));
    QCOMPARE(states(saved.site("a")), QStringLiteral("output1=UNACK"));
    QCOMPARE(states(saved.site("b")), QStringLiteral("lost=UNACK"));
    // Started again with a file that no longer names a: its alarms are suppressed.
    r.ws.sites = {r.ws.sites[1]};
    r.start();
    QCOMPARE(r.now("a"), QStringLiteral("output1=DSUPR"));
    QCOMPARE(r.w->book().site("a").alarms[0].reason, QStringLiteral("not in the configuration"));
    QCOMPARE(r.now("b"), QStringLiteral("lost=UNACK"));
}

void tst_watchalarms::programsRunWithinTheirBounds()
{
    Rig r;
    r.ws.notify.exec = QStringLiteral("tell --to duty");
    r.ws.notify.execProgram = QStringLiteral("/usr/local/bin/tell");
    r.ws.notify.execArgs = {QStringLiteral("--to"), QStringLiteral("duty")};
    r.ws.notify.execTimeoutS = 30;
    r.start();
    r.w->reading("a", reading(0x01));
    QCOMPARE(m_progs.runs.size(), 1);
    const RecordingPrograms::Run &run = m_progs.runs[0];
    QCOMPARE(run.program, QStringLiteral("/usr/local/bin/tell"));
    QCOMPARE(run.args, (QStringList{"--to", "duty"}));
    const Alarm *al = r.w->book().find("a", AlarmCause::Output1);
    QCOMPARE(run.var("QELVO_SITE"), QStringLiteral("a"));
    QCOMPARE(run.var("QELVO_TITLE"), QStringLiteral("川辺第1観測所"));
    QCOMPARE(run.var("QELVO_CAUSE"), QStringLiteral("output1"));
    QCOMPARE(run.var("QELVO_CAUSE_TEXT"), QStringLiteral("出力1 ON"));
    QCOMPARE(run.var("QELVO_STATE"), QStringLiteral("UNACK"));
    QCOMPARE(run.var("QELVO_TIME"), AlarmTimeText(al->raised));
    QCOMPARE(run.var("QELVO_VALUE"), QStringLiteral("1.00 V"));
    QCOMPARE(run.var("QELVO_EVENT"), QStringLiteral("raise"));
    QCOMPARE(run.var("QELVO_WATCHD"), QStringLiteral("w1"));
    const QJsonObject o = QJsonDocument::fromJson(run.var("QELVO_JSON").toUtf8()).object();
    QCOMPARE(o.value("site").toString(), QStringLiteral("a"));
    QCOMPARE(o.value("cause_text").toString(), QStringLiteral("出力1 ON"));
    QVERIFY(m_progs.exit(1, 0));
    QVERIFY(r.log.contains(QStringLiteral("notify: tell for a output1: exit status 0 after 0.0 s")));

    // Eight at once: four run, four wait; each that ends lets the next one run.
    r.w->reading("b", reading(0xFF));
    QCOMPARE(m_progs.running(), AlarmNotifier::kMaxRunning);
    QCOMPARE(r.w->notifier().execQueued(), 4);
    m_f->clock.advance(10000);
    QVERIFY(m_progs.exit(2, 3, "tell: cannot reach the mail server\n"));
    QVERIFY(r.log.contains(QStringLiteral("notify: tell for b output1: exit status 3 after 10.0 s: tell: cannot reach "
                                          "the mail server")));
    QCOMPARE(m_progs.running(), AlarmNotifier::kMaxRunning);
    QCOMPARE(m_progs.runs.size(), 6);
    // Past the time-out the others are killed, and the rest run in turn.
    m_f->clock.advance(20500);
    QCOMPARE(r.log.filter("killed after 30.").size(), 3);
    QCOMPARE(m_progs.runs.size(), 9);
    QCOMPARE(r.w->notifier().execQueued(), 0);
    m_f->clock.advance(30500);
    QCOMPARE(m_progs.running(), 0);
    QCOMPARE(r.w->notifier().counts().execDone, 1u);
    QCOMPARE(r.w->notifier().counts().execFailed, 8u);

    // A flood of raises: the queue holds its bound, the rest is counted and told once.
    r.log.clear();
    for (int i = 0; i < 60; ++i) {
        r.w->reading("b", reading(0x00));
        r.w->reading("b", reading(0xFF));
    }
    QCOMPARE(m_progs.running(), AlarmNotifier::kMaxRunning);
    QCOMPARE(r.w->notifier().execQueued(), AlarmNotifier::kMaxQueued);
    QCOMPARE(r.w->notifier().counts().execDropped, quint64(60 * 8 - AlarmNotifier::kMaxRunning - AlarmNotifier::kMaxQueued));
    QCOMPARE(r.log.filter("dropped until some have run").size(), 1);
    // A reload without the program: what waits for it goes, told; the runs end as they will.
    WatchSettings without = r.ws;
    without.notify = WatchNotify();
    r.w->reload(without);
    QCOMPARE(r.w->notifier().execQueued(), 0);
    QCOMPARE(r.log.filter(QStringLiteral("no program any more; %1 notices not run").arg(AlarmNotifier::kMaxQueued)).size(), 1);
    r.w->reading("a", reading(0x00));
    r.w->reading("a", reading(0x01));
    QCOMPARE(m_progs.running(), AlarmNotifier::kMaxRunning);
    r.w->reload(r.ws);
    // A program that cannot start is told.
    r.w->notifier().stop();
    m_progs.failToStart = QStringLiteral("No such file or directory");
    r.w->reading("a", reading(0x00));
    r.w->reading("a", reading(0x01));
    m_f->clock.advance(10);
    QCOMPARE(r.log.filter("could not start: No such file or directory").size(), 1);
}

void tst_watchalarms::renotifiedWhileUnacknowledged()
{
    Rig r;
    r.ws.notify.execProgram = QStringLiteral("/usr/local/bin/tell");
    r.ws.notify.renotifyMin = 2;
    r.start();
    r.w->reading("a", reading(0x01));
    QCOMPARE(m_progs.runs.size(), 1);
    m_progs.exit(1, 0);
    m_f->clock.advance(115000);
    QCOMPARE(m_progs.runs.size(), 1);
    m_f->clock.advance(10000);
    QCOMPARE(m_progs.runs.size(), 2);
    QCOMPARE(m_progs.runs[1].var("QELVO_EVENT"), QStringLiteral("renotify"));
    QCOMPARE(m_progs.runs[1].var("QELVO_STATE"), QStringLiteral("UNACK"));
    m_progs.exit(2, 0);
    // Returned but not acknowledged: still told.
    r.w->reading("a", reading(0x00));
    m_f->clock.advance(125000);
    QCOMPARE(m_progs.runs.size(), 3);
    QCOMPARE(m_progs.runs[2].var("QELVO_STATE"), QStringLiteral("RTNUN"));
    m_progs.exit(3, 0);
    // Acknowledged: no more.
    r.cmd("q/command/sato/a", R"({"action":"ack"})");
    m_f->clock.advance(10 * 60000);
    QCOMPARE(m_progs.runs.size(), 3);
}

void tst_watchalarms::webhookRetriesWithBackOff()
{
    Rig r;
    r.ws.notify.webhook = QStringLiteral("http://127.0.0.1:9/hook");
    r.ws.notify.webhookTries = 4;
    r.start();
    // Refused, then a server error, then it waits for the test's answer.
    m_http.script = {0, 500};
    r.w->reading("a", reading(0x01));
    m_f->clock.advance(10);
    QCOMPARE(m_http.posts.size(), 1);
    const RecordingHttp::Post p = m_http.posts[0];
    QCOMPARE(p.url, QUrl("http://127.0.0.1:9/hook"));
    QCOMPARE(p.contentType, QByteArray("application/json"));
    QCOMPARE(p.timeoutMs, 10000);
    const QJsonObject o = QJsonDocument::fromJson(p.body).object();
    QCOMPARE(o.value("event").toString(), QStringLiteral("raise"));
    QCOMPARE(o.value("title").toString(), QStringLiteral("川辺第1観測所"));
    QCOMPARE(o.value("state").toString(), QStringLiteral("UNACK"));
    QCOMPARE(o.value("value").toString(), QStringLiteral("1.00 V"));
    // 1 s, then 2 s later.
    m_f->clock.advance(900);
    QCOMPARE(m_http.posts.size(), 1);
    m_f->clock.advance(200);
    QCOMPARE(m_http.posts.size(), 2);
    m_f->clock.advance(1800);
    QCOMPARE(m_http.posts.size(), 2);
    m_f->clock.advance(300);
    QCOMPARE(m_http.posts.size(), 3);
    QCOMPARE(m_http.posts[2].body, p.body);
    // Polling and publishing go on while the POST waits.
    r.w->reading("a", reading(0x00));
    QCOMPARE(r.now("a"), QStringLiteral("output1=RTNUN"));
    QVERIFY(m_http.answer(3, 204));
    QCOMPARE(r.w->notifier().counts().webhookSent, 1u);
    QCOMPARE(r.log.filter("notify: web hook 127.0.0.1").size(), 3);
    QVERIFY(r.log.filter("notify: web hook 127.0.0.1").first().endsWith("connection refused (try 1 of 4); next try in 1 s"));
    QVERIFY(r.log.filter("notify: web hook 127.0.0.1")[1].endsWith("HTTP 500 (try 2 of 4); next try in 2 s"));
    QVERIFY(r.log.filter("notify: web hook 127.0.0.1")[2].endsWith("HTTP 204 (try 3)"));

    // A refusal of the request itself is not tried again; failures stop at the tries.
    m_http.script = {404, 503, 503, 503, 503};
    r.w->reading("a", reading(0x01)); // a's output1 again
    r.w->reading("b", reading(0x01));
    m_f->clock.advance(60000);
    QCOMPARE(m_http.posts.size(), 3 + 1 + 4);
    QCOMPARE(r.w->notifier().counts().webhookFailed, 2u);
    QCOMPARE(r.log.filter("HTTP 404; given up after 1 tries").size(), 1);
    QCOMPARE(r.log.filter("HTTP 503; given up after 4 tries").size(), 1);
    // A server that never answers holds one POST; the queue behind it is bounded.
    for (int i = 0; i < 100; ++i) {
        r.w->reading("b", reading(0x00));
        r.w->reading("b", reading(0xFF));
    }
    QCOMPARE(r.w->notifier().webhookQueued(), AlarmNotifier::kMaxQueued);
    QCOMPARE(r.w->notifier().counts().webhookDropped, quint64(800 - AlarmNotifier::kMaxQueued));
    QCOMPARE(m_http.open(), 1);
}

void tst_watchalarms::watcherTakesItsSitesAlarms()
{
    SilentDialogs silent;
    installDialogs(&silent);
    QTemporaryDir dir;
    WatchSettings ws;
    ws.logFolder = dir.filePath("logs");
    ws.stateDir = dir.filePath("state");
    WatchSite low = site("low", 0x01), quiz = site("quiz", 0x00), mute = site("mute", 0x00);
    low.comPort = 1;
    quiz.comPort = 2;
    mute.comPort = 3;
    for (WatchSite *s : {&low, &quiz, &mute})
        s->inputType = 1;
    ws.sites = {low, quiz, mute};
    const auto maker = [](const WatchSite &s) {
        auto p = std::make_unique<SimulatedPort>();
        p->usablePorts = {s.comPort};
        // A blank memory closes every output at level 0 only.
        p->model().setLevel(s.name == "low" ? 0 : 600);
        // Answers that are no answers: the poll gives up on them (a "?" only waits, and ends as
        // no reply); after the reply time without a value the site is no-reply as well.
        if (s.name == "quiz")
            p->setFault(CtrlModel::Fault::Garbage);
        if (s.name == "mute")
            p->setFault(CtrlModel::Fault::Silence);
        return p;
    };
    QDateTime raised;
    {
        Watcher w(ws, maker);
        QString error;
        QVERIFY2(w.start(&error), qPrintable(error));
        const qint64 t0 = m_f->clock.nowUs();
        while (m_f->msSince(t0) < 30000)
            m_f->clock.advance(100);
        AlarmBook &b = w.alarms().book();
        QCOMPARE(states(b.site("low")), QStringLiteral("output1=UNACK"));
        // The site's state says which: answers not understood are garbled, not no-reply as well.
    QCOMPARE(states(b.site("quiz")), QStringLiteral("garbled=UNACK"));
        QCOMPARE(states(b.site("mute")), QStringLiteral("no-reply=UNACK"));
        raised = b.find("low", AlarmCause::Output1)->raised;
        // A stop leaves every alarm as it was: nothing is raised or cleared for it.
        bool stopped = false;
        w.shutdown(1000, [&] { stopped = true; });
        while (!stopped)
            m_f->clock.advance(10);
        QCOMPARE(states(b.site("low")), QStringLiteral("output1=UNACK"));
        QCOMPARE(states(b.site("mute")), QStringLiteral("no-reply=UNACK"));
        QCOMPARE(w.alarms().statePath(), dir.filePath("state/alarms.json"));
    }
    // Started again: the alarms come back as they were, and the sites going on as before
    // raise nothing new.
    Watcher w(ws, maker);
    QString error;
    QVERIFY(w.start(&error));
    QCOMPARE(states(w.alarms().book().site("low")), QStringLiteral("output1=UNACK"));
    QCOMPARE(states(w.alarms().book().site("quiz")), QStringLiteral("garbled=UNACK"));
    const qint64 t0 = m_f->clock.nowUs();
    while (m_f->msSince(t0) < 5000)
        m_f->clock.advance(100);
    QCOMPARE(w.alarms().book().find("low", AlarmCause::Output1)->raised, raised);
    QCOMPARE(w.alarms().book().unacknowledged(), 3);
    bool stopped = false;
    w.shutdown(1000, [&] { stopped = true; });
    while (!stopped)
        m_f->clock.advance(10);
    installDialogs(&m_f->dlg);
}

void tst_watchalarms::statePayloadTellsTheInterval()
{
    // A view judges a site's silence against the interval it is asked at, not against the
    // shortest gap it happened to see.
    SiteStatus st;
    st.site = QStringLiteral("a");
    st.state = SiteState::Online;
    st.watcher = QStringLiteral("w1");
    st.warnOutputs = 0x03;
    st.intervalMs = 1500;
    const QJsonObject o = QJsonDocument::fromJson(StatePayload(st)).object();
    QCOMPARE(o.value("interval_ms").toInt(), 1500);
    QCOMPARE(o.value("warn_outputs").toString(), QStringLiteral("1,2"));
    st.intervalMs = 0;
    QVERIFY(!QJsonDocument::fromJson(StatePayload(st)).object().contains("interval_ms"));
}

QTEST_MAIN(tst_watchalarms)
#include "tst_watchalarms.moc"

void tst_watchalarms::fullClientQueueCostsOneListAPass()
{
    // A fleet in a storm while the client's queue is full: every reading changes a site's
    // list, and the lists wait. Trying every waiting list at every reading made a thousand
    // sites fall behind their polls.
    Rig r;
    r.ws.sites.clear();
    constexpr int kSites = 300;
    for (int i = 0; i < kSites; ++i)
        r.ws.sites << site(QStringLiteral("s%1").arg(i), 0xFF);
    int attempts = 0, room = kSites; // the lists the client takes before its queue is full
    WatchAlarms w(r.ws, [&](const QString &t, const QByteArray &p, bool retain) {
        ++attempts;
        if (room <= 0)
            return false;
        --room;
        r.out << Msg{t, p, retain};
        return true;
    });
    w.start();
    for (const WatchSite &s : std::as_const(r.ws.sites))
        w.siteAdded(s);
    w.connected();
    r.take();
    attempts = 0;
    room = 0;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < kSites; ++i)
            w.reading(QStringLiteral("s%1").arg(i), reading(round == 1 ? 0x02 : 0x01));
        m_f->clock.advance(WatchAlarms::kRetryMs / 2);
    }
    // A refused list arms the retry; until it fires no list is made again.
    QVERIFY2(attempts <= 2, qPrintable(QString::number(attempts)));
    // Room for a third of them at each retry: each site's newest list goes out once.
    QSet<QString> topics;
    QList<Msg> all;
    for (int pass = 0; pass < 4; ++pass) {
        room = kSites / 3;
        m_f->clock.advance(WatchAlarms::kRetryMs + 10);
        for (const Msg &x : r.take()) {
            QVERIFY2(!topics.contains(x.topic), qPrintable(x.topic));
            topics << x.topic;
            all << x;
        }
    }
    QCOMPARE(topics.size(), kSites);
    QCOMPARE(states(Rig::list(all, "s7")), QStringLiteral("output1=UNACK,output2=RTNUN"));
    QCOMPARE(states(Rig::list(all, "s299")), QStringLiteral("output1=UNACK,output2=RTNUN"));
    w.stop();
}
