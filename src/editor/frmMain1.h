#pragma once
// The settings editor "ﾃﾞｰﾀ設定ﾊﾟﾈﾙ": the grid with its in-place editors, the hysteresis
// and detection-limit labels, the NC/NO boxes, the read/write buttons, the link label and
// the position output area. Closing it ends the application. It shows what the link and
// the application announce; it reaches into no other window.
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/MSFlexGrid.h"
#include "platform/TextFile.h"
#include "settings/modUserData.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QPushButton>
#include <QWidget>

class frmMain1 : public QWidget {
    Q_OBJECT
public:
    frmMain1();
    ~frmMain1() override;

    void g_subfrmIni();
    void setCaption(const QString &caption);
    QString caption() const;
    void showWindow();
    void hideWindow();
    // The window's place in the frame (twips) for the position file.
    FormPos windowPos() const;
    // Asks the window to close (runs the close question).
    void requestClose();

    // Image to editor and editor to image.
    bool subFrmMainDataSet(FileError *err);
    void subFrmMainDataGet();
    void subFlexGridIni();
    // The editor's texts as the model sees them, and back.
    EditorTexts editorTexts() const;
    void setEditorTexts(const EditorTexts &t);

    void subRelayDisp(int i);
    void subRelayModeSet(const bool nc[8]);
    qint16 g_funcInputDataCheck2(double v);
    qint16 g_funcInputDataCheck3(double v);

    // Editing.
    void startGridEdit();
    void startLimitEdit();
    void startParamEdit(int i);
    void commitText1();
    void commitText2();
    void hideText1();

    // Buttons.
    void Command1_Click(int index);
    void Command2_Click();
    void Command3_Click();
    void Command4_Click(int index);
    void Label1_Click();

    // The connection state: subCommStatus_Change and g_subChangeFrmEnable announce the
    // change, and every window (this one too) applies its part of the table.
    void subCommStatus_Change();
    void g_subCommUnConnect();
    void g_subChangeFrmEnable();
    void closePosArea();
    // The four selections of the position output area.
    QStringList posSelections() const;

    QMdiSubWindow *subWindow() const;
    void setWindowHeightTwips(int twips);
    int windowHeightTwips() const;

    MSFlexGrid *MSFlexGrid1 = nullptr;
    QLineEdit *Text1 = nullptr;
    QLineEdit *Text2 = nullptr;
    QGroupBox *DetectLimitFrame = nullptr; // "水位判定上限"
    QLabel *Label10 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label2[5] = {};
    QLabel *Label3[3] = {};
    QGroupBox *HysFrame = nullptr; // "ﾋｽﾃﾘｼｽ"
    QLabel *HysUnit = nullptr;
    QLabel *Label4 = nullptr;
    QGroupBox *RelayFrame = nullptr; // "出力反転"
    QCheckBox *Check1[8] = {};
    QLabel *Picture2[8] = {};
    QLabel *OutLabel[8] = {};
    QPushButton *Command1[2] = {};
    QPushButton *Command4[2] = {};
    QPushButton *Command2 = nullptr;
    QLabel *Label1 = nullptr; // "Link"
    QGroupBox *Frame1 = nullptr; // position output area
    QComboBox *Combo1[4] = {};
    QPushButton *Command3 = nullptr;

    qint16 intNowActCOL = 1;
    qint16 intNowActROW = 1;
    qint16 intNowActLabel = 0;
    qint16 flgLimitEdit = 0;
    bool Check1ValueSet_FLG = false;
    // The counts the shown values came from, while unedited (see EditorTexts).
    EditorTexts shownCounts;

protected:
    bool eventFilter(QObject *o, QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    bool focusNextPrevChild(bool next) override;

private:
    void buildControls();
    void listen();
    void applyCommStatus();
    void applyMonitorEnabling();
    void setBusyLock(bool lock);
    bool filterKey(QLineEdit *box, QKeyEvent *k);
    void Check1_Click(int i);
    void placeOver(QLineEdit *box, const QRect &r);
};

// The editor window (read-only view): start-up sets it, and the window clears it when it goes.
extern frmMain1 *const &g_frmMain1;
void g_subFrmMain1Set(frmMain1 *form);
// Fills a control's background with a colour (the link label, the NC/NO indicators).
void SetBackColor(QWidget *w, const QColor &c);
// 1 while the position output area is open (read-only view; the editor opens and closes it).
extern const qint16 &g_intPosArea;
void g_subPosAreaSet(qint16 open);
constexpr int kEditorHeight = 3525;
constexpr int kEditorHeightPos = 6525;
