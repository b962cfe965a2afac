// The connection check and the connection state: the answers that connect, the ten-second
// limit, the once-a-second "L", a port that does not open, the status bar, the link
// label and the enabling by state, connect and disconnect, the check against every fault
// of the controller, and the port, sampling and input settings dialog.
#include "support/LinkHelpers.h"

#include "app/frmMdi1.h"
#include "app/frmSetting1.h"
#include "app/modMenu.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "link/LinkSession.h"
#include "link/frmCommMsg1.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "monitor/modMonitor1.h"
#include "settings/modUserData.h"

#include <QtTest>

namespace {
const QString kCheckCaption = QStringLiteral("通信ﾎﾟｰﾄのｵｰﾌﾟﾝと接続のﾁｪｯｸ");
const QString kNoAnswer = QStringLiteral("通信応答がありません。");

void runSettings(AppFixture &f, const std::function<void(frmSetting1 *)> &act)
{
    f.dlg.modalHandler = [act](QDialog *d) {
        auto *s = qobject_cast<frmSetting1 *>(d);
        QVERIFY(s);
        act(s);
    };
    g_subMenuCommand(31);
}
} // namespace

class TestConnection : public QObject {
    Q_OBJECT
private slots:
    void answersToL_data();
    void answersToL();
    void lRepeatsOnceASecond();
    void portThatDoesNotOpen_data();
    void portThatDoesNotOpen();
    void displayDuringTheCheck();
    void lockedLabelsTakeNoClicks();
    void connectWhileConnectedDoesNothing();
    void disconnect();
    void idleHangUpShowsDisconnected();
    void portPanel_data();
    void portPanel();
    void stateTable_data();
    void stateTable();
    void checkAgainstFaults_data();
    void checkAgainstFaults();

    void settingsWarnsAboutStoredPort();
    void settingsWithoutUsablePort();
    void settingsSampling_data();
    void settingsSampling();
    void settingsTenMetres();
    void settingsCancelChangesNothing();
    void settingsSamplingKeyFilter();
};

void TestConnection::answersToL_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("connected");
    QTest::newRow("L0001") << QByteArray("L0001\r") << true;
    QTest::newRow("l0001") << QByteArray("l0001\r") << true;
    QTest::newRow("L0001 CR LF") << QByteArray("L0001\r\n") << false;
    QTest::newRow("L0002") << QByteArray("L0002\r") << false;
    QTest::newRow("question") << QByteArray("?\r") << false;
}

void TestConnection::answersToL()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, connected);
    AppFixture f(false);
    f.startSeeded();
    answerWith(f.rec, {{"L", reply}});
    if (!connected)
        f.dlg.answers << vbOK;
    const qint64 t0 = f.clock.nowUs();
    QElapsedTimer real;
    real.start();
    g_subMenuCommand(21);
    const qint64 realMs = real.elapsed();
    QCOMPARE(g_intConnectStatus, qint16(connected ? 1 : 0));
    if (connected) {
        QCOMPARE(f.rec.written, QByteArray("L\r"));
        QCOMPARE(f.dlg.boxes.size(), 0);
        QVERIFY(f.msSince(t0) < 10);
    } else {
        // "L" once a second until the ten seconds are over, all in a few milliseconds.
        QCOMPARE(f.rec.written, QByteArray("L\r").repeated(10));
        QVERIFY2(f.msSince(t0) >= 10000 && f.msSince(t0) <= 10010, QByteArray::number(f.msSince(t0)));
        QVERIFY2(realMs < 2000, QByteArray::number(realMs));
        QCOMPARE(f.dlg.boxes.size(), 1);
        QCOMPARE(boxOf(f.dlg.boxes[0]), box(kCheckCaption, kNoAnswer, vbOKOnly, vbExclamation));
    }
    // The port stays open either way.
    QVERIFY(f.rec.portOpen());
    checkSane();
}

void TestConnection::lRepeatsOnceASecond()
{
    AppFixture f;
    f.startSeeded();
    f.sim.setFault(Fault::Silence);
    f.dlg.answers << vbOK;
    const qint64 t0 = f.clock.nowUs();
    g_frmMain1->Label1_Click();
    const auto &frames = f.sim.model().frames();
    QCOMPARE(frames.size(), 10);
    // The first "L" at once (two bytes on the line), then one a second after each send.
    QVERIFY(frames[0].atUs - t0 < 3000);
    for (int i = 1; i < frames.size(); ++i) {
        QCOMPARE(frames[i].text, QByteArray("L"));
        const qint64 gap = frames[i].atUs - frames[i - 1].atUs;
        QVERIFY2(gap >= 1000000 && gap <= 1005000, QByteArray::number(gap));
    }
    QVERIFY(f.msSince(t0) >= 10000 && f.msSince(t0) <= 10010);
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxText(f.dlg.boxes[0]), kCheckCaption + QStringLiteral(" / ") + kNoAnswer);
    QCOMPARE(g_intConnectStatus, qint16(0));
    checkSane();
}

void TestConnection::portThatDoesNotOpen_data()
{
    QTest::addColumn<int>("port");
    QTest::newRow("COM2 absent") << 2;
    QTest::newRow("not set") << 100;
    QTest::newRow("none usable") << 0;
}

void TestConnection::portThatDoesNotOpen()
{
    QFETCH(int, port);
    AppFixture f;
    f.startSeeded();
    g_intCommPort = qint16(port);
    f.dlg.answers << vbOK;
    g_subMenuCommand(21);
    QCOMPARE(f.dlg.beeps, 1);
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(kCheckCaption, QStringLiteral("ﾎﾟｰﾄを開くことができませんでした。"), vbOKOnly, vbExclamation));
    QCOMPARE(g_intConnectStatus, qint16(0));
    QCOMPARE(f.sim.model().frameCount(), 0);
    checkSane();
}

void TestConnection::displayDuringTheCheck()
{
    AppFixture f;
    f.startSeeded();
    f.sim.model().setAnswerDelayUs(300000);
    QColor colour;
    QString panel;
    bool toolbar = true, menuFile = true, editor = true;
    Qt::CursorShape cursor = Qt::ArrowCursor;
    qint16 busy = 0;
    f.clock.scheduleIn(100000, [&] {
        colour = linkColour();
        panel = g_frmMdi1->statusPanel(2);
        toolbar = g_frmMdi1->Toolbar1->isEnabled();
        menuFile = g_frmMdi1->menu_file->menuAction()->isVisible();
        editor = g_frmMain1->isEnabled();
        cursor = g_frmMdi1->cursor().shape();
        busy = g_intCommBusy;
    });
    QCOMPARE(linkColour(), kRed);
    g_subMenuCommand(21);
    QCOMPARE(colour, kYellow);
    QCOMPARE(panel, stateText(2));
    QVERIFY(!toolbar);
    QVERIFY(!menuFile);
    QVERIFY(!editor);
    QCOMPARE(cursor, Qt::WaitCursor);
    QCOMPARE(busy, qint16(1));
    QCOMPARE(g_intConnectStatus, qint16(1));
    QCOMPARE(linkColour(), kGreen);
    QVERIFY(g_frmMdi1->Toolbar1->isEnabled());
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    checkSane();
}

void TestConnection::lockedLabelsTakeNoClicks()
{
    // While the check holds the user interface, a click on the link label starts no second
    // check inside the first, and the hysteresis label opens no edit box.
    AppFixture f;
    f.startSeeded();
    f.sim.setFault(Fault::Silence);
    f.dlg.answers << vbOK;
    bool editOpened = true;
    f.clock.scheduleIn(3000000, [&] {
        QTest::mouseClick(g_frmMain1->Label1, Qt::LeftButton);
        QTest::mouseClick(g_frmMain1->Label2[4], Qt::LeftButton);
        editOpened = g_frmMain1->Text2->isVisible();
    });
    const qint64 t0 = f.clock.nowUs();
    g_subMenuCommand(21);
    QVERIFY(!editOpened);
    QVERIFY2(f.msSince(t0) <= 10010, QByteArray::number(f.msSince(t0)));
    QCOMPARE(f.sim.model().frameCount(), 10); // "L" once a second, one check
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxText(f.dlg.boxes[0]), kCheckCaption + QStringLiteral(" / ") + kNoAnswer);
    checkSane();
    // Unlocked again, the same click starts the check.
    f.sim.setFault(Fault::None);
    QTest::mouseClick(g_frmMain1->Label1, Qt::LeftButton);
    QCOMPARE(g_intConnectStatus, qint16(1));
}

void TestConnection::connectWhileConnectedDoesNothing()
{
    AppFixture f;
    startConnected(f);
    QCOMPARE(f.sim.model().frameCount(), 1);
    g_subMenuCommand(21);
    g_frmMain1->Label1_Click();
    g_frmMdi1->Toolbar1_ButtonClick(QStringLiteral("conect"));
    QCOMPARE(f.sim.model().frameCount(), 1);
    QCOMPARE(g_intConnectStatus, qint16(1));
    QCOMPARE(f.dlg.boxes.size(), 0);
    checkSane();
}

void TestConnection::disconnect()
{
    AppFixture f;
    startConnected(f);
    g_frmMain1->Command2_Click(); // the position output panel
    QCOMPARE(g_intPosArea, qint16(1));
    // Not offered while the monitor runs.
    g_subMonitorOnSet(-1);
    g_subMenuCommand(22);
    QCOMPARE(g_intConnectStatus, qint16(1));
    QVERIFY(f.sim.portOpen());
    g_subMonitorOnSet(0);
    g_subMenuCommand(22);
    QCOMPARE(g_intConnectStatus, qint16(0));
    QVERIFY(!f.sim.portOpen());
    QCOMPARE(g_intPosArea, qint16(0)); // closed with the disconnected state
    QVERIFY(g_frmMdi1->menu_Setting->isEnabled());
    checkSane();
    // Disconnecting with the monitor running stops it first.
    g_subMenuCommand(21);
    g_subMonitorOnSet(-1);
    g_frmMain1->g_subCommUnConnect();
    QCOMPARE(g_intMonitorStop, qint16(1));
    QCOMPARE(g_intMonitorOn, qint16(0));
    QCOMPARE(g_intConnectStatus, qint16(0));
    QVERIFY(g_frmMain1->Label1->isEnabled());
    QCOMPARE(f.dlg.boxes.size(), 0);
}

void TestConnection::idleHangUpShowsDisconnected()
{
    AppFixture f;
    f.startSeeded();
    g_subCommEventHook();
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(1));
    f.sim.hangUp();
    QCOMPARE(g_intConnectStatus, qint16(0));
    QVERIFY(!f.sim.portOpen());
    QCOMPARE(f.dlg.boxes.size(), 0);
    checkSane();
    // Back again, the next connect works.
    f.sim.plugIn();
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(1));
}

void TestConnection::portPanel_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("text");
    QTest::newRow("100") << 100 << QStringLiteral("ﾎﾟｰﾄ : 未設定");
    QTest::newRow("0") << 0 << QStringLiteral("ﾎﾟｰﾄ : 使用不可");
    QTest::newRow("12") << 12 << QStringLiteral("ﾎﾟｰﾄ : COM12");
    QTest::newRow("1") << 1 << QStringLiteral("ﾎﾟｰﾄ : COM1");
}

void TestConnection::portPanel()
{
    QFETCH(int, port);
    QFETCH(QString, text);
    AppFixture f;
    f.startSeeded();
    g_intCommPort = qint16(port);
    g_frmMain1->subCommStatus_Change();
    QCOMPARE(g_frmMdi1->statusPanel(1), text);
}

void TestConnection::stateTable_data()
{
    QTest::addColumn<int>("base");  // the state shown before; "unchanged" items keep its look
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("monitorWindow");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QString>("enabled"); // letters of what is enabled, see stateTable()
    QTest::addColumn<bool>("unjoinShown");
    QTest::addColumn<int>("inputMonImage");
    // c Command1/Command2, j 接続, d 入力ﾓﾆﾀｰﾊﾟﾈﾙ, s 設定, t ﾂｰﾙ, h ﾍﾙﾌﾟ, b toolbar,
    // 5 conect, 6 unconect, 8 InputMon
    QTest::newRow("0 from 1") << 1 << 0 << false << kRed << "jsthb5" << false << 7;
    QTest::newRow("1 from 0") << 0 << 1 << false << kGreen << "cdhb68" << true << 6;
    QTest::newRow("1 with monitor window") << 0 << 1 << true << kGreen << "chb68" << true << 6;
    QTest::newRow("2 from 1") << 1 << 2 << false << kYellow << "68" << true << 6;
    QTest::newRow("2 from 0") << 0 << 2 << false << kYellow << "6" << false << 7;
    QTest::newRow("7 from 1") << 1 << 7 << false << kRed << "jshb68" << true << 6;
    QTest::newRow("7 from 0") << 0 << 7 << false << kRed << "jshb6" << false << 7;
}

void TestConnection::stateTable()
{
    QFETCH(int, base);
    QFETCH(int, state);
    QFETCH(bool, monitorWindow);
    QFETCH(QColor, colour);
    QFETCH(QString, enabled);
    QFETCH(bool, unjoinShown);
    QFETCH(int, inputMonImage);
    AppFixture f;
    f.startSeeded();
    g_subConnectStatusSet(qint16(base));
    g_frmMain1->subCommStatus_Change();
    g_frmMdi1->menu_Tool->setEnabled(false); // only the disconnected state enables it
    g_intFormOpen[idDirect] = monitorWindow ? -1 : 0;
    g_subConnectStatusSet(qint16(state));
    g_frmMain1->subCommStatus_Change();
    g_intFormOpen[idDirect] = 0;

    frmMdi1 *m = g_frmMdi1;
    QCOMPARE(m->statusPanel(2), stateText(state));
    QCOMPARE(m->StatusBar1Panel[1]->width(), m->StatusBar1Panel[1]->sizeHint().width());
    QCOMPARE(linkColour(), colour);
    const bool c = enabled.contains(QLatin1Char('c'));
    QCOMPARE(g_frmMain1->Command1[0]->isEnabled(), c);
    QCOMPARE(g_frmMain1->Command1[1]->isEnabled(), c);
    QCOMPARE(g_frmMain1->Command2->isEnabled(), c);
    QCOMPARE(m->menu_Join->isEnabled(), enabled.contains(QLatin1Char('j')));
    QCOMPARE(m->menu_Direct->isEnabled(), enabled.contains(QLatin1Char('d')));
    QCOMPARE(m->menu_Setting->isEnabled(), enabled.contains(QLatin1Char('s')));
    QCOMPARE(m->menu_Tool->isEnabled(), enabled.contains(QLatin1Char('t')));
    QCOMPARE(m->menu_Help->isEnabled(), enabled.contains(QLatin1Char('h')));
    QCOMPARE(m->Toolbar1->isEnabled(), enabled.contains(QLatin1Char('b')));
    QCOMPARE(m->button.value(QStringLiteral("conect"))->isEnabled(), enabled.contains(QLatin1Char('5')));
    QCOMPARE(m->button.value(QStringLiteral("unconect"))->isEnabled(), enabled.contains(QLatin1Char('6')));
    QCOMPARE(m->button.value(QStringLiteral("InputMon"))->isEnabled(), enabled.contains(QLatin1Char('8')));
    QCOMPARE(shownIcon(m->button.value(QStringLiteral("InputMon"))), inputMonImage);
    QCOMPARE(m->menu_Unjoin->isVisible(), unjoinShown);
}

void TestConnection::checkAgainstFaults_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<int>("param");
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("box");   // the message, empty for none
    QTest::addColumn<int>("boundMs");   // virtual time the check may take at most
    QTest::newRow("healthy") << Fault::None << 0 << true << QString() << 20;
    QTest::newRow("silence") << Fault::Silence << 0 << false << kNoAnswer << 10010;
    QTest::newRow("question") << Fault::Question << 0 << false << kNoAnswer << 10010;
    QTest::newRow("slow") << Fault::Slow << 500 << true << QString() << 520;
    // An answer after the resend still counts: the resend empties the buffer before it comes.
    QTest::newRow("slower than the resend") << Fault::Slow << 1500 << true << QString() << 1520;
    QTest::newRow("slow 2 s") << Fault::Slow << 2000 << false << kNoAnswer << 10010;
    QTest::newRow("garbage") << Fault::Garbage << 6 << false << kNoAnswer << 10010;
    QTest::newRow("split") << Fault::Split << 50 << true << QString() << 70;
    QTest::newRow("flood") << Fault::Flood << 100 << false << kNoAnswer << 10010;
    QTest::newRow("flood stream") << Fault::Flood << -1 << false << kNoAnswer << 10010;
    // The line drops as "L" arrives: the send reports it, and the check ends at once.
    QTest::newRow("hang-up") << Fault::HangUp << 0 << false << kSendLost << 20;
}

void TestConnection::checkAgainstFaults()
{
    QFETCH(Fault, fault);
    QFETCH(int, param);
    QFETCH(bool, connected);
    QFETCH(QString, box);
    QFETCH(int, boundMs);
    AppFixture f;
    f.startSeeded();
    f.sim.setFault(fault, param);
    const bool sendLost = box == kSendLost;
    if (!box.isEmpty())
        f.dlg.answers << (sendLost ? vbCancel : vbOK);
    const qint64 t0 = f.clock.nowUs();
    g_subMenuCommand(21);
    QVERIFY2(f.msSince(t0) <= boundMs, QByteArray::number(f.msSince(t0)));
    QCOMPARE(g_intConnectStatus, qint16(connected ? 1 : 0));
    QCOMPARE(f.dlg.boxes.size(), box.isEmpty() ? 0 : 1);
    if (!box.isEmpty())
        QCOMPARE(boxText(f.dlg.boxes[0]),
                 (sendLost ? QStringLiteral("g_funcCommOutPut") : kCheckCaption) + QStringLiteral(" / ") + box);
    QVERIFY(g_strInPut.size() <= kReceiveLimit);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    checkSane();
    // A healthy controller connects afterwards (the device back where it went away).
    f.sim.plugIn();
    f.sim.setFault(Fault::None);
    g_subCommPortClose();
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(1));
    checkSane();
}

// ---------------------------------------------------------------- settings dialog

void TestConnection::settingsWarnsAboutStoredPort()
{
    AppFixture f;
    f.sim.usablePorts = {1, 3};
    f.startSeeded(2);
    QCOMPARE(g_intCommPort, qint16(2));
    QStringList items;
    QString proposed;
    bool okEnabled = false;
    f.dlg.answers << vbOK;
    runSettings(f, [&](frmSetting1 *s) {
        for (int i = 0; i < s->Combo1->count(); ++i)
            items << s->Combo1->itemText(i);
        proposed = s->Combo1->currentText();
        okEnabled = s->Command1[0]->isEnabled();
        QCOMPARE(s->windowTitle(), QStringLiteral("設定"));
        QCOMPARE(s->Text1->text(), QStringLiteral("1000"));
        QVERIFY(s->Option2[0]->isChecked());
        s->Command1[0]->click();
    });
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("ﾎﾟｰﾄの設定"), QStringLiteral("現在設定されているﾎﾟｰﾄ COM2 は使用できません。\r\n新しいﾎﾟｰﾄを設定してください。"), vbOKOnly, 0));
    QCOMPARE(items, QStringList({QStringLiteral("COM1"), QStringLiteral("COM3")}));
    QCOMPARE(proposed, QStringLiteral("COM1"));
    QVERIFY(okEnabled);
    QVERIFY(!f.sim.portOpen()); // the listing closes every port it tried
    QCOMPARE(g_intCommPort, qint16(1));
    QCOMPARE(g_frmMdi1->statusPanel(1), QStringLiteral("ﾎﾟｰﾄ : COM1"));
    QVERIFY(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("qvo.ini"))).startsWith("01\r\n03E8\r\n"));

    // COM3 chosen: qvo.ini holds the new port, the sampling time and the current file.
    runSettings(f, [&](frmSetting1 *s) {
        QCOMPARE(s->Combo1->currentText(), QStringLiteral("COM1"));
        s->Combo1->setCurrentIndex(1);
        s->Text1->setText(QStringLiteral("500"));
        s->Command1[0]->click();
    });
    QCOMPARE(g_intCommPort, qint16(3));
    QCOMPARE(g_lngSamplingTime, 500);
    const QByteArray ini = AppFixture::readFile(AppFixture::dataFile(QStringLiteral("qvo.ini")));
    QVERIFY2(ini.startsWith("03\r\n01F4\r\n"), ini);
    QVERIFY(ini.endsWith(".qvd\r\n"));
    QCOMPARE(ini.count("\r\n"), 3);
    QCOMPARE(g_frmMdi1->statusPanel(1), QStringLiteral("ﾎﾟｰﾄ : COM3"));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestConnection::settingsWithoutUsablePort()
{
    AppFixture f;
    f.sim.usablePorts = {};
    f.startSeeded(1);
    const QByteArray ini = AppFixture::readFile(AppFixture::dataFile(QStringLiteral("qvo.ini")));
    f.dlg.answers << vbOK;
    runSettings(f, [&](frmSetting1 *s) {
        QCOMPARE(s->Combo1->count(), 0);
        QVERIFY(!s->Combo1->isEnabled());
        QVERIFY(!s->Command1[0]->isEnabled());
        QVERIFY(s->Command1[1]->isEnabled());
        s->Command1[1]->click();
    });
    QCOMPARE(f.dlg.boxes.size(), 1);
    QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("通信ポートのチェック"), QStringLiteral("このパソコンでは使用できる通信ポートが有りません"), vbOKOnly, 0));
    QCOMPARE(g_intCommPort, qint16(0));
    QCOMPARE(g_frmMdi1->statusPanel(1), QStringLiteral("ﾎﾟｰﾄ : 使用不可"));
    QCOMPARE(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("qvo.ini"))), ini);
}

void TestConnection::settingsSampling_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QByteArray>("iniLine");
    QTest::newRow("19") << QStringLiteral("19") << false << QByteArray("03E8");
    QTest::newRow("20") << QStringLiteral("20") << true << QByteArray("0014");
    QTest::newRow("2000") << QStringLiteral("2000") << true << QByteArray("07D0");
    QTest::newRow("2001") << QStringLiteral("2001") << false << QByteArray("03E8");
    QTest::newRow("not a number") << QStringLiteral("a1") << false << QByteArray("03E8");
}

void TestConnection::settingsSampling()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);
    QFETCH(QByteArray, iniLine);
    AppFixture f;
    f.startSeeded();
    if (!accepted)
        f.dlg.answers << vbOK;
    bool stayedOpen = false;
    runSettings(f, [&](frmSetting1 *s) {
        s->Text1->setText(text);
        s->Command1[0]->click();
        stayedOpen = s->isVisible();
        if (stayedOpen)
            s->Command1[1]->click();
    });
    QCOMPARE(stayedOpen, !accepted);
    QCOMPARE(g_lngSamplingTime, accepted ? text.toInt() : 1000);
    QCOMPARE(f.dlg.boxes.size(), accepted ? 0 : 1);
    if (!accepted) {
        QCOMPARE(boxOf(f.dlg.boxes[0]), box(QStringLiteral("入力値の検査"), QStringLiteral("入力値が不正です \r\n20 < ｻﾝﾌﾟﾘﾝｸﾞ時間 < 2000"), vbOKCancel, vbExclamation));
    }
    QCOMPARE(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("qvo.ini"))).split('\n').value(1), iniLine + '\r');
}

void TestConnection::settingsTenMetres()
{
    AppFixture f;
    f.startSeeded();
    g_intSaved = 1;
    QCOMPARE(g_frmMain1->MSFlexGrid1->Rows(), 3);
    runSettings(f, [](frmSetting1 *s) {
        s->Option2[4]->setChecked(true);
        s->Command1[0]->click();
    });
    QCOMPARE(g_intInputType, qint16(5));
    QCOMPARE(UserData[cellInputCode].data(), QStringLiteral("04"));
    QCOMPARE(g_strUnit, QStringLiteral("M"));
    QCOMPARE(g_dblScale, InputTypeOf(5).scale);
    QCOMPARE(g_intSaved, qint16(1)); // not marked modified
    MSFlexGrid *g = g_frmMain1->MSFlexGrid1;
    QCOMPARE(g->Rows(), 2);
    QCOMPARE(g->Cols(), 7);
    QCOMPARE(g->TextMatrix(1, 0), QStringLiteral("距離"));
    QCOMPARE(g->TextMatrix(0, 1), QStringLiteral("平常 "));
    QVERIFY(g_frmMain1->DetectLimitFrame->isVisibleTo(g_frmMain1));
    // The dialog opens on the stored type next time.
    runSettings(f, [](frmSetting1 *s) {
        QVERIFY(s->Option2[4]->isChecked());
        s->Command1[1]->click();
    });
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestConnection::settingsCancelChangesNothing()
{
    AppFixture f;
    f.sim.usablePorts = {1, 3};
    f.startSeeded();
    const QByteArray ini = AppFixture::readFile(AppFixture::dataFile(QStringLiteral("qvo.ini")));
    const double scale = g_dblScale;
    runSettings(f, [](frmSetting1 *s) {
        s->Option2[4]->setChecked(true);
        s->Combo1->setCurrentIndex(1);
        s->Text1->setText(QStringLiteral("500"));
        s->Command1[1]->click();
    });
    QCOMPARE(g_intInputType, qint16(1));
    QCOMPARE(g_dblScale, scale);
    QCOMPARE(UserData[cellInputCode].data(), QStringLiteral("00"));
    QCOMPARE(g_intCommPort, qint16(1));
    QCOMPARE(g_lngSamplingTime, 1000);
    QCOMPARE(AppFixture::readFile(AppFixture::dataFile(QStringLiteral("qvo.ini"))), ini);
    QCOMPARE(g_frmMain1->MSFlexGrid1->Rows(), 3);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void TestConnection::settingsSamplingKeyFilter()
{
    AppFixture f;
    f.startSeeded();
    QStringList seen;
    runSettings(f, [&](frmSetting1 *s) {
        QLineEdit *t = s->Text1;
        t->end(false);
        QTest::keyClick(t, Qt::Key_A);
        seen << t->text();
        QTest::keyClick(t, Qt::Key_5);
        seen << t->text();
        QTest::keyClick(t, Qt::Key_Backspace);
        seen << t->text();
        t->clear();
        QTest::keyClick(t, Qt::Key_A); // an empty box takes any key
        seen << t->text();
        s->Command1[1]->click();
    });
    QCOMPARE(seen, QStringList({QStringLiteral("1000"), QStringLiteral("10005"), QStringLiteral("1000"), QStringLiteral("a")}));
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
