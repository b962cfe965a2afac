#include "platform/ComPorts.h"

#include "platform/Paths.h"
#include "platform/QtSerialPort.h"
#include "platform/TcpSerialPort.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
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

ComPortMapping unreadable(const QString &en, const QString &ja)
{
    ComPortMapping m;
    m.kind = ComPortMapping::Kind::Unreadable;
    m.problem = en;
    m.problemJa = ja;
    return m;
}

const QString kFormEn = QStringLiteral("write tcp://HOST:PORT or rfc2217://HOST:PORT");
const QString kFormJa = QStringLiteral("書式は tcp://ﾎｽﾄ:ﾎﾟｰﾄ番号 または rfc2217://ﾎｽﾄ:ﾎﾟｰﾄ番号 です。");

// A host name: labels of letters, digits and '-', not starting or ending with '-'.
bool isHostName(const QString &h)
{
    static const QRegularExpression re(
        QStringLiteral("^(?=.{1,253}$)([A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)(\\.[A-Za-z0-9]([A-Za-z0-9-]{0,61}[A-Za-z0-9])?)*\\.?$"));
    return re.match(h).hasMatch();
}
} // namespace

ComPortMapping ParseComPortAddress(const QByteArray &contents)
{
    QStringList lines;
    for (const QString &raw : QString::fromUtf8(contents).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            lines << line;
    }
    if (lines.isEmpty())
        return unreadable(QStringLiteral("the file holds no address; ") + kFormEn,
                          QStringLiteral("ｱﾄﾞﾚｽが書かれていません。") + kFormJa);
    if (lines.size() > 1)
        return unreadable(QStringLiteral("the file holds more than one line; ") + kFormEn,
                          QStringLiteral("ｱﾄﾞﾚｽは 1 行だけ書いてください。") + kFormJa);
    const QString line = lines.first();
    const int sep = line.indexOf(QLatin1String("://"));
    if (sep < 0)
        return unreadable(QStringLiteral("\"%1\" is no address; ").arg(line) + kFormEn,
                          QStringLiteral("\"%1\" はｱﾄﾞﾚｽではありません。").arg(line) + kFormJa);
    const QString scheme = line.left(sep).toLower();
    ComPortMapping m;
    if (scheme == QLatin1String("tcp")) {
        m.kind = ComPortMapping::Kind::Tcp;
    } else if (scheme == QLatin1String("rfc2217")) {
        m.kind = ComPortMapping::Kind::Rfc2217;
    } else {
        return unreadable(QStringLiteral("unknown scheme \"%1://\"; ").arg(line.left(sep)) + kFormEn,
                          QStringLiteral("\"%1://\" は使えません。").arg(line.left(sep)) + kFormJa);
    }
    const QString rest = line.mid(sep + 3);
    QString host, portText;
    if (rest.isEmpty())
        return unreadable(QStringLiteral("no host and port number after \"%1://\"; ").arg(scheme) + kFormEn,
                          QStringLiteral("ﾎｽﾄとﾎﾟｰﾄ番号がありません。") + kFormJa);
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return unreadable(QStringLiteral("the IPv6 address has no closing \"]\""),
                              QStringLiteral("IPv6 ｱﾄﾞﾚｽの \"]\" がありません。"));
        host = rest.mid(1, close - 1);
        const QHostAddress a(host); // null when the text is no address
        if (a.protocol() != QAbstractSocket::IPv6Protocol)
            return unreadable(QStringLiteral("\"%1\" is no IPv6 address").arg(host),
                              QStringLiteral("\"%1\" は IPv6 ｱﾄﾞﾚｽではありません。").arg(host));
        if (rest.mid(close + 1, 1) != QLatin1String(":"))
            return unreadable(QStringLiteral("no port number after the address; ") + kFormEn,
                              QStringLiteral("ﾎﾟｰﾄ番号がありません。") + kFormJa);
        portText = rest.mid(close + 2);
    } else {
        const int colon = rest.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return unreadable(QStringLiteral("no port number after the host; ") + kFormEn,
                              QStringLiteral("ﾎﾟｰﾄ番号がありません。") + kFormJa);
        host = rest.left(colon);
        portText = rest.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return unreadable(QStringLiteral("an IPv6 address is written in brackets: %1://[%2]:PORT").arg(scheme, host),
                              QStringLiteral("IPv6 ｱﾄﾞﾚｽは [ ] で囲んでください: %1://[%2]:ﾎﾟｰﾄ番号").arg(scheme, host));
        if (host.isEmpty())
            return unreadable(QStringLiteral("no host before the port number; ") + kFormEn,
                              QStringLiteral("ﾎｽﾄがありません。") + kFormJa);
        static const QRegularExpression dotted(QStringLiteral("^[0-9.]+$"));
        if (dotted.match(host).hasMatch()) {
            const QHostAddress a(host);
            if (a.protocol() != QAbstractSocket::IPv4Protocol)
                return unreadable(QStringLiteral("\"%1\" is no IPv4 address").arg(host),
                                  QStringLiteral("\"%1\" は IPv4 ｱﾄﾞﾚｽではありません。").arg(host));
        } else if (!isHostName(host)) {
            return unreadable(QStringLiteral("\"%1\" is no host name").arg(host),
                              QStringLiteral("\"%1\" はﾎｽﾄ名ではありません。").arg(host));
        }
    }
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,5}$"));
    const int port = digits.match(portText).hasMatch() ? portText.toInt() : -1;
    if (port < 1 || port > 65535)
        return unreadable(portText.isEmpty() ? QStringLiteral("no port number; ") + kFormEn
                                             : QStringLiteral("\"%1\" is no port number (1-65535)").arg(portText),
                          portText.isEmpty() ? QStringLiteral("ﾎﾟｰﾄ番号がありません。") + kFormJa
                                             : QStringLiteral("\"%1\" はﾎﾟｰﾄ番号 (1-65535) ではありません。").arg(portText));
    m.host = host;
    m.port = quint16(port);
    return m;
}

ComPortMapping ComPortMap(int n)
{
    ComPortMapping m;
    const QString link = n >= 1 && n <= 99 ? ComPortLink(n) : QString();
    // A plain file (or a link to one) holds an address; a device is no plain file.
    if (!link.isEmpty() && QFileInfo(link).isFile()) {
        QFile f(link);
        if (!f.open(QIODevice::ReadOnly)) {
            m = unreadable(QStringLiteral("cannot read the file: %1").arg(f.errorString()),
                           QStringLiteral("ﾌｧｲﾙを読めません: %1").arg(f.errorString()));
        } else if (f.size() > kComPortFileLimit) {
            m = unreadable(QStringLiteral("the file is too large for an address (%1 bytes)").arg(f.size()),
                           QStringLiteral("ｱﾄﾞﾚｽのﾌｧｲﾙとしては大きすぎます (%1 ﾊﾞｲﾄ)。").arg(f.size()));
        } else {
            m = ParseComPortAddress(f.read(kComPortFileLimit));
        }
        m.file = link;
    } else {
        m.device = ComPortDevice(n);
        m.kind = m.device.isEmpty() ? ComPortMapping::Kind::None : ComPortMapping::Kind::Device;
        if (!link.isEmpty() && linkExists(link))
            m.file = link;
    }
    m.comPort = n;
    return m;
}

QString ComPortMapping::url() const
{
    if (!network())
        return {};
    const QString h = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1://%2:%3").arg(kind == Kind::Tcp ? QStringLiteral("tcp") : QStringLiteral("rfc2217"), h)
        .arg(port);
}

QString ComPortMapping::describe(bool japanese) const
{
    switch (kind) {
    case Kind::None:
        return japanese ? QStringLiteral("COM%1 に当たるﾃﾞﾊﾞｲｽはありません。").arg(comPort)
                        : QStringLiteral("no device (COM%1 is not bound)").arg(comPort);
    case Kind::Device: {
        const QString target = QFileInfo(device).isSymLink() ? QFileInfo(device).symLinkTarget() : QString();
        if (target.isEmpty())
            return device;
        return QStringLiteral("%1 -> %2").arg(device, target);
    }
    case Kind::Tcp:
    case Kind::Rfc2217:
        return url();
    case Kind::Unreadable:
        return japanese ? QStringLiteral("%1 を使えません: %2").arg(file, problemJa)
                        : QStringLiteral("%1 cannot be used: %2").arg(file, problem);
    }
    return {};
}

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

// ---------------------------------------------------------------- probe

ComPortReach ComPortProbe(int n, int timeoutMs) { return ComPortProbe(ComPortMap(n), timeoutMs); }

ComPortReach ComPortProbe(const ComPortMapping &m, int timeoutMs)
{
    ComPortReach r;
    QElapsedTimer t;
    t.start();
    switch (m.kind) {
    case ComPortMapping::Kind::None:
        r.detail = QStringLiteral("no device");
        r.detailJa = QStringLiteral("ﾃﾞﾊﾞｲｽがありません。");
        break;
    case ComPortMapping::Kind::Unreadable:
        r.detail = m.problem;
        r.detailJa = m.problemJa;
        break;
    case ComPortMapping::Kind::Device: {
        const QFileInfo fi(m.device);
        if (!fi.exists()) {
            r.detail = fi.isSymLink() ? QStringLiteral("the link points at nothing") : QStringLiteral("no such device");
            r.detailJa = fi.isSymLink() ? QStringLiteral("ﾘﾝｸ先がありません。") : QStringLiteral("ﾃﾞﾊﾞｲｽがありません。");
        } else if (::access(QFile::encodeName(m.device).constData(), R_OK | W_OK) != 0) {
            r.detail = QStringLiteral("present, but this user may not open it");
            r.detailJa = QStringLiteral("ありますが、開く権限がありません。");
        } else {
            r.answers = true;
            r.detail = QStringLiteral("present");
            r.detailJa = QStringLiteral("あります。");
        }
        break;
    }
    case ComPortMapping::Kind::Tcp:
    case ComPortMapping::Kind::Rfc2217: {
        TcpSerialPort port;
        port.setCommPort(m.comPort);
        if (port.connectTo(m, timeoutMs).failed()) {
            r.detail = port.problem();
            r.detailJa = port.problemJa();
            break;
        }
        r.answers = true;
        const qint64 ms = t.elapsed();
        const QString line = port.lineText();
        r.detail = line.isEmpty() ? QStringLiteral("answers (connected in %1 ms)").arg(ms)
                                  : QStringLiteral("answers (connected in %1 ms; RFC 2217 line %2)").arg(ms).arg(line);
        r.detailJa = line.isEmpty() ? QStringLiteral("応答があります (%1 ms で接続)。").arg(ms)
                                    : QStringLiteral("応答があります (%1 ms で接続、RFC 2217 %2)。").arg(ms).arg(line);
        port.setPortOpen(false);
        break;
    }
    }
    r.ms = t.elapsed();
    return r;
}

ComPortDescription ComPortDescribe(int n, bool tryOpen)
{
    ComPortDescription d;
    d.port = n;
    const ComPortMapping m = ComPortMap(n);
    if (m.network() || m.kind == ComPortMapping::Kind::Unreadable) {
        // A file that maps COM n to a device server: the address, and whether it answers.
        d.device = m.file;
        d.target = m.url();
        if (m.kind == ComPortMapping::Kind::Unreadable) {
            d.state = ComPortState::CannotOpen;
            d.detail = m.problem;
            return d;
        }
        d.state = ComPortState::Ok;
        if (!tryOpen)
            return d;
        const ComPortReach r = ComPortProbe(m);
        if (!r.answers)
            d.state = ComPortState::CannotOpen;
        d.detail = r.detail;
        return d;
    }
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
