#include "link/modPos.h"

#include "link/LinkSession.h"
#include "link/modLinkState.h"

QString g_funcPosCommand(const QStringList &selections) { return QStringLiteral("P") + selections.join(QString()); }

QString g_funcPosResult(const QString &reply) { return reply.size() >= 2 ? reply.mid(1, 1) : QString(); }

void g_subPosSend(const QString &command)
{
    // The session's exchange: four sends at most without an answer, the Retry question
    // after an abnormal end, and a port that closed under it shows the link as down.
    LinkSession &s = appSession();
    s.run([&](LinkDone done) { s.positionOutput(command, std::move(done)); });
}
