#include "support/AppFixture.h"

#include "graph/modGraph1.h"
#include "link/modComm1.h"
#include "link/modProtocol.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "settings/frmMain1.h"
#include "settings/modUserData.h"
#include "shell/frmMdi1.h"
#include "shell/modIniFile.h"
#include "shell/modMain1.h"

#include <QDir>
#include <QFile>

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

QByteArray AppFixture::readFile(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray();
    return f.readAll();
}

void AppFixture::writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(bytes);
}

void AppFixture::seedDataFolder(int port)
{
    writeFile(dataFile(QStringLiteral("qvo.ini")), HexPad(port, 2).toLatin1() + "\r\n03E8\r\n\r\n");
    QByteArray def;
    for (int i = 0; i < kImageCells; ++i)
        def += '"' + HexPad(i, 4).toLatin1() + "\",\"" + (i == 0x2A ? "FF" : "00") + "\"\r\n";
    writeFile(dataFile(QStringLiteral("def.tmp")), def);
    QByteArray pos;
    for (int id = 0; id <= 30; ++id)
        pos += '"' + HexPad(id, 2).toLatin1() + ",00000000,00000000,00000000,00000000,00\"\r\n";
    writeFile(dataFile(QStringLiteral("frmst.tmp")), pos);
}

void AppFixture::startApp() { Main(); }

void AppFixture::stopApp()
{
    ReplyTimer().setEnabled(false);
    CommTimer().setEnabled(false);
    delete g_frmMdi1; // takes the editor with it
    g_frmMdi1 = nullptr;
    delete g_frmMain1;
    g_frmMain1 = nullptr;
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
    g_intCommBusy = 0;
    g_intConnectStatus = 0;
    g_strInPut.clear();
    g_intReplyTimeUp = 0;
    g_intCommTimeUp = 0;
    g_intCommStep = 0;
    g_intCommEnd = 0;
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
    g_intMonitorOn = 0;
    g_intMonitorStop = 0;
    g_intPollBusy = 0;
    g_subMonitorIni();
    SetDefaultColors();
}

QString boxText(const ScriptedDialogs::Box &b) { return b.caption + QStringLiteral(" / ") + b.text; }
