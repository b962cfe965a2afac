#include "settings/modOutput.h"

#include "core/modMain1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"

OutputTexts subOutputDataGet()
{
    // The texts the editor shows, as they stand (unsaved edits included).
    const EditorTexts e = g_funcEditorTexts();
    OutputTexts t;
    if (IsDistanceMode(g_intInputType)) {
        for (int n = 1; n <= 6; ++n)
            t.strChMax[n] = e.cell[1][n];
        t.strChMin[5] = e.detectLimit;
    } else {
        for (int n = 1; n <= 8; ++n) {
            t.strChMax[n] = e.cell[1][n];
            t.strChMin[n] = e.cell[2][n];
        }
    }
    t.strHysteresis = e.param[4];
    return t;
}

QStringList CsvLines(const OutputTexts &t)
{
    QStringList lines;
    lines << QStringLiteral("ﾌｧｲﾙ名, ") + g_strUserFileTitle;
    if (IsDistanceMode(g_intInputType)) {
        lines << QStringLiteral("水位, 平常, 待機, 注意, 判断, 洪水, 急激");
        QStringList levels;
        for (int n = 1; n <= 6; ++n)
            levels << t.strChMax[n];
        lines << QStringLiteral("水位(M), ") + levels.join(QLatin1Char(','));
        lines << QStringLiteral("水位判定上限値,") + t.strChMin[5];
    } else {
        QStringList head, max, min;
        for (int n = 1; n <= 8; ++n) {
            head << QString::number(n) + QStringLiteral(" ch");
            max << t.strChMax[n];
            min << t.strChMin[n];
        }
        lines << QStringLiteral(", ") + head.join(QLatin1Char(','));
        lines << QStringLiteral("最大値,") + max.join(QLatin1Char(','));
        lines << QStringLiteral("最小値,") + min.join(QLatin1Char(','));
    }
    lines << QStringLiteral("ヒステリシス,") + t.strHysteresis;
    return lines;
}

QStringList HtmlLines(const OutputTexts &t)
{
    QString head = QStringLiteral("<tr><td>ch</td>"), max = QStringLiteral("<tr><td>最大値</td>"),
            min = QStringLiteral("<tr><td>最小値</td>");
    for (int n = 1; n <= 8; ++n) {
        head += QStringLiteral("<td>") + QString::number(n) + QStringLiteral(" ch</td>");
        max += QStringLiteral("<td>") + t.strChMax[n] + QStringLiteral("</td>");
        min += QStringLiteral("<td>") + t.strChMin[n] + QStringLiteral("</td>");
    }
    return {QStringLiteral("<html><body><strong>Qelvo SoftWare 設定</strong>"),
            QStringLiteral("<p>保存ファイル名 ： ") + g_strUserFileTitle + QStringLiteral("</p>"),
            QStringLiteral("<table border=1 bordercolor=#cccccc cellpadding=4 cellspacing=0>"),
            head + QStringLiteral("</tr>"),
            max + QStringLiteral("</tr>"),
            min + QStringLiteral("</tr></table>"),
            QStringLiteral("<p>ヒステリシス = ") + t.strHysteresis + QStringLiteral("</p>"),
            QStringLiteral("</body></html>")};
}

// The export's save dialog; nullopt when cancelled or when no name can be proposed.
static std::optional<QString> exportDialog(const QString &filter, const QString &ext)
{
    // The proposed name drops the title's last four characters (".qvd"); a shorter
    // title cannot give one and ends the command.
    if (g_strUserFileTitle.size() < 4)
        return std::nullopt;
    FileDialogRequest req;
    req.title = QStringLiteral("名前を付けて保存");
    req.filter = filter;
    req.flags = cdlOFNOverwritePrompt | cdlOFNHideReadOnly | cdlOFNPathMustExist | cdlOFNNoReadOnlyReturn |
                cdlOFNLongNames;
    req.initDir = g_strUserFile;
    req.fileName = g_strUserFileTitle.left(g_strUserFileTitle.size() - 4) + ext;
    return dialogs().saveFile(req);
}

static void writeExport(const QString &path, const QStringList &lines, const QString &caption)
{
    // A file name Shift_JIS cannot hold is written as closely as it can be.
    const FileError e = WriteWholeFile(path, SjisLines(lines));
    if (e.failed())
        MsgBox(ErrTextNumberFirst(e), vbOKOnly + vbCritical, caption);
}

void g_subCsvOutput()
{
    const auto path = exportDialog(QStringLiteral("csvﾌｧｲﾙ(*.csv)|*.csv"), QStringLiteral(".csv"));
    if (!path)
        return;
    writeExport(*path, CsvLines(subOutputDataGet()), QStringLiteral("csvﾌｧｲﾙ 出力"));
}

void g_subHtmlOutput()
{
    const auto path = exportDialog(QStringLiteral("csvﾌｧｲﾙ(*.html)|*.html"), QStringLiteral(".html"));
    if (!path)
        return;
    writeExport(*path, HtmlLines(subOutputDataGet()), QStringLiteral("HTMLﾌｧｲﾙ 出力"));
}
