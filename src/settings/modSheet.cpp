#include "settings/modSheet.h"

#include "core/modMain1.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "settings/modCompare.h"

#include <QBuffer>
#include <QFont>
#include <QPageLayout>
#include <QPageSize>
#include <QPagedPaintDevice>
#include <QPdfWriter>
#include <QTextDocument>
#include <memory>

namespace {
QString esc(const QString &s) { return s.toHtmlEscaped(); }

QString th(const QString &s) { return QStringLiteral("<th>") + esc(s) + QStringLiteral("</th>"); }
QString td(const QString &s) { return QStringLiteral("<td align=\"right\">") + esc(s) + QStringLiteral("</td>"); }
QString tdText(const QString &s) { return QStringLiteral("<td>") + esc(s) + QStringLiteral("</td>"); }

const QString kTable = QStringLiteral("<table border=\"1\" cellspacing=\"0\" cellpadding=\"5\">");
} // namespace

SheetSource EditorSheetSource()
{
    return {g_strUserFileTitle, g_typSettingsSource.port, g_typSettingsSource.readAt};
}

bool SheetHtml(const MemCell *image, const SheetSource &source, const QDateTime &made, QString &html, FileError &err)
{
    const QString &fileTitle = source.fileTitle;
    EditorTexts t;
    int type = 0;
    QList<SettingItem> items;
    if (!EditorTextsOf(image, t, type, err) || !SettingsOf(image, items, err))
        return false;
    const InputTypeInfo &info = InputTypeOf(type);
    const bool distance = IsDistanceMode(type);
    const QString title = QStringLiteral("Qelvo SoftWare 設定");
    QStringList h;
    h << QStringLiteral("<!DOCTYPE html>") << QStringLiteral("<html lang=\"ja\">") << QStringLiteral("<head>")
      << QStringLiteral("<meta charset=\"utf-8\">")
      << QStringLiteral("<title>") + esc(title + QStringLiteral(" - ") + fileTitle) + QStringLiteral("</title>")
      << QStringLiteral("<style>body { font-family: \"IPAGothic\", sans-serif; } "
                        "th { background-color: #e8e8e8; font-weight: normal; } "
                        "h1 { font-size: x-large; } h2 { font-size: large; margin-top: 16px; }</style>")
      << QStringLiteral("</head>") << QStringLiteral("<body>");
    h << QStringLiteral("<h1>") + esc(title) + QStringLiteral("</h1>");
    h << kTable;
    h << QStringLiteral("<tr>") + th(QStringLiteral("保存ファイル名")) + tdText(fileTitle) + QStringLiteral("</tr>");
    // Where the values came from: the file, or the controller and when it was read.
    const QString from = source.port > 0 ? QStringLiteral("ｺﾝﾄﾛｰﾗ COM") + QString::number(source.port)
                                         : QStringLiteral("ﾌｧｲﾙ ") + fileTitle;
    h << QStringLiteral("<tr>") + th(QStringLiteral("読込元")) + tdText(from) + QStringLiteral("</tr>");
    if (source.port > 0)
        h << QStringLiteral("<tr>") + th(QStringLiteral("読込日時")) +
                 tdText(source.readAt.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss"))) + QStringLiteral("</tr>");
    h << QStringLiteral("<tr>") + th(QStringLiteral("作成日時")) +
             tdText(made.toString(QStringLiteral("yyyy/MM/dd HH:mm"))) + QStringLiteral("</tr>");
    h << QStringLiteral("<tr>") + th(kCaptionInputType) + tdText(info.optionCaption) + QStringLiteral("</tr>");
    h << QStringLiteral("<tr>") + th(QStringLiteral("単位")) + tdText(info.unit) + QStringLiteral("</tr>");
    h << QStringLiteral("</table>");

    // The grid as the editor lays it out.
    h << QStringLiteral("<h2>") + esc(info.rangeCaption) + QStringLiteral("</h2>");
    h << kTable;
    const int cols = distance ? 6 : 8, rows = distance ? 1 : 2;
    QString head = QStringLiteral("<tr>") + th(QString());
    for (int c = 1; c <= cols; ++c)
        head += th(GridColumnCaption(type, c).trimmed());
    h << head + QStringLiteral("</tr>");
    for (int r = 1; r <= rows; ++r) {
        QString row = QStringLiteral("<tr>") + th(GridRowCaption(type, r) + QStringLiteral(" (") + info.unit +
                                                 QLatin1Char(')'));
        for (int c = 1; c <= cols; ++c)
            row += td(t.cell[r][c]);
        h << row + QStringLiteral("</tr>");
    }
    h << QStringLiteral("</table>");

    h << QStringLiteral("<br>") << kTable;
    if (distance)
        h << QStringLiteral("<tr>") + th(kCaptionDetectLimit) + td(t.detectLimit + QLatin1Char(' ') + info.unit) +
                 QStringLiteral("</tr>");
    h << QStringLiteral("<tr>") + th(kCaptionHysteresis) + td(t.param[4] + QLatin1Char(' ') + info.unit) +
             QStringLiteral("</tr>");
    h << QStringLiteral("</table>");

    // The NC/NO boxes the editor shows (six in the distance modes).
    h << QStringLiteral("<h2>") + esc(kCaptionRelay) + QStringLiteral("</h2>") << kTable;
    const int boxes = distance ? 6 : 8;
    QString numbers = QStringLiteral("<tr>"), states = QStringLiteral("<tr>");
    for (int n = 1; n <= boxes; ++n) {
        numbers += th(QString::number(n));
        states += tdText(t.nc[n - 1] ? QStringLiteral("NC") : QStringLiteral("NO"));
    }
    h << numbers + QStringLiteral("</tr>") << states + QStringLiteral("</tr>") << QStringLiteral("</table>");

    // What the controller holds besides: the values the editor carries without showing.
    h << QStringLiteral("<h2>その他</h2>") << kTable;
    for (const SettingItem &s : items)
        if (!s.shown && !s.name.startsWith(kCaptionRelay))
            h << QStringLiteral("<tr>") + th(s.name) + td(s.display()) + QStringLiteral("</tr>");
    h << QStringLiteral("</table>") << QStringLiteral("</body>") << QStringLiteral("</html>");
    html = h.join(QLatin1Char('\n')) + QLatin1Char('\n');
    return true;
}

void SheetPaint(const QString &html, QPagedPaintDevice &device)
{
    QTextDocument doc;
    QFont font(QStringLiteral("IPAGothic"));
    font.setPointSize(10);
    doc.setDefaultFont(font);
    doc.setHtml(html);
    doc.print(&device);
}

FileError SheetHtmlFile(const QString &html, const QString &path) { return WriteWholeFile(path, html.toUtf8()); }

FileError SheetPdfFile(const QString &html, const QString &title, const QString &path)
{
    return WriteWholeFile(path, SheetPdfBytes(html, title));
}

QByteArray SheetPdfBytes(const QString &html, const QString &title)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QPdfWriter pdf(&buffer);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pdf.setPageMargins(QMarginsF(20, 20, 20, 20), QPageLayout::Millimeter);
        pdf.setTitle(title);
        pdf.setCreator(QStringLiteral("Qelvo"));
        SheetPaint(html, pdf);
    }
    return buffer.data();
}

void g_subSheetPrint()
{
    const QString caption = QStringLiteral("印刷");
    std::unique_ptr<MemCell[]> image(new MemCell[kImageCells]);
    EditorImage(image.get());
    QString html;
    FileError e;
    if (!SheetHtml(image.get(), EditorSheetSource(), Now(), html, e)) {
        MsgBox(ErrTextNumberFirst(e), vbOKOnly + vbCritical, caption);
        return;
    }
    const QString name = g_strUserFileTitle.isEmpty() ? QStringLiteral("Qelvo SoftWare 設定") : g_strUserFileTitle;
    if (dialogs().print(name, [&html](QPagedPaintDevice &d) { SheetPaint(html, d); }) == PrintResult::Failed)
        MsgBox(QStringLiteral("印刷できませんでした。"), vbOKOnly + vbCritical, caption);
}
