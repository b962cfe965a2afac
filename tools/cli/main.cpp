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
    // The command is the first word that is no option.
    QString command;
    for (int i = 1; i < args.size() && command.isEmpty(); ++i)
        if (!args[i].startsWith(QLatin1Char('-')))
            command = args[i];
    if (command.isEmpty()) {
        if (args.contains(QStringLiteral("--version")) || args.contains(QStringLiteral("-v"))) {
            printf("qelvo-cli %s\n", QELVO_VERSION);
            return ExitOk;
        }
        const bool asked = args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"));
        fputs(CliHelpText().toUtf8().constData(), asked ? stdout : stderr);
        return asked ? ExitOk : ExitUsage;
    }
    if (!CliCommandNames().contains(command)) {
        PrintError(QStringLiteral("unknown command '%1'; see qelvo-cli --help").arg(command));
        return ExitUsage;
    }

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
    args = QCoreApplication::arguments();

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
    return CmdSheet(args);
}
