#include "CliCommands.h"

#include "platform/ProcessSignals.h"
#include "CliLink.h"
#include "CliText.h"

#include "fleet/SettingsAudit.h"
#include "fleet/SiteWatch.h"
#include "fleet/WatchConfig.h"

#include "link/modProtocol.h"
#include "qelvo_version.h"
#include "platform/Clock.h"
#include "platform/ComPorts.h"
#include "platform/Paths.h"
#include "platform/SerialPort.h"
#include "platform/TextFile.h"
#include "settings/modCompare.h"
#include "settings/modSheet.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {
using Image = std::unique_ptr<MemCell[]>;
Image newImage() { return Image(new MemCell[kImageCells]); }

// "-" names standard input (a file read) or standard output (a file written).
const QString kStdio = QStringLiteral("-");
QString nameOf(const QString &path, bool output)
{
    if (path != kStdio)
        return path;
    return output ? QStringLiteral("standard output") : QStringLiteral("standard input");
}

// A command's parser: its description, its arguments in the usage line, --help, --version
// and the time-out of the exchanges. Every usage error is one line on stderr.
class CommandParser {
public:
    CommandParser(const QString &name, const QString &arguments, const QString &description, bool talks = true)
        : m_name(name)
    {
        m_p.setApplicationDescription(description);
        m_p.addPositionalArgument(name, QString(), name + QLatin1Char(' ') + arguments);
        m_p.addOption(m_help);
        m_p.addOption(m_version);
        // Given before the command, the time-out reaches every command; only those that
        // talk to a controller tell of it.
        if (!talks)
            m_timeout.setFlags(QCommandLineOption::HiddenFromHelp);
        m_p.addOption(m_timeout);
    }
    void add(const QCommandLineOption &o) { m_p.addOption(o); }

    // Parses args: -1 to go on, else the exit status (after the help or the usage error).
    int parse(const QStringList &args)
    {
        if (!m_p.parse(args)) {
            const QStringList unknown = m_p.unknownOptionNames();
            if (!unknown.isEmpty()) {
                const QString &n = unknown.first();
                return usage(QStringLiteral("unknown option '%1'").arg((n.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + n));
            }
            QString why = m_p.errorText();
            if (why.endsWith(QLatin1Char('.')))
                why.chop(1);
            if (!why.isEmpty())
                why[0] = why[0].toLower();
            return usage(why);
        }
        if (m_p.isSet(m_help)) {
            // The usage line names the program as a user types it; the command's own
            // arguments are in that line, so Qt's list of positional arguments goes.
            QString text = m_p.helpText();
            text.replace(QStringLiteral("Usage: ") + args.first() + QLatin1Char(' '), QStringLiteral("Usage: qelvo-cli "));
            const qsizetype listed = text.indexOf(QStringLiteral("\nArguments:\n"));
            if (listed >= 0)
                text.truncate(listed + 1);
            fputs(text.toUtf8().constData(), stdout);
            return ExitOk;
        }
        if (m_p.isSet(m_version)) {
            printf("qelvo-cli %s\n", QELVO_VERSION);
            return ExitOk;
        }
        m_args = m_p.positionalArguments().mid(1);
        bool ok = false;
        const int s = m_p.value(m_timeout).toInt(&ok);
        if (!ok || s < 1 || s > 3600)
            return usage(QStringLiteral("--timeout takes whole seconds from 1 to 3600"));
        m_link.timeoutMs = s * 1000;
        return -1;
    }
    int usage(const QString &why) const
    {
        PrintError(QStringLiteral("%1 (see qelvo-cli %2 --help)").arg(why, m_name));
        return ExitUsage;
    }

    QCommandLineParser &p() { return m_p; }
    const QStringList &args() const { return m_args; }
    LinkOptions link() const { return m_link; }
    int timeoutSeconds() const { return m_link.timeoutMs / 1000; }

private:
    QString m_name;
    QCommandLineParser m_p;
    QCommandLineOption m_help{{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Displays this help.")};
    QCommandLineOption m_version{{QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Displays the version.")};
    QCommandLineOption m_timeout{
        QStringLiteral("timeout"),
        QStringLiteral("Gives up when the controller stays silent for SECONDS (default %1): in a read or write, and in\n"
                       "each reading of the monitor. A command the controller answers %2 times in a row with \"?\"\n"
                       "or with what is no answer is given up at once.")
            .arg(kDefaultTimeoutSeconds)
            .arg(kSendsPerCommand),
        QStringLiteral("SECONDS"), QString::number(kDefaultTimeoutSeconds)};
    QStringList m_args;
    LinkOptions m_link;
};

// A note for the person at the terminal; scripts see nothing of it.
void note(const QString &line)
{
    if (StderrIsTerminal())
        fputs((line + QLatin1Char('\n')).toUtf8().constData(), stderr);
}

// Why a file cannot be read, in this tool's words.
QString readFailure(const QString &path, const FileError &e)
{
    const QFileInfo fi(path);
    if (path != kStdio && fi.isDir())
        return QStringLiteral("%1: is a folder, not a file").arg(path);
    switch (e.number) {
    case errFileNotFound: return QStringLiteral("%1: no such file").arg(path);
    case errPathNotFound: return QStringLiteral("%1: no such folder: %2").arg(path, fi.absolutePath());
    case errPermissionDenied: return QStringLiteral("%1: no permission to read the file").arg(path);
    case errOutOfMemory: return QStringLiteral("%1: too large for a .qvd file").arg(nameOf(path, false));
    default: return QStringLiteral("%1: cannot read the file (%2)").arg(nameOf(path, false), e.description);
    }
}

// Why a file could not be written, in this tool's words: the folder is missing, read-only
// or on a full disk, or the file itself may not be replaced. Looks at the folder, since
// the same failure reaches the writer in several forms.
QString writeFailure(const QString &path, qint64 size, const FileError &e)
{
    const QFileInfo fi(path);
    const QString dir = fi.absolutePath();
    const QByteArray dirBytes = QFile::encodeName(dir);
    struct statvfs fs {};
    const bool known = ::statvfs(dirBytes.constData(), &fs) == 0;
    if (!QFileInfo(dir).isDir())
        return QStringLiteral("%1: cannot write the file: the folder %2 does not exist").arg(path, dir);
    if (fi.isDir())
        return QStringLiteral("%1: cannot write the file: it is a folder").arg(path);
    if (known && (fs.f_flag & ST_RDONLY))
        return QStringLiteral("%1: cannot write the file: the folder %2 is on a read-only file system").arg(path, dir);
    if (::access(dirBytes.constData(), W_OK) != 0)
        return QStringLiteral("%1: cannot write the file: the folder %2 is read-only (no permission to write in it)")
            .arg(path, dir);
    if (fi.exists() && !fi.isWritable())
        return QStringLiteral("%1: cannot write the file: the file is read-only").arg(path);
    if (e.number == errDiskFull || (known && qint64(fs.f_bavail) * qint64(fs.f_frsize) < size + 4096))
        return QStringLiteral("%1: cannot write the file: the disk is full (%2 needs %3 bytes, %4 are free)")
            .arg(path, fi.fileName())
            .arg(size)
            .arg(known ? qint64(fs.f_bavail) * qint64(fs.f_frsize) : 0);
    return QStringLiteral("%1: cannot write the file (%2)").arg(path, e.description);
}

// Bytes to a file, or to standard output for "-"; false with the line that tells why.
bool writeOutput(const QString &path, const QByteArray &bytes, QString &why)
{
    if (path == kStdio) {
        fflush(stdout);
        if (fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size()) && fflush(stdout) == 0)
            return true;
        why = QStringLiteral("standard output: cannot write (%1)").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    const FileError e = WriteWholeFile(path, bytes);
    if (!e.failed())
        return true;
    why = writeFailure(path, bytes.size(), e);
    return false;
}

// A line of a file as it may be shown on one line of a terminal: control characters as
// "?", at most 40 characters, in double quotes.
QString shownLine(const QByteArray &line)
{
    QString t = QString::fromUtf8(line);
    for (QChar &c : t)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    if (t.size() > 40)
        t = t.left(37) + QStringLiteral("...");
    return QLatin1Char('"') + t + QLatin1Char('"');
}

// What keeps bytes from being a .qvd file, in words: the first line that is no cell, how far
// a file that is cut short goes, or the setting that holds no hexadecimal byte. image holds
// what was read of it; e is the failure of the read or of the decoding.
QString qvdProblem(const QByteArray &bytes, const MemCell *image, const FileError &e)
{
    if (bytes.trimmed().isEmpty())
        return QStringLiteral("the file is empty");
    if (e.number == errInputPastEnd) {
        // A cell's line as the tool writes it ("0000","00"), blanks and quotes as the reader
        // lets them be.
        static const QRegularExpression cell(QStringLiteral("^[ \t]*\"?[0-9A-Fa-f]{1,4}\"?[ \t]*,[ \t]*\"?[^\",]{0,2}\"?[ \t]*$"));
        qsizetype pos = 0;
        int line = 0;
        while (pos < bytes.size()) {
            qsizetype end = bytes.indexOf('\n', pos);
            if (end < 0)
                end = bytes.size();
            QByteArray l = bytes.mid(pos, end - pos);
            if (l.endsWith('\r'))
                l.chop(1);
            ++line;
            if (!l.trimmed().isEmpty() && !cell.match(QString::fromLatin1(l)).hasMatch())
                return QStringLiteral("line %1 is %2, where a .qvd file has a cell such as \"0000\",\"00\"")
                    .arg(line)
                    .arg(shownLine(l));
            pos = end + 1;
        }
        return QStringLiteral("it ends after %1 of the %2 lines a .qvd file has").arg(line).arg(kImageCells);
    }
    for (int a = 0; a < kSettingsCells; ++a) {
        const QString d = image[a].data();
        bool hex = d.size() == 2;
        for (QChar c : d)
            hex = hex && c.unicode() < 128 && std::isxdigit(c.toLatin1());
        if (!hex)
            return QStringLiteral("cell %1 holds %2, not a hexadecimal byte").arg(HexPad(a, 4), shownLine(d.toUtf8()));
    }
    return e.description;
}

// A .qvd file's image ("-": standard input), read as the editor's Open reads it; false with
// the line that tells why (cannot be read, or is not a .qvd file, and what is wrong with it).
bool loadQvd(const QString &path, MemCell *image, QString &why)
{
    QByteArray bytes;
    FileError e = ReadWholeFile(path == kStdio ? QStringLiteral("/dev/stdin") : path, bytes);
    if (e.failed()) {
        why = readFailure(path, e);
        return false;
    }
    if (!ParseUserFile(bytes, image, e) || !ImageShowable(image, e)) {
        why = QStringLiteral("%1: not a .qvd file: %2").arg(nameOf(path, false), qvdProblem(bytes, image, e));
        return false;
    }
    return true;
}

// One controller read on its own: open, read, close. at: when the read ended.
bool readPort(int port, MemCell *image, const LinkOptions &o, QString &why, QDateTime *at = nullptr)
{
    const bool ok = OpenComPort(port, why) && ReadController(port, image, o, why);
    CloseComPort();
    if (ok && at)
        *at = Now();
    return ok;
}

// The settings of one side of a command: a .qvd file, "-" or COMn. The 48 bytes as they
// stand: what a write of the file would send, or what the controller holds.
struct Side {
    QString what;
    int port = 0;
    QDateTime readAt;
    Image image = newImage();
    QList<SettingItem> items;
};

bool settingsOf(const MemCell *image, const QString &what, QList<SettingItem> &out, QString &why)
{
    FileError e;
    if (SettingsOf(image, out, e))
        return true;
    why = QStringLiteral("%1: the settings cannot be shown (%2)").arg(what, e.description);
    return false;
}

bool loadSide(Side &side, const LinkOptions &o, QString &why)
{
    side.port = ParseComPort(side.what);
    const bool ok = side.port > 0 ? readPort(side.port, side.image.get(), o, why, &side.readAt)
                                  : loadQvd(side.what, side.image.get(), why);
    return ok && settingsOf(side.image.get(), nameOf(side.what, false), side.items, why);
}

QList<int> parsePorts(const QStringList &texts, QString &why)
{
    QList<int> ports;
    QSet<int> seen;
    for (const QString &t : texts) {
        const int n = ParseComPort(t);
        if (n == 0) {
            why = QStringLiteral("'%1' is no COM port (COM1 to COM99)").arg(t);
            return {};
        }
        if (seen.contains(n)) {
            why = QStringLiteral("%1 is named twice").arg(ComName(n));
            return {};
        }
        seen.insert(n);
        ports.append(n);
    }
    return ports;
}

// Several ports at once: one session per port in this process, all reading side by side.
// Each read that ends well is written to DIR/COMn.qvd; each failure is told in one line, and
// at the end a summary on stdout has one line per port: ok and the file, or the reason.
// SIGINT or SIGTERM stops the reads still running (their ports are closed) and ends the
// process by that signal: no file is written after it.
int readAtOnce(const QList<int> &ports, const QString &dir, const LinkOptions &o)
{
    if (!QDir().mkpath(dir)) {
        PrintError(QStringLiteral("%1: cannot create the folder").arg(dir));
        return ExitFailed;
    }
    int interrupted = 0;
    std::vector<std::unique_ptr<SessionRead>> reads;
    TerminationSignals termination([&](int sig) {
        if (interrupted)
            return;
        interrupted = sig;
        for (const auto &r : reads)
            r->cancel();
    });
    if (!termination.ok()) {
        PrintError(QStringLiteral("cannot watch for Ctrl+C"));
        return ExitFailed;
    }
    for (int port : ports) {
        reads.push_back(std::make_unique<SessionRead>(port, o));
        reads.back()->start();
    }
    const auto running = [&] {
        return std::any_of(reads.begin(), reads.end(), [](const auto &r) { return !r->done(); });
    };
    while (running())
        WaitForEvent(1000);
    if (interrupted) {
        reads.clear(); // every port closed before the process ends
        PrintError(QStringLiteral("interrupted: the reads still running were stopped and wrote no file"));
        EndBySignal(interrupted);
    }
    int failed = 0;
    QList<QStringList> rows;
    for (const auto &r : reads) {
        const QString path = QDir(dir).filePath(ComName(r->port()) + QStringLiteral(".qvd"));
        QString why = r->why();
        if (r->ok() && writeOutput(path, UserFileBytes(r->image()), why)) {
            note(QStringLiteral("%1: read into %2").arg(ComName(r->port()), path));
            rows.append({ComName(r->port()), QStringLiteral("ok"), path});
            continue;
        }
        ++failed;
        PrintError(why);
        QString reason = why;
        reason.remove(ComName(r->port()) + QStringLiteral(": "));
        rows.append({ComName(r->port()), QStringLiteral("failed"), reason});
    }
    for (const QString &line : AlignColumns(rows))
        PrintOut(line);
    return failed == 0 ? ExitOk : ExitFailed;
}

QString shown(const QString &value) { return value.isEmpty() ? QStringLiteral("-") : value; }

// A setting as JSON: its value (a number where the text is one), the text as shown, the
// unit and the raw count or byte behind it.
QJsonObject valueJson(const SettingItem &s)
{
    double number = 0;
    QJsonObject o{{QStringLiteral("text"), s.text},
                  {QStringLiteral("unit"), s.unit},
                  {QStringLiteral("raw"), s.raw >= 0 ? QJsonValue(s.raw) : QJsonValue()},
                  {QStringLiteral("shown"), s.shown}};
    o.insert(QStringLiteral("value"), s.number(number) ? QJsonValue(number) : QJsonValue(s.text));
    return o;
}

// Local time with its offset: "2026-12-08T13:00:46+09:00".
QString isoTime(const QDateTime &t) { return t.toOffsetFromUtc(t.offsetFromUtc()).toString(Qt::ISODate); }

// The rows of settings that differ: a header, then name, one side's value, the other's.
void printDiffRows(const QList<SettingDiff> &diffs, const QStringList &header)
{
    QList<QStringList> rows;
    if (!header.isEmpty())
        rows.append(header);
    for (const SettingDiff &d : diffs)
        rows.append({d.name, shown(d.a), shown(d.b)});
    for (const QString &line : AlignColumns(rows))
        PrintOut(line);
}
} // namespace

// ---------------------------------------------------------------- help

QStringList CliCommandNames()
{
    return {QStringLiteral("ports"), QStringLiteral("read"), QStringLiteral("write"), QStringLiteral("diff"),
            QStringLiteral("monitor"), QStringLiteral("sheet"), QStringLiteral("audit")};
}

QString CliHelpText()
{
    return QStringLiteral(
        "Usage: qelvo-cli [--timeout SECONDS] COMMAND [options]\n"
        "Sets up water-level comparator controllers from the command line: reads, writes and\n"
        "compares their settings over the serial line, watches their input and makes settings\n"
        "sheets. The same .qvd files as Qelvo's.\n"
        "\n"
        "Commands:\n"
        "  ports [--json]            the COM ports: where each points and whether it opens\n"
        "  read COMn... [-o PATH] [--json]\n"
        "                            read the settings: one port as a table, as JSON or into a\n"
        "                            .qvd file, several ports in parallel into DIR/COMn.qvd\n"
        "  write COMn FILE.qvd [--yes]\n"
        "                            write a file's settings, then read them back and compare\n"
        "  diff A B [--json]         the settings in which A and B differ (a .qvd file or COMn)\n"
        "  monitor COMn [--interval MS] [--count N]\n"
        "                            the input level and the outputs, one line per reading\n"
        "  sheet FILE.qvd|COMn -o SHEET.pdf|SHEET.html\n"
        "                            a settings sheet to print or keep\n"
        "  audit WATCHD.conf [--json]\n"
        "                            each site's settings against its golden file, in parallel\n"
        "\n"
        "Options (before or after the command):\n"
        "  -h, --help                this help; qelvo-cli COMMAND --help tells one command\n"
        "  -v, --version             the version\n"
        "  --timeout SECONDS         give up when the controller stays silent that long\n"
        "                            (default 10)\n"
        "\n"
        "COMn is the device the link <data folder>/ports/COMn points to, else COM1-32 =\n"
        "/dev/ttyS0-31, COM33-64 = /dev/ttyUSB0-31, COM65-96 = /dev/ttyACM0-31 (see 'ports').\n"
        "A file named - is standard input (diff, write, sheet) or standard output (read -o,\n"
        "sheet -o).\n"
        "Exit status: 0 done; 1 failed (a port, the controller or a file) or, for diff, A and B\n"
        "differ; 2 wrong usage (diff: any error). audit: 0 all equal, 1 any differs, 2 errors.\n"
        "See qelvo-cli(1).\n");
}

// ---------------------------------------------------------------- ports

int CmdPorts(const QStringList &args)
{
    CommandParser cmd(QStringLiteral("ports"), QStringLiteral("[--json]"),
                      QStringLiteral("Lists each COM number that is bound by a link in the data folder or whose\n"
                                     "device is present, the device it points to, and whether it can be opened\n"
                                     "now (ok, in use, no permission, missing)."),
                      false);
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Prints the list as JSON."));
    cmd.add(json);
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (!cmd.args().isEmpty())
        return cmd.usage(QStringLiteral("ports takes no arguments"));

    QJsonArray list;
    QList<QStringList> rows;
    for (int n : ComPortCandidates()) {
        const ComPortDescription d = ComPortDescribe(n);
        const QString state = ComPortStateName(d.state);
        QJsonObject o;
        o.insert(QStringLiteral("port"), ComName(n));
        o.insert(QStringLiteral("device"), d.device);
        o.insert(QStringLiteral("target"), d.target);
        o.insert(QStringLiteral("state"), state);
        o.insert(QStringLiteral("detail"), d.detail);
        list.append(o);
        rows.append({ComName(n), d.target.isEmpty() ? d.device : d.device + QStringLiteral(" -> ") + d.target,
                     d.detail.isEmpty() ? state : state + QStringLiteral(": ") + d.detail});
    }
    if (cmd.p().isSet(json)) {
        fputs(QJsonDocument(list).toJson(QJsonDocument::Indented).constData(), stdout);
    } else {
        for (const QString &line : AlignColumns(rows))
            PrintOut(line);
        if (rows.isEmpty())
            note(QStringLiteral("No COM port is bound or present (links go in %1).").arg(ComPortsFolder()));
    }
    return ExitOk;
}

// ---------------------------------------------------------------- read

int CmdRead(const QStringList &args)
{
    CommandParser cmd(
        QStringLiteral("read"), QStringLiteral("COMn... [-o PATH] [--json]"),
        QStringLiteral("Reads the 48 settings bytes of each controller.\n"
                       "One port: without -o prints the settings as a table (names as the editor shows\n"
                       "them, values in the input type's unit); --json prints each setting with its\n"
                       "value, unit and raw count; -o FILE.qvd writes the controller's bytes as a .qvd\n"
                       "file, which compares equal to the controller (-o - writes it to standard\n"
                       "output; -o naming a folder writes FOLDER/COMn.qvd).\n"
                       "Several ports: -o DIR is needed; the controllers are read at once into\n"
                       "DIR/COMn.qvd, and a summary ends the output, one line per port: ok and the\n"
                       "file, or failed and why. Exit status 0 when all were read, 1 when any failed\n"
                       "(each failure also on a line of its own on stderr), 2 on wrong usage."));
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("output")},
                                 QStringLiteral("The .qvd file (one port; - for standard output) or the folder\n"
                                                "(several ports)."),
                                 QStringLiteral("PATH"));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Prints the settings as JSON."));
    const QCommandLineOption format(QStringLiteral("format"), QStringLiteral("table (the default) or json."),
                                    QStringLiteral("FORMAT"), QStringLiteral("table"));
    cmd.add(out);
    cmd.add(json);
    cmd.add(format);
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (cmd.args().isEmpty())
        return cmd.usage(QStringLiteral("read needs a COM port (COM1 to COM99)"));
    const QString form = cmd.p().value(format);
    if (form != QLatin1String("table") && form != QLatin1String("json"))
        return cmd.usage(QStringLiteral("--format takes table or json"));
    const bool asJson = cmd.p().isSet(json) || form == QLatin1String("json");
    QString why;
    const QList<int> ports = parsePorts(cmd.args(), why);
    if (ports.isEmpty())
        return cmd.usage(why);
    const QString path = cmd.p().value(out);
    if (ports.size() > 1) {
        if (path.isEmpty() || path == kStdio)
            return cmd.usage(QStringLiteral("reading several ports needs -o DIR"));
        if (asJson)
            return cmd.usage(QStringLiteral("--json reads one port"));
        if (QFileInfo(path).exists() && !QFileInfo(path).isDir())
            return cmd.usage(QStringLiteral("%1 is no folder").arg(path));
        return readAtOnce(ports, path, cmd.link());
    }
    if (path == kStdio && asJson)
        return cmd.usage(QStringLiteral("-o - and --json both want standard output"));

    const int port = ports.first();
    CliLinkScope scope;
    LinkOptions link = cmd.link();
    link.progress = StderrIsTerminal();
    Image image = newImage();
    QDateTime readAt;
    if (!readPort(port, image.get(), link, why, &readAt)) {
        PrintError(why);
        return ExitFailed;
    }
    if (!path.isEmpty()) {
        // The controller's bytes as they came: the file compares equal to the controller,
        // and writing it back sends the same bytes.
        const QString file = QFileInfo(path).isDir() ? QDir(path).filePath(ComName(port) + QStringLiteral(".qvd")) : path;
        if (!writeOutput(file, UserFileBytes(image.get()), why)) {
            PrintError(why);
            return ExitFailed;
        }
        if (file != kStdio)
            note(QStringLiteral("%1: read into %2").arg(ComName(port), file));
        if (!asJson)
            return ExitOk;
    }
    QList<SettingItem> items;
    if (!settingsOf(image.get(), ComName(port), items, why)) {
        PrintError(why);
        return ExitFailed;
    }
    if (asJson) {
        QJsonArray list;
        for (const SettingItem &s : items) {
            QJsonObject o = valueJson(s);
            o.insert(QStringLiteral("setting"), s.name);
            list.append(o);
        }
        const QJsonObject o{{QStringLiteral("port"), ComName(port)},
                            {QStringLiteral("read_at"), isoTime(readAt)},
                            {QStringLiteral("settings"), list}};
        fputs(QJsonDocument(o).toJson(QJsonDocument::Indented).constData(), stdout);
        return ExitOk;
    }
    QList<QStringList> rows;
    for (const SettingItem &s : items)
        rows.append({s.name, s.display()});
    for (const QString &line : AlignColumns(rows))
        PrintOut(line);
    return ExitOk;
}

// ---------------------------------------------------------------- write

int CmdWrite(const QStringList &args)
{
    CommandParser cmd(
        QStringLiteral("write"), QStringLiteral("COMn FILE.qvd [--yes]"),
        QStringLiteral("Writes the 48 settings bytes of a .qvd file (- for standard input) into the\n"
                       "controller as the file holds them, then reads them back and compares. On a\n"
                       "terminal it first shows what the write changes and asks, unless --yes is given.\n"
                       "Exit status 0 only when the controller then holds the file's values, 1\n"
                       "otherwise; each setting that did not take is named with the value written\n"
                       "and the value read back."));
    const QCommandLineOption yes({QStringLiteral("y"), QStringLiteral("yes")}, QStringLiteral("Writes without asking."));
    cmd.add(yes);
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (cmd.args().size() != 2)
        return cmd.usage(QStringLiteral("write needs a COM port and a .qvd file"));
    const int port = ParseComPort(cmd.args().at(0));
    if (port == 0)
        return cmd.usage(QStringLiteral("'%1' is no COM port (COM1 to COM99)").arg(cmd.args().at(0)));
    const QString path = cmd.args().at(1);
    const QString name = ComName(port);

    CliLinkScope scope;
    QString why;
    Image file = newImage();
    QList<SettingItem> mine;
    if (!loadQvd(path, file.get(), why) || !settingsOf(file.get(), nameOf(path, false), mine, why) ||
        !OpenComPort(port, why)) {
        PrintError(why);
        return ExitFailed;
    }
    // The bytes go as the file holds them, in the digits the protocol uses.
    for (int a = 0; a < kSettingsCells; ++a)
        file[a].setData(file[a].data().toUpper());
    LinkOptions link = cmd.link();
    link.progress = StderrIsTerminal();

    // Standard input holding the file cannot answer the question.
    if (!cmd.p().isSet(yes) && StdinIsTerminal() && path != kStdio) {
        // What the write changes, before anything is written.
        Image now = newImage();
        QList<SettingItem> theirs;
        if (!ReadController(port, now.get(), link, why) || !settingsOf(now.get(), name, theirs, why)) {
            PrintError(why);
            return ExitFailed;
        }
        const QList<SettingDiff> diffs = DiffSettings(theirs, mine);
        if (diffs.isEmpty())
            PrintOut(QStringLiteral("%1 already holds the settings of %2.").arg(name, path));
        else
            printDiffRows(diffs, {QStringLiteral("setting"), name, path});
        fprintf(stderr, "Write %s to %s? [y/N] ", qPrintable(path), qPrintable(name));
        fflush(stderr);
        std::string answer;
        std::getline(std::cin, answer);
        const QString a = QString::fromStdString(answer).trimmed().toLower();
        if (a != QLatin1String("y") && a != QLatin1String("yes")) {
            PrintError(QStringLiteral("%1: nothing written").arg(name));
            return ExitFailed;
        }
    }

    Image back = newImage();
    QList<SettingItem> held;
    if (!WriteController(port, file.get(), link, why) || !ReadController(port, back.get(), link, why) ||
        !settingsOf(back.get(), name, held, why)) {
        PrintError(why);
        return ExitFailed;
    }
    // The read-back, setting by setting: the value written against the value it holds.
    const QList<SettingDiff> wrong = DiffSettings(mine, held);
    if (!wrong.isEmpty()) {
        printDiffRows(wrong, {QStringLiteral("setting"), QStringLiteral("written"), QStringLiteral("read back")});
        PrintError(QStringLiteral("%1: after the write the controller does not hold the values of %2")
                       .arg(name, nameOf(path, false)));
        return ExitFailed;
    }
    PrintOut(QStringLiteral("%1 holds the settings of %2.").arg(name, nameOf(path, false)));
    return ExitOk;
}

// ---------------------------------------------------------------- diff

int CmdDiff(const QStringList &args)
{
    CommandParser cmd(
        QStringLiteral("diff"), QStringLiteral("A B [--json]"),
        QStringLiteral("Compares two sets of settings, each a .qvd file (- for standard input) or a\n"
                       "controller (COMn), byte for byte, and prints each setting that differs: its\n"
                       "name as the editor shows it (a value the editor keeps without showing by its\n"
                       "own name, a cell nobody interprets as \"ｱﾄﾞﾚｽ 2C\"), A's value and B's value in\n"
                       "the input type's unit (\"-\": A or B has no such setting, its input type is\n"
                       "another). Two counts that show the same value carry the count in brackets.\n"
                       "A file counts as write sends it, so a file just read from a controller is the\n"
                       "same as that controller. --json gives each side's value, unit and raw count.\n"
                       "Exit status 0 when they are the same, 1 when they differ, 2 on any error."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Prints the differences as JSON."));
    cmd.add(json);
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (cmd.args().size() != 2)
        return cmd.usage(QStringLiteral("diff needs two arguments, each a .qvd file, - or COMn"));
    if (cmd.args().at(0) == kStdio && cmd.args().at(1) == kStdio)
        return cmd.usage(QStringLiteral("only one side can be standard input"));

    CliLinkScope scope;
    LinkOptions link = cmd.link();
    link.progress = StderrIsTerminal();
    Side sides[2];
    for (int i = 0; i < 2; ++i) {
        sides[i].what = cmd.args().at(i);
        QString why;
        if (!loadSide(sides[i], link, why)) {
            PrintError(why);
            return ExitUsage;
        }
    }
    const QList<SettingDiff> diffs = DiffSettings(sides[0].items, sides[1].items);
    if (cmd.p().isSet(json)) {
        QJsonArray list;
        for (const SettingDiff &d : diffs)
            list.append(QJsonObject{{QStringLiteral("setting"), d.name},
                                    {QStringLiteral("a"), d.inA ? QJsonValue(valueJson(d.itemA)) : QJsonValue()},
                                    {QStringLiteral("b"), d.inB ? QJsonValue(valueJson(d.itemB)) : QJsonValue()}});
        QJsonObject o{{QStringLiteral("a"), sides[0].what},
                      {QStringLiteral("b"), sides[1].what},
                      {QStringLiteral("same"), diffs.isEmpty()},
                      {QStringLiteral("differences"), list}};
        for (int i = 0; i < 2; ++i)
            if (sides[i].port > 0)
                o.insert(i == 0 ? QStringLiteral("a_read_at") : QStringLiteral("b_read_at"), isoTime(sides[i].readAt));
        fputs(QJsonDocument(o).toJson(QJsonDocument::Indented).constData(), stdout);
    } else {
        printDiffRows(diffs, {});
    }
    return diffs.isEmpty() ? ExitOk : ExitFailed;
}

// ---------------------------------------------------------------- monitor

int CmdMonitor(const QStringList &args)
{
    CommandParser cmd(
        QStringLiteral("monitor"), QStringLiteral("COMn [--interval MS] [--count N]"),
        QStringLiteral("Runs the input monitor: asks the controller for its input and its outputs once\n"
                       "per interval and prints one line per reading as the log filer writes it, with\n"
                       "both columns: number, date, time, the value with its unit, the eight outputs\n"
                       "(\"000001, 2026/12/08, 13:00:46, 00.42,V, 10000000\"). The unit is the input\n"
                       "type the controller holds. Ends after N readings or on Ctrl+C (exit status 0),\n"
                       "or when the link is lost or the controller gives no reading for --timeout\n"
                       "seconds (1)."));
    const QCommandLineOption interval(QStringLiteral("interval"),
                                      QStringLiteral("Milliseconds between readings, 20 to 2000 (default 1000)."),
                                      QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Ends after N readings."),
                                   QStringLiteral("N"));
    cmd.add(interval);
    cmd.add(count);
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (cmd.args().size() != 1)
        return cmd.usage(QStringLiteral("monitor needs one COM port"));
    const int port = ParseComPort(cmd.args().first());
    if (port == 0)
        return cmd.usage(QStringLiteral("'%1' is no COM port (COM1 to COM99)").arg(cmd.args().first()));
    bool ok = false;
    const int ms = cmd.p().value(interval).toInt(&ok);
    if (!ok || ms < 20 || ms > 2000)
        return cmd.usage(QStringLiteral("--interval takes milliseconds from 20 to 2000"));
    int n = 0;
    if (cmd.p().isSet(count)) {
        n = cmd.p().value(count).toInt(&ok);
        if (!ok || n < 1)
            return cmd.usage(QStringLiteral("--count takes a number of readings from 1"));
    }

    CliLinkScope scope;
    QString why;
    LinkOptions link = cmd.link();
    link.progress = StderrIsTerminal();
    Image settings = newImage();
    // The controller's input type gives the unit.
    if (!OpenComPort(port, why) || !ReadController(port, settings.get(), link, why)) {
        PrintError(why);
        return ExitFailed;
    }
    SetTypeFromImage(settings.get());
    if (!MonitorController(port, ms, n, link, why)) {
        PrintError(why);
        return ExitFailed;
    }
    return ExitOk;
}

// ---------------------------------------------------------------- sheet

int CmdSheet(const QStringList &args)
{
    CommandParser cmd(
        QStringLiteral("sheet"), QStringLiteral("FILE.qvd|COMn -o SHEET.pdf|SHEET.html"),
        QStringLiteral("Makes the settings sheet of a .qvd file (- for standard input) or of a\n"
                       "controller, the page Qelvo prints: every value the editor shows, the input\n"
                       "type, where the values came from (the file, or the controller and the time it\n"
                       "was read) and the date. The name of the output chooses the form, .pdf (A4) or\n"
                       ".html, unless --format does; -o - writes the sheet to standard output (HTML\n"
                       "unless --format pdf)."));
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("output")},
                                 QStringLiteral("The sheet to write: SHEET.pdf, SHEET.html or -."),
                                 QStringLiteral("SHEET"));
    const QCommandLineOption format(QStringLiteral("format"), QStringLiteral("pdf or html."), QStringLiteral("FORMAT"));
    cmd.add(out);
    cmd.add(format);
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (cmd.args().size() != 1)
        return cmd.usage(QStringLiteral("sheet needs one .qvd file or COMn"));
    const QString target = cmd.p().value(out);
    QString form = cmd.p().value(format).toLower();
    if (form.isEmpty())
        form = target == kStdio ? QStringLiteral("html") : QFileInfo(target).suffix().toLower();
    if (form == QLatin1String("htm"))
        form = QStringLiteral("html");
    const bool pdf = form == QLatin1String("pdf");
    if (target.isEmpty() || (!pdf && form != QLatin1String("html")))
        return cmd.usage(QStringLiteral("sheet needs -o SHEET.pdf or -o SHEET.html"));

    CliLinkScope scope;
    LinkOptions link = cmd.link();
    link.progress = StderrIsTerminal();
    Side side;
    side.what = cmd.args().first();
    QString why;
    if (!loadSide(side, link, why)) {
        PrintError(why);
        return ExitFailed;
    }
    SheetSource source;
    if (side.port > 0)
        source = {QString(), side.port, side.readAt};
    else
        source.fileTitle = side.what == kStdio ? QString() : GetPathFile(QDir::fromNativeSeparators(side.what));
    QString html;
    FileError e;
    if (!SheetHtml(side.image.get(), source, Now(), html, e)) {
        PrintError(QStringLiteral("%1: the settings cannot be shown (%2)").arg(nameOf(side.what, false), e.description));
        return ExitFailed;
    }
    const QString title = side.port > 0 ? ComName(side.port) : source.fileTitle;
    if (!writeOutput(target, pdf ? SheetPdfBytes(html, title) : html.toUtf8(), why)) {
        PrintError(why);
        return ExitFailed;
    }
    return ExitOk;
}

// ---------------------------------------------------------------- audit

namespace {
// Where the watcher lends a site's line (qelvo-watchd's [maintenance] listen=HOST:PORT, the
// k-th site of [sites] at PORT+k, or the site's own maintenance_port=), read leniently: a
// key that cannot be used leaves the site on its own port. Empty: none.
QString maintenanceAddress(const QString &file, const QStringList &siteOrder, const QString &site)
{
    QSettings ini(file, QSettings::IniFormat);
    const QString listen = ini.value(QStringLiteral("maintenance/listen")).toString().trimmed();
    QString host = QStringLiteral("127.0.0.1");
    int base = -1;
    static const QRegularExpression hostPort(QStringLiteral("^(\\[[0-9A-Fa-f:.]+\\]|[^:\\s]+):(\\d{1,5})$"));
    if (const QRegularExpressionMatch m = hostPort.match(listen); m.hasMatch()) {
        host = m.captured(1);
        base = m.captured(2).toInt();
    }
    // A watcher that listens on every address is reached on this host's loopback.
    if (host == QLatin1String("0.0.0.0") || host == QLatin1String("[::]"))
        host = QStringLiteral("127.0.0.1");
    bool ok = false;
    const int own = ini.value(site + QStringLiteral("/maintenance_port")).toString().trimmed().toInt(&ok);
    int port = ok ? own : -1;
    if (port < 0 && base > 0)
        port = base + int(siteOrder.indexOf(site));
    if (port < 1 || port > 65535)
        return {};
    return QStringLiteral("rfc2217://%1:%2").arg(host).arg(port);
}

struct AuditRead {
    WatchSite site;
    QString via; // the port read: the site's, or the watcher's maintenance address
    QString error;
    std::unique_ptr<SessionRead> read;
    SettingsAudit audit;
};
} // namespace

int CmdAudit(const QStringList &args)
{
    CommandParser cmd(
        QStringLiteral("audit"), QStringLiteral("WATCHD.conf [--json]"),
        QStringLiteral("Reads the settings of every site of a qelvo-watchd configuration that has a\n"
                       "golden= file, all at once, and compares each with its file as diff does.\n"
                       "A site is read through its own port, or through the watcher's maintenance\n"
                       "port where the configuration names one. One line per site: equal, the\n"
                       "settings that differ (golden -> controller), or the error. --json gives\n"
                       "the same as one object. Exit status 0 when every site is equal, 1 when any\n"
                       "differs, 2 on any error (a file, a port or a controller)."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Prints the result as JSON."));
    cmd.add(json);
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (cmd.args().size() != 1)
        return cmd.usage(QStringLiteral("audit needs one configuration file of qelvo-watchd"));
    const QString file = cmd.args().first();
    QStringList faults;
    const std::optional<WatchSettings> ws =
        LoadWatchConfig(file, DataFolderPath(), &faults, WatchLoad::GoldenProblemsKept);
    if (!ws) {
        for (const QString &f : faults)
            PrintError(f);
        return ExitUsage;
    }
    QStringList order;
    for (const WatchSite &s : ws->sites)
        order << s.name;

    CliLinkScope scope;
    std::vector<AuditRead> reads;
    for (const WatchSite &s : ws->sites) {
        if (s.golden.isEmpty())
            continue;
        AuditRead r;
        r.site = s;
        r.error = s.goldenProblem.isEmpty() ? QString() : QStringLiteral("golden=%1: %2").arg(s.golden, s.goldenProblem);
        reads.push_back(std::move(r));
    }
    if (reads.empty()) {
        PrintError(QStringLiteral("%1: no site has a golden= file").arg(file));
        return ExitUsage;
    }
    int interrupted = 0;
    TerminationSignals termination([&](int sig) {
        if (interrupted)
            return;
        interrupted = sig;
        for (AuditRead &r : reads)
            if (r.read)
                r.read->cancel();
    });
    for (AuditRead &r : reads) {
        if (!r.error.isEmpty())
            continue;
        WatchSite line = r.site;
        r.via = maintenanceAddress(file, order, r.site.name);
        if (!r.via.isEmpty()) {
            const ComPortMapping m = ParseComPortAddress(r.via.toUtf8());
            line.kind = WatchSite::PortKind::Rfc2217;
            line.host = m.host;
            line.tcpPort = m.port;
        } else {
            r.via = r.site.port;
        }
        r.read = line.kind == WatchSite::PortKind::Com
                     ? std::make_unique<SessionRead>(line.comPort, cmd.link())
                     : std::make_unique<SessionRead>(MakeSitePort(line), r.via, cmd.link());
        r.read->start();
    }
    const auto running = [&] {
        return std::any_of(reads.begin(), reads.end(), [](const AuditRead &r) { return r.read && !r.read->done(); });
    };
    while (running())
        WaitForEvent(1000);
    if (interrupted) {
        reads.clear();
        PrintError(QStringLiteral("interrupted: the reads still running were stopped"));
        EndBySignal(interrupted);
    }
    int errors = 0, differing = 0;
    QList<QStringList> rows;
    QJsonArray list;
    for (AuditRead &r : reads) {
        if (r.error.isEmpty() && !r.read->ok())
            r.error = r.read->why();
        QJsonObject o{{QStringLiteral("site"), r.site.name},
                      {QStringLiteral("port"), r.via.isEmpty() ? r.site.port : r.via},
                      {QStringLiteral("golden"), r.site.golden}};
        if (!r.error.isEmpty()) {
            ++errors;
            PrintError(QStringLiteral("%1: %2").arg(r.site.name, r.error));
            rows.append({r.site.name, QStringLiteral("error"), r.error});
            o.insert(QStringLiteral("equal"), QJsonValue());
            o.insert(QStringLiteral("error"), r.error);
            list.append(o);
            continue;
        }
        r.audit = AuditSettings(r.site.goldenCells, r.read->image());
        QStringList what;
        QJsonArray diffs;
        for (const AuditDifference &d : r.audit.differences) {
            what << QStringLiteral("%1 %2 -> %3").arg(d.name, d.golden, d.controller);
            diffs.append(QJsonObject{{QStringLiteral("cell"), d.cell},
                                     {QStringLiteral("name"), d.name},
                                     {QStringLiteral("golden"), d.golden},
                                     {QStringLiteral("controller"), d.controller}});
        }
        differing += r.audit.equal() ? 0 : 1;
        rows.append({r.site.name, r.audit.equal() ? QStringLiteral("equal") : QStringLiteral("differs"),
                     what.join(QStringLiteral(", "))});
        o.insert(QStringLiteral("equal"), r.audit.equal());
        o.insert(QStringLiteral("differences"), diffs);
        o.insert(QStringLiteral("controller"), QString::fromLatin1(CellsHex(r.read->image())));
        list.append(o);
    }
    if (cmd.p().isSet(json)) {
        const QJsonObject o{{QStringLiteral("file"), file},
                            {QStringLiteral("equal"), errors == 0 && differing == 0},
                            {QStringLiteral("sites"), list}};
        fputs(QJsonDocument(o).toJson(QJsonDocument::Indented).constData(), stdout);
    } else {
        for (QString line : AlignColumns(rows)) {
            while (line.endsWith(QLatin1Char(' ')))
                line.chop(1);
            PrintOut(line);
        }
    }
    return errors > 0 ? ExitUsage : differing > 0 ? ExitFailed : ExitOk;
}
