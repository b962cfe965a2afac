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
