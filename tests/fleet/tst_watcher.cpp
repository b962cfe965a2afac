// The fleet watcher on simulated controllers and the virtual clock: sites that fail never
// hold up the others, every state comes within its bound and says what happened, each
// site's log files hold exactly the log filer's lines for the readings taken, across a
// midnight and a full disk (which the site's state tells), idle sites arm no timer of their
// own, and the payloads are what integrators take as they are.
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

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
    void faultsToldAsTheyAre();
    void fullLogFolderInTheState();
    void idleSitesArmNoTimer();
    void payloadsForIntegrators();
    void homeAssistantDiscovery();
    void staleRetainedCleared();
};

namespace {
QJsonObject json(const QByteArray &payload) { return QJsonDocument::fromJson(payload).object(); }
} // namespace

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

// A controller that answers "?", one that answers noise, one silent, one that never opens and
// one unplugged after it gave readings: each site's state, code and reason, and the time
// since which it holds.
void tst_watcher::faultsToldAsTheyAre()
{
    AppFixture f;
    SilentDialogs silent;
    installDialogs(&silent);
    const QString logs = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-faults-%1").arg(QCoreApplication::applicationPid()));
    QDir(logs).removeRecursively();
    WatchSettings ws;
    ws.logFolder = logs;
    WatchMqtt m;
    m.url = QStringLiteral("mqtt://127.0.0.1:1");
    m.topicPrefix = QStringLiteral("qelvo");
    m.clientId = QStringLiteral("test");
    ws.mqtt = m;
    ws.sites = {site("question", 1, 1000, Volt5), site("noise", 2, 1000, Volt5), site("silent", 3, 1000, Volt5),
                site("absent", 4, 1000, Volt5), site("unplugged", 5, 1000, Volt5)};
    std::map<QString, SimulatedPort *> ports;
    Watcher w(ws, [&](const WatchSite &s) {
        auto p = std::make_unique<SimulatedPort>();
        p->usablePorts = {s.comPort};
        if (s.name == "question")
            p->setFault(CtrlModel::Fault::Question);
        else if (s.name == "noise")
            p->setFault(CtrlModel::Fault::Garbage, 8);
        else if (s.name == "silent")
            p->setFault(CtrlModel::Fault::Silence);
        else if (s.name == "absent")
            p->usablePorts = {};
        ports[s.name] = p.get();
        return p;
    });
    QString error;
    const QDateTime t0 = Now();
    QVERIFY2(w.start(&error), qPrintable(error));

    // Starting: a reason and a time from the first moment.
    for (const WatchSite &s : ws.sites) {
        const QJsonObject o = json(w.statePayload(s.name));
        QCOMPARE(o.value("state").toString(), QString("starting"));
        QCOMPARE(o.value("code").toString(), QString("connecting"));
        QVERIFY(!o.value("reason").toString().isEmpty());
        QVERIFY2(QDateTime::fromString(o.value("since").toString(), Qt::ISODateWithMs).isValid(), w.statePayload(s.name));
    }
    f.clock.advance(5000);
    QCOMPARE(w.site("unplugged")->state(), SiteState::Online);
    QCOMPARE(w.site("question")->state(), SiteState::Starting);
    ports["unplugged"]->hangUp();
    f.clock.advance(100);
    // Unplugged: the port that was open went away; then it does not open again.
    QCOMPARE(json(w.statePayload("unplugged")).value("code").toString(), QString("connection-lost"));
    f.clock.advance(20000);

    struct Told {
        const char *site, *state, *code, *words;
    };
    const Told told[] = {{"question", "refused", "controller-refused", "\"?\""},
                         {"noise", "garbled", "reply-garbled", "speed"},
                         {"silent", "no-reply", "no-reply", "no reply for 20 s"},
                         {"absent", "lost", "open-failed", ""},
                         {"unplugged", "lost", "open-failed", ""}};
    for (const Told &t : told) {
        const QJsonObject o = json(w.statePayload(t.site));
        QVERIFY2(o.value("state").toString() == t.state && o.value("code").toString() == t.code, w.statePayload(t.site));
        QVERIFY2(!o.value("reason").toString().isEmpty() && o.value("reason").toString().contains(t.words),
                 w.statePayload(t.site));
        QCOMPARE(QString::fromLatin1(SiteStateName(w.site(t.site)->state())), QString(t.state));
        // Since: when the state began (the absent site's at once), not when the watcher did.
        const QDateTime since = QDateTime::fromString(o.value("since").toString(), Qt::ISODateWithMs);
        QVERIFY2(qstrcmp(t.site, "absent") == 0 ? since >= t0 : since > t0.addSecs(4), w.statePayload(t.site));
    }
    // The refused and silent controllers told apart after the poll's reply time, not before.
    QVERIFY(t0.msecsTo(w.site("question")->since()) >= 20000);

    // A controller that answers again is online again, with its code.
    ports["question"]->setFault(CtrlModel::Fault::None);
    f.clock.advance(25000);
    QCOMPARE(json(w.statePayload("question")).value("code").toString(), QString("ok"));

    bool stopped = false;
    w.shutdown(1000, [&] { stopped = true; });
    while (!stopped)
        f.clock.advance(10);
    const QJsonObject o = json(w.statePayload("question"));
    QCOMPARE(o.value("state").toString(), QString("stopped"));
    QCOMPARE(o.value("code").toString(), QString("watcher-stopped"));
    QDir(logs).removeRecursively();
    installDialogs(&f.dlg);
}

// A log folder on a file system that is full: the site's state says so while the lines wait,
// and no more once they are written.
void tst_watcher::fullLogFolderInTheState()
{
    AppFixture f;
    SilentDialogs silent;
    installDialogs(&silent);
    const QString logs = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-full-%1").arg(QCoreApplication::applicationPid()));
    QDir(logs).removeRecursively();
    WatchSettings ws;
    ws.logFolder = logs;
    ws.sites = {site("a", 1, 1000, Volt5)};
    QStringList said;
    Watcher w(ws, [&](const WatchSite &) { return std::make_unique<SimulatedPort>(); });
    connect(&w, &Watcher::logLine, this, [&](const QString &l) { said << l; });
    QString error;
    QVERIFY2(w.start(&error), qPrintable(error));
    f.clock.advance(3000);
    QVERIFY(w.run("a")->state() == LogRun::Logging);
    QVERIFY(!json(w.statePayload("a")).contains("log"));
    {
        FaultyDisk full(FaultyDisk::Fails::Write, 0, ENOSPC);
        f.clock.advance(3000);
        QCOMPARE(json(w.statePayload("a")).value("log").toString(), QString("disk full"));
        QVERIFY(w.run("a")->unwrittenBytes() > 0);
    }
    f.clock.advance(1500);
    QVERIFY2(!json(w.statePayload("a")).contains("log"), w.statePayload("a"));
    QCOMPARE(w.run("a")->unwrittenBytes(), qsizetype(0));
    // The service's log told it once, and its end once, each on one line.
    QCOMPARE(said.filter("cannot write").size(), 1);
    QCOMPARE(said.filter("writing").filter("again").size(), 1);
    for (const QString &l : said)
        QVERIFY2(!l.contains('\n'), qPrintable(l));
    bool stopped = false;
    w.shutdown(1000, [&] { stopped = true; });
    while (!stopped)
        f.clock.advance(10);
    QDir(logs).removeRecursively();
    installDialogs(&f.dlg);
}

// Sites that never connect arm no timer but their retries; the runs' one check a second
// ticks only while a run logs.
void tst_watcher::idleSitesArmNoTimer()
{
    AppFixture f;
    SilentDialogs silent;
    installDialogs(&silent);
    const QString logs = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-idle-%1").arg(QCoreApplication::applicationPid()));
    QDir(logs).removeRecursively();
    const int before = f.clock.armedTimers();
    WatchSettings ws;
    ws.logFolder = logs;
    for (int i = 1; i <= 40; ++i)
        ws.sites << site(QStringLiteral("s%1").arg(i), i, 1000, Volt5);
    SimulatedPort *live = nullptr;
    Watcher w(ws, [&](const WatchSite &s) {
        auto p = std::make_unique<SimulatedPort>();
        p->usablePorts = {};
        if (s.comPort == 1) {
            live = p.get();
            p->hangUp();
        }
        return p;
    });
    QString error;
    QVERIFY2(w.start(&error), qPrintable(error));
    f.clock.advance(65000);
    // One retry timer per site, and nothing else but the alarms' one check every five seconds.
    QVERIFY2(f.clock.armedTimers() - before <= 40 + 1, QByteArray::number(f.clock.armedTimers() - before));
    QVERIFY(!w.runChecksTicking());

    // One site comes: its run logs, and the runs' check ticks while it does.
    live->usablePorts = {1};
    live->plugIn();
    f.clock.advance(65000);
    QCOMPARE(w.site("s1")->state(), SiteState::Online);
    QVERIFY(w.runChecksTicking());
    live->hangUp();
    f.clock.advance(3000);
    QVERIFY(w.run("s1")->state() == LogRun::Stopped);
    QVERIFY(!w.runChecksTicking());
    QDir(logs).removeRecursively();
    installDialogs(&f.dlg);
}

void tst_watcher::payloadsForIntegrators()
{
    AppFixture f;
    const QDateTime t(QDate(2026, 12, 9), QTime(5, 9, 44, 120), Qt::OffsetFromUTC, 9 * 3600);
    // A distance reading: the unit as SI writes it, the outputs one by one, the time in ms.
    const Reading r = MakeReading(t, QStringLiteral("01A3"), QStringLiteral("05"), ScaleOfType(Dist5M));
    QJsonObject o = json(ReadingPayload(QStringLiteral("k-1"), r));
    QCOMPARE(o.value("unit").toString(), QString("m"));
    QCOMPARE(o.value("ts").toDouble(), double(t.toMSecsSinceEpoch()));
    QCOMPARE(o.value("time").toString(), QString("2026-12-09T05:09:44.120+09:00"));
    QCOMPARE(o.value("count").toInt(), 0x1A3);
    QCOMPARE(o.value("outputs").toString(), QString("05"));
    for (int ch = 1; ch <= 8; ++ch)
        QCOMPARE(o.value(QStringLiteral("output%1").arg(ch)).toBool(), ch == 1 || ch == 3);
    QCOMPARE(o.value("quality").toString(), QString("good"));
    QCOMPARE(o.value("late").toBool(), false);
    QCOMPARE(json(ReadingPayload(QStringLiteral("k-1"), r, true)).value("late").toBool(), true);
    QCOMPARE(json(ReadingPayload(QStringLiteral("k-1"), r, false, true)).value("quality").toString(), QString("type-assumed"));
    // Replies that held no value or no outputs: null where the value would be, and why.
    const Reading bad = MakeReading(t, QStringLiteral("0?1Z"), QStringLiteral("Q"), ScaleOfType(Volt5));
    o = json(ReadingPayload(QStringLiteral("k-1"), bad));
    QVERIFY(o.value("value").isNull() && o.value("output3").isNull());
    QCOMPARE(o.value("quality").toString(), QString("no-value"));
    QCOMPARE(o.value("unit").toString(), QString("V"));
}

// The discovery of one site as Home Assistant reads it: the keys its MQTT sensor and binary
// sensor take, the unit a device class allows, and availability from both the site's state
// and its watcher's.
void tst_watcher::homeAssistantDiscovery()
{
    WatchMqtt m;
    m.topicPrefix = QStringLiteral("qelvo");
    m.clientId = QStringLiteral("qelvo-watchd-depot.1");
    WatchSite s = site("kawabe-1", 1, 1000);
    s.title = QStringLiteral("川辺第1観測所");
    s.warnOutputs = 0x05;
    const QSet<QString> common{"name", "unique_id", "state_topic", "value_template", "availability",
                               "availability_mode", "device", "qos", "device_class"};
    const QSet<QString> sensorKeys = common + QSet<QString>{"unit_of_measurement", "state_class"};
    const QSet<QString> binaryKeys = common + QSet<QString>{"payload_on", "payload_off"};
    const QHash<QString, QStringList> units{{"voltage", {"V", "mV"}}, {"current", {"A", "mA"}},
                                            {"distance", {"km", "m", "cm", "mm"}}};
    for (const QString &unit : {QStringLiteral("V"), QStringLiteral("mA"), QStringLiteral("m")}) {
        const QList<DiscoveryMessage> d = DiscoveryConfigs(m, s, unit);
        QCOMPARE(d.size(), 3);
        QCOMPARE(d[0].topic, QString("homeassistant/sensor/qelvo-watchd-depot_1/kawabe-1_level/config"));
        QCOMPARE(d[1].topic, QString("homeassistant/binary_sensor/qelvo-watchd-depot_1/kawabe-1_output1/config"));
        QCOMPARE(d[2].topic, QString("homeassistant/binary_sensor/qelvo-watchd-depot_1/kawabe-1_output3/config"));
        QSet<QString> ids;
        for (const DiscoveryMessage &msg : d) {
            const QJsonObject o = json(msg.payload);
            const bool sensor = msg.topic.contains("/sensor/");
            for (const QString &k : o.keys())
                QVERIFY2((sensor ? sensorKeys : binaryKeys).contains(k), qPrintable(k));
            QCOMPARE(o.value("state_topic").toString(), QString("qelvo/kawabe-1/reading"));
            ids << o.value("unique_id").toString();
            QCOMPARE(o.value("availability_mode").toString(), QString("all"));
            const QJsonArray av = o.value("availability").toArray();
            QCOMPARE(av.size(), 2);
            QCOMPARE(av[0].toObject().value("topic").toString(), QString("qelvo/kawabe-1/state"));
            QCOMPARE(av[1].toObject().value("topic").toString(), QString("qelvo/watchd/qelvo-watchd-depot.1"));
            QCOMPARE(av[1].toObject().value("payload_available").toString(), QString("running"));
            const QJsonObject dev = o.value("device").toObject();
            QCOMPARE(dev.value("name").toString(), s.title);
            QCOMPARE(dev.value("identifiers").toArray().first().toString(), QString("qelvo-watchd-depot_1_kawabe-1"));
            // A late reading renders nothing, which Home Assistant takes as no new state.
            QVERIFY(o.value("value_template").toString().contains("late"));
            if (sensor) {
                QVERIFY2(units.value(o.value("device_class").toString()).contains(o.value("unit_of_measurement").toString()),
                         msg.payload);
                QCOMPARE(o.value("unit_of_measurement").toString(), unit);
                QCOMPARE(o.value("state_class").toString(), QString("measurement"));
            } else {
                QCOMPARE(o.value("payload_on").toString(), QString("ON"));
                QCOMPARE(o.value("device_class").toString(), QString("problem"));
            }
        }
        QCOMPARE(ids.size(), 3);
    }
    // Before its unit is known a site has its outputs only; every topic it may have goes.
    QCOMPARE(DiscoveryConfigs(m, s, QString()).size(), 2);
    QCOMPARE(DiscoveryTopics(m, s.name).size(), 9);
}

// What the broker keeps of this watcher and the watcher would not publish now goes: a state
// of a site no longer in its file, a discovery topic of an output that is no warning stage
// now; nothing of another watcher's, nothing it publishes itself, and at most kMaxClears.
void tst_watcher::staleRetainedCleared()
{
    AppFixture f;
    SilentDialogs silent;
    installDialogs(&silent);
    const QString logs = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-stale-%1").arg(QCoreApplication::applicationPid()));
    WatchSettings ws;
    ws.logFolder = logs;
    WatchMqtt m;
    m.url = QStringLiteral("mqtt://127.0.0.1:1");
    m.topicPrefix = QStringLiteral("q");
    m.clientId = QStringLiteral("w1");
    m.homeAssistant = true;
    ws.mqtt = m;
    ws.sites = {site("a", 1, 1000, Volt5), site("b", 2, 1000, Volt5)};
    ws.sites[0].warnOutputs = 0x03;
    Watcher w(ws, [](const WatchSite &) { return std::make_unique<SimulatedPort>(); });
    QString error;
    QVERIFY2(w.start(&error), qPrintable(error));
    const QByteArray mine = R"({"site":"x","state":"online","watchd":"w1"})";
    const QByteArray theirs = R"({"site":"x","state":"online","watchd":"w2"})";
    struct Case {
        const char *topic;
        QByteArray payload;
        bool cleared;
    };
    const Case cases[] = {
        {"q/gone/state", mine, true},
        {"q/gone/state", mine, false},          // once
        {"q/a/state", mine, false},             // its own site
        {"q/other/state", theirs, false},       // another watcher's
        {"q/watchd/state", mine, false},
        {"q/x/y/state", mine, false},
        {"homeassistant/sensor/w1/a_level/config", "{}", false},
        {"homeassistant/binary_sensor/w1/a_output2/config", "{}", false},
        {"homeassistant/binary_sensor/w1/a_output5/config", "{}", true}, // no warning stage now
        {"homeassistant/sensor/w1/gone_level/config", "{}", true},
        {"homeassistant/sensor/w2/gone_level/config", "{}", false},      // another node
        {"homeassistant/sensor/w1/b_level/other", "{}", false},
    };
    qsizetype expected = 0;
    for (const Case &c : cases) {
        w.retainedSeen(QString::fromLatin1(c.topic), c.payload);
        expected += c.cleared;
        QVERIFY2(w.clearsWaiting() == expected, c.topic);
    }
    // Flooded with states it once published: what waits is bounded.
    for (int i = 0; i < Watcher::kMaxClears + 100; ++i)
        w.retainedSeen(QStringLiteral("q/s%1/state").arg(i), mine);
    QCOMPARE(w.clearsWaiting(), qsizetype(Watcher::kMaxClears));
    QDir(logs).removeRecursively();
    installDialogs(&f.dlg);
}

QTEST_MAIN(tst_watcher)
#include "tst_watcher.moc"
