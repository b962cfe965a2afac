#pragma once
// Free TCP ports of 127.0.0.1 for the servers a test starts (mosquitto, qelvo-ctrlsim --tcp,
// web servers): one the kernel picks, or a run of consecutive ones.
#include <QHostAddress>
#include <QRandomGenerator>
#include <QTcpServer>

inline quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// The first of count free consecutive ports, for one qelvo-ctrlsim --tcp FIRST-LAST; 0 when
// none was found.
inline quint16 freePorts(int count)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const quint16 base = quint16(QRandomGenerator::global()->bounded(20000, 60000 - count));
        bool all = true;
        for (int i = 0; all && i < count; ++i) {
            QTcpServer s;
            all = s.listen(QHostAddress::LocalHost, quint16(base + i));
        }
        if (all)
            return base;
    }
    return 0;
}
