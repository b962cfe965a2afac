// Reading log files back for the trend window: files written by the log filer's own line
// makers and append, in each form of the value and output columns, several runs with every
// end marker and one aborted, a last line cut short at every length, stray lines, and files
// that are no log (with their box, and nothing changed).
#include "support/AppFixture.h"

#include "core/modMain1.h"
#include "logfiler/modLogFiler.h"
#include "logfiler/modLogReader.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/FilePieces.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"

#include <QDir>
#include <QtTest>

#include <cmath>

namespace {
QString logPath() { return AppFixture::dataFile(QStringLiteral("logs/site.csv")); }

QDateTime at(int h, int m, int s, int day = 10) { return QDateTime(QDate(2026, 10, day), QTime(h, m, s)); }

// What the log filer appends: a block, a data line.
void block(const QString &marker, const QDateTime &t) { QCOMPARE(AppendLogFilerData(LogBlock(marker, t), logPath()), qint16(1)); }
void line(int n, const QDateTime &t, const QString &value, const QString &outputs, bool volt, bool bits)
{
    QCOMPARE(AppendLogFilerData(DataLineOf(n, t, value, outputs, volt, bits), logPath()), qint16(1));
}

LogFileData read()
{
    LogFileData d;
    const bool ok = ParseLogFile(AppFixture::readFile(logPath()), d);
    if (!ok)
        qWarning("no log");
    return d;
}

void fresh()
{
    QDir().mkpath(AppFixture::dataFile(QStringLiteral("logs")));
    QFile::remove(logPath());
    g_subUnitSet(Volt5);
}

// The value a data line shows for a count: hundredths of the text the line writes.
int shownHundredths(const QString &count)
{
    return int(std::lround(ReadingOf(count, QStringLiteral("00")).valueText00().toDouble() * 100));
}
} // namespace

class TestLogReader : public QObject {
    Q_OBJECT
private slots:
    void init() { fresh(); }
    void eachFormOfTheColumns_data();
    void eachFormOfTheColumns();
    void severalRunsAndEveryMarker();
    void lastLineCutShort();
    void strayLinesAndMarkersWithoutTime();
    void noLogChangesNothing();
    void clockSetBack_data();
    void clockSetBack();
    void piecesBomAndBounds();
    void refusedWithTheirLimits_data();
    void refusedWithTheirLimits();
    void slowReadShowsProgress_data();
    void slowReadShowsProgress();
};

void TestLogReader::eachFormOfTheColumns_data()
{
    QTest::addColumn<bool>("volt");
    QTest::addColumn<bool>("bits");
    QTest::newRow("count, hex outputs") << false << false;
    QTest::newRow("value, hex outputs") << true << false;
    QTest::newRow("count, bits") << false << true;
    QTest::newRow("value, bits") << true << true;
}

void TestLogReader::eachFormOfTheColumns()
{
    QFETCH(bool, volt);
    QFETCH(bool, bits);
    AppFixture f;
    fresh();
    // Two input types: the distance type mirrors its values.
    for (int type : {int(Volt5), int(Dist10M)}) {
        fresh();
        g_subUnitSet(type);
        const QStringList values = {QStringLiteral("0000"), QStringLiteral("01A3"), QStringLiteral("03FF"),
                                    QStringLiteral("ZZZZ"), QStringLiteral("0200")};
        const QStringList outputs = {QStringLiteral("05"), QStringLiteral("00"), QStringLiteral("FF"),
                                     QStringLiteral("0G"), QStringLiteral("80")};
        block(QStringLiteral("/** Logging Start **/"), at(9, 0, 0));
        for (int i = 0; i < values.size(); ++i)
            line(i + 1, at(9, 0, 10 * i), values[i], outputs[i], volt, bits);
        block(QStringLiteral("/** Logging END C **/"), at(9, 0, 41));

        const LogFileData d = read();
        QCOMPARE(d.runs, 1);
        QCOMPARE(d.lines, qint64(5));
        QCOMPARE(d.skipped, qint64(0));
        QVERIFY(!d.cutShort);
        QCOMPARE(d.hundredths, volt);
        QCOMPARE(d.unit, volt ? g_strUnit : QString());
        QCOMPARE(d.markers.size(), 2);
        QCOMPARE(d.markers[0].text, QStringLiteral("Logging Start"));
        QVERIFY(d.markers[0].start);
        QCOMPARE(d.markers[0].ms, at(9, 0, 0).toMSecsSinceEpoch());
        QCOMPARE(d.markers[1].text, QStringLiteral("Logging END C"));
        QCOMPARE(d.markers[1].ms, at(9, 0, 41).toMSecsSinceEpoch());
        QCOMPARE(d.series.size(), qint64(5));
        for (int i = 0; i < 5; ++i) {
            const TrendSeries::Reading r = d.series.at(i);
            QCOMPARE(r.ms, at(9, 0, 10 * i).toMSecsSinceEpoch());
            bool hex = false;
            const int count = values[i].toInt(&hex, 16);
            QCOMPARE(bool(r.flags & TrendSeries::NoValue), !hex);
            if (hex)
                QCOMPARE(int(r.value), volt ? kHundredthsZero + shownHundredths(values[i]) : count);
            const int o = outputs[i].toInt(&hex, 16);
            QCOMPARE(bool(r.flags & TrendSeries::NoOutputs), !hex);
            if (hex)
                QCOMPARE(int(r.outputs), o);
            QCOMPARE(bool(r.flags & TrendSeries::RunStart), i == 0);
        }
    }
}

void TestLogReader::severalRunsAndEveryMarker()
{
    AppFixture f;
    fresh();
    // One run per end marker, a run that stopped without one (Abort in the append box), and
    // the display check boxes changed between runs: counts among values become values.
    const QStringList ends = {QStringLiteral("/** Logging QUIT **/"), QStringLiteral("/** Logging END C **/"),
                              QStringLiteral("/** Logging END T **/"), QStringLiteral("/** Logging COUNTMAX OVER **/"),
                              QStringLiteral("/** Logging Quit **/"), QStringLiteral("/** Logging ERR STOP **/"),
                              QString()};
    for (int run = 0; run < ends.size(); ++run) {
        block(QStringLiteral("/** Logging Start **/"), at(run, 0, 0));
        for (int i = 0; i < 3; ++i)
            line(i + 1, at(run, 0, i), QStringLiteral("0%1%2%3").arg(run).arg(i).arg(run), QStringLiteral("0%1").arg(i),
                 run % 2, run % 3 == 0);
        if (!ends[run].isEmpty())
            block(ends[run], at(run, 0, 3));
    }
    const LogFileData d = read();
    QCOMPARE(d.runs, int(ends.size()));
    QCOMPARE(d.lines, qint64(3 * ends.size()));
    QVERIFY(d.hundredths);
    QCOMPARE(d.unit, QStringLiteral("V"));
    QStringList texts;
    for (const LogMarker &m : d.markers)
        texts << m.text + (m.start ? QStringLiteral("+") : QString()) + QDateTime::fromMSecsSinceEpoch(m.ms).toString(QStringLiteral(" HH:mm:ss"));
    QCOMPARE(texts, (QStringList{QStringLiteral("Logging Start+ 00:00:00"), QStringLiteral("Logging QUIT 00:00:03"),
                                 QStringLiteral("Logging Start+ 01:00:00"), QStringLiteral("Logging END C 01:00:03"),
                                 QStringLiteral("Logging Start+ 02:00:00"), QStringLiteral("Logging END T 02:00:03"),
                                 QStringLiteral("Logging Start+ 03:00:00"), QStringLiteral("Logging COUNTMAX OVER 03:00:03"),
                                 QStringLiteral("Logging Start+ 04:00:00"), QStringLiteral("Logging Quit 04:00:03"),
                                 QStringLiteral("Logging Start+ 05:00:00"), QStringLiteral("Logging ERR STOP 05:00:03"),
                                 QStringLiteral("Logging Start+ 06:00:00")}));
    for (qint64 i = 0; i < d.series.size(); ++i) {
        const TrendSeries::Reading r = d.series.at(i);
        QCOMPARE(bool(r.flags & TrendSeries::RunStart), i % 3 == 0);
        // Every line's value as the line shows it, whichever form it was written in.
        const int run = int(i / 3), k = int(i % 3);
        QCOMPARE(int(r.value) - kHundredthsZero, shownHundredths(QStringLiteral("0%1%2%3").arg(run).arg(k).arg(run)));
        QCOMPARE(int(r.outputs), k);
    }
}

void TestLogReader::lastLineCutShort()
{
    AppFixture f;
    fresh();
    block(QStringLiteral("/** Logging Start **/"), at(9, 0, 0));
    line(1, at(9, 0, 0), QStringLiteral("01A3"), QStringLiteral("05"), true, true);
    line(2, at(9, 0, 1), QStringLiteral("01A4"), QStringLiteral("05"), true, true);
    const QByteArray whole = AppFixture::readFile(logPath());
    const QByteArray last = SjisEncode(DataLineOf(3, at(9, 0, 2), QStringLiteral("01A5"), QStringLiteral("05"), true, true));
    // Cut after every byte of the last line, even where what is left reads as a line ("10"
    // of the bits reads as hexadecimal outputs): the two whole lines, and nothing else.
    for (int n = 1; n <= last.size(); ++n) {
        LogFileData d;
        QVERIFY(ParseLogFile(whole + last.left(n), d));
        QCOMPARE(d.lines, qint64(2));
        QVERIFY(d.cutShort);
        QCOMPARE(d.skipped, qint64(0));
        QCOMPARE(d.series.lastMs(), at(9, 0, 1).toMSecsSinceEpoch());
    }
    // With its line end the line counts.
    LogFileData d;
    QVERIFY(ParseLogFile(whole + last + "\r\n", d));
    QCOMPARE(d.lines, qint64(3));
    QVERIFY(!d.cutShort);
}

void TestLogReader::strayLinesAndMarkersWithoutTime()
{
    AppFixture f;
    fresh();
    // Lines before any start block, a start whose time line is missing, a stray line, an
    // unknown marker, a unit that is no word, and an end marker whose time line was lost at
    // the end of a copy.
    QByteArray b = "000001, 2026/10/10, 08:00:00, 0100, 00\r\n"
                   "/** Logging Start **/\r\n"
                   "000001, 2026/10/10, 09:00:00, 0200, 01\r\n"
                   "some note\r\n"
                   "/** Logging Pause **/\r\n"
                   "000002, 2026/10/32, 09:00:01, 0200, 01\r\n"
                   "000003, 2026/10/10, 09:00:02, 0201, 01\r\n"
                   "000004, 2026/10/10, 09:00:03, -0.05,\xed, 01\r\n"
                   "/** Logging QUIT **/\r\n";
    LogFileData d;
    QVERIFY(ParseLogFile(b, d));
    QCOMPARE(d.runs, 2);
    QCOMPARE(d.lines, qint64(3));
    QCOMPARE(d.skipped, qint64(4));
    QCOMPARE(d.markers.size(), 2);
    QCOMPARE(d.markers[0].ms, at(9, 0, 0).toMSecsSinceEpoch());
    QCOMPARE(d.markers[1].ms, at(9, 0, 2).toMSecsSinceEpoch());
    QCOMPARE(d.series.at(0).flags, quint8(TrendSeries::RunStart));
    QCOMPARE(d.series.at(1).flags, quint8(TrendSeries::RunStart));
    QCOMPARE(d.series.at(2).flags, quint8(0));
}

void TestLogReader::noLogChangesNothing()
{
    AppFixture f;
    fresh();
    LogFileData d;
    block(QStringLiteral("/** Logging Start **/"), at(9, 0, 0));
    line(1, at(9, 0, 0), QStringLiteral("01A3"), QStringLiteral("05"), false, false);
    QVERIFY(g_funcLogFileRead(logPath(), d));
    QCOMPARE(d.lines, qint64(1));
    QCOMPARE(f.dlg.boxes.size(), 0);

    // Another program's CSV, an empty file, a missing one: a box each, and d as it was.
    const QString other = AppFixture::dataFile(QStringLiteral("logs/other.csv"));
    AppFixture::writeFile(other, "date,time,level\r\n2026/10/10,09:00:00,1.25\r\n\"a\",\"b\"\r\n");
    const QString empty = AppFixture::dataFile(QStringLiteral("logs/empty.csv"));
    AppFixture::writeFile(empty, QByteArray());
    const QString missing = AppFixture::dataFile(QStringLiteral("logs/missing.csv"));
    f.dlg.answers << vbOK << vbOK << vbOK;
    QVERIFY(!g_funcLogFileRead(other, d));
    QVERIFY(!g_funcLogFileRead(empty, d));
    QVERIFY(!g_funcLogFileRead(missing, d));
    QCOMPARE(d.lines, qint64(1));
    QCOMPARE(d.series.size(), qint64(1));
    QCOMPARE(f.dlg.boxes.size(), 3);
    const QString noLog = QStringLiteral("ﾛｸﾞﾌｧｲﾗのﾛｸﾞﾌｧｲﾙではありません。") + vbCrLf +
                          QStringLiteral("開始ﾏｰｶｰもﾃﾞｰﾀ行も見つかりませんでした。") + vbCrLf;
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("ﾛｸﾞﾌｧｲﾙ読み込み"), noLog + other, vbOKOnly, vbExclamation));
    QCOMPARE(boxOf(f.dlg.boxes[1]), box(QStringLiteral("ﾛｸﾞﾌｧｲﾙ読み込み"), noLog + empty, vbOKOnly, vbExclamation));
    QCOMPARE(boxOf(f.dlg.boxes[2]), box(QStringLiteral("ﾛｸﾞﾌｧｲﾙ読み込み"),
                                        QStringLiteral("File not found : Error.No = 53") + vbCrLf + missing, vbOKOnly, vbCritical));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText().constData());
}

void TestLogReader::clockSetBack_data()
{
    // 05:00:00 to 06:00:00 every 10 s, then the clock set back: 05:00:10 to 07:00:00, in the
    // same run or in a new one whose start marker already carries the earlier time.
    QTest::addColumn<bool>("newRun");
    QTest::newRow("within a run") << false;
    QTest::newRow("at a new run") << true;
}

void TestLogReader::clockSetBack()
{
    QFETCH(bool, newRun);
    AppFixture f;
    fresh();
    block(QStringLiteral("/** Logging Start **/"), at(5, 0, 0));
    int n = 0;
    for (QDateTime t = at(5, 0, 0); t <= at(6, 0, 0); t = t.addSecs(10))
        line(++n, t, QStringLiteral("0100"), QStringLiteral("01"), true, false);
    if (newRun) {
        block(QStringLiteral("/** Logging QUIT **/"), at(6, 0, 0));
        block(QStringLiteral("/** Logging Start **/"), at(5, 0, 5));
    }
    for (QDateTime t = at(5, 0, 10); t <= at(7, 0, 0); t = t.addSecs(10))
        line(++n, t, QStringLiteral("0200"), QStringLiteral("02"), true, false);
    const LogFileData d = read();
    QCOMPARE(d.lines, qint64(361 + 720));
    // Every reading at its own time; the second stretch starts a run of the line and stands
    // after the first on the time line.
    for (qint64 i = 0; i < d.series.size(); ++i) {
        const qint64 k = i < 361 ? i : i - 361;
        QCOMPARE(d.series.at(i).written, (i < 361 ? at(5, 0, 0) : at(5, 0, 10)).addSecs(10 * k).toMSecsSinceEpoch());
    }
    QCOMPARE(d.series.stepCount(), qint64(1));
    const TrendSeries::Step st = d.series.steps().front();
    QCOMPARE(st.beforeMs, at(6, 0, 0).toMSecsSinceEpoch());
    QCOMPARE(st.afterMs, (newRun ? at(5, 0, 5) : at(5, 0, 10)).toMSecsSinceEpoch());
    QVERIFY(d.series.at(361).flags & TrendSeries::RunStart);
    QVERIFY(d.series.at(361).ms > d.series.at(360).ms);
    // The markers at their own times, each beside its stretch.
    QCOMPARE(d.markers.size(), newRun ? 3 : 1);
    if (newRun) {
        QCOMPARE(d.markers[2].written, at(5, 0, 5).toMSecsSinceEpoch());
        QVERIFY(d.markers[2].ms > d.markers[1].ms && d.markers[2].ms < d.series.at(361).ms);
    }
}

void TestLogReader::piecesBomAndBounds()
{
    AppFixture f;
    fresh();
    // A copy saved with a byte order mark, cut into pieces anywhere: the same as whole.
    block(QStringLiteral("/** Logging Start **/"), at(9, 0, 0));
    for (int i = 0; i < 4; ++i)
        line(i + 1, at(9, 0, i), QStringLiteral("01A3"), QStringLiteral("05"), i % 2, i < 2);
    block(QStringLiteral("/** Logging END C **/"), at(9, 0, 5));
    const QByteArray file = "\xEF\xBB\xBF" + AppFixture::readFile(logPath());
    LogFileData whole;
    QVERIFY(ParseLogFile(file, whole));
    QCOMPARE(whole.markers.size(), 2);
    QCOMPARE(whole.markers[0].text, QStringLiteral("Logging Start"));
    QCOMPARE(whole.lines, qint64(4));
    for (int a = 0; a < file.size(); ++a) {
        const int b = a + (file.size() - a) / 2;
        LogParser p;
        p.feed(QByteArrayView(file).first(a));
        p.feed(QByteArrayView(file).sliced(a, b - a));
        p.feed(QByteArrayView(file).sliced(b));
        LogFileData d;
        QVERIFY(p.finish(d) == LogParseResult::Log);
        QCOMPARE(d.lines, whole.lines);
        QCOMPARE(d.markers.size(), whole.markers.size());
        QCOMPARE(d.series.at(3).written, whole.series.at(3).written);
        QCOMPARE(d.series.at(3).value, whole.series.at(3).value);
    }
    // A line longer than a log line is counted, never held.
    LogFileData d;
    QVERIFY(ParseLogFile(file + QByteArray(4 * kMaxLogLineBytes, 'x') + "\r\n" + file, d));
    QCOMPARE(d.skipped, qint64(1));
    QCOMPARE(d.lines, qint64(8));
}

void TestLogReader::refusedWithTheirLimits_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<qint64>("bytes"); // the file's size where it is larger than its lines
    QTest::addColumn<QString>("why");
    QByteArray markers, steps;
    for (qint64 i = 0; i <= kMaxLogMarkers; ++i)
        markers += "/** Logging Start **/\r\n";
    for (qint64 i = 0; i <= 2 * TrendSeries::kMaxSteps + 2; ++i)
        steps += QStringLiteral("1, 2026/10/10, %1, 0100, 00\r\n").arg(i % 2 ? "09:00:00" : "10:00:00").toLatin1();
    QTest::newRow("markers") << markers << qint64(0) << QStringLiteral("開始・終了ﾏｰｶｰは 100000 個まで読み込めます。");
    QTest::newRow("steps") << steps << qint64(0) << QStringLiteral("時刻の戻りは 10000 か所まで読み込めます。");
    QTest::newRow("size") << QByteArray("/** Logging Start **/\r\n") << kMaxLogFileBytes + 1
                          << QStringLiteral("読み込めるのは 256 MB までです (このﾌｧｲﾙは 257 MB)。");
}

void TestLogReader::refusedWithTheirLimits()
{
    QFETCH(QByteArray, lines);
    QFETCH(qint64, bytes);
    QFETCH(QString, why);
    AppFixture f;
    fresh();
    AppFixture::writeFile(logPath(), lines);
    if (bytes) // sparse: no disk is taken
        QVERIFY(QFile::resize(logPath(), bytes));
    LogFileData d;
    f.dlg.answers << vbOK;
    QVERIFY(!g_funcLogFileRead(logPath(), d));
    QCOMPARE(d.series.size(), qint64(0));
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(f.dlg.boxes[0].caption, QStringLiteral("ﾛｸﾞﾌｧｲﾙ読み込み"));
    QVERIFY2(f.dlg.boxes[0].text.split(vbCrLf).contains(why), qPrintable(f.dlg.boxes[0].text));
    QCOMPARE(f.dlg.boxes[0].icon, int(vbExclamation));
}

void TestLogReader::slowReadShowsProgress_data()
{
    // How long each piece of a 3 MB log takes, and where the user presses キャンセル.
    QTest::addColumn<qint64>("pieceUs");
    QTest::addColumn<int>("cancelAt");
    QTest::addColumn<bool>("window");
    QTest::newRow("quick") << qint64(5) << -1 << false;
    QTest::newRow("slow") << qint64(100'000) << -1 << true;
    QTest::newRow("slow, cancelled") << qint64(100'000) << 500 << true;
}

void TestLogReader::slowReadShowsProgress()
{
    QFETCH(qint64, pieceUs);
    QFETCH(int, cancelAt);
    QFETCH(bool, window);
    AppFixture f;
    fresh();
    QByteArray bytes = SjisEncode(LogBlock(QStringLiteral("/** Logging Start **/"), at(0, 0, 0))) + "\r\n";
    for (int i = 0; bytes.size() < 3 * 1024 * 1024; ++i)
        bytes += SjisEncode(DataLineOf(i + 1, at(0, 0, 0).addSecs(i), QStringLiteral("0100"), QStringLiteral("00"), true, true)) + "\r\n";
    AppFixture::writeFile(logPath(), bytes);
    f.clock.doEventsUs = pieceUs;
    f.dlg.progressCancelAt = cancelAt;
    LogFileData d;
    QCOMPARE(g_funcLogFileRead(logPath(), d), cancelAt < 0);
    QCOMPARE(f.dlg.waitCursors, 1);
    QCOMPARE(f.dlg.waitCursorDepth, 0);
    QCOMPARE(f.dlg.progressWindows.size(), window ? 1 : 0);
    QVERIFY(!f.dlg.progressOpenNow);
    QCOMPARE(f.dlg.boxes.size(), 0); // a cancel is no failure
    if (window) {
        QCOMPARE(f.dlg.progressWindows[0], QStringLiteral("ﾛｸﾞﾌｧｲﾙ読み込み|ﾛｸﾞﾌｧｲﾙを読み込んでいます...") + vbCrLf + QStringLiteral("site.csv"));
        // Shown once half a second had passed, then moved on to the end or the cancel.
        QVERIFY(std::is_sorted(f.dlg.progressValues.begin(), f.dlg.progressValues.end()));
        QVERIFY(f.dlg.progressValues.first() > 0);
        QVERIFY(cancelAt < 0 ? f.dlg.progressValues.last() == 1000 : f.dlg.progressValues.last() >= cancelAt);
    }
    QCOMPARE(d.lines, cancelAt < 0 ? qint64(d.series.size()) : qint64(0));
}

QTEST_MAIN(TestLogReader)
#include "tst_logreader.moc"
