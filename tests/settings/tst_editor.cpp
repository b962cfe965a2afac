// The settings editor: both grid layouts, the in-place edit boxes driven through their
// real widgets with every input rule and its message, the NC/NO boxes, "POS", the
// initialisation and the close question after an edit.
#include "support/EditorSuite.h"

#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "platform/Geometry.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QtTest>

namespace {
// Puts a 16-bit count into the two cells at lowCell (low byte first).
void putCount(int lowCell, int count)
{
    const QByteArray h = QByteArray::number(count, 16).toUpper().rightJustified(4, '0');
    UserData[lowCell].setData(QByteArrayView(h).sliced(2, 2));
    UserData[lowCell + 1].setData(QByteArrayView(h).sliced(0, 2));
}

void setType(const char *code)
{
    UserData[cellInputCode].setData(QByteArrayView(code));
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
}

QString ruleMessage(const char *second, const char *third)
{
    return QStringLiteral("入力された値が不正です。\r\n") + QString::fromUtf8(second) + QStringLiteral("\r\n") +
           QString::fromUtf8(third);
}

const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
} // namespace

class TestEditor : public EditorSuite {
    Q_OBJECT
private slots:
    void initialisationFillsListsAndShowsDefaults();
    void windowAndDistanceLayouts();
    void windowModeRules_data();
    void windowModeRules();
    void distanceModeRules_data();
    void distanceModeRules();
    void hysteresisRangeFollowsType_data();
    void hysteresisRangeFollowsType();
    void keyFilterAndEscape();
    void relayBoxes();
    void allNcInDistanceModeStoresFF();
    void posButtonTogglesHeight();
    void editingMakesCloseAskToSave();
    void comingBackToTheWindowKeepsItSaved();
    void everyCommittedValueIsAChange();
};

void TestEditor::initialisationFillsListsAndShowsDefaults()
{
    for (QComboBox *c : g_frmMain1->Combo1) {
        QCOMPARE(c->count(), 8);
        for (int n = 0; n <= 7; ++n)
            QCOMPARE(c->itemText(n), QString::number(n));
        QCOMPARE(c->currentIndex(), 0);
    }
    QCOMPARE(g_intPosArea, qint16(0));
    QCOMPARE(g_frmMain1->windowHeightTwips(), kEditorHeight);
    QCOMPARE(g_intFormOpen[idMain], qint16(-1));
    // The reset image: type 1, every window 0.00, hysteresis 0.00, all outputs NO.
    QCOMPARE(g_frmMain1->Label4->text(), QStringLiteral("設定範囲 0 - 5V"));
    QCOMPARE(grid()->TextMatrix(1, 8), QStringLiteral("0.00"));
    QCOMPARE(g_frmMain1->Label2[4]->text(), QStringLiteral("0.00"));
    QCOMPARE(g_frmMain1->Check1[0]->text(), QStringLiteral("NO"));
    QVERIFY(!g_frmMain1->Text1->isVisible());
}

void TestEditor::windowAndDistanceLayouts()
{
    MSFlexGrid *g = grid();
    QCOMPARE(g->Rows(), 3);
    QCOMPARE(g->Cols(), 9);
    for (int c = 1; c <= 8; ++c)
        QCOMPARE(g->TextMatrix(0, c), QStringLiteral("Out ") + QString::number(c));
    QCOMPARE(g->TextMatrix(1, 0), QStringLiteral("最大値"));
    QCOMPARE(g->TextMatrix(2, 0), QStringLiteral("最小値"));
    QCOMPARE(g->item(0, 3)->textAlignment(), int(Qt::AlignCenter));
    QCOMPARE(g->item(2, 0)->textAlignment(), int(Qt::AlignCenter));
    QVERIFY(!g_frmMain1->DetectLimitFrame->isVisibleTo(g_frmMain1));
    QVERIFY(g_frmMain1->Check1[6]->isVisibleTo(g_frmMain1));
    QVERIFY(g_frmMain1->Picture2[7]->isVisibleTo(g_frmMain1));
    const QSize windowSize = g->size();
    QCOMPARE(windowSize, QSize(TwipsToPx(9 * g->ColWidth0() + 90), TwipsToPx(3 * g->RowHeight0() + 90)));

    clickCell(2, 5); // the current cell moves; a new layout puts it back to row 1, column 1
    QCOMPARE(g->Row(), 2);
    setType("03");
    QCOMPARE(g->Rows(), 2);
    QCOMPARE(g->Cols(), 7);
    const char *levels[6] = {"平常 ", "待機 ", "注意 ", "判断 ", "洪水 ", "増水 "};
    for (int c = 1; c <= 6; ++c)
        QCOMPARE(g->TextMatrix(0, c), QString::fromUtf8(levels[c - 1]));
    QCOMPARE(g->TextMatrix(1, 0), QStringLiteral("距離"));
    QVERIFY(g_frmMain1->DetectLimitFrame->isVisibleTo(g_frmMain1));
    QCOMPARE(g_frmMain1->DetectLimitFrame->title(), QStringLiteral("水位判定上限"));
    QCOMPARE(g_frmMain1->Label5->text(), QStringLiteral("M"));
    for (int i = 6; i < 8; ++i) {
        QVERIFY(!g_frmMain1->Check1[i]->isVisibleTo(g_frmMain1));
        QVERIFY(!g_frmMain1->Picture2[i]->isVisibleTo(g_frmMain1));
    }
    QVERIFY(g_frmMain1->Check1[5]->isVisibleTo(g_frmMain1));
    QCOMPARE(g->size(), windowSize);
    QCOMPARE(g->Row(), 1);
    QCOMPARE(g->Col(), 1);
    QCOMPARE(g_frmMain1->Label4->text(), QStringLiteral("設定範囲 0 - 5M"));
    // Count 0 is the full distance.
    QCOMPARE(g->TextMatrix(1, 1), QStringLiteral("5.00"));
    QCOMPARE(g_frmMain1->Label10->text(), QStringLiteral("5.00"));

    setType("00"); // and back: the window layout returns whole
    QCOMPARE(g->Rows(), 3);
    QCOMPARE(g->Cols(), 9);
    QCOMPARE(g->TextMatrix(0, 8), QStringLiteral("Out 8"));
    QVERIFY(!g_frmMain1->DetectLimitFrame->isVisibleTo(g_frmMain1));
    QVERIFY(g_frmMain1->Check1[7]->isVisibleTo(g_frmMain1));
    QCOMPARE(g->size(), windowSize);
}

void TestEditor::windowModeRules_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("cellAfter"); // empty: refused, the cell keeps its text
    QTest::addColumn<QString>("message");   // empty: no box
    const QString minMsg = ruleMessage("入力された値はchの最小値より大きく設定する必要があります。", "入力値 >　最小値");
    const QString maxMsg = ruleMessage("入力された値はchの最大値より小さく設定する必要があります。", "最大値 >　入力値");
    // Output 3 holds 4.00 to 1.00.
    QTest::newRow("max below min") << 1 << "0.99" << QString() << minMsg;
    QTest::newRow("max equal to min") << 1 << "1.00" << "1.00" << QString();
    QTest::newRow("above the range, silent") << 1 << "5.01" << QString() << QString();
    QTest::newRow("one decimal") << 1 << "2.5" << "2.50" << QString();
    QTest::newRow("three decimals quantised") << 1 << "1.234" << "1.23" << QString();
    QTest::newRow("full scale") << 1 << "5" << "5.00" << QString();
    QTest::newRow("min above max") << 2 << "4.01" << QString() << maxMsg;
    QTest::newRow("min equal to max") << 2 << "4.00" << "4.00" << QString();
    QTest::newRow("min quantised to a count") << 2 << "0.005" << "0.00" << QString();
    QTest::newRow("not a number stays open") << 2 << "1..2" << QString() << QString();
}

void TestEditor::windowModeRules()
{
    QFETCH(int, row);
    QFETCH(QString, typed);
    QFETCH(QString, cellAfter);
    QFETCH(QString, message);
    putCount(ChMaxCell(3), 818); // 4.00
    putCount(ChMinCell(3), 205); // 1.00
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    g_intSaved = 1;
    const QString before = grid()->TextMatrix(row, 3);
    clickCell(row, 3);
    QVERIFY(g_frmMain1->Text1->isVisible());
    QCOMPARE(g_frmMain1->Text1->text(), before);
    const QRect cell = grid()->visualRect(grid()->model()->index(row, 3));
    QCOMPARE(g_frmMain1->Text1->geometry(),
             QRect(grid()->viewport()->mapTo(g_frmMain1, cell.topLeft()), cell.size()));
    QCOMPARE(g_intSaved, qint16(0)); // starting an edit marks the settings changed
    if (!message.isEmpty())
        f->dlg.answers << vbOK;
    typeInto(g_frmMain1->Text1, typed);
    if (message.isEmpty()) {
        QCOMPARE(f->dlg.boxes.size(), 0);
    } else {
        QCOMPARE(f->dlg.boxes.size(), 1);
        QCOMPARE(boxOf(f->dlg.boxes[0]), box(QStringLiteral("Qelvo Software"), message, vbOKOnly, vbExclamation));
    }
    if (cellAfter.isEmpty()) {
        QCOMPARE(grid()->TextMatrix(row, 3), before);
        QVERIFY(g_frmMain1->Text1->isVisible());
        QCOMPARE(g_frmMain1->Text1->text(), typed);
        if (typed != QLatin1String("1..2")) // a refused number is selected for retyping
            QCOMPARE(g_frmMain1->Text1->selectedText(), typed);
    } else {
        QCOMPARE(grid()->TextMatrix(row, 3), cellAfter);
        QVERIFY(!g_frmMain1->Text1->isVisible());
        QCOMPARE(grid()->TextMatrix(3 - row, 3), row == 1 ? QStringLiteral("1.00") : QStringLiteral("4.00"));
    }
    // A commit touches only the editor, never the image.
    QCOMPARE(UserData[ChMaxCell(3)].data(), QStringLiteral("32"));
    QCOMPARE(UserData[ChMaxCell(3) + 1].data(), QStringLiteral("03"));
}

void TestEditor::distanceModeRules_data()
{
    QTest::addColumn<int>("col"); // 0: the DetectLimit label
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("after"); // empty: refused
    QTest::addColumn<QString>("message");
    const QString limitMsg = ruleMessage("入力された値は水位検出上限値より小さく設定する必要があります。",
                                         "水位検出上限値 >=　入力値");
    const QString levelsMsg =
        ruleMessage("入力された値は待機、注意、判断、洪水、急激の各値より大きく設定する必要があります。",
                    "水位検出上限 入力値 >=　待機、注意、判断、洪水、急激");
    // DetectLimit 3.00; "洪水 " 2.50, the other levels 1.00.
    QTest::newRow("caution above limit") << 3 << "3.10" << QString() << limitMsg;
    QTest::newRow("caution at limit") << 3 << "3.00" << "3.00" << QString();
    QTest::newRow("rapid rise above limit") << 6 << "3.01" << QString() << limitMsg;
    QTest::newRow("normal has no rule") << 1 << "4.90" << "4.90" << QString();
    QTest::newRow("beyond the 5M range, silent") << 1 << "5.01" << QString() << QString();
    QTest::newRow("limit below flood") << 0 << "2.00" << QString() << levelsMsg;
    QTest::newRow("limit equal to flood") << 0 << "2.50" << "2.50" << QString();
    QTest::newRow("limit raised") << 0 << "4.5" << "4.50" << QString();
}

void TestEditor::distanceModeRules()
{
    QFETCH(int, col);
    QFETCH(QString, typed);
    QFETCH(QString, after);
    QFETCH(QString, message);
    UserData[cellInputCode].setData(QByteArrayView("03"));
    for (int n = 2; n <= 6; ++n) {
        putCount(ChMinCell(n), 409);                 // DetectLimit 3.00
        putCount(ChMaxCell(n), n == 5 ? 511 : 818);  // 2.50 / 1.00
    }
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    QCOMPARE(g_frmMain1->Label10->text(), QStringLiteral("3.00"));
    QCOMPARE(grid()->TextMatrix(1, 5), QStringLiteral("2.50"));
    QLabel *target = g_frmMain1->Label10;
    const QString before = col == 0 ? target->text() : grid()->TextMatrix(1, col);
    if (col == 0) {
        QTest::mouseClick(target, Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(g_frmMain1->flgLimitEdit, qint16(1));
    } else {
        clickCell(1, col);
    }
    QVERIFY(g_frmMain1->Text1->isVisible());
    QCOMPARE(g_frmMain1->Text1->text(), before);
    if (!message.isEmpty())
        f->dlg.answers << vbOK;
    typeInto(g_frmMain1->Text1, typed);
    QCOMPARE(f->dlg.boxes.size(), message.isEmpty() ? 0 : 1);
    if (!message.isEmpty()) {
        QCOMPARE(boxOf(f->dlg.boxes[0]), box(QStringLiteral("Qelvo Software"), message, vbOKOnly, vbExclamation));
    }
    const QString now = col == 0 ? target->text() : grid()->TextMatrix(1, col);
    QCOMPARE(now, after.isEmpty() ? before : after);
    QCOMPARE(g_frmMain1->Text1->isVisible(), after.isEmpty());
    if (col == 0 && !after.isEmpty())
        QCOMPARE(g_frmMain1->flgLimitEdit, qint16(0));
}

void TestEditor::hysteresisRangeFollowsType_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("after"); // empty: refused
    QTest::newRow("0-10V takes 1.50") << "01" << "1.50" << "1.50";
    QTest::newRow("0-10V refuses 2.01") << "01" << "2.01" << QString();
    QTest::newRow("0-5V refuses 1.50") << "00" << "1.50" << QString();
    QTest::newRow("0-5V takes .5") << "00" << ".5" << "0.50";
    QTest::newRow("10M takes 2") << "04" << "2" << "2.00";
    QTest::newRow("5M refuses 1.01") << "03" << "1.01" << QString();
}

void TestEditor::hysteresisRangeFollowsType()
{
    QFETCH(QString, code);
    QFETCH(QString, typed);
    QFETCH(QString, after);
    setType(code.toLatin1().constData());
    QLabel *hys = g_frmMain1->Label2[4];
    QTest::mouseClick(hys, Qt::LeftButton);
    QCoreApplication::processEvents();
    QLineEdit *box = g_frmMain1->Text2;
    QVERIFY(box->isVisible());
    QCOMPARE(box->text(), QStringLiteral("0.00"));
    QCOMPARE(box->geometry(), hys->geometry());
    typeInto(box, typed);
    QCOMPARE(f->dlg.boxes.size(), 0); // the hysteresis never shows a message
    QCOMPARE(hys->text(), after.isEmpty() ? QStringLiteral("0.00") : after);
    QCOMPARE(box->isVisible(), after.isEmpty());
    if (after.isEmpty())
        QCOMPARE(box->selectedText(), typed);
}

void TestEditor::keyFilterAndEscape()
{
    QLineEdit *box = g_frmMain1->Text1;
    // Enter on the grid opens the box on the current cell.
    grid()->setFocus();
    QTest::keyClick(grid(), Qt::Key_Return);
    QCoreApplication::processEvents();
    QVERIFY(box->isVisible());
    QCOMPARE(g_frmMain1->intNowActROW, qint16(1));
    QCOMPARE(g_frmMain1->intNowActCOL, qint16(1));
    box->deselect();
    box->end(false);
    QTest::keyClicks(box, QStringLiteral("-+a,e"));
    QCOMPARE(box->text(), QStringLiteral("0.00"));
    QTest::keyClicks(box, QStringLiteral("7"));
    QCOMPARE(box->text(), QStringLiteral("0.007"));
    QTest::keyClick(box, Qt::Key_Backspace);
    QCOMPARE(box->text(), QStringLiteral("0.00"));
    // Delete edits like Backspace (X11 gives it a control character as text).
    box->home(false);
    QTest::keyClick(box, Qt::Key_Delete, Qt::NoModifier);
    QKeyEvent del(QEvent::KeyPress, Qt::Key_Delete, Qt::NoModifier, QStringLiteral("\x7f"));
    QCoreApplication::sendEvent(box, &del);
    QCOMPARE(box->text(), QStringLiteral("00"));
    box->setText(QStringLiteral("0.00"));
    box->end(false);
    // Esc drops the entry.
    typeInto(box, QStringLiteral("4.00"), false);
    QTest::keyClick(box, Qt::Key_Escape);
    QVERIFY(!box->isVisible());
    QCOMPARE(grid()->TextMatrix(1, 1), QStringLiteral("0.00"));
    // An empty box filters nothing, and Enter does nothing there.
    clickCell(2, 2);
    box->clear();
    QTest::keyClick(box, Qt::Key_Return);
    QVERIFY(box->isVisible());
    QTest::keyClicks(box, QStringLiteral("-"));
    QCOMPARE(box->text(), QStringLiteral("-"));
    QTest::keyClick(box, Qt::Key_Return); // not a number: nothing happens
    QVERIFY(box->isVisible());
    QCOMPARE(grid()->TextMatrix(2, 2), QStringLiteral("0.00"));
    // A click on the window background ends the edit without taking it.
    typeInto(box, QStringLiteral("3.3"), false);
    QTest::mouseClick(g_frmMain1, Qt::LeftButton, {}, QPoint(g_frmMain1->width() - 5, g_frmMain1->height() - 5));
    QVERIFY(!box->isVisible());
    QCOMPARE(grid()->TextMatrix(2, 2), QStringLiteral("0.00"));
    QCOMPARE(f->dlg.boxes.size(), 0);
}

void TestEditor::relayBoxes()
{
    g_intSaved = 1;
    const bool nc[8] = {true, false, true, false, false, false, false, true};
    g_frmMain1->subRelayModeSet(nc);
    for (int i = 0; i < 8; ++i) {
        QCOMPARE(g_frmMain1->Check1[i]->isChecked(), nc[i]);
        QCOMPARE(g_frmMain1->Check1[i]->text(), nc[i] ? QStringLiteral("NC") : QStringLiteral("NO"));
        QCOMPARE(g_frmMain1->Check1[i]->palette().color(QPalette::WindowText), nc[i] ? kRed : kBlue);
        QCOMPARE(g_frmMain1->Picture2[i]->palette().color(QPalette::Window), nc[i] ? kRed : kBlue);
    }
    QCOMPARE(g_intSaved, qint16(1)); // setting from the image is not a change
    g_frmMain1->subFrmMainDataGet();
    QCOMPARE(UserData[cellRelayMode].data(), QStringLiteral("85"));

    QCheckBox *box = g_frmMain1->Check1[1];
    QTest::mouseClick(box, Qt::LeftButton, {}, box->rect().center());
    QVERIFY(box->isChecked());
    QCOMPARE(box->text(), QStringLiteral("NC"));
    QCOMPARE(g_frmMain1->Picture2[1]->palette().color(QPalette::Window), kRed);
    QCOMPARE(g_intSaved, qint16(0));
    g_intSaved = 1;
    QTest::mouseClick(g_frmMain1->Command4[1], Qt::LeftButton);
    for (int i = 0; i < 8; ++i) {
        QVERIFY(!g_frmMain1->Check1[i]->isChecked());
        QCOMPARE(g_frmMain1->Check1[i]->text(), QStringLiteral("NO"));
        QCOMPARE(g_frmMain1->Check1[i]->palette().color(QPalette::WindowText), kBlue);
    }
    QCOMPARE(g_intSaved, qint16(0));
    g_frmMain1->subFrmMainDataGet();
    QCOMPARE(UserData[cellRelayMode].data(), QStringLiteral("00"));
    // The image's RelayMode comes back into the boxes.
    UserData[cellRelayMode].setData(QByteArrayView("05"));
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    QVERIFY(g_frmMain1->Check1[0]->isChecked());
    QVERIFY(!g_frmMain1->Check1[1]->isChecked());
    QVERIFY(g_frmMain1->Check1[2]->isChecked());
}

void TestEditor::allNcInDistanceModeStoresFF()
{
    setType("04");
    g_intSaved = 1;
    QTest::mouseClick(g_frmMain1->Command4[0], Qt::LeftButton);
    for (int i = 0; i < 8; ++i) {
        QVERIFY(g_frmMain1->Check1[i]->isChecked());
        QCOMPARE(g_frmMain1->Check1[i]->text(), QStringLiteral("NC"));
    }
    QCOMPARE(g_intSaved, qint16(0));
    const QString path = AppFixture::dataFile(QStringLiteral("nc.qvd"));
    f->dlg.fileAnswers << path;
    g_subFileSaveAs();
    const QByteArray bytes = AppFixture::readFile(path);
    QCOMPARE(bytes.size(), int(kUserFileBytes));
    QCOMPARE(bytes.mid(0x2B * 13, 13), QByteArray("\"002B\",\"FF\"\r\n"));
    QCOMPARE(bytes.mid(0x2D * 13, 13), QByteArray("\"002D\",\"04\"\r\n"));
}

void TestEditor::posButtonTogglesHeight()
{
    // The button is usable only while connected; its handler is what matters here.
    g_frmMain1->Command2_Click();
    QCOMPARE(g_intPosArea, qint16(1));
    QCOMPARE(g_frmMain1->windowHeightTwips(), kEditorHeightPos);
    QVERIFY(g_frmMain1->Frame1->isVisibleTo(g_frmMain1));
    g_frmMain1->Command2_Click();
    QCOMPARE(g_intPosArea, qint16(0));
    QCOMPARE(g_frmMain1->windowHeightTwips(), kEditorHeight);
    QVERIFY(!g_frmMain1->Frame1->isVisibleTo(g_frmMain1));
}

void TestEditor::editingMakesCloseAskToSave()
{
    const QString path = AppFixture::dataFile(QStringLiteral("site.qvd"));
    AppFixture::writeFile(path, UserFileBytes(UserData));
    f->dlg.answers << vbNo; // the new document's question
    f->dlg.fileAnswers << path;
    g_subFileOpen(QString());
    QCOMPARE(g_intSaved, qint16(1));
    f->dlg.answers << vbCancel;
    g_frmMain1->requestClose();
    QCOMPARE(f->dlg.boxes.last().buttons, int(vbOKCancel));
    // Click a cell and leave it unchanged.
    clickCell(1, 4);
    QVERIFY(g_frmMain1->Text1->isVisible());
    QTest::mouseClick(g_frmMain1, Qt::LeftButton, {}, QPoint(g_frmMain1->width() - 5, g_frmMain1->height() - 5));
    QVERIFY(!g_frmMain1->Text1->isVisible());
    QCOMPARE(grid()->TextMatrix(1, 4), QStringLiteral("0.00"));
    f->dlg.answers << vbCancel;
    g_frmMain1->requestClose();
    QCOMPARE(f->dlg.boxes.size(), 3);
    QCOMPARE(f->dlg.boxes[2].buttons, int(vbYesNoCancel));
    QCOMPARE(f->dlg.boxes[2].text, QStringLiteral("site.qvd の内容は変更されています。\r\n変更を保存しますか？\r\n"));
    QCOMPARE(f->proc.ends, 0);
}

void TestEditor::comingBackToTheWindowKeepsItSaved()
{
    openDocument(QStringLiteral("site.qvd"), UserFileBytes(UserData));
    clickCell(1, 2);
    QVERIFY(g_frmMain1->Text1->isVisible());
    QCOMPARE(g_intSaved, qint16(0)); // an edit begun counts as a change
    g_subFileSave();
    QCOMPARE(g_intSaved, qint16(1));
    // The user switches to another program and back, or closes a menu: the box gets the
    // focus again without the user giving it, and the document stays saved.
    for (Qt::FocusReason why : {Qt::ActiveWindowFocusReason, Qt::PopupFocusReason}) {
        QFocusEvent out(QEvent::FocusOut, why), in(QEvent::FocusIn, why);
        QCoreApplication::sendEvent(g_frmMain1->Text1, &out);
        QCoreApplication::sendEvent(g_frmMain1->Text1, &in);
        QCOMPARE(g_intSaved, qint16(1));
    }
    // Focus the user gives it does count.
    QFocusEvent click(QEvent::FocusIn, Qt::MouseFocusReason);
    QCoreApplication::sendEvent(g_frmMain1->Text1, &click);
    QCOMPARE(g_intSaved, qint16(0));
}

void TestEditor::everyCommittedValueIsAChange()
{
    // A value committed into a box opened before the document was saved (Ctrl+S while the box
    // is open) is a change, whatever focus the box had: the close asks to save it.
    openDocument(QStringLiteral("site.qvd"), UserFileBytes(UserData));
    clickCell(1, 2);
    QVERIFY(g_frmMain1->Text1->isVisible());
    g_subFileSave();
    QCOMPARE(g_intSaved, qint16(1));
    typeInto(g_frmMain1->Text1, QStringLiteral("2.5"));
    QCOMPARE(grid()->TextMatrix(1, 2), QStringLiteral("2.50"));
    QCOMPARE(g_intSaved, qint16(0));
    // The same for the hysteresis.
    g_subFileSave();
    QCOMPARE(g_intSaved, qint16(1));
    QTest::mouseClick(g_frmMain1->Label2[4], Qt::LeftButton);
    QCoreApplication::processEvents();
    QVERIFY(g_frmMain1->Text2->isVisible());
    g_subFileSave();
    QCOMPARE(g_intSaved, qint16(1));
    typeInto(g_frmMain1->Text2, QStringLiteral("0.5"));
    QCOMPARE(g_frmMain1->Label2[4]->text(), QStringLiteral("0.50"));
    QCOMPARE(g_intSaved, qint16(0));
    // A refused value changes nothing, and leaves the document as it was.
    g_subFileSave();
    clickCell(1, 3);
    g_subFileSave();
    typeInto(g_frmMain1->Text1, QStringLiteral("9"));
    QVERIFY(g_frmMain1->Text1->isVisible());
    QCOMPARE(g_intSaved, qint16(1));
    f->dlg.answers << vbCancel;
    g_frmMain1->requestClose();
    QCOMPARE(f->dlg.boxes.last().buttons, int(vbOKCancel));
}

QTEST_MAIN(TestEditor)
#include "tst_editor.moc"
