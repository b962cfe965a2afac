#pragma once
// Exports of the settings shown in the editor: CSV, HTML.
#include <QString>
#include <QStringList>

struct OutputTexts {
    QString strChMax[9]; // 1..8
    QString strChMin[9];
    QString strHysteresis;
};

OutputTexts subOutputDataGet();
QStringList CsvLines(const OutputTexts &t);
QStringList HtmlLines(const OutputTexts &t);
void g_subCsvOutput();
void g_subHtmlOutput();
