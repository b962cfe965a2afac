// The site list on the virtual clock: what it keeps between runs of the tool (place, size,
// sort order and column widths in "frmst.tmp", the broker in "sites.ini"), the broker dialog,
// the bounds of the files it reads, the age that counts up, the sites of a watcher's
// configuration file polled by the program's site monitor on ports taken from the tool's own
// link, the alarms it watches while the window is closed, and a site's history in the trend
// window. The end-to-end suite tests/e2e/tst_gui_sites runs it against a broker and the
// watcher.
#include "support/AppFixture.h"
#include "support/AccessibleTree.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "editor/frmMain1.h"
#include "fleet/IniFile.h"
#include "fleet/frmSites1.h"
#include "link/modComm1.h"
#include "platform/ComPorts.h"
#include "settings/modUserData.h"
#include "graph/frmTrend1.h"
#include "monitor/modMonitor1.h"
#include "monitor/modTrendHistory.h"
#include "platform/Clock.h"
#include "platform/Geometry.h"
#include "platform/TextFile.h"

#include <QDir>
#include <QHeaderView>
#include <QHelpEvent>
#include <QToolTip>
#include <QMdiSubWindow>
#include <QSignalSpy>
#include <QtTest>

constexpr int kResortWait = frmSites1::kResortMs + 10; // the rows sorted again

class TestSiteList : public QObject {
    Q_OBJECT
private slots:
    void placeSortAndWidthsKept_data();
    void placeSortAndWidthsKept();
    void brokerDialogKeepsTheSource();
    void hostileSourceFiles_data();
    void hostileSourceFiles();
    void sourceFileReadBack();
    void ageCountsUp();
    void watchFileSitesTakeTheirPorts();
    void alarmsWatchedWhileTheListIsClosed();
    void historyInTheTrendWindow_data();
    void historyInTheTrendWindow();
    void historyBounded_data();
    void historyBounded();
    void shelvingAskedThroughTheDialog();
    void alarmListAndLampsOnEveryRow();
    void liveColumnsSortedOnceASecond();
    void searchAndSortAtAThousandRows();
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
    const QByteArray good = "[mqtt]\nurl=mqtt://127.0.0.1:1\nusername=u\npassword_file=" +
                            AppFixture::dataFile(QStringLiteral("pw")).toUtf8() + "\n";
    QTest::newRow("sites.ini past 64 KiB") << good + QByteArray(64 * 1024, ';') << QByteArray("x")
                                           << QStringLiteral("ﾌﾞﾛｰｶ未設定 (sites.ini: the file is larger than 65536 bytes)");
    QTest::newRow("password file past 4 KiB") << good << QByteArray(4097, 'x')
                                              << QStringLiteral("ﾊﾟｽﾜｰﾄﾞﾌｧｲﾙを読めません: the file is larger than 4096 bytes for a password");
    QTest::newRow("no password file") << good << QByteArray()
                                      << QStringLiteral("ﾊﾟｽﾜｰﾄﾞﾌｧｲﾙを読めません: the file does not exist");
    QTest::newRow("no broker address") << QByteArray("[mqtt]\nurl=nowhere\n") << QByteArray("x")
                                       << QStringLiteral("nowhere 使用できません (\"nowhere\" is no broker address; write mqtt://HOST:PORT or mqtts://HOST:PORT)");
    QTest::newRow("no UTF-8") << QByteArray("[mqtt]\nurl=\x01\xff\n") << QByteArray("x")
                              << QStringLiteral("ﾌﾞﾛｰｶ未設定 (sites.ini: the file is no UTF-8 text)");
    QTest::newRow("unknown key") << good + "host=h\n" << QByteArray("x")
                                 << QStringLiteral("ﾌﾞﾛｰｶ未設定 (sites.ini:5: unknown key host in [mqtt] (known: url, "
                                                   "topic_prefix, username, password_file))");
    QTest::newRow("outside a group") << QByteArray("url=mqtt://127.0.0.1:1\n") << QByteArray("x")
                                     << QStringLiteral("ﾌﾞﾛｰｶ未設定 (sites.ini:1: url stands outside a group)");
}

void TestSiteList::hostileSourceFiles()
{
    QFETCH(QByteArray, ini);
    QFETCH(QByteArray, password);
    QFETCH(QString, shown);
    AppFixture f;
    AppFixture::writeFile(AppFixture::dataFile(QStringLiteral("sites.ini")), ini);
    if (!password.isEmpty())
        AppFixture::writeFile(AppFixture::dataFile(QStringLiteral("pw")), password);
    // Started at start-up on the file, and shown when the list opens.
    f.startSeeded();
    g_subMenuCommand(18);
    QCOMPARE(g_frmSites1->SourceLabel->text(), shown);
    QCOMPARE(g_frmSites1->SourceLabel->accessibleName(), shown);
    QVERIFY(!g_frmSites1->client());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

// "sites.ini" holds the sources as the dialog took them, and gives them back whatever their
// characters; the watcher's reader reads it.
void TestSiteList::sourceFileReadBack()
{
    AppFixture f;
    SiteSource s;
    s.url = QStringLiteral("mqtt://127.0.0.1:1883");
    s.topicPrefix = QStringLiteral("depot/川辺");
    s.username = QStringLiteral("ops");
    s.passwordFile = QStringLiteral("/home/ops/pw;1,2 \"x\"");
    s.watchFile = QStringLiteral("/etc/qelvo/watchd #2.ini");
    QVERIFY(SaveSiteSource(s));
    QString fault;
    QCOMPARE(LoadSiteSource(&fault), s);
    QCOMPARE(fault, QString());
    // Plain values are written as they stand.
    s.passwordFile = QStringLiteral("/home/ops/pw");
    s.watchFile.clear();
    QVERIFY(SaveSiteSource(s));
    QCOMPARE(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("sites.ini"))),
             QByteArray("[mqtt]\nurl=mqtt://127.0.0.1:1883\ntopic_prefix=depot/川辺\nusername=ops\npassword_file=/home/ops/pw\n"
                        "[watch]\nfile=\n"));
    QCOMPARE(LoadSiteSource(&fault), s);
    // Never saved: the defaults, and no fault.
    QVERIFY(QFile::remove(SiteSourcePath()));
    QCOMPARE(LoadSiteSource(&fault), SiteSource());
    QCOMPARE(fault, QString());
}

void TestSiteList::ageCountsUp()
{
    AppFixture f;
    SiteBoard board;
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
    f.sim.usablePorts = {3, 4, 5, 6};
    f.startSeeded(3);
    SiteMonitor::portMaker() = [](const WatchSite &s) {
        auto p = std::make_unique<SimulatedPort>();
        p->usablePorts = {s.comPort};
        p->model().setLevel(100 * s.comPort);
        p->model().setCell(cellInputCode, 0x00);
        return std::unique_ptr<SerialPortService>(std::move(p));
    };
    const QString ini = AppFixture::dataFile(QStringLiteral("watchd.ini"));
    // k5's COM5 is the device server's line that k9 names: k9 is not polled.
    QVERIFY(QDir().mkpath(ComPortsFolder()));
    AppFixture::writeFile(ComPortLink(5), "tcp://127.0.0.1:9\n");
    AppFixture::writeFile(ini, "[sites]\nk3=COM3\nk4=COM4\nk5=COM5\nk9=tcp://127.0.0.1:9\n[k3]\ntitle=川辺\nwarn_outputs=2 3\n");
    SiteSource source;
    source.watchFile = ini;
    QVERIFY(SaveSiteSource(source));
    // The tool's own link holds COM3: that site waits, lost, while COM4's polls.
    QVERIFY(g_funcCommPortOpen(3));
    g_subMenuCommand(18);
    QVERIFY(g_frmSites1);
    QCOMPARE(g_frmSites1->WatchLabel->text(), QStringLiteral("watchd.ini 3ｻｲﾄ (ﾎﾟｰﾄ使用中: k9)"));
    Sleep(3000);
    const SiteBoard *board = g_frmSites1->board();
    const BoardRow *k3 = &board->rows().at(board->indexOf(QStringLiteral("k3")));
    const BoardRow *k4 = &board->rows().at(board->indexOf(QStringLiteral("k4")));
    QCOMPARE(k4->link, BoardRow::Link::Online);
    QVERIFY(k4->valueValid && k4->count == 400);
    QCOMPARE(k3->link, BoardRow::Link::Lost);
    QVERIFY2(k3->reason.contains(QStringLiteral("本ﾌﾟﾛｸﾞﾗﾑの通信でCOM3を使用中")), qPrintable(k3->reason));
    QCOMPARE(k3->warnMask, quint8(0x06));
    // Meanwhile the tool's link cannot have COM4, and the box after the fixed one says who has it.
    g_subCommPortClose();
    QVERIFY(!g_funcCommPortOpen(4));
    QVERIFY(!g_funcCommPortCheck(4));
    QVERIFY(!g_funcCommPortCheck(5));
    QVERIFY(g_funcCommPortCheck(6));
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
    // The window closed, the sites are still polled on their ports; a source without the file
    // gives them back to the tool.
    g_subMenuCommand(18);
    QVERIFY(!g_frmSites1);
    QVERIFY(!g_funcCommPortOpen(4));
    const qint64 k4Before = board->row(QStringLiteral("k4"))->lastMs;
    Sleep(2000);
    QVERIFY(board->row(QStringLiteral("k4"))->lastMs > k4Before);
    SiteSource none;
    QVERIFY(!siteMonitor().useSource(none)); // no broker set
    QVERIFY(siteMonitor().localSites().empty());
    QVERIFY(g_funcCommPortOpen(4));
    g_subCommPortClose();
    SiteMonitor::portMaker() = MakeSitePort;
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

// With ｻｲﾄ一覧 closed, a polled site's outputs turning on raise the alarm: the bell, the
// notification, the alarm log and the count in the frame's status bar; the window opened
// afterwards shows it, and its 確認 clears the frame's count. The polled sites' alarms are
// the view's own book's, in the states a watcher's have: shelved here (no broker needed),
// back by themselves when the time is up, or at once by 抑制解除.
void TestSiteList::alarmsWatchedWhileTheListIsClosed()
{
    AppFixture f;
    SimulatedPort *controller = nullptr;
    SiteMonitor::portMaker() = [&controller](const WatchSite &s) {
        auto p = std::make_unique<SimulatedPort>();
        p->usablePorts = {s.comPort};
        p->model().setLevel(400);
        p->model().setCell(cellInputCode, 0x00);
        controller = p.get();
        return std::unique_ptr<SerialPortService>(std::move(p));
    };
    const QString ini = AppFixture::dataFile(QStringLiteral("watchd.ini"));
    AppFixture::writeFile(ini, "[sites]\nk4=COM4\n[k4]\ntitle=川辺\nwarn_outputs=1 2\n");
    SiteSource source;
    source.watchFile = ini;
    QVERIFY(SaveSiteSource(source));
    f.startSeeded();
    QVERIFY(!g_frmSites1);
    Sleep(3000);
    const SiteBoard *board = siteMonitor().board();
    QVERIFY(board->row(QStringLiteral("k4")) && controller);
    QCOMPARE(board->row(QStringLiteral("k4"))->link, BoardRow::Link::Online);
    QCOMPARE(board->row(QStringLiteral("k4"))->outputs, 0);
    QVERIFY(!g_frmMdi1->SitesAlarmPanel->isVisibleTo(g_frmMdi1));

    // Level 0: every output of the controller closes (all its windows are 0-0).
    controller->model().setLevel(0);
    Sleep(2000);
    const BoardRow *k4 = board->row(QStringLiteral("k4"));
    QCOMPARE(k4->outputs, 0xFF);
    QVERIFY(k4->hasService && !k4->alarm.latched);
    QCOMPARE(SiteTableModel::serviceText(k4->service, Now()), QStringLiteral("未確認 出力1 ON 他1件"));
    QCOMPARE(k4->alarm.active, (QList<AlarmCause>{AlarmCause::Output1, AlarmCause::Output2}));
    QCOMPARE(f.dlg.beeps, 1);
    QCOMPARE(f.dlg.notifications, QStringList{QStringLiteral("ｻｲﾄ警報|川辺 (k4): 出力1 ON")});
    QVERIFY(g_frmMdi1->SitesAlarmPanel->isVisibleTo(g_frmMdi1));
    QCOMPARE(g_frmMdi1->SitesAlarmPanel->text(), QStringLiteral("未確認警報 : 2件"));
    // The level back: the causes clear, the alarms stay until acknowledged.
    controller->model().setLevel(400);
    Sleep(2000);
    QCOMPARE(SiteTableModel::serviceText(k4->service, Now()), QStringLiteral("復帰未確認 出力1 ON 他1件"));
    QCOMPARE(g_frmMdi1->SitesAlarmPanel->text(), QStringLiteral("未確認警報 : 2件"));

    g_subMenuCommand(18);
    QVERIFY(g_frmSites1);
    QCOMPARE(g_frmSites1->windowTitle(), QStringLiteral("ｻｲﾄ一覧ﾊﾟﾈﾙ - 未確認の警報 2件"));
    QCOMPARE(g_frmSites1->AlarmLabel->text(), QStringLiteral("警報: 川辺 出力1 ON"));
    QCOMPARE(g_frmSites1->AlarmLabel->accessibleName(), QStringLiteral("警報: 川辺 出力1 ON"));
    QCOMPARE(g_frmSites1->WatchLabel->text(), QStringLiteral("watchd.ini 1ｻｲﾄ"));
    const QAbstractItemModel *view = g_frmSites1->proxy();
    QCOMPARE(view->rowCount(), 1);
    QCOMPARE(view->index(0, SiteTableModel::ColAlarm).data().toString(), QStringLiteral("復帰未確認 出力1 ON 他1件"));
    QCOMPARE(view->index(0, 0).data(Qt::BackgroundRole).value<QColor>(), QColor(0xF0, 0xD0, 0x30));
    g_frmSites1->SiteTable->selectAll();
    // Acted on here: no broker needed.
    QVERIFY(g_frmSites1->AckButton->isEnabled() && g_frmSites1->ShelveButton->isEnabled());
    g_frmSites1->AckButton->click();
    QVERIFY(k4->service.alarms.isEmpty());
    QVERIFY(!g_frmMdi1->SitesAlarmPanel->isVisibleTo(g_frmMdi1));
    QCOMPARE(g_frmSites1->windowTitle(), QStringLiteral("ｻｲﾄ一覧ﾊﾟﾈﾙ"));
    QCOMPARE(g_frmSites1->AlarmLabel->text(), QStringLiteral("警報なし"));

    // Acknowledged while its causes hold, it is no 警報なし until they clear.
    controller->model().setLevel(0);
    Sleep(2000);
    g_frmSites1->SiteTable->selectAll();
    g_frmSites1->AckButton->click();
    QCOMPARE(board->unacknowledged(), 0);
    QCOMPARE(g_frmSites1->AlarmLabel->text(), QStringLiteral("確認済の警報 継続中 : 1件"));
    QCOMPARE(g_frmSites1->AlarmLabel->accessibleName(), g_frmSites1->AlarmLabel->text());
    controller->model().setLevel(400);
    Sleep(2000);
    QCOMPARE(g_frmSites1->AlarmLabel->text(), QStringLiteral("警報なし"));

    // Tab leaves the table for the next control.
    QVERIFY(!g_frmSites1->SiteTable->tabKeyNavigation());
    g_frmSites1->SiteTable->setFocus();
    if (QApplication::focusWidget() == g_frmSites1->SiteTable) { // where the platform gives focus
        QTest::keyClick(g_frmSites1->SiteTable, Qt::Key_Tab);
        QVERIFY(QApplication::focusWidget() != g_frmSites1->SiteTable);
    }

    // The alarm log: both warning stages came and went, and the acknowledgement.
    QStringList steps;
    for (const QString &line : SjisDecode(AppFixture::readFile(SiteMonitor::alarmLogPath())).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        steps << line.section(QLatin1Char(','), 1);
    const QString me = SiteMonitor::loginName();
    QCOMPARE(steps, (QStringList{"k4,発生,出力1 ON,", "k4,発生,出力2 ON,", "k4,解除,出力1 ON,", "k4,解除,出力2 ON,",
                                 "k4,確認,出力1 ON," + me, "k4,確認,出力2 ON," + me, "k4,発生,出力1 ON,",
                                 "k4,発生,出力2 ON,", "k4,確認,出力1 ON," + me, "k4,確認,出力2 ON," + me,
                                 "k4,解除,出力1 ON,", "k4,解除,出力2 ON,"}));

    // Shelved here for 15 minutes: out of the count, grey with the time left, in 警報一覧;
    // back by itself when the time is up, as a new alarm while the cause holds.
    controller->model().setLevel(0);
    Sleep(2000);
    QCOMPARE(board->unacknowledged(), 2);
    f.dlg.modalHandler = [](QDialog *d) {
        auto *dlg = qobject_cast<frmSiteShelve1 *>(d);
        QVERIFY(dlg);
        dlg->ReasonEdit->setText(QStringLiteral("調整中"));
        dlg->OkButton->click();
    };
    g_frmSites1->SiteTable->selectAll();
    g_frmSites1->ShelveButton->click();
    QCOMPARE(g_frmSites1->AlarmLabel->text(), QStringLiteral("一時抑制しました (2件)"));
    QCOMPARE(board->unacknowledged(), 0);
    QCOMPARE(view->index(0, SiteTableModel::ColAlarm).data().toString(), QStringLiteral("抑制中 (残り15分) 出力1 ON 他1件"));
    QCOMPARE(k4->service.alarms.first().shelvedBy, me);
    QCOMPARE(k4->service.alarms.first().reason, QStringLiteral("調整中"));
    QCoreApplication::processEvents();
    QCOMPARE(g_frmSites1->alarmList()->rowCount(), 2);
    QCOMPARE(g_frmSites1->alarmList()->index(0, SiteAlarmList::ColState).data().toString(), QStringLiteral("抑制中 (残り15分)"));
    Sleep(14 * 60 * 1000);
    QCOMPARE(board->unacknowledged(), 0);
    Sleep(61 * 1000);
    QCOMPARE(board->unacknowledged(), 2);
    QCOMPARE(view->index(0, SiteTableModel::ColAlarm).data().toString(), QStringLiteral("未確認 出力1 ON 他1件"));
    // Shelved again, and back at once by 抑制解除.
    g_frmSites1->ShelveButton->click();
    QCOMPARE(board->unacknowledged(), 0);
    g_frmSites1->UnshelveButton->click();
    QCOMPARE(g_frmSites1->AlarmLabel->text(), QStringLiteral("抑制解除しました (1ｻｲﾄ)"));
    QCOMPARE(board->unacknowledged(), 2);
    f.dlg.modalHandler = nullptr;
    steps.clear();
    for (const QString &line : SjisDecode(AppFixture::readFile(SiteMonitor::alarmLogPath())).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        steps << line.section(QLatin1Char(','), 1);
    QCOMPARE(steps.mid(12), (QStringList{"k4,発生,出力1 ON,", "k4,発生,出力2 ON,", "k4,一時抑制,出力1 ON," + me,
                                         "k4,一時抑制,出力2 ON," + me, "k4,抑制終了,出力1 ON,", "k4,抑制終了,出力2 ON,",
                                         "k4,発生,出力1 ON,", "k4,発生,出力2 ON,", "k4,一時抑制,出力1 ON," + me,
                                         "k4,一時抑制,出力2 ON," + me, "k4,抑制解除,出力1 ON," + me,
                                         "k4,抑制解除,出力2 ON," + me, "k4,発生,出力1 ON,", "k4,発生,出力2 ON,"}));
    SiteMonitor::portMaker() = MakeSitePort;
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestSiteList::historyInTheTrendWindow_data()
{
    QTest::addColumn<QString>("site");
    QTest::addColumn<bool>("enter");
    for (const char *site : {"k1", "k2"})
        for (bool enter : {false, true})
            QTest::addRow("%s %s", site, enter ? "Enter" : "double-click") << QString::fromLatin1(site) << enter;
}

void TestSiteList::historyInTheTrendWindow()
{
    QFETCH(QString, site);
    QFETCH(bool, enter);
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(18);
    EditorTexts t = g_frmMain1->editorTexts();
    t.cell[1][1] = QStringLiteral("1.00"); // a threshold of the tool's own controller
    g_frmMain1->setEditorTexts(t);
    SiteBoard *board = g_frmSites1->board();
    board->setTitle(QStringLiteral("k1"), QStringLiteral("川辺"));
    // k1 from a broker at the watcher's times, one reading without a value and one without
    // outputs; k2 polled, past what the series holds at first. Value NaN, outputs -1: none.
    struct Fed { double value; int outputs; qint64 ms; };
    QList<Fed> fed[2];
    for (int i = 0; i < 40; ++i) {
        const Fed a{i == 7 ? qQNaN() : i * 0.37 - 1, i == 9 ? -1 : i, Now().toMSecsSinceEpoch() - 90000};
        QVERIFY(board->takeMessage(QStringLiteral("q"), QStringLiteral("q/k1/reading"),
                                   QStringLiteral(R"({"site":"k1",%1"unit":"V","outputs":"%2","time":"%3"})")
                                       .arg(i == 7 ? QString() : QStringLiteral("\"value\":%1,").arg(a.value),
                                            i == 9 ? QStringLiteral("zz") : QString::number(i, 16),
                                            QDateTime::fromMSecsSinceEpoch(a.ms).toString(Qt::ISODateWithMs))
                                       .toUtf8()));
        Reading r;
        r.valueValid = r.outputsValid = true;
        r.value = 700 - i * 25.5;
        r.outputs = 0x80 | i;
        board->takeReading(QStringLiteral("k2"), r, 5000);
        fed[0] << a;
        fed[1] << Fed{qBound(-327.68, r.value, 327.67), r.outputs, Now().toMSecsSinceEpoch()};
        Sleep(5000);
    }
    QModelIndex cell; // the site's value in the view
    for (int i = 0; i < 2; ++i)
        if (g_frmSites1->proxy()->index(i, 0).data(SiteTableModel::kNameRole) == site)
            cell = g_frmSites1->proxy()->index(i, SiteTableModel::ColValue);
    if (enter) {
        g_frmSites1->SiteTable->setCurrentIndex(cell);
        QTest::keyClick(g_frmSites1->SiteTable, Qt::Key_Return);
    } else {
        // As a double-click comes: a click (which opens nothing), then the second press.
        const QPoint at = g_frmSites1->SiteTable->visualRect(cell).center();
        QTest::mouseClick(g_frmSites1->SiteTable->viewport(), Qt::LeftButton, {}, at);
        QVERIFY(!g_frmTrend1);
        QTest::mouseDClick(g_frmSites1->SiteTable->viewport(), Qt::LeftButton, {}, at);
    }
    QVERIFY(g_frmTrend1);
    const TrendSeries *s = g_frmTrend1->Plot->source().series;
    const QList<Fed> &e = fed[site == QLatin1String("k2")];
    QCOMPARE(s, board->history(board->indexOf(site)).get());
    QCOMPARE(s->size(), qint64(e.size()));
    for (int i = 0; i < e.size(); ++i) {
        const TrendSeries::Reading r = s->at(i);
        QCOMPARE(r.flags & TrendSeries::NoValue ? 1e9 : g_frmTrend1->Plot->valueOf(r.value),
                 qIsNaN(e[i].value) ? 1e9 : std::round(e[i].value * 100) / 100);
        QCOMPARE(r.flags & TrendSeries::NoOutputs ? -1 : int(r.outputs), e[i].outputs);
        QCOMPARE(r.written, e[i].ms);
    }
    const QString caption = site == QLatin1String("k1") ? QStringLiteral("ｻｲﾄ: 川辺 (k1)") : QStringLiteral("ｻｲﾄ: k2");
    const auto showsSite = [&] {
        return g_frmTrend1->Plot->source().series == s && g_frmTrend1->SourceLabel->text().startsWith(caption) &&
               g_frmTrend1->Plot->thresholds().isEmpty() && g_frmTrend1->describe().startsWith(caption) &&
               g_frmTrend1->savedPicture().text(QStringLiteral("Title")).contains(caption);
    };
    QVERIFY2(showsSite(), qPrintable(g_frmTrend1->SourceLabel->text()));
    // The tool's own readings, its grid and settings leave the site shown; so does closing the
    // office view.
    g_subTrendHistoryAdd(Now().toMSecsSinceEpoch(), QStringLiteral("0200"), QStringLiteral("01"));
    emit monitorEvents().readingStored();
    g_subMonitorWindowsRefresh();
    emit appEvents().gridCommitted();
    Sleep(1100);
    g_subMenuCommand(18);
    QVERIFY(!g_frmSites1 && showsSite());
    QCOMPARE(s->size(), qint64(e.size()));
    // "最新": the tool's live readings again, with the grid's thresholds.
    g_frmTrend1->LatestButton->click();
    QCOMPARE(g_frmTrend1->Plot->source().series, &g_funcTrendHistory());
    QVERIFY(g_frmTrend1->SourceLabel->text().startsWith(QStringLiteral("ﾗｲﾌﾞ")) && !g_frmTrend1->Plot->thresholds().isEmpty());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestSiteList::historyBounded_data()
{
    QTest::addColumn<int>("readings");
    QTest::addColumn<int>("stepMs"); // between two readings' own times
    QTest::addColumn<int>("back");   // every other reading's time goes back by this many steps
    for (int n : {1, 17, 86400, 86401, 100000})
        QTest::addRow("%d a second", n) << n << 1000 << 0;
    QTest::addRow("2 s apart past a day") << 50000 << 2000 << 0;
    for (int n : {19999, 20002, 30000})
        QTest::addRow("%d back and forth", n) << n << 10 << 5;
}

void TestSiteList::historyBounded()
{
    QFETCH(int, readings);
    QFETCH(int, stepMs);
    QFETCH(int, back);
    AppFixture f;
    SiteBoard board;
    Reading r;
    r.valueValid = true;
    for (int i = 0; i < readings; ++i) {
        r.time = QDateTime::fromMSecsSinceEpoch(1'790'000'000'000 + qint64(i - back * (i % 2)) * stepMs);
        board.takeReading(QStringLiteral("k1"), r, 1000);
    }
    const auto h = board.history(0);
    const TrendSeries::Summarised how = h->summarising();
    QVERIFY(h->summarised());
    // Whichever bound comes first: a day, 86400 readings, the steps back a series keeps (past
    // them the band's oldest stretch goes, at most a slot's steps more than needed).
    if (!back || readings / 2 <= TrendSeries::kMaxSteps)
        QCOMPARE(h->stepCount(), back ? qint64(readings / 2) : 0);
    else
        QVERIFY2(h->stepCount() <= TrendSeries::kMaxSteps && h->stepCount() >= TrendSeries::kMaxSteps * 9 / 10,
                 qPrintable(QString::number(h->stepCount())));
    const qint64 held = std::min({qint64(readings), SiteBoard::kHistoryMaxReadings, SiteBoard::kHistoryMs / stepMs + 1});
    if (!back) {
        // The last hour in full (whole slots of the band pass on), the older ones in the band,
        // which reaches back over what the day holds.
        const qint64 exact = std::min({held, how.exactMax, how.exactMs / stepMs + 1});
        QVERIFY2(h->size() >= exact && h->size() <= exact + how.slotMs / stepMs, qPrintable(QString::number(h->size())));
        QCOMPARE(h->bandCount() > 0, held > exact + how.slotMs / stepMs);
        QVERIFY(h->lastMs() - h->firstMs() >= (held - 1) * stepMs - how.slotMs);
        QCOMPARE(h->summarizeAll().hasValue(), true);
    }
    QVERIFY(h->lastMs() - h->firstMs() <= SiteBoard::kHistoryMs);
    // It takes about what it holds, however short: a reading held in full, a slot of the band,
    // a step back with where its slots start (the vectors at most doubled); a day of a reading a
    // second under 100 KB.
    const qint64 bound = 24 * h->size() + 16 * h->bandCount() + 128 * h->stepCount() + 4096;
    QVERIFY2(h->bytes() <= bound, qPrintable(QStringLiteral("%1 > %2").arg(h->bytes()).arg(bound)));
    if (!back)
        QVERIFY2(h->bytes() <= 100 * 1024, qPrintable(QString::number(h->bytes())));
}

namespace {
QByteArray siteState(const QString &site, const char *st, const QString &title = {})
{
    return QStringLiteral(R"({"site":"%1","state":"%2","since":"","reason":"","title":"%3","watchd":"w1"})")
        .arg(site, QLatin1String(st), title.isEmpty() ? site : title)
        .toUtf8();
}
QByteArray siteReading(const QString &site, double value, const char *outputs)
{
    return QStringLiteral(R"({"site":"%1","count":512,"value":%2,"unit":"V","outputs":"%3"})")
        .arg(site)
        .arg(value, 0, 'f', 2)
        .arg(QLatin1String(outputs))
        .toUtf8();
}
QByteArray serviceAlarms(const QString &site, quint64 seq, AlarmState core, bool active)
{
    SiteAlarms s;
    s.site = site;
    s.seq = seq;
    Alarm a;
    a.cause = AlarmCause::Output1;
    a.core = core;
    a.active = active;
    a.raised = Now();
    if (core != AlarmState::Normal) // a normal alarm is not published
        s.alarms << a;
    return AlarmsPayload(s);
}
QStringList shownOrder(const QAbstractItemModel *m)
{
    QStringList l;
    for (int r = 0; r < m->rowCount(); ++r)
        l << m->index(r, 0).data(SiteTableModel::kNameRole).toString();
    return l;
}
} // namespace

// 一時抑制(&S)... asks through a dialog of the dialog service for one of three durations and
// a reason (OK waits for one); the buttons of a selection of the service's sites are
// disabled, with the reason in their tooltips and accessible descriptions, where no broker
// takes the command, and the status line tells it.
void TestSiteList::shelvingAskedThroughTheDialog()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(18);
    QVERIFY(g_frmSites1);
    frmSites1 *w = g_frmSites1;
    SiteBoard *board = w->board();
    QVERIFY(board->takeMessage("q", "q/a/state", siteState("a", "online")));
    QVERIFY(board->takeMessage("q", "q/a/alarms", serviceAlarms("a", 1, AlarmState::Unack, true)));
    Sleep(kResortWait);
    QCOMPARE(w->ShelveButton->text(), QStringLiteral("一時抑制(&S)..."));
    QCOMPARE(w->UnshelveButton->text(), QStringLiteral("抑制解除(&U)"));
    // Nothing selected that the service keeps: the buttons stand ready.
    QVERIFY(w->ShelveButton->isEnabled() && w->UnshelveButton->isEnabled());
    w->SiteTable->selectAll();
    for (QPushButton *b : {w->AckButton, w->ShelveButton, w->UnshelveButton}) {
        QVERIFY(!b->isEnabled());
        QVERIFY2(b->toolTip().endsWith(QStringLiteral("できません: ﾌﾞﾛｰｶ未設定")), qPrintable(b->toolTip()));
        QAccessibleInterface *node = accessibleNode(w, b);
        QVERIFY(node);
        QCOMPARE(node->text(QAccessible::Description), b->toolTip());
    }
    QCOMPARE(accessibleNode(w, w->ShelveButton)->text(QAccessible::Name), QStringLiteral("一時抑制"));

    // The dialog, as the dialog service runs it: three durations, a reason needed.
    QStringList durations;
    bool okWithout = true, okWith = false;
    QString okWhy;
    int shown = 0;
    f.dlg.modalHandler = [&](QDialog *d) {
        auto *dlg = qobject_cast<frmSiteShelve1 *>(d);
        QVERIFY(dlg);
        ++shown;
        for (int i = 0; i < dlg->DurationCombo->count(); ++i)
            durations << dlg->DurationCombo->itemText(i) + QLatin1Char('=') + dlg->DurationCombo->itemData(i).toString();
        okWithout = dlg->OkButton->isEnabled();
        okWhy = accessibleNode(dlg, dlg->OkButton)->text(QAccessible::Description);
        QCOMPARE(accessibleNode(dlg, dlg->ReasonEdit)->text(QAccessible::Name), QStringLiteral("理由"));
        // The combo box reads as its choice, labelled by its caption.
        QAccessibleInterface *combo = accessibleNode(dlg, dlg->DurationCombo);
        QCOMPARE(combo->text(QAccessible::Value), QStringLiteral("15分"));
        const auto labels = combo->relations(QAccessible::Label);
        QVERIFY(!labels.isEmpty() && labels.first().first->text(QAccessible::Name).startsWith(QStringLiteral("抑制時間")));
        dlg->DurationCombo->setCurrentIndex(1);
        dlg->ReasonEdit->setText(QStringLiteral("  点検中 "));
        okWith = dlg->OkButton->isEnabled();
        QCOMPARE(dlg->minutes(), 60);
        QCOMPARE(dlg->reason(), QStringLiteral("点検中"));
        dlg->OkButton->click();
    };
    w->Command_Shelve();
    QCOMPARE(shown, 1);
    QCOMPARE(durations, (QStringList{"15分=15", "1時間=60", "8時間=480"}));
    QVERIFY(!okWithout && okWith);
    QCOMPARE(okWhy, QStringLiteral("理由を入力してください"));
    // No broker: nothing sent, and the status line says why.
    QCOMPARE(w->AlarmLabel->text(), QStringLiteral("一時抑制できません: ﾌﾞﾛｰｶ未設定"));
    w->Command_Unshelve();
    QCOMPARE(w->AlarmLabel->text(), QStringLiteral("抑制中の警報がありません"));
    // Cancelled: nothing asked of anyone.
    f.dlg.modalHandler = [](QDialog *d) { qobject_cast<frmSiteShelve1 *>(d)->CancelButton->click(); };
    w->AlarmLabel->clear();
    w->Command_Shelve();
    QCOMPARE(w->AlarmLabel->text(), QString());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

// 警報一覧 under the table reads as its lines to assistive technology; the lamps stand out on
// every row colour (a light ring outside a dark one) and each one's tooltip names its output.
void TestSiteList::alarmListAndLampsOnEveryRow()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(18);
    frmSites1 *w = g_frmSites1;
    QVERIFY(w);
    w->window()->resize(1000, 700);
    SiteBoard *board = w->board();
    // Red (unacknowledged), yellow (returned), grey text (shelved) and a plain row, every
    // output on.
    const QStringList sites = {"r1", "r2", "r3", "r4"};
    for (const QString &s : sites) {
        QVERIFY(board->takeMessage("q", "q/" + s + "/state", siteState(s, "online")));
        QVERIFY(board->takeMessage("q", "q/" + s + "/reading", siteReading(s, 2.5, "ff")));
    }
    QVERIFY(board->takeMessage("q", "q/r1/alarms", serviceAlarms("r1", 1, AlarmState::Unack, true)));
    QVERIFY(board->takeMessage("q", "q/r2/alarms", serviceAlarms("r2", 1, AlarmState::Rtnun, false)));
    QVERIFY(board->takeMessage("q", "q/r3/alarms", serviceAlarms("r3", 1, AlarmState::Acked, true)));
    QVERIFY(board->takeMessage("q", "q/r4/alarms", serviceAlarms("r4", 1, AlarmState::Normal, false)));
    Sleep(kResortWait);
    QCOMPARE(shownOrder(w->proxy()), sites);

    // The list: one line per alarm, the control named for the ear.
    QAccessibleInterface *list = accessibleNode(w, w->AlarmTable);
    QVERIFY(list && list->tableInterface());
    QCOMPARE(list->text(QAccessible::Name), QStringLiteral("警報一覧"));
    QCOMPARE(list->tableInterface()->rowCount(), 3);
    QStringList states;
    for (int r = 0; r < 3; ++r)
        states << list->tableInterface()->cellAt(r, SiteAlarmList::ColSite)->text(QAccessible::Name) + QLatin1Char(' ') +
                      list->tableInterface()->cellAt(r, SiteAlarmList::ColState)->text(QAccessible::Name);
    states.sort();
    QCOMPARE(states, (QStringList{"r1 未確認", "r2 復帰未確認", "r3 確認済"}));
    // Tab reaches it from the table and leaves it for 確認.
    QVERIFY(!w->AlarmTable->tabKeyNavigation());
    const auto nextTabStop = [](QWidget *from) {
        QWidget *n = from->nextInFocusChain();
        while (n != from && (from->isAncestorOf(n) || !(n->focusPolicy() & Qt::TabFocus)))
            n = n->nextInFocusChain();
        return n;
    };
    QCOMPARE(nextTabStop(w->SiteTable), static_cast<QWidget *>(w->AlarmTable));
    QCOMPARE(nextTabStop(w->AlarmTable), static_cast<QWidget *>(w->AckButton));

    // Each lamp ring: white outside, dark inside, on the red, yellow, red-text and plain rows.
    w->show();
    QCoreApplication::processEvents();
    const QImage img = w->SiteTable->viewport()->grab().toImage();
    for (int r = 0; r < 4; ++r) {
        const QRect cell = w->SiteTable->visualRect(w->proxy()->index(r, SiteTableModel::ColOutputs));
        QVERIFY(!cell.isEmpty());
        const QRect lamp1(cell.x() + 4, cell.y() + 3, cell.width() / 8, cell.height() - 6);
        int light = 0, dark = 0;
        for (int y = lamp1.top(); y <= lamp1.bottom(); ++y)
            for (int x = lamp1.left(); x <= lamp1.right(); ++x) {
                const QColor c = img.pixelColor(x * img.devicePixelRatio(), y * img.devicePixelRatio());
                light += c.red() > 225 && c.green() > 225 && c.blue() > 225;
                dark += c.red() < 80 && c.green() < 80 && c.blue() < 80;
            }
        QVERIFY2(light >= 6 && dark >= 6, qPrintable(QStringLiteral("row %1: %2 light, %3 dark").arg(r).arg(light).arg(dark)));
    }
    // A lamp's tooltip names its output.
    const QRect cell = w->SiteTable->visualRect(w->proxy()->index(3, SiteTableModel::ColOutputs));
    const QRect inner = cell.adjusted(4, 3, -4, -3);
    const QPoint third(inner.x() + inner.width() * 2 / 8 + 3, cell.center().y());
    QHelpEvent help(QEvent::ToolTip, third, w->SiteTable->viewport()->mapToGlobal(third));
    QCoreApplication::sendEvent(w->SiteTable->viewport(), &help);
    QCOMPARE(QToolTip::text(), QStringLiteral("出力3: ON"));
    QToolTip::hideText();

    // Every state at once, for the picture of the README ($QELVO_SCREENSHOTS/sites_states.png):
    // shelved, in maintenance, a lost site's stale values, and quiet rows.
    const QDateTime now = Now();
    Alarm shelved;
    shelved.cause = AlarmCause::Output2;
    shelved.core = AlarmState::Unack;
    shelved.active = true;
    shelved.raised = now.addSecs(-300);
    shelved.shelvedBy = QStringLiteral("sato");
    shelved.shelvedUntil = now.addSecs(45 * 60);
    shelved.reason = QStringLiteral("点検中");
    Alarm maintained = shelved;
    maintained.cause = AlarmCause::NoReply;
    maintained.shelvedUntil = QDateTime();
    maintained.suppressed = true;
    const QStringList titles = {"観測所1", "観測所2", "観測所3", "観測所4", "観測所5", "観測所6", "観測所7", "観測所8"};
    for (int i = 0; i < 8; ++i)
        board->takeMessage("q", QStringLiteral("q/r%1/state").arg(i + 1), siteState(QStringLiteral("r%1").arg(i + 1), "online", titles[i]));
    for (int i = 4; i < 8; ++i)
        board->takeMessage("q", QStringLiteral("q/r%1/reading").arg(i + 1), siteReading(QStringLiteral("r%1").arg(i + 1), 1.2 + i * 0.3, i == 5 ? "03" : "00"));
    for (const auto &[site, a] : {std::pair{QStringLiteral("r5"), shelved}, std::pair{QStringLiteral("r6"), maintained}}) {
        SiteAlarms list;
        list.site = site;
        list.seq = 1;
        list.alarms << a;
        QVERIFY(board->takeMessage("q", "q/" + site + "/alarms", AlarmsPayload(list)));
    }
    Sleep(5000);
    board->takeMessage("q", "q/r7/state", siteState("r7", "lost", titles[6]));
    Sleep(95 * 1000);
    for (const QString &s : {"r1", "r2", "r3", "r4", "r5", "r6", "r8"})
        board->takeMessage("q", "q/" + s + "/reading", siteReading(s, s == QLatin1String("r2") ? 1.1 : 2.5, s == QLatin1String("r6") ? "03" : s == QLatin1String("r8") ? "00" : "ff"));
    Sleep(kResortWait);
    QCoreApplication::processEvents();
    QCOMPARE(w->alarmList()->rowCount(), 6);
    const QModelIndex stale = w->proxy()->index(6, SiteTableModel::ColValue);
    QVERIFY2(stale.data(Qt::AccessibleTextRole).toString().startsWith(QStringLiteral("3.00 V (古い値 1分4")),
             qPrintable(stale.data(Qt::AccessibleTextRole).toString()));
    if (const QString shots = qEnvironmentVariable("QELVO_SCREENSHOTS"); !shots.isEmpty()) {
        QDir().mkpath(shots);
        g_frmMdi1->resize(1000, 640);
        if (auto *sub = qobject_cast<QMdiSubWindow *>(w->parentWidget()))
            sub->setGeometry(0, 0, 980, 560);
        g_frmMdi1->show();
        QCoreApplication::processEvents();
        QVERIFY(g_frmMdi1->grab().save(shots + QStringLiteral("/sites_states.png")));
    }
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

// Sorted by a live column, the rows move at most once a second, and never while the pointer
// is over the table.
void TestSiteList::liveColumnsSortedOnceASecond()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(18);
    frmSites1 *w = g_frmSites1;
    QVERIFY(w);
    SiteBoard *board = w->board();
    const QStringList sites = {"a", "b", "c"};
    for (int i = 0; i < 3; ++i) {
        QVERIFY(board->takeMessage("q", "q/" + sites[i] + "/state", siteState(sites[i], "online")));
        QVERIFY(board->takeMessage("q", "q/" + sites[i] + "/reading", siteReading(sites[i], 1.0 + i, "00")));
    }
    w->SiteTable->sortByColumn(SiteTableModel::ColValue, Qt::AscendingOrder);
    QCOMPARE(shownOrder(w->proxy()), (QStringList{"a", "b", "c"}));
    const int before = w->resorts();
    // c falls below a: the rows wait for the next second.
    QVERIFY(board->takeMessage("q", "q/c/reading", siteReading("c", 0.5, "00")));
    QCOMPARE(shownOrder(w->proxy()), (QStringList{"a", "b", "c"}));
    Sleep(frmSites1::kResortMs + 10);
    QCOMPARE(shownOrder(w->proxy()), (QStringList{"c", "a", "b"}));
    // Readings every 100 ms for 3 s: at most one sort a second.
    for (int i = 0; i < 30; ++i) {
        QVERIFY(board->takeMessage("q", "q/a/reading", siteReading("a", (i % 2) ? 9.0 : 0.1, "00")));
        Sleep(100);
    }
    QVERIFY2(w->resorts() - before <= 5, qPrintable(QString::number(w->resorts() - before)));
    Sleep(frmSites1::kResortMs + 10);
    QCOMPARE(shownOrder(w->proxy()), (QStringList{"c", "b", "a"})); // a's last: 9.00
    // The pointer over the rows: they stay, whatever comes, until it leaves.
    QEvent enter(QEvent::Enter);
    QCoreApplication::sendEvent(w->SiteTable->viewport(), &enter);
    QVERIFY(w->pointerOverTable());
    QVERIFY(board->takeMessage("q", "q/a/reading", siteReading("a", 0.1, "00")));
    Sleep(5 * frmSites1::kResortMs);
    QCOMPARE(shownOrder(w->proxy()), (QStringList{"c", "b", "a"}));
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(w->SiteTable->viewport(), &leave);
    Sleep(frmSites1::kResortMs + 10);
    QCOMPARE(shownOrder(w->proxy()), (QStringList{"a", "c", "b"}));
    // Sorted by the site's name, a new row takes its place within the second.
    w->SiteTable->sortByColumn(SiteTableModel::ColSite, Qt::AscendingOrder);
    QVERIFY(board->takeMessage("q", "q/a0/state", siteState("a0", "online")));
    Sleep(frmSites1::kResortMs + 10);
    QCOMPARE(shownOrder(w->proxy()), (QStringList{"a", "a0", "b", "c"}));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

// A thousand sites: the search finds the rows a plain scan of the names and titles finds, in
// their order; sorted by the name (numbers as numbers) or by 水位, the rows are in the order a
// plain sort gives; readings of every site neither filter nor sort the rows again until the
// next second (no layout change meanwhile), and then the order is the new values'.
void TestSiteList::searchAndSortAtAThousandRows()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(18);
    frmSites1 *w = g_frmSites1;
    QVERIFY(w);
    SiteBoard *board = w->board();
    constexpr int kSites = 1000;
    const auto name = [](int i) { return QStringLiteral("s%1").arg(i, 3, 10, QLatin1Char('0')); };
    // Site i is 観測所(1000 - i): the names' order is not the titles'. The values all differ.
    const auto value = [](int i, int round) { return double((i * 7919 + round * 104729) % 100003) / 100; };
    for (int i = 0; i < kSites; ++i) {
        QVERIFY(board->takeMessage("q", "q/" + name(i) + "/state", siteState(name(i), "online", QStringLiteral("観測所%1").arg(kSites - i))));
        QVERIFY(board->takeMessage("q", "q/" + name(i) + "/reading", siteReading(name(i), value(i, 0), "00")));
    }
    Sleep(kResortWait);
    QCOMPARE(w->proxy()->rowCount(), kSites);
    // By サイト: 観測所1, 観測所2 ... 観測所1000, so s999 first.
    QStringList byTitle;
    for (int n = 1; n <= kSites; ++n)
        byTitle << name(kSites - n);
    QCOMPARE(shownOrder(w->proxy()), byTitle);

    // The search, by title and by name, as a plain scan finds it, in the same order.
    const auto plainSearch = [&](const QString &text) {
        QStringList found;
        for (const QString &site : byTitle) {
            const BoardRow *r = board->row(site);
            if (r->name.contains(text, Qt::CaseInsensitive) || r->title.contains(text, Qt::CaseInsensitive))
                found << site;
        }
        return found;
    };
    for (const QString text : {QStringLiteral("観測所12"), QStringLiteral("S09"), QStringLiteral("7"), QStringLiteral("観測所1000")}) {
        w->FilterEdit->setText(text);
        const QStringList want = plainSearch(text);
        QVERIFY(!want.isEmpty());
        QCOMPARE(shownOrder(w->proxy()), want);
    }
    QCOMPARE(shownOrder(w->proxy()), QStringList{name(0)});
    w->FilterEdit->setText(QStringLiteral("観測所12"));
    QCOMPARE(w->proxy()->rowCount(), 11); // 12, 120-129

    // By 水位, the highest first: a plain sort of the values.
    w->FilterEdit->clear();
    w->SiteTable->sortByColumn(SiteTableModel::ColValue, Qt::DescendingOrder);
    const auto plainByValue = [&] {
        QStringList sites;
        for (int i = 0; i < kSites; ++i)
            sites << name(i);
        std::sort(sites.begin(), sites.end(),
                  [&](const QString &a, const QString &b) { return board->row(a)->value > board->row(b)->value; });
        return sites;
    };
    QCOMPARE(shownOrder(w->proxy()), plainByValue());
    // Every site reads again: the rows stay until the next second, then take the new order.
    const QStringList before = shownOrder(w->proxy());
    QSignalSpy layout(w->proxy(), &QAbstractItemModel::layoutChanged);
    QSignalSpy removed(w->proxy(), &QAbstractItemModel::rowsRemoved);
    for (int i = 0; i < kSites; ++i)
        QVERIFY(board->takeMessage("q", "q/" + name(i) + "/reading", siteReading(name(i), value(i, 1), "00")));
    QCOMPARE(layout.size(), 0);
    QCOMPARE(shownOrder(w->proxy()), before);
    Sleep(kResortWait);
    QCOMPARE(layout.size(), 1);
    QCOMPARE(shownOrder(w->proxy()), plainByValue());
    // The search meanwhile: a reading does not filter again; the text does, in the new order.
    w->FilterEdit->setText(QStringLiteral("s1"));
    QCOMPARE(w->proxy()->rowCount(), 100); // s100-s199
    removed.clear();
    for (int i = 0; i < kSites; ++i)
        QVERIFY(board->takeMessage("q", "q/" + name(i) + "/reading", siteReading(name(i), value(i, 2), "00")));
    QCOMPARE(removed.size(), 0);
    Sleep(kResortWait);
    QStringList want;
    for (const QString &site : plainByValue())
        if (site.startsWith(QLatin1String("s1")))
            want << site;
    QCOMPARE(shownOrder(w->proxy()), want);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

QTEST_MAIN(TestSiteList)
#include "tst_sitelist.moc"
