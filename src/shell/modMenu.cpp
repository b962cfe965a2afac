#include "shell/modMenu.h"

#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "monitor/modMonitor1.h"
#include "platform/Dialogs.h"
#include "settings/frmMain1.h"
#include "settings/modOutput.h"
#include "settings/modUserFile.h"
#include "shell/frmMdi1.h"
#include "shell/frmSetting1.h"
#include "shell/frmSplash1.h"
#include "shell/modMain1.h"

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
    case 41: {
        frmSplash1 dlg(g_frmMdi1);
        dialogs().runModal(&dlg);
        break;
    }
    case 50:
        if (g_frmMdi1)
            g_frmMdi1->menuToolOpened();
        break;
    default:
        // 11 to 15 and 32 open the monitoring, log filer and colour windows.
        break;
    }
}

void g_subMenuEnd()
{
    if (g_frmMain1)
        g_frmMain1->requestClose();
}

void g_subHtmlOutputCommand() { g_subHtmlOutput(); }

void g_subPrintOut() { MsgBox(QStringLiteral("print"), vbOKOnly, QStringLiteral("印刷")); }
