#include "CliLink.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/LinkSession.h"
#include "link/modComm1.h"
#include "link/modLinkState.h"
#include "link/modProtocol.h"
#include "link/modTransfer.h"
#include "logfiler/modLogFiler.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"
#include "platform/Clock.h"
#include "platform/ComPorts.h"
#include "platform/MappedSerialPort.h"
#include "platform/SerialPort.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {
MappedSerialPort *g_port = nullptr;
CliDialogs *g_dialogs = nullptr;

void eraseProgress()
{
    fputs("\r\x1b[K", stderr);
    fflush(stderr);
}

// A reply as it came, for a message: control characters as \r, \n or \xNN, and the line end
// left out.
QString replyText(const QString &reply)
{
    constexpr int kShown = 40; // a reply longer than this is cut, with "..."
    QString out;
    QString line = reply;
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    const bool cut = line.size() > kShown;
    line.truncate(kShown);
    for (const QChar c : line) {
        const ushort u = c.unicode();
        if (u == '\r')
            out += QStringLiteral("\\r");
        else if (u == '\n')
            out += QStringLiteral("\\n");
        else if (u < 0x20 || u >= 0x7F)
            out += QStringLiteral("\\x%1").arg(u & 0xFF, 2, 16, QLatin1Char('0'));
        else if (u == '"' || u == '\\')
            out += QLatin1Char('\\') + c;
        else
            out += c;
    }
    return cut ? out + QStringLiteral("...") : out;
}

// The controller answered each send of a command with "?" (it refuses the command) or with
// what is no answer to it.
QString refusalLine(int port, const QString &command, const QString &reply, int sends, bool refused)
{
    if (refused)
        return QStringLiteral("%1: the controller refuses the command \"%2\" (it answered \"?\" %3 times)")
            .arg(ComName(port), command)
            .arg(sends);
    return QStringLiteral("%1: the controller's replies are not understood (sent \"%2\" %3 times; the last reply "
                          "was \"%4\")")
        .arg(ComName(port), command)
        .arg(sends)
        .arg(replyText(reply));
}

// What a failed exchange comes to: a command the controller refused or answered with what
// is no answer, no reply within the time given, the line gone, or the last box the link
// showed.
QString failureLine(int port, bool timedOut, const TransferRefusal &r, bool portOpen, const CliDialogs *dialogs)
{
    if (r.kind != TransferRefusal::None)
        return refusalLine(port, r.command, r.reply, r.sends, r.kind == TransferRefusal::Refused);
    if (timedOut)
        return ComName(port) + QStringLiteral(": no reply from the controller");
    if (!portOpen)
        return ComName(port) + QStringLiteral(": the connection to the controller was lost");
    const QString box = dialogs ? dialogs->lastBox() : QString();
    return ComName(port) + QStringLiteral(": the exchange with the controller failed") +
           (box.isEmpty() ? QString() : QStringLiteral(" (") + box + QLatin1Char(')'));
}

// Runs one of the link's transfers with a watchdog: when the controller has not moved the
// transfer on for the time given (the handshake and the "E" are repeated for ever), the
// transfer is cancelled as by its "中止" button.
bool runTransfer(int port, bool (*exchange)(), const char *verb, const LinkOptions &o, QString &why)
{
    bool timedOut = false;
    QObject context;
    WindowTimer watchdog;
    watchdog.setInterval(o.timeoutMs);
    watchdog.onTick = [&] {
        timedOut = true;
        watchdog.setEnabled(false);
        g_subTransferCancel();
    };
    QObject::connect(&linkEvents(), &LinkEvents::transferProgress, &context, [&](int value) {
        watchdog.setEnabled(false);
        watchdog.setEnabled(true);
        if (o.progress) {
            fprintf(stderr, "\r%s %s: %3d%%", verb, qPrintable(ComName(port)), value * 100 / 47);
            fflush(stderr);
        }
    });
    watchdog.setEnabled(true);
    const bool ok = exchange();
    watchdog.setEnabled(false);
    if (o.progress)
        eraseProgress();
    if (ok)
        return true;
    why = failureLine(port, timedOut, g_funcTransferRefusal(), MSComm1().portOpen(), g_dialogs);
    return false;
}

// Ctrl+C and the termination signal end the monitor at its next tick; a second one ends
// the process at once.
int g_signalPipe[2] = {-1, -1};
void onSignal(int sig)
{
    const char c = char(sig);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
    std::signal(sig, SIG_DFL);
}
} // namespace

// ---------------------------------------------------------------- boxes

int CliDialogs::msgBox(const QString &text, int style, const QString &caption)
{
    boxes.append({caption, text});
    switch (style & 7) {
    case vbOKOnly: return vbOK;
    case vbAbortRetryIgnore: return vbAbort;
    case vbYesNo: return vbNo;
    default: return vbCancel; // OK/Cancel, Yes/No/Cancel, Retry/Cancel
    }
}

// qelvo-cli is built without Qt Widgets: no window exists that a modal run could show.
void CliDialogs::runModal(QDialog *) {}

QString CliDialogs::lastBox() const
{
    if (boxes.isEmpty())
        return QString();
    QString text = boxes.last().text;
    text.replace(QRegularExpression(QStringLiteral("[\\r\\n]+")), QStringLiteral(" "));
    return boxes.last().caption + QStringLiteral(": ") + text.trimmed();
}

CliLinkScope::CliLinkScope()
{
    g_port = new MappedSerialPort();
    g_dialogs = &dialogs;
    installSerialPort(g_port);
    installDialogs(&dialogs);
    g_subLinkStateReset();
    g_subTempDataIni();
    g_subUserDataIni();
    // No one is there to press "中止": a command refused again and again is given up.
    g_intTransferSendLimit = kSendsPerCommand;
    // Nothing of the transfer's is kept: no temp.tmp is written (the block exchanges
    // write none) and the data folder is only read, for the COM links.
    g_subTempFileSet(QString());
}

CliLinkScope::~CliLinkScope()
{
    CloseComPort();
    g_intTransferSendLimit = 0;
    g_lngReplyWaitMs = kReplyWaitMs;
    installSerialPort(nullptr);
    installDialogs(nullptr);
    delete g_port;
    g_port = nullptr;
    g_dialogs = nullptr;
}

// ---------------------------------------------------------------- ports

int ParseComPort(const QString &text)
{
    static const QRegularExpression re(QStringLiteral("^[Cc][Oo][Mm]([0-9]{1,2})$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch())
        return 0;
    const int n = m.captured(1).toInt();
    return n >= 1 && n <= 99 ? n : 0;
}

QString ComName(int port) { return QStringLiteral("COM") + QString::number(port); }

namespace {
// What is known of COM n before it is opened that refuses it: no such port (and the device
// it maps to), or a mapping that cannot be used; empty when it may be opened.
QString refusedBeforeOpen(int port, const ComPortDescription &d)
{
    const QString name = ComName(port);
    if (d.state == ComPortState::Missing) {
        if (!d.target.isEmpty())
            return QStringLiteral("%1: no such port (%2 points to %3, which does not exist)").arg(name, d.device, d.target);
        return QStringLiteral("%1: no such port (%2)").arg(name, d.detail);
    }
    if (d.state == ComPortState::CannotOpen)
        return QStringLiteral("%1: %2 cannot be used: %3").arg(name, d.device, d.detail);
    return QString();
}

// Why the open of COM n failed with e: in use by another program, no permission and how to
// get it, or the device's (or the device server's) own words.
QString openFailure(int port, const ComPortDescription &d, const CommError &e)
{
    const QString name = ComName(port);
    if (e.number == comPortAlreadyOpen)
        return QStringLiteral("%1: port in use by another program (%2)").arg(name, d.device);
    if (e.number == comPortAccessDenied)
        return ComPortPermissionHint(port, false);
    if (!d.target.isEmpty() && d.target.contains(QStringLiteral("://")))
        return e.description; // names the COM number, the address and what went wrong
    return QStringLiteral("%1: cannot open %2: %3").arg(name, d.device, e.description);
}
} // namespace

bool OpenComPort(int port, QString &why)
{
    g_intCommPort = qint16(port);
    const ComPortDescription d = ComPortDescribe(port, false);
    why = refusedBeforeOpen(port, d);
    if (!why.isEmpty())
        return false;
    // The program's session opens it, a device server's line in steps.
    const CommError e = appSessionNow().openPortAndWait(port);
    if (!e.failed())
        return true;
    why = openFailure(port, d, e);
    return false;
}

void CloseComPort()
{
    if (MSComm1().portOpen())
        MSComm1().setPortOpen(false);
}

// ---------------------------------------------------------------- transfers

bool ReadController(int port, MemCell *image, const LinkOptions &o, QString &why)
{
    if (!runTransfer(port, g_funcControllerReadBlock, "Reading", o, why))
        return false;
    std::copy(TempData, TempData + kImageCells, image);
    return true;
}

bool WriteController(int port, const MemCell *image, const LinkOptions &o, QString &why)
{
    std::copy(image, image + kImageCells, UserData);
    return runTransfer(port, g_funcControllerWriteBlock, "Writing", o, why);
}

// ---------------------------------------------------------------- a read beside others

SessionRead::SessionRead(int port, const LinkOptions &o)
    : m_port(port), m_options(o), m_image(new MemCell[kImageCells]), m_watchdog(std::make_unique<WindowTimer>())
{
}

SessionRead::SessionRead(std::unique_ptr<SerialPortService> port, const QString &name, const LinkOptions &o)
    : m_port(0), m_given(std::move(port)), m_name(name), m_options(o), m_image(new MemCell[kImageCells]),
      m_watchdog(std::make_unique<WindowTimer>())
{
}

SessionRead::~SessionRead()
{
    m_watchdog->setEnabled(false);
    if (m_session && m_session->port().portOpen())
        m_session->closePort();
}

bool SessionRead::start()
{
    ReceiveImageIni(m_image.get());
    const ComPortDescription d = m_given ? ComPortDescription{} : ComPortDescribe(m_port, false);
    m_why = m_given ? QString() : refusedBeforeOpen(m_port, d);
    if (!m_why.isEmpty()) {
        m_done = true;
        return false;
    }
    // The lines that tell why name a given line by its name instead of "COM0".
    const auto named = [this](QString line) {
        if (!m_name.isEmpty() && line.startsWith(ComName(0)))
            line = m_name + line.mid(ComName(0).size());
        return line;
    };
    std::unique_ptr<SerialPortService> port = std::move(m_given);
    if (!port)
        port = std::make_unique<MappedSerialPort>();
    m_session = std::make_unique<LinkSession>(std::move(port));
    SessionOptions options;
    options.dialogs = &m_dialogs;
    // No one is there to press "中止": a command refused again and again is given up, and a
    // controller that moves the read on for the time given is left.
    options.sendLimit = kSendsPerCommand;
    m_session->setOptions(options);
    m_watchdog->setInterval(m_options.timeoutMs);
    m_watchdog->onTick = [this] {
        m_timedOut = true;
        m_watchdog->setEnabled(false);
        m_session->cancel();
    };
    QObject::connect(m_session.get(), &LinkSession::transferProgress, m_session.get(), [this] {
        m_watchdog->setEnabled(false);
        m_watchdog->setEnabled(true);
    });
    // The port opens without waiting (a device server's line in steps), so the other
    // ports' reads go on meanwhile.
    m_session->openPort(m_port, [this, d, named](const CommError &e) {
        if (m_cancelled || e.failed()) {
            const QString problem = m_session->port().problem();
            m_why = m_cancelled       ? named(ComName(m_port) + QStringLiteral(": interrupted"))
                    : m_name.isEmpty() ? openFailure(m_port, d, e)
                                       : m_name + QStringLiteral(": cannot connect: ") +
                                             (problem.isEmpty() ? e.description : problem).simplified();
            m_session->closePort();
            m_done = true;
            return;
        }
        m_watchdog->setEnabled(true);
        m_session->readSettings(m_image.get(), [this, named](const LinkResult &r) {
            m_watchdog->setEnabled(false);
            m_done = true;
            m_ok = r.ok();
            if (!m_ok)
                m_why = named(failureLine(m_port, m_timedOut, m_session->refusal(), m_session->port().portOpen(), &m_dialogs));
            m_session->closePort();
        });
    });
    return true;
}

void SessionRead::cancel()
{
    m_cancelled = true;
    if (m_session && !m_done)
        m_session->cancel();
}

// ---------------------------------------------------------------- monitor

bool MonitorController(int port, int intervalMs, int count, const LinkOptions &o, QString &why)
{
    // Each poll waits for its reply as long as any exchange of the command may.
    g_lngReplyWaitMs = o.timeoutMs;
    bool stopAsked = false;
    int lines = 0;
    QObject context;
    auto stop = [&] {
        if (stopAsked)
            return;
        stopAsked = true;
        g_subMonitorStopSet(1);
        g_subMonitorOnSet(0);
    };

    // Ctrl+C: the poll finishes its exchange and the monitor ends at its next tick.
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        why = QStringLiteral("cannot watch for Ctrl+C");
        return false;
    }
    QSocketNotifier sigNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&sigNotifier, &QSocketNotifier::activated, &context, [&] {
        char c;
        while (::read(g_signalPipe[0], &c, 1) > 0) {
        }
        stop();
    });
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    QObject::connect(&monitorEvents(), &MonitorEvents::readingStored, &context, [&] {
        if (stopAsked)
            return;
        const Reading &r = NewestReading();
        const QString line = MakeDataLine(++lines, r.time, r, true, true);
        fputs(line.toUtf8().constData(), stdout);
        fputc('\n', stdout);
        fflush(stdout);
        if (count > 0 && lines >= count)
            stop();
    });
    bool ended = false;
    QObject::connect(&monitorEvents(), &MonitorEvents::pollingChanged, &context, [&](bool polling) {
        if (!polling)
            ended = true;
    });

    // The start of the analog monitor's "開始": the poll's timer at the sampling time, and
    // the first "N" at once.
    g_subSamplingTimeSet(intervalMs);
    g_subMonitorOnSet(-1);
    SerialPortService &p = MSComm1();
    p.input();
    p.clearInBuffer();
    p.clearOutBuffer();
    g_subMonitorStopSet(0);
    g_subPollWatchReset();
    g_subTimerFormLoad();
    bool lost = !g_funcMonitorPoll(QStringLiteral("N"));
    if (lost) {
        g_subMonitorStopSet(1);
        g_subMonitorOnSet(0);
        g_subAnaMoniEnd();
    }
    while (!ended)
        WaitForEvent(1000);

    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
    if (stopAsked && !lost)
        return true;
    if (!MSComm1().portOpen()) {
        why = ComName(port) + QStringLiteral(": lost the link to the controller (the device went away)");
        return false;
    }
    // The poll gave up: on silence (a line cut short included), or on a line that stood in
    // the buffer instead of a reading.
    g_subCommReceive();
    const QString last = g_strInPut.contains(QLatin1Char('\r')) ? g_strInPut : QString();
    if (last.startsWith(QLatin1Char('?')))
        why = ComName(port) + QStringLiteral(": the controller refuses the monitor's polls (it answered \"?\")");
    else if (!last.isEmpty())
        why = ComName(port) + QStringLiteral(": the controller's replies to the monitor's polls are not understood (the "
                                             "last reply was \"%1\")")
                                  .arg(replyText(last));
    else
        why = ComName(port) + QStringLiteral(": no reply from the controller");
    return false;
}
