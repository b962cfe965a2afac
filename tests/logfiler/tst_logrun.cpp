// LogRun without its window: two runs in one process beside the window's run, each with its
// own readings, input type, display options and end, on the virtual clock against the
// simulated controller, their files checked byte for byte; and the data line of a reading
// against the one of the reply texts.
#include "support/LinkHelpers.h"

#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modLinkState.h"
#include "logfiler/LogRun.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "settings/modUserData.h"

#include "support/LogSettings.h"

#include <QDir>
#include <QtTest>

namespace {
QByteArray block(const char *marker, const char *time) { return QByteArray(marker) + "\r\nTime :," + time + "\r\n"; }
QByteArray sample(int n, int second, const QByteArray &columns)
{
    return QByteArray::number(n).rightJustified(6, '0') + ", 2006/10/10, 09:00:" + QByteArray::number(second).rightJustified(2, '0') +
           ", " + columns + "\r\n";
}

} // namespace

class TestLogRun : public QObject {
    Q_OBJECT
private slots:
    void twoRunsBesideTheWindow_data();
    void twoRunsBesideTheWindow();
    void dataLineOfAReading();
};

void TestLogRun::twoRunsBesideTheWindow_data()
{
    QTest::addColumn<int>("type");    // run B's input type
    QTest::addColumn<bool>("volt");   // the display options of all three runs
    QTest::addColumn<bool>("bits");
    QTest::addColumn<QString>("end"); // how run B ends
    QTest::addColumn<QByteArray>("expect"); // run B's file, its value and outputs 02F0 and 81
    const struct {
        int type;
        bool volt, bits;
        const char *columns;
    } shown[] = {{1, true, true, "03.68,V, 10000001"},   {2, true, true, "07.35,V, 10000001"},
                 {3, true, true, "14.70,mA, 10000001"},  {4, true, true, "01.32,M, 10000001"},
                 {5, true, true, "02.65,M, 10000001"},   {1, false, false, "02F0, 81"},
                 {4, true, false, "01.32,M, 81"},        {5, false, true, "02F0, 10000001"}};
    const struct {
        const char *end, *marker;
        int seconds[4]; // the three samples and the end
    } ends[] = {{"count", "/** Logging END C **/", {0, 1, 2, 3}}, {"time", "/** Logging END T **/", {0, 2, 4, 5}},
                {"stop", "/** Logging QUIT **/", {0, 1, 2, 3}},   {"monitor", "/** Logging Quit **/", {0, 1, 2, 3}}};
    for (const auto &e : ends)
        for (const auto &s : shown) {
            QByteArray expect = block("/** Logging Start **/", "2006/10/10, 09:00:00");
            for (int n = 1; n <= 3; ++n)
                expect += sample(n, e.seconds[n - 1], s.columns);
            expect += block(e.marker, "2006/10/10, 09:00:0" + QByteArray::number(e.seconds[3]));
            QTest::addRow("type %d volt %d bits %d, %s", s.type, s.volt, s.bits, e.end)
                << s.type << s.volt << s.bits << QString::fromLatin1(e.end) << expect;
        }
}

void TestLogRun::twoRunsBesideTheWindow()
{
    QFETCH(int, type);
    QFETCH(bool, volt);
    QFETCH(bool, bits);
    QFETCH(QString, end);
    QFETCH(QByteArray, expect);
    AppFixture f;
    f.seedDataFolder();
    g_subDataPathSet(DataFolder());
    QDir().mkpath(logFolder());
    // The window's run: the example of a log, every ten seconds, two samples.
    QVERIFY(!SaveLogFileSetting(settings(0, QStringLiteral("00:00:10"), 2)).failed());
    f.sim.model().setLevel(0x1A3);
    f.sim.model().setCell(0x2B, 0x05); // outputs 1 and 3
    const QDateTime at(QDate(2006, 10, 10), QTime(9, 0, 0));
    f.clock.setBase(at.addSecs(-5).addMSecs(-(f.clock.nowUs() / 1000)));
    startConnected(f);
    g_subMenuCommand(12);
    g_frmDirect1->Command2[0]->click();
    g_subMenuCommand(13);
    QVERIFY(g_frmLogFiler1);
    g_frmLogFiler1->Check1[0]->setChecked(volt);
    g_frmLogFiler1->Check1[1]->setChecked(bits);

    // Run A takes the store's readings as the window does; run B a reading of its own at each,
    // in its own input type, and its own monitor.
    bool monitorB = true;
    LogRun a({[] { return g_intMonitorOn == -1; }, [] { return qint64(g_lngSamplingTime); }});
    LogRun b({[&monitorB] { return monitorB; }, [] { return qint64(1000); }});
    auto readingB = [] { return MakeReading(Now(), QStringLiteral("02F0"), QStringLiteral("81"), ScaleOfType(1)); };
    QObject context;
    connect(&monitorEvents(), &MonitorEvents::readingStored, &context, [&] {
        a.takeReading(NewestReading());
        b.takeReading(readingB());
    });
    Sleep(int(Now().msecsTo(at)));
    QCOMPARE(Now(), at);

    LogRunSettings sa;
    sa.set = settings(0, QStringLiteral("00:00:10"), 2);
    sa.path = logFolder() + QStringLiteral("a.csv");
    sa.voltDisp = volt;
    sa.bitsDisp = bits;
    LogRunSettings sb = sa;
    sb.path = logFolder() + QStringLiteral("b.csv");
    sb.scale = ScaleOfType(type);
    sb.set = end == QLatin1String("time") ? settings(1, QStringLiteral("00:00:02"), 1, QStringLiteral("2006/10/10 09:00:05"))
                                          : settings(0, QStringLiteral("00:00:01"), end == QLatin1String("count") ? 3 : 100);
    g_frmLogFiler1->Command1[0]->click();
    a.takeReading(NewestReading());
    QVERIFY(a.start(sa));
    b.takeReading(readingB());
    QVERIFY(b.start(sb));
    Sleep(2500);
    if (end == QLatin1String("stop"))
        b.stop();
    if (end == QLatin1String("monitor")) {
        monitorB = false;
        f.dlg.answers << vbOK;
    }
    Sleep(9500);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QCOMPARE(a.state(), LogRun::Stopped);
    QCOMPARE(b.state(), LogRun::Stopped);

    // The window's run and A write the example's bytes, whatever B did.
    const QByteArray v = QByteArray(volt ? "02.05,V" : "01A3") + ", " + (bits ? "10100000" : "05");
    const QByteArray example = block("/** Logging Start **/", "2006/10/10, 09:00:00") + sample(1, 0, v) + sample(2, 10, v) +
                               block("/** Logging END C **/", "2006/10/10, 09:00:11");
    QCOMPARE(AppFixture::readFile(logFolder() + QStringLiteral("site.csv")), example);
    QCOMPARE(AppFixture::readFile(sa.path), example);
    QCOMPARE(AppFixture::readFile(sb.path), expect);
    if (end == QLatin1String("monitor"))
        QCOMPARE(boxOf(f.dlg.boxes.last()),
                 box(g_strAppTitle, QStringLiteral("入力ﾓﾆﾀｰ機能が停止しました。入力ﾓﾆﾀｰ機能が停止している時はﾛｸﾞﾌｧｲﾗは使用できません。\r\nﾛｸﾞﾌｧｲﾗを終了します。"),
                     vbOKOnly, vbExclamation));
    // Each run shows its own last lines: B's end block.
    QCOMPARE(b.lines().mid(LogRun::kShownLines - 3, 2).join(QStringLiteral("\r\n")).toLatin1() + "\r\n",
             expect.mid(expect.lastIndexOf("/**")));
}

namespace {
// The columns as the written log filer wrote them from the reply texts: the count times the
// scale of the loaded type through the editor's value format (the distance types full scale
// minus it), at least "00.00", and the unit; the outputs as eight digits, ch1 first. "ERROR"
// for a text that is no number.
QString writtenValue(const QString &hex, bool volt)
{
    if (!volt)
        return hex;
    bool ok = hex.size() == 4;
    const int count = ok ? hex.toInt(&ok, 16) : 0;
    QString v = ok ? g_funcValueFormat(count * g_dblScale, 1) : QStringLiteral("ERROR");
    if (ok && v.indexOf(QLatin1Char('.')) < 2)
        v.prepend(QLatin1Char('0'));
    return v + QLatin1Char(',') + g_strUnit;
}

QString writtenOutputs(const QString &hex, bool bits)
{
    if (!bits)
        return hex;
    bool ok = !hex.isEmpty() && hex.size() <= 2;
    const int v = ok ? hex.toInt(&ok, 16) : 0;
    if (!ok)
        return QStringLiteral("ERROR");
    QString out;
    for (int i = 0; i < 8; ++i)
        out += (v >> i) & 1 ? QLatin1Char('1') : QLatin1Char('0');
    return out;
}
} // namespace

void TestLogRun::dataLineOfAReading()
{
    // Every count and outputs text of a reply, in every input type and display: the line made
    // from the reading decoded once is the line the written log filer made of the reply's
    // texts.
    AppFixture f;
    const QDateTime t(QDate(2006, 10, 10), QTime(9, 0, 0));
    QStringList values{QString(), QStringLiteral("1A3"), QStringLiteral("ZZZZ"), QStringLiteral("1A3G"), QStringLiteral("01A35")};
    for (int count = 0; count <= 0xFFFF; count += count < 0x500 ? 1 : 97)
        values << QStringLiteral("%1").arg(count, 4, 16, QLatin1Char('0')).toUpper() << QStringLiteral("%1").arg(count, 4, 16, QLatin1Char('0'));
    for (int type = 1; type <= 5; ++type) {
        g_subInputTypeSet(type);
        for (int i = 0; i < values.size(); ++i) {
            const QString outputs = i < 5 ? QStringList{QString(), QStringLiteral("G"), QStringLiteral("123"), QStringLiteral("5"), QStringLiteral("xF")}[i]
                                          : QStringLiteral("%1").arg(i & 0xFF, 2, 16, QLatin1Char('0'));
            const Reading r = MakeReading(t, values[i], outputs, ScaleOfType(type));
            for (int display = 0; display < 4; ++display) {
                const bool volt = display & 1, bits = display & 2;
                const QString written = QStringLiteral("%1, %2, %3, %4")
                                            .arg(i + 1, 6, 10, QLatin1Char('0'))
                                            .arg(LogTimeText(t), writtenValue(values[i], volt), writtenOutputs(outputs, bits));
                if (MakeDataLine(i + 1, t, r, volt, bits) != written)
                    QFAIL(qPrintable(QStringLiteral("type %1 %2 %3: %4 / %5").arg(type).arg(values[i], outputs, MakeDataLine(i + 1, t, r, volt, bits), written)));
            }
        }
    }
}

QTEST_MAIN(TestLogRun)
#include "tst_logrun.moc"
