#pragma once
// The settings sheet: every value the editor shows, with the input type, the file name and
// the date, for the record of what a controller holds. One HTML document: written as it is
// (qelvo-cli sheet), and laid out by QTextDocument on paper (印刷) or in a PDF.
#include "platform/TextFile.h"
#include "settings/modUserData.h"

#include <QDateTime>
#include <QString>

class QPagedPaintDevice;

// Where a sheet's values came from: the document's file (port 0), or the controller on
// COM port, read at readAt. The sheet names it, and the time of a read.
struct SheetSource {
    QString fileTitle; // the document's file name ("site.qvd"); may be empty for a controller
    int port = 0;
    QDateTime readAt;
};
// The source of the editor's values as they stand (g_typSettingsSource and the document).
SheetSource EditorSheetSource();

// The sheet of an image; false (with the conversion error) when it cannot be shown.
bool SheetHtml(const MemCell *image, const SheetSource &source, const QDateTime &made, QString &html, FileError &err);
// Lays the sheet out on a printer or a PDF writer, page after page.
void SheetPaint(const QString &html, QPagedPaintDevice &device);
// The sheet as an HTML file (UTF-8) or an A4 PDF file, each written whole or not at all.
FileError SheetHtmlFile(const QString &html, const QString &path);
FileError SheetPdfFile(const QString &html, const QString &title, const QString &path);
// The A4 PDF's bytes.
QByteArray SheetPdfBytes(const QString &html, const QString &title);

// ﾌｧｲﾙ > 出力 > 印刷(&P): the editor's values as they stand (unsaved edits included) on the
// sheet, through the print dialog.
void g_subSheetPrint();
