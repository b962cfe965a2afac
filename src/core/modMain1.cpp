#include "core/modMain1.h"

#include "platform/Dialogs.h"
#include "platform/Paths.h"

QString g_strAppPath;
QString g_strDataPath;
QString g_strVersion;
qint16 g_intStarting = 0;
const QString CR = QStringLiteral("\r");
const QString LF = QStringLiteral("\n");
const QString vbCrLf = QStringLiteral("\r\n");
qint16 g_intSaved = 0;
QString g_strUserFile;
QString g_strUserFileTitle;
QString g_strDefFile;
QString g_strTempFile;
SettingsSource g_typSettingsSource;
qint16 g_intFormOpen[kFormIds] = {};

QString g_funcGetSpecialFolder(int folderId)
{
    QString p;
    if (folderId == 5)
        p = DocumentsFolder();
    else if (folderId == 26)
        p = AppDataFolder();
    if (p.isEmpty())
        return QString();
    return p.endsWith(QLatin1Char('/')) ? p : p + QLatin1Char('/');
}

QString DataFile(const QString &name) { return g_strDataPath + name; }

QString EditorCaption()
{
    const QString title = QStringLiteral("ﾃﾞｰﾀ設定ﾊﾟﾈﾙ");
    return g_strUserFileTitle.isEmpty() ? title : g_strUserFileTitle + QStringLiteral(" - ") + title;
}

QString FrameCaption() { return g_strAppTitle + QStringLiteral(" - ") + g_strVersion; }

AppEvents &appEvents()
{
    static AppEvents *e = new AppEvents(); // lives as long as the process
    return *e;
}

namespace {
std::function<bool()> s_closeQuery;
}

void g_subCloseQuerySet(std::function<bool()> query) { s_closeQuery = std::move(query); }

bool g_funcCloseQuery() { return !s_closeQuery || s_closeQuery(); }

void g_subCaptionSet() { emit appEvents().captionsChanged(); }

void g_subMonitorWindowsRefresh() { emit appEvents().monitorWindowsRefresh(); }
