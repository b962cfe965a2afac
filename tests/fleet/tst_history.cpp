// History on request, on the virtual clock: a site's readings between two times come back
// exactly as its CSV files hold them, across midnight, in chunks of a bounded size, the
// requests in turn; oversized, malformed, flooding and hostile requests change nothing and
// stay bounded.
#include "support/AppFixture.h"

#include "fleet/HistoryServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {
struct Sent {
    QString topic;
    QJsonObject o;
    int bytes = 0;
};

// A log file as the watcher writes it: its start block, data lines from t0 each second, the
// end block; "value" and "bits" follow the line's number so each line is told apart.
QByteArray logFile(const QDateTime &t0, int lines, QStringList *expected = nullptr,
                   const QDateTime &from = {}, const QDateTime &to = {})
{
    QByteArray f = "/** Logging Start **/\r\nTime :," + t0.toString("yyyy/MM/dd, HH:mm:ss").toLatin1() + "\r\n";
    for (int i = 0; i < lines; ++i) {
        const QDateTime t = t0.addSecs(i);
        const QString value = QStringLiteral("%1.%2").arg(i / 100 % 100, 2, 10, QLatin1Char('0')).arg(i % 100, 2, 10, QLatin1Char('0'));
        const QString bits = QString::number(i % 256, 2).rightJustified(8, QLatin1Char('0'));
        f += QStringLiteral("%1, %2, %3,V, %4\r\n")
                 .arg(i + 1, 6, 10, QLatin1Char('0'))
                 .arg(t.toString("yyyy/MM/dd, HH:mm:ss"), value, bits)
                 .toLatin1();
        if (expected && t >= from && t <= to)
            *expected << t.toString(Qt::ISODate).left(19) + ' ' + value + " V " + bits;
    }
    f += "/** Logging END T **/\r\nTime :," + t0.addSecs(lines).toString("yyyy/MM/dd, HH:mm:ss").toLatin1() + "\r\n";
    return f;
}

QString folder()
{
    const QString d = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-history-%1").arg(QCoreApplication::applicationPid()));
    return d;
}

struct Server {
    QList<Sent> sent;
    bool brokerUp = true;
    HistoryServer h{QStringLiteral("q"), folder(), [](const QString &s) { return s == QLatin1String("s"); },
                    [this](const QString &t, const QByteArray &p) {
                        if (!brokerUp)
                            return false;
                        sent << Sent{t, QJsonDocument::fromJson(p).object(), int(p.size())};
                        return true;
                    }};
    void ask(const QByteArray &payload, const QString &site = QStringLiteral("s"))
    {
        h.message(QStringLiteral("q/%1/history/request").arg(site), payload, false);
    }
    static QByteArray request(const QString &id, const QDateTime &from, const QDateTime &to,
                              const QString &reply = QStringLiteral("q/history/view1"))
    {
        return QJsonDocument(QJsonObject{{"id", id},
                                         {"from", from.toOffsetFromUtc(from.offsetFromUtc()).toString(Qt::ISODate)},
                                         {"to", to.toOffsetFromUtc(to.offsetFromUtc()).toString(Qt::ISODate)},
                                         {"reply", reply}})
            .toJson(QJsonDocument::Compact);
    }
    // Every reading answered for id, as "time value unit bits", and whether it ended.
    QStringList readings(const QString &id, bool *ended = nullptr, int *chunks = nullptr) const
    {
        QStringList out;
        int seq = 0;
        for (const Sent &s : sent) {
            if (s.o.value("id").toString() != id)
                continue;
            if (s.o.value("seq").toInt(-1) != seq++)
                return {QStringLiteral("out of order")};
            for (const QJsonValue &v : s.o.value("readings").toArray()) {
                const QJsonObject r = v.toObject();
                out << r.value("time").toString().left(19) + ' ' + r.value("value").toString() + ' ' +
                           r.value("unit").toString() + ' ' + r.value("bits").toString();
            }
            if (ended)
                *ended = s.o.value("last").toBool();
            if (chunks)
                *chunks = seq;
        }
        return out;
    }
};

void runFor(AppFixture &f, int ms)
{
    for (int t = 0; t < ms; t += 10)
        f.clock.advance(10);
}
} // namespace

class tst_history : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        QDir(folder()).removeRecursively();
        QDir().mkpath(folder() + QStringLiteral("/s"));
    }
    void spanAcrossMidnightIsExactlyTheFiles();
    void largeSpansInBoundedChunks();
    void hostileRequestsChangeNothing();
};

void tst_history::spanAcrossMidnightIsExactlyTheFiles()
{
    AppFixture f;
    const QDateTime day1(QDate(2026, 12, 9), QTime(23, 58, 0)), day2(QDate(2026, 12, 10), QTime(0, 0, 0));
    const QDateTime from(QDate(2026, 12, 9), QTime(23, 59, 30)), to(QDate(2026, 12, 10), QTime(0, 0, 20));
    QStringList expected;
    AppFixture::writeFile(folder() + "/s/qlv20261209.csv", logFile(day1, 120, &expected, from, to));
    // The new day's file: its last line still being written (no line end yet).
    AppFixture::writeFile(folder() + "/s/qlv20261210.csv",
                          logFile(day2, 60, &expected, from, to) + "000061, 2026/12/10, 00:01:00, 00.61,V, 001");
    QCOMPARE(expected.size(), 30 + 21);
    Server s;
    s.ask(Server::request("a", from, to));
    runFor(f, 1000);
    bool ended = false;
    QCOMPARE(s.readings("a", &ended), expected);
    QVERIFY(ended);
    QCOMPARE(s.sent.last().o.value("count").toInt(), expected.size());
    QCOMPARE(s.sent.last().topic, QStringLiteral("q/history/view1"));
    QCOMPARE(s.sent.last().o.value("site").toString(), QStringLiteral("s"));
    QCOMPARE(s.h.counts().served, quint64(1));
    QCOMPARE(s.h.jobs(), 0);

    // Times as milliseconds, a day without a file, a span with nothing: an empty answer.
    s.ask(QJsonDocument(QJsonObject{{"id", "b"},
                                    {"from", double(QDateTime(QDate(2026, 12, 8), QTime(12, 0)).toMSecsSinceEpoch())},
                                    {"to", double(QDateTime(QDate(2026, 12, 8), QTime(13, 0)).toMSecsSinceEpoch())},
                                    {"reply", "q/history/view1"}})
              .toJson());
    runFor(f, 200);
    QCOMPARE(s.readings("b", &ended), QStringList());
    QVERIFY(ended);

    // The broker away: the chunk waits and nothing is lost.
    s.brokerUp = false;
    s.ask(Server::request("c", from, to));
    runFor(f, 500);
    QCOMPARE(s.h.jobs(), 1);
    s.brokerUp = true;
    runFor(f, 500);
    QCOMPARE(s.readings("c", &ended), expected);
    QVERIFY(ended);
}

void tst_history::largeSpansInBoundedChunks()
{
    AppFixture f;
    // Two days of one reading a second: 86400 lines a file.
    const QDate d1(2026, 12, 9), d2(2026, 12, 10);
    AppFixture::writeFile(folder() + "/s/qlv20261209.csv", logFile(QDateTime(d1, QTime(0, 0)), 86400));
    AppFixture::writeFile(folder() + "/s/qlv20261210.csv", logFile(QDateTime(d2, QTime(0, 0)), 86400));
    Server s;
    const QDateTime from(d1, QTime(12, 0)), to(d2, QTime(11, 59, 59));
    s.ask(Server::request("big", from, to));
    // A second request beside it: the two are served in turn.
    s.ask(Server::request("small", QDateTime(d2, QTime(6, 0)), QDateTime(d2, QTime(6, 0, 9))));
    runFor(f, 2000);
    bool ended = false;
    QCOMPARE(s.readings("small", &ended).size(), 10);
    QVERIFY(ended);
    QVERIFY(!s.readings("big", &ended).isEmpty());
    QVERIFY(!ended);
    runFor(f, 60000);
    int chunks = 0;
    const QStringList big = s.readings("big", &ended, &chunks);
    QVERIFY(ended);
    QCOMPARE(big.size(), 86400);
    QVERIFY(big.first().startsWith(QStringLiteral("2026-12-09T12:00:00 ")));
    QVERIFY(big.last().startsWith(QStringLiteral("2026-12-10T11:59:59 ")));
    QVERIFY(chunks >= 86400 / HistoryServer::kChunkReadings);
    int largest = 0;
    for (const Sent &m : s.sent)
        largest = qMax(largest, m.bytes);
    QVERIFY2(largest < 100 * HistoryServer::kChunkReadings, qPrintable(QString::number(largest)));
}

void tst_history::hostileRequestsChangeNothing()
{
    AppFixture f;
    AppFixture::writeFile(folder() + "/s/qlv20261209.csv", logFile(QDateTime(QDate(2026, 12, 9), QTime(0, 0)), 10));
    Server s;
    const QDateTime from(QDate(2026, 12, 9), QTime(0, 0)), to(QDate(2026, 12, 9), QTime(1, 0));
    // Not answered: too large, no JSON, no id, a reply outside <prefix>/history/ or with
    // wildcards, a retained request, a topic of another level.
    s.ask(QByteArray(HistoryServer::kMaxRequestBytes + 1, ' '));
    s.ask("not json");
    s.ask(R"({"from":"2026-12-09T00:00:00","to":"2026-12-09T01:00:00","reply":"q/history/x"})");
    s.ask(Server::request("r1", from, to, QStringLiteral("q/s/state")));
    s.ask(Server::request("r2", from, to, QStringLiteral("q/history/#")));
    s.ask(Server::request("r3", from, to, QStringLiteral("q/history/")));
    s.ask(Server::request(QString(HistoryServer::kMaxId + 1, 'x'), from, to));
    s.h.message(QStringLiteral("q/s/history/request"), Server::request("r4", from, to), true);
    s.h.message(QStringLiteral("q/a/b/history/request"), Server::request("r5", from, to), false);
    runFor(f, 500);
    QVERIFY(s.sent.isEmpty());
    QCOMPARE(s.h.counts().oversized, quint64(1));
    QCOMPARE(s.h.counts().malformed, quint64(6));
    QCOMPARE(s.h.counts().retained, quint64(1));
    // Answered with an error: a span of more than seven days, backwards, an unknown site.
    s.ask(Server::request("long", from, from.addDays(7).addSecs(1)));
    s.ask(Server::request("back", to, from));
    s.ask(Server::request("who", from, to), QStringLiteral("nobody"));
    QCOMPARE(s.sent.size(), 3);
    QCOMPARE(s.sent[0].o.value("error").toString(), QStringLiteral("span longer than 7 days"));
    QCOMPARE(s.sent[1].o.value("error").toString(), QStringLiteral("from and to are no span"));
    QCOMPARE(s.sent[2].o.value("error").toString(), QStringLiteral("unknown site"));
    QCOMPARE(s.h.jobs(), 0);
    // Seven days exactly is served.
    s.ask(Server::request("week", from, from.addDays(7)));
    QCOMPARE(s.h.jobs(), 1);
    runFor(f, 1000);
    bool ended = false;
    QCOMPARE(s.readings("week", &ended).size(), 10);
    QVERIFY(ended);

    // A flood: at most kMaxJobs at once (the rest answered busy), and past the rate nothing
    // is even read.
    runFor(f, 20000); // the rate's tokens back
    s.sent.clear();
    s.brokerUp = false; // the jobs stay
    for (int i = 0; i < 10000; ++i)
        s.ask(Server::request(QStringLiteral("f%1").arg(i), from, to));
    QCOMPARE(s.h.jobs(), HistoryServer::kMaxJobs);
    QCOMPARE(s.h.counts().limited, quint64(10000 - HistoryServer::kBurst));
    QCOMPARE(s.h.counts().refused, quint64(3 + HistoryServer::kBurst - HistoryServer::kMaxJobs));
    s.brokerUp = true;
    runFor(f, 2000);
    QCOMPARE(s.h.jobs(), 0);
}

QTEST_GUILESS_MAIN(tst_history)
#include "tst_history.moc"
