#pragma once
// The end of the application: the close question every way out leads to.

// The close question of the editor: true when the process ends (it has then saved the
// window positions, closed the port and asked the process to end).
bool g_funcAppCloseQuery();
