#include "platform/TextFile.h"

#include "platform/Clock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QStringEncoder>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

QString ErrorDescription(int number)
{
    switch (number) {
    case errOverflow: return QStringLiteral("Overflow");
    case errOutOfMemory: return QStringLiteral("Out of memory: the file is too large");
    case errTypeMismatch: return QStringLiteral("Type mismatch");
    case errFileNotFound: return QStringLiteral("File not found");
    case errDeviceIO: return QStringLiteral("Device I/O error");
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

// Why a file could not be opened for reading.
FileError errorForOpen(const QString &path, const QFileDevice &f)
{
    const QFileInfo fi(path);
    if (!fi.dir().exists())
        return MakeError(errPathNotFound);
    switch (f.error()) {
    case QFileDevice::PermissionsError: return MakeError(errPermissionDenied);
    case QFileDevice::ResourceError: return MakeError(errDiskFull);
    default: break;
    }
    if (!fi.exists())
        return MakeError(errFileNotFound);
    if (!fi.isReadable())
        return MakeError(errPermissionDenied);
    return MakeError(errPathFileAccess);
}

// A failed system call's errno as the classic runtime numbers it.
FileError errorForErrno(int err)
{
    switch (err) {
    // No room on the disk, no inode left, over a quota or past the file size limit.
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return MakeError(errDiskFull);
    case EIO: return MakeError(errDeviceIO);
    case EACCES:
    case EPERM:
    case EROFS: return MakeError(errPermissionDenied);
    case ENOENT:
    case ENOTDIR: return MakeError(errPathNotFound);
    default: return MakeError(errPathFileAccess);
    }
}

// Writes all of bytes to fd through the disk service; false with errno set when a write
// fails or the disk takes nothing more.
bool writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = diskService().write(fd, p, size_t(std::min<qint64>(left, 1 << 20)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

class SystemDisk : public DiskService {
public:
    ssize_t write(int fd, const char *data, size_t n) override { return ::write(fd, data, n); }
    int fsync(int fd) override { return ::fsync(fd); }
};

// Writes bytes to fd through the disk service; on a failure the part that went out is cut
// off again (the file ends where it ended before), and errno is the write's.
bool appendAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qint64 left = bytes.size(), written = 0;
    while (left > 0) {
        const ssize_t n = diskService().write(fd, p, size_t(std::min<qint64>(left, 1 << 20)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n == 0 ? ENOSPC : errno;
            // With O_APPEND the part written is the file's end, whoever else appends.
            struct stat st {};
            if (written > 0 && ::fstat(fd, &st) == 0 && st.st_size >= written)
                [[maybe_unused]] const int cut = ::ftruncate(fd, st.st_size - written);
            errno = err;
            return false;
        }
        p += n;
        written += n;
        left -= n;
    }
    return true;
}
DiskService *g_disk = nullptr;

// The new file beside path (path.XXXXXX), made with mode (the umask applies); -1 with errno.
int createBeside(const QByteArray &path, mode_t mode, QByteArray &name)
{
    static const char digits[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = path + '.';
        for (int i = 0; i < 6; ++i)
            name += digits[QRandomGenerator::global()->bounded(int(sizeof digits) - 1)];
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// The file a path names for writing: a link is followed to where it points, as far as it
// goes (a dangling link's target is created).
QString writeTarget(const QString &path)
{
    QFileInfo fi(path);
    if (!fi.isSymLink())
        return path;
    int depth = 128;
    while (--depth && fi.isSymLink())
        fi.setFile(fi.symLinkTarget());
    return depth > 0 ? fi.filePath() : path;
}

// A new file in the old one's place, or the old one left as it was.
FileError replaceFile(const QString &path, const QByteArray &bytes, bool sync)
{
    const QString target = writeTarget(path);
    const QFileInfo fi(target);
    if (!fi.dir().exists())
        return MakeError(errPathNotFound);
    if (fi.isDir())
        return MakeError(errPathFileAccess);
    const QByteArray finalName = QFile::encodeName(target);
    struct stat old {};
    const bool exists = ::stat(finalName.constData(), &old) == 0;
    if (exists && ::access(finalName.constData(), W_OK) != 0)
        return MakeError(errPermissionDenied);
    QByteArray temp;
    const int fd = createBeside(finalName, exists ? (old.st_mode & 07777) : 0666, temp);
    if (fd < 0)
        return errorForErrno(errno);
    const auto fail = [&](int err) {
        ::close(fd);
        ::unlink(temp.constData());
        return errorForErrno(err);
    };
    // The old file's permissions, whatever the umask took away.
    if (exists)
        ::fchmod(fd, old.st_mode & 07777);
    if (!writeAll(fd, bytes))
        return fail(errno);
    // Whatever took the bytes, the file holds all of them or it does not replace the old one.
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fail(errno);
    if (st.st_size != bytes.size())
        return fail(EIO);
    // A disk that reports its errors only when the data goes out reports them here; a file
    // system that cannot sync says so (EINVAL) and is taken as it is.
    if (sync && diskService().fsync(fd) != 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP)
        return fail(errno);
    if (::close(fd) != 0 && errno != EINTR) {
        const int err = errno;
        ::unlink(temp.constData());
        return errorForErrno(err);
    }
    if (::rename(temp.constData(), finalName.constData()) != 0) {
        const int err = errno;
        ::unlink(temp.constData());
        return errorForErrno(err);
    }
    if (sync) {
        // The rename itself reaches the disk with the folder.
        const int dir = ::open(QFile::encodeName(fi.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return {};
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
        return errorForOpen(path, f);
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

DiskService &diskService()
{
    static SystemDisk real;
    return g_disk ? *g_disk : real;
}

void installDisk(DiskService *d) { g_disk = d; }

FileError WriteWholeFile(const QString &path, const QByteArray &bytes) { return replaceFile(path, bytes, true); }

FileError WriteScratchFile(const QString &path, const QByteArray &bytes) { return replaceFile(path, bytes, false); }

FileError AppendToFile(const QString &path, const QByteArray &bytes)
{
    AppendFile file;
    const FileError e = file.append(path, bytes);
    file.close();
    return e;
}

bool RaiseOpenFileLimit()
{
    rlimit lim {};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return false;
    if (lim.rlim_cur == lim.rlim_max)
        return true;
    lim.rlim_cur = lim.rlim_max;
    return ::setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

int DiskService::openAppend(const char *path) { return ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666); }
int DiskService::close(int fd) { return ::close(fd); }
int DiskService::stat(const char *path, struct stat *st) { return ::stat(path, st); }
int DiskService::rename(const char *from, const char *to) { return ::rename(from, to); }

FileError RenameFile(const QString &from, const QString &to)
{
    struct stat st {};
    const QByteArray target = QFile::encodeName(to);
    // rename(2) would replace it: what is there stays.
    if (diskService().stat(target.constData(), &st) == 0)
        return MakeError(errPathFileAccess);
    if (diskService().rename(QFile::encodeName(from).constData(), target.constData()) != 0)
        return errorForErrno(errno);
    return {};
}

FileError AppendFile::open(const QString &path)
{
    close();
    const QByteArray name = QFile::encodeName(path);
    // Unbuffered: each write goes to the file at once, and its failure is seen there.
    const int fd = diskService().openAppend(name.constData());
    if (fd < 0)
        return errno == EISDIR ? MakeError(errPathFileAccess) : errorForErrno(errno);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        diskService().close(fd);
        return errorForErrno(err);
    }
    m_fd = fd;
    m_path = path;
    m_name = name;
    m_dev = st.st_dev;
    m_ino = st.st_ino;
    m_checkedMs = clockService().elapsedMs();
    noteDay();
    return {};
}

void AppendFile::noteDay()
{
    const QDateTime now = Now();
    m_day = now.date().toJulianDay();
    const QDateTime dayEnd(now.date().addDays(1), QTime(0, 0));
    m_dayEndElapsedMs = clockService().elapsedMs() + qMax<qint64>(0, now.msecsTo(dayEnd));
}

void AppendFile::close()
{
    if (m_fd >= 0)
        diskService().close(m_fd);
    m_fd = -1;
    m_path.clear();
    m_name.clear();
}

bool AppendFile::stillCurrent()
{
    const qint64 now = clockService().elapsedMs();
    if (now - m_checkedMs < kCheckMs && now >= m_checkedMs)
        return now < m_dayEndElapsedMs; // the day's end on the elapsed clock: no system call
    m_checkedMs = now;
    struct stat st {};
    if (diskService().stat(m_name.constData(), &st) != 0 || st.st_dev != m_dev || st.st_ino != m_ino)
        return false;
    if (Now().date().toJulianDay() != m_day)
        return false;
    noteDay(); // the wall clock may have been set meanwhile
    return true;
}

FileError AppendFile::append(const QString &path, const QByteArray &bytes)
{
    if (m_fd < 0 || path != m_path || !stillCurrent()) {
        if (const FileError e = open(path); e.failed())
            return e;
    }
    if (!appendAll(m_fd, bytes)) {
        const FileError e = errorForErrno(errno);
        // The next append opens the file again: a disk that failed once is asked afresh.
        close();
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
