// The trend window on the virtual clock: its menu entry, its record of "frmst.tmp" and its
// return at start-up; the live readings it follows and draws; the thresholds following the
// grid, the channel boxes and the colours; the view moved by keys, wheel, drag and spans;
// log files opened, dropped or refused; the picture saved; what assistive technology reads;
// a log of another full scale, a clock set back in a log, the view keys from every control,
// labels that never write over each other.
#include "support/AccessibleTree.h"
#include "support/AppFixture.h"
#include "support/PdfText.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "graph/frmColorSetting1.h"
#include "graph/frmTrend1.h"
#include "graph/modGraph1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/modMonitor1.h"
#include "monitor/modTrendHistory.h"
#include "platform/Clock.h"
#include "platform/QtDialogs.h"
#include "platform/Geometry.h"
#include "settings/modUserData.h"

#include <QDir>
#include <QMdiSubWindow>
#include <QMimeData>
#include <QtTest>

#include <cmath>

namespace {
const QColor kLevel(255, 255, 128), kRed(255, 0, 0);

TrendPlot *plot() { return g_frmTrend1->Plot; }

// A reading as the running poll stores it; the window hears it when the event loop runs.
void reading(const QString &value, const QString &outputs = QStringLiteral("00"))
{
    g_subMonitorPollingSet(true);
    StoreReading(value, outputs);
}

void openTrend(AppFixture &f)
{
    f.startSeeded();
    g_subMenuCommand(16);
    QVERIFY(g_frmTrend1);
    qobject_cast<QMdiSubWindow *>(g_frmTrend1->parentWidget())->resize(900, 600);
}

void setThresholds(int n, const QString &max, const QString &min)
{
    EditorTexts t = g_frmMain1->editorTexts();
    t.cell[1][n] = max;
    t.cell[2][n] = min;
    g_frmMain1->setEditorTexts(t);
    g_subMonitorWindowsRefresh();
}

// The plot's row of a value on the range low to high (0 to the type's full scale).
int rowIn(double v, double low, double high)
{
    const QRect r = plot()->plotRect();
    return int(std::lround(r.bottom() - (v - low) / (high - low) * r.height()));
}
int rowOf(double v) { return rowIn(v, 0, InputTypeOf(g_intInputType).fullScale); }

// The tool's input type, as a file or a read sets it.
void setType(int type)
{
    UserData[cellInputCode].setData(QByteArrayView(InputTypeOf(type).code));
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    g_subMonitorWindowsRefresh();
}

int countIn(const QImage &img, int row, const QColor &c)
{
    int n = 0;
    for (int x = 0; x < img.width(); ++x)
        n += img.pixelColor(x, row) == c;
    return n;
}

QString writeLog(const QString &name, int runs)
{
    const QString folder = AppFixture::dataFile(QStringLiteral("logs/"));
    QDir().mkpath(folder);
    const QString path = folder + name;
    QFile::remove(path);
    for (int run = 0; run < runs; ++run) {
        const QDateTime t0 = QDateTime(QDate(2026, 10, 10), QTime(9, 0)).addSecs(run * 7200);
        AppendLogFilerData(LogBlock(QStringLiteral("/** Logging Start **/"), t0), path);
        for (int i = 0; i < 60; ++i)
            AppendLogFilerData(DataLineOf(i + 1, t0.addSecs(i * 60), QStringLiteral("0200"), QStringLiteral("05"), true, true), path);
        AppendLogFilerData(LogBlock(QStringLiteral("/** Logging END C **/"), t0.addSecs(3600)), path);
    }
    return path;
}
} // namespace

class TestTrend : public QObject {
    Q_OBJECT
private slots:
    void menuRecordAndStartUp();
    void followsLiveReadings();
    void thresholdsFollowGridBoxesAndColours();
    void viewByKeysWheelDragAndSpans();
    void extremesAndPulsesShowInTheirColumns();
    void logFilesOpenedDroppedAndRefused();
    void pictureSaysWhatItShows_data();
    void pictureSaysWhatItShows();
    void readAndReachedByKeyboard();
    void spanWords_data();
    void spanWords();
    void logOfAnotherFullScale_data();
    void logOfAnotherFullScale();
    void clockStepBackInALog();
    void viewKeysFromAnywhere_data();
    void viewKeysFromAnywhere();
    void labelsNeverOverlap_data();
    void labelsNeverOverlap();
    void contrastOfColours();
    void labelsReadableInEveryColour();
};

void TestTrend::menuRecordAndStartUp()
{
    AppFixture f;
    f.startSeeded();
    // In ﾂｰﾙ right after 設定 and a separator (entries added later may follow it).
    const QList<QAction *> tool = g_frmMdi1->menu_Tool->actions();
    const qsizetype at = tool.indexOf(g_frmMdi1->menu_Trend);
    QVERIFY(at >= 2);
    QVERIFY(tool[at - 1]->isSeparator());
    QCOMPARE(tool[at - 2], g_frmMdi1->menu_Setting->menuAction());
    g_subMenuCommand(50);
    QCOMPARE(g_frmMdi1->menu_Trend->text(), QStringLiteral("ﾄﾚﾝﾄﾞ表示(&R)"));
    g_frmMdi1->menu_Trend->trigger();
    QVERIFY(g_frmTrend1);
    QCOMPARE(g_intFormOpen[idTrend], qint16(-1));
    QCOMPARE(g_frmTrend1->windowTitle(), QStringLiteral("ﾄﾚﾝﾄﾞ表示ﾊﾟﾈﾙ"));
    g_subMenuCommand(50);
    QCOMPARE(g_frmMdi1->menu_Trend->text(), QStringLiteral("ﾄﾚﾝﾄﾞ表示を閉じる(&R)"));
    // Closed by the entry: recorded as closed.
    g_subMenuCommand(16);
    QVERIFY(!g_frmTrend1);
    QCOMPARE(g_FormPos[idTrend].State & 1, 0);
    g_subMenuCommand(50);
    QCOMPARE(g_frmMdi1->menu_Trend->text(), QStringLiteral("ﾄﾚﾝﾄﾞ表示(&R)"));

    // Open at the exit with the span "1時間": its record in "frmst.tmp", the file otherwise as
    // the written ids have it, and the window back at the next start where it was.
    g_subMenuCommand(16);
    g_frmTrend1->SpanCombo->setCurrentIndex(2);
    emit g_frmTrend1->SpanCombo->activated(2);
    QWidget *sub = g_frmTrend1->parentWidget();
    sub->setGeometry(45, 60, 700, 420);
    f.dlg.answers << vbNo;
    g_frmMain1->requestClose();
    const QByteArray file = AppFixture::readFile(AppFixture::dataFile(QStringLiteral("frmst.tmp")));
    const QList<QByteArray> lines = file.split('\n');
    QCOMPARE(lines.size(), 32); // 31 records and the end after the last CR LF
    QCOMPARE(file.size(), 31 * 45);
    QCOMPARE(lines[8], QByteArray("\"08,") + FormPosRecord(idTrend, FormPosFromPx(QRect(45, 60, 700, 420), 5)).mid(3).toLatin1() + "\"\r");
    for (int id = 9; id <= 30; ++id)
        QCOMPARE(lines[id], QByteArray("\"") + FormPosRecord(id, FormPos()).toLatin1() + "\"\r");
    f.stopApp();
    f.startApp();
    QVERIFY(g_frmTrend1);
    // Where it was, within the frame's area as the start-up frame has it.
    QWidget *area = g_frmTrend1->parentWidget()->parentWidget();
    QCOMPARE(g_frmTrend1->parentWidget()->geometry(), FitOnArea(QRect(45, 60, 700, 420), area->rect()));
    QCOMPARE(g_frmTrend1->SpanCombo->currentIndex(), 2);
    QCOMPARE(plot()->viewSpan(), qint64(3600000));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestTrend::followsLiveReadings()
{
    AppFixture f;
    openTrend(f);
    QVERIFY(plot()->following());
    QCOMPARE(g_frmTrend1->SpanCombo->currentText(), QStringLiteral("10分"));
    // A reading every 20 ms for a minute: 1.25 V, then 2.50 V for the last 10 s.
    for (int i = 0; i < 3000; ++i) {
        reading(i < 2500 ? QStringLiteral("0100") : QStringLiteral("0200"), i < 2500 ? QStringLiteral("00") : QStringLiteral("03"));
        Sleep(20);
    }
    Sleep(1000);
    const TrendSeries &h = g_funcTrendHistory();
    QCOMPARE(h.size(), qint64(3000));
    QCOMPARE(plot()->viewStart() + plot()->viewSpan(), h.lastMs());
    const QString d = plot()->accessibleDescription();
    QVERIFY2(d.startsWith(QStringLiteral("表示範囲 10分、最新値 2.50V (")), qPrintable(d));
    // The newest stretch at the right end of the plot, the older to its left, the gap before
    // the first reading empty; outputs 1 and 2 on in the strip for the last stretch.
    const QImage img = plot()->picture();
    const QRect r = plot()->plotRect();
    QCOMPARE(img.pixelColor(r.right(), rowOf(512 * g_dblScale)), kLevel);
    QCOMPARE(img.pixelColor(r.right() - r.width() / 20, rowOf(256 * g_dblScale)), kLevel);
    QVERIFY(countIn(img, rowOf(256 * g_dblScale), kLevel) > r.width() / 15);
    QVERIFY(img.pixelColor(r.left() + r.width() / 2, rowOf(256 * g_dblScale)) != kLevel);
    const QRect strip = plot()->stripRect();
    const int row = strip.height() / 8;
    QCOMPARE(img.pixelColor(strip.right(), strip.top() + row / 2), QtDialogs::qtColor(quint32(g_lngColor[1])));
    QCOMPARE(img.pixelColor(strip.right(), strip.top() + row + row / 2), QtDialogs::qtColor(quint32(g_lngColor[2])));
    QVERIFY(img.pixelColor(strip.right(), strip.top() + 2 * row + row / 2) != QtDialogs::qtColor(quint32(g_lngColor[3])));
    // The window keeps to the history while it is closed and open again.
    g_subMenuCommand(16);
    reading(QStringLiteral("0300"));
    g_subMenuCommand(16);
    Sleep(100);
    QVERIFY(plot()->accessibleDescription().contains(QStringLiteral("最新値 3.75V")));
    QCOMPARE(g_funcTrendHistory().size(), qint64(3001));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestTrend::thresholdsFollowGridBoxesAndColours()
{
    AppFixture f;
    openTrend(f);
    setThresholds(1, QStringLiteral("4.00"), QStringLiteral("1.00"));
    for (int n = 2; n <= 8; ++n)
        g_frmTrend1->Check1[n - 1]->setChecked(false);
    reading(QStringLiteral("0200"));
    Sleep(1100);
    QCOMPARE(plot()->thresholds().size(), 2);
    QVERIFY2(plot()->accessibleDescription().endsWith(QStringLiteral("、ch1 最小値 1.00V と ch1 最大値 4.00V の間")),
             qPrintable(plot()->accessibleDescription()));
    QImage img = plot()->picture();
    QVERIFY(countIn(img, rowOf(4.0), kRed) > plot()->plotRect().width() / 4);

    // The user commits 3 in "最大値" of Out 1: the line moves at once.
    g_frmMain1->MSFlexGrid1->setRow(1);
    g_frmMain1->MSFlexGrid1->setCol(1);
    g_frmMain1->startGridEdit();
    g_frmMain1->Text1->setText(QStringLiteral("3"));
    QTest::keyClick(g_frmMain1->Text1, Qt::Key_Return);
    QTRY_VERIFY(plot()->accessibleDescription().endsWith(QStringLiteral("ch1 最小値 1.00V と ch1 最大値 3.00V の間")));
    img = plot()->picture();
    QCOMPARE(countIn(img, rowOf(4.0), kRed), 0);
    QVERIFY(countIn(img, rowOf(3.0), kRed) > 0);

    // Above every threshold, and none shown.
    reading(QStringLiteral("0330"));
    Sleep(1100);
    QVERIFY(plot()->accessibleDescription().endsWith(QStringLiteral("全てのしきい値以上 (最も高い ch1 最大値 3.00V)")));
    g_frmTrend1->Check1[0]->setChecked(false);
    QVERIFY(plot()->accessibleDescription().endsWith(QStringLiteral("しきい値なし")));
    QCOMPARE(countIn(plot()->picture(), rowOf(3.0), kRed), 0);
    g_frmTrend1->Check1[0]->setChecked(true);

    // The colour settings' OK: the trend redraws in the new colours too.
    frmColorSetting1 colours(g_frmMdi1);
    colours.lngWorkColor[1] = 0x00FF00; // green
    colours.lngWorkColor[9] = 0xFFFFFF;
    colours.flgAskOnOK = false;
    colours.Command3_Click(0);
    img = plot()->picture();
    QCOMPARE(countIn(img, rowOf(3.0), kRed), 0);
    QVERIFY(countIn(img, rowOf(3.0), QColor(0, 255, 0)) > 0);
    QCOMPARE(img.pixelColor(plot()->plotRect().right(), rowOf(0x330 * g_dblScale)), QColor(255, 255, 255));

    // A distance type: one level per channel, channels 7 and 8 not offered.
    UserData[cellInputCode].setData(QByteArrayView("03"));
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    g_subMonitorWindowsRefresh();
    QVERIFY(!g_frmTrend1->Check1[6]->isVisible());
    QCOMPARE(plot()->thresholds().size(), 1);
    QCOMPARE(plot()->unit(), QStringLiteral("M"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestTrend::viewByKeysWheelDragAndSpans()
{
    AppFixture f;
    openTrend(f);
    // Two hours of readings, one a second.
    const qint64 t0 = Now().toMSecsSinceEpoch();
    for (int i = 0; i <= 7200; ++i)
        g_subTrendHistoryAdd(t0 + i * 1000LL, QStringLiteral("%1").arg(i % 1024, 4, 16, QLatin1Char('0')), QStringLiteral("00"));
    const qint64 last = t0 + 7200000;
    plot()->update();
    QCOMPARE(plot()->viewStart(), last - 600000);
    // Left pans back a tenth of the span and stops following; Right comes back, not past
    // the newest reading.
    QTest::keyClick(plot(), Qt::Key_Left);
    QVERIFY(!plot()->following());
    QCOMPARE(plot()->viewStart(), last - 660000);
    QTest::keyClick(plot(), Qt::Key_Right);
    QTest::keyClick(plot(), Qt::Key_Right);
    QCOMPARE(plot()->viewStart(), last - 600000);
    // + halves the span around its middle, - doubles it.
    QTest::keyClick(plot(), Qt::Key_Plus);
    QCOMPARE(plot()->viewSpan(), qint64(300000));
    QCOMPARE(plot()->viewStart(), last - 450000);
    QCOMPARE(g_frmTrend1->SpanCombo->currentIndex(), -1);
    QTest::keyClick(plot(), Qt::Key_Minus);
    QCOMPARE(plot()->viewSpan(), qint64(600000));
    QCOMPARE(g_frmTrend1->SpanCombo->currentText(), QStringLiteral("10分"));
    // The wheel zooms around the pointer: the time under it stays.
    const QRect r = plot()->plotRect();
    const QPoint at(r.left() + r.width() / 4, r.center().y());
    const qint64 before = plot()->timeAtX(at.x());
    QWheelEvent wheel(at, plot()->mapToGlobal(at), QPoint(), QPoint(0, 240), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(plot(), &wheel);
    QVERIFY(plot()->viewSpan() < 600000 * 0.65 && plot()->viewSpan() > 600000 * 0.63);
    QVERIFY(std::abs(plot()->timeAtX(at.x()) - before) <= plot()->viewSpan() / r.width() + 1);
    // A drag pans: the time under the pointer moves with it.
    const qint64 startBefore = plot()->viewStart();
    const double msPerPx = double(plot()->viewSpan()) / r.width();
    QTest::mousePress(plot(), Qt::LeftButton, Qt::NoModifier, at);
    QMouseEvent move(QEvent::MouseMove, at + QPoint(100, 0), plot()->mapToGlobal(at + QPoint(100, 0)), Qt::NoButton,
                     Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(plot(), &move);
    QTest::mouseRelease(plot(), Qt::LeftButton, Qt::NoModifier, at + QPoint(100, 0));
    QVERIFY(std::abs(double(startBefore - plot()->viewStart()) - 100 * msPerPx) <= 1);
    // The pointer tells the nearest reading.
    const qint64 idx = plot()->nearestReading(plot()->timeAtX(at.x() + 100));
    QCOMPARE(g_frmTrend1->PointerLabel->text(), plot()->readingText(idx));
    QVERIFY(g_frmTrend1->PointerLabel->text().contains(QStringLiteral("  出力 00000000")));
    // A span from the list keeps the right edge; "最新" follows again; the day's span is
    // the longest.
    const qint64 end = plot()->viewStart() + plot()->viewSpan();
    g_frmTrend1->SpanCombo->setCurrentIndex(0);
    emit g_frmTrend1->SpanCombo->activated(0);
    QCOMPARE(plot()->viewSpan(), qint64(60000));
    QCOMPARE(plot()->viewStart() + plot()->viewSpan(), end);
    g_frmTrend1->LatestButton->click();
    QVERIFY(plot()->following());
    QCOMPARE(plot()->viewStart(), last - 60000);
    for (int i = 0; i < 20; ++i)
        QTest::keyClick(plot(), Qt::Key_Minus);
    QCOMPARE(plot()->viewSpan(), kTrendHistoryMs);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestTrend::extremesAndPulsesShowInTheirColumns()
{
    AppFixture f;
    openTrend(f);
    // An hour of 20 ms readings at 1.00 V with one reading at 4.50 V, one at 0 V and one
    // reading with output 8 on, each alone among 180,000.
    const qint64 t0 = Now().toMSecsSinceEpoch();
    const int n = 180000;
    const QString flat = QStringLiteral("%1").arg(qRound(1.0 / g_dblScale), 4, 16, QLatin1Char('0'));
    const QString high = QStringLiteral("%1").arg(qRound(4.5 / g_dblScale), 4, 16, QLatin1Char('0'));
    for (int i = 0; i < n; ++i)
        g_subTrendHistoryAdd(t0 + i * 20LL, i == 60000 ? high : i == 120000 ? QStringLiteral("0000") : flat,
                             i == 90000 ? QStringLiteral("80") : QStringLiteral("00"));
    plot()->setSpan(3600000);
    const QSize size(1600, 900);
    const QImage img = plot()->picture(size);
    const QRect r = plot()->plotRectFor(size), strip = plot()->stripRectFor(size);
    auto column = [&](int i) { return r.left() + int(double(t0 + i * 20LL - plot()->viewStart()) * r.width() / plot()->viewSpan()); };
    auto yOf = [&](double v) { return int(std::lround(r.bottom() - v / 5.0 * r.height())); };
    auto levelIn = [&](int x, int y) {
        for (int dx = -1; dx <= 1; ++dx)
            if (img.pixelColor(x + dx, y) == kLevel)
                return true;
        return false;
    };
    QVERIFY(levelIn(column(60000), yOf(4.5)));
    QVERIFY(levelIn(column(120000), yOf(0)));
    QVERIFY(!levelIn(column(30000), yOf(4.5)));
    const int row8 = strip.top() + 7 * (strip.height() / 8) + strip.height() / 16;
    bool pulse = false;
    for (int dx = -1; dx <= 1; ++dx)
        pulse = pulse || img.pixelColor(column(90000) + dx, row8) == QtDialogs::qtColor(quint32(g_lngColor[8]));
    QVERIFY(pulse);
    QVERIFY(img.pixelColor(column(30000), row8) != QtDialogs::qtColor(quint32(g_lngColor[8])));
}

void TestTrend::logFilesOpenedDroppedAndRefused()
{
    AppFixture f;
    openTrend(f);
    reading(QStringLiteral("0100"));
    const QString two = writeLog(QStringLiteral("qlv20261010.csv"), 2);
    f.dlg.fileAnswers << two;
    g_frmTrend1->OpenButton->click();
    QCOMPARE(f.dlg.fileRequests.last().title, QStringLiteral("ﾛｸﾞﾌｧｲﾙを開く"));
    QVERIFY(g_frmTrend1->showingLog());
    QCOMPARE(g_frmTrend1->log()->runs, 2);
    QCOMPARE(plot()->source().markers.size(), 4);
    QVERIFY(!plot()->following());
    // The whole file in view, with its markers and values in the file's unit.
    const qint64 first = QDateTime(QDate(2026, 10, 10), QTime(9, 0)).toMSecsSinceEpoch();
    QVERIFY(plot()->viewStart() <= first);
    QVERIFY(plot()->viewStart() + plot()->viewSpan() >= first + 3 * 3600000);
    QVERIFY(g_frmTrend1->SourceLabel->text().startsWith(QStringLiteral("ﾛｸﾞﾌｧｲﾙ: qlv20261010.csv  2 回分 120 件  表示幅 ")));
    QVERIFY2(plot()->accessibleDescription().contains(QStringLiteral("最新値 2.50V (2026/10/10 11:59:00)")), qPrintable(plot()->accessibleDescription()));
    // New live readings leave the log in view.
    reading(QStringLiteral("0300"));
    Sleep(1100);
    QVERIFY(g_frmTrend1->showingLog());

    // Another program's CSV: the box, and the log stays.
    const QString other = AppFixture::dataFile(QStringLiteral("logs/other.csv"));
    AppFixture::writeFile(other, "a,b,c\r\n1,2,3\r\n");
    f.dlg.answers << vbOK;
    QVERIFY(!g_frmTrend1->openLog(other));
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(f.dlg.boxes[0].caption, QStringLiteral("ﾛｸﾞﾌｧｲﾙ読み込み"));
    QCOMPARE(g_frmTrend1->log()->runs, 2);
    QCOMPARE(plot()->source().series, &g_frmTrend1->log()->series);

    // A file dropped on the window.
    const QString one = writeLog(QStringLiteral("qlv20261011.csv"), 1);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(one)});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(g_frmTrend1, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(g_frmTrend1, &drop);
    DoEvents();
    QTRY_COMPARE(g_frmTrend1->log()->runs, 1);

    // "最新": back to the live readings, following.
    g_frmTrend1->LatestButton->click();
    QVERIFY(!g_frmTrend1->showingLog());
    QVERIFY(plot()->following());
    QCOMPARE(plot()->source().series, &g_funcTrendHistory());
    QVERIFY(plot()->accessibleDescription().contains(QStringLiteral("最新値 3.75V")));

    // Closed while a slow read runs: the read stops without a box, then the window closes.
    f.clock.doEventsUs = 300'000;
    f.clock.scheduleIn(250'000, [] { g_subMenuCommand(16); });
    QVERIFY(!g_frmTrend1->openLog(two));
    QVERIFY(g_frmTrend1);
    QTRY_VERIFY(!g_frmTrend1);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestTrend::pictureSaysWhatItShows_data()
{
    QTest::addColumn<bool>("log");
    QTest::newRow("live") << false;
    QTest::newRow("log") << true;
}

void TestTrend::pictureSaysWhatItShows()
{
    QFETCH(bool, log);
    AppFixture f;
    openTrend(f);
    reading(QStringLiteral("0200"));
    Sleep(100);
    if (log)
        QVERIFY(g_frmTrend1->openLog(writeLog(QStringLiteral("qlv20261010.csv"), 2)));
    const QString path = AppFixture::dataFile(QStringLiteral("view"));
    f.dlg.fileAnswers << path;
    g_frmTrend1->SaveButton->click();
    QVERIFY(f.dlg.fileRequestIsSave.last());
    QCOMPARE(f.dlg.fileRequests.last().title, QStringLiteral("画像で保存"));
    QVERIFY(f.dlg.fileRequests.last().fileName.endsWith(QStringLiteral(".png")));
    QImage saved;
    QVERIFY(saved.load(path + QStringLiteral(".png"), "PNG"));
    // The plot under a title line that is drawn; the facts in the title and the PNG's texts.
    const QSize size = plot()->size();
    QCOMPARE(saved.width(), size.width());
    const int title = saved.height() - size.height();
    QVERIFY(title > 0);
    QCOMPARE(saved.copy(0, title, size.width(), size.height()).convertToFormat(QImage::Format_RGB32), plot()->picture());
    int inked = 0;
    for (int y = 0; y < title; ++y)
        inked += size.width() - countIn(saved, y, QColor(0, 0, 0));
    QVERIFY(inked > 100);
    const auto at = [](qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")); };
    QCOMPARE(saved.text(QStringLiteral("From")), at(plot()->viewStart()));
    QCOMPARE(saved.text(QStringLiteral("To")), at(plot()->viewStart() + plot()->viewSpan()));
    QCOMPARE(saved.text(QStringLiteral("Source")), log ? QStringLiteral("qlv20261010.csv") : QStringLiteral("ﾗｲﾌﾞ"));
    // The picture names the live source as the status line does.
    if (!log)
        QVERIFY2(g_frmTrend1->SourceLabel->text().startsWith(saved.text(QStringLiteral("Source")) + QLatin1Char(' ')),
                 qPrintable(g_frmTrend1->SourceLabel->text()));
    QCOMPARE(saved.text(QStringLiteral("Span")), frmTrend1::spanWords(plot()->viewSpan()));
    QCOMPARE(saved.text(QStringLiteral("Unit")), QStringLiteral("V"));
    for (const char *key : {"From", "To", "Source", "Span", "Unit"})
        QVERIFY(saved.text(QStringLiteral("Title")).contains(saved.text(QString::fromLatin1(key))));
    // A folder that cannot be written: the box, nothing else.
    f.dlg.fileAnswers << AppFixture::dataFile(QStringLiteral("no/such/folder/view.png"));
    f.dlg.answers << vbOK;
    g_frmTrend1->SaveButton->click();
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(f.dlg.boxes[0].caption, QStringLiteral("画像で保存"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestTrend::readAndReachedByKeyboard()
{
    AppFixture f;
    openTrend(f);
    g_frmTrend1->show();
    QAccessibleInterface *node = accessibleNode(g_frmTrend1, plot());
    QVERIFY(node);
    QCOMPARE(node->text(QAccessible::Name), QStringLiteral("ﾄﾚﾝﾄﾞ表示"));
    QCOMPARE(node->text(QAccessible::Description), QStringLiteral("表示範囲 10分、ﾃﾞｰﾀなし"));
    // The description follows within the time a pixel column of the view covers.
    reading(QStringLiteral("0200"));
    Sleep(1000);
    QCOMPARE(node->text(QAccessible::Description).left(30), QStringLiteral("表示範囲 10分、最新値 2.50V (") + Now().toString(QStringLiteral("yyyy/MM/dd")));
    QVERIFY2(unreadableValues(g_frmTrend1).isEmpty(), qPrintable(unreadableValues(g_frmTrend1).join(QLatin1Char('\n'))));
    // Tab reaches the span, every button, the boxes and the plot.
    QList<QWidget *> want = {g_frmTrend1->SpanCombo, g_frmTrend1->LatestButton, g_frmTrend1->OpenButton,
                             g_frmTrend1->SaveButton, g_frmTrend1->CloseButton, plot()};
    for (QCheckBox *c : g_frmTrend1->Check1)
        want << c;
    QSet<QWidget *> reached;
    QWidget *w = g_frmTrend1->SpanCombo;
    for (int i = 0; i < 40; ++i, w = w->nextInFocusChain()) {
        if (w->focusPolicy() & Qt::TabFocus)
            reached << w;
    }
    for (QWidget *x : want)
        QVERIFY2(reached.contains(x), qPrintable(x->objectName() + x->accessibleName()));
    // The span reads its value, its caption as the description.
    QAccessibleInterface *combo = accessibleNode(g_frmTrend1, g_frmTrend1->SpanCombo);
    QVERIFY(combo);
    QCOMPARE(combo->text(QAccessible::Name), QStringLiteral("10分"));
    QCOMPARE(combo->text(QAccessible::Description), QStringLiteral("表示範囲"));

    // The plot is a chart. After a wheel zoom that moved the data under the pointer, the
    // readout tells the reading now under it.
    QCOMPARE(node->role(), QAccessible::Chart);
    const qint64 t0 = Now().toMSecsSinceEpoch() + 1000;
    for (int i = 0; i <= 7200; ++i)
        g_subTrendHistoryAdd(t0 + i * 1000LL, QStringLiteral("0100"), QStringLiteral("00"));
    const QPoint at(plot()->plotRect().left() + 1, plot()->plotRect().center().y());
    QMouseEvent move(QEvent::MouseMove, at, plot()->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(plot(), &move);
    const QString before = g_frmTrend1->PointerLabel->text();
    QWheelEvent wheel(at, plot()->mapToGlobal(at), QPoint(), QPoint(0, -2400), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(plot(), &wheel);
    QVERIFY(g_frmTrend1->PointerLabel->text() != before);
    QCOMPARE(g_frmTrend1->PointerLabel->text(), plot()->pointerText(at));
}

void TestTrend::spanWords_data()
{
    QTest::addColumn<qint64>("ms");
    QTest::addColumn<QString>("words");
    QTest::newRow("seconds") << qint64(45000) << QStringLiteral("45秒");
    QTest::newRow("hours") << qint64(5400000) << QStringLiteral("1時間30分");
    QTest::newRow("a day") << qint64(86400000) << QStringLiteral("1日");
    QTest::newRow("weeks") << qint64((1151 * 3600 + 14 * 60 + 55) * 1000LL) << QStringLiteral("47日23時間14分55秒");
}

void TestTrend::spanWords()
{
    QFETCH(qint64, ms);
    QFETCH(QString, words);
    QCOMPARE(frmTrend1::spanWords(ms), words);
}

void TestTrend::logOfAnotherFullScale_data()
{
    QTest::addColumn<int>("logType");
    QTest::addColumn<int>("toolType");
    for (int l = Volt5; l <= Dist10M; ++l)
        for (int t = Volt5; t <= Dist10M; ++t)
            QTest::addRow("%s log at %s", qPrintable(InputTypeOf(l).optionCaption), qPrintable(InputTypeOf(t).optionCaption)) << l << t;
}

void TestTrend::logOfAnotherFullScale()
{
    QFETCH(int, logType);
    QFETCH(int, toolType);
    AppFixture f;
    openTrend(f);
    // Counts 0 to 1023 written at the log's type, opened at the tool's with a threshold.
    setType(logType);
    const QString path = AppFixture::dataFile(QStringLiteral("scale.csv"));
    const QDateTime t0(QDate(2026, 10, 10), QTime(9, 0));
    AppendLogFilerData(LogBlock(QStringLiteral("/** Logging Start **/"), t0), path);
    for (int c = 0; c <= 1023; c += 31)
        AppendLogFilerData(DataLineOf(c + 1, t0.addSecs(c), QStringLiteral("%1").arg(c, 4, 16, QLatin1Char('0')), QStringLiteral("00"), true, true), path);
    setType(toolType);
    setThresholds(1, QStringLiteral("1.00"), QString());
    QVERIFY(g_frmTrend1->openLog(path));
    // Every value on the range, the highest drawn at its own height.
    const TrendSeries &s = g_frmTrend1->log()->series;
    const TrendSeries::Summary all = s.summarize(0, s.size());
    double low = 0, high = 0;
    plot()->valueRange(low, high);
    QVERIFY(low <= plot()->valueOf(all.min) && high >= plot()->valueOf(all.max));
    const QImage img = plot()->picture();
    const QRect r = plot()->plotRect();
    const int top = int(std::lround(r.bottom() - (plot()->valueOf(all.max) - low) / (high - low) * r.height()));
    QVERIFY(countIn(img, top, kLevel) + countIn(img, top + 1, kLevel) + countIn(img, top - 1, kLevel) > 0);
    // The thresholds only over a log of the tool's full scale; else the status says why.
    const bool same = InputTypeOf(logType).unit == InputTypeOf(toolType).unit &&
                      InputTypeOf(logType).fullScale <= InputTypeOf(toolType).fullScale;
    QCOMPARE(plot()->thresholdsApply(), same);
    QCOMPARE(countIn(img, rowIn(1.0, low, high), kRed) > r.width() / 4, same);
    QCOMPARE(g_frmTrend1->SourceLabel->text().contains(QStringLiteral("しきい値なし (ﾛｸﾞ")), !same);
}

void TestTrend::clockStepBackInALog()
{
    AppFixture f;
    openTrend(f);
    // The log filer's file after the clock was set back: 05:00:00 to 06:00:00 at 1.00 V,
    // then 05:00:10 to 07:00:00 at 2.00 V.
    const QString path = AppFixture::dataFile(QStringLiteral("step.csv"));
    const QDateTime day(QDate(2026, 10, 10), QTime(0, 0));
    AppendLogFilerData(LogBlock(QStringLiteral("/** Logging Start **/"), day.addSecs(5 * 3600)), path);
    for (int i = 0; i <= 360; ++i)
        AppendLogFilerData(DataLineOf(i + 1, day.addSecs(5 * 3600 + 10 * i), QStringLiteral("00CD"), QStringLiteral("01"), true, true), path);
    for (int i = 1; i <= 720; ++i)
        AppendLogFilerData(DataLineOf(i + 361, day.addSecs(5 * 3600 + 10 * i), QStringLiteral("019A"), QStringLiteral("02"), true, true), path);
    QVERIFY(g_frmTrend1->openLog(path));
    QVERIFY2(g_frmTrend1->SourceLabel->text().contains(QStringLiteral("時刻戻り 2026/10/10 06:00:00→05:00:10")),
             qPrintable(g_frmTrend1->SourceLabel->text()));
    // The second stretch drawn over its own two hours, right of the break, not squashed.
    const QImage img = plot()->picture();
    const QRect r = plot()->plotRect();
    QVERIFY(countIn(img, rowOf(2.0), kLevel) > r.width() * 6 / 10);
    const QList<TrendLabel> lines = plot()->lineLabels(plot()->size());
    const auto brk = std::find_if(lines.begin(), lines.end(), [](const TrendLabel &l) { return l.text.startsWith(QStringLiteral("時刻戻り")); });
    QVERIFY(brk != lines.end());
    // Right of the break the readout tells the time as written, earlier than left of it.
    const QString after = plot()->pointerText(QPoint(brk->lineX + 3, r.center().y()));
    const QString before = plot()->pointerText(QPoint(brk->lineX - 3, r.center().y()));
    QVERIFY2(after.startsWith(QStringLiteral("2026/10/10 05:00:")) && before.startsWith(QStringLiteral("2026/10/10 05:59:")),
             qPrintable(before + QLatin1Char('|') + after));
}

void TestTrend::viewKeysFromAnywhere_data()
{
    QTest::addColumn<QString>("focus");
    for (const char *w : {"span", "latest", "open", "check", "plot"})
        QTest::newRow(w) << QString::fromLatin1(w);
}

void TestTrend::viewKeysFromAnywhere()
{
    QFETCH(QString, focus);
    AppFixture f;
    openTrend(f);
    const qint64 t0 = Now().toMSecsSinceEpoch();
    for (int i = 0; i <= 7200; ++i)
        g_subTrendHistoryAdd(t0 + i * 1000LL, QStringLiteral("0100"), QStringLiteral("00"));
    const qint64 last = t0 + 7200000, span = plot()->viewSpan();
    QWidget *w = focus == QLatin1String("span")     ? static_cast<QWidget *>(g_frmTrend1->SpanCombo)
                 : focus == QLatin1String("latest") ? g_frmTrend1->LatestButton
                 : focus == QLatin1String("open")   ? g_frmTrend1->OpenButton
                 : focus == QLatin1String("check")  ? g_frmTrend1->Check1[0]
                                                    : static_cast<QWidget *>(plot());
    // Each key from the state the one before left, and what the view is after it.
    struct Step {
        Qt::Key key;
        qint64 start, span;
        bool follow;
    };
    const Step steps[] = {{Qt::Key_Left, last - span - span / 10, span, false}, {Qt::Key_Right, last - span, span, false},
                          {Qt::Key_Plus, last - span * 3 / 4, span / 2, false},  {Qt::Key_Minus, last - span, span, false},
                          {Qt::Key_Home, t0, span, false},                        {Qt::Key_End, last - span, span, true}};
    for (const Step &s : steps) {
        QTest::keyClick(w, s.key);
        QCOMPARE(plot()->viewStart(), s.start);
        QCOMPARE(plot()->viewSpan(), s.span);
        QCOMPARE(plot()->following(), s.follow);
    }
    // The span box keeps Up and Down.
    if (focus == QLatin1String("span")) {
        QTest::keyClick(w, Qt::Key_Down);
        QCOMPARE(g_frmTrend1->SpanCombo->currentText(), QStringLiteral("1時間"));
        QCOMPARE(plot()->viewSpan(), qint64(3600000));
    }
}

void TestTrend::labelsNeverOverlap_data()
{
    // Sixteen thresholds from 1 V, this far apart (the last at the full scale); a log of
    // this many runs of an hour.
    QTest::addColumn<double>("apart");
    QTest::addColumn<int>("runs");
    for (const double apart : {0.0, 0.01, 0.04, 0.1, 4.0 / 15})
        for (const int runs : {1, 12, 40})
            QTest::addRow("%.2f V apart, %d runs", apart, runs) << apart << runs;
}

void TestTrend::labelsNeverOverlap()
{
    QFETCH(double, apart);
    QFETCH(int, runs);
    AppFixture f;
    openTrend(f);
    for (int n = 1; n <= 8; ++n)
        setThresholds(n, FormatFixed2(1.0 + apart * (2 * n - 1)), FormatFixed2(1.0 + apart * (2 * n - 2)));
    QVERIFY(g_frmTrend1->openLog(writeLog(QStringLiteral("runs.csv"), runs)));
    const QSize size = plot()->size();
    const QRect r = plot()->plotRect();
    const QList<TrendLabel> labels = plot()->thresholdLabels(size), lines = plot()->lineLabels(size);
    QList<QRect> drawn;
    QList<int> named;
    for (const TrendLabel &l : labels) {
        // In the margin right of the plotted data, saying which bound it is.
        QVERIFY(l.rect.left() > r.right() && l.rect.right() < size.width());
        QVERIFY(l.text.startsWith(plot()->thresholds()[l.thresholds.first()].label));
        QCOMPARE(l.text.contains(QLatin1Char('+')), l.thresholds.size() > 1);
        // A label for several lines: all of them in the readout over it.
        const QString readout = plot()->pointerText(l.rect.center());
        for (int i : l.thresholds) {
            QVERIFY2(readout.contains(plot()->thresholds()[i].label + QLatin1Char(' ')), qPrintable(readout));
            named << i;
        }
        drawn << l.rect;
    }
    std::sort(named.begin(), named.end());
    QCOMPARE(named.size(), 16);
    QCOMPARE(named.last(), 15);
    for (const TrendLabel &l : lines) {
        if (!l.rect.isEmpty()) {
            QVERIFY(l.rect.left() > r.left() && l.rect.right() < r.right());
            drawn << l.rect;
        }
    }
    for (int a = 0; a < drawn.size(); ++a)
        for (int b = a + 1; b < drawn.size(); ++b)
            QVERIFY2(!drawn[a].intersects(drawn[b]), qPrintable(QStringLiteral("%1 and %2").arg(a).arg(b)));
    // Every bound and marker reaches assistive technology, labelled or not.
    QStringList items;
    for (const TrendLabel &l : plot()->accessibleItems())
        items << l.text;
    QVERIFY(items.contains(QStringLiteral("ch1↑ ch1 最大値 %1V").arg(FormatFixed2(1.0 + apart))));
    QVERIFY(items.contains(QStringLiteral("ch8↓ ch8 最小値 %1V").arg(FormatFixed2(1.0 + apart * 14))));
    QCOMPARE(items.filter(QStringLiteral("Logging ")).size(), 2 * runs);
    QAccessibleInterface *node = accessibleNode(g_frmTrend1, plot());
    QCOMPARE(node->role(), QAccessible::Chart);
    QCOMPARE(node->childCount(), int(items.size()));
    QCOMPARE(node->child(node->childCount() - 1)->text(QAccessible::Name), items.last());
}

void TestTrend::contrastOfColours()
{
    const QColor black(0, 0, 0), white(255, 255, 255), blue(0, 0, 255), red(255, 0, 0), darkGreen(51, 102, 0);
    QCOMPARE(ContrastRatio(black, white), 21.0);
    QCOMPARE(ContrastRatio(white, black), 21.0);
    QCOMPARE(ContrastRatio(blue, blue), 1.0);
    // The defaults of ch4 and ch8 on the default black: hard to read.
    QCOMPARE(std::round(ContrastRatio(blue, black) * 100) / 100, 2.44);
    QCOMPARE(std::round(ContrastRatio(darkGreen, black) * 100) / 100, 3.04);
    QCOMPARE(LabelBacking(blue, black), white);
    QCOMPARE(LabelBacking(darkGreen, black), white);
    QVERIFY(!LabelBacking(red, black).isValid()); // 5.25:1
    QVERIFY(!LabelBacking(blue, white).isValid());
    QCOMPARE(LabelBacking(white, white), black);
    QCOMPARE(LabelBacking(QColor(255, 255, 0), QColor(255, 255, 255)), black);
}

void TestTrend::labelsReadableInEveryColour()
{
    AppFixture f;
    openTrend(f);
    // A bound of every channel, far apart, so that each has a label of its own.
    for (int n = 1; n <= 8; ++n)
        setThresholds(n, FormatFixed2(0.55 * n), FormatFixed2(0.55 * n - 0.25));
    reading(QStringLiteral("0010"));
    Sleep(1100);
    // The default black and a white background: every label reads against what is behind
    // it (at least 4.5:1), and keeps its channel's colour.
    for (const qint32 back : {0, 0xFFFFFF}) {
        qint32 colours[kColors];
        std::copy(g_lngColor, g_lngColor + kColors, colours);
        colours[0] = back;
        g_subColorsSet(colours);
        const QImage img = plot()->picture();
        QVERIFY(img.save(screenshotFolder() + QStringLiteral("/trend_labels_on_%1.png").arg(back == 0 ? "black" : "white")));
        const QList<TrendLabel> labels = plot()->thresholdLabels(plot()->size());
        QCOMPARE(labels.size(), 16);
        int backed = 0;
        for (const TrendLabel &l : labels) {
            const QColor text = QtDialogs::qtColor(quint32(g_lngColor[plot()->thresholds()[l.thresholds.first()].channel]));
            // Behind the label, just left of its text.
            const QColor behind = img.pixelColor(l.rect.left() - 1, l.rect.center().y());
            QVERIFY2(ContrastRatio(text, behind) >= 4.5,
                     qPrintable(QStringLiteral("%1 on %2").arg(l.text, behind.name())));
            backed += behind != QtDialogs::qtColor(quint32(back));
            // The text in its channel's colour (smoothed at the edges of its strokes).
            auto distance = [](const QColor &a, const QColor &b) {
                return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
            };
            int inColour = 0;
            for (int y = l.rect.top(); y <= l.rect.bottom(); ++y)
                for (int x = l.rect.left(); x <= l.rect.right(); ++x)
                    inColour += distance(img.pixelColor(x, y), text) < 40;
            QVERIFY2(inColour > 5, qPrintable(l.text));
        }
        // On black: the two bounds of ch4 (blue) and ch8 (dark green); on white every channel
        // but those two: red (4.0:1), yellow, green, cyan, magenta and white.
        QCOMPARE(backed, back == 0 ? 4 : 12);
    }
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

QTEST_MAIN(TestTrend)
#include "tst_trend.moc"
