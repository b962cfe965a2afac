#pragma once
// Ports that one part of the program has taken for itself (the office view polls its sites on
// them): while a port is taken, no other part opens it. A port is known by its keys: "COM3",
// and the device server's line it stands for ("10.0.5.21:4001"; raw TCP and RFC 2217 at one
// address are the same line), so that COM5 mapped to a device server and a site written
// tcp://10.0.5.21:4001 are seen to be one port.
#include <QString>
#include <QStringList>

// The keys of COM n (with what ports/COM<n> maps it to) and of a device server's address.
QStringList ComPortKeys(int n);
QString NetworkPortKey(const QString &host, quint16 port);

class PortClaims {
public:
    // owner takes keys under the name shown to people ("ｻｲﾄ一覧: 観測所1"). False, taking
    // nothing, when another owner holds one of them; *holder then names that owner.
    static bool take(const void *owner, const QString &name, const QStringList &keys, QString *holder = nullptr);
    // Everything owner holds.
    static void release(const void *owner);
    // The name of the owner (other than except) that holds one of keys; empty when none does.
    static QString holderOf(const QStringList &keys, const void *except = nullptr);
    // No port is taken (the keys need not be looked up).
    static bool none();
};
