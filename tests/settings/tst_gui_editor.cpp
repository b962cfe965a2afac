// The settings editor on a real X server (Xvfb, no window manager), where the windows'
// activation is real: an edit made while the frame is not the active window (a modal window
// was just closed, and nothing gave the frame its activation back) still reaches the close
// question, and Yes saves the value typed.
#include "support/AppFixture.h"
#include "support/DataFiles.h"

#include "app/frmMdi1.h"
#include "app/frmSetting1.h"
#include "app/modMenu.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QApplication>
#include <QtTest>

#include <memory>

namespace {
// A 0-5 m document: the detection limit 3.00 (count 409), every level 1.00 (count 818).
QByteArray riverFile()
{
    QMap<int, QByteArray> cells;
    cells[cellInputCode] = "03";
    for (int n = 2; n <= 6; ++n) {
        putCount(cells, ChMinCell(n), 409);
        putCount(cells, ChMaxCell(n), 818);
    }
    return userDataFile(cells);
}
} // namespace

class tst_gui_editor : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void editWhileTheFrameIsInactiveReachesTheCloseQuestion_data();
    void editWhileTheFrameIsInactiveReachesTheCloseQuestion();
};

void tst_gui_editor::initTestCase() { QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb")); }

void tst_gui_editor::editWhileTheFrameIsInactiveReachesTheCloseQuestion_data()
{
    // Whether the frame's activation comes back between the click and the typing, as the X
    // server gives it on a click (after the click has started the edit): the box then gets
    // its focus only with the window's activation.
    QTest::addColumn<bool>("activatedByTheClick");
    QTest::newRow("frame stays inactive") << false;
    QTest::newRow("frame activated after the click") << true;
}

void tst_gui_editor::editWhileTheFrameIsInactiveReachesTheCloseQuestion()
{
    QFETCH(bool, activatedByTheClick);
    AppFixture f;
    const QString path = AppFixture::dataFile(QStringLiteral("river.qvd"));
    AppFixture::writeFile(path, riverFile());
    AppFixture::seedDataFolder(1, path);
    f.dlg.fileAnswers << path; // the start-up's Open takes the last file
    f.startApp();
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(g_strUserFileTitle, QStringLiteral("river.qvd"));
    QCOMPARE(g_intSaved, qint16(1));
    QLabel *limit = g_frmMain1->Label10;
    QVERIFY(limit->isVisible());
    QCOMPARE(limit->text(), QStringLiteral("3.00"));
    g_frmMdi1->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(g_frmMdi1));

    // ﾂｰﾙ > 設定 > 一般設定, a real modal window in its own event loop, activated as the
    // user's click on it does, and closed with キャンセル from a timer.
    f.dlg.realModal = true;
    bool shown = false;
    f.dlg.modalHandler = [&shown](QDialog *d) {
        auto *w = qobject_cast<frmSetting1 *>(d);
        QVERIFY(w);
        w->activateWindow();
        QTRY_VERIFY(QGuiApplication::focusWindow() == w->windowHandle());
        shown = true;
        w->Command1[1]->click();
    };
    g_subMenuCommand(31);
    QVERIFY(shown);
    f.dlg.realModal = false;
    // The X focus went back to the root window with the modal window: nothing of the tool is
    // active (a window manager would give the frame its activation back; none runs here).
    QTRY_VERIFY(!QGuiApplication::focusWindow());
    QVERIFY(!g_frmMdi1->isActiveWindow());
    QCOMPARE(g_intSaved, qint16(1));

    // A click on the detection limit, 3.5 and Enter.
    QTest::mouseClick(limit, Qt::LeftButton);
    QCoreApplication::processEvents();
    QLineEdit *edit = g_frmMain1->Text1;
    QVERIFY(edit->isVisible());
    if (activatedByTheClick) {
        g_frmMdi1->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(g_frmMdi1));
        QTRY_VERIFY(edit->hasFocus());
    }
    edit->selectAll();
    QTest::keyClicks(edit, QStringLiteral("3.5"));
    QTest::keyClick(edit, Qt::Key_Return);
    QCoreApplication::processEvents();
    QCOMPARE(limit->text(), QStringLiteral("3.50"));
    QVERIFY(!edit->isVisible());

    // The close asks about the changes, and Yes writes them into the file.
    f.dlg.answers << vbYes;
    g_frmMdi1->close();
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]),
             box(QStringLiteral("Qelvo Softwareの終了"),
                 QStringLiteral("river.qvd の内容は変更されています。\r\n変更を保存しますか？\r\n"), vbYesNoCancel,
                 vbExclamation));
    QCOMPARE(f.proc.ends, 1);
    std::unique_ptr<MemCell[]> saved(new MemCell[kImageCells]);
    FileError e;
    QVERIFY(ParseUserFile(AppFixture::readFile(path), saved.get(), e));
    // 3.50 m below the 5 m full scale: count 307 (0133) in the limit's cells of outputs 2-6.
    for (int n = 2; n <= 6; ++n) {
        QCOMPARE(saved[ChMinCell(n)].data(), QStringLiteral("33"));
        QCOMPARE(saved[ChMinCell(n) + 1].data(), QStringLiteral("01"));
    }
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

QTEST_MAIN(tst_gui_editor)
#include "tst_gui_editor.moc"
