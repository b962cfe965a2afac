#include "platform/Paths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString AppDataFolder()
{
    QString p = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    while (p.endsWith(QLatin1Char('/')) && p.size() > 1)
        p.chop(1);
    return p;
}

QString DataFolderPath() { return AppDataFolder() + QStringLiteral("/Orvanelle/Qelvo/"); }

QString DataFolder(bool *made)
{
    const QString p = DataFolderPath();
    const bool existed = QFileInfo(p).isDir();
    const bool there = EnsureFolder(p);
    if (made)
        *made = !existed && there;
    return p;
}

QString DocumentsFolder()
{
    QString p = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    while (p.endsWith(QLatin1Char('/')) && p.size() > 1)
        p.chop(1);
    return p;
}

bool EnsureFolder(const QString &path)
{
    if (path.isEmpty())
        return false;
    return QDir().mkpath(path);
}

QString GetPathFolder(const QString &path)
{
    const qsizetype i = path.lastIndexOf(QLatin1Char('/'));
    return i < 0 ? QString() : path.left(i + 1);
}

QString GetPathFile(const QString &path)
{
    const qsizetype i = path.lastIndexOf(QLatin1Char('/'));
    return i < 0 ? path : path.mid(i + 1);
}
