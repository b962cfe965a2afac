// qelvo-cli: Qelvo without windows, for scripts and for setting up many controllers: the
// COM ports, the read and write of the settings, their comparison, the input monitor and
// the settings sheet. The commands drive the same link and model code as the tool.
#include "CliCommands.h"
#include "CliText.h"

#include "qelvo_version.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdio>
#include <memory>

namespace {
// Scripts read one line per failure on stderr: Qt's own chatter (a missing runtime folder of
// the offscreen platform, font fallbacks) stays out of it; its critical and fatal messages
// still come through.
void quietQtMessages(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        fprintf(stderr, "qelvo-cli: %s\n", qPrintable(message));
}
} // namespace

int main(int argc, char *argv[])
{
    qInstallMessageHandler(quietQtMessages);
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // Before the command: the options every command takes (--help, --version, --timeout);
    // the command is the first word that is no option. They go on to the command, whose
    // parser takes them as it takes them after it.
    QString command;
    QStringList global;
    bool help = false, version = false;
    int i = 1;
    for (; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            help = true;
        } else if (a == QLatin1String("-v") || a == QLatin1String("--version")) {
            version = true;
        } else if (a == QLatin1String("--timeout") && i + 1 < args.size()) {
            global << a << args[++i];
        } else if (a == QLatin1String("--timeout")) {
            PrintError(QStringLiteral("missing value after '--timeout' (see qelvo-cli --help)"));
            return ExitUsage;
        } else if (a.startsWith(QLatin1String("--timeout="))) {
            global << a;
        } else if (a.startsWith(QLatin1Char('-')) && a != QLatin1String("-")) {
            PrintError(QStringLiteral("unknown option '%1' (see qelvo-cli --help)").arg(a.section(QLatin1Char('='), 0, 0)));
            return ExitUsage;
        } else {
            command = a;
            break;
        }
    }
    if (command.isEmpty()) {
        if (version) {
            printf("qelvo-cli %s\n", QELVO_VERSION);
            return ExitOk;
        }
        fputs(CliHelpText().toUtf8().constData(), help ? stdout : stderr);
        return help ? ExitOk : ExitUsage;
    }
    if (!CliCommandNames().contains(command)) {
        PrintError(QStringLiteral("unknown command '%1' (see qelvo-cli --help)").arg(command));
        return ExitUsage;
    }
    if (help)
        global << QStringLiteral("--help");
    else if (version)
        global << QStringLiteral("--version");

    // The sheet lays text out with fonts, which needs the GUI part of Qt, though no window:
    // the offscreen platform. The other commands need no more than the event loop.
    std::unique_ptr<QCoreApplication> app;
    if (command == QLatin1String("sheet")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("qelvo-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QELVO_VERSION));
    args = QStringList{QCoreApplication::arguments().constFirst(), command} + global + args.mid(i + 1);

    if (command == QLatin1String("ports"))
        return CmdPorts(args);
    if (command == QLatin1String("read"))
        return CmdRead(args);
    if (command == QLatin1String("write"))
        return CmdWrite(args);
    if (command == QLatin1String("diff"))
        return CmdDiff(args);
    if (command == QLatin1String("monitor"))
        return CmdMonitor(args);
    if (command == QLatin1String("audit"))
        return CmdAudit(args);
    return CmdSheet(args);
}
