#pragma once
// What the benchmarks share: the process with its private data folder, the clocks they
// measure with, medians, and (from the test support, header-only) the data files of a
// normal start and the start of qelvo-ctrlsim.
#include "../tests/support/Ctrlsim.h"
#include "../tests/support/DataFiles.h"

#include "doubles/PrivateHome.h"
#include "doubles/ScriptedDialogs.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QList>
#include <QRandomGenerator>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <time.h>

// Gives the process a home of its own (HOME, the XDG folders and with them the data folder;
// PrivateHome), whatever the environment said, and, unless told otherwise, the offscreen
// platform; before the application object is made. home is the scratch folder of its files.
inline bool useBenchEnvironment(const QTemporaryDir &home)
{
    if (!home.isValid() || UsePrivateHome("qelvo-bench").empty())
        return false;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return true;
}

// A benchmark's process: that environment, the application object and scripted boxes
// (installed while it lives). Nothing runs unless ready.
struct BenchProcess {
    QTemporaryDir home;
    const bool ready = useBenchEnvironment(home);
    QApplication app;
    ScriptedDialogs dlg;

    BenchProcess(int &argc, char **argv) : app(argc, argv) { installDialogs(&dlg); }
    ~BenchProcess() { installDialogs(nullptr); }
};

inline qint64 clockNs(clockid_t which)
{
    timespec ts;
    clock_gettime(which, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}
// The processor time of the process and the wall time, in ns.
inline qint64 cpuNs() { return clockNs(CLOCK_PROCESS_CPUTIME_ID); }
inline qint64 monoNs() { return clockNs(CLOCK_MONOTONIC); }

inline double medianOf(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The median wall time in ms of runs calls of run; a call that returns false clears *ok.
inline double medianMs(int runs, const std::function<bool()> &run, bool *ok = nullptr)
{
    QList<double> ms;
    for (int i = 0; i < runs; ++i) {
        const qint64 t0 = monoNs();
        if (!run() && ok)
            *ok = false;
        ms << (monoNs() - t0) / 1e6;
    }
    return medianOf(ms);
}

// Runs the event loop for ms, or until done() holds (checked every 50 ms) or *stop is set.
inline bool spinEvents(int ms, const std::function<bool()> &done = {}, const bool *stop = nullptr)
{
    const qint64 end = monoNs() + qint64(ms) * 1000000;
    while (monoNs() < end && !(stop && *stop)) {
        if (done && done())
            return true;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done && done();
}

// mosquitto started on the configuration conf, its output discarded; true once it takes
// connections on 127.0.0.1:port (within 5 s).
inline bool startBenchBroker(QProcess &broker, const QString &mosquitto, const QString &conf, quint16 port)
{
    broker.setStandardOutputFile(QProcess::nullDevice());
    broker.setStandardErrorFile(QProcess::nullDevice());
    broker.start(mosquitto, {"-c", conf});
    QTcpSocket probe;
    return spinEvents(5000, [&] {
        probe.abort();
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(100);
    });
}

// The first of count free consecutive ports on 127.0.0.1; 0 when none were found.
inline quint16 freeLocalPorts(int count)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const quint16 base = quint16(QRandomGenerator::global()->bounded(20000, 60000 - count));
        bool all = true;
        for (int i = 0; all && i < count; ++i) {
            QTcpServer s;
            all = s.listen(QHostAddress::LocalHost, quint16(base + i));
        }
        if (all)
            return base;
    }
    return 0;
}

// A line "Key:   1234 kB" of /proc/<pid>/status (pid 0: this process), in MB; -1 when unread.
inline double procStatusMb(qint64 pid, const QByteArray &key)
{
    QFile f(pid ? QStringLiteral("/proc/%1/status").arg(pid) : QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

// Whether the built program at path (as BuiltProgram found it) can run; if not, says so and
// which variable names it.
inline bool builtProgramFound(const QString &path, const char *envVar)
{
    if (QFileInfo(path).isExecutable())
        return true;
    printf("ERROR: %s not found at %s (set %s)\n", qPrintable(QFileInfo(path).fileName()), qPrintable(path), envVar);
    return false;
}
