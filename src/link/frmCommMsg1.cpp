#include "link/frmCommMsg1.h"

#include "link/modLinkState.h"
#include "link/modProtocol.h"
#include "link/modTransfer.h"
#include "platform/Clock.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QScreen>

frmCommMsg1 *g_frmCommMsg1 = nullptr;

frmCommMsg1::frmCommMsg1() : QDialog(nullptr)
{
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(300, 120);
    Label1 = new QLabel(this);
    Label1->setGeometry(16, 12, 268, 20);
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setGeometry(16, 40, 268, 22);
    ProgressBar1->setMinimum(0);
    ProgressBar1->setMaximum(47);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    Command1 = new QPushButton(QStringLiteral("中止"), this);
    Command1->setGeometry(110, 78, 80, 28);
    // "中止" cancels: the step loop leaves at its next pass.
    connect(Command1, &QPushButton::clicked, this, [] { g_subTransferCancel(); });
    // The transfer tells how far it got and when the window goes.
    connect(&linkEvents(), &LinkEvents::transferProgress, this, [this](int v) { ProgressBar1->setValue(v); });
    connect(&linkEvents(), &LinkEvents::transferWindowHide, this, &QWidget::hide);
    connect(&linkEvents(), &LinkEvents::transferWindowClose, this, [this] {
        hide();
        if (g_frmCommMsg1 == this)
            g_frmCommMsg1 = nullptr;
        disconnect(&linkEvents(), nullptr, this, nullptr);
        deleteLater();
    });
    hide();
    g_frmCommMsg1 = this;
}

frmCommMsg1::~frmCommMsg1()
{
    if (g_frmCommMsg1 == this)
        g_frmCommMsg1 = nullptr;
}

void frmCommMsg1::formIni()
{
    if (QScreen *s = QGuiApplication::primaryScreen()) {
        const QRect r = s->availableGeometry();
        move(r.x() + (r.width() - width()) / 2, r.y() + (r.height() - height()) / 2);
    }
    ProgressBar1->setMaximum(47);
    // The comparison's read (2) shows itself as a read.
    const bool read = g_intTransferDir != 1;
    setWindowTitle(read ? QStringLiteral("ﾃﾞｰﾀの読込み") : QStringLiteral("ﾃﾞｰﾀの書込み"));
    Label1->setText(read ? QStringLiteral("ﾃﾞｰﾀの読込み中") : QStringLiteral("ﾃﾞｰﾀの書込み中"));
    show();
}

void frmCommMsg1::g_subActComm()
{
    show();
    if (g_intTransferDir == 0)
        g_subControllerRead();
    else if (g_intTransferDir == 1)
        g_subControllerWrite();
    else
        g_subControllerCompareRead();
}

void frmCommMsg1::closeEvent(QCloseEvent *e)
{
    // Closed by its frame while the transfer runs: the same as "中止".
    if (isVisible())
        g_subTransferCancel();
    e->accept();
}

void frmCommMsg1::reject()
{
    g_subTransferCancel();
    hide();
}

void g_subCommMsgListen()
{
    static bool listening = false;
    if (listening)
        return;
    listening = true;
    QObject::connect(&linkEvents(), &LinkEvents::transferWindowRequested, [] {
        auto *w = new frmCommMsg1();
        w->formIni();
        DoEvents();
        Sleep(1);
        w->g_subActComm();
    });
}
