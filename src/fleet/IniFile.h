#pragma once
// An INI file of the fleet's (the watcher's configuration, the office view's "sites.ini"),
// UTF-8, ';' or '#' starting a comment line: QSettings reads the values, and a scan of the
// lines finds where each group and key stands, and what QSettings would quietly merge (a
// group or key given twice) or drop (a line that is neither). Every fault is kept with its
// line, and told as "FILE:LINE: what is wrong" (or "FILE: what is wrong").
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <memory>

class QSettings;

class IniFile {
public:
    IniFile();
    ~IniFile();
    IniFile(const IniFile &) = delete;
    IniFile &operator=(const IniFile &) = delete;

    // What a key outside any group is told to do (after "KEY stands outside a group: ").
    void setOutsideGroupHint(const QString &hint) { m_outsideHint = hint; }
    // Reads the file at path (at most maxBytes, through the platform); false when it cannot be
    // read at all (missing, too large, no UTF-8), with that fault kept. A file that can be
    // read is scanned: its unreadable lines are faults, and it can still be asked for values.
    bool read(const QString &path, qint64 maxBytes);

    const QString &path() const { return m_path; }
    // The groups in the file's order, each once.
    const QStringList &groups() const { return m_order; }
    // A group's keys in the file's order, each once.
    QStringList keys(const QString &group) const;
    bool has(const QString &group, const QString &key) const;
    // The line of a group, or of a key in it (the group's line for a key it does not hold); 0
    // when the file has no such group.
    int lineOf(const QString &group, const QString &key = {}) const;

    // The value as QSettings reads it (trimmed); a list (an unquoted comma) is a fault. Empty
    // when the key is missing.
    QString text(const QString &group, const QString &key);
    // The value as written, quotes and all, without a comment after it (for a command line,
    // whose quotes QSettings would take away). Empty when the key is missing.
    QString raw(const QString &group, const QString &key) const;
    // A whole number in lo-hi; fallback when the key is missing or empty (a fault otherwise).
    int number(const QString &group, const QString &key, int lo, int hi, int fallback);
    // A path: one that is not absolute is taken from the file's folder; fallback when missing.
    QString filePath(const QString &group, const QString &key, const QString &fallback);
    // Each key of group that is not one of known is a fault.
    void onlyKeys(const QString &group, const QStringList &known);

    void fault(int line, const QString &text) { m_faults.append({line, text}); }
    bool failed() const { return !m_faults.isEmpty(); }
    // Every fault, in the order of the lines.
    QStringList faults() const;

    // value as a line of such a file writes it: as it stands, or in double quotes with its
    // backslashes and quotes escaped where QSettings would read it otherwise.
    static QString valueText(const QString &value);

private:
    struct Group {
        int line = 0;
        QHash<QString, int> keyLine;
        QHash<QString, QString> raw;
        QStringList keys;
    };
    void scan(const QString &text);

    QString m_path;
    QString m_outsideHint;
    QHash<QString, Group> m_groups;
    QStringList m_order;
    std::unique_ptr<QSettings> m_settings;
    QList<QPair<int, QString>> m_faults;
};
