#pragma once
// "出力ﾓﾆﾀｰﾊﾟﾈﾙ": the controller's eight outputs as lamps "ch1" to "ch8", red while an
// output is on and blue while it is off, following the newest reading.
#include "core/modChildForm.h"
#include "link/Reading.h"

#include <QLabel>
#include <QWidget>

class frmOutputMonitor1;
extern frmOutputMonitor1 *const &g_frmOutputMonitor1; // the open output monitor, or null

class frmOutputMonitor1 : public QWidget {
    Q_OBJECT
public:
    frmOutputMonitor1();
    ~frmOutputMonitor1() override;

    // Applies the stored place to the window's frame in the document area.
    void loadPlace();
    // One lamp per bit of the output state (2 hexadecimal digits).
    void subOutputDisp(const Reading &reading);

    QLabel *Picture1[8] = {}; // the lamps
    QLabel *Label1[8] = {};   // "ch1" to "ch8"

protected:
    void closeEvent(QCloseEvent *e) override;

private:
    ChildForm m_form;
};
