#pragma once
// The memory image of the controller's settings, the five input types with their
// scales, and the conversions between raw counts and the values the editor shows.
#include "platform/TextFile.h"

#include <QString>
#include <array>
#include <functional>

// One cell of an image: fixed-width texts, Address (4) and Data (2).
struct MemCell {
    std::array<char, 4> Address{{'0', '0', '0', '0'}};
    std::array<char, 2> Data{{'0', '0'}};

    QString address() const { return QString::fromLatin1(Address.data(), 4); }
    QString data() const { return QString::fromLatin1(Data.data(), 2); }
    // Assignments pad with blanks or cut to the field width.
    void setAddress(QByteArrayView text);
    void setData(QByteArrayView text);
    void setData(const QString &text) { setData(QByteArrayView(text.toLatin1())); }
};

constexpr int kImageCells = 65536;
constexpr int kSettingsCells = 48; // 0x00 to 0x2F travel to and from the controller

extern MemCell UserData[kImageCells]; // the working copy
extern MemCell TempData[kImageCells]; // the receive image of a read

// Cells of the settings block.
enum : int {
    cellScaling1 = 0x20,
    cellScaling2 = 0x22,
    cellOffset0V = 0x24,
    cellOffset5V = 0x26,
    cellHysteresis = 0x28,
    cellMarker = 0x2A,
    cellRelayMode = 0x2B,
    cellInputCode = 0x2D,
};
inline int ChMinCell(int output) { return 4 * (output - 1); }
inline int ChMaxCell(int output) { return 4 * (output - 1) + 2; }

enum InputType : int { Volt5 = 1, Volt10 = 2, Current20mA = 3, Dist5M = 4, Dist10M = 5 };

struct InputTypeInfo {
    int type;
    const char *code;       // InputCode cell text
    QString optionCaption;  // settings dialog option
    QString rangeCaption;   // editor range caption
    QString unit;
    double scale;           // display units per count
    double fullScale;
    bool inverted;          // distance modes show full scale minus the value
};
// The type's row of the table; 0 and unknown types behave as type 1.
const InputTypeInfo &InputTypeOf(int type);
// "01" to "04" select types 2 to 5; anything else type 1.
int InputTypeFromCode(const QString &code);
bool IsDistanceMode(int type);

// The current input type with its scale and unit (read-only views): 0 until the first
// showing, which behaves as type 1 with no unit yet.
extern const qint16 &g_intInputType;
extern const double &g_dblScale;
extern const QString &g_strUnit;
// Sets g_intInputType, and g_dblScale and g_strUnit from the type's row of the table
// (InputTypeOf); type 0 is back to before the first showing: type 1's scale, no unit.
void g_subInputTypeSet(int type);
// Reading another image's settings borrows the current input type; a keeper gives the type,
// scale and unit back as they were when it goes.
class InputTypeKeeper {
public:
    InputTypeKeeper();
    ~InputTypeKeeper();
    InputTypeKeeper(const InputTypeKeeper &) = delete;
    InputTypeKeeper &operator=(const InputTypeKeeper &) = delete;

private:
    qint16 m_type;
    double m_scale;
    QString m_unit;
};

void g_subUserDataIni();
void g_subTempDataIni();
// Any receive image as a read starts it: every cell "00", the marker cell "FF".
void ReceiveImageIni(MemCell *image);
void g_subTempToUser();
// g_strUnit alone, from the type's row of the table: "mA" for type 3, "M" for 4 and 5,
// "V" otherwise.
void g_subUnitSet(int inputType);

// Display text "0.00" of a value in display units; invert 1 applies the distance mode.
QString g_funcValueFormat(double value, int invert);
// The same pattern without inversion or type (used for quantised values).
QString FormatFixed2(double value);

// A 16-bit field: count of the text high & low; false (type mismatch) when not hex.
bool DecodeCount(const QString &high, const QString &low, int &count);
bool DecodeField(const MemCell *image, int lowCell, int &count);
// Writes count into the two cells (low byte first), as four hex digits.
void EncodeCount(MemCell *image, int lowCell, qint64 count);
// Display text to a count: distance types invert, halves round to even.
qint64 CountFromDisplay(double v, bool invert);

bool g_funcLevelRangeCheck(double v);
bool g_funcCountRangeCheck(double v);
bool g_funcOffsetRangeCheck(double v);
bool g_funcHysRangeCheck(double v);

// Reads a decimal number as the classic Val would (leading number, else 0).
double ValOf(const QString &text);
// True when the whole text is a number (IsNumeric).
bool IsNumeric(const QString &text, double *value = nullptr);

// The texts the editor shows for the settings block: the grid (rows 0..2, columns
// 0..8, captions included), the DetectLimit label, the five parameter labels and the
// eight NC/NO boxes. The editor copies its controls to and from this form.
struct EditorTexts {
    EditorTexts();
    QString cell[3][9];
    QString detectLimit;
    QString param[5];
    bool nc[8] = {};

    // The count each value was shown from, kept while the user has not edited it
    // (kNoCount: none). The two-decimal texts cannot tell every count apart, so taking the
    // texts back into the image uses these counts; an edited value is encoded from its text.
    static constexpr qint32 kNoCount = -1;
    qint32 cellCount[3][9];
    qint32 detectLimitCount = kNoCount;
    qint32 paramCount[5];
};

// The window that shows UserData (the editor). The file commands, the transfer and the
// settings dialog move the settings through it; the editor registers itself while it
// exists (and clears the registration when it goes), and with none registered nothing is
// shown or taken.
struct SettingsView {
    // Image to window; false (with the conversion error) when the image cannot be shown.
    std::function<bool(FileError *)> show;
    // Window to image.
    std::function<void()> take;
    // The texts the window shows (the graph's thresholds are its grid's numbers).
    std::function<EditorTexts()> texts;
};
void SetSettingsView(SettingsView view);
// The editor's texts as they stand (empty texts without an editor).
EditorTexts g_funcEditorTexts();
// UserData shown in the editor: true when shown (or no editor), else false with err.
bool g_funcShowUserData(FileError *err = nullptr);
// The editor's values taken into UserData (nothing without an editor).
void g_subTakeUserData();

// Image to editor texts (data cells, labels, boxes) for the current g_intInputType.
// False with the conversion error when a cell is not hexadecimal.
bool DecodeSettings(const MemCell *image, EditorTexts &out, FileError &err);
// Editor texts to the image: windows, parameters, InputCode, RelayMode, Marker.
void EncodeSettings(const EditorTexts &in, MemCell *image);
// True when the image's settings can be shown (every field hexadecimal); no global changes.
bool ImageShowable(const MemCell *image, FileError &err);
// g_subInputTypeSet with the type of the image's InputCode.
void SetTypeFromImage(const MemCell *image);
// RelayMode text of the eight boxes; boxes from a RelayMode cell (false if not hex).
QString RelayModeText(const bool nc[8]);
bool RelayModeBoxes(const QString &cell, bool nc[8]);
