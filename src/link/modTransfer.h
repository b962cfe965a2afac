#pragma once
// Reading the controller's 48 settings bytes into the editor and writing them back.
#include <QtGlobal>

// 0 read from the controller, 1 write to it, 2 read it for a comparison only
extern qint16 g_intTransferDir;

// The editor's "データ読込" (0) and "データ書込" (1).
void g_subTransferStart(int dir);
void g_subControllerRead();
void g_subControllerWrite();
// The exchanges of the read and the write without what the buttons do around them. The
// read fills TempData (reset first) with the 48 bytes and checks that they can be shown;
// the write sends UserData's 48 bytes and "E". False when the port did not open, the user
// cancelled or the link was lost, each after its boxes. UserData, the editor, the document
// and temp.tmp stay as they are.
bool g_funcControllerReadBlock();
bool g_funcControllerWriteBlock();
// ﾂｰﾙ > ｺﾝﾄﾛｰﾗとの比較: the progress window reads the controller into TempData only
// (g_intTransferDir 2, run by g_subControllerCompareRead). True when TempData then holds
// the controller's settings.
bool g_funcCompareRead();
void g_subControllerCompareRead();
// "中止": the transfer ends at its next pass (step 60).
void g_subTransferCancel();
