#include "app/modShutdown.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "fleet/SiteMonitor.h"
#include "link/modComm1.h"
#include "platform/Dialogs.h"
#include "platform/Process.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

static void endApplication(bool closePort)
{
    emit appEvents().ending();
    // The office view's sources: the broker left, the polled sites' ports closed.
    StopSiteMonitor();
    if (closePort)
        g_subCommPortClose();
    EndProcess();
}

bool g_funcAppCloseQuery()
{
    if (ProcessEnding())
        return true;
    emit appEvents().exitAsked();
    const QString caption = g_strAppTitle + QStringLiteral("の終了");
    if (g_intSaved == 1) {
        const QString text = QStringLiteral("     ") + g_strAppTitle + QStringLiteral("を終了します。") + vbCrLf +
                             QStringLiteral("     よろしいですか？                ") + vbCrLf + vbCrLf +
                             QStringLiteral("     [ OK ] 終了 / [ キャンセル ]  中止     ");
        if (MsgBox(text, vbOKCancel + vbExclamation, caption) != vbOK)
            return false;
        g_funcFormPosSave();
        endApplication(true);
        return true;
    }
    const QString text = g_strUserFileTitle + QStringLiteral(" の内容は変更されています。") + vbCrLf +
                         QStringLiteral("変更を保存しますか？") + vbCrLf;
    switch (MsgBox(text, vbYesNoCancel + vbExclamation, caption)) {
    case vbYes:
        // A save that failed or was cancelled keeps the tool open: nothing is lost.
        if (!g_funcFileSaveChecked())
            return false;
        g_funcFormPosSave();
        endApplication(true);
        return true;
    case vbNo:
        g_funcFormPosSave();
        endApplication(true);
        return true;
    default:
        return false;
    }
}
