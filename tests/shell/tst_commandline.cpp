// The program's command line, run as a user runs it: --help and --version answer without
// a display and end; anything else the tool does not take ends it with a message and 1
// before a window opens; Qt's own options still reach the application object.
#include "qelvo_version.h"

#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

namespace {
struct Run {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs the built qelvo with args; withDisplay false takes every display away.
Run runQelvo(const QStringList &args, bool withDisplay)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (withDisplay) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    } else {
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
    }
    p.setProcessEnvironment(env);
    p.start(qEnvironmentVariable("QELVO_APP"), args);
    Run r;
    if (!p.waitForFinished(20000)) {
        p.kill();
        p.waitForFinished();
        r.err = QStringLiteral("still running after 20 s");
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}
} // namespace

class tst_commandline : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(QFileInfo(qEnvironmentVariable("QELVO_APP")).isExecutable()); }
    void versionAndHelpNeedNoDisplay_data();
    void versionAndHelpNeedNoDisplay();
    void anythingElseEndsBeforeAWindow_data();
    void anythingElseEndsBeforeAWindow();
};

void tst_commandline::versionAndHelpNeedNoDisplay_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("help");
    QTest::newRow("--version") << QStringList{"--version"} << false;
    QTest::newRow("-v") << QStringList{"-v"} << false;
    QTest::newRow("Qt's option before --version") << QStringList{"-platform", "offscreen", "--version"} << false;
    QTest::newRow("--help") << QStringList{"--help"} << true;
    QTest::newRow("-h wins over an unknown option") << QStringList{"--bogus", "-h"} << true;
}

void tst_commandline::versionAndHelpNeedNoDisplay()
{
    QFETCH(QStringList, args);
    QFETCH(bool, help);
    const Run r = runQelvo(args, false);
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.err, QString());
    if (help) {
        QVERIFY2(r.out.startsWith(QStringLiteral("Usage: qelvo [options]\n")), qPrintable(r.out));
        for (const char *opt : {"-h, --help", "-v, --version"})
            QVERIFY2(r.out.contains(QLatin1String(opt)), opt);
    } else {
        // The project's version, as the version window shows its parts.
        QCOMPARE(r.out, QStringLiteral("qelvo " QELVO_VERSION "\n"));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d+\\.\\d+\\.\\d+$")).match(QStringLiteral(QELVO_VERSION)).hasMatch());
    }
}

void tst_commandline::anythingElseEndsBeforeAWindow_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("named");
    QTest::newRow("unknown long option") << QStringList{"--port=COM3"} << "Unknown option 'port'";
    QTest::newRow("unknown short option") << QStringList{"-x"} << "Unknown option 'x'";
    QTest::newRow("a file to open") << QStringList{"site.qvd"} << "Unexpected argument 'site.qvd'";
}

void tst_commandline::anythingElseEndsBeforeAWindow()
{
    QFETCH(QStringList, args);
    QFETCH(QString, named);
    // With a display the tool would start; it must end at once instead. The data folder is
    // the suite's own, so a start would show its first-start boxes and hang until killed.
    const Run r = runQelvo(args, true);
    QCOMPARE(r.exitCode, 1);
    QCOMPARE(r.out, QString());
    QVERIFY2(r.err.contains(QStringLiteral("qelvo: ") + named), qPrintable(r.err));
    QVERIFY2(r.err.contains(QStringLiteral("qelvo --help")), qPrintable(r.err));
}

QTEST_GUILESS_MAIN(tst_commandline)
#include "tst_commandline.moc"
