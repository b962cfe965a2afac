// The CSV and HTML exports of the editor's texts, byte for byte in Shift_JIS with CR LF,
// their save dialogs, the silent end when no name can be proposed, write failures, and
// the print entry's box.
#include "support/DataFiles.h"
#include "support/EditorSuite.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "settings/modOutput.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QtTest>

namespace {
// Shift_JIS bytes of the Japanese texts, written out here so the encoder is checked too.
QByteArray sj(const char *hex) { return QByteArray::fromHex(hex); }
const QByteArray kFileName = sj("CCA7B2D996BC");                     // ﾌｧｲﾙ名
const QByteArray kMax = sj("8DC591E5926C");                          // 最大値
const QByteArray kMin = sj("8DC58FAC926C");                          // 最小値
const QByteArray kHys = sj("837183588365838A83568358");              // ヒステリシス
const QByteArray kLevelHeader = sj("908588CA2C2095BD8FED2C2091D28B402C20928D88D32C2094BB92662C208D5E90852C208B7D8C83");
                                                                     // 水位, 平常, 待機, 注意, 判断, 洪水, 急激
const QByteArray kLevelM = sj("908588CA284D292C20");                 // 水位(M),␠
const QByteArray kLimit = sj("908588CA94BB92E88FE38CC0926C2C");      // 水位判定上限値,
const QByteArray kSettei = sj("90DD92E8");                           // 設定
const QByteArray kSavedName = sj("95DB91B6837483408343838B96BC208146"); // 保存ファイル名 ：

// 0-10V, every window 0.00 to 10.00 (count 1023), hysteresis 0.20 (count 20).
QMap<int, QByteArray> windowSettings()
{
    QMap<int, QByteArray> d{{0x2D, "01"}, {0x28, "14"}, {0x2A, "FF"}};
    for (int n = 1; n <= 8; ++n) {
        d[ChMaxCell(n)] = "FF";
        d[ChMaxCell(n) + 1] = "03";
    }
    return d;
}

// 5M: levels 4.90, 1.00, 1.50, 2.00, 2.50, 3.00, DetectLimit 3.50, hysteresis 0.20.
QMap<int, QByteArray> distanceSettings()
{
    return {{0x2D, "03"}, {0x2A, "FF"}, {0x00, "14"},                 // 平常: count 20
            {ChMaxCell(2), "32"}, {ChMaxCell(2) + 1, "03"},          // 818
            {ChMaxCell(3), "CC"}, {ChMaxCell(3) + 1, "02"},          // 716
            {ChMaxCell(4), "66"}, {ChMaxCell(4) + 1, "02"},          // 614
            {ChMaxCell(5), "FF"}, {ChMaxCell(5) + 1, "01"},          // 511
            {ChMaxCell(6), "99"}, {ChMaxCell(6) + 1, "01"},          // 409
            {ChMinCell(2), "33"}, {ChMinCell(2) + 1, "01"},          // DetectLimit: 307
            {0x28, "29"}};                                           // hysteresis: 41
}

QByteArray repeat(const QByteArray &item, int n, const QByteArray &sep = ",")
{
    QByteArrayList l;
    for (int i = 0; i < n; ++i)
        l << item;
    return l.join(sep);
}

const int kExportFlags =
    cdlOFNOverwritePrompt | cdlOFNHideReadOnly | cdlOFNPathMustExist | cdlOFNNoReadOnlyReturn | cdlOFNLongNames;
} // namespace

class TestExports : public EditorSuite {
    Q_OBJECT
private slots:
    void csvWindowMode();
    void csvDistanceMode();
    void unencodableNameIsWrittenWithQuestionMarks();
    void htmlWindowMode();
    void newFileProposesNamesAndCancelIsSilent();
    void shortTitleEndsSilently_data();
    void shortTitleEndsSilently();
    void openEditBoxIsNotExported();
    void writeFailureIsReported_data();
    void writeFailureIsReported();
    void printAndHtmlEntriesWork();
};

void TestExports::csvWindowMode()
{
    openDocument(QStringLiteral("site.qvd"), userDataFile(windowSettings()));
    const QByteArray image = UserFileBytes(UserData);
    const QString out = AppFixture::dataFile(QStringLiteral("site.csv"));
    f->dlg.fileAnswers << out;
    g_frmMdi1->menu_CsvFile->trigger();
    QCOMPARE(f->dlg.fileRequests.size(), 2);
    const FileDialogRequest &req = f->dlg.fileRequests[1];
    QVERIFY(f->dlg.fileRequestIsSave[1]);
    QCOMPARE(req.filter, QStringLiteral("csvﾌｧｲﾙ(*.csv)|*.csv"));
    QCOMPARE(req.flags, kExportFlags);
    QCOMPARE(req.initDir, g_strUserFile);
    QCOMPARE(req.fileName, QStringLiteral("site.csv"));
    const QByteArray expected = kFileName + ", site.qvd\r\n"
                                ", 1 ch,2 ch,3 ch,4 ch,5 ch,6 ch,7 ch,8 ch\r\n" +
                                kMax + "," + repeat("10.00", 8) + "\r\n" +
                                kMin + "," + repeat("0.00", 8) + "\r\n" +
                                kHys + ",0.20\r\n";
    QCOMPARE(AppFixture::readFile(out), expected);
    QCOMPARE(f->dlg.boxes.size(), 0);
    // The export changes no document state.
    QCOMPARE(g_intSaved, qint16(1));
    QCOMPARE(g_strUserFileTitle, QStringLiteral("site.qvd"));
    QVERIFY(UserFileBytes(UserData) == image);
}

void TestExports::csvDistanceMode()
{
    openDocument(QStringLiteral("dist.qvd"), userDataFile(distanceSettings()));
    const QString out = AppFixture::dataFile(QStringLiteral("dist.csv"));
    f->dlg.fileAnswers << out;
    g_subMenuCommand(5);
    const QByteArray expected = kFileName + ", dist.qvd\r\n" +
                                kLevelHeader + "\r\n" +
                                kLevelM + "4.90,1.00,1.50,2.00,2.50,3.00\r\n" +
                                kLimit + "3.50\r\n" +
                                kHys + ",0.20\r\n";
    QCOMPARE(AppFixture::readFile(out), expected);
}

void TestExports::unencodableNameIsWrittenWithQuestionMarks()
{
    // A file name with characters Shift_JIS cannot hold (an accent, a character outside
    // the basic plane) is written with "?" for each, as Windows writes it.
    const QString name = QStringLiteral("caf\u00E9-\U0001F30A-水位.qvd");
    openDocument(name, userDataFile(windowSettings()));
    const QString out = AppFixture::dataFile(QStringLiteral("name.csv"));
    f->dlg.fileAnswers << out;
    g_subMenuCommand(5);
    const QByteArray csv = AppFixture::readFile(out);
    QCOMPARE(csv.left(csv.indexOf("\r\n")), kFileName + ", caf?-?-" + sj("908588CA") + ".qvd");
    f->dlg.fileAnswers << out;
    g_subHtmlOutput();
    QVERIFY(AppFixture::readFile(out).contains("<p>" + kSavedName + " caf?-?-" + sj("908588CA") + ".qvd</p>"));
}

void TestExports::htmlWindowMode()
{
    openDocument(QStringLiteral("site.qvd"), userDataFile(windowSettings()));
    const QString out = AppFixture::dataFile(QStringLiteral("site.html"));
    f->dlg.fileAnswers << out;
    g_subHtmlOutput();
    const FileDialogRequest &req = f->dlg.fileRequests[1];
    QCOMPARE(req.filter, QStringLiteral("csvﾌｧｲﾙ(*.html)|*.html"));
    QCOMPARE(req.fileName, QStringLiteral("site.html"));
    QCOMPARE(req.flags, kExportFlags);
    QByteArray head = "<tr><td>ch</td>", max = "<tr><td>" + kMax + "</td>", min = "<tr><td>" + kMin + "</td>";
    for (int n = 1; n <= 8; ++n) {
        head += "<td>" + QByteArray::number(n) + " ch</td>";
        max += "<td>10.00</td>";
        min += "<td>0.00</td>";
    }
    const QByteArray expected = "<html><body><strong>Qelvo SoftWare " + kSettei + "</strong>\r\n"
                                "<p>" + kSavedName + " site.qvd</p>\r\n"
                                "<table border=1 bordercolor=#cccccc cellpadding=4 cellspacing=0>\r\n" +
                                head + "</tr>\r\n" + max + "</tr>\r\n" + min + "</tr></table>\r\n"
                                "<p>" + kHys + " = 0.20</p>\r\n"
                                "</body></html>\r\n";
    QCOMPARE(AppFixture::readFile(out), expected);
}

void TestExports::newFileProposesNamesAndCancelIsSilent()
{
    QCOMPARE(g_strUserFileTitle, QStringLiteral("新規.qvd"));
    f->dlg.fileAnswers << std::nullopt << std::nullopt;
    g_subMenuCommand(5);
    g_subHtmlOutput();
    QCOMPARE(f->dlg.fileRequests.size(), 2);
    QCOMPARE(f->dlg.fileRequests[0].fileName, QStringLiteral("新規.csv"));
    QCOMPARE(f->dlg.fileRequests[0].filter, QStringLiteral("csvﾌｧｲﾙ(*.csv)|*.csv"));
    QCOMPARE(f->dlg.fileRequests[0].initDir, g_strUserFile);
    QCOMPARE(f->dlg.fileRequests[1].fileName, QStringLiteral("新規.html"));
    QCOMPARE(f->dlg.fileRequests[1].filter, QStringLiteral("csvﾌｧｲﾙ(*.html)|*.html"));
    QCOMPARE(f->dlg.boxes.size(), 0);
}

void TestExports::shortTitleEndsSilently_data()
{
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("dialogs");
    QTest::newRow("empty") << QString() << 0;
    QTest::newRow("three characters") << "a.q" << 0;
    QTest::newRow("four characters") << ".qvd" << 2; // the proposed names are ".csv" and ".html"
}

void TestExports::shortTitleEndsSilently()
{
    QFETCH(QString, title);
    QFETCH(int, dialogs);
    g_subUserFileSet(g_strUserFile, title);
    for (int i = 0; i < dialogs; ++i)
        f->dlg.fileAnswers << std::nullopt;
    g_subMenuCommand(5);
    g_subHtmlOutput();
    QCOMPARE(f->dlg.fileRequests.size(), dialogs);
    if (dialogs) {
        QCOMPARE(f->dlg.fileRequests[0].fileName, QStringLiteral(".csv"));
        QCOMPARE(f->dlg.fileRequests[1].fileName, QStringLiteral(".html"));
    }
    QCOMPARE(f->dlg.boxes.size(), 0);
}

void TestExports::openEditBoxIsNotExported()
{
    openDocument(QStringLiteral("site.qvd"), userDataFile(windowSettings()));
    clickCell(1, 2);
    QVERIFY(g_frmMain1->Text1->isVisible());
    typeInto(g_frmMain1->Text1, QStringLiteral("3.00"), false);
    const QString out = AppFixture::dataFile(QStringLiteral("site.csv"));
    f->dlg.fileAnswers << out;
    g_subMenuCommand(5);
    const QByteArray csv = AppFixture::readFile(out);
    QVERIFY(csv.contains("\r\n" + kMax + "," + repeat("10.00", 8) + "\r\n"));
    QCOMPARE(grid()->TextMatrix(1, 2), QStringLiteral("10.00"));
    QCOMPARE(g_frmMain1->Text1->text(), QStringLiteral("3.00"));
}

void TestExports::writeFailureIsReported_data()
{
    QTest::addColumn<bool>("html");
    QTest::addColumn<QString>("caption");
    QTest::newRow("csv") << false << "csvﾌｧｲﾙ 出力";
    QTest::newRow("html") << true << "HTMLﾌｧｲﾙ 出力";
}

void TestExports::writeFailureIsReported()
{
    QFETCH(bool, html);
    QFETCH(QString, caption);
    f->dlg.fileAnswers << AppFixture::dataFile(QStringLiteral("missing/out.csv"));
    f->dlg.answers << vbOK;
    if (html)
        g_subHtmlOutput();
    else
        g_subCsvOutput();
    QCOMPARE(f->dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f->dlg.boxes[0]), box(caption, QStringLiteral("76 :  Path not found"), vbOKOnly, vbCritical));
}

void TestExports::printAndHtmlEntriesWork()
{
    // The two entries under "出力(&P)", enabled: the HTML export and the print dialog.
    QAction *print = g_frmMdi1->menu_PrintOut, *html = g_frmMdi1->menu_HTMLFile;
    QCOMPARE(print->text(), QStringLiteral("印刷(&P)"));
    QCOMPARE(print->shortcut(), QKeySequence(QStringLiteral("Ctrl+P")));
    QCOMPARE(html->text(), QStringLiteral("HTMLﾌｧｲﾙへの出力"));
    QVERIFY(g_frmMdi1->menu_OutputTool->actions().contains(print));
    QVERIFY(print->isEnabled() && html->isEnabled());
    f->dlg.fileAnswers << std::nullopt;
    html->trigger();
    QCOMPARE(f->dlg.fileRequests.size(), 1);
    QCOMPARE(f->dlg.fileRequests[0].filter, QStringLiteral("csvﾌｧｲﾙ(*.html)|*.html"));
    f->dlg.printAnswers << std::nullopt;
    print->trigger();
    QCOMPARE(f->dlg.printRequests.size(), 1);
    QCOMPARE(f->dlg.boxes.size(), 0);
}

QTEST_MAIN(TestExports)
#include "tst_exports.moc"
