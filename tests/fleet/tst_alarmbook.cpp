// The alarm engine on the virtual clock: every state of an alarm against every event (the
// table below is the alarm-management state diagram written out, not the code's), shelving
// that ends by itself, suppression that gives back the state beneath it, the published JSON
// read back (and hostile lists refused), and the book kept in a file across a restart.
#include "support/AppFixture.h"

#include "fleet/AlarmBook.h"
#include "fleet/WatchAlarms.h"

#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTimeZone>
#include <QtTest>

namespace {
const QString kSite = QStringLiteral("kawabe-1");
constexpr AlarmCause kCause = AlarmCause::Output3;

// How an alarm is brought into each starting state. "+" in a shelved state: its condition
// holds; "/X": suppressed over X.
const QStringList kStarts = {"NORM", "UNACK", "ACKED", "RTNUN", "SHLVD+", "SHLVD-", "DSUPR/UNACK", "DSUPR/ACKED",
                             "DSUPR/RTNUN"};
const QStringList kEvents = {"activate", "clear", "ack", "shelve", "unshelve", "expire", "suppress", "unsuppress"};

// The state after each event, the events told ("a+b"), or why the act was refused ("!why").
// A shelve lasts 10 minutes; "expire" lets 11 go by.
const char *const kTable[][8] = {
    //            activate        clear             ack                           shelve               unshelve                       expire                                 suppress             unsuppress
    /* NORM   */ {"UNACK:raised", "NORM",           "NORM!not active",            "SHLVD:shelved",     "NORM!not shelved",            "NORM",                                "NORM",              "NORM"},
    /* UNACK  */ {"UNACK",        "RTNUN:cleared",  "ACKED:acknowledged",         "SHLVD:shelved",     "UNACK!not shelved",           "UNACK",                               "DSUPR:suppressed",  "UNACK"},
    /* ACKED  */ {"ACKED",        "NORM:cleared",   "ACKED!already acknowledged", "SHLVD:shelved",     "ACKED!not shelved",           "ACKED",                               "DSUPR:suppressed",  "ACKED"},
    /* RTNUN  */ {"UNACK:raised", "RTNUN",          "NORM:acknowledged",          "SHLVD:shelved",     "RTNUN!not shelved",           "RTNUN",                               "DSUPR:suppressed",  "RTNUN"},
    /* SHLVD+ */ {"SHLVD",        "SHLVD",          "SHLVD!shelved",              "SHLVD:shelved",     "UNACK:unshelved+raised",      "UNACK:returned from shelving+raised", "DSUPR:suppressed",  "SHLVD"},
    /* SHLVD- */ {"SHLVD",        "SHLVD",          "SHLVD!shelved",              "SHLVD:shelved",     "NORM:unshelved",              "NORM:returned from shelving",         "DSUPR:suppressed",  "SHLVD"},
    /* DSUPR/UNACK */ {"DSUPR",   "DSUPR",          "DSUPR!suppressed",           "DSUPR!suppressed",  "DSUPR!suppressed",            "DSUPR",                               "DSUPR",             "UNACK:back in service"},
    /* DSUPR/ACKED */ {"DSUPR",   "DSUPR",          "DSUPR!suppressed",           "DSUPR!suppressed",  "DSUPR!suppressed",            "DSUPR",                               "DSUPR",             "ACKED:back in service"},
    /* DSUPR/RTNUN */ {"DSUPR",   "DSUPR",          "DSUPR!suppressed",           "DSUPR!suppressed",  "DSUPR!suppressed",            "DSUPR",                               "DSUPR",             "RTNUN:back in service"},
};

QString stateOf(const AlarmBook &b)
{
    const Alarm *a = b.find(kSite, kCause);
    return QLatin1String(AlarmStateName(a && !a->normal() ? a->state() : AlarmState::Normal));
}

// Drives the book with one of kEvents; the refusal's reason, if any.
QString apply(AlarmBook &b, VirtualClock &clock, const QString &event)
{
    AlarmAnswer a{true, {}, 0};
    if (event == "activate")
        b.setCondition(kSite, kCause, true, {}, QStringLiteral("2.05 V"));
    else if (event == "clear")
        b.setCondition(kSite, kCause, false);
    else if (event == "ack")
        a = b.acknowledge(kSite, kCause, QStringLiteral("sato"));
    else if (event == "shelve")
        a = b.shelve(kSite, kCause, 10, QStringLiteral("sato"), QStringLiteral("点検中"));
    else if (event == "unshelve")
        a = b.unshelve(kSite, kCause, QStringLiteral("sato"));
    else if (event == "expire")
        clock.advance(11 * 60 * 1000);
    else if (event == "suppress")
        b.setSuppressed(kSite, true, QStringLiteral("removed"));
    else if (event == "unsuppress")
        b.setSuppressed(kSite, false);
    return a.ok ? QString() : a.reason;
}

void bringTo(AlarmBook &b, VirtualClock &clock, const QString &start)
{
    const QString base = start.section('/', -1);
    if (base == "UNACK" || base == "ACKED" || base == "RTNUN" || base == "SHLVD+")
        apply(b, clock, "activate");
    if (base == "ACKED")
        apply(b, clock, "ack");
    if (base == "RTNUN")
        apply(b, clock, "clear");
    if (base.startsWith("SHLVD"))
        apply(b, clock, "shelve");
    if (start.startsWith("DSUPR"))
        apply(b, clock, "suppress");
}

QDateTime at(int h, int m, int s = 0)
{
    return QDateTime(QDate(2026, 12, 9), QTime(h, m, s));
}
} // namespace

class tst_alarmbook : public QObject {
    Q_OBJECT
private slots:
    void init() { m_f = std::make_unique<AppFixture>(); m_f->clock.setBase(at(5, 0)); }
    void cleanup() { m_f.reset(); }
    void everyStateAgainstEveryEvent_data();
    void everyStateAgainstEveryEvent();
    void suppressionGivesBackTheTrueState_data();
    void suppressionGivesBackTheTrueState();
    void shelvedForOneMinuteComesBackByItself();
    void shelvingIsBoundedAndNamed();
    void acknowledgeAllAndTheCount();
    void seqGrowsWithEveryChange();
    void jsonRoundTrip();
    void hostilePayloadsAreRefused_data();
    void hostilePayloadsAreRefused();
    void bookSurvivesARestart();
    void corruptStateFilesAreRefused_data();
    void corruptStateFilesAreRefused();
    void boundedInSites();
    void timesAsTextMatchQtsOwn();
    void aReadingSetsWhatEachConditionAloneWould();

private:
    std::unique_ptr<AppFixture> m_f;
};

void tst_alarmbook::everyStateAgainstEveryEvent_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("expected");
    for (int s = 0; s < kStarts.size(); ++s)
        for (int e = 0; e < kEvents.size(); ++e)
            QTest::newRow(qPrintable(kStarts[s] + " " + kEvents[e])) << kStarts[s] << kEvents[e] << QString(kTable[s][e]);
}

void tst_alarmbook::everyStateAgainstEveryEvent()
{
    QFETCH(QString, start);
    QFETCH(QString, event);
    QFETCH(QString, expected);
    AlarmBook b;
    bringTo(b, m_f->clock, start);
    QCOMPARE(stateOf(b), start.section('/', 0, 0).remove('+').remove('-'));
    const quint64 seq = b.site(kSite).seq;
    QList<AlarmEvent> told;
    connect(&b, &AlarmBook::changed, this, [&](const AlarmEvent &e) { told << e; });
    QSignalSpy siteChanged(&b, &AlarmBook::siteChanged);
    b.save(); // the state file keeps each site's part until the site changes
    m_f->clock.advance(1000);
    const QString refused = apply(b, m_f->clock, event);

    const QString state = expected.section(QRegularExpression("[:!]"), 0, 0);
    QCOMPARE(stateOf(b), state);
    if (expected.contains('!'))
        QCOMPARE(refused, expected.section('!', 1));
    else
        QCOMPARE(refused, QString());
    QStringList kinds;
    for (const AlarmEvent &e : told) {
        kinds << AlarmEventName(e.kind);
        QCOMPARE(e.site, kSite);
        QCOMPARE(e.alarm.cause, kCause);
    }
    QCOMPARE(kinds.join('+'), expected.contains(':') ? expected.section(':', 1) : QString());
    // Each event tells the alarm as it is after it; a change of the list is told once, and
    // moves seq on.
    if (!told.isEmpty())
        QCOMPARE(QLatin1String(AlarmStateName(told.last().alarm.normal() ? AlarmState::Normal : told.last().alarm.state())),
                 state);
    QCOMPARE(siteChanged.size(), told.isEmpty() ? 0 : 1);
    QVERIFY(told.isEmpty() ? b.site(kSite).seq == seq : b.site(kSite).seq > seq);
    // The list holds the alarm unless it is normal; the count holds it while it waits for
    // someone.
    QCOMPARE(b.site(kSite).alarms.size(), state == "NORM" ? 0 : 1);
    QCOMPARE(b.unacknowledged(), state == "UNACK" || state == "RTNUN" ? 1 : 0);
    // The state file holds the state after the event, not the part kept from before it.
    AlarmBook reloaded;
    QVERIFY(reloaded.load(b.save()));
    QCOMPARE(stateOf(reloaded), state);
    // A raise carries its time and what was read; an acknowledgement its user.
    for (const AlarmEvent &e : told) {
        if (e.kind == AlarmEvent::Kind::Raised) {
            // Back from a shelve that ran out: raised when it ran out.
            if (event == "expire")
                QVERIFY(e.alarm.raised > Now().addSecs(-62) && e.alarm.raised < Now().addSecs(-59));
            else
                QCOMPARE(e.alarm.raised, Now());
            QCOMPARE(e.alarm.cleared, QDateTime());
            QCOMPARE(e.alarm.ackedBy, QString());
            QCOMPARE(e.alarm.value, QStringLiteral("2.05 V"));
        }
        if (e.kind == AlarmEvent::Kind::Acked) {
            QCOMPARE(e.user, QStringLiteral("sato"));
            QCOMPARE(e.alarm.ackedAt, Now());
        }
    }
}

void tst_alarmbook::suppressionGivesBackTheTrueState_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QStringList>("meanwhile");
    QTest::addColumn<QString>("after");
    QTest::addColumn<QString>("told");
    // What happened to the condition while the site was out of service decides.
    QTest::newRow("unacknowledged, went") << "DSUPR/UNACK" << QStringList{"clear"} << "RTNUN" << "back in service+cleared";
    QTest::newRow("acknowledged, went") << "DSUPR/ACKED" << QStringList{"clear"} << "NORM" << "back in service+cleared";
    QTest::newRow("returned, came again") << "DSUPR/RTNUN" << QStringList{"activate"} << "UNACK" << "back in service+raised";
    QTest::newRow("normal, came") << "NORM" << QStringList{"suppress", "activate"} << "UNACK" << "raised";
    QTest::newRow("acknowledged, came and went and came") << "DSUPR/ACKED" << QStringList{"clear", "activate"} << "ACKED"
                                                          << "back in service";
    QTest::newRow("shelved, ran out meanwhile") << "SHLVD+" << QStringList{"suppress", "expire"} << "UNACK"
                                                << "back in service+returned from shelving+raised";
    QTest::newRow("shelved, still shelved") << "SHLVD-" << QStringList{"suppress", "activate"} << "SHLVD"
                                            << "back in service";
}

void tst_alarmbook::suppressionGivesBackTheTrueState()
{
    QFETCH(QString, start);
    QFETCH(QStringList, meanwhile);
    QFETCH(QString, after);
    QFETCH(QString, told);
    AlarmBook b;
    bringTo(b, m_f->clock, start);
    QStringList kinds;
    connect(&b, &AlarmBook::changed, this, [&](const AlarmEvent &e) { kinds << AlarmEventName(e.kind); });
    for (const QString &e : meanwhile) {
        QCOMPARE(apply(b, m_f->clock, e), QString());
        // Nothing is told, or raised, while the site is out of service.
        QVERIFY2(kinds.isEmpty() || kinds == QStringList{"suppressed"}, qPrintable(kinds.join('+')));
        QVERIFY(b.suppressed(kSite));
    }
    kinds.clear();
    apply(b, m_f->clock, "unsuppress");
    QCOMPARE(stateOf(b), after);
    QCOMPARE(kinds.join('+'), told);
}

void tst_alarmbook::shelvedForOneMinuteComesBackByItself()
{
    AlarmBook b;
    b.setCondition(kSite, kCause, true, at(5, 0), QStringLiteral("1.00 V"));
    b.setCondition(kSite, AlarmCause::NoReply, true, at(5, 0));
    QCOMPARE(b.unacknowledged(), 2);
    const QDateTime shelvedAt = Now();
    const AlarmAnswer a = b.shelve(kSite, kCause, 1, QStringLiteral("suzuki"), QStringLiteral("chattering"));
    QVERIFY(a.ok);
    // Out of the count; the other alarm stays in it.
    QCOMPARE(b.unacknowledged(), 1);
    const Alarm *al = b.find(kSite, kCause);
    QCOMPARE(al->state(), AlarmState::Shelved);
    QCOMPARE(al->shelvedBy, QStringLiteral("suzuki"));
    QCOMPARE(al->shelvedUntil, shelvedAt.addSecs(60));
    QCOMPARE(al->reason, QStringLiteral("chattering"));
    // The output chatters while shelved: nothing is told.
    QList<AlarmEvent> told;
    connect(&b, &AlarmBook::changed, this, [&](const AlarmEvent &e) { told << e; });
    for (int i = 0; i < 10; ++i) {
        m_f->clock.advance(2000);
        b.setCondition(kSite, kCause, i % 2 == 1, Now());
    }
    QVERIFY(told.isEmpty());
    m_f->clock.advance(59000 - 20000);
    QCOMPARE(b.find(kSite, kCause)->state(), AlarmState::Shelved);
    // Its own timer ends it (nothing else calls the book): as a new alarm, since the
    // output is on again.
    m_f->clock.advance(2000);
    QCOMPARE(b.find(kSite, kCause)->state(), AlarmState::Unack);
    QCOMPARE(told.size(), 2);
    QCOMPARE(told[0].kind, AlarmEvent::Kind::ShelveEnded);
    QCOMPARE(told[1].kind, AlarmEvent::Kind::Raised);
    QVERIFY(told[1].alarm.raised >= shelvedAt.addSecs(60) && told[1].alarm.raised <= Now());
    QCOMPARE(b.find(kSite, kCause)->shelvedBy, QString());
    QCOMPARE(b.unacknowledged(), 2);
}

void tst_alarmbook::shelvingIsBoundedAndNamed()
{
    AlarmBook b;
    QCOMPARE(b.maxShelveMinutes(), 480);
    QCOMPARE(b.shelve(kSite, kCause, 481, "sato", "x").reason, QStringLiteral("too long"));
    QCOMPARE(b.shelve(kSite, kCause, 0, "sato", "x").reason, QStringLiteral("malformed"));
    QCOMPARE(b.shelve(kSite, kCause, 10, "", "x").reason, QStringLiteral("malformed"));
    QCOMPARE(b.shelve(kSite, kCause, 10, "sato", "  ").reason, QStringLiteral("a reason is needed"));
    QCOMPARE(b.shelve(kSite, kCause, 10, "sato", QString(AlarmBook::kMaxReason + 1, 'x')).reason,
             QStringLiteral("malformed"));
    QCOMPARE(b.shelve(kSite, kCause, 10, QString(AlarmBook::kMaxUser + 1, 'u'), "x").reason, QStringLiteral("malformed"));
    QVERIFY(b.site(kSite).alarms.isEmpty());
    QVERIFY(b.shelve(kSite, kCause, 480, "sato", "x").ok);
    b.setMaxShelveMinutes(60);
    QCOMPARE(b.shelve(kSite, kCause, 61, "sato", "x").reason, QStringLiteral("too long"));
    // A shelve made longer before stays as it was; renewing it takes the new bound.
    QCOMPARE(b.find(kSite, kCause)->shelvedUntil, Now().addSecs(480 * 60));
    QVERIFY(b.shelve(kSite, kCause, 60, "tanaka", "y").ok);
    QCOMPARE(b.find(kSite, kCause)->shelvedBy, QStringLiteral("tanaka"));
    QCOMPARE(b.find(kSite, kCause)->shelvedUntil, Now().addSecs(3600));
    QCOMPARE(b.unshelve(kSite, std::nullopt, "sato").changed, 1);
    QCOMPARE(b.unshelve(kSite, std::nullopt, "sato").reason, QStringLiteral("nothing shelved"));
}

void tst_alarmbook::acknowledgeAllAndTheCount()
{
    AlarmBook b;
    for (int ch : {1, 4, 8})
        b.setCondition(kSite, OutputCause(ch), true);
    b.setCondition(kSite, OutputCause(4), false); // RTNUN
    b.setCondition(QStringLiteral("other"), AlarmCause::Lost, true);
    QVERIFY(b.shelve(kSite, OutputCause(8), 5, "sato", "x").ok);
    QCOMPARE(b.unacknowledged(), 3);
    QList<AlarmEvent> told;
    connect(&b, &AlarmBook::changed, this, [&](const AlarmEvent &e) { told << e; });
    QSignalSpy siteChanged(&b, &AlarmBook::siteChanged);
    const AlarmAnswer a = b.acknowledge(kSite, std::nullopt, "yamada");
    // The shelved one and the other site's are not touched; one list change is told.
    QVERIFY(a.ok);
    QCOMPARE(a.changed, 2);
    QCOMPARE(told.size(), 2);
    QCOMPARE(siteChanged.size(), 1);
    QCOMPARE(b.find(kSite, OutputCause(1))->state(), AlarmState::Acked);
    QVERIFY(b.find(kSite, OutputCause(4))->normal());
    QCOMPARE(b.find(kSite, OutputCause(8))->state(), AlarmState::Shelved);
    QCOMPARE(b.unacknowledged(), 1);
    QCOMPARE(b.acknowledge(kSite, std::nullopt, "yamada").reason, QStringLiteral("nothing to acknowledge"));
    QCOMPARE(b.acknowledge(QStringLiteral("nowhere"), kCause, "yamada").reason, QStringLiteral("not active"));
}

void tst_alarmbook::seqGrowsWithEveryChange()
{
    AlarmBook b;
    quint64 last = 0;
    for (int i = 0; i < 20; ++i) {
        b.setCondition(kSite, kCause, i % 2 == 0);
        const quint64 seq = b.site(kSite).seq;
        QVERIFY2(seq > last, qPrintable(QString::number(seq)));
        // At least the change's time in ms: a book started afresh (a lost state file)
        // still numbers above what consoles have seen.
        QVERIFY(seq >= quint64(Now().toMSecsSinceEpoch()));
        last = seq;
    }
}

void tst_alarmbook::jsonRoundTrip()
{
    AlarmBook b;
    b.setCondition(kSite, OutputCause(1), true, at(5, 1, 2), "1.00 V");
    b.setCondition(kSite, OutputCause(2), true, at(5, 1, 3));
    b.acknowledge(kSite, OutputCause(2), QStringLiteral("佐藤, \"当直\""));
    b.setCondition(kSite, AlarmCause::NoReply, true, at(5, 1, 4));
    b.setCondition(kSite, AlarmCause::NoReply, false, at(5, 2, 0));
    b.shelve(kSite, AlarmCause::Garbled, 90, QStringLiteral("suzuki"), QStringLiteral("回線工事\n,\\ 中"));
    b.setCondition(QStringLiteral("kawabe-2"), AlarmCause::Lost, true, at(4, 0));
    b.setSuppressed(QStringLiteral("kawabe-2"), true, QStringLiteral("removed from the configuration"));
    for (const QString &name : {kSite, QStringLiteral("kawabe-2")}) {
        const SiteAlarms s = b.site(name);
        const QByteArray p = AlarmsPayload(s);
        SiteAlarms back;
        QString why;
        QVERIFY2(ParseAlarmsPayload(p, &back, &why), qPrintable(why + ": " + p));
        QCOMPARE(back.site, s.site);
        QCOMPARE(back.seq, s.seq);
        QCOMPARE(back.alarms.size(), s.alarms.size());
        for (int i = 0; i < s.alarms.size(); ++i) {
            const Alarm &x = s.alarms[i], &y = back.alarms[i];
            QCOMPARE(y.cause, x.cause);
            QCOMPARE(y.state(), x.state());
            QCOMPARE(y.raised, x.raised);
            QCOMPARE(y.cleared, x.cleared);
            QCOMPARE(y.ackedBy, x.ackedBy);
            QCOMPARE(y.ackedAt, x.ackedAt);
            QCOMPARE(y.shelvedBy, x.shelvedBy);
            QCOMPARE(y.shelvedUntil, x.shelvedUntil);
            QCOMPARE(y.reason, x.reason);
            QCOMPARE(y.unacknowledged(), x.unacknowledged());
        }
        // The same list makes the same bytes.
        QCOMPARE(AlarmsPayload(back), p);
    }
    // The form, as a console that does not use this code reads it.
    const QJsonObject o = QJsonDocument::fromJson(AlarmsPayload(b.site(kSite))).object();
    QCOMPARE(o.keys(), (QStringList{"alarms", "seq", "site"}));
    const QJsonArray list = o.value("alarms").toArray();
    QStringList states;
    for (const QJsonValue &v : list)
        states << v.toObject().value("cause").toString() + "=" + v.toObject().value("state").toString();
    QCOMPARE(states, (QStringList{"output1=UNACK", "output2=ACKED", "no-reply=RTNUN", "garbled=SHLVD"}));
    const QJsonObject first = list[0].toObject();
    QCOMPARE(first.keys(), (QStringList{"acked_at", "acked_by", "cause", "cleared", "raised", "reason", "shelved_by",
                                        "shelved_until", "state"}));
    QCOMPARE(first.value("raised").toString(), AlarmTimeText(at(5, 1, 2)));
    QVERIFY(first.value("cleared").isNull());
    QCOMPARE(list[2].toObject().value("cleared").toString(), AlarmTimeText(at(5, 2, 0)));
    QCOMPARE(QJsonDocument::fromJson(AlarmsPayload(b.site("kawabe-2"))).object().value("alarms")[0]["state"].toString(),
             QStringLiteral("DSUPR"));
}

void tst_alarmbook::hostilePayloadsAreRefused_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("why");
    const QByteArray alarm = R"({"cause":"output1","state":"UNACK","raised":"2026-12-09T05:00:00.000+09:00"})";
    const auto list = [](const QByteArray &alarms) { return R"({"site":"s1","seq":5,"alarms":[)" + alarms + "]}"; };
    QTest::newRow("no JSON") << QByteArray("{\"site\":") << "no JSON object";
    QTest::newRow("an array") << QByteArray("[1]") << "no JSON object";
    QTest::newRow("site name") << QByteArray(R"({"site":"../x","seq":1,"alarms":[]})") << "no site name";
    QTest::newRow("seq negative") << QByteArray(R"({"site":"s1","seq":-1,"alarms":[]})") << "seq";
    QTest::newRow("seq fraction") << QByteArray(R"({"site":"s1","seq":1.5,"alarms":[]})") << "seq";
    QTest::newRow("alarms no list") << QByteArray(R"({"site":"s1","seq":1,"alarms":{}})") << "alarms";
    QByteArray many;
    for (int i = 0; i <= kAlarmCauses; ++i)
        many += (i ? "," : "") + alarm;
    QTest::newRow("too many") << list(many) << "alarms";
    QTest::newRow("twice") << list(alarm + "," + alarm) << "listed twice";
    QTest::newRow("unknown cause") << list(QByteArray(alarm).replace("output1", "output9")) << "unknown cause";
    QTest::newRow("unknown state") << list(QByteArray(alarm).replace("UNACK", "BOGUS")) << "unknown state";
    QTest::newRow("normal listed") << list(QByteArray(alarm).replace("UNACK", "NORM")) << "unknown state";
    QTest::newRow("no time") << list(QByteArray(alarm).replace("2026-12-09T05", "yesterday")) << "raised is no time";
    QTest::newRow("time a number") << list(R"({"cause":"lost","state":"UNACK","raised":12})") << "raised is no time";
    QTest::newRow("user too long") << list(R"({"cause":"lost","state":"ACKED","acked_by":")" + QByteArray(65, 'u') + "\"}")
                                   << "acked_by is longer";
    QTest::newRow("reason no text") << list(R"({"cause":"lost","state":"UNACK","reason":{}})") << "reason is no text";
    QTest::newRow("shelved without end") << list(R"({"cause":"lost","state":"SHLVD"})") << "shelved_until";
    QTest::newRow("oversized") << QByteArray(R"({"site":"s1","seq":1,"alarms":[],"x":")" + QByteArray(70000, 'x') + "\"}")
                               << "larger than";
}

void tst_alarmbook::hostilePayloadsAreRefused()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, why);
    SiteAlarms out;
    out.site = QStringLiteral("untouched");
    QString reason;
    QVERIFY(!ParseAlarmsPayload(payload, &out, &reason));
    QVERIFY2(reason.contains(why), qPrintable(reason));
    QCOMPARE(out.site, QStringLiteral("untouched"));
}

void tst_alarmbook::bookSurvivesARestart()
{
    QByteArray saved;
    QMap<QString, QByteArray> lists;
    int unacked = 0;
    {
        AlarmBook b;
        b.setCondition("a", OutputCause(1), true, at(5, 0), "3.10 V");
        b.setCondition("a", OutputCause(2), true, at(5, 0));
        b.acknowledge("a", OutputCause(2), "sato");
        b.setCondition("a", AlarmCause::Lost, true, at(5, 0));
        b.setCondition("a", AlarmCause::Lost, false, at(5, 1));
        b.shelve("b", AlarmCause::NoReply, 30, "suzuki", "工事");
        b.setCondition("b", AlarmCause::NoReply, true);
        b.setCondition("c", AlarmCause::Refused, true);
        b.setSuppressed("c", true, "removed");
        saved = b.save();
        for (const QString &s : b.sites())
            lists[s] = AlarmsPayload(b.site(s));
        unacked = b.unacknowledged();
    }
    QCOMPARE(unacked, 2);
    AlarmBook b;
    QSignalSpy told(&b, &AlarmBook::changed);
    QString why;
    QVERIFY2(b.load(saved, &why), qPrintable(why));
    QCOMPARE(told.size(), 0);
    QCOMPARE(b.sites(), (QStringList{"a", "b", "c"}));
    for (const QString &s : b.sites())
        QCOMPARE(AlarmsPayload(b.site(s)), lists[s]);
    QCOMPARE(b.unacknowledged(), unacked);
    QCOMPARE(b.find("a", OutputCause(1))->value, QStringLiteral("3.10 V"));
    // It goes on where it stood: the unacknowledged alarm returns unacknowledged, the
    // shelve ends on time as a new alarm (its condition held beneath it), the suppressed site
    // comes back with its alarm as it was.
    b.setCondition("a", OutputCause(1), false);
    QCOMPARE(b.find("a", OutputCause(1))->state(), AlarmState::Rtnun);
    m_f->clock.advance(31 * 60 * 1000);
    QCOMPARE(b.find("b", AlarmCause::NoReply)->state(), AlarmState::Unack);
    b.setSuppressed("c", false);
    QCOMPARE(b.find("c", AlarmCause::Refused)->state(), AlarmState::Unack);
    // Saved and read again, nothing changes.
    AlarmBook again;
    QVERIFY(again.load(b.save(), &why));
    QCOMPARE(again.save().mid(again.save().indexOf("\"sites\"")), b.save().mid(b.save().indexOf("\"sites\"")));
}

void tst_alarmbook::corruptStateFilesAreRefused_data()
{
    QTest::addColumn<QByteArray>("bytes");
    AlarmBook good;
    good.setCondition("a", OutputCause(1), true);
    good.shelve("a", OutputCause(2), 5, "u", "r");
    const QByteArray file = good.save();
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("cut in two") << file.left(file.size() / 2);
    QTest::newRow("another version") << QByteArray(file).replace("\"qelvo_alarms\":1", "\"qelvo_alarms\":2");
    QTest::newRow("state disagrees") << QByteArray(file).replace("\"state\":\"UNACK\"", "\"state\":\"ACKED\"");
    QTest::newRow("core unknown") << QByteArray(file).replace("\"core\":\"UNACK\"", "\"core\":\"SHLVD\"");
    QTest::newRow("active missing") << QByteArray(file).replace("\"active\":true", "\"alive\":true");
    QTest::newRow("site twice") << QByteArray(file).replace("\"sites\":[", "\"sites\":[{\"site\":\"a\",\"seq\":1,\"alarms\":[]},");
    QTest::newRow("binary") << QByteArray(4096, '\xff');
    QByteArray sites = "{\"qelvo_alarms\":1,\"sites\":[";
    for (int i = 0; i <= AlarmBook::kMaxSites; ++i)
        sites += (i ? "," : "") + QStringLiteral("{\"site\":\"s%1\",\"seq\":1,\"alarms\":[]}").arg(i).toLatin1();
    QTest::newRow("too many sites") << sites + "]}";
}

void tst_alarmbook::corruptStateFilesAreRefused()
{
    QFETCH(QByteArray, bytes);
    AlarmBook b;
    b.setCondition("old", AlarmCause::Lost, true);
    QString why;
    QVERIFY(!b.load(bytes, &why));
    QVERIFY(!why.isEmpty());
    // Nothing half read stays.
    QVERIFY(b.sites().isEmpty());
    QCOMPARE(b.unacknowledged(), 0);
}

void tst_alarmbook::boundedInSites()
{
    AlarmBook b;
    // Sites that come and go leave nothing past the bound; those out of service go first,
    // those with alarms stay.
    for (int i = 0; i < AlarmBook::kMaxSites + 500; ++i) {
        const QString s = QStringLiteral("s%1").arg(i);
        b.setCondition(s, AlarmCause::Lost, true);
        if (i >= 100) {
            b.acknowledge(s, AlarmCause::Lost, "u");
            b.setCondition(s, AlarmCause::Lost, false);
        }
    }
    QVERIFY(b.sites().size() <= AlarmBook::kMaxSites);
    QCOMPARE(b.unacknowledged(), 100);
    QVERIFY(b.sites().contains("s0") && b.sites().contains("s99"));
}

void tst_alarmbook::timesAsTextMatchQtsOwn()
{
    // The published times are written by hand: for times across four centuries, each at
    // offsets from -12:00 to +14:00 in quarter hours, the text is Qt's ISO text with
    // milliseconds (its "Z" as "+00:00"); the edges of days, years and the formatted range too.
    auto qts = [](const QDateTime &t) {
        QString s = t.toString(Qt::ISODateWithMs);
        if (s.endsWith('Z'))
            s = s.chopped(1) + "+00:00";
        return s;
    };
    QRandomGenerator rng(42);
    const qint64 from = QDateTime(QDate(1850, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    const qint64 to = QDateTime(QDate(2250, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    QList<qint64> times = {0, -1, 86399999, 86400000, 951782400000 /* 2000-02-29 */,
                           QDateTime(QDate(1, 1, 1), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch(),
                           QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59, 999), Qt::UTC).toMSecsSinceEpoch(),
                           QDateTime(QDate(10000, 1, 1), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch()};
    for (int i = 0; i < 2000; ++i)
        times << from + qint64(rng.bounded(double(to - from)));
    int compared = 0;
    for (qint64 ms : times)
        for (int quarter = -48; quarter <= 56; quarter += 1 + int(rng.bounded(7))) {
            const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, quarter * 900);
            QCOMPARE(AlarmTimeText(t), qts(t));
            ++compared;
        }
    QVERIFY(compared > 20000);
    // A local time is written at its own offset.
    const QDateTime local(QDate(2026, 7, 1), QTime(9, 30, 5, 7));
    QCOMPARE(AlarmTimeText(local), qts(local.toOffsetFromUtc(local.offsetFromUtc())));
}

void tst_alarmbook::aReadingSetsWhatEachConditionAloneWould()
{
    // A reading that changes no condition is passed over quickly; the events must be the
    // same as setting each of the reading's conditions in turn. 3000 random readings and
    // line states for four sites, warning masks of their own, on two books side by side.
    AlarmBook quick, plain;
    QList<QString> quickEvents, plainEvents;
    auto record = [](QList<QString> &to) {
        return [&to](const AlarmEvent &e) {
            to << e.site + ' ' + AlarmCauseName(e.alarm.cause) + ' ' + AlarmEventName(e.kind) + ' ' +
                      AlarmStateName(e.alarm.state()) + ' ' + e.alarm.value;
        };
    };
    connect(&quick, &AlarmBook::changed, this, record(quickEvents));
    connect(&plain, &AlarmBook::changed, this, record(plainEvents));
    const QStringList sites = {"a", "b", "c", "d"};
    const quint8 warn[] = {0xFF, 0x0F, 0xA5, 0x00};
    QRandomGenerator rng(7);
    for (int n = 0; n < 3000; ++n) {
        m_f->clock.advance(1000);
        const int i = int(rng.bounded(4));
        const QString &site = sites[i];
        if (rng.bounded(10) == 0) {
            // A line fault now and then, and back online.
            const SiteState st = rng.bounded(2) ? SiteState::NoReply : SiteState::Online;
            WatchAlarms::stateConditions(quick, site, st, QStringLiteral("why"));
            WatchAlarms::stateConditions(plain, site, st, QStringLiteral("why"));
            continue;
        }
        Reading r;
        r.time = Now();
        r.valueValid = rng.bounded(5) != 0;
        r.outputsValid = rng.bounded(8) != 0;
        r.value = double(rng.bounded(500)) / 100;
        r.unit = QStringLiteral("V");
        // Outputs change seldom, so that most readings change nothing.
        static int outputs[4] = {};
        if (rng.bounded(6) == 0)
            outputs[i] ^= 1 << rng.bounded(8);
        r.outputs = outputs[i];
        WatchAlarms::readingConditions(quick, site, r, warn[i]);
        const QDateTime at = r.time;
        for (AlarmCause c : {AlarmCause::NoReply, AlarmCause::Lost, AlarmCause::Refused, AlarmCause::Garbled})
            plain.setCondition(site, c, false, at);
        if (!r.outputsValid)
            continue;
        const QString value = r.valueValid ? r.valueText() + ' ' + r.unit : QString();
        for (int ch = 1; ch <= 8; ++ch)
            plain.setCondition(site, OutputCause(ch), ((warn[i] >> (ch - 1)) & 1) && r.outputOn(ch), at, value);
    }
    QVERIFY(plainEvents.size() > 300);
    QCOMPARE(quickEvents, plainEvents);
    QCOMPARE(quick.save(), plain.save());
}

QTEST_GUILESS_MAIN(tst_alarmbook)
#include "tst_alarmbook.moc"
