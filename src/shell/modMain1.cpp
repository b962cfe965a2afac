#include "shell/modMain1.h"

#include "graph/modGraph1.h"
#include "link/modComm1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "settings/frmMain1.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"
#include "shell/frmMdi1.h"
#include "shell/modIniFile.h"
#include "shell/modMenu.h"

#include <QCoreApplication>

QString g_strAppPath;
QString g_strDataPath;
QString g_strVersion;
qint16 g_intStarting = 0;
const QString CR = QStringLiteral("\r");
const QString LF = QStringLiteral("\n");
const QString vbCrLf = QStringLiteral("\r\n");
qint16 g_intFormOpen[kFormIds] = {};

QString g_funcGetSpecialFolder(int folderId)
{
    QString p;
    if (folderId == 5)
        p = DocumentsFolder();
    else if (folderId == 26)
        p = AppDataFolder();
    if (p.isEmpty())
        return QString();
    return p.endsWith(QLatin1Char('/')) ? p : p + QLatin1Char('/');
}

QString DataFile(const QString &name) { return g_strDataPath + name; }

void g_subAppIni()
{
    g_strAppPath = QCoreApplication::applicationDirPath();
    const QString p = g_funcGetSpecialFolder(26);
    g_strDataPath = (p.endsWith(QLatin1Char('/')) ? p : p + QLatin1Char('/')) + QStringLiteral("Orvanelle/Qelvo/");
    // Nothing installs the data folder on this platform: make it, or no setting could ever be saved.
    EnsureFolder(g_strDataPath);
    g_strVersion = QStringLiteral("ver.%1.%2").arg(kVersionMajor).arg(kVersionMinor);
    g_intCommBusy = 0;
    g_intSaved = 0;
    g_dblScale = 0.0048875;
    for (qint16 &f : g_intFormOpen)
        f = 0;
    g_subMonitorIni();
    g_subTempDataIni();
    g_subUserDataIni();
    g_strTempFile = DataFile(QStringLiteral("temp.tmp"));
    g_strDefFile = DataFile(QStringLiteral("def.tmp"));
    if (!LoadColorFile())
        SetDefaultColors();
    if (!g_funcIniFileLoad()) {
        g_intCommPort = 100;
        g_lngSamplingTime = 1000;
        g_strUserFile.clear();
    }
    if (!g_funcUserDataLoad(g_strDefFile))
        g_subUserDataIni();
}

void g_subCaptionSet()
{
    if (g_frmMain1) {
        const QString title = QStringLiteral("ﾃﾞｰﾀ設定ﾊﾟﾈﾙ");
        g_frmMain1->setCaption(g_strUserFileTitle.isEmpty() ? title : g_strUserFileTitle + QStringLiteral(" - ") + title);
    }
    if (g_frmMdi1)
        g_frmMdi1->setWindowTitle(g_strAppTitle + QStringLiteral(" - ") + g_strVersion);
}

void Main()
{
    g_intStarting = 1;
    g_subAppIni();
    g_funcFormPosLoad();
    g_frmMdi1 = new frmMdi1();
    g_frmMdi1->g_subfrmIni();
    g_frmMain1 = new frmMain1();
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
        g_strUserFileTitle = QStringLiteral("新規") + QStringLiteral(".qvd");
        const QString docs = g_funcGetSpecialFolder(5);
        g_strUserFile = (docs.isEmpty() ? g_strAppPath + QLatin1Char('/') : docs) + g_strUserFileTitle;
        g_subCaptionSet();
    }
    g_intStarting = 0;
}

static void endApplication(bool closePort)
{
    if (g_frmMain1)
        g_frmMain1->hideWindow();
    if (g_frmMdi1)
        g_frmMdi1->hide();
    if (closePort)
        g_subCommPortClose();
    EndProcess();
}

bool g_funcAppCloseQuery()
{
    if (ProcessEnding())
        return true;
    if (g_frmMdi1 && g_frmMdi1->isMinimized())
        g_frmMdi1->showNormal();
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
