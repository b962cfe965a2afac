#include "support/AppFixture.h"

#include "support/DataFiles.h"

#include "app/frmMdi1.h"
#include "app/ImageList1.h"
#include "app/modStartup.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "fleet/SiteMonitor.h"
#include "graph/frmColorSetting1.h"
#include "graph/modGraph1.h"
#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "link/modLinkState.h"
#include "link/modTransfer.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "doubles/PrivateHome.h"
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

void AppFixture::removeDataFolder()
{
    // Only a data folder in the test program's own home is ever emptied (tests/home).
    const QString folder = DataFolderPath();
    if (!InPrivateHome(QFile::encodeName(folder).toStdString()))
        qFatal("The data folder %s is not the test's own: it is left alone.", qPrintable(folder));
    QDir(folder).removeRecursively();
}

void AppFixture::wipeDataFolder()
{
    removeDataFolder();
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
    g_subReplyTimerStop();
    g_subCommTimerStop();
    g_subTimerFormUnload();
    delete g_frmMdi1; // takes the editor and the monitoring windows with it
    delete g_frmMain1;
    // The office view's engine outlives its window, and goes once no window shows it.
    EndSiteMonitor();
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
    // core
    ResetProcessEnding();
    g_subAppPathSet(QString());
    g_subDataPathSet(QString());
    g_subVersionSet(QString());
    g_subStartingSet(0);
    g_intSaved = 0;
    g_subUserFileSet(QString(), QString());
    g_subDefFileSet(QString());
    g_subTempFileSet(QString());
    for (qint16 &f : g_intFormOpen)
        f = 0;
    g_intCommPort = 100;
    g_subSamplingTimeSet(1000);
    g_subFormPosDefaultSet(0);
    for (int id = 0; id < 31; ++id)
        g_subFormPosSet(id, FormPos());
    // settings
    std::fill(UserData, UserData + kImageCells, MemCell());
    std::fill(TempData, TempData + kImageCells, MemCell());
    g_subInputTypeSet(0);
    // link
    // The connection, the lock, and the program's session: its exchange, receive buffer,
    // timers, what the written names show of it and the poll's watch.
    g_subLinkStateReset();
    g_intTransferDir = 0;
    g_intTransferSendLimit = 0;
    g_lngReplyWaitMs = kReplyWaitMs;
    // monitor
    g_subMonitorStateReset(); // the run flags and the poll's busy flag
    g_subScrollSrcSet(0);
    g_subMonitorIni(); // the ring, the fresh flags, the poll's state and the trend's history
    g_subMonitorHoldSet({});
    // log filer
    g_subLogFilerOnWorkSet(0);
    g_subLogFilerSettingSet(LogFileSetting());
    g_subLogFilePathSet(QString());
    g_subLogFilerStatusSet(QStringLiteral("-1"));
    // graph and editor
    g_subColorsSet({});
    SetDefaultColors();
    g_subLastChosenColorSet(0);
    g_subPosAreaSet(0);
}

Reading ReadingOf(const QString &valueHex, const QString &outputsHex)
{
    return MakeReading(Now(), valueHex, outputsHex, AppSessionOptions().scale);
}

void StoreReading(const QString &valueHex, const QString &outputsHex)
{
    const Reading r = ReadingOf(valueHex, outputsHex);
    Reading begun = r;
    begun.takeOutputs(QString());
    g_subMonValueStore(begun);
    g_subMonReadingStore(r);
}

QString DataLineOf(qint32 count, const QDateTime &scheduled, const QString &valueHex, const QString &outputsHex,
                   bool voltDisp, bool bitsDisp)
{
    return MakeDataLine(count, scheduled, ReadingOf(valueHex, outputsHex), voltDisp, bitsDisp);
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
