#include "link/modPos.h"

#include "link/LinkSession.h"
#include "link/modLinkState.h"

void g_subPosSend(const QString &command)
{
    // The session's exchange: four sends at most without an answer, the Retry question
    // after an abnormal end.
    LinkSession &s = appSessionNow();
    s.run([&](LinkDone done) { s.positionOutput(command, std::move(done)); });
    // A device that went away during the exchange: the link is down, not "接続中".
    if (!s.port().portOpen() && g_intConnectStatus == 1)
        g_subConnectStatusSet(0);
}
