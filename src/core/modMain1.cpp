#include "core/modMain1.h"

#include "platform/Dialogs.h"
#include "platform/Paths.h"

namespace {
QString s_appPath;
QString s_dataPath;
QString s_version;
qint16 s_starting = 0;
QString s_userFile;
QString s_userFileTitle;
QString s_defFile;
QString s_tempFile;
} // namespace

const QString &g_strAppPath = s_appPath;
const QString &g_strDataPath = s_dataPath;
const QString &g_strVersion = s_version;
const qint16 &g_intStarting = s_starting;
const QString CR = QStringLiteral("\r");
const QString LF = QStringLiteral("\n");
const QString vbCrLf = QStringLiteral("\r\n");
qint16 g_intSaved = 0;
const QString &g_strUserFile = s_userFile;
const QString &g_strUserFileTitle = s_userFileTitle;
const QString &g_strDefFile = s_defFile;
const QString &g_strTempFile = s_tempFile;
SettingsSource g_typSettingsSource;
qint16 g_intFormOpen[kFormIds] = {};

void g_subAppPathSet(const QString &path) { s_appPath = path; }
void g_subDataPathSet(const QString &path) { s_dataPath = path; }
void g_subVersionSet(const QString &version) { s_version = version; }
void g_subStartingSet(qint16 starting) { s_starting = starting; }

void g_subUserFileSet(const QString &path, const QString &title)
{
    s_userFile = path;
    s_userFileTitle = title;
}

void g_subUserFileSet(const QString &path) { s_userFile = path; }
void g_subDefFileSet(const QString &path) { s_defFile = path; }
void g_subTempFileSet(const QString &path) { s_tempFile = path; }

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
