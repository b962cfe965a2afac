// LogRun without its window: two runs in one process beside the window's run, each with its
// own readings, input type, display options and end, on the virtual clock against the
// simulated controller, their files checked byte for byte; the data line of a reading
// against the one of the reply texts; and the file a run keeps open, on a disk that counts
// its calls: a line is one write, and midnight, a failed write at any byte of a line, and a
// file deleted or moved away open it again, with no line lost or written twice.
#include "support/LinkHelpers.h"

#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modLinkState.h"
#include "logfiler/LogRun.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "settings/modUserData.h"
#include "doubles/FaultyDisk.h"

#include "support/LogSettings.h"

#include <QDir>
#include "platform/TextFile.h"

#include <QtTest>

#include <cerrno>

namespace {
QByteArray block(const char *marker, const char *time) { return QByteArray(marker) + "\r\nTime :," + time + "\r\n"; }
QByteArray sample(int n, int second, const QByteArray &columns)
{
    return QByteArray::number(n).rightJustified(6, '0') + ", 2006/10/10, 09:00:" + QByteArray::number(second).rightJustified(2, '0') +
           ", " + columns + "\r\n";
}


// A run as the fleet watcher keeps one (each reading a line, no box) or as a window's run
// with boxes (kept false), on a monitor that always runs, into path.
LogRunSettings runSettings(const QString &path, bool kept)
{
    LogRunSettings rs;
    rs.set.strInterval = QStringLiteral("00:00:01");
    rs.set.intEndMode = 1;
    rs.set.strEndTime = QStringLiteral("2099/01/01 00:00:00");
    rs.path = path;
    rs.eachReading = true;
    rs.keepUnwritten = kept;
    return rs;
}
LogRunMonitor alwaysRunning() { return LogRunMonitor{[] { return true; }, [] { return qint64(1000); }}; }

// The reading of the n-th second: its own value and outputs.
Reading readingNo(int n)
{
    return MakeReading(Now(), QStringLiteral("%1").arg(n * 37 % 1024, 4, 16, QLatin1Char('0')),
                       QStringLiteral("%1").arg(n % 256, 2, 16, QLatin1Char('0')), ScaleOfType(Volt5));
}
QByteArray lineOf(int count, const Reading &r)
{
    QDateTime t = r.time;
    t.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
    return SjisEncode(MakeDataLine(count, t, r, true, true)) + "\r\n";
}
QByteArray startBlock(const QDateTime &t) { return SjisEncode(LogBlock(QStringLiteral("/** Logging Start **/"), t)) + "\r\n"; }
void setClock(AppFixture &f, const QDateTime &at) { f.clock.setBase(at.addMSecs(-(f.clock.nowUs() / 1000))); }
} // namespace

class TestLogRun : public QObject {
    Q_OBJECT
private slots:
    void twoRunsBesideTheWindow_data();
    void twoRunsBesideTheWindow();
    void dataLineOfAReading();
    void aLineIsOneWrite();
    void aFailedWriteAtEveryByte();
    void aFileDeletedOrMovedAway();
};

void TestLogRun::twoRunsBesideTheWindow_data()
{
    QTest::addColumn<int>("type");    // run B's input type
    QTest::addColumn<bool>("volt");   // the display options of all three runs
    QTest::addColumn<bool>("bits");
    QTest::addColumn<QString>("end"); // how run B ends
    QTest::addColumn<QByteArray>("expect"); // run B's file, its value and outputs 02F0 and 81
    const struct {
        int type;
        bool volt, bits;
        const char *columns;
    } shown[] = {{1, true, true, "03.68,V, 10000001"},   {2, true, true, "07.35,V, 10000001"},
                 {3, true, true, "14.70,mA, 10000001"},  {4, true, true, "01.32,M, 10000001"},
                 {5, true, true, "02.65,M, 10000001"},   {1, false, false, "02F0, 81"},
                 {4, true, false, "01.32,M, 81"},        {5, false, true, "02F0, 10000001"}};
    const struct {
        const char *end, *marker;
        int seconds[4]; // the three samples and the end
    } ends[] = {{"count", "/** Logging END C **/", {0, 1, 2, 3}}, {"time", "/** Logging END T **/", {0, 2, 4, 5}},
                {"stop", "/** Logging QUIT **/", {0, 1, 2, 3}},   {"monitor", "/** Logging Quit **/", {0, 1, 2, 3}}};
    for (const auto &e : ends)
        for (const auto &s : shown) {
            QByteArray expect = block("/** Logging Start **/", "2006/10/10, 09:00:00");
            for (int n = 1; n <= 3; ++n)
                expect += sample(n, e.seconds[n - 1], s.columns);
            expect += block(e.marker, "2006/10/10, 09:00:0" + QByteArray::number(e.seconds[3]));
            QTest::addRow("type %d volt %d bits %d, %s", s.type, s.volt, s.bits, e.end)
                << s.type << s.volt << s.bits << QString::fromLatin1(e.end) << expect;
        }
}

void TestLogRun::twoRunsBesideTheWindow()
{
    QFETCH(int, type);
    QFETCH(bool, volt);
    QFETCH(bool, bits);
    QFETCH(QString, end);
    QFETCH(QByteArray, expect);
    AppFixture f;
    f.seedDataFolder();
    g_subDataPathSet(DataFolder());
    QDir().mkpath(logFolder());
    // The window's run: the example of a log, every ten seconds, two samples.
    QVERIFY(!SaveLogFileSetting(settings(0, QStringLiteral("00:00:10"), 2)).failed());
    f.sim.model().setLevel(0x1A3);
    f.sim.model().setCell(0x2B, 0x05); // outputs 1 and 3
    const QDateTime at(QDate(2006, 10, 10), QTime(9, 0, 0));
    f.clock.setBase(at.addSecs(-5).addMSecs(-(f.clock.nowUs() / 1000)));
    startConnected(f);
    g_subMenuCommand(12);
    g_frmDirect1->Command2[0]->click();
    g_subMenuCommand(13);
    QVERIFY(g_frmLogFiler1);
    g_frmLogFiler1->Check1[0]->setChecked(volt);
    g_frmLogFiler1->Check1[1]->setChecked(bits);

    // Run A takes the store's readings as the window does; run B a reading of its own at each,
    // in its own input type, and its own monitor.
    bool monitorB = true;
    LogRun a({[] { return g_intMonitorOn == -1; }, [] { return qint64(g_lngSamplingTime); }});
    LogRun b({[&monitorB] { return monitorB; }, [] { return qint64(1000); }});
    auto readingB = [] { return MakeReading(Now(), QStringLiteral("02F0"), QStringLiteral("81"), ScaleOfType(1)); };
    QObject context;
    connect(&monitorEvents(), &MonitorEvents::readingStored, &context, [&] {
        a.takeReading(NewestReading());
        b.takeReading(readingB());
    });
    Sleep(int(Now().msecsTo(at)));
    QCOMPARE(Now(), at);

    LogRunSettings sa;
    sa.set = settings(0, QStringLiteral("00:00:10"), 2);
    sa.path = logFolder() + QStringLiteral("a.csv");
    sa.voltDisp = volt;
    sa.bitsDisp = bits;
    LogRunSettings sb = sa;
    sb.path = logFolder() + QStringLiteral("b.csv");
    sb.scale = ScaleOfType(type);
    sb.set = end == QLatin1String("time") ? settings(1, QStringLiteral("00:00:02"), 1, QStringLiteral("2006/10/10 09:00:05"))
                                          : settings(0, QStringLiteral("00:00:01"), end == QLatin1String("count") ? 3 : 100);
    g_frmLogFiler1->Command1[0]->click();
    a.takeReading(NewestReading());
    QVERIFY(a.start(sa));
    b.takeReading(readingB());
    QVERIFY(b.start(sb));
    Sleep(2500);
    if (end == QLatin1String("stop"))
        b.stop();
    if (end == QLatin1String("monitor")) {
        monitorB = false;
        f.dlg.answers << vbOK;
    }
    Sleep(9500);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QCOMPARE(a.state(), LogRun::Stopped);
    QCOMPARE(b.state(), LogRun::Stopped);

    // The window's run and A write the example's bytes, whatever B did.
    const QByteArray v = QByteArray(volt ? "02.05,V" : "01A3") + ", " + (bits ? "10100000" : "05");
    const QByteArray example = block("/** Logging Start **/", "2006/10/10, 09:00:00") + sample(1, 0, v) + sample(2, 10, v) +
                               block("/** Logging END C **/", "2006/10/10, 09:00:11");
    QCOMPARE(AppFixture::readFile(logFolder() + QStringLiteral("site.csv")), example);
    QCOMPARE(AppFixture::readFile(sa.path), example);
    QCOMPARE(AppFixture::readFile(sb.path), expect);
    if (end == QLatin1String("monitor"))
        QCOMPARE(boxOf(f.dlg.boxes.last()),
                 box(g_strAppTitle, QStringLiteral("入力ﾓﾆﾀｰ機能が停止しました。入力ﾓﾆﾀｰ機能が停止している時はﾛｸﾞﾌｧｲﾗは使用できません。\r\nﾛｸﾞﾌｧｲﾗを終了します。"),
                     vbOKOnly, vbExclamation));
    // Each run shows its own last lines: B's end block.
    QCOMPARE(b.lines().mid(LogRun::kShownLines - 3, 2).join(QStringLiteral("\r\n")).toLatin1() + "\r\n",
             expect.mid(expect.lastIndexOf("/**")));
}

namespace {
// The columns as the written log filer wrote them from the reply texts: the count times the
// scale of the loaded type through the editor's value format (the distance types full scale
// minus it), at least "00.00", and the unit; the outputs as eight digits, ch1 first. "ERROR"
// for a text that is no number.
QString writtenValue(const QString &hex, bool volt)
{
    if (!volt)
        return hex;
    bool ok = hex.size() == 4;
    const int count = ok ? hex.toInt(&ok, 16) : 0;
    QString v = ok ? g_funcValueFormat(count * g_dblScale, 1) : QStringLiteral("ERROR");
    if (ok && v.indexOf(QLatin1Char('.')) < 2)
        v.prepend(QLatin1Char('0'));
    return v + QLatin1Char(',') + g_strUnit;
}

QString writtenOutputs(const QString &hex, bool bits)
{
    if (!bits)
        return hex;
    bool ok = !hex.isEmpty() && hex.size() <= 2;
    const int v = ok ? hex.toInt(&ok, 16) : 0;
    if (!ok)
        return QStringLiteral("ERROR");
    QString out;
    for (int i = 0; i < 8; ++i)
        out += (v >> i) & 1 ? QLatin1Char('1') : QLatin1Char('0');
    return out;
}
} // namespace

void TestLogRun::dataLineOfAReading()
{
    // Every count and outputs text of a reply, in every input type and display: the line made
    // from the reading decoded once is the line the written log filer made of the reply's
    // texts.
    AppFixture f;
    const QDateTime t(QDate(2006, 10, 10), QTime(9, 0, 0));
    QStringList values{QString(), QStringLiteral("1A3"), QStringLiteral("ZZZZ"), QStringLiteral("1A3G"), QStringLiteral("01A35")};
    for (int count = 0; count <= 0xFFFF; count += count < 0x500 ? 1 : 97)
        values << QStringLiteral("%1").arg(count, 4, 16, QLatin1Char('0')).toUpper() << QStringLiteral("%1").arg(count, 4, 16, QLatin1Char('0'));
    for (int type = 1; type <= 5; ++type) {
        g_subInputTypeSet(type);
        for (int i = 0; i < values.size(); ++i) {
            const QString outputs = i < 5 ? QStringList{QString(), QStringLiteral("G"), QStringLiteral("123"), QStringLiteral("5"), QStringLiteral("xF")}[i]
                                          : QStringLiteral("%1").arg(i & 0xFF, 2, 16, QLatin1Char('0'));
            const Reading r = MakeReading(t, values[i], outputs, ScaleOfType(type));
            for (int display = 0; display < 4; ++display) {
                const bool volt = display & 1, bits = display & 2;
                const QString written = QStringLiteral("%1, %2, %3, %4")
                                            .arg(i + 1, 6, 10, QLatin1Char('0'))
                                            .arg(LogTimeText(t), writtenValue(values[i], volt), writtenOutputs(outputs, bits));
                if (MakeDataLine(i + 1, t, r, volt, bits) != written)
                    QFAIL(qPrintable(QStringLiteral("type %1 %2 %3: %4 / %5").arg(type).arg(values[i], outputs, MakeDataLine(i + 1, t, r, volt, bits), written)));
            }
        }
    }
}

void TestLogRun::aLineIsOneWrite()
{
    // Two runs, as the watcher's and as a window's, for two minutes across a midnight, a
    // reading a second: each line is one write and no open; each file is opened at the
    // start, again at the first check of the new day, and closed at the end.
    AppFixture f;
    const QDateTime at(QDate(2006, 10, 10), QTime(23, 59, 0));
    setClock(f, at);
    QDir(logFolder()).removeRecursively();
    QVERIFY(QDir().mkpath(logFolder()));
    FaultyDisk disk;
    LogRun kept(alwaysRunning()), boxed(alwaysRunning());
    QByteArray expectKept, expectBoxed;
    QVERIFY(kept.start(runSettings(logFolder() + QStringLiteral("kept.csv"), true)));
    QVERIFY(boxed.start(runSettings(logFolder() + QStringLiteral("boxed.csv"), false)));
    expectKept = expectBoxed = startBlock(at);
    QCOMPARE(disk.opens, 2);
    QCOMPARE(disk.writes, 2);
    int newDayOpens = -1;
    for (int n = 1; n <= 120; ++n) {
        Sleep(1000);
        const Reading r = readingNo(n);
        const int writes = disk.writes, opens = disk.opens;
        kept.takeReading(r);
        boxed.takeReading(r);
        expectKept += lineOf(n, r);
        expectBoxed += lineOf(n, r);
        QCOMPARE(disk.writes, writes + 2);
        if (disk.opens != opens) {
            // The new day's first line: both files again, and only then.
            QCOMPARE(newDayOpens, -1);
            QCOMPARE(disk.opens, opens + 2);
            QCOMPARE(Now().date(), at.date().addDays(1));
            newDayOpens = n;
        }
    }
    QCOMPARE(newDayOpens, 60);
    QCOMPARE(disk.openNow(), 2);
    // The path is looked at once a second at most.
    QVERIFY2(disk.stats <= 2 * 121, qPrintable(QString::number(disk.stats)));
    QVERIFY(disk.stats >= 2 * 100);
    kept.stop();
    kept.endIfStopAsked();
    boxed.stop();
    boxed.endIfStopAsked();
    QCOMPARE(disk.openNow(), 0);
    const QByteArray quit = SjisEncode(LogBlock(QStringLiteral("/** Logging QUIT **/"), at.addSecs(120))) + "\r\n";
    QCOMPARE(AppFixture::readFile(logFolder() + QStringLiteral("kept.csv")), expectKept + quit);
    QCOMPARE(AppFixture::readFile(logFolder() + QStringLiteral("boxed.csv")), expectBoxed + quit);
    QCOMPARE(f.dlg.boxes.size(), 0);

    // The watcher's day: the run ends at midnight ("END T", written after the file was
    // opened again for the new date) and the next begins in the new day's file.
    setClock(f, QDateTime(QDate(2006, 10, 11), QTime(23, 59, 58)));
    const int opens = disk.opens;
    LogRunSettings day = runSettings(logFolder() + QStringLiteral("qlv20061011.csv"), true);
    day.set.strEndTime = QStringLiteral("2006/10/12 00:00:00");
    QVERIFY(kept.start(day));
    for (int n = 1; n <= 3; ++n) {
        Sleep(1000);
        kept.takeReading(readingNo(n));
    }
    QCOMPARE(kept.state(), LogRun::Stopped);
    QCOMPARE(disk.openNow(), 0);
    day.path = logFolder() + QStringLiteral("qlv20061012.csv");
    day.set.strEndTime = QStringLiteral("2006/10/13 00:00:00");
    QVERIFY(kept.start(day));
    kept.takeReading(readingNo(4));
    QCOMPARE(disk.opens, opens + 3);
    QCOMPARE(disk.openNow(), 1);
    QVERIFY(AppFixture::readFile(logFolder() + QStringLiteral("qlv20061011.csv")).endsWith("/** Logging END T **/\r\nTime :,2006/10/12, 00:00:00\r\n"));
    // The new run's first line is the reading given since the end (at 00:00:01), the second
    // the one given now.
    QVERIFY(AppFixture::readFile(logFolder() + QStringLiteral("qlv20061012.csv")).endsWith(lineOf(2, readingNo(4))));
}

void TestLogRun::aFailedWriteAtEveryByte()
{
    // The disk fails (full, or an I/O error) at every byte of a line: the part of it that
    // went out is cut off, the file is opened again for the next line, and each line is in
    // the file once, in order: the watcher's run writes the kept line before the next, a
    // window's run writes it again on Retry.
    AppFixture f;
    setClock(f, QDateTime(QDate(2006, 10, 10), QTime(9, 0, 0)));
    QDir(logFolder()).removeRecursively();
    QVERIFY(QDir().mkpath(logFolder()));
    const int lineBytes = int(lineOf(3, readingNo(3)).size());
    QVERIFY(lineBytes > 30);
    for (const bool kept : {true, false}) {
        for (const int error : {ENOSPC, EIO}) {
            for (int room = 0; room < lineBytes; ++room) {
                const QString path = logFolder() + QStringLiteral("f%1-%2-%3.csv").arg(kept).arg(error).arg(room);
                FaultyDisk disk;
                LogRun run(alwaysRunning());
                const QDateTime t0 = Now();
                QVERIFY(run.start(runSettings(path, kept)));
                QByteArray expect = startBlock(t0);
                for (int n = 1; n <= 2; ++n) {
                    Sleep(1000);
                    run.takeReading(readingNo(n));
                    expect += lineOf(n, readingNo(n));
                }
                const QByteArray before = AppFixture::readFile(path);
                QCOMPARE(before, expect);
                Sleep(1000);
                const Reading third = readingNo(3);
                disk.setFaults(FaultyDisk::Fails::Write, room, error);
                if (!kept) {
                    f.dlg.answers << vbRetry;
                    f.dlg.onBox = [&](const ScriptedDialogs::Box &) {
                        // No half line while the box is up.
                        QCOMPARE(AppFixture::readFile(path), before);
                        QCOMPARE(disk.openNow(), 0);
                        disk.setFaults(FaultyDisk::Fails::Never, 0, 0);
                    };
                }
                const int opens = disk.opens;
                run.takeReading(third);
                f.dlg.onBox = nullptr;
                expect += lineOf(3, third);
                if (kept) {
                    QCOMPARE(AppFixture::readFile(path), before);
                    QCOMPARE(disk.openNow(), 0);
                    QVERIFY(run.unwrittenBytes() > 0);
                    disk.setFaults(FaultyDisk::Fails::Never, 0, 0);
                    Sleep(1000);
                    const Reading fourth = readingNo(4);
                    const int writes = disk.writes;
                    run.takeReading(fourth);
                    expect += lineOf(4, fourth);
                    // The line kept and the new one: one write.
                    QCOMPARE(disk.writes, writes + 1);
                    QCOMPARE(run.unwrittenBytes(), qsizetype(0));
                } else {
                    QCOMPARE(f.dlg.boxes.size(), 1);
                    QCOMPARE(f.dlg.boxes.last().caption, QStringLiteral("AppendLogFilerData"));
                    f.dlg.boxes.clear();
                }
                QCOMPARE(disk.opens, opens + 1);
                QCOMPARE(disk.openNow(), 1);
                if (AppFixture::readFile(path) != expect)
                    QFAIL(qPrintable(QStringLiteral("kept %1, errno %2, room %3:\n%4").arg(kept).arg(error).arg(room).arg(QString::fromLatin1(AppFixture::readFile(path)))));
            }
        }
    }
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogRun::aFileDeletedOrMovedAway()
{
    // A file deleted or moved away under the run: a line within kCheckMs of the last look
    // at the path still goes to the file that is open (moved: it is there; deleted: it goes
    // with it), and the first line after the check starts a new file at the path, as an
    // append that opens each time would. A folder removed is made again.
    AppFixture f;
    setClock(f, QDateTime(QDate(2006, 10, 10), QTime(9, 0, 0)));
    QDir(logFolder()).removeRecursively();
    QVERIFY(QDir().mkpath(logFolder()));
    FaultyDisk disk;
    const QString path = logFolder() + QStringLiteral("m.csv"), moved = logFolder() + QStringLiteral("moved.csv");
    LogRun run(alwaysRunning());
    const QDateTime t0 = Now();
    QVERIFY(run.start(runSettings(path, true)));
    QByteArray first = startBlock(t0);
    int n = 0;
    auto next = [&] {
        ++n;
        const Reading r = readingNo(n);
        run.takeReading(r);
        return lineOf(n, r);
    };
    for (int i = 0; i < 3; ++i) {
        Sleep(1000);
        first += next();
    }
    // Moved: the line of the same moment follows the file, the next second's starts a new one.
    QVERIFY(QFile::rename(path, moved));
    first += next();
    QVERIFY(!QFile::exists(path));
    Sleep(int(AppendFile::kCheckMs));
    QByteArray second = next();
    QCOMPARE(AppFixture::readFile(moved), first);
    QCOMPARE(AppFixture::readFile(path), second);
    // Deleted: the same.
    Sleep(1000);
    second += next();
    QCOMPARE(AppFixture::readFile(path), second);
    QVERIFY(QFile::remove(path));
    Sleep(int(AppendFile::kCheckMs));
    const QByteArray third = next();
    QCOMPARE(AppFixture::readFile(path), third);
    // The folder removed: made again, the line written.
    QVERIFY(QDir(logFolder()).removeRecursively());
    Sleep(int(AppendFile::kCheckMs));
    const QByteArray fourth = next();
    QCOMPARE(AppFixture::readFile(path), fourth);
    QCOMPARE(run.unwrittenBytes(), qsizetype(0));
    QCOMPARE(disk.openNow(), 1);
    // Replaced by another file (an editor's save): the next line goes to the new file's end.
    AppFixture::writeFile(path, "edited\r\n");
    Sleep(int(AppendFile::kCheckMs));
    QCOMPARE(AppFixture::readFile(path), QByteArray("edited\r\n") + next());
    QCOMPARE(f.dlg.boxes.size(), 0);
}

QTEST_MAIN(TestLogRun)
#include "tst_logrun.moc"
