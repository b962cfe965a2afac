// The process entry: the application object, the real platform services, then Main.
#include "link/modComm1.h"
#include "platform/QtSerialPort.h"
#include "platform/SerialPort.h"
#include "shell/modStartup.h"

#include <QApplication>
#include <QFont>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Qelvo"));
    QFont font(QStringLiteral("IPAGothic"));
    font.setPointSize(9);
    QApplication::setFont(font);
    QtSerialPort port;
    installSerialPort(&port);
    Main();
    const int rc = app.exec();
    g_subCommPortClose();
    installSerialPort(nullptr);
    return rc;
}
