#pragma once
// Text files as the tool keeps them: Shift_JIS (code page 932), CR LF lines, whole-file
// writes (a new file beside the old one, checked and synced, then renamed over it), appends
// for logs, the quoted-item reader shared by every settings file, and failures numbered
// like the classic runtime's file errors.
#include <QByteArray>
#include <QString>
#include <QStringList>

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
// I/O error. Production calls the system; tests install a disk that fails at a chosen byte.
class DiskService {
public:
    virtual ~DiskService() = default;
    // As write(2) and fsync(2): -1 with errno set on failure; a write may take fewer bytes.
    virtual ssize_t write(int fd, const char *data, size_t n) = 0;
    virtual int fsync(int fd) = 0;
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
