#include "app/modStartup.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modShutdown.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "fleet/SiteMonitor.h"
#include "graph/modGraph1.h"
#include "link/frmCommMsg1.h"
#include "link/modComm1.h"
#include "logfiler/modLogFileSetting.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QApplication>
#include <QFont>

#include <utility>

void InstallApplicationFont()
{
    QFont font(QStringLiteral("IPAGothic"));
    font.setPointSize(9);
    QApplication::setFont(font);
}

namespace {
// Whether this start made the data folder.
bool s_dataFolderMade = false;

// What an installation puts into a new data folder, so that a first start opens its windows
// without a box: "qvo.ini" (no port yet, 1000 ms, no last file), "def.tmp" (the reset
// image), "frmst.tmp" (zero records), "clr.ini" (the default colours) and "lfst.ini" (the
// log filer's defaults). A file that cannot be written is reported by its load, as a missing
// one is.
void WriteInstalledFiles()
{
    const FormPos noPlaces[31] = {};
    qint32 colors[kColors];
    DefaultColorTable(colors);
    const std::pair<QString, QByteArray> files[] = {
        {QStringLiteral("qvo.ini"), IniFileBytes(100, 1000, QString())},
        {QStringLiteral("def.tmp"), UserFileBytes(UserData)},
        {QStringLiteral("frmst.tmp"), FormPosFileBytes(noPlaces)},
        {QStringLiteral("clr.ini"), ColorFileBytes(colors)},
        {QStringLiteral("lfst.ini"), LogFileSettingBytes(DefaultLogFileSetting())},
    };
    for (const auto &[name, bytes] : files)
        WriteWholeFile(DataFile(name), bytes);
}
} // namespace

void g_subAppIni()
{
    g_subAppPathSet(QCoreApplication::applicationDirPath());
    // Nothing installs the data folder on this platform: it is made when missing, or no
    // setting could ever be saved, and a folder made now gets the installed files.
    g_subDataPathSet(DataFolder(&s_dataFolderMade));
    g_subVersionSet(QStringLiteral("ver.%1.%2").arg(kVersionMajor).arg(kVersionMinor));
    g_subLinkStateReset();
    g_intSaved = 0;
    g_subInputTypeSet(0); // the scale of input type 1 until settings are shown
    for (qint16 &f : g_intFormOpen)
        f = 0;
    g_subMonitorIni();
    g_subTempDataIni();
    g_subUserDataIni();
    g_subTempFileSet(DataFile(QStringLiteral("temp.tmp")));
    g_subDefFileSet(DataFile(QStringLiteral("def.tmp")));
    if (s_dataFolderMade)
        WriteInstalledFiles(); // UserData holds the reset image
    if (!LoadColorFile())
        SetDefaultColors();
    if (!g_funcIniFileLoad()) {
        g_intCommPort = 100;
        g_subSamplingTimeSet(1000);
        g_subUserFileSet(QString());
    }
    if (!g_funcUserDataLoad(g_strDefFile))
        g_subUserDataIni();
}

void Main()
{
    g_subStartingSet(1);
    // The editor's close (and the frame's) asks the shut-down's question.
    g_subCloseQuerySet(g_funcAppCloseQuery);
    g_subAppIni();
    // The zero records just written would put the frame at the screen's corner: a first
    // start places the windows as a start without the file does, without its box.
    if (s_dataFolderMade)
        g_subFormPosDefaultPlaces();
    else
        g_funcFormPosLoad();
    g_subCommMsgListen();
    // A device that goes away while the link is idle is shown as disconnected at once.
    g_subCommEventHook();
    g_subFrmMdi1Set(new frmMdi1());
    // Every menu entry and toolbar button of the frame goes through the dispatcher.
    QObject::connect(g_frmMdi1, &frmMdi1::commandRequested, g_frmMdi1, [](qint16 code) { g_subMenuCommand(code); });
    QObject::connect(g_frmMdi1, &frmMdi1::endRequested, g_frmMdi1, [] { g_subMenuEnd(); });
    QObject::connect(g_frmMdi1, &frmMdi1::htmlOutputRequested, g_frmMdi1, [] { g_subHtmlOutputCommand(); });
    QObject::connect(g_frmMdi1, &frmMdi1::printRequested, g_frmMdi1, [] { g_subPrintOut(); });
    g_frmMdi1->g_subfrmIni();
    g_subFrmMain1Set(new frmMain1());
    g_frmMdi1->addChild(g_frmMain1);
    g_frmMain1->g_subfrmIni();
    DoEvents();
    g_frmMdi1->show();
    g_frmMain1->showWindow();
    DoEvents();
    if (!g_strUserFile.isEmpty()) {
        g_intSaved = 1;
        g_subFileOpen(g_strUserFile);
    } else {
        const QString title = QStringLiteral("新規") + QStringLiteral(".qvd");
        const QString docs = g_funcGetSpecialFolder(5);
        g_subUserFileSet((docs.isEmpty() ? g_strAppPath + QLatin1Char('/') : docs) + title, title);
        g_subCaptionSet();
    }
    // The sites of "sites.ini" are watched from the start, whether or not their list is open.
    StartSiteMonitor();
    // The monitoring windows open at the last exit come back.
    if (g_FormPos[idLogView].State & 1)
        g_subLogViewOpen();
    if (g_FormPos[idGraph].State & 1)
        g_subGraphToggle();
    if (g_FormPos[idOutputMonitor].State & 1)
        g_subOutputMonitorOpen();
    if (g_FormPos[idTrend].State & 1)
        g_subTrendToggle();
    if (g_FormPos[idSites].State & 1)
        g_subSitesToggle();
    g_subStartingSet(0);
}
