#include "app/modMenu.h"

#include "app/frmMdi1.h"
#include "app/frmSetting1.h"
#include "app/frmSplash1.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmCompare1.h"
#include "editor/frmMain1.h"
#include "fleet/frmSites1.h"
#include "graph/frmColorSetting1.h"
#include "graph/frmGraph1.h"
#include "graph/frmTrend1.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "logfiler/frmLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmDirect1.h"
#include "monitor/frmLogView1.h"
#include "monitor/frmOutputMonitor1.h"
#include "monitor/modMonitor1.h"
#include "platform/Dialogs.h"
#include "settings/modOutput.h"
#include "settings/modSheet.h"
#include "settings/modUserFile.h"

#include <QMdiSubWindow>

// A monitoring window in the frame's document area; closing it unloads it.
static QMdiSubWindow *addMonitorWindow(QWidget *w)
{
    QMdiSubWindow *sub = g_frmMdi1->addChild(w);
    sub->setAttribute(Qt::WA_DeleteOnClose);
    return sub;
}

void g_subCloseChild(QWidget *window)
{
    if (!window)
        return;
    if (auto *sub = qobject_cast<QMdiSubWindow *>(window->parentWidget()))
        sub->close();
    else
        window->close();
}

void g_subAnaMoniOpen()
{
    if (!g_frmMdi1)
        return;
    if (g_frmDirect1) {
        g_frmMdi1->mdiArea->setActiveSubWindow(qobject_cast<QMdiSubWindow *>(g_frmDirect1->parentWidget()));
    } else {
        QMdiSubWindow *sub = addMonitorWindow(new frmDirect1());
        // Directly below the editor.
        const QWidget *editor = g_frmMain1 ? static_cast<const QWidget *>(g_frmMain1->subWindow()) : nullptr;
        sub->move(0, editor ? editor->height() : 0);
        sub->show();
    }
    g_funcCommPortOpen(g_intCommPort);
    g_subCommStatusNotify();
}

void g_subGraphToggle()
{
    if (g_intFormOpen[idGraph] == -1) {
        g_subCloseChild(g_frmGraph1);
        return;
    }
    if (!g_frmMdi1 || g_frmGraph1)
        return;
    auto *w = new frmGraph1();
    QMdiSubWindow *sub = addMonitorWindow(w);
    const QWidget *editor = g_frmMain1 ? static_cast<const QWidget *>(g_frmMain1->subWindow()) : nullptr;
    w->loadPlace(editor ? editor->geometry() : QRect());
    sub->show();
}

void g_subTrendToggle()
{
    if (g_intFormOpen[idTrend] == -1) {
        g_subCloseChild(g_frmTrend1);
        return;
    }
    if (!g_frmMdi1 || g_frmTrend1)
        return;
    auto *w = new frmTrend1();
    QMdiSubWindow *sub = addMonitorWindow(w);
    w->loadPlace();
    sub->show();
}

void g_subSitesToggle()
{
    if (g_intFormOpen[idSites] == -1) {
        g_subCloseChild(g_frmSites1);
        return;
    }
    if (!g_frmMdi1 || g_frmSites1)
        return;
    auto *w = new frmSites1();
    QMdiSubWindow *sub = addMonitorWindow(w);
    w->loadPlace();
    sub->show();
}

void g_subLogViewOpen()
{
    if (!g_frmMdi1 || g_frmLogView1)
        return;
    auto *w = new frmLogView1();
    QMdiSubWindow *sub = addMonitorWindow(w);
    w->loadPlace();
    sub->show();
}

void g_subOutputMonitorOpen()
{
    if (!g_frmMdi1 || g_frmOutputMonitor1)
        return;
    auto *w = new frmOutputMonitor1();
    QMdiSubWindow *sub = addMonitorWindow(w);
    w->loadPlace();
    sub->show();
}

static void setMenuSettingByMonitor()
{
    if (g_frmMdi1)
        g_frmMdi1->menu_Setting->setEnabled(g_intMonitorOn == 0);
}

void g_subMenuCommand(qint16 code)
{
    switch (code) {
    case 1:
        g_subFileNew();
        g_subMonitorWindowsRefresh();
        break;
    case 2:
        g_subFileOpen(QString());
        g_subMonitorWindowsRefresh();
        break;
    case 3: g_subFileSave(); break;
    case 4: g_subFileSaveAs(); break;
    case 5: g_subCsvOutput(); break;
    case 6: g_subDefFileSave(); break;
    case 11: g_subGraphToggle(); break;
    case 12:
        g_subAnaMoniOpen();
        if (g_frmMdi1)
            g_frmMdi1->subTbr_MonIn_Enable(g_intFormOpen[idDirect] != -1);
        break;
    case 13:
        if (g_intFormOpen[idLogFiler] != 0) {
            emit logFilerEvents().bringToFrontRequested();
        } else if (g_frmMdi1) {
            addMonitorWindow(new frmLogFiler1())->show();
            g_frmMdi1->subTbr_Logfiler_Enable(false);
        }
        break;
    case 14:
        if (g_intFormOpen[idLogView] != 0)
            g_subCloseChild(g_frmLogView1);
        else
            g_subLogViewOpen();
        break;
    case 15:
        if (g_intFormOpen[idOutputMonitor] != 0)
            g_subCloseChild(g_frmOutputMonitor1);
        else
            g_subOutputMonitorOpen();
        break;
    case 16: g_subTrendToggle(); break;
    case 17: g_subCompareWithController(); break;
    case 18: g_subSitesToggle(); break;
    case 21:
        if (g_frmMain1)
            g_frmMain1->hideText1();
        if (g_intConnectStatus == 1)
            break;
        g_subConnectCheck();
        setMenuSettingByMonitor();
        break;
    case 22:
        if (g_intConnectStatus != 0 && g_intMonitorOn != -1) {
            if (g_frmMain1)
                g_frmMain1->g_subCommUnConnect();
            setMenuSettingByMonitor();
        }
        break;
    case 31: {
        frmSetting1 dlg(g_frmMdi1);
        dlg.g_subfrmIni();
        dialogs().runModal(&dlg);
        if (g_frmMain1)
            g_frmMain1->subCommStatus_Change();
        break;
    }
    case 32: {
        frmColorSetting1 dlg(g_frmMdi1);
        dialogs().runModal(&dlg);
        break;
    }
    case 41: {
        frmSplash1 dlg(g_frmMdi1);
        dialogs().runModal(&dlg);
        break;
    }
    case 50:
        if (g_frmMdi1)
            g_frmMdi1->menuToolOpened();
        break;
    default: break;
    }
}

void g_subMenuEnd()
{
    if (g_frmMain1)
        g_frmMain1->requestClose();
}

void g_subHtmlOutputCommand() { g_subHtmlOutput(); }

void g_subPrintOut() { g_subSheetPrint(); }
