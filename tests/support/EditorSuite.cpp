#include "support/EditorSuite.h"

#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QtTest>

void EditorSuite::init()
{
    f = new AppFixture;
    f->startSeeded();
    QVERIFY2(f->dlg.unexpected == 0, f->unexpectedText());
}

void EditorSuite::cleanup()
{
    QVERIFY2(f->dlg.unexpected == 0, f->unexpectedText());
    delete f;
    f = nullptr;
}

void EditorSuite::openDocument(const QString &name, const QByteArray &bytes)
{
    const QString path = AppFixture::dataFile(name);
    AppFixture::writeFile(path, bytes);
    g_intSaved = 1;
    f->dlg.fileAnswers << path;
    g_subFileOpen(QString());
    QCOMPARE(g_strUserFileTitle, name);
}

MSFlexGrid *grid() { return g_frmMain1->MSFlexGrid1; }

void clickCell(int r, int c)
{
    const QPoint p = grid()->visualRect(grid()->model()->index(r, c)).center();
    QTest::mouseClick(grid()->viewport(), Qt::LeftButton, {}, p);
    QCoreApplication::processEvents();
}

void typeInto(QLineEdit *box, const QString &text, bool enter)
{
    box->selectAll();
    QTest::keyClicks(box, text);
    if (enter)
        QTest::keyClick(box, Qt::Key_Return);
    QCoreApplication::processEvents();
}
