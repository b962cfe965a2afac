#pragma once
// What the benchmarks that talk to qelvo-ctrlsim share: the real port and a recorded
// process end installed, the data files of a normal start, the simulator on COM1; then
// the wall-clock waits and processor share they measure with, and the end that closes it
// all and tells whether the run went normally.
#include "BenchCommon.h"

#include "app/frmMdi1.h"
#include "editor/frmMain1.h"
#include "doubles/RecordingProcess.h"
#include "platform/QtSerialPort.h"

#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <cstdio>

struct BenchLink {
    RecordingProcess proc;
    QtSerialPort port;
    QProcess sim;

    // The simulator's level as a 20 s sine over the demo settings.
    static QStringList sineDemo()
    {
        return {QStringLiteral("--wave"), QStringLiteral("sine"), QStringLiteral("--period"), QStringLiteral("20"),
                QStringLiteral("--demo")};
    }

    // Installs the services, seeds the data folder and starts the simulator with
    // "--com 1 --quiet" and extra; false when any of it fails.
    bool start(const QStringList &extra = {})
    {
        installProcess(&proc);
        installSerialPort(&port);
        sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        return seedDataFiles() &&
               startCtrlsim(sim, QStringList{QStringLiteral("--com"), QStringLiteral("1"), QStringLiteral("--quiet")} + extra);
    }

    // Closes the windows, the port and the simulator; the process's exit code: 0 when ok
    // and no box came unexpected.
    int finish(bool ok, const ScriptedDialogs &dlg, const char *what)
    {
        if (dlg.unexpected != 0) {
            ok = false;
            fprintf(stderr, "unexpected boxes: %s\n", qPrintable(dlg.unexpectedWhat.join(QStringLiteral(" | "))));
        }
        delete g_frmMdi1;
        g_frmMdi1 = nullptr;
        delete g_frmMain1;
        g_frmMain1 = nullptr;
        port.setPortOpen(false);
        sim.terminate();
        sim.waitForFinished(3000);
        installSerialPort(nullptr);
        installProcess(nullptr);
        if (!ok)
            printf("ERROR: %s\n", what);
        return ok ? 0 : 1;
    }
};

// Lets the event loop run for ms of wall time.
inline void runFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop for ms and measures the process's processor time against it.
struct CpuShare {
    double wallMs = 0, cpuMs = 0, percent = 0;
};
inline CpuShare measureCpuShare(int ms)
{
    const qint64 w0 = monoNs(), c0 = cpuNs();
    runFor(ms);
    CpuShare s;
    s.wallMs = (monoNs() - w0) / 1e6;
    s.cpuMs = (cpuNs() - c0) / 1e6;
    s.percent = 100.0 * s.cpuMs / s.wallMs;
    return s;
}
