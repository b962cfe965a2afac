// The log filer on the virtual clock against the simulated controller: its settings
// window (fields, checks, the calendar, the file dialog, OK and Cancel, "lfst.ini"), and
// its run (the start and its refusals, the schedule, every end marker, pause, appends that
// fail, the window's buttons), with the files checked byte for byte.
#include "support/AccessibleTree.h"
#include "support/LinkHelpers.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modLinkState.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/frmSetLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/QtDialogs.h"

#include "support/LogSettings.h"

#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {
QString logPath() { return logFolder() + QStringLiteral("site.csv"); }

void save(const LogFileSetting &s)
{
    g_subDataPathSet(DataFolder()); // also before the start-up has set it
    QDir().mkpath(logFolder());
    QVERIFY(!SaveLogFileSetting(s).failed());
}

QByteArray logBytes() { return AppFixture::readFile(logPath()); }
QByteArrayList logLines()
{
    QByteArray b = logBytes();
    if (b.endsWith("\r\n"))
        b.chop(2);
    return b.isEmpty() ? QByteArrayList() : b.split('\n');
}

// Connected to the simulated controller, the monitor polling once a second, the log
// filer window open; the virtual clock set so that it now reads at.
void startMonitoring(AppFixture &f, const QDateTime &at = QDateTime(QDate(2006, 10, 10), QTime(9, 0, 0)))
{
    f.clock.setBase(at.addSecs(-5).addMSecs(-(f.clock.nowUs() / 1000)));
    startConnected(f);
    g_subMenuCommand(12);
    g_frmDirect1->Command2[0]->click();
    QCOMPARE(g_intMonitorOn, qint16(-1));
    g_subMenuCommand(13);
    QVERIFY(g_frmLogFiler1);
    // A reading or two, then on to the very moment.
    Sleep(int(Now().msecsTo(at)));
    QCOMPARE(Now(), at);
}

QByteArray block(const char *marker, const char *time) { return QByteArray(marker) + "\r\nTime :," + time + "\r\n"; }

// The last box shown, as one comparable line.
QString lastBox(const ScriptedDialogs &d) { return d.boxes.isEmpty() ? QStringLiteral("(none)") : boxOf(d.boxes.last()); }

// The log file holds complete runs: each start block, its data lines and one end block.
bool completeRuns(const QByteArray &log)
{
    static const QRegularExpression runs(QStringLiteral("^(/\\*\\* Logging Start \\*\\*/\r\nTime :,[^\r]*\r\n([0-9]{6}, [^\r]*\r\n)*"
                                                        "/\\*\\* Logging (?!Start)[^\r]*\r\nTime :,[^\r]*\r\n)*$"));
    return runs.match(QString::fromLatin1(log)).hasMatch();
}

// The window shows the state the log is in: its status label and buttons.
void checkWindowMatches()
{
    const frmLogFiler1 *w = g_frmLogFiler1;
    const int state = flgLogFilerOnWork == -1 ? 0 : flgLogFilerOnWork == 2 ? 1 : 2; // logging, paused, stopped
    QCOMPARE(w->Label5->text(), (QStringList{QStringLiteral("Log ﾃﾞｰﾀ収集中"), QStringLiteral("中断"), QStringLiteral("停止中")}[state]));
    QCOMPARE(w->Command1[0]->text(), state == 1 ? QStringLiteral("再開") : QStringLiteral("開始"));
    QCOMPARE(w->Command1[0]->isEnabled(), state != 0);
    QCOMPARE(w->Command1[1]->isEnabled(), state != 2);
    QCOMPARE(w->Command1[2]->isEnabled(), state == 0);
}

// Moves the virtual wall clock by secs, elapsed time standing still.
void moveClock(AppFixture &f, int secs) { f.clock.setBase(f.clock.now().addSecs(secs).addMSecs(-f.clock.elapsedMs())); }

// The settings window, shown, for its fields and buttons.
struct SettingsWindow {
    frmSetLogFiler1 dlg;
    SettingsWindow() { dlg.show(); }
    void edit(int field, const QString &typed, bool enter = true)
    {
        QTest::mouseClick(dlg.Text2[field], Qt::LeftButton);
        QVERIFY(dlg.Text3->isVisible());
        dlg.Text3->selectAll();
        QTest::keyClicks(dlg.Text3, typed);
        if (enter)
            QTest::keyClick(dlg.Text3, Qt::Key_Return);
    }
};
} // namespace

class TestLogFiler : public QObject {
    Q_OBJECT
    QTemporaryDir m_home;
private slots:
    void initTestCase();
    void settingsFileRoundTrip();
    void firstStartWithoutSettings();
    void fieldChecks_data();
    void fieldChecks();
    void editorKeys();
    void datesOnlyFromTheCalendar();
    void endModeControls();
    void fileDialogAndAppendQuestion();
    void okSavesAndAnImpossibleEndTimeIsRefused();
    void saveFailureKeepsTheWindow();
    void fromTheLogFilerWindow();
    void settingsFileHoldsOnlyItsOwnValues();
    void overlayEditorStaysUnderItsRangeBox();

    void startRefused();
    void theExampleRunByteForByte();
    void countOneEndsAtTheNextCheck();
    void stopEndsWithinASecond();
    void twoRunsInOneFile();
    void scheduleDoesNotDrift();
    void endByTime();
    void pauseWritesNothingAndResumesOnTheGrid();
    void monitorStoppedOrUnpluggedEndsWithQuit();
    void appendFailures();
    void abortOnTheStartBlock();
    void windowRefusesToCloseWhileLogging();
    void aDayOfLogging();
    void countMaxOver();

    void quickButtonPairs();
    void aDayWithTheClockMoved();
    void appendBoxOffersOnlyItsButtons();
    void accessibleValuesAndLines();
};

void TestLogFiler::initTestCase()
{
    // A data folder of this run's own, however the suite is started: another run of it (or
    // any program of the same user) in the same folder would wipe the log under a test.
    QVERIFY(m_home.isValid());
    qputenv("XDG_CONFIG_HOME", m_home.path().toUtf8());
    // Without TZ the C library reads the zone file again at every local time conversion:
    // naming the same zone once spares the virtual days of logging half their time.
    if (qEnvironmentVariableIsEmpty("TZ"))
        qputenv("TZ", ":/etc/localtime");
}

// ---------------------------------------------------------------- settings

void TestLogFiler::settingsFileRoundTrip()
{
    AppFixture f;
    f.startSeeded();
    LogFileSetting s = settings(1, QStringLiteral("00:00:10"), 100, QStringLiteral("2006/10/11 08:00:00"));
    s.strFolder = QStringLiteral("/srv/data/水位/");
    s.strFileName = QStringLiteral("qlv20061010.csv");
    save(s);
    const QByteArray bytes = AppFixture::readFile(AppFixture::dataFile(QStringLiteral("lfst.ini")));
    QCOMPARE(bytes, QByteArray("\"00:00:10\"\r\n100\r\n\"2006/10/11 08:00:00\"\r\n1\r\n0\r\n\"/srv/data/") +
                        SjisEncode(QStringLiteral("水位")) + "/\"\r\n\"qlv20061010.csv\"\r\n");
    LogFileSetting back;
    QVERIFY(LoadLogFileSetting(back));
    QCOMPARE(back.strFolder, s.strFolder);
    QCOMPARE(back.strEndTime, s.strEndTime);
    QCOMPARE(back.intEndMode, qint16(1));
    QCOMPARE(MakeLogFileName(), QStringLiteral("qlv") + Now().toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".csv"));
    QCOMPARE(GetPathFolder(QStringLiteral("/a/b/c.csv")), QStringLiteral("/a/b/"));
    QCOMPARE(GetPathFile(QStringLiteral("/a/b/c.csv")), QStringLiteral("c.csv"));
    QCOMPARE(GetPathFolder(QStringLiteral("c.csv")), QString());
    // A count that is no number: the read fails with its box, the values before it kept.
    AppFixture::writeFile(AppFixture::dataFile(QStringLiteral("lfst.ini")), "\"00:00:05\"\r\nabc\r\n");
    f.dlg.answers << vbOK;
    LogFileSetting bad;
    QVERIFY(!LoadLogFileSetting(bad));
    QCOMPARE(bad.strInterval, QStringLiteral("00:00:05"));
    QCOMPARE(boxOf(f.dlg.boxes.last()), box(QStringLiteral("LoadLogFileSetting"), QStringLiteral("Type mismatch :Err.No = 13"), vbOKOnly, vbExclamation));
}

void TestLogFiler::firstStartWithoutSettings()
{
    AppFixture f;
    f.startSeeded();
    f.dlg.answers << vbOK;
    SettingsWindow w;
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("LoadLogFileSetting"), QStringLiteral("File not found :Err.No = 53"), vbOKOnly, vbExclamation));
    QCOMPARE(w.dlg.windowTitle(), QStringLiteral("ﾛｸﾞﾌｧｲﾗ設定"));
    QCOMPARE(w.dlg.Label1_6->text(), QStringLiteral("(1 - 65535)"));
    for (int field : {fldIntervalHour, fldIntervalMinute, fldIntervalSecond})
        QVERIFY(w.dlg.Text2[field]->text().isEmpty());
    QCOMPARE(w.dlg.Text2[fldCount]->text(), QStringLiteral("0"));
    const QDateTime now = Now();
    QCOMPARE(w.dlg.Text2[fldEndYear]->text(), QString::number(now.date().year()));
    QCOMPARE(w.dlg.Text2[fldEndHour]->text(), now.toString(QStringLiteral("HH")));
    QVERIFY(w.dlg.Option1[0]->isChecked());
    QVERIFY(!w.dlg.Check1->isChecked());
    QVERIFY(w.dlg.Text1[0]->text().isEmpty());
    QCOMPARE(w.dlg.Label3->text(), now.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
    f.dlg.answers << vbOK;
    w.dlg.Command2[0]->click();
    QCOMPARE(boxOf(f.dlg.boxes.last()), box(QStringLiteral("設定の保存"), QStringLiteral("保存ﾌｫﾙﾀﾞが空白です。"), vbOKOnly, vbExclamation));
    QVERIFY(w.dlg.isVisible());
    QVERIFY(!QFile::exists(AppFixture::dataFile(QStringLiteral("lfst.ini"))));
    // Then the file name, then the empty interval.
    w.dlg.Text1[0]->setText(logFolder());
    f.dlg.answers << vbOK;
    w.dlg.Command2[0]->click();
    QCOMPARE(f.dlg.boxes.last().text, QStringLiteral("保存ﾌｧｲﾙ名が空白です。"));
    w.dlg.Text1[1]->setText(QStringLiteral("site.csv"));
    f.dlg.answers << vbOK;
    w.dlg.Command2[0]->click();
    QCOMPARE(f.dlg.boxes.last().text, QStringLiteral("入力が空白です。"));
    // The current time follows on the 200 ms timer.
    Sleep(1200);
    QCOMPARE(w.dlg.Label3->text(), Now().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogFiler::fieldChecks_data()
{
    QTest::addColumn<int>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("shown");  // the display box afterwards; empty: refused
    QTest::addColumn<QString>("range");  // the range line of the refusal
    QTest::newRow("interval 0 h") << int(fldIntervalHour) << "0" << "00" << "";
    QTest::newRow("interval 24 h") << int(fldIntervalHour) << "24" << "24" << "";
    QTest::newRow("interval 25 h") << int(fldIntervalHour) << "25" << "" << "0 =< 値　=< 24";
    QTest::newRow("interval 0 s") << int(fldIntervalSecond) << "0" << "00" << "";
    QTest::newRow("interval 60 min") << int(fldIntervalMinute) << "60" << "" << "0 =< 値　=< 59";
    QTest::newRow("count 0") << int(fldCount) << "0" << "" << "1 =< 値　=< 65535";
    QTest::newRow("count 1") << int(fldCount) << "1" << "1" << "";
    QTest::newRow("count 65535") << int(fldCount) << "65535" << "65535" << "";
    QTest::newRow("count 65536") << int(fldCount) << "65536" << "" << "1 =< 値　=< 65535";
    QTest::newRow("end hour 24") << int(fldEndHour) << "24" << "24" << "";
    QTest::newRow("end second 7") << int(fldEndSecond) << "7" << "07" << "";
}

void TestLogFiler::fieldChecks()
{
    QFETCH(int, field);
    QFETCH(QString, typed);
    QFETCH(QString, shown);
    QFETCH(QString, range);
    AppFixture f;
    f.startSeeded();
    save(settings(field >= fldEndYear ? 1 : 0, QStringLiteral("00:00:10"), 100, QStringLiteral("2006/10/11 08:00:00")));
    SettingsWindow w;
    const QString before = w.dlg.Text2[field]->text();
    if (!range.isEmpty())
        f.dlg.answers << vbOK;
    w.edit(field, typed);
    if (range.isEmpty()) {
        QCOMPARE(w.dlg.Text2[field]->text(), shown);
        QVERIFY(!w.dlg.Text3->isVisible());
        QVERIFY(w.dlg.Command2[0]->isEnabled());
    } else {
        QCOMPARE(boxOf(f.dlg.boxes.last()), box(g_strAppTitle, QStringLiteral("不正な入力値です。入力値を確認してください。\r\n") + range, vbOKOnly, vbExclamation));
        QVERIFY(w.dlg.Text3->isVisible()); // the editor stays with the focus
        QVERIFY(!w.dlg.Command2[0]->isEnabled());
        QCOMPARE(w.dlg.Text2[field]->text(), before);
    }
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogFiler::editorKeys()
{
    AppFixture f;
    f.startSeeded();
    save(settings(0, QStringLiteral("00:00:10"), 100));
    SettingsWindow w;
    // Letters and signs do nothing; digits go in up to the field's length.
    w.edit(fldCount, QStringLiteral("a+1-2b34567"), false);
    QCOMPARE(w.dlg.Text3->text(), QStringLiteral("12345"));
    QTest::keyClick(w.dlg.Text3, Qt::Key_Backspace);
    QCOMPARE(w.dlg.Text3->text(), QStringLiteral("1234"));
    // Esc drops the edit; the box keeps its text.
    QTest::keyClick(w.dlg.Text3, Qt::Key_Escape);
    QVERIFY(!w.dlg.Text3->isVisible());
    QCOMPARE(w.dlg.Text2[fldCount]->text(), QStringLiteral("100"));
    // A typed digit on the display box opens the editor with it.
    w.dlg.Text2[fldIntervalSecond]->setFocus();
    QTest::keyClick(w.dlg.Text2[fldIntervalSecond], Qt::Key_3);
    QVERIFY(w.dlg.Text3->isVisible());
    QCOMPARE(w.dlg.Text3->text(), QStringLiteral("3"));
    QTest::keyClick(w.dlg.Text3, Qt::Key_Return);
    QCOMPARE(w.dlg.Text2[fldIntervalSecond]->text(), QStringLiteral("03"));
    // An empty editor's Enter fails silently.
    w.edit(fldIntervalMinute, QString(), false);
    QTest::keyClick(w.dlg.Text3, Qt::Key_Backspace);
    QTest::keyClick(w.dlg.Text3, Qt::Key_Return);
    QVERIFY(w.dlg.Text3->isVisible());
    QCOMPARE(f.dlg.boxes.size(), 0);
}

void TestLogFiler::datesOnlyFromTheCalendar()
{
    AppFixture f;
    f.startSeeded();
    save(settings(1, QStringLiteral("00:00:10"), 100, QStringLiteral("2026/03/01 08:00:00")));
    SettingsWindow w;
    QTest::mouseClick(w.dlg.Text2[fldEndYear], Qt::LeftButton);
    QVERIFY(!w.dlg.Text3->isVisible());
    QVERIFY(w.dlg.MonthView1->hasFocus() || !w.dlg.isActiveWindow());
    emit w.dlg.MonthView1->clicked(QDate(2026, 4, 7));
    QCOMPARE(w.dlg.Text2[fldEndYear]->text(), QStringLiteral("2026"));
    QCOMPARE(w.dlg.Text2[fldEndMonth]->text(), QStringLiteral("04"));
    QCOMPARE(w.dlg.Text2[fldEndDay]->text(), QStringLiteral("07"));
    // The calendar offers no year the field refuses; the field check itself refuses 2007.
    QCOMPARE(w.dlg.MonthView1->minimumDate(), QDate(2008, 1, 1));
    f.dlg.answers << vbOK;
    QVERIFY(!w.dlg.CheckFieldValue(fldEndYear, QStringLiteral("2007")));
    QCOMPARE(f.dlg.boxes.last().text, QStringLiteral("不正な入力値です。入力値を確認してください。\r\n2008 =< 値　=< 2999"));
}

void TestLogFiler::endModeControls()
{
    AppFixture f;
    f.startSeeded();
    save(settings(0, QStringLiteral("00:00:10"), 100));
    SettingsWindow w;
    QVERIFY(w.dlg.Text2[fldCount]->isEnabled());
    QVERIFY(!w.dlg.Text2[fldEndHour]->isEnabled());
    QVERIFY(!w.dlg.MonthView1->isVisible());
    w.dlg.Option1[1]->click();
    QVERIFY(!w.dlg.Text2[fldCount]->isEnabled());
    QVERIFY(w.dlg.Text2[fldEndHour]->isEnabled());
    QVERIFY(w.dlg.MonthView1->isVisible());
    w.dlg.SetEndModeControls(7); // any other value changes nothing
    QVERIFY(w.dlg.MonthView1->isVisible());
}

void TestLogFiler::fileDialogAndAppendQuestion()
{
    AppFixture f;
    f.startSeeded();
    QDir().mkpath(logFolder());
    AppFixture::writeFile(logPath(), "old\r\n");
    save(settings(0, QStringLiteral("00:00:10"), 100));
    SettingsWindow w;
    w.dlg.Text1[0]->clear();
    w.dlg.Text1[1]->clear();
    const QString fresh = logFolder() + QStringLiteral("new.csv");
    // An existing file: Cancel asks again, then a new file is taken.
    f.dlg.fileAnswers << logPath() << fresh;
    f.dlg.answers << vbCancel;
    w.dlg.Command1->click();
    QCOMPARE(f.dlg.fileRequests.size(), 2);
    const FileDialogRequest &req = f.dlg.fileRequests[0];
    QCOMPARE(req.title, QStringLiteral("書込みファイルを指定"));
    QCOMPARE(req.filter, QStringLiteral("ﾕｰｻﾞｰﾌｧｲﾙ(*.csv)|*.csv"));
    QCOMPARE(req.fileName, MakeLogFileName());
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("ﾌｧｲﾙの指定"), QStringLiteral("指定されたファイルは既に存在します。追記しますか？\r\n\r\n[OK]=追記、[ｷｬﾝｾﾙ]=再指定"), vbOKCancel, vbExclamation));
    QCOMPARE(w.dlg.Text1[0]->text(), logFolder());
    QCOMPARE(w.dlg.Text1[1]->text(), QStringLiteral("new.csv"));
    // OK keeps an existing file for appending; the dialog starts where the boxes point.
    f.dlg.fileAnswers << logPath();
    f.dlg.answers << vbOK;
    w.dlg.Command1->click();
    QCOMPARE(f.dlg.fileRequests[2].fileName, QStringLiteral("new.csv"));
    QCOMPARE(w.dlg.Text1[1]->text(), QStringLiteral("site.csv"));
    // Cancelled: both boxes as they were.
    f.dlg.fileAnswers << std::optional<QString>();
    w.dlg.Command1->click();
    QCOMPARE(w.dlg.Text1[1]->text(), QStringLiteral("site.csv"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogFiler::okSavesAndAnImpossibleEndTimeIsRefused()
{
    AppFixture f;
    f.startSeeded();
    save(settings(1, QStringLiteral("00:01:30"), 250, QStringLiteral("2026/04/30 08:00:00")));
    const QByteArray before = AppFixture::readFile(AppFixture::dataFile(QStringLiteral("lfst.ini")));
    SettingsWindow w;
    QCOMPARE(w.dlg.Text2[fldIntervalMinute]->text(), QStringLiteral("01"));
    // 31 April and 24 o'clock pass their fields, not OK; nothing is saved.
    for (const auto &[field, value] : {std::pair{int(fldEndHour), QStringLiteral("24")}}) {
        w.edit(field, value);
        f.dlg.answers << vbOK;
        w.dlg.Command2[0]->click();
        QCOMPARE(boxOf(f.dlg.boxes.last()), box(g_strAppTitle, QStringLiteral("不正な入力値です。入力値を確認してください。\r\n終了時刻 2026/04/30 24:00:00 は存在しない日時です。"), vbOKOnly, vbExclamation));
        QVERIFY(w.dlg.isVisible());
    }
    w.edit(fldEndHour, QStringLiteral("7"));
    w.dlg.Text2[fldEndDay]->setText(QStringLiteral("31"));
    f.dlg.answers << vbOK;
    w.dlg.Command2[0]->click();
    QVERIFY(f.dlg.boxes.last().text.contains(QStringLiteral("2026/04/31 07:00:00")));
    QCOMPARE(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("lfst.ini"))), before);
    emit w.dlg.MonthView1->clicked(QDate(2026, 4, 29));
    w.dlg.Option1[0]->click();
    w.dlg.Check1->setChecked(true);
    // A folder typed without its separator is stored with it: the log goes into the folder,
    // not beside it as "logssite.csv".
    QVERIFY(logFolder().endsWith(QLatin1Char('/')));
    w.dlg.Text1[0]->setText(logFolder().chopped(1));
    w.dlg.Command2[0]->click();
    QVERIFY(!w.dlg.isVisible());
    QCOMPARE(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("lfst.ini"))),
             QByteArray("\"00:01:30\"\r\n250\r\n\"2026/04/29 07:00:00\"\r\n0\r\n1\r\n\"") + logFolder().toUtf8() + "\"\r\n\"site.csv\"\r\n");
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogFiler::saveFailureKeepsTheWindow()
{
    AppFixture f;
    f.startSeeded();
    save(settings(0, QStringLiteral("00:00:10"), 100));
    const QString lfst = AppFixture::dataFile(QStringLiteral("lfst.ini"));
    const QByteArray before = AppFixture::readFile(lfst);
    SettingsWindow w;
    w.edit(fldCount, QStringLiteral("77"));
    // The data folder goes away: the save fails, the window keeps what was typed.
    g_subDataPathSet(AppFixture::dataFile(QStringLiteral("gone/")));
    f.dlg.answers << vbOK;
    w.dlg.Command2[0]->click();
    QCOMPARE(boxOf(f.dlg.boxes.last()), box(QStringLiteral("設定の保存"), QStringLiteral("Path not found :Err.No = 76"), vbOKOnly, vbCritical));
    QVERIFY(w.dlg.isVisible());
    QCOMPARE(w.dlg.Text2[fldCount]->text(), QStringLiteral("77"));
    QCOMPARE(AppFixture::readFile(lfst), before);
}

void TestLogFiler::fromTheLogFilerWindow()
{
    // "設定" opens the window modally; on OK the information box, and the buttons come back.
    AppFixture f;
    f.startSeeded();
    save(settings(0, QStringLiteral("00:00:10"), 100));
    g_subMenuCommand(13);
    QVERIFY(g_frmLogFiler1);
    QCOMPARE(shownIcon(g_frmMdi1->button.value(QStringLiteral("logfiler"))), 14);
    g_subMenuCommand(50);
    QVERIFY(!g_frmMdi1->menu_LogFiler1->isEnabled());
    bool startDisabledMeanwhile = false;
    f.dlg.modalHandler = [&](QDialog *d) {
        auto *w = qobject_cast<frmSetLogFiler1 *>(d);
        QVERIFY(w);
        QCOMPARE(g_intFormOpen[idSetLogFiler], qint16(-1));
        startDisabledMeanwhile = !g_frmLogFiler1->Command1[0]->isEnabled() && !g_frmLogFiler1->Command1[3]->isEnabled();
        w->Command2[0]->click();
    };
    f.dlg.answers << vbOK;
    g_frmLogFiler1->Command1[3]->click();
    QVERIFY(startDisabledMeanwhile);
    QCOMPARE(boxOf(f.dlg.boxes.last()), box(g_strAppTitle, QStringLiteral("設定は保存されました。次のﾛｸﾞ収集開始時に設定が反映されます。"), vbOKOnly, vbInformation));
    QVERIFY(g_frmLogFiler1->Command1[0]->isEnabled());
    QVERIFY(g_frmLogFiler1->Command1[3]->isEnabled());
    QCOMPARE(g_intFormOpen[idSetLogFiler], qint16(0));
    // Closing the window brings the toolbar button back.
    g_subCloseChild(g_frmLogFiler1);
    QVERIFY(!g_frmLogFiler1);
    QCOMPARE(shownIcon(g_frmMdi1->button.value(QStringLiteral("logfiler"))), 11);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

// ---------------------------------------------------------------- under a user's hands

void TestLogFiler::settingsFileHoldsOnlyItsOwnValues()
{
    AppFixture f;
    f.startSeeded();
    const QString lfst = AppFixture::dataFile(QStringLiteral("lfst.ini"));
    // A number out of its range (end mode 65538 would wrap to 2: "個数" shown, the run by
    // time): the read's error box, and the log filer's defaults.
    for (const char *numbers : {"70\r\n\"-\"\r\n65538\r\n0", "70\r\n\"-\"\r\n2\r\n0", "65536\r\n\"-\"\r\n1\r\n0", "70\r\n\"-\"\r\n0\r\n-1"}) {
        AppFixture::writeFile(lfst, QByteArray("\"00:00:05\"\r\n") + numbers + "\r\n\"/srv/\"\r\n\"site.csv\"\r\n");
        f.dlg.boxes.clear();
        f.dlg.answers << vbOK;
        g_subMenuCommand(13);
        QCOMPARE(lastBox(f.dlg), box(QStringLiteral("LoadLogFileSetting"), QStringLiteral("Overflow :Err.No = 6"), vbOKOnly, vbExclamation));
        QCOMPARE(g_frmLogFiler1->Label3[2]->text() + g_frmLogFiler1->Label3[4]->text(), QStringLiteral("00:00:10100 個"));
        g_subCloseChild(g_frmLogFiler1);
    }
    // A name with a character Shift_JIS lacks or holds only as another (the wave dash), or
    // a double quote: OK names it and saves nothing.
    save(settings(0, QStringLiteral("00:00:10"), 100));
    const QByteArray before = AppFixture::readFile(lfst);
    const std::tuple<int, QString, QString> names[] = {
        {0, QStringLiteral("/srv/Données/"), QStringLiteral("保存ﾌｫﾙﾀﾞに使用できない文字「é」(U+00E9)")},
        {0, QStringLiteral("/srv/a\"b/"), QStringLiteral("保存ﾌｫﾙﾀﾞに使用できない文字「\"」(U+0022)")},
        {1, QStringLiteral("波〜.csv"), QStringLiteral("保存ﾌｧｲﾙ名に使用できない文字「〜」(U+301C)")},
        {1, QStringLiteral("qlv😀.csv"), QStringLiteral("保存ﾌｧｲﾙ名に使用できない文字「😀」(U+1F600)")}};
    for (const auto &[field, name, shown] : names) {
        SettingsWindow w;
        w.dlg.Text1[field]->setText(name);
        f.dlg.boxes.clear();
        f.dlg.answers << vbOK;
        w.dlg.Command2[0]->click();
        QCOMPARE(lastBox(f.dlg), box(QStringLiteral("設定の保存"), shown + QStringLiteral("が含まれています。"), vbOKOnly, vbExclamation));
        QVERIFY(w.dlg.isVisible());
    }
    QCOMPARE(AppFixture::readFile(lfst), before);
    f.stopApp();
    // An end time written without its leading zeros is read; one that is no time is said
    // to be unreadable, not past.
    save(settings(1, QStringLiteral("00:00:01"), 100, QStringLiteral("2026/4/30 8:00:00")));
    startMonitoring(f, QDateTime(QDate(2026, 4, 30), QTime(7, 59, 57)));
    g_frmLogFiler1->Command1[0]->click();
    Sleep(4000);
    QVERIFY(logBytes().endsWith(block("/** Logging END T **/", "2026/04/30, 08:00:00")));
    save(settings(1, QStringLiteral("00:00:01"), 100, QStringLiteral("2026/4/31 8:00:00")));
    const QByteArray kept = logBytes();
    f.dlg.answers << vbOK;
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(lastBox(f.dlg), box(QStringLiteral("開始"), QStringLiteral("設定された終了時刻「2026/4/31 8:00:00」は日時として読み取れません。\r\n設定を確認してください。"), vbOKOnly, vbExclamation));
    QCOMPARE(logBytes(), kept);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogFiler::overlayEditorStaysUnderItsRangeBox()
{
    // A real range box in a real modal window takes the focus, as on a desktop.
    AppFixture f;
    f.startSeeded();
    save(settings(0, QStringLiteral("00:00:10"), 100));
    f.dlg.realBoxes = f.dlg.realModal = true;
    g_subMenuCommand(13);
    QString seen;
    f.dlg.modalHandler = [&](QDialog *d) {
        auto *w = qobject_cast<frmSetLogFiler1 *>(d);
        QTRY_VERIFY(w->isActiveWindow());
        QTest::mouseClick(w->Text2[fldCount], Qt::LeftButton);
        QTest::keyClick(w->Text3, Qt::Key_0);
        QTest::keyClick(w->Text3, Qt::Key_Return); // the range box comes and is answered
        // The editor is still open and has the focus again with its window; OK is still off.
        seen = QStringLiteral("%1 %2 %3 %4").arg(w->Text3->isVisible()).arg(QTest::qWaitFor([w] { return w->Text3->hasFocus(); }, 2000))
                   .arg(w->Command2[0]->isEnabled()).arg(w->Text2[fldCount]->text());
        QTest::keyClicks(w->Text3, QStringLiteral("250"));
        QTest::keyClick(w->Text3, Qt::Key_Return);
        w->Command2[0]->click();
    };
    f.dlg.answers << vbOK << vbOK; // the range box, then "saved"
    g_frmLogFiler1->Command1[3]->click();
    QCOMPARE(seen, QStringLiteral("1 1 0 100"));
    QCOMPARE(f.dlg.boxes[0].text, QStringLiteral("不正な入力値です。入力値を確認してください。\r\n1 =< 値　=< 65535"));
    QVERIFY(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("lfst.ini"))).contains("\r\n250\r\n"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

// ---------------------------------------------------------------- run

void TestLogFiler::startRefused()
{
    AppFixture f;
    f.startSeeded();
    save(settings(0, QStringLiteral("00:00:10"), 100));
    g_subMenuCommand(13);
    // The monitor is not running.
    f.dlg.answers << vbOK;
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(boxOf(f.dlg.boxes.last()), box(QStringLiteral("ﾛｸﾞﾌｧｲﾗの開始"), QStringLiteral("入力ﾓﾆﾀｰ機能が停止している時はﾛｸﾞﾌｧｲﾗは開始できません。"), vbOKOnly, vbExclamation));
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QVERIFY(!QFile::exists(logPath()));
    f.stopApp();

    AppFixture g;
    g.seedDataFolder();
    save(settings(1, QStringLiteral("00:00:10"), 100, QStringLiteral("2006/10/10 08:59:59")));
    startMonitoring(g);
    g.dlg.answers << vbOK;
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(boxOf(g.dlg.boxes.last()), box(QStringLiteral("開始"), QStringLiteral("設定された現在時刻が終了時刻を超えているか、同じです。\r\n設定を確認してください。"), vbOKOnly, vbExclamation));
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QVERIFY(!QFile::exists(logPath()));
    // Without its settings file it does not start either.
    QFile::remove(AppFixture::dataFile(QStringLiteral("lfst.ini")));
    g.dlg.answers << vbOK;
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(g.dlg.boxes.last().caption, QStringLiteral("LoadLogFileSetting"));
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QVERIFY(g_frmLogFiler1->Command1[0]->isEnabled());
    QVERIFY2(g.dlg.unexpected == 0, g.unexpectedText());
}

void TestLogFiler::theExampleRunByteForByte()
{
    for (bool converted : {true, false}) {
        AppFixture f;
        f.seedDataFolder();
        save(settings(0, QStringLiteral("00:00:10"), 2));
        f.sim.model().setLevel(0x1A3);
        f.sim.model().setCell(0x2B, 0x05); // outputs 1 and 3
        startMonitoring(f);
        g_frmLogFiler1->Check1[0]->setChecked(converted);
        g_frmLogFiler1->Check1[1]->setChecked(converted);
        g_frmLogFiler1->Command1[0]->click();
        QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
        QCOMPARE(flgLogFilerOnWork, qint16(-1));
        QCOMPARE(g_frmLogFiler1->Label5->text(), QStringLiteral("Log ﾃﾞｰﾀ収集中"));
        QCOMPARE(g_frmLogFiler1->Label5->palette().color(QPalette::Window), QColor(255, 0, 0));
        Sleep(12000);
        QCOMPARE(flgLogFilerOnWork, qint16(0));
        const QByteArray v = converted ? "02.05,V, 10100000" : "01A3, 05";
        QCOMPARE(logBytes(), block("/** Logging Start **/", "2006/10/10, 09:00:00") +
                                 "000001, 2006/10/10, 09:00:00, " + v + "\r\n" +
                                 "000002, 2006/10/10, 09:00:10, " + v + "\r\n" +
                                 block("/** Logging END C **/", "2006/10/10, 09:00:11"));
        QCOMPARE(g_frmLogFiler1->Label5->text(), QStringLiteral("停止中"));
        QCOMPARE(g_frmLogFiler1->Label3[5]->text(), QStringLiteral("2 個"));
        QVERIFY(g_frmLogFiler1->Label1->text().contains(QStringLiteral("000002, 2006/10/10, 09:00:10, ") + QString::fromLatin1(v)));
        QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    }
}

void TestLogFiler::countOneEndsAtTheNextCheck()
{
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:10"), 1));
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(logLines().size(), 3); // the start block and sample 000001, at once
    Sleep(1100);
    const QByteArrayList lines = logLines();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[2].left(8), QByteArray("000001, "));
    QCOMPARE(lines[3], QByteArray("/** Logging END C **/\r"));
    QCOMPARE(lines[4], QByteArray("Time :,2006/10/10, 09:00:01"));
}

void TestLogFiler::stopEndsWithinASecond()
{
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:01"), 1000));
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    Sleep(3500);
    g_frmLogFiler1->Command1[1]->click();
    QCOMPARE(g_frmLogFiler1->Label5->text(), QStringLiteral("停止中")); // the buttons at once
    QCOMPARE(flgLogFilerOnWork, qint16(-1));                              // the log at its next check
    Sleep(1000);
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    const QByteArrayList lines = logLines();
    QCOMPARE(lines[lines.size() - 2], QByteArray("/** Logging QUIT **/\r"));
    QCOMPARE(lines.last(), QByteArray("Time :,2006/10/10, 09:00:04"));
    QCOMPARE(lines.size(), 2 + 4 + 2); // samples at 0, 1, 2 and 3 s
}

void TestLogFiler::twoRunsInOneFile()
{
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:01"), 2));
    startMonitoring(f);
    QDir().mkpath(logFolder());
    AppFixture::writeFile(logPath(), "what was there\r\n");
    QDateTime secondStart;
    for (int run = 0; run < 2; ++run) {
        secondStart = Now();
        g_frmLogFiler1->Command1[0]->click();
        Sleep(3500); // a due sample may wait a second for a fresh reading
        QCOMPARE(flgLogFilerOnWork, qint16(0));
    }
    const QByteArrayList lines = logLines();
    QCOMPARE(lines.size(), 1 + 2 * 6);
    QCOMPARE(lines[0], QByteArray("what was there\r"));
    QCOMPARE(lines[1], QByteArray("/** Logging Start **/\r"));
    QCOMPARE(lines[6], QByteArray("Time :,2006/10/10, 09:00:02\r"));
    QCOMPARE(lines[7], QByteArray("/** Logging Start **/\r"));
    QCOMPARE(lines[8], "Time :," + LogTimeText(secondStart).toLatin1() + "\r");
    QCOMPARE(lines[9].left(8), QByteArray("000001, ")); // counted afresh
}

void TestLogFiler::scheduleDoesNotDrift()
{
    // The monitor polls every 1.5 s: a due sample waits for a fresh reading and is written
    // late, yet every line carries its scheduled time, 10 s after the one before.
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:10"), 6));
    g_subSamplingTimeSet(1500);
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    Sleep(60000);
    const QByteArrayList lines = logLines();
    QCOMPARE(lines.size(), 2 + 6 + 2);
    for (int n = 1; n <= 6; ++n) {
        const QByteArray time = QDateTime(QDate(2006, 10, 10), QTime(9, 0, 0)).addSecs(10 * (n - 1)).toString(QStringLiteral("yyyy/MM/dd, HH:mm:ss")).toLatin1();
        QCOMPARE(lines[1 + n].left(28), QByteArray::number(n).rightJustified(6, '0') + ", " + time);
    }
    QCOMPARE(CalcNextTime(QStringLiteral("01:02:03"), QDateTime(QDate(2006, 12, 31), QTime(23, 0, 0))),
             QDateTime(QDate(2007, 1, 1), QTime(0, 2, 3)));
    QCOMPARE(CalcNextTime(QStringLiteral("xx:00:10"), QDateTime(QDate(2006, 1, 1), QTime(1, 0, 0))),
             QDateTime(QDate(2006, 1, 1), QTime(1, 0, 0)));
}

void TestLogFiler::endByTime()
{
    AppFixture f;
    f.seedDataFolder();
    save(settings(1, QStringLiteral("00:00:02"), 1, QStringLiteral("2006/10/10 09:00:05")));
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(g_frmLogFiler1->Label3[4]->text(), QStringLiteral("2006/10/10 09:00:05"));
    Sleep(8000);
    const QByteArrayList lines = logLines();
    QCOMPARE(lines.size(), 2 + 3 + 2); // 09:00:00, :02, :04, then the end at :05
    QCOMPARE(lines[5], QByteArray("/** Logging END T **/\r"));
    QCOMPARE(lines[6], QByteArray("Time :,2006/10/10, 09:00:05"));
}

void TestLogFiler::pauseWritesNothingAndResumesOnTheGrid()
{
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:10"), 100));
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    Sleep(12000); // samples at :00 and :10
    g_frmLogFiler1->Command1[2]->click();
    QCOMPARE(flgLogFilerOnWork, qint16(2));
    QCOMPARE(g_frmLogFiler1->Label5->text(), QStringLiteral("中断"));
    QCOMPARE(g_frmLogFiler1->Command1[0]->text(), QStringLiteral("再開"));
    Sleep(35000); // 09:00:47: the samples of :20, :30 and :40 are not written
    QCOMPARE(logLines().size(), 2 + 2);
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(g_frmLogFiler1->Label3[3]->text(), QStringLiteral("2006/10/10 09:00:50"));
    Sleep(15000);
    const QByteArrayList lines = logLines();
    QCOMPARE(lines.size(), 2 + 4);
    QCOMPARE(lines[4].left(28), QByteArray("000003, 2006/10/10, 09:00:50"));
    QCOMPARE(lines[5].left(28), QByteArray("000004, 2006/10/10, 09:01:00"));
    // The end conditions hold while paused: "停止" ends it with "QUIT".
    g_frmLogFiler1->Command1[2]->click();
    g_frmLogFiler1->Command1[1]->click();
    Sleep(1000);
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QCOMPARE(logLines()[6], QByteArray("/** Logging QUIT **/\r"));
}

void TestLogFiler::monitorStoppedOrUnpluggedEndsWithQuit()
{
    for (bool unplugged : {false, true}) {
        AppFixture f;
        f.seedDataFolder();
        save(settings(0, QStringLiteral("00:00:01"), 1000));
        startMonitoring(f);
        g_frmLogFiler1->Command1[0]->click();
        Sleep(3200);
        const QString quit = QStringLiteral("入力ﾓﾆﾀｰ機能が停止しました。入力ﾓﾆﾀｰ機能が停止している時はﾛｸﾞﾌｧｲﾗは使用できません。\r\nﾛｸﾞﾌｧｲﾗを終了します。");
        if (unplugged) {
            f.sim.hangUp();
            f.dlg.answers << vbCancel << vbOK << vbOK; // the send's box, the monitor's, the log filer's
        } else {
            // The monitor's stop is refused while the log filer logs; it ends through a
            // reply time-out instead.
            f.dlg.answers << vbOK;
            g_frmDirect1->Command2[1]->click();
            QCOMPARE(f.dlg.boxes.last().text, QStringLiteral("ﾛｸﾞﾌｧｲﾗ動作中は入力ﾓﾆﾀｰを停止できません。"));
            QCOMPARE(g_intMonitorOn, qint16(-1));
            f.sim.setFault(Fault::Silence);
            f.dlg.answers << vbOK << vbOK; // the reply time-out, the log filer's
        }
        Sleep(25000);
        QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
        QCOMPARE(boxOf(f.dlg.boxes.last()), box(g_strAppTitle, quit, vbOKOnly, vbExclamation));
        QCOMPARE(flgLogFilerOnWork, qint16(0));
        const QByteArrayList lines = logLines();
        QCOMPARE(lines[lines.size() - 2], QByteArray("/** Logging Quit **/\r"));
        QVERIFY(lines.size() >= 2 + 4 + 2); // every sample before it
        QCOMPARE(lines[2].left(8), QByteArray("000001, "));
    }
}

void TestLogFiler::appendFailures()
{
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:01"), 1000));
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    Sleep(1500); // samples 1 and 2
    const QByteArray kept = logBytes();
    const QString away = logFolder().chopped(1) + QStringLiteral("-away");
    // The folder vanishes; Retry succeeds once it is back.
    QVERIFY(QDir().rename(logFolder(), away));
    f.dlg.onBox = [&](const ScriptedDialogs::Box &) { QDir().rename(away, logFolder()); };
    f.dlg.answers << vbRetry;
    Sleep(1000); // sample 3
    f.dlg.onBox = nullptr;
    QCOMPARE(boxOf(f.dlg.boxes.last()), box(QStringLiteral("AppendLogFilerData"), QStringLiteral("Path not found: Err.No=76\r\n") + logPath(), vbAbortRetryIgnore, vbCritical));
    QVERIFY(logBytes().startsWith(kept));
    QVERIFY(logLines().last().startsWith("000003, "));
    // Ignore: counted and shown, not written.
    QVERIFY(QDir().rename(logFolder(), away));
    f.dlg.answers << vbIgnore;
    Sleep(1000); // sample 4
    QVERIFY(QDir().rename(away, logFolder()));
    QCOMPARE(g_frmLogFiler1->Label3[5]->text(), QStringLiteral("4 個"));
    QVERIFY(g_frmLogFiler1->Label1->text().contains(QStringLiteral("000004, ")));
    Sleep(1000); // sample 5 is written
    QVERIFY(logLines().last().startsWith("000005, "));
    // The disk fills (a file size limit): the part that went out is cut off again.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    const QByteArray before = logBytes();
    rlimit small = old;
    small.rlim_cur = rlim_t(before.size() + 20);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    f.dlg.onBox = [&](const ScriptedDialogs::Box &) {
        QCOMPARE(logBytes(), before); // no half line left behind
        setrlimit(RLIMIT_FSIZE, &old);
    };
    f.dlg.answers << vbRetry;
    Sleep(1000); // sample 6: fails, then Retry writes it whole
    f.dlg.onBox = nullptr;
    setrlimit(RLIMIT_FSIZE, &old);
    QVERIFY2(f.dlg.boxes.last().text.startsWith(QStringLiteral("Disk full: Err.No=61")), qPrintable(f.dlg.boxes.last().text));
    QVERIFY(logBytes().startsWith(before));
    QVERIFY(logLines().last().startsWith("000006, "));
    // Abort: the run stops, with no end marker.
    QVERIFY(QDir().rename(logFolder(), away));
    f.dlg.answers << vbAbort;
    Sleep(1000);
    QVERIFY(QDir().rename(away, logFolder()));
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QCOMPARE(g_strLogFilerStatus, QStringLiteral("10"));
    Sleep(2000);
    QVERIFY(logLines().last().startsWith("000006, "));
    QVERIFY(!logBytes().contains("/** Logging"  " Q") && !logBytes().contains("END"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogFiler::abortOnTheStartBlock()
{
    AppFixture f;
    f.seedDataFolder();
    LogFileSetting s = settings(0, QStringLiteral("00:00:01"), 10);
    save(s);
    startMonitoring(f);
    QVERIFY(QDir(logFolder()).removeRecursively());
    f.dlg.answers << vbAbort;
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QCOMPARE(g_frmLogFiler1->Label5->text(), QStringLiteral("停止中"));
    QDir().mkpath(logFolder());
    Sleep(3000);
    QVERIFY(!QFile::exists(logPath()));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogFiler::windowRefusesToCloseWhileLogging()
{
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:01"), 100));
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    g_subCloseChild(g_frmLogFiler1);
    QVERIFY(g_frmLogFiler1);
    g_frmLogFiler1->Command1[2]->click(); // paused
    g_subCloseChild(g_frmLogFiler1);
    QVERIFY(g_frmLogFiler1);
    g_frmLogFiler1->Command1[1]->click();
    Sleep(1100);
    g_subCloseChild(g_frmLogFiler1);
    QVERIFY(!g_frmLogFiler1);
    QCOMPARE(f.dlg.boxes.size(), 0);
}

void TestLogFiler::aDayOfLogging()
{
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:10"), 8640));
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    g_frmMdi1->hide(); // the logic, not the painting, for a day
    QElapsedTimer real;
    real.start();
    Sleep(qEnvironmentVariableIntValue("QELVO_DAY_MS") > 0 ? qEnvironmentVariableIntValue("QELVO_DAY_MS") : 86400 * 1000 + 2000);
    qInfo("a day of logging: %lld ms real time", qint64(real.elapsed()));
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    const QByteArrayList lines = logLines();
    QCOMPARE(lines.size(), 2 + 8640 + 2);
    const QDateTime start(QDate(2006, 10, 10), QTime(9, 0, 0));
    for (int n = 1; n <= 8640; ++n) {
        const QByteArray expect = QByteArray::number(n).rightJustified(6, '0') + ", " +
                                  start.addSecs(10LL * (n - 1)).toString(QStringLiteral("yyyy/MM/dd, HH:mm:ss")).toLatin1();
        if (!lines[1 + n].startsWith(expect))
            QFAIL(qPrintable(QStringLiteral("line %1: %2").arg(n).arg(QString::fromLatin1(lines[1 + n]))));
    }
    QCOMPARE(lines[8642], QByteArray("/** Logging END C **/\r"));
    QCOMPARE(lines[8643], QByteArray("Time :,2006/10/11, 08:59:51")); // the check after sample 8640
}

void TestLogFiler::countMaxOver()
{
    AppFixture f;
    f.seedDataFolder();
    save(settings(1, QStringLiteral("00:00:01"), 1, QStringLiteral("2006/10/12 09:00:00")));
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    g_frmMdi1->hide(); // the logic, not the painting, for 18 hours
    QElapsedTimer real;
    real.start();
    Sleep(65536 * 1000);
    qInfo("65,535 samples: %lld ms real time", qint64(real.elapsed()));
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    const QByteArrayList lines = logLines();
    QCOMPARE(lines.size(), 2 + 65535 + 2);
    QVERIFY(lines[65536].startsWith("065535, "));
    QCOMPARE(lines[65537], QByteArray("/** Logging COUNTMAX OVER **/\r"));
}

// ---------------------------------------------------------------- quick hands, moved clocks

void TestLogFiler::quickButtonPairs()
{
    // Every pair of the four buttons within one second, from logging and from paused: the
    // file holds complete runs, a stop is never lost, the window shows the log's state.
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:01"), 1000));
    startMonitoring(f);
    f.dlg.modalHandler = [](QDialog *d) { qobject_cast<frmSetLogFiler1 *>(d)->Command2[1]->click(); };
    QPushButton *const *buttons = g_frmLogFiler1->Command1;
    for (int pair = 0; pair < 2 * 16; ++pair) {
        const int first = pair / 4 % 4, second = pair % 4;
        const QString what = QStringLiteral("%1 then %2 %3").arg(buttons[first]->text(), buttons[second]->text()).arg(pair < 16 ? "logging" : "paused");
        buttons[0]->click();
        Sleep(1500);
        if (pair >= 16)
            buttons[2]->click();
        const qsizetype quits = logBytes().count("QUIT");
        Sleep(1150 - Now().time().msec()); // just after a check: both before the next one
        const bool stopped = first == 1 || (second == 1 && buttons[1]->isEnabled());
        buttons[first]->click();
        Sleep(300);
        buttons[second]->click();
        Sleep(1300);
        checkWindowMatches();
        QVERIFY2(!QTest::currentTestFailed() && (!stopped || logBytes().count("QUIT") > quits), qPrintable(what));
        if (flgLogFilerOnWork != 0) {
            buttons[1]->click();
            Sleep(1100);
        }
        QVERIFY2(flgLogFilerOnWork == 0 && completeRuns(logBytes()), qPrintable(what));
    }
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogFiler::aDayWithTheClockMoved()
{
    // Every ten seconds from 00:00:00 until 2006/10/11 00:00:00 by the wall clock, which is
    // set back an hour just after 06:00:00 and ten minutes forward just after 18:00:00;
    // between 12:00:05 and 12:00:35 no reading comes; "停止" and closing at 23:59:55.5.
    AppFixture f;
    f.seedDataFolder();
    save(settings(1, QStringLiteral("00:00:10"), 1, QStringLiteral("2006/10/11 00:00:00")));
    const QDate day(2006, 10, 10);
    g_subSamplingTimeSet(2000); // the slowest poll: a due sample may wait two seconds for its reading
    startMonitoring(f, QDateTime(day, QTime(0, 0, 0)));
    g_frmLogFiler1->Command1[0]->click();
    g_frmMdi1->hide(); // the logic, not the painting
    QElapsedTimer real;
    real.start();
    auto sleepUntil = [day](QTime t) { Sleep(int(Now().msecsTo(QDateTime(day, t)))); };
    sleepUntil(QTime(6, 0, 0, 500));
    moveClock(f, -3600);
    sleepUntil(QTime(12, 0, 5));
    g_subCommBusySet(1); // another exchange holds the port
    sleepUntil(QTime(12, 0, 35));
    g_subCommBusySet(0);
    sleepUntil(QTime(18, 0, 0, 500));
    moveClock(f, 600);
    sleepUntil(QTime(23, 59, 55, 500));
    g_frmLogFiler1->Command1[1]->click();
    g_subCloseChild(g_frmLogFiler1);
    qInfo("a day with the clock moved: %lld ms real time", qint64(real.elapsed()));
    QVERIFY(!g_frmLogFiler1);
    // By the rules: every sample on the grid at the wall-clock time it is taken; after a
    // move or the gap, the first time of the grid that is not past; no burst, no marker.
    QByteArrayList expect{"/** Logging Start **/\r", "Time :,2006/10/10, 00:00:00\r"};
    const std::pair<QTime, QTime> stretches[] = {{QTime(0, 0, 0), QTime(6, 0, 0)},    {QTime(5, 0, 10), QTime(12, 0, 10)},
                                                 {QTime(12, 0, 40), QTime(18, 0, 0)}, {QTime(18, 10, 10), QTime(23, 59, 50)}};
    QList<qsizetype> starts; // where each stretch begins
    for (const auto &[from, to] : stretches) {
        starts << expect.size();
        for (int sec = from.msecsSinceStartOfDay() / 1000; sec <= to.msecsSinceStartOfDay() / 1000; sec += 10)
            expect << QByteArray::number(expect.size() - 1).rightJustified(6, '0') + ", " + LogTimeText(QDateTime(day, QTime(0, 0).addSecs(sec))).toLatin1();
    }
    expect << "/** Logging QUIT **/\r" << "Time :,2006/10/10, 23:59:55";
    const QByteArrayList lines = logLines();
    for (int i = 0; i < lines.size(); ++i) // the first and last lines and those around each move
        if (i >= lines.size() - 3 || std::any_of(starts.cbegin(), starts.cend(), [i](qsizetype at) { return i >= at - 2 && i < at + 2; }))
            qInfo("%6d  %s", i + 1, lines[i].trimmed().constData());
    QCOMPARE(lines.size(), expect.size());
    for (int i = 0; i < lines.size(); ++i)
        QVERIFY2(lines[i].startsWith(expect[i]), qPrintable(QStringLiteral("line %1: %2").arg(i + 1).arg(QString::fromLatin1(lines[i]))));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestLogFiler::appendBoxOffersOnlyItsButtons()
{
    // The real box of a failed append: no close button, and Escape or a close request do
    // nothing; Retry, once the folder is back, writes the line.
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:01"), 1000));
    startMonitoring(f);
    g_frmLogFiler1->Command1[0]->click();
    Sleep(1500);
    const QString away = logFolder().chopped(1) + QStringLiteral("-away");
    QVERIFY(QDir().rename(logFolder(), away));
    QString seen;
    QTimer::singleShot(50, [&] {
        QPointer<QMessageBox> mb = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        const bool closeButton = mb->windowFlags() & Qt::WindowCloseButtonHint;
        QTest::keyClick(mb, Qt::Key_Escape);
        if (mb)
            mb->close();
        seen = QStringLiteral("close button %1, open %2").arg(closeButton).arg(mb && mb->isVisible());
        QDir().rename(away, logFolder());
        for (QAbstractButton *b : mb ? mb->buttons() : QList<QAbstractButton *>())
            if (b->property("vbResult").toInt() == vbRetry)
                b->click();
    });
    QtDialogs real; // the real boxes
    installDialogs(&real);
    Sleep(1000);
    installDialogs(&f.dlg);
    QCOMPARE(seen, QStringLiteral("close button 0, open 1"));
    QCOMPARE(flgLogFilerOnWork, qint16(-1));
    QVERIFY(logLines().last().startsWith("000003, "));
}

void TestLogFiler::accessibleValuesAndLines()
{
    // Through Qt's own accessibility interfaces: every value shown is read out, each value
    // label with its caption as description, the lines as a list of them as shown.
    AppFixture f;
    f.seedDataFolder();
    save(settings(0, QStringLiteral("00:00:10"), 100));
    startMonitoring(f);
    frmLogFiler1 *w = g_frmLogFiler1;
    w->Command1[0]->click();
    const std::pair<QLabel *, const char *> captions[] = {
        {w->Label3[0], "開始時刻"}, {w->Label3[1], "現在時刻"}, {w->Label3[2], "ｻﾝﾌﾟﾘﾝｸﾞ間隔"}, {w->Label3[3], "次回ｻﾝﾌﾟﾘﾝｸﾞ"},
        {w->Label3[4], "終了予定"}, {w->Label3[5], "現在個数"}, {w->Label4[0], "ﾌｫﾙﾀﾞ"},      {w->Label4[1], "ﾌｧｲﾙ名"},
        {w->Label5, "状態"}};
    for (int sample = 1; sample <= 2; ++sample) {
        QVERIFY2(unreadableValues(w).isEmpty(), qPrintable(unreadableValues(w).join(QLatin1Char('\n'))));
        for (const auto &[label, caption] : captions)
            QCOMPARE(accessibleNode(w, label)->text(QAccessible::Description), QString::fromUtf8(caption));
        QAccessibleInterface *list = accessibleNode(w, w->Label1);
        QCOMPARE(list->childCount(), 21);
        QCOMPARE(list->child(20)->text(QAccessible::Name).left(8), QStringLiteral("00000%1, ").arg(sample));
        Sleep(10500); // the next sample: the tree follows
    }
}

QTEST_MAIN(TestLogFiler)
#include "tst_logfiler.moc"
