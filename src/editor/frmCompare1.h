#pragma once
// "ｺﾝﾄﾛｰﾗとの比較": what a write would change. The controller's settings, read with the
// usual progress window into the receive image only (the editor, its document and temp.tmp
// stay as they are), against the editor's values as a write would send them: each setting
// that differs, with the editor's value ("編集中") and the controller's ("ｺﾝﾄﾛｰﾗ"), or
// "相違はありません。". Beside "閉じる" the window offers the two ways to make them agree:
// the write ("ｺﾝﾄﾛｰﾗへ書込") and taking the controller's values into the editor
// ("ｺﾝﾄﾛｰﾗの値を取込"). A selected difference shows its cell in the editor's grid, marked
// there until the window closes.
#include "settings/modCompare.h"

#include <QDateTime>
#include <QDialog>
#include <QLabel>
#include <QList>
#include <QPushButton>
#include <QTreeWidget>

class frmCompare1 : public QDialog {
    Q_OBJECT
public:
    // What the user chose: the window's result.
    enum Choice : int { ChoiceClose = 0, ChoiceWrite = 2, ChoiceTake = 3 };

    // diffs: a is the editor's value, b the controller's, read on port at readAt.
    frmCompare1(const QList<SettingDiff> &diffs, const QString &fileTitle, int port, const QDateTime &readAt,
                QWidget *parent = nullptr);
    ~frmCompare1() override;
    int choice() const { return m_choice; }

    QLabel *Label1 = nullptr;        // what is compared with what, and when the controller was read
    QLabel *Label2 = nullptr;        // "相違はありません。", or how many settings differ
    QTreeWidget *List1 = nullptr;    // 設定 / 編集中 / ｺﾝﾄﾛｰﾗ, one row per difference
    QPushButton *Command1 = nullptr; // "閉じる"
    QPushButton *Command2 = nullptr; // "ｺﾝﾄﾛｰﾗへ書込"
    QPushButton *Command3 = nullptr; // "ｺﾝﾄﾛｰﾗの値を取込"

private:
    void choose(int choice);
    int m_choice = ChoiceClose;
};

// Whether the comparison may start: connected, and no exchange, read or write, or monitor
// runs on the port.
bool g_funcCompareEnabled();
// ﾂｰﾙ > ｺﾝﾄﾛｰﾗとの比較 (code 17): reads the controller and shows the window; a read that
// fails or is cancelled has told the user through its own boxes, and nothing is shown.
// The window's write is the editor's "データ書込" and its 取込 g_funcCompareTakeOver, each
// after the window has closed.
void g_subCompareWithController();
