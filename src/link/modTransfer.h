#pragma once
// Reading the controller's 48 settings bytes into the editor and writing them back.
#include <QtGlobal>

extern qint16 g_intTransferDir; // 0 read from the controller, 1 write to it

// The editor's "データ読込" (0) and "データ書込" (1).
void g_subTransferStart(int dir);
void g_subControllerRead();
void g_subControllerWrite();
// "中止": the transfer ends at its next pass (step 60).
void g_subTransferCancel();
