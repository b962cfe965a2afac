#pragma once
// The serial port layer of the program's session: opening, testing and closing the port,
// sending one command line with the transmit-buffer wait, collecting replies into the
// receive buffer, and the two timers that bound every exchange. Each routine works on
// appSession() (link/modLinkState.h) and waits for it where it waits.
#include "link/Protocol.h"
#include "link/modLinkState.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"

#include <QString>

// The reply timer (1 s, the editor's) and the overall communication timer (10 s, the frame's),
// read-only: the routines below start and stop them.
const WindowTimer &ReplyTimer();
const WindowTimer &CommTimer();

// Opens COM n for the program's session (a device server's line in steps, the events going
// on); false when it does not open (the caller tells why) or another part of the program has
// taken it.
bool g_funcCommPortOpen(int port);
bool g_funcCommPortCheck(int port);
void g_subCommPortClose();
bool g_funcCommOutPut(const QString &command);
void g_subCommReceive();
void g_subReplyTimerStart();
void g_subReplyTimerStop();
void g_subCommTimerStart();
void g_subCommTimerStop();
void g_subCommBufferClear();
// After a failed open, a second box that tells why where the port can say it: another part
// of the program has taken it, another program holds the device, this user may not open it
// (and how to get the permission), or a device server's line did not open (the fixed
// message before it stays as it is).
void g_subPortAccessHint(int port, const QString &caption);
// The port closed by itself (the device went away, a device server ended the connection):
// the hang-up with the port's own reason; no failure while it is open or was closed on purpose.
CommError g_funcCommPortLost();
// An exchange that finds the port closed by itself under it says so as a send on that
// port does: the send's box with the hang-up and the port's reason (Retry shows it again
// while the port stays closed). Once per loss; true when there was a loss to tell.
bool g_funcCommLostReport();
