#pragma once
// COM numbers on Linux. COM n (1 to 99) names a device: the link <data folder>/ports/COM<n>
// when it exists (a USB adapter or the simulator bound to any number), otherwise
// COM1-32 = /dev/ttyS0-31, COM33-64 = /dev/ttyUSB0-31, COM65-96 = /dev/ttyACM0-31.
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
// outside 1-99 and for 97-99 without a link.
QString ComPortDevice(int n);
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
