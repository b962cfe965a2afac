#pragma once
// What the benchmarks share: the process with its private data folder, the clocks they
// measure with, medians, and (from the test support, header-only) the data files of a
// normal start and the start of qelvo-ctrlsim.
#include "../tests/support/Ctrlsim.h"
#include "../tests/support/DataFiles.h"

#include "doubles/PrivateHome.h"
#include "doubles/ScriptedDialogs.h"

#include <QApplication>
#include <QList>
#include <QTemporaryDir>

#include <algorithm>
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
