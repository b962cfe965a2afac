#pragma once
// The settings of an image as the editor names and shows them, and the settings in which
// two images differ: what the comparison with the controller, the settings sheet and
// qelvo-cli's table and diff show.
#include "settings/modUserData.h"

#include <QList>
#include <QString>

// The grid's captions for an input type, as the editor lays them out: row 0 holds the
// column captions ("Out 1" to "Out 8", or "平常 " to "増水 " in the distance modes),
// column 0 the row captions ("最大値", "最小値"; "距離"). Empty outside the layout.
QString GridColumnCaption(int inputType, int col);
QString GridRowCaption(int inputType, int row);

// Captions of the editor's other values.
extern const QString kCaptionInputType;   // "入力選択" (the settings dialog's frame)
extern const QString kCaptionDetectLimit; // "水位判定上限"
extern const QString kCaptionHysteresis;  // "ﾋｽﾃﾘｼｽ"
extern const QString kCaptionRelay;       // "出力反転"

struct SettingItem {
    QString name;       // as the editor labels it: "Out 3 最大値", "平常 距離", "出力反転 3"
    QString text;       // as the editor shows it: "2.50", "NC", "0 - 10V"; a scaling as stored
    QString unit;       // "V", "mA", "M"; empty for texts without a unit
    qint64 raw = -1;    // the count or byte behind the text: two counts may show one text
    bool shown = true;  // false for what the editor carries without showing it
    quint64 cells = 0;  // bit a: the setting is held in cell a of the settings block
    int gridRow = -1;   // the editor's grid cell that shows it; -1 when none does
    int gridCol = -1;

    // The text with its unit: "2.50 V".
    QString display() const { return unit.isEmpty() ? text : text + QLatin1Char(' ') + unit; }
    // The text as a number ("2.50" is 2.5); false for texts that are none ("NC", "0 - 5V").
    bool number(double &value) const;
};

// The settings of an image in the editor's order: the input type; the grid (output by
// output, or the six levels) and the detection limit; the hysteresis; the eight NC/NO
// boxes; then what the editor carries without showing it (the two scalings, the two
// offsets, in the distance modes the bounds it derives, and the cells 2A, 2C, 2E and 2F).
// Together the items hold every cell of the settings block, so two images whose 48 bytes
// differ anywhere differ in some item's raw value. False with the conversion error when the
// image cannot be shown. The input type of the editor is left as it was.
bool SettingsOf(const MemCell *image, QList<SettingItem> &out, FileError &err);

// The editor's texts of an image and its input type, decoded with that type; the input type
// of the editor is left as it was. False with the conversion error when not showable.
bool EditorTextsOf(const MemCell *image, EditorTexts &texts, int &inputType, FileError &err);

// One setting in which two images differ: its name and each side's value with its unit.
// A side without the setting (the other input type has no such value) is empty; when both
// sides show the same text from different counts, each carries its count: "0.22 V [22]".
// inA and inB tell whether each side has the setting; itemA and itemB are then its items.
struct SettingDiff {
    QString name;
    QString a;
    QString b;
    bool inA = false;
    bool inB = false;
    SettingItem itemA;
    SettingItem itemB;
};
QList<SettingDiff> DiffSettings(const QList<SettingItem> &a, const QList<SettingItem> &b);

// The image the editor's values make, as a save or a write would take them: UserData with
// the editor's texts taken in (UserData itself is not touched). image holds kImageCells.
void EditorImage(MemCell *image);

// The image as the editor gives it back after showing it unedited: what a save after a
// read or an open, or a write of an opened file, holds (the marker FF, the input code and
// the NC/NO byte as the editor writes them, scalings of at least 1, and in the distance
// modes the bounds the editor derives). False when the image cannot be shown.
bool EditorRoundTrip(MemCell *image, FileError &err);
