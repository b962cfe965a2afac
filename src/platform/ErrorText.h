#pragma once
// The layouts in which the tool's messages give a failure's number and description, one
// function per layout. E is any failure with a number and a description (FileError,
// CommError).
#include <QString>

// "53 :  File not found": the file operations' layout (two blanks after the colon).
template <class E> QString ErrTextNumberFirst(const E &e)
{
    return QString::number(e.number) + QStringLiteral(" :  ") + e.description;
}
// "53 : File not found": the same with one blank (a new document).
template <class E> QString ErrTextNumberFirstShort(const E &e)
{
    return QString::number(e.number) + QStringLiteral(" : ") + e.description;
}
// "File not found : Error.No = 53": the settings files of the windows.
template <class E> QString ErrTextErrorNo(const E &e)
{
    return e.description + QStringLiteral(" : Error.No = ") + QString::number(e.number);
}
// "Port not available:Err.Number 8012": the serial port layer.
template <class E> QString ErrTextErrNumber(const E &e)
{
    return e.description + QStringLiteral(":Err.Number ") + QString::number(e.number);
}
// "Type mismatch : ｴﾗｰNo.13": the exchanges with the controller.
template <class E> QString ErrTextJpNo(const E &e)
{
    return e.description + QStringLiteral(" : ｴﾗｰNo.") + QString::number(e.number);
}
// "File not found :Err.No = 53": the log filer's settings file.
template <class E> QString ErrTextErrNo(const E &e)
{
    return e.description + QStringLiteral(" :Err.No = ") + QString::number(e.number);
}
// "Disk full: Err.No=61": an append to a log file.
template <class E> QString ErrTextAppend(const E &e)
{
    return e.description + QStringLiteral(": Err.No=") + QString::number(e.number);
}
