#pragma once
// Text files as the tool keeps them: Shift_JIS (code page 932), CR LF lines, whole-file
// writes (a new file beside the old one, checked and synced, then renamed over it), appends
// for logs, the quoted-item reader shared by every settings file, and failures numbered
// like the classic runtime's file errors.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <sys/types.h>

struct FileError {
    int number = 0;
    QString description;
    bool failed() const { return number != 0; }
};

enum : int {
    errOverflow = 6,
    errOutOfMemory = 7,
    errTypeMismatch = 13,
    errFileNotFound = 53,
    errDeviceIO = 57,
    errDiskFull = 61,
    errInputPastEnd = 62,
    errPermissionDenied = 70,
    errPathFileAccess = 75,
    errPathNotFound = 76,
};

// The classic runtime's description of an error number.
QString ErrorDescription(int number);
FileError MakeError(int number);

// Shift_JIS with the Windows fallbacks for the characters ICU's table refuses.
QByteArray SjisEncode(const QString &text, bool *ok = nullptr);
QString SjisDecode(const QByteArray &bytes);
// Each line encoded and followed by CR LF.
QByteArray SjisLines(const QStringList &lines, bool *ok = nullptr);

// No file the tool reads is larger than this; a longer (or endless) one fails with
// errOutOfMemory instead of being taken into memory whole.
constexpr qint64 kMaxReadBytes = 16 * 1024 * 1024;
FileError ReadWholeFile(const QString &path, QByteArray &out, qint64 maxBytes = kMaxReadBytes);
// The disk as the file writes see it: the calls that can fail for lack of room or with an
// I/O error, and those of a file kept open for appending. Production calls the system;
// tests install a disk that fails at a chosen byte, or counts the calls.
class DiskService {
public:
    virtual ~DiskService() = default;
    // As write(2) and fsync(2): -1 with errno set on failure; a write may take fewer bytes.
    virtual ssize_t write(int fd, const char *data, size_t n) = 0;
    virtual int fsync(int fd) = 0;
    // A file opened for appending: open(2) with O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC
    // (mode 0666, the umask applies), close(2), and stat(2) of a path, by which a file kept
    // open learns whether its path still names it. -1 with errno set on failure.
    virtual int openAppend(const char *path);
    virtual int close(int fd);
    virtual int stat(const char *path, struct stat *st);
    // rename(2): a file moved to another name in its folder (a day's log put aside).
    virtual int rename(const char *from, const char *to);
};
DiskService &diskService();
void installDisk(DiskService *d); // not owned; nullptr restores the real one

// Writes a new file beside the old one, unbuffered, so that every failed write is seen
// (a full disk, an I/O error); checks its size, syncs it to the disk and only then renames
// it over the old one. A failure at any step leaves the old file whole and no new file
// behind. A link is written through to the file it points to, and an existing file's
// permissions are kept.
FileError WriteWholeFile(const QString &path, const QByteArray &bytes);
// The same for a scratch copy that nothing reads back (temp.tmp): still whole or not at
// all, but without waiting for the disk, which would hold up the transfer it ends.
FileError WriteScratchFile(const QString &path, const QByteArray &bytes);
// Appends; a failed append leaves the file as it was (a partly written end is cut off).
FileError AppendToFile(const QString &path, const QByteArray &bytes);
// Moves the file at from to the name to through the disk service, replacing nothing: a file
// already at to fails it (errPathFileAccess).
FileError RenameFile(const QString &from, const QString &to);

// A process that keeps a file open per site (the fleet watcher's logs, beside a socket per
// site) raises its limit of open files to what the system allows it (the soft limit is
// often 1024); false when it could not.
bool RaiseOpenFileLimit();

// A file kept open for appending, as a log is while its run lasts: an append is one
// unbuffered write(2) through the disk service, so its bytes are with the kernel when it
// returns (nothing is lost if the process is killed) and a line costs no open, stat or
// close. What an append guarantees is AppendToFile's: a failed write cuts off whatever part
// of it went out, so the file never holds half of it; the file is then closed, and the next
// append opens it again. The file is opened again as well
//  - for another path;
//  - when the path no longer names the open file (deleted, renamed, replaced: the next
//    append writes a new file at the path, as an append that opens each time would), and
//  - when the local date has changed since it was opened (a new day's file).
// The path is looked at before an append at most once in kCheckMs of elapsed time (one
// stat(2)); the day's end is known from the open on the elapsed clock, so the first append
// of a new day opens the new file without a system call to find it out.
class AppendFile {
public:
    static constexpr qint64 kCheckMs = 1000;

    AppendFile() = default;
    ~AppendFile() { close(); }
    AppendFile(const AppendFile &) = delete;
    AppendFile &operator=(const AppendFile &) = delete;

    FileError append(const QString &path, const QByteArray &bytes);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    // The file open now (empty when none is).
    const QString &path() const { return m_path; }

private:
    FileError open(const QString &path);
    // Whether the open file may take the next append: the path still names it, and its day
    // has not ended.
    bool stillCurrent();

    int m_fd = -1;
    QString m_path;
    QByteArray m_name; // the path as the system takes it
    dev_t m_dev = 0;
    ino_t m_ino = 0;
    qint64 m_checkedMs = 0; // elapsed time of the last check (or of the open)
    qint64 m_day = 0;       // the local date of the open (its Julian day)
    qint64 m_dayEndElapsedMs = 0; // the elapsed time at which that date ends
    void noteDay();
};
// True when the file can be opened for reading.
bool CanOpenForReading(const QString &path);

// Reads items separated by commas or line ends; blanks and line ends before an item are
// skipped; a quoted item is the text between its quotes; an unquoted item runs to the
// next comma or line end. An empty last line gives one empty item.
class QuotedItemReader {
public:
    explicit QuotedItemReader(const QByteArray &bytes) : m_b(bytes) {}
    // Next item as raw bytes; false (with errInputPastEnd) when the file has no more items.
    bool next(QByteArray &item);
    bool atEnd() const { return m_pos >= m_b.size(); }
    qsizetype position() const { return m_pos; }
    // Continues reading at byte pos (after a caller took a line by itself).
    void skipTo(qsizetype pos) { m_pos = pos; }

private:
    const QByteArray m_b; // shared, not copied
    qsizetype m_pos = 0;
};

// Hexadecimal text to a number as "&H" & text would read: up to 8 digits, 4-digit
// values are 16-bit and 8-digit ones 32-bit (so FFFFFF88 is -120). False when not hex.
bool HexToLong(const QString &text, qint32 &value);
// The last n characters of zeros followed by the upper-case hexadecimal of v.
QString HexPad(qint64 v, int n);
