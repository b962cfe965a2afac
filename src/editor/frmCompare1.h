#pragma once
// "ｺﾝﾄﾛｰﾗとの比較": what a write would change. The controller's settings, read with the
// usual progress window into the receive image only (the editor, its document and temp.tmp
// stay as they are), against the editor's values as they stand: each setting that differs,
// with the editor's value ("編集中") and the controller's ("ｺﾝﾄﾛｰﾗ"), or "相違はありません。".
#include "settings/modCompare.h"

#include <QDialog>
#include <QLabel>
#include <QList>
#include <QPushButton>
#include <QTreeWidget>

class frmCompare1 : public QDialog {
    Q_OBJECT
public:
    // diffs: a is the editor's value, b the controller's.
    frmCompare1(const QList<SettingDiff> &diffs, const QString &fileTitle, int port, QWidget *parent = nullptr);

    QLabel *Label1 = nullptr;      // what is compared with what
    QLabel *Label2 = nullptr;      // "相違はありません。", or how many settings differ
    QTreeWidget *List1 = nullptr;  // 設定 / 編集中 / ｺﾝﾄﾛｰﾗ, one row per difference
    QPushButton *Command1 = nullptr; // "閉じる"
};

// Whether the comparison may start: connected, and no exchange, read or write, or monitor
// runs on the port.
bool g_funcCompareEnabled();
// ﾂｰﾙ > ｺﾝﾄﾛｰﾗとの比較 (code 17): reads the controller and shows the window; a read that
// fails or is cancelled has told the user through its own boxes, and nothing is shown.
void g_subCompareWithController();
