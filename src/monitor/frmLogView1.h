#pragma once
// "現在値ﾛｸﾞ表示ﾊﾟﾈﾙ": the last 21 readings of the input monitor, newest first: the time, the
// input value (raw or in its unit) and the eight outputs (raw or as bits).
#include "platform/Clock.h"

#include <QCheckBox>
#include <QListWidget>
#include <QWidget>

class frmLogView1 : public QWidget {
    Q_OBJECT
public:
    frmLogView1();
    ~frmLogView1() override;

    // Applies the stored size and place to the window's frame in the document area (the
    // opener calls it once the window is in the frame).
    void loadPlace();

    void subDataDraw();
    void Timer1_Timer();

    // The list: one item per line, newest first, so that a screen reader steps through the
    // readings as they are shown.
    QListWidget *Label1 = nullptr;
    QWidget *Picture1 = nullptr; // the strip with the two boxes
    QCheckBox *menu_Disp_Denatu = nullptr;
    QCheckBox *menu_Disp_Bits = nullptr;
    WindowTimer Timer1;

    bool flgDrawBusy = false;
    bool flgBitsDisp = false;
    bool flgVoltDisp = false;
    bool flgResizing = false;
    bool flgCacheReady = false;
    QString strLastList;
    QString strLastCaption;

protected:
    void closeEvent(QCloseEvent *e) override;
};

extern frmLogView1 *g_frmLogView1; // the open present-value log, or null
