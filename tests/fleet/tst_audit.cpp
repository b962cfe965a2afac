// The audit of each site's settings against its golden file, on simulated controllers and the
// virtual clock: the golden file read with the configuration (one that cannot be read is a
// fault that names it), the controller read at each connect, on request and daily between
// two polls while the polls keep their cadence, the differences named as the comparison
// window names them, the settings alarm raised and cleared, and a new golden file taken at a
// reload without a new start.
#include "support/AppFixture.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "doubles/PictureCheck.h"
#include "fleet/SettingsAudit.h"
#include "fleet/SiteTableModel.h"
#include "fleet/frmSiteSettings1.h"
#include "fleet/frmSites1.h"
#include "fleet/WatchAlarms.h"
#include "fleet/Watcher.h"
#include "platform/Dialogs.h"
#include "settings/modCompare.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QAccessible>
#include <QAction>
#include <QJsonObject>
#include <QtTest>
#include <map>
#include <memory>

namespace {
QJsonObject json(const QByteArray &payload) { return QJsonDocument::fromJson(payload).object(); }

// A .qvd file of a controller's memory, as the tool saves a read.
QByteArray qvdOf(const CtrlModel &m)
{
    std::unique_ptr<MemCell[]> image(new MemCell[kImageCells]);
    for (int a = 0; a < kImageCells; ++a) {
        image[a].setAddress(QByteArray::number(a, 16).rightJustified(4, '0').toUpper());
        const QByteArray data = a < kSettingsCells ? QByteArray::number(m.cell(a), 16).rightJustified(2, '0').toUpper()
                                                   : QByteArray("00");
        image[a].setData(QByteArrayView(data));
    }
    return UserFileBytes(image.get());
}

QString tempDir(const char *what)
{
    const QString d = QDir(QDir::tempPath()).filePath(QStringLiteral("qelvo-%1-%2").arg(QLatin1String(what)).arg(QCoreApplication::applicationPid()));
    QDir(d).removeRecursively();
    QDir().mkpath(d);
    return d;
}

WatchSite site(const QString &name, int com, const QByteArray &golden)
{
    WatchSite s;
    s.name = name;
    s.port = QStringLiteral("COM%1").arg(com);
    s.comPort = com;
    s.intervalMs = 1000;
    s.golden = QStringLiteral("/golden/%1.qvd").arg(name);
    QString why;
    s.goldenCells = GoldenCells(golden, &why);
    return s;
}

// The fleet of the tests: "same" holds its golden file's settings, "two" differs in two cells
// (the hysteresis and output 3's maximum), "none" has no golden file.
struct Fleet {
    AppFixture f;
    SilentDialogs silent;
    std::map<QString, SimulatedPort *> ports;
    std::map<QString, QList<qint64>> readings; // virtual ms of each reading
    std::unique_ptr<Watcher> w;
    QStringList log;

    explicit Fleet(int auditMinute = -1, const QDateTime &start = QDateTime(QDate(2026, 12, 9), QTime(9, 0)))
    {
        installDialogs(&silent);
        f.clock.setBase(start);
        CtrlModel demo;
        demo.loadDemoSettings();
        const QByteArray golden = qvdOf(demo);
        WatchSettings ws;
        ws.logFolder = tempDir("audit");
        ws.auditMinute = auditMinute;
        // A broker that is never there: the audits wait for it, the commands still come.
        WatchMqtt m;
        m.url = QStringLiteral("mqtt://127.0.0.1:1");
        m.topicPrefix = QStringLiteral("qelvo");
        m.clientId = QStringLiteral("audit-test");
        ws.mqtt = m;
        ws.sites = {site("same", 1, golden), site("two", 2, golden), site("none", 3, QByteArray())};
        ws.sites[2].golden.clear();
        w = std::make_unique<Watcher>(ws, [this](const WatchSite &s) {
            auto p = std::make_unique<SimulatedPort>();
            p->usablePorts = {s.comPort};
            p->model().loadDemoSettings();
            if (s.name == QLatin1String("two")) {
                p->model().setField(0x28, p->model().field(0x28) + 3); // the hysteresis
                p->model().setField(0x0A, p->model().field(0x0A) + 40); // output 3's maximum
            }
            ports[s.name] = p.get();
            return p;
        });
        QObject::connect(w.get(), &Watcher::logLine, [this](const QString &l) { log << l; });
        QString error;
        if (!w->start(&error))
            qFatal("%s", qPrintable(error));
        const qint64 t0 = f.clock.nowUs();
        for (const WatchSite &s : ws.sites) {
            QList<qint64> &list = readings[s.name];
            QObject::connect(w->site(s.name), &SiteWatch::readingTaken,
                             [&list, this, t0](const Reading &) { list << f.msSince(t0); });
        }
    }
    void run(qint64 ms)
    {
        const qint64 until = f.clock.nowUs() + ms * 1000;
        while (f.clock.nowUs() < until)
            f.clock.advance(20);
    }
    const Alarm *alarm(const QString &name) { return w->alarms().book().find(name, AlarmCause::Settings); }
    qint64 largestGap(const QString &name, qint64 fromMs)
    {
        qint64 gap = 0, last = -1;
        for (qint64 t : readings[name]) {
            if (t < fromMs)
                continue;
            if (last >= 0)
                gap = qMax(gap, t - last);
            last = t;
        }
        return gap;
    }
};
} // namespace

class tst_audit : public QObject {
    Q_OBJECT
private slots:
    void goldenFileInTheConfiguration();
    void comparedAsTheComparisonWindowShows();
    void auditedAtConnect();
    void requestedAuditBetweenPollsAndPutBack();
    void dailyAuditAtItsTime();
    void newGoldenFileAtAReload();
    void settingsAlarmTakesCommands();
    void officeViewSettingsColumnAndMenu();
};

void tst_audit::goldenFileInTheConfiguration()
{
    AppFixture f;
    const QString dir = tempDir("auditcfg");
    CtrlModel demo;
    demo.loadDemoSettings();
    AppFixture::writeFile(dir + QStringLiteral("/ok.qvd"), qvdOf(demo));
    AppFixture::writeFile(dir + QStringLiteral("/bad.qvd"), "\"0000\",\"ZZ\"\r\nnot a cell\r\n");
    const auto load = [&](const QByteArray &text, QStringList *faults, WatchLoad mode = WatchLoad::Strict) {
        AppFixture::writeFile(dir + QStringLiteral("/w.ini"), text);
        return LoadWatchConfig(dir + QStringLiteral("/w.ini"), dir, faults, mode);
    };
    QStringList faults;
    auto s = load("[watch]\naudit_time=03:30\n[sites]\na=COM1\nb=COM2\n[a]\ngolden=ok.qvd\n", &faults);
    QVERIFY2(s, qPrintable(faults.join('\n')));
    QCOMPARE(s->auditMinute, 3 * 60 + 30);
    QCOMPARE(s->sites[0].golden, dir + QStringLiteral("/ok.qvd"));
    QCOMPARE(s->sites[0].goldenCells, QByteArray(demo.memory().left(kSettingsCells).toHex().toUpper()));
    QVERIFY(s->sites[1].golden.isEmpty() && s->sites[1].goldenCells.isEmpty());

    // Missing, not a .qvd file, a wrong time: each a fault with its line, naming the file.
    faults.clear();
    QVERIFY(!load("[watch]\naudit_time=25:00\n[sites]\na=COM1\nb=COM2\n[a]\ngolden=gone.qvd\n[b]\ngolden=bad.qvd\n",
                  &faults));
    QCOMPARE(faults.size(), 3);
    QVERIFY2(faults[0].contains(QLatin1String(":2: audit_time=25:00")), qPrintable(faults[0]));
    QVERIFY2(faults[1].contains(QLatin1String(":7: golden=gone.qvd: the file does not exist")), qPrintable(faults[1]));
    QVERIFY2(faults[2].contains(QLatin1String(":9: golden=bad.qvd: not a .qvd file")), qPrintable(faults[2]));

    // qelvo-cli audit reads the others and tells that site's problem.
    faults.clear();
    s = load("[sites]\na=COM1\nb=COM2\n[a]\ngolden=gone.qvd\n[b]\ngolden=ok.qvd\n", &faults, WatchLoad::GoldenProblemsKept);
    QVERIFY2(s, qPrintable(faults.join('\n')));
    QCOMPARE(s->sites[0].goldenProblem, QStringLiteral("the file does not exist"));
    QVERIFY(s->sites[0].goldenCells.isEmpty());
    QVERIFY(s->sites[1].goldenProblem.isEmpty() && !s->sites[1].goldenCells.isEmpty());

    // A new golden file is no new site; a new port is.
    WatchSettings before = *load("[sites]\na=COM1\n[a]\ngolden=ok.qvd\n", &faults);
    WatchSettings after = before;
    after.sites[0].goldenCells[0] = '7';
    WatchDiff d = DiffWatchConfig(before, after);
    QCOMPARE(d.goldenChanged, QStringList{QStringLiteral("a")});
    QVERIFY(d.changed.isEmpty() && !d.empty());
    after.sites[0].comPort = 2;
    d = DiffWatchConfig(before, after);
    QCOMPARE(d.changed, QStringList{QStringLiteral("a")});
    QVERIFY(d.goldenChanged.isEmpty());
    after = before;
    after.auditMinute = 60;
    QVERIFY(DiffWatchConfig(before, after).auditTimeChanged);
}

void tst_audit::comparedAsTheComparisonWindowShows()
{
    AppFixture f;
    CtrlModel a;
    a.loadDemoSettings();
    CtrlModel b = a;
    b.setField(0x28, b.field(0x28) + 3);
    QString why;
    const QByteArray golden = GoldenCells(qvdOf(a), &why);
    QVERIFY2(!golden.isEmpty(), qPrintable(why));
    std::unique_ptr<MemCell[]> cells(new MemCell[kSettingsCells]);
    QVERIFY(CellsFromHex(b.memory().left(kSettingsCells).toHex(), cells.get()));
    QCOMPARE(CellsHex(cells.get()), b.memory().left(kSettingsCells).toHex().toUpper());
    const SettingsAudit audit = AuditSettings(golden, cells.get());

    // The same rows as the comparison of the two images.
    std::unique_ptr<MemCell[]> ga(new MemCell[kSettingsCells]);
    QVERIFY(CellsFromHex(golden, ga.get()));
    QList<SettingItem> mine, theirs;
    FileError e;
    QVERIFY(SettingsOf(ga.get(), mine, e) && SettingsOf(cells.get(), theirs, e));
    const QList<SettingDiff> diffs = DiffSettings(mine, theirs);
    QStringList shown;
    for (const SettingDiff &d : diffs)
        shown << d.name + ": " + d.a + " / " + d.b;
    QVERIFY2(diffs.size() == 1, qPrintable(shown.join(" | ")));
    QCOMPARE(audit.differences.size(), 1);
    QCOMPARE(audit.differences[0].name, diffs[0].name);
    QCOMPARE(audit.differences[0].name, kCaptionHysteresis);
    QCOMPARE(audit.differences[0].golden, diffs[0].a);
    QCOMPARE(audit.differences[0].controller, diffs[0].b);
    QCOMPARE(audit.differences[0].cell, QStringLiteral("28"));
    QVERIFY(!audit.equal());

    // Equal images: nothing.
    QVERIFY(CellsFromHex(golden, cells.get()));
    QVERIFY(AuditSettings(golden, cells.get()).equal());

    // Bytes no setting shows (a controller whose memory is garbage): each cell by its address.
    cells[0x2D].setData(QByteArrayView("7E"));
    cells[0x10].setData(QByteArrayView("ZZ"));
    const SettingsAudit raw = AuditSettings(golden, cells.get());
    QCOMPARE(raw.differences.size(), 2);
    QCOMPARE(raw.differences[0].name, QStringLiteral("ｱﾄﾞﾚｽ 10"));
    QCOMPARE(raw.differences[0].controller, QStringLiteral("ZZ"));
    QCOMPARE(raw.differences[1].cell, QStringLiteral("2D"));

    // The message and its reading back; hostile messages are none.
    const QByteArray p = SettingsAuditPayload(QStringLiteral("s"), QDateTime(QDate(2026, 12, 9), QTime(3, 0)),
                                              QStringLiteral("/g.qvd"), audit, CellsHex(cells.get()));
    SettingsAuditMessage m;
    QVERIFY(ParseSettingsAudit(p, &m));
    QCOMPARE(m.site, QStringLiteral("s"));
    QVERIFY(!m.equal);
    QCOMPARE(m.differences, audit.differences);
    QCOMPARE(m.controllerHex, QByteArray()); // "ZZ" is no byte
    QVERIFY(!ParseSettingsAudit("{\"equal\":true,\"differences\":[{}]}", &m));
    QVERIFY(!ParseSettingsAudit("[]", &m));
    QVERIFY(!ParseSettingsAudit(QByteArray(kMaxSettingsMessageBytes + 1, ' '), &m));
    QByteArray many = "{\"equal\":false,\"differences\":[";
    for (int i = 0; i <= kMaxAuditDifferences; ++i)
        many += i ? ",{}" : "{}";
    QVERIFY(!ParseSettingsAudit(many + "]}", &m));
}

void tst_audit::auditedAtConnect()
{
    Fleet fl;
    fl.run(15000);
    const QJsonObject same = json(fl.w->settingsPayload(QStringLiteral("same")));
    const QJsonObject two = json(fl.w->settingsPayload(QStringLiteral("two")));
    QCOMPARE(same.value("equal").toBool(false), true);
    QCOMPARE(same.value("differences").toArray().size(), 0);
    QCOMPARE(same.value("golden").toString(), QStringLiteral("/golden/same.qvd"));
    QCOMPARE(same.value("controller").toString(),
             QString::fromLatin1(fl.ports["same"]->model().memory().left(kSettingsCells).toHex().toUpper()));
    QCOMPARE(two.value("equal").toBool(true), false);
    const QJsonArray d = two.value("differences").toArray();
    QCOMPARE(d.size(), 2);
    QStringList names, cells;
    for (const QJsonValue &v : d) {
        names << v["name"].toString();
        cells << v["cell"].toString();
        QVERIFY(v["golden"].toString() != v["controller"].toString());
    }
    QCOMPARE(names, (QStringList{QStringLiteral("Out 3 最大値"), kCaptionHysteresis}));
    QCOMPARE(cells, (QStringList{QStringLiteral("0A"), QStringLiteral("28")}));
    // No golden file: no audit, and the pinned-less site still reads its type.
    QVERIFY(fl.w->settingsPayload(QStringLiteral("none")).isEmpty());

    // The alarm: raised for "two" only, with the differences in its reason.
    QVERIFY(!fl.alarm(QStringLiteral("same")) || !fl.alarm(QStringLiteral("same"))->active);
    const Alarm *a = fl.alarm(QStringLiteral("two"));
    QVERIFY(a && a->active);
    QCOMPARE(a->state(), AlarmState::Unack);
    QVERIFY2(fl.log.join('\n').contains(QStringLiteral("two: 2 settings differ from /golden/two.qvd: Out 3 最大値")),
             qPrintable(fl.log.join('\n')));
    QVERIFY(fl.log.contains(QStringLiteral("same: settings equal /golden/same.qvd")));
    // Every site polls at its cadence all the same.
    for (const char *n : {"same", "two", "none"})
        QVERIFY2(fl.readings[n].size() >= 10, n);
}

void tst_audit::requestedAuditBetweenPollsAndPutBack()
{
    Fleet fl;
    fl.run(10000);
    QVERIFY(fl.alarm(QStringLiteral("two"))->active);
    QVERIFY(!fl.w->requestAudit(QStringLiteral("none")));
    QVERIFY(!fl.w->requestAudit(QStringLiteral("nobody")));

    // Changed at the roadside: the next audit finds it.
    fl.ports["same"]->model().setField(0x00, fl.ports["same"]->model().field(0x00) + 10);
    QCOMPARE(json(fl.w->settingsPayload(QStringLiteral("same"))).value("equal").toBool(false), true);
    const qint64 from = fl.readings["same"].last();
    QVERIFY(fl.w->requestAudit(QStringLiteral("same")));
    // Put back at "two": the difference clears at its next audit.
    CtrlModel demo;
    demo.loadDemoSettings();
    fl.ports["two"]->model().setField(0x28, demo.field(0x28));
    fl.ports["two"]->model().setField(0x0A, demo.field(0x0A));
    QVERIFY(fl.w->requestAudit(QStringLiteral("two")));
    fl.run(10000);
    const QJsonObject same = json(fl.w->settingsPayload(QStringLiteral("same")));
    QCOMPARE(same.value("equal").toBool(true), false);
    QCOMPARE(same.value("differences").toArray().size(), 1);
    QCOMPARE(same.value("differences").toArray()[0].toObject()["name"].toString(), QStringLiteral("Out 1 最小値"));
    QVERIFY(fl.alarm(QStringLiteral("same"))->active);
    QCOMPARE(json(fl.w->settingsPayload(QStringLiteral("two"))).value("equal").toBool(false), true);
    const Alarm *two = fl.alarm(QStringLiteral("two"));
    QVERIFY(!two->active);
    QCOMPARE(two->state(), AlarmState::Rtnun); // cleared, still to be acknowledged
    // The read went between two polls: the site missed at most the polls of the read.
    QVERIFY2(fl.largestGap(QStringLiteral("same"), from) <= 3000,
             qPrintable(QString::number(fl.largestGap(QStringLiteral("same"), from))));
    QVERIFY(fl.readings["same"].last() > from + 8000);
    QVERIFY(fl.largestGap(QStringLiteral("none"), from) <= 1100);
}

void tst_audit::dailyAuditAtItsTime()
{
    // Audits at 00:01 each day; the watch starts at 23:59:00.
    Fleet fl(1, QDateTime(QDate(2026, 12, 9), QTime(23, 59, 0)));
    QCOMPARE(fl.w->nextAudit(), QDateTime(QDate(2026, 12, 10), QTime(0, 1)));
    fl.run(10000);
    const QString first = json(fl.w->settingsPayload(QStringLiteral("same"))).value("time").toString();
    fl.ports["same"]->model().setField(0x06, fl.ports["same"]->model().field(0x06) + 10);
    fl.run(50000); // 00:00:00
    QCOMPARE(json(fl.w->settingsPayload(QStringLiteral("same"))).value("time").toString(), first);
    fl.run(70000); // past 00:01
    const QJsonObject same = json(fl.w->settingsPayload(QStringLiteral("same")));
    QVERIFY(same.value("time").toString().startsWith(QLatin1String("2026-12-10T00:01:")));
    QCOMPARE(same.value("equal").toBool(true), false);
    QVERIFY(fl.log.contains(QStringLiteral("daily audit: 2 sites' settings are read")));
    QCOMPARE(fl.w->nextAudit(), QDateTime(QDate(2026, 12, 11), QTime(0, 1)));
    // Once a day: another hour brings no other audit.
    fl.run(3600 * 1000);
    QCOMPARE(json(fl.w->settingsPayload(QStringLiteral("same"))).value("time").toString(), same.value("time").toString());
}

void tst_audit::newGoldenFileAtAReload()
{
    Fleet fl;
    fl.run(10000);
    SiteWatch *before = fl.w->site(QStringLiteral("two"));
    // The approved settings are now what "two" holds: the same site, compared again at once.
    WatchSettings next = fl.w->settings();
    next.sites[1].goldenCells = fl.ports["two"]->model().memory().left(kSettingsCells).toHex().toUpper();
    next.sites[1].golden = QStringLiteral("/golden/two-new.qvd");
    // "same" loses its golden file: its audit goes.
    next.sites[0].golden.clear();
    next.sites[0].goldenCells.clear();
    fl.w->reload(next);
    QCOMPARE(fl.w->site(QStringLiteral("two")), before);
    const QJsonObject two = json(fl.w->settingsPayload(QStringLiteral("two")));
    QCOMPARE(two.value("equal").toBool(false), true);
    QCOMPARE(two.value("golden").toString(), QStringLiteral("/golden/two-new.qvd"));
    QVERIFY(!fl.alarm(QStringLiteral("two"))->active);
    QVERIFY(fl.w->settingsPayload(QStringLiteral("same")).isEmpty());
    QVERIFY(!fl.w->requestAudit(QStringLiteral("same")));
    QVERIFY(fl.log.last().contains(QLatin1String("2 new golden files")));
}

void tst_audit::settingsAlarmTakesCommands()
{
    Fleet fl;
    fl.run(10000);
    QVERIFY(fl.alarm(QStringLiteral("two"))->active);
    const quint64 accepted = fl.w->alarms().counts().accepted;
    const QString topic = QStringLiteral("qelvo/command/op/two");
    fl.w->alarms().message(topic, R"({"id":"1","action":"ack","cause":"settings"})", false);
    QCOMPARE(fl.w->alarms().counts().accepted, accepted + 1);
    QCOMPARE(fl.alarm(QStringLiteral("two"))->state(), AlarmState::Acked);
    // The office view's own causes are still refused.
    const quint64 refused = fl.w->alarms().counts().refused;
    fl.w->alarms().message(topic, R"({"id":"2","action":"ack","cause":"stale"})", false);
    QCOMPARE(fl.w->alarms().counts().refused, refused + 1);
    QCOMPARE(AlarmCauseFromName(QStringLiteral("settings")), std::optional<AlarmCause>(AlarmCause::Settings));
    QCOMPARE(AlarmCauseText(AlarmCause::Settings), QStringLiteral("設定相違"));
}

void tst_audit::officeViewSettingsColumnAndMenu()
{
    AppFixture f;
    f.startSeeded();
    g_subMenuCommand(18);
    QVERIFY(g_frmSites1);
    SiteBoard &board = *g_frmSites1->board();
    SiteTableModel &model = *g_frmSites1->model();
    const QString q = QStringLiteral("qelvo");
    const QByteArray k1State = "{\"site\":\"k1\",\"state\":\"online\",\"maintenance\":\"rfc2217:" "//watch-host:7003\"}";
    QVERIFY(board.takeMessage(q, "qelvo/k1/state", k1State));
    QVERIFY(board.takeMessage(q, "qelvo/k2/state", R"({"site":"k2","state":"online"})"));
    QCOMPARE(SiteTableModel::columnCaption(SiteTableModel::ColSettings), QStringLiteral("設定"));
    const auto cell = [&](const char *site, int role = Qt::DisplayRole) {
        for (int r = 0; r < model.rowCount(); ++r)
            if (model.index(r, 0).data(SiteTableModel::kNameRole).toString() == QLatin1String(site))
                return model.index(r, SiteTableModel::ColSettings).data(role).toString();
        return QStringLiteral("(no row)");
    };
    QCOMPARE(cell("k1"), QStringLiteral("未確認"));

    CtrlModel demo;
    demo.loadDemoSettings();
    QString why;
    const QByteArray golden = GoldenCells(qvdOf(demo), &why);
    CtrlModel changed = demo;
    changed.setField(0x28, demo.field(0x28) + 3);
    changed.setField(0x0A, demo.field(0x0A) + 40);
    std::unique_ptr<MemCell[]> cells(new MemCell[kSettingsCells]);
    QVERIFY(CellsFromHex(changed.memory().left(kSettingsCells).toHex(), cells.get()));
    const SettingsAudit audit = AuditSettings(golden, cells.get());
    const QDateTime at(QDate(2026, 12, 10), QTime(3, 0, 5));
    QVERIFY(board.takeMessage(q, "qelvo/k1/settings",
                              SettingsAuditPayload("k1", at, "/etc/qelvo/k1.qvd", audit, CellsHex(cells.get()))));
    QVERIFY(CellsFromHex(golden, cells.get()));
    QVERIFY(board.takeMessage(q, "qelvo/k2/settings",
                              SettingsAuditPayload("k2", at, "/etc/qelvo/k2.qvd", AuditSettings(golden, cells.get()),
                                                   CellsHex(cells.get()))));
    QCOMPARE(cell("k1"), QStringLiteral("相違 2件"));
    QCOMPARE(cell("k1", Qt::AccessibleTextRole), QStringLiteral("相違 2件"));
    QVERIFY2(cell("k2") == QStringLiteral("一致"), qPrintable(cell("k2")));
    const QStringList tip = cell("k1", Qt::ToolTipRole).split('\n');
    QCOMPARE(tip.size(), 3);
    QVERIFY2(tip[1].startsWith(QStringLiteral("Out 3 最大値: ")) && tip[1].contains(QStringLiteral(" → ")), qPrintable(tip[1]));
    QVERIFY(tip[2].startsWith(kCaptionHysteresis + QStringLiteral(": ")));
    // The picture of the README: a reading each, and the frame wide enough for every column.
    for (const char *site : {"k1", "k2"})
        board.takeMessage(q, QStringLiteral("qelvo/%1/reading").arg(QLatin1String(site)),
                          QStringLiteral("{\"site\":\"%1\",\"time\":\"2026-12-10T09:00:00.000+09:00\",\"count\":512,"
                                         "\"value\":2.5,\"unit\":\"V\",\"outputs\":\"00\",\"late\":false}")
                              .arg(QLatin1String(site))
                              .toUtf8());
    g_frmMdi1->resize(1180, 330);
    g_frmSites1->parentWidget()->setGeometry(0, 0, 1160, 230);
    QTest::qWait(50);
    const QImage img = g_frmMdi1->grab().toImage();
    QVERIFY(PictureShowsSomething(img));
    if (const QString shots = qEnvironmentVariable("QELVO_SCREENSHOTS"); !shots.isEmpty()) {
        QDir().mkpath(shots);
        QVERIFY(img.save(shots + QStringLiteral("/sites-settings.png")));
    }
    // Another site's message under a row's topic, or a malformed one, changes nothing.
    const quint64 dropped = board.droppedMessages();
    QVERIFY(!board.takeMessage(q, "qelvo/k2/settings", SettingsAuditPayload("k1", at, "x", audit, QByteArray())));
    QVERIFY(!board.takeMessage(q, "qelvo/k2/settings", R"({"equal":"yes"})"));
    QCOMPARE(board.droppedMessages(), dropped + 2);
    QCOMPARE(cell("k2"), QStringLiteral("一致"));

    // The row's menu: the comparison window, and where to connect for maintenance.
    const QList<QAction *> actions = g_frmSites1->SiteTable->actions();
    QCOMPARE(actions.size(), 2);
    QCOMPARE(actions[0]->text(), QStringLiteral("設定の相違を表示"));
    QCOMPARE(actions[1]->text(), QStringLiteral("保守接続の情報"));
    QCOMPARE(g_frmSites1->SiteTable->contextMenuPolicy(), Qt::ActionsContextMenu);
    const auto select = [&](const char *site) {
        for (int r = 0; r < g_frmSites1->proxy()->rowCount(); ++r)
            if (g_frmSites1->proxy()->index(r, 0).data(SiteTableModel::kNameRole).toString() == QLatin1String(site))
                g_frmSites1->SiteTable->setCurrentIndex(g_frmSites1->proxy()->index(r, 0));
    };
    select("k1");
    bool shown = false;
    f.dlg.modalHandler = [&](QDialog *d) {
        auto *w = qobject_cast<frmSiteSettings1 *>(d);
        QVERIFY(w);
        shown = true;
        QCOMPARE(w->windowTitle(), QStringLiteral("ｺﾝﾄﾛｰﾗとの比較"));
        QVERIFY(w->Label1->text().startsWith(QStringLiteral("承認済 : /etc/qelvo/k1.qvd    ｺﾝﾄﾛｰﾗ : k1 (")));
        QCOMPARE(w->Label2->text(), QStringLiteral("2 件の相違があります。"));
        QCOMPARE(w->List1->topLevelItemCount(), 2);
        QCOMPARE(w->List1->topLevelItem(0)->text(1), audit.differences[0].golden);
        QCOMPARE(w->List1->topLevelItem(0)->text(2), audit.differences[0].controller);
        QVERIFY(w->Label3->text().startsWith(QStringLiteral("00: ")));
        QAccessibleInterface *list = QAccessible::queryAccessibleInterface(w->List1);
        QVERIFY(list && list->text(QAccessible::Name) == QStringLiteral("相違のある設定"));
        QAccessibleInterface *close = QAccessible::queryAccessibleInterface(w->Command1);
        QVERIFY(close && close->role() == QAccessible::Button && close->text(QAccessible::Name) == QStringLiteral("閉じる"));
        QVERIFY(w->Command1->isDefault());
    };
    actions[0]->trigger();
    QVERIFY(shown);
    f.dlg.answers << vbOK;
    actions[1]->trigger();
    QVERIFY(f.dlg.boxes.last().text.contains(QStringLiteral("rfc2217://watch-host:7003")));
    select("k2");
    f.dlg.answers << vbOK;
    actions[1]->trigger();
    QCOMPARE(f.dlg.boxes.last().text, QStringLiteral("このｻｲﾄの保守接続は設定されていません。"));

    // The watcher no longer audits k1: 未確認 again.
    QVERIFY(board.takeMessage(q, "qelvo/k1/settings", QByteArray()));
    QCOMPARE(cell("k1"), QStringLiteral("未確認"));
    select("k1");
    f.dlg.answers << vbOK;
    actions[0]->trigger();
    QCOMPARE(f.dlg.boxes.last().text, QStringLiteral("このｻｲﾄの設定はまだ確認されていません。"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

QTEST_MAIN(tst_audit)
#include "tst_audit.moc"
