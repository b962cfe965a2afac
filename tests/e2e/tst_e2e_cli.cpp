// qelvo-cli end to end: the program as a script runs it, against qelvo-ctrlsim on
// pseudo-terminals bound to COM numbers of the test's data folder. The bytes of the .qvd it
// writes (against the tool's own temp.tmp after a read), the table and JSON, the diff lines
// and exit statuses, the write and its read-back, the monitor's lines, time-out and Ctrl+C,
// the lock between qelvo and qelvo-cli, eight ports read in parallel and their summary,
// each error line (a refusing or babbling controller, a missing, read-only or full folder),
// standard input and output, and the sheet.
#include "support/AppFixture.h"
#include "support/Ctrlsim.h"
#include "support/DataFiles.h"
#include "support/PdfText.h"
#include "support/TcpTestServer.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "link/modComm1.h"
#include "platform/ComPorts.h"
#include "platform/Dialogs.h"
#include "platform/QtSerialPort.h"
#include "doubles/PictureCheck.h"
#include "settings/modCompare.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The command line that runs a program as nobody, as root keeps nobody out of a folder no
// longer. The test's private home lets nobody pass through to DIR, and nobody gets a
// runtime folder of its own there.
QStringList asNobody(const QString &dir)
{
    const QString home = QDir::homePath();
    for (QString d = QFileInfo(dir).absolutePath(); d.startsWith(home); d = QFileInfo(d).absolutePath()) {
        struct stat st {};
        if (::stat(QFile::encodeName(d).constData(), &st) == 0)
            ::chmod(QFile::encodeName(d).constData(), (st.st_mode & 07777) | S_IXOTH);
        if (d == home)
            break;
    }
    const QString run = home + QStringLiteral("/run-nobody");
    QDir().mkpath(run);
    if (::chmod(QFile::encodeName(run).constData(), 0700) != 0 || ::chown(QFile::encodeName(run).constData(), 65534, 65534) != 0)
        qWarning("cannot hand %s to nobody", qPrintable(run));
    return {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
            QStringLiteral("--clear-groups"), QStringLiteral("env"), QStringLiteral("XDG_RUNTIME_DIR=") + run};
}
using Image = std::unique_ptr<MemCell[]>;

QString cliProgram()
{ return BuiltProgram("QELVO_CLI", QStringLiteral("cli/qelvo-cli")); }

struct Run {
    int code = -1;
    QString out, err;
    qint64 ms = 0;
    QStringList lines() const { return out.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    QByteArray what() const { return QStringLiteral("exit %1\nstdout:\n%2\nstderr:\n%3").arg(code).arg(out, err).toUtf8(); }
};

// Runs qelvo-cli (or, with a prefix, the program that runs it) to its end; stdin holds
// input, and is not a terminal.
Run cli(const QStringList &args, int timeoutMs = 60000, const QByteArray &input = QByteArray(),
        const QStringList &prefix = {})
{
    QProcess p;
    if (prefix.isEmpty())
        p.start(cliProgram(), args);
    else
        p.start(prefix.first(), prefix.mid(1) + QStringList{cliProgram()} + args);
    p.write(input);
    p.closeWriteChannel();
    QElapsedTimer t;
    t.start();
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        r.err = QStringLiteral("did not end in %1 ms").arg(timeoutMs);
        return r;
    }
    r.ms = t.elapsed();
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

// qelvo-ctrlsim on COM n with its frame log.
struct Sim {
    QProcess p;
    QByteArray err;
    QString device;
    int com = 0;

    bool start(int n, const QStringList &extra = {})
    {
        com = n;
        p.setProcessChannelMode(QProcess::SeparateChannels);
        if (!startCtrlsim(p, QStringList{QStringLiteral("--com"), QString::number(n), QStringLiteral("--log")} + extra))
            return false;
        device = QFileInfo(ComPortLink(n)).symLinkTarget();
        return QFileInfo(ComPortLink(n)).isSymLink();
    }
    QByteArrayList frames()
    {
        p.waitForReadyRead(50);
        err += p.readAllStandardError();
        QByteArrayList out;
        static const QRegularExpression re(QStringLiteral("<- (\\S+?)<CR>"));
        for (const QByteArray &line : err.split('\n')) {
            const auto m = re.match(QString::fromLatin1(line));
            if (m.hasMatch())
                out << m.captured(1).toLatin1();
        }
        return out;
    }
    void clearFrames()
    {
        frames();
        err.clear();
    }
    void stop() { stopProcess(p); }
    ~Sim() { stop(); }
};

// The tool in this process as main() starts it, with scripted boxes and the real port and
// clock: the other program on the port, and the reference for the bytes of a read.
struct Gui {
    ScriptedDialogs dlg;
    RecordingProcess proc;
    QtSerialPort port;
    Gui()
    {
        installClock(nullptr);
        installDialogs(&dlg);
        installProcess(&proc);
        installSerialPort(&port);
        AppFixture::resetGlobals();
        seedDataFiles(1);
        Main();
    }
    ~Gui()
    {
        AppFixture::closeWindows();
        port.setPortOpen(false);
        AppFixture::resetGlobals();
        installSerialPort(nullptr);
        installProcess(nullptr);
        installDialogs(nullptr);
    }
    bool connect(int com)
    {
        g_intCommPort = qint16(com);
        g_subMenuCommand(21);
        return g_intConnectStatus == 1;
    }
};

QByteArrayList blockFrames(char letter, const MemCell *image = nullptr)
{
    QByteArrayList l;
    for (int a = 0; a < kSettingsCells; ++a)
        l << letter + hexDigits(a, 2) + (image ? image[a].data().toLatin1() : QByteArray());
    return l;
}

// The processes whose parent is pid.
QList<pid_t> childrenOf(pid_t pid)
{
    QList<pid_t> kids;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray stat = readBytes(QStringLiteral("/proc/%1/stat").arg(name));
        const QList<QByteArray> f = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 1 && f[1].toInt() == pid)
            kids << name.toInt();
    }
    return kids;
}

// A data line of the log filer with both columns.
const QRegularExpression kDataLine(QStringLiteral("^(\\d{6}), \\d{4}/\\d{2}/\\d{2}, \\d{2}:\\d{2}:\\d{2}, (\\d\\d\\.\\d\\d),(V|mA|M), ([01]{8})$"));
} // namespace

class tst_e2e_cli : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void usage_data();
    void usage();
    void writeReadDiffAndTheToolsOwnBytes();
    void writeAsksOnATerminal();
    void errorLines();
    void answersThatAreNoReply_data();
    void answersThatAreNoReply();
    void fileErrorsSayWhich_data();
    void fileErrorsSayWhich();
    void standardInputAndOutput();
    void readBackNamesTheSetting();
    void noPermission();
    void lockBetweenTheToolAndTheCli();
    void monitorLinesAndCtrlC();
    void monitorTimeoutBoundsEachReading();
    void eightPortsInParallel();
    void sheetHoldsEveryValue();
    void parallelReadStopsOnSignal_data();
    void parallelReadStopsOnSignal();

private:
    QString file(const QString &name) const { return m_dir.filePath(name); }
    QString writeQvd(const QString &name, const QMap<int, QByteArray> &cells) const
    {
        const QString path = file(name);
        writeBytes(path, userDataFile(cells));
        return path;
    }
    QTemporaryDir m_home, m_dir;
};

void tst_e2e_cli::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("XDG_CONFIG_HOME")) {
        QVERIFY(m_home.isValid());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    }
    QVERIFY2(QFileInfo(cliProgram()).isExecutable(), qPrintable(cliProgram()));
}

void tst_e2e_cli::init()
{
    // No COM link of an earlier case is left behind.
    QDir(ComPortsFolder()).removeRecursively();
    DataFolder();
}

void tst_e2e_cli::usage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("says");
    QTest::newRow("help") << QStringList{"--help"} << 0 << "sheet FILE.qvd|COMn -o SHEET.pdf|SHEET.html";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "qelvo-cli 1.5.0";
    QTest::newRow("nothing") << QStringList{} << 2 << "Usage: qelvo-cli [--timeout SECONDS] COMMAND";
    QTest::newRow("unknown command") << QStringList{"frob"} << 2 << "qelvo-cli: unknown command 'frob'";
    for (const char *c : {"ports", "read", "write", "diff", "monitor", "sheet"})
        QTest::newRow(qPrintable(QStringLiteral("%1 --help").arg(c))) << QStringList{c, "--help"} << 0
                                                                      << QStringLiteral("Usage: qelvo-cli [options] %1").arg(c);
    QTest::newRow("read without port") << QStringList{"read"} << 2 << "qelvo-cli: read needs a COM port";
    QTest::newRow("no COM port") << QStringList{"read", "COM100"} << 2 << "qelvo-cli: 'COM100' is no COM port (COM1 to COM99)";
    QTest::newRow("several without -o") << QStringList{"read", "COM1", "COM2"} << 2 << "reading several ports needs -o DIR";
    QTest::newRow("twice") << QStringList{"read", "COM1", "com1", "-o", "x"} << 2 << "COM1 is named twice";
    QTest::newRow("unknown option") << QStringList{"read", "COM1", "--bogus"} << 2
                                    << "qelvo-cli: unknown option '--bogus' (see qelvo-cli read --help)";
    QTest::newRow("unknown option first") << QStringList{"--bogus", "read", "COM1"} << 2
                                          << "qelvo-cli: unknown option '--bogus' (see qelvo-cli --help)";
    QTest::newRow("version after a command") << QStringList{"read", "COM1", "--version"} << 0 << "qelvo-cli 1.5.0";
    QTest::newRow("help before a command") << QStringList{"--timeout", "3", "--help", "diff"} << 0
                                           << "Usage: qelvo-cli [options] diff";
    QTest::newRow("read format") << QStringList{"read", "COM1", "--format", "xml"} << 2 << "--format takes table or json";
    QTest::newRow("two standard inputs") << QStringList{"diff", "-", "-"} << 2 << "only one side can be standard input";
    QTest::newRow("write one argument") << QStringList{"write", "COM1"} << 2 << "write needs a COM port and a .qvd file";
    QTest::newRow("diff one argument") << QStringList{"diff", "a.qvd"} << 2 << "diff needs two arguments";
    QTest::newRow("interval") << QStringList{"monitor", "COM1", "--interval", "10"} << 2 << "--interval takes milliseconds from 20 to 2000";
    QTest::newRow("count") << QStringList{"monitor", "COM1", "--count", "0"} << 2 << "--count takes a number of readings from 1";
    QTest::newRow("sheet kind") << QStringList{"sheet", "a.qvd", "-o", "a.txt"} << 2 << "sheet needs -o SHEET.pdf or -o SHEET.html";
    QTest::newRow("timeout") << QStringList{"read", "COM1", "--timeout", "0"} << 2 << "--timeout takes whole seconds";
}

void tst_e2e_cli::usage()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, says);
    const Run r = cli(args);
    QVERIFY2(r.code == code, r.what());
    QVERIFY2((code == 0 ? r.out : r.err).contains(says), r.what());
    if (code == 2)
        QVERIFY2(r.out.isEmpty(), r.what());
    // A usage error is one line; only a bare qelvo-cli shows the whole help.
    if (code == 2 && !args.isEmpty())
        QVERIFY2(r.err.count(QLatin1Char('\n')) == 1, r.what());
}

void tst_e2e_cli::writeReadDiffAndTheToolsOwnBytes()
{
    Gui gui; // the tool, not yet on any port
    Sim sim;
    QVERIFY(sim.start(1));
    // A file with what the editor would normalise: a scaling of 0 (the editor writes 1)
    // and a marker of 00 (the editor writes FF).
    QMap<int, QByteArray> cells = sampleSettings("01");
    putCount(cells, cellScaling2, 0);
    const QString site = writeQvd(QStringLiteral("site.qvd"), cells);

    // The write sends the file's bytes as they stand, then reads them back.
    Run r = cli({"write", "COM1", site, "--yes"});
    QVERIFY2(r.code == 0, r.what());
    QCOMPARE(r.out, QStringLiteral("COM1 holds the settings of %1.\n").arg(site));
    QVERIFY2(r.err.isEmpty(), r.what());
    Image written(new MemCell[kImageCells]);
    FileError e;
    QVERIFY(ParseUserFile(userDataFile(cells), written.get(), e));
    QByteArrayList expected = QByteArrayList{"L"} + blockFrames('W', written.get()) + QByteArrayList{"E", "L"} + blockFrames('R');
    QTRY_COMPARE(sim.frames(), expected);
    QVERIFY(expected.contains("W2300") && expected.contains("W2A00"));

    // The table: each setting with its editor name and its value in the unit.
    r = cli({"read", "COM1"});
    QVERIFY2(r.code == 0, r.what());
    const QStringList table = r.lines();
    QList<SettingItem> items;
    QVERIFY(SettingsOf(written.get(), items, e));
    // --json: the same settings with their values, units and raw counts.
    const Run json = cli({"read", "COM1", "--format", "json"});
    const QJsonObject read = QJsonDocument::fromJson(json.out.toUtf8()).object();
    QVERIFY2(json.code == 0 && read.value("port").toString() == QStringLiteral("COM1"), json.what());
    QVERIFY(QDateTime::fromString(read.value("read_at").toString(), Qt::ISODate).isValid());
    const QJsonArray settings = read.value("settings").toArray();
    QCOMPARE(table.size(), items.size());
    QCOMPARE(settings.size(), items.size());
    for (int i = 0; i < items.size(); ++i) {
        const QRegularExpression row(QStringLiteral("^%1 +%2$").arg(QRegularExpression::escape(items[i].name),
                                                                   QRegularExpression::escape(items[i].display())));
        QVERIFY2(row.match(table[i]).hasMatch(), qPrintable(table[i]));
        const QJsonObject j = settings[i].toObject();
        double v = 0;
        QVERIFY(j.value("setting") == items[i].name && j.value("text") == items[i].text && j.value("unit") == items[i].unit &&
                j.value("raw").toInteger(-1) == items[i].raw && j.value("value").isDouble() == items[i].number(v));
    }
    // The values line up on a terminal, after the widest name ("オフセット　５V", 15 cells).
    QVERIFY(table.contains(QStringLiteral("Out 3 最大値     3.53 V")));
    QVERIFY(table.contains(QStringLiteral("ﾋｽﾃﾘｼｽ           0.40 V")));

    // The file of a read holds the controller's bytes, as the tool's temp.tmp after
    // データ読込 does, and compares equal to the controller.
    const QString cliFile = file(QStringLiteral("cli.qvd"));
    r = cli({"read", "COM1", "-o", cliFile});
    QVERIFY2(r.code == 0 && r.out.isEmpty() && r.err.isEmpty(), r.what());
    r = cli({"diff", cliFile, "COM1"});
    QVERIFY2(r.code == 0 && r.out.isEmpty(), r.what());
    QVERIFY(gui.connect(1));
    g_intSaved = 1;
    g_frmMain1->Command1_Click(0);
    const QByteArray cliBytes = readBytes(cliFile);
    QCOMPARE(cliBytes.size(), qsizetype(kUserFileBytes));
    QVERIFY(cliBytes == readBytes(g_strTempFile));
    // The editor's save after the read writes what it normalises: the diff names each byte.
    const QString guiFile = file(QStringLiteral("gui.qvd"));
    gui.dlg.fileAnswers << guiFile;
    QVERIFY(g_funcFileSaveAs());
    QVERIFY2(gui.dlg.unexpected == 0, qPrintable(gui.dlg.unexpectedWhat.join(QLatin1Char('|'))));
    g_subMenuCommand(22);
    r = cli({"diff", guiFile, "COM1"});
    QVERIFY2(r.code == 1, r.what());
    QCOMPARE(r.lines(), QStringList({QStringLiteral("スケーリング2  1   0"), QStringLiteral("ｱﾄﾞﾚｽ 2A       FF  00")}));

    // diff: a file against the controller that holds it, then against another file.
    r = cli({"diff", site, "COM1"});
    QVERIFY2(r.code == 0 && r.out.isEmpty(), r.what());
    QMap<int, QByteArray> other = cells;
    putCount(other, ChMaxCell(3), 600);
    putCount(other, ChMinCell(5), 0);
    other[cellRelayMode] = "A4";
    const QString changed = writeQvd(QStringLiteral("changed.qvd"), other);
    r = cli({"diff", "COM1", changed});
    QVERIFY2(r.code == 1, r.what());
    QCOMPARE(r.lines(), QStringList({QStringLiteral("Out 3 最大値  3.53 V  5.87 V"),
                                     QStringLiteral("Out 5 最小値  4.13 V  0.00 V"),
                                     QStringLiteral("出力反転 1    NC      NO")}));
    r = cli({"diff", "COM1", changed, "--json"});
    QVERIFY2(r.code == 1, r.what());
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    QCOMPARE(o.value("same").toBool(true), false);
    QCOMPARE(o.value("b").toString(), changed);
    const QJsonArray list = o.value("differences").toArray();
    QCOMPARE(list.size(), 3);
    // Each side's value, unit and raw count; the NC box's value is its text.
    const auto side = [&](int i, const char *which) { return list[i].toObject().value(which).toObject(); };
    QCOMPARE(list[0].toObject().value("setting").toString(), QStringLiteral("Out 3 最大値"));
    QCOMPARE(side(0, "a"), QJsonObject({{"value", 3.53}, {"text", "3.53"}, {"unit", "V"}, {"raw", 361}, {"shown", true}}));
    QCOMPARE(side(0, "b").value("raw").toInt(), 600);
    QCOMPARE(side(2, "a"), QJsonObject({{"value", "NC"}, {"text", "NC"}, {"unit", ""}, {"raw", 1}, {"shown", true}}));
    QVERIFY(!o.value("a_read_at").toString().isEmpty() && !o.contains("b_read_at"));

}

void tst_e2e_cli::writeAsksOnATerminal()
{
    Sim sim;
    QVERIFY(sim.start(5));
    QMap<int, QByteArray> cells = sampleSettings("02");
    const QString site = writeQvd(QStringLiteral("mA.qvd"), cells);
    for (const char *answer : {"n\n", "y\n"}) {
        // stdin a terminal: the program shows what the write changes and asks.
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        QVERIFY(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        const QString slave = QString::fromLocal8Bit(ptsname(master));
        QVERIFY(::write(master, answer, 2) == 2);
        QProcess p;
        p.setStandardInputFile(slave);
        sim.clearFrames();
        p.start(cliProgram(), {"write", "COM5", site});
        QVERIFY(p.waitForFinished(30000));
        ::close(master);
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(out.startsWith(QStringLiteral("setting")), qPrintable(out));
        QVERIFY2(QRegularExpression(QStringLiteral("^入力選択 +0 - 5V +4 - 20mA$"), QRegularExpression::MultilineOption)
                     .match(out)
                     .hasMatch(),
                 qPrintable(out));
        QVERIFY2(err.contains(QStringLiteral("Write %1 to COM5? [y/N] ").arg(site)), qPrintable(err));
        const QByteArrayList frames = sim.frames();
        if (answer[0] == 'n') {
            QCOMPARE(p.exitCode(), 1);
            QVERIFY2(err.endsWith(QStringLiteral("qelvo-cli: COM5: nothing written\n")), qPrintable(err));
            QCOMPARE(frames, QByteArrayList{"L"} + blockFrames('R'));
        } else {
            QCOMPARE(p.exitCode(), 0);
            QVERIFY(out.endsWith(QStringLiteral("COM5 holds the settings of %1.\n").arg(site)));
            QCOMPARE(frames.count("E"), 1);
        }
    }
    // Now it holds them: asked again, it says so.
    const Run r = cli({"diff", "COM5", site});
    QVERIFY2(r.code == 0, r.what());
}

void tst_e2e_cli::errorLines()
{
    Sim silent, lost;
    QVERIFY(silent.start(9, {QStringLiteral("--fault"), QStringLiteral("silence")}));
    QVERIFY(lost.start(10, {QStringLiteral("--hangup-after"), QStringLiteral("5")}));
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/ttyQ7"), ComPortLink(30)));
    const QString csv = file(QStringLiteral("export.csv"));
    writeBytes(csv, "ﾌｧｲﾙ名, x\r\n, 1 ch,2 ch\r\n");
    const QString missing = file(QStringLiteral("missing.qvd"));
    // Files that are no .qvd files, each told by what is wrong with it.
    const QString accounts = file(QStringLiteral("passwd.qvd"));
    writeBytes(accounts, "root:x:0:0:root:/root:/bin/bash\ndaemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n");
    const QString cut = file(QStringLiteral("cut.qvd"));
    writeBytes(cut, userDataFile({}, 100));
    const QString empty = file(QStringLiteral("empty.qvd"));
    writeBytes(empty, "");
    const QString bell = file(QStringLiteral("bell.qvd"));
    writeBytes(bell, "\a\x1b[2J" + QByteArray(60, 'x') + "\r\n");
    QMap<int, QByteArray> badCell;
    badCell[cellHysteresis] = "ZZ";
    const QString notHex = file(QStringLiteral("nothex.qvd"));
    writeBytes(notHex, userDataFile(badCell));
    const QString cellLine = QStringLiteral(", where a .qvd file has a cell such as \"0000\",\"00\"");
    struct Case {
        QStringList args;
        int code;
        QString line;
    };
    const QList<Case> cases{
        {{"read", "COM30"}, 1,
         QStringLiteral("COM30: no such port (%1 points to /nonexistent/ttyQ7, which does not exist)").arg(ComPortLink(30))},
        {{"read", "COM64"}, 1, QStringLiteral("COM64: no such port (/dev/ttyUSB31 does not exist)")},
        {{"read", "COM9", "--timeout", "2"}, 1, QStringLiteral("COM9: no reply from the controller")},
        {{"read", "COM10"}, 1, QStringLiteral("COM10: the connection to the controller was lost")},
        {{"write", "COM9", csv, "--yes"}, 1, QStringLiteral("%1: not a .qvd file: line 1 is \"ﾌｧｲﾙ名, x\"").arg(csv) + cellLine},
        {{"diff", csv, "COM9"}, 2, QStringLiteral("%1: not a .qvd file: line 1 is \"ﾌｧｲﾙ名, x\"").arg(csv) + cellLine},
        {{"diff", accounts, "COM9"}, 2,
         QStringLiteral("%1: not a .qvd file: line 1 is \"root:x:0:0:root:/root:/bin/bash\"").arg(accounts) + cellLine},
        {{"diff", cut, "COM9"}, 2, QStringLiteral("%1: not a .qvd file: it ends after 100 of the 65536 lines a .qvd file has").arg(cut)},
        {{"diff", empty, "COM9"}, 2, QStringLiteral("%1: not a .qvd file: the file is empty").arg(empty)},
        {{"diff", bell, "COM9"}, 2,
         QStringLiteral("%1: not a .qvd file: line 1 is \"??[2J%2...\"").arg(bell, QString(32, QLatin1Char('x'))) + cellLine},
        {{"diff", notHex, "COM9"}, 2,
         QStringLiteral("%1: not a .qvd file: cell 0028 holds \"ZZ\", not a hexadecimal byte").arg(notHex)},
        {{"sheet", missing, "-o", file("x.pdf")}, 1, QStringLiteral("%1: no such file").arg(missing)},
        {{"--timeout", "1", "read", "COM9"}, 1, QStringLiteral("COM9: no reply from the controller")},
        {{"diff", "COM9", "COM30", "--timeout", "1"}, 2, QStringLiteral("COM9: no reply from the controller")},
        {{"monitor", "COM9", "--timeout", "1"}, 1, QStringLiteral("COM9: no reply from the controller")},
    };
    for (const Case &c : cases) {
        const Run r = cli(c.args);
        QVERIFY2(r.code == c.code, r.what());
        QVERIFY2(r.err == QStringLiteral("qelvo-cli: ") + c.line + QLatin1Char('\n'), r.what());
        QVERIFY2(r.out.isEmpty(), r.what());
    }
    // The silent controller is given up after the time asked for, not before.
    const Run r = cli({"read", "COM9", "--timeout", "2"});
    QVERIFY2(r.ms >= 2000 && r.ms < 6000, r.what() + QByteArray::number(r.ms));
    // The ports: each bound COM number, where it points and whether it opens.
    const Run ports = cli({"ports", "--json"});
    QVERIFY2(ports.code == 0, ports.what());
    QMap<QString, QJsonObject> byPort;
    for (const QJsonValue &v : QJsonDocument::fromJson(ports.out.toUtf8()).array())
        byPort.insert(v.toObject().value("port").toString(), v.toObject());
    QCOMPARE(byPort.value("COM9").value("state").toString(), QStringLiteral("ok"));
    QCOMPARE(byPort.value("COM9").value("target").toString(), silent.device);
    QCOMPARE(byPort.value("COM9").value("device").toString(), ComPortLink(9));
    QCOMPARE(byPort.value("COM30").value("state").toString(), QStringLiteral("missing"));
    const Run text = cli({"ports"});
    QVERIFY2(QRegularExpression(QStringLiteral("^COM9 +%1 -> %2 +ok$")
                                    .arg(QRegularExpression::escape(ComPortLink(9)), QRegularExpression::escape(silent.device)),
                                QRegularExpression::MultilineOption)
                 .match(text.out)
                 .hasMatch(),
             text.what());
    QVERIFY2(QRegularExpression(QStringLiteral("^COM30 +%1 -> /nonexistent/ttyQ7 +missing: /nonexistent/ttyQ7 does not exist$")
                                    .arg(QRegularExpression::escape(ComPortLink(30))),
                                QRegularExpression::MultilineOption)
                 .match(text.out)
                 .hasMatch(),
             text.what());
}

void tst_e2e_cli::answersThatAreNoReply_data()
{
    // A controller that refuses every command, or answers what is no answer: told as such
    // once a command has been sent three times, long before the ten seconds of silence.
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("line"); // a pattern
    const QString refused = QStringLiteral("COM13: the controller refuses the command \"L\" \\(it answered \"\\?\" 3 times\\)");
    const QString babble = QStringLiteral("COM13: the controller's replies are not understood \\(sent \"L\" 3 times; the last "
                                          "reply was \"%1\"\\)");
    QTest::newRow("question: read") << "question" << QStringList{"read", "COM13"} << 1 << refused;
    QTest::newRow("question: monitor") << "question" << QStringList{"monitor", "COM13"} << 1 << refused;
    QTest::newRow("garbage: diff") << "garbage" << QStringList{"diff", "COM13", "COM13"} << 2 << babble.arg("[^\"]{6}");
    QTest::newRow("flood: read") << "flood" << QStringList{"read", "COM13"} << 1 << babble.arg("[0-9A-F]{40}\\.\\.\\.");
}

void tst_e2e_cli::answersThatAreNoReply()
{
    QFETCH(QString, fault);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, line);
    Sim sim;
    QVERIFY(sim.start(13, {QStringLiteral("--fault"), fault}));
    const Run r = cli(args);
    QVERIFY2(r.code == code, r.what());
    QVERIFY2(QRegularExpression(QStringLiteral("^qelvo-cli: %1\n$").arg(line)).match(r.err).hasMatch(), r.what());
    QVERIFY2(r.ms < 6000, r.what() + QByteArray::number(r.ms));
}

void tst_e2e_cli::fileErrorsSayWhich_data()
{
    // A sheet (or a read's file) that cannot be written says why in the tool's own words. A
    // read-only and a full file system are mounted for the run (a mount namespace of its own).
    QTest::addColumn<QString>("setup");  // the shell line before the command ("" for none)
    QTest::addColumn<QString>("target"); // the file to write, under the test's folder
    QTest::addColumn<QString>("line");
    QTest::newRow("missing folder") << "" << "gone/sheet.html" << "%1: cannot write the file: the folder %2 does not exist";
    QTest::newRow("read-only file system") << "mount -t tmpfs -o ro,size=64k tmpfs %1" << "ro/sheet.html"
                                           << "%1: cannot write the file: the folder %2 is on a read-only file system";
    QTest::newRow("full disk") << "mount -t tmpfs -o size=8k tmpfs %1" << "full/sheet.pdf"
                               << "%1: cannot write the file: the disk is full \\(sheet.pdf needs \\d+ bytes, \\d+ are free\\)";
    QTest::newRow("folder without write permission") << "chmod 555 %1" << "locked/sheet.html"
                                                     << "%1: cannot write the file: the folder %2 is read-only \\(no permission to write in it\\)";
}

void tst_e2e_cli::fileErrorsSayWhich()
{
    QFETCH(QString, setup);
    QFETCH(QString, target);
    QFETCH(QString, line);
    // A folder every user may enter, since the unprivileged run below is another user.
    QTemporaryDir open(QDir::tempPath() + QStringLiteral("/qelvo-cli-XXXXXX"));
    const QString qvd = open.filePath(QStringLiteral("site.qvd"));
    QVERIFY(writeBytes(qvd, userDataFile(sampleSettings("01"))));
    QVERIFY(QProcess::execute(QStringLiteral("chmod"), {QStringLiteral("go+rX"), open.path(), qvd}) == 0);
    const QString path = open.filePath(target);
    const QString dir = QFileInfo(path).absolutePath();
    if (!target.startsWith(QLatin1String("gone/")))
        QVERIFY(QDir().mkpath(dir));
    QStringList prefix;
    QString command = QStringLiteral("exec \"$0\" \"$@\"");
    if (setup.startsWith(QLatin1String("mount"))) {
        // root gets a mount namespace of its own; another user a user namespace as well.
        prefix = {QStringLiteral("unshare"), ::geteuid() == 0 ? QStringLiteral("-m") : QStringLiteral("-rm"),
                  QStringLiteral("sh"), QStringLiteral("-c"), setup.arg(dir) + QStringLiteral(" && ") + command};
        if (cli({"--version"}, 10000, {}, prefix.mid(0, 4) + QStringList{QStringLiteral("true && ") + command}).code != 0)
            QSKIP("no mount namespace here (unshare refused)");
    } else if (!setup.isEmpty()) {
        QVERIFY(QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), setup.arg(dir)}) == 0);
        // root writes in any folder: the command runs as nobody then.
        if (::geteuid() == 0) {
            if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
                QSKIP("running as root without setpriv: no user to be kept out");
            prefix = asNobody(dir);
        }
    }
    const Run r = cli({"sheet", qvd, "-o", path}, 60000, {}, prefix);
    QVERIFY2(r.code == 1, r.what());
    const QString want = QStringLiteral("^qelvo-cli: %1\n$")
                             .arg(line.arg(QRegularExpression::escape(path), QRegularExpression::escape(dir)));
    QVERIFY2(QRegularExpression(want).match(r.err).hasMatch(), r.what() + want.toUtf8());
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void tst_e2e_cli::standardInputAndOutput()
{
    // "-": the .qvd of a read on stdout, a file on stdin for diff, write and sheet, and the
    // sheet on stdout.
    Sim sim;
    QVERIFY(sim.start(6));
    const QByteArray site = userDataFile(sampleSettings("03"));
    Run r = cli({"write", "COM6", "-"}, 60000, site);
    QVERIFY2(r.code == 0 && r.out == QStringLiteral("COM6 holds the settings of standard input.\n"), r.what());
    QProcess p;
    p.start(cliProgram(), {"read", "COM6", "-o", "-"});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardOutput() == site);
    r = cli({"diff", "COM6", "-"}, 60000, site);
    QVERIFY2(r.code == 0 && r.out.isEmpty(), r.what());
    r = cli({"diff", "-", "COM6"}, 60000, userDataFile(sampleSettings("04")));
    QVERIFY2(r.code == 1 && r.lines().first().startsWith(QStringLiteral("入力選択")), r.what());
    r = cli({"sheet", "-", "-o", "-"}, 60000, site);
    QVERIFY2(r.code == 0 && r.out.startsWith(QStringLiteral("<!DOCTYPE html>")), r.what());
    p.start(cliProgram(), {"sheet", "COM6", "-o", "-", "--format", "pdf"});
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitCode(), 0);
    QVERIFY(p.readAllStandardOutput().startsWith("%PDF-"));
    r = cli({"diff", "-", "COM6"}, 60000, "not a qvd");
    QVERIFY2(r.code == 2 && r.err.startsWith(QStringLiteral("qelvo-cli: standard input: not a .qvd file")), r.what());
}

void tst_e2e_cli::readBackNamesTheSetting()
{
    // A controller that acknowledges a write but keeps a cell (a worn memory cell): the
    // read-back names the setting with the value written and the value it holds.
    TcpTestServer server;
    QVERIFY(server.listening() && TcpTestServer::bindCom(14, server.url()));
    const int worn = ChMaxCell(3);
    QTimer keep;
    QObject::connect(&keep, &QTimer::timeout, [&] { server.model.setCell(worn, 0); });
    keep.start(0);
    const QString site = writeQvd(QStringLiteral("worn.qvd"), sampleSettings("01"));
    QProcess p;
    p.start(cliProgram(), {"write", "COM14", site, "--yes"});
    QTRY_VERIFY_WITH_TIMEOUT(p.state() == QProcess::NotRunning, 30000); // the server answers meanwhile
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    const QString err = QString::fromUtf8(p.readAllStandardError());
    QCOMPARE(p.exitCode(), 1);
    QCOMPARE(out, QStringLiteral("setting       written  read back\nOut 3 最大値  3.53 V   2.50 V\n"));
    QCOMPARE(err, QStringLiteral("qelvo-cli: COM14: after the write the controller does not hold the values of %1\n").arg(site));
}

void tst_e2e_cli::noPermission()
{
    // A port this user may not open: the line tells how to get the permission. The test's
    // user is kept out of the device by its mode; root is not, so it runs as nobody then.
    Sim sim;
    QVERIFY(sim.start(11));
    QVERIFY(::chmod(QFile::encodeName(sim.device).constData(), 0) == 0);
    QStringList prefix;
    if (::geteuid() == 0) {
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
            QSKIP("running as root without setpriv: no user to be kept out");
        prefix = QStringList{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    const QString hint = QStringLiteral("No permission to open COM11 \\(%1\\)\\. Add your user to the \\S+ group "
                                        "\\(sudo usermod -aG \\S+ \\$USER\\) and log in again\\.")
                             .arg(QRegularExpression::escape(ComPortLink(11)));
    // The read refuses with the hint; the port list shows the port and the same hint.
    for (const char *command : {"read", "ports"}) {
        const QStringList args = prefix + QStringList{cliProgram(), command} +
                                 (qstrcmp(command, "read") == 0 ? QStringList{"COM11"} : QStringList{});
        QProcess p;
        p.start(args.first(), args.mid(1));
        QVERIFY(p.waitForFinished(30000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const QString err = QString::fromUtf8(p.readAllStandardError());
        if (qstrcmp(command, "read") == 0) {
            QCOMPARE(p.exitCode(), 1);
            QVERIFY2(QRegularExpression(QStringLiteral("^qelvo-cli: ") + hint + QStringLiteral("\\n$")).match(err).hasMatch(),
                     qPrintable(err));
        } else {
            QCOMPARE(p.exitCode(), 0);
            QVERIFY2(QRegularExpression(QStringLiteral("^COM11 .* no permission: ") + hint + QLatin1Char('$'),
                                        QRegularExpression::MultilineOption)
                         .match(out)
                         .hasMatch(),
                     qPrintable(out + err));
        }
    }
}

void tst_e2e_cli::lockBetweenTheToolAndTheCli()
{
    Gui gui;
    Sim sim;
    QVERIFY(sim.start(1));
    // The tool holds COM1: qelvo-cli is refused and touches nothing.
    QVERIFY(gui.connect(1));
    sim.clearFrames();
    Run r = cli({"read", "COM1"});
    QVERIFY2(r.code == 1, r.what());
    QCOMPARE(r.err, QStringLiteral("qelvo-cli: COM1: port in use by another program (%1)\n").arg(ComPortLink(1)));
    r = cli({"ports"});
    QVERIFY2(r.out.contains(QRegularExpression(QStringLiteral("^COM1 .* in use: another program holds it$"), QRegularExpression::MultilineOption)),
             r.what());
    QCOMPARE(sim.frames(), QByteArrayList());
    g_subMenuCommand(22);

    // qelvo-cli holds COM1 (a running monitor): the tool cannot open it.
    QProcess mon;
    mon.start(cliProgram(), {"monitor", "COM1", "--interval", "100"});
    QTRY_VERIFY_WITH_TIMEOUT((mon.waitForReadyRead(100), mon.canReadLine()), 20000);
    gui.dlg.answers << vbOK << vbOK;
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(0));
    // The written box, then what the command line says too: another program holds it.
    QVERIFY(gui.dlg.boxes.size() >= 2);
    QCOMPARE(gui.dlg.boxes[gui.dlg.boxes.size() - 2].text, QStringLiteral("ﾎﾟｰﾄを開くことができませんでした。"));
    QCOMPARE(gui.dlg.boxes.last().text, QStringLiteral("COM1 (%1) は他のﾌﾟﾛｸﾞﾗﾑが使用中です。").arg(ComPortLink(1)));
    ::kill(pid_t(mon.processId()), SIGINT);
    QVERIFY(mon.waitForFinished(10000));
    QCOMPARE(mon.exitCode(), 0);
    // Freed, the port is the tool's again.
    QVERIFY(gui.connect(1));
}

void tst_e2e_cli::monitorLinesAndCtrlC()
{
    // The demo settings: output n from 128(n-1) to 128(n-1)+191; a level of 512 counts
    // (2.50 V) closes outputs 4 and 5.
    Sim sim;
    QVERIFY(sim.start(3, {QStringLiteral("--demo"), QStringLiteral("--level"), QStringLiteral("512")}));
    Run r = cli({"monitor", "COM3", "--interval", "100", "--count", "3"});
    QVERIFY2(r.code == 0 && r.err.isEmpty(), r.what());
    const QStringList lines = r.lines();
    QCOMPARE(lines.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QRegularExpressionMatch m = kDataLine.match(lines[i]);
        QVERIFY2(m.hasMatch(), qPrintable(lines[i]));
        QCOMPARE(m.captured(1).toInt(), i + 1);
        QCOMPARE(m.captured(2), QStringLiteral("02.50"));
        QCOMPARE(m.captured(3), QStringLiteral("V"));
        QCOMPARE(m.captured(4), QStringLiteral("00011000"));
    }
    // The reading is the monitor's own "N" and "Y" after the read of the settings.
    const QByteArrayList frames = sim.frames();
    QCOMPARE(frames.mid(0, 49), QByteArrayList{"L"} + blockFrames('R'));
    QVERIFY(frames.mid(49).count("Y") >= 3);

    // Ctrl+C ends it cleanly, with whole lines.
    QProcess p;
    p.start(cliProgram(), {"monitor", "COM3", "--interval", "50"});
    QTRY_VERIFY_WITH_TIMEOUT((p.waitForReadyRead(100), p.bytesAvailable() > 120), 20000);
    ::kill(pid_t(p.processId()), SIGINT);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), 0);
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    QVERIFY(out.endsWith(QLatin1Char('\n')));
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        QVERIFY2(kDataLine.match(line).hasMatch(), qPrintable(line));
    QVERIFY(p.readAllStandardError().isEmpty());

    // A line that drops: the lines so far, then the lost link (1).
    Sim drop;
    QVERIFY(drop.start(4, {QStringLiteral("--hangup-after"), QStringLiteral("59")}));
    r = cli({"monitor", "COM4", "--interval", "50"});
    QVERIFY2(r.code == 1, r.what());
    QCOMPARE(r.err, QStringLiteral("qelvo-cli: COM4: lost the link to the controller (the device went away)\n"));
    QVERIFY2(r.lines().size() >= 3, r.what());
}

void tst_e2e_cli::monitorTimeoutBoundsEachReading()
{
    // The controller stops answering while the monitor runs: --timeout ends it, not the
    // 20 s the tool's monitor waits.
    Sim sim;
    QVERIFY(sim.start(7));
    QProcess p;
    p.start(cliProgram(), {"monitor", "COM7", "--interval", "100", "--timeout", "2"});
    QTRY_VERIFY_WITH_TIMEOUT((p.waitForReadyRead(100), p.canReadLine()), 20000);
    QVERIFY(::kill(pid_t(sim.p.processId()), SIGSTOP) == 0);
    QElapsedTimer t;
    t.start();
    const bool ended = p.waitForFinished(15000);
    const qint64 ms = t.elapsed();
    ::kill(pid_t(sim.p.processId()), SIGCONT);
    QVERIFY(ended);
    QCOMPARE(p.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(p.readAllStandardError()), QStringLiteral("qelvo-cli: COM7: no reply from the controller\n"));
    QVERIFY2(ms >= 1500 && ms < 5000, QByteArray::number(ms));
}

void tst_e2e_cli::eightPortsInParallel()
{
    std::vector<std::unique_ptr<Sim>> sims;
    for (int n = 1; n <= 8; ++n) {
        sims.push_back(std::make_unique<Sim>());
        QVERIFY(sims.back()->start(n, {QStringLiteral("--demo")}));
    }
    Run one = cli({"read", "COM1", "-o", file("one.qvd")});
    QVERIFY2(one.code == 0, one.what());
    const QString dir = file(QStringLiteral("site-batch"));
    const Run all = cli({"read", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "-o", dir});
    QVERIFY2(all.code == 0 && all.err.isEmpty() && all.lines().size() == 8, all.what());
    for (int n = 1; n <= 8; ++n)
        QCOMPARE(all.lines()[n - 1], QStringLiteral("COM%1  ok  %2/COM%1.qvd").arg(n).arg(dir));
    const QByteArray reference = readBytes(file("one.qvd"));
    QCOMPARE(reference.size(), qsizetype(kUserFileBytes));
    for (int n = 1; n <= 8; ++n) {
        QVERIFY(readBytes(QStringLiteral("%1/COM%2.qvd").arg(dir).arg(n)) == reference);
        QCOMPARE(sims[size_t(n - 1)]->frames().count("R2F"), n == 1 ? 2 : 1);
    }
    // In parallel, not one after another (which would take about eight times as long).
    QVERIFY2(all.ms < 4 * one.ms, qPrintable(QStringLiteral("one %1 ms, eight %2 ms").arg(one.ms).arg(all.ms)));

    // One that fails is told on its own line; the others are read all the same.
    Sim silent;
    QVERIFY(silent.start(12, {QStringLiteral("--fault"), QStringLiteral("silence")}));
    const QString dir2 = file(QStringLiteral("with-a-silent-one"));
    const Run some = cli({"read", "COM2", "COM12", "COM3", "-o", dir2, "--timeout", "2"});
    QVERIFY2(some.code == 1, some.what());
    QCOMPARE(some.err, QStringLiteral("qelvo-cli: COM12: no reply from the controller\n"));
    // The summary: one line per port, in the order given.
    QCOMPARE(some.lines(), QStringList({QStringLiteral("COM2   ok      %1/COM2.qvd").arg(dir2),
                                        QStringLiteral("COM12  failed  no reply from the controller"),
                                        QStringLiteral("COM3   ok      %1/COM3.qvd").arg(dir2)}));
    QVERIFY(QFileInfo::exists(dir2 + QStringLiteral("/COM2.qvd")) && QFileInfo::exists(dir2 + QStringLiteral("/COM3.qvd")));
    QVERIFY(!QFileInfo::exists(dir2 + QStringLiteral("/COM12.qvd")));
}

void tst_e2e_cli::sheetHoldsEveryValue()
{
    for (const QByteArray &code : {QByteArray("01"), QByteArray("03")}) {
        const QMap<int, QByteArray> cells = sampleSettings(code);
        const QString name = code == "01" ? QStringLiteral("堤防-10V.qvd") : QStringLiteral("堤防-5M.qvd");
        const QString qvd = writeQvd(name, cells);
        const QString pdf = file(name + QStringLiteral(".pdf")), html = file(name + QStringLiteral(".html"));
        Run r = cli({"sheet", qvd, "-o", pdf});
        QVERIFY2(r.code == 0 && r.err.isEmpty(), r.what());
        r = cli({"sheet", qvd, "-o", html});
        QVERIFY2(r.code == 0 && r.err.isEmpty(), r.what());
        QString why;
        const QString text = pdfText(pdf, &why);
        QVERIFY2(!text.isEmpty(), qPrintable(why));
        const QString page = QString::fromUtf8(readBytes(html));
        QVERIFY(page.contains(QStringLiteral("<meta charset=\"utf-8\">")));
        // Every value the editor shows, the input type, the file name and today's date.
        Image image(new MemCell[kImageCells]);
        FileError e;
        QList<SettingItem> items;
        QVERIFY(ParseUserFile(userDataFile(cells), image.get(), e) && SettingsOf(image.get(), items, e));
        const QStringList words = text.simplified().split(QLatin1Char(' '));
        for (const SettingItem &s : items.mid(1)) { // the input type's words come below
            if (!s.shown)
                continue;
            QVERIFY2(words.contains(s.text), qPrintable(s.name + QLatin1Char('=') + s.text + QStringLiteral(" not in\n") + text));
            QVERIFY2(page.contains(QLatin1Char('>') + s.text), qPrintable(s.text));
        }
        for (const QString &must : {name, QDate::currentDate().toString(QStringLiteral("yyyy/MM/dd")), items[0].text,
                                    QStringLiteral("読込元"), QStringLiteral("ﾌｧｲﾙ ") + name})
            QVERIFY2(text.contains(must) && page.contains(must), qPrintable(must + QStringLiteral(" not in\n") + text));
        QVERIFY(pdfFirstPageToPng(pdf, screenshotFolder() + QStringLiteral("/cli_sheet_%1.png").arg(QString::fromLatin1(code))));
        QVERIFY(PictureShowsSomething(QImage(screenshotFolder() + QStringLiteral("/cli_sheet_%1.png").arg(QString::fromLatin1(code)))));
    }
    // A controller's sheet names the port and when it was read.
    Sim sim;
    QVERIFY(sim.start(15));
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const Run r = cli({"sheet", "COM15", "-o", "-"});
    QVERIFY2(r.code == 0, r.what());
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("<th>読込元</th><td>ｺﾝﾄﾛｰﾗ COM15</td></tr>\n<tr><th>読込日時</th><td>([0-9/: ]+)</td>"))
            .match(r.out);
    QVERIFY2(m.hasMatch(), r.what());
    const QDateTime read = QDateTime::fromString(m.captured(1), QStringLiteral("yyyy/MM/dd HH:mm:ss"));
    QVERIFY2(read >= before && read <= QDateTime::currentDateTime(), qPrintable(m.captured(1)));
}

void tst_e2e_cli::parallelReadStopsOnSignal_data()
{
    QTest::addColumn<int>("sig");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGKILL") << int(SIGKILL);
}

void tst_e2e_cli::parallelReadStopsOnSignal()
{
    // Two slow controllers (a read takes seconds); the command is stopped while it reads
    // them. No file is written, then or later, and both lines are free again at once.
    QFETCH(int, sig);
    Sim a, b;
    QVERIFY(a.start(10, {QStringLiteral("--delay"), QStringLiteral("100")}));
    QVERIFY(b.start(11, {QStringLiteral("--delay"), QStringLiteral("100")}));
    const QString dir = file(QStringLiteral("stopped-%1").arg(sig));
    QProcess parent;
    parent.start(cliProgram(), {"read", "COM10", "COM11", "-o", dir});
    QVERIFY(parent.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(a.frames().contains("R01") && b.frames().contains("R01"), 10000);
    // Both reads run in the one process.
    QCOMPARE(childrenOf(pid_t(parent.processId())), QList<pid_t>());
    ::kill(pid_t(parent.processId()), sig);
    QVERIFY(parent.waitForFinished(10000));
    QTest::qWait(300);
    QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList());
    const Run again = cli({"ports"});
    QVERIFY2(again.out.contains(QStringLiteral("COM10")) && !again.out.contains(QStringLiteral("in use")), again.what());
    QCOMPARE(parent.exitStatus(), QProcess::CrashExit); // it ends by the signal
    if (sig != SIGKILL)
        QCOMPARE(parent.readAllStandardError(), QByteArray("qelvo-cli: interrupted: the reads still running were stopped and wrote no file\n"));
}

QTEST_MAIN(tst_e2e_cli)
#include "tst_e2e_cli.moc"
