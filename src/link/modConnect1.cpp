// The connection state as the user sees it: the status bar, the link label's colour and
// the enabling of every command by state; connect, disconnect and the monitor's enabling.
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "monitor/modMonitor1.h"
#include "settings/frmMain1.h"
#include "shell/frmMdi1.h"
#include "shell/modMain1.h"

void frmMain1::subCommStatus_Change()
{
    frmMdi1 *f = g_frmMdi1;
    QString port;
    if (g_intCommPort == 100)
        port = QStringLiteral("ﾎﾟｰﾄ : 未設定");
    else if (g_intCommPort == 0)
        port = QStringLiteral("ﾎﾟｰﾄ : 使用不可");
    else
        port = QStringLiteral("ﾎﾟｰﾄ : COM") + QString::number(g_intCommPort);
    if (f)
        f->setStatusPanel(1, port);

    switch (g_intConnectStatus) {
    case 0:
        if (f) {
            f->setStatusPanel(2, QStringLiteral("状態 : 切断"));
            f->menu_Join->setEnabled(true);
            f->menu_Direct->setEnabled(false);
            f->menu_Setting->setEnabled(true);
            f->menu_Tool->setEnabled(true);
            f->menu_Help->setEnabled(true);
            f->menu_Unjoin->setVisible(false);
            f->Toolbar1->setEnabled(true);
            f->button.value(QStringLiteral("conect"))->setEnabled(true);
            f->button.value(QStringLiteral("unconect"))->setEnabled(false);
            f->subTbr_MonIn_Enable(false);
            f->subTbr_Connect_Enable(true);
            f->subTbr_Disconnect_Enable(false);
        }
        SetBackColor(Label1, QColor(255, 0, 0));
        Command2->setEnabled(false);
        Command1[0]->setEnabled(false);
        Command1[1]->setEnabled(false);
        closePosArea();
        break;
    case 1:
        if (f) {
            f->setStatusPanel(2, QStringLiteral("状態 : 接続中"));
            f->menu_Join->setEnabled(false);
            f->menu_Direct->setEnabled(g_intFormOpen[idDirect] != -1);
            f->menu_Setting->setEnabled(false);
            f->menu_Help->setEnabled(true);
            f->menu_Unjoin->setVisible(true);
            f->Toolbar1->setEnabled(true);
            f->button.value(QStringLiteral("conect"))->setEnabled(false);
            f->button.value(QStringLiteral("unconect"))->setEnabled(true);
            f->subTbr_MonIn_Enable(true);
            f->subTbr_Connect_Enable(false);
            f->subTbr_Disconnect_Enable(true);
        }
        SetBackColor(Label1, QColor(0, 255, 0));
        Command2->setEnabled(true);
        Command1[0]->setEnabled(true);
        Command1[1]->setEnabled(true);
        break;
    case 2:
        if (f) {
            f->setStatusPanel(2, QStringLiteral("状態 : 接続ﾁｪｯｸ中 "));
            f->menu_Join->setEnabled(false);
            f->menu_Direct->setEnabled(false);
            f->menu_Setting->setEnabled(false);
            f->menu_Help->setEnabled(false);
            f->Toolbar1->setEnabled(false);
            f->button.value(QStringLiteral("conect"))->setEnabled(false);
            f->button.value(QStringLiteral("unconect"))->setEnabled(true);
            f->subTbr_Connect_Enable(false);
        }
        SetBackColor(Label1, QColor(255, 255, 0));
        Command2->setEnabled(false);
        Command1[0]->setEnabled(false);
        Command1[1]->setEnabled(false);
        break;
    default:
        if (f) {
            f->setStatusPanel(2, QStringLiteral("状態 : 不明"));
            f->menu_Join->setEnabled(true);
            f->menu_Direct->setEnabled(false);
            f->menu_Setting->setEnabled(true);
            f->menu_Help->setEnabled(true);
            f->Toolbar1->setEnabled(true);
            f->button.value(QStringLiteral("conect"))->setEnabled(false);
            f->button.value(QStringLiteral("unconect"))->setEnabled(true);
        }
        SetBackColor(Label1, QColor(255, 0, 0));
        Command2->setEnabled(false);
        Command1[0]->setEnabled(false);
        Command1[1]->setEnabled(false);
        break;
    }
}

void frmMain1::g_subCommUnConnect()
{
    if (g_intMonitorOn == -1) {
        g_intMonitorStop = 1;
        g_intMonitorOn = 0;
        g_subChangeFrmEnable();
    }
    // The analog monitor window, when open, is closed here.
    g_intConnectStatus = 0;
    subCommStatus_Change();
    g_subCommPortClose();
}

void frmMain1::g_subChangeFrmEnable()
{
    if (g_intMonitorOn != -1 && g_intMonitorOn != 0)
        return;
    const bool on = g_intMonitorOn == 0;
    Label1->setEnabled(on);
    Command1[0]->setEnabled(on);
    Command1[1]->setEnabled(on);
    if (g_frmMdi1) {
        g_frmMdi1->menu_Direct->setEnabled(on);
        g_frmMdi1->menu_Setting->setEnabled(on);
        g_frmMdi1->menu_Unjoin->setEnabled(on);
    }
}

void frmMain1::setBusyLock(bool lock)
{
    const bool on = !lock;
    Command1[0]->setEnabled(on);
    Command1[1]->setEnabled(on);
    Label1->setEnabled(on);
    Command2->setEnabled(on);
    // The position output frame is locked while shown; unlocking always frees it, so a
    // panel closed during the lock does not come back dead.
    if (on || Frame1->isVisible())
        Frame1->setEnabled(on);
    setEnabled(on);
}
