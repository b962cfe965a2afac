#include "settings/modCompare.h"

#include <QHash>
#include <algorithm>

const QString kCaptionInputType = QStringLiteral("入力選択");
const QString kCaptionDetectLimit = QStringLiteral("水位判定上限");
const QString kCaptionHysteresis = QStringLiteral("ﾋｽﾃﾘｼｽ");
const QString kCaptionRelay = QStringLiteral("出力反転");

namespace {
// Reading another image's settings borrows the editor's input type; this gives it back.
class TypeKeeper {
public:
    TypeKeeper() : m_type(g_intInputType), m_scale(g_dblScale), m_unit(g_strUnit) {}
    ~TypeKeeper()
    {
        g_intInputType = m_type;
        g_dblScale = m_scale;
        g_strUnit = m_unit;
    }
    TypeKeeper(const TypeKeeper &) = delete;
    TypeKeeper &operator=(const TypeKeeper &) = delete;

private:
    qint16 m_type;
    double m_scale;
    QString m_unit;
};

const char *const kLevels[6] = {"平常 ", "待機 ", "注意 ", "判断 ", "洪水 ", "増水 "};

// A grid value's name: its column caption and its row caption ("Out 3 最大値", "平常 距離").
QString gridName(int type, int row, int col)
{
    return GridColumnCaption(type, col).trimmed() + QLatin1Char(' ') + GridRowCaption(type, row);
}
} // namespace

QString GridColumnCaption(int inputType, int col)
{
    if (IsDistanceMode(inputType))
        return col >= 1 && col <= 6 ? QString::fromUtf8(kLevels[col - 1]) : QString();
    return col >= 1 && col <= 8 ? QStringLiteral("Out ") + QString::number(col) : QString();
}

QString GridRowCaption(int inputType, int row)
{
    if (IsDistanceMode(inputType))
        return row == 1 ? QStringLiteral("距離") : QString();
    if (row == 1)
        return QStringLiteral("最大値");
    return row == 2 ? QStringLiteral("最小値") : QString();
}

bool EditorTextsOf(const MemCell *image, EditorTexts &texts, int &inputType, FileError &err)
{
    const TypeKeeper keep;
    SetTypeFromImage(image);
    inputType = g_intInputType;
    return DecodeSettings(image, texts, err);
}

bool SettingsOf(const MemCell *image, QList<SettingItem> &out, FileError &err)
{
    const TypeKeeper keep;
    SetTypeFromImage(image);
    EditorTexts t;
    if (!DecodeSettings(image, t, err))
        return false;
    const int type = g_intInputType;
    const InputTypeInfo &info = InputTypeOf(type);
    const QString unit = info.unit;
    QList<SettingItem> items;
    items.append({kCaptionInputType, info.optionCaption, QString(), type, true});
    if (IsDistanceMode(type)) {
        for (int c = 1; c <= 6; ++c)
            items.append({gridName(type, 1, c), t.cell[1][c], unit, t.cellCount[1][c], true});
        items.append({kCaptionDetectLimit, t.detectLimit, unit, t.detectLimitCount, true});
    } else {
        for (int n = 1; n <= 8; ++n) {
            items.append({gridName(type, 1, n), t.cell[1][n], unit, t.cellCount[1][n], true});
            items.append({gridName(type, 2, n), t.cell[2][n], unit, t.cellCount[2][n], true});
        }
    }
    items.append({kCaptionHysteresis, t.param[4], unit, t.paramCount[4], true});
    // The distance modes show the boxes of outputs 1 to 6; 7 and 8 still travel.
    for (int n = 1; n <= 8; ++n)
        items.append({kCaptionRelay + QLatin1Char(' ') + QString::number(n),
                      t.nc[n - 1] ? QStringLiteral("NC") : QStringLiteral("NO"), QString(), t.nc[n - 1] ? 1 : 0,
                      !IsDistanceMode(type) || n <= 6});
    // Carried without being shown: the hidden labels under their captions, and the bytes
    // nobody interprets.
    for (int i = 0; i < 2; ++i) {
        int count = 0;
        DecodeField(image, cellScaling1 + 2 * i, count);
        items.append({QStringLiteral("スケーリング") + QString::number(i + 1), t.param[i], QString(), count, false});
    }
    items.append({QStringLiteral("オフセット　OV"), t.param[2], unit, t.paramCount[2], false});
    items.append({QStringLiteral("オフセット　５V"), t.param[3], unit, t.paramCount[3], false});
    for (int cell : {0x2C, 0x2E, 0x2F}) {
        const QString data = image[cell].data();
        bool ok = false;
        const int raw = data.toInt(&ok, 16);
        items.append({QStringLiteral("ｱﾄﾞﾚｽ ") + QStringLiteral("%1").arg(cell, 2, 16, QLatin1Char('0')).toUpper(),
                      data, QString(), ok ? raw : -1, false});
    }
    out = items;
    return true;
}

QList<SettingDiff> DiffSettings(const QList<SettingItem> &a, const QList<SettingItem> &b)
{
    QHash<QString, const SettingItem *> inB;
    for (const SettingItem &s : b)
        inB.insert(s.name, &s);
    QList<SettingDiff> out;
    QHash<QString, bool> seen;
    for (const SettingItem &s : a) {
        seen.insert(s.name, true);
        const SettingItem *o = inB.value(s.name);
        if (!o) {
            out.append({s.name, s.display(), QString()});
            continue;
        }
        const bool rawDiffers = s.raw >= 0 && o->raw >= 0 && s.raw != o->raw;
        if (s.text == o->text && s.unit == o->unit && !rawDiffers)
            continue;
        if (s.text == o->text && s.unit == o->unit) {
            // Two counts behind one text: the counts tell them apart.
            out.append({s.name, s.display() + QStringLiteral(" [%1]").arg(s.raw),
                        o->display() + QStringLiteral(" [%1]").arg(o->raw)});
        } else {
            out.append({s.name, s.display(), o->display()});
        }
    }
    for (const SettingItem &o : b)
        if (!seen.contains(o.name))
            out.append({o.name, QString(), o.display()});
    return out;
}

void EditorImage(MemCell *image)
{
    std::copy(UserData, UserData + kImageCells, image);
    const EditorTexts t = g_funcEditorTexts();
    // Without an editor there are no texts to take: the image is UserData's.
    if (t.cell[1][1].isEmpty() && t.param[4].isEmpty())
        return;
    EncodeSettings(t, image);
}

bool EditorRoundTrip(MemCell *image, FileError &err)
{
    const TypeKeeper keep;
    SetTypeFromImage(image);
    EditorTexts t;
    if (!DecodeSettings(image, t, err))
        return false;
    EncodeSettings(t, image);
    return true;
}
