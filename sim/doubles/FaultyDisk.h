#pragma once
// A disk that fails: installed as the disk service while it lives, it takes room more bytes
// in all and then refuses every write with error (ENOSPC for a full disk, EIO for a failing
// device); the write that reaches the limit takes the bytes up to it first, as a disk that
// fills up part-way does. Or it takes every write and fails the sync with error.
#include "platform/TextFile.h"

class FaultyDisk : public DiskService {
public:
    enum class Fails { Write, Sync };
    FaultyDisk(Fails where, qint64 room, int error) : m_where(where), m_room(room), m_error(error)
    {
        installDisk(this);
    }
    ~FaultyDisk() override { installDisk(nullptr); }
    FaultyDisk(const FaultyDisk &) = delete;
    FaultyDisk &operator=(const FaultyDisk &) = delete;

    ssize_t write(int fd, const char *data, size_t n) override;
    int fsync(int fd) override;

    int failures = 0; // how many calls were refused

private:
    Fails m_where;
    qint64 m_room;
    int m_error;
};
