// A site's day in the office view, end to end with real processes: a qelvo-ctrlsim
// controller on a TCP port of 127.0.0.1, a mosquitto started here and qelvo-watchd, whose log
// folder already holds the site's older readings (the half hour before the test, across
// midnight when the test runs after it). The office view's site monitor hears the site live,
// asks its watcher for the last day as a double-click does, and its series then holds exactly
// the log's readings before the request, followed by the live readings.
#include "support/Ctrlsim.h"
#include "support/FreePorts.h"
#include "support/Mosquitto.h"

#include "fleet/SiteMonitor.h"
#include "logfiler/modLogReader.h"

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <pwd.h>
#include <unistd.h>

namespace {
QString watchdProgram() { return BuiltProgram("QELVO_WATCHD", QStringLiteral("watchd/qelvo-watchd")); }

struct Line {
    qint64 ms;     // its time, a whole second
    quint16 raw;   // hundredths from kHundredthsZero
    quint8 outputs;
};

// The data lines of a log file ("000001, 2026/12/08, 13:00:46, 02.50,V, 00011000").
QList<Line> dataLines(const QString &path)
{
    QFile f(path);
    QList<Line> out;
    if (!f.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &l : f.readAll().split('\n')) {
        const QList<QByteArray> p = l.trimmed().split(',');
        if (p.size() != 6)
            continue;
        const QDateTime at = QDateTime::fromString(QString::fromLatin1(p[1].trimmed() + ' ' + p[2].trimmed()),
                                                   QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        bool ok = false;
        const double v = p[3].trimmed().toDouble(&ok);
        const QByteArray bits = p[5].trimmed();
        if (!at.isValid() || !ok || bits.size() != 8)
            continue;
        quint8 o = 0;
        for (int b = 0; b < 8; ++b)
            o |= quint8((bits[b] == '1') << b);
        out << Line{at.toMSecsSinceEpoch(), quint16(std::lround(v * 100) + kHundredthsZero), o};
    }
    return out;
}
} // namespace

class tst_e2e_history : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void aDoubleClickShowsTheLogsDayThenLive();

private:
    QTemporaryDir m_dir;
    QProcess m_broker, m_sim, m_watchd;
    quint16 m_brokerPort = freePort(), m_simPort = freePort();
};

void tst_e2e_history::initTestCase()
{
    QVERIFY2(QFileInfo(watchdProgram()).isExecutable(), qPrintable(watchdProgram() + " (set QELVO_WATCHD)"));
    const QString mosquitto = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
    QVERIFY2(!mosquitto.isEmpty(), "mosquitto is not installed (scripts/test installs it)");
    QFile c(m_dir.filePath("mosquitto.conf"));
    QVERIFY(c.open(QIODevice::WriteOnly));
    c.write(QStringLiteral("user %1\nlistener %2 127.0.0.1\nallow_anonymous true\nlog_dest none\n")
                .arg(QString::fromLocal8Bit(getpwuid(getuid())->pw_name)).arg(m_brokerPort).toUtf8());
    c.close();
    QVERIFY(StartMosquitto(m_broker, c.fileName(), m_brokerPort));
    QVERIFY(startCtrlsim(m_sim, {"--tcp", QString::number(m_simPort), "--com", "47", "--level", "300", "--demo", "--quiet"}));

    // The site's older readings: a line each 10 s of the half hour before now, in the file of
    // their day, as the watcher writes them.
    const QDateTime now = QDateTime::currentDateTime();
    QDir().mkpath(m_dir.filePath("logs/kawa"));
    QMap<QDate, QByteArray> files;
    for (int k = 0; k < 180; ++k) {
        const QDateTime t = now.addSecs(-1800 + k * 10);
        QByteArray &f = files[t.date()];
        if (f.isEmpty())
            f = "/** Logging Start **/\r\nTime :," + t.toString("yyyy/MM/dd, HH:mm:ss").toLatin1() + "\r\n";
        QString bits;
        for (int b = 0; b < 8; ++b)
            bits += (k >> b) & 1 ? QLatin1Char('1') : QLatin1Char('0');
        f += QStringLiteral("%1, %2, %3.%4,V, %5\r\n")
                 .arg(k + 1, 6, 10, QLatin1Char('0'))
                 .arg(t.toString("yyyy/MM/dd, HH:mm:ss"))
                 .arg(10 + k / 100, 2, 10, QLatin1Char('0'))
                 .arg(k % 100, 2, 10, QLatin1Char('0'))
                 .arg(bits)
                 .toLatin1();
    }
    for (auto i = files.begin(); i != files.end(); ++i) {
        QFile f(m_dir.filePath("logs/kawa/qlv" + i.key().toString("yyyyMMdd") + ".csv"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(i.value() + "/** Logging Quit **/\r\nTime :," + now.addSecs(-10).toString("yyyy/MM/dd, HH:mm:ss").toLatin1() +
                "\r\n");
    }

    const QString conf = m_dir.filePath("watchd.ini");
    QFile w(conf);
    QVERIFY(w.open(QIODevice::WriteOnly));
    w.write(QStringLiteral("[watch]\nlog_folder=%1/logs\nstate_dir=%1/state\ninterval_ms=500\n[mqtt]\n"
                           "url=mqtt://127.0.0.1:%2\ntopic_prefix=e2hi\nclient_id=watchd-history\n[sites]\n"
                           "kawa=tcp://127.0.0.1:%3\n[kawa]\nwarn_outputs=none\n")
                .arg(m_dir.path())
                .arg(m_brokerPort)
                .arg(m_simPort)
                .toUtf8());
    w.close();
    m_watchd.start(watchdProgram(), {conf});
    QVERIFY(m_watchd.waitForStarted(5000));
}

void tst_e2e_history::cleanupTestCase()
{
    stopProcess(m_watchd);
    stopProcess(m_sim);
    stopProcess(m_broker);
}

void tst_e2e_history::aDoubleClickShowsTheLogsDayThenLive()
{
    SiteMonitor monitor;
    QStringList told;
    connect(&monitor, &SiteMonitor::commandTold, this, [&](const QString &t) { told << t; });
    SiteSource s;
    s.url = QStringLiteral("mqtt://127.0.0.1:%1").arg(m_brokerPort);
    s.topicPrefix = QStringLiteral("e2hi");
    QVERIFY(monitor.useSource(s));
    const auto series = [&] { return monitor.board()->history(monitor.board()->indexOf(QStringLiteral("kawa"))); };
    // A few live readings first, which the log holds too.
    QVERIFY2(QTest::qWaitFor([&] { return series() && series()->size() >= 6; }, 20000),
             qPrintable(QString::fromUtf8(m_watchd.readAllStandardError())));
    const std::shared_ptr<const TrendSeries> shown = series();

    // Asked well inside a second, so the readings of the second before are in the log by then.
    QTest::qWaitFor([] { return QDateTime::currentDateTime().time().msec() >= 300; }, 1000);
    monitor.askHistory(QStringLiteral("kawa"));
    const qint64 t = QDateTime::currentMSecsSinceEpoch() / 1000 * 1000;
    QVERIFY2(QTest::qWaitFor([&] { return told.size() >= 2; }, 15000), qPrintable(told.join('\n')));
    QVERIFY2(told.last().startsWith(QStringLiteral("kawa: 過去24時間の履歴 ")), qPrintable(told.join('\n')));
    QCOMPARE(series(), shown); // the same series, the window's

    // The log's lines before the request, in order, each once.
    QList<Line> want;
    for (const QString &name : QDir(m_dir.filePath("logs/kawa")).entryList({"qlv*.csv"}, QDir::Files, QDir::Name))
        for (const Line &l : dataLines(m_dir.filePath("logs/kawa/" + name)))
            if (l.ms < t)
                want << l;
    // The older lines written here, and the watcher's own since it began.
    QVERIFY2(want.size() > 180, qPrintable(QString::number(want.size())));
    QList<Line> got, after;
    for (qint64 i = 0; i < shown->size(); ++i) {
        const TrendSeries::Reading r = shown->at(i);
        (r.written < t ? got : after) << Line{r.written, r.value, r.outputs};
    }
    QCOMPARE(got.size(), want.size());
    for (int i = 0; i < want.size(); ++i) {
        QCOMPARE(got[i].ms, want[i].ms);
        QCOMPARE(got[i].raw, want[i].raw);
        QCOMPARE(got[i].outputs, want[i].outputs);
    }
    QCOMPARE(told.last(), QStringLiteral("kawa: 過去24時間の履歴 %1件").arg(want.size()));
    // Then it follows live.
    const qint64 before = shown->size();
    QVERIFY(QTest::qWaitFor([&] { return shown->size() >= before + 2; }, 5000));
    // In order (the log's two readings of a second share its time).
    for (qint64 i = 1; i < shown->size(); ++i)
        QVERIFY(shown->at(i).written >= shown->at(i - 1).written);
    QVERIFY(shown->at(shown->size() - 1).written >= t);
    monitor.stop();
}

QTEST_MAIN(tst_e2e_history)
#include "tst_e2e_history.moc"
