#pragma once
// The controller's command protocol as the program's windows run it on appSession(): the
// connection check, the monitor's poll exchange and the analog channel's read and output.
// The frames and the checks of the replies are link/Protocol.h.
#include "link/Protocol.h"

#include <QString>

struct LinkResult;

// How long the monitor poll, the channel read and the output set of the program wait for a
// reply (qelvo-cli sets its --timeout).
extern qint32 g_lngReplyWaitMs;

void g_subConnectCheck();
// The monitor's poll exchange ("N" or "Y") on the program's session: what it came to. Its
// readings go to the session's valueReceived and readingCompleted.
LinkResult g_subAnaMoni1CommandSend2(const QString &command);
// A monitor start forgets the polls of an earlier run that gave up.
void g_subPollWatchReset();
// The analog monitor's channel read (volts; false, after a message, when no value came in
// kChannelReadSends sends) and output set.
bool g_funcChannelRead(int channel, double &volts);
bool g_funcAnalogOut(int channel, double volts);
