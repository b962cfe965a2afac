#pragma once
// "ﾛｸﾞﾌｧｲﾗ設定": the log filer's interval, end condition (a count or a time) and file,
// edited field by field through an overlay editor with range checks, the dates from a
// calendar, and stored in "lfst.ini" by OK.
#include "logfiler/modLogFileSetting.h"
#include "platform/Clock.h"

#include <QCalendarWidget>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QRadioButton>

// The editable fields.
enum FieldId : int {
    fldIntervalHour = 0,
    fldIntervalMinute = 1,
    fldIntervalSecond = 2,
    fldCount = 10,
    fldEndYear = 20,
    fldEndMonth = 21,
    fldEndDay = 22,
    fldEndHour = 23,
    fldEndMinute = 24,
    fldEndSecond = 25,
};

// A field's row of the table: maximum length, accepted range, "00" formatting.
struct FieldRule {
    int maxLength = 0;
    int min = 0;
    int max = 0;
    bool twoDigits = false;
};
FieldRule FieldRuleOf(int field);

class frmSetLogFiler1 : public QDialog {
    Q_OBJECT
public:
    explicit frmSetLogFiler1(QWidget *parent = nullptr);
    ~frmSetLogFiler1() override;

    void SetSettingToForm(const LogFileSetting &s);
    LogFileSetting GetSettingFromForm() const;
    void SetEndModeControls(int mode);
    void OpenFieldEditor(int field);
    // True when the text is a number in the field's range; out of range: the range box.
    bool CheckFieldValue(int field, const QString &text);
    bool CheckSettingInput();
    void SelectLogFile();
    void Command2_Click(int index);
    void Timer1_Timer();

    QMap<int, QLineEdit *> Text2; // display boxes by FieldId
    QLineEdit *Text1[2] = {};     // folder, file name
    QLineEdit *Text3 = nullptr;   // the overlay editor
    QPushButton *Command1 = nullptr; // "ﾌｧｲﾙ名入力"
    QCheckBox *Check1 = nullptr;     // "自動生成"
    QRadioButton *Option1[2] = {};   // "個数", "時刻"
    QLabel *Label1_6 = nullptr;      // "(1 - 65535)"
    QLabel *Label3 = nullptr;        // current time
    QCalendarWidget *MonthView1 = nullptr;
    QPushButton *Command2[2] = {};   // "OK", "ｷｬﾝｾﾙ"
    WindowTimer Timer1;
    int intEditField = -1;
    LogFileSetting setting; // the record read at load

protected:
    bool eventFilter(QObject *o, QEvent *e) override;
    void closeEvent(QCloseEvent *e) override;

private:
    void buildControls();
    void commitEditor();
    void dropEditor();
    void calendarChosen(const QDate &d);
    QDateTime m_lastShown;
};
