// bench_monitor: the input monitor the way the user runs it (the real frame, windows,
// clock and QSerialPort) against qelvo-ctrlsim on a pseudo-terminal paced at 9600 baud
// with no thinking time.
//
// 1. Sampling every 20 ms for 10 s: readings stored per second against the 50 asked for.
//    A tick moves 14 bytes ("N" CR, "N" vvvv CR, "Y" CR, "Y" oo CR), so the line allows
//    about 68 a second. Goal: ratio >= 0.95.
// 2. Sampling every second for 30 s with the analog monitor, the present-value log and the
//    output monitor open: the tool's processor time as a share of one core. Goal: <= 1 %.
//
// Each figure also comes as "RESULT <name> <value>".
#include "BenchLink.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modComm1.h"
#include "monitor/frmDirect1.h"
#include "monitor/frmLogView1.h"
#include "monitor/frmOutputMonitor1.h"
#include "monitor/modMonitor1.h"

#include <QTimer>

namespace {
// Counts the readings the store announces.
struct ReadingCounter {
    int count = 0;
    QMetaObject::Connection c;
    ReadingCounter() { c = QObject::connect(&monitorEvents(), &MonitorEvents::readingStored, [this] { ++count; }); }
    ~ReadingCounter() { QObject::disconnect(c); }
};

bool startMonitor(int samplingMs)
{
    g_subSamplingTimeSet(samplingMs);
    g_frmDirect1->Command2[0]->click();
    return g_intMonitorOn == -1;
}

void stopMonitor()
{
    g_frmDirect1->Command2[1]->click();
    runFor(qMax(100, int(g_lngSamplingTime) * 2)); // the next tick ends the poll
}
} // namespace

int main(int argc, char *argv[])
{
    BenchProcess bench(argc, argv);
    if (!bench.ready)
        return 1;
    BenchLink link;
    if (!link.start(BenchLink::sineDemo()))
        return 1;
    Main();
    g_subMenuCommand(21);
    g_subMenuCommand(12);
    bool ok = g_intConnectStatus == 1 && g_frmDirect1 && bench.dlg.unexpected == 0;

    double ratio = 0, cpuShare = 0;
    if (ok) {
        // 1. 20 ms sampling for 10 s.
        ReadingCounter counter;
        ok = startMonitor(20);
        const qint64 w0 = monoNs();
        counter.count = 0;
        runFor(10000);
        const double seconds = (monoNs() - w0) / 1e9;
        const double perSecond = counter.count / seconds;
        ratio = perSecond / 50.0;
        stopMonitor();
        printf("20 ms sampling for %.1f s: %d readings = %.1f a second; asked 50, the line allows about %.0f;"
               " ratio %.3f %s\n",
               seconds, counter.count, perSecond, 960.0 / 14, ratio, ratio >= 0.95 ? "(goal met)" : "(goal 0.95 MISSED)");
        printf("RESULT monitor_20ms_ratio %.3f\n", ratio);
    }
    if (ok) {
        // 2. 1000 ms sampling for 30 s with the three windows open.
        g_subMenuCommand(14);
        g_subMenuCommand(15);
        ok = startMonitor(1000) && g_frmLogView1 && g_frmOutputMonitor1;
        runFor(1500); // settled
        const CpuShare cpu = measureCpuShare(30000);
        cpuShare = cpu.percent;
        stopMonitor();
        printf("1000 ms sampling for %.1f s with the analog monitor, the present-value log and the output monitor"
               " open: %.1f ms CPU = %.3f %% of one core %s\n",
               cpu.wallMs / 1000, cpu.cpuMs, cpuShare, cpuShare <= 1.0 ? "(goal met)" : "(goal 1 % MISSED)");
        printf("RESULT monitor_1000ms_cpu_percent %.3f\n", cpuShare);
    }
    return link.finish(ok, bench.dlg, "the monitor did not run normally");
}
