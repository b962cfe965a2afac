#pragma once
// COM numbers on Linux. COM n (1 to 99) names a device: the link <data folder>/ports/COM<n>
// when it exists (a USB adapter or the simulator bound to any number), otherwise
// COM1-32 = /dev/ttyS0-31, COM33-64 = /dev/ttyUSB0-31, COM65-96 = /dev/ttyACM0-31.
// <data folder>/ports/COM<n> may instead be a plain file holding one line,
// tcp://HOST:PORT or rfc2217://HOST:PORT: COM n is then the serial line of a device server
// on the network (raw bytes, or Telnet COM port control).
#include <QList>
#include <QString>

#include "platform/SerialPort.h"

// Line settings and buffer sizes of the controller link.
enum : int {
    ComBaudRate = 9600,
    ComInBufferSize = 1024,
    ComOutBufferSize = 512,
};

// Output refused: it does not fit in what is left of the 512-byte transmit buffer.
enum : int { comOutBufferFull = 1010 };

// The folder of the COM links: <data folder>/ports (nothing is created here).
QString ComPortsFolder();
// The link that binds COM n: <data folder>/ports/COM<n>.
QString ComPortLink(int n);
// The device that COM n names (the link itself when there is one); empty for numbers
// outside 1-99 and for 97-99 without a link. For a COM n mapped to the network, the file.
QString ComPortDevice(int n);

// What COM n stands for.
struct ComPortMapping {
    enum class Kind {
        None,       // no device: a number outside 1-99, or 97-99 without a file
        Device,     // a serial device (or a pseudo-terminal), opened by its path
        Tcp,        // a device server's raw TCP port
        Rfc2217,    // a device server's Telnet COM port control (RFC 2217)
        Unreadable, // the ports/COM<n> file holds no address that can be used
    };
    Kind kind = Kind::None;
    int comPort = 0;
    QString file;   // the ports/COM<n> link or file; empty when COM n has none
    QString device; // Device: the path to open
    QString host;   // Tcp, Rfc2217: a name or an address, without the brackets of IPv6
    quint16 port = 0;
    QString problem;   // Unreadable: why, in English
    QString problemJa; // and in Japanese

    bool network() const { return kind == Kind::Tcp || kind == Kind::Rfc2217; }
    // "tcp://HOST:PORT" or "rfc2217://HOST:PORT" (an IPv6 address in brackets); else empty.
    QString url() const;
    // One line for people: the device, the address, or why the file cannot be used.
    QString describe(bool japanese = false) const;
};

// Reads what COM n stands for: the file ports/COM<n> when it is a plain file (or a link to
// one), the device otherwise.
ComPortMapping ComPortMap(int n);
// Reads the contents of a ports/COM<n> file: blank lines and lines starting with '#' are
// left out, and the one line left must be tcp://HOST:PORT or rfc2217://HOST:PORT. The
// kind is Tcp, Rfc2217 or Unreadable.
ComPortMapping ParseComPortAddress(const QByteArray &contents);
// A file this large is no address.
constexpr qint64 kComPortFileLimit = 4096;

// Whether the host behind COM n answers (or the device is there), within timeoutMs (a
// port listing waits the default 2 s per port; opening the port waits 5 s). The address is
// connected to (and RFC 2217 negotiated) and the connection closed again; a device is only
// looked at, never opened. Waits through the platform's clock, the windows stay alive.
// What COM n points to, for the same listing: ComPortMap(n).describe().
struct ComPortReach {
    bool answers = false;
    qint64 ms = 0;       // how long the look took
    QString detail;      // what was found, in English: "answers (connected in 3 ms)", "... connection refused"
    QString detailJa;    // and in Japanese
};
constexpr int kComPortProbeMs = 2000;
ComPortReach ComPortProbe(int n, int timeoutMs = kComPortProbeMs);
ComPortReach ComPortProbe(const ComPortMapping &m, int timeoutMs = kComPortProbeMs);
// COM numbers whose device is there (a link, even a dangling one, counts): the
// candidates for the port list, before trying to open them.
QList<int> ComPortCandidates();
// True when COM n's device exists but this user may not open it (typically not in the
// dialout group).
bool ComPortPermissionDenied(int n);
// True when a failed open was refused for lack of permission.
bool ComPortPermissionDenied(const CommError &e);
// A short hint on how to get the permission (the device's group, usermod, log in again),
// shown in addition to the fixed message; Japanese by default.
QString ComPortPermissionHint(int n, bool japanese = true);

// What COM n is on this machine, as the port list shows it: the device it names, where its
// link points, and whether it can be opened now.
enum class ComPortState { Ok, Missing, InUse, NoPermission, CannotOpen };
struct ComPortDescription {
    int port = 0;
    QString device; // what COM n names: its link in the data folder, or the /dev device
    QString target; // where the link points; empty without a link
    ComPortState state = ComPortState::Missing;
    QString detail; // why, in one English line, for every state but Ok
};
// Describes COM n. With tryOpen the device is opened as the link opens it (which honours
// the lock of a program holding it) and closed again; without, a present device is Ok.
ComPortDescription ComPortDescribe(int n, bool tryOpen = true);
// "ok", "missing", "in use", "no permission", "cannot open".
QString ComPortStateName(ComPortState state);
