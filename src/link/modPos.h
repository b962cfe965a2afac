#pragma once
// The position output command: "P" and the four selections of the editor's lists
// (g_funcPosCommand and g_funcPosResult: link/Protocol.h).
#include "link/Protocol.h"

#include <QString>

// Sends the command and evaluates the controller's result code. The port must be open;
// a port that closes under the exchange leaves the link shown as down.
void g_subPosSend(const QString &command);
