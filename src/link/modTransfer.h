#pragma once
// Reading the controller's 48 settings bytes into the editor and writing them back.
#include "link/LinkSession.h"

#include <QDateTime>
#include <QString>
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
// When the comparison's last read ended.
QDateTime g_funcCompareReadAt();
// The comparison's "ｺﾝﾄﾛｰﾗの値を取込": the settings of its read into the editor, as a read
// takes them (temp.tmp, the editor, the open monitor windows) and the document marked
// changed. Unsaved edits are offered for saving first, as before a read; false when the
// user cancelled that.
bool g_funcCompareTakeOver();
// "中止": the transfer ends at its next pass.
void g_subTransferCancel();

// A program without a user to press "中止" (qelvo-cli) gives a command up once it has been
// sent this many times and each send was answered with "?" or with a line that is no answer
// (bytes without a CR that stood at a resend count as such a line). 0, the tool's own
// setting: the command goes again without a limit, as the user has "中止". With a limit,
// a line that is no answer to "R" or "W" sends the command again, as a "?" does.
extern int g_intTransferSendLimit;
// Why the last transfer gave its command up, when the limit above ended it.
const TransferRefusal &g_funcTransferRefusal();
