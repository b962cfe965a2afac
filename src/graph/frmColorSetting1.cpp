#include "graph/frmColorSetting1.h"

#include "core/modMain1.h"
#include "platform/QtDialogs.h"

#include <QEvent>
#include <QPainter>

quint32 g_lngLastChosenColor = 0;

namespace {
QColor colourOf(qint32 c) { return QtDialogs::qtColor(quint32(c)); }

void paintBackground(QWidget *w, const QColor &c)
{
    w->setAutoFillBackground(true);
    QPalette p = w->palette();
    p.setColor(QPalette::Window, c);
    w->setPalette(p);
}
} // namespace

frmColorSetting1::frmColorSetting1(QWidget *parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("色設定 - ｸﾞﾗﾌｨｶﾙ表示ﾊﾟﾈﾙ"));
    setFixedSize(460, 330);
    List1 = new QListWidget(this);
    List1->setGeometry(12, 12, 170, 230);
    List1->setAccessibleName(QStringLiteral("要素"));
    connect(List1, &QListWidget::itemClicked, this, [this] { ShowElementColor(List1->currentRow()); });
    connect(List1, &QListWidget::currentRowChanged, this, [this](int row) {
        if (List1->hasFocus())
            ShowElementColor(row); // the keyboard moves the selection like a click
    });
    Picture1 = new QLabel(this);
    Picture1->setGeometry(196, 12, 60, 28);
    Picture1->setFrameStyle(QFrame::Box | QFrame::Plain);
    Picture1->setAccessibleName(QStringLiteral("選択色"));
    Command1 = new QPushButton(QStringLiteral("色選択"), this);
    Command1->setGeometry(266, 12, 90, 28);
    connect(Command1, &QPushButton::clicked, this, &frmColorSetting1::Command1_Click);

    PreviewFrame = new QGroupBox(QStringLiteral("ﾌﾟﾚﾋﾞｭｰ"), this);
    PreviewFrame->setGeometry(196, 50, 252, 192);
    Picture4 = new QWidget(PreviewFrame);
    Picture4->setGeometry(8, 20, 236, 164);
    Picture4->installEventFilter(this);
    for (int n = 1; n <= 10; ++n) {
        const QString text = n <= 8 ? QStringLiteral("ch%1").arg(n) : n == 9 ? QStringLiteral("ﾚﾍﾞﾙﾒｰﾀｰ") : QStringLiteral("罫線");
        PreviewLabel[n - 1] = new QLabel(text, Picture4);
        PreviewLabel[n - 1]->setGeometry(150, 4 + 16 * (n - 1), 84, 16);
    }
    const char *buttons[3] = {"色設定読込", "色設定保存", "初期値"};
    for (int i = 0; i < 3; ++i) {
        Command2[i] = new QPushButton(QString::fromUtf8(buttons[i]), this);
        Command2[i]->setGeometry(12 + 100 * i, 252, 94, 28);
        connect(Command2[i], &QPushButton::clicked, this, [this, i] { Command2_Click(i); });
    }
    Command3[0] = new QPushButton(QStringLiteral("OK"), this);
    Command3[1] = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    Command3[0]->setGeometry(262, 292, 90, 28);
    Command3[1]->setGeometry(358, 292, 90, 28);
    for (int i = 0; i < 2; ++i) {
        Command3[i]->setAutoDefault(false);
        connect(Command3[i], &QPushButton::clicked, this, [this, i] { Command3_Click(i); });
    }
    g_subfrmIni();
}

void frmColorSetting1::g_subfrmIni()
{
    std::copy(g_lngColor, g_lngColor + kColors, lngWorkColor);
    Command3[1]->setEnabled(true);
    List1->clear();
    List1->addItem(QStringLiteral("背景色"));
    for (int n = 1; n <= 8; ++n)
        List1->addItem(QStringLiteral("ch") + QString::number(n) + QStringLiteral(" 線色"));
    List1->addItem(QStringLiteral("ﾚﾍﾞﾙﾒｰﾀｰ 線色"));
    List1->addItem(QStringLiteral("罫線 線色"));
    // No element is current until the user picks one: set through the view, so that the
    // list taking the focus does not make its first row current without a word.
    List1->setCurrentIndex(QModelIndex());
    ShowPreview();
    paintBackground(Picture1, palette().color(QPalette::Button));
}

void frmColorSetting1::ShowPreview()
{
    paintBackground(Picture4, colourOf(lngWorkColor[0]));
    for (int n = 1; n <= 10; ++n) {
        QPalette p = PreviewLabel[n - 1]->palette();
        p.setColor(QPalette::WindowText, colourOf(lngWorkColor[n]));
        PreviewLabel[n - 1]->setPalette(p);
    }
    Picture4->update();
}

void frmColorSetting1::paintPreview()
{
    QPainter p(Picture4);
    for (int n = 1; n <= 10; ++n) {
        // Channels dotted like the graph's thresholds; the level meter and the grid solid.
        p.setPen(QPen(colourOf(lngWorkColor[n]), 1, n <= 8 ? Qt::DotLine : Qt::SolidLine));
        const int y = PreviewLabel[n - 1]->geometry().center().y();
        p.drawLine(8, y, 140, y);
    }
}

bool frmColorSetting1::eventFilter(QObject *o, QEvent *e)
{
    if (o == Picture4 && e->type() == QEvent::Paint)
        paintPreview();
    return QDialog::eventFilter(o, e);
}

void frmColorSetting1::ShowElementColor(int index)
{
    if (index < 0 || index >= 11) {
        paintBackground(Picture1, palette().color(QPalette::Button));
        return;
    }
    paintBackground(Picture1, colourOf(lngWorkColor[index]));
    Picture1->setAccessibleDescription(colourOf(lngWorkColor[index]).name());
    flgAskOnOK = true;
}

void frmColorSetting1::Command1_Click()
{
    const int index = List1->currentRow();
    if (index < 0) {
        MsgBox(QStringLiteral("変更したい要素をﾘｽﾄ上で選択してください"), vbOKOnly + vbExclamation, QStringLiteral("色選択"));
        return;
    }
    const std::optional<quint32> chosen = dialogs().chooseColor(g_lngLastChosenColor);
    if (!chosen)
        return;
    g_lngLastChosenColor = *chosen;
    lngWorkColor[index] = qint32(*chosen & 0x00FFFFFF);
    ShowElementColor(index);
    ShowPreview();
}

void frmColorSetting1::Command2_Click(int index)
{
    switch (index) {
    case 0: // "色設定読込"
        if (LoadColorFile()) {
            flgAskOnOK = true;
            Command3[1]->setEnabled(false);
        } else {
            Command3[1]->setEnabled(true);
        }
        std::copy(g_lngColor, g_lngColor + kColors, lngWorkColor);
        ShowPreview();
        break;
    case 1: // "色設定保存"
        std::copy(lngWorkColor, lngWorkColor + kColors, g_lngColor);
        if (SaveColorFile()) {
            MsgBox(QStringLiteral("色設定を保存しました。"), vbOKOnly + vbInformation, QStringLiteral("色設定保存"));
            Command3[1]->setEnabled(false);
            flgAskOnOK = false;
        } else {
            Command3[1]->setEnabled(true);
        }
        break;
    case 2: { // "初期値"
        const qint32 *defaults = DefaultColors();
        std::copy(defaults, defaults + 11, lngWorkColor);
        ShowPreview();
        ShowElementColor(List1->currentRow());
        flgAskOnOK = true;
        break;
    }
    default: break;
    }
}

void frmColorSetting1::Command3_Click(int index)
{
    if (index == 1) {
        reject();
        return;
    }
    if (flgAskOnOK) {
        const QString text = QStringLiteral("変更は保存されていません。") + vbCrLf +
                             QStringLiteral("このまま[OK]すると画面上に変更は反映されますが、次回起動時保存された色設定で表示されます。") +
                             vbCrLf + QStringLiteral("よろしいですか？");
        if (MsgBox(text, vbOKCancel + vbQuestion) != vbOK)
            return;
    }
    std::copy(lngWorkColor, lngWorkColor + kColors, g_lngColor);
    // The open graph and trend windows redraw with the new colours.
    emit graphEvents().colorsApplied();
    accept();
}
