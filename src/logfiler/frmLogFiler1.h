#pragma once
// "QLVﾛｸﾞﾌｧｲﾗ": writes the input the monitor polls into a CSV file, one line per sample on
// a fixed schedule, until a count or an end time is reached or the user stops it; each
// run is framed by a start block and an end block, so runs can follow one another in one
// file. The window is the view of the program's run (LogRun, fed the monitor store's
// readings): its buttons start, pause and stop it, and it shows the schedule and the last
// 21 lines written.
#include "core/modChildForm.h"
#include "logfiler/LogLinesLabel.h"
#include "logfiler/LogRun.h"
#include "logfiler/modLogFileSetting.h"

#include <QCheckBox>
#include <QDateTime>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

class frmLogFiler1;
extern frmLogFiler1 *const &g_frmLogFiler1; // the open log filer, or null

class frmLogFiler1 : public QWidget {
    Q_OBJECT
public:
    frmLogFiler1();
    ~frmLogFiler1() override;

    // The buttons and the status label: 0 stopped, -1 logging, 2 paused, 3 settings open,
    // 4 settings closed; other values do nothing.
    void ChangeButtonStatus(qint16 BtnStatus1);
    // "開始"/"再開" (0), "停止" (1), "中断" (2), "設定" (3).
    void Command1_Click(int index);
    // Loads "lfst.ini" and starts the run with it and the display options.
    bool StartLogging();
    void refreshFull(const QDateTime &now);
    void refreshPartial(const QDateTime &now);

    // The run this window shows and drives.
    LogRun &run() { return m_run; }

    QLabel *Label3[6] = {};  // start, now, interval, next, end, count
    QLabel *Label4[2] = {};  // folder, file name
    QLabel *Label5 = nullptr; // status
    LogLinesLabel *Label1 = nullptr; // the last 21 lines
    QCheckBox *Check1[2] = {}; // "電圧で表示", "ﾋﾞｯﾄで表示"
    QPushButton *Command1[4] = {};

    bool flgVoltDisp = true;
    bool flgBitsDisp = true;
    QDateTime dblLastShown;
    bool flgRefreshNow = false;
    LogFileSetting set; // the settings shown: "lfst.ini" until a run starts, then the run's

protected:
    void closeEvent(QCloseEvent *e) override;

private:
    void buildControls();
    // The run's state into the written globals the other windows read.
    void showRunState(qint16 state);
    // Its place is not kept (the record of the log filer's id stays as it is).
    ChildForm m_form;
    LogRun m_run;
};

