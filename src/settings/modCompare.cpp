#include "settings/modCompare.h"

#include <QHash>
#include <QRegularExpression>
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

// The cells of a 16-bit field, or of one byte.
constexpr quint64 fieldCells(int lowCell) { return quint64(3) << lowCell; }
constexpr quint64 byteCell(int cell) { return quint64(1) << cell; }

// A byte of the image as a number; -1 when it is not hexadecimal.
qint64 byteOf(const MemCell *image, int cell)
{
    bool ok = false;
    const int v = image[cell].data().toInt(&ok, 16);
    return ok ? v : -1;
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
    auto add = [&items](const QString &name, const QString &text, const QString &itemUnit, qint64 raw, bool shown,
                        quint64 cells, int row = -1, int col = -1) {
        items.append({name, text, itemUnit, raw, shown, cells, row, col});
    };
    // The input type stands for its code byte: 00 and 05 both show "0 - 5V".
    add(kCaptionInputType, info.optionCaption, QString(), byteOf(image, cellInputCode), true, byteCell(cellInputCode));
    // A 16-bit field the editor does not show, by the name of its window-mode place.
    auto hidden = [&](int row, int output, int lowCell) {
        int count = 0;
        if (DecodeField(image, lowCell, count))
            add(gridName(Volt5, row, output), g_funcValueFormat(count * g_dblScale, 1), unit, count, false,
                fieldCells(lowCell));
        else // not hexadecimal: shown as it stands, high byte first
            add(gridName(Volt5, row, output), image[lowCell + 1].data() + image[lowCell].data(), QString(), -1, false,
                fieldCells(lowCell));
    };
    if (IsDistanceMode(type)) {
        add(gridName(type, 1, 1), t.cell[1][1], unit, t.cellCount[1][1], true, fieldCells(ChMinCell(1)), 1, 1);
        for (int c = 2; c <= 6; ++c)
            add(gridName(type, 1, c), t.cell[1][c], unit, t.cellCount[1][c], true, fieldCells(ChMaxCell(c)), 1, c);
        add(kCaptionDetectLimit, t.detectLimit, unit, t.detectLimitCount, true, fieldCells(ChMinCell(2)));
    } else {
        for (int n = 1; n <= 8; ++n) {
            add(gridName(type, 1, n), t.cell[1][n], unit, t.cellCount[1][n], true, fieldCells(ChMaxCell(n)), 1, n);
            add(gridName(type, 2, n), t.cell[2][n], unit, t.cellCount[2][n], true, fieldCells(ChMinCell(n)), 2, n);
        }
    }
    add(kCaptionHysteresis, t.param[4], unit, t.paramCount[4], true, fieldCells(cellHysteresis));
    // The distance modes show the boxes of outputs 1 to 6; 7 and 8 still travel.
    for (int n = 1; n <= 8; ++n)
        add(kCaptionRelay + QLatin1Char(' ') + QString::number(n), t.nc[n - 1] ? QStringLiteral("NC") : QStringLiteral("NO"),
            QString(), t.nc[n - 1] ? 1 : 0, !IsDistanceMode(type) || n <= 6, byteCell(cellRelayMode));
    // Carried without being shown: the hidden labels under their captions (a scaling as it
    // is stored: the editor shows 0 as 1 and writes 1), the bounds the distance modes derive,
    // and the bytes nobody interprets.
    for (int i = 0; i < 2; ++i) {
        int count = 0;
        DecodeField(image, cellScaling1 + 2 * i, count);
        add(QStringLiteral("スケーリング") + QString::number(i + 1), QString::number(count), QString(), count, false,
            fieldCells(cellScaling1 + 2 * i));
    }
    add(QStringLiteral("オフセット　OV"), t.param[2], unit, t.paramCount[2], false, fieldCells(cellOffset0V));
    add(QStringLiteral("オフセット　５V"), t.param[3], unit, t.paramCount[3], false, fieldCells(cellOffset5V));
    if (IsDistanceMode(type)) {
        hidden(1, 1, ChMaxCell(1));
        for (int n = 3; n <= 6; ++n)
            hidden(2, n, ChMinCell(n));
        for (int n = 7; n <= 8; ++n) {
            hidden(1, n, ChMaxCell(n));
            hidden(2, n, ChMinCell(n));
        }
    }
    for (int cell : {int(cellMarker), 0x2C, 0x2E, 0x2F})
        add(QStringLiteral("ｱﾄﾞﾚｽ ") + HexPad(cell, 2), image[cell].data(), QString(), byteOf(image, cell), false,
            byteCell(cell));
    out = items;
    return true;
}

bool SettingItem::number(double &value) const
{
    static const QRegularExpression re(QStringLiteral("^-?[0-9]+(\\.[0-9]+)?$"));
    if (!re.match(text).hasMatch())
        return false;
    value = text.toDouble();
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
            out.append({s.name, s.display(), QString(), true, false, s, SettingItem()});
            continue;
        }
        const bool rawDiffers = s.raw >= 0 && o->raw >= 0 && s.raw != o->raw;
        if (s.text == o->text && s.unit == o->unit && !rawDiffers)
            continue;
        if (s.text == o->text && s.unit == o->unit) {
            // Two counts behind one text: the counts tell them apart.
            out.append({s.name, s.display() + QStringLiteral(" [%1]").arg(s.raw),
                        o->display() + QStringLiteral(" [%1]").arg(o->raw), true, true, s, *o});
        } else {
            out.append({s.name, s.display(), o->display(), true, true, s, *o});
        }
    }
    for (const SettingItem &o : b)
        if (!seen.contains(o.name))
            out.append({o.name, QString(), o.display(), false, true, SettingItem(), o});
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
