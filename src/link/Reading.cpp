#include "link/Reading.h"

#include "settings/modUserData.h"

namespace {
// A text of hexadecimal digits only (1 to maxDigits of them) to its number; false otherwise
// (a sign, a blank or any other character is no number of the controller's).
bool hexNumber(const QString &text, int maxDigits, int &v)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return false;
    v = 0;
    for (const QChar ch : text) {
        const char16_t c = ch.unicode();
        const int d = (c >= '0' && c <= '9')   ? c - '0'
                      : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                      : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                               : -1;
        if (d < 0)
            return false;
        v = v * 16 + d;
    }
    return true;
}
} // namespace

ReadingScale ScaleOfType(int inputType)
{
    const InputTypeInfo &t = InputTypeOf(inputType);
    return {t.type, t.scale, t.unit};
}

Reading MakeReading(const QDateTime &time, const QString &valueHex, const ReadingScale &scale)
{
    Reading r;
    r.time = time;
    r.valueHex = valueHex;
    int count = 0;
    if (valueHex.size() == 4 && hexNumber(valueHex, 4, count)) {
        r.valueValid = true;
        r.count = count;
    }
    r.applyScale(scale);
    return r;
}

Reading MakeReading(const QDateTime &time, const QString &valueHex, const QString &outputsHex, const ReadingScale &scale)
{
    Reading r = MakeReading(time, valueHex, scale);
    r.takeOutputs(outputsHex);
    return r;
}

void Reading::takeOutputs(const QString &text)
{
    outputsHex = text;
    int bits = 0;
    outputsValid = hexNumber(text, 2, bits);
    outputs = outputsValid ? bits : 0;
}

void Reading::applyScale(const ReadingScale &s)
{
    inputType = s.inputType;
    unit = s.unit;
    perCount = s.scale;
    if (!valueValid)
        return;
    double v = count * s.scale;
    if (s.inputType == Dist5M)
        v = 5 - v;
    else if (s.inputType == Dist10M)
        v = 10 - v;
    value = v;
}

bool Reading::madeWith(const ReadingScale &s) const
{
    return inputType == s.inputType && unit == s.unit && perCount == s.scale;
}

QString Reading::valueText() const { return valueValid ? FormatFixed2(value) : QStringLiteral("ERROR"); }

QString Reading::valueText00() const
{
    QString v = valueText();
    if (valueValid && v.indexOf(QLatin1Char('.')) < 2)
        v.prepend(QLatin1Char('0'));
    return v;
}

QString Reading::outputBits() const
{
    if (!outputsValid)
        return QStringLiteral("ERROR");
    QString bits;
    for (int i = 0; i < 8; ++i)
        bits += (outputs >> i) & 1 ? QLatin1Char('1') : QLatin1Char('0');
    return bits;
}
