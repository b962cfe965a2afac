#include "monitor/frmDirect1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modComm1.h"
#include "link/modLinkState.h"
#include "link/modProtocol.h"
#include "monitor/frmTimer1.h"
#include "monitor/modMonitor1.h"
#include "platform/Dialogs.h"
#include "platform/SerialPort.h"
#include "settings/modUserData.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMdiSubWindow>

#include <cmath>

namespace {
frmDirect1 *s_frmDirect1 = nullptr; // only the registration, m_form, sets it
qint16 s_scrollSrc = 0;
} // namespace
frmDirect1 *const &g_frmDirect1 = s_frmDirect1;
const qint16 &g_intScrollSrc = s_scrollSrc;

void g_subScrollSrcSet(qint16 source) { s_scrollSrc = source; }

namespace {
const QColor kBlink(215, 33, 13); // the indicator's running colour, 860631

QString plainVolts(double v) { return QString::number(v, 'g', 15); }
} // namespace

frmDirect1::frmDirect1()
    : m_form(this, idDirect, s_frmDirect1, {{}, false})
{
    setWindowTitle(QStringLiteral("入力ﾓﾆﾀｰﾊﾟﾈﾙ"));
    buildControls();
    Timer1.onTick = [this] { Timer1_Timer(); };
    listen();
    // Loading: the panel's values start at 0, the logs empty, only "開始" enabled.
    for (int ch = 0; ch < 4; ++ch) {
        Text1[ch]->setText(QStringLiteral("0"));
        Label1[ch]->setText(QStringLiteral("0"));
    }
    Label8[0]->clear();
    Label8[1]->clear();
    Text3->clear();
    Command2[1]->setEnabled(false);
    subDispIni();
    // Opened again while the monitor runs (a running log filer kept it going when the
    // window closed): the buttons, the panel, the indicator and the display follow it.
    if (g_intMonitorOn == -1) {
        applyMonitorEnabling();
        Timer1.setInterval(int(g_lngSamplingTime));
        Timer1.setEnabled(true);
    }
}

frmDirect1::~frmDirect1() = default;

void frmDirect1::buildControls()
{
    setFixedSize(592, 262);
    Label5[0] = new QLabel(this);
    Label5[0]->setGeometry(10, 8, 170, 20);
    Label5[1] = new QLabel(this);
    Label5[1]->setGeometry(10, 30, 170, 20);
    // A screen reader reads each value label's text as its name; the caption beside it
    // labels it (its buddy) and describes it.
    Label6 = new QLabel(QStringLiteral("0.00"), this);
    Label6->setGeometry(184, 8, 130, 42);
    Label6->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label6->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    QFont big = Label6->font();
    big.setPixelSize(26);
    big.setBold(true);
    Label6->setFont(big);
    Label5[0]->setBuddy(Label6);
    Label9 = new QLabel(this);
    Label9->setGeometry(320, 18, 40, 24);
    Picture3 = new QLabel(this);
    Picture3->setGeometry(366, 22, 16, 16);
    Picture3->setFrameStyle(QFrame::Box | QFrame::Plain);
    Picture3->setAutoFillBackground(true);
    Picture3->setAccessibleName(QStringLiteral("動作表示"));
    Picture3->setAccessibleDescription(QStringLiteral("停止中"));
    Command2[0] = new QPushButton(QStringLiteral("開始"), this);
    Command2[1] = new QPushButton(QStringLiteral("停止"), this);
    Command2[0]->setGeometry(398, 14, 86, 30);
    Command2[1]->setGeometry(494, 14, 86, 30);
    for (int i = 0; i < 2; ++i)
        connect(Command2[i], &QPushButton::clicked, this, [this, i] { Command2_Click(i); });

    ChannelFrame = new QGroupBox(this);
    ChannelFrame->setGeometry(6, 56, 580, 136);
    for (int ch = 0; ch < 4; ++ch) {
        const int y = 8 + 31 * ch;
        Label2[ch] = new QLabel(QStringLiteral("CH %1").arg(ch + 1), ChannelFrame);
        Label2[ch]->setGeometry(10, y + 4, 40, 20);
        Command1[ch] = new QPushButton(QStringLiteral("現在値の参照"), ChannelFrame);
        Command1[ch]->setGeometry(52, y, 104, 26);
        Command1[ch]->setAccessibleName(QStringLiteral("CH %1 現在値の参照").arg(ch + 1));
        connect(Command1[ch], &QPushButton::clicked, this, [this, ch] { Command1_Click(ch); });
        Label1[ch] = new QLabel(ChannelFrame);
        Label1[ch]->setGeometry(162, y + 2, 64, 22);
        Label1[ch]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        Label1[ch]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        Label1[ch]->setAccessibleDescription(QStringLiteral("CH %1 現在値").arg(ch + 1));
        Label2[ch]->setBuddy(Label1[ch]);
        Text1[ch] = new QLineEdit(ChannelFrame);
        Text1[ch]->setGeometry(234, y + 2, 60, 22);
        Text1[ch]->setAlignment(Qt::AlignRight);
        Text1[ch]->setReadOnly(true);
        Text1[ch]->setAccessibleName(QStringLiteral("CH %1 出力値 (V)").arg(ch + 1));
        Text1[ch]->installEventFilter(this);
        FlatScrollBar1[ch] = new QScrollBar(Qt::Horizontal, ChannelFrame);
        FlatScrollBar1[ch]->setGeometry(302, y + 4, 268, 18);
        FlatScrollBar1[ch]->setRange(0, 500);
        FlatScrollBar1[ch]->setSingleStep(1);
        FlatScrollBar1[ch]->setPageStep(10);
        // A drag sends its value once, when the thumb is let go; keys send each step.
        FlatScrollBar1[ch]->setTracking(false);
        FlatScrollBar1[ch]->setFocusPolicy(Qt::StrongFocus);
        FlatScrollBar1[ch]->setAccessibleName(QStringLiteral("CH %1 出力").arg(ch + 1));
        connect(FlatScrollBar1[ch], &QScrollBar::valueChanged, this, [this, ch] { FlatScrollBar1_Change(ch); });
    }
    Text2 = new QLineEdit(ChannelFrame);
    Text2->setAlignment(Qt::AlignRight);
    Text2->hide();
    Text2->installEventFilter(this);

    Command3 = new QPushButton(QStringLiteral("Comm Buffer Clear"), this);
    Command3->setGeometry(8, 204, 150, 28);
    connect(Command3, &QPushButton::clicked, this, &frmDirect1::Command3_Click);
    Command4 = new QPushButton(QStringLiteral("クリップボードにコピー"), this);
    Command4->setGeometry(166, 204, 170, 28);
    connect(Command4, &QPushButton::clicked, this, &frmDirect1::Command4_Click);
    LogFrame = new QGroupBox(QStringLiteral("通信のログ"), this);
    LogFrame->setGeometry(344, 192, 242, 64);
    Label8[0] = new QLabel(LogFrame);
    Label8[0]->setGeometry(8, 18, 110, 18);
    Label8[1] = new QLabel(LogFrame);
    Label8[1]->setGeometry(124, 18, 110, 18);
    Text3 = new QLineEdit(LogFrame);
    Text3->setGeometry(8, 38, 226, 22);
    Text3->setAccessibleName(QStringLiteral("通信のログ"));
}

void frmDirect1::listen()
{
    connect(&monitorEvents(), &MonitorEvents::monitorEnablingChanged, this, &frmDirect1::applyMonitorEnabling);
    connect(&monitorEvents(), &MonitorEvents::monitorEnded, this, [this] {
        Timer1.setEnabled(false);
        Timer1.setInterval(0);
    });
    connect(&monitorEvents(), &MonitorEvents::analogMonitorCloseRequested, this, &frmDirect1::closeWindow);
    connect(&appEvents(), &AppEvents::monitorWindowsRefresh, this, &frmDirect1::subDispIni);
    // Each reading is shown as it comes, whatever the display timer does.
    connect(&monitorEvents(), &MonitorEvents::readingStored, this,
            [this] { Label6->setText(NewestReading().valueText()); });
}

// ---------------------------------------------------------------- value

void frmDirect1::subDispIni()
{
    // The newest value in the unit of the settings loaded now.
    Label6->setText(NewestEntry().valueText());
    QString input, range;
    switch (g_intInputType) {
    case Volt10: input = QStringLiteral("アナログ入力電圧"), range = QStringLiteral("設定範囲 0 - 10V"); break;
    case Current20mA: input = QStringLiteral("アナログ入力電流"), range = QStringLiteral("設定範囲 4 - 20mA"); break;
    case Dist5M: input = QStringLiteral("アナログ入力 距離"), range = QStringLiteral("設定範囲 0 - 5M"); break;
    case Dist10M: input = QStringLiteral("アナログ入力 距離"), range = QStringLiteral("設定範囲 0 - 10M"); break;
    default: input = QStringLiteral("アナログ入力電圧"), range = QStringLiteral("設定範囲 0 - 5V"); break;
    }
    Label5[0]->setText(input);
    Label5[1]->setText(range);
    Label9->setText(g_strUnit);
    Label6->setAccessibleDescription(input);
}

void frmDirect1::Timer1_Timer()
{
    // The indicator blinks once a sampling period while the monitor runs.
    m_blink = !m_blink;
    QPalette p = Picture3->palette();
    p.setColor(QPalette::Window, m_blink ? kBlink : palette().color(QPalette::Button));
    Picture3->setPalette(p);
}

// ---------------------------------------------------------------- start and stop

void frmDirect1::Command2_Click(int index)
{
    if (index == 0) {
        // A channel exchange waits for its reply: the poll may not start inside it.
        if (m_exchanges > 0)
            return;
        // The running monitor holds back every other command that talks on the port (this
        // window's panel too) from here on, the first poll's wait included.
        g_subMonitorOnSet(-1);
        reopenPort();
        SerialPortService &port = MSComm1();
        port.input();
        port.clearInBuffer();
        port.clearOutBuffer();
        // A stop asked of an earlier run is not this run's: the first poll must go out.
        g_subMonitorStopSet(0);
        g_subPollWatchReset();
        g_subTimerFormLoad();
        if (g_funcMonitorPoll(QStringLiteral("N"))) {
            if (g_intMonitorStop == 1) {
                // The first reply timed out and its box has told the user: the monitor
                // ends at the next tick like a running one, over the open link.
                g_subMonitorOnSet(0);
                return;
            }
            Timer1.setInterval(int(g_lngSamplingTime));
            Timer1.setEnabled(true);
            return;
        }
        // The poll timer stops before the box: a tick while the box is up would run the
        // failing poll again and show its boxes a second time.
        g_subTimerFormUnload();
        MsgBox(QStringLiteral("ｴﾗｰのため入力電圧ﾓﾆﾀｰを終了します。"), vbOKOnly + vbInformation,
               QStringLiteral("入力電圧ﾓﾆﾀｰ開始"));
        g_subMonitorStopSet(1);
        g_subMonitorOnSet(0);
        // What the poll's next tick would have done, now that it has none.
        g_subAnaMoniEnd();
        g_subConnectStatusSet(0);
        g_subCommBusySet(0);
        emit monitorEvents().analogMonitorCloseRequested();
        g_subCommPortClose();
        return;
    }
    // A running log filer samples this monitor: it may not be stopped under it.
    if (g_funcMonitorHeld()) {
        MsgBox(QStringLiteral("ﾛｸﾞﾌｧｲﾗ動作中は入力ﾓﾆﾀｰを停止できません。"), vbOKOnly);
        emit monitorEvents().stopRefused();
        return;
    }
    g_subMonitorStopSet(1);
    g_subMonitorOnSet(0);
}

void frmDirect1::applyMonitorEnabling()
{
    // The channel panel and the buffer clear share the port with the poll: they work while
    // the monitor stops.
    if (g_intMonitorOn == -1) {
        Command2[0]->setEnabled(false);
        Command2[1]->setEnabled(true);
        Picture3->setAccessibleDescription(QStringLiteral("動作中"));
        setChannelPanelEnabled(false);
        return;
    }
    if (g_intMonitorOn != 0)
        return;
    QPalette p = Picture3->palette();
    p.setColor(QPalette::Window, palette().color(QPalette::Button));
    Picture3->setPalette(p);
    Picture3->setAccessibleDescription(QStringLiteral("停止中"));
    Command2[0]->setEnabled(true);
    Command2[1]->setEnabled(false);
    setChannelPanelEnabled(true);
}

void frmDirect1::setChannelPanelEnabled(bool on)
{
    if (!on)
        endOutputEdit();
    ChannelFrame->setEnabled(on);
    Command3->setEnabled(on);
}

void frmDirect1::reopenPort()
{
    // "Comm Buffer Clear" closes the port and leaves the link as it was (接続中): the
    // window's next exchange opens the port again, as opening the window did. When it cannot,
    // the exchange finds the port closed and says so. A link that is down (the device went
    // away) is not opened behind the user's back: the exchange finds the port closed too,
    // and a port is polled only once the connection check has found the controller.
    if (g_intConnectStatus == 1)
        g_funcCommPortOpen(g_intCommPort);
}

bool frmDirect1::runExchange(const std::function<bool()> &exchange)
{
    // One exchange at a time on the port: a click inside the wait of another is refused.
    if (m_exchanges > 0)
        return false;
    ++m_exchanges;
    const bool ok = exchange();
    if (--m_exchanges == 0 && m_closePending) {
        // The window was closed while the reply was awaited; it goes now, after the
        // caller's last look at its controls (the deletion waits for the event loop).
        m_closePending = false;
        closeWindow();
    }
    return ok;
}

void frmDirect1::closeWindow()
{
    if (auto *s = qobject_cast<QMdiSubWindow *>(parentWidget()))
        s->close();
    else
        close();
}

// ---------------------------------------------------------------- channels

void frmDirect1::Command1_Click(int ch) { g_subChRead(ch); }

void frmDirect1::g_subChRead(int ch)
{
    if (g_intMonitorOn == -1)
        return;
    double volts = 0;
    if (!runExchange([&] {
            reopenPort();
            return g_funcChannelRead(ch, volts);
        }))
        return;
    Label1[ch]->setText(plainVolts(volts));
    Text1[ch]->setText(plainVolts(volts));
    s_scrollSrc = 2;
    FlatScrollBar1[ch]->setValue(int(std::lround(volts * 100)));
    s_scrollSrc = 0;
}

void frmDirect1::g_subChOutput(int ch, double volts)
{
    if (g_intMonitorOn == -1)
        return;
    runExchange([&] {
        reopenPort();
        return g_funcAnalogOut(ch, volts);
    });
}

void frmDirect1::FlatScrollBar1_Change(int ch)
{
    switch (g_intScrollSrc) {
    case 0: {
        const double volts = FlatScrollBar1[ch]->value() / 100.0;
        Text1[ch]->setText(plainVolts(volts));
        g_subChOutput(ch, volts);
        break;
    }
    case 1: g_subChOutput(ch, m_typedVolts); break;
    default: break; // set by a channel read: nothing is sent
    }
    s_scrollSrc = 0;
}

void frmDirect1::startOutputEdit(int ch)
{
    endOutputEdit();
    intEditCh = qint16(ch);
    QPalette p = Text1[ch]->palette();
    p.setColor(QPalette::Base, p.color(QPalette::Highlight));
    p.setColor(QPalette::Text, p.color(QPalette::HighlightedText));
    Text1[ch]->setPalette(p);
    Text2->setGeometry(Text1[ch]->geometry());
    Text2->setText(Text1[ch]->text());
    Text2->setAccessibleName(Text1[ch]->accessibleName());
    Text2->show();
    Text2->raise();
    Text2->setFocus(Qt::OtherFocusReason);
    Text2->selectAll();
}

void frmDirect1::commitOutputEdit()
{
    double v = 0;
    const QString t = Text2->text();
    // Only a number from 0 to 5 V is taken ("nan" and "inf" are none); anything else leaves
    // the box as it is. The value checked here is the one that goes out.
    if (t.isEmpty() || !IsNumeric(t, &v) || !std::isfinite(v) || v < 0 || v > 5)
        return;
    const int ch = intEditCh;
    m_typedVolts = v;
    Text1[ch]->setText(t.trimmed());
    s_scrollSrc = 1;
    FlatScrollBar1[ch]->setValue(int(std::lround(v * 100)));
    s_scrollSrc = 0;
    endOutputEdit();
    Text1[ch]->setFocus(Qt::OtherFocusReason);
}

void frmDirect1::endOutputEdit()
{
    if (!Text2->isVisible())
        return;
    Text2->hide();
    Text1[intEditCh]->setPalette(QPalette());
}

// ---------------------------------------------------------------- buttons

void frmDirect1::Command3_Click()
{
    // The running monitor's poll, or a channel exchange, holds the port.
    if (g_intMonitorOn == -1 || m_exchanges > 0)
        return;
    g_subCommBufferClear();
}

void frmDirect1::Command4_Click()
{
    QClipboard *c = QGuiApplication::clipboard();
    c->clear();
    c->setText(Label6->text());
    Text3->setText(Label6->text());
}

bool frmDirect1::eventFilter(QObject *o, QEvent *e)
{
    for (int ch = 0; ch < 4; ++ch) {
        if (o != Text1[ch] || !Text1[ch]->isEnabled())
            continue;
        if (e->type() == QEvent::MouseButtonPress) {
            startOutputEdit(ch);
            return true;
        }
        if (e->type() == QEvent::KeyPress) {
            auto *k = static_cast<QKeyEvent *>(e);
            if (k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab)
                return false;
            startOutputEdit(ch);
            // A typed character goes into the edit box in place of its selected text.
            if (!k->text().isEmpty() && k->text().at(0).isPrint())
                QCoreApplication::sendEvent(Text2, k);
            return true;
        }
    }
    if (o == Text2) {
        if (e->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent *>(e)->key();
            if (key == Qt::Key_Return || key == Qt::Key_Enter) {
                commitOutputEdit();
                return true;
            }
            if (key == Qt::Key_Escape) {
                endOutputEdit();
                Text1[intEditCh]->setFocus(Qt::OtherFocusReason);
                return true;
            }
        } else if (e->type() == QEvent::FocusOut) {
            const auto reason = static_cast<QFocusEvent *>(e)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                endOutputEdit();
        }
    }
    return QWidget::eventFilter(o, e);
}

void frmDirect1::closeEvent(QCloseEvent *e)
{
    if (m_exchanges > 0) {
        // A channel exchange waits for its reply inside one of this window's handlers:
        // the window leaves the screen now and closes when the exchange returns.
        m_closePending = true;
        if (parentWidget())
            parentWidget()->hide();
        else
            hide();
        e->ignore();
        return;
    }
    // A running monitor is stopped first (a running log filer is reported, and the window
    // closes all the same).
    if (g_intMonitorOn == -1)
        Command2_Click(1);
    Timer1.setEnabled(false);
    m_form.closed();
    g_subCommStatusNotify();
    e->accept();
}
