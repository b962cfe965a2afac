#pragma once
// The frame window: the multiple-document area that holds every other window, with the
// menu bar, the toolbar, the status bar and the window list. It shows what the link and the
// application announce and sends every command to the dispatcher.
#include "core/modMain1.h"

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMap>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QToolBar>

class frmMdi1 : public QMainWindow {
    Q_OBJECT
public:
    frmMdi1();
    ~frmMdi1() override;

    void g_subfrmIni();
    // Puts a child window into the frame; returns its frame in the document area.
    QMdiSubWindow *addChild(QWidget *child);

    void subTbr_Connect_Enable(bool on);
    void subTbr_Disconnect_Enable(bool on);
    void subTbr_MonIn_Enable(bool on);
    void subTbr_Logfiler_Enable(bool on);

    // The toolbar button with that key pressed; an unknown key does nothing.
    void Toolbar1_ButtonClick(const QString &key);
    void setWaitCursor(bool on);
    // The frame's part of what the link announces: the connection-state table, the
    // enabling by the running monitor and the user-interface lock.
    void applyCommStatus();
    void applyMonitorEnabling();
    void applyBusyLock(bool locked);
    // Records the frame's place and state into g_FormPos(0).
    void recordPosition();
    void setStatusPanel(int panel, const QString &text);
    QString statusPanel(int panel) const;
    // Runs the ﾂｰﾙ menu's opening (command code 50).
    void menuToolOpened();
    // "ｺﾝﾄﾛｰﾗとの比較(&D)" follows whether the comparison may start.
    void applyCompareEnabling();

    bool FlgMaximizeEND = false;

    QMdiArea *mdiArea = nullptr;
    QToolBar *Toolbar1 = nullptr;
    QLabel *StatusBar1Panel[2] = {};
    // The site list's alarms not yet acknowledged; hidden while there are none.
    QLabel *SitesAlarmPanel = nullptr;
    QMap<QString, QAction *> button; // toolbar buttons by key

    QMenu *menu_file = nullptr;
    QAction *menu_fileNewOpen = nullptr, *menu_fileOpen = nullptr, *menu_fileSave = nullptr,
            *menu_fileSaveAs = nullptr;
    QMenu *menu_OutputTool = nullptr;
    QAction *menu_CsvFile = nullptr, *menu_HTMLFile = nullptr, *menu_PrintOut = nullptr;
    QAction *menu_fileSaveDef = nullptr, *menu_end = nullptr;
    QMenu *menu_Tool = nullptr;
    QAction *menu_Graph = nullptr, *menu_Direct = nullptr, *menu_LogFiler1 = nullptr,
            *menu_inputLogViewer = nullptr, *menu_outputMonitor = nullptr, *menu_Join = nullptr,
            *menu_Unjoin = nullptr;
    QMenu *menu_Setting = nullptr;
    QAction *menu_Setting_Public = nullptr, *menu_Setting_Color = nullptr;
    QAction *menu_Trend = nullptr;
    QAction *menu_Compare = nullptr;
    QAction *menu_Sites = nullptr;
    QMenu *menu_Window = nullptr;
    QMenu *menu_Help = nullptr;
    QAction *menu_VerInfo = nullptr;

signals:
    // A menu entry or toolbar button asks for the command with that code (the
    // dispatcher's), or for one of the entries without a code.
    void commandRequested(qint16 code);
    void endRequested();
    void htmlOutputRequested();
    void printRequested();

protected:
    void closeEvent(QCloseEvent *e) override;
    void resizeEvent(QResizeEvent *e) override;
    void moveEvent(QMoveEvent *e) override;

private:
    void listen();
    void buildMenus();
    void buildToolbar();
    void fillWindowMenu();
    void setButtonIcon(const QString &key, int icon);
    void setButton(const QString &key, bool on, int iconOn, int iconOff);
    bool m_loading = false;
};

// The frame (read-only view): start-up sets it, and the frame clears it when it goes.
extern frmMdi1 *const &g_frmMdi1;
void g_subFrmMdi1Set(frmMdi1 *form);
