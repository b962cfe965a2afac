// The site list end to end, under Xvfb: a mosquitto started here, the real qelvo-watchd over
// twenty qelvo-ctrlsim controllers on TCP ports of 127.0.0.1 (16 quiet ones, 3 whose level
// drops to 0 for a while, so that all their outputs close, and one that is stopped), and the
// tool, whose ﾂｰﾙ > ｻｲﾄ一覧 opens the window on that broker. The test functions run in order
// on the one watcher: the rows come, the values follow the controllers, the outputs raise
// alarms kept by the watcher (the view shows their states), the accessibility tree reads
// every cell and the alarm, a stopped controller is shown lost, a killed watcher leaves every
// row ｻｰﾋﾞｽ停止 through its last will as one alarm, and 確認 acknowledges that alarm, while the
// service's need the broker's user the view lacks. Each stage is saved as a picture in $QELVO_SCREENSHOTS.
#include "support/FreePorts.h"
#include "support/Ctrlsim.h"
#include "support/RealPortApp.h"
#include "support/Mosquitto.h"

#include "doubles/PictureCheck.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "fleet/SiteMonitor.h"
#include "fleet/frmSites1.h"
#include "platform/TextFile.h"

#include <QAccessible>
#include <QDir>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <pwd.h>
#include <unistd.h>

namespace {
// The quiet controllers' levels (counts), 2 s each; none is 0, so no output closes.
const QList<int> kQuiet = {400, 450, 500, 550, 600, 650, 600, 550, 500, 450, 400, 350};
constexpr int kQuietSites = 16, kAlarmSites = 3;
// The alarm controllers: 500 for 44 s, then 0 for 4 s; controller i runs i x 16 s ahead, so
// the drops come 12, 28 and 44 s after the start.
constexpr int kAlarmPeriodS = 48;

QString siteName(int i) { return QStringLiteral("s%1").arg(i + 1, 2, 10, QLatin1Char('0')); }
QString siteTitle(int i) { return QStringLiteral("観測所%1").arg(i + 1); }

int cellRow(const SiteTableModel *m, const QString &name)
{
    for (int r = 0; r < m->rowCount(); ++r)
        if (m->index(r, 0).data(SiteTableModel::kNameRole).toString() == name)
            return r;
    return -1;
}

struct AccessEvent {
    QObject *object;
    QAccessible::Event type;
    QString name;
};
QList<AccessEvent> s_events;
void recordEvent(QAccessibleEvent *e)
{
    QAccessibleInterface *i = e->accessibleInterface();
    s_events << AccessEvent{e->object(), e->type(), i ? i->text(QAccessible::Name) : QString()};
}
} // namespace

class tst_gui_sites : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init()
    {
        if (m_broken)
            QSKIP("the stages after a failed one cannot run");
    }
    void cleanup()
    {
        if (!QTest::currentTestFailed())
            return;
        qInfo("qelvo-watchd said:\n%s", m_watchd.readAllStandardError().constData());
        if (g_frmSites1)
            qInfo("source: %s, rows %d, dropped %llu", qPrintable(g_frmSites1->SourceLabel->text()),
                  int(g_frmSites1->board()->rows().size()), g_frmSites1->board()->droppedMessages());
        m_broken = true;
    }
    void everyRowWithinThreeSeconds();
    void valuesFollowTheControllers();
    void outputsRaiseAlarms();
    void assistiveTechnologyReadsEveryCell();
    void stoppedControllerIsShownLost();
    void shelvedThroughTheWatcher();
    void killedWatcherLeavesServiceDown();
    void acknowledgingWhatTheViewMay();

private:
    frmSites1 *window() const { return g_frmSites1; }
    const SiteTableModel *model() const { return g_frmSites1->model(); }
    const BoardRow &row(const QString &name) const
    {
        static const BoardRow none;
        const int i = g_frmSites1->board()->indexOf(name);
        return i < 0 ? none : g_frmSites1->board()->rows().at(i);
    }
    void shoot(const QString &file)
    {
        QTest::qWait(300);
        const QImage img = g_frmMdi1->grab().toImage();
        QVERIFY(PictureShowsSomething(img));
        if (!m_shots.isEmpty())
            QVERIFY(img.save(m_shots + QLatin1Char('/') + file));
    }
    bool startProcess(QProcess &p, const QStringList &args) { return startCtrlsim(p, args); }

    QTemporaryDir m_dir;
    QString m_shots;
    bool m_broken = false;
    std::unique_ptr<RealPortApp> m_app;
    QProcess m_broker, m_quiet, m_alarm, m_lone, m_watchd;
    int m_serviceUnacked = 0; // the service's alarms not acknowledged when the watcher died
    quint16 m_brokerPort = 0, m_quietPorts = 0, m_alarmPorts = 0, m_lonePort = 0;
};

void tst_gui_sites::initTestCase()
{
    const QString watchd = BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd"));
    QVERIFY2(QFileInfo(watchd).isExecutable(), qPrintable(watchd));
    const QString mosquitto = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
    QVERIFY2(!mosquitto.isEmpty(), "mosquitto is not installed (scripts/test installs it)");
    m_shots = qEnvironmentVariable("QELVO_SCREENSHOTS");
    if (!m_shots.isEmpty())
        QDir().mkpath(m_shots);
    QAccessible::installUpdateHandler(recordEvent);
    QAccessible::setActive(true);

    // The broker.
    m_brokerPort = freePort();
    const QString conf = m_dir.filePath("mosquitto.conf");
    QFile c(conf);
    QVERIFY(c.open(QIODevice::WriteOnly));
    c.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\nlog_dest none\n")
                .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name)).arg(m_brokerPort).toUtf8());
    c.close();
    QVERIFY(StartMosquitto(m_broker, conf, m_brokerPort));

    // The controllers.
    const auto waveFile = [&](const QString &name, const QList<int> &levels) {
        QFile f(m_dir.filePath(name));
        f.open(QIODevice::WriteOnly);
        for (int l : levels)
            f.write(QByteArray::number(l) + '\n');
        return f.fileName();
    };
    QList<int> alarm(kAlarmPeriodS / 4 - 1, 500);
    alarm << 0;
    m_quietPorts = freePorts(kQuietSites);
    m_alarmPorts = freePorts(kAlarmSites);
    m_lonePort = freePort();
    QVERIFY(m_quietPorts && m_alarmPorts);
    QVERIFY(startProcess(m_quiet, {"--tcp", QStringLiteral("%1-%2").arg(m_quietPorts).arg(m_quietPorts + kQuietSites - 1),
                                   "--wave", "file:" + waveFile("quiet.txt", kQuiet), "--period", "24", "--quiet"}));
    QVERIFY(startProcess(m_alarm, {"--tcp", QStringLiteral("%1-%2").arg(m_alarmPorts).arg(m_alarmPorts + kAlarmSites - 1),
                                   "--wave", "file:" + waveFile("alarm.txt", alarm), "--period",
                                   QString::number(kAlarmPeriodS), "--quiet"}));
    QVERIFY(startProcess(m_lone, {"--tcp", QString::number(m_lonePort), "--level", "512", "--quiet"}));

    // The watcher: the input type pinned, so that readings come from the first poll.
    QString ini = QStringLiteral("[watch]\nlog_folder=%1\ninterval_ms=500\n[mqtt]\nurl=mqtt://127.0.0.1:%2\n"
                                 "topic_prefix=office\nclient_id=watchd-office\n[sites]\n")
                      .arg(m_dir.filePath("logs")).arg(m_brokerPort);
    for (int i = 0; i < 20; ++i) {
        const quint16 port = i < kQuietSites ? quint16(m_quietPorts + i)
                             : i < kQuietSites + kAlarmSites ? quint16(m_alarmPorts + i - kQuietSites)
                                                             : m_lonePort;
        ini += QStringLiteral("%1=tcp://127.0.0.1:%2\n").arg(siteName(i)).arg(port);
    }
    for (int i = 0; i < 20; ++i)
        ini += QStringLiteral("[%1]\ntitle=%2\ninput_type=1\n").arg(siteName(i), siteTitle(i));
    QFile w(m_dir.filePath("watchd.ini"));
    QVERIFY(w.open(QIODevice::WriteOnly));
    w.write(ini.toUtf8());
    w.close();
    m_watchd.start(watchd, {w.fileName()});
    QVERIFY(m_watchd.waitForStarted(3000));

    // The tool, with the broker kept in its data folder as the dialog keeps it.
    m_app = std::make_unique<RealPortApp>();
    Main();
    QVERIFY(g_frmMdi1);
    SiteSource src;
    src.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(m_brokerPort);
    src.topicPrefix = QStringLiteral("office");
    QVERIFY(SaveSiteSource(src));
    g_frmMdi1->resize(1180, 760);
    // The watcher has published every site once its log says so; give it its start.
    QVERIFY(QTest::qWaitFor([&] { return m_watchd.readAllStandardError().contains("online"); }, 10000));
}

void tst_gui_sites::cleanupTestCase()
{
    if (g_frmSites1)
        g_subSitesToggle();
    m_app.reset();
    QAccessible::installUpdateHandler(nullptr);
    for (QProcess *p : {&m_watchd, &m_quiet, &m_alarm, &m_lone, &m_broker})
        stopProcess(*p);
}

void tst_gui_sites::everyRowWithinThreeSeconds()
{
    g_frmMdi1->menuToolOpened();
    QCOMPARE(g_frmMdi1->menu_Sites->text(), QStringLiteral("ｻｲﾄ一覧(&O)"));
    QElapsedTimer t;
    t.start();
    g_subMenuCommand(18);
    QVERIFY(window());
    QVERIFY(QTest::qWaitFor([&] { return model()->rowCount() == 20; }, 3000));
    qInfo("20 rows %lld ms after opening", qint64(t.elapsed()));
    g_frmMdi1->menuToolOpened();
    QCOMPARE(g_frmMdi1->menu_Sites->text(), QStringLiteral("ｻｲﾄ一覧を閉じる(&O)"));
    // Sorted by the site, its number as a number (once every title has come).
    const auto order = [&] {
        QStringList l;
        for (int i = 0; i < 20; ++i)
            l << window()->proxy()->index(i, 0).data().toString();
        return l;
    };
    QStringList titles;
    for (int i = 0; i < 20; ++i)
        titles << siteTitle(i);
    QVERIFY2(QTest::qWaitFor([&] { return order() == titles; }, 2000), qPrintable(order().join(' ')));
    QCOMPARE(window()->windowTitle(), QStringLiteral("ｻｲﾄ一覧ﾊﾟﾈﾙ"));
    // The filter finds a site by its name and by its title.
    window()->FilterEdit->setText(QStringLiteral("s07"));
    QCOMPARE(window()->proxy()->rowCount(), 1);
    window()->FilterEdit->setText(QStringLiteral("観測所1"));
    QCOMPARE(window()->proxy()->rowCount(), 11); // 1, 10-19
    window()->FilterEdit->clear();
    QCOMPARE(window()->proxy()->rowCount(), 20);
}

void tst_gui_sites::valuesFollowTheControllers()
{
    // Every row online, its count one of its controller's levels, its value that count on
    // input type 1 (0-5 V), and each quiet site seen at two levels at least.
    QHash<QString, QSet<int>> seen;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 6000) {
        QTest::qWait(250);
        for (int i = 0; i < 20; ++i) {
            const BoardRow &r = row(siteName(i));
            if (r.link == BoardRow::Link::Online && r.valueValid)
                seen[r.name] << r.count;
        }
    }
    for (int i = 0; i < 20; ++i) {
        const QString n = siteName(i);
        const BoardRow &r = row(n);
        QCOMPARE(r.link, BoardRow::Link::Online);
        QCOMPARE(r.title, siteTitle(i));
        const QList<int> allowed = i < kQuietSites ? kQuiet : i < 19 ? QList<int>{500, 0} : QList<int>{512};
        for (int count : seen.value(n))
            QVERIFY2(allowed.contains(count), qPrintable(QStringLiteral("%1: %2").arg(n).arg(count)));
        if (i < kQuietSites)
            QVERIFY2(seen.value(n).size() >= 2, qPrintable(n));
        const int mr = cellRow(model(), n);
        QCOMPARE(model()->index(mr, SiteTableModel::ColSite).data().toString(), siteTitle(i));
        QCOMPARE(model()->index(mr, SiteTableModel::ColValue).data().toString(),
                 QStringLiteral("%1 V").arg(r.count * 5.0 / 1023.0, 0, 'f', 2));
        QCOMPARE(model()->index(mr, SiteTableModel::ColLink).data().toString(), QStringLiteral("通信中"));
        QVERIFY(model()->index(mr, SiteTableModel::ColAge).data().toString().endsWith(QStringLiteral("秒前")));
    }
    QCOMPARE(g_frmSites1->board()->unacknowledged(), 0);
    shoot(QStringLiteral("sites_quiet.png"));
}

void tst_gui_sites::outputsRaiseAlarms()
{
    const QStringList alarmed = {siteName(16), siteName(17), siteName(18)};
    QVERIFY2(QTest::qWaitFor([&] {
        for (const QString &n : alarmed)
            if (row(n).service.alarms.isEmpty() || !row(n).service.alarms.first().unacknowledged())
                return false;
        return true;
    }, (kAlarmPeriodS + 8) * 1000), "an alarm site raised nothing");
    // The watcher keeps the alarms: the view shows its states.
    for (const QString &n : alarmed) {
        QCOMPARE(row(n).service.alarms.first().cause, AlarmCause::Output1);
        const int mr = cellRow(model(), n);
        // Active (red) or back to normal unacknowledged (yellow): the levels drop in turn.
        const QString text = model()->index(mr, SiteTableModel::ColAlarm).data().toString();
        const QColor back = model()->index(mr, 0).data(Qt::BackgroundRole).value<QColor>();
        QVERIFY2((text == QStringLiteral("未確認 出力1 ON 他7件") && back == QColor(0xD0, 0x10, 0x10)) ||
                     (text == QStringLiteral("復帰未確認 出力1 ON 他7件") && back == QColor(0xF0, 0xD0, 0x30)),
                 qPrintable(text + ' ' + back.name()));
    }
    for (int i = 0; i < kQuietSites; ++i)
        QVERIFY2(!row(siteName(i)).alarm.latched && row(siteName(i)).service.alarms.isEmpty(), qPrintable(siteName(i)));
    // The service's unacknowledged alarms are counted: every output of the three sites (all
    // eight are warning stages there); each site rang once.
    QCOMPARE(g_frmSites1->board()->unacknowledged(), 3 * 8);
    QCOMPARE(window()->windowTitle(), QStringLiteral("ｻｲﾄ一覧ﾊﾟﾈﾙ - 未確認の警報 24件"));
    QVERIFY(g_frmMdi1->SitesAlarmPanel->isVisible());
    QCOMPARE(g_frmMdi1->SitesAlarmPanel->text(), QStringLiteral("未確認警報 : 24件"));
    QCOMPARE(m_app->dlg.beeps, 3);
    QCOMPARE(m_app->dlg.notifications.size(), 3);
    const QString log = SjisDecode(AppFixture::readFile(SiteMonitor::alarmLogPath()));
    for (const QString &n : alarmed)
        QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d,%1,発生,出力1 ON,\r$").arg(n),
                                    QRegularExpression::MultilineOption)
                     .match(log)
                     .hasMatch(),
                 qPrintable(log));
    // The window sorted by its alarm column, alarms first.
    window()->SiteTable->sortByColumn(SiteTableModel::ColAlarm, Qt::DescendingOrder);
    QTest::qWait(2000); // the drop of the last one has passed: the alarm stays
    for (int r = 0; r < 3; ++r)
        QVERIFY(alarmed.contains(window()->proxy()->index(r, 0).data(SiteTableModel::kNameRole).toString()));
    shoot(QStringLiteral("sites_alarm.png"));
}

void tst_gui_sites::assistiveTechnologyReadsEveryCell()
{
    QAccessibleInterface *table = QAccessible::queryAccessibleInterface(window()->SiteTable);
    QVERIFY(table && table->tableInterface());
    QAccessibleTableInterface *ti = table->tableInterface();
    QCOMPARE(ti->rowCount(), 20);
    QCOMPARE(ti->columnCount(), int(SiteTableModel::ColumnCount));
    for (int c = 0; c < SiteTableModel::ColumnCount; ++c) {
        QAccessibleInterface *h = ti->cellAt(0, c) ? ti->cellAt(0, c)->tableCellInterface()->columnHeaderCells().value(0)
                                                   : nullptr;
        QVERIFY(h);
        // Qt 6.4 makes each header cell anew and registers it nowhere: given to its cache of
        // interfaces, it is deleted with the others (uniqueId registers it once, where a later
        // Qt has done so already).
        QAccessible::uniqueId(h);
        QCOMPARE(h->text(QAccessible::Name), SiteTableModel::columnCaption(c));
    }
    // Every cell reads as its value; the lamps as on/off, the trend as its range.
    const QAbstractItemModel *m = window()->proxy();
    for (int r = 0; r < 20; ++r) {
        for (int c = 0; c < SiteTableModel::ColumnCount; ++c) {
            if (c == SiteTableModel::ColAge)
                continue; // it counts up between the two reads
            QAccessibleInterface *cell = ti->cellAt(r, c);
            QVERIFY(cell);
            const QString shown = m->index(r, c).data().toString();
            QCOMPARE(cell->text(QAccessible::Name), shown);
            if (c == SiteTableModel::ColOutputs)
                QVERIFY2(QRegularExpression(QStringLiteral("^出力1 O(N|FF)(, 出力\\d O(N|FF)){7}$")).match(shown).hasMatch(),
                         qPrintable(shown));
            if (c == SiteTableModel::ColTrend)
                QVERIFY2(shown.startsWith(QStringLiteral("最小 ")), qPrintable(shown));
        }
    }
    // The alarms were announced: the status line's name changed, with the event.
    QAccessibleInterface *label = QAccessible::queryAccessibleInterface(window()->AlarmLabel);
    QVERIFY(label);
    QVERIFY2(label->text(QAccessible::Name).startsWith(QStringLiteral("警報: 観測所1")), qPrintable(label->text(QAccessible::Name)));
    // The event reaches the update handler only where an accessibility bridge is active
    // (a desktop with AT-SPI); without one, the name above is what a reader finds.
    qInfo("accessibility bridge active: %s, %d events", QAccessible::isActive() ? "yes" : "no", int(s_events.size()));
    if (!QAccessible::isActive())
        return;
    QStringList announced;
    for (const AccessEvent &e : s_events)
        if (e.object == window()->AlarmLabel && e.type == QAccessible::NameChanged)
            announced << e.name;
    for (int i = 16; i < 19; ++i)
        QVERIFY2(announced.contains(QStringLiteral("警報: %1 出力1 ON").arg(siteTitle(i))), qPrintable(announced.join('|')));
}

void tst_gui_sites::stoppedControllerIsShownLost()
{
    const QString lone = siteName(19);
    stopProcess(m_lone);
    QVERIFY(QTest::qWaitFor([&] {
        const BoardRow::Link l = row(lone).link;
        return l == BoardRow::Link::Lost || l == BoardRow::Link::NoReply;
    }, 25000));
    const QString shown = model()->index(cellRow(model(), lone), SiteTableModel::ColLink).data().toString();
    QVERIFY2(shown == QStringLiteral("切断") || shown == QStringLiteral("応答なし"), qPrintable(shown));
    QVERIFY(QTest::qWaitFor([&] { return SiteTableModel::serviceState(row(lone).service) == AlarmState::Unack; }, 3000));
    QVERIFY2(model()->index(cellRow(model(), lone), SiteTableModel::ColAlarm).data().toString().contains(QStringLiteral("未確認 ") + shown),
             qPrintable(model()->index(cellRow(model(), lone), SiteTableModel::ColAlarm).data().toString()));
    shoot(QStringLiteral("sites_lost.png"));
}

// 一時抑制 of the alarm sites, once the view has a broker user: the dialog asks, a "shelve"
// goes to the watcher per standing alarm, the rows and 警報一覧 show 抑制中 with the time
// left, the count drops them and the answers come back in the status line; 抑制解除 brings
// them back. Without the user, the buttons are disabled and say why.
void tst_gui_sites::shelvedThroughTheWatcher()
{
    const QStringList alarmed = {siteName(16), siteName(17), siteName(18)};
    const auto select = [&] {
        window()->SiteTable->clearSelection();
        for (int r = 0; r < window()->proxy()->rowCount(); ++r)
            if (alarmed.contains(window()->proxy()->index(r, 0).data(SiteTableModel::kNameRole).toString()))
                window()->SiteTable->selectionModel()->select(window()->proxy()->index(r, 0),
                                                              QItemSelectionModel::Select | QItemSelectionModel::Rows);
    };
    select();
    QVERIFY(!window()->ShelveButton->isEnabled());
    QCOMPARE(window()->ShelveButton->toolTip(), QStringLiteral("一時抑制できません: ﾌﾞﾛｰｶのﾕｰｻﾞｰ名が未設定です (取得元設定)"));
    // The view's broker user (this broker takes anyone): commands go out in its name.
    SiteSource src = siteMonitor().source();
    src.username = QStringLiteral("sato");
    siteMonitor().useSource(src);
    QVERIFY(QTest::qWaitFor([&] { return siteMonitor().client() && siteMonitor().client()->isConnected(); }, 5000));
    select();
    QVERIFY(window()->ShelveButton->isEnabled());
    int standing = 0, unacked = 0;
    for (const QString &n : alarmed)
        for (const Alarm &a : row(n).service.alarms) {
            standing += a.state() == AlarmState::Unack || a.state() == AlarmState::Acked || a.state() == AlarmState::Rtnun;
            unacked += a.unacknowledged();
        }
    QCOMPARE(standing, 3 * 8);
    const int before = g_frmSites1->board()->unacknowledged();
    m_app->dlg.modalHandler = [](QDialog *d) {
        auto *dlg = qobject_cast<frmSiteShelve1 *>(d);
        QVERIFY(dlg);
        dlg->DurationCombo->setCurrentIndex(0);
        dlg->ReasonEdit->setText(QStringLiteral("点検"));
        dlg->OkButton->click();
    };
    window()->ShelveButton->click();
    m_app->dlg.modalHandler = nullptr;
    QCOMPARE(window()->AlarmLabel->text(), QStringLiteral("一時抑制を送信しました (24件)"));
    QVERIFY2(QTest::qWaitFor([&] {
        for (const QString &n : alarmed)
            for (const Alarm &a : row(n).service.alarms)
                if (a.state() != AlarmState::Shelved)
                    return false;
        return true;
    }, 5000), "the watcher did not shelve every alarm");
    for (const QString &n : alarmed) {
        const Alarm &a = row(n).service.alarms.first();
        QCOMPARE(a.shelvedBy, QStringLiteral("sato"));
        QCOMPARE(a.reason, QStringLiteral("点検"));
        QVERIFY(model()->index(cellRow(model(), n), SiteTableModel::ColAlarm).data().toString().startsWith(QStringLiteral("抑制中 (残り")));
    }
    // Shelved alarms wait for no one: out of the count.
    QCOMPARE(g_frmSites1->board()->unacknowledged(), before - unacked);
    QVERIFY(QTest::qWaitFor([&] { return window()->AlarmLabel->text().endsWith(QStringLiteral(": 受け付けられました")); }, 3000));
    QCoreApplication::processEvents();
    int shelvedLines = 0;
    for (const AlarmLine &l : window()->alarmList()->lines())
        shelvedLines += alarmed.contains(l.name) && l.state == AlarmState::Shelved;
    QCOMPARE(shelvedLines, 3 * 8);
    // Shelving is no acknowledgement: the alarm log has no 確認 for it.
    QCOMPARE(SjisDecode(AppFixture::readFile(SiteMonitor::alarmLogPath())).count(QStringLiteral(",確認,")), 0);
    shoot(QStringLiteral("sites_shelved.png"));

    // 抑制解除: back, judged afresh.
    window()->UnshelveButton->click();
    QCOMPARE(window()->AlarmLabel->text(), QStringLiteral("抑制解除を送信しました (3ｻｲﾄ)"));
    QVERIFY2(QTest::qWaitFor([&] {
        for (const QString &n : alarmed)
            for (const Alarm &a : row(n).service.alarms)
                if (a.state() == AlarmState::Shelved)
                    return false;
        return true;
    }, 5000), "the watcher did not unshelve");
    // The view without its user again, as the next case expects.
    src.username.clear();
    siteMonitor().useSource(src);
    QVERIFY(QTest::qWaitFor([&] { return siteMonitor().client() && siteMonitor().client()->isConnected(); }, 5000));
}

void tst_gui_sites::killedWatcherLeavesServiceDown()
{
    const int before = g_frmSites1->board()->unacknowledged();
    QVERIFY(m_watchd.processId() > 0); // kill(0) would signal the test's own process group
    ::kill(pid_t(m_watchd.processId()), SIGKILL);
    m_watchd.waitForFinished(3000);
    QVERIFY2(QTest::qWaitFor([&] {
        for (const BoardRow &r : g_frmSites1->board()->rows())
            if (r.link != BoardRow::Link::ServiceDown)
                return false;
        return true;
    }, 5000), "the last will did not reach every row");
    for (int r = 0; r < 20; ++r)
        QCOMPARE(model()->index(r, SiteTableModel::ColLink).data().toString(), QStringLiteral("ｻｰﾋﾞｽ停止"));
    // One alarm of the watcher's, none of its sites': the service's unacknowledged alarms as
    // the watcher last published them (the lone site's may have moved from 応答なし to 切断
    // since the count above), and one.
    int service = 0;
    for (const BoardRow &r : g_frmSites1->board()->rows())
        for (const Alarm &a : r.service.alarms)
            service += a.unacknowledged();
    QVERIFY2(service >= before - 1 && service <= before + 1, qPrintable(QStringLiteral("%1 %2").arg(service).arg(before)));
    QStringList own;
    for (const BoardRow &r : g_frmSites1->board()->rows())
        if (r.alarm.latched)
            own << r.name + QLatin1Char(' ') + AlarmCauseText(r.alarm.first);
    for (auto it = g_frmSites1->board()->sourceAlarms().begin(); it != g_frmSites1->board()->sourceAlarms().end(); ++it)
        if (it->latched)
            own << it.key() + QLatin1Char(' ') + AlarmCauseText(it->first);
    QVERIFY2(g_frmSites1->board()->unacknowledged() == service + 1, qPrintable(own.join(QStringLiteral(" | "))));
    QCOMPARE(own, QStringList{QStringLiteral("watchd-office ｻｰﾋﾞｽ停止")});
    QCOMPARE(window()->windowTitle(), QStringLiteral("ｻｲﾄ一覧ﾊﾟﾈﾙ - 未確認の警報 %1件").arg(service + 1));
    m_serviceUnacked = service;
}

void tst_gui_sites::acknowledgingWhatTheViewMay()
{
    // The service's alarms need the broker's user, which this view has not: 確認 of them is
    // disabled, and says why.
    window()->SiteTable->selectAll();
    QVERIFY(!window()->AckButton->isEnabled());
    QCOMPARE(window()->AckButton->toolTip(), QStringLiteral("確認できません: ﾌﾞﾛｰｶのﾕｰｻﾞｰ名が未設定です (取得元設定)"));
    QCOMPARE(QAccessible::queryAccessibleInterface(window()->AckButton)->text(QAccessible::Description),
             window()->AckButton->toolTip());
    // The view's own alarm, its watcher's loss, is acknowledged here; the service's stay.
    QStringList names;
    for (const BoardRow &r : g_frmSites1->board()->rows())
        names << r.name;
    siteMonitor().acknowledge(names);
    QCOMPARE(g_frmSites1->board()->unacknowledged(), m_serviceUnacked);
    QCOMPARE(window()->AlarmLabel->text(), QStringLiteral("確認できません: ﾌﾞﾛｰｶのﾕｰｻﾞｰ名が未設定です (取得元設定)"));
    const QString log = SjisDecode(AppFixture::readFile(SiteMonitor::alarmLogPath()));
    QCOMPARE(log.count(QStringLiteral(",確認,")), 1);
    QVERIFY(log.contains(QStringLiteral(",確認,ｻｰﾋﾞｽ停止,") + SiteMonitor::loginName() + QStringLiteral("\r\n")));
    // Closed by its menu entry again.
    g_subMenuCommand(18);
    QVERIFY(!g_frmSites1);
}

QTEST_MAIN(tst_gui_sites)
#include "tst_gui_sites.moc"
