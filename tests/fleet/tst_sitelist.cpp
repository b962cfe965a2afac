// The site list on the virtual clock: what it keeps between runs of the tool (place, size,
// sort order and column widths in "frmst.tmp", the broker in "sites.ini"), the broker dialog,
// the bounds of the files it reads, the age that counts up, and the sites of a watcher's
// configuration file polled by the window itself on ports taken from the tool's own link. The end-to-end suite
// tests/e2e/tst_gui_sites runs it against a broker and the watcher.
#include "support/AppFixture.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "editor/frmMain1.h"
#include "fleet/frmSites1.h"
#include "link/modComm1.h"
#include "settings/modUserData.h"
#include "platform/Geometry.h"

#include <QHeaderView>
#include <QMdiSubWindow>
#include <QSignalSpy>
#include <QtTest>

class TestSiteList : public QObject {
    Q_OBJECT
private slots:
    void placeSortAndWidthsKept_data();
    void placeSortAndWidthsKept();
    void brokerDialogKeepsTheSource();
    void hostileSourceFiles_data();
    void hostileSourceFiles();
    void ageCountsUp();
    void watchFileSitesTakeTheirPorts();
};

void TestSiteList::placeSortAndWidthsKept_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("descending");
    for (int c = 0; c < SiteTableModel::ColumnCount; ++c)
        for (bool d : {false, true})
            QTest::addRow("%d %s", c, d ? "desc" : "asc") << c << d;
}

void TestSiteList::placeSortAndWidthsKept()
{
    QFETCH(int, column);
    QFETCH(bool, descending);
    AppFixture f;
    f.startSeeded();
    // Last in ﾂｰﾙ, after the comparison.
    QCOMPARE(g_frmMdi1->menu_Tool->actions().last(), g_frmMdi1->menu_Sites);
    g_subMenuCommand(18);
    QVERIFY(g_frmSites1);
    QCOMPARE(g_frmSites1->SourceLabel->text(), QStringLiteral("ﾌﾞﾛｰｶ未設定"));
    g_frmSites1->parentWidget()->setGeometry(50, 70, 820, 400);
    g_frmSites1->SiteTable->sortByColumn(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    for (int c = 0; c + 1 < SiteTableModel::ColumnCount; ++c)
        g_frmSites1->SiteTable->setColumnWidth(c, 40 + 13 * c + column);
    f.dlg.answers << vbNo;
    g_frmMain1->requestClose();
    QCOMPARE(g_FormPos[idSites].State, 1 | (column << 1) | (descending ? 0x10 : 0));
    f.stopApp();
    f.startApp();
    QVERIFY(g_frmSites1);
    QWidget *area = g_frmSites1->parentWidget()->parentWidget();
    QCOMPARE(g_frmSites1->parentWidget()->geometry(), FitOnArea(QRect(50, 70, 820, 400), area->rect()));
    const QHeaderView *h = g_frmSites1->SiteTable->horizontalHeader();
    QCOMPARE(h->sortIndicatorSection(), column);
    QCOMPARE(h->sortIndicatorOrder(), descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    for (int c = 0; c + 1 < SiteTableModel::ColumnCount; ++c)
        QCOMPARE(g_frmSites1->SiteTable->columnWidth(c), 40 + 13 * c + column);
    // Closed by its entry: recorded as closed, and not back at the next start.
    g_subMenuCommand(18);
    QVERIFY(!g_frmSites1);
    QCOMPARE(g_FormPos[idSites].State & 1, 0);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestSiteList::brokerDialogKeepsTheSource()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(18);
    AppFixture::writeFile(AppFixture::dataFile(QStringLiteral("pw")), "secret\n");
    // A site of no broker at all, in alarm: it goes with the change of broker.
    g_frmSites1->board()->takeMessage(QStringLiteral("qelvo"), QStringLiteral("qelvo/k1/state"),
                                      R"({"site":"k1","state":"lost","title":"川辺"})");
    QCOMPARE(g_frmSites1->windowTitle(), QStringLiteral("ｻｲﾄ一覧ﾊﾟﾈﾙ - 未確認の警報 1件"));
    // A wrong address is refused with a box and the dialog stays; then a good one.
    QStringList urls = {QStringLiteral("http://broker"), QStringLiteral("mqtt://127.0.0.1:1")};
    f.dlg.answers << vbOK;
    f.dlg.modalHandler = [&](QDialog *d) {
        auto *b = qobject_cast<frmSiteBroker1 *>(d);
        QVERIFY(b);
        for (const QString &u : urls) {
            b->UrlEdit->setText(u);
            b->PrefixEdit->setText(QStringLiteral("depot"));
            b->UserEdit->setText(QStringLiteral("ops"));
            b->PasswordFileEdit->setText(AppFixture::dataFile(QStringLiteral("pw")));
            b->OkButton->click();
        }
    };
    g_frmSites1->BrokerButton->click();
    QCOMPARE(f.dlg.boxes.size(), 1);
    QVERIFY(f.dlg.boxes[0].text.startsWith(QStringLiteral("ﾌﾞﾛｰｶのｱﾄﾞﾚｽが正しくありません。")));
    QCOMPARE(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("sites.ini"))),
             QByteArray("[mqtt]\nurl=mqtt://127.0.0.1:1\ntopic_prefix=depot\nusername=ops\npassword_file=") +
                 AppFixture::dataFile(QStringLiteral("pw")).toUtf8() + "\n[watch]\nfile=\n");
    QVERIFY(g_frmSites1->client());
    QCOMPARE(g_frmSites1->client()->options().password, QStringLiteral("secret"));
    QCOMPARE(g_frmSites1->client()->options().username, QStringLiteral("ops"));
    QCOMPARE(g_frmSites1->proxy()->rowCount(), 0);
    QCOMPARE(g_frmSites1->windowTitle(), QStringLiteral("ｻｲﾄ一覧ﾊﾟﾈﾙ"));
    QVERIFY(!g_frmMdi1->SitesAlarmPanel->isVisibleTo(g_frmMdi1));
    // The next opening uses it.
    g_subMenuCommand(18);
    g_subMenuCommand(18);
    QVERIFY(g_frmSites1->SourceLabel->text().startsWith(QStringLiteral("mqtt://127.0.0.1:1 ")));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestSiteList::hostileSourceFiles_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("shown");
    const QByteArray good = "url=mqtt://127.0.0.1:1\npassword_file=" + AppFixture::dataFile(QStringLiteral("pw")).toUtf8() + "\n";
    QTest::newRow("sites.ini past 64 KiB") << good + QByteArray(64 * 1024, ';') << QByteArray("x") << QStringLiteral("ﾌﾞﾛｰｶ未設定");
    QTest::newRow("password file past 4 KiB") << good << QByteArray(4097, 'x') << QStringLiteral("ﾊﾟｽﾜｰﾄﾞﾌｧｲﾙを読めません");
    QTest::newRow("no password file") << good << QByteArray() << QStringLiteral("ﾊﾟｽﾜｰﾄﾞﾌｧｲﾙを読めません");
    QTest::newRow("no broker address") << QByteArray("url=\x01\xff\n") << QByteArray("x") << QStringLiteral("使用できません");
}

void TestSiteList::hostileSourceFiles()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, password);
    QFETCH(QString, shown);
    AppFixture f;
    f.startSeeded();
    AppFixture::writeFile(AppFixture::dataFile(QStringLiteral("sites.ini")), ini);
    if (!password.isEmpty())
        AppFixture::writeFile(AppFixture::dataFile(QStringLiteral("pw")), password);
    g_subMenuCommand(18);
    QVERIFY2(g_frmSites1->SourceLabel->text().contains(shown), qPrintable(g_frmSites1->SourceLabel->text()));
    QVERIFY(!g_frmSites1->client());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestSiteList::ageCountsUp()
{
    AppFixture f;
    SiteBoard board{QString()};
    SiteTableModel model(&board);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QVERIFY(board.takeMessage(QStringLiteral("q"), QStringLiteral("q/k1/reading"),
                              R"({"site":"k1","count":512,"value":2.50,"unit":"V","outputs":"00"})"));
    const QModelIndex age = model.index(0, SiteTableModel::ColAge);
    QCOMPARE(age.data().toString(), QStringLiteral("0秒前"));
    QCOMPARE(model.index(0, SiteTableModel::ColValue).data().toString(), QStringLiteral("2.50 V"));
    changed.clear();
    const QList<QPair<int, QString>> steps = {{59, "59秒前"}, {2, "1分01秒前"}, {3540, "1時間00分前"}};
    int total = 0;
    for (const auto &s : steps) {
        Sleep(s.first * 1000);
        total += s.first;
        QCOMPARE(age.data().toString(), s.second);
        QCOMPARE(age.data(Qt::AccessibleTextRole).toString(), s.second);
    }
    // Refreshed each second, the age column alone.
    int ageRefreshes = 0;
    for (const QList<QVariant> &args : changed)
        ageRefreshes += args[0].toModelIndex().column() == SiteTableModel::ColAge &&
                        args[1].toModelIndex().column() == SiteTableModel::ColAge;
    QVERIFY2(qAbs(ageRefreshes - total) <= 1, qPrintable(QString::number(ageRefreshes)));
}

void TestSiteList::watchFileSitesTakeTheirPorts()
{
    AppFixture f;
    f.sim.usablePorts = {3, 4, 5};
    f.startSeeded(3);
    frmSites1::portMaker() = [](const WatchSite &s) {
        auto p = std::make_unique<SimulatedPort>();
        p->usablePorts = {s.comPort};
        p->model().setLevel(100 * s.comPort);
        p->model().setCell(cellInputCode, 0x00);
        return std::unique_ptr<SerialPortService>(std::move(p));
    };
    const QString ini = AppFixture::dataFile(QStringLiteral("watchd.ini"));
    AppFixture::writeFile(ini, "[sites]\nk3=COM3\nk4=COM4\n[k3]\ntitle=川辺\nwarn_outputs=2 3\n");
    SiteSource source;
    source.watchFile = ini;
    QVERIFY(SaveSiteSource(source));
    // The tool's own link holds COM3: that site waits, lost, while COM4's polls.
    QVERIFY(g_funcCommPortOpen(3));
    g_subMenuCommand(18);
    QVERIFY(g_frmSites1);
    QCOMPARE(g_frmSites1->WatchLabel->text(), QStringLiteral("watchd.ini 2ｻｲﾄ"));
    Sleep(3000);
    const SiteBoard *board = g_frmSites1->board();
    const BoardRow *k3 = &board->rows().at(board->indexOf(QStringLiteral("k3")));
    const BoardRow *k4 = &board->rows().at(board->indexOf(QStringLiteral("k4")));
    QCOMPARE(k4->link, BoardRow::Link::Online);
    QVERIFY(k4->valueValid && k4->count == 400);
    QCOMPARE(k3->link, BoardRow::Link::Lost);
    QVERIFY2(k3->reason.contains(QStringLiteral("own link (COM3)")), qPrintable(k3->reason));
    QCOMPARE(k3->warnMask, quint8(0x06));
    // Meanwhile the tool's link cannot have COM4, and the box after the fixed one says who has it.
    g_subCommPortClose();
    QVERIFY(!g_funcCommPortOpen(4));
    QVERIFY(!g_funcCommPortCheck(4));
    QVERIFY(g_funcCommPortCheck(5));
    f.dlg.answers << vbOK;
    g_subPortAccessHint(4, QStringLiteral("t"));
    QCOMPARE(f.dlg.boxes.last().text, QStringLiteral("COM4 はｻｲﾄ一覧 (k4)が使用中です。"));
    // COM3 closed: the site's next retry takes it, and the tool no longer can.
    Sleep(9000);
    k3 = &board->rows().at(board->indexOf(QStringLiteral("k3")));
    QCOMPARE(k3->link, BoardRow::Link::Online);
    QCOMPARE(k3->count, 300);
    QCOMPARE(k3->displayName(), QStringLiteral("川辺"));
    QVERIFY(!g_funcCommPortOpen(3));
    // The window closed, its ports are the tool's again.
    g_subMenuCommand(18);
    QVERIFY(!g_frmSites1);
    QVERIFY(g_funcCommPortOpen(4));
    g_subCommPortClose();
    frmSites1::portMaker() = MakeSitePort;
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

QTEST_MAIN(TestSiteList)
#include "tst_sitelist.moc"
