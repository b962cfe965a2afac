#pragma once
// The command dispatcher every menu entry and toolbar button goes through.
#include <QtGlobal>

class QWidget;

void g_subMenuCommand(qint16 code);
// Shows the analog monitor below the editor, opens the port and shows the link state.
void g_subAnaMoniOpen();
// The present-value log and the output monitor: opened in their stored places, or closed.
void g_subLogViewOpen();
void g_subOutputMonitorOpen();
void g_subCloseChild(QWidget *window);
void g_subGraphToggle();
// The trend window: opened in its stored place, or closed.
void g_subTrendToggle();
// ﾂｰﾙ > ｻｲﾄ一覧 (code 18): opens the site list, or closes it while it is open.
void g_subSitesToggle();
// ﾌｧｲﾙ > 終了: closes the editor, which asks the close question.
void g_subMenuEnd();
void g_subHtmlOutputCommand();
void g_subPrintOut();
