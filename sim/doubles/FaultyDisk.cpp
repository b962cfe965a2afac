#include "doubles/FaultyDisk.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

ssize_t FaultyDisk::write(int fd, const char *data, size_t n)
{
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
    if (m_where == Fails::Sync) {
        ++failures;
        errno = m_error;
        return -1;
    }
    return ::fsync(fd);
}
