#include "doubles/FaultyDisk.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

ssize_t FaultyDisk::write(int fd, const char *data, size_t n)
{
    ++writes;
    if (m_where == Fails::Write) {
        if (m_room <= 0) {
            ++failures;
            errno = m_error;
            return -1;
        }
        n = size_t(std::min<qint64>(qint64(n), m_room));
    }
    const ssize_t r = ::write(fd, data, n);
    if (r > 0 && m_where == Fails::Write)
        m_room -= r;
    return r;
}

int FaultyDisk::fsync(int fd)
{
    ++syncs;
    if (m_where == Fails::Sync) {
        ++failures;
        errno = m_error;
        return -1;
    }
    return ::fsync(fd);
}

int FaultyDisk::openAppend(const char *path)
{
    const int fd = DiskService::openAppend(path);
    if (fd >= 0)
        ++opens;
    return fd;
}

int FaultyDisk::close(int fd)
{
    ++closes;
    return DiskService::close(fd);
}

int FaultyDisk::stat(const char *path, struct stat *st)
{
    ++stats;
    return DiskService::stat(path, st);
}

int FaultyDisk::rename(const char *from, const char *to)
{
    ++renames;
    if (renameError != 0) {
        ++failures;
        errno = renameError;
        return -1;
    }
    return DiskService::rename(from, to);
}
