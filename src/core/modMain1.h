#pragma once
// Process-wide state: paths, version, window ids and open flags, the line-end texts, and
// the shared routines that tell the windows to refresh (captions, monitor windows). The
// windows listen to AppEvents; nothing here reaches into a window.
#include "qelvo_version.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <functional>

// Read-only views of the process-wide values; their setters below change them.
extern const QString &g_strAppPath;
extern const QString &g_strDataPath; // per-user data folder, ends in '/'
extern const QString &g_strVersion;  // "ver.1.5"
extern const qint16 &g_intStarting;  // 1 while Main runs
void g_subAppPathSet(const QString &path);
void g_subDataPathSet(const QString &path);
void g_subVersionSet(const QString &version);
void g_subStartingSet(qint16 starting);
extern const QString CR;
extern const QString LF;
extern const QString vbCrLf;

// The document: the user data file the editor's settings belong to.
extern qint16 g_intSaved;                 // 1 = UserData equals the current file
extern const QString &g_strUserFile;      // its full path; empty = none
extern const QString &g_strUserFileTitle; // its name
extern const QString &g_strDefFile;       // "def.tmp", the default settings
extern const QString &g_strTempFile;      // "temp.tmp", the copy written around transfers
// The document's file and its name; the path alone keeps the name.
void g_subUserFileSet(const QString &path, const QString &title);
void g_subUserFileSet(const QString &path);
void g_subDefFileSet(const QString &path);
void g_subTempFileSet(const QString &path);

// Where the editor's values came from: the document's file (port 0), or the controller on
// COM port, read at readAt (データ読込, or the comparison's 取込). A file command (New, Open,
// Save) makes the file the source again. The settings sheet names it.
struct SettingsSource {
    int port = 0;
    QDateTime readAt;
};
extern SettingsSource g_typSettingsSource;

constexpr int kVersionMajor = QELVO_VERSION_MAJOR;
constexpr int kVersionMinor = QELVO_VERSION_MINOR;
constexpr int kVersionRevision = QELVO_VERSION_PATCH;

// Window ids: the index into g_intFormOpen and g_FormPos.
enum FormId : int {
    idMdi = 0,
    idMain = 1,
    idDirect = 2,
    idGraph = 3,
    idLogView = 4,
    idOutputMonitor = 5,
    idLogFiler = 6,
    idSetLogFiler = 7,
    idTrend = 8, // the trend window, in a record the other windows leave unused
    idSites = 9,        // the site list, in the next unused record
    idSitesColumns = 10, // its column widths (two to a field), in the one after
    idTimer = 13,
};
constexpr int kFormIds = 31;
extern qint16 g_intFormOpen[kFormIds]; // -1 while the window is loaded
// A window's global pointer (null while the window is not loaded). Its name is a read-only
// view, frmX *const &, of a pointer that only the window's registration sets.

// Special folders: 5 the documents folder, 26 the per-user application data folder.
// The path ends in '/' when known; empty otherwise.
QString g_funcGetSpecialFolder(int folderId);
// A file of the data folder.
QString DataFile(const QString &name);

// The editor's caption ("ﾃﾞｰﾀ設定ﾊﾟﾈﾙ", after the file title when there is one) and the
// frame's (application title and version).
QString EditorCaption();
QString FrameCaption();

// What the shared routines announce; each window applies its own part.
class AppEvents : public QObject {
    Q_OBJECT
signals:
    // g_subCaptionSet: the editor and the frame set their captions.
    void captionsChanged();
    // g_subMonitorWindowsRefresh: the settings in UserData changed; the open monitor
    // windows redraw.
    void monitorWindowsRefresh();
    // A grid cell of the editor was committed: the graph redraws its thresholds.
    void gridCommitted();
    // The exit question is about to be asked: a minimized frame comes back first.
    void exitAsked();
    // The process ends: the editor and the frame leave the screen.
    void ending();
};
AppEvents &appEvents();

// The close question every way out leads to (the shut-down's, which the start-up sets):
// true when the process ends. With none set, nothing is asked and the close goes on.
void g_subCloseQuerySet(std::function<bool()> query);
bool g_funcCloseQuery();

void g_subCaptionSet();
void g_subMonitorWindowsRefresh();
