// The application's own files: "qvo.ini" (port, sampling time, last file) and
// "frmst.tmp" (window places), their exact bytes, the messages and the recovery.
#include "support/AppFixture.h"
#include "support/DataFiles.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modComm1.h"
#include "platform/Paths.h"
#include "settings/modUserData.h"

#include <QFile>
#include <QtTest>

namespace {
const QString kLoadCaption = QStringLiteral("ﾌｫｰﾑ表示位置情報読み込み");
const QString kBadContent = QStringLiteral("ﾌｧｲﾙの読み込みでｴﾗｰがありました。\r\n"
                                           "ﾌﾟﾛｸﾞﾗﾑが予期しない値が設定ﾌｧｲﾙに書かれていた可能性があります。\r\n"
                                           "ﾌﾟﾛｸﾞﾗﾑは初期値で画面を表示します。");

QString runtimeText(const QString &description, int number)
{
    return QStringLiteral("ﾌｧｲﾙの読み込みでｴﾗｰがありました。\r\n") + description + QStringLiteral(" : Error.No = ") +
           QString::number(number) +
           QStringLiteral("設定ﾌｧｲﾙが壊れているかﾌﾟﾛｸﾞﾗﾑﾌｫﾙﾀﾞに存在しない可能性があります。\r\n\r\n"
                          "[再試行(R)] = 再試行 / [ｷｬﾝｾﾙ] = ﾌﾟﾛｸﾞﾗﾑは初期値で画面を表示します。");
}

bool allZero()
{
    for (const FormPos &p : g_FormPos)
        if (p.Height || p.Left || p.Top || p.Width || p.State)
            return false;
    return true;
}

QString qvoIni() { return AppFixture::dataFile(QStringLiteral("qvo.ini")); }
QString frmst() { return AppFixture::dataFile(QStringLiteral("frmst.tmp")); }

// The fixture with the data path the start-up sets.
struct DataPathFixture : AppFixture {
    DataPathFixture() { g_subDataPathSet(DataFolder()); }
};
} // namespace

class tst_inifiles : public QObject {
    Q_OBJECT
private slots:
    void iniBytes_data();
    void iniBytes();
    void iniNotHexadecimal_data();
    void iniNotHexadecimal();
    void iniMissingOrShort();
    void iniLastFileWithComma();
    void iniEmptyLastFile();
    void iniSamplingOutOfRange();
    void iniSaveFails();

    void formPosBytesAndBack();
    void formPosBadContent_data();
    void formPosBadContent();
    void formPosMissingCancel();
    void formPosMissingRetry();
    void formPosTooFewRecords();
    void formPosSaveFails();
};

// ---------------------------------------------------------------- qvo.ini

void tst_inifiles::iniBytes_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("sampling");
    QTest::addColumn<QString>("last");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("COM1, 1000 ms") << 1 << 1000 << "/home/u/Documents/site7.qvd"
                                   << QByteArray("01\r\n03E8\r\n/home/u/Documents/site7.qvd\r\n");
    QTest::newRow("not set, 2000 ms") << 100 << 2000 << "/home/u/a b.qvd" << QByteArray("64\r\n07D0\r\n/home/u/a b.qvd\r\n");
    QTest::newRow("COM30, 20 ms, no file") << 30 << 20 << "" << QByteArray("1E\r\n0014\r\n\r\n");
    QTest::newRow("Japanese path") << 2 << 500 << "/d/ﾃﾞｰﾀ/設定.qvd"
                                   << QByteArray("02\r\n01F4\r\n/d/\xC3\xDE\xB0\xC0/\x90\xDD\x92\xE8.qvd\r\n");
}

void tst_inifiles::iniBytes()
{
    QFETCH(int, port);
    QFETCH(int, sampling);
    QFETCH(QString, last);
    QFETCH(QByteArray, bytes);
    DataPathFixture f;
    g_intCommPort = 7; // the argument is written, not the global
    g_subSamplingTimeSet(sampling);
    g_subUserFileSet(last);
    QVERIFY(g_funcIniFileSave(qint16(port)));
    QCOMPARE(AppFixture::readFile(qvoIni()), bytes);
    QCOMPARE(g_intCommPort, qint16(7));
    g_subSamplingTimeSet(1);
    g_subUserFileSet(QStringLiteral("other"));
    QVERIFY(g_funcIniFileLoad());
    QCOMPARE(g_intCommPort, qint16(port));
    QCOMPARE(g_lngSamplingTime, sampling);
    QCOMPARE(g_strUserFile, last);
    QVERIFY2(f.dlg.boxes.isEmpty(), f.unexpectedText());
}

void tst_inifiles::iniNotHexadecimal_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("port");     // after the failed load
    QTest::addColumn<int>("sampling");
    QTest::newRow("G1 port") << QByteArray("G1\r\n03E8\r\n/x.qvd\r\n") << 100 << 1000;
    // The port read before the bad sampling time stays assigned.
    QTest::newRow("bad sampling") << QByteArray("05\r\n03X8\r\n/x.qvd\r\n") << 5 << 1000;
}

void tst_inifiles::iniNotHexadecimal()
{
    QFETCH(QByteArray, file);
    QFETCH(int, port);
    QFETCH(int, sampling);
    DataPathFixture f;
    AppFixture::writeFile(qvoIni(), file);
    f.dlg.answers << vbOK;
    QVERIFY(!g_funcIniFileLoad());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("初期化ﾌｧｲﾙ Load"), QStringLiteral("13 :  Type mismatch"), vbOKOnly, vbCritical));
    QCOMPARE(g_intCommPort, qint16(port));
    QCOMPARE(g_lngSamplingTime, sampling);
    QCOMPARE(g_strUserFile, QString());
}

void tst_inifiles::iniMissingOrShort()
{
    DataPathFixture f;
    f.dlg.answers << vbOK << vbOK;
    QVERIFY(!g_funcIniFileLoad());
    // Two lines only: the third item is past the end of the file.
    AppFixture::writeFile(qvoIni(), "01\r\n03E8\r\n");
    QVERIFY(!g_funcIniFileLoad());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(boxText(f.dlg.boxes[0]), QStringLiteral("初期化ﾌｧｲﾙ Load / 53 :  File not found"));
    QCOMPARE(boxText(f.dlg.boxes[1]), QStringLiteral("初期化ﾌｧｲﾙ Load / 62 :  Input past end of file"));
}

void tst_inifiles::iniLastFileWithComma()
{
    DataPathFixture f;
    g_subUserFileSet(QStringLiteral("/home/u/site 3,old.qvd"));
    QVERIFY(g_funcIniFileSave(1));
    QCOMPARE(AppFixture::readFile(qvoIni()), QByteArray("01\r\n03E8\r\n/home/u/site 3,old.qvd\r\n"));
    g_subUserFileSet(QString());
    QVERIFY(g_funcIniFileLoad());
    QCOMPARE(g_strUserFile, QStringLiteral("/home/u/site 3"));
    QVERIFY2(f.dlg.boxes.isEmpty(), f.unexpectedText());
}

void tst_inifiles::iniSamplingOutOfRange()
{
    // The ends of the dialog's range are kept; a value outside it, written by hand, loads as
    // the default 1000 ms and the rest of the file still counts.
    DataPathFixture f;
    const QList<QPair<QByteArray, int>> cases = {{"0014", 20},   {"07D0", 2000}, {"0013", 1000},
                                                  {"07D1", 1000}, {"0000", 1000}, {"FFFFFFFF", 1000}};
    for (const auto &[hex, want] : cases) {
        AppFixture::writeFile(qvoIni(), "02\r\n" + hex + "\r\n/x.qvd\r\n");
        g_subSamplingTimeSet(1);
        QVERIFY(g_funcIniFileLoad());
        QCOMPARE(g_lngSamplingTime, want);
        QCOMPARE(g_intCommPort, qint16(2));
        QCOMPARE(g_strUserFile, QStringLiteral("/x.qvd"));
    }
    QVERIFY2(f.dlg.boxes.isEmpty(), f.unexpectedText());
}

void tst_inifiles::iniEmptyLastFile()
{
    DataPathFixture f;
    g_subUserFileSet(QStringLiteral("stale"));
    // Blank lines before an item are skipped; an empty last line is an empty name.
    AppFixture::writeFile(qvoIni(), "\r\n  0A\r\n\r\n03E8\r\n\r\n");
    QVERIFY(g_funcIniFileLoad());
    QCOMPARE(g_intCommPort, qint16(10));
    QCOMPARE(g_lngSamplingTime, 1000);
    QCOMPARE(g_strUserFile, QString());
    QVERIFY2(f.dlg.boxes.isEmpty(), f.unexpectedText());
}

void tst_inifiles::iniSaveFails()
{
    AppFixture f;
    g_subDataPathSet(DataFolder() + QStringLiteral("gone/"));
    g_subUserFileSet(QStringLiteral("/x.qvd"));
    f.dlg.answers << vbOK;
    QVERIFY(!g_funcIniFileSave(3));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(boxText(f.dlg.boxes[0]), QStringLiteral("初期化ﾌｧｲﾙ Save / 76 :  Path not found"));
    QCOMPARE(f.dlg.boxes[0].icon, int(vbCritical));
    QCOMPARE(g_intCommPort, qint16(100));
    QCOMPARE(g_strUserFile, QStringLiteral("/x.qvd"));
}

// ---------------------------------------------------------------- frmst.tmp

void tst_inifiles::formPosBytesAndBack()
{
    DataPathFixture f;
    g_subFormPosSet(0, FormPos{8520, -120, 300, 9390, 1});
    g_subFormPosSet(4, FormPos{2000, 15, 0, 4500, 5});
    g_subFormPosSet(30, FormPos{1, -1, 0x7FFFFFFF, -2147483647 - 1, 2});
    QVERIFY(g_funcFormPosSave());
    const QByteArray bytes = AppFixture::readFile(frmst());
    const QList<QByteArray> lines = bytes.split('\n');
    QCOMPARE(lines.size(), 32); // 31 lines and nothing after the last CR LF
    QVERIFY(lines.last().isEmpty());
    for (int id = 0; id <= 30; ++id) {
        QCOMPARE(lines[id].size(), 44); // 43 characters and CR
        QVERIFY(lines[id].endsWith('\r'));
    }
    QCOMPARE(bytes.size(), 31 * 45);
    QCOMPARE(lines[0], QByteArray("\"00,00002148,FFFFFF88,0000012C,000024AE,01\"\r"));
    QCOMPARE(lines[4], QByteArray("\"04,000007D0,0000000F,00000000,00001194,05\"\r"));
    QCOMPARE(lines[9], QByteArray("\"09,00000000,00000000,00000000,00000000,00\"\r"));
    QCOMPARE(lines[30], QByteArray("\"1E,00000001,FFFFFFFF,7FFFFFFF,80000000,02\"\r"));

    for (int id = 0; id < 31; ++id)
        g_subFormPosSet(id, FormPos());
    g_subFormPosDefaultSet(-1);
    QVERIFY(g_funcFormPosLoad());
    QCOMPARE(g_intFormPosDefault, qint16(0));
    QCOMPARE(g_FormPos[0].Height, 8520);
    QCOMPARE(g_FormPos[0].Left, -120);
    QCOMPARE(g_FormPos[0].Top, 300);
    QCOMPARE(g_FormPos[0].Width, 9390);
    QCOMPARE(g_FormPos[0].State, 1);
    QCOMPARE(g_FormPos[4].State, 5);
    QCOMPARE(g_FormPos[30].Left, -1);
    QCOMPARE(g_FormPos[30].Width, -2147483647 - 1);
    QCOMPARE(g_FormPos[9].Height, 0);
    QVERIFY2(f.dlg.boxes.isEmpty(), f.unexpectedText());
}

void tst_inifiles::formPosBadContent_data()
{
    QTest::addColumn<int>("badId");
    QTest::addColumn<QByteArray>("badRecord");
    QTest::newRow("40 characters") << 3 << QByteArray("03,00000000,00000000,00000000,00000000,0");
    QTest::newRow("42 characters") << 3 << QByteArray("03,00000000,00000000,00000000,00000000,000");
    QTest::newRow("Left not hexadecimal") << 5 << QByteArray("05,00000100,0000G100,00000000,00000100,00");
    QTest::newRow("id not hexadecimal") << 30 << QByteArray("1X,00000100,00000100,00000000,00000100,00");
}

void tst_inifiles::formPosBadContent()
{
    QFETCH(int, badId);
    QFETCH(QByteArray, badRecord);
    DataPathFixture f;
    // Good records before the bad one, with values that must not be used.
    QMap<int, QByteArray> bodies{{0, "00,00002148,FFFFFF88,0000012C,000024AE,01"},
                                 {1, "01,00000DC5,00000000,00000000,00001E00,00"},
                                 {2, "02,00000100,00000100,00000100,00000100,00"}};
    bodies[badId] = badRecord;
    AppFixture::writeFile(frmst(), formPosFile(bodies));
    f.dlg.answers << vbOK;
    QVERIFY(!g_funcFormPosLoad());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(kLoadCaption, kBadContent, vbOKOnly, vbCritical));
    QVERIFY(allZero());
    QCOMPARE(g_intFormPosDefault, qint16(-1));
    // The file is rewritten with zero records, so the next start reads it silently.
    QCOMPARE(AppFixture::readFile(frmst()), formPosFile());
    QVERIFY(g_funcFormPosLoad());
    QCOMPARE(g_intFormPosDefault, qint16(0));
    QCOMPARE(f.dlg.boxes.size(), 1);
}

void tst_inifiles::formPosMissingCancel()
{
    DataPathFixture f;
    g_subFormPosSet(0, FormPos{1, 2, 3, 4, 1});
    f.dlg.answers << vbRetry << vbCancel; // Retry with the file still missing asks again
    QVERIFY(!g_funcFormPosLoad());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 2);
    for (const auto &b : f.dlg.boxes)
        QCOMPARE(boxOf(b), box(kLoadCaption, runtimeText(QStringLiteral("File not found"), 53), vbRetryCancel, vbCritical));
    QVERIFY(allZero());
    QCOMPARE(g_intFormPosDefault, qint16(-1));
    QVERIFY(!QFile::exists(frmst())); // Cancel does not write the file
}

void tst_inifiles::formPosMissingRetry()
{
    DataPathFixture f;
    g_subFormPosDefaultSet(-1);
    // The user puts the file in place while the box is up, then presses Retry.
    f.dlg.onBox = [](const ScriptedDialogs::Box &) {
        AppFixture::writeFile(frmst(), formPosFile({{5, "05,00000FA0,000001E0,00000078,00001770,01"}}));
    };
    f.dlg.answers << vbRetry;
    QVERIFY(g_funcFormPosLoad());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(g_intFormPosDefault, qint16(0));
    QCOMPARE(g_FormPos[5].Height, 4000);
    QCOMPARE(g_FormPos[5].Left, 480);
    QCOMPARE(g_FormPos[5].Top, 120);
    QCOMPARE(g_FormPos[5].Width, 6000);
    QCOMPARE(g_FormPos[5].State, 1);
}

void tst_inifiles::formPosTooFewRecords()
{
    DataPathFixture f;
    QByteArray thirty = formPosFile();
    thirty.chop(45); // drop the last record
    AppFixture::writeFile(frmst(), thirty);
    f.dlg.answers << vbCancel;
    QVERIFY(!g_funcFormPosLoad());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(f.dlg.boxes[0].text, runtimeText(QStringLiteral("Input past end of file"), 62));
    QCOMPARE(f.dlg.boxes[0].buttons, int(vbRetryCancel));
    QCOMPARE(g_intFormPosDefault, qint16(-1));
    QCOMPARE(AppFixture::readFile(frmst()), thirty); // not rewritten
}

void tst_inifiles::formPosSaveFails()
{
    AppFixture f;
    g_subDataPathSet(DataFolder() + QStringLiteral("gone/"));
    g_subFormPosSet(0, FormPos{8520, 0, 0, 9390, 0});
    f.dlg.answers << vbOK;
    QVERIFY(!g_funcFormPosSave());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("ﾌｫｰﾑ表示位置情報保存"), QStringLiteral("Path not found : Error.No = 76"), vbOKOnly, vbCritical));
    QCOMPARE(g_FormPos[0].Height, 8520); // the table is kept
}

QTEST_MAIN(tst_inifiles)
#include "tst_inifiles.moc"
