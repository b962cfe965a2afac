#include "link/Reading.h"

#include "settings/modUserData.h"

ReadingScale ScaleOfType(int inputType)
{
    const InputTypeInfo &t = InputTypeOf(inputType);
    return {t.type, t.scale, t.unit};
}

Reading MakeReading(const QDateTime &time, const QString &valueHex, const QString &outputsHex, const ReadingScale &scale)
{
    Reading r;
    r.time = time;
    r.valueHex = valueHex;
    r.outputsHex = outputsHex;
    bool ok = valueHex.size() == 4;
    const int count = ok ? valueHex.toInt(&ok, 16) : 0;
    if (ok) {
        r.valueValid = true;
        r.count = count;
    }
    r.applyScale(scale);
    ok = !outputsHex.isEmpty() && outputsHex.size() <= 2;
    const int outputs = ok ? outputsHex.toInt(&ok, 16) : 0;
    if (ok) {
        r.outputsValid = true;
        r.outputs = outputs & 0xFF;
    }
    return r;
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
