#include "fleet/WatchConfig.h"

#include "fleet/IniFile.h"
#include "fleet/MqttClient.h"
#include "platform/ComPorts.h"
#include "platform/NetListen.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>
#include <QRegularExpression>
#include <QSysInfo>
#include <algorithm>
#include <memory>

namespace {

const QStringList kWatchKeys = {"log_folder", "interval_ms", "state_dir", "max_shelve_min", "audit_time"};
const QStringList kNotifyKeys = {"exec", "exec_timeout_s", "renotify_min", "webhook", "webhook_timeout_s",
                                 "webhook_tries"};
const QStringList kMqttKeys = {"url", "topic_prefix", "client_id", "username", "password_file", "ca_file", "queue_limit",
                               "backlog_rate", "homeassistant_discovery", "insecure_file_modes"};
const QStringList kSiteKeys = {"interval_ms", "title", "input_type", "warn_outputs", "golden", "maintenance_port"};
const QStringList kMaintenanceKeys = {"listen", "idle_min", "allow"};
constexpr int kMaxAllow = 64;
constexpr double kMaxIdleMin = 24 * 60;
constexpr int kMaxQueueLimit = 1000000;
constexpr int kMaxTextLength = 100;

class Reader {
public:
    Reader(const QString &path, const QString &dataFolder, WatchLoad mode)
        : m_path(path), m_dataFolder(dataFolder), m_mode(mode)
    {
    }
    std::optional<WatchSettings> read(QStringList *faults);

private:
    void fault(int line, const QString &text) { m_ini.fault(line, text); }
    bool has(const QString &group, const QString &key) const { return m_ini.has(group, key); }
    int lineOf(const QString &group, const QString &key = {}) const { return m_ini.lineOf(group, key); }
    QString text(const QString &group, const QString &key) { return m_ini.text(group, key); }
    int number(const QString &group, const QString &key, int lo, int hi, int fallback)
    {
        return m_ini.number(group, key, lo, hi, fallback);
    }
    QString path(const QString &group, const QString &key, const QString &fallback)
    {
        return m_ini.filePath(group, key, fallback);
    }
    // true or false; false when the key is missing or empty.
    bool flag(const QString &group, const QString &key);
    // A file of secrets or of trust that others than its owner and group may read (or, for
    // trust, write): a fault with its line.
    void checkMode(const QString &group, const QString &key, const QString &path, bool secret);
    void readMqtt(WatchSettings &s);
    void readNotify(WatchSettings &s);
    void readSites(WatchSettings &s);
    void readMaintenance(WatchSettings &s);
    void siteMaintenance(const WatchSettings &s, WatchSite &site, int index, QHash<int, QString> &users);

    void readGolden(WatchSite &site);

    QString m_path;
    QString m_dataFolder;
    WatchLoad m_mode;
    IniFile m_ini;
};

bool Reader::flag(const QString &group, const QString &key)
{
    const QString t = text(group, key).toLower();
    if (t.isEmpty() || t == QLatin1String("false"))
        return false;
    if (t == QLatin1String("true"))
        return true;
    fault(lineOf(group, key), QStringLiteral("%1=%2: write true or false").arg(key, t.left(40)));
    return false;
}

void Reader::checkMode(const QString &group, const QString &key, const QString &path, bool secret)
{
    // The modes of the file itself, behind any symbolic link (as a CA in /etc/ssl/certs).
    const QFileDevice::Permissions p = QFileInfo(path).permissions();
    static const QFileDevice::Permission bits[9] = {
        QFileDevice::ReadOwner, QFileDevice::WriteOwner, QFileDevice::ExeOwner, QFileDevice::ReadGroup, QFileDevice::WriteGroup,
        QFileDevice::ExeGroup,  QFileDevice::ReadOther,  QFileDevice::WriteOther, QFileDevice::ExeOther};
    int bitsSet = 0;
    for (int i = 0; i < 9; ++i)
        if (p & bits[i])
            bitsSet |= 0400 >> i;
    const QString mode = QString::number(bitsSet, 8).rightJustified(4, QLatin1Char('0'));
    if (secret && (p & QFileDevice::ReadOther))
        fault(lineOf(group, key), QStringLiteral("%1=%2: every user may read the password (mode %3): "
                                                 "chmod o-rwx it (or set insecure_file_modes=true)")
                                      .arg(key, text(group, key), mode));
    else if (!secret && (p & QFileDevice::WriteOther))
        fault(lineOf(group, key), QStringLiteral("%1=%2: every user may write the certificate authority (mode %3): "
                                                 "chmod o-w it (or set insecure_file_modes=true)")
                                      .arg(key, text(group, key), mode));
}

std::optional<WatchSettings> Reader::read(QStringList *faults)
{
    const auto finish = [&]() -> std::optional<WatchSettings> {
        if (faults)
            *faults << m_ini.faults();
        return std::nullopt;
    };
    m_ini.setOutsideGroupHint(QStringLiteral("put it under [watch], [mqtt], [notify], [maintenance], [sites] or a site's group"));
    if (!m_ini.read(m_path, kWatchFileLimit))
        return finish();

    WatchSettings s;
    for (const QString &group : m_ini.groups()) {
        const QStringList *known = group == QLatin1String("watch") ? &kWatchKeys
                                   : group == QLatin1String("mqtt") ? &kMqttKeys
                                   : group == QLatin1String("notify") ? &kNotifyKeys
                                   : group == QLatin1String("maintenance") ? &kMaintenanceKeys
                                   : group == QLatin1String("sites") ? nullptr
                                   : has(QStringLiteral("sites"), group) ? &kSiteKeys
                                                                        : nullptr;
        if (!known && group != QLatin1String("sites")) {
            fault(lineOf(group), QStringLiteral("[%1] is no group of this file and names no site of [sites]").arg(group));
            continue;
        }
        if (known)
            m_ini.onlyKeys(group, *known);
    }
    s.logFolder = path(QStringLiteral("watch"), QStringLiteral("log_folder"), m_dataFolder + QStringLiteral("/logs"));
    s.intervalMs = number(QStringLiteral("watch"), QStringLiteral("interval_ms"), kWatchIntervalMin, kWatchIntervalMax, 1000);
    // Under systemd the unit's StateDirectory= (the first, if it names several).
    const QString systemState = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    s.stateDir = path(QStringLiteral("watch"), QStringLiteral("state_dir"),
                      systemState.isEmpty() ? m_dataFolder + QStringLiteral("/state") : QDir::cleanPath(systemState));
    s.maxShelveMin = number(QStringLiteral("watch"), QStringLiteral("max_shelve_min"), 1, kWatchMaxShelveMin, 480);
    if (const QString at = text(QStringLiteral("watch"), QStringLiteral("audit_time")); !at.isEmpty()) {
        static const QRegularExpression hhmm(QStringLiteral("^([01]?[0-9]|2[0-3]):([0-5][0-9])$"));
        const QRegularExpressionMatch m = hhmm.match(at);
        if (m.hasMatch())
            s.auditMinute = m.captured(1).toInt() * 60 + m.captured(2).toInt();
        else
            fault(lineOf(QStringLiteral("watch"), QStringLiteral("audit_time")),
                  QStringLiteral("audit_time=%1: write the local time of the daily audit as HH:MM").arg(at.left(40)));
    }
    readMqtt(s);
    readNotify(s);
    readMaintenance(s);
    readSites(s);
    if (m_ini.failed())
        return finish();
    return s;
}

void Reader::readMqtt(WatchSettings &s)
{
    const QString g = QStringLiteral("mqtt");
    if (!m_ini.groups().contains(g))
        return;
    WatchMqtt m;
    m.url = text(g, QStringLiteral("url"));
    MqttUrl url;
    QString why;
    if (m.url.isEmpty()) {
        fault(lineOf(g), QStringLiteral("[mqtt] has no url: write url=mqtt://HOST:PORT or mqtts://HOST:PORT"));
    } else if (!ParseMqttUrl(m.url, &url, &why)) {
        fault(lineOf(g, QStringLiteral("url")), QStringLiteral("url=%1").arg(why));
    } else {
        m.tls = url.tls;
        m.host = url.host;
        m.port = url.port;
    }
    m.topicPrefix = text(g, QStringLiteral("topic_prefix"));
    if (m.topicPrefix.isEmpty())
        m.topicPrefix = QStringLiteral("qelvo");
    static const QRegularExpression prefix(QStringLiteral("^[^/+#\\x00-\\x1f]+(/[^/+#\\x00-\\x1f]+)*$"));
    if (!prefix.match(m.topicPrefix).hasMatch() || m.topicPrefix.size() > kMaxTextLength)
        fault(lineOf(g, QStringLiteral("topic_prefix")),
              QStringLiteral("topic_prefix=%1 is no topic prefix (levels between /, without + and #, at most %2 characters)")
                  .arg(m.topicPrefix.left(kMaxTextLength)).arg(kMaxTextLength));
    m.clientId = text(g, QStringLiteral("client_id"));
    if (m.clientId.isEmpty())
        m.clientId = QStringLiteral("qelvo-watchd-") + QSysInfo::machineHostName();
    for (const QString &key : {QStringLiteral("client_id"), QStringLiteral("username")})
        if (text(g, key).size() > kMaxTextLength)
            fault(lineOf(g, key), QStringLiteral("%1 is longer than %2 characters").arg(key).arg(kMaxTextLength));
    m.username = text(g, QStringLiteral("username"));
    m.insecureFileModes = flag(g, QStringLiteral("insecure_file_modes"));
    m.passwordFile = path(g, QStringLiteral("password_file"), QString());
    if (!m.passwordFile.isEmpty()) {
        if (!ReadPasswordFile(m.passwordFile, &m.password, &why))
            fault(lineOf(g, QStringLiteral("password_file")), QStringLiteral("password_file=%1: %2").arg(text(g, QStringLiteral("password_file")), why));
        else if (m.username.isEmpty())
            fault(lineOf(g, QStringLiteral("password_file")), QStringLiteral("password_file needs a username"));
        else if (!m.insecureFileModes)
            checkMode(g, QStringLiteral("password_file"), m.passwordFile, true);
    }
    m.caFile = path(g, QStringLiteral("ca_file"), QString());
    if (!m.caFile.isEmpty() && !QFileInfo(m.caFile).isReadable())
        fault(lineOf(g, QStringLiteral("ca_file")), QStringLiteral("ca_file=%1: %2").arg(text(g, QStringLiteral("ca_file")),
              QFileInfo::exists(m.caFile) ? QStringLiteral("the file cannot be read") : QStringLiteral("the file does not exist")));
    else if (!m.caFile.isEmpty() && !m.insecureFileModes)
        checkMode(g, QStringLiteral("ca_file"), m.caFile, false);
    if (m.tls && m.caFile.isEmpty())
        fault(lineOf(g, QStringLiteral("url")), QStringLiteral("url=%1 needs ca_file, the certificate authority that signed the broker's certificate").arg(m.url));
    m.queueLimit = number(g, QStringLiteral("queue_limit"), 1, kMaxQueueLimit, 0);
    m.backlogRate = number(g, QStringLiteral("backlog_rate"), 1, kWatchBacklogRateMax, kWatchBacklogRate);
    m.homeAssistant = flag(g, QStringLiteral("homeassistant_discovery"));
    s.mqtt = m;
}

void Reader::readNotify(WatchSettings &s)
{
    const QString g = QStringLiteral("notify");
    if (!m_ini.groups().contains(g))
        return;
    WatchNotify &n = s.notify;
    // As written: a word with blanks is in double quotes, which QSettings would take away.
    n.exec = m_ini.raw(g, QStringLiteral("exec"));
    if (!n.exec.isEmpty()) {
        const int line = lineOf(g, QStringLiteral("exec"));
        const QStringList words = QProcess::splitCommand(n.exec);
        const QString program = words.value(0);
        // A bare name is looked for on PATH; a path is taken from the file's folder.
        const QString found = program.contains(QLatin1Char('/'))
                                  ? QDir::cleanPath(QFileInfo(m_path).absoluteDir().absoluteFilePath(program))
                                  : QStandardPaths::findExecutable(program);
        const QFileInfo fi(found);
        if (words.isEmpty() || words.first().isEmpty() || n.exec.size() > 1000)
            fault(line, QStringLiteral("exec=%1: write the program and its arguments (no shell; sh -c \"...\" for one)")
                            .arg(n.exec.left(100)));
        else if (found.isEmpty())
            fault(line, QStringLiteral("exec=%1: %2 is not found on PATH").arg(n.exec.left(100), program));
        else if (!fi.exists())
            fault(line, QStringLiteral("exec=%1: %2: the file does not exist").arg(n.exec.left(100), program));
        else if (!fi.isFile() || !fi.isExecutable())
            fault(line, QStringLiteral("exec=%1: %2: the file is no program that can be run").arg(n.exec.left(100), program));
        else {
            n.execProgram = fi.absoluteFilePath();
            n.execArgs = words.mid(1);
        }
    }
    n.execTimeoutS = number(g, QStringLiteral("exec_timeout_s"), 1, 3600, 30);
    n.renotifyMin = number(g, QStringLiteral("renotify_min"), 0, 10080, 0);
    n.webhook = text(g, QStringLiteral("webhook"));
    if (!n.webhook.isEmpty()) {
        const QUrl url(n.webhook, QUrl::StrictMode);
        if (!url.isValid() || (url.scheme() != QLatin1String("http") && url.scheme() != QLatin1String("https")) ||
            url.host().isEmpty() || n.webhook.size() > 2000)
            fault(lineOf(g, QStringLiteral("webhook")),
                  QStringLiteral("webhook=%1 is no http:// or https:// address").arg(n.webhook.left(100)));
    }
    n.webhookTimeoutS = number(g, QStringLiteral("webhook_timeout_s"), 1, 300, 10);
    n.webhookTries = number(g, QStringLiteral("webhook_tries"), 1, 100, 8);
}

void Reader::readSites(WatchSettings &s)
{
    const QString g = QStringLiteral("sites");
    if (!m_ini.groups().contains(g)) {
        fault(0, QStringLiteral("no [sites] group: name each site and its port there (NAME=COMn, tcp://HOST:PORT or rfc2217://HOST:PORT)"));
        return;
    }
    const QStringList names = m_ini.keys(g);
    if (names.isEmpty())
        fault(lineOf(g), QStringLiteral("[sites] lists no site"));
    if (names.size() > kWatchMaxSites)
        fault(lineOf(g), QStringLiteral("[sites] lists %1 sites; at most %2").arg(names.size()).arg(kWatchMaxSites));
    static const QRegularExpression siteName(QStringLiteral("^[A-Za-z0-9_-]{1,40}$"));
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]?)$"), QRegularExpression::CaseInsensitiveOption);
    QHash<QString, QString> portUser; // a port, lower case: the site that has it
    QHash<int, QString> maintenanceUser; // a maintenance port: the site that has it
    for (const QString &name : names.mid(0, kWatchMaxSites)) {
        const int line = lineOf(g, name);
        if (!siteName.match(name).hasMatch()) {
            fault(line, QStringLiteral("\"%1\" is no site name (letters, digits, _ and -, at most 40)").arg(name.left(60)));
            continue;
        }
        if (const QString why = ReservedSiteName(name); !why.isEmpty()) {
            fault(line, QStringLiteral("\"%1\" %2 and cannot name a site").arg(name, why));
            continue;
        }
        WatchSite site;
        site.name = name;
        const QString port = text(g, name);
        const QRegularExpressionMatch cm = com.match(port);
        if (cm.hasMatch()) {
            site.kind = WatchSite::PortKind::Com;
            site.comPort = cm.captured(1).toInt();
            site.port = QStringLiteral("COM%1").arg(site.comPort);
        } else if (port.contains(QLatin1String("://"))) {
            const ComPortMapping m = ParseComPortAddress(port.toUtf8());
            if (!m.network()) {
                fault(line, QStringLiteral("%1=%2: %3").arg(name, port.left(100), m.problem));
                continue;
            }
            site.kind = m.kind == ComPortMapping::Kind::Tcp ? WatchSite::PortKind::Tcp : WatchSite::PortKind::Rfc2217;
            site.host = m.host;
            site.tcpPort = m.port;
            site.port = m.url();
        } else {
            fault(line, QStringLiteral("%1=%2 is no port: write COM1-COM99, tcp://HOST:PORT or rfc2217://HOST:PORT").arg(name, port.left(100)));
            continue;
        }
        // Raw TCP and RFC 2217 at one address are the same line of the device server.
        const QString key = site.port.toLower().section(QLatin1String("://"), -1);
        if (portUser.contains(key)) {
            const QString other = portUser[key];
            fault(line, QStringLiteral("%1=%2: %3 is already the port of %4 (line %5)").arg(name, port, site.port, other).arg(lineOf(g, other)));
            continue;
        }
        portUser[key] = name;
        site.intervalMs = number(name, QStringLiteral("interval_ms"), kWatchIntervalMin, kWatchIntervalMax, s.intervalMs);
        site.title = text(name, QStringLiteral("title"));
        if (site.title.size() > kMaxTextLength)
            fault(lineOf(name, QStringLiteral("title")), QStringLiteral("title is longer than %1 characters").arg(kMaxTextLength));
        site.inputType = number(name, QStringLiteral("input_type"), 1, 5, 0);
        const QString warn = text(name, QStringLiteral("warn_outputs"));
        if (!warn.isEmpty()) {
            const std::optional<quint8> mask = ParseOutputList(warn);
            if (mask)
                site.warnOutputs = *mask;
            else
                fault(lineOf(name, QStringLiteral("warn_outputs")),
                      QStringLiteral("warn_outputs=%1: write the outputs 1-8 that are warning stages, as 1 2 5, or none")
                          .arg(warn.left(100)));
        }
        readGolden(site);
        siteMaintenance(s, site, s.sites.size(), maintenanceUser);
        if (s.mqtt)
            site.queueLimit = s.mqtt->queueLimit > 0 ? s.mqtt->queueLimit : (3600000 + site.intervalMs - 1) / site.intervalMs;
        s.sites << site;
    }
}

void Reader::readGolden(WatchSite &site)
{
    const QString key = QStringLiteral("golden");
    if (text(site.name, key).isEmpty())
        return;
    site.golden = path(site.name, key, QString());
    QByteArray bytes;
    const FileError e = ReadWholeFile(site.golden, bytes, kUserFileBytes + 1);
    QString why;
    if (e.number == errFileNotFound || e.number == errPathNotFound)
        why = QStringLiteral("the file does not exist");
    else if (e.number == errOutOfMemory || bytes.size() > kUserFileBytes)
        why = QStringLiteral("the file is larger than a .qvd file");
    else if (e.failed())
        why = QStringLiteral("the file cannot be read: %1").arg(e.description);
    else
        site.goldenCells = GoldenCells(bytes, &why);
    if (why.isEmpty())
        return;
    site.goldenCells.clear();
    if (m_mode == WatchLoad::GoldenProblemsKept)
        site.goldenProblem = why;
    else
        fault(lineOf(site.name, key), QStringLiteral("golden=%1: %2").arg(text(site.name, key).left(200), why));
}

void Reader::readMaintenance(WatchSettings &s)
{
    const QString g = QStringLiteral("maintenance");
    if (!m_ini.groups().contains(g))
        return;
    WatchMaintenance &m = s.maintenance;
    const QString listen = text(g, QStringLiteral("listen"));
    if (!listen.isEmpty()) {
        static const QRegularExpression hostPort(QStringLiteral("^(\\[[0-9A-Fa-f:.]+\\]|[0-9.]+|localhost):([0-9]{1,5})$"));
        const QRegularExpressionMatch hm = hostPort.match(listen);
        const int port = hm.hasMatch() ? hm.captured(2).toInt() : 0;
        QString host = hm.captured(1);
        if (host.startsWith(QLatin1Char('[')))
            host = host.mid(1, host.size() - 2);
        NetBlock check;
        if (!hm.hasMatch() || port < 1 || port > 65535 ||
            (host != QLatin1String("localhost") && !NetBlock::parse(host, &check, nullptr))) {
            fault(lineOf(g, QStringLiteral("listen")),
                  QStringLiteral("listen=%1: write the address and the first site's port, as 127.0.0.1:7000 or [::1]:7000")
                      .arg(listen.left(100)));
        } else {
            m.host = host == QLatin1String("localhost") ? QStringLiteral("127.0.0.1") : host;
            m.basePort = port;
        }
    }
    const QString idle = text(g, QStringLiteral("idle_min"));
    if (!idle.isEmpty()) {
        bool ok = false;
        const double min = idle.toDouble(&ok);
        if (!ok || !(min > 0) || min > kMaxIdleMin)
            fault(lineOf(g, QStringLiteral("idle_min")),
                  QStringLiteral("idle_min=%1: write the minutes a silent client keeps a line, more than 0 and at most %2")
                      .arg(idle.left(40))
                      .arg(kMaxIdleMin));
        else
            m.idleMs = qMax(1000, int(min * 60000 + 0.5));
    }
    const QString allow = text(g, QStringLiteral("allow"));
    if (!allow.isEmpty()) {
        static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
        const QStringList blocks = allow.split(separators, Qt::SkipEmptyParts);
        if (blocks.size() > kMaxAllow)
            fault(lineOf(g, QStringLiteral("allow")), QStringLiteral("allow= names %1 address blocks; at most %2").arg(blocks.size()).arg(kMaxAllow));
        for (const QString &b : blocks.mid(0, kMaxAllow)) {
            NetBlock nb;
            QString why;
            if (!NetBlock::parse(b, &nb, &why))
                fault(lineOf(g, QStringLiteral("allow")), QStringLiteral("allow=: %1").arg(why.left(120)));
            else
                m.allow << nb.text;
        }
    }
    if (!IsLoopbackHost(m.host) && m.allow.isEmpty())
        fault(lineOf(g, QStringLiteral("listen")),
              QStringLiteral("listen=%1 is not the loopback address: name the clients taken with allow= (as 10.1.0.0/16), "
                             "or reach the loopback address through an SSH tunnel")
                  .arg(listen.left(100)));
}

void Reader::siteMaintenance(const WatchSettings &s, WatchSite &site, int index, QHash<int, QString> &users)
{
    const QString key = QStringLiteral("maintenance_port");
    int port = 0;
    if (has(site.name, key)) {
        port = number(site.name, key, 1, 65535, 0);
    } else if (s.maintenance.basePort > 0) {
        port = s.maintenance.basePort + index;
        if (port > 65535) {
            fault(lineOf(QStringLiteral("sites"), site.name),
                  QStringLiteral("%1: the maintenance port %2 + %3 is past 65535; give the site a maintenance_port=")
                      .arg(site.name)
                      .arg(s.maintenance.basePort)
                      .arg(index));
            return;
        }
    }
    if (port <= 0)
        return;
    if (users.contains(port)) {
        const QString other = users[port];
        const int line = has(site.name, key) ? lineOf(site.name, key) : lineOf(QStringLiteral("sites"), site.name);
        fault(line, QStringLiteral("%1: the maintenance port %2 is already the one of %3").arg(site.name).arg(port).arg(other));
        return;
    }
    users[port] = site.name;
    site.maintenanceHost = s.maintenance.host;
    site.maintenancePort = quint16(port);
}

} // namespace

bool WatchSite::sameWatch(const WatchSite &o) const
{
    WatchSite a = *this, b = o;
    a.golden = b.golden;
    a.goldenCells = b.goldenCells;
    a.goldenProblem = b.goldenProblem;
    return a == b;
}

QByteArray GoldenCells(const QByteArray &fileBytes, QString *why)
{
    // The whole image, as the editor's Open reads it, for a moment.
    const std::unique_ptr<MemCell[]> image(new MemCell[kImageCells]);
    FileError e;
    if (!ParseUserFile(fileBytes, image.get(), e) || !ImageShowable(image.get(), e)) {
        if (why)
            *why = QStringLiteral("not a .qvd file the editor can show (%1)").arg(e.description.simplified());
        return {};
    }
    QByteArray cells;
    cells.reserve(2 * kSettingsCells);
    for (int a = 0; a < kSettingsCells; ++a)
        cells += QByteArray(image[a].Data.data(), 2).toUpper();
    return cells;
}

QString WatchSite::maintenanceUrl() const
{
    if (maintenancePort == 0)
        return {};
    const QString h = maintenanceHost.contains(QLatin1Char(':')) ? QLatin1Char('[') + maintenanceHost + QLatin1Char(']')
                                                                 : maintenanceHost;
    return QStringLiteral("rfc2217://%1:%2").arg(h).arg(maintenancePort);
}

std::optional<WatchSettings> LoadWatchConfig(const QString &path, const QString &dataFolder, QStringList *faults,
                                             WatchLoad mode)
{
    QString folder = dataFolder;
    while (folder.endsWith(QLatin1Char('/')) && folder.size() > 1)
        folder.chop(1);
    return Reader(path, folder, mode).read(faults);
}

std::optional<quint8> ParseOutputList(const QString &text)
{
    const QString t = text.trimmed();
    if (t.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
        return quint8(0);
    quint8 mask = 0;
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    const QStringList parts = t.split(separators);
    if (parts.size() > 8)
        return std::nullopt;
    for (const QString &part : parts) {
        bool ok = false;
        const int ch = part.toInt(&ok);
        if (!ok || ch < 1 || ch > 8)
            return std::nullopt;
        mask |= quint8(1u << (ch - 1));
    }
    return mask;
}

QString OutputListText(quint8 mask)
{
    QStringList parts;
    for (int ch = 1; ch <= 8; ++ch)
        if ((mask >> (ch - 1)) & 1)
            parts << QString::number(ch);
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QLatin1Char(','));
}

WatchDiff DiffWatchConfig(const WatchSettings &before, const WatchSettings &after)
{
    WatchDiff d;
    QHash<QString, const WatchSite *> old;
    for (const WatchSite &s : before.sites)
        old[s.name] = &s;
    QSet<QString> kept;
    for (const WatchSite &s : after.sites) {
        const WatchSite *o = old.value(s.name);
        if (!o)
            d.added << s.name;
        else if (!o->sameWatch(s))
            d.changed << s.name;
        else if (!(*o == s))
            d.goldenChanged << s.name;
        kept << s.name;
    }
    for (const WatchSite &s : before.sites)
        if (!kept.contains(s.name))
            d.removed << s.name;
    d.mqttChanged = before.mqtt != after.mqtt;
    d.logFolderChanged = before.logFolder != after.logFolder;
    d.auditTimeChanged = before.auditMinute != after.auditMinute;
    d.maintenanceChanged = before.maintenance.idleMs != after.maintenance.idleMs ||
                           before.maintenance.allow != after.maintenance.allow;
    d.alarmsChanged = before.stateDir != after.stateDir || before.maxShelveMin != after.maxShelveMin ||
                      before.notify != after.notify;
    return d;
}

QString ReservedSiteName(const QString &name)
{
    // A site's name is a group of the file ([NAME]) and a level of its topics
    // (<prefix>/<site>/reading): it can be neither a group of the file's own nor the level
    // under which the watchers publish their own state (<prefix>/watchd/<client id>).
    if (name == QLatin1String("watch") || name == QLatin1String("mqtt") || name == QLatin1String("sites") ||
        name == QLatin1String("notify") || name == QLatin1String("maintenance"))
        return QStringLiteral("is a group of this file");
    // <prefix>/command/<user>/... are the users' commands: a site's topics there could be
    // written by a user named as one of them.
    if (name == QLatin1String("command"))
        return QStringLiteral("names the users' commands in the topics (<prefix>/command/<user>/<site>)");
    if (name == QLatin1String(kWatcherTopicLevel))
        return QStringLiteral("is the topic level of the watchers' own state (<prefix>/%1/<client id>)").arg(QLatin1String(kWatcherTopicLevel));
    return {};
}

bool ReadPasswordFile(const QString &path, QString *password, QString *error)
{
    const auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    QByteArray bytes;
    const FileError e = ReadWholeFile(path, bytes, kPasswordFileLimit);
    if (e.number == errFileNotFound || e.number == errPathNotFound)
        return fail(QStringLiteral("the file does not exist"));
    if (e.number == errOutOfMemory)
        return fail(QStringLiteral("the file is larger than %1 bytes for a password").arg(kPasswordFileLimit));
    if (e.failed())
        return fail(QStringLiteral("the file cannot be read: %1").arg(e.description));
    QByteArray first = bytes.left(bytes.indexOf('\n') < 0 ? bytes.size() : bytes.indexOf('\n'));
    if (first.endsWith('\r'))
        first.chop(1);
    if (first.isEmpty())
        return fail(QStringLiteral("the file holds no password on its first line"));
    if (password)
        *password = QString::fromUtf8(first);
    return true;
}
