// Start-up and shut-down: the files a first start writes and the messages of files that went
// missing, the frame's place, the captions, the exit questions, the ﾂｰﾙ menu's captions and
// the user-interface lock.
#include "support/AppFixture.h"
#include "support/DataFiles.h"
#include "support/LinkHelpers.h"

#include "app/frmMdi1.h"
#include "app/ImageList1.h"
#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "graph/frmColorSetting1.h"
#include "graph/modGraph1.h"
#include "link/modComm1.h"
#include "link/modLinkState.h"
#include "link/modProtocol.h"
#include "link/modTransfer.h"
#include "logfiler/modLogFileSetting.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/modMonitor1.h"
#include "platform/Geometry.h"
#include "platform/Paths.h"
#include "settings/modUserData.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>

#include <map>
#include <QtTest>

namespace {
// Every global a header of src/ declares, one value a line (the memory images by their hash).
QStringList globalValues()
{
    const auto hash = [](const MemCell *image) {
        return QString::fromLatin1(QCryptographicHash::hash(QByteArrayView(reinterpret_cast<const char *>(image),
                                                                           qsizetype(sizeof(MemCell)) * kImageCells),
                                                            QCryptographicHash::Sha1).toHex());
    };
    QStringList v{g_strAppPath, g_strDataPath, g_strVersion, g_strUserFile, g_strUserFileTitle, g_strDefFile,
                  g_strTempFile, hash(UserData), hash(TempData), g_strUnit, g_strInPut, g_strCommand,
                  g_typLogFilerSet.strInterval + g_typLogFilerSet.strEndTime + g_typLogFilerSet.strFolder +
                      g_typLogFilerSet.strFileName, g_strLogFilePath, g_strLogFilerStatus};
    for (const double n : {double(g_intStarting), double(g_intSaved), double(g_intCommPort), double(g_lngSamplingTime),
                           double(g_intFormPosDefault), double(g_intInputType), g_dblScale, double(g_intReplyTimeUp),
                           double(g_intCommTimeUp), double(g_intCommBusy), double(g_intConnectStatus), double(g_intMonitorOn),
                           double(g_intMonitorStop), double(g_intPollBusy), double(g_intCommStep), double(g_intCommEnd),
                           double(g_intCommAddr), double(g_intShortReplyCount), double(g_intNoReplyCount),
                           double(g_intTransferDir), double(flgLogFilerOnWork), double(g_typLogFilerSet.lngCountMax),
                           double(g_typLogFilerSet.intEndMode), double(g_typLogFilerSet.intAutoName), double(g_intScrollSrc),
                           double(g_intMonDataIdx), double(g_lngLastChosenColor), double(g_intPosArea)})
        v << QString::number(n);
    for (int i = 0; i < kFormIds; ++i)
        v << QStringLiteral("form %1: %2 %3").arg(i).arg(g_intFormOpen[i]).arg(FormPosRecord(i, g_FormPos[i]));
    for (int i = 0; i < kMonData; ++i)
        v << MonTimeText(g_typMonData[i].time) + g_typMonData[i].valueHex + g_typMonData[i].outputsHex;
    for (int i = 0; i < kMonReaders; ++i)
        v << QString::number(g_intMonNewFlag[i]);
    for (int i = 0; i < kColors; ++i)
        v << QString::number(g_lngColor[i]);
    return v;
}
} // namespace

class TestStartup : public QObject {
    Q_OBJECT
    QStringList m_atStart;
private slots:
    void initTestCase()
    {
        // What a reset gives that the process does not start with: the start-up's first steps.
        g_subMonitorIni();
        SetDefaultColors();
        m_atStart = globalValues();
    }
    void fixtureResetsEveryGlobal();
    void missingFilesShowThreeMessagesAndCentreTheFrame();
    void firstStartWritesTheInstalledFilesQuietly();
    void normalStartReadsTheFilesSilently();
    void lastFileIsOfferedAndCancelGivesNewFile();
    void exitQuestionWhenSaved_data();
    void exitQuestionWhenSaved();
    void exitQuestionWhenChanged_data();
    void exitQuestionWhenChanged();
    void frameCloseCancelledLeavesWindows();
    void storedPlacesComeOnScreen_data();
    void storedPlacesComeOnScreen();
    void maximizedFrameComesBackMaximizedWhereItWas();
    void toolMenuCaptionsFollowOpenWindows();
    void busyLockHidesMenusAndDisablesEditor();
    void unknownToolbarKeyDoesNothing();
    void toolbarIconsSwitchWithEnabling();
};

namespace {
// What a start without stored places shows: the frame at its designed size in the middle of
// the screen, the editor at 0, 0 with a new document, no monitor window, no port chosen.
void checkDefaultWindows()
{
    QCOMPARE(g_intCommPort, qint16(100));
    QCOMPARE(g_lngSamplingTime, 1000);
    QCOMPARE(g_intFormPosDefault, qint16(-1));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QCOMPARE(g_frmMdi1->size(), QSize(TwipsToPx(9285), TwipsToPx(7815)));
    QCOMPARE(g_frmMdi1->pos(), QPoint((screen.width() - g_frmMdi1->width()) / 2, (screen.height() - g_frmMdi1->height()) / 2));
    QCOMPARE(g_frmMain1->subWindow()->pos(), QPoint(0, 0));
    QCOMPARE(g_frmMain1->subWindow()->height(), TwipsToPx(3525));
    QCOMPARE(g_frmMain1->caption(), QStringLiteral("新規.qvd - ﾃﾞｰﾀ設定ﾊﾟﾈﾙ"));
    QCOMPARE(g_frmMdi1->windowTitle(), QStringLiteral("Qelvo Software - ver.1.5"));
    QCOMPARE(g_intSaved, qint16(0));
    QCOMPARE(g_intStarting, qint16(0));
    QCOMPARE(g_intFormOpen[idMdi], qint16(-1));
    QCOMPARE(g_intFormOpen[idMain], qint16(-1));
    for (int id = idDirect; id < kFormIds; ++id)
        QCOMPARE(g_intFormOpen[id], qint16(0));
    QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
}
} // namespace

void TestStartup::firstStartWritesTheInstalledFilesQuietly()
{
    AppFixture f;
    AppFixture::removeDataFolder();
    QVERIFY(!QFileInfo::exists(DataFolderPath()));
    f.startApp();
    // No box at all, and the windows where a start without the files puts them.
    QVERIFY2(f.dlg.boxes.isEmpty(), qPrintable(f.dlg.boxes.isEmpty() ? QString() : boxOf(f.dlg.boxes[0])));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    checkDefaultWindows();
    // The five files as an installation puts them there, byte for byte.
    const std::map<QString, QByteArray> files{
        {QStringLiteral("qvo.ini"), QByteArray("64\r\n03E8\r\n\r\n")},
        {QStringLiteral("def.tmp"), userDataFile()},
        {QStringLiteral("frmst.tmp"), formPosFile()},
        {QStringLiteral("clr.ini"),
         QByteArray("\"0,255,65535,65280,16711680,16776960,16711935,16777215,26163,8454143,6710886,0,0,0,0,0,0,0,0,0,0\"\r\n")},
        {QStringLiteral("lfst.ini"), QByteArray("\"00:00:10\"\r\n100\r\n\"----/--/-- --:--:--\"\r\n0\r\n0\r\n\"\"\r\n\"\"\r\n")},
    };
    QCOMPARE(QDir(DataFolderPath()).entryList(QDir::Files).size(), int(files.size()));
    for (const auto &[name, bytes] : files)
        QVERIFY2(AppFixture::readFile(AppFixture::dataFile(name)) == bytes, qPrintable(name));
    // Each reads back as the defaults, without a box.
    LogFileSetting lf;
    QVERIFY(LoadLogFileSetting(lf));
    QCOMPARE(LogFileSettingBytes(lf), LogFileSettingBytes(DefaultLogFileSetting()));
    QVERIFY(LoadColorFile());
    for (int i = 0; i < kColors; ++i)
        QCOMPARE(g_lngColor[i], i <= 10 ? DefaultColors()[i] : 0);
    QVERIFY(f.dlg.boxes.isEmpty());
    f.stopApp();

    // A file that goes missing later still gives its message: def.tmp, at the next start.
    QVERIFY(QFile::remove(AppFixture::dataFile(QStringLiteral("def.tmp"))));
    f.dlg.answers << vbOK;
    f.startApp();
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("ﾕｰｻﾞｰﾃﾞｰﾀﾌｧｲﾙ Load"),
                                        QStringLiteral("53 :  File not found\r\n") + g_strDefFile, vbOKOnly, vbExclamation));
    QVERIFY(g_strDefFile.endsWith(QStringLiteral("/def.tmp")));
    // The other files are read as they are: the zero records place the frame at the corner.
    QCOMPARE(g_intFormPosDefault, qint16(0));
    QCOMPARE(g_intCommPort, qint16(100));
    QVERIFY(!QFileInfo::exists(g_strDefFile));
}

void TestStartup::missingFilesShowThreeMessagesAndCentreTheFrame()
{
    // The data folder is there (the fixture makes it) but its files went missing: the
    // written messages, in order.
    AppFixture f;
    QVERIFY(QFileInfo(DataFolderPath()).isDir());
    f.expectFirstStartBoxes();
    f.startApp();
    QCOMPARE(f.dlg.unexpected, 0);
    QCOMPARE(f.dlg.boxes.size(), 3);
    QCOMPARE(f.dlg.boxes[0].caption, QStringLiteral("初期化ﾌｧｲﾙ Load"));
    QCOMPARE(f.dlg.boxes[0].text, QStringLiteral("53 :  File not found"));
    QCOMPARE(f.dlg.boxes[0].icon, int(vbCritical));
    QCOMPARE(f.dlg.boxes[1].caption, QStringLiteral("ﾕｰｻﾞｰﾃﾞｰﾀﾌｧｲﾙ Load"));
    QVERIFY(f.dlg.boxes[1].text.startsWith(QStringLiteral("53 :  File not found\r\n")));
    QVERIFY(f.dlg.boxes[1].text.endsWith(QStringLiteral("def.tmp")));
    QCOMPARE(f.dlg.boxes[2].caption, QStringLiteral("ﾌｫｰﾑ表示位置情報読み込み"));
    QCOMPARE(f.dlg.boxes[2].buttons, int(vbRetryCancel));
    QCOMPARE(f.dlg.boxes[2].text,
             QStringLiteral("ﾌｧｲﾙの読み込みでｴﾗｰがありました。\r\nFile not found : Error.No = 53"
                            "設定ﾌｧｲﾙが壊れているかﾌﾟﾛｸﾞﾗﾑﾌｫﾙﾀﾞに存在しない可能性があります。\r\n\r\n"
                            "[再試行(R)] = 再試行 / [ｷｬﾝｾﾙ] = ﾌﾟﾛｸﾞﾗﾑは初期値で画面を表示します。"));
    checkDefaultWindows();
    // Nothing is written in their place (a Cancel of the places' box leaves the file missing).
    for (const char *name : {"qvo.ini", "def.tmp", "frmst.tmp", "clr.ini", "lfst.ini"})
        QVERIFY2(!QFileInfo::exists(AppFixture::dataFile(QString::fromLatin1(name))), name);
}

void TestStartup::normalStartReadsTheFilesSilently()
{
    AppFixture f;
    f.startSeeded(3);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(g_intCommPort, qint16(3));
    QCOMPARE(g_intFormPosDefault, qint16(0));
    QCOMPARE(g_frmMdi1->statusPanel(1), QStringLiteral("ﾎﾟｰﾄ : COM3"));
    QCOMPARE(g_frmMdi1->statusPanel(2), QStringLiteral("状態 : 切断"));
}

void TestStartup::lastFileIsOfferedAndCancelGivesNewFile()
{
    AppFixture f;
    const QString last = AppFixture::dataFile(QStringLiteral("site7.qvd"));
    AppFixture::seedDataFolder(1, last);
    f.dlg.fileAnswers << std::nullopt;
    f.startApp();
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.fileRequests.size(), 1);
    QCOMPARE(f.dlg.fileRequests[0].fileName, QStringLiteral("site7.qvd"));
    QCOMPARE(f.dlg.fileRequests[0].initDir, last);
    QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
    QCOMPARE(g_intSaved, qint16(0));
    QCOMPARE(g_frmMain1->caption(), QStringLiteral("新規.qvd - ﾃﾞｰﾀ設定ﾊﾟﾈﾙ"));
}

void TestStartup::exitQuestionWhenSaved_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("ends");
    QTest::newRow("OK ends") << int(vbOK) << true;
    QTest::newRow("Cancel stays") << int(vbCancel) << false;
}

void TestStartup::exitQuestionWhenSaved()
{
    QFETCH(int, answer);
    QFETCH(bool, ends);
    AppFixture f;
    f.startSeeded();
    g_intSaved = 1;
    QVERIFY(g_funcCommPortOpen(1));
    QFile::remove(AppFixture::dataFile(QStringLiteral("frmst.tmp")));
    f.dlg.answers << answer;
    g_subMenuEnd();
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]),
             box(QStringLiteral("Qelvo Softwareの終了"),
                 QStringLiteral("     Qelvo Softwareを終了します。\r\n     よろしいですか？                \r\n\r\n"
                                "     [ OK ] 終了 / [ キャンセル ]  中止     "),
                 vbOKCancel, vbExclamation));
    QCOMPARE(f.proc.ends, ends ? 1 : 0);
    // Ending saves the window positions and closes the port; staying changes nothing.
    QCOMPARE(QFile::exists(AppFixture::dataFile(QStringLiteral("frmst.tmp"))), ends);
    QCOMPARE(f.sim.portOpen(), !ends);
    QCOMPARE(g_frmMain1->isVisibleTo(g_frmMdi1), !ends);
}

void TestStartup::exitQuestionWhenChanged_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("saveDialogCancelled");
    QTest::addColumn<bool>("ends");
    QTest::addColumn<bool>("fileWritten");
    QTest::newRow("No ends without saving") << int(vbNo) << false << true << false;
    QTest::newRow("Cancel stays") << int(vbCancel) << false << false << false;
    QTest::newRow("Yes saves then ends") << int(vbYes) << false << true << true;
    QTest::newRow("Yes with cancelled save stays") << int(vbYes) << true << false << false;
}

void TestStartup::exitQuestionWhenChanged()
{
    QFETCH(int, answer);
    QFETCH(bool, saveDialogCancelled);
    QFETCH(bool, ends);
    QFETCH(bool, fileWritten);
    AppFixture f;
    f.startSeeded();
    QCOMPARE(g_intSaved, qint16(0));
    const QString target = AppFixture::dataFile(QStringLiteral("saved.qvd"));
    f.dlg.answers << answer;
    if (answer == vbYes)
        f.dlg.fileAnswers << (saveDialogCancelled ? std::optional<QString>() : std::optional<QString>(target));
    g_frmMain1->requestClose();
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("Qelvo Softwareの終了"),
                                        QStringLiteral("新規.qvd の内容は変更されています。\r\n変更を保存しますか？\r\n"),
                                        vbYesNoCancel, vbExclamation));
    QCOMPARE(f.proc.ends, ends ? 1 : 0);
    QCOMPARE(QFile::exists(target), fileWritten);
}

void TestStartup::frameCloseCancelledLeavesWindows()
{
    AppFixture f;
    f.startSeeded();
    f.dlg.answers << vbCancel;
    QVERIFY(!g_frmMdi1->close());
    QCOMPARE(f.proc.ends, 0);
    QVERIFY(g_frmMdi1->isVisible());
    QVERIFY(g_frmMain1->isVisible());
    // Still open, and so still recorded by the positions saved at the next way out.
    QCOMPARE(g_intFormOpen[idMdi], qint16(-1));
}

void TestStartup::storedPlacesComeOnScreen_data()
{
    // Records of "frmst.tmp": id, Height, Left, Top, Width, State.
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("editor");
    QTest::addColumn<bool>("partlyOff"); // left partly off the screen's left edge, as stored
    QTest::newRow("huge sizes") << QByteArray("00,7FFFFFFF,00000000,00000000,00800000,00")
                                << QByteArray("01,00000000,00000000,00000000,00000000,00") << false;
    QTest::newRow("far off the screen") << QByteArray("00,00002148,FFF00000,00100000,000024AE,00")
                                        << QByteArray("01,00000000,7FFFFFFF,80000000,00000000,00") << false;
    // Partly off the left with the title bar still there to grab: the place is kept.
    QTest::newRow("partly off the left") << QByteArray("00,00002148,FFFFFF88,00000000,000024AE,00")
                                         << QByteArray("01,00000000,00000000,00000000,00000000,00") << true;
}

void TestStartup::storedPlacesComeOnScreen()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, editor);
    QFETCH(bool, partlyOff);
    AppFixture f;
    f.seedDataFolder();
    AppFixture::writeFile(AppFixture::dataFile(QStringLiteral("frmst.tmp")), formPosFile({{0, frame}, {1, editor}}));
    f.startApp();
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(g_intFormPosDefault, qint16(0)); // the file itself was good
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect g = g_frmMdi1->geometry();
    QVERIFY2(g.width() <= screen.width() && g.height() <= screen.height(), qPrintable(QDebug::toString(g)));
    QVERIFY2(g.top() >= screen.top() && g.top() < screen.bottom() - 32, qPrintable(QDebug::toString(g)));
    QVERIFY2(g.right() > screen.left() + 32 && g.left() < screen.right() - 32, qPrintable(QDebug::toString(g)));
    QCOMPARE(g.x() < 0, partlyOff); // (the offscreen platform itself nudges a window 2 px)
    // The editor inside the frame's document area, where the user can reach it.
    const QWidget *sub = g_frmMain1->subWindow();
    const QRect area = sub->parentWidget()->rect();
    QVERIFY2(area.contains(sub->geometry().topLeft()), qPrintable(QDebug::toString(sub->geometry())));
}

void TestStartup::maximizedFrameComesBackMaximizedWhereItWas()
{
    const QString frmst = AppFixture::dataFile(QStringLiteral("frmst.tmp"));
    auto frameRecord = [&] { return AppFixture::readFile(frmst).mid(1, 41); };
    AppFixture f;
    f.startSeeded();
    const QRect normal(120, 90, 640, 480);
    g_frmMdi1->setGeometry(normal);
    QCoreApplication::processEvents();
    f.dlg.answers << vbNo; // the changed-contents question: positions saved, nothing else
    QVERIFY(g_frmMdi1->close());
    const QByteArray normalRecord = frameRecord();
    QVERIFY(normalRecord.endsWith(",00"));

    f.stopApp();
    f.startApp();
    QCOMPARE(g_frmMdi1->geometry(), normal);
    g_frmMdi1->showMaximized();
    QCoreApplication::processEvents();
    QVERIFY(g_frmMdi1->isMaximized());
    f.dlg.answers << vbNo;
    QVERIFY(g_frmMdi1->close()); // closed by its own close box, maximized
    // The same normal place and size, and the maximized state.
    QCOMPARE(frameRecord(), normalRecord.chopped(2) + "01");

    f.stopApp();
    f.startApp();
    QVERIFY(g_frmMdi1->isMaximized());
    g_frmMdi1->showNormal();
    QCoreApplication::processEvents();
    QCOMPARE(g_frmMdi1->geometry(), normal);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestStartup::toolMenuCaptionsFollowOpenWindows()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(50);
    QCOMPARE(g_frmMdi1->menu_Graph->text(), QStringLiteral("ｸﾞﾗﾌｨｶﾙ表示(&G)"));
    QCOMPARE(g_frmMdi1->menu_inputLogViewer->text(), QStringLiteral("現在値ﾛｸﾞ表示(&L)"));
    QCOMPARE(g_frmMdi1->menu_outputMonitor->text(), QStringLiteral("出力ﾓﾆﾀｰ(&Y)"));
    QVERIFY(g_frmMdi1->menu_LogFiler1->isEnabled());
    QVERIFY(g_frmMdi1->menu_Setting->isEnabled());
    g_intFormOpen[idGraph] = -1;
    g_intFormOpen[idLogView] = -1;
    g_intFormOpen[idOutputMonitor] = -1;
    g_intFormOpen[idLogFiler] = -1;
    g_subConnectStatusSet(1);
    g_subMenuCommand(50);
    QCOMPARE(g_frmMdi1->menu_Graph->text(), QStringLiteral("ｸﾞﾗﾌｨｶﾙ表示を閉じる(&G)"));
    QCOMPARE(g_frmMdi1->menu_inputLogViewer->text(), QStringLiteral("現在値ﾛｸﾞ表示を閉じる(&L)"));
    QCOMPARE(g_frmMdi1->menu_outputMonitor->text(), QStringLiteral("出力ﾓﾆﾀｰを閉じる(&Y)"));
    QVERIFY(!g_frmMdi1->menu_LogFiler1->isEnabled());
    QVERIFY(!g_frmMdi1->menu_Setting->isEnabled());
    for (int id : {int(idGraph), int(idLogView), int(idOutputMonitor), int(idLogFiler)})
        g_intFormOpen[id] = 0;
}

void TestStartup::busyLockHidesMenusAndDisablesEditor()
{
    AppFixture f;
    f.startSeeded();
    g_subCommBusySet(1);
    g_subBusyLock();
    QVERIFY(!g_frmMdi1->menu_file->menuAction()->isVisible());
    QVERIFY(!g_frmMdi1->menu_Tool->menuAction()->isVisible());
    QVERIFY(!g_frmMain1->isEnabled());
    QVERIFY(!g_frmMain1->Command1[0]->isEnabled());
    QVERIFY(!g_frmMain1->Label1->isEnabled());
    QVERIFY(g_frmMdi1->Toolbar1->isEnabled()); // the toolbar is not locked
    QCOMPARE(g_frmMdi1->cursor().shape(), Qt::WaitCursor);
    g_subCommBusySet(5); // any other value changes nothing
    g_subBusyLock();
    QVERIFY(!g_frmMain1->isEnabled());
    // The position panel closed while locked (a disconnect meanwhile) is not left dead.
    g_frmMain1->Frame1->setEnabled(false);
    g_subCommBusySet(0);
    g_subBusyLock();
    QVERIFY(g_frmMain1->Frame1->isEnabled());
    QVERIFY(g_frmMdi1->menu_file->menuAction()->isVisible());
    QVERIFY(g_frmMdi1->menu_Tool->menuAction()->isVisible());
    QVERIFY(g_frmMain1->isEnabled());
    QCOMPARE(g_frmMdi1->cursor().shape(), Qt::ArrowCursor);
}

void TestStartup::unknownToolbarKeyDoesNothing()
{
    AppFixture f;
    f.startSeeded();
    g_frmMdi1->Toolbar1_ButtonClick(QStringLiteral("Conect")); // keys are case-sensitive
    g_frmMdi1->Toolbar1_ButtonClick(QStringLiteral("nothing"));
    QCOMPARE(f.dlg.boxes.size(), 0);
    QCOMPARE(g_intConnectStatus, qint16(0));
    QCOMPARE(f.sim.opens, 0);
}

void TestStartup::toolbarIconsSwitchWithEnabling()
{
    AppFixture f;
    f.startSeeded();
    // The written toolbar: index (1-based, separators 4, 7 and 11), key, tip, icon, icon
    // when disabled (0: none), command code.
    const struct {
        int index;
        const char *key, *tip;
        int icon, iconOff, code;
    } written[] = {
        {1, "new", "新規作成", 1, 0, 1},          {2, "open", "開く", 2, 0, 2},
        {3, "save", "上書き保存", 3, 0, 3},        {5, "conect", "接続", 4, 12, 21},
        {6, "unconect", "接続解除", 5, 13, 22},    {8, "InputMon", "入力ﾓﾆﾀｰﾊﾟﾈﾙ", 6, 7, 12},
        {9, "graph", "ｸﾞﾗﾌｨｶﾙ表示ﾊﾟﾈﾙ", 8, 0, 11}, {10, "outmon", "出力ﾓﾆﾀｰﾊﾟﾈﾙ", 9, 0, 15},
        {12, "logviewer", "現在値ﾛｸﾞ表示", 10, 0, 14}, {13, "logfiler", "ﾛｸﾞﾌｧｲﾗｰ", 11, 14, 13},
    };
    const QList<QAction *> actions = g_frmMdi1->Toolbar1->actions();
    QCOMPARE(actions.size(), 13);
    for (int i : {4, 7, 11})
        QVERIFY(actions[i - 1]->isSeparator());
    // A button shows its picture when the image on it is the image list's drawing.
    auto shows = [](QAction *a, int icon) {
        return a->icon().pixmap(24, 24).toImage() == ImageList1Icon(icon).pixmap(24, 24).toImage();
    };
    auto enabling = std::map<QString, void (frmMdi1::*)(bool)>{{"conect", &frmMdi1::subTbr_Connect_Enable},
                                                             {"unconect", &frmMdi1::subTbr_Disconnect_Enable},
                                                             {"InputMon", &frmMdi1::subTbr_MonIn_Enable},
                                                             {"logfiler", &frmMdi1::subTbr_Logfiler_Enable}};
    for (const auto &w : written) {
        QAction *a = actions[w.index - 1];
        QCOMPARE(a, g_frmMdi1->button.value(QString::fromLatin1(w.key)));
        QCOMPARE(a->toolTip(), QString::fromUtf8(w.tip));
        if (!w.iconOff) {
            QVERIFY2(shows(a, w.icon), w.key);
            continue;
        }
        const auto set = enabling.at(QString::fromLatin1(w.key));
        (g_frmMdi1->*set)(false);
        QVERIFY2(shows(a, w.iconOff) && !a->isEnabled(), w.key);
        (g_frmMdi1->*set)(true);
        QVERIFY2(shows(a, w.icon) && a->isEnabled(), w.key);
    }
    // The pictures differ from one another, so a wrong number shows.
    for (int i = 1; i <= 14; ++i)
        for (int j = i + 1; j <= 14; ++j)
            QVERIFY(ImageList1(i).toImage() != ImageList1(j).toImage());
    // Each button runs its command: the two that open a window here.
    g_frmMdi1->Toolbar1_ButtonClick(QStringLiteral("logviewer"));
    QCOMPARE(g_intFormOpen[idLogView], qint16(-1));
    g_frmMdi1->Toolbar1_ButtonClick(QStringLiteral("outmon"));
    QCOMPARE(g_intFormOpen[idOutputMonitor], qint16(-1));
}

void TestStartup::fixtureResetsEveryGlobal()
{
    // A session that leaves its mark on the globals: connected, a read into TempData and
    // UserData, the monitor run; and what a log run leaves in the log filer's globals.
    AppFixture f;
    startConnected(f);
    QVERIFY(g_funcControllerReadBlock());
    g_subTempToUser();
    g_subMenuCommand(12);
    g_frmDirect1->Command2[0]->click();
    Sleep(2000);
    g_subLogFilerSettingSet(DefaultLogFileSetting());
    g_subLogFilePathSet(QStringLiteral("/logs/qlv.csv"));
    g_subLogFilerStatusSet(QStringLiteral("10"));
    g_subLastChosenColorSet(0xFF);
    f.stopApp();
    QCOMPARE(globalValues(), m_atStart);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
