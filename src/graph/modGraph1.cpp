#include "graph/modGraph1.h"

#include "core/modMain1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/TextFile.h"

#include <QStringList>

#include <algorithm>

namespace {
qint32 s_colors[kColors] = {};
}
const qint32 (&g_lngColor)[kColors] = s_colors;

void g_subColorsSet(const qint32 (&colors)[kColors]) { std::copy(colors, colors + kColors, s_colors); }

const qint32 *DefaultColors()
{
    static const qint32 defaults[11] = {0, 255, 65535, 65280, 16711680, 16776960, 16711935, 16777215, 26163, 8454143, 6710886};
    return defaults;
}

void SetDefaultColors()
{
    const qint32 *defaults = DefaultColors();
    std::copy(defaults, defaults + 11, s_colors);
}

bool LoadColorFile()
{
    QByteArray bytes;
    if (ReadWholeFile(DataFile(QStringLiteral("clr.ini")), bytes).failed())
        return false;
    // The file's one quoted item holds the 21 numbers; an unquoted line reads as its first
    // number only and is refused.
    QuotedItemReader r(bytes);
    QByteArray item;
    if (!r.next(item))
        return false;
    const QList<QByteArray> parts = item.split(',');
    if (parts.size() != kColors)
        return false;
    qint32 values[kColors];
    for (int i = 0; i < kColors; ++i) {
        bool ok = false;
        values[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return false;
    }
    for (int i = 0; i < kColors; ++i)
        s_colors[i] = values[i];
    return true;
}

void DefaultColorTable(qint32 (&colors)[kColors])
{
    std::fill(colors, colors + kColors, 0);
    const qint32 *defaults = DefaultColors();
    std::copy(defaults, defaults + 11, colors);
}

QByteArray ColorFileBytes(const qint32 (&colors)[kColors])
{
    QStringList parts;
    for (qint32 c : colors)
        parts << QString::number(c);
    return SjisLines({QLatin1Char('"') + parts.join(QLatin1Char(',')) + QLatin1Char('"')});
}

bool SaveColorFile()
{
    const FileError e = WriteWholeFile(DataFile(QStringLiteral("clr.ini")), ColorFileBytes(s_colors));
    if (e.failed()) {
        MsgBox(ErrTextErrorNo(e), vbOKOnly + vbCritical,
               QStringLiteral("色設定ファイルの保存"));
        return false;
    }
    return true;
}

GraphEvents &graphEvents()
{
    static GraphEvents *e = new GraphEvents(); // lives as long as the process
    return *e;
}
