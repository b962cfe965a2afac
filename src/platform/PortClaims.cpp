#include "platform/PortClaims.h"

#include "platform/ComPorts.h"

#include <QHash>

namespace {
struct Claim {
    const void *owner = nullptr;
    QString name;
};
QHash<QString, Claim> &claims()
{
    static QHash<QString, Claim> c;
    return c;
}
} // namespace

QString NetworkPortKey(const QString &host, quint16 port)
{
    return host.toLower() + QLatin1Char(':') + QString::number(port);
}

QStringList ComPortKeys(int n)
{
    QStringList keys{QStringLiteral("COM%1").arg(n)};
    const ComPortMapping m = ComPortMap(n);
    if (m.network())
        keys << NetworkPortKey(m.host, m.port);
    return keys;
}

bool PortClaims::take(const void *owner, const QString &name, const QStringList &keys, QString *holder)
{
    const QString other = holderOf(keys, owner);
    if (!other.isEmpty()) {
        if (holder)
            *holder = other;
        return false;
    }
    for (const QString &k : keys)
        claims().insert(k, Claim{owner, name});
    return true;
}

void PortClaims::release(const void *owner)
{
    for (auto it = claims().begin(); it != claims().end();)
        it = it->owner == owner ? claims().erase(it) : std::next(it);
}

QString PortClaims::holderOf(const QStringList &keys, const void *except)
{
    for (const QString &k : keys) {
        const auto it = claims().constFind(k);
        if (it != claims().cend() && it->owner != except)
            return it->name;
    }
    return QString();
}

bool PortClaims::none() { return claims().isEmpty(); }
