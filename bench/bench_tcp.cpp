// bench_tcp: a full read of the controller's 48 settings bytes through a device server's
// raw TCP port on 127.0.0.1 against the same read over a pseudo-terminal, the way the
// user runs it (the real frame and editor, the real clock, the program's own port).
// qelvo-ctrlsim serves both, paced at 9600 baud with no thinking time: on a pseudo-
// terminal bound to COM1, and with --tcp bound to COM2 by its address file. The reads
// alternate between the two lines, so a busy machine weighs on both alike.
//
// Prints the median wall time of each and their ratio (TCP / pseudo-terminal), which is
// 1.00 when the network adds nothing to the line's own pace. Goal: <= 1.05.
//   RESULT tcp_read_ratio <TCP median / pseudo-terminal median>
//
// qelvo-ctrlsim is taken from $QELVO_CTRLSIM, else ../tools/ctrlsim/qelvo-ctrlsim next to
// this program.
#include "BenchCommon.h"

#include "app/frmMdi1.h"
#include "app/modMenu.h"
#include "app/modStartup.h"
#include "core/modMain1.h"
#include "editor/frmMain1.h"
#include "link/frmCommMsg1.h"
#include "link/modLinkState.h"
#include "doubles/RecordingProcess.h"
#include "platform/MappedSerialPort.h"
#include "platform/Process.h"

#include <QProcess>
#include <QTcpServer>

#include <cstdio>

namespace {
constexpr int kRuns = 9;
// "L" CR, "L0001" CR, then 48 x ("R" hh CR, "R" dd CR).
constexpr int kReadBytes = 2 + 6 + 48 * (4 + 4);

// A port on 127.0.0.1 that nothing listens on.
quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// Connects COM n; true when the link is up.
bool connectCom(int n)
{
    if (g_intConnectStatus == 1)
        g_subMenuCommand(22);
    g_intCommPort = qint16(n);
    g_subMenuCommand(21);
    return g_intConnectStatus == 1;
}

// One read through the editor's button; its wall time in ms, or -1 when it went wrong.
double timedRead(ScriptedDialogs &dlg)
{
    g_intSaved = 1; // no question before the read
    const int boxes = int(dlg.boxes.size());
    const qint64 w0 = monoNs();
    g_frmMain1->Command1_Click(0);
    const double ms = (monoNs() - w0) / 1e6;
    if (dlg.unexpected != 0 || dlg.boxes.size() != boxes || g_frmCommMsg1 || g_intConnectStatus != 1)
        return -1;
    return ms;
}
} // namespace

int main(int argc, char *argv[])
{
    BenchProcess bench(argc, argv);
    if (!bench.ready)
        return 1;
    ScriptedDialogs &dlg = bench.dlg;
    RecordingProcess proc;
    MappedSerialPort port;
    installProcess(&proc);
    installSerialPort(&port);
    QProcess pty, tcp;
    pty.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    tcp.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const quint16 tcpPort = freePort();
    bool ok = seedDataFiles() && startCtrlsim(pty, {"--com", "1", "--quiet"}) &&
              startCtrlsim(tcp, {"--com", "2", "--quiet", "--tcp", QString::number(tcpPort)});
    if (!ok)
        fprintf(stderr, "the simulators did not start\n");
    if (ok) {
        Main();
        // The first read on each line opens files and windows for the first time.
        ok = connectCom(1) && timedRead(dlg) > 0 && connectCom(2) && timedRead(dlg) > 0;
    }
    QList<double> onPty, onTcp;
    for (int i = 0; ok && i < kRuns; ++i) {
        for (int n : {1, 2}) {
            const double ms = connectCom(n) ? timedRead(dlg) : -1;
            if (ms < 0) {
                ok = false;
                fprintf(stderr, "a read on COM%d did not end normally\n", n);
                break;
            }
            (n == 1 ? onPty : onTcp) << ms;
        }
    }
    if (ok) {
        const double lineMs = kReadBytes * 1000.0 / 960.0;
        const double p = medianOf(onPty), t = medianOf(onTcp);
        printf("full read of the 48 settings bytes, %d runs on each line alternately, platform %s\n", kRuns,
               qPrintable(QGuiApplication::platformName()));
        printf("  pseudo-terminal     median %7.1f ms (min %7.1f, max %7.1f), %.3f x the line time %.1f ms\n", p,
               *std::min_element(onPty.begin(), onPty.end()), *std::max_element(onPty.begin(), onPty.end()), p / lineMs,
               lineMs);
        printf("  raw TCP 127.0.0.1   median %7.1f ms (min %7.1f, max %7.1f), %.3f x the line time\n", t,
               *std::min_element(onTcp.begin(), onTcp.end()), *std::max_element(onTcp.begin(), onTcp.end()), t / lineMs);
        printf("  TCP / pseudo-terminal %.3f %s\n", t / p, t / p <= 1.05 ? "(goal 1.05 met)" : "(goal 1.05 MISSED)");
        printf("RESULT tcp_read_ratio %.3f\n", t / p);
    }
    if (dlg.unexpected != 0) {
        ok = false;
        fprintf(stderr, "unexpected boxes: %s\n", qPrintable(dlg.unexpectedWhat.join(QStringLiteral(" | "))));
    }
    delete g_frmMdi1;
    g_frmMdi1 = nullptr;
    delete g_frmMain1;
    g_frmMain1 = nullptr;
    port.setPortOpen(false);
    for (QProcess *sim : {&pty, &tcp}) {
        sim->terminate();
        sim->waitForFinished(3000);
    }
    installSerialPort(nullptr);
    installProcess(nullptr);
    if (!ok)
        printf("ERROR: the reads did not complete normally\n");
    return ok ? 0 : 1;
}
