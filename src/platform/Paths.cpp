#include "platform/Paths.h"

#include <QDir>
#include <QStandardPaths>

QString AppDataFolder()
{
    QString p = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    while (p.endsWith(QLatin1Char('/')) && p.size() > 1)
        p.chop(1);
    return p;
}

QString DataFolderPath() { return AppDataFolder() + QStringLiteral("/Orvanelle/Qelvo/"); }

QString DataFolder()
{
    const QString p = DataFolderPath();
    EnsureFolder(p);
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
