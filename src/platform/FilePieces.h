#pragma once
// A file read piece by piece, for a file too large to take into memory whole (a log of
// months): the caller takes what it needs from each piece and lets it go, so no more than
// one piece of the file's bytes is held at a time.
#include "platform/TextFile.h"

#include <QByteArrayView>
#include <functional>

// How large a piece is.
constexpr qint64 kFilePieceBytes = 256 * 1024;

// Hands the file's bytes to take, a piece after another, each with the bytes handed so far
// and the file's size at the open. A file larger than maxBytes fails with errOutOfMemory
// before a byte is read (as does one that grows past it while it is read); size then still
// tells how large it is. take returns false to stop (the user cancelled): the read ends
// without an error and stopped says so.
struct FilePiecesResult {
    FileError error;
    qint64 size = 0;
    bool stopped = false;
};
FilePiecesResult ReadFilePieces(const QString &path, qint64 maxBytes,
                                const std::function<bool(QByteArrayView piece, qint64 done, qint64 size)> &take,
                                qint64 pieceBytes = kFilePieceBytes);

// Up to maxBytes of the file from offset into out (fewer at its end; none past it); false
// with the error when the file cannot be opened or read. A log read a chunk at a time
// resumes where the last chunk ended.
bool ReadFileAt(const QString &path, qint64 offset, qint64 maxBytes, QByteArray &out, FileError *error = nullptr);
