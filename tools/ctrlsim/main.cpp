// qelvo-ctrlsim: the water-level comparator controller on a pseudo-terminal, or behind a
// device server's TCP port on this computer.
//
// Opens a pseudo-terminal (or listens on 127.0.0.1), prints its device path (or its
// address) on the first line of stdout, binds it to a COM number through
// <data folder>/ports/COM<n> and then plays the controller: it reads the host's command
// lines, answers them through CtrlModel and sends every byte at the moment a 9600-baud
// line would deliver it. One thread, one ppoll() loop.
#include "ctrlmodel/CtrlModel.h"
#include "platform/Rfc2217.h"

#include "qelvo_version.h"

#include <QByteArray>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <arpa/inet.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

const char kHelp[] = R"(qelvo-ctrlsim - a water-level comparator controller simulated on this computer

WHAT IT IS
  A stand-in for the controller, for demonstrations, training and tests. It creates a
  pseudo-terminal (a serial port that exists only in software), binds it to a COM
  number and answers Qelvo exactly as the controller does on a 9600-baud line: the
  settings memory can be read and written, the input level follows a waveform of your
  choice and the eight outputs switch from it like the real comparator.

HOW TO USE IT
  1. Start it:            qelvo-ctrlsim --com 3 --wave sine --period 30
     The first line it prints is the terminal device (for example /dev/pts/4). It also
     creates the link  ~/.config/Orvanelle/Qelvo/ports/COM3  pointing at that device
     (the folder follows XDG_CONFIG_HOME).
  2. In Qelvo, choose COM3 in the port settings and connect. Read, write, the input
     monitor and the log filer all work against the simulator.
  3. Stop it with Ctrl+C. The COM3 link is removed (COM3 then means /dev/ttyS2 again).
  A COM link always wins over the built-in device names (COM1-32 = /dev/ttyS0-31,
  COM33-64 = /dev/ttyUSB0-31, COM65-96 = /dev/ttyACM0-31); you can bind a real USB
  adapter the same way:  ln -s /dev/ttyUSB0 ~/.config/Orvanelle/Qelvo/ports/COM5

A CONTROLLER AT A REMOTE SITE
  qelvo-ctrlsim --tcp 4001 --com 5       serves the controller on 127.0.0.1:4001 as a
                                         device server's raw TCP port
  qelvo-ctrlsim --rfc2217 4002 --com 6   the same with Telnet COM port control (RFC 2217)
  qelvo-ctrlsim --tcp 5000-5099 --wave sine
                                         100 controllers in one process, on ports 5000 to
                                         5099, each with its own memory and level; the
                                         waveform of controller i (counted from 0) runs
                                         i x period / 100 ahead, so no two show the same
                                         level. Prints one address a line.
  Instead of a link, the file ~/.config/Orvanelle/Qelvo/ports/COM5 then holds the line
  tcp://127.0.0.1:4001 (or rfc2217://127.0.0.1:4002), the way a real site is bound. One
  client at a time; when it disconnects the next one may connect. The bytes keep the
  pace of the 9600-baud line.

OPTIONS
  --com N             COM number to bind, 1-99 (default 1). An old link is replaced (and
                      with --tcp or --rfc2217 an old file that maps to this computer).
  --tcp PORT          serve on 127.0.0.1:PORT as raw TCP instead of a pseudo-terminal
  --rfc2217 PORT      serve on 127.0.0.1:PORT with Telnet COM port control (RFC 2217)
  --tcp FIRST-LAST    serve one controller on each port from FIRST to LAST (at most 1000),
  --rfc2217 FIRST-LAST  every option applying to each. COM numbers are bound only when
                      --com N is given: N for the first port, N+1 for the next ... (at most
                      COM99). A controller that hangs up leaves; the others go on.
  --wave KIND         input level over time, in counts 0-1023 (1023 = full scale):
                        constant   stays at --level (default)
                        ramp       rises 0 -> 1023 over one period, then starts again
                        sine       swings 0 -> 1023 -> 0 once per period
                        steps      0, 256, 512, 768, 1023, 768, 512, 256, each for 1/8 period
                        file:PATH  counts from a text file, one per line ('#' = comment),
                                   played evenly over one period and repeated
  --level COUNTS      level of the constant waveform (default 512, half scale)
  --period SECONDS    length of one waveform cycle (default 60)
  --delay MS          the controller's thinking time before each answer (default 0)
  --fault NAME[:N]    misbehave on purpose (see FAULTS)
  --hangup-after N    answer N command lines, then drop the line when the next one
                      comes in (the device "goes away" in the middle of an exchange)
  --demo              start with eight staggered windows in the settings memory (output n
                      from 128(n-1) to 128(n-1)+191 counts, hysteresis 8), so the outputs
                      take turns as the level sweeps; otherwise the memory starts blank
  --log               print every command line received and the answer on stderr
  --quiet             print only the device path
  --help              this text
  --version           the version

COMMANDS IT ANSWERS (each line ends with CR; letters may be lower case)
  L             -> L0001          connection check
  Rhh           -> Rdd            read settings cell hh (00-FF)
  Whhdd         -> W              write dd into cell hh
  E             -> E              end of write
  N             -> Nvvvv          input level, 4 hex digits (0000-03FF)
  Y             -> Yoo            output state, bit 0 = output 1 ... bit 7 = output 8
  Nc            -> Ncvvvv         analog channel c (0-9): the value last set with D on that
                                  channel (outputs are looped back), else the input level
  Dcvvvv        -> D              set analog output c to vvvv (hex)
  Pabcd         -> P0             position output, a-d each 0-7
  anything else -> ?
  At power-up every cell is 00 except cell 2A = FF.

HOW THE OUTPUTS SWITCH
  Output n (1-8) has a window made of two 16-bit counts, low byte first:
    ChMin in cells 4(n-1), 4(n-1)+1 and ChMax in cells 4(n-1)+2, 4(n-1)+3
  (output 1: cells 00-03, output 2: 04-07 ... output 8: 1C-1F).
  Hysteresis H is the 16-bit count in cells 28-29; RelayMode is cell 2B.
  Each time the output state is asked for ("Y"):
    - the contact closes when ChMin <= level <= ChMax;
    - while the level is outside the window but no more than H counts away from it
      (ChMin-H <= level < ChMin or ChMax < level <= ChMax+H) the contact keeps its
      previous state, so it does not chatter at the edges;
    - otherwise the contact opens.
  Then the bit of output n is inverted when bit n-1 of RelayMode is set (NC contact).
  At power-up every contact is open. The input code in cell 2D (00-04) only changes how
  Qelvo shows the level (03 and 04 are the distance modes: full scale minus the value);
  the simulator always compares counts.

FAULTS (--fault NAME[:N])
  silence        no answers at all (the controller is off or the cable is out)
  question       every answer is "?" (the controller refuses every command)
  slow[:MS]      every answer comes MS ms late (default 2000: past the 1-second retry)
  garbage[:N]    N random characters that are no answer, then CR (default 6)
  split[:MS]     every answer is sent in two halves, MS ms apart (default 50)
  flood[:N]      N characters without CR instead of each answer (default 100);
  flood:stream   characters without CR sent non-stop, whether asked or not
  hangup[:N]     same as --hangup-after N (default 0: drop at the first command)
  stall[:MS]     from the next command on, answer nothing for MS ms (default 25000), then
                 send every answer held back at once, in one burst, and answer as before
  Under silence, question, garbage and flood the controller does not act on commands
  (a W is not stored).

Every byte leaves at the pace of a 9600-baud line (about 1.04 ms a byte), and the
simulator also counts the time the host's bytes would take to arrive.
)";

volatile sig_atomic_t g_stop = 0;
void onSignal(int) { g_stop = 1; }

qint64 monoNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

QByteArray printable(const QByteArray &b)
{
    QByteArray s;
    for (char c : b) {
        if (c == '\r')
            s += "<CR>";
        else if (uchar(c) < 0x20 || uchar(c) > 0x7E)
            s += "<" + QByteArray::number(uchar(c), 16).toUpper().rightJustified(2, '0') + ">";
        else
            s += c;
    }
    return s;
}

[[noreturn]] void fail(const QString &msg)
{
    fprintf(stderr, "qelvo-ctrlsim: %s\n", qPrintable(msg));
    exit(2);
}

struct Options {
    int com = 1;
    qint64 delayMs = 0;
    int hangupAfter = -1;
    bool quiet = false;
    bool log = false;
    int tcpPort = 0;      // serve on 127.0.0.1:tcpPort instead of a pseudo-terminal
    int tcpLast = 0;      // ... up to this port, one controller on each
    bool telnet = false;  // with RFC 2217
    bool comGiven = false;
    int count() const { return tcpPort ? tcpLast - tcpPort + 1 : 1; }
};

// One process serves at most this many controllers (two descriptors each).
constexpr int kMaxControllers = 1000;

Options parse(const QStringList &args, CtrlModel &model)
{
    QCommandLineParser parser;
    const auto valued = [](const char *name) {
        return QCommandLineOption(QString::fromLatin1(name), QString(), QStringLiteral("value"));
    };
    parser.addOptions({QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")}, QString()),
                       QCommandLineOption({QStringLiteral("v"), QStringLiteral("version")}, QString()),
                       valued("com"), valued("wave"), valued("level"), valued("period"), valued("delay"),
                       valued("fault"), valued("hangup-after"), valued("tcp"), valued("rfc2217"),
                       QCommandLineOption(QStringLiteral("quiet"), QString()),
                       QCommandLineOption(QStringLiteral("log"), QString()),
                       QCommandLineOption(QStringLiteral("demo"), QString())});
    const bool parsed = parser.parse(args);
    if (parser.isSet(QStringLiteral("help"))) {
        fputs(kHelp, stdout);
        exit(0);
    }
    if (parser.isSet(QStringLiteral("version"))) {
        printf("qelvo-ctrlsim %s\n", QELVO_VERSION);
        exit(0);
    }
    if (!parser.unknownOptionNames().isEmpty()) {
        const QString name = parser.unknownOptionNames().constFirst();
        fail(QStringLiteral("unknown option %1%2 (see --help)").arg(name.size() == 1 ? "-" : "--", name));
    }
    if (!parsed) {
        QString err = parser.errorText();
        if (err.endsWith(QLatin1Char('.')))
            err.chop(1);
        fail(err + QStringLiteral(" (see --help)"));
    }
    if (!parser.positionalArguments().isEmpty())
        fail(QStringLiteral("unknown option %1 (see --help)").arg(parser.positionalArguments().constFirst()));

    Options o;
    QString wave = QStringLiteral("constant");
    int level = 512;
    double period = 60;
    // The options take effect in command-line order: the last of a repeated option wins,
    // every --fault is applied in turn and --hangup-after and --fault hangup override
    // each other.
    QHash<QString, int> taken;
    for (const QString &name : parser.optionNames()) {
        const QString value = parser.values(name).value(taken[name]++);
        auto number = [&](double lo, double hi) {
            bool ok = false;
            const double d = value.toDouble(&ok);
            if (!ok || d < lo || d > hi)
                fail(QStringLiteral("--%1 %2: expected a number from %3 to %4").arg(name, value).arg(lo).arg(hi));
            return d;
        };
        if (name == QLatin1String("com")) {
            o.com = int(number(1, 99));
            o.comGiven = true;
        } else if (name == QLatin1String("wave")) {
            wave = value;
        } else if (name == QLatin1String("level")) {
            level = int(number(0, CtrlModel::MaxCount));
        } else if (name == QLatin1String("period")) {
            period = number(0.01, 1e6);
        } else if (name == QLatin1String("delay")) {
            o.delayMs = qint64(number(0, 600000));
        } else if (name == QLatin1String("fault")) {
            CtrlModel::Fault f;
            int p = 0;
            QString err;
            if (!CtrlModel::parseFault(value, &f, &p, &err))
                fail(err + QStringLiteral(" (see --help)"));
            if (f == CtrlModel::Fault::HangUp)
                o.hangupAfter = p;
            else
                model.setFault(f, p);
        } else if (name == QLatin1String("tcp") || name == QLatin1String("rfc2217")) {
            if (o.tcpPort != 0)
                fail(QStringLiteral("--tcp and --rfc2217 serve one port: give one of them, once"));
            o.telnet = name == QLatin1String("rfc2217");
            static const QRegularExpression range(QStringLiteral("^([0-9]{1,5})-([0-9]{1,5})$"));
            const QRegularExpressionMatch m = range.match(value);
            if (m.hasMatch()) {
                o.tcpPort = m.captured(1).toInt();
                o.tcpLast = m.captured(2).toInt();
                if (o.tcpPort < 1 || o.tcpLast > 65535 || o.tcpPort > o.tcpLast || o.tcpLast - o.tcpPort >= kMaxControllers)
                    fail(QStringLiteral("--%1 %2: expected FIRST-LAST with 1 <= FIRST <= LAST <= 65535, at most %3 ports")
                             .arg(name, value).arg(kMaxControllers));
            } else {
                o.tcpPort = o.tcpLast = int(number(1, 65535));
            }
        } else if (name == QLatin1String("hangup-after")) {
            o.hangupAfter = int(number(0, 1e9));
        } else if (name == QLatin1String("quiet")) {
            o.quiet = true;
        } else if (name == QLatin1String("log")) {
            o.log = true;
        } else if (name == QLatin1String("demo")) {
            model.loadDemoSettings();
        }
    }
    QString err;
    if (!model.parseWave(wave, &err))
        fail(err);
    model.setLevel(level);
    model.setPeriodUs(qint64(period * 1e6));
    model.setAnswerDelayUs(o.delayMs * 1000);
    if (o.comGiven && o.com + o.count() - 1 > 99)
        fail(QStringLiteral("--com %1 with %2 controllers goes past COM99").arg(o.com).arg(o.count()));
    return o;
}

// One controller: its model, its line (a pseudo-terminal, or a listening port and one
// client) and the bytes on their way.
class Simulator {
public:
    // Controller index of the process's o.count(): its port is o.tcpPort + index, its COM
    // number o.com + index (bound only for one controller or with --com), and its waveform
    // runs index x period / count ahead.
    Simulator(const CtrlModel &model, const Options &o, int index)
        : m_model(model), m_opt(o), m_port(o.tcpPort ? o.tcpPort + index : 0),
          m_com(o.count() == 1 || o.comGiven ? o.com + index : 0),
          m_phaseUs(model.periodUs() * index / o.count()),
          m_tag(o.count() > 1 ? QStringLiteral("[%1] ").arg(m_port).toStdString() : std::string())
    {
        m_model.seed(20260105u + quint32(index));
    }
    ~Simulator() { shutdown(); }

    void openTerminal()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            fail(QStringLiteral("cannot create a pseudo-terminal: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        // Raw at once: otherwise the line echoes what it is sent and turns CR into LF.
        termios tio;
        tcgetattr(m_master, &tio);
        cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(m_master, TCSANOW, &tio);
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_slavePath = QString::fromLocal8Bit(ptsname(m_master));
        // Our own hold on the slave keeps the terminal alive between clients, so a client
        // that closes does not leave the master in hang-up.
        m_slave = ::open(ptsname(m_master), O_RDWR | O_NOCTTY);
        if (m_slave < 0)
            fail(QStringLiteral("cannot open %1: %2").arg(m_slavePath, QString::fromLocal8Bit(strerror(errno))));
    }

    // Listens on 127.0.0.1 for the tool, as a device server's network port does.
    void listenTcp()
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(m_port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(m_listen, 4) != 0)
            fail(QStringLiteral("cannot listen on 127.0.0.1:%1: %2").arg(m_port).arg(QString::fromLocal8Bit(strerror(errno))));
        m_slavePath = QStringLiteral("%1://127.0.0.1:%2").arg(m_opt.telnet ? "rfc2217" : "tcp").arg(m_port);
    }

    void bind()
    {
        if (m_com == 0)
            return;
        QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
        const QString folder = base + QStringLiteral("/Orvanelle/Qelvo/ports");
        if (!QDir().mkpath(folder))
            fail(QStringLiteral("cannot create %1").arg(folder));
        m_link = folder + QStringLiteral("/COM%1").arg(m_com);
        const QFileInfo old(m_link);
        if (old.isSymLink() || old.exists()) {
            if (!old.isSymLink() && !(tcp() && mapsToThisComputer(m_link)))
                fail(QStringLiteral("%1 exists and is not a link%2; not replacing it")
                         .arg(m_link, tcp() ? QStringLiteral(" or an address on this computer") : QString()));
            QFile::remove(m_link);
        }
        if (tcp()) {
            // The address file a site is bound with.
            QFile f(m_link);
            if (!f.open(QIODevice::WriteOnly) || f.write(m_slavePath.toLatin1() + '\n') < 0)
                fail(QStringLiteral("cannot create %1: %2").arg(m_link, f.errorString()));
            return;
        }
        if (::symlink(QFile::encodeName(m_slavePath).constData(), QFile::encodeName(m_link).constData()) != 0)
            fail(QStringLiteral("cannot create %1: %2").arg(m_link, QString::fromLocal8Bit(strerror(errno))));
    }

    void announce()
    {
        printf("%s\n", qPrintable(m_slavePath));
        fflush(stdout);
        if (m_opt.quiet || m_opt.count() > 1)
            return;
        fprintf(stderr, "qelvo-ctrlsim: controller on %s%s, bound to COM%d (%s)\n", qPrintable(m_slavePath),
                tcp() ? (m_opt.telnet ? " (Telnet COM port control)" : " (raw TCP)") : "", m_opt.com, qPrintable(m_link));
        static const char *waves[] = {"constant", "ramp", "sine", "steps", "file"};
        fprintf(stderr, "  input %s (level %d, period %.2f s), answer delay %lld ms, fault %s",
                waves[int(m_model.wave())], m_model.baseLevel(), m_model.periodUs() / 1e6,
                m_opt.delayMs, qPrintable(CtrlModel::faultName(m_model.fault())));
        if (m_model.streaming())
            fprintf(stderr, ":stream");
        else if (m_model.fault() != CtrlModel::Fault::None)
            fprintf(stderr, ":%d", m_model.faultParam());
        if (m_opt.hangupAfter >= 0)
            fprintf(stderr, ", hang-up after %d lines", m_opt.hangupAfter);
        fprintf(stderr, "\n  Choose COM%d in Qelvo. Ctrl+C stops the simulator.\n", m_opt.com);
    }

    // The descriptors to wait on (none once the line has gone away).
    int pollFds(pollfd *out) const
    {
        if (m_gone)
            return 0;
        out[0] = {tcp() ? m_client : m_master, POLLIN, 0};
        if (!tcp())
            return 1;
        out[1] = {m_listen, POLLIN, 0};
        return 2;
    }

    // When the line next needs attention without a byte coming in; -1: never.
    qint64 wakeNs() const
    {
        if (m_gone)
            return -1;
        qint64 wake = m_tx.empty() ? -1 : m_tx.front().dueNs;
        if (m_hangupAtNs >= 0 && (wake < 0 || m_hangupAtNs < wake))
            wake = m_hangupAtNs;
        return wake;
    }

    // Sends what is due; false once the line has gone away (the hang-up fault).
    bool step(qint64 now)
    {
        if (m_gone)
            return false;
        transmit(now);
        if (m_hangupAtNs >= 0 && now >= m_hangupAtNs) {
            if (!m_opt.quiet)
                fprintf(stderr, "qelvo-ctrlsim: %sline dropped (hang-up) after %d lines\n", m_tag.c_str(), m_model.frameCount() - 1);
            m_gone = true;
            if (m_client >= 0)
                ::close(m_client);
            if (m_listen >= 0)
                ::close(m_listen);
            m_client = m_listen = -1;
            return false;
        }
        return true;
    }

    void handle(const pollfd *pfd)
    {
        if (pfd[0].fd >= 0 && (pfd[0].revents & (POLLIN | POLLHUP | POLLERR)))
            receive();
        if (tcp() && (pfd[1].revents & POLLIN))
            accept();
    }

    int frameCount() const { return m_model.frameCount(); }

    void shutdown()
    {
        if (!m_link.isEmpty()) {
            // Only our own link: another simulator may have taken the number since.
            if (tcp() ? readSmall(m_link).trimmed() == m_slavePath.toLatin1()
                      : (QFileInfo(m_link).symLinkTarget() == QFileInfo(m_slavePath).absoluteFilePath()
                         || QFile::symLinkTarget(m_link) == m_slavePath))
                QFile::remove(m_link);
            m_link.clear();
        }
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
        if (m_client >= 0)
            ::close(m_client);
        if (m_listen >= 0)
            ::close(m_listen);
        m_master = m_slave = m_client = m_listen = -1;
    }

    bool tcp() const { return m_port != 0; }

private:
    struct Pending {
        qint64 dueNs;
        char byte;
    };

    static QByteArray readSmall(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.read(4096) : QByteArray();
    }

    // A file whose one line is an address on 127.0.0.1, localhost or ::1 (a simulator's).
    static bool mapsToThisComputer(const QString &path)
    {
        const QByteArray t = readSmall(path).trimmed();
        const int sep = t.indexOf("://");
        if (sep < 0 || t.contains('\n'))
            return false;
        const QByteArray rest = t.mid(sep + 3);
        return rest.startsWith("127.0.0.1:") || rest.startsWith("localhost:") || rest.startsWith("[::1]:");
    }

    void accept()
    {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        if (m_client >= 0) {
            // One client at a time, as on a serial line.
            ::close(fd);
            return;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        m_client = fd;
        lineReset();
        if (m_opt.telnet) {
            m_telnet = std::make_unique<Rfc2217Server>();
            sendNow(m_telnet->start());
        }
        if (!m_opt.quiet)
            fprintf(stderr, "qelvo-ctrlsim: %sclient connected\n", m_tag.c_str());
    }

    void disconnectClient()
    {
        ::close(m_client);
        m_client = -1;
        m_telnet.reset();
        lineReset();
        if (!m_opt.quiet)
            fprintf(stderr, "qelvo-ctrlsim: %sclient disconnected\n", m_tag.c_str());
    }

    // A new client finds a quiet line: no half frame, nothing left to send.
    void lineReset()
    {
        m_line.clear();
        m_model.resetLine();
        m_tx.clear();
    }

    // Telnet answers go out at once; they are not on the serial line.
    void sendNow(const QByteArray &bytes)
    {
        if (m_client >= 0 && !bytes.isEmpty())
            (void)::send(m_client, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
    }

    // Reads what the host sent: from the terminal, or from the client through Telnet; at
    // most kReadPerWake bytes a wake, so a client that floods cannot hold the line up.
    static constexpr qsizetype kReadPerWake = 64 * 1024;
    QByteArray readHost()
    {
        QByteArray in;
        char buf[4096];
        while (in.size() < kReadPerWake) {
            const ssize_t n = ::read(tcp() ? m_client : m_master, buf, sizeof buf);
            if (n == 0 && tcp()) {
                disconnectClient();
                break;
            }
            if (n <= 0)
                break;
            in.append(buf, int(n));
        }
        if (!m_telnet || in.isEmpty())
            return in;
        QByteArray data;
        const QByteArray answer = m_telnet->receive(in, &data);
        if (m_opt.log) {
            for (const QString &r : std::as_const(m_telnet->requests))
                fprintf(stderr, "  rfc2217: %s\n", qPrintable(r));
            if (m_telnet->requestsDropped > 0)
                fprintf(stderr, "  rfc2217: (%d more)\n", m_telnet->requestsDropped);
        }
        m_telnet->requests.clear();
        m_telnet->requestsDropped = 0;
        const int purges = m_telnet->takePurges();
        // Purging the server's receive buffer drops the controller's bytes not yet sent;
        // its transmit buffer, the half line the host has sent.
        if (purges & ComPortOption::PurgeReceive)
            m_tx.clear();
        if (purges & ComPortOption::PurgeTransmit) {
            m_line.clear();
            m_model.resetLine();
        }
        sendNow(answer);
        return data;
    }

    void receive()
    {
        const qint64 now = monoNs();
        const QByteArray in = readHost();
        {
            const ssize_t n = in.size();
            const char *buf = in.constData();
            for (ssize_t i = 0; i < n; ++i) {
                // The host's byte reaches the controller when its stop bit has gone by.
                m_rxFreeNs = qMax(m_rxFreeNs, now) + CtrlModel::ByteTimeNs;
                m_line.append(buf[i]);
                if (buf[i] == '\r') {
                    frame(m_line, m_rxFreeNs);
                    m_line.clear();
                }
            }
        }
        if (!m_line.isEmpty()) {
            m_model.receive(m_line, usAt(m_rxFreeNs));
            m_line.clear();
        }
    }

    void frame(const QByteArray &bytes, qint64 atNs)
    {
        if (m_hangupAtNs >= 0)
            return;
        const QList<CtrlModel::Chunk> reply = m_model.receive(bytes, usAt(atNs));
        const bool drop = m_model.hungUp()
                          || (m_opt.hangupAfter >= 0 && m_model.frameCount() > m_opt.hangupAfter);
        if (m_opt.log && !m_model.frames().isEmpty()) {
            const CtrlModel::Frame &f = m_model.frames().constLast();
            fprintf(stderr, "%s%10.3f  <- %-8s -> %s", m_tag.c_str(), atNs / 1e9 - m_startNs / 1e9,
                    printable(f.text + '\r').constData(),
                    drop ? "(hang-up)" : f.reply.isEmpty() ? "(no answer)" : printable(f.reply).constData());
            const QByteArray t = f.text.toUpper();
            const int lv = m_model.level(usAt(atNs));
            if (t == "N")
                fprintf(stderr, "   level %d = %s", lv, qPrintable(m_model.levelText(lv)));
            else if (t == "Y")
                fprintf(stderr, "   level %d, contacts %02X, relay mode %02X", lv, m_model.contacts(),
                        m_model.cell(CtrlModel::CellRelayMode));
            fputc('\n', stderr);
        }
        if (drop) {
            m_hangupAtNs = atNs;
            return;
        }
        qint64 base = atNs;
        for (const CtrlModel::Chunk &c : reply) {
            qint64 start = qMax(m_txFreeNs, base + c.gapUs * 1000);
            for (int i = 0; i < c.bytes.size(); ++i)
                m_tx.push_back({start + (i + 1) * CtrlModel::ByteTimeNs, c.bytes.at(i)});
            m_txFreeNs = start + c.bytes.size() * CtrlModel::ByteTimeNs;
            base = m_txFreeNs;
        }
    }

    void transmit(qint64 now)
    {
        QByteArray out;
        for (;;) {
            // A flooding controller never lets the line rest.
            if (m_model.streaming() && m_tx.empty()) {
                const QByteArray b = m_model.floodBytes(32);
                const qint64 start = qMax(m_txFreeNs, now);
                for (int i = 0; i < b.size(); ++i)
                    m_tx.push_back({start + (i + 1) * CtrlModel::ByteTimeNs, b.at(i)});
                m_txFreeNs = start + b.size() * CtrlModel::ByteTimeNs;
            }
            if (m_tx.empty() || m_tx.front().dueNs > now)
                break;
            out.append(m_tx.front().byte);
            m_tx.pop_front();
        }
        if (!out.isEmpty()) {
            // With no client on the line the terminal fills up; the bytes are then lost,
            // as they would be on an unplugged cable.
            if (tcp()) {
                sendNow(m_telnet ? m_telnet->encode(out) : out);
            } else {
                const ssize_t w = ::write(m_master, out.constData(), size_t(out.size()));
                (void)w;
            }
        }
    }

    qint64 usAt(qint64 ns) const { return (ns - m_startNs) / 1000 + m_phaseUs; }

    CtrlModel m_model;
    Options m_opt;
    int m_port = 0;
    int m_com = 0;
    qint64 m_phaseUs = 0;
    std::string m_tag; // "[5003] " before a line of a controller of several
    bool m_gone = false;
    int m_master = -1;
    int m_slave = -1;
    int m_listen = -1;
    int m_client = -1;
    std::unique_ptr<Rfc2217Server> m_telnet;
    QString m_slavePath;
    QString m_link;
    QByteArray m_line;
    std::deque<Pending> m_tx;
    const qint64 m_startNs = monoNs();
    qint64 m_rxFreeNs = 0;
    qint64 m_txFreeNs = 0;
    qint64 m_hangupAtNs = -1;
};

// Serves every controller from one ppoll() loop until a signal, or until every line has
// gone away.
int runAll(std::vector<std::unique_ptr<Simulator>> &sims, bool quiet)
{
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGHUP);
    sigprocmask(SIG_BLOCK, &block, &old);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<pollfd> pfd(2 * sims.size());
    std::vector<int> first(sims.size()), count(sims.size());
    while (!g_stop) {
        const qint64 now = monoNs();
        bool alive = false;
        for (auto &sim : sims)
            alive = sim->step(now) || alive;
        if (!alive)
            return 0;
        qint64 wakeNs = -1;
        nfds_t n = 0;
        for (size_t i = 0; i < sims.size(); ++i) {
            const qint64 w = sims[i]->wakeNs();
            if (w >= 0 && (wakeNs < 0 || w < wakeNs))
                wakeNs = w;
            first[i] = int(n);
            count[i] = sims[i]->pollFds(&pfd[n]);
            n += nfds_t(count[i]);
        }
        timespec timeout{};
        timespec *tp = nullptr;
        if (wakeNs >= 0) {
            const qint64 d = qMax<qint64>(0, wakeNs - monoNs());
            timeout.tv_sec = d / 1000000000LL;
            timeout.tv_nsec = d % 1000000000LL;
            tp = &timeout;
        }
        const int r = ppoll(pfd.data(), n, tp, &old);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            fail(QStringLiteral("poll: %1").arg(QString::fromLocal8Bit(strerror(errno))));
        }
        if (r > 0)
            for (size_t i = 0; i < sims.size(); ++i)
                if (count[i] > 0)
                    sims[i]->handle(&pfd[first[i]]);
    }
    if (!quiet) {
        int frames = 0;
        for (auto &sim : sims)
            frames += sim->frameCount();
        fprintf(stderr, "qelvo-ctrlsim: stopped after %d command lines\n", frames);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // A byte leaves when a 9600-baud line would deliver it: the kernel's default slack of
    // 50 us on each wake-up would make the line slower than the one it plays.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    CtrlModel model;
    const Options opt = parse(QCoreApplication::arguments(), model);
    if (opt.count() > 1) {
        // A listening socket and a client for each controller.
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        const rlim_t need = rlim_t(2 * opt.count() + 32);
        if (lim.rlim_cur < need) {
            lim.rlim_cur = qMin(need, lim.rlim_max);
            setrlimit(RLIMIT_NOFILE, &lim);
            if (lim.rlim_cur < need)
                fail(QStringLiteral("%1 controllers need %2 open files; this process may open %3")
                         .arg(opt.count()).arg(qulonglong(need)).arg(qulonglong(lim.rlim_cur)));
        }
    }
    std::vector<std::unique_ptr<Simulator>> sims;
    for (int i = 0; i < opt.count(); ++i)
        sims.push_back(std::make_unique<Simulator>(model, opt, i));
    for (auto &sim : sims) {
        if (opt.tcpPort != 0)
            sim->listenTcp();
        else
            sim->openTerminal();
    }
    for (auto &sim : sims)
        sim->bind();
    for (auto &sim : sims)
        sim->announce();
    if (opt.count() > 1 && !opt.quiet) {
        static const char *waves[] = {"constant", "ramp", "sine", "steps", "file"};
        fprintf(stderr, "qelvo-ctrlsim: %d controllers on 127.0.0.1:%d-%d%s, %s\n", opt.count(), opt.tcpPort, opt.tcpLast,
                opt.telnet ? " (Telnet COM port control)" : " (raw TCP)",
                opt.comGiven ? qPrintable(QStringLiteral("bound to COM%1-COM%2").arg(opt.com).arg(opt.com + opt.count() - 1))
                             : "bound to no COM number");
        fprintf(stderr, "  input %s (level %d, period %.2f s, each controller %.3f s ahead of the one before), fault %s\n"
                        "  Ctrl+C stops the simulator.\n",
                waves[int(model.wave())], model.baseLevel(), model.periodUs() / 1e6,
                model.periodUs() / 1e6 / opt.count(), qPrintable(CtrlModel::faultName(model.fault())));
    }
    const int rc = runAll(sims, opt.quiet);
    for (auto &sim : sims)
        sim->shutdown();
    return rc;
}
