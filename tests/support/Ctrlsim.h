#pragma once
// Starting qelvo-ctrlsim, the controller simulator on a pseudo-terminal: the program named
// by $QELVO_CTRLSIM, else ../tools/ctrlsim/qelvo-ctrlsim next to the running program.
// Header-only, so the benchmarks start it the same way.
#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

// A program of the build: the one the environment variable envVar names, else
// ../tools/<tool> next to the running program (tool: "cli/qelvo-cli").
inline QString BuiltProgram(const char *envVar, const QString &tool)
{
    const QString exe = qEnvironmentVariable(envVar);
    return exe.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/../tools/") + tool : exe;
}

// Starts the simulator with args (the caller sets the process's environment and channels
// first) and waits for its first line, the terminal it serves (or with --tcp and --rfc2217
// its address); the link (or the address file) exists by then.
// False when the program is missing or does not come up.
inline bool startCtrlsim(QProcess &sim, const QStringList &args)
{
    const QString exe = BuiltProgram("QELVO_CTRLSIM", QStringLiteral("ctrlsim/qelvo-ctrlsim"));
    if (!QFileInfo(exe).isExecutable()) {
        qWarning("qelvo-ctrlsim not found at %s (set QELVO_CTRLSIM)", qPrintable(exe));
        return false;
    }
    sim.start(exe, args);
    if (!sim.waitForStarted(3000))
        return false;
    while (!sim.canReadLine())
        if (!sim.waitForReadyRead(3000))
            return false;
    const QByteArray first = sim.readLine().trimmed();
    return first.startsWith("/dev/") || first.startsWith("tcp://127.0.0.1:") || first.startsWith("rfc2217://127.0.0.1:");
}

// Ends a helper process: asked to end, killed when it has not ended within 3 s.
inline void stopProcess(QProcess &p)
{
    if (p.state() == QProcess::NotRunning)
        return;
    p.terminate();
    if (!p.waitForFinished(3000))
        p.kill();
    p.waitForFinished(1000);
}
