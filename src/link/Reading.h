#pragma once
// One reading of the controller's input and outputs, decoded once: the "N" reply of a poll
// begins it and the "Y" reply after it completes it (link/PollExchange.h). Every reader (the
// monitor windows, the graph, the trend, the log filer, qelvo-cli and the fleet watcher)
// takes these values and never reads the reply texts again; the texts stay for the windows
// that show them as they came.
#include <QDateTime>
#include <QString>

struct ReadingScale;

struct Reading {
    QDateTime time;     // when the "N" reply came (local time)
    bool valueValid = false;   // the "N" reply held four hexadecimal digits
    bool outputsValid = false; // the "Y" reply held one or two hexadecimal digits
    int count = 0;      // the input count, 0-1023 from a controller
    double value = 0;   // in the input type's unit, as the monitor shows it (distance
                        // types show full scale minus the level)
    int outputs = 0;    // one bit per output, bit 0 = ch1
    int inputType = 1;  // the input type the value was decoded with
    QString unit;       // "V", "mA" or "M"
    // The reply texts as the written monitor store keeps them.
    QString valueHex;   // 4 characters after "N"
    QString outputsHex; // 2 characters after "Y"

    double perCount = 0; // the scale the value was made with (units per count)

    // The value again from the count, with another input type's scale (the settings loaded
    // since): the count is not decoded again.
    void applyScale(const ReadingScale &scale);
    bool madeWith(const ReadingScale &scale) const;

    // The outputs of a "Y" reply's text, decoded.
    void takeOutputs(const QString &outputsHex);

    bool outputOn(int ch) const { return outputsValid && ((outputs >> (ch - 1)) & 1); }
    // "0.00" (two decimals, halves away from zero), or "ERROR" without a value.
    QString valueText() const;
    // "00.00": at least two digits before the point, as the log filer writes it.
    QString valueText00() const;
    // Eight digits "0"/"1", ch1 first; "ERROR" without outputs.
    QString outputBits() const;
};

// How counts become values: the input type, its scale (units per count) and unit.
struct ReadingScale {
    int inputType = 1;
    double scale = 0.0048875;
    QString unit = QStringLiteral("V");
};
// The scale of an input type (1 to 5; 0 or an unknown type is type 1) from the type table.
ReadingScale ScaleOfType(int inputType);

// The reading an "N" reply's value text (count) begins at time, decoded with scale; the
// outputs still to come.
Reading MakeReading(const QDateTime &time, const QString &valueHex, const ReadingScale &scale);
// The same completed with a "Y" reply's outputs text.
Reading MakeReading(const QDateTime &time, const QString &valueHex, const QString &outputsHex, const ReadingScale &scale);
