#pragma once
// Where the tool's files live: the per-user data folder (generic config location +
// Orvanelle/Qelvo/, created when missing) and the user's documents folder. Paths use '/'.
#include <QString>

// The per-user data folder, always ending in '/'; created when missing (made, when given,
// tells whether this call created it).
QString DataFolder(bool *made = nullptr);
// The same path, without creating anything.
QString DataFolderPath();
// The documents folder, without a trailing '/'; empty when unknown.
QString DocumentsFolder();
// The per-user application data folder (the parent of Orvanelle/Qelvo), without '/'.
QString AppDataFolder();
bool EnsureFolder(const QString &path);

// The part of a path up to and including its last '/' (empty when there is none), and
// the part after it (the whole path when there is none).
QString GetPathFolder(const QString &path);
QString GetPathFile(const QString &path);
