#include "fleet/IniFile.h"

#include "platform/TextFile.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStringDecoder>

#include <algorithm>

IniFile::IniFile() = default;
IniFile::~IniFile() = default;

bool IniFile::read(const QString &path, qint64 maxBytes)
{
    m_path = path;
    QByteArray bytes;
    const FileError e = ReadWholeFile(path, bytes, maxBytes);
    if (e.number == errOutOfMemory) {
        fault(0, QStringLiteral("the file is larger than %1 bytes").arg(maxBytes));
        return false;
    }
    if (e.failed()) {
        fault(0, e.number == errFileNotFound || e.number == errPathNotFound
                     ? QStringLiteral("the file does not exist")
                     : QStringLiteral("cannot read the file: %1").arg(e.description));
        return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString contents = utf8.decode(bytes);
    if (utf8.hasError()) {
        fault(0, QStringLiteral("the file is no UTF-8 text"));
        return false;
    }
    scan(contents);
    m_settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    // QSettings stumbles over the lines the scan has named already; anything else it cannot
    // read is still a fault.
    if (m_settings->status() != QSettings::NoError && m_faults.isEmpty())
        fault(0, QStringLiteral("the file is no INI file"));
    return true;
}

void IniFile::scan(const QString &text)
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
            if (m_groups.contains(group)) {
                fault(no, QStringLiteral("[%1] is given twice (first at line %2)").arg(group).arg(m_groups[group].line));
            } else {
                m_groups[group].line = no;
                m_order << group;
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
            fault(no, m_outsideHint.isEmpty() ? QStringLiteral("%1 stands outside a group").arg(key)
                                              : QStringLiteral("%1 stands outside a group: %2").arg(key, m_outsideHint));
            continue;
        }
        if (line.mid(eq + 1).count(QLatin1Char('"')) % 2 != 0) {
            fault(no, QStringLiteral("%1: the double quote is not closed").arg(key));
            continue;
        }
        Group &g = m_groups[group];
        if (g.keyLine.contains(key)) {
            fault(no, QStringLiteral("%1 is given twice in [%2] (first at line %3)").arg(key, group).arg(g.keyLine[key]));
            continue;
        }
        g.keyLine[key] = no;
        g.keys << key;
        // As written, up to a comment (a ';' after a blank, outside double quotes).
        QString raw = line.mid(eq + 1);
        bool quoted = false;
        for (qsizetype j = 0; j < raw.size(); ++j) {
            if (raw[j] == QLatin1Char('"'))
                quoted = !quoted;
            else if (raw[j] == QLatin1Char(';') && !quoted && (j == 0 || raw[j - 1].isSpace())) {
                raw.truncate(j);
                break;
            }
        }
        g.raw[key] = raw.trimmed();
    }
}

QString IniFile::raw(const QString &group, const QString &key) const
{
    const auto g = m_groups.constFind(group);
    return g == m_groups.constEnd() ? QString() : g->raw.value(key);
}

QStringList IniFile::keys(const QString &group) const { return m_groups.value(group).keys; }

bool IniFile::has(const QString &group, const QString &key) const
{
    const auto g = m_groups.constFind(group);
    return g != m_groups.constEnd() && g->keyLine.contains(key);
}

int IniFile::lineOf(const QString &group, const QString &key) const
{
    const auto g = m_groups.constFind(group);
    if (g == m_groups.constEnd())
        return 0;
    return key.isEmpty() ? g->line : g->keyLine.value(key, g->line);
}

QString IniFile::text(const QString &group, const QString &key)
{
    if (!m_settings || !has(group, key))
        return {};
    const QVariant v = m_settings->value(group + QLatin1Char('/') + key);
    if (v.typeId() == QMetaType::QStringList) {
        fault(lineOf(group, key), QStringLiteral("%1=%2: a value with a comma is written in double quotes (\"...\")")
                                      .arg(key, v.toStringList().join(QLatin1Char(','))));
        return {};
    }
    return v.toString().trimmed();
}

int IniFile::number(const QString &group, const QString &key, int lo, int hi, int fallback)
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

QString IniFile::filePath(const QString &group, const QString &key, const QString &fallback)
{
    const QString t = text(group, key);
    if (t.isEmpty())
        return fallback;
    return QDir::cleanPath(QFileInfo(m_path).absoluteDir().absoluteFilePath(t));
}

void IniFile::onlyKeys(const QString &group, const QStringList &known)
{
    for (const QString &key : keys(group))
        if (!known.contains(key))
            fault(lineOf(group, key),
                  QStringLiteral("unknown key %1 in [%2] (known: %3)").arg(key, group, known.join(QStringLiteral(", "))));
}

QStringList IniFile::faults() const
{
    QList<QPair<int, QString>> sorted = m_faults;
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QStringList out;
    for (const auto &[line, text] : std::as_const(sorted))
        out << (line > 0 ? QStringLiteral("%1:%2: %3").arg(m_path).arg(line).arg(text) : QStringLiteral("%1: %2").arg(m_path, text));
    return out;
}

QString IniFile::valueText(const QString &value)
{
    // QSettings takes a comma for a list, ';' for a comment, '"' and '\' for quoting and
    // escapes; a line end would end the line. (The blanks around a value are never kept.)
    static const QRegularExpression special(QStringLiteral("[,;\"\\\\#=\\x00-\\x1f]"));
    if (!special.match(value).hasMatch())
        return value;
    QString quoted;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\') || c == QLatin1Char('"'))
            quoted += QLatin1Char('\\');
        if (c == QLatin1Char('\n'))
            quoted += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            quoted += QStringLiteral("\\r");
        else if (c == QLatin1Char('\t'))
            quoted += QStringLiteral("\\t");
        else if (c.unicode() < 0x20)
            continue;
        else
            quoted += c;
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}
