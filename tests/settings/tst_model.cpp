// The settings model: input types and scales, counts to display texts and back, the
// cell layout of the window and distance modes, RelayMode, the range checks, the image
// resets and the fixed-width cells.
#include "settings/modUserData.h"

#include <QtTest>

namespace {
void setField(MemCell *image, int lowCell, int count) { EncodeCount(image, lowCell, count); }

// The cells 0x00-0x2F as "lo hi ..." text for one-line compares.
QString cells(const MemCell *image, int from, int to)
{
    QStringList l;
    for (int i = from; i <= to; ++i)
        l << image[i].data();
    return l.join(QLatin1Char(' '));
}

void useCode(const char *code)
{
    UserData[cellInputCode].setData(QByteArrayView(code));
    SetTypeFromImage(UserData);
}

EditorTexts sentinel()
{
    EditorTexts t;
    for (auto &row : t.cell)
        for (QString &c : row)
            c = QStringLiteral("keep");
    t.detectLimit = QStringLiteral("keep");
    for (QString &p : t.param)
        p = QStringLiteral("keep");
    t.nc[2] = true;
    return t;
}
} // namespace

class tst_model : public QObject {
    Q_OBJECT
private slots:
    void init();

    void inputCodeSelectsType_data();
    void inputCodeSelectsType();
    void typeSetterAndKeeper_data();
    void typeSetterAndKeeper();
    void countsToTexts_data();
    void countsToTexts();
    void textsToCounts_data();
    void textsToCounts();
    void unchangedValuesKeepTheirCounts_data();
    void unchangedValuesKeepTheirCounts();
    void valueFormat_data();
    void valueFormat();
    void resetImageShowsZeroes();
    void windowModeLayout();
    void distanceModeLayout_data();
    void distanceModeLayout();
    void relayMode();
    void rangeChecks_data();
    void rangeChecks();
    void nonHexCellFailsDecode_data();
    void nonHexCellFailsDecode();
    void imageResetsAndCopy();
    void memCellPadsAndCuts();
};

void tst_model::init()
{
    g_subUserDataIni();
    g_subInputTypeSet(0);
}

void tst_model::inputCodeSelectsType_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("caption");
    const QString v5 = QStringLiteral("設定範囲 0 - 5V");
    QTest::newRow("00") << QByteArray("00") << 1 << 0.0048875 << "V" << "0 - 5V" << v5;
    QTest::newRow("05") << QByteArray("05") << 1 << 0.0048875 << "V" << "0 - 5V" << v5;
    QTest::newRow("two blanks") << QByteArray("  ") << 1 << 0.0048875 << "V" << "0 - 5V" << v5;
    QTest::newRow("1 and blank") << QByteArray("1") << 1 << 0.0048875 << "V" << "0 - 5V" << v5;
    QTest::newRow("01") << QByteArray("01") << 2 << 0.0097751 << "V" << "0 - 10V" << "設定範囲 0 - 10V";
    QTest::newRow("02") << QByteArray("02") << 3 << 0.0195503421309873 << "mA" << "4 - 20mA" << "設定範囲 4 - 20mA";
    QTest::newRow("03") << QByteArray("03") << 4 << 0.00488758553274682 << "M" << "5M" << "設定範囲 0 - 5M";
    QTest::newRow("04") << QByteArray("04") << 5 << 0.00977517106549 << "M" << "10M" << "設定範囲 0 - 10M";
}

void tst_model::inputCodeSelectsType()
{
    QFETCH(QByteArray, code);
    QFETCH(int, type);
    QFETCH(double, scale);
    QFETCH(QString, unit);
    QFETCH(QString, option);
    QFETCH(QString, caption);
    g_subInputTypeSet(type == Current20mA ? Dist10M : Current20mA); // another scale and unit before
    useCode(code.constData());
    QCOMPARE(g_intInputType, qint16(type));
    QVERIFY(g_dblScale == scale); // the exact constant
    QCOMPARE(g_strUnit, unit);
    QCOMPARE(InputTypeOf(g_intInputType).optionCaption, option);
    QCOMPARE(InputTypeOf(g_intInputType).rangeCaption, caption);
}

// Every type number: its scale and unit (none before the first showing), and a keeper gives
// the three back after another image's type was borrowed.
void tst_model::typeSetterAndKeeper_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QString>("unit");
    QTest::newRow("-1") << -1 << 0.0048875 << "V";
    QTest::newRow("0, nothing shown yet") << 0 << 0.0048875 << "";
    QTest::newRow("1") << 1 << 0.0048875 << "V";
    QTest::newRow("2") << 2 << 0.0097751 << "V";
    QTest::newRow("3") << 3 << 0.0195503421309873 << "mA";
    QTest::newRow("4") << 4 << 0.00488758553274682 << "M";
    QTest::newRow("5") << 5 << 0.00977517106549 << "M";
    QTest::newRow("6") << 6 << 0.0048875 << "V";
}

void tst_model::typeSetterAndKeeper()
{
    QFETCH(int, type);
    QFETCH(double, scale);
    QFETCH(QString, unit);
    g_subInputTypeSet(type);
    QCOMPARE(g_intInputType, qint16(type));
    QVERIFY(g_dblScale == scale);
    QCOMPARE(g_strUnit, unit);
    {
        const InputTypeKeeper keep;
        useCode(type == Current20mA ? "04" : "02");
        QVERIFY(g_intInputType != type && g_strUnit != unit);
    }
    QCOMPARE(g_intInputType, qint16(type));
    QVERIFY(g_dblScale == scale);
    QCOMPARE(g_strUnit, unit);
}

// One count shown as a window value (inverted in the distance modes) and as a parameter.
void tst_model::countsToTexts_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("grid");
    QTest::addColumn<QString>("param");
    QTest::newRow("type 1, 1023") << QByteArray("00") << 1023 << "5.00" << "5.00";
    QTest::newRow("type 1, 512") << QByteArray("00") << 512 << "2.50" << "2.50";
    QTest::newRow("type 1, 1") << QByteArray("00") << 1 << "0.00" << "0.00";
    QTest::newRow("type 1, 400 (1.955)") << QByteArray("00") << 400 << "1.96" << "1.96";
    QTest::newRow("type 2, 1023") << QByteArray("01") << 1023 << "10.00" << "10.00";
    QTest::newRow("type 3, 1023") << QByteArray("02") << 1023 << "20.00" << "20.00";
    QTest::newRow("type 3, 205") << QByteArray("02") << 205 << "4.01" << "4.01";
    QTest::newRow("type 4, 0") << QByteArray("03") << 0 << "5.00" << "0.00";
    QTest::newRow("type 4, 1023") << QByteArray("03") << 1023 << "0.00" << "5.00";
    QTest::newRow("type 4, 818") << QByteArray("03") << 818 << "1.00" << "4.00";
    QTest::newRow("type 5, 0") << QByteArray("04") << 0 << "10.00" << "0.00";
    QTest::newRow("type 5, 100") << QByteArray("04") << 100 << "9.02" << "0.98";
}

void tst_model::countsToTexts()
{
    QFETCH(QByteArray, code);
    QFETCH(int, count);
    QFETCH(QString, grid);
    QFETCH(QString, param);
    useCode(code.constData());
    setField(UserData, ChMinCell(1), count);
    setField(UserData, ChMaxCell(1), count);
    for (int c : {int(cellOffset0V), int(cellOffset5V), int(cellHysteresis)})
        setField(UserData, c, count);
    EditorTexts t;
    FileError e;
    QVERIFY(DecodeSettings(UserData, t, e));
    QCOMPARE(t.cell[1][1], grid);
    QCOMPARE(t.param[2], param);
    QCOMPARE(t.param[3], param);
    QCOMPARE(t.param[4], param);
    int c = 0;
    QVERIFY(DecodeCount(QStringLiteral("04"), QStringLiteral("00"), c));
    QCOMPARE(c, 1024);
}

// One display text taken back into ChMin of output 1 (a window value, or "平常 " in the
// distance modes) and into Offset0V (never inverted).
void tst_model::textsToCounts_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("grid");  // low high
    QTest::addColumn<QString>("param"); // low high
    QTest::newRow("type 1, 5.00") << QByteArray("00") << "5.00" << "FF 03" << "FF 03";
    QTest::newRow("type 1, 2.5") << QByteArray("00") << "2.5" << "00 02" << "00 02";
    QTest::newRow("type 1, 0.00") << QByteArray("00") << "0.00" << "00 00" << "00 00";
    QTest::newRow("type 1, half of 1 to even 0") << QByteArray("00") << "0.00244375" << "00 00" << "00 00";
    QTest::newRow("type 1, 1.5 to even 2") << QByteArray("00") << "0.00733125" << "02 00" << "02 00";
    QTest::newRow("type 1, 2.5 to even 2") << QByteArray("00") << "0.01221875" << "02 00" << "02 00";
    QTest::newRow("type 2, 10") << QByteArray("01") << "10" << "FF 03" << "FF 03";
    QTest::newRow("type 3, 4") << QByteArray("02") << "4" << "CD 00" << "CD 00";
    QTest::newRow("type 4, 0.00") << QByteArray("03") << "0.00" << "FF 03" << "00 00";
    QTest::newRow("type 4, 5") << QByteArray("03") << "5" << "00 00" << "FF 03";
    QTest::newRow("type 4, 1.00") << QByteArray("03") << "1.00" << "32 03" << "CD 00";
    QTest::newRow("type 5, 0") << QByteArray("04") << "0" << "FF 03" << "00 00";
    QTest::newRow("type 5, 10.00") << QByteArray("04") << "10.00" << "00 00" << "FF 03";
}

void tst_model::textsToCounts()
{
    QFETCH(QByteArray, code);
    QFETCH(QString, text);
    QFETCH(QString, grid);
    QFETCH(QString, param);
    useCode(code.constData());
    EditorTexts t;
    t.cell[1][1] = text; // distance: 平常
    t.cell[2][1] = text; // window: ChMin of output 1
    t.param[2] = text;
    EncodeSettings(t, UserData);
    QCOMPARE(cells(UserData, ChMinCell(1), ChMinCell(1) + 1), grid);
    QCOMPARE(cells(UserData, cellOffset0V, cellOffset0V + 1), param);
}

// Shown and taken back without an edit, every value keeps its count exactly, for every
// count of every field in every input type: the two-decimal texts alone cannot tell all
// counts apart (0-10 V: 22 and 23 both show 0.22).
void tst_model::unchangedValuesKeepTheirCounts_data()
{
    QTest::addColumn<int>("type");
    for (int type = 1; type <= 5; ++type)
        QTest::addRow("type %d", type) << type;
}

void tst_model::unchangedValuesKeepTheirCounts()
{
    QFETCH(int, type);
    const bool distance = IsDistanceMode(type);
    // The fields the editor shows, by their low cell (scaling travels as its integer text).
    QList<int> fields = {cellOffset0V, cellOffset5V, cellHysteresis};
    if (distance) {
        fields << ChMinCell(1) << ChMinCell(2);
        for (int n = 2; n <= 6; ++n)
            fields << ChMaxCell(n);
    } else {
        for (int n = 1; n <= 8; ++n)
            fields << ChMinCell(n) << ChMaxCell(n);
    }
    static MemCell image[kImageCells], back[kImageCells];
    for (int sweep = 0; sweep <= 1023; ++sweep) {
        std::fill(image, image + kImageCells, MemCell());
        image[cellInputCode].setData(QByteArrayView(InputTypeOf(type).code));
        image[cellMarker].setData(QByteArrayView("FF"));
        image[cellRelayMode].setData(QByteArrayView("A5"));
        // Each field its own count, so over the sweep every field takes every count.
        for (int k = 0; k < fields.size(); ++k)
            setField(image, fields[k], (sweep + 37 * k) % 1024);
        setField(image, cellScaling1, 1 + sweep % 1023);
        setField(image, cellScaling2, 1 + (sweep + 500) % 1023);
        if (distance) {
            // What the distance layout holds by itself: the limit in outputs 2 to 6, full
            // scale (stored 1023) where the layout shows 0.
            for (int n = 3; n <= 6; ++n)
                setField(image, ChMinCell(n), (sweep + 37 * 4) % 1024);
            setField(image, ChMaxCell(1), 1023);
            for (int n = 7; n <= 8; ++n) {
                setField(image, ChMinCell(n), 1023);
                setField(image, ChMaxCell(n), 1023);
            }
        }
        SetTypeFromImage(image);
        EditorTexts t;
        FileError e;
        QVERIFY(DecodeSettings(image, t, e));
        std::copy(image, image + kImageCells, back);
        for (int i = 0; i <= cellInputCode; ++i) // all the encoder writes (0x2C is carried)
            if (i != 0x2C)
                back[i].setData(QByteArrayView("??"));
        EncodeSettings(t, back);
        const QString want = cells(image, 0, kSettingsCells - 1), got = cells(back, 0, kSettingsCells - 1);
        if (got != want)
            QFAIL(qPrintable(QStringLiteral("sweep %1:\n want %2\n got  %3").arg(sweep).arg(want, got)));
    }
}

void tst_model::valueFormat_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("invert");
    QTest::addColumn<QString>("text");
    // 1.005 is 1.00499999999999989... in binary: nine decimals keep it below the half.
    QTest::newRow("1.005") << 1 << 1.005 << 0 << "1.00";
    // 2.675 is 2.67499999999999982... but times 1e9 it lands on 2675000000: noise removed.
    QTest::newRow("2.675") << 1 << 2.675 << 0 << "2.68";
    QTest::newRow("0.125 away from zero") << 1 << 0.125 << 0 << "0.13";
    QTest::newRow("0.375") << 1 << 0.375 << 0 << "0.38";
    QTest::newRow("-0.125") << 1 << -0.125 << 0 << "-0.13";
    QTest::newRow("below nine decimals") << 1 << 1.0049999999 << 0 << "1.00";
    QTest::newRow("above at nine decimals") << 1 << 1.0050000001 << 0 << "1.01";
    QTest::newRow("4.9999125") << 1 << 4.9999125 << 1 << "5.00";
    QTest::newRow("zero") << 1 << 0.0 << 1 << "0.00";
    QTest::newRow("12.3") << 1 << 12.3 << 0 << "12.30";
    QTest::newRow("type 4 inverts") << 4 << 0.125 << 1 << "4.88";
    QTest::newRow("type 4 flag 0") << 4 << 0.125 << 0 << "0.13";
    QTest::newRow("type 5 inverts") << 5 << 2.675 << 1 << "7.33";
    QTest::newRow("type 2 never inverts") << 2 << 2.675 << 1 << "2.68";
    QTest::newRow("type 0 never inverts") << 0 << 0.125 << 1 << "0.13";
}

void tst_model::valueFormat()
{
    QFETCH(int, type);
    QFETCH(double, value);
    QFETCH(int, invert);
    QFETCH(QString, text);
    g_subInputTypeSet(type);
    QCOMPARE(g_funcValueFormat(value, invert), text);
}

void tst_model::resetImageShowsZeroes()
{
    SetTypeFromImage(UserData);
    EditorTexts t;
    FileError e;
    QVERIFY(DecodeSettings(UserData, t, e));
    QCOMPARE(g_intInputType, qint16(1));
    for (int n = 1; n <= 8; ++n) {
        QCOMPARE(t.cell[1][n], QStringLiteral("0.00"));
        QCOMPARE(t.cell[2][n], QStringLiteral("0.00"));
        QVERIFY(!t.nc[n - 1]);
    }
    QCOMPARE(t.param[0], QStringLiteral("1")); // Scaling below 1 shows 1
    QCOMPARE(t.param[1], QStringLiteral("1"));
    QCOMPARE(t.param[2], QStringLiteral("0.00"));
    QCOMPARE(t.param[3], QStringLiteral("0.00"));
    QCOMPARE(t.param[4], QStringLiteral("0.00"));
}

void tst_model::windowModeLayout()
{
    // Image to texts: row 1 is ChMax, row 2 ChMin; the scalings are plain integers.
    useCode("01");
    for (int n = 1; n <= 8; ++n) {
        setField(UserData, ChMinCell(n), 100 * n);      // type 2: 0.97751 n
        setField(UserData, ChMaxCell(n), 100 * n + 23); // + 0.2248273
    }
    setField(UserData, cellScaling1, 500);
    setField(UserData, cellScaling2, 1023);
    setField(UserData, cellOffset0V, 10);
    setField(UserData, cellOffset5V, 1000);
    setField(UserData, cellHysteresis, 205);
    EditorTexts t;
    FileError e;
    QVERIFY(DecodeSettings(UserData, t, e));
    QCOMPARE(t.cell[1][1], QStringLiteral("1.20"));
    QCOMPARE(t.cell[2][1], QStringLiteral("0.98"));
    QCOMPARE(t.cell[1][8], QStringLiteral("8.04"));
    QCOMPARE(t.cell[2][8], QStringLiteral("7.82"));
    QCOMPARE(t.param[0], QStringLiteral("500"));
    QCOMPARE(t.param[1], QStringLiteral("1023"));
    QCOMPARE(t.param[2], QStringLiteral("0.10"));
    QCOMPARE(t.param[3], QStringLiteral("9.78"));
    QCOMPARE(t.param[4], QStringLiteral("2.00"));

    // Texts to image, every cell of the block; the free cells 2C, 2E, 2F are carried.
    useCode("00");
    g_subInputTypeSet(0); // before the first showing: behaves as type 1, written as "00"
    for (int i = 0; i < kSettingsCells; ++i)
        UserData[i].setData(QByteArrayView("AB"));
    EditorTexts in;
    for (int n = 1; n <= 8; ++n) {
        in.cell[2][n] = QString::number(n - 1) + QStringLiteral(".00"); // ChMin
        in.cell[1][n] = QStringLiteral("%1.50").arg(n - 1);             // ChMax
    }
    in.cell[1][6] = QStringLiteral("5.00");
    in.param[0] = QStringLiteral("2.5"); // halves to even: 2
    in.param[1] = QStringLiteral("3.5"); // 4
    in.param[2] = QStringLiteral("0.00");
    in.param[3] = QStringLiteral("5.00");
    in.param[4] = QStringLiteral("1.00");
    in.nc[1] = true;
    EncodeSettings(in, UserData);
    QCOMPARE(cells(UserData, 0x00, 0x1F),
             QStringLiteral("00 00 66 00 CD 00 33 01 99 01 00 02 66 02 CC 02 32 03 99 03 FF 03 FF 03 CC 04 32 05 98 05 FF 05"));
    QCOMPARE(cells(UserData, 0x20, 0x2F), QStringLiteral("02 00 04 00 00 00 FF 03 CD 00 FF 02 AB 00 AB AB"));
}

void tst_model::distanceModeLayout_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<QString>("full");       // the display of count 0
    QTest::addColumn<QString>("detect");     // DetectLimit text (count 818)
    QTest::addColumn<QString>("detectCells"); // its low high
    QTest::addColumn<QString>("levels");     // counts 200, 300, 400, 500, 600
    QTest::newRow("type 4") << QByteArray("03") << "5.00" << "1.00" << "32 03" << "4.02 3.53 3.04 2.56 2.07";
    QTest::newRow("type 5") << QByteArray("04") << "10.00" << "2.00" << "32 03" << "8.04 7.07 6.09 5.11 4.13";
}

void tst_model::distanceModeLayout()
{
    QFETCH(QByteArray, code);
    QFETCH(QString, full);
    QFETCH(QString, detect);
    QFETCH(QString, detectCells);
    QFETCH(QString, levels);
    useCode(code.constData());
    // Image to texts: column 1 = ChMin of output 1, columns 2-6 = ChMax of outputs 2-6,
    // DetectLimit = ChMin of output 2. Cells the distance modes do not show are not read.
    for (int n = 1; n <= 8; ++n) {
        setField(UserData, ChMinCell(n), 1023);
        setField(UserData, ChMaxCell(n), 0);
    }
    setField(UserData, ChMinCell(1), 0);
    setField(UserData, ChMinCell(2), 818);
    UserData[ChMinCell(3)].setData(QByteArrayView("ZZ"));
    UserData[ChMaxCell(1) + 1].setData(QByteArrayView("ZZ"));
    UserData[ChMaxCell(7)].setData(QByteArrayView("ZZ"));
    for (int c = 2; c <= 6; ++c)
        setField(UserData, ChMaxCell(c), 100 * c);
    EditorTexts t = sentinel();
    FileError e;
    QVERIFY(DecodeSettings(UserData, t, e));
    QCOMPARE(t.cell[1][1], full);
    QCOMPARE(t.detectLimit, detect);
    QCOMPARE(QStringList({t.cell[1][2], t.cell[1][3], t.cell[1][4], t.cell[1][5], t.cell[1][6]}).join(' '), levels);
    QCOMPARE(t.cell[2][1], QStringLiteral("keep")); // row 2 is not used

    // Texts to image: DetectLimit into ChMin of outputs 2-6; 1023 into ChMax of output 1
    // and both bounds of outputs 7 and 8, whatever the cells held.
    for (int i = 0; i < 0x20; ++i)
        UserData[i].setData(QByteArrayView("AA"));
    EditorTexts in;
    in.cell[1][1] = full; // 平常 at full scale: count 0
    for (int c = 2; c <= 6; ++c)
        in.cell[1][c] = full;
    in.cell[1][4] = QStringLiteral("0.00"); // 判断 at 0: count 1023
    in.cell[2][3] = QStringLiteral("1.00"); // row 2 is ignored in these modes
    in.cell[1][7] = QStringLiteral("1.00");
    in.cell[1][8] = QStringLiteral("1.00");
    in.detectLimit = detect;
    EncodeSettings(in, UserData);
    const QString d = detectCells;
    QCOMPARE(cells(UserData, 0x00, 0x1F), QStringLiteral("00 00 FF 03 ") + d + QStringLiteral(" 00 00 ") + d +
                                              QStringLiteral(" 00 00 ") + d + QStringLiteral(" FF 03 ") + d +
                                              QStringLiteral(" 00 00 ") + d +
                                              QStringLiteral(" 00 00 FF 03 FF 03 FF 03 FF 03"));
    QCOMPARE(UserData[cellInputCode].data(), QString::fromLatin1(code));
    QCOMPARE(UserData[cellMarker].data(), QStringLiteral("FF"));
}

void tst_model::relayMode()
{
    useCode("00");
    UserData[cellRelayMode].setData(QByteArrayView("05"));
    EditorTexts t;
    FileError e;
    QVERIFY(DecodeSettings(UserData, t, e));
    QCOMPARE(QList<bool>(t.nc, t.nc + 8), (QList<bool>{true, false, true, false, false, false, false, false}));
    EditorTexts in;
    in.nc[0] = in.nc[7] = true;
    EncodeSettings(in, UserData);
    QCOMPARE(UserData[cellRelayMode].data(), QStringLiteral("81"));
    for (bool &b : in.nc)
        b = true;
    QCOMPARE(RelayModeText(in.nc), QStringLiteral("FF"));
    for (bool &b : in.nc)
        b = false;
    QCOMPARE(RelayModeText(in.nc), QStringLiteral("00"));
    in.nc[4] = true;
    QCOMPARE(RelayModeText(in.nc), QStringLiteral("10"));
}

void tst_model::rangeChecks_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("check"); // 0 level, 1 count, 2 offset, 3 hysteresis
    QTest::addColumn<double>("value");
    QTest::addColumn<bool>("ok");
    // The written limits, type by type (0 behaves as type 1): level, count, offset, hysteresis.
    const struct {
        int type;
        double level, count, offset, hys;
    } written[] = {
        {0, 5, 1023, 5, 1}, {1, 5, 1023, 5, 1}, {2, 10, 1023, 5, 2},
        {3, 20, 1023, 5, 1}, {4, 5, 1023, 5, 1}, {5, 10, 1023, 5, 2},
    };
    const char *names[] = {"level", "count", "offset", "hys"};
    for (const auto &w : written) {
        const double lows[4] = {0, 1, 0, 0};
        const double highs[4] = {w.level, w.count, w.offset, w.hys};
        for (int check = 0; check < 4; ++check) {
            const QByteArray base = QByteArray("type ") + QByteArray::number(w.type) + ' ' + names[check] + ' ';
            QTest::newRow(base + "low") << w.type << check << lows[check] << true;
            QTest::newRow(base + "below") << w.type << check << lows[check] - 0.001 << false;
            QTest::newRow(base + "high") << w.type << check << highs[check] << true;
            QTest::newRow(base + "above") << w.type << check << highs[check] + 0.001 << false;
        }
    }
}

void tst_model::rangeChecks()
{
    QFETCH(int, type);
    QFETCH(int, check);
    QFETCH(double, value);
    QFETCH(bool, ok);
    g_subInputTypeSet(type);
    bool (*const fn[])(double) = {g_funcLevelRangeCheck, g_funcCountRangeCheck, g_funcOffsetRangeCheck, g_funcHysRangeCheck};
    QCOMPARE(fn[check](value), ok);
}

void tst_model::nonHexCellFailsDecode_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<int>("cell");
    QTest::addColumn<bool>("fails");
    QTest::newRow("ChMin of output 3") << QByteArray("00") << ChMinCell(3) << true;
    QTest::newRow("ChMax high of output 8") << QByteArray("01") << ChMaxCell(8) + 1 << true;
    QTest::newRow("Scaling2 high") << QByteArray("00") << cellScaling2 + 1 << true;
    QTest::newRow("Hysteresis low") << QByteArray("03") << int(cellHysteresis) << true;
    QTest::newRow("RelayMode") << QByteArray("00") << int(cellRelayMode) << true;
    QTest::newRow("distance DetectLimit") << QByteArray("04") << ChMinCell(2) << true;
    QTest::newRow("Marker") << QByteArray("00") << int(cellMarker) << false;
    QTest::newRow("free cell 2C") << QByteArray("00") << 0x2C << false;
    QTest::newRow("free cell 2F") << QByteArray("00") << 0x2F << false;
    QTest::newRow("distance ChMax of output 7") << QByteArray("03") << ChMaxCell(7) << false;
}

void tst_model::nonHexCellFailsDecode()
{
    QFETCH(QByteArray, code);
    QFETCH(int, cell);
    QFETCH(bool, fails);
    useCode(code.constData());
    UserData[cell].setData(QByteArrayView("G1"));
    const qint16 type = g_intInputType;
    FileError e;
    QCOMPARE(ImageShowable(UserData, e), !fails);
    QCOMPARE(g_intInputType, type);
    EditorTexts t = sentinel();
    e = FileError();
    QCOMPARE(DecodeSettings(UserData, t, e), !fails);
    if (fails) {
        QCOMPARE(e.number, 13);
        QCOMPARE(e.description, QStringLiteral("Type mismatch"));
        // Nothing of the output is touched, not even the fields decoded before the bad cell.
        QCOMPARE(t.cell[1][1], QStringLiteral("keep"));
        QCOMPARE(t.detectLimit, QStringLiteral("keep"));
        QCOMPARE(t.param[0], QStringLiteral("keep"));
        QCOMPARE(t.param[4], QStringLiteral("keep"));
        QVERIFY(t.nc[2]);
    } else {
        QCOMPARE(e.number, 0);
        QCOMPARE(t.param[0], QStringLiteral("1"));
    }
    QCOMPARE(UserData[cell].data(), QStringLiteral("G1")); // the cell is not changed
}

void tst_model::imageResetsAndCopy()
{
    for (int i : {0, 0x2A, 0x1234, 0xFFFF}) {
        UserData[i].setAddress(QByteArrayView("ZZZZ"));
        UserData[i].setData(QByteArrayView("77"));
        TempData[i].setAddress(QByteArrayView("YYYY"));
        TempData[i].setData(QByteArrayView("66"));
    }
    g_subUserDataIni();
    for (int i = 0; i < kImageCells; ++i) {
        if (UserData[i].address() != HexPad(i, 4) || UserData[i].data() != QLatin1String("00"))
            QFAIL(qPrintable(QStringLiteral("UserData %1: %2 %3").arg(i).arg(UserData[i].address(), UserData[i].data())));
    }
    QCOMPARE(TempData[0x1234].data(), QStringLiteral("66")); // the other image is not touched
    g_subTempDataIni();
    for (int i = 0; i < kImageCells; ++i) {
        const char *want = i == 0x2A ? "FF" : "00";
        if (TempData[i].address() != HexPad(i, 4) || TempData[i].data() != QLatin1String(want))
            QFAIL(qPrintable(QStringLiteral("TempData %1: %2 %3").arg(i).arg(TempData[i].address(), TempData[i].data())));
    }
    QCOMPARE(UserData[0x2A].data(), QStringLiteral("00"));
    QCOMPARE(UserData[0xFFFF].address(), QStringLiteral("FFFF"));
    // The copy takes both fields of every cell.
    TempData[0].setData(QByteArrayView("12"));
    TempData[0xFFFF].setAddress(QByteArrayView("ABCD"));
    TempData[0xFFFF].setData(QByteArrayView("EF"));
    g_subTempToUser();
    QCOMPARE(UserData[0].data(), QStringLiteral("12"));
    QCOMPARE(UserData[0x2A].data(), QStringLiteral("FF"));
    QCOMPARE(UserData[0xFFFF].address(), QStringLiteral("ABCD"));
    QCOMPARE(UserData[0xFFFF].data(), QStringLiteral("EF"));
}

void tst_model::memCellPadsAndCuts()
{
    MemCell c;
    QCOMPARE(c.address() + c.data(), QStringLiteral("000000"));
    c.setData(QByteArrayView("A"));
    QCOMPARE(c.data(), QStringLiteral("A "));
    c.setData(QByteArrayView("ABC"));
    QCOMPARE(c.data(), QStringLiteral("AB"));
    c.setData(QString());
    QCOMPARE(c.data(), QStringLiteral("  "));
    c.setData(QStringLiteral("7F9"));
    QCOMPARE(c.data(), QStringLiteral("7F"));
    c.setAddress(QByteArrayView("12"));
    QCOMPARE(c.address(), QStringLiteral("12  "));
    c.setAddress(QByteArrayView("123456"));
    QCOMPARE(c.address(), QStringLiteral("1234"));
}

QTEST_MAIN(tst_model)
#include "tst_model.moc"
