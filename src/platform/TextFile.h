#pragma once
// Text files as the tool keeps them: Shift_JIS (code page 932), CR LF lines, whole-file
// writes through QSaveFile, appends for logs, the quoted-item reader shared by every
// settings file, and failures numbered like the classic runtime's file errors.
#include <QByteArray>
#include <QString>
#include <QStringList>

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
// Writes through QSaveFile: a failed or interrupted write leaves the old file whole, and the
// new one is on the disk before it replaces the old one.
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
