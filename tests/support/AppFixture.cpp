#include "support/AppFixture.h"

#include "support/DataFiles.h"

#include "app/frmMdi1.h"
#include "app/ImageList1.h"
#include "app/modStartup.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "graph/modGraph1.h"
#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "settings/modUserData.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QtTest>

AppFixture::AppFixture(bool simulatedController)
{
    installClock(&clock);
    installDialogs(&dlg);
    installProcess(&proc);
    installSerialPort(simulatedController ? static_cast<SerialPortService *>(&sim) : &rec);
    resetGlobals();
    wipeDataFolder();
}

AppFixture::~AppFixture()
{
    stopApp();
    installSerialPort(nullptr);
    installProcess(nullptr);
    installDialogs(nullptr);
    installClock(nullptr);
}

void AppFixture::wipeDataFolder()
{
    QDir(DataFolder()).removeRecursively();
    DataFolder();
}

QString AppFixture::dataFile(const QString &name) { return DataFolder() + name; }

QByteArray AppFixture::readFile(const QString &path) { return readBytes(path); }

void AppFixture::writeFile(const QString &path, const QByteArray &bytes)
{
    QVERIFY2(writeBytes(path, bytes), qPrintable(path));
}

void AppFixture::seedDataFolder(int port, const QString &lastFile) { QVERIFY(seedDataFiles(port, lastFile)); }

void AppFixture::startApp() { Main(); }

void AppFixture::startSeeded(int port)
{
    seedDataFolder(port);
    startApp();
}

void AppFixture::closeWindows()
{
    ReplyTimer().setEnabled(false);
    CommTimer().setEnabled(false);
    g_subTimerFormUnload();
    delete g_frmMdi1; // takes the editor and the monitoring windows with it
    g_frmMdi1 = nullptr;
    delete g_frmMain1;
    g_frmMain1 = nullptr;
}

void AppFixture::stopApp()
{
    closeWindows();
    if (sim.portOpen())
        sim.setPortOpen(false);
    if (rec.portOpen())
        rec.setPortOpen(false);
    resetGlobals();
}

void AppFixture::expectFirstStartBoxes() { dlg.answers << vbOK << vbOK << vbCancel; }

QByteArray AppFixture::unexpectedText() const { return dlg.unexpectedWhat.join(QStringLiteral(" | ")).toUtf8(); }

void AppFixture::resetGlobals()
{
    ResetProcessEnding();
    g_intStarting = 0;
    g_intCommPort = 100;
    g_subLinkStateReset();
    appSession().inPut().clear();
    appSession().replyTimeUp() = 0;
    appSession().commTimeUp() = 0;
    appSession().step() = 0;
    appSession().commEnd() = 0;
    g_intSaved = 0;
    g_strUserFile.clear();
    g_strUserFileTitle.clear();
    g_intInputType = 0;
    g_dblScale = 0.0048875;
    g_strUnit.clear();
    g_lngSamplingTime = 1000;
    g_intFormPosDefault = 0;
    g_intPosArea = 0;
    for (qint16 &f : g_intFormOpen)
        f = 0;
    for (FormPos &p : g_FormPos)
        p = FormPos();
    g_intScrollSrc = 0;
    flgLogFilerOnWork = 0;
    g_subMonitorIni();
    g_subMonitorHoldSet({});
    std::fill(g_lngColor, g_lngColor + kColors, 0);
    SetDefaultColors();
}

int shownIcon(const QAction *button)
{
    const QImage shown = button->icon().pixmap(24, 24).toImage();
    for (int i = 1; i <= 14; ++i)
        if (ImageList1Icon(i).pixmap(24, 24).toImage() == shown)
            return i;
    return -1;
}

QString boxText(const ScriptedDialogs::Box &b) { return b.caption + QStringLiteral(" / ") + b.text; }

QString boxOf(const ScriptedDialogs::Box &b) { return box(b.caption, b.text, b.buttons, b.icon); }

QString box(const QString &caption, const QString &text, int buttons, int icon)
{
    return QStringLiteral("%1 | %2 | %3 | %4").arg(caption, text).arg(buttons).arg(icon);
}
