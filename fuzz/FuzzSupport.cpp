#include "FuzzSupport.h"

#include "core/modMain1.h"
#include "platform/Clock.h"
#include "doubles/PrivateHome.h"
#include "doubles/VirtualClock.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {
QString g_folder;

void removeFolder()
{
    if (!g_folder.isEmpty())
        QDir(g_folder).removeRecursively();
}

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}
} // namespace

void FuzzInit(int *argc, char ***argv)
{
    // Nothing a harness runs reaches the user's own folders, whatever the environment says.
    if (UsePrivateHome("qelvo-fuzz").empty())
        FuzzFail("no private home");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // Local time is UTC: the same results on every machine, and no time zone file looked
    // up on every conversion.
    qputenv("TZ", "UTC");
    tzset();
    qInstallMessageHandler(dropMessage);
    static QCoreApplication *app = new QCoreApplication(*argc, *argv); // lives as long as the process
    Q_UNUSED(app);

    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    QByteArray pattern = QByteArray(base) + "/qelvo-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data()))
        FuzzFail("no private data folder");
    g_folder = QString::fromLocal8Bit(pattern) + QLatin1Char('/');
    std::atexit(removeFolder);
    g_strDataPath = g_folder;

    static QuietDialogs quiet;
    installDialogs(&quiet);
    static VirtualClock clock;
    installClock(&clock);
}

const QString &FuzzDataFolder() { return g_folder; }

QString FuzzDataFile(const char *name) { return g_folder + QLatin1String(name); }

void FuzzWriteDataFile(const char *name, const uint8_t *data, size_t size)
{
    const QByteArray path = FuzzDataFile(name).toLocal8Bit();
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        FuzzFail("cannot open the input file");
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) {
            ::close(fd);
            FuzzFail("cannot write the input file");
        }
        done += size_t(n);
    }
    ::close(fd);
}

void FuzzFail(const char *what)
{
    std::fprintf(stderr, "==qelvo-fuzz== expectation failed: %s\n", what);
    std::fflush(stderr);
    std::abort();
}
