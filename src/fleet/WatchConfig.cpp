#include "fleet/WatchConfig.h"

#include "fleet/MqttClient.h"
#include "platform/ComPorts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>
#include <QRegularExpression>
#include <QSettings>
#include <QStringDecoder>
#include <QSysInfo>
#include <algorithm>

namespace {

const QStringList kWatchKeys = {"log_folder", "interval_ms", "state_dir", "max_shelve_min"};
const QStringList kNotifyKeys = {"exec", "exec_timeout_s", "renotify_min", "webhook", "webhook_timeout_s",
                                 "webhook_tries"};
const QStringList kMqttKeys = {"url", "topic_prefix", "client_id", "username", "password_file", "ca_file", "queue_limit"};
const QStringList kSiteKeys = {"interval_ms", "title", "input_type", "warn_outputs"};
constexpr int kMaxQueueLimit = 1000000;
constexpr int kMaxTextLength = 100;

// Where each group and key stands in the file: QSettings reads the values but tells no
// line numbers, and it quietly merges a group or key given twice.
struct Layout {
    struct Group {
        int line = 0;
        QHash<QString, int> keyLine;
        QHash<QString, QString> raw; // the value as written, without a comment after it
        QStringList keys; // in the file's order, each once
    };
    QHash<QString, Group> groups;
    QStringList order;
};

class Reader {
public:
    Reader(const QString &path, const QString &dataFolder) : m_path(path), m_dataFolder(dataFolder) {}
    std::optional<WatchSettings> read(QStringList *faults);

private:
    void fault(int line, const QString &text) { m_faults.append({line, text}); }
    void scan(const QString &text);
    bool has(const QString &group, const QString &key) const
    {
        return m_layout.groups.contains(group) && m_layout.groups[group].keyLine.contains(key);
    }
    int lineOf(const QString &group, const QString &key = {}) const
    {
        const auto g = m_layout.groups.constFind(group);
        if (g == m_layout.groups.constEnd())
            return 0;
        return key.isEmpty() ? g->line : g->keyLine.value(key, g->line);
    }
    // The value as QSettings reads it; a list (an unquoted comma) is a fault.
    QString text(const QString &group, const QString &key);
    // A whole number in lo-hi; fallback when the key is missing or empty.
    int number(const QString &group, const QString &key, int lo, int hi, int fallback);
    QString path(const QString &group, const QString &key, const QString &fallback);
    void readMqtt(WatchSettings &s);
    void readNotify(WatchSettings &s);
    void readSites(WatchSettings &s);

    QString m_path;
    QString m_dataFolder;
    std::unique_ptr<QSettings> m_settings;
    Layout m_layout;
    QList<QPair<int, QString>> m_faults;
};

void Reader::scan(const QString &text)
{
    QString group;
    bool broken = false; // under a group line that cannot be read: its keys are left out
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const int no = i + 1;
        QString line = lines[i];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        line = line.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            const int close = line.indexOf(QLatin1Char(']'));
            const QString after = close < 0 ? QString() : line.mid(close + 1).trimmed();
            if (close < 0 || !(after.isEmpty() || after.startsWith(QLatin1Char(';')))) {
                fault(no, QStringLiteral("cannot read %1: a group is written [NAME]").arg(line.left(60)));
                broken = true;
                continue;
            }
            broken = false;
            group = line.mid(1, close - 1).trimmed();
            if (m_layout.groups.contains(group)) {
                fault(no, QStringLiteral("[%1] is given twice (first at line %2)").arg(group).arg(m_layout.groups[group].line));
            } else {
                m_layout.groups[group].line = no;
                m_layout.order << group;
            }
            continue;
        }
        const int eq = line.indexOf(QLatin1Char('='));
        if (eq <= 0) {
            fault(no, QStringLiteral("cannot read \"%1\": write [group], key=value or a comment (;)").arg(line.left(60)));
            continue;
        }
        const QString key = line.left(eq).trimmed();
        if (broken)
            continue;
        if (group.isEmpty()) {
            fault(no, QStringLiteral("%1 stands outside a group: put it under [watch], [mqtt], [notify], [sites] or a site's group").arg(key));
            continue;
        }
        if (line.mid(eq + 1).count(QLatin1Char('"')) % 2 != 0) {
            fault(no, QStringLiteral("%1: the double quote is not closed").arg(key));
            continue;
        }
        Layout::Group &g = m_layout.groups[group];
        if (g.keyLine.contains(key)) {
            fault(no, QStringLiteral("%1 is given twice in [%2] (first at line %3)").arg(key, group).arg(g.keyLine[key]));
            continue;
        }
        g.keyLine[key] = no;
        g.keys << key;
        QString raw = line.mid(eq + 1);
        bool quoted = false;
        for (qsizetype i = 0; i < raw.size(); ++i) {
            if (raw[i] == QLatin1Char('"'))
                quoted = !quoted;
            else if (raw[i] == QLatin1Char(';') && !quoted && (i == 0 || raw[i - 1].isSpace())) {
                raw.truncate(i);
                break;
            }
        }
        g.raw[key] = raw.trimmed();
    }
}

QString Reader::text(const QString &group, const QString &key)
{
    if (!has(group, key))
        return {};
    const QVariant v = m_settings->value(group + QLatin1Char('/') + key);
    if (v.typeId() == QMetaType::QStringList) {
        fault(lineOf(group, key), QStringLiteral("%1=%2: a value with a comma is written in double quotes (\"...\")")
                                      .arg(key, v.toStringList().join(QLatin1Char(','))));
        return {};
    }
    return v.toString().trimmed();
}

int Reader::number(const QString &group, const QString &key, int lo, int hi, int fallback)
{
    const QString t = text(group, key);
    if (t.isEmpty())
        return fallback;
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    const QString range = QStringLiteral("(%1-%2)").arg(lo).arg(hi);
    if (!digits.match(t).hasMatch()) {
        fault(lineOf(group, key), QStringLiteral("%1=%2 is no whole number %3").arg(key, t.left(40), range));
        return fallback;
    }
    const int n = t.toInt();
    if (n < lo || n > hi) {
        fault(lineOf(group, key), QStringLiteral("%1=%2 is out of range %3").arg(key, t, range));
        return fallback;
    }
    return n;
}

QString Reader::path(const QString &group, const QString &key, const QString &fallback)
{
    const QString t = text(group, key);
    if (t.isEmpty())
        return fallback;
    return QDir::cleanPath(QFileInfo(m_path).absoluteDir().absoluteFilePath(t));
}

std::optional<WatchSettings> Reader::read(QStringList *faults)
{
    const QString name = m_path;
    const auto finish = [&]() -> std::optional<WatchSettings> {
        std::stable_sort(m_faults.begin(), m_faults.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        if (faults)
            for (const auto &[line, text] : std::as_const(m_faults))
                *faults << (line > 0 ? QStringLiteral("%1:%2: %3").arg(name).arg(line).arg(text)
                                     : QStringLiteral("%1: %2").arg(name, text));
        return std::nullopt;
    };
    QFile f(m_path);
    if (!f.open(QIODevice::ReadOnly)) {
        fault(0, QStringLiteral("cannot read the file: %1").arg(f.errorString()));
        return finish();
    }
    if (f.size() > kWatchFileLimit) {
        fault(0, QStringLiteral("the file is larger than %1 bytes").arg(kWatchFileLimit));
        return finish();
    }
    const QByteArray bytes = f.read(kWatchFileLimit);
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString contents = utf8.decode(bytes);
    if (utf8.hasError()) {
        fault(0, QStringLiteral("the file is no UTF-8 text"));
        return finish();
    }
    scan(contents);
    m_settings = std::make_unique<QSettings>(m_path, QSettings::IniFormat);
    // QSettings stumbles over the lines the scan has named already; anything else it
    // cannot read is still a fault.
    if (m_settings->status() != QSettings::NoError && m_faults.isEmpty())
        fault(0, QStringLiteral("the file is no INI file"));

    WatchSettings s;
    for (const QString &group : std::as_const(m_layout.order)) {
        const QStringList *known = group == QLatin1String("watch") ? &kWatchKeys
                                   : group == QLatin1String("mqtt") ? &kMqttKeys
                                   : group == QLatin1String("notify") ? &kNotifyKeys
                                   : group == QLatin1String("sites") ? nullptr
                                   : has(QStringLiteral("sites"), group) ? &kSiteKeys
                                                                        : nullptr;
        if (!known && group != QLatin1String("sites")) {
            fault(lineOf(group), QStringLiteral("[%1] is no group of this file and names no site of [sites]").arg(group));
            continue;
        }
        if (known)
            for (const QString &key : std::as_const(m_layout.groups[group].keys))
                if (!known->contains(key))
                    fault(lineOf(group, key), QStringLiteral("unknown key %1 in [%2] (known: %3)").arg(key, group, known->join(QStringLiteral(", "))));
    }
    s.logFolder = path(QStringLiteral("watch"), QStringLiteral("log_folder"), m_dataFolder + QStringLiteral("/logs"));
    s.intervalMs = number(QStringLiteral("watch"), QStringLiteral("interval_ms"), kWatchIntervalMin, kWatchIntervalMax, 1000);
    // Under systemd the unit's StateDirectory= (the first, if it names several).
    const QString systemState = qEnvironmentVariable("STATE_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    s.stateDir = path(QStringLiteral("watch"), QStringLiteral("state_dir"),
                      systemState.isEmpty() ? m_dataFolder + QStringLiteral("/state") : QDir::cleanPath(systemState));
    s.maxShelveMin = number(QStringLiteral("watch"), QStringLiteral("max_shelve_min"), 1, kWatchMaxShelveMin, 480);
    readMqtt(s);
    readNotify(s);
    readSites(s);
    if (!m_faults.isEmpty())
        return finish();
    return s;
}

void Reader::readMqtt(WatchSettings &s)
{
    const QString g = QStringLiteral("mqtt");
    if (!m_layout.groups.contains(g))
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
    m.passwordFile = path(g, QStringLiteral("password_file"), QString());
    if (!m.passwordFile.isEmpty()) {
        QString password;
        if (!ReadPasswordFile(m.passwordFile, &password, &why))
            fault(lineOf(g, QStringLiteral("password_file")), QStringLiteral("password_file=%1: %2").arg(text(g, QStringLiteral("password_file")), why));
        else if (m.username.isEmpty())
            fault(lineOf(g, QStringLiteral("password_file")), QStringLiteral("password_file needs a username"));
    }
    m.caFile = path(g, QStringLiteral("ca_file"), QString());
    if (!m.caFile.isEmpty() && !QFileInfo(m.caFile).isReadable())
        fault(lineOf(g, QStringLiteral("ca_file")), QStringLiteral("ca_file=%1: %2").arg(text(g, QStringLiteral("ca_file")),
              QFileInfo::exists(m.caFile) ? QStringLiteral("the file cannot be read") : QStringLiteral("the file does not exist")));
    if (m.tls && m.caFile.isEmpty())
        fault(lineOf(g, QStringLiteral("url")), QStringLiteral("url=%1 needs ca_file, the certificate authority that signed the broker's certificate").arg(m.url));
    m.queueLimit = number(g, QStringLiteral("queue_limit"), 1, kMaxQueueLimit, 0);
    s.mqtt = m;
}

void Reader::readNotify(WatchSettings &s)
{
    const QString g = QStringLiteral("notify");
    if (!m_layout.groups.contains(g))
        return;
    WatchNotify &n = s.notify;
    // As written: a word with blanks is in double quotes, which QSettings would take away.
    n.exec = m_layout.groups[g].raw.value(QStringLiteral("exec"));
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
    if (!m_layout.groups.contains(g)) {
        fault(0, QStringLiteral("no [sites] group: name each site and its port there (NAME=COMn, tcp://HOST:PORT or rfc2217://HOST:PORT)"));
        return;
    }
    const QStringList names = m_layout.groups[g].keys;
    if (names.isEmpty())
        fault(lineOf(g), QStringLiteral("[sites] lists no site"));
    if (names.size() > kWatchMaxSites)
        fault(lineOf(g), QStringLiteral("[sites] lists %1 sites; at most %2").arg(names.size()).arg(kWatchMaxSites));
    static const QRegularExpression siteName(QStringLiteral("^[A-Za-z0-9_-]{1,40}$"));
    static const QRegularExpression com(QStringLiteral("^COM([1-9][0-9]?)$"), QRegularExpression::CaseInsensitiveOption);
    QHash<QString, QString> portUser; // a port, lower case: the site that has it
    for (const QString &name : names.mid(0, kWatchMaxSites)) {
        const int line = lineOf(g, name);
        if (!siteName.match(name).hasMatch()) {
            fault(line, QStringLiteral("\"%1\" is no site name (letters, digits, _ and -, at most 40)").arg(name.left(60)));
            continue;
        }
        if (name == QLatin1String("watch") || name == QLatin1String("mqtt") || name == QLatin1String("sites") ||
            name == QLatin1String("notify")) {
            fault(line, QStringLiteral("\"%1\" is a group of this file and cannot name a site").arg(name));
            continue;
        }
        // PREFIX/command/USER/... are the users' commands: a site's topics there could be
        // written by a user named as one of them.
        if (name == QLatin1String("command")) {
            fault(line, QStringLiteral("\"command\" names the users' commands in the topics and cannot name a site"));
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
        if (s.mqtt)
            site.queueLimit = s.mqtt->queueLimit > 0 ? s.mqtt->queueLimit : (3600000 + site.intervalMs - 1) / site.intervalMs;
        s.sites << site;
    }
}

} // namespace

std::optional<WatchSettings> LoadWatchConfig(const QString &path, const QString &dataFolder, QStringList *faults)
{
    QString folder = dataFolder;
    while (folder.endsWith(QLatin1Char('/')) && folder.size() > 1)
        folder.chop(1);
    return Reader(path, folder).read(faults);
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
        else if (!(*o == s))
            d.changed << s.name;
        kept << s.name;
    }
    for (const WatchSite &s : before.sites)
        if (!kept.contains(s.name))
            d.removed << s.name;
    d.mqttChanged = before.mqtt != after.mqtt;
    d.logFolderChanged = before.logFolder != after.logFolder;
    d.alarmsChanged = before.stateDir != after.stateDir || before.maxShelveMin != after.maxShelveMin ||
                      before.notify != after.notify;
    return d;
}

bool ReadPasswordFile(const QString &path, QString *password, QString *error)
{
    const auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    QFile f(path);
    if (!QFileInfo::exists(path))
        return fail(QStringLiteral("the file does not exist"));
    if (!f.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("the file cannot be read: %1").arg(f.errorString()));
    constexpr qint64 limit = 4096;
    const QByteArray bytes = f.read(limit + 1);
    if (bytes.size() > limit)
        return fail(QStringLiteral("the file is larger than %1 bytes for a password").arg(limit));
    QByteArray first = bytes.left(bytes.indexOf('\n') < 0 ? bytes.size() : bytes.indexOf('\n'));
    if (first.endsWith('\r'))
        first.chop(1);
    if (first.isEmpty())
        return fail(QStringLiteral("the file holds no password on its first line"));
    if (password)
        *password = QString::fromUtf8(first);
    return true;
}
