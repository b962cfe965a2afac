// The services that reach other programs and other servers, for real: a program run with
// variables added, its exit status and the end of its output, killed with everything it
// started; an HTTP POST answered, refused, redirected (not followed) or never answered.
#include "support/HttpTestServer.h"
#include "support/RealWaits.h"

#include "platform/HttpPost.h"
#include "platform/Programs.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {
// Whether process pid is gone (or only a zombie waiting to be reaped).
bool gone(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return true;
    const QByteArray stat = f.readAll();
    return stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
}
} // namespace

class tst_programs : public QObject {
    Q_OBJECT
private slots:
    void exitStatusEnvironmentAndOutput();
    void killTakesWhatItStarted();
    void programThatCannotStart();
    void postAnswered_data();
    void postAnswered();
    void postNeverAnsweredOrRefused();
    void postAborted();
};

void tst_programs::exitStatusEnvironmentAndOutput()
{
    std::optional<ProgramEnd> end;
    programService().start(QStringLiteral("/bin/sh"),
                           {QStringLiteral("-c"), QStringLiteral("printf '%s|' \"$QELVO_SITE\" \"$QELVO_TITLE\"; head -c 3000 /dev/zero | tr '\\000' x; echo tail; exit 3")},
                           {QStringLiteral("QELVO_SITE=kawabe-1"), QStringLiteral("QELVO_TITLE=川辺 第1")},
                           [&](const ProgramEnd &e) { end = e; });
    QCOMPARE(programService().running(), 1);
    QVERIFY(waitFor([&] { return end.has_value(); }, 10000));
    QCOMPARE(end->how, ProgramEnd::How::Exited);
    QCOMPARE(end->exitCode, 3);
    QVERIFY(!end->ok());
    // Only the end of what it wrote is kept.
    QCOMPARE(end->output.size(), ProgramService::kOutputTail);
    QVERIFY(end->output.endsWith("xxxtail\n"));
    QCOMPARE(programService().running(), 0);
    end.reset();
    programService().start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf '%s' \"$QELVO_TITLE\"")},
                           {QStringLiteral("QELVO_TITLE=川辺 第1")}, [&](const ProgramEnd &e) { end = e; });
    QVERIFY(waitFor([&] { return end.has_value(); }, 10000));
    QVERIFY(end->ok());
    QCOMPARE(QString::fromUtf8(end->output), QStringLiteral("川辺 第1"));
}

void tst_programs::killTakesWhatItStarted()
{
    QTemporaryDir dir;
    const QString pidFile = dir.filePath("pid");
    std::optional<ProgramEnd> end;
    const int id = programService().start(
        QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("sleep 60 & echo $! > '%1'; wait").arg(pidFile)}, {},
        [&](const ProgramEnd &e) { end = e; });
    QVERIFY(waitFor([&] { return QFileInfo(pidFile).size() > 0; }, 10000));
    QFile f(pidFile);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const qint64 child = f.readAll().trimmed().toLongLong();
    QVERIFY(child > 0 && !gone(child));
    programService().kill(id);
    QVERIFY(waitFor([&] { return end.has_value(); }, 10000));
    QCOMPARE(end->how, ProgramEnd::How::Killed);
    // What the program started went with it.
    QVERIFY(waitFor([&] { return gone(child); }, 5000));
}

void tst_programs::programThatCannotStart()
{
    std::optional<ProgramEnd> end;
    programService().start(QStringLiteral("/nonexistent/qelvo-tell"), {}, {}, [&](const ProgramEnd &e) { end = e; });
    QVERIFY(waitFor([&] { return end.has_value(); }, 10000));
    QCOMPARE(end->how, ProgramEnd::How::NotStarted);
    QVERIFY(!end->error.isEmpty());
    QCOMPARE(programService().running(), 0);
}

void tst_programs::postAnswered_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("ok");
    QTest::newRow("200") << 200 << true;
    QTest::newRow("204") << 204 << true;
    QTest::newRow("404") << 404 << false;
    QTest::newRow("500") << 500 << false;
    QTest::newRow("302, not followed") << 302 << false;
}

void tst_programs::postAnswered()
{
    QFETCH(int, status);
    QFETCH(bool, ok);
    HttpTestServer server;
    QVERIFY(server.listening());
    server.statuses = {status};
    server.location = server.url("/elsewhere").toLatin1();
    std::optional<HttpAnswer> answer;
    const QByteArray body = R"({"site":"kawabe-1","title":"川辺"})";
    httpService().post(QUrl(server.url()), body, "application/json", 5000, [&](const HttpAnswer &a) { answer = a; });
    QVERIFY(waitFor([&] { return answer.has_value(); }, 10000));
    QCOMPARE(answer->status, status);
    QCOMPARE(answer->ok(), ok);
    QCOMPARE(answer->error, QString());
    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(server.requests[0].method, QByteArray("POST"));
    QCOMPARE(server.requests[0].path, QByteArray("/hook"));
    QCOMPARE(server.requests[0].contentType, QByteArray("application/json"));
    QCOMPARE(server.requests[0].body, body);
}

void tst_programs::postNeverAnsweredOrRefused()
{
    HttpTestServer server;
    server.silent = true;
    std::optional<HttpAnswer> answer;
    QElapsedTimer took;
    took.start();
    httpService().post(QUrl(server.url()), "{}", "application/json", 700, [&](const HttpAnswer &a) { answer = a; });
    QVERIFY(waitFor([&] { return answer.has_value(); }, 10000));
    QVERIFY2(took.elapsed() >= 600 && took.elapsed() < 5000, qPrintable(QString::number(took.elapsed())));
    QCOMPARE(answer->error, QStringLiteral("no answer within 1 s"));
    QVERIFY(!answer->ok());
    // Nothing listens: refused at once.
    quint16 closed;
    {
        QTcpServer s;
        s.listen(QHostAddress::LocalHost, 0);
        closed = s.serverPort();
    }
    answer.reset();
    httpService().post(QUrl(QStringLiteral("http://127.0.0.1:%1/hook").arg(closed)), "{}", "application/json", 5000,
                       [&](const HttpAnswer &a) { answer = a; });
    QVERIFY(waitFor([&] { return answer.has_value(); }, 10000));
    QCOMPARE(answer->status, 0);
    QVERIFY(!answer->error.isEmpty());
}

void tst_programs::postAborted()
{
    HttpTestServer server;
    server.silent = true;
    bool called = false;
    const int id = httpService().post(QUrl(server.url()), "{}", "application/json", 500, [&](const HttpAnswer &) { called = true; });
    QVERIFY(waitFor([&] { return !server.requests.isEmpty(); }, 10000));
    httpService().abort(id);
    QTest::qWait(1000);
    QVERIFY(!called);
}

QTEST_GUILESS_MAIN(tst_programs)
#include "tst_programs.moc"
