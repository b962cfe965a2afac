#include "platform/TextFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cctype>
#include <cerrno>
#include <cstdio>

QString ErrorDescription(int number)
{
    switch (number) {
    case errOverflow: return QStringLiteral("Overflow");
    case errOutOfMemory: return QStringLiteral("Out of memory: the file is too large");
    case errTypeMismatch: return QStringLiteral("Type mismatch");
    case errFileNotFound: return QStringLiteral("File not found");
    case errDiskFull: return QStringLiteral("Disk full");
    case errInputPastEnd: return QStringLiteral("Input past end of file");
    case errPermissionDenied: return QStringLiteral("Permission denied");
    case errPathFileAccess: return QStringLiteral("Path/File access error");
    case errPathNotFound: return QStringLiteral("Path not found");
    default: return QStringLiteral("Application-defined or object-defined error");
    }
}

FileError MakeError(int number) { return {number, ErrorDescription(number)}; }

namespace {
QString windowsFallbacks(QString s)
{
    static const std::pair<char16_t, char16_t> map[] = {
        {u'\u301C', u'\uFF5E'}, {u'\u2212', u'\uFF0D'}, {u'\u2016', u'\u2225'}, {u'\u00A2', u'\uFFE0'},
        {u'\u00A3', u'\uFFE1'}, {u'\u00AC', u'\uFFE2'}, {u'\u2014', u'\u2015'},
    };
    for (auto [from, to] : map)
        s.replace(QChar(from), QChar(to));
    return s;
}

FileError errorForOpen(const QString &path, const QFileDevice &f, bool writing)
{
    const QFileInfo fi(path);
    if (!fi.dir().exists())
        return MakeError(errPathNotFound);
    switch (f.error()) {
    case QFileDevice::PermissionsError: return MakeError(errPermissionDenied);
    case QFileDevice::ResourceError: return MakeError(errDiskFull);
    default: break;
    }
    if (!writing && !fi.exists())
        return MakeError(errFileNotFound);
    if (fi.exists() && !(writing ? fi.isWritable() : fi.isReadable()))
        return MakeError(errPermissionDenied);
    return MakeError(errPathFileAccess);
}

FileError errorForWrite(const QFileDevice &f, int err = 0)
{
    // No room on the disk, over a quota or past the file size limit: the disk is full.
    if (f.error() == QFileDevice::ResourceError || err == ENOSPC || err == EFBIG || err == EDQUOT)
        return MakeError(errDiskFull);
    if (f.error() == QFileDevice::PermissionsError)
        return MakeError(errPermissionDenied);
    return MakeError(errPathFileAccess);
}
} // namespace

QByteArray SjisEncode(const QString &text, bool *ok)
{
    const QString t = windowsFallbacks(text);
    QStringEncoder enc("windows-31j");
    QByteArray out = enc.encode(t);
    if (ok)
        *ok = !enc.hasError();
    if (!enc.hasError())
        return out;
    // A character the code page cannot hold is written as "?", as Windows writes it.
    out.clear();
    for (qsizetype i = 0; i < t.size(); ++i) {
        const qsizetype n = t.at(i).isHighSurrogate() && i + 1 < t.size() ? 2 : 1;
        QStringEncoder one("windows-31j");
        const QByteArray b = one.encode(QStringView(t).mid(i, n));
        out += one.hasError() ? QByteArray("?") : b;
        i += n - 1;
    }
    return out;
}

QString SjisDecode(const QByteArray &bytes)
{
    QStringDecoder dec("windows-31j");
    return dec.decode(bytes);
}

QByteArray SjisLines(const QStringList &lines, bool *ok)
{
    QByteArray out;
    bool all = true;
    for (const QString &l : lines) {
        bool one = true;
        out += SjisEncode(l, &one);
        out += "\r\n";
        all = all && one;
    }
    if (ok)
        *ok = all;
    return out;
}

FileError ReadWholeFile(const QString &path, QByteArray &out, qint64 maxBytes)
{
    QFile f(path);
    if (QFileInfo(path).isDir())
        return MakeError(errPathFileAccess);
    if (!f.open(QIODevice::ReadOnly))
        return errorForOpen(path, f, false);
    if (f.size() > maxBytes)
        return MakeError(errOutOfMemory);
    // A device reports no size: it is read in pieces until it ends or goes past the limit.
    QByteArray bytes;
    bytes.reserve(f.size());
    for (;;) {
        const QByteArray piece = f.read(64 * 1024);
        if (f.error() != QFileDevice::NoError)
            return MakeError(errPathFileAccess);
        if (piece.isEmpty())
            break;
        bytes += piece;
        if (bytes.size() > maxBytes)
            return MakeError(errOutOfMemory);
    }
    out = std::move(bytes);
    return {};
}

FileError WriteWholeFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return errorForOpen(path, f, true);
    if (f.write(bytes) != bytes.size()) {
        const FileError e = errorForWrite(f);
        f.cancelWriting();
        return e;
    }
    if (!f.commit())
        return errorForWrite(f);
    return {};
}

FileError WriteScratchFile(const QString &path, const QByteArray &bytes)
{
    QTemporaryFile f(path + QStringLiteral(".XXXXXX"));
    if (!f.open())
        return errorForOpen(path, f, true);
    errno = 0;
    if (f.write(bytes) != bytes.size() || !f.flush())
        return errorForWrite(f, errno);
    f.close();
    // rename() puts the new file in the old one's place in one step.
    if (std::rename(QFile::encodeName(f.fileName()).constData(), QFile::encodeName(path).constData()) != 0)
        return errorForWrite(f, errno);
    f.setAutoRemove(false);
    return {};
}

FileError AppendToFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    // Unbuffered: what a failed write left unwritten is not flushed behind our back later.
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return errorForOpen(path, f, true);
    const qint64 before = f.size();
    errno = 0;
    if (f.write(bytes) != bytes.size() || !f.flush()) {
        const FileError e = errorForWrite(f, errno);
        // A part that did get written is taken back: the file ends where it ended.
        f.unsetError();
        f.resize(before);
        return e;
    }
    return {};
}

bool CanOpenForReading(const QString &path)
{
    if (path.isEmpty() || QFileInfo(path).isDir())
        return false;
    QFile f(path);
    return f.open(QIODevice::ReadOnly);
}

// ---------------------------------------------------------------- QuotedItemReader

bool QuotedItemReader::next(QByteArray &item)
{
    item.clear();
    const qsizetype n = m_b.size();
    bool skippedLineEnd = false;
    while (m_pos < n) {
        const char c = m_b[m_pos];
        if (c == ' ' || c == '\t') {
            ++m_pos;
        } else if (c == '\r' || c == '\n') {
            skippedLineEnd = true;
            ++m_pos;
        } else {
            break;
        }
    }
    if (m_pos >= n)
        return skippedLineEnd; // an empty last line is one empty item
    auto skipDelimiter = [&] {
        while (m_pos < n && (m_b[m_pos] == ' ' || m_b[m_pos] == '\t'))
            ++m_pos;
        if (m_pos < n && m_b[m_pos] == ',') {
            ++m_pos;
        } else if (m_pos < n && m_b[m_pos] == '\r') {
            ++m_pos;
            if (m_pos < n && m_b[m_pos] == '\n')
                ++m_pos;
        } else if (m_pos < n && m_b[m_pos] == '\n') {
            ++m_pos;
        }
    };
    if (m_b[m_pos] == '"') {
        const qsizetype close = m_b.indexOf('"', m_pos + 1);
        const qsizetype end = close < 0 ? n : close;
        item = m_b.mid(m_pos + 1, end - m_pos - 1);
        m_pos = close < 0 ? n : close + 1;
        // Anything between the closing quote and the delimiter is dropped.
        while (m_pos < n && m_b[m_pos] != ',' && m_b[m_pos] != '\r' && m_b[m_pos] != '\n')
            ++m_pos;
        skipDelimiter();
        return true;
    }
    qsizetype end = m_pos;
    while (end < n && m_b[end] != ',' && m_b[end] != '\r' && m_b[end] != '\n')
        ++end;
    item = m_b.mid(m_pos, end - m_pos);
    while (item.endsWith(' ') || item.endsWith('\t'))
        item.chop(1);
    m_pos = end;
    skipDelimiter();
    return true;
}

// ---------------------------------------------------------------- numbers

bool HexToLong(const QString &text, qint32 &value)
{
    const QString t = text.trimmed();
    if (t.isEmpty() || t.size() > 8)
        return false;
    for (QChar c : t)
        if (!isxdigit(c.toLatin1()) || c.unicode() > 127)
            return false;
    bool ok = false;
    const quint32 u = t.toUInt(&ok, 16);
    if (!ok)
        return false;
    if (t.size() <= 4)
        value = qint32(qint16(quint16(u)));
    else
        value = qint32(u);
    return true;
}

QString HexPad(qint64 v, int n)
{
    const QString h = QString::number(quint32(v), 16).toUpper();
    const QString s = QString(n, QLatin1Char('0')) + h;
    return s.right(n);
}
