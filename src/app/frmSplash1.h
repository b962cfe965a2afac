#pragma once
// The version window: title, maker, copyright, version and revision; "Close" closes it.
#include <QDialog>
#include <QLabel>

class frmSplash1 : public QDialog {
    Q_OBJECT
public:
    explicit frmSplash1(QWidget *parent = nullptr);
    QLabel *Label1[7] = {};

protected:
    bool eventFilter(QObject *o, QEvent *e) override;
};
