#pragma once
// "設定": the COM port (from the ports that open), the sampling time of the input
// monitor and the analog input type.
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

class frmSetting1 : public QDialog {
    Q_OBJECT
public:
    explicit frmSetting1(QWidget *parent = nullptr);
    void g_subfrmIni();
    qint16 g_funcSelectedPort() const;
    void Command1_Click(int index);

    QRadioButton *Option2[5] = {};
    QComboBox *Combo1 = nullptr;
    QLineEdit *Text1 = nullptr;
    QLabel *Label1[2] = {};
    QPushButton *Command1[2] = {};
    QLabel *PermissionHint = nullptr; // ports that exist but this user may not open

protected:
    bool eventFilter(QObject *o, QEvent *e) override;
};

// True when 20 <= value <= 2000; otherwise the warning and false.
bool g_funcSamplingCheck(qint32 value);
