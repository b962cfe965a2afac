#include "CliCommands.h"

#include "CliChildren.h"
#include "CliLink.h"
#include "CliText.h"

#include "link/modProtocol.h"
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
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

namespace {
using Image = std::unique_ptr<MemCell[]>;
Image newImage() { return Image(new MemCell[kImageCells]); }

// A command's parser: its description, its arguments in the usage line, --help.
class CommandParser {
public:
    CommandParser(const QString &name, const QString &arguments, const QString &description)
        : m_name(name)
    {
        m_p.setApplicationDescription(description);
        m_p.addPositionalArgument(name, QString(), name + QLatin1Char(' ') + arguments);
        m_p.addOption(m_help);
    }
    void add(const QCommandLineOption &o) { m_p.addOption(o); }
    // Adds the timeout of the exchanges with the controller.
    void addTimeout() { m_p.addOption(m_timeout); }

    // Parses args: -1 to go on, else the exit status (after the help or the usage error).
    int parse(const QStringList &args)
    {
        if (!m_p.parse(args))
            return usage(m_p.errorText());
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
        m_args = m_p.positionalArguments().mid(1);
        if (m_p.optionNames().contains(QStringLiteral("timeout"))) {
            bool ok = false;
            const int s = m_p.value(m_timeout).toInt(&ok);
            if (!ok || s < 1 || s > 3600)
                return usage(QStringLiteral("--timeout takes whole seconds from 1 to 3600"));
            m_link.timeoutMs = s * 1000;
        }
        return -1;
    }
    int usage(const QString &why) const
    {
        PrintError(why);
        fprintf(stderr, "See qelvo-cli %s --help.\n", qPrintable(m_name));
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
    QCommandLineOption m_timeout{QStringLiteral("timeout"),
                                 QStringLiteral("Gives up when the controller stays silent for SECONDS (default %1).")
                                     .arg(kDefaultTimeoutSeconds),
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

// A .qvd file's image, read as the editor's Open reads it; false with the line that tells
// why (cannot be read, or is not a .qvd file).
bool loadQvd(const QString &path, MemCell *image, QString &why)
{
    QByteArray bytes;
    FileError e = ReadWholeFile(path, bytes);
    if (e.failed()) {
        why = QStringLiteral("%1: cannot read the file (%2)").arg(path, e.description);
        return false;
    }
    if (!ParseUserFile(bytes, image, e) || !ImageShowable(image, e)) {
        why = QStringLiteral("%1: not a .qvd file (%2)").arg(path, e.description);
        return false;
    }
    return true;
}

// The settings of a .qvd file as the editor would write them.
bool loadQvdForWriting(const QString &path, MemCell *image, QString &why)
{
    FileError e;
    if (!loadQvd(path, image, why))
        return false;
    if (!EditorRoundTrip(image, e)) {
        why = QStringLiteral("%1: not a .qvd file (%2)").arg(path, e.description);
        return false;
    }
    return true;
}

// One controller read on its own: open, read, close.
bool readPort(int port, MemCell *image, const LinkOptions &o, QString &why)
{
    const bool ok = OpenComPort(port, why) && ReadController(port, image, o, why);
    CloseComPort();
    return ok;
}

bool settingsOf(const MemCell *image, const QString &what, QList<SettingItem> &out, QString &why)
{
    FileError e;
    if (SettingsOf(image, out, e))
        return true;
    why = QStringLiteral("%1: the settings cannot be shown (%2)").arg(what, e.description);
    return false;
}

bool writeFile(const QString &path, const QByteArray &bytes, QString &why)
{
    const FileError e = WriteWholeFile(path, bytes);
    if (!e.failed())
        return true;
    why = QStringLiteral("%1: cannot write the file (%2)").arg(path, e.description);
    return false;
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

// Several ports at once: one qelvo-cli per port, since the link of a process drives one
// port. Each child reads its controller and hands the file to this process, which writes
// DIR/COMn.qvd; each tells its own failure in one line. The children end with this process,
// and SIGINT or SIGTERM ends them (and waits for them) before it ends itself: no port stays
// held and no file is written after it.
int readInParallel(const QList<int> &ports, const QString &dir, int timeoutSeconds)
{
    if (!QDir().mkpath(dir)) {
        PrintError(QStringLiteral("%1: cannot create the folder").arg(dir));
        return ExitFailed;
    }
    int running = 0, failed = 0, interrupted = 0;
    QEventLoop loop;
    std::vector<std::unique_ptr<QProcess>> children;
    TerminationSignals termination([&](int sig) {
        if (interrupted)
            return;
        interrupted = sig;
        for (const auto &c : children)
            c->terminate();
    });
    if (!termination.ok()) {
        PrintError(QStringLiteral("cannot watch for Ctrl+C"));
        return ExitFailed;
    }
    for (int port : ports) {
        const QString path = QDir(dir).filePath(ComName(port) + QStringLiteral(".qvd"));
        auto child = std::make_unique<QProcess>();
        QProcess *p = child.get();
        p->setProgram(QCoreApplication::applicationFilePath());
        p->setArguments({QStringLiteral("read"), ComName(port), QStringLiteral("--timeout"),
                         QString::number(timeoutSeconds), QStringLiteral("--child")});
        DieWithParent(*p);
        // A file is no larger than a file the tool reads back.
        QObject::connect(p, &QProcess::readyReadStandardOutput, &loop, [p] {
            if (p->bytesAvailable() > kMaxReadBytes)
                p->kill();
        });
        const auto done = [&, p, port, path](bool ok) {
            const QByteArray err = p->readAllStandardError();
            const QByteArray bytes = p->readAllStandardOutput();
            QString why;
            if (interrupted) {
                // Stopped: nothing more is written, and the one line below says so.
            } else if (ok && writeFile(path, bytes, why)) {
                note(QStringLiteral("%1: read into %2").arg(ComName(port), path));
            } else {
                ++failed;
                if (ok)
                    PrintError(why);
                else if (!err.isEmpty())
                    fputs(err.constData(), stderr);
                else
                    PrintError(QStringLiteral("%1: the read ended without a word (%2)").arg(ComName(port), p->errorString()));
            }
            if (--running == 0)
                loop.quit();
        };
        QObject::connect(p, &QProcess::finished, &loop, [done, p](int code, QProcess::ExitStatus s) {
            done(s == QProcess::NormalExit && code == 0 && p->bytesAvailable() <= kMaxReadBytes);
        });
        QObject::connect(p, &QProcess::errorOccurred, &loop, [done](QProcess::ProcessError e) {
            if (e == QProcess::FailedToStart)
                done(false);
        });
        ++running;
        p->start();
        children.push_back(std::move(child));
    }
    if (running > 0)
        loop.exec();
    if (interrupted) {
        PrintError(QStringLiteral("interrupted: the reads still running were stopped and wrote no file"));
        EndBySignal(interrupted);
    }
    return failed == 0 ? ExitOk : ExitFailed;
}

QString shown(const QString &value) { return value.isEmpty() ? QStringLiteral("-") : value; }
} // namespace

// ---------------------------------------------------------------- help

QStringList CliCommandNames()
{
    return {QStringLiteral("ports"), QStringLiteral("read"), QStringLiteral("write"), QStringLiteral("diff"),
            QStringLiteral("monitor"), QStringLiteral("sheet")};
}

QString CliHelpText()
{
    return QStringLiteral(
        "Usage: qelvo-cli COMMAND [options]\n"
        "Sets up water-level comparator controllers from the command line: reads, writes and\n"
        "compares their settings over the serial line, watches their input and makes settings\n"
        "sheets. The same .qvd files as Qelvo's.\n"
        "\n"
        "Commands:\n"
        "  ports [--json]            the COM ports: where each points and whether it opens\n"
        "  read COMn... [-o PATH]    read the settings: one port as a table or into a .qvd\n"
        "                            file, several ports in parallel into DIR/COMn.qvd\n"
        "  write COMn FILE.qvd [--yes]\n"
        "                            write a file's settings, then read them back and compare\n"
        "  diff A B [--json]         the settings in which A and B differ (a .qvd file or COMn)\n"
        "  monitor COMn [--interval MS] [--count N]\n"
        "                            the input level and the outputs, one line per reading\n"
        "  sheet FILE.qvd -o SHEET.pdf|SHEET.html\n"
        "                            a settings sheet to print or keep\n"
        "\n"
        "Options:\n"
        "  -h, --help                this help; qelvo-cli COMMAND --help tells one command\n"
        "  -v, --version             the version\n"
        "\n"
        "COMn is the device the link <data folder>/ports/COMn points to, else COM1-32 =\n"
        "/dev/ttyS0-31, COM33-64 = /dev/ttyUSB0-31, COM65-96 = /dev/ttyACM0-31 (see 'ports').\n"
        "Exit status: 0 done; 1 failed (a port, the controller or a file) or, for diff, A and B\n"
        "differ; 2 wrong usage (diff: any error).\n");
}

// ---------------------------------------------------------------- ports

int CmdPorts(const QStringList &args)
{
    CommandParser cmd(QStringLiteral("ports"), QStringLiteral("[--json]"),
                      QStringLiteral("Lists each COM number that is bound by a link in the data folder or whose\n"
                                     "device is present, the device it points to, and whether it can be opened\n"
                                     "now (ok, in use, no permission, missing)."));
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
        QStringLiteral("read"), QStringLiteral("COMn... [-o PATH]"),
        QStringLiteral("Reads the 48 settings bytes of each controller.\n"
                       "One port: without -o prints the settings as a table (names as the editor shows\n"
                       "them, values in the input type's unit); -o FILE.qvd writes the file byte for\n"
                       "byte as Qelvo saves a fresh read (-o naming a folder writes FOLDER/COMn.qvd).\n"
                       "Several ports: -o DIR is needed; each controller is read in parallel into\n"
                       "DIR/COMn.qvd. Exit status 0 when all were read, 1 when any failed (each\n"
                       "failure on a line of its own), 2 on wrong usage."));
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("output")},
                                 QStringLiteral("The .qvd file (one port) or the folder (several ports)."),
                                 QStringLiteral("PATH"));
    QCommandLineOption child(QStringLiteral("child"), QStringLiteral("One port of a parallel read."));
    child.setFlags(QCommandLineOption::HiddenFromHelp);
    cmd.add(out);
    cmd.add(child);
    cmd.addTimeout();
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (cmd.args().isEmpty())
        return cmd.usage(QStringLiteral("read needs a COM port (COM1 to COM99)"));
    QString why;
    const QList<int> ports = parsePorts(cmd.args(), why);
    if (ports.isEmpty())
        return cmd.usage(why);
    const QString path = cmd.p().value(out);
    if (ports.size() > 1) {
        if (path.isEmpty())
            return cmd.usage(QStringLiteral("reading several ports needs -o DIR"));
        if (QFileInfo(path).exists() && !QFileInfo(path).isDir())
            return cmd.usage(QStringLiteral("%1 is no folder").arg(path));
        return readInParallel(ports, path, cmd.timeoutSeconds());
    }

    const int port = ports.first();
    CliLinkScope scope;
    LinkOptions link = cmd.link();
    link.progress = !cmd.p().isSet(child) && StderrIsTerminal();
    Image image = newImage();
    if (!readPort(port, image.get(), link, why)) {
        PrintError(why);
        return ExitFailed;
    }
    FileError e;
    if (cmd.p().isSet(child)) {
        // One port of a parallel read: the file goes to the parent, which writes it.
        EditorRoundTrip(image.get(), e);
        return HandToParent(UserFileBytes(image.get())) ? ExitOk : ExitFailed;
    }
    if (path.isEmpty()) {
        QList<SettingItem> items;
        if (!settingsOf(image.get(), ComName(port), items, why)) {
            PrintError(why);
            return ExitFailed;
        }
        QList<QStringList> rows;
        for (const SettingItem &s : items)
            rows.append({s.name, s.display()});
        for (const QString &line : AlignColumns(rows))
            PrintOut(line);
        return ExitOk;
    }
    // What Qelvo saves after a read: the image as the editor gives it back.
    EditorRoundTrip(image.get(), e);
    const QString file = QFileInfo(path).isDir() ? QDir(path).filePath(ComName(port) + QStringLiteral(".qvd")) : path;
    if (!writeFile(file, UserFileBytes(image.get()), why)) {
        PrintError(why);
        return ExitFailed;
    }
    note(QStringLiteral("%1: read into %2").arg(ComName(port), file));
    return ExitOk;
}

// ---------------------------------------------------------------- write

int CmdWrite(const QStringList &args)
{
    CommandParser cmd(
        QStringLiteral("write"), QStringLiteral("COMn FILE.qvd [--yes]"),
        QStringLiteral("Writes the settings of a .qvd file into the controller, as Qelvo writes an\n"
                       "opened file, then reads them back and compares. On a terminal it first shows\n"
                       "what the write changes and asks, unless --yes is given. Exit status 0 only\n"
                       "when the controller then holds the file's values, 1 otherwise."));
    const QCommandLineOption yes({QStringLiteral("y"), QStringLiteral("yes")}, QStringLiteral("Writes without asking."));
    cmd.add(yes);
    cmd.addTimeout();
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
    if (!loadQvdForWriting(path, file.get(), why) || !OpenComPort(port, why)) {
        PrintError(why);
        return ExitFailed;
    }
    LinkOptions link = cmd.link();
    link.progress = StderrIsTerminal();

    if (!cmd.p().isSet(yes) && StdinIsTerminal()) {
        // What the write changes, before anything is written.
        Image now = newImage();
        QList<SettingItem> theirs, mine;
        if (!ReadController(port, now.get(), link, why) || !settingsOf(now.get(), name, theirs, why) ||
            !settingsOf(file.get(), path, mine, why)) {
            PrintError(why);
            return ExitFailed;
        }
        const QList<SettingDiff> diffs = DiffSettings(theirs, mine);
        if (diffs.isEmpty()) {
            PrintOut(QStringLiteral("%1 already holds the settings of %2.").arg(name, path));
        } else {
            QList<QStringList> rows{{QStringLiteral("setting"), name, path}};
            for (const SettingDiff &d : diffs)
                rows.append({d.name, shown(d.a), shown(d.b)});
            for (const QString &line : AlignColumns(rows))
                PrintOut(line);
        }
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
    if (!WriteController(port, file.get(), link, why) || !ReadController(port, back.get(), link, why)) {
        PrintError(why);
        return ExitFailed;
    }
    // The read-back: each of the 48 bytes as written.
    QStringList wrong;
    for (int a = 0; a < kSettingsCells; ++a) {
        const QString w = file[a].data().toUpper(), r = back[a].data().toUpper();
        if (w != r)
            wrong << QStringLiteral("cell %1: wrote %2, read back %3").arg(HexByte(a), w, r);
    }
    if (!wrong.isEmpty()) {
        for (const QString &line : wrong)
            PrintOut(line);
        PrintError(QStringLiteral("%1: after the write the controller does not hold the values of %2").arg(name, path));
        return ExitFailed;
    }
    PrintOut(QStringLiteral("%1 holds the settings of %2.").arg(name, path));
    return ExitOk;
}

// ---------------------------------------------------------------- diff

int CmdDiff(const QStringList &args)
{
    CommandParser cmd(
        QStringLiteral("diff"), QStringLiteral("A B [--json]"),
        QStringLiteral("Compares two sets of settings, each a .qvd file or a controller (COMn), and\n"
                       "prints each setting that differs: its name as the editor shows it, A's value\n"
                       "and B's value in the input type's unit (\"-\": A or B has no such setting, its\n"
                       "input type is another). Two counts that show the same value carry the count in\n"
                       "brackets. A file counts as Qelvo would write it. Exit status 0 when they are\n"
                       "the same, 1 when they differ, 2 on any error."));
    const QCommandLineOption json(QStringLiteral("json"), QStringLiteral("Prints the differences as JSON."));
    cmd.add(json);
    cmd.addTimeout();
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (cmd.args().size() != 2)
        return cmd.usage(QStringLiteral("diff needs two arguments, each a .qvd file or COMn"));

    CliLinkScope scope;
    LinkOptions link = cmd.link();
    link.progress = StderrIsTerminal();
    QList<SettingItem> sides[2];
    for (int i = 0; i < 2; ++i) {
        const QString what = cmd.args().at(i);
        Image image = newImage();
        QString why;
        const int port = ParseComPort(what);
        const bool ok = port > 0 ? readPort(port, image.get(), link, why) : loadQvdForWriting(what, image.get(), why);
        if (!ok || !settingsOf(image.get(), what, sides[i], why)) {
            PrintError(why);
            return ExitUsage;
        }
    }
    const QList<SettingDiff> diffs = DiffSettings(sides[0], sides[1]);
    if (cmd.p().isSet(json)) {
        QJsonArray list;
        for (const SettingDiff &d : diffs)
            list.append(QJsonObject{{QStringLiteral("setting"), d.name}, {QStringLiteral("a"), d.a}, {QStringLiteral("b"), d.b}});
        const QJsonObject o{{QStringLiteral("a"), cmd.args().at(0)},
                            {QStringLiteral("b"), cmd.args().at(1)},
                            {QStringLiteral("same"), diffs.isEmpty()},
                            {QStringLiteral("differences"), list}};
        fputs(QJsonDocument(o).toJson(QJsonDocument::Indented).constData(), stdout);
    } else {
        QList<QStringList> rows;
        for (const SettingDiff &d : diffs)
            rows.append({d.name, shown(d.a), shown(d.b)});
        for (const QString &line : AlignColumns(rows))
            PrintOut(line);
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
                       "or when the link is lost (1)."));
    const QCommandLineOption interval(QStringLiteral("interval"),
                                      QStringLiteral("Milliseconds between readings, 20 to 2000 (default 1000)."),
                                      QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption count(QStringLiteral("count"), QStringLiteral("Ends after N readings."),
                                   QStringLiteral("N"));
    cmd.add(interval);
    cmd.add(count);
    cmd.addTimeout();
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
    if (!MonitorController(port, ms, n, why)) {
        PrintError(why);
        return ExitFailed;
    }
    return ExitOk;
}

// ---------------------------------------------------------------- sheet

int CmdSheet(const QStringList &args)
{
    CommandParser cmd(
        QStringLiteral("sheet"), QStringLiteral("FILE.qvd -o SHEET.pdf|SHEET.html"),
        QStringLiteral("Makes the settings sheet of a .qvd file, the page Qelvo prints: every value the\n"
                       "editor shows, the input type, the file name and the date. The name of the\n"
                       "output chooses the form: .pdf (A4) or .html."));
    const QCommandLineOption out({QStringLiteral("o"), QStringLiteral("output")},
                                 QStringLiteral("The sheet to write: SHEET.pdf or SHEET.html."),
                                 QStringLiteral("SHEET"));
    cmd.add(out);
    if (const int rc = cmd.parse(args); rc >= 0)
        return rc;
    if (cmd.args().size() != 1)
        return cmd.usage(QStringLiteral("sheet needs one .qvd file"));
    const QString target = cmd.p().value(out);
    const QString suffix = QFileInfo(target).suffix().toLower();
    const bool pdf = suffix == QLatin1String("pdf");
    if (target.isEmpty() || (!pdf && suffix != QLatin1String("html") && suffix != QLatin1String("htm")))
        return cmd.usage(QStringLiteral("sheet needs -o SHEET.pdf or -o SHEET.html"));

    const QString path = cmd.args().first();
    QString why;
    Image image = newImage();
    if (!loadQvd(path, image.get(), why)) {
        PrintError(why);
        return ExitFailed;
    }
    QString html;
    FileError e;
    if (!SheetHtml(image.get(), GetPathFile(QDir::fromNativeSeparators(path)), Now(), html, e)) {
        PrintError(QStringLiteral("%1: the settings cannot be shown (%2)").arg(path, e.description));
        return ExitFailed;
    }
    e = pdf ? SheetPdfFile(html, GetPathFile(path), target) : SheetHtmlFile(html, target);
    if (e.failed()) {
        PrintError(QStringLiteral("%1: cannot write the file (%2)").arg(target, e.description));
        return ExitFailed;
    }
    return ExitOk;
}
