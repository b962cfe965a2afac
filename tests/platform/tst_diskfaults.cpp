// A disk that fills up or fails under every file the tool writes whole (qvo.ini, frmst.tmp,
// lfst.ini, clr.ini, a .qvd, temp.tmp, the CSV and HTML exports, the trend's picture, the
// settings sheet in PDF and HTML, and qelvo-cli's sheet) and under the log filer's append:
// each failure is reported with its own box (or line) and number, and the old file stays
// whole with nothing left beside it. The faults come from a disk in the platform layer that
// fails at a chosen byte (full, or an I/O error; or at the sync), and, where this process may
// mount one, from a real tmpfs that is full.
#include "support/AppFixture.h"
#include "support/DataFiles.h"

#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "graph/frmTrend1.h"
#include "graph/modGraph1.h"
#include "logfiler/frmSetLogFiler1.h"
#include "logfiler/modLogFileSetting.h"
#include "logfiler/modLogFiler.h"
#include "platform/Paths.h"
#include "doubles/FaultyDisk.h"
#include "settings/modOutput.h"
#include "settings/modSheet.h"
#include "settings/modUserFile.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include "support/Ctrlsim.h"

#include <QtTest>

#include <cerrno>
#include <sched.h>
#include <sys/mount.h>

namespace {
enum class Kind { QvoIni, Frmst, Lfst, Clr, Qvd, TempTmp, Csv, Html, TrendPng, SheetPdf, SheetHtml, CliPdf, CliHtml, LogAppend };
enum class Fault { Full, DeviceError, SyncError, FullTmpfs };

struct KindInfo {
    Kind kind;
    const char *name, *file;
    const char *caption; // the box; empty: no box (the routine returns its error, qelvo-cli tells it)
    const char *text;    // %1 the number, %2 the description, %3 the path
    int buttons, icon;
    bool syncs; // waits for the disk (temp.tmp and an append do not)
};
const KindInfo kKinds[] = {
    {Kind::QvoIni, "qvo.ini", "qvo.ini", "初期化ﾌｧｲﾙ Save", "%1 :  %2", vbOKOnly, vbCritical, true},
    {Kind::Frmst, "frmst.tmp", "frmst.tmp", "ﾌｫｰﾑ表示位置情報保存", "%2 : Error.No = %1", vbOKOnly, vbCritical, true},
    {Kind::Lfst, "lfst.ini", "lfst.ini", "設定の保存", "%2 :Err.No = %1", vbOKOnly, vbCritical, true},
    {Kind::Clr, "clr.ini", "clr.ini", "色設定ファイルの保存", "%2 : Error.No = %1", vbOKOnly, vbCritical, true},
    {Kind::Qvd, ".qvd", "site.qvd", "ﾃﾞｰﾀﾌｧｲﾙ Save", "%1 :  %2", vbOKOnly, vbExclamation, true},
    {Kind::TempTmp, "temp.tmp", "temp.tmp", "ﾕｰｻﾞｰﾃﾞｰﾀ 一時ﾌｧｲﾙ Save", "%1 :  %2", vbOKOnly, vbExclamation, false},
    {Kind::Csv, "csv export", "site.csv", "csvﾌｧｲﾙ 出力", "%1 :  %2", vbOKOnly, vbCritical, true},
    {Kind::Html, "html export", "site.html", "HTMLﾌｧｲﾙ 出力", "%1 :  %2", vbOKOnly, vbCritical, true},
    {Kind::TrendPng, "trend png", "trend.png", "画像で保存", "%2 : Error.No = %1\r\n%3", vbOKOnly, vbCritical, true},
    {Kind::SheetPdf, "sheet pdf", "keep.pdf", "", "", 0, 0, true},
    {Kind::SheetHtml, "sheet html", "keep.html", "", "", 0, 0, true},
    {Kind::CliPdf, "qelvo-cli sheet pdf", "keep.pdf", "", "qelvo-cli: %3: cannot write the file (%2)\n", 0, 0, true},
    {Kind::CliHtml, "qelvo-cli sheet html", "keep.html", "", "qelvo-cli: %3: cannot write the file (%2)\n", 0, 0, true},
    {Kind::LogAppend, "log append", "qlv.csv", "AppendLogFilerData", "%2: Err.No=%1\r\n%3", vbAbortRetryIgnore, vbCritical, false},
};
const KindInfo &info(Kind k)
{
    for (const KindInfo &i : kKinds)
        if (i.kind == k)
            return i;
    Q_UNREACHABLE();
}
bool isCli(Kind k) { return k == Kind::CliPdf || k == Kind::CliHtml; }

QString cliProgram()
{ return BuiltProgram("QELVO_CLI", QStringLiteral("cli/qelvo-cli")); }

// Fills the file system of folder up to its last byte.
bool fillUp(const QString &folder)
{
    QFile f(folder + QStringLiteral("/filler"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray block(4096, 'x');
    while (f.write(block) == block.size()) {
    }
    for (qint64 n = 512; n > 0; n /= 2)
        while (f.write(block.left(n)) == n) {
        }
    return true;
}
} // namespace

class tst_diskfaults : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void cleanup()
    {
        if (!m_mount.isEmpty())
            QDir(folder(Fault::FullTmpfs)).removeRecursively();
    }
    void everyWriteOnAFailingDisk_data();
    void everyWriteOnAFailingDisk();

private:
    // The folder the row writes in: the data folder's "out" folder, or the full tmpfs.
    QString folder(Fault fault) const
    {
        return fault == Fault::FullTmpfs ? m_mount + QStringLiteral("/out") : DataFolder() + QStringLiteral("out");
    }
    QString target(Kind k, const QString &dir) const { return dir + QLatin1Char('/') + QLatin1String(info(k).file); }
    // Makes the write of kind k happen as the user makes it; variant makes the bytes differ
    // where the routine would otherwise see nothing to write. Returns what the routine
    // reported where it shows no box, and sets cliErr to qelvo-cli's error output.
    FileError write(AppFixture &f, Kind k, const QString &dir, int variant, QString &cliErr);

    QTemporaryDir m_tmp;
    QString m_mount;      // a small tmpfs of this process's own, when it may mount one
    QString m_whyNoMount; // or why not
    QString m_qvd;        // the file the sheets are made of
};

void tst_diskfaults::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    m_qvd = m_tmp.filePath(QStringLiteral("a.qvd"));
    QVERIFY(writeBytes(m_qvd, userDataFile(sampleSettings("01"))));
    // A file system that really fills up: a 4 MiB tmpfs, mounted in a mount namespace of
    // this process alone (qelvo-cli, started from here, sees it too). It needs root.
    const QString mount = m_tmp.filePath(QStringLiteral("small"));
    QVERIFY(QDir().mkpath(mount));
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", QFile::encodeName(mount).constData(), "tmpfs", 0, "size=4m") != 0)
        m_whyNoMount = QStringLiteral("no tmpfs of its own: %1").arg(QString::fromLocal8Bit(strerror(errno)));
    else
        m_mount = mount;
}

void tst_diskfaults::cleanupTestCase()
{
    if (!m_mount.isEmpty())
        ::umount2(QFile::encodeName(m_mount).constData(), MNT_DETACH);
}

FileError tst_diskfaults::write(AppFixture &f, Kind k, const QString &dir, int variant, QString &cliErr)
{
    const QString path = target(k, dir);
    g_subDataPathSet(dir + QLatin1Char('/'));
    switch (k) {
    case Kind::QvoIni: g_funcIniFileSave(qint16(3 + variant)); break;
    case Kind::Frmst: g_funcFormPosSave(); break;
    case Kind::Lfst: {
        frmSetLogFiler1 w;
        w.show();
        w.Command2[0]->click();
        break;
    }
    case Kind::Clr: SaveColorFile(); break;
    case Kind::Qvd: g_funcUserDataSave(path); break;
    case Kind::TempTmp: g_funcTempDataSave(path); break;
    case Kind::Csv:
    case Kind::Html:
        f.dlg.fileAnswers << path;
        if (k == Kind::Csv)
            g_subCsvOutput();
        else
            g_subHtmlOutput();
        break;
    case Kind::TrendPng:
        f.dlg.fileAnswers << path;
        g_frmTrend1->SaveButton->click();
        break;
    case Kind::SheetPdf:
    case Kind::SheetHtml: {
        QString html;
        FileError e;
        std::unique_ptr<MemCell[]> image(new MemCell[kImageCells]);
        if (!ParseUserFile(AppFixture::readFile(m_qvd), image.get(), e) || !SheetHtml(image.get(), SheetSource{QStringLiteral("a.qvd"), 0, {}}, Now(), html, e))
            return e;
        return k == Kind::SheetPdf ? SheetPdfFile(html, QStringLiteral("a.qvd"), path) : SheetHtmlFile(html, path);
    }
    case Kind::CliPdf:
    case Kind::CliHtml: {
        QProcess p;
        p.start(cliProgram(), {QStringLiteral("sheet"), m_qvd, QStringLiteral("-o"), path});
        p.waitForFinished(60000);
        cliErr = QString::fromUtf8(p.readAllStandardError());
        // The exit status as the number, the error output as the description.
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0 ? FileError() : FileError{p.exitCode(), cliErr};
    }
    case Kind::LogAppend:
        AppendLogFilerData(DataLineOf(1, Now(), QStringLiteral("0200"), QStringLiteral("05"), true, true), path);
        break;
    }
    return {};
}

void tst_diskfaults::everyWriteOnAFailingDisk_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("fault");
    QTest::addColumn<int>("at"); // the disk's room: 0, half or all but the last byte of the file
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    for (const KindInfo &k : kKinds) {
        if (!isCli(k.kind)) {
            for (int at = 0; at < 3; ++at) {
                const char *where[] = {"first byte", "half-way", "last byte"};
                QTest::addRow("%s, disk full at the %s", k.name, where[at]) << int(k.kind) << int(Fault::Full) << at << 61 << "Disk full";
                QTest::addRow("%s, I/O error at the %s", k.name, where[at]) << int(k.kind) << int(Fault::DeviceError) << at << 57 << "Device I/O error";
            }
            if (k.syncs)
                QTest::addRow("%s, I/O error at the sync", k.name) << int(k.kind) << int(Fault::SyncError) << 0 << 57 << "Device I/O error";
        }
        QTest::addRow("%s, full tmpfs", k.name) << int(k.kind) << int(Fault::FullTmpfs) << 0 << 61 << "Disk full";
    }
}

void tst_diskfaults::everyWriteOnAFailingDisk()
{
    QFETCH(int, kind);
    QFETCH(int, fault);
    QFETCH(int, at);
    QFETCH(int, number);
    QFETCH(QString, description);
    const Kind k = Kind(kind);
    const KindInfo &ki = info(k);
    if (Fault(fault) == Fault::FullTmpfs && m_mount.isEmpty())
        QSKIP(qPrintable(m_whyNoMount));

    AppFixture f;
    f.startSeeded();
    if (k == Kind::TrendPng) {
        g_subMenuCommand(16);
        QVERIFY(g_frmTrend1);
    }
    const QString dir = folder(Fault(fault));
    QVERIFY(QDir().mkpath(dir));
    const QString path = target(k, dir);
    if (k == Kind::Lfst) {
        LogFileSetting s = DefaultLogFileSetting();
        s.strFolder = dir + QLatin1Char('/');
        s.strFileName = QStringLiteral("qlv.csv");
        g_subDataPathSet(dir + QLatin1Char('/'));
        QVERIFY(!SaveLogFileSetting(s).failed());
    }

    // The write as it goes on a sound disk: the old file, and how many bytes a write takes.
    QString cliErr;
    const qint64 sizeBefore = QFileInfo(path).size();
    QVERIFY2(!write(f, k, dir, 0, cliErr).failed(), qPrintable(cliErr));
    QVERIFY2(f.dlg.boxes.isEmpty() && f.dlg.unexpected == 0, f.unexpectedText());
    if (k == Kind::LogAppend && Fault(fault) == Fault::FullTmpfs) {
        // The log ends where a page ends: the next line needs a page the full disk lacks.
        const qint64 n = QFileInfo(path).size();
        QVERIFY(writeBytes(path, AppFixture::readFile(path) + QByteArray(4096 - n % 4096 - 2, ' ') + "\r\n"));
    }
    const QByteArray old = AppFixture::readFile(path);
    const qint64 size = k == Kind::LogAppend ? old.size() - sizeBefore : old.size();
    QVERIFY(size > 0);
    const QStringList files = QDir(dir).entryList(QDir::Files);

    // The same write on a disk that fails.
    std::unique_ptr<FaultyDisk> disk;
    if (Fault(fault) == Fault::FullTmpfs)
        QVERIFY(fillUp(dir));
    else
        disk = std::make_unique<FaultyDisk>(Fault(fault) == Fault::SyncError ? FaultyDisk::Fails::Sync : FaultyDisk::Fails::Write,
                                            at == 0 ? 0 : at == 1 ? size / 2 : size - 1,
                                            Fault(fault) == Fault::Full ? ENOSPC : EIO);
    if (ki.caption[0])
        f.dlg.answers << (k == Kind::LogAppend ? vbAbort : vbOK);
    const FileError e = write(f, k, dir, 1, cliErr);
    const QString text = QString::fromUtf8(ki.text)
                             .replace(QStringLiteral("%1"), QString::number(number))
                             .replace(QStringLiteral("%2"), description)
                             .replace(QStringLiteral("%3"), path);
    if (ki.caption[0]) {
        QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
        QCOMPARE(f.dlg.boxes.size(), 1);
        QCOMPARE(boxOf(f.dlg.boxes[0]), box(QString::fromUtf8(ki.caption), text, ki.buttons, ki.icon));
    } else if (isCli(k)) {
        QCOMPARE(e.number, 1); // the exit status
        // A full disk is told with what the file needs and what is free.
        const QString full = QStringLiteral("^qelvo-cli: %1: cannot write the file: the disk is full \\(%2 needs \\d+ bytes, \\d+ are free\\)\n$")
                                 .arg(QRegularExpression::escape(path), QRegularExpression::escape(QFileInfo(path).fileName()));
        if (number == 61)
            QVERIFY2(QRegularExpression(full).match(cliErr).hasMatch(), qPrintable(cliErr));
        else
            QCOMPARE(cliErr, text);
    } else {
        QCOMPARE(e.number, number);
        QCOMPARE(e.description, description);
    }
    if (disk)
        QVERIFY(disk->failures > 0);
    // The old file is whole, and nothing new lies beside it.
    QVERIFY(AppFixture::readFile(path) == old);
    if (Fault(fault) == Fault::FullTmpfs)
        QVERIFY(QFile::remove(dir + QStringLiteral("/filler")));
    QCOMPARE(QDir(dir).entryList(QDir::Files), files);
}

QTEST_MAIN(tst_diskfaults)
#include "tst_diskfaults.moc"
