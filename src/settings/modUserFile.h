#pragma once
// User data files (".qvd"): the whole memory image as 65,536 quoted lines, the file
// commands New, Open, Save, Save As and save-as-default, "def.tmp" and "temp.tmp".
#include "platform/Paths.h"
#include "settings/modUserData.h"

#include <QString>

extern const QString kUserFileFilter; // "ﾕｰｻﾞｰﾌｧｲﾙ(*.qvd)|*.qvd"
constexpr qint64 kUserFileBytes = 851968;

// The file image of an image (851,968 bytes).
QByteArray UserFileBytes(const MemCell *image);
// Reads a file's bytes into image by the quoted-item rule; false with the error.
bool ParseUserFile(const QByteArray &bytes, MemCell *image, FileError &err);

bool g_funcUserDataSave(const QString &path);
bool g_funcUserDataLoad(const QString &path);
bool g_funcTempDataSave(const QString &path);
bool g_funcFileExist(const QString &path);

// The changed-contents prompt: true when the command may go on. Yes saves first and
// goes on only when that save succeeded.
bool g_funcChangedPrompt();

void g_subFileNew();
void g_subFileOpen(const QString &initialPath);
// Save and Save As; true when the file was written.
bool g_funcFileSave();
bool g_funcFileSaveAs();
inline void g_subFileSave() { g_funcFileSave(); }
inline void g_subFileSaveAs() { g_funcFileSaveAs(); }
inline bool g_funcFileSaveChecked() { return g_funcFileSave(); }
void g_subDefFileSave();
