// The process entry: the command line, the application object, the real platform
// services, then Main.
#include "app/modCommandLine.h"
#include "app/modStartup.h"
#include "link/modComm1.h"
#include "platform/MappedSerialPort.h"
#include "platform/QtDialogs.h"
#include "platform/SerialPort.h"
#include "qelvo_version.h"

#include <QApplication>

#include <cstdio>

namespace {
// Prints what the command line answered; true when the tool is to start.
bool report(const CommandLineOutcome &o)
{
    std::fputs(o.out.toLocal8Bit().constData(), stdout);
    std::fputs(o.err.toLocal8Bit().constData(), stderr);
    return o.start;
}
} // namespace

int main(int argc, char *argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    // --help and --version need no display.
    if (const CommandLineOutcome early = CommandLineBeforeApp(args); !report(early))
        return early.exitCode;

    QApplication app(argc, argv);
    if (const CommandLineOutcome rest = CommandLineAfterApp(QCoreApplication::arguments()); !report(rest))
        return rest.exitCode;
    QApplication::setApplicationName(QStringLiteral("Qelvo"));
    QApplication::setApplicationVersion(QStringLiteral(QELVO_VERSION));
    // The desktop entry's name, so that the desktop matches the windows to it.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.orvanelle.Qelvo"));
    InstallApplicationFont();
    // The boxes and dialogs are Qt's own windows.
    QtDialogs boxes;
    installDialogs(&boxes);
    // COM n opens as what it is mapped to: a serial device or a device server on the network.
    MappedSerialPort port;
    installSerialPort(&port);
    Main();
    const int rc = app.exec();
    g_subCommPortClose();
    installSerialPort(nullptr);
    installDialogs(nullptr);
    return rc;
}
