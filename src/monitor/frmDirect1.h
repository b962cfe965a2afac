#pragma once
// "入力ﾓﾆﾀｰﾊﾟﾈﾙ": starts and stops the input monitor and shows the newest input value in the
// unit of the input type; a four-channel panel reads one analog channel ("N" ch) and sets
// one analog output ("D" ch hhhh); the port buffers can be emptied and the value copied.
#include "core/modChildForm.h"
#include "platform/Clock.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QWidget>

#include <functional>

class frmDirect1;
extern frmDirect1 *const &g_frmDirect1; // the open analog monitor window, or null

// Origin of the next change of an output scroll bar: 0 the user moved it, 1 a value typed
// into the edit box, 2 a channel read. The window sets it (a read-only view elsewhere).
extern const qint16 &g_intScrollSrc;
void g_subScrollSrcSet(qint16 source);

class frmDirect1 : public QWidget {
    Q_OBJECT
public:
    frmDirect1();
    ~frmDirect1() override;

    // The newest value and the captions of the input type.
    void subDispIni();

    // "開始" (0) and "停止" (1).
    void Command2_Click(int index);
    // "現在値の参照" of channel ch (0 to 3).
    void Command1_Click(int ch);
    void g_subChRead(int ch);
    void g_subChOutput(int ch, double volts);
    // "Comm Buffer Clear" and "クリップボードにコピー".
    void Command3_Click();
    void Command4_Click();
    // Opens the edit box over channel ch's output value.
    void startOutputEdit(int ch);
    void Timer1_Timer();

    QLabel *Label5[2] = {};
    QLabel *Label6 = nullptr;
    QLabel *Label9 = nullptr;
    QLabel *Picture3 = nullptr;
    QPushButton *Command2[2] = {};
    WindowTimer Timer1;
    QGroupBox *ChannelFrame = nullptr;
    QLabel *Label2[4] = {};
    QPushButton *Command1[4] = {};
    QLabel *Label1[4] = {};
    QLineEdit *Text1[4] = {};
    QScrollBar *FlatScrollBar1[4] = {};
    QLineEdit *Text2 = nullptr;
    QPushButton *Command3 = nullptr;
    QPushButton *Command4 = nullptr;
    QGroupBox *LogFrame = nullptr; // "通信のログ"
    QLabel *Label8[2] = {};
    QLineEdit *Text3 = nullptr;

    qint16 intEditCh = 0;

protected:
    void closeEvent(QCloseEvent *e) override;
    bool eventFilter(QObject *o, QEvent *e) override;

private:
    void buildControls();
    void listen();
    void applyMonitorEnabling();
    void FlatScrollBar1_Change(int ch);
    void commitOutputEdit();
    void endOutputEdit();
    void setChannelPanelEnabled(bool on);
    // Runs a channel exchange, which waits for its reply with window events handled; a
    // close asked meanwhile is carried out once the exchange has returned.
    // Opens the port again when "Comm Buffer Clear" closed it.
    void reopenPort();
    bool runExchange(const std::function<bool()> &exchange);
    void closeWindow();
    ChildForm m_form;
    bool m_blink = false;
    int m_exchanges = 0;
    bool m_closePending = false;
    // The volts of the value typed last, as checked: the ones that go out.
    double m_typedVolts = 0;
};


