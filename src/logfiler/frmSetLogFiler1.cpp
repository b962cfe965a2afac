#include "logfiler/frmSetLogFiler1.h"

#include "core/modMain1.h"
#include "platform/Dialogs.h"
#include "platform/ErrorText.h"
#include "platform/Paths.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>

namespace {
constexpr int kCountMax = 65535;
const int kFieldsInOrder[] = {fldIntervalHour, fldIntervalMinute, fldIntervalSecond, fldCount,    fldEndYear,
                              fldEndMonth,     fldEndDay,         fldEndHour,        fldEndMinute, fldEndSecond};

bool isDateField(int field) { return field == fldEndYear || field == fldEndMonth || field == fldEndDay; }

QString twoDigits(int v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); }

QLabel *caption(const QString &text, QWidget *parent, int x, int y, int w = 80)
{
    auto *l = new QLabel(text, parent);
    l->setGeometry(x, y, w, 22);
    return l;
}
} // namespace

FieldRule FieldRuleOf(int field)
{
    switch (field) {
    case fldIntervalHour: return {2, 0, 24, true};
    case fldIntervalMinute:
    case fldIntervalSecond: return {2, 0, 59, true};
    case fldCount: return {int(QString::number(kCountMax).size()), 1, kCountMax, false};
    case fldEndYear: return {4, 2008, 2999, false};
    case fldEndMonth: return {2, 1, 12, true};
    case fldEndDay: return {2, 1, 31, true};
    case fldEndHour: return {2, 0, 24, true};
    case fldEndMinute:
    case fldEndSecond: return {2, 0, 59, true};
    default: return {};
    }
}

frmSetLogFiler1::frmSetLogFiler1(QWidget *parent) : QDialog(parent)
{
    // Load: filled while invisible, the editor hidden.
    buildControls();
    Text3->hide();
    Label1_6->setText(QStringLiteral("(1 - ") + QString::number(kCountMax) + QStringLiteral(")"));
    setWindowTitle(QStringLiteral("ﾛｸﾞﾌｧｲﾗ設定"));
    LoadLogFileSetting(setting);
    MonthView1->setSelectedDate(Now().date());
    Timer1_Timer();
    SetSettingToForm(setting);
    Timer1.onTick = [this] { Timer1_Timer(); };
    Timer1.setInterval(200);
    Timer1.setEnabled(true);
    g_intFormOpen[idSetLogFiler] = -1;
}

frmSetLogFiler1::~frmSetLogFiler1() { g_intFormOpen[idSetLogFiler] = 0; }

void frmSetLogFiler1::buildControls()
{
    setFixedSize(600, 430);
    caption(QStringLiteral("間隔 ："), this, 16, 16);
    const int intervalX[3] = {100, 170, 240};
    const char *units[3] = {"時間", "分", "秒"};
    auto box = [this](int field, QWidget *parent, int x, int y, int w) {
        auto *b = new QLineEdit(parent);
        b->setGeometry(x, y, w, 24);
        b->setReadOnly(true);
        b->setAlignment(Qt::AlignRight);
        b->installEventFilter(this);
        Text2.insert(field, b);
        return b;
    };
    for (int i = 0; i < 3; ++i) {
        box(fldIntervalHour + i, this, intervalX[i], 14, 32)->setAccessibleName(QStringLiteral("間隔 ") + QString::fromUtf8(units[i]));
        caption(QString::fromUtf8(units[i]), this, intervalX[i] + 36, 16, 30);
    }
    caption(QStringLiteral("ﾊﾞｯﾌｧ数 ："), this, 16, 50);

    auto *mode = new QGroupBox(QStringLiteral("終了ﾓｰﾄﾞ"), this);
    mode->setGeometry(10, 84, 314, 150);
    Option1[0] = new QRadioButton(QStringLiteral("個数"), mode);
    Option1[0]->setGeometry(12, 24, 70, 22);
    Option1[1] = new QRadioButton(QStringLiteral("時刻"), mode);
    Option1[1]->setGeometry(12, 86, 70, 22);
    for (int i = 0; i < 2; ++i)
        connect(Option1[i], &QRadioButton::clicked, this, [this, i] { SetEndModeControls(i); });
    caption(QStringLiteral("個数 ："), mode, 20, 52, 60);
    box(fldCount, mode, 80, 50, 64)->setAccessibleName(QStringLiteral("個数"));
    Label1_6 = caption(QString(), mode, 150, 52, 120);
    caption(QStringLiteral("終了時刻 ："), mode, 12, 114, 70);
    struct Part {
        int field, x, w;
        const char *after;
        const char *name;
    };
    const Part parts[] = {{fldEndYear, 84, 40, "/", "年"},   {fldEndMonth, 134, 26, "/", "月"},
                          {fldEndDay, 170, 26, "", "日"},    {fldEndHour, 204, 26, ":", "時"},
                          {fldEndMinute, 240, 26, ":", "分"}, {fldEndSecond, 276, 26, "", "秒"}};
    for (const Part &p : parts) {
        box(p.field, mode, p.x, 112, p.w)->setAccessibleName(QStringLiteral("終了時刻 ") + QString::fromUtf8(p.name));
        if (*p.after)
            caption(QString::fromUtf8(p.after), mode, p.x + p.w + 2, 114, 8);
    }

    caption(QStringLiteral("現在時刻 ："), this, 16, 246);
    Label3 = caption(QString(), this, 100, 246, 200);
    Label3->setAccessibleName(QStringLiteral("現在時刻"));

    MonthView1 = new QCalendarWidget(this);
    MonthView1->setGeometry(330, 14, 260, 190);
    MonthView1->setVerticalHeaderFormat(QCalendarWidget::NoVerticalHeader);
    MonthView1->setAccessibleName(QStringLiteral("終了日"));
    // The calendar offers only the years the end year accepts.
    MonthView1->setDateRange(QDate(FieldRuleOf(fldEndYear).min, 1, 1), QDate(FieldRuleOf(fldEndYear).max, 12, 31));
    connect(MonthView1, &QCalendarWidget::clicked, this, &frmSetLogFiler1::calendarChosen);
    connect(MonthView1, &QCalendarWidget::activated, this, &frmSetLogFiler1::calendarChosen);
    caption(QStringLiteral("日付けの入力はｶﾚﾝﾀﾞｰをｸﾘｯｸ"), this, 334, 208, 256);
    caption(QStringLiteral("時刻は直接入力"), this, 334, 228, 256);

    caption(QStringLiteral("ﾌｫﾙﾀﾞ ："), this, 16, 284);
    Text1[0] = new QLineEdit(this);
    Text1[0]->setGeometry(100, 282, 360, 24);
    Text1[0]->setAccessibleName(QStringLiteral("ﾌｫﾙﾀﾞ"));
    caption(QStringLiteral("ﾌｧｲﾙ名 ："), this, 16, 316);
    Text1[1] = new QLineEdit(this);
    Text1[1]->setGeometry(100, 314, 360, 24);
    Text1[1]->setAccessibleName(QStringLiteral("ﾌｧｲﾙ名"));
    Command1 = new QPushButton(QStringLiteral("ﾌｧｲﾙ名入力"), this);
    Command1->setGeometry(470, 282, 120, 28);
    connect(Command1, &QPushButton::clicked, this, &frmSetLogFiler1::SelectLogFile);
    Check1 = new QCheckBox(QStringLiteral("自動生成"), this);
    Check1->setGeometry(470, 316, 120, 22);

    Command2[0] = new QPushButton(QStringLiteral("OK"), this);
    Command2[1] = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    Command2[0]->setGeometry(400, 386, 90, 30);
    Command2[1]->setGeometry(500, 386, 90, 30);
    for (int i = 0; i < 2; ++i) {
        Command2[i]->setAutoDefault(false);
        connect(Command2[i], &QPushButton::clicked, this, [this, i] { Command2_Click(i); });
    }
    Text3 = new QLineEdit(this);
    Text3->setAlignment(Qt::AlignRight);
    Text3->installEventFilter(this);
}

void frmSetLogFiler1::Timer1_Timer()
{
    QDateTime now = Now();
    now.setTime(QTime(now.time().hour(), now.time().minute(), now.time().second()));
    if (m_lastShown.isValid() && now <= m_lastShown)
        return;
    Label3->setText(now.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")));
    m_lastShown = now;
}

void frmSetLogFiler1::SetSettingToForm(const LogFileSetting &s)
{
    Text2[fldIntervalHour]->setText(s.strInterval.left(2));
    Text2[fldIntervalMinute]->setText(s.strInterval.mid(3, 2));
    Text2[fldIntervalSecond]->setText(s.strInterval.right(2));
    Text2[fldCount]->setText(QString::number(s.lngCountMax));
    QDateTime end = LogEndDateTime(s.strEndTime);
    if (!end.isValid())
        end = Now(); // the placeholder (or nothing read): from now
    Text2[fldEndYear]->setText(QString::number(end.date().year()));
    Text2[fldEndMonth]->setText(twoDigits(end.date().month()));
    Text2[fldEndDay]->setText(twoDigits(end.date().day()));
    Text2[fldEndHour]->setText(twoDigits(end.time().hour()));
    Text2[fldEndMinute]->setText(twoDigits(end.time().minute()));
    Text2[fldEndSecond]->setText(twoDigits(end.time().second()));
    const int mode = s.intEndMode == 1 ? 1 : 0;
    Option1[mode]->setChecked(true);
    SetEndModeControls(mode);
    Check1->setChecked(s.intAutoName == 1);
    Text1[0]->setText(s.strFolder);
    Text1[1]->setText(s.strFileName);
}

void frmSetLogFiler1::SetEndModeControls(int mode)
{
    if (mode != 0 && mode != 1)
        return;
    const bool byTime = mode == 1;
    Text2[fldCount]->setEnabled(!byTime);
    for (int f = fldEndYear; f <= fldEndSecond; ++f)
        Text2[f]->setEnabled(byTime);
    MonthView1->setVisible(byTime);
}

// ---------------------------------------------------------------- field editor

void frmSetLogFiler1::OpenFieldEditor(int field)
{
    // Dates come only from the calendar.
    if (isDateField(field)) {
        MonthView1->setFocus(Qt::OtherFocusReason);
        return;
    }
    QLineEdit *shown = Text2.value(field);
    if (!shown || !shown->isEnabled())
        return;
    Command2[0]->setEnabled(false);
    Text3->clear();
    Text3->setParent(shown->parentWidget());
    Text3->setGeometry(shown->geometry());
    Text3->setText(shown->text());
    Text3->setMaxLength(FieldRuleOf(field).maxLength);
    Text3->setAccessibleName(shown->accessibleName());
    Text3->setEnabled(true);
    Text3->show();
    Text3->raise();
    intEditField = field;
    Text3->setFocus(Qt::OtherFocusReason);
    Text3->selectAll();
}

bool frmSetLogFiler1::CheckFieldValue(int field, const QString &text)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok)
        return false;
    const FieldRule r = FieldRuleOf(field);
    if (v >= r.min && v <= r.max)
        return true;
    activateWindow();
    MsgBox(QStringLiteral("不正な入力値です。入力値を確認してください。") + vbCrLf + QString::number(r.min) +
               QStringLiteral(" =< 値　=< ") + QString::number(r.max),
           vbOKOnly + vbExclamation);
    return false;
}

void frmSetLogFiler1::commitEditor()
{
    const int field = intEditField;
    if (!CheckFieldValue(field, Text3->text())) {
        Text3->setFocus(Qt::OtherFocusReason);
        return;
    }
    const QString t = Text3->text().trimmed();
    Text2[field]->setText(FieldRuleOf(field).twoDigits ? twoDigits(t.toInt()) : t);
    dropEditor();
}

void frmSetLogFiler1::dropEditor()
{
    const int field = intEditField;
    Text3->hide();
    Command2[0]->setEnabled(true);
    if (QLineEdit *shown = Text2.value(field))
        shown->setFocus(Qt::OtherFocusReason);
}

void frmSetLogFiler1::calendarChosen(const QDate &d)
{
    Text2[fldEndYear]->setText(QString::number(d.year()));
    Text2[fldEndMonth]->setText(twoDigits(d.month()));
    Text2[fldEndDay]->setText(twoDigits(d.day()));
}

bool frmSetLogFiler1::eventFilter(QObject *o, QEvent *e)
{
    if (o == Text3) {
        if (e->type() == QEvent::KeyPress) {
            auto *k = static_cast<QKeyEvent *>(e);
            switch (k->key()) {
            case Qt::Key_Return:
            case Qt::Key_Enter: commitEditor(); return true;
            case Qt::Key_Escape: dropEditor(); return true;
            case Qt::Key_Backspace:
            case Qt::Key_Tab:
            case Qt::Key_Backtab: return false;
            default: break;
            }
            const QString t = k->text();
            if (t.isEmpty())
                return false; // cursor keys and the like
            const QChar c = t.at(0);
            return !(c.isDigit() && c.unicode() < 128); // only digits go in
        }
        if (e->type() == QEvent::FocusOut && Text3->isVisible()) {
            // Leaving the editor for another control drops what was typed. A box or another
            // window taking the focus (the range box above all) leaves it open: the focus
            // comes back to it with the window.
            if (static_cast<QFocusEvent *>(e)->reason() != Qt::ActiveWindowFocusReason) {
                Text3->hide();
                Command2[0]->setEnabled(true);
            }
        }
        return false;
    }
    for (auto it = Text2.cbegin(); it != Text2.cend(); ++it) {
        if (o != it.value() || !it.value()->isEnabled())
            continue;
        if (e->type() == QEvent::MouseButtonPress) {
            OpenFieldEditor(it.key());
            return true;
        }
        if (e->type() == QEvent::KeyPress) {
            auto *k = static_cast<QKeyEvent *>(e);
            if (k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab)
                return false;
            OpenFieldEditor(it.key());
            // A typed digit goes into the editor in place of its selected text.
            if (Text3->isVisible() && !k->text().isEmpty() && k->text().at(0).isDigit())
                QCoreApplication::sendEvent(Text3, k);
            return true;
        }
    }
    return QDialog::eventFilter(o, e);
}

// ---------------------------------------------------------------- the file

void frmSetLogFiler1::SelectLogFile()
{
    const QString current = Text1[0]->text() + Text1[1]->text();
    FileDialogRequest req;
    req.title = QStringLiteral("書込みファイルを指定");
    req.filter = QStringLiteral("ﾕｰｻﾞｰﾌｧｲﾙ(*") + QStringLiteral(".csv") + QStringLiteral(")|*") + QStringLiteral(".csv");
    req.flags = cdlOFNPathMustExist | cdlOFNHideReadOnly | cdlOFNNoChangeDir | cdlOFNLongNames;
    if (!current.isEmpty()) {
        req.initDir = GetPathFolder(current);
        req.fileName = GetPathFile(current);
    } else {
        req.initDir = DocumentsFolder();
        req.fileName = MakeLogFileName();
    }
    for (;;) {
        const std::optional<QString> chosen = dialogs().openFile(req);
        if (!chosen)
            return;
        if (QFileInfo::exists(*chosen)) {
            const QString text = QStringLiteral("指定されたファイルは既に存在します。追記しますか？") + vbCrLf + vbCrLf +
                                 QStringLiteral("[OK]=追記、[ｷｬﾝｾﾙ]=再指定");
            if (MsgBox(text, vbOKCancel + vbExclamation, QStringLiteral("ﾌｧｲﾙの指定")) != vbOK)
                continue;
        }
        Text1[0]->setText(GetPathFolder(*chosen));
        Text1[1]->setText(GetPathFile(*chosen));
        return;
    }
}

// ---------------------------------------------------------------- OK and Cancel

bool frmSetLogFiler1::CheckSettingInput()
{
    if (Text3->isVisible())
        Text3->hide();
    const QString caption = QStringLiteral("設定の保存");
    if (Text1[0]->text().isEmpty()) {
        MsgBox(QStringLiteral("保存ﾌｫﾙﾀﾞが空白です。"), vbOKOnly + vbExclamation, caption);
        return false;
    }
    if (Text1[1]->text().isEmpty()) {
        MsgBox(QStringLiteral("保存ﾌｧｲﾙ名が空白です。"), vbOKOnly + vbExclamation, caption);
        return false;
    }
    for (int field : kFieldsInOrder) {
        if (Text2[field]->text().isEmpty()) {
            MsgBox(QStringLiteral("入力が空白です。"), vbOKOnly + vbExclamation, caption);
            return false;
        }
    }
    return true;
}

LogFileSetting frmSetLogFiler1::GetSettingFromForm() const
{
    LogFileSetting s;
    const QString digits = QStringLiteral("%1").arg(
        (Text2[fldIntervalHour]->text() + Text2[fldIntervalMinute]->text() + Text2[fldIntervalSecond]->text()).toLongLong(), 6,
        10, QLatin1Char('0'));
    s.strInterval = digits.left(2) + QLatin1Char(':') + digits.mid(2, 2) + QLatin1Char(':') + digits.right(2);
    s.lngCountMax = Text2[fldCount]->text().toInt();
    s.strEndTime = Text2[fldEndYear]->text() + QLatin1Char('/') + twoDigits(Text2[fldEndMonth]->text().toInt()) +
                   QLatin1Char('/') + twoDigits(Text2[fldEndDay]->text().toInt()) + QLatin1Char(' ') +
                   twoDigits(Text2[fldEndHour]->text().toInt()) + QLatin1Char(':') +
                   twoDigits(Text2[fldEndMinute]->text().toInt()) + QLatin1Char(':') +
                   twoDigits(Text2[fldEndSecond]->text().toInt());
    s.intEndMode = Option1[0]->isChecked() ? 0 : 1;
    s.intAutoName = Check1->isChecked() ? 1 : 0;
    // The log's path is the folder followed directly by the name: a folder typed without
    // its separator is stored with it, so the log lands inside the folder.
    s.strFolder = Text1[0]->text();
    if (!s.strFolder.endsWith(QLatin1Char('/')))
        s.strFolder += QLatin1Char('/');
    s.strFileName = Text1[1]->text();
    return s;
}

void frmSetLogFiler1::Command2_Click(int index)
{
    if (index == 1) {
        reject();
        return;
    }
    if (!CheckSettingInput())
        return;
    // A name "lfst.ini" cannot hold as it stands would come back as another folder or file:
    // refused, naming the character, before anything is saved.
    const std::pair<QLineEdit *, QString> names[] = {{Text1[0], QStringLiteral("保存ﾌｫﾙﾀﾞ")},
                                                     {Text1[1], QStringLiteral("保存ﾌｧｲﾙ名")}};
    for (const auto &[box, what] : names) {
        const QString c = LogSettingBadChar(box->text());
        if (c.isEmpty())
            continue;
        const QString code = QString::number(c.toUcs4().value(0), 16).toUpper().rightJustified(4, QLatin1Char('0'));
        MsgBox(what + QStringLiteral("に使用できない文字「") + c + QStringLiteral("」(U+") + code + QStringLiteral(")が含まれています。"),
               vbOKOnly + vbExclamation, QStringLiteral("設定の保存"));
        box->setFocus(Qt::OtherFocusReason);
        return;
    }
    const LogFileSetting s = GetSettingFromForm();
    // The fields are checked one by one; a day or hour that no calendar has (31 April,
    // 30 February, 24 o'clock) is refused here, before anything is saved.
    if (!LogEndDateTime(s.strEndTime).isValid()) {
        MsgBox(QStringLiteral("不正な入力値です。入力値を確認してください。") + vbCrLf +
                   QStringLiteral("終了時刻 ") + s.strEndTime + QStringLiteral(" は存在しない日時です。"),
               vbOKOnly + vbExclamation);
        return;
    }
    const FileError e = SaveLogFileSetting(s);
    if (e.failed()) {
        // What was typed stays in the window; the old file is whole.
        MsgBox(ErrTextErrNo(e), vbOKOnly + vbCritical, QStringLiteral("設定の保存"));
        return;
    }
    accept();
    if (g_intFormOpen[idLogFiler] != 0)
        MsgBox(QStringLiteral("設定は保存されました。次のﾛｸﾞ収集開始時に設定が反映されます。"), vbOKOnly + vbInformation);
}

void frmSetLogFiler1::closeEvent(QCloseEvent *e)
{
    Timer1.setEnabled(false);
    QDialog::closeEvent(e);
}
