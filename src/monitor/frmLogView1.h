#pragma once
// "現在値ﾛｸﾞ表示ﾊﾟﾈﾙ": the last 21 readings of the input monitor, newest first: the time, the
// input value (raw or in its unit) and the eight outputs (raw or as bits).
#include "core/modChildForm.h"

#include <QCheckBox>
#include <QListWidget>
#include <QWidget>

class frmLogView1;
extern frmLogView1 *const &g_frmLogView1; // the open present-value log, or null

class frmLogView1 : public QWidget {
    Q_OBJECT
public:
    frmLogView1();
    ~frmLogView1() override;

    // Applies the stored size and place to the window's frame in the document area (the
    // opener calls it once the window is in the frame).
    void loadPlace();

    // Rebuilds the list from the ring and the value box's caption; runs on every reading.
    void subDataDraw();

    // The list: one item per line, newest first, so that a screen reader steps through the
    // readings as they are shown.
    QListWidget *Label1 = nullptr;
    QWidget *Picture1 = nullptr; // the strip with the two boxes
    QCheckBox *menu_Disp_Denatu = nullptr;
    QCheckBox *menu_Disp_Bits = nullptr;

    bool flgBitsDisp = false;
    bool flgVoltDisp = false;
    bool flgCacheReady = false;
    QString strLastList;
    QString strLastCaption;

protected:
    void closeEvent(QCloseEvent *e) override;

private:
    // The record's State: 4 "ﾋﾞｯﾄで表示" ticked, 2 the value box ticked, 1 open.
    qint32 recordedState() const;
    ChildForm m_form;
};
