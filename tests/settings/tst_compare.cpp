// The settings as the editor names and shows them, the differences of two images, the
// image the editor gives back, the comparison with the controller (ﾂｰﾙ > ｺﾝﾄﾛｰﾗとの比較)
// and the settings sheet on paper (ﾌｧｲﾙ > 出力 > 印刷).
#include "support/AccessibleTree.h"
#include "support/DataFiles.h"
#include "support/LinkHelpers.h"
#include "support/PdfText.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "core/modMain1.h"
#include "editor/frmCompare1.h"
#include "editor/frmMain1.h"
#include "link/frmCommMsg1.h"
#include "link/modLinkState.h"
#include "link/modProtocol.h"
#include "link/modTransfer.h"
#include "monitor/modMonitor1.h"
#include "doubles/PictureCheck.h"
#include "settings/modCompare.h"
#include "settings/modSheet.h"
#include "settings/modUserFile.h"

#include <QFileInfo>
#include <QTimer>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {
using Cells = QMap<int, QByteArray>;
using Image = std::unique_ptr<MemCell[]>;

// An image from its settings cells: every other cell "00", the marker FF.
Image imageOf(const Cells &cells)
{
    Image image(new MemCell[kImageCells]);
    FileError e;
    Cells all = cells;
    if (!all.contains(cellMarker))
        all.insert(cellMarker, "FF");
    if (!ParseUserFile(userDataFile(all), image.get(), e))
        qFatal("image not parsed");
    return image;
}

Cells sampleCells(const QByteArray &inputCode) { return sampleSettings(inputCode); }

QList<SettingItem> itemsOf(const Cells &cells)
{
    QList<SettingItem> items;
    FileError e;
    if (!SettingsOf(imageOf(cells).get(), items, e))
        qFatal("settings not shown");
    return items;
}

const SettingItem *find(const QList<SettingItem> &items, const QString &name)
{
    for (const SettingItem &s : items)
        if (s.name == name)
            return &s;
    return nullptr;
}

QStringList diffLines(const QList<SettingDiff> &d)
{
    QStringList l;
    for (const SettingDiff &s : d)
        l << s.name + QLatin1Char('|') + s.a + QLatin1Char('|') + s.b;
    return l;
}

// What the comparison window showed: its message and each row of its list as read by
// assistive technology ("name|editor|controller").
struct Shown {
    bool opened = false;
    QString title, what, message;
    QStringList rows;
    QStringList unread;
};

void readComparison(QDialog *dlg, Shown &out, const QString &shot, bool close = true)
{
    auto *w = qobject_cast<frmCompare1 *>(dlg);
    QVERIFY(w);
    w->show();
    out.opened = true;
    out.title = w->windowTitle();
    out.what = w->Label1->text();
    out.message = w->Label2->text();
    out.unread = unreadableValues(w);
    if (w->List1->isVisible()) {
        QAccessibleInterface *list = accessibleNode(w, w->List1);
        QVERIFY(list && list->tableInterface());
        QAccessibleTableInterface *table = list->tableInterface();
        QCOMPARE(table->columnCount(), 3);
        QCOMPARE(table->columnDescription(1), QStringLiteral("編集中"));
        QCOMPARE(table->columnDescription(2), QStringLiteral("ｺﾝﾄﾛｰﾗ"));
        for (int r = 0; r < table->rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < 3; ++c)
                cells << table->cellAt(r, c)->text(QAccessible::Name);
            out.rows << cells.join(QLatin1Char('|'));
        }
    }
    if (!shot.isEmpty()) {
        const QImage img = w->grab().toImage();
        QVERIFY(PictureShowsSomething(img));
        QVERIFY(img.save(screenshotFolder() + QLatin1Char('/') + shot));
    }
    if (!close)
        return;
    // The keyboard closes it: 閉じる is the default button.
    QTest::keyClick(w, Qt::Key_Return);
    QVERIFY(!w->isVisible());
    QCOMPARE(w->choice(), int(frmCompare1::ChoiceClose));
}
} // namespace

class TestCompare : public QObject {
    Q_OBJECT
private slots:
    void namesAndValuesAreTheEditors_data();
    void namesAndValuesAreTheEditors();
    void differences_data();
    void differences();
    void everyByteIsNamed_data();
    void everyByteIsNamed();
    void roundTripIsWhatTheEditorSaves_data();
    void roundTripIsWhatTheEditorSaves();
    void comparisonWithTheController_data();
    void comparisonWithTheController();
    void comparisonEntryFollowsTheLink();
    void comparisonWindowByKeyboard();
    void printedSheetHoldsEveryValue();
};

void TestCompare::namesAndValuesAreTheEditors_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("0-5V") << QByteArray("00");
    QTest::newRow("0-10V") << QByteArray("01");
    QTest::newRow("4-20mA") << QByteArray("02");
    QTest::newRow("5M") << QByteArray("03");
    QTest::newRow("10M") << QByteArray("04");
}

void TestCompare::namesAndValuesAreTheEditors()
{
    // Every value the editor shows, under the captions the editor shows it with.
    QFETCH(QByteArray, code);
    AppFixture f;
    f.startSeeded();
    const Cells cells = sampleCells(code);
    const QList<SettingItem> items = itemsOf(cells);
    const Image image = imageOf(cells);
    std::copy(image.get(), image.get() + kImageCells, UserData);
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    MSFlexGrid *g = g_frmMain1->MSFlexGrid1;
    QStringList expected{QStringLiteral("入力選択=") + InputTypeOf(g_intInputType).optionCaption};
    for (int c = 1; c < g->Cols(); ++c)
        for (int r = 1; r < g->Rows(); ++r)
            expected << g->TextMatrix(0, c).trimmed() + QLatin1Char(' ') + g->TextMatrix(r, 0) + QLatin1Char('=') +
                            g->TextMatrix(r, c) + QLatin1Char(' ') + g_strUnit;
    if (g_frmMain1->DetectLimitFrame->isVisibleTo(g_frmMain1))
        expected << g_frmMain1->DetectLimitFrame->title() + QLatin1Char('=') + g_frmMain1->Label10->text() +
                        QLatin1Char(' ') + g_frmMain1->Label5->text();
    expected << g_frmMain1->HysFrame->title() + QLatin1Char('=') + g_frmMain1->Label2[4]->text() + QLatin1Char(' ') +
                    g_frmMain1->HysUnit->text();
    for (int n = 0; n < 8; ++n)
        if (g_frmMain1->Check1[n]->isVisibleTo(g_frmMain1))
            expected << g_frmMain1->RelayFrame->title() + QLatin1Char(' ') + g_frmMain1->OutLabel[n]->text() +
                            QLatin1Char('=') + g_frmMain1->Check1[n]->text();
    QStringList shown;
    for (const SettingItem &s : items)
        if (s.shown)
            shown << s.name + QLatin1Char('=') + s.display();
    QCOMPARE(shown, expected);
    // What it carries without showing: the hidden labels, and the bytes nobody reads.
    QCOMPARE(find(items, QStringLiteral("スケーリング2"))->text, g_frmMain1->Label2[1]->text());
    QCOMPARE(find(items, QStringLiteral("オフセット　５V"))->text, g_frmMain1->Label2[3]->text());
    QCOMPARE(find(items, QStringLiteral("ｱﾄﾞﾚｽ 2C"))->text, QStringLiteral("12"));
    // Reading another image leaves the editor's type alone.
    QList<SettingItem> other;
    FileError e;
    const qint16 type = g_intInputType;
    QVERIFY(SettingsOf(imageOf(sampleCells(code == "04" ? "00" : "04")).get(), other, e));
    QCOMPARE(g_intInputType, type);
}

void TestCompare::differences_data()
{
    QTest::addColumn<QByteArray>("codeB");
    QTest::addColumn<Cells>("changes");
    QTest::addColumn<QStringList>("expected");
    Cells three;
    putCount(three, ChMaxCell(3), 600);
    putCount(three, ChMinCell(5), 0);
    putCount(three, cellHysteresis, 60);
    QTest::newRow("three values") << QByteArray("01") << three
                                  << QStringList{QStringLiteral("Out 3 最大値|3.53 V|5.87 V"),
                                                 QStringLiteral("Out 5 最小値|4.13 V|0.00 V"),
                                                 QStringLiteral("ﾋｽﾃﾘｼｽ|0.40 V|0.59 V")};
    Cells near;
    putCount(near, ChMinCell(1), 23); // 22 and 23 both show 0.22 in 0-10V
    QTest::newRow("one text, two counts") << QByteArray("01") << near
                                          << QStringList{QStringLiteral("Out 1 最小値|0.22 V [22]|0.22 V [23]")};
    QTest::newRow("NC box and a carried byte")
        << QByteArray("01") << Cells{{cellRelayMode, "A4"}, {0x2E, "7F"}}
        << QStringList{QStringLiteral("出力反転 1|NC|NO"), QStringLiteral("ｱﾄﾞﾚｽ 2E|00|7F")};
    QTest::newRow("another input type") << QByteArray("04") << Cells() << QStringList();
    QTest::newRow("the same") << QByteArray("01") << Cells() << QStringList();
}

void TestCompare::differences()
{
    QFETCH(QByteArray, codeB);
    QFETCH(Cells, changes);
    QFETCH(QStringList, expected);
    Cells b = sampleCells(codeB);
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        b[it.key()] = it.value();
    const QList<SettingItem> a = itemsOf(sampleCells("01"));
    const QList<SettingItem> other = itemsOf(b);
    const QStringList lines = diffLines(DiffSettings(a, other));
    if (codeB == "01") {
        QCOMPARE(lines, expected);
        QCOMPARE(DiffSettings(other, a).size(), expected.size());
        return;
    }
    // Another input type: its name and unit, and the values of each layout on its side only.
    QCOMPARE(lines.first(), QStringLiteral("入力選択|0 - 10V|10M"));
    QVERIFY(lines.contains(QStringLiteral("Out 2 最小値|1.19 V|")));
    // The bounds the distance modes derive are carried under their window-mode names.
    QVERIFY(lines.contains(QStringLiteral("Out 8 最小値|7.06 V|2.94 M")));
    QVERIFY(lines.contains(QStringLiteral("増水 距離||3.54 M")));
    QVERIFY(lines.contains(QStringLiteral("ﾋｽﾃﾘｼｽ|0.40 V|0.40 M")));
    QVERIFY(!lines.contains(QStringLiteral("出力反転 1|NC|NC")));
}

void TestCompare::everyByteIsNamed_data()
{
    QTest::addColumn<QByteArray>("code");
    for (const char *code : {"00", "01", "02", "03", "04"})
        QTest::newRow(code) << QByteArray(code);
}

void TestCompare::everyByteIsNamed()
{
    // Each of the 48 bytes, changed on its own (its lowest or its highest bit), is a
    // difference under a setting that holds it, and under no other (but a changed input
    // code, which changes how everything is shown).
    QFETCH(QByteArray, code);
    const Cells cells = sampleCells(code);
    const Image image = imageOf(cells);
    const QList<SettingItem> base = itemsOf(cells);
    QVERIFY(DiffSettings(base, base).isEmpty());
    for (int a = 0; a < kSettingsCells; ++a) {
        QStringList holders;
        for (const SettingItem &s : base)
            if (s.cells >> a & 1)
                holders << s.name;
        QVERIFY2(!holders.isEmpty(), qPrintable(QStringLiteral("cell %1 is held by no setting").arg(a)));
        for (int bit : {0x01, 0x80}) {
            Cells changed = cells;
            changed[a] = hexDigits(image[a].data().toInt(nullptr, 16) ^ bit, 2);
            QStringList named;
            for (const SettingDiff &d : DiffSettings(base, itemsOf(changed)))
                named << d.name;
            const QString what = QStringLiteral("cell %1 bit %2: %3").arg(a).arg(bit).arg(named.join(QLatin1Char(',')));
            QVERIFY2(std::any_of(holders.cbegin(), holders.cend(), [&](const QString &h) { return named.contains(h); }),
                     qPrintable(what));
            if (a != cellInputCode)
                for (const QString &n : named)
                    QVERIFY2(holders.contains(n), qPrintable(what));
        }
    }
}

void TestCompare::roundTripIsWhatTheEditorSaves_data()
{
    QTest::addColumn<Cells>("cells");
    Cells odd = sampleCells("07"); // an unknown code is type 1, written back as 00
    odd[cellMarker] = "00";
    putCount(odd, cellScaling1, 0); // shown and written as 1
    odd[cellRelayMode] = "a5";
    QTest::newRow("window mode, odd bytes") << odd;
    Cells dist = sampleCells("03"); // the editor derives the bounds it does not show
    putCount(dist, ChMinCell(7), 5);
    putCount(dist, ChMaxCell(1), 9);
    QTest::newRow("distance mode") << dist;
}

void TestCompare::roundTripIsWhatTheEditorSaves()
{
    // Open a file in the editor and save it: those bytes are the round trip's.
    QFETCH(Cells, cells);
    AppFixture f;
    f.startSeeded();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("site.qvd"));
    QVERIFY(writeBytes(path, userDataFile(cells)));
    g_intSaved = 1;
    f.dlg.fileAnswers << path;
    g_subFileOpen(QString());
    QCOMPARE(g_strUserFile, path);
    QVERIFY(g_funcFileSave());
    const QByteArray saved = readBytes(path);
    Image file(new MemCell[kImageCells]);
    FileError e;
    QVERIFY(ParseUserFile(userDataFile(cells), file.get(), e));
    QVERIFY(EditorRoundTrip(file.get(), e));
    QCOMPARE(UserFileBytes(file.get()), saved);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestCompare::comparisonWithTheController_data()
{
    // The editor's values, the window's choice ("close", "write", "take"), the rows it lists.
    QTest::addColumn<QString>("editor");
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QStringList>("rows");
    const QStringList three{QStringLiteral("Out 3 最大値|6.00 V|3.53 V"), QStringLiteral("Out 5 最小値|0.00 V|4.13 V"),
                            QStringLiteral("出力反転 2|NC|NO")};
    QTest::newRow("equal") << "file" << "close" << QStringList();
    QTest::newRow("three differences") << "edited" << "close" << three;
    QTest::newRow("written from the window") << "edited" << "write" << three;
    QTest::newRow("taken into the editor") << "edited" << "take" << three;
    // A new controller read afresh: the editor shows its scalings of 0 as 1, and its write
    // sends them as 1.
    QTest::newRow("a new controller read") << "read" << "close"
                                           << QStringList{QStringLiteral("スケーリング1|1|0"), QStringLiteral("スケーリング2|1|0")};
    QTest::newRow("the read fails") << "file" << "fails" << QStringList();
}

void TestCompare::comparisonWithTheController()
{
    QFETCH(QString, editor);
    QFETCH(QString, choice);
    QFETCH(QStringList, rows);
    AppFixture f;
    startConnected(f);
    CtrlModel &m = f.sim.model();
    const Cells cells = sampleCells("01");
    const Image controller = imageOf(editor == QLatin1String("read") ? Cells() : cells);
    for (int a = 0; a < kSettingsCells; ++a)
        m.setCell(a, quint8(controller[a].data().toUInt(nullptr, 16)));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("site.qvd"));
    if (editor == QLatin1String("read")) {
        // データ読込 of the controller into the editor.
        g_intSaved = 1;
        g_frmMain1->Command1_Click(0);
        QCOMPARE(g_typSettingsSource.port, 1);
    } else {
        // The editor holds what the controller holds (read through a file), then edits.
        QVERIFY(writeBytes(path, userDataFile(cells)));
        g_intSaved = 1;
        f.dlg.fileAnswers << path;
        g_subFileOpen(QString());
    }
    if (editor == QLatin1String("edited")) {
        MSFlexGrid *g = g_frmMain1->MSFlexGrid1;
        g->setTextMatrix(1, 3, QStringLiteral("6.00"));
        g->setTextMatrix(2, 5, QStringLiteral("0.00"));
        g_frmMain1->Check1[1]->click();
        g_intSaved = 0;
    }
    if (choice == QLatin1String("fails")) {
        m.setFault(Fault::HangUp, 3);
        f.dlg.answers << vbCancel << vbCancel; // the send's box, then the transfer's
    }
    if (choice == QLatin1String("take"))
        f.dlg.answers << vbNo; // the unsaved edits are not saved
    if (choice == QLatin1String("write"))
        f.dlg.answers << vbOK; // "データは正常に書き込まれました。"
    const EditorTexts before = g_frmMain1->editorTexts();
    const QByteArray userBefore = UserFileBytes(UserData);
    const qint16 savedBefore = g_intSaved;
    const QByteArray tempBefore = readBytes(g_strTempFile);
    QString progressCaption;
    f.clock.scheduleIn(5000, [&] {
        if (g_frmCommMsg1)
            progressCaption = g_frmCommMsg1->windowTitle() + QLatin1Char('/') + g_frmCommMsg1->Label1->text();
    });
    Shown shown;
    QPoint shownCell;
    f.dlg.modalHandler = [&](QDialog *d) {
        auto *w = qobject_cast<frmCompare1 *>(d);
        QVERIFY(w);
        // Each row selected shows its cell in the editor's grid (the NC box has none).
        // The cell is marked while the window is open, where the grid without the focus
        // shows nothing of its current cell.
        MSFlexGrid *g = g_frmMain1->MSFlexGrid1;
        const QColor mark = g->palette().color(QPalette::Highlight);
        auto markedAt = [g, mark](int row, int col) {
            const QRect cell = g->visualRect(g->model()->index(row, col));
            return g->viewport()->grab().toImage().pixelColor(cell.left() + 1, cell.center().y()) == mark;
        };
        for (int r = 0; r < w->List1->topLevelItemCount(); ++r) {
            w->List1->setCurrentItem(w->List1->topLevelItem(r));
            // The grid's windows have a cell; the NC boxes and the hidden scalings have none.
            const bool hasCell = w->List1->currentItem()->text(0).startsWith(QStringLiteral("Out "));
            QCOMPARE(g->markedRow(), hasCell ? g->Row() : -1);
            QCOMPARE(g->markedCol(), hasCell ? g->Col() : -1);
            if (w->List1->currentItem()->text(0) == QStringLiteral("Out 5 最小値")) {
                shownCell = QPoint(g->Col(), g->Row());
                QVERIFY(!g->hasFocus());
                QVERIFY(markedAt(2, 5));
                QVERIFY(!markedAt(1, 3));
            }
        }
        if (choice == QLatin1String("close")) {
            readComparison(d, shown, QStringLiteral("compare_%1.png").arg(QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('_'))));
            return;
        }
        readComparison(d, shown, QString(), false);
        // The button of the choice, found by its accessible name.
        const QString caption = choice == QLatin1String("write") ? QStringLiteral("ｺﾝﾄﾛｰﾗへ書込") : QStringLiteral("ｺﾝﾄﾛｰﾗの値を取込");
        QAccessibleInterface *button = nullptr;
        for (QAccessibleInterface *node : accessibleTree(w))
            if (node->role() == QAccessible::Button && node->text(QAccessible::Name) == caption)
                button = node;
        QVERIFY2(button && button->actionInterface(), qPrintable(caption));
        button->actionInterface()->doAction(QAccessibleActionInterface::pressAction()); // a click after 100 ms
        QTRY_VERIFY(!w->isVisible());
    };
    m.clearLog();
    QVERIFY(g_frmMdi1->menu_Compare->isEnabled());
    g_frmMdi1->menu_Compare->trigger();

    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QVERIFY(f.dlg.answers.isEmpty());
    QCOMPARE(progressCaption, QStringLiteral("ﾃﾞｰﾀの読込み/ﾃﾞｰﾀの読込み中"));
    checkSane();
    QByteArrayList frames{"L"};
    for (int a = 0; a < kSettingsCells; ++a)
        frames << FrameRead(a).toLatin1();
    if (choice == QLatin1String("take")) {
        // The controller's values in the editor, the document changed, the source the read.
        Image now(new MemCell[kImageCells]);
        EditorImage(now.get());
        for (int a = 0; a < kSettingsCells; ++a)
            QCOMPARE(now[a].data(), controller[a].data());
        QCOMPARE(g_intSaved, qint16(0));
        QCOMPARE(g_typSettingsSource.port, 1);
        QCOMPARE(UserFileBytes(UserData), readBytes(g_strTempFile));
        QCOMPARE(m.received(), frames);
        return;
    }
    // Otherwise nothing of the editor's changed: its texts, UserData, the document and temp.tmp.
    const EditorTexts after = g_frmMain1->editorTexts();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 9; ++c)
            QCOMPARE(after.cell[r][c], before.cell[r][c]);
    QCOMPARE(g_intSaved, savedBefore);
    if (choice != QLatin1String("write")) { // the write takes the editor's values, as the written one does
        QCOMPARE(UserFileBytes(UserData), userBefore);
        QCOMPARE(readBytes(g_strTempFile), tempBefore);
    }
    if (choice == QLatin1String("fails")) {
        QVERIFY(!shown.opened);
        QCOMPARE(f.dlg.boxes.size(), 2);
        QCOMPARE(f.dlg.boxes[1].caption, QStringLiteral("入力モニターの開始"));
        QCOMPARE(g_intConnectStatus, qint16(0));
        QVERIFY(!g_frmMdi1->menu_Compare->isEnabled());
        return;
    }
    QVERIFY(shown.opened);
    QCOMPARE(shown.title, QStringLiteral("ｺﾝﾄﾛｰﾗとの比較"));
    // The port and the time of the read (the virtual clock's).
    const QString file = editor == QLatin1String("read") ? QStringLiteral("新規.qvd") : QStringLiteral("site.qvd");
    QCOMPARE(shown.what, QStringLiteral("編集中 : %1    ｺﾝﾄﾛｰﾗ : COM1 (%2 読込)")
                             .arg(file, g_funcCompareReadAt().toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"))));
    QVERIFY(g_funcCompareReadAt().isValid() && g_funcCompareReadAt() <= Now());
    QVERIFY2(shown.unread.isEmpty(), qPrintable(shown.unread.join(QLatin1Char('\n'))));
    QCOMPARE(shown.message, rows.isEmpty() ? QStringLiteral("相違はありません。")
                                           : QStringLiteral("%1 件の相違があります。").arg(rows.size()));
    QCOMPARE(shown.rows, rows);
    if (rows.contains(QStringLiteral("Out 5 最小値|0.00 V|4.13 V")))
        QCOMPARE(shownCell, QPoint(5, 2));
    // The mark goes with the window.
    QCOMPARE(g_frmMain1->MSFlexGrid1->markedRow(), -1);
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY(g_frmMdi1->menu_Compare->isEnabled());
    if (choice == QLatin1String("write")) {
        // The editor's write, with its closing box: the controller now holds the editor's values.
        QCOMPARE(f.dlg.boxes.last().text, QStringLiteral("データは正常に書き込まれました。"));
        QCOMPARE(m.received().mid(0, 49), frames);
        QCOMPARE(m.received().count(QByteArray("E")), 1);
        Image now(new MemCell[kImageCells]);
        EditorImage(now.get());
        for (int a = 0; a < kSettingsCells; ++a)
            QCOMPARE(quint8(m.cell(a)), quint8(now[a].data().toUInt(nullptr, 16)));
        return;
    }
    QCOMPARE(m.received(), frames); // read only: no "W" went out
}

void TestCompare::comparisonEntryFollowsTheLink()
{
    AppFixture f;
    f.startSeeded();
    QAction *entry = g_frmMdi1->menu_Compare;
    // In ﾂｰﾙ after 設定 and a separator (other entries may come between), and before the
    // site list, the last.
    const QList<QAction *> tool = g_frmMdi1->menu_Tool->actions();
    QCOMPARE(tool.last(), g_frmMdi1->menu_Sites);
    QCOMPARE(tool.at(tool.size() - 2), entry);
    const qsizetype setting = tool.indexOf(g_frmMdi1->menu_Setting->menuAction());
    QVERIFY(setting >= 0 && tool.at(setting + 1)->isSeparator());
    QCOMPARE(entry->text(), QStringLiteral("ｺﾝﾄﾛｰﾗとの比較(&D)"));
    QVERIFY(!entry->isEnabled());
    g_subMenuCommand(17); // refused while disconnected: nothing is read, no box
    QCOMPARE(f.sim.model().frameCount(), 0);
    g_subMenuCommand(21);
    QVERIFY(entry->isEnabled());
    // A read or write, the lock of an exchange and the running monitor all hold it back.
    g_subTransferRunningSet(true);
    QVERIFY(!entry->isEnabled());
    g_subTransferRunningSet(false);
    g_subCommBusySet(1);
    QVERIFY(!entry->isEnabled());
    g_subCommBusySet(0);
    QVERIFY(entry->isEnabled());
    g_subMonitorOnSet(-1);
    QVERIFY(!entry->isEnabled());
    g_subMonitorOnSet(0);
    g_subMonitorPollingSet(true); // the log filer keeps the poll running
    QVERIFY(!entry->isEnabled());
    g_subMonitorPollingSet(false);
    g_subMenuCommand(50);
    QVERIFY(entry->isEnabled());
    g_subMenuCommand(22);
    QVERIFY(!entry->isEnabled());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestCompare::comparisonWindowByKeyboard()
{
    // The real modal window (a scripted one takes no focus): Tab goes from the list to the
    // two ways to agree and on to 閉じる, each read by its caption, and Space chooses.
    AppFixture f;
    f.startSeeded();
    frmCompare1 dlg(DiffSettings(itemsOf(sampleCells("01")), itemsOf(sampleCells("02"))), QStringLiteral("site.qvd"), 1,
                    Now());
    QStringList focus;
    QTimer::singleShot(50, &dlg, [&] {
        for (int i = 0; i < 6; ++i) {
            QWidget *w = QApplication::focusWidget();
            QAccessibleInterface *node = w ? QAccessible::queryAccessibleInterface(w) : nullptr;
            focus << (node ? node->text(QAccessible::Name) : QStringLiteral("(none)"));
            if (i < 5)
                QTest::keyClick(w, Qt::Key_Tab);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
    });
    dlg.exec();
    QCOMPARE(focus, QStringList({QStringLiteral("相違のある設定"), QStringLiteral("ｺﾝﾄﾛｰﾗへ書込"),
                                 QStringLiteral("ｺﾝﾄﾛｰﾗの値を取込"), QStringLiteral("閉じる"),
                                 QStringLiteral("相違のある設定"), QStringLiteral("ｺﾝﾄﾛｰﾗへ書込")}));
    QCOMPARE(dlg.choice(), int(frmCompare1::ChoiceWrite));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestCompare::printedSheetHoldsEveryValue()
{
    // Ctrl+P prints the editor's values, an unsaved edit included, through the print dialog.
    AppFixture f;
    f.startSeeded();
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("河川A.qvd"));
    QVERIFY(writeBytes(path, userDataFile(sampleCells("01"))));
    g_intSaved = 1;
    f.dlg.fileAnswers << path;
    g_subFileOpen(QString());
    QCOMPARE(g_strUserFile, path);
    g_frmMain1->MSFlexGrid1->setTextMatrix(1, 8, QStringLiteral("9.99"));
    QAction *print = g_frmMdi1->menu_PrintOut;
    QVERIFY(print->isEnabled() && g_frmMdi1->menu_HTMLFile->isEnabled());
    QCOMPARE(print->shortcut(), QKeySequence(QStringLiteral("Ctrl+P")));
    const QString pdf = dir.filePath(QStringLiteral("sheet.pdf"));
    f.dlg.printAnswers << pdf << std::nullopt;
    print->trigger();
    print->trigger(); // cancelled: nothing more happens
    QCOMPARE(f.dlg.printRequests, QStringList({QStringLiteral("河川A.qvd"), QStringLiteral("河川A.qvd")}));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());

    QString why;
    const QString text = pdfText(pdf, &why);
    QVERIFY2(!text.isEmpty(), qPrintable(why));
    for (const QString &expected : {QStringLiteral("Qelvo SoftWare 設定"), QStringLiteral("河川A.qvd"),
                                    QStringLiteral("0 - 10V"), QStringLiteral("設定範囲 0 - 10V"),
                                    Now().toString(QStringLiteral("yyyy/MM/dd"))})
        QVERIFY2(text.contains(expected), qPrintable(expected + QStringLiteral(" missing in:\n") + text));
    const EditorTexts t = g_frmMain1->editorTexts();
    QStringList values;
    for (int n = 1; n <= 8; ++n)
        values << t.cell[1][n] << t.cell[2][n];
    values << t.param[4];
    QVERIFY(values.contains(QStringLiteral("9.99")));
    // Each value as a word of the page, in the editor's order within its row.
    const QStringList words = text.simplified().split(QLatin1Char(' '));
    for (const QString &v : values)
        QVERIFY2(words.contains(v), qPrintable(v + QStringLiteral(" missing in:\n") + text));
    QCOMPARE(int(text.count(QStringLiteral("NC"))), 4); // RelayMode A5
    QCOMPARE(int(text.count(QStringLiteral("NO"))), 4);
    const QString png = screenshotFolder() + QStringLiteral("/printed_sheet.png");
    QVERIFY(pdfFirstPageToPng(pdf, png));
    QImage page(png);
    QVERIFY(PictureShowsSomething(page));
    QVERIFY2(text.contains(QStringLiteral("ﾌｧｲﾙ 河川A.qvd")), qPrintable(text));

    // After データ読込 the values are the controller's: the sheet names the port and the read.
    g_subMenuCommand(21);
    g_intSaved = 1;
    g_frmMain1->Command1_Click(0);
    const QDateTime read = Now();
    f.dlg.printAnswers << pdf;
    print->trigger();
    const QString fromController = pdfText(pdf, &why);
    for (const QString &expected : {QStringLiteral("ｺﾝﾄﾛｰﾗ COM1"), QStringLiteral("読込日時"),
                                    read.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"))})
        QVERIFY2(fromController.contains(expected), qPrintable(expected + QStringLiteral(" missing in:\n") + fromController));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

QTEST_MAIN(TestCompare)
#include "tst_compare.moc"
