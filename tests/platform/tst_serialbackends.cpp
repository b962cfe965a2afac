// The two serial backends: the simulated controller in process (on the virtual and on the
// real clock) and QSerialPort against qelvo-ctrlsim on a pseudo-terminal; the COM names.
#include "support/Ctrlsim.h"
#include "support/RealWaits.h"

#include "platform/ComPorts.h"
#include "doubles/SimulatedPort.h"
#include "doubles/VirtualClock.h"
#include "platform/QtSerialPort.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {
constexpr qint64 lineUs(int bytes) { return CtrlModel::lineTimeUs(bytes); }

// One request and its reply line on the real clock; empty when none came within ms.
QByteArray exchange(SerialPortService &port, const QByteArray &frame, int ms = 1000)
{
    return exchangeLine(port, frame, ms);
}

struct Events {
    QList<int> codes;
    void attach(SerialPortService &p)
    {
        p.onCommEvent = [this](int code, const QString &) { codes.append(code); };
    }
};
} // namespace

class tst_serialbackends : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();

    void simulatedReplyArrivesByteByByte();
    void simulatedTransmitDrains();
    void simulatedOpenRules();
    void simulatedHangUp();
    void simulatedFloodFillsTheBuffer();
    void simulatedOnRealClock();

    void comPortNames();
    void ctrlsimExchange();
    void ctrlsimHangUp();
    void ctrlsimHangUpAfter();
    void twoNamesOfOneDevice_data();
    void twoNamesOfOneDevice();

private:
    bool startSim(QProcess &sim, const QStringList &args);
    QTemporaryDir m_home;
};

void tst_serialbackends::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
}

void tst_serialbackends::cleanup() { installClock(nullptr); }

// ------------------------------------------------------------------------- in process

void tst_serialbackends::simulatedReplyArrivesByteByByte()
{
    VirtualClock vc;
    installClock(&vc);
    SimulatedPort port;
    QVERIFY(!port.setPortOpen(true).failed());
    QVERIFY(!port.output("L\r").failed());

    // Each wait wakes on the next byte: the counts go up one at a time.
    QList<int> counts{port.inBufferCount()};
    while (port.inBufferCount() < 6 && vc.nowUs() < 100000) {
        vc.waitForEvent(100);
        if (counts.last() != port.inBufferCount())
            counts.append(port.inBufferCount());
    }
    QCOMPARE(counts, (QList<int>{0, 1, 2, 3, 4, 5, 6}));
    // Two bytes out, six back, nothing in between.
    QCOMPARE(vc.nowUs(), lineUs(2) + lineUs(6));
    QCOMPARE(port.input(), QByteArray("L0001\r"));
    QCOMPARE(port.inBufferCount(), 0);
    QCOMPARE(port.model().received(), QByteArrayList{"L"});
    QCOMPARE(port.model().frames().first().atUs, lineUs(2));

    // The controller's answer delay, and a look half-way through the answer.
    port.model().setAnswerDelayUs(10000);
    port.output("R2A\r");
    vc.advance(4 + 10 + 2);
    QCOMPARE(port.inBufferCount(), 1);
    vc.advance(10);
    QCOMPARE(port.input(), QByteArray("RFF\r"));
}

void tst_serialbackends::simulatedTransmitDrains()
{
    VirtualClock vc;
    installClock(&vc);
    SimulatedPort port;
    port.setPortOpen(true);
    port.output("W0512\r");
    QCOMPARE(port.outBufferCount(), 6);
    vc.advance(3); // 3000 us: two bytes gone
    QCOMPARE(port.outBufferCount(), 4);
    port.output("E\r"); // queued behind
    QCOMPARE(port.outBufferCount(), 6);
    vc.advance(7);
    QCOMPARE(port.outBufferCount(), 0);
    QCOMPARE(port.model().received(), (QByteArrayList{"W0512", "E"}));
    QCOMPARE(port.model().cell(5), quint8(0x12));

    // Discarded bytes never reach the controller; what had gone out stays gone out.
    port.output("R05\r");
    vc.advance(2);
    port.clearOutBuffer();
    QCOMPARE(port.outBufferCount(), 0);
    vc.advance(50);
    port.output("\r");
    vc.advance(50);
    QCOMPARE(port.model().received().last(), QByteArray("R"));
}

void tst_serialbackends::simulatedOpenRules()
{
    VirtualClock vc;
    installClock(&vc);
    SimulatedPort port;
    port.usablePorts = {3};
    QCOMPARE(port.output("L\r").number, int(comPortNotOpen));
    port.setCommPort(1);
    QCOMPARE(port.setPortOpen(true).number, int(comPortOpenFailed));
    port.setCommPort(0);
    QCOMPARE(port.setPortOpen(true).number, int(comPortInvalid));
    port.setCommPort(3);
    QVERIFY(!port.setPortOpen(true).failed());
    QCOMPARE(port.setPortOpen(true).number, int(comPortAlreadyOpen));
    QCOMPARE(port.output(QByteArray(513, 'x')).number, int(comOutBufferFull));
    // Closing drops what is on the line; a new open starts clean.
    port.output("L\r");
    vc.advance(5);
    QVERIFY(!port.setPortOpen(false).failed());
    QVERIFY(!port.setPortOpen(false).failed());
    vc.advance(20);
    port.setPortOpen(true);
    QCOMPARE(port.inBufferCount(), 0);
    QCOMPARE(port.opens, 2);
    QCOMPARE(port.closes, 1);
}

void tst_serialbackends::simulatedHangUp()
{
    VirtualClock vc;
    installClock(&vc);
    SimulatedPort port;
    QList<int> codes;
    bool openInHandler = true;
    port.onCommEvent = [&](int code, const QString &) {
        codes.append(code);
        openInHandler = port.portOpen();
    };
    port.setFault(CtrlModel::Fault::HangUp, 1);
    port.setPortOpen(true);
    port.output("L\r");
    vc.advance(20);
    QCOMPARE(port.input(), QByteArray("L0001\r"));
    QVERIFY(codes.isEmpty());

    // The next line drops the device while the tool waits for the answer.
    port.output("R00\r");
    vc.advance(20);
    QCOMPARE(codes, QList<int>{comHangUp});
    QVERIFY(!openInHandler);
    QVERIFY(!port.portOpen());
    QCOMPARE(port.output("L\r").number, int(comPortNotOpen));
    QCOMPARE(port.setPortOpen(true).number, int(comPortOpenFailed));

    port.plugIn();
    QVERIFY(!port.setPortOpen(true).failed());
    port.output("L\r");
    vc.advance(20);
    QCOMPARE(port.input(), QByteArray("L0001\r"));
    // Pulled by the test directly: reported once.
    port.hangUp();
    port.hangUp();
    QCOMPARE(codes.size(), 2);
}

void tst_serialbackends::simulatedFloodFillsTheBuffer()
{
    VirtualClock vc;
    installClock(&vc);
    SimulatedPort port;
    port.setFault(CtrlModel::Fault::Flood, -1);
    port.setPortOpen(true);
    vc.advance(100); // 96 bytes at 960 a second
    QCOMPARE(port.inBufferCount(), 96);
    QVERIFY(!port.input().contains('\r'));
    vc.advance(2000);
    QCOMPARE(port.inBufferCount(), ComInBufferSize);
    QCOMPARE(port.overruns(), 1920 - ComInBufferSize);
    // The split fault shows the gap between the two halves.
    port.setFault(CtrlModel::Fault::Split, 30);
    port.setPortOpen(false);
    port.setPortOpen(true);
    port.output("L\r");
    vc.advance(20);
    QCOMPARE(port.input(), QByteArray("L00"));
    vc.advance(30);
    QCOMPARE(port.input(), QByteArray("01\r"));
}

void tst_serialbackends::simulatedOnRealClock()
{
    SimulatedPort port;
    QVERIFY(!port.setPortOpen(true).failed());
    QElapsedTimer t;
    t.start();
    QCOMPARE(exchange(port, "L"), QByteArray("L0001\r"));
    // 8.3 ms of line time; a late timer would show here.
    QVERIFY2(t.elapsed() >= 8 && t.elapsed() < 100, qPrintable(QString::number(t.elapsed())));
}

// ------------------------------------------------------------------------- COM names

void tst_serialbackends::comPortNames()
{
    QDir(ComPortsFolder()).removeRecursively();
    const QList<QPair<int, QString>> table = {
        {1, "/dev/ttyS0"},    {32, "/dev/ttyS31"},   {33, "/dev/ttyUSB0"}, {64, "/dev/ttyUSB31"},
        {65, "/dev/ttyACM0"}, {96, "/dev/ttyACM31"}, {97, ""},             {0, ""},
        {100, ""},
    };
    for (const auto &[n, dev] : table)
        QCOMPARE(ComPortDevice(n), dev);

    // A link wins, even one whose device is gone; a gone device does not open.
    QVERIFY(QDir().mkpath(ComPortsFolder()));
    QCOMPARE(ComPortLink(5), m_home.path() + "/Orvanelle/Qelvo/ports/COM5");
    QVERIFY(QFile::link("/nonexistent/tty", ComPortLink(5)));
    QCOMPARE(ComPortDevice(5), ComPortLink(5));
    QVERIFY(ComPortCandidates().contains(5));
    QtSerialPort port;
    port.setCommPort(5);
    const CommError e = port.setPortOpen(true);
    QCOMPARE(e.number, int(comPortOpenFailed));
    QVERIFY2(e.description.contains("COM5"), qPrintable(e.description));
    QVERIFY(!port.portOpen());
    QVERIFY(!ComPortPermissionDenied(e));
    QVERIFY(!ComPortPermissionDenied(5));
    port.setCommPort(120);
    QCOMPARE(port.setPortOpen(true).number, int(comPortInvalid));

    QVERIFY(ComPortPermissionHint(33).contains("dialout"));
    QVERIFY(ComPortPermissionHint(33).contains("/dev/ttyUSB0"));
    QVERIFY(ComPortPermissionHint(33, false).startsWith("No permission to open COM33"));
    QFile::remove(ComPortLink(5));
}

// ------------------------------------------------------------------------- qelvo-ctrlsim

bool tst_serialbackends::startSim(QProcess &sim, const QStringList &args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", m_home.path());
    sim.setProcessEnvironment(env);
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    return startCtrlsim(sim, args + QStringList{"--quiet"});
}

void tst_serialbackends::ctrlsimExchange()
{
    QProcess sim;
    QVERIFY(startSim(sim, {"--com", "7", "--level", "300"}));
    QVERIFY(QFileInfo(ComPortLink(7)).isSymLink());
    QtSerialPort port;
    port.setCommPort(7);
    const CommError e = port.setPortOpen(true);
    QVERIFY2(!e.failed(), qPrintable(e.description));
    QCOMPARE(port.deviceName(), ComPortLink(7));

    QCOMPARE(exchange(port, "L"), QByteArray("L0001\r"));
    QCOMPARE(exchange(port, "W1C7F"), QByteArray("W\r"));
    QCOMPARE(exchange(port, "N"), QByteArray("N012C\r"));
    QCOMPARE(port.outBufferCount(), 0);

    // A whole settings read: paced at 9600 baud both ways, and not much slower.
    QElapsedTimer t;
    t.start();
    QByteArray data;
    for (int a = 0; a < 48; ++a)
        data += exchange(port, QByteArray("R") + QByteArray::number(a, 16).toUpper().rightJustified(2, '0'));
    const qint64 ms = t.elapsed();
    const qint64 ideal = 48 * lineUs(4 + 4) / 1000;
    qInfo("48 reads: %lld ms for %lld ms of line", ms, ideal);
    QVERIFY2(ms >= ideal - 5 && ms < ideal * 2, qPrintable(QString("%1 ms for %2 ms of line").arg(ms).arg(ideal)));
    QCOMPARE(data.count('\r'), 48);
    QVERIFY(data.contains("R7F\rR00\rR00\rR00\r")); // cell 1C and the three after it
    QVERIFY(data.contains("R00\rRFF\r"));           // cell 2A

    sim.terminate();
    QVERIFY(sim.waitForFinished(3000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(ComPortLink(7)).isSymLink()); // the simulator takes its link away
}

void tst_serialbackends::ctrlsimHangUp()
{
    QProcess sim;
    QVERIFY(startSim(sim, {"--com", "8"}));
    QtSerialPort port;
    Events ev;
    ev.attach(port);
    port.setCommPort(8);
    QVERIFY(!port.setPortOpen(true).failed());
    QCOMPARE(exchange(port, "L"), QByteArray("L0001\r"));

    sim.kill(); // the device vanishes without a word
    QVERIFY(sim.waitForFinished(3000));
    QVERIFY(waitFor([&] { return !ev.codes.isEmpty(); }, 2000));
    QCOMPARE(ev.codes, QList<int>{comHangUp});
    QVERIFY(!port.portOpen());
    // No storm of further reports, and the port stays usable as an object.
    waitFor([] { return false; }, 100);
    QCOMPARE(ev.codes.size(), 1);
    QCOMPARE(port.output("L\r").number, int(comPortNotOpen));
    QCOMPARE(port.input(), QByteArray());
}

void tst_serialbackends::ctrlsimHangUpAfter()
{
    QProcess sim;
    QVERIFY(startSim(sim, {"--com", "9", "--hangup-after", "1"}));
    QtSerialPort port;
    Events ev;
    ev.attach(port);
    port.setCommPort(9);
    QVERIFY(!port.setPortOpen(true).failed());
    QCOMPARE(exchange(port, "L"), QByteArray("L0001\r"));
    // The second line goes unanswered: the line drops in the middle of the exchange.
    QCOMPARE(exchange(port, "R00", 2000), QByteArray());
    QCOMPARE(ev.codes, QList<int>{comHangUp});
    QVERIFY(!port.portOpen());
    QVERIFY(sim.state() == QProcess::NotRunning || sim.waitForFinished(3000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
}

void tst_serialbackends::twoNamesOfOneDevice_data()
{
    QTest::addColumn<bool>("viaLink"); // COM18 is a link to COM17's link, or to the terminal itself
    QTest::newRow("two links to the terminal") << false;
    QTest::newRow("a link to the link") << true;
}

void tst_serialbackends::twoNamesOfOneDevice()
{
    // Whoever holds the device under one name, it is in use under the other (root too).
    QFETCH(bool, viaLink);
    QProcess sim;
    QVERIFY(startSim(sim, {"--com", "17"}));
    QFile::remove(ComPortLink(18));
    QVERIFY(QFile::link(viaLink ? ComPortLink(17) : QFileInfo(ComPortLink(17)).symLinkTarget(), ComPortLink(18)));
    QtSerialPort com17, com18;
    com17.setCommPort(17);
    com18.setCommPort(18);
    for (QtSerialPort *holder : {&com17, &com18}) {
        QtSerialPort &other = holder == &com17 ? com18 : com17;
        const int otherNumber = holder == &com17 ? 18 : 17;
        QVERIFY(!holder->setPortOpen(true).failed());
        QCOMPARE(other.setPortOpen(true).number, int(comPortAlreadyOpen));
        QVERIFY(!other.portOpen());
        QCOMPARE(ComPortDescribe(otherNumber).state, ComPortState::InUse);
        QProcess cli; // another Qelvo program
        const QString exe = qEnvironmentVariable("QELVO_CLI");
        cli.start(exe.isEmpty() ? QCoreApplication::applicationDirPath() + "/../tools/cli/qelvo-cli" : exe, {"read", QStringLiteral("COM%1").arg(otherNumber)});
        QVERIFY(cli.waitForFinished(20000));
        QCOMPARE(cli.exitCode(), 1);
        QVERIFY(cli.readAllStandardError().contains("port in use by another program"));
        QCOMPARE(exchange(*holder, "L"), QByteArray("L0001\r")); // the holder's line is untouched
        holder->setPortOpen(false);
    }
}

QTEST_GUILESS_MAIN(tst_serialbackends)
#include "tst_serialbackends.moc"
