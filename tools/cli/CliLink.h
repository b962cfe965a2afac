#pragma once
// qelvo-cli's side of the link: the tool's own exchanges (the read and write of the 48
// bytes, the input monitor's poll) run without windows. The boxes they would show are
// answered here (Retry/Cancel is Cancel) and kept, and every outcome becomes one English
// line. One process drives one port at a time, as the link keeps one port and one receive
// buffer.
#include "platform/Dialogs.h"
#include "settings/modUserData.h"

#include <QList>
#include <QString>

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
