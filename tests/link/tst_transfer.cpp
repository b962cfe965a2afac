// Reading and writing the controller's settings block, and the position output command:
// the frames in order, the cells taken over, the resends, cancelling, the failures, and
// a read against every fault of the controller.
#include "support/LinkHelpers.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "link/LinkSession.h"
#include "link/frmCommMsg1.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "link/modTransfer.h"
#include "monitor/modMonitor1.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QDir>
#include <QtTest>

namespace {
const QString kPosCaption = QStringLiteral("POS ｺﾏﾝﾄﾞ送信");

QStringList texts(const EditorTexts &t)
{
    QStringList l;
    for (const auto &row : t.cell)
        for (const QString &c : row)
            l << c;
    l << t.detectLimit;
    for (const QString &p : t.param)
        l << p;
    for (bool b : t.nc)
        l << (b ? QStringLiteral("NC") : QStringLiteral("NO"));
    return l;
}
QStringList editorNow() { return texts(g_frmMain1->editorTexts()); }
// What the editor should show for an image.
QStringList editorFor(const MemCell *image)
{
    EditorTexts t;
    FileError e;
    if (!DecodeSettings(image, t, e))
        return {QStringLiteral("not showable")};
    for (int c = 0; c < 9; ++c) // the captions are the grid's own
        t.cell[0][c] = g_frmMain1->MSFlexGrid1->TextMatrix(0, c);
    for (int r = 1; r < 3; ++r)
        t.cell[r][0] = g_frmMain1->MSFlexGrid1->TextMatrix(r, 0);
    return texts(t);
}

QStringList settingsBlock(const MemCell *image)
{
    QStringList l;
    for (int i = 0; i < kSettingsCells; ++i)
        l << image[i].data();
    return l;
}
QStringList modelBlock(CtrlModel &m)
{
    QStringList l;
    for (int i = 0; i < kSettingsCells; ++i)
        l << HexByte(m.cell(i));
    return l;
}

// The recording port as a controller: replies per frame, taken from a queue when one is
// given (the last reply of a queue repeats), else the healthy answer.
struct ScriptedController {
    QHash<QByteArray, QByteArrayList> queued;
    QByteArrayList frames;
    QList<qint64> timesUs;
    void attach(AppFixture &f)
    {
        f.rec.onOutput = [this, &f](const QByteArray &bytes) {
            const QByteArray frame = bytes.chopped(1);
            frames << frame;
            timesUs << f.clock.nowUs();
            QByteArrayList &q = queued[frame];
            if (!q.isEmpty()) {
                f.rec.feed(q.size() > 1 ? q.takeFirst() : q.first());
                return;
            }
            if (frame == "L")
                f.rec.feed("L0001\r");
            else if (frame.startsWith('R'))
                f.rec.feed(frame + '\r');
            else if (frame.startsWith('W'))
                f.rec.feed("W\r");
            else if (frame == "E")
                f.rec.feed("E\r");
            else if (frame.startsWith('P'))
                f.rec.feed("P0\r");
        };
    }
};

void startScripted(AppFixture &f, ScriptedController &c)
{
    f.startSeeded();
    c.attach(f);
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(1));
    c.frames.clear();
    c.timesUs.clear();
}

// A settings block with a value in every field, shown in the editor.
void showSampleSettings()
{
    for (int out = 1; out <= 8; ++out) {
        EncodeCount(UserData, ChMinCell(out), 100 * out);
        EncodeCount(UserData, ChMaxCell(out), 100 * out + 50);
    }
    EncodeCount(UserData, cellHysteresis, 12);
    UserData[cellRelayMode].setData(QStringLiteral("05"));
    UserData[0x2C].setData(QStringLiteral("12"));
    UserData[0x2E].setData(QStringLiteral("34"));
    UserData[0x2F].setData(QStringLiteral("5A"));
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
}
} // namespace

class TestTransfer : public QObject {
    Q_OBJECT
private slots:
    void readTakesOverTheWholeImage();
    void readAsksAgain();
    void progressWindowDuringTransfer_data();
    void progressWindowDuringTransfer();
    void writeSendsTheBlockThenE();
    void readThenWriteLeavesTheControllerAsItWas_data();
    void readThenWriteLeavesTheControllerAsItWas();
    void writeResendsAfterQuestion();
    void cancelWhileLRepeats_data();
    void cancelWhileLRepeats();
    void cancelDuringWriteKeepsTheEditor();
    void changedPromptBeforeRead_data();
    void changedPromptBeforeRead();
    void portThatDoesNotOpen_data();
    void portThatDoesNotOpen();
    void tempFileSaveFails_data();
    void tempFileSaveFails();
    void readAgainstFaults_data();
    void readAgainstFaults();
    void sendLimitGivesUp_data();
    void sendLimitGivesUp();
    void readRetriesAfterPortLost();
    void retryOnAGoneDeviceEndsDisconnected();

    void positionFrame();
    void positionResult_data();
    void positionResult();
    void positionWithoutAnswer_data();
    void positionWithoutAnswer();
    void positionRefusedForEver();
    void positionQuestionThenP0();
    void positionWithThePortGone();
    void positionUnpluggedDuringTheOutput();
};

void TestTransfer::readTakesOverTheWholeImage()
{
    AppFixture f;
    startConnected(f);
    CtrlModel &m = f.sim.model();
    for (int i = 0; i < 0x100; ++i)
        m.setCell(i, quint8(i < 0x30 ? i : 0x77)); // beyond the block: never read
    for (int i = 0x30; i < 0x200; ++i)
        UserData[i].setData(QStringLiteral("AB"));
    g_intSaved = 1;
    QFile::remove(g_strTempFile);
    m.clearLog();
    g_frmMain1->Command1_Click(0);
    for (int i = 0; i < kImageCells; ++i)
        QCOMPARE(UserData[i].data(), i < 0x30 ? HexByte(i) : QStringLiteral("00"));
    QCOMPARE(g_intSaved, qint16(0));
    QByteArrayList expected{"L"};
    for (int a = 0; a < 0x30; ++a)
        expected << FrameRead(a).toLatin1();
    QCOMPARE(m.received(), expected);
    QCOMPARE(editorNow(), editorFor(UserData));
    // The copy in the temporary file.
    const QByteArray temp = AppFixture::readFile(g_strTempFile);
    QCOMPARE(temp.size(), kUserFileBytes);
    QVERIFY(temp.contains("\"002F\",\"2F\"\r\n\"0030\",\"00\"\r\n"));
    QCOMPARE(f.dlg.boxes.size(), 0);
    QVERIFY(f.sim.portOpen());
    QCOMPARE(g_intConnectStatus, qint16(1));
    checkSane();
}

void TestTransfer::readAsksAgain()
{
    // "?" and a reply whose data are no hex pair are both asked for again; the data are
    // the two characters after the first "R", in either case.
    AppFixture f(false);
    ScriptedController c;
    startScripted(f, c);
    c.queued["R05"] = {"?\r", "R05\r"};
    c.queued["R07"] = {"RZZ\r", "xr07\r"};
    c.queued["R09"] = {"W\r"}; // a foreign line is not taken for the reply...
    g_intSaved = 1;
    f.clock.scheduleIn(5000000, [&f] { f.rec.feed("R09\r"); }); // ...the next line is
    const qint64 t0 = f.clock.nowUs();
    g_frmMain1->Command1_Click(0);
    QVERIFY(f.msSince(t0) >= 5000); // the reply is waited for without a limit
    QCOMPARE(c.frames.count("R05"), 2);
    QCOMPARE(c.frames.count("R07"), 2);
    QCOMPARE(c.frames.count("R09"), 1);
    QCOMPARE(c.frames.size(), 1 + 48 + 2);
    for (int i = 0; i < 0x30; ++i)
        QCOMPARE(UserData[i].data(), HexByte(i));
    QCOMPARE(f.dlg.boxes.size(), 0);
    checkSane();
}

void TestTransfer::progressWindowDuringTransfer_data()
{
    QTest::addColumn<int>("dir");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("label");
    QTest::newRow("read") << 0 << QStringLiteral("ﾃﾞｰﾀの読込み") << QStringLiteral("ﾃﾞｰﾀの読込み中");
    QTest::newRow("write") << 1 << QStringLiteral("ﾃﾞｰﾀの書込み") << QStringLiteral("ﾃﾞｰﾀの書込み中");
}

void TestTransfer::progressWindowDuringTransfer()
{
    QFETCH(int, dir);
    QFETCH(QString, caption);
    QFETCH(QString, label);
    AppFixture f;
    startConnected(f);
    g_intSaved = 1;
    QStringList seen;
    bool frameEnabled = true;
    f.clock.scheduleIn(100000, [&] {
        QVERIFY(g_frmCommMsg1);
        seen << g_frmCommMsg1->windowTitle() << g_frmCommMsg1->Label1->text()
             << QString::number(g_frmCommMsg1->ProgressBar1->maximum())
             << QString::number(g_frmCommMsg1->ProgressBar1->value()) << g_frmCommMsg1->Command1->text();
        frameEnabled = g_frmMdi1->isEnabled();
    });
    if (dir == 1)
        f.dlg.answers << vbOK;
    g_frmMain1->Command1_Click(dir);
    // About a tenth of a second in, a few addresses have gone.
    QCOMPARE(seen.size(), 5);
    QCOMPARE(seen.mid(0, 3), QStringList({caption, label, QStringLiteral("47")}));
    QVERIFY(seen[3].toInt() > 0 && seen[3].toInt() < 47);
    QCOMPARE(seen[4], QStringLiteral("中止"));
    QVERIFY(!frameEnabled);
    checkSane();
}

void TestTransfer::writeSendsTheBlockThenE()
{
    AppFixture f;
    startConnected(f);
    showSampleSettings();
    g_intSaved = 1;
    CtrlModel &m = f.sim.model();
    m.clearLog();
    int progress = -1;
    bool progressVisible = true;
    f.dlg.onBox = [&](const ScriptedDialogs::Box &) {
        if (g_frmCommMsg1) {
            progress = g_frmCommMsg1->ProgressBar1->value();
            progressVisible = g_frmCommMsg1->isVisible();
        }
    };
    f.dlg.answers << vbOK;
    g_frmMain1->Command1_Click(1);
    f.dlg.onBox = nullptr;

    const auto &frames = m.frames();
    QCOMPARE(frames.size(), 1 + 48 + 1);
    QCOMPARE(frames.first().text, QByteArray("L"));
    for (int a = 0; a < 48; ++a)
        QCOMPARE(frames[1 + a].text, FrameWrite(a, UserData[a].data()).toLatin1());
    QCOMPARE(frames[1].text, "W00" + UserData[0].data().toLatin1());
    QCOMPARE(frames[48].text, QByteArray("W2F5A")); // an uninterpreted cell travels unchanged
    QCOMPARE(frames.last().text, QByteArray("E"));
    QCOMPARE(modelBlock(m), settingsBlock(UserData));
    QCOMPARE(UserData[cellMarker].data(), QStringLiteral("FF"));
    QCOMPARE(UserData[cellRelayMode].data(), QStringLiteral("05"));

    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("ﾃﾞｰﾀｰ書込み"), QStringLiteral("データは正常に書き込まれました。"), vbOKOnly, vbInformation));
    QCOMPARE(progress, 47);
    QVERIFY(!progressVisible);
    QCOMPARE(g_intSaved, qint16(1));
    QCOMPARE(AppFixture::readFile(g_strTempFile).size(), kUserFileBytes);
    QCOMPARE(g_intConnectStatus, qint16(1));
    checkSane();
}

void TestTransfer::readThenWriteLeavesTheControllerAsItWas_data()
{
    QTest::addColumn<quint8>("code");
    QTest::addColumn<int>("count"); // in every field the editor shows
    QTest::newRow("0-5 V, count 1 (shows 0.00)") << quint8(0x00) << 1;
    QTest::newRow("0-10 V, count 22 (shows 0.22, as 23 does)") << quint8(0x01) << 22;
    QTest::newRow("5 M, count 1021") << quint8(0x03) << 1021;
    QTest::newRow("10 M, count 6") << quint8(0x04) << 6;
}

void TestTransfer::readThenWriteLeavesTheControllerAsItWas()
{
    // A field engineer reads a controller and writes it straight back: not a single count
    // may change behind the user's back.
    QFETCH(quint8, code);
    QFETCH(int, count);
    AppFixture f;
    startConnected(f);
    CtrlModel &m = f.sim.model();
    for (int a = 0; a < 0x2A; a += 2) {
        m.setCell(a, quint8(count & 0xFF));
        m.setCell(a + 1, quint8(count >> 8));
    }
    m.setCell(cellScaling1, 7);
    m.setCell(cellScaling1 + 1, 0);
    m.setCell(cellMarker, 0xFF);
    m.setCell(cellRelayMode, 0x5A);
    m.setCell(cellInputCode, code);
    if (IsDistanceMode(InputTypeFromCode(HexByte(code)))) {
        // What the distance layout holds by itself: full scale where it shows 0.
        for (int a : {ChMaxCell(1), ChMinCell(7), ChMaxCell(7), ChMinCell(8), ChMaxCell(8)}) {
            m.setCell(a, 0xFF);
            m.setCell(a + 1, 0x03);
        }
    }
    const QStringList before = modelBlock(m);
    g_intSaved = 1;
    g_frmMain1->Command1_Click(0);
    QCOMPARE(settingsBlock(UserData), before);
    f.dlg.answers << vbOK;
    g_frmMain1->Command1_Click(1);
    QCOMPARE(modelBlock(m), before);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    checkSane();
}

void TestTransfer::writeResendsAfterQuestion()
{
    AppFixture f(false);
    ScriptedController c;
    startScripted(f, c);
    showSampleSettings();
    const QByteArray w05 = FrameWrite(5, UserData[5].data()).toLatin1();
    c.queued[w05] = {"?\r", "W\r"};
    c.queued["E"] = {"?\r", "e\r"};
    f.dlg.answers << vbOK;
    g_frmMain1->Command1_Click(1);
    QCOMPARE(c.frames.size(), 1 + 49 + 2);
    QCOMPARE(c.frames.mid(5, 3), QByteArrayList({FrameWrite(4, UserData[4].data()).toLatin1(), w05, w05}));
    QCOMPARE(c.frames.mid(50), QByteArrayList({"E", "E"}));
    // "?" to "E" waits for the reply timer before "E" goes again.
    const qint64 gap = c.timesUs[51] - c.timesUs[50];
    QVERIFY2(gap >= 1000000 && gap < 1010000, QByteArray::number(gap));
    QCOMPARE(boxText(f.dlg.boxes.value(0)), QStringLiteral("ﾃﾞｰﾀｰ書込み / データは正常に書き込まれました。"));
    checkSane();
}

void TestTransfer::cancelWhileLRepeats_data()
{
    QTest::addColumn<int>("dir");
    QTest::addColumn<bool>("byFrame"); // closing the window by its frame instead of "中止"
    QTest::newRow("read, 中止") << 0 << false;
    QTest::newRow("read, window closed") << 0 << true;
    QTest::newRow("write, 中止") << 1 << false;
}

void TestTransfer::cancelWhileLRepeats()
{
    QFETCH(int, dir);
    QFETCH(bool, byFrame);
    AppFixture f;
    startConnected(f);
    f.sim.setFault(Fault::Silence);
    g_intSaved = 0;
    f.dlg.answers << vbNo; // the read's save question
    if (dir == 1)
        g_frmMain1->subFrmMainDataGet(); // what the write takes from the editor first
    const QStringList image = settingsBlock(UserData);
    const QStringList editor = editorNow();
    QFile::remove(g_strTempFile);
    f.sim.model().clearLog();
    const qint64 t0 = f.clock.nowUs();
    f.clock.scheduleIn(2500000, [byFrame] {
        QVERIFY(g_frmCommMsg1);
        if (byFrame)
            g_frmCommMsg1->close();
        else
            g_frmCommMsg1->Command1->click();
    });
    g_frmMain1->Command1_Click(dir);
    QVERIFY2(f.msSince(t0) >= 2500 && f.msSince(t0) < 2510, QByteArray::number(f.msSince(t0)));
    QCOMPARE(f.sim.model().received(), QByteArrayList({"L", "L", "L"}));
    QCOMPARE(settingsBlock(UserData), image);
    QCOMPARE(editorNow(), editor);
    QCOMPARE(g_intSaved, qint16(0));
    QVERIFY(!QFile::exists(g_strTempFile));
    QCOMPARE(f.dlg.boxes.size(), dir == 0 ? 1 : 0);
    QVERIFY(f.sim.portOpen()); // left open after a cancel
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    checkSane();
}

void TestTransfer::cancelDuringWriteKeepsTheEditor()
{
    AppFixture f;
    startConnected(f);
    showSampleSettings();
    CtrlModel &m = f.sim.model();
    m.setAnswerDelayUs(100000);
    const QStringList editor = editorNow();
    g_frmMain1->subFrmMainDataGet(); // what the write takes from the editor first
    const QStringList image = settingsBlock(UserData);
    const QStringList before = modelBlock(m);
    m.clearLog();
    f.clock.scheduleIn(2000000, [] { g_frmCommMsg1->Command1->click(); });
    g_frmMain1->Command1_Click(1);
    QCOMPARE(editorNow(), editor);
    QCOMPARE(settingsBlock(UserData), image);
    // Some addresses hold the new values, the rest the old ones; no "E".
    const QByteArrayList sent = m.received();
    QVERIFY(!sent.contains("E"));
    const int written = int(sent.size()) - 1;
    QVERIFY2(written > 5 && written < 40, QByteArray::number(written));
    const QStringList now = modelBlock(m);
    QCOMPARE(now.mid(0, written - 1), image.mid(0, written - 1));
    QCOMPARE(now.mid(written), before.mid(written));
    QCOMPARE(f.dlg.boxes.size(), 0);
    QVERIFY(f.sim.portOpen());
    checkSane();
}

void TestTransfer::changedPromptBeforeRead_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("saveAs"); // 0 no dialog, 1 cancelled, 2 a good path, 3 a path that fails
    QTest::addColumn<bool>("reads");
    QTest::newRow("Cancel") << int(vbCancel) << 0 << false;
    QTest::newRow("No") << int(vbNo) << 0 << true;
    QTest::newRow("Yes, saved") << int(vbYes) << 2 << true;
    QTest::newRow("Yes, save cancelled") << int(vbYes) << 1 << false;
    QTest::newRow("Yes, save failed") << int(vbYes) << 3 << false;
}

void TestTransfer::changedPromptBeforeRead()
{
    QFETCH(int, answer);
    QFETCH(int, saveAs);
    QFETCH(bool, reads);
    AppFixture f;
    startConnected(f);
    f.sim.model().setCell(0x10, 0x3C);
    f.sim.model().clearLog();
    g_intSaved = 0;
    f.dlg.answers << answer;
    const QString good = AppFixture::dataFile(QStringLiteral("site.qvd"));
    if (saveAs == 1)
        f.dlg.fileAnswers << std::nullopt;
    if (saveAs == 2)
        f.dlg.fileAnswers << good;
    if (saveAs == 3) {
        f.dlg.fileAnswers << AppFixture::dataFile(QStringLiteral("missing/site.qvd"));
        f.dlg.answers << vbOK;
    }
    g_frmMain1->Command1_Click(0);
    const auto &b = f.dlg.boxes.value(0);
    QCOMPARE(boxOf(b), box(g_strAppTitle, QStringLiteral("新規.qvd の内容は変更されています。\r\n変更を保存しますか？\r\n"), vbYesNoCancel, vbExclamation));
    if (saveAs == 3)
        QCOMPARE(f.dlg.boxes.value(1).caption, QStringLiteral("ﾃﾞｰﾀﾌｧｲﾙ Save"));
    QCOMPARE(f.dlg.fileRequests.size(), saveAs ? 1 : 0);
    QCOMPARE(f.sim.model().frameCount(), reads ? 49 : 0);
    QCOMPARE(UserData[0x10].data(), reads ? QStringLiteral("3C") : QStringLiteral("00"));
    if (saveAs == 2) // saved before the read: the file holds the old values
        QVERIFY(AppFixture::readFile(good).contains("\"0010\",\"00\"\r\n"));
    if (reads)
        QCOMPARE(g_intSaved, qint16(0));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    checkSane();
}

void TestTransfer::portThatDoesNotOpen_data()
{
    QTest::addColumn<int>("dir");
    QTest::addColumn<QString>("caption");
    QTest::newRow("read") << 0 << QStringLiteral("コントローラからデータ読込");
    QTest::newRow("write") << 1 << QStringLiteral("コントローラへのデータ書込");
}

void TestTransfer::portThatDoesNotOpen()
{
    QFETCH(int, dir);
    QFETCH(QString, caption);
    AppFixture f;
    f.startSeeded(2); // COM2 is not there
    g_intSaved = 1;
    if (dir == 1)
        g_frmMain1->subFrmMainDataGet(); // what the write takes from the editor first
    const QStringList image = settingsBlock(UserData);
    f.dlg.answers << vbOK;
    g_frmMain1->Command1_Click(dir);
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(caption, QStringLiteral("ﾎﾟｰﾄを開くことができませんでした。"), vbOKOnly, 0));
    QCOMPARE(f.sim.model().frameCount(), 0);
    QCOMPARE(settingsBlock(UserData), image);
    QCOMPARE(g_intSaved, qint16(1));
    checkSane();
}

void TestTransfer::tempFileSaveFails_data()
{
    QTest::addColumn<int>("dir");
    QTest::newRow("read") << 0;
    QTest::newRow("write") << 1;
}

void TestTransfer::tempFileSaveFails()
{
    QFETCH(int, dir);
    AppFixture f;
    startConnected(f);
    f.sim.model().setCell(0x10, 0x3C);
    g_intSaved = 1;
    QFile::remove(g_strTempFile);
    QVERIFY(QDir().mkpath(g_strTempFile)); // a folder where the file should go
    f.dlg.answers << vbOK << vbOK;
    if (dir == 1)
        f.dlg.answers << vbOK;
    g_frmMain1->Command1_Click(dir);
    QCOMPARE(f.dlg.boxes.size(), dir == 0 ? 2 : 3);
    QCOMPARE(f.dlg.boxes[0].caption, QStringLiteral("ﾕｰｻﾞｰﾃﾞｰﾀ 一時ﾌｧｲﾙ Save"));
    QCOMPARE(boxOf(f.dlg.boxes[1]), box(g_strAppTitle, QStringLiteral("一時ﾌｧｲﾙへの書込みに失敗しました"), vbOKOnly, vbExclamation));
    if (dir == 0) {
        // The read completes all the same.
        QCOMPARE(UserData[0x10].data(), QStringLiteral("3C"));
        QCOMPARE(editorNow(), editorFor(UserData));
        QCOMPARE(g_intSaved, qint16(0));
    } else {
        QCOMPARE(f.dlg.boxes[2].caption, QStringLiteral("ﾃﾞｰﾀｰ書込み"));
        QCOMPARE(f.sim.model().received().last(), QByteArray("E"));
    }
    checkSane();
}

void TestTransfer::readAgainstFaults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<int>("end"); // 0 completes, 1 only "中止" (pressed at 30 s) ends it, 2 port lost
    QTest::addColumn<int>("boundMs");
    QTest::newRow("healthy") << Fault::None << 0 << 0 << 600;
    QTest::newRow("silence") << Fault::Silence << 0 << 1 << 30010;
    QTest::newRow("question") << Fault::Question << 0 << 1 << 30010;
    QTest::newRow("slow") << Fault::Slow << 500 << 0 << 26000;
    QTest::newRow("garbage") << Fault::Garbage << 6 << 1 << 30010;
    QTest::newRow("split") << Fault::Split << 50 << 0 << 3500;
    QTest::newRow("flood") << Fault::Flood << 100 << 1 << 30010;
    QTest::newRow("flood stream") << Fault::Flood << -1 << 1 << 30010;
    QTest::newRow("hang-up after R01") << Fault::HangUp << 3 << 2 << 100;
}

void TestTransfer::readAgainstFaults()
{
    QFETCH(Fault, fault);
    QFETCH(int, param);
    QFETCH(int, end);
    QFETCH(int, boundMs);
    AppFixture f;
    startConnected(f);
    CtrlModel &m = f.sim.model();
    for (int i = 0; i < 0x30; ++i)
        m.setCell(i, quint8(0x80 + i));
    m.setCell(cellInputCode, 0x01);
    f.sim.setFault(fault, param);
    g_intSaved = 1;
    const QStringList image = settingsBlock(UserData);
    if (end == 2)
        f.dlg.answers << vbCancel << vbCancel; // the send's box, then the transfer's
    const qint64 t0 = f.clock.nowUs();
    const quint64 cancel = f.clock.scheduleIn(30000000, [] {
        if (g_frmCommMsg1)
            g_frmCommMsg1->Command1->click();
    });
    g_frmMain1->Command1_Click(0);
    f.clock.cancel(cancel);
    QVERIFY2(f.msSince(t0) <= boundMs, QByteArray::number(f.msSince(t0)));
    QCOMPARE(f.msSince(t0) >= 30000, end == 1);
    QCOMPARE(settingsBlock(UserData), end == 0 ? modelBlock(m) : image);
    QCOMPARE(g_intSaved, qint16(end == 0 ? 0 : 1));
    QVERIFY(g_strInPut.size() <= kReceiveLimit);
    QCOMPARE(f.dlg.boxes.size(), end == 2 ? 2 : 0);
    if (end == 2) {
        // The port went away under "R02": the send says so, then the transfer's error box,
        // whose Cancel ends the connection.
        QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("g_funcCommOutPut"), kSendLost, vbRetryCancel, vbCritical));
        const auto &b = f.dlg.boxes[1];
        QCOMPARE(b.caption, QStringLiteral("入力モニターの開始"));
        QVERIFY2(b.text.endsWith(QStringLiteral(" : ｴﾗｰNo.1011\r\n[再試行]=再試行 / [ｷｬﾝｾﾙ]=通信をやめる")), b.text.toUtf8());
        QCOMPARE(b.buttons, int(vbRetryCancel));
        QCOMPARE(b.icon, int(vbExclamation));
    }
    // A transfer that ends normally or by "中止" leaves the state as it was.
    QCOMPARE(g_intConnectStatus, qint16(end == 2 ? 0 : 1));
    QCOMPARE(f.sim.portOpen(), end != 2);
    checkSane();
}

void TestTransfer::sendLimitGivesUp_data()
{
    // A program without a user (qelvo-cli) sets a send limit: a command answered that often
    // with "?" or with what is no answer is given up, and why is kept. Without a limit (the
    // tool) the same controller keeps the transfer going until "中止" (pressed at 5 s).
    QTest::addColumn<bool>("write");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArrayList>("replies"); // the last one repeats
    QTest::addColumn<int>("kind");               // TransferRefusal::Kind; -1: done, -2: cancelled
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("boundMs");
    using R = TransferRefusal;
    QTest::newRow("L refused") << false << 3 << QByteArray("L") << QByteArrayList{"?\r"} << int(R::Refused) << QByteArray("L") << 2100;
    QTest::newRow("L half a line") << false << 3 << QByteArray("L") << QByteArrayList{"L00"} << int(R::NotUnderstood) << QByteArray("L") << 3100;
    QTest::newRow("R05 refused") << false << 3 << QByteArray("R05") << QByteArrayList{"?\r"} << int(R::Refused) << QByteArray("R05") << 300;
    QTest::newRow("R05 a line that is none") << false << 3 << QByteArray("R05") << QByteArrayList{"#$%\r"} << int(R::NotUnderstood) << QByteArray("R05") << 300;
    QTest::newRow("R05 no data") << false << 5 << QByteArray("R05") << QByteArrayList{"RZZ\r"} << int(R::NotUnderstood) << QByteArray("R05") << 300;
    QTest::newRow("R05 one refusal") << false << 3 << QByteArray("R05") << QByteArrayList{"?\r", "?\r", "R05\r"} << -1 << QByteArray() << 600;
    QTest::newRow("W05 refused") << true << 3 << QByteArray("W0500") << QByteArrayList{"?\r"} << int(R::Refused) << QByteArray("W0500") << 300;
    QTest::newRow("E a line that is none") << true << 3 << QByteArray("E") << QByteArrayList{"X\r"} << int(R::NotUnderstood) << QByteArray("E") << 2600;
    QTest::newRow("R05 refused, no limit") << false << 0 << QByteArray("R05") << QByteArrayList{"?\r"} << -2 << QByteArray() << 5010;
    QTest::newRow("R05 a line that is none, no limit") << false << 0 << QByteArray("R05") << QByteArrayList{"#$%\r"} << -2 << QByteArray() << 5010;
}

void TestTransfer::sendLimitGivesUp()
{
    QFETCH(bool, write);
    QFETCH(int, limit);
    QFETCH(QByteArray, frame);
    QFETCH(QByteArrayList, replies);
    QFETCH(int, kind);
    QFETCH(QByteArray, command);
    QFETCH(int, boundMs);
    AppFixture f(false);
    ScriptedController c;
    startScripted(f, c);
    c.queued[frame] = replies;
    UserData[5].setData(QStringLiteral("00"));
    g_intTransferSendLimit = limit;
    const qint64 t0 = f.clock.nowUs();
    bool cancelled = false;
    const quint64 cancel = f.clock.scheduleIn(5000000, [&] {
        cancelled = true;
        g_subTransferCancel();
    });
    const bool done = write ? g_funcControllerWriteBlock() : g_funcControllerReadBlock();
    f.clock.cancel(cancel);
    g_intTransferSendLimit = 0;
    QVERIFY2(f.msSince(t0) <= boundMs, QByteArray::number(f.msSince(t0)));
    QCOMPARE(done, kind == -1);
    QCOMPARE(cancelled, kind == -2);
    const TransferRefusal &r = g_funcTransferRefusal();
    QCOMPARE(int(r.kind), kind >= 0 ? kind : int(TransferRefusal::None));
    if (kind >= 0) {
        QCOMPARE(r.command.toLatin1(), command);
        QCOMPARE(r.sends, limit);
        QCOMPARE(c.frames.count(frame), limit);
        QVERIFY(replies.last().startsWith(r.reply.toLatin1().left(replies.last().size())));
    }
    if (kind == -2 && replies.last() == "#$%\r")
        QCOMPARE(c.frames.count(frame), 1); // the tool waits on such a line, as written
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(g_intConnectStatus, qint16(1));
    checkSane();
}

void TestTransfer::readRetriesAfterPortLost()
{
    // The device comes back while the error box is up: Retry reads the block from the start.
    AppFixture f;
    startConnected(f);
    CtrlModel &m = f.sim.model();
    m.setCell(0x10, 0x3C);
    m.setFault(Fault::HangUp, 3);
    g_intSaved = 1;
    f.dlg.onBox = [&f](const ScriptedDialogs::Box &) { f.sim.plugIn(); };
    f.dlg.answers << vbCancel << vbRetry; // the send's box, then the transfer's
    m.clearLog();
    g_frmMain1->Command1_Click(0);
    f.dlg.onBox = nullptr;
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 2);
    QCOMPARE(f.dlg.boxes[0].caption, QStringLiteral("g_funcCommOutPut"));
    QCOMPARE(f.dlg.boxes[1].caption, QStringLiteral("入力モニターの開始"));
    const QByteArrayList sent = m.received();
    QCOMPARE(sent.mid(0, 5), QByteArrayList({"L", "R00", "R01", "R02", "L"}));
    QCOMPARE(sent.size(), 4 + 49);
    QCOMPARE(settingsBlock(UserData), modelBlock(m));
    QCOMPARE(g_intConnectStatus, qint16(1));
    checkSane();
}

void TestTransfer::retryOnAGoneDeviceEndsDisconnected()
{
    // The device stays away: Retry cannot open the port, and the link is shown as down.
    AppFixture f;
    startConnected(f);
    f.sim.model().setFault(Fault::HangUp, 3);
    g_intSaved = 1;
    f.dlg.answers << vbCancel << vbRetry << vbOK;
    g_frmMain1->Command1_Click(0);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 3);
    QCOMPARE(f.dlg.boxes[2].caption, QStringLiteral("コントローラからデータ読込"));
    QCOMPARE(f.dlg.boxes[2].text, QStringLiteral("ﾎﾟｰﾄを開くことができませんでした。"));
    QCOMPARE(g_intConnectStatus, qint16(0));
    QCOMPARE(g_frmMdi1->statusPanel(2), QStringLiteral("状態 : 切断"));
    checkSane();
}

// ---------------------------------------------------------------- position output

void TestTransfer::positionFrame()
{
    AppFixture f;
    startConnected(f);
    g_frmMain1->Command2_Click();
    CtrlModel &m = f.sim.model();
    m.clearLog();
    g_frmMain1->Command3->click();
    const int picks[4] = {3, 0, 7, 1};
    for (int i = 0; i < 4; ++i)
        g_frmMain1->Combo1[i]->setCurrentIndex(picks[i]);
    bool lockedDuring = false;
    f.clock.scheduleIn(3000, [&] { lockedDuring = g_intCommBusy == 1 && !g_frmMain1->Command1[0]->isEnabled(); });
    g_frmMain1->Command3_Click();
    QVERIFY(lockedDuring);
    QCOMPARE(m.received(), QByteArrayList({"P0000", "P3071"}));
    QCOMPARE(m.position(), QByteArray("3071"));
    QCOMPARE(f.dlg.boxes.size(), 0);
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY(g_frmMain1->Command1[0]->isEnabled());
    checkSane();
}

void TestTransfer::positionResult_data()
{
    QTest::addColumn<char>("result");
    QTest::addColumn<QList<int>>("answers");
    QTest::addColumn<bool>("fixedOnRetry"); // the controller gives "0" after the first message
    QTest::addColumn<int>("sends");
    QTest::newRow("P0 silent") << '0' << QList<int>{} << false << 1;
    QTest::newRow("P1 Cancel") << '1' << QList<int>{vbCancel} << false << 1;
    QTest::newRow("P1 Retry, P1 Cancel") << '1' << QList<int>{vbRetry, vbCancel} << false << 2;
    QTest::newRow("P1 Retry, P0") << '1' << QList<int>{vbRetry} << true << 2;
}

void TestTransfer::positionResult()
{
    QFETCH(char, result);
    QFETCH(QList<int>, answers);
    QFETCH(bool, fixedOnRetry);
    QFETCH(int, sends);
    AppFixture f;
    startConnected(f);
    CtrlModel &m = f.sim.model();
    m.positionResult = result;
    m.clearLog();
    f.dlg.answers = answers;
    if (fixedOnRetry)
        f.dlg.onBox = [&m](const ScriptedDialogs::Box &) { m.positionResult = '0'; };
    g_frmMain1->Command3_Click();
    f.dlg.onBox = nullptr;
    QCOMPARE(m.frameCount(), sends);
    QCOMPARE(f.dlg.boxes.size(), answers.size());
    for (const auto &b : f.dlg.boxes) {
        QCOMPARE(boxOf(b), box(kPosCaption, QStringLiteral("ﾎﾟｼﾞｼｮﾝ指定出力（POS）は異常終了しました。\r\n再試行？　/　ｷｬﾝｾﾙ？"), vbRetryCancel, 0));
    }
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    checkSane();
}

void TestTransfer::positionWithoutAnswer_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::newRow("silent") << Fault::Silence;
    QTest::newRow("lines without P or ?") << Fault::Garbage;
}

void TestTransfer::positionWithoutAnswer()
{
    QFETCH(Fault, fault);
    AppFixture f;
    startConnected(f);
    CtrlModel &m = f.sim.model();
    m.setFault(fault);
    m.clearLog();
    f.dlg.answers << vbOK;
    const qint64 t0 = f.clock.nowUs();
    g_frmMain1->Command3_Click();
    // Four sends a second apart, then the message at the fourth second's end.
    const auto &frames = m.frames();
    QCOMPARE(frames.size(), 4);
    for (int i = 1; i < 4; ++i) {
        const qint64 gap = frames[i].atUs - frames[i - 1].atUs;
        QVERIFY2(gap >= 1000000 && gap <= 1010000, QByteArray::number(gap));
    }
    QVERIFY2(f.msSince(t0) >= 4000 && f.msSince(t0) <= 4040, QByteArray::number(f.msSince(t0)));
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(kPosCaption, QStringLiteral("ｺﾏﾝﾄﾞ送信ﾘﾄﾗｲ 3回\r\n応答がありません"), vbOKOnly, vbExclamation));
    QCOMPARE(g_intConnectStatus, qint16(1)); // the state is not changed by the exchange
    checkSane();
}

void TestTransfer::positionRefusedForEver()
{
    // A controller that answers "?" to every "P" gets it four times, as a silent one does,
    // and the user hears so; the tool is free again at once.
    AppFixture f;
    startConnected(f);
    CtrlModel &m = f.sim.model();
    m.setFault(Fault::Question);
    m.clearLog();
    f.dlg.answers << vbOK;
    const qint64 t0 = f.clock.nowUs();
    g_frmMain1->Command3_Click();
    QVERIFY2(f.msSince(t0) <= 100, QByteArray::number(f.msSince(t0)));
    QCOMPARE(m.received(), QByteArrayList({"P0000", "P0000", "P0000", "P0000"}));
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(kPosCaption, QStringLiteral("ｺﾏﾝﾄﾞ送信ﾘﾄﾗｲ 3回\r\n応答がありません"), vbOKOnly, vbExclamation));
    QCOMPARE(g_intConnectStatus, qint16(1));
    checkSane();
}

void TestTransfer::positionQuestionThenP0()
{
    AppFixture f(false);
    ScriptedController c;
    startScripted(f, c);
    c.queued["P0000"] = {"?\r", "P0\r"};
    g_frmMain1->Command3_Click();
    QCOMPARE(c.frames, QByteArrayList({"P0000", "P0000"}));
    QVERIFY(c.timesUs[1] - c.timesUs[0] < 100000); // sent again at once
    QCOMPARE(f.dlg.boxes.size(), 0);
    checkSane();
}

void TestTransfer::positionWithThePortGone()
{
    // The device went away under a connection that still shows "接続中": Cancel in the
    // send's box abandons the command instead of offering the same box for ever, and the
    // link is shown as down. The box tells that the device went away.
    AppFixture f;
    startConnected(f);
    f.sim.hangUp();
    f.dlg.answers << vbRetry << vbCancel;
    g_frmMain1->Command3_Click();
    QCOMPARE(f.dlg.boxes.size(), 2);
    for (const auto &b : f.dlg.boxes)
        QCOMPARE(boxText(b), QStringLiteral("g_funcCommOutPut / ") + kSendLost);
    QCOMPARE(f.sim.model().frameCount(), 1); // only the connect's "L"
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(g_intConnectStatus, qint16(0));
    checkSane();
}

void TestTransfer::positionUnpluggedDuringTheOutput()
{
    // The line drops as "P" arrives: the send says so, and the link is shown as down
    // (red label, "状態 : 切断"), not "接続中" over a closed port.
    AppFixture f;
    startConnected(f);
    f.sim.model().setFault(Fault::HangUp, 0);
    f.dlg.answers << vbCancel;
    g_frmMain1->Command3_Click();
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("g_funcCommOutPut"), kSendLost, vbRetryCancel, vbCritical));
    QVERIFY(!f.sim.portOpen());
    QCOMPARE(g_intConnectStatus, qint16(0));
    QCOMPARE(g_frmMdi1->statusPanel(2), stateText(0));
    QCOMPARE(linkColour(), kRed);
    checkSane();
}

QTEST_MAIN(TestTransfer)
#include "tst_transfer.moc"
