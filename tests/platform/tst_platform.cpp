// The platform services the settings code stands on: the virtual clock and its window
// timers, Shift_JIS and CR LF lines, the quoted-item reader, whole-file writes and their
// error numbers, hexadecimal fields, the data folder and twips.
#include "support/DataFiles.h"

#include "doubles/VirtualClock.h"
#include "platform/Dialogs.h"
#include "platform/Geometry.h"
#include "platform/Paths.h"
#include "platform/QtDialogs.h"
#include "platform/TextFile.h"

#include <QApplication>
#include <QDir>
#include <QAbstractItemView>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {
// The names the file dialog's list shows in its folder, sorted.
QStringList shownFiles(const QFileDialog &dlg)
{
    const auto *view = dlg.findChild<QAbstractItemView *>(QStringLiteral("listView"));
    if (!view || !view->model())
        return {};
    QStringList out;
    const QModelIndex root = view->rootIndex();
    for (int r = 0; r < view->model()->rowCount(root); ++r)
        out << view->model()->index(r, 0, root).data().toString();
    out.sort();
    return out;
}
} // namespace

class tst_platform : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void timerFiresTenTimesInTenVirtualSeconds();
    void waitsAdvanceVirtualTime();
    void timerStoppedInsideItsTick();
    void timerRestartAndDelete();
    void scheduledActionsFireInTimeOrder();

    void sjisRoundTrip();
    void sjisWindowsFallbacks_data();
    void sjisWindowsFallbacks();
    void sjisLinesEndWithCrLf();
    void quotedItems_data();
    void quotedItems();
    void fileErrorNumbers();
    void wholeFileWrites();
    void failedWriteKeepsOldFile();
    void hexToLong_data();
    void hexToLong();
    void hexPad();

    void dataFolderAndTwips();

    void quietDefaultAnswersTheSafeButton_data();
    void quietDefaultAnswersTheSafeButton();
    void fileDialogFiltersReadOnce_data();
    void fileDialogFiltersReadOnce();

private:
    VirtualClock *vc = nullptr;
};

void tst_platform::init()
{
    vc = new VirtualClock;
    installClock(vc);
}

void tst_platform::cleanup()
{
    delete vc; // uninstalls itself
    vc = nullptr;
}

// ---------------------------------------------------------------- virtual clock

void tst_platform::timerFiresTenTimesInTenVirtualSeconds()
{
    const QDateTime start = Now();
    WindowTimer t;
    QList<qint64> at;
    t.onTick = [&] { at << vc->elapsedMs(); };
    t.setInterval(1000);
    t.setEnabled(true);
    QElapsedTimer real;
    real.start();
    Sleep(10000);
    QVERIFY2(real.elapsed() < 1000, QByteArray::number(real.elapsed()) + " ms of real time");
    QCOMPARE(at, (QList<qint64>{1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000, 9000, 10000}));
    QCOMPARE(vc->nowUs(), 10'000'000);
    QCOMPARE(Now(), start.addSecs(10));
}

void tst_platform::waitsAdvanceVirtualTime()
{
    QStringList log;
    auto mark = [&](const char *what) { return [&, what] { log << QStringLiteral("%1@%2").arg(what).arg(vc->nowUs()); }; };

    // Sleep fires what falls due on the way and ends exactly at its limit.
    vc->scheduleIn(100'000, mark("a"));
    Sleep(250);
    QCOMPARE(vc->nowUs(), 250'000);
    QCOMPARE(log, QStringList{"a@100000"});

    // WaitForEvent stops at the next event and handles only that one.
    log.clear();
    vc->scheduleIn(20'000, mark("b"));
    vc->scheduleIn(30'000, mark("c"));
    WaitForEvent(50);
    QCOMPARE(vc->nowUs(), 270'000);
    QCOMPARE(log, QStringList{"b@270000"});
    WaitForEvent(50);
    QCOMPARE(vc->nowUs(), 280'000);
    QCOMPARE(log.size(), 2);
    // With nothing due it runs to its limit; 0 ms still waits one.
    WaitForEvent(50);
    QCOMPARE(vc->nowUs(), 330'000);
    WaitForEvent(0);
    QCOMPARE(vc->nowUs(), 331'000);

    // DoEvents moves a few microseconds: a loop that never waits still reaches a 1 ms event.
    log.clear();
    vc->scheduleIn(1'000, mark("d"));
    const quint64 waits = vc->waitCalls();
    DoEvents();
    QVERIFY(vc->nowUs() > 331'000 && vc->nowUs() < 331'100);
    QVERIFY(log.isEmpty());
    int passes = 1;
    while (log.isEmpty() && passes < 10000) {
        DoEvents();
        ++passes;
    }
    QCOMPARE(log.size(), 1);
    QVERIFY2(passes < 1000, QByteArray::number(passes));
    QCOMPARE(vc->waitCalls(), waits); // DoEvents is not a wait
}

void tst_platform::timerStoppedInsideItsTick()
{
    WindowTimer t;
    int ticks = 0;
    t.onTick = [&] {
        if (++ticks == 3)
            t.setEnabled(false);
    };
    t.setInterval(100);
    t.setEnabled(true);
    Sleep(10000);
    QCOMPARE(ticks, 3);
    QVERIFY(!t.Enabled());
    // A tick handler that waits sees its next tick on time (the timer is re-armed first).
    WindowTimer w;
    QList<qint64> at;
    bool waited = false;
    w.onTick = [&] {
        at << vc->elapsedMs();
        if (!waited) {
            waited = true;
            Sleep(150);
        }
    };
    const qint64 t0 = vc->elapsedMs();
    w.setInterval(100);
    w.setEnabled(true);
    Sleep(300);
    w.setEnabled(false);
    QCOMPARE(at, (QList<qint64>{t0 + 100, t0 + 200, t0 + 300}));
}

void tst_platform::timerRestartAndDelete()
{
    WindowTimer t;
    QList<qint64> at;
    t.onTick = [&] { at << vc->elapsedMs(); };
    t.setInterval(100);
    t.setEnabled(true);
    Sleep(150);
    // A new interval counts from now; re-enabling counts from the moment it is enabled.
    t.setInterval(500);
    Sleep(600);
    t.setEnabled(false);
    Sleep(1000);
    t.setEnabled(true);
    Sleep(500);
    QCOMPARE(at, (QList<qint64>{100, 650, 2250}));
    // A timer deleted with a tick pending never fires (and nothing dangles in the queue).
    int late = 0;
    auto *d = new WindowTimer;
    d->onTick = [&] { ++late; };
    d->setInterval(10);
    d->setEnabled(true);
    delete d;
    Sleep(100);
    QCOMPARE(late, 0);
    // A timer left running when its clock goes away is stopped and restarted safely later.
    auto *other = new VirtualClock;
    installClock(other);
    WindowTimer orphan;
    orphan.onTick = [&] { ++late; };
    orphan.setInterval(10);
    orphan.setEnabled(true);
    delete other;
    installClock(vc);
    orphan.setEnabled(false);
    orphan.setEnabled(true);
    const qint64 t1 = vc->elapsedMs();
    Sleep(25);
    QCOMPARE(late, 2);
    QCOMPARE(vc->elapsedMs(), t1 + 25);
    orphan.setEnabled(false);
    late = 0;
    // An interval of 0 does not run.
    WindowTimer z;
    z.onTick = [&] { ++late; };
    z.setEnabled(true);
    Sleep(100);
    QVERIFY(!z.running());
    QCOMPARE(late, 0);
}

void tst_platform::scheduledActionsFireInTimeOrder()
{
    QStringList log;
    auto mark = [&](QString what) { return [&log, this, what] { log << what + QLatin1Char('@') + QString::number(vc->elapsedMs()); }; };
    vc->scheduleAt(30'000, mark("c"));
    vc->scheduleAt(10'000, mark("a"));
    vc->scheduleAt(20'000, mark("b"));
    vc->scheduleAt(20'000, mark("b2")); // same time: in the order scheduled
    const quint64 gone = vc->scheduleAt(25'000, mark("cancelled"));
    vc->cancel(gone);
    vc->scheduleAt(12'000, [&] {
        log << QStringLiteral("x@12");
        vc->scheduleIn(1'000, mark("fromAction")); // scheduled inside an action, due within the sleep
    });
    WindowTimer t;
    t.onTick = mark("T");
    t.setInterval(16);
    t.setEnabled(true);
    Sleep(35);
    t.setEnabled(false);
    QCOMPARE(log, (QStringList{"a@10", "x@12", "fromAction@13", "T@16", "b@20", "b2@20", "c@30", "T@32"}));
    // An action scheduled in the past falls due at once.
    log.clear();
    vc->scheduleAt(0, mark("past"));
    DoEvents();
    QCOMPARE(log, QStringList{"past@35"});
}

// ---------------------------------------------------------------- Shift_JIS

void tst_platform::sjisRoundTrip()
{
    bool ok = false;
    const QByteArray b = SjisEncode(QStringLiteral("ﾌｧｲﾙ名"), &ok);
    QVERIFY(ok);
    QCOMPARE(b, QByteArray::fromHex("CCA7B2D996BC"));
    QCOMPARE(SjisDecode(b), QStringLiteral("ﾌｧｲﾙ名"));
    const QString mixed = QStringLiteral("C:/ﾃﾞｰﾀ/設定範囲 0 - 5V,新規.qvd");
    QCOMPARE(SjisDecode(SjisEncode(mixed, &ok)), mixed);
    QVERIFY(ok);
    // A character code page 932 cannot hold is reported.
    SjisEncode(QStringLiteral("a한b"), &ok);
    QVERIFY(!ok);
}

void tst_platform::sjisWindowsFallbacks_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("wave dash") << QStringLiteral("\u301C") << QByteArray::fromHex("8160");
    QTest::newRow("minus") << QStringLiteral("\u2212") << QByteArray::fromHex("817C");
    QTest::newRow("double bar") << QStringLiteral("\u2016") << QByteArray::fromHex("8161");
    QTest::newRow("cent") << QStringLiteral("\u00A2") << QByteArray::fromHex("8191");
    QTest::newRow("pound") << QStringLiteral("\u00A3") << QByteArray::fromHex("8192");
    QTest::newRow("not") << QStringLiteral("\u00AC") << QByteArray::fromHex("81CA");
    QTest::newRow("em dash") << QStringLiteral("\u2014") << QByteArray::fromHex("815C");
}

void tst_platform::sjisWindowsFallbacks()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    bool ok = false;
    QCOMPARE(SjisEncode(QStringLiteral("x") + text + QStringLiteral("y"), &ok), "x" + bytes + "y");
    QVERIFY(ok);
}

void tst_platform::sjisLinesEndWithCrLf()
{
    bool ok = false;
    QCOMPARE(SjisLines({QStringLiteral("01"), QString(), QStringLiteral("ﾌｧｲﾙ名")}, &ok),
             QByteArray("01\r\n\r\n\xCC\xA7\xB2\xD9\x96\xBC\r\n"));
    QVERIFY(ok);
    QCOMPARE(SjisLines({}, &ok), QByteArray());
    SjisLines({QStringLiteral("ok"), QStringLiteral("한")}, &ok);
    QVERIFY(!ok);
}

// ---------------------------------------------------------------- quoted items

void tst_platform::quotedItems_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArrayList>("items");
    QTest::newRow("commas and line ends separate") << QByteArray("a,b\r\nc,d\r\n") << QByteArrayList{"a", "b", "c", "d"};
    QTest::newRow("blanks and line ends before an item skipped")
        << QByteArray("  a,\r\n\r\n   b\r\n\r\n\r\nc") << QByteArrayList{"a", "b", "c"};
    QTest::newRow("quoted items lose their quotes")
        << QByteArray("\"0000\",\"00\"\r\n\"0001\",\"FF\"\r\n") << QByteArrayList{"0000", "00", "0001", "FF"};
    QTest::newRow("commas and blanks inside quotes kept") << QByteArray("\"a,b\", \" c \"\r\n") << QByteArrayList{"a,b", " c "};
    QTest::newRow("unquoted runs to comma or line end") << QByteArray("C:/a b/x.qvd,y\r\nz w\r\n")
                                                         << QByteArrayList{"C:/a b/x.qvd", "y", "z w"};
    QTest::newRow("last line without CR LF") << QByteArray("\"x\"\r\n\"y\"") << QByteArrayList{"x", "y"};
    QTest::newRow("empty last line is one empty item") << QByteArray("01\r\n03E8\r\n\r\n") << QByteArrayList{"01", "03E8", ""};
    QTest::newRow("file ending in CR LF has no extra item") << QByteArray("01\r\n03E8\r\n") << QByteArrayList{"01", "03E8"};
    QTest::newRow("empty item between commas") << QByteArray("a,,b") << QByteArrayList{"a", "", "b"};
    QTest::newRow("empty file") << QByteArray() << QByteArrayList{};
}

void tst_platform::quotedItems()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArrayList, items);
    QuotedItemReader r(file);
    QByteArrayList got;
    QByteArray item;
    while (got.size() < 20 && r.next(item))
        got << item;
    QCOMPARE(got, items);
    // Past the end it keeps failing.
    QVERIFY(!r.next(item));
    QVERIFY(item.isEmpty());
    QVERIFY(r.atEnd());
}

// ---------------------------------------------------------------- files

void tst_platform::fileErrorNumbers()
{
    QTemporaryDir tmp;
    QByteArray out = "untouched";
    FileError e = ReadWholeFile(tmp.filePath("none.ini"), out);
    QCOMPARE(e.number, 53);
    QCOMPARE(e.description, QStringLiteral("File not found"));
    e = ReadWholeFile(tmp.filePath("nofolder/none.ini"), out);
    QCOMPARE(e.number, 76);
    QCOMPARE(e.description, QStringLiteral("Path not found"));
    QCOMPARE(out, QByteArray("untouched"));
    QCOMPARE(ReadWholeFile(tmp.path(), out).number, 75); // a folder is not a file
    e = WriteWholeFile(tmp.filePath("nofolder/new.ini"), "x");
    QCOMPARE(e.number, 76);
    QVERIFY(!QDir(tmp.filePath("nofolder")).exists());
    QCOMPARE(AppendToFile(tmp.filePath("nofolder/log.csv"), "x").number, 76);
    QVERIFY(!CanOpenForReading(tmp.filePath("none.ini")));
    QVERIFY(!CanOpenForReading(tmp.path()));
    QVERIFY(!CanOpenForReading(QString()));
    QVERIFY(writeBytes(tmp.filePath("a.ini"), "1"));
    QVERIFY(CanOpenForReading(tmp.filePath("a.ini")));
}

void tst_platform::wholeFileWrites()
{
    QTemporaryDir tmp;
    const QString p = tmp.filePath("qvo.ini");
    QVERIFY(!WriteWholeFile(p, QByteArray(100, 'x')).failed());
    QVERIFY(!WriteWholeFile(p, "01\r\n").failed());
    QCOMPARE(readBytes(p), QByteArray("01\r\n")); // replaced whole, no tail of the old content
    QByteArray back;
    QVERIFY(!ReadWholeFile(p, back).failed());
    QCOMPARE(back, QByteArray("01\r\n"));
    QVERIFY(!AppendToFile(p, "02\r\n").failed());
    QVERIFY(!AppendToFile(tmp.filePath("new.csv"), "a\r\n").failed());
    QCOMPARE(readBytes(p), QByteArray("01\r\n02\r\n"));
    QCOMPARE(readBytes(tmp.filePath("new.csv")), QByteArray("a\r\n"));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary files left
}

void tst_platform::failedWriteKeepsOldFile()
{
    QTemporaryDir tmp;
    // A write cut short (the file size limit stands in for a full disk) keeps the old file.
    const QString big = tmp.filePath("big.tmp");
    QVERIFY(writeBytes(big, "old\r\n"));
    {
        struct rlimit old {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = old;
        small.rlim_cur = 4096;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        const FileError e = WriteWholeFile(big, QByteArray(100000, 'x'));
        setrlimit(RLIMIT_FSIZE, &old);
        signal(SIGXFSZ, oldHandler);
        QVERIFY(e.failed());
        QVERIFY2(e.number == 61 || e.number == 75, qPrintable(QString::number(e.number)));
    }
    QCOMPARE(readBytes(big), QByteArray("old\r\n"));
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"big.tmp"});
    if (getuid() == 0)
        QSKIP("root writes into read-only files and folders");
    // A read-only file is not replaced.
    const QString ro = tmp.filePath("ro.tmp");
    QVERIFY(writeBytes(ro, "old file\r\n"));
    QFile::setPermissions(ro, QFile::ReadOwner);
    FileError e = WriteWholeFile(ro, "new");
    QCOMPARE(e.number, 70);
    QCOMPARE(readBytes(ro), QByteArray("old file\r\n"));
    // A file in a read-only folder is not replaced either, and no trace is left there.
    const QString dir = tmp.filePath("locked");
    QVERIFY(QDir().mkdir(dir));
    const QString p = dir + "/frmst.tmp";
    QVERIFY(writeBytes(p, "old\r\n"));
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::ExeOwner);
    e = WriteWholeFile(p, "new content\r\n");
    QVERIFY(e.failed());
    QCOMPARE(readBytes(p), QByteArray("old\r\n"));
    QCOMPARE(QDir(dir).entryList(QDir::Files | QDir::Hidden), QStringList{"frmst.tmp"});
    QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void tst_platform::hexToLong_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("value");
    QTest::newRow("FFFFFF88") << "FFFFFF88" << true << -120;
    QTest::newRow("64") << "64" << true << 100;
    QTest::newRow("03E8") << "03E8" << true << 1000;
    QTest::newRow("lower case") << "07d0" << true << 2000;
    QTest::newRow("four digits are 16-bit") << "FF88" << true << -120;
    QTest::newRow("8000") << "8000" << true << -32768;
    QTest::newRow("five digits are 32-bit") << "10000" << true << 65536;
    QTest::newRow("00000000") << "00000000" << true << 0;
    QTest::newRow("7FFFFFFF") << "7FFFFFFF" << true << 0x7FFFFFFF;
    QTest::newRow("G1") << "G1" << false << 0;
    QTest::newRow("empty") << "" << false << 0;
    QTest::newRow("nine digits") << "100000000" << false << 0;
    QTest::newRow("sign") << "-1" << false << 0;
    QTest::newRow("inner blank") << "0 1" << false << 0;
}

void tst_platform::hexToLong()
{
    QFETCH(QString, text);
    QFETCH(bool, ok);
    QFETCH(int, value);
    qint32 v = 12345;
    QCOMPARE(HexToLong(text, v), ok);
    QCOMPARE(v, ok ? value : 12345);
}

void tst_platform::hexPad()
{
    QCOMPARE(HexPad(-120, 8), QStringLiteral("FFFFFF88"));
    QCOMPARE(HexPad(100, 2), QStringLiteral("64"));
    QCOMPARE(HexPad(1, 2), QStringLiteral("01"));
    QCOMPARE(HexPad(30, 2), QStringLiteral("1E"));
    QCOMPARE(HexPad(1000, 4), QStringLiteral("03E8"));
    QCOMPARE(HexPad(0x12345, 4), QStringLiteral("2345")); // the last digits
    QCOMPARE(HexPad(-1, 2), QStringLiteral("FF"));
    QCOMPARE(HexPad(0, 8), QStringLiteral("00000000"));
    QCOMPARE(HexPad(8520, 8), QStringLiteral("00002148"));
}

// ---------------------------------------------------------------- paths and twips

void tst_platform::dataFolderAndTwips()
{
    const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    QVERIFY(!config.isEmpty());
    QDir(config + "/Orvanelle").removeRecursively();
    bool made = false;
    QCOMPARE(DataFolder(&made), config + "/Orvanelle/Qelvo/");
    QVERIFY(QDir(config + "/Orvanelle/Qelvo").exists()); // created when missing
    QVERIFY(made);
    QCOMPARE(DataFolder(&made), config + "/Orvanelle/Qelvo/");
    QVERIFY(!made); // there already
    QCOMPARE(AppDataFolder(), config);
    QCOMPARE(DocumentsFolder(), qEnvironmentVariable("HOME") + "/Documents");
    // Offscreen has 96 dots per inch: 15 twips a pixel.
    QCOMPARE(TwipsPerPixel(), 15.0);
    QCOMPARE(TwipsToPx(9285), 619);
    QCOMPARE(TwipsToPx(-120), -8);
    QCOMPARE(PxToTwips(568), 8520);
}

// ---------------------------------------------------------------- dialogs

void tst_platform::quietDefaultAnswersTheSafeButton_data()
{
    QTest::addColumn<int>("buttons");
    QTest::addColumn<int>("answer");
    QTest::newRow("OK") << int(vbOKOnly) << int(vbOK);
    QTest::newRow("OK Cancel") << int(vbOKCancel) << int(vbCancel);
    QTest::newRow("Abort Retry Ignore") << int(vbAbortRetryIgnore) << int(vbAbort);
    QTest::newRow("Yes No Cancel") << int(vbYesNoCancel) << int(vbCancel);
    QTest::newRow("Yes No") << int(vbYesNo) << int(vbNo);
    QTest::newRow("Retry Cancel") << int(vbRetryCancel) << int(vbCancel);
}

void tst_platform::quietDefaultAnswersTheSafeButton()
{
    // A program that installed no dialog service (qelvo-cli has no windows to show one):
    // every box, whatever its icon, is answered at once with the button that gives up, no
    // window appears, and the box's caption and text reach the log on one line.
    QFETCH(int, buttons);
    QFETCH(int, answer);
    installDialogs(nullptr);
    QStringList shown;
    QTimer closer;
    closer.setInterval(0);
    connect(&closer, &QTimer::timeout, [&shown] {
        if (QWidget *w = QApplication::activeModalWidget()) {
            shown << w->windowTitle();
            w->close();
        }
    });
    closer.start();
    for (const int icon : {0, int(vbCritical), int(vbQuestion), int(vbExclamation), int(vbInformation)}) {
        QTest::ignoreMessage(QtWarningMsg, "通信: 応答がありません。 再試行しますか?");
        QCOMPARE(MsgBox(QStringLiteral("応答がありません。\r\n再試行しますか?"), buttons + icon, QStringLiteral("通信")), answer);
    }
    QTest::ignoreMessage(QtWarningMsg, "Qelvo Software: 既定の見出し");
    QCOMPARE(MsgBox(QStringLiteral("既定の見出し"), buttons), answer);
    QCOMPARE(dialogs().print(QStringLiteral("sheet"), [](QPagedPaintDevice &) { QFAIL("painted"); }), PrintResult::Cancelled);
    QCOMPARE(shown, QStringList());
}

void tst_platform::fileDialogFiltersReadOnce_data()
{
    QTest::addColumn<QString>("classic");
    QTest::addColumn<QStringList>("shown");
    // The tool's own filters: each description already names its pattern.
    QTest::newRow("csv export") << "csvﾌｧｲﾙ(*.csv)|*.csv" << QStringList{QStringLiteral("csvﾌｧｲﾙ(*.csv)")};
    QTest::newRow("user file") << "ﾕｰｻﾞｰﾌｧｲﾙ(*.qvd)|*.qvd" << QStringList{QStringLiteral("ﾕｰｻﾞｰﾌｧｲﾙ(*.qvd)")};
    QTest::newRow("html export") << "csvﾌｧｲﾙ(*.html)|*.html" << QStringList{QStringLiteral("csvﾌｧｲﾙ(*.html)")};
    QTest::newRow("two entries") << "CSV ﾌｧｲﾙ (*.csv)|*.csv|すべてのﾌｧｲﾙ (*.*)|*.*"
                                 << QStringList{QStringLiteral("CSV ﾌｧｲﾙ (*.csv)"), QStringLiteral("すべてのﾌｧｲﾙ (*.*)")};
    // A description without its pattern gets it; one naming another pattern keeps its words.
    QTest::newRow("bare description") << "Logs|*.csv;*.log" << QStringList{QStringLiteral("Logs (*.csv *.log)")};
    QTest::newRow("several patterns named") << "Logs(*.csv;*.log)|*.csv;*.log" << QStringList{QStringLiteral("Logs(*.csv *.log)")};
    QTest::newRow("other pattern named") << "ﾃｷｽﾄ(*.txt)|*.csv" << QStringList{QStringLiteral("ﾃｷｽﾄ(*.txt) (*.csv)")};
}

void tst_platform::fileDialogFiltersReadOnce()
{
    QFETCH(QString, classic);
    QFETCH(QStringList, shown);
    QCOMPARE(QtDialogs::qtFilters(classic), shown);
    // Qt's dialog takes the patterns from the text's last parentheses: the files it lists
    // are those of the pattern.
    QTemporaryDir dir;
    for (const char *name : {"a.csv", "b.qvd", "c.html", "d.log", "e.txt"})
        QVERIFY(writeBytes(dir.filePath(QString::fromLatin1(name)), "x"));
    QFileDialog dlg(nullptr, QString(), dir.path());
    dlg.setOption(QFileDialog::DontUseNativeDialog);
    dlg.setNameFilters(QtDialogs::qtFilters(classic));
    QCOMPARE(dlg.nameFilters(), shown);
    const QString pattern = classic.section(QLatin1Char('|'), 1, 1);
    QStringList want;
    for (const QString &p : pattern.split(QLatin1Char(';')))
        want += QDir(dir.path()).entryList({p}, QDir::Files);
    want.sort();
    QTRY_COMPARE(shownFiles(dlg), want);
}

QTEST_MAIN(tst_platform)
#include "tst_platform.moc"
