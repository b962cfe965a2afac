#pragma once
// "色設定 - ｸﾞﾗﾌｨｶﾙ表示ﾊﾟﾈﾙ": the graph's eleven colours, edited on a working copy with a
// preview, read from and saved to "clr.ini", applied with OK.
#include "graph/modGraph1.h"

#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>

class frmColorSetting1 : public QDialog {
    Q_OBJECT
public:
    explicit frmColorSetting1(QWidget *parent = nullptr);

    void g_subfrmIni();
    void ShowPreview();
    void ShowElementColor(int index);
    // "色選択".
    void Command1_Click();
    // "色設定読込" (0), "色設定保存" (1), "初期値" (2).
    void Command2_Click(int index);
    // "OK" (0), "ｷｬﾝｾﾙ" (1).
    void Command3_Click(int index);

    QListWidget *List1 = nullptr;
    QLabel *Picture1 = nullptr; // the swatch
    QPushButton *Command1 = nullptr;
    QGroupBox *PreviewFrame = nullptr; // "ﾌﾟﾚﾋﾞｭｰ"
    QWidget *Picture4 = nullptr;       // the preview panel
    QLabel *PreviewLabel[10] = {};     // "ch1" to "ch8", "ﾚﾍﾞﾙﾒｰﾀｰ", "罫線"
    QPushButton *Command2[3] = {};
    QPushButton *Command3[2] = {};

    qint32 lngWorkColor[kColors] = {};
    bool flgAskOnOK = false;

protected:
    bool eventFilter(QObject *o, QEvent *e) override;

private:
    void paintPreview();
};

// The colour last chosen in the colour dialog (where the next choice starts); read-only
// view, changed by the window's choice and by g_subLastChosenColorSet.
extern const quint32 &g_lngLastChosenColor;
void g_subLastChosenColorSet(quint32 color);
