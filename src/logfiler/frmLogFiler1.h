#pragma once
// "QLVﾛｸﾞﾌｧｲﾗ": writes the input the monitor polls into a CSV file, one line per sample on
// a fixed schedule, until a count or an end time is reached or the user stops it; each
// run is framed by a start block and an end block, so runs can follow one another in one
// file. The window shows the schedule and the last 21 lines written.
#include "core/modChildForm.h"
#include "logfiler/LogLinesLabel.h"
#include "logfiler/modLogFileSetting.h"
#include "platform/Clock.h"

#include <QCheckBox>
#include <QDateTime>
#include <QLabel>
#include <QPushButton>
#include <QStringList>
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
    bool StartLogging();
    void TakeSample(QDateTime scheduled);
    // The end decision at the time of a check; true when logging has ended.
    bool EndProc(QDateTime curTime);
    void Timer1_Timer();
    void AddDispLine(const QString &line);
    void refreshFull(const QDateTime &now);
    void refreshPartial(const QDateTime &now);

    QLabel *Label3[6] = {};  // start, now, interval, next, end, count
    QLabel *Label4[2] = {};  // folder, file name
    QLabel *Label5 = nullptr; // status
    LogLinesLabel *Label1 = nullptr; // the last 21 lines
    QCheckBox *Check1[2] = {}; // "電圧で表示", "ﾋﾞｯﾄで表示"
    QPushButton *Command1[4] = {};
    WindowTimer Timer1;

    qint16 intLastCommand = 0;
    bool flgVoltDisp = true;
    bool flgBitsDisp = true;
    QDateTime strStartTime; // invalid: "----/--/-- --:--:--"
    QDateTime strNextTime;
    qint32 lngCount = 0;
    QDateTime dblLastSample, dblLastTick, dblLastShown;
    bool flgRefreshNow = false;
    LogFileSetting set; // the working copy of the settings
    QStringList strDispLine;

protected:
    void closeEvent(QCloseEvent *e) override;

private:
    void buildControls();
    void ShowDispLines();
    // A stop asked for and not yet done is done now (before another command, or closing).
    void completeStop();
    // The next sample to the first time of the schedule's grid that is not past.
    void alignSchedule(const QDateTime &now);
    // While logging: a clock moved back or forward, or readings that stalled, put the
    // schedule back on the grid around now.
    void keepScheduleNearNow(const QDateTime &now);
    bool m_inTick = false;
    // Its place is not kept (the record of the log filer's id stays as it is).
    ChildForm m_form;
    // "停止" was pressed: the run ends at the next check, whatever is pressed meanwhile.
    bool m_stopAsked = false;
    // When the next once-a-second check is due, on the monotonic clock (milliseconds).
    qint64 m_nextCheckMs = 0;
};

