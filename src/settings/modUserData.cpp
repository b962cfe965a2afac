#include "settings/modUserData.h"

#include <algorithm>
#include <cctype>
#include <cfenv>
#include <cmath>

MemCell UserData[kImageCells];
MemCell TempData[kImageCells];

namespace {
qint16 s_inputType = 0;
double s_scale = 0.0048875;
QString s_unit;
} // namespace

const qint16 &g_intInputType = s_inputType;
const double &g_dblScale = s_scale;
const QString &g_strUnit = s_unit;

namespace {
SettingsView g_view;
}

void SetSettingsView(SettingsView view) { g_view = std::move(view); }

bool g_funcShowUserData(FileError *err) { return !g_view.show || g_view.show(err); }

void g_subTakeUserData()
{
    if (g_view.take)
        g_view.take();
}

EditorTexts g_funcEditorTexts() { return g_view.texts ? g_view.texts() : EditorTexts(); }

void MemCell::setAddress(QByteArrayView text)
{
    for (int i = 0; i < 4; ++i)
        Address[i] = i < text.size() ? text[i] : ' ';
}

void MemCell::setData(QByteArrayView text)
{
    for (int i = 0; i < 2; ++i)
        Data[i] = i < text.size() ? text[i] : ' ';
}

const InputTypeInfo &InputTypeOf(int type)
{
    static const InputTypeInfo table[] = {
        {Volt5, "00", QStringLiteral("0 - 5V"), QStringLiteral("設定範囲 0 - 5V"), QStringLiteral("V"), 0.0048875, 5, false},
        {Volt10, "01", QStringLiteral("0 - 10V"), QStringLiteral("設定範囲 0 - 10V"), QStringLiteral("V"), 0.0097751, 10, false},
        {Current20mA, "02", QStringLiteral("4 - 20mA"), QStringLiteral("設定範囲 4 - 20mA"), QStringLiteral("mA"), 0.0195503421309873, 20, false},
        {Dist5M, "03", QStringLiteral("5M"), QStringLiteral("設定範囲 0 - 5M"), QStringLiteral("M"), 0.00488758553274682, 5, true},
        {Dist10M, "04", QStringLiteral("10M"), QStringLiteral("設定範囲 0 - 10M"), QStringLiteral("M"), 0.00977517106549, 10, true},
    };
    if (type < 1 || type > 5)
        type = 1;
    return table[type - 1];
}

int InputTypeFromCode(const QString &code)
{
    if (code == QLatin1String("01"))
        return Volt10;
    if (code == QLatin1String("02"))
        return Current20mA;
    if (code == QLatin1String("03"))
        return Dist5M;
    if (code == QLatin1String("04"))
        return Dist10M;
    return Volt5;
}

bool IsDistanceMode(int type) { return type == Dist5M || type == Dist10M; }

static void resetImage(MemCell *image)
{
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < kImageCells; ++i) {
        MemCell &c = image[i];
        c.Address = {digits[(i >> 12) & 15], digits[(i >> 8) & 15], digits[(i >> 4) & 15], digits[i & 15]};
        c.Data = {'0', '0'};
    }
}

void g_subUserDataIni() { resetImage(UserData); }

void ReceiveImageIni(MemCell *image)
{
    resetImage(image);
    image[cellMarker].setData(QByteArrayView("FF"));
}

void g_subTempDataIni() { ReceiveImageIni(TempData); }

void g_subTempToUser()
{
    for (int i = 0; i < kImageCells; ++i)
        UserData[i] = TempData[i];
}

void g_subUnitSet(int inputType) { s_unit = InputTypeOf(inputType).unit; }

void g_subInputTypeSet(int type)
{
    s_inputType = qint16(type);
    s_scale = InputTypeOf(type).scale;
    if (type == 0)
        s_unit.clear();
    else
        g_subUnitSet(type);
}

QString FormatFixed2(double value)
{
    // Work in whole billionths so the halfway test is exact in decimal.
    const double scaled = std::trunc(value * 1e9);
    const bool negative = scaled < 0;
    const long long nano = std::llabs(static_cast<long long>(scaled));
    const long long cents = (nano + 5000000LL) / 10000000LL; // halves away from zero
    QString s = QStringLiteral("%1.%2").arg(cents / 100).arg(cents % 100, 2, 10, QLatin1Char('0'));
    if (negative && cents != 0)
        s.prepend(QLatin1Char('-'));
    return s;
}

QString g_funcValueFormat(double value, int invert)
{
    if (invert == 1 && g_intInputType == Dist5M)
        value = 5 - value;
    else if (invert == 1 && g_intInputType == Dist10M)
        value = 10 - value;
    return FormatFixed2(value);
}

bool DecodeCount(const QString &high, const QString &low, int &count)
{
    const QString t = high + low;
    if (t.size() != 4)
        return false;
    for (QChar c : t) {
        if (c.unicode() > 127 || !std::isxdigit(c.toLatin1()))
            return false;
    }
    count = int(t.toUInt(nullptr, 16));
    return true;
}

bool DecodeField(const MemCell *image, int lowCell, int &count)
{
    return DecodeCount(image[lowCell + 1].data(), image[lowCell].data(), count);
}

void EncodeCount(MemCell *image, int lowCell, qint64 count)
{
    const QByteArray h = HexPad(count, 4).toLatin1();
    image[lowCell].setData(QByteArrayView(h).sliced(2, 2));
    image[lowCell + 1].setData(QByteArrayView(h).sliced(0, 2));
}

static qint64 roundHalfEven(double x)
{
    const int old = std::fegetround();
    std::fesetround(FE_TONEAREST);
    const double r = std::nearbyint(x);
    std::fesetround(old);
    return static_cast<qint64>(r);
}

qint64 CountFromDisplay(double v, bool invert)
{
    double x = v;
    if (invert && g_intInputType == Dist5M)
        x = 5 - v;
    else if (invert && g_intInputType == Dist10M)
        x = 10 - v;
    return roundHalfEven(x / g_dblScale);
}

bool g_funcLevelRangeCheck(double v)
{
    switch (g_intInputType) {
    case Volt10:
    case Dist10M: return v >= 0 && v <= 10;
    case Current20mA: return v >= 0 && v <= 20;
    default: return v >= 0 && v <= 5;
    }
}

bool g_funcCountRangeCheck(double v) { return v >= 1 && v <= 1023; }
bool g_funcOffsetRangeCheck(double v) { return v >= 0 && v <= 5; }

bool g_funcHysRangeCheck(double v)
{
    if (g_intInputType == Volt10 || g_intInputType == Dist10M)
        return v >= 0 && v <= 2;
    return v >= 0 && v <= 1;
}

double ValOf(const QString &text)
{
    // The leading number of the text, blanks skipped; 0 when there is none.
    QString t = text.trimmed();
    int i = 0;
    if (i < t.size() && (t[i] == QLatin1Char('+') || t[i] == QLatin1Char('-')))
        ++i;
    bool dot = false;
    while (i < t.size() && (t[i].isDigit() || (!dot && t[i] == QLatin1Char('.')))) {
        if (t[i] == QLatin1Char('.'))
            dot = true;
        ++i;
    }
    bool ok = false;
    const double v = t.left(i).toDouble(&ok);
    return ok ? v : 0.0;
}

bool IsNumeric(const QString &text, double *value)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return false;
    bool ok = false;
    const double v = t.toDouble(&ok);
    if (ok && value)
        *value = v;
    return ok;
}

QString RelayModeText(const bool nc[8])
{
    int sum = 0;
    for (int n = 0; n < 8; ++n)
        if (nc[n])
            sum += 1 << n;
    return HexPad(sum, 2);
}

bool RelayModeBoxes(const QString &cell, bool nc[8])
{
    qint32 v = 0;
    if (!HexToLong(cell, v))
        return false;
    for (int n = 0; n < 8; ++n)
        nc[n] = (v >> n) & 1;
    return true;
}

void SetTypeFromImage(const MemCell *image)
{
    g_subInputTypeSet(InputTypeFromCode(image[cellInputCode].data()));
}

EditorTexts::EditorTexts()
{
    std::fill(&cellCount[0][0], &cellCount[0][0] + 3 * 9, kNoCount);
    std::fill(paramCount, paramCount + 5, kNoCount);
}

bool DecodeSettings(const MemCell *image, EditorTexts &out, FileError &err)
{
    // A value: its text, and the count it came from.
    auto value = [&](int lowCell, int invert, QString &text, qint32 &kept) {
        int count = 0;
        if (!DecodeField(image, lowCell, count))
            return false;
        text = g_funcValueFormat(count * g_dblScale, invert);
        kept = count;
        return true;
    };
    EditorTexts t = out;
    bool ok = true;
    auto grid = [&](int lowCell, int r, int c) { return value(lowCell, 1, t.cell[r][c], t.cellCount[r][c]); };
    if (IsDistanceMode(g_intInputType)) {
        ok = ok && grid(ChMinCell(1), 1, 1);
        for (int c = 2; c <= 6 && ok; ++c)
            ok = grid(ChMaxCell(c), 1, c);
        ok = ok && value(ChMinCell(2), 1, t.detectLimit, t.detectLimitCount);
    } else {
        for (int n = 1; n <= 8 && ok; ++n)
            ok = grid(ChMaxCell(n), 1, n) && grid(ChMinCell(n), 2, n);
    }
    for (int i = 0; i < 2 && ok; ++i) {
        int count = 0;
        ok = DecodeField(image, cellScaling1 + 2 * i, count);
        // Shown (and taken back) as at least 1; the integer text holds the count exactly.
        t.param[i] = QString::number(qMax(count, 1));
    }
    ok = ok && value(cellOffset0V, 0, t.param[2], t.paramCount[2]) &&
         value(cellOffset5V, 0, t.param[3], t.paramCount[3]) && value(cellHysteresis, 0, t.param[4], t.paramCount[4]);
    ok = ok && RelayModeBoxes(image[cellRelayMode].data(), t.nc);
    if (!ok) {
        err = MakeError(errTypeMismatch);
        return false;
    }
    out = t;
    return true;
}

void EncodeSettings(const EditorTexts &in, MemCell *image)
{
    // The sixteen window values (ChMin, ChMax of outputs 1 to 8), each a text and the
    // count it was shown from, if still unedited.
    QString t[16];
    qint32 kept[16];
    std::fill(kept, kept + 16, EditorTexts::kNoCount);
    auto take = [&](int i, int r, int c) {
        t[i] = in.cell[r][c];
        kept[i] = in.cellCount[r][c];
    };
    if (IsDistanceMode(g_intInputType)) {
        take(0, 1, 1);
        t[1] = QStringLiteral("0");
        for (int c = 2; c <= 6; ++c) {
            t[2 * (c - 1)] = in.detectLimit;
            kept[2 * (c - 1)] = in.detectLimitCount;
            take(2 * (c - 1) + 1, 1, c);
        }
        for (int i = 12; i < 16; ++i)
            t[i] = QStringLiteral("0");
    } else {
        for (int n = 1; n <= 8; ++n) {
            take(2 * (n - 1), 2, n);
            take(2 * (n - 1) + 1, 1, n);
        }
    }
    // A kept count stands for its value while the text still shows it; any other text is
    // encoded as written.
    auto count = [](qint32 keptCount, const QString &text, int invert) -> qint64 {
        if (keptCount >= 0 && g_funcValueFormat(keptCount * g_dblScale, invert) == text)
            return keptCount;
        return CountFromDisplay(ValOf(text), invert == 1);
    };
    for (int i = 0; i < 16; ++i)
        EncodeCount(image, 2 * i, count(kept[i], t[i], 1));
    EncodeCount(image, cellScaling1, roundHalfEven(ValOf(in.param[0])));
    EncodeCount(image, cellScaling2, roundHalfEven(ValOf(in.param[1])));
    EncodeCount(image, cellOffset0V, count(in.paramCount[2], in.param[2], 0));
    EncodeCount(image, cellOffset5V, count(in.paramCount[3], in.param[3], 0));
    EncodeCount(image, cellHysteresis, count(in.paramCount[4], in.param[4], 0));
    image[cellInputCode].setData(QByteArrayView(InputTypeOf(g_intInputType).code));
    image[cellRelayMode].setData(RelayModeText(in.nc));
    image[cellMarker].setData(QByteArrayView("FF"));
}

bool ImageShowable(const MemCell *image, FileError &err)
{
    const InputTypeKeeper keep;
    SetTypeFromImage(image);
    EditorTexts probe;
    return DecodeSettings(image, probe, err);
}

InputTypeKeeper::InputTypeKeeper() : m_type(s_inputType), m_scale(s_scale), m_unit(s_unit) {}

InputTypeKeeper::~InputTypeKeeper()
{
    s_inputType = m_type;
    s_scale = m_scale;
    s_unit = m_unit;
}
