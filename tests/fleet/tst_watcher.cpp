// The fleet watcher on simulated controllers and the virtual clock: sites that fail never
// hold up the others, every state comes within its bound, and each site's log files hold
// exactly the log filer's lines for the readings taken, across a midnight and a full disk.
#include "support/AppFixture.h"
#include "support/TcpTestServer.h"

#include "fleet/Watcher.h"
#include "link/LinkSession.h"
#include "logfiler/LogRun.h"
#include "logfiler/modLogFiler.h"
#include "platform/Dialogs.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"
#include "doubles/FaultyDisk.h"

#include <QtTest>
#include <cerrno>
#include <map>

namespace {
struct SiteLog {
    QList<Reading> readings;
    QList<QPair<qint64, SiteState>> states; // virtual ms, state
};

WatchSite site(const QString &name, int com, int intervalMs, int pinnedType = 0)
{
    WatchSite s;
    s.name = name;
    s.port = QStringLiteral("COM%1").arg(com);
    s.comPort = com;
    s.intervalMs = intervalMs;
    s.inputType = pinnedType;
    s.queueLimit = 5;
    return s;
}

QStringList dataLines(const QByteArray &file)
{
    QStringList out;
    for (const QByteArray &l : file.split('\n'))
        if (!l.isEmpty() && l.at(0) >= '0' && l.at(0) <= '9')
            out << QString::fromLatin1(l.chopped(l.endsWith('\r') ? 1 : 0));
    return out;
}

QStringList markers(const QByteArray &file)
{
    QStringList out;
    for (const QByteArray &l : file.split('\n'))
        if (l.startsWith("/**"))
            out << QString::fromLatin1(l.trimmed());
    return out;
}

// What the log filer writes for these readings, numbered from 1.
QStringList expectedLines(const QList<Reading> &readings)
{
    QStringList out;
    for (const Reading &r : readings) {
        QDateTime t = r.time;
        t.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
        out << MakeDataLine(qint32(out.size() + 1), t, r, true, true);
    }
    return out;
}
} // namespace

class tst_watcher : public QObject {
    Q_OBJECT
private slots:
    void sitesFailAlone();
    void aDeviceServerThatNeverOpensHoldsUpNoSite();
    void fullDiskLosesNoLine();
};

void tst_watcher::sitesFailAlone()
{
    AppFixture f;
    SilentDialogs silent;
    installDialogs(&silent);
    // A minute before midnight: the day's files change during the run.
    f.clock.setBase(QDateTime(QDate(2026, 12, 9), QTime(23, 59, 0)));
    const QString logs = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-watcher-%1").arg(QCoreApplication::applicationPid()));
    QDir(logs).removeRecursively();

    WatchSettings ws;
    ws.logFolder = logs;
    // A broker that is never there: the readings wait, at most five per site.
    WatchMqtt m;
    m.url = QStringLiteral("mqtt://127.0.0.1:1");
    m.topicPrefix = QStringLiteral("qelvo");
    m.clientId = QStringLiteral("test");
    ws.mqtt = m;
    ws.sites = {site("a", 1, 1000), site("b", 2, 500), site("c", 3, 1000, Dist5M), site("silent", 4, 1000),
                site("drop", 5, 1000)};
    std::map<QString, SimulatedPort *> ports;
    const quint8 codes[] = {0x00, 0x02, 0x00, 0x00, 0x00};
    int n = 0;
    Watcher w(ws, [&](const WatchSite &s) {
        auto p = std::make_unique<SimulatedPort>();
        p->usablePorts = {s.comPort};
        p->model().setLevel(100 * s.comPort);
        p->model().setCell(cellInputCode, codes[n++]);
        ports[s.name] = p.get();
        return p;
    });
    QString error;
    QVERIFY2(w.start(&error), qPrintable(error));
    std::map<QString, SiteLog> seen;
    const qint64 t0 = f.clock.nowUs();
    for (const WatchSite &s : ws.sites) {
        SiteWatch *sw = w.site(s.name);
        SiteLog &log = seen[s.name];
        connect(sw, &SiteWatch::readingTaken, this, [&log](const Reading &r) { log.readings << r; });
        connect(sw, &SiteWatch::stateChanged, this,
                [&log, &f, t0](SiteState st) { log.states << qMakePair(f.msSince(t0), st); });
    }
    f.clock.scheduleIn(10 * 1000000LL, [&] {
        ports["silent"]->setFault(CtrlModel::Fault::Silence);
        ports["drop"]->hangUp();
    });
    f.clock.scheduleIn(40 * 1000000LL, [&] { ports["drop"]->plugIn(); });
    while (f.msSince(t0) < 100000)
        f.clock.advance(50);

    // The healthy sites never waited: no gap longer than their interval (and a poll's time).
    for (const char *name : {"a", "b", "c"}) {
        const QList<Reading> &rs = seen[name].readings;
        const int interval = w.site(name)->site().intervalMs;
        QVERIFY2(rs.size() >= 100000 / interval - 3, name);
        for (qsizetype i = 1; i < rs.size(); ++i)
            QVERIFY2(rs[i - 1].time.msecsTo(rs[i].time) <= interval + 100,
                     qPrintable(QStringLiteral("%1: %2").arg(name, rs[i].time.toString())));
        QCOMPARE(w.site(name)->state(), SiteState::Online);
    }
    // The input type: read from the controller (b: 4-20 mA), or pinned (c: distance 5 m).
    QCOMPARE(seen["a"].readings.last().unit, QStringLiteral("V"));
    QCOMPARE(seen["b"].readings.last().unit, InputTypeOf(Current20mA).unit);
    QCOMPARE(seen["c"].readings.last().inputType, int(Dist5M));
    QCOMPARE(seen["a"].readings.last().count, 100);

    // The silent site gives up after the reply time; the dropped one is lost at once and
    // back at the retry after it was plugged in (1, 2, 4, 8, 16 s: the try at 41 s).
    const auto firstAt = [&](const QString &name, SiteState st, qint64 after = 0) {
        for (const auto &[ms, s] : seen[name].states)
            if (s == st && ms >= after)
                return ms;
        return qint64(-1);
    };
    const qint64 noReply = firstAt("silent", SiteState::NoReply);
    QVERIFY2(noReply >= 29000 && noReply <= 32000, QByteArray::number(noReply));
    QCOMPARE(w.site("silent")->state(), SiteState::NoReply);
    const qint64 lost = firstAt("drop", SiteState::Lost);
    QVERIFY2(lost >= 10000 && lost <= 11100, QByteArray::number(lost));
    const qint64 back = firstAt("drop", SiteState::Online, lost);
    QVERIFY2(back >= 40000 && back <= 42500, QByteArray::number(back));

    // The broker never came: each site keeps its newest five and counts what it gave up.
    QCOMPARE(w.queued("a"), qsizetype(5));
    QCOMPARE(w.dropped("a"), qint64(seen["a"].readings.size() - 5));

    bool stopped = false;
    w.shutdown(1000, [&] { stopped = true; });
    while (!stopped)
        f.clock.advance(10);

    // The files of a and b: the old day ends at midnight, the new day's file goes on to the
    // stop; the data lines are the log filer's for the readings of each day.
    for (const char *name : {"a", "b"}) {
        QList<Reading> day1, day2;
        for (const Reading &r : seen[name].readings)
            (r.time.date() == QDate(2026, 12, 9) ? day1 : day2) << r;
        const QString dir = logs + QLatin1Char('/') + QLatin1String(name);
        const QByteArray f1 = AppFixture::readFile(dir + "/qlv20261209.csv");
        const QByteArray f2 = AppFixture::readFile(dir + "/qlv20261210.csv");
        QCOMPARE(markers(f1), QStringList({"/** Logging Start **/", "/** Logging END T **/"}));
        QVERIFY(f1.endsWith("/** Logging END T **/\r\nTime :,2026/12/10, 00:00:00\r\n"));
        QCOMPARE(markers(f2), QStringList({"/** Logging Start **/", "/** Logging QUIT **/"}));
        QCOMPARE(dataLines(f1), expectedLines(day1));
        QCOMPARE(dataLines(f2), expectedLines(day2));
        QVERIFY(!QByteArray(f1 + f2).replace("\r\n", "").contains('\n'));
    }
    // Each failing site's run ended as the log filer ends one whose monitor stopped.
    QCOMPARE(markers(AppFixture::readFile(logs + "/silent/qlv20261209.csv")),
             QStringList({"/** Logging Start **/", "/** Logging Quit **/"}));
    QCOMPARE(markers(AppFixture::readFile(logs + "/drop/qlv20261209.csv")),
             QStringList({"/** Logging Start **/", "/** Logging Quit **/", "/** Logging Start **/", "/** Logging END T **/"}));
    QCOMPARE(w.site("a")->state(), SiteState::Stopped);
    QDir(logs).removeRecursively();
    installDialogs(&f.dlg);
}

void tst_watcher::aDeviceServerThatNeverOpensHoldsUpNoSite()
{
    // COM7 is mapped (ports/COM7) to an RFC 2217 server that accepts and never answers, so
    // each open of that site waits out its five seconds; the site beside it polls at its
    // interval all the while, on the real clock and the real event loop.
    AppFixture f;
    installClock(nullptr);
    SilentDialogs silent;
    installDialogs(&silent);
    TcpTestServer never(TcpTestServer::Mode::Silent, 0, true);
    QVERIFY(never.listening());
    QVERIFY(TcpTestServer::bindCom(7, never.url()));
    const QString logs = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-never-%1").arg(QCoreApplication::applicationPid()));
    QDir(logs).removeRecursively();
    WatchSettings ws;
    ws.logFolder = logs;
    constexpr int kIntervalMs = 200;
    ws.sites = {site("mapped", 7, kIntervalMs, Volt5), site("beside", 2, kIntervalMs, Volt5)};
    Watcher w(ws, [](const WatchSite &s) -> std::unique_ptr<SerialPortService> {
        if (s.name == QLatin1String("mapped"))
            return MakeSitePort(s); // COM7 as the program maps it
        auto p = std::make_unique<SimulatedPort>();
        p->usablePorts = {s.comPort};
        return p;
    });
    QString error;
    QVERIFY2(w.start(&error), qPrintable(error));
    QList<qint64> readingsAt;
    QElapsedTimer clock;
    clock.start();
    connect(w.site("beside"), &SiteWatch::readingTaken, this, [&] { readingsAt << clock.elapsed(); });
    QList<QString> lostBecause;
    connect(w.site("mapped"), &SiteWatch::stateChanged, this, [&](SiteState st, const QString &why) {
        if (st == SiteState::Lost)
            lostBecause << why;
    });
    // Two opens of the mapped site, each held up for its five seconds (then the third).
    QTRY_VERIFY_WITH_TIMEOUT(never.connections >= 3, 20000);
    QCOMPARE(w.site("mapped")->state(), SiteState::Lost);
    QVERIFY(!lostBecause.isEmpty());
    QVERIFY2(lostBecause.first().contains(QStringLiteral("RFC 2217")), qPrintable(lostBecause.first()));
    QVERIFY2(lostBecause.first().startsWith(never.url()), qPrintable(lostBecause.first()));
    // The site beside it was never late by more than one interval (and a poll's time).
    QVERIFY2(readingsAt.size() >= int(clock.elapsed() / kIntervalMs) - 5, QByteArray::number(readingsAt.size()));
    qint64 longest = 0;
    for (qsizetype i = 1; i < readingsAt.size(); ++i)
        longest = qMax(longest, readingsAt[i] - readingsAt[i - 1]);
    qInfo("%lld readings in %lld ms, the longest gap %lld ms", qint64(readingsAt.size()), clock.elapsed(), longest);
    QVERIFY2(longest <= 2 * kIntervalMs + 100, QByteArray::number(longest));
    // A reload may remove the site whose open is under way: nothing waits for it.
    WatchSettings next = ws;
    next.sites.removeFirst();
    w.reload(next);
    QVERIFY(!w.site("mapped"));
    QTest::qWait(300);
    bool stopped = false;
    w.shutdown(500, [&] { stopped = true; });
    QTRY_VERIFY(stopped);
    QDir(logs).removeRecursively();
    installDialogs(&f.dlg);
    installClock(&f.clock);
}

void tst_watcher::fullDiskLosesNoLine()
{
    AppFixture f;
    const QString folder = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-run-%1").arg(QCoreApplication::applicationPid()));
    QDir(folder).removeRecursively();
    LogRun run(LogRunMonitor{[] { return true; }, [] { return qint64(1000); }});
    QStringList failures;
    connect(&run, &LogRun::appendFailed, this, [&](const QString &why) { failures << why; });
    LogRunSettings rs;
    rs.set.strInterval = QStringLiteral("00:00:01");
    rs.set.intEndMode = 1;
    rs.set.strEndTime = QStringLiteral("2099/01/01 00:00:00");
    rs.path = folder + QStringLiteral("/x.csv");
    rs.eachReading = rs.keepUnwritten = true;
    QList<Reading> given;
    auto give = [&](int i) {
        const Reading r = MakeReading(Now().addSecs(i), QStringLiteral("%1").arg(i % 1024, 4, 16, QLatin1Char('0')),
                                      QStringLiteral("%1").arg(i % 256, 2, 16, QLatin1Char('0')), ScaleOfType(Volt5));
        given << r;
        run.takeReading(r);
    };
    give(0);
    QVERIFY(run.start(rs));
    for (int i = 1; i < 10; ++i)
        give(i);
    {
        // The disk fills part-way through a line, then refuses everything.
        FaultyDisk full(FaultyDisk::Fails::Write, 20, ENOSPC);
        for (int i = 10; i < 30; ++i)
            give(i);
        QVERIFY(run.unwrittenBytes() > 0);
    }
    give(30); // the disk has room again: everything waiting goes out first, in order
    QCOMPARE(run.unwrittenBytes(), qsizetype(0));
    QCOMPARE(failures.size(), 20);
    QCOMPARE(dataLines(AppFixture::readFile(rs.path)), expectedLines(given));

    // What waits is bounded: past the limit the oldest lines are given up, whole.
    {
        FaultyDisk full(FaultyDisk::Fails::Write, 0, EIO);
        for (int i = 31; i < 31 + 40000; ++i)
            give(i);
        QVERIFY(run.unwrittenBytes() <= LogRun::kUnwrittenLimit);
        QVERIFY(run.linesGivenUp() > 0);
    }
    give(40031);
    const QStringList lines = dataLines(AppFixture::readFile(rs.path));
    QCOMPARE(lines.size(), 31 + 40001 - int(run.linesGivenUp()));
    QCOMPARE(lines.last(), expectedLines(given).last());
    QDir(folder).removeRecursively();
}

QTEST_MAIN(tst_watcher)
#include "tst_watcher.moc"
