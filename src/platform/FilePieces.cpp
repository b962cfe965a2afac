#include "platform/FilePieces.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

FilePiecesResult ReadFilePieces(const QString &path, qint64 maxBytes,
                                const std::function<bool(QByteArrayView piece, qint64 done, qint64 size)> &take,
                                qint64 pieceBytes)
{
    FilePiecesResult r;
    const QFileInfo info(path);
    if (info.isDir()) {
        r.error = MakeError(errPathFileAccess);
        return r;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        // The numbers of a whole read's failures.
        if (!info.dir().exists())
            r.error = MakeError(errPathNotFound);
        else if (!info.exists())
            r.error = MakeError(errFileNotFound);
        else if (f.error() == QFileDevice::PermissionsError || !info.isReadable())
            r.error = MakeError(errPermissionDenied);
        else
            r.error = MakeError(errPathFileAccess);
        return r;
    }
    r.size = f.size();
    if (r.size > maxBytes) {
        r.error = MakeError(errOutOfMemory);
        return r;
    }
    // One buffer, filled again for every piece. A device reports no size: it is read until
    // it ends or goes past the limit.
    QByteArray piece(qsizetype(qMax<qint64>(1, pieceBytes)), Qt::Uninitialized);
    qint64 done = 0;
    for (;;) {
        const qint64 n = f.read(piece.data(), piece.size());
        if (n < 0 || f.error() != QFileDevice::NoError) {
            r.error = MakeError(errPathFileAccess);
            return r;
        }
        if (n == 0)
            break;
        done += n;
        if (done > maxBytes) {
            r.size = qMax(r.size, done);
            r.error = MakeError(errOutOfMemory);
            return r;
        }
        if (!take(QByteArrayView(piece.constData(), qsizetype(n)), done, qMax(r.size, done))) {
            r.stopped = true;
            return r;
        }
    }
    return r;
}

bool ReadFileAt(const QString &path, qint64 offset, qint64 maxBytes, QByteArray &out, FileError *error)
{
    out.clear();
    QFile f(path);
    const auto fail = [&](int number) {
        if (error)
            *error = MakeError(number);
        return false;
    };
    if (QFileInfo(path).isDir())
        return fail(errPathFileAccess);
    if (!f.open(QIODevice::ReadOnly))
        return fail(QFileInfo::exists(path) ? errPermissionDenied : errFileNotFound);
    if (offset < 0 || maxBytes < 0 || (offset > 0 && !f.seek(offset)))
        return fail(errPathFileAccess);
    out.resize(qsizetype(maxBytes));
    const qint64 n = f.read(out.data(), maxBytes);
    if (n < 0)
        return fail(errPathFileAccess);
    out.resize(qsizetype(n));
    return true;
}
