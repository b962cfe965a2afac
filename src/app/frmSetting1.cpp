#include "app/frmSetting1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modComm1.h"
#include "platform/Dialogs.h"
#include "platform/SerialPort.h"
#include "settings/modUserData.h"

#include <QGroupBox>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>

bool g_funcSamplingCheck(qint32 value)
{
    if (value >= 20 && value <= 2000)
        return true;
    MsgBox(QStringLiteral("入力値が不正です ") + vbCrLf + QStringLiteral("20") + QStringLiteral(" < ｻﾝﾌﾟﾘﾝｸﾞ時間 < ") +
               QStringLiteral("2000"),
           vbOKCancel + vbExclamation, QStringLiteral("入力値の検査"));
    return false;
}

frmSetting1::frmSetting1(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("設定"));
    setFixedSize(400, 250);
    auto *inputs = new QGroupBox(QStringLiteral("入力選択"), this);
    inputs->setGeometry(10, 8, 150, 160);
    static const char *captions[5] = {"0 - 5V", "0 - 10V", "4 - 20mA", "5M", "10M"};
    for (int i = 0; i < 5; ++i) {
        Option2[i] = new QRadioButton(QString::fromUtf8(captions[i]), inputs);
        Option2[i]->setGeometry(12, 22 + 26 * i, 120, 22);
    }
    auto *ports = new QGroupBox(QStringLiteral("通信ポート番号"), this);
    ports->setGeometry(170, 8, 220, 60);
    Combo1 = new QComboBox(ports);
    Combo1->setEditable(false);
    Combo1->setGeometry(12, 24, 120, 24);
    auto *monitor = new QGroupBox(QStringLiteral("入力電圧ﾓﾆﾀｰ"), this);
    monitor->setGeometry(170, 76, 220, 60);
    Label1[0] = new QLabel(QStringLiteral("ｻﾝﾌﾟﾘﾝｸﾞ時間"), monitor);
    Label1[0]->setGeometry(12, 26, 90, 22);
    Text1 = new QLineEdit(monitor);
    Text1->setGeometry(104, 24, 70, 24);
    Text1->setAlignment(Qt::AlignRight);
    Text1->installEventFilter(this);
    Label1[1] = new QLabel(QStringLiteral("ms"), monitor);
    Label1[1]->setGeometry(180, 26, 30, 22);
    PermissionHint = new QLabel(this);
    PermissionHint->setGeometry(170, 140, 220, 56);
    PermissionHint->setWordWrap(true);
    PermissionHint->setStyleSheet(QStringLiteral("QLabel { color: #a00000; }"));
    PermissionHint->hide();
    Command1[0] = new QPushButton(QStringLiteral("OK"), this);
    Command1[1] = new QPushButton(QStringLiteral("キャンセル"), this);
    Command1[0]->setGeometry(210, 206, 84, 30);
    Command1[1]->setGeometry(304, 206, 84, 30);
    // Enter belongs to the sampling box's own check; no button takes it.
    for (QPushButton *b : Command1) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    for (int i = 0; i < 2; ++i)
        connect(Command1[i], &QPushButton::clicked, this, [this, i] { Command1_Click(i); });
    if (QScreen *s = QGuiApplication::primaryScreen()) {
        const QRect r = s->availableGeometry();
        move(r.x() + (r.width() - width()) / 2, r.y() + (r.height() - height()) / 2);
    }
}

void frmSetting1::g_subfrmIni()
{
    g_subTakeUserData();
    // A connection check that failed leaves its port open; trying every port (and a new
    // choice taking effect) needs it closed. The dialog is only offered while disconnected.
    if (g_intConnectStatus == 0)
        g_subCommPortClose();
    int unusable = 0;
    QStringList denied;
    QString hint;
    for (int n = 1; n <= 99; ++n) {
        if (g_funcCommPortCheck(n)) {
            Combo1->addItem(QStringLiteral("COM") + QString::number(n));
            continue;
        }
        ++unusable;
        // A port that is there but closed to this user gets a hint on how to open it.
        const QString h = MSComm1().accessHint(n);
        if (!h.isEmpty()) {
            denied << QStringLiteral("COM") + QString::number(n);
            if (hint.isEmpty())
                hint = h;
        }
    }
    if (!denied.isEmpty()) {
        PermissionHint->setText(denied.join(QStringLiteral(", ")) + QStringLiteral(": ") + hint);
        PermissionHint->show();
    }
    if (unusable < 99) {
        if (g_intCommPort == 0 || g_intCommPort == 100) {
            Combo1->setCurrentIndex(0);
        } else if (g_intCommPort >= 1 && g_intCommPort <= 99) {
            const int i = Combo1->findText(QStringLiteral("COM") + QString::number(g_intCommPort));
            if (i >= 0) {
                Combo1->setCurrentIndex(i);
            } else {
                MsgBox(QStringLiteral("現在設定されているﾎﾟｰﾄ ") + QStringLiteral("COM") + QString::number(g_intCommPort) +
                           QStringLiteral(" は使用できません。") + vbCrLf + QStringLiteral("新しいﾎﾟｰﾄを設定してください。"),
                       vbOKOnly, QStringLiteral("ﾎﾟｰﾄの設定"));
                Combo1->setCurrentIndex(0);
            }
        } else {
            Combo1->setCurrentIndex(-1);
        }
        Command1[0]->setEnabled(true);
    } else {
        MsgBox(QStringLiteral("このパソコンでは使用できる通信ポートが有りません"), vbOKOnly,
               QStringLiteral("通信ポートのチェック"));
        g_intCommPort = 0;
        Command1[0]->setEnabled(false);
        Combo1->setEnabled(false);
    }
    Text1->setText(QString::number(g_lngSamplingTime));
    const int type = g_intInputType >= 2 && g_intInputType <= 5 ? g_intInputType : 1;
    Option2[type - 1]->setChecked(true);
}

qint16 frmSetting1::g_funcSelectedPort() const
{
    const QString t = Combo1->currentText();
    return t.startsWith(QLatin1String("COM")) ? qint16(t.mid(3).toInt()) : 0;
}

void frmSetting1::Command1_Click(int index)
{
    if (index == 1) {
        reject();
        return;
    }
    const qint16 port = g_funcSelectedPort();
    bool number = false;
    const qint32 sampling = Text1->text().trimmed().toInt(&number);
    // A box that holds no whole number is out of range as well.
    if (!g_funcSamplingCheck(number ? sampling : 0)) {
        Text1->setFocus();
        return;
    }
    g_subSamplingTimeSet(sampling);
    for (int i = 0; i < 5; ++i) {
        if (Option2[i]->isChecked()) {
            g_subInputTypeSet(i + 1);
            break;
        }
    }
    UserData[cellInputCode].setData(QByteArrayView(InputTypeOf(g_intInputType).code));
    g_subUnitSet(g_intInputType);
    g_funcIniFileSave(port);
    g_intCommPort = port;
    g_funcShowUserData();
    g_subMonitorWindowsRefresh();
    accept();
}

bool frmSetting1::eventFilter(QObject *o, QEvent *e)
{
    if (o == Text1 && e->type() == QEvent::FocusIn) {
        QMetaObject::invokeMethod(Text1, [this] {
            if (Text1->cursorPosition() == 0 || Text1->hasSelectedText())
                Text1->selectAll();
        }, Qt::QueuedConnection);
    }
    if (o == Text1 && e->type() == QEvent::KeyPress) {
        if (Text1->text().isEmpty())
            return false;
        auto *k = static_cast<QKeyEvent *>(e);
        const int key = k->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Backspace || key == Qt::Key_Tab || key == Qt::Key_Delete)
            return false;
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            bool ok = false;
            const int v = Text1->text().trimmed().toInt(&ok);
            if (ok && v >= -32768 && v <= 32767 && !g_funcSamplingCheck(v))
                Text1->selectAll();
            return true;
        }
        const QString t = k->text();
        if (t.isEmpty())
            return false;
        const QChar c = t.at(0);
        if (c.unicode() == 7 || (c.isDigit() && c.unicode() < 128))
            return false;
        return true;
    }
    return QDialog::eventFilter(o, e);
}
