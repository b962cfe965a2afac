#pragma once
// The position output command: "P" and the four selections of the editor's lists.
#include <QString>
#include <QStringList>

// "P" followed by the four selections ("0" to "7" each).
QString g_funcPosCommand(const QStringList &selections);
QString g_funcPosResult(const QString &reply);
// Sends the command and evaluates the controller's result code. The port must be open;
// a port that closes under the exchange leaves the link shown as down.
void g_subPosSend(const QString &command);
