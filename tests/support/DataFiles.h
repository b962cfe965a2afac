#pragma once
// The application's data files, written here byte for byte without the code under test:
// a user data file (.qvd and "def.tmp"), "frmst.tmp" and "qvo.ini". Header-only, so the
// benchmarks use the same files.
#include "platform/Paths.h"
#include "settings/modUserData.h"

#include <QByteArray>
#include <QFile>
#include <QMap>
#include <QString>

// Two, four or eight upper-case hexadecimal digits.
inline QByteArray hexDigits(int value, int digits)
{
    return QByteArray::number(value, 16).toUpper().rightJustified(digits, '0');
}

// A user data file: cell i holds "00" unless data names it; lines says how many lines,
// lastCrLf whether the last one ends.
inline QByteArray userDataFile(const QMap<int, QByteArray> &data = {}, int lines = kImageCells, bool lastCrLf = true)
{
    QByteArray out;
    for (int i = 0; i < lines; ++i) {
        out += '"' + hexDigits(i, 4) + "\",\"" + data.value(i, "00") + '"';
        if (i + 1 < lines || lastCrLf)
            out += "\r\n";
    }
    return out;
}

// A 16-bit count into its two cells of a settings map (low byte first).
inline void putCount(QMap<int, QByteArray> &cells, int lowCell, int count)
{
    cells[lowCell] = hexDigits(count & 0xFF, 2);
    cells[lowCell + 1] = hexDigits(count >> 8, 2);
}

// A settings block with a value of its own in every field, for the input code given:
// output n from count 100n-78 to 100n+61, scalings 3 and 7, offsets 20 and 1000 counts,
// hysteresis 41, NC boxes A5 (outputs 1, 3, 6, 8) and the carried byte 2C = 12.
inline QMap<int, QByteArray> sampleSettings(const QByteArray &inputCode)
{
    QMap<int, QByteArray> c;
    for (int n = 1; n <= 8; ++n) {
        putCount(c, ChMinCell(n), 100 * n - 78);
        putCount(c, ChMaxCell(n), 100 * n + 61);
    }
    putCount(c, cellScaling1, 3);
    putCount(c, cellScaling2, 7);
    putCount(c, cellOffset0V, 20);
    putCount(c, cellOffset5V, 1000);
    putCount(c, cellHysteresis, 41);
    c[cellRelayMode] = "A5";
    c[cellInputCode] = inputCode;
    c[0x2C] = "12";
    return c;
}

// "frmst.tmp": 31 records, the given bodies by id, zero records for the rest.
inline QByteArray formPosFile(const QMap<int, QByteArray> &bodies = {})
{
    QByteArray out;
    for (int id = 0; id <= 30; ++id)
        out += '"' + bodies.value(id, hexDigits(id, 2) + ",00000000,00000000,00000000,00000000,00") + "\"\r\n";
    return out;
}

// "qvo.ini": the port, 1000 ms sampling and the last file.
inline QByteArray qvoIniFile(int port, const QString &lastFile = QString())
{
    return hexDigits(port, 2) + "\r\n03E8\r\n" + lastFile.toUtf8() + "\r\n";
}

// The file's bytes; empty when it cannot be read.
inline QByteArray readBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Replaces the file's contents; false when it cannot be written.
inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// The files a normal start finds in the data folder: "qvo.ini" (port, lastFile), "def.tmp"
// (all zero, marker FF) and "frmst.tmp" (all-zero records).
inline bool seedDataFiles(int port = 1, const QString &lastFile = QString())
{
    const QString folder = DataFolder();
    return writeBytes(folder + QStringLiteral("qvo.ini"), qvoIniFile(port, lastFile)) &&
           writeBytes(folder + QStringLiteral("def.tmp"), userDataFile({{cellMarker, "FF"}})) &&
           writeBytes(folder + QStringLiteral("frmst.tmp"), formPosFile());
}
