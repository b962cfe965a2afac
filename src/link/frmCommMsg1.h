#pragma once
// The progress window of a read or write: caption, label, a bar from 0 to 47 and "中止".
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

class frmCommMsg1 : public QDialog {
    Q_OBJECT
public:
    frmCommMsg1();
    ~frmCommMsg1() override;
    void formIni();
    // Shows the window and runs the transfer of g_intTransferDir.
    void g_subActComm();

    QLabel *Label1 = nullptr;
    QProgressBar *ProgressBar1 = nullptr;
    QPushButton *Command1 = nullptr;

protected:
    void closeEvent(QCloseEvent *e) override;
    void reject() override;
};

extern frmCommMsg1 *g_frmCommMsg1; // the running transfer's window, or null

// Makes the progress window answer the transfer's request: load, formIni, g_subActComm.
// Start-up calls it once; calling it again changes nothing.
void g_subCommMsgListen();
