#pragma once
// A disk that fails: installed as the disk service while it lives, it takes room more bytes
// in all and then refuses every write with error (ENOSPC for a full disk, EIO for a failing
// device); the write that reaches the limit takes the bytes up to it first, as a disk that
// fills up part-way does. Or it takes every write and fails the sync with error, or it
// fails nothing (Fails::Never) and only counts. Every call is counted, so a test sees what
// a line costs (one write, no open).
#include "platform/TextFile.h"

#include <QtGlobal>

class FaultyDisk : public DiskService {
public:
    enum class Fails { Never, Write, Sync };
    FaultyDisk(Fails where, qint64 room, int error) : m_where(where), m_room(room), m_error(error)
    {
        installDisk(this);
    }
    // A disk that fails nothing and counts.
    FaultyDisk() : FaultyDisk(Fails::Never, 0, 0) {}
    ~FaultyDisk() override { installDisk(nullptr); }
    FaultyDisk(const FaultyDisk &) = delete;
    FaultyDisk &operator=(const FaultyDisk &) = delete;

    ssize_t write(int fd, const char *data, size_t n) override;
    int fsync(int fd) override;
    int openAppend(const char *path) override;
    int close(int fd) override;
    int stat(const char *path, struct stat *st) override;
    // Refused with renameError while it is not 0 (and counted), else done.
    int rename(const char *from, const char *to) override;

    // From now on: fail as where says, with room more bytes (a disk that fills, empties,
    // or starts failing under a file kept open).
    void setFaults(Fails where, qint64 room, int error)
    {
        m_where = where;
        m_room = room;
        m_error = error;
    }
    // The files opened for appending and not closed.
    int openNow() const { return opens - closes; }

    int failures = 0; // how many calls were refused
    int writes = 0, syncs = 0, opens = 0, closes = 0, stats = 0, renames = 0; // the calls made
    int renameError = 0; // errno for every rename while not 0

private:
    Fails m_where;
    qint64 m_room;
    int m_error;
};
