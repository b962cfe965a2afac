#pragma once
// Process start and end: paths, version, window ids and open flags, captions.
#include <QString>

extern QString g_strAppPath;
extern QString g_strDataPath; // per-user data folder, ends in '/'
extern QString g_strVersion;  // "ver.1.5"
extern qint16 g_intStarting;  // 1 while Main runs
extern const QString CR;
extern const QString LF;
extern const QString vbCrLf;

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 5;
constexpr int kVersionRevision = 0;

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
    idTimer = 13,
};
constexpr int kFormIds = 31;
extern qint16 g_intFormOpen[kFormIds]; // -1 while the window is loaded

// Special folders: 5 the documents folder, 26 the per-user application data folder.
// The path ends in '/' when known; empty otherwise.
QString g_funcGetSpecialFolder(int folderId);
// A file of the data folder.
QString DataFile(const QString &name);

void g_subAppIni();
void g_subCaptionSet();
// The process entry's work: start-up in its fixed order, up to the event loop.
void Main();
// The close question of the editor: true when the process ends.
bool g_funcAppCloseQuery();
