#pragma once
// Debian's mosquitto for the suites that need a broker: started on a configuration file the
// suite writes, and waited for until it takes connections on 127.0.0.1.
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTcpSocket>
#include <QTest>

inline QString MosquittoProgram()
{
    return QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/local/sbin", "/usr/bin"});
}

// Whether something takes connections on 127.0.0.1:port within ms.
inline bool WaitForListener(quint16 port, int ms = 5000)
{
    QTcpSocket probe;
    return QTest::qWaitFor(
        [&] {
            probe.abort();
            probe.connectToHost(QHostAddress::LocalHost, port);
            return probe.waitForConnected(100);
        },
        ms);
}

// mosquitto started on the configuration conf; true once it listens on 127.0.0.1:port.
inline bool StartMosquitto(QProcess &proc, const QString &conf, quint16 port, int ms = 5000)
{
    proc.start(MosquittoProgram(), {"-c", conf});
    return proc.waitForStarted(ms) && WaitForListener(port, ms);
}
