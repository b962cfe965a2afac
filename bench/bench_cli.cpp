// bench_cli: qelvo-cli reading the settings of eight controllers with one command, against
// reading one. Eight qelvo-ctrlsim on pseudo-terminals (COM1 to COM8, 9600 baud, no
// thinking time); each run is the whole program as a script starts it: "qelvo-cli read COM1
// -o FILE" and "qelvo-cli read COM1 ... COM8 -o DIR" (one session per port, in one process).
//
// Prints the median wall times of five runs each and their ratio. Goal: eight take at
// most 1.3 times the time of one. The line alone needs 392 bytes at 960 bytes a second
// (408 ms) for a read.
//
// qelvo-cli is taken from $QELVO_CLI, else ../tools/cli/qelvo-cli next to this program;
// qelvo-ctrlsim as the other benchmarks take it. Each figure also comes as "RESULT <name>
// <value>".
#include "BenchCommon.h"

#include "platform/ComPorts.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <memory>
#include <vector>

namespace {
constexpr int kRuns = 5;
constexpr int kPorts = 8;

QString cliProgram()
{ return BuiltProgram("QELVO_CLI", QStringLiteral("cli/qelvo-cli")); }

bool runCli(const QStringList &args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(cliProgram(), args);
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}
} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    if (!useBenchEnvironment(home))
        return 1;
    QCoreApplication app(argc, argv);
    if (!builtProgramFound(cliProgram(), "QELVO_CLI"))
        return 1;
    std::vector<std::unique_ptr<QProcess>> sims;
    QStringList all{QStringLiteral("read")};
    for (int n = 1; n <= kPorts; ++n) {
        sims.push_back(std::make_unique<QProcess>());
        sims.back()->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        if (!startCtrlsim(*sims.back(), {QStringLiteral("--com"), QString::number(n), QStringLiteral("--quiet"),
                                         QStringLiteral("--demo")})) {
            printf("ERROR: qelvo-ctrlsim on COM%d did not start\n", n);
            return 1;
        }
        all << QStringLiteral("COM%1").arg(n);
    }
    const QString one = home.filePath(QStringLiteral("one.qvd"));
    const QString dir = home.filePath(QStringLiteral("eight"));
    all << QStringLiteral("-o") << dir;

    bool ok = runCli({QStringLiteral("read"), QStringLiteral("COM1"), QStringLiteral("-o"), one}); // warm the caches
    const double t1 = medianMs(kRuns, [&] { return runCli({QStringLiteral("read"), QStringLiteral("COM1"), QStringLiteral("-o"), one}); }, &ok);
    const double t8 = medianMs(kRuns, [&] { return runCli(all); }, &ok);
    for (auto &s : sims) {
        s->terminate();
        s->waitForFinished(3000);
    }
    if (!ok) {
        printf("ERROR: a qelvo-cli run failed\n");
        return 1;
    }
    printf("qelvo-cli read, one port:    %.0f ms (median of %d)\n", t1, kRuns);
    printf("qelvo-cli read, eight ports: %.0f ms (median of %d)\n", t8, kRuns);
    printf("eight against one: %.2f (goal <= 1.15)\n", t8 / t1);
    printf("RESULT cli_read1_ms %.0f\n", t1);
    printf("RESULT cli_read8_ms %.0f\n", t8);
    printf("RESULT cli_read8_ratio %.3f\n", t8 / t1);
    return 0;
}
