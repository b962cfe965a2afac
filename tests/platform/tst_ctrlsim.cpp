// The controller model: its answers, its memory, its output rule and its faults.
#include "ctrlmodel/CtrlModel.h"
#include "support/Ctrlsim.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using Fault = CtrlModel::Fault;
using Chunk = CtrlModel::Chunk;

char *toString(const Chunk &c)
{
    return QTest::toString(QByteArray::number(c.gapUs) + " us, " + c.bytes.toPercentEncoding());
}

namespace {
// The whole reply to one frame, as one string of bytes.
QByteArray ask(CtrlModel &m, const QByteArray &frame, qint64 t = 0)
{
    QByteArray r;
    for (const Chunk &c : m.receive(frame + '\r', t))
        r += c.bytes;
    return r;
}

void setWindow(CtrlModel &m, int output, int lo, int hi)
{
    const int a = 4 * (output - 1);
    m.setCell(a, quint8(lo & 0xFF));
    m.setCell(a + 1, quint8(lo >> 8));
    m.setCell(a + 2, quint8(hi & 0xFF));
    m.setCell(a + 3, quint8(hi >> 8));
}
} // namespace

class tst_ctrlsim : public QObject {
    Q_OBJECT
private slots:
    void answersInOrder();
    void framing();
    void outputRule_data();
    void outputRule();
    void hysteresisHoldsTheEdges();
    void waveforms();
    void waveFile();
    void faults_data();
    void faults();
    void refusingFaultsDoNotStore();
    void hangUpAfterFrames();
    void stallSendsItsAnswersInOneBurst();
    void parseFault();
    void manyControllers();
    void badRange_data();
    void badRange();
};

void tst_ctrlsim::answersInOrder()
{
    // One session against a freshly powered controller; later lines see earlier writes.
    const QList<QPair<QByteArray, QByteArray>> script = {
        {"L", "L0001\r"},
        {"l", "L0001\r"},
        {"R2A", "RFF\r"},      // the marker cell is FF at power-up
        {"R00", "R00\r"},
        {"R2F", "R00\r"},
        {"W2Fa5", "W\r"},      // lower-case data accepted
        {"R2F", "RA5\r"},
        {"WFF01", "W\r"},
        {"RFF", "R01\r"},
        {"E", "E\r"},
        {"N", "N0200\r"},      // constant level 512
        {"Y", "Y00\r"},
        {"N3", "N30200\r"},    // a channel never set reads the input level
        {"D301FF", "D\r"},
        {"N3", "N301FF\r"},    // ... and then what was set on it
        {"N2", "N20200\r"},
        {"P0127", "P0\r"},
        // Not commands:
        {"", "?\r"}, {"X", "?\r"}, {"LL", "?\r"}, {"R0", "?\r"}, {"R0G", "?\r"},
        {"R123", "?\r"}, {"W05", "?\r"}, {"W05123", "?\r"}, {"EE", "?\r"}, {"NA", "?\r"},
        {"N12", "?\r"}, {"Y0", "?\r"}, {"D1", "?\r"}, {"DX01FF", "?\r"}, {"P0128", "?\r"},
        {"P012", "?\r"}, {"?", "?\r"},
    };
    CtrlModel m;
    for (const auto &[frame, expected] : script)
        QVERIFY2(ask(m, frame) == expected, frame.constData());
    QCOMPARE(m.position(), QByteArray("0127"));
    QCOMPARE(m.analogOut(3), 0x1FF);
    QCOMPARE(m.frameCount(), script.size());
    QCOMPARE(m.received().first(), QByteArray("L"));
    QCOMPARE(m.frames().at(2).reply, QByteArray("RFF\r"));

    m.positionResult = '3';
    QCOMPARE(ask(m, "P0000"), QByteArray("P3\r"));
}

void tst_ctrlsim::framing()
{
    CtrlModel m;
    m.setAnswerDelayUs(1500);
    // A line may come in pieces; nothing is answered before its CR.
    QVERIFY(m.receive("R2", 10).isEmpty());
    QVERIFY(m.receive("A", 20).isEmpty());
    const QList<Chunk> one = m.receive("\r", 30);
    QCOMPARE(one, (QList<Chunk>{{1500, "RFF\r"}}));
    QCOMPARE(m.frames().last().atUs, 30);
    // Two lines at once give two answers in order; a stray LF is skipped.
    const QList<Chunk> two = m.receive("\nL\rE\r", 40);
    QCOMPARE(two, (QList<Chunk>{{1500, "L0001\r"}, {1500, "E\r"}}));
    QCOMPARE(m.received(), (QByteArrayList{"R2A", "L", "E"}));
    // Opening the port again forgets half a line.
    m.receive("W00", 50);
    m.resetLine();
    QCOMPARE(ask(m, "L"), QByteArray("L0001\r"));
    m.clearLog();
    QCOMPARE(m.frameCount(), 0);
}

void tst_ctrlsim::outputRule_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("relayMode");
    QTest::addColumn<int>("inputCode");
    QTest::addColumn<int>("expected");
    // Windows: output 1 [100, 200], output 2 [150, 768], output 8 [1023, 1023];
    // outputs 3-7 stay [0, 0].
    QTest::newRow("level 0: only the empty windows at 0") << 0 << 0x00 << 0 << 0x7C;
    QTest::newRow("below output 1") << 99 << 0x00 << 0 << 0x00;
    QTest::newRow("lower edge of output 1") << 100 << 0x00 << 0 << 0x01;
    QTest::newRow("both windows") << 150 << 0x00 << 0 << 0x03;
    QTest::newRow("upper edge of output 1") << 200 << 0x00 << 0 << 0x03;
    QTest::newRow("above output 1") << 201 << 0x00 << 0 << 0x02;
    QTest::newRow("upper bound 768 from two cells") << 768 << 0x00 << 0 << 0x02;
    QTest::newRow("above output 2") << 769 << 0x00 << 0 << 0x00;
    QTest::newRow("full scale") << 1023 << 0x00 << 0 << 0x80;
    QTest::newRow("NC inverts outputs 1 and 8") << 150 << 0x81 << 0 << 0x82;
    QTest::newRow("all NC") << 99 << 0xFF << 0 << 0xFF;
    QTest::newRow("distance mode compares counts") << 150 << 0x00 << 3 << 0x03;
}

void tst_ctrlsim::outputRule()
{
    QFETCH(int, level);
    QFETCH(int, relayMode);
    QFETCH(int, inputCode);
    QFETCH(int, expected);
    CtrlModel m;
    setWindow(m, 1, 100, 200);
    setWindow(m, 2, 150, 768);
    setWindow(m, 8, 1023, 1023);
    m.setCell(CtrlModel::CellRelayMode, quint8(relayMode));
    m.setCell(CtrlModel::CellInputCode, quint8(inputCode));
    m.setLevel(level);
    QCOMPARE(int(m.outputs(0)), expected);
    // The "Y" answer carries the same byte.
    QCOMPARE(ask(m, "Y"), "Y" + QByteArray::number(expected, 16).toUpper().rightJustified(2, '0') + '\r');
}

void tst_ctrlsim::hysteresisHoldsTheEdges()
{
    CtrlModel m;
    setWindow(m, 1, 100, 200);
    m.setCell(0x28, 10); // hysteresis 10 counts
    m.setCell(CtrlModel::CellRelayMode, 0x01);
    // Contact state through a rise and a fall; the output byte is the inverse (NC).
    const QList<QPair<int, int>> path = {
        {95, 0},  // outside, off: the band does not switch on
        {100, 1}, // in the window
        {92, 1},  // 8 below: held
        {90, 1},  // 10 below: still held
        {89, 0},  // 11 below: off
        {95, 0},  // back into the band from outside: stays off
        {205, 0}, {200, 1}, {210, 1}, {211, 0},
    };
    for (const auto &[level, on] : path) {
        const quint8 out = m.evaluate(level);
        QVERIFY2(int(m.contacts() & 1) == on, qPrintable(QString::number(level)));
        QCOMPARE(int(out & 1), on ^ 1);
    }
    // A 16-bit hysteresis, low byte first.
    m.setCell(0x28, 0x00);
    m.setCell(0x29, 0x01);
    m.evaluate(150);
    QCOMPARE(int(m.evaluate(200 + 256) & 1), 0);
    QCOMPARE(int(m.evaluate(200 + 257) & 1), 1);
}

void tst_ctrlsim::waveforms()
{
    CtrlModel m;
    m.setPeriodUs(8000000);
    QVERIFY(m.parseWave("ramp"));
    QCOMPARE(m.level(0), 0);
    QCOMPARE(m.level(4000000), 512);
    QCOMPARE(m.level(7999999), 1023);
    QCOMPARE(m.level(8000000), 0); // starts again
    QVERIFY(m.parseWave("sine"));
    QCOMPARE(m.level(0), 0);
    QCOMPARE(m.level(4000000), 1023);
    QCOMPARE(m.level(2000000), 512);
    QVERIFY(m.parseWave("steps"));
    QCOMPARE(m.level(0), 0);
    QCOMPARE(m.level(4000000), 1023);
    QCOMPARE(m.level(5000000), 768);
    QCOMPARE(m.level(7999999), 256);
    QVERIFY(m.parseWave("Constant"));
    m.setLevel(2000);
    QCOMPARE(m.level(123456), 1023);
    QVERIFY(!m.parseWave("square"));
    // The "N" answer follows the waveform at the time the line came in.
    QVERIFY(m.parseWave("ramp"));
    QCOMPARE(ask(m, "N", 4000000), QByteArray("N0200\r"));
}

void tst_ctrlsim::waveFile()
{
    QTemporaryDir dir;
    const QString good = dir.filePath("good.txt");
    QFile f(good);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("# tank test\n10\n\n 20 \r\n1023\n0\n");
    f.close();
    CtrlModel m;
    m.setPeriodUs(4000000);
    QVERIFY(m.parseWave("file:" + good));
    QCOMPARE(m.wave(), CtrlModel::Wave::File);
    QCOMPARE(m.level(0), 10);
    QCOMPARE(m.level(1000000), 20);
    QCOMPARE(m.level(2999999), 1023);
    QCOMPARE(m.level(3000000), 0);
    QCOMPARE(m.level(4000000), 10);

    QFile bad(dir.filePath("bad.txt"));
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("10\n1024\n");
    bad.close();
    QString err;
    QVERIFY(!m.loadWaveFile(bad.fileName(), &err));
    QVERIFY2(err.contains("line 2"), qPrintable(err));
    QVERIFY(!m.loadWaveFile(dir.filePath("missing.txt"), &err));
    QCOMPARE(m.level(0), 10); // the old samples stay
}

void tst_ctrlsim::faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QList<Chunk>>("reply");
    QTest::newRow("none") << "none" << QList<Chunk>{{0, "L0001\r"}};
    QTest::newRow("silence") << "silence" << QList<Chunk>{};
    QTest::newRow("question") << "question" << QList<Chunk>{{0, "?\r"}};
    QTest::newRow("slow default") << "slow" << QList<Chunk>{{2000000, "L0001\r"}};
    QTest::newRow("slow 300") << "slow:300" << QList<Chunk>{{300000, "L0001\r"}};
    QTest::newRow("split") << "split:40" << QList<Chunk>{{0, "L00"}, {40000, "01\r"}};
    QTest::newRow("flood per line") << "flood:5" << QList<Chunk>{{0, "01234"}};
    QTest::newRow("flood stream") << "flood:stream" << QList<Chunk>{};
    QTest::newRow("stall default") << "stall" << QList<Chunk>{{25000000, "L0001\r"}};
}

void tst_ctrlsim::faults()
{
    QFETCH(QString, fault);
    QFETCH(QList<Chunk>, reply);
    CtrlModel m;
    Fault f;
    int p = 0;
    QVERIFY(CtrlModel::parseFault(fault, &f, &p));
    m.setFault(f, p);
    QCOMPARE(m.receive("L\r", 0), reply);
    QCOMPARE(m.received(), QByteArrayList{"L"}); // every line is logged, answered or not
    QCOMPARE(m.streaming(), fault == "flood:stream");
    QVERIFY(!m.hungUp());
}

void tst_ctrlsim::refusingFaultsDoNotStore()
{
    CtrlModel m;
    m.setFault(Fault::Garbage, 12);
    const QByteArray g = ask(m, "W0011");
    QCOMPARE(g.size(), 13);
    QVERIFY(g.endsWith('\r'));
    for (char c : g.chopped(1))
        QVERIFY2(!QByteArray("LRWENYPD?\r").contains(c), g.constData());
    QVERIFY(ask(m, "L") != g); // random, not a fixed text
    for (Fault f : {Fault::Silence, Fault::Question, Fault::Flood}) {
        m.setFault(f);
        ask(m, "W0011");
    }
    QCOMPARE(m.cell(0), quint8(0));
    // Slow and split still act on the command.
    m.setFault(Fault::Slow);
    ask(m, "W0011");
    QCOMPARE(m.cell(0), quint8(0x11));
}

void tst_ctrlsim::hangUpAfterFrames()
{
    CtrlModel m;
    m.setFault(Fault::HangUp, 2);
    QCOMPARE(ask(m, "L"), QByteArray("L0001\r"));
    QCOMPARE(ask(m, "R00"), QByteArray("R00\r"));
    QVERIFY(!m.hungUp());
    QCOMPARE(ask(m, "R01"), QByteArray());
    QVERIFY(m.hungUp());
    QCOMPARE(ask(m, "L"), QByteArray()); // a dead line hears nothing
    QCOMPARE(m.frameCount(), 3);
    m.setFault(Fault::None);
    QVERIFY(!m.hungUp());
    QCOMPARE(ask(m, "L"), QByteArray("L0001\r"));
}

void tst_ctrlsim::stallSendsItsAnswersInOneBurst()
{
    // The stall begins with the first frame after it is set: that frame's answer and the
    // answers of the frames that come meanwhile all fall due when it ends, so they leave
    // back to back; a frame after its end is answered at once.
    CtrlModel m;
    m.setLevel(0x1A3);
    m.setFault(Fault::Stall, 3000);
    QCOMPARE(m.receive("N\r", 1000000), (QList<Chunk>{{3000000, "N01A3\r"}}));
    QCOMPARE(m.receive("Y\r", 2500000), (QList<Chunk>{{1500000, "Y00\r"}}));
    QCOMPARE(m.receive("N\r", 4000001), (QList<Chunk>{{0, "N01A3\r"}}));
    // Set again, it stalls again from its next frame.
    m.setFault(Fault::Stall, 1000);
    QCOMPARE(m.receive("L\r", 9000000), (QList<Chunk>{{1000000, "L0001\r"}}));
    Fault f;
    int p = 0;
    QVERIFY(CtrlModel::parseFault("stall:700", &f, &p));
    QCOMPARE(f, Fault::Stall);
    QCOMPARE(p, 700);
}

void tst_ctrlsim::parseFault()
{
    Fault f;
    int p = -5;
    QVERIFY(CtrlModel::parseFault("HangUp", &f, &p));
    QCOMPARE(f, Fault::HangUp);
    QCOMPARE(p, 0);
    QVERIFY(CtrlModel::parseFault("garbage:20", &f, &p));
    QCOMPARE(p, 20);
    QString err;
    for (const char *bad : {"smoke", "slow:", "slow:-1", "slow:x", "split:stream", ""})
        QVERIFY2(!CtrlModel::parseFault(bad, &f, &p, &err), bad);
    QVERIFY(err.contains("unknown"));
}

void tst_ctrlsim::manyControllers()
{
    // Three free ports in a row.
    quint16 first = 0;
    for (int tries = 0; tries < 50 && !first; ++tries) {
        QTcpServer probe[3];
        probe[0].listen(QHostAddress::LocalHost, 0);
        const quint16 p = probe[0].serverPort();
        if (p < 65000 && probe[1].listen(QHostAddress::LocalHost, p + 1) && probe[2].listen(QHostAddress::LocalHost, p + 2))
            first = p;
    }
    QVERIFY(first);
    QProcess sim;
    const QString range = QStringLiteral("%1-%2").arg(first).arg(first + 2);
    QVERIFY(startCtrlsim(sim, {"--tcp", range, "--wave", "ramp", "--period", "600", "--quiet"}));
    QList<int> levels;
    for (int i = 0; i < 3; ++i) {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, quint16(first + i));
        QVERIFY(s.waitForConnected(3000));
        s.write("N\r");
        QByteArray reply;
        while (!reply.endsWith('\r') && s.waitForReadyRead(3000))
            reply += s.readAll();
        QVERIFY2(reply.size() == 6 && reply.startsWith('N'), reply.constData());
        levels << reply.mid(1, 4).toInt(nullptr, 16);
    }
    stopProcess(sim);
    // Each controller's ramp runs a third of the period ahead of the one before.
    for (int i = 1; i < 3; ++i) {
        const int step = (levels[i] - levels[i - 1] + 1024) % 1024;
        QVERIFY2(qAbs(step - 341) <= 2, qPrintable(QStringLiteral("%1 -> %2").arg(levels[i - 1]).arg(levels[i])));
    }
}

void tst_ctrlsim::badRange_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("line");
    const QString form = "expected FIRST-LAST with 1 <= FIRST <= LAST <= 65535, at most 1000 ports";
    QTest::newRow("backwards") << QStringList{"--tcp", "5000-4999"} << "--tcp 5000-4999: " + form;
    QTest::newRow("1001 ports") << QStringList{"--rfc2217", "1000-2000"} << "--rfc2217 1000-2000: " + form;
    QTest::newRow("port 0") << QStringList{"--tcp", "0-3"} << "--tcp 0-3: " + form;
    QTest::newRow("past 65535") << QStringList{"--tcp", "65535-65536"} << "--tcp 65535-65536: " + form;
    QTest::newRow("past COM99") << QStringList{"--tcp", "5000-5009", "--com", "95"} << "--com 95 with 10 controllers goes past COM99";
}

void tst_ctrlsim::badRange()
{
    QFETCH(QStringList, args);
    QFETCH(QString, line);
    QProcess sim;
    sim.start(qEnvironmentVariable("QELVO_CTRLSIM"), args);
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 2);
    QCOMPARE(sim.readAllStandardError(), ("qelvo-ctrlsim: " + line + "\n").toUtf8());
    QVERIFY(sim.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(tst_ctrlsim)
#include "tst_ctrlsim.moc"
