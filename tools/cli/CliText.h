#pragma once
// qelvo-cli's output: lines on stdout and stderr (UTF-8), columns that line up on a
// terminal whatever mix of half-width and full-width characters they hold, and whether a
// stream is a terminal.
#include <QString>
#include <QStringList>

#include <cstdio>

// The cells a text takes on a terminal: 2 for a full-width character, 1 for the others
// (half-width katakana included).
int DisplayWidth(const QString &text);
// The text followed by blanks up to width cells.
QString PadTo(const QString &text, int width);
// Rows of columns, each column as wide as its widest cell, two blanks between columns.
QStringList AlignColumns(const QList<QStringList> &rows);

void PrintOut(const QString &line);   // the line and a line end on stdout
void PrintError(const QString &line); // "qelvo-cli: " and the line on stderr
bool StdinIsTerminal();
bool StderrIsTerminal();
