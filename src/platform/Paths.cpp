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

QString DataFolder()
{
    const QString base = AppDataFolder();
    const QString p = base + QStringLiteral("/Orvanelle/Qelvo/");
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
