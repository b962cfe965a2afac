#include "platform/ComPorts.h"

#include "platform/Paths.h"
#include "platform/QtSerialPort.h"

#include <QFileInfo>
#include <cerrno>
#include <unistd.h>

QString ComPortsFolder() { return DataFolderPath() + QStringLiteral("ports"); }

QString ComPortLink(int n) { return ComPortsFolder() + QStringLiteral("/COM%1").arg(n); }

namespace {
bool linkExists(const QString &path)
{
    const QFileInfo fi(path);
    return fi.isSymLink() || fi.exists();
}
} // namespace

QString ComPortDevice(int n)
{
    if (n < 1 || n > 99)
        return {};
    const QString link = ComPortLink(n);
    if (linkExists(link))
        return link;
    if (n <= 32)
        return QStringLiteral("/dev/ttyS%1").arg(n - 1);
    if (n <= 64)
        return QStringLiteral("/dev/ttyUSB%1").arg(n - 33);
    if (n <= 96)
        return QStringLiteral("/dev/ttyACM%1").arg(n - 65);
    return {};
}

QList<int> ComPortCandidates()
{
    QList<int> list;
    for (int n = 1; n <= 99; ++n) {
        const QString dev = ComPortDevice(n);
        if (!dev.isEmpty() && linkExists(dev))
            list.append(n);
    }
    return list;
}

bool ComPortPermissionDenied(int n)
{
    const QString dev = ComPortDevice(n);
    if (dev.isEmpty() || !QFileInfo::exists(dev))
        return false;
    return ::access(QFile::encodeName(dev).constData(), R_OK | W_OK) != 0 && errno == EACCES;
}

bool ComPortPermissionDenied(const CommError &e) { return e.number == comPortAccessDenied; }

QString ComPortPermissionHint(int n, bool japanese)
{
    const QString dev = ComPortDevice(n);
    const QFileInfo target(QFileInfo(dev).canonicalFilePath());
    QString group = target.exists() ? target.group() : QString();
    if (group.isEmpty() || group == QLatin1String("root"))
        group = QStringLiteral("dialout");
    if (japanese)
        return QStringLiteral("COM%1 (%2) を開く権限がありません。"
                              "ユーザーを %3 グループに追加し (sudo usermod -aG %3 $USER)、"
                              "ログインし直してください。")
            .arg(n).arg(dev, group);
    return QStringLiteral("No permission to open COM%1 (%2). Add your user to the %3 group "
                          "(sudo usermod -aG %3 $USER) and log in again.")
        .arg(n).arg(dev, group);
}

ComPortDescription ComPortDescribe(int n, bool tryOpen)
{
    ComPortDescription d;
    d.port = n;
    d.device = ComPortDevice(n);
    if (d.device.isEmpty()) {
        d.detail = QStringLiteral("COM%1 names a device only through the link %2").arg(n).arg(ComPortLink(n));
        return d;
    }
    const QFileInfo fi(d.device);
    if (fi.isSymLink())
        d.target = fi.symLinkTarget();
    if (!fi.exists()) {
        d.detail = QStringLiteral("%1 does not exist").arg(d.target.isEmpty() ? d.device : d.target);
        return d;
    }
    d.state = ComPortState::Ok;
    if (!tryOpen)
        return d;
    QtSerialPort port;
    port.setCommPort(n);
    const CommError e = port.setPortOpen(true);
    port.setPortOpen(false);
    if (e.number == comPortAlreadyOpen) {
        d.state = ComPortState::InUse;
        d.detail = QStringLiteral("another program holds it");
    } else if (e.number == comPortAccessDenied) {
        d.state = ComPortState::NoPermission;
        d.detail = ComPortPermissionHint(n, false);
    } else if (e.failed()) {
        d.state = ComPortState::CannotOpen;
        d.detail = e.description;
    }
    return d;
}

QString ComPortStateName(ComPortState state)
{
    switch (state) {
    case ComPortState::Ok: return QStringLiteral("ok");
    case ComPortState::Missing: return QStringLiteral("missing");
    case ComPortState::InUse: return QStringLiteral("in use");
    case ComPortState::NoPermission: return QStringLiteral("no permission");
    case ComPortState::CannotOpen: break;
    }
    return QStringLiteral("cannot open");
}
