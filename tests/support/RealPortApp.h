#pragma once
// The tool as main() starts it, with the program's own port (COM n opens what it is mapped
// to) and the real clock and event loop; only the boxes are scripted and the process end
// recorded. For suites that drive a real line: a device server, ser2net.
#include "support/AppFixture.h"

#include "platform/Clock.h"
#include "platform/MappedSerialPort.h"

struct RealPortApp {
    ScriptedDialogs dlg;
    RecordingProcess proc;
    MappedSerialPort port;

    RealPortApp()
    {
        installClock(nullptr);
        installDialogs(&dlg);
        installProcess(&proc);
        installSerialPort(&port);
        AppFixture::resetGlobals();
        AppFixture::wipeDataFolder();
        AppFixture::seedDataFolder(1);
    }
    ~RealPortApp()
    {
        AppFixture::closeWindows();
        port.setPortOpen(false);
        AppFixture::resetGlobals();
        installSerialPort(nullptr);
        installProcess(nullptr);
        installDialogs(nullptr);
    }
    // The boxes nobody expected, for a failure message.
    QByteArray unexpected() const { return dlg.unexpectedWhat.join(QStringLiteral(" | ")).toUtf8(); }
};
