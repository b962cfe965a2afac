#pragma once
// The command dispatcher every menu entry and toolbar button goes through.
#include <QtGlobal>

void g_subMenuCommand(qint16 code);
void g_subAnaMoniOpen();
void g_subGraphToggle();
// ﾌｧｲﾙ > 終了: closes the editor, which asks the close question.
void g_subMenuEnd();
void g_subHtmlOutputCommand();
void g_subPrintOut();
