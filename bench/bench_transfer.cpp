// bench_transfer: a full read and a full write of the controller's 48 settings bytes, the
// way the user runs them (the real frame and editor, the real clock, QSerialPort), against
// qelvo-ctrlsim on a pseudo-terminal paced at 9600 baud with no thinking time.
//
// Prints the wall time, the processor time and their ratios: wall time against the time
// the bytes need on the line (960 bytes a second both ways), processor time as a share of
// the wall time. Goal: wall <= 1.10 x line, processor <= 20 %.
//
// A second pass runs the same transfers on a clock that wraps the real one and counts
// where the time goes: waits for the next event (by their limit: 2 ms is the transmit
// drain of g_funcCommOutPut and the check's idle pass, 1 ms the transfer loop's idle
// pass), event handling without waiting, and plain sleeps.
//
// qelvo-ctrlsim is taken from $QELVO_CTRLSIM, else ../tools/ctrlsim/qelvo-ctrlsim next to
// this program.
//
// Each ratio also comes as "RESULT <name> <value>".
#include "BenchLink.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "link/frmCommMsg1.h"
#include "link/modComm1.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "doubles/ScriptedDialogs.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"
#include "settings/modUserFile.h"

#include <QMap>

#include <cstdio>

namespace {
constexpr int kRuns = 5;
constexpr double kBytesPerSecond = 960.0;
// Read: "L" CR, "L0001" CR, then 48 x ("R" hh CR, "R" dd CR).
constexpr int kReadBytes = 2 + 6 + 48 * (4 + 4);
// Write: "L" CR, "L0001" CR, 48 x ("W" hh dd CR, "W" CR), "E" CR, "E" CR.
constexpr int kWriteBytes = 2 + 6 + 48 * (6 + 2) + 2 + 2;

// The real clock, with a tally of every wait and pump.
class ProfilingClock : public RealClock {
public:
    struct Tally {
        qint64 calls = 0;
        qint64 ns = 0;
    };
    QMap<QString, Tally> tally;
    void reset() { tally.clear(); }

    void sleep(int ms) override { timed(QStringLiteral("Sleep(%1)").arg(ms), [&] { RealClock::sleep(ms); }); }
    void doEvents() override { timed(QStringLiteral("DoEvents"), [&] { RealClock::doEvents(); }); }
    void waitForEvent(int ms) override
    {
        timed(QStringLiteral("WaitForEvent(%1)").arg(ms), [&] { RealClock::waitForEvent(ms); });
    }

private:
    template <class F>
    void timed(const QString &what, F f)
    {
        const qint64 t0 = monoNs();
        f();
        Tally &t = tally[what];
        ++t.calls;
        t.ns += monoNs() - t0;
    }
};

struct Run {
    double wallMs = 0;
    double cpuMs = 0;
};

// One read (dir 0) or write (dir 1) through the editor's button.
Run transfer(int dir, ScriptedDialogs &dlg, bool &ok)
{
    g_intSaved = 1; // no question before the read
    if (dir == 1)
        dlg.answers << vbOK; // "データは正常に書き込まれました。"
    const int boxes = int(dlg.boxes.size());
    const qint64 w0 = monoNs();
    const qint64 c0 = cpuNs();
    g_frmMain1->Command1_Click(dir);
    Run r{(monoNs() - w0) / 1e6, (cpuNs() - c0) / 1e6};
    const int expectBoxes = dir == 1 ? 1 : 0;
    if (dlg.unexpected != 0 || dlg.boxes.size() != boxes + expectBoxes || g_frmCommMsg1
        || g_intConnectStatus != 1) {
        ok = false;
        fprintf(stderr, "transfer %d did not end normally: %s\n", dir,
                qPrintable(dlg.unexpectedWhat.join(QStringLiteral(" | "))));
    }
    return r;
}

void report(const char *what, const char *result, QList<Run> runs, int bytes)
{
    const double lineMs = bytes * 1000.0 / kBytesPerSecond;
    QList<double> wall, cpu;
    for (const Run &r : runs) {
        wall << r.wallMs;
        cpu << r.cpuMs;
    }
    const double wallMs = medianOf(wall), cpuMs = medianOf(cpu);
    printf("%-6s %3d bytes, line time %6.1f ms | wall median %6.1f ms (min %6.1f, max %6.1f), ratio %.3f %s |"
           " CPU median %5.1f ms = %4.1f %% of wall %s\n",
           what, bytes, lineMs, wallMs, *std::min_element(wall.begin(), wall.end()),
           *std::max_element(wall.begin(), wall.end()), wallMs / lineMs,
           wallMs / lineMs <= 1.10 ? "(goal met)" : "(goal 1.10 MISSED)", cpuMs, 100.0 * cpuMs / wallMs,
           100.0 * cpuMs / wallMs <= 20 ? "(goal met)" : "(goal 20 % MISSED)");
    printf("RESULT %s %.3f\n", result, wallMs / lineMs);
}

void profile(const char *what, ProfilingClock &pc, const Run &r)
{
    printf("profile of one %s: wall %.1f ms, CPU %.1f ms\n", what, r.wallMs, r.cpuMs);
    qint64 inClock = 0;
    for (auto it = pc.tally.cbegin(); it != pc.tally.cend(); ++it) {
        inClock += it->ns;
        printf("  %-16s %6lld calls %8.1f ms  (%.3f ms each)\n", qPrintable(it.key()), it->calls, it->ns / 1e6,
               it->calls ? it->ns / 1e6 / it->calls : 0.0);
    }
    printf("  outside the clock (the tool's own work) %.1f ms\n", r.wallMs - inClock / 1e6);
}
// What the fixed steps around the address loop cost, each on its own (median of 5).
void parts()
{
    auto median = [](const std::function<void()> &f) { return medianMs(5, [&] { f(); return true; }); };
    printf("fixed steps of a transfer, each alone (median of 5):\n");
    printf("  g_subTempDataIni (65,536 cells)            %6.2f ms\n", median([] { g_subTempDataIni(); }));
    printf("  g_subTempToUser (65,536 cells)             %6.2f ms\n", median([] { g_subTempToUser(); }));
    printf("  g_funcTempDataSave (temp.tmp, QSaveFile)   %6.2f ms\n", median([] { g_funcTempDataSave(g_strTempFile); }));
    printf("  subFrmMainDataGet                          %6.2f ms\n", median([] { g_frmMain1->subFrmMainDataGet(); }));
    printf("  subFrmMainDataSet                          %6.2f ms\n", median([] { g_frmMain1->subFrmMainDataSet(nullptr); }));
    printf("  frame disabled and enabled again           %6.2f ms\n", median([] {
        g_frmMdi1->setEnabled(false);
        DoEvents();
        g_frmMdi1->setEnabled(true);
        g_frmMdi1->activateWindow();
        DoEvents();
    }));
    printf("  progress window made, shown, closed        %6.2f ms\n", median([] {
        auto *w = new frmCommMsg1();
        w->formIni();
        DoEvents();
        w->hide();
        w->deleteLater();
        DoEvents();
    }));
    printf("  Sleep(1)                                   %6.2f ms\n", median([] { Sleep(1); }));
    printf("  Sleep(2)                                   %6.2f ms\n", median([] { Sleep(2); }));
}
} // namespace

int main(int argc, char *argv[])
{
    BenchProcess bench(argc, argv);
    if (!bench.ready)
        return 1;
    ScriptedDialogs &dlg = bench.dlg;
    BenchLink link;
    if (!link.start())
        return 1;
    Main();
    g_subMenuCommand(21);
    bool ok = g_intConnectStatus == 1 && dlg.unexpected == 0;
    if (!ok)
        fprintf(stderr, "the connection check failed\n");

    QList<Run> reads, writes;
    if (ok) {
        transfer(0, dlg, ok); // the first run opens files and windows for the first time
        for (int i = 0; i < kRuns; ++i) {
            reads << transfer(0, dlg, ok);
            writes << transfer(1, dlg, ok);
        }
    }
    if (ok) {
        printf("full transfer over a pseudo-terminal at 9600 baud (qelvo-ctrlsim, no delay), %d runs each, platform %s\n",
               kRuns, qPrintable(QGuiApplication::platformName()));
        report("read", "transfer_read_ratio", reads, kReadBytes);
        report("write", "transfer_write_ratio", writes, kWriteBytes);

        ProfilingClock pc;
        installClock(&pc);
        pc.reset();
        const Run r = transfer(0, dlg, ok);
        profile("read", pc, r);
        pc.reset();
        const Run w = transfer(1, dlg, ok);
        profile("write", pc, w);
        installClock(nullptr);
        parts();
    }
    return link.finish(ok, dlg, "a transfer did not complete normally");
}
