#pragma once
// qelvo-cli's side of the link: the tool's own exchanges (the read and write of the 48
// bytes, the input monitor's poll) run without windows. The boxes they would show are
// answered here (Retry/Cancel is Cancel) and kept, and every outcome becomes one English
// line. The single-port commands run on the link's own session; a read of several ports
// runs one session per port, all at once in this process.
#include "platform/Dialogs.h"
#include "settings/modUserData.h"

#include <QList>
#include <QString>

#include <memory>

class LinkSession;
class SerialPortService;
class WindowTimer;

// The boxes of the link, answered without a window: OK, Cancel, No or Abort, whatever
// lets the exchange end, and kept for the message that tells what went wrong.
class CliDialogs : public DialogService {
public:
    struct Box {
        QString caption;
        QString text;
    };
    int msgBox(const QString &text, int style, const QString &caption) override;
    std::optional<QString> openFile(const FileDialogRequest &) override { return std::nullopt; }
    std::optional<QString> saveFile(const FileDialogRequest &) override { return std::nullopt; }
    std::optional<quint32> chooseColor(quint32) override { return std::nullopt; }
    void runModal(QDialog *dlg) override;
    void beep() override {}

    // The last box as one line: "caption: text", its line breaks as blanks; empty if none.
    QString lastBox() const;
    QList<Box> boxes;
};

// Installs the real port, the boxes above and a fresh link state; undone when it goes.
class CliLinkScope {
public:
    CliLinkScope();
    ~CliLinkScope();
    CliLinkScope(const CliLinkScope &) = delete;
    CliLinkScope &operator=(const CliLinkScope &) = delete;
    CliDialogs dialogs;
};

// "COM3" (any case) to 3; 0 when the text names no COM port 1 to 99.
int ParseComPort(const QString &text);
QString ComName(int port);

// How long the controller may stay silent before an exchange is given up.
constexpr int kDefaultTimeoutSeconds = 10;
// How many times one command of a read or write is sent to a controller that answers it
// with "?" or with what is no answer, before the command is given up.
constexpr int kSendsPerCommand = 3;

struct LinkOptions {
    int timeoutMs = kDefaultTimeoutSeconds * 1000;
    bool progress = false; // a progress line on stderr (a terminal only)
};

// Opens COM n for the exchanges; false with the line that tells why (no such port and the
// device it maps to, no permission and how to get it, in use, or the device's refusal).
bool OpenComPort(int port, QString &why);
void CloseComPort();

// The read of the 48 settings bytes on the open port: image (kImageCells) receives the
// receive image as a read fills it. False with the line that tells why: no reply from the
// controller, the link lost, or the box the link showed.
bool ReadController(int port, MemCell *image, const LinkOptions &o, QString &why);
// The write of image's 48 settings bytes and "E" on the open port.
bool WriteController(int port, const MemCell *image, const LinkOptions &o, QString &why);

// Runs the input monitor on the open port at intervalMs, printing each reading on stdout
// in the log filer's data-line form, until count readings (0: no limit), Ctrl+C or a lost
// link. Each poll waits o.timeoutMs for its reply. True unless the link was lost or the
// controller stopped answering (why tells).
bool MonitorController(int port, int intervalMs, int count, const LinkOptions &o, QString &why);

// The read of one controller on a session of its own, beside others in the same process:
// start() opens the port and begins the read; the session's events carry it on; done()
// tells when it ended, ok() how, why() the line that tells why not.
class SessionRead {
public:
    SessionRead(int port, const LinkOptions &o);
    // A line given as a port of its own (a device server's address), called name in the
    // lines that tell why.
    SessionRead(std::unique_ptr<SerialPortService> port, const QString &name, const LinkOptions &o);
    ~SessionRead();
    SessionRead(const SessionRead &) = delete;
    SessionRead &operator=(const SessionRead &) = delete;
    bool start(); // false (and done) when the port cannot be opened
    void cancel();
    int port() const { return m_port; }
    bool done() const { return m_done; }
    bool ok() const { return m_ok; }
    const QString &why() const { return m_why; }
    const MemCell *image() const { return m_image.get(); }

private:
    int m_port;
    std::unique_ptr<SerialPortService> m_given;
    QString m_name;
    LinkOptions m_options;
    CliDialogs m_dialogs;
    std::unique_ptr<MemCell[]> m_image;
    std::unique_ptr<LinkSession> m_session;
    std::unique_ptr<WindowTimer> m_watchdog;
    bool m_done = false, m_ok = false, m_timedOut = false, m_cancelled = false;
    QString m_why;
};
