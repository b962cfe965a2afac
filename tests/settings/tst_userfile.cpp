// User data files: the saved bytes, the reading of short, unterminated and broken files,
// the file commands New, Open, Save, Save As and save-as-default with the document state
// each leaves, the changed-contents question and the Open dialog's request.
#include "support/DataFiles.h"
#include "support/EditorSuite.h"

#include "app/modMenu.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "platform/Paths.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QRegularExpression>
#include <QtTest>

namespace {
QByteArray line(const QByteArray &file, int i) { return file.mid(i * 13, 13); }

QString docPath(const QString &name) { return AppFixture::dataFile(name); }

QString newFilePath() { return DocumentsFolder() + QStringLiteral("/新規.qvd"); }

QString iniLastFile()
{
    const QList<QByteArray> l = AppFixture::readFile(AppFixture::dataFile(QStringLiteral("qvo.ini"))).split('\n');
    return l.size() > 2 ? QString::fromUtf8(l[2]).trimmed() : QString();
}

// Types a value into a grid cell through the edit box.
void editCell(int r, int c, const QString &text)
{
    grid()->setRow(r);
    grid()->setCol(c);
    g_frmMain1->startGridEdit();
    g_frmMain1->Text1->setText(text);
    g_frmMain1->commitText1();
}

const QString kPrompt = QStringLiteral("新規.qvd の内容は変更されています。\r\n変更を保存しますか？\r\n");
const int kOpenFlags = cdlOFNOverwritePrompt | cdlOFNHideReadOnly | cdlOFNPathMustExist | cdlOFNFileMustExist |
                       cdlOFNNoReadOnlyReturn | cdlOFNLongNames;
} // namespace

class TestUserFile : public EditorSuite {
    Q_OBJECT
private slots:
    void saveAsWritesTheWholeImage();
    void saveOverwritesWithoutDialog();
    void saveOfMissingFileRunsSaveAs();
    void saveFailures();
    void openReadsFileAndMarksSaved();
    void openToleratesLastLineWithoutCrLf();
    void brokenFileChangesNothing_data();
    void brokenFileChangesNothing();
    void brokenLastFileAtStartupBeginsNew();
    void openDialogRequest_data();
    void openDialogRequest();
    void changedPrompt_data();
    void changedPrompt();
    void newLoadsDefaults();
    void newWithoutDefaultsStartsFromReset();
    void saveAsDefault();
};

void TestUserFile::saveAsWritesTheWholeImage()
{
    UserData[cellInputCode].setData(QByteArrayView("01")); // 0-10V
    UserData[0x1234].setData(QByteArrayView("5A"));        // cells beyond the settings travel too
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    editCell(1, 1, QStringLiteral("2.5")); // 2.5 / 0.0097751 -> count 256
    QCOMPARE(grid()->TextMatrix(1, 1), QStringLiteral("2.50"));
    const QString path = docPath(QStringLiteral("out.qvd"));
    f->dlg.fileAnswers << path;
    g_subMenuCommand(4);
    QCOMPARE(f->dlg.fileRequests.size(), 1);
    QVERIFY(f->dlg.fileRequestIsSave[0]);
    const FileDialogRequest &req = f->dlg.fileRequests[0];
    QCOMPARE(req.filter, QStringLiteral("ﾕｰｻﾞｰﾌｧｲﾙ(*.qvd)|*.qvd"));
    QCOMPARE(req.flags, kOpenFlags & ~cdlOFNFileMustExist);
    QVERIFY(req.initDir.isEmpty());
    QVERIFY(req.fileName.isEmpty());

    const QByteArray saved = AppFixture::readFile(path);
    QCOMPARE(saved.size(), 851968);
    QCOMPARE(saved.count("\r\n"), 65536);
    QCOMPARE(line(saved, 0x2D), QByteArray("\"002D\",\"01\"\r\n"));
    // Scaling 0 is shown as 1 and stored back as 1; the marker is always FF.
    const QByteArray expected = userDataFile(
        {{0x03, "01"}, {0x20, "01"}, {0x22, "01"}, {0x2A, "FF"}, {0x2D, "01"}, {0x1234, "5A"}});
    QCOMPARE(saved, expected);
    QCOMPARE(g_strUserFile, path);
    QCOMPARE(g_strUserFileTitle, QStringLiteral("out.qvd"));
    QCOMPARE(g_intSaved, qint16(1));
    QCOMPARE(g_frmMain1->caption(), QStringLiteral("out.qvd - ﾃﾞｰﾀ設定ﾊﾟﾈﾙ"));
    QCOMPARE(iniLastFile(), path);
}

void TestUserFile::saveOverwritesWithoutDialog()
{
    const QString path = docPath(QStringLiteral("site.qvd"));
    AppFixture::writeFile(path, userDataFile({{0x2A, "FF"}}));
    f->dlg.answers << vbNo;
    f->dlg.fileAnswers << path;
    g_subMenuCommand(2);
    QCOMPARE(g_intSaved, qint16(1));
    editCell(1, 8, QStringLiteral("1.234")); // count 252
    QCOMPARE(g_intSaved, qint16(0));
    g_subMenuCommand(3);
    QCOMPARE(f->dlg.fileRequests.size(), 1); // only Open's
    QCOMPARE(g_intSaved, qint16(1));
    const QByteArray saved = AppFixture::readFile(path);
    QCOMPARE(line(saved, 0x1E), QByteArray("\"001E\",\"FC\"\r\n"));
    QCOMPARE(line(saved, 0x1F), QByteArray("\"001F\",\"00\"\r\n"));
    QCOMPARE(g_strUserFile, path);
    QCOMPARE(g_strUserFileTitle, QStringLiteral("site.qvd"));
}

void TestUserFile::saveOfMissingFileRunsSaveAs()
{
    QCOMPARE(g_strUserFile, newFilePath());
    QVERIFY(!QFile::exists(g_strUserFile));
    // Cancelling the dialog changes nothing.
    f->dlg.fileAnswers << std::nullopt;
    g_subMenuCommand(3);
    QCOMPARE(f->dlg.fileRequests.size(), 1);
    QVERIFY(f->dlg.fileRequestIsSave[0]);
    QCOMPARE(g_strUserFile, newFilePath());
    QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
    QCOMPARE(g_intSaved, qint16(0));
    QCOMPARE(f->dlg.boxes.size(), 0);
    const QString path = docPath(QStringLiteral("first.qvd"));
    f->dlg.fileAnswers << path;
    g_subMenuCommand(3);
    QCOMPARE(f->dlg.fileRequests.size(), 2);
    QCOMPARE(AppFixture::readFile(path).size(), 851968);
    QCOMPARE(g_strUserFile, path);
    QCOMPARE(g_strUserFileTitle, QStringLiteral("first.qvd"));
    QCOMPARE(g_intSaved, qint16(1));
    QCOMPARE(g_frmMain1->caption(), QStringLiteral("first.qvd - ﾃﾞｰﾀ設定ﾊﾟﾈﾙ"));
}

void TestUserFile::saveFailures()
{
    // Save As into a folder that does not exist: the name is taken, the state is modified.
    const QString bad = docPath(QStringLiteral("nofolder/x.qvd"));
    f->dlg.fileAnswers << bad;
    f->dlg.answers << vbOK;
    g_subMenuCommand(4);
    QCOMPARE(f->dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f->dlg.boxes[0]), box(QStringLiteral("ﾃﾞｰﾀﾌｧｲﾙ Save"), QStringLiteral("76 :  Path not found"), vbOKOnly, vbExclamation));
    QCOMPARE(g_strUserFile, bad);
    QCOMPARE(g_strUserFileTitle, QStringLiteral("x.qvd"));
    QCOMPARE(g_intSaved, qint16(0));
    QCOMPARE(g_frmMain1->caption(), QStringLiteral("x.qvd - ﾃﾞｰﾀ設定ﾊﾟﾈﾙ"));
    QCOMPARE(iniLastFile(), QString()); // a failed save does not record the file

    // Save of a file that exists but cannot be replaced: the name stays, the state is modified.
    g_subUserFileSet(QStringLiteral("/proc/version"));
    g_intSaved = 1;
    f->dlg.answers << vbOK;
    g_subMenuCommand(3);
    QCOMPARE(f->dlg.fileRequests.size(), 1);
    QCOMPARE(f->dlg.boxes.size(), 2);
    QCOMPARE(f->dlg.boxes[1].caption, QStringLiteral("ﾃﾞｰﾀﾌｧｲﾙ Save"));
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d+ :  \\S")).match(f->dlg.boxes[1].text).hasMatch(),
             qPrintable(f->dlg.boxes[1].text));
    QCOMPARE(g_strUserFile, QStringLiteral("/proc/version"));
    QCOMPARE(g_strUserFileTitle, QStringLiteral("x.qvd"));
    QCOMPARE(g_intSaved, qint16(0));
}

void TestUserFile::openReadsFileAndMarksSaved()
{
    const QString path = docPath(QStringLiteral("ten.qvd"));
    // 0-10V, output 1 from 2.50 (count 256) to 10.00 (1023), hysteresis 0.20 (20), NC on 1 and 8.
    AppFixture::writeFile(path, userDataFile({{0x01, "01"}, {0x02, "FF"}, {0x03, "03"}, {0x28, "14"}, {0x2B, "81"},
                                           {0x2D, "01"}, {0x2A, "FF"}, {0xFFFF, "7E"}}));
    f->dlg.answers << vbNo;
    f->dlg.fileAnswers << path;
    g_subMenuCommand(2);
    QCOMPARE(f->dlg.boxes.size(), 1);
    QCOMPARE(g_strUserFile, path);
    QCOMPARE(g_strUserFileTitle, QStringLiteral("ten.qvd"));
    QCOMPARE(g_intSaved, qint16(1));
    QCOMPARE(g_frmMain1->caption(), QStringLiteral("ten.qvd - ﾃﾞｰﾀ設定ﾊﾟﾈﾙ"));
    QCOMPARE(iniLastFile(), path);
    QCOMPARE(g_intInputType, qint16(2));
    QCOMPARE(g_frmMain1->Label4->text(), QStringLiteral("設定範囲 0 - 10V"));
    QCOMPARE(grid()->TextMatrix(1, 1), QStringLiteral("10.00"));
    QCOMPARE(grid()->TextMatrix(2, 1), QStringLiteral("2.50"));
    QCOMPARE(g_frmMain1->Label2[4]->text(), QStringLiteral("0.20"));
    QVERIFY(g_frmMain1->Check1[0]->isChecked());
    QVERIFY(g_frmMain1->Check1[7]->isChecked());
    QVERIFY(!g_frmMain1->Check1[1]->isChecked());
    QCOMPARE(UserData[0xFFFF].data(), QStringLiteral("7E"));
}

void TestUserFile::openToleratesLastLineWithoutCrLf()
{
    const QString path = docPath(QStringLiteral("cut.qvd"));
    QByteArray bytes = userDataFile({{0x2D, "01"}, {0xFFFF, "AB"}}, kImageCells, false);
    bytes.replace("\"0010\"", "\"abcd\""); // addresses are kept as read
    openDocument(QStringLiteral("cut.qvd"), bytes);
    QCOMPARE(f->dlg.boxes.size(), 0);
    QCOMPARE(UserData[0xFFFF].data(), QStringLiteral("AB"));
    QCOMPARE(UserData[0x10].address(), QStringLiteral("abcd"));
    QCOMPARE(g_intInputType, qint16(2));
    // Lines after the 65,536th are ignored.
    AppFixture::writeFile(path, userDataFile({{0xFFFF, "CD"}}) + "\"0000\",\"77\"\r\n");
    f->dlg.fileAnswers << path;
    g_subFileOpen(QString());
    QCOMPARE(f->dlg.boxes.size(), 0);
    QCOMPARE(UserData[0xFFFF].data(), QStringLiteral("CD"));
    QCOMPARE(UserData[0].data(), QStringLiteral("00"));
    QCOMPARE(UserData[0x10].address(), QStringLiteral("0010"));
}

void TestUserFile::brokenFileChangesNothing_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<qint64>("size");   // the file is made this long (0: as the bytes are)
    QTest::addColumn<QString>("device"); // opened instead of the written file
    QTest::addColumn<QString>("error");
    const QString tooLarge = QStringLiteral("7 :  Out of memory: the file is too large");
    QTest::newRow("100 lines") << userDataFile({{0, "11"}, {0x2D, "01"}}, 100) << 0LL << QString()
                               << "62 :  Input past end of file";
    QTest::newRow("settings cell not hex") << userDataFile({{0x05, "G1"}}) << 0LL << QString() << "13 :  Type mismatch";
    QTest::newRow("empty file") << QByteArray() << 0LL << QString() << "62 :  Input past end of file";
    // Larger than a settings file can be, or endless: refused before it fills the memory.
    QTest::newRow("a gigabyte") << userDataFile() << (1LL << 30) << QString() << tooLarge;
    QTest::newRow("endless device") << QByteArray() << 0LL << QStringLiteral("/dev/zero") << tooLarge;
}

void TestUserFile::brokenFileChangesNothing()
{
    QFETCH(QByteArray, bytes);
    QFETCH(qint64, size);
    QFETCH(QString, device);
    QFETCH(QString, error);
    // A document with its own contents, then edited.
    const QString good = docPath(QStringLiteral("good.qvd"));
    AppFixture::writeFile(good, userDataFile({{0x06, "CD"}, {0x07, "01"}, {0x2A, "FF"}}));
    f->dlg.answers << vbNo;
    f->dlg.fileAnswers << good;
    g_subMenuCommand(2);
    editCell(1, 2, QStringLiteral("3.00"));
    const QByteArray image = UserFileBytes(UserData);
    const QString caption = g_frmMain1->caption();

    QString path = docPath(QStringLiteral("broken.qvd"));
    AppFixture::writeFile(path, bytes);
    if (size > 0)
        QVERIFY(QFile::resize(path, size)); // sparse: cheap to make
    if (!device.isEmpty())
        path = device;
    f->dlg.answers << vbNo << vbOK;
    f->dlg.fileAnswers << path;
    g_subMenuCommand(2);
    QCOMPARE(f->dlg.boxes.size(), 3);
    QCOMPARE(boxOf(f->dlg.boxes[2]), box(QStringLiteral("ﾕｰｻﾞｰﾃﾞｰﾀﾌｧｲﾙ Load"), error + QStringLiteral("\r\n") + path, vbOKOnly, vbExclamation));
    QVERIFY(UserFileBytes(UserData) == image);
    QCOMPARE(g_strUserFile, good);
    QCOMPARE(g_strUserFileTitle, QStringLiteral("good.qvd"));
    QCOMPARE(g_intSaved, qint16(0));
    QCOMPARE(g_frmMain1->caption(), caption);
    QCOMPARE(grid()->TextMatrix(1, 2), QStringLiteral("3.00")); // the edit is still there
    QCOMPARE(g_intInputType, qint16(1));
    // The low-level load refuses the same way.
    f->dlg.answers << vbOK;
    QVERIFY(!g_funcUserDataLoad(path));
    QVERIFY(UserFileBytes(UserData) == image);
}

void TestUserFile::brokenLastFileAtStartupBeginsNew()
{
    delete f;
    f = new AppFixture;
    const QString path = docPath(QStringLiteral("short.qvd"));
    AppFixture::seedDataFolder(1, path);
    AppFixture::writeFile(path, userDataFile({}, 100));
    f->dlg.fileAnswers << path;
    f->dlg.answers << vbOK;
    f->startApp();
    QCOMPARE(f->dlg.boxes.size(), 1);
    QCOMPARE(f->dlg.boxes[0].caption, QStringLiteral("ﾕｰｻﾞｰﾃﾞｰﾀﾌｧｲﾙ Load"));
    QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
    QCOMPARE(g_strUserFile, newFilePath());
    QCOMPARE(g_intSaved, qint16(0));
    QCOMPARE(g_frmMain1->caption(), QStringLiteral("新規.qvd - ﾃﾞｰﾀ設定ﾊﾟﾈﾙ"));
}

void TestUserFile::openDialogRequest_data()
{
    QTest::addColumn<QString>("initial");
    QTest::addColumn<QString>("proposed");
    const QString site = docPath(QStringLiteral("site7.qvd"));
    QTest::newRow("none") << QString() << QString();
    QTest::newRow("last file") << site << "site7.qvd";
    QTest::newRow("default file") << docPath(QStringLiteral("def.tmp")) << QString();
}

void TestUserFile::openDialogRequest()
{
    QFETCH(QString, initial);
    QFETCH(QString, proposed);
    g_intSaved = 1;
    f->dlg.fileAnswers << std::nullopt;
    g_subFileOpen(initial);
    QCOMPARE(f->dlg.fileRequests.size(), 1);
    QVERIFY(!f->dlg.fileRequestIsSave[0]);
    const FileDialogRequest &req = f->dlg.fileRequests[0];
    QCOMPARE(req.filter, QStringLiteral("ﾕｰｻﾞｰﾌｧｲﾙ(*.qvd)|*.qvd"));
    QCOMPARE(req.flags, kOpenFlags);
    QCOMPARE(req.initDir, initial);
    QCOMPARE(req.fileName, proposed);
    // Cancelled outside start-up: nothing changes.
    QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
    QCOMPARE(g_intSaved, qint16(1));
    QCOMPARE(f->dlg.boxes.size(), 0);
}

void TestUserFile::changedPrompt_data()
{
    QTest::addColumn<int>("command"); // dispatcher code: 1 New, 2 Open
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("saveCancelled");
    QTest::addColumn<QString>("dialogs"); // S save, O open, in order
    QTest::addColumn<bool>("goesOn");
    QTest::newRow("New, Cancel") << 1 << int(vbCancel) << false << "" << false;
    QTest::newRow("New, No") << 1 << int(vbNo) << false << "" << true;
    QTest::newRow("New, Yes") << 1 << int(vbYes) << false << "S" << true;
    QTest::newRow("New, Yes, save cancelled") << 1 << int(vbYes) << true << "S" << false;
    QTest::newRow("Open, Cancel") << 2 << int(vbCancel) << false << "" << false;
    QTest::newRow("Open, No") << 2 << int(vbNo) << false << "O" << true;
    QTest::newRow("Open, Yes") << 2 << int(vbYes) << false << "SO" << true;
    QTest::newRow("Open, Yes, save cancelled") << 2 << int(vbYes) << true << "S" << false;
}

void TestUserFile::changedPrompt()
{
    QFETCH(int, command);
    QFETCH(int, answer);
    QFETCH(bool, saveCancelled);
    QFETCH(QString, dialogs);
    QFETCH(bool, goesOn);
    const QString other = docPath(QStringLiteral("other.qvd"));
    AppFixture::writeFile(other, userDataFile({{0x03, "03"}, {0x02, "FF"}}));
    const QString target = docPath(QStringLiteral("kept.qvd"));
    editCell(1, 1, QStringLiteral("2.5")); // count 512 in 0-5V
    f->dlg.answers << answer;
    for (QChar d : dialogs) {
        if (d == QLatin1Char('S'))
            f->dlg.fileAnswers << (saveCancelled ? std::optional<QString>() : std::optional<QString>(target));
        else
            f->dlg.fileAnswers << other;
    }
    g_subMenuCommand(qint16(command));
    QCOMPARE(f->dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f->dlg.boxes[0]), box(QStringLiteral("Qelvo Software"), kPrompt, vbYesNoCancel, vbExclamation));
    QString seen;
    for (bool save : f->dlg.fileRequestIsSave)
        seen += save ? QLatin1Char('S') : QLatin1Char('O');
    QCOMPARE(seen, dialogs);
    if (dialogs.contains(QLatin1Char('S')) && !saveCancelled) {
        const QByteArray saved = AppFixture::readFile(target);
        QCOMPARE(line(saved, 2), QByteArray("\"0002\",\"00\"\r\n"));
        QCOMPARE(line(saved, 3), QByteArray("\"0003\",\"02\"\r\n"));
    }
    if (!goesOn) {
        QCOMPARE(grid()->TextMatrix(1, 1), QStringLiteral("2.50"));
        QCOMPARE(g_strUserFile, newFilePath());
        QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
        QCOMPARE(g_intSaved, qint16(0));
    } else if (command == 1) {
        QCOMPARE(grid()->TextMatrix(1, 1), QStringLiteral("0.00"));
        QCOMPARE(g_strUserFile, newFilePath());
        QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
        QCOMPARE(g_intSaved, qint16(0));
    } else {
        QCOMPARE(grid()->TextMatrix(1, 1), QStringLiteral("5.00"));
        QCOMPARE(g_strUserFile, other);
        QCOMPARE(g_strUserFileTitle, QStringLiteral("other.qvd"));
        QCOMPARE(g_intSaved, qint16(1));
    }
}

void TestUserFile::newLoadsDefaults()
{
    AppFixture::writeFile(AppFixture::dataFile(QStringLiteral("def.tmp")),
                          userDataFile({{0x2D, "01"}, {0x0E, "00"}, {0x0F, "01"}, {0x2A, "FF"}}));
    g_subUserFileSet(docPath(QStringLiteral("old.qvd")), QStringLiteral("old.qvd"));
    g_intSaved = 1;
    g_subMenuCommand(1);
    QCOMPARE(f->dlg.boxes.size(), 0);
    QCOMPARE(g_strUserFile, newFilePath());
    QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
    QCOMPARE(g_intSaved, qint16(0));
    QCOMPARE(g_frmMain1->caption(), QStringLiteral("新規.qvd - ﾃﾞｰﾀ設定ﾊﾟﾈﾙ"));
    QCOMPARE(g_frmMain1->Label4->text(), QStringLiteral("設定範囲 0 - 10V"));
    QCOMPARE(grid()->TextMatrix(1, 4), QStringLiteral("2.50")); // count 256 × 0.0097751
}

void TestUserFile::newWithoutDefaultsStartsFromReset()
{
    openDocument(QStringLiteral("ten.qvd"), userDataFile({{0x2D, "01"}, {0x02, "FF"}, {0x03, "03"}, {0x50, "99"}}));
    QCOMPARE(grid()->TextMatrix(1, 1), QStringLiteral("10.00"));
    const QString def = AppFixture::dataFile(QStringLiteral("def.tmp"));
    QFile::remove(def);
    f->dlg.answers << vbOK;
    g_subMenuCommand(1);
    QCOMPARE(f->dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f->dlg.boxes[0]),
             box(QStringLiteral("ﾕｰｻﾞｰﾃﾞｰﾀﾌｧｲﾙ Load"), QStringLiteral("53 :  File not found\r\n") + def, vbOKOnly, vbExclamation));
    // Nothing of the previous document survives.
    QCOMPARE(UserData[0x50].data(), QStringLiteral("00"));
    QCOMPARE(UserData[0x2D].data(), QStringLiteral("00"));
    QCOMPARE(UserData[0x1234].address(), QStringLiteral("1234"));
    QCOMPARE(g_frmMain1->Label4->text(), QStringLiteral("設定範囲 0 - 5V"));
    QCOMPARE(grid()->TextMatrix(1, 1), QStringLiteral("0.00"));
    QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
    QCOMPARE(g_intSaved, qint16(0));
}

void TestUserFile::saveAsDefault()
{
    const QString path = docPath(QStringLiteral("mine.qvd"));
    openDocument(QStringLiteral("mine.qvd"), userDataFile());
    editCell(1, 1, QStringLiteral("2.5"));
    g_subMenuCommand(6);
    QCOMPARE(f->dlg.fileRequests.size(), 1); // no dialog
    const QString def = AppFixture::dataFile(QStringLiteral("def.tmp"));
    const QByteArray saved = AppFixture::readFile(def);
    QCOMPARE(saved.size(), 851968);
    QCOMPARE(line(saved, 3), QByteArray("\"0003\",\"02\"\r\n"));
    QCOMPARE(line(saved, 0x2A), QByteArray("\"002A\",\"FF\"\r\n"));
    QCOMPARE(g_strUserFile, def);
    QCOMPARE(g_strUserFileTitle, QStringLiteral("mine.qvd"));
    QCOMPARE(g_intSaved, qint16(0));
    QCOMPARE(iniLastFile(), def);
    QCOMPARE(AppFixture::readFile(path), userDataFile()); // the user's file is untouched
    // The next Open proposes no name for the default file.
    f->dlg.fileAnswers << std::nullopt;
    f->dlg.answers << vbCancel;
    g_subFileOpen(g_strUserFile);
    QCOMPARE(f->dlg.fileRequests.size(), 1); // Cancel in the question: no dialog
    g_intSaved = 1;
    g_subFileOpen(g_strUserFile);
    QCOMPARE(f->dlg.fileRequests.size(), 2);
    QCOMPARE(f->dlg.fileRequests[1].fileName, QString());
}

QTEST_MAIN(TestUserFile)
#include "tst_userfile.moc"
