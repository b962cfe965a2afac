// The windows on a real X server (Xvfb): the frame with the editor in both grid layouts
// and with the position area, the settings and version windows, the link label while
// checking and when connected, the progress window of a read and the frame when the
// write's success box comes. Each is saved as a PNG in $QELVO_SCREENSHOTS and must hold
// a picture, not an empty window.
#include "doubles/PictureCheck.h"
#include "support/AppFixture.h"

#include "app/frmMdi1.h"
#include "app/frmSetting1.h"
#include "app/frmSplash1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "editor/frmCompare1.h"
#include "editor/frmMain1.h"
#include "graph/frmColorSetting1.h"
#include "graph/frmGraph1.h"
#include "link/frmCommMsg1.h"
#include "link/modComm1.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/frmSetLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/frmLogView1.h"
#include "monitor/frmOutputMonitor1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Geometry.h"
#include "platform/QtDialogs.h"
#include "settings/modUserData.h"

#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QImage>
#include <QRawFont>
#include <QMessageBox>
#include <QScreen>
#include <QtTest>

namespace {
QString shotFolder()
{
    QString dir = qEnvironmentVariable("QELVO_SCREENSHOTS");
    if (dir.isEmpty())
        dir = QDir::currentPath() + QStringLiteral("/screenshots");
    QDir().mkpath(dir);
    return dir;
}

// The link label's colour in a picture of the frame (left of the "Link" text).
QColor linkColourIn(const QImage &frameShot)
{
    QLabel *l = g_frmMain1->Label1;
    const QPoint p = l->mapTo(g_frmMdi1, QPoint(6, l->height() / 2));
    const qreal dpr = frameShot.devicePixelRatio();
    return frameShot.pixelColor(qRound(p.x() * dpr), qRound(p.y() * dpr));
}

struct GuiApp : AppFixture {
    GuiApp()
    {
        startSeeded();
        g_frmMdi1->resize(1000, 700);
        g_frmMdi1->show();
    }
};
} // namespace

class tst_gui_smoke : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void editorLayoutsAndDialogs();
    void linkLabelWhileCheckingAndConnected();
    void transferWindows();
    void compareWindow();
    void monitorWindows();
    void logFilerWindows();
    void graphWindows();

private:
    // Saves the picture and checks it was written and shows something.
    void save(const QString &name, const QPixmap &pix);
    QString m_dir;
};

void tst_gui_smoke::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    // The font the process entry gives the application.
    InstallApplicationFont();
    const QFont font = QApplication::font();
    QVERIFY2(QFontInfo(font).family().startsWith(QStringLiteral("IPA")), qPrintable(QFontInfo(font).family()));
    // Half-width katakana and kanji are in the font, so no text is drawn as boxes.
    const QRawFont raw = QRawFont::fromFont(font);
    for (char32_t c : {U'ﾃ', U'ﾟ', U'状', U'態', U'読', U'込'})
        QVERIFY(raw.supportsCharacter(c));
    m_dir = shotFolder();
}

void tst_gui_smoke::save(const QString &name, const QPixmap &pix)
{
    QVERIFY2(!pix.isNull(), qPrintable(name));
    const QString path = m_dir + QLatin1Char('/') + name;
    QFile::remove(path);
    QVERIFY2(pix.save(path, "PNG"), qPrintable(path));
    const QImage back(path);
    QCOMPARE(back.size(), pix.size());
    QVERIFY2(PictureShowsSomething(back), qPrintable(path + QStringLiteral(" is blank")));
}

void tst_gui_smoke::editorLayoutsAndDialogs()
{
    GuiApp f;
    QVERIFY(QTest::qWaitForWindowExposed(g_frmMdi1));
    save(QStringLiteral("frame_editor.png"), g_frmMdi1->grab());
    QCOMPARE(g_frmMain1->MSFlexGrid1->Cols(), 9);

    // Distance 0-5 m: the six levels and the detection limit.
    UserData[cellInputCode].setData(QByteArrayView("03"));
    QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
    QCOMPARE(g_frmMain1->MSFlexGrid1->Cols(), 7);
    QVERIFY(g_frmMain1->DetectLimitFrame->isVisible());
    save(QStringLiteral("editor_distance.png"), g_frmMdi1->grab());

    g_frmMain1->Command2_Click();
    QVERIFY(g_frmMain1->Frame1->isVisible());
    save(QStringLiteral("editor_posarea.png"), g_frmMdi1->grab());
    g_frmMain1->Command2_Click();

    // The settings dialog: pictured, then cancelled.
    QPixmap settings;
    f.dlg.modalHandler = [&settings](QDialog *d) {
        auto *w = qobject_cast<frmSetting1 *>(d);
        QVERIFY(w);
        settings = w->grab();
        w->Command1[1]->click();
    };
    g_subMenuCommand(31);
    save(QStringLiteral("settings_dialog.png"), settings);

    QPixmap version;
    f.dlg.modalHandler = [&version](QDialog *d) {
        QVERIFY(qobject_cast<frmSplash1 *>(d));
        version = d->grab();
        d->accept();
    };
    g_subMenuCommand(41);
    save(QStringLiteral("version_window.png"), version);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void tst_gui_smoke::linkLabelWhileCheckingAndConnected()
{
    GuiApp f;
    // A silent controller keeps the check running; the picture is taken half a second in.
    f.sim.setFault(CtrlModel::Fault::Silence);
    QPixmap checking;
    QString stateText;
    bool toolbarEnabled = true;
    f.clock.scheduleIn(500000, [&] {
        checking = g_frmMdi1->grab();
        stateText = g_frmMdi1->statusPanel(2);
        toolbarEnabled = g_frmMdi1->Toolbar1->isEnabled();
    });
    f.dlg.answers << vbOK; // "通信応答がありません。"
    g_subMenuCommand(21);
    QCOMPARE(stateText, QStringLiteral("状態 : 接続ﾁｪｯｸ中 "));
    QVERIFY(!toolbarEnabled);
    save(QStringLiteral("checking.png"), checking);
    QCOMPARE(linkColourIn(checking.toImage()), QColor(255, 255, 0));
    QCOMPARE(g_intConnectStatus, qint16(0));

    f.sim.setFault(CtrlModel::Fault::None);
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(1));
    const QPixmap connected = g_frmMdi1->grab();
    save(QStringLiteral("connected.png"), connected);
    QCOMPARE(linkColourIn(connected.toImage()), QColor(0, 255, 0));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 1);
}

void tst_gui_smoke::transferWindows()
{
    GuiApp f;
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(1));

    // The progress window a fifth of a second into the read.
    QPixmap progress;
    int value = -1;
    f.clock.scheduleIn(200000, [&] {
        if (!g_frmCommMsg1)
            return;
        value = g_frmCommMsg1->ProgressBar1->value();
        progress = g_frmCommMsg1->grab();
    });
    f.dlg.answers << vbNo; // unsaved changes: read anyway
    g_frmMain1->Command1_Click(0);
    QVERIFY2(value > 0 && value < 47, qPrintable(QString::number(value)));
    save(QStringLiteral("progress_read.png"), progress);

    // The frame as it stands when the write's success box comes.
    QPixmap success;
    // The box is scripted; the picture shows the real box the user gets over the frame.
    f.dlg.onBox = [&success](const ScriptedDialogs::Box &b) {
        if (b.caption != QStringLiteral("ﾃﾞｰﾀｰ書込み"))
            return;
        const auto box = QtDialogs::makeBox(b.text, b.buttons + b.icon, b.caption);
        box->show();
        box->move(g_frmMdi1->geometry().center() - QPoint(box->width() / 2, box->height() / 2));
        for (int i = 0; i < 5; ++i)
            QCoreApplication::processEvents();
        const QRect area = g_frmMdi1->frameGeometry();
        success = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        box->close();
    };
    f.dlg.answers << vbOK;
    g_frmMain1->Command1_Click(1);
    save(QStringLiteral("write_success.png"), success);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
    QCOMPARE(f.dlg.boxes.size(), 2);
    QCOMPARE(f.dlg.boxes[1].text, QStringLiteral("データは正常に書き込まれました。"));
}

void tst_gui_smoke::compareWindow()
{
    // ﾂｰﾙ > ｺﾝﾄﾛｰﾗとの比較 after two edits: the window over the frame, as the screen shows it.
    GuiApp f;
    // The controller holds what the new document holds (whose scalings the editor keeps at 1).
    f.sim.model().setCell(cellScaling1, 1);
    f.sim.model().setCell(cellScaling2, 1);
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(1));
    g_frmMain1->MSFlexGrid1->setTextMatrix(1, 2, QStringLiteral("1.20"));
    g_frmMain1->Check1[4]->click();
    QPixmap shot;
    QStringList rows;
    f.dlg.modalHandler = [&](QDialog *d) {
        auto *w = qobject_cast<frmCompare1 *>(d);
        QVERIFY(w);
        w->show();
        w->move(g_frmMdi1->geometry().center() - QPoint(w->width() / 2, w->height() / 2));
        QVERIFY(QTest::qWaitForWindowExposed(w));
        for (int i = 0; i < w->List1->topLevelItemCount(); ++i)
            rows << w->List1->topLevelItem(i)->text(0);
        const QRect area = g_frmMdi1->frameGeometry();
        shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        w->Command1->click();
    };
    g_frmMdi1->menu_Compare->trigger();
    save(QStringLiteral("compare_window.png"), shot);
    QCOMPARE(rows, QStringList({QStringLiteral("Out 2 最大値"), QStringLiteral("出力反転 5")}));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void tst_gui_smoke::monitorWindows()
{
    GuiApp f;
    // The controller's eight staggered windows and a level of 300 counts (1.47 V): outputs 2
    // and 3 on, the others off.
    f.sim.model().loadDemoSettings();
    f.sim.model().setLevel(300);
    g_subMenuCommand(21);
    QCOMPARE(g_intConnectStatus, qint16(1));
    g_subMenuCommand(12);
    g_subMenuCommand(14);
    g_subMenuCommand(15);
    QVERIFY(g_frmDirect1 && g_frmLogView1 && g_frmOutputMonitor1);
    g_frmDirect1->Command2[0]->click();
    QCOMPARE(g_intMonitorOn, qint16(-1));
    Sleep(5500); // five readings at the default second
    QCOMPARE(g_frmDirect1->Label6->text(), QStringLiteral("1.47"));
    QCOMPARE(g_frmOutputMonitor1->Picture1[1]->accessibleDescription(), QStringLiteral("ON"));
    QCOMPARE(g_frmOutputMonitor1->Picture1[0]->accessibleDescription(), QStringLiteral("OFF"));
    QCOMPARE(g_frmLogView1->Label1->count(), 6); // the first poll and five ticks
    save(QStringLiteral("monitor_running.png"), g_frmMdi1->grab());
    g_frmLogView1->menu_Disp_Denatu->setChecked(true);
    g_frmLogView1->menu_Disp_Bits->setChecked(true);
    QVERIFY2(!g_frmLogView1->Label1->findItems(QStringLiteral("01.47V  01100000"), Qt::MatchContains).isEmpty(),
             qPrintable(g_frmLogView1->Label1->item(0)->text()));
    save(QStringLiteral("logview_converted.png"), g_frmLogView1->parentWidget()->grab());
    g_frmLogView1->menu_Disp_Denatu->setChecked(false);
    g_frmLogView1->menu_Disp_Bits->setChecked(false);
    save(QStringLiteral("logview_raw.png"), g_frmLogView1->parentWidget()->grab());
    save(QStringLiteral("output_monitor.png"), g_frmOutputMonitor1->parentWidget()->grab());
    g_frmDirect1->Command2[1]->click();
    Sleep(1100);
    QCOMPARE(g_intFormOpen[idTimer], qint16(0));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void tst_gui_smoke::logFilerWindows()
{
    GuiApp f;
    LogFileSetting s = DefaultLogFileSetting();
    s.strInterval = QStringLiteral("00:00:02");
    s.lngCountMax = 500;
    s.strEndTime = QStringLiteral("2026/01/06 08:30:00");
    s.strFolder = AppFixture::dataFile(QStringLiteral("logs/"));
    s.strFileName = QStringLiteral("qlv20260105.csv");
    QVERIFY(QDir().mkpath(s.strFolder));
    QVERIFY(!SaveLogFileSetting(s).failed());
    // The settings window in both end modes.
    {
        frmSetLogFiler1 dlg;
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        save(QStringLiteral("logfiler_settings_count.png"), dlg.grab());
        dlg.Option1[1]->click();
        QVERIFY(dlg.MonthView1->isVisible());
        save(QStringLiteral("logfiler_settings_time.png"), dlg.grab());
    }
    // The log filer logging, with the monitor polling the demo windows.
    f.sim.model().loadDemoSettings();
    f.sim.model().setLevel(300);
    g_subMenuCommand(21);
    g_subMenuCommand(12);
    g_frmDirect1->Command2[0]->click();
    Sleep(1100);
    g_subMenuCommand(13);
    QVERIFY(g_frmLogFiler1);
    g_frmLogFiler1->Command1[0]->click();
    QCOMPARE(flgLogFilerOnWork, qint16(-1));
    Sleep(9000);
    QCOMPARE(g_frmLogFiler1->Label5->text(), QStringLiteral("Log ﾃﾞｰﾀ収集中"));
    save(QStringLiteral("logfiler_logging.png"), g_frmLogFiler1->parentWidget()->grab());
    g_frmLogFiler1->Command1[1]->click();
    Sleep(1100);
    QCOMPARE(flgLogFilerOnWork, qint16(0));
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

void tst_gui_smoke::graphWindows()
{
    GuiApp f;
    f.sim.model().loadDemoSettings();
    f.sim.model().setLevel(300);
    g_subMenuCommand(21);
    f.dlg.answers << vbNo;
    g_frmMain1->Command1_Click(0); // the demo windows into the grid
    g_subMenuCommand(11);
    QVERIFY(g_frmGraph1);
    auto *graph = g_frmGraph1->parentWidget();
    graph->resize(TwipsToPx(8000), TwipsToPx(6500));
    g_subMenuCommand(12);
    g_frmDirect1->Command2[0]->click();
    Sleep(1100);
    for (const char *code : {"00", "03"}) {
        UserData[cellInputCode].setData(QByteArrayView(code));
        QVERIFY(g_frmMain1->subFrmMainDataSet(nullptr));
        g_subMonitorWindowsRefresh();
        for (int zoom : {1, 3}) {
            g_frmGraph1->Slider1->setValue(zoom);
            Sleep(1100); // the level comes back at the next reading
            const QString name = QStringLiteral("graph_%1_zoom%2.png").arg(code[1] == '0' ? "volts" : "metres").arg(zoom);
            save(name, graph->grab());
        }
    }
    QPixmap colours;
    f.dlg.modalHandler = [&colours](QDialog *d) {
        auto *w = qobject_cast<frmColorSetting1 *>(d);
        QVERIFY(w);
        w->List1->setCurrentRow(9);
        emit w->List1->itemClicked(w->List1->item(9));
        colours = w->grab();
        w->Command3[1]->click();
    };
    g_subMenuCommand(32);
    save(QStringLiteral("colour_settings.png"), colours);
    g_frmDirect1->Command2[1]->click();
    Sleep(1100);
    QVERIFY2(f.dlg.unexpected == 0, f.unexpectedText());
}

QTEST_MAIN(tst_gui_smoke)
#include "tst_gui_smoke.moc"
