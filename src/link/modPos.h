#pragma once
// The position output command: "P" and the four selections of the editor's lists.
#include <QString>

QString g_funcPosCommand();
QString g_funcPosResult(const QString &reply);
void g_subPosSend();
