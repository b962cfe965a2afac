// The graph window and the colour settings on the virtual clock: the plot is rendered and
// its pixel rows checked where the scale puts the axes, the ticks, the thresholds and the
// level; zoom, scroll, keys, channel boxes, resize limits, the redraws that must and must
// not happen; and the colour window with "clr.ini".
#include "support/AccessibleTree.h"
#include "support/LinkHelpers.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "graph/frmColorSetting1.h"
#include "graph/frmGraph1.h"
#include "graph/modGraph1.h"
#include "monitor/frmDirect1.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/QtDialogs.h"
#include "platform/Geometry.h"
#include "settings/modUserData.h"

#include <QMdiSubWindow>
#include <QtTest>

#include <cmath>

namespace {
const QColor kBlack(0, 0, 0), kLevel(255, 255, 128),
    kGrid(102, 102, 102);

// The plot's geometry as the Part derives it from the picture's size, at zoom 1.
struct Plot {
    double H, W, gh;
    int div;
    Plot()
    {
        H = std::floor(g_frmGraph1->Picture1->height() * TwipsPerPixel());
        W = std::floor(g_frmGraph1->Picture1->width() * TwipsPerPixel());
        gh = H - 250;
        div = g_intInputType == Current20mA ? 20 : (g_intInputType == Volt10 || g_intInputType == Dist10M) ? 10 : 5;
    }
    int row(double v) const { return frmGraph1::px(gh - v * gh / div + 100); }
    int left() const { return frmGraph1::px(300); }
    int right() const { return frmGraph1::px(300 + W - 400); }
};

const QImage &canvas() { return g_frmGraph1->canvas(); }

// Pixels of colour c in a canvas row between two columns.
int count(int row, const QColor &c, int from = 0, int to = -1)
{
    const QImage &img = canvas();
    if (to < 0)
        to = img.width() - 1;
    int n = 0;
    for (int x = qMax(0, from); x <= qMin(to, img.width() - 1); ++x)
        n += img.pixelColor(x, row) == c;
    return n;
}
int countAll(const QColor &c)
{
    int n = 0;
    for (int y = 0; y < canvas().height(); ++y)
        n += count(y, c);
    return n;
}
// Rows with a major tick: the grid colour from x 220 to x 300.
QList<int> majorTickRows()
{
    QList<int> rows;
    for (int y = 0; y < canvas().height(); ++y)
        if (count(y, kGrid, frmGraph1::px(222), frmGraph1::px(298)) >= frmGraph1::px(298) - frmGraph1::px(222))
            rows << y;
    return rows;
}

void setType(const char *code)
{
    UserData[cellInputCode].setData(QByteArrayView(code));
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    g_subMonitorWindowsRefresh();
}

// The grid's rows 1 and 2 of channel n.
void setThresholds(int n, const QString &max, const QString &min = QString())
{
    EditorTexts t = g_frmMain1->editorTexts();
    t.cell[1][n] = max;
    if (!min.isNull())
        t.cell[2][n] = min;
    g_frmMain1->setEditorTexts(t);
    g_subMonitorWindowsRefresh();
}

// A reading stored as the running poll stores it, and its announcement heard.
void reading(const QString &value)
{
    g_subMonitorPollingSet(true);
    StoreReading(value, QStringLiteral("00"));
    Sleep(1);
}

void openGraph(AppFixture &f)
{
    f.startSeeded();
    g_subMenuCommand(11);
    QVERIFY(g_frmGraph1);
    // Room enough to see the ticks apart.
    qobject_cast<QMdiSubWindow *>(g_frmGraph1->parentWidget())->resize(TwipsToPx(9000), TwipsToPx(9000));
}
} // namespace

class TestGraph : public QObject {
    Q_OBJECT
private slots:
    void divisionsByInputType_data();
    void divisionsByInputType();
    void axesThresholdsAndLevelWhereTheScalePutsThem();
    void channelsAndTheirBoxes();
    void levelOutsideTheScaleDrawsNothing();
    void fullScaleAndZeroOnTheEndRows();
    void zoomAndScroll();
    void keys();
    void resizeLimits();
    void unchangedValueDoesNotRedraw();
    void committedCellMovesItsLine();
    void placeRecordAndReopening();
    void plotReadsAsText();

    void colourFile();
    void colourWindow();
    void colourWindowOpensWithNothingCurrent();
    void colourDialogForm();
};

void TestGraph::divisionsByInputType_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<int>("divisions");
    QTest::newRow("0-5 V") << QByteArray("00") << 5;
    QTest::newRow("0-10 V") << QByteArray("01") << 10;
    QTest::newRow("4-20 mA") << QByteArray("02") << 20;
    QTest::newRow("5 m") << QByteArray("03") << 5;
    QTest::newRow("10 m") << QByteArray("04") << 10;
}

void TestGraph::divisionsByInputType()
{
    QFETCH(QByteArray, code);
    QFETCH(int, divisions);
    AppFixture f;
    openGraph(f);
    setType(code.constData());
    QCOMPARE(g_frmGraph1->intDivide_Y, qint16(divisions));
    // A major tick at every division, the whole scale at zoom 1, where the mapping puts it.
    const Plot p;
    QList<int> expected;
    for (int i = divisions; i >= 0; --i)
        expected << p.row(i);
    QCOMPARE(majorTickRows(), expected);
}

void TestGraph::axesThresholdsAndLevelWhereTheScalePutsThem()
{
    AppFixture f;
    openGraph(f);
    setThresholds(1, QStringLiteral("4.00"), QStringLiteral("1.00"));
    reading(QStringLiteral("0200")); // 2.50 V
    const Plot p;
    const QImage &img = canvas();
    // The background, the bottom axis and the vertical axis in the grid colour (the bottom
    // axis is the row of 0 V, where the other channels' 0.00 lines lie too).
    QCOMPARE(img.pixelColor(p.right() - 5, p.row(3.3)), kBlack);
    QCOMPARE(p.row(0), frmGraph1::px(p.H - 150));
    for (int x = p.left(); x <= p.right(); ++x) {
        const QRgb c = img.pixel(x, p.row(0)) & 0xFFFFFF;
        bool channel = false;
        for (int n = 2; n <= 8; ++n)
            channel = channel || c == (QtDialogs::qtColor(quint32(g_lngColor[n])).rgb() & 0xFFFFFF);
        QVERIFY2(c == (kGrid.rgb() & 0xFFFFFF) || channel, qPrintable(QColor(c).name()));
    }
    const QList<int> crossing = {p.row(4.0), p.row(1.0), p.row(0), p.row(512 * 0.0048875)};
    for (int y = frmGraph1::px(100); y <= frmGraph1::px(p.H - 150); ++y)
        if (!crossing.contains(y)) // where the horizontal lines cross it
            QCOMPARE(img.pixelColor(p.left(), y), kGrid);
    // Channel 1's bounds: dotted red lines across the plot.
    for (double v : {4.0, 1.0}) {
        const int n = count(p.row(v), kRed, p.left(), p.right());
        QVERIFY2(n > (p.right() - p.left()) / 4 && n < p.right() - p.left(), qPrintable(QString::number(n)));
    }
    // The level: a solid line reaching across the scale labels.
    const int lvl = p.row(512 * 0.0048875);
    QCOMPARE(count(lvl, kLevel, frmGraph1::px(150), p.right()), p.right() - frmGraph1::px(150) + 1);
    QVERIFY(g_frmGraph1->Picture1->accessibleName().startsWith(QStringLiteral("ﾚﾍﾞﾙﾒｰﾀｰ 2.50V")));
}

void TestGraph::channelsAndTheirBoxes()
{
    AppFixture f;
    openGraph(f);
    setThresholds(1, QStringLiteral("4.00"), QStringLiteral("1.00"));
    setThresholds(2, QStringLiteral("3.00"), QStringLiteral("2.00"));
    Plot p;
    QVERIFY(count(p.row(3.0), kYellow) > 0 && count(p.row(2.0), kYellow) > 0); // two lines a channel
    // A cleared channel draws nothing.
    g_frmGraph1->Check1[1]->click();
    QCOMPARE(countAll(kYellow), 0);
    QVERIFY(count(p.row(4.0), kRed) > 0);
    // "-" removes every line, "+" brings them all back.
    g_frmGraph1->Command2[0]->click();
    QCOMPARE(countAll(kRed), 0);
    for (QCheckBox *c : g_frmGraph1->Check1)
        QVERIFY(!c->isChecked());
    g_frmGraph1->Command2[1]->click();
    QVERIFY(count(p.row(4.0), kRed) > 0 && count(p.row(3.0), kYellow) > 0);
    QCOMPARE(g_frmGraph1->Command2[1]->toolTip(), QStringLiteral("全てｵﾝ"));
    QCOMPARE(g_frmGraph1->Command2[0]->toolTip(), QStringLiteral("全てｵﾌ"));
    // The distance types: channels 1 to 6, one line each (the levels of row 1).
    setType("03");
    QVERIFY(!g_frmGraph1->Check1[6]->isVisible() && !g_frmGraph1->Check1[7]->isVisible());
    QVERIFY(g_frmGraph1->Check1[5]->isVisible());
    QVERIFY(!g_frmGraph1->Label1[7]->isVisible());
    setThresholds(2, QStringLiteral("1.50"));
    p = Plot();
    QVERIFY(count(p.row(1.5), kYellow) > 0);
    QCOMPARE(countAll(kYellow), count(p.row(1.5), kYellow)); // one line only
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(g_frmGraph1->Label1[n - 1]->text(), QStringLiteral("ch%1").arg(n));
}

void TestGraph::levelOutsideTheScaleDrawsNothing()
{
    AppFixture f;
    openGraph(f);
    reading(QStringLiteral("0500")); // 1280 counts: 6.26 V, above 5 V
    QCOMPARE(countAll(kLevel), 0);
    reading(QStringLiteral("0200"));
    QVERIFY(countAll(kLevel) > 0);
    setType("03"); // 5 m: 1100 counts is 5.38 m of level, below 0 m of distance
    reading(QStringLiteral("044C"));
    QCOMPARE(countAll(kLevel), 0);
}

void TestGraph::fullScaleAndZeroOnTheEndRows()
{
    // A reading or a threshold at exactly full scale lies on the plot's top row, and 0 on
    // its bottom row, at every plot height and zoom (a distance type's full scale is its
    // count 0).
    AppFixture f;
    openGraph(f);
    auto *sub = qobject_cast<QMdiSubWindow *>(g_frmGraph1->parentWidget());
    QScrollBar *bar = g_frmGraph1->FlatScrollBar1;
    struct Type {
        const char *code, *full, *fullCount, *zeroCount;
    };
    const Type types[] = {{"00", "5.00", "03FF", "0000"}, {"02", "20.00", "03FF", "0000"}, {"03", "5.00", "0000", "03FF"}};
    const auto levelOn = [](int row) {
        const Plot p;
        return count(row, kLevel, frmGraph1::px(150), p.right()) == p.right() - frmGraph1::px(150) + 1;
    };
    const auto redrawWith = [](const char *value) {
        g_frmGraph1->subRefreshLine();
        reading(QString::fromLatin1(value));
    };
    for (int i = 1; i < 8; ++i)
        g_frmGraph1->Check1[i]->click(); // channel 1 alone: nothing else on its rows
    QStringList missed;
    for (const Type &t : types) {
        setType(t.code);
        const bool distance = QByteArray(t.code) == "03";
        setThresholds(1, QString::fromLatin1(t.full), distance ? QString() : QStringLiteral("0.00"));
        for (int h = TwipsToPx(kGraphMinHeight); h < TwipsToPx(kGraphMinHeight) + 40; ++h) {
            for (int zoom : {1, 2, 3, 7, 10}) {
                sub->resize(TwipsToPx(9000), h);
                g_frmGraph1->Slider1->setValue(zoom);
                const QString at = QStringLiteral("%1 h%2 x%3").arg(QString::fromLatin1(t.code)).arg(h).arg(zoom);
                bar->setValue(bar->minimum()); // the top end of the scale in view
                const int top = frmGraph1::px(100);
                redrawWith("0200");
                if (count(top, kRed) == 0)
                    missed << at + QStringLiteral(" threshold at full scale");
                redrawWith(t.fullCount);
                if (!levelOn(top))
                    missed << at + QStringLiteral(" level at full scale");
                bar->setValue(0); // the bottom end
                const int bottom = Plot().row(0);
                redrawWith("0200");
                if (!distance && count(bottom, kRed) == 0)
                    missed << at + QStringLiteral(" threshold at 0");
                redrawWith(t.zeroCount);
                if (!levelOn(bottom))
                    missed << at + QStringLiteral(" level at 0");
            }
        }
    }
    QVERIFY2(missed.isEmpty(), qPrintable(QString::number(missed.size()) + QStringLiteral(" missed, first: ") + missed.value(0)));
}

void TestGraph::zoomAndScroll()
{
    AppFixture f;
    openGraph(f);
    QCOMPARE(g_frmGraph1->Slider1->minimum(), 1);
    QCOMPARE(g_frmGraph1->Slider1->maximum(), 10);
    QVERIFY(!g_frmGraph1->FlatScrollBar1->isEnabled());
    QCOMPARE(majorTickRows().size(), 6); // 0 to 5 V
    // Zoom 2: half the scale, centred: 1.25 to 3.75 V, so the ticks of 2 and 3.
    g_frmGraph1->Slider1->setValue(2);
    QVERIFY(g_frmGraph1->FlatScrollBar1->isEnabled());
    const Plot p;
    const auto rowAtZoom2 = [&](double v) { return frmGraph1::px(2 * p.gh - v * 2 * p.gh / 5 - p.gh / 2 + 100); };
    QCOMPARE(majorTickRows(), QList<int>({rowAtZoom2(3), rowAtZoom2(2)}));
    QCOMPARE(g_frmGraph1->FlatScrollBar1->value(), -qRound(p.gh / 2));
    // The bar at its top end shows the top of the scale; at 0 the bottom.
    g_frmGraph1->FlatScrollBar1->setValue(g_frmGraph1->FlatScrollBar1->minimum());
    QCOMPARE(majorTickRows().first(), frmGraph1::px(100));
    g_frmGraph1->FlatScrollBar1->setValue(0);
    QCOMPARE(majorTickRows().last(), frmGraph1::px(p.gh + 100));
    QVERIFY(count(frmGraph1::px(p.H - 150), kGrid, p.left(), p.right()) > 0); // the bottom axis
    // Zoom 4 keeps the relative place: still at the bottom.
    g_frmGraph1->Slider1->setValue(4);
    QCOMPARE(g_frmGraph1->FlatScrollBar1->value(), 0);
    // Back to 1: the whole scale again.
    g_frmGraph1->Slider1->setValue(1);
    QVERIFY(!g_frmGraph1->FlatScrollBar1->isEnabled());
    QCOMPARE(majorTickRows().size(), 6);
}

void TestGraph::keys()
{
    AppFixture f;
    openGraph(f);
    g_frmGraph1->Picture1->setFocus();
    QTest::keyClick(g_frmGraph1->Picture1, Qt::Key_Up, Qt::ShiftModifier);
    QTest::keyClick(g_frmGraph1->Picture1, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(g_frmGraph1->Slider1->value(), 3);
    QTest::keyClick(g_frmGraph1->Picture1, Qt::Key_X, Qt::AltModifier);
    QCOMPARE(g_frmGraph1->Slider1->value(), 2);
    QTest::keyClick(g_frmGraph1->Picture1, Qt::Key_Z); // without a modifier: nothing
    QCOMPARE(g_frmGraph1->Slider1->value(), 2);
    // Plain Up and Down scroll by the small change, and each press goes on from the last.
    const int start = g_frmGraph1->lngScrollValue;
    const int small = g_frmGraph1->FlatScrollBar1->singleStep();
    QTest::keyClick(g_frmGraph1->Picture1, Qt::Key_Up);
    QTest::keyClick(g_frmGraph1->Picture1, Qt::Key_Up);
    QCOMPARE(g_frmGraph1->lngScrollValue, start - 2 * small);
    QCOMPARE(g_frmGraph1->FlatScrollBar1->value(), start - 2 * small);
    QTest::keyClick(g_frmGraph1->Picture1, Qt::Key_Down);
    QCOMPARE(g_frmGraph1->lngScrollValue, start - small);
    // Not past the ends.
    for (int i = 0; i < 200; ++i)
        QTest::keyClick(g_frmGraph1->Picture1, Qt::Key_Down);
    QCOMPARE(g_frmGraph1->lngScrollValue, 0);
    // The window takes these keys before its controls: a channel box, the zoom slider, a
    // button or the scroll bar with the focus does nothing of its own with them.
    for (QWidget *control : std::initializer_list<QWidget *>{g_frmGraph1->Check1[4], g_frmGraph1->Slider1,
                                                             g_frmGraph1->Command2[1], g_frmGraph1->FlatScrollBar1}) {
        control->setFocus(Qt::TabFocusReason);
        QTest::keyClick(control, Qt::Key_Up);
        QCOMPARE(g_frmGraph1->Slider1->value(), 2);
        QCOMPARE(g_frmGraph1->lngScrollValue, -small);
        QTest::keyClick(control, Qt::Key_Down);
        QCOMPARE(g_frmGraph1->lngScrollValue, 0);
        QCOMPARE(control->window()->focusWidget(), control);
        QTest::keyClick(control, Qt::Key_Up, Qt::ShiftModifier); // the zoom then focuses the plot
        QTest::keyClick(control, Qt::Key_Down, Qt::ShiftModifier);
        QCOMPARE(g_frmGraph1->Slider1->value(), 2);
    }
    QVERIFY(g_frmGraph1->Check1[4]->isChecked());
}

void TestGraph::resizeLimits()
{
    AppFixture f;
    openGraph(f);
    auto *sub = qobject_cast<QMdiSubWindow *>(g_frmGraph1->parentWidget());
    sub->resize(TwipsToPx(3000), TwipsToPx(2000));
    QCOMPARE(sub->size(), QSize(TwipsToPx(kGraphMinWidth), TwipsToPx(kGraphMinHeight)));
    sub->resize(TwipsToPx(30000), TwipsToPx(30000));
    QCOMPARE(sub->size(), QSize(TwipsToPx(kGraphMaxWidth), TwipsToPx(kGraphMaxHeight)));
}

void TestGraph::unchangedValueDoesNotRedraw()
{
    AppFixture f;
    openGraph(f);
    reading(QStringLiteral("0200"));
    // A mark on the canvas stays as long as nothing redraws it.
    const_cast<QImage &>(canvas()).setPixelColor(3, 3, QColor(1, 2, 3));
    reading(QStringLiteral("0200"));
    Sleep(1000);
    QCOMPARE(canvas().pixelColor(3, 3), QColor(1, 2, 3));
    reading(QStringLiteral("0201"));
    QVERIFY(canvas().pixelColor(3, 3) != QColor(1, 2, 3));
}

void TestGraph::committedCellMovesItsLine()
{
    AppFixture f;
    openGraph(f);
    setThresholds(1, QStringLiteral("4.00"), QStringLiteral("1.00"));
    const Plot p;
    QVERIFY(count(p.row(4.0), kRed) > 0);
    // The user commits 3.00 in "最大値" of Out 1: the graph follows at once.
    g_frmMain1->MSFlexGrid1->setRow(1);
    g_frmMain1->MSFlexGrid1->setCol(1);
    g_frmMain1->startGridEdit();
    g_frmMain1->Text1->setText(QStringLiteral("3"));
    QTest::keyClick(g_frmMain1->Text1, Qt::Key_Return);
    QCOMPARE(g_frmMain1->MSFlexGrid1->TextMatrix(1, 1), QStringLiteral("3.00"));
    QCOMPARE(count(p.row(4.0), kRed), 0);
    QVERIFY(count(p.row(3.0 / 0.0048875 * 0.0048875), kRed) > 0);
}

void TestGraph::placeRecordAndReopening()
{
    AppFixture f;
    f.startSeeded();
    // No record: below the editor with the right edges in line.
    g_subFormPosDefaultSet(-1);
    g_subMenuCommand(11);
    QVERIFY(g_frmGraph1);
    const QWidget *sub = g_frmGraph1->parentWidget();
    const QWidget *editor = g_frmMain1->subWindow();
    QCOMPARE(sub->geometry().top(), editor->geometry().bottom() + 1);
    QCOMPARE(sub->geometry().right(), editor->geometry().right());
    g_subMenuCommand(50);
    QCOMPARE(g_frmMdi1->menu_Graph->text(), QStringLiteral("ｸﾞﾗﾌｨｶﾙ表示を閉じる(&G)"));
    g_subMenuCommand(11); // closes it, recorded as closed
    QVERIFY(!g_frmGraph1);
    QCOMPARE(g_FormPos[idGraph].State, 0);
    // A record with a negative place: moved to 0.
    g_subFormPosDefaultSet(0);
    g_subFormPosSet(idGraph, FormPos{6000, -300, -45, 7000, 0});
    g_frmMdi1->Toolbar1_ButtonClick(QStringLiteral("graph"));
    QCOMPARE(g_frmGraph1->parentWidget()->pos(), QPoint(0, 0));
    QCOMPARE(g_frmGraph1->parentWidget()->size(), QSize(TwipsToPx(7000), TwipsToPx(6000)));
    // Open at the exit: back at the next start, where it was.
    g_frmGraph1->parentWidget()->move(40, 50);
    f.dlg.answers << vbNo;
    g_frmMain1->requestClose();
    f.stopApp();
    f.startApp();
    QVERIFY(g_frmGraph1);
    QCOMPARE(g_frmGraph1->parentWidget()->pos(), QPoint(40, 50));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestGraph::plotReadsAsText()
{
    // A screen reader reads the plot as a short text of its level and thresholds, the
    // caption as its description; every label of the window reads its value.
    AppFixture f;
    openGraph(f);
    setThresholds(1, QStringLiteral("4.00"), QStringLiteral("1.00"));
    setThresholds(2, QStringLiteral("3.00"), QStringLiteral("2.00"));
    g_frmGraph1->Command2[0]->click(); // the channels hidden are not read either
    g_frmGraph1->Check1[0]->click();
    g_frmGraph1->Check1[1]->click();
    reading(QStringLiteral("0200"));
    QAccessibleInterface *plot = accessibleNode(g_frmGraph1, g_frmGraph1->Picture1);
    QVERIFY(plot);
    QCOMPARE(plot->text(QAccessible::Description), QStringLiteral("ｸﾞﾗﾌｨｶﾙ表示"));
    QCOMPARE(plot->text(QAccessible::Name), QStringLiteral("ﾚﾍﾞﾙﾒｰﾀｰ 2.50V、ch1 最大値 4.00V 最小値 1.00V、ch2 最大値 3.00V 最小値 2.00V"));
    QVERIFY2(unreadableValues(g_frmGraph1).isEmpty(), qPrintable(unreadableValues(g_frmGraph1).join(QLatin1Char('\n'))));
    // It follows a new reading and a new type.
    reading(QStringLiteral("0300"));
    QVERIFY(plot->text(QAccessible::Name).startsWith(QStringLiteral("ﾚﾍﾞﾙﾒｰﾀｰ 3.75V、")));
    setType("03");
    setThresholds(2, QStringLiteral("1.50"));
    reading(QStringLiteral("0100"));
    QCOMPARE(plot->text(QAccessible::Name), QStringLiteral("ﾚﾍﾞﾙﾒｰﾀｰ 3.75M、ch1 5.00M、ch2 1.50M"));
}

// ---------------------------------------------------------------- colours

void TestGraph::colourFile()
{
    AppFixture f;
    f.startSeeded();
    const QString clr = AppFixture::dataFile(QStringLiteral("clr.ini"));
    QVERIFY(!QFile::exists(clr));
    QCOMPARE(g_lngColor[9], 8454143);
    // Other numbers in 11 to 20 survive a load and a save.
    AppFixture::writeFile(clr, "\"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21\"\r\n");
    QVERIFY(LoadColorFile());
    QCOMPARE(g_lngColor[20], 21);
    QVERIFY(SaveColorFile());
    QCOMPARE(AppFixture::readFile(clr), QByteArray("\"1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21\"\r\n"));
    // Anything but 21 integers leaves the colours as they were.
    for (const QByteArray &bad : {QByteArray("\"1,2,3\"\r\n"), QByteArray("1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21\r\n"),
                                  QByteArray("\"1,2,3,4,5,6,7,8,9,10,x,12,13,14,15,16,17,18,19,20,21\"\r\n")}) {
        AppFixture::writeFile(clr, bad);
        QVERIFY(!LoadColorFile());
        QCOMPARE(g_lngColor[20], 21);
    }
    // A failed save says so.
    g_subDataPathSet(AppFixture::dataFile(QStringLiteral("gone/")));
    f.dlg.answers << vbOK;
    QVERIFY(!SaveColorFile());
    QCOMPARE(boxOf(f.dlg.boxes.last()), box(QStringLiteral("色設定ファイルの保存"), QStringLiteral("Path not found : Error.No = 76"), vbOKOnly, vbCritical));
}

void TestGraph::colourWindow()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(11);
    const QString clr = AppFixture::dataFile(QStringLiteral("clr.ini"));
    const QString ask = QStringLiteral("変更は保存されていません。\r\nこのまま[OK]すると画面上に変更は反映されますが、次回起動時保存された色設定で表示されます。\r\nよろしいですか？");
    auto run = [&](const std::function<void(frmColorSetting1 *)> &act) {
        f.dlg.modalHandler = [act](QDialog *d) {
            auto *w = qobject_cast<frmColorSetting1 *>(d);
            QVERIFY(w);
            act(w);
        };
        g_subMenuCommand(32);
    };
    // The list, and "色選択" with nothing selected: a warning and no dialog.
    run([&](frmColorSetting1 *w) {
        QCOMPARE(w->windowTitle(), QStringLiteral("色設定 - ｸﾞﾗﾌｨｶﾙ表示ﾊﾟﾈﾙ"));
        QCOMPARE(w->List1->count(), 11);
        QCOMPARE(w->List1->item(0)->text(), QStringLiteral("背景色"));
        QCOMPARE(w->List1->item(3)->text(), QStringLiteral("ch3 線色"));
        QCOMPARE(w->List1->item(10)->text(), QStringLiteral("罫線 線色"));
        f.dlg.answers << vbOK;
        w->Command1->click();
        QCOMPARE(boxOf(f.dlg.boxes.last()), box(QStringLiteral("色選択"), QStringLiteral("変更したい要素をﾘｽﾄ上で選択してください"), vbOKOnly, vbExclamation));
        w->Command3[1]->click();
    });
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText()); // no colour dialog was opened
    // Selecting an element and OK still asks; a choice arrives as 0x00BBGGRR.
    run([&](frmColorSetting1 *w) {
        w->List1->setCurrentRow(9);
        emit w->List1->itemClicked(w->List1->item(9));
        f.dlg.colorAnswers << quint32(0x00112233);
        w->Command1->click();
        QCOMPARE(w->lngWorkColor[9], 0x00112233);
        QCOMPARE(g_lngColor[9], 8454143); // not yet
        f.dlg.answers << vbOK;
        w->Command3[0]->click();
        QCOMPARE(boxOf(f.dlg.boxes.last()), box(g_strAppTitle, ask, vbOKCancel, vbQuestion));
    });
    QCOMPARE(g_lngColor[9], 0x00112233);
    QVERIFY(!QFile::exists(clr)); // applied, not saved
    // "初期値" then "ｷｬﾝｾﾙ" changes nothing.
    run([&](frmColorSetting1 *w) {
        w->Command2[2]->click();
        QCOMPARE(w->lngWorkColor[9], 8454143);
        w->Command3[1]->click();
    });
    QCOMPARE(g_lngColor[9], 0x00112233);
    // "色設定保存": the file, Cancel disabled, and OK applies without a question.
    run([&](frmColorSetting1 *w) {
        w->Command2[2]->click();
        f.dlg.answers << vbOK;
        w->Command2[1]->click();
        QCOMPARE(boxOf(f.dlg.boxes.last()), box(QStringLiteral("色設定保存"), QStringLiteral("色設定を保存しました。"), vbOKOnly, vbInformation));
        QVERIFY(!w->Command3[1]->isEnabled());
        const int boxes = int(f.dlg.boxes.size());
        w->Command3[0]->click();
        QCOMPARE(int(f.dlg.boxes.size()), boxes);
    });
    QCOMPARE(AppFixture::readFile(clr),
             QByteArray("\"0,255,65535,65280,16711680,16776960,16711935,16777215,26163,8454143,6710886,0,0,0,0,0,0,0,0,0,0\"\r\n"));
    QCOMPARE(g_lngColor[9], 8454143);
    // "色設定読込" takes the file and disables Cancel.
    AppFixture::writeFile(clr, "\"255,255,65535,65280,16711680,16776960,16711935,16777215,26163,8454143,6710886,0,0,0,0,0,0,0,0,0,0\"\r\n");
    run([&](frmColorSetting1 *w) {
        w->Command2[0]->click();
        QCOMPARE(w->lngWorkColor[0], 255);
        QVERIFY(!w->Command3[1]->isEnabled());
        f.dlg.answers << vbOK;
        w->Command3[0]->click();
    });
    // The graph shows the colours applied: a red background.
    QCOMPARE(g_frmGraph1->canvas().pixelColor(g_frmGraph1->canvas().width() - 20, 20), QColor(255, 0, 0));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestGraph::colourWindowOpensWithNothingCurrent()
{
    // As on a desktop (the window runs its own loop and takes the focus; boxes are real and
    // take it too): the list has the focus, yet no element is current until the user picks
    // one, so "色選択" warns and OK asks nothing.
    AppFixture f;
    f.startSeeded();
    f.dlg.realModal = true;
    f.dlg.realBoxes = true;
    int step = 0;
    f.dlg.modalHandler = [&](QDialog *d) {
        auto *w = qobject_cast<frmColorSetting1 *>(d);
        QVERIFY(w);
        QTRY_VERIFY(w->List1->hasFocus());
        QCOMPARE(w->List1->currentRow(), -1);
        if (step++ == 0) {
            f.dlg.answers << vbOK;
            w->Command1->click();
            QCOMPARE(boxOf(f.dlg.boxes.last()), box(QStringLiteral("色選択"), QStringLiteral("変更したい要素をﾘｽﾄ上で選択してください"), vbOKOnly, vbExclamation));
            QTRY_VERIFY(w->List1->hasFocus()); // back from the box
            QCOMPARE(w->List1->currentRow(), -1);
            w->Command3[0]->click(); // OK, nothing touched: no question
            return;
        }
        // The keyboard picks the first element.
        QTest::keyClick(w->List1, Qt::Key_Down);
        QCOMPARE(w->List1->currentRow(), 0);
        QVERIFY(w->List1->item(0)->isSelected());
        QCOMPARE(w->Picture1->palette().color(QPalette::Window), QColor(0, 0, 0));
        w->Command3[1]->click();
    };
    g_subMenuCommand(32);
    QCOMPARE(f.dlg.boxes.size(), 1);
    g_subMenuCommand(32);
    QCOMPARE(step, 2);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(g_lngColor[0], 0);
}

void TestGraph::colourDialogForm()
{
    for (quint32 c : {0x00000000u, 0x000000FFu, 0x0000FF00u, 0x00FF0000u, 0x00123456u}) {
        const QColor q = QtDialogs::qtColor(c);
        QCOMPARE(q.red(), int(c & 0xFF));
        QCOMPARE(q.blue(), int((c >> 16) & 0xFF));
        QCOMPARE(QtDialogs::classicColor(q), c);
    }
}

QTEST_MAIN(TestGraph)
#include "tst_graph.moc"
