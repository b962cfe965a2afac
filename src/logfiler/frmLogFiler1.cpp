#include "logfiler/frmLogFiler1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modLinkState.h"
#include "logfiler/frmSetLogFiler1.h"
#include "logfiler/modLogFiler.h"
#include "monitor/modMonitor1.h"
#include "platform/Dialogs.h"

#include <QCloseEvent>
#include <QGroupBox>
#include <QMdiArea>
#include <QMdiSubWindow>

namespace {
frmLogFiler1 *s_frmLogFiler1 = nullptr; // only the registration, m_form, sets it
}
frmLogFiler1 *const &g_frmLogFiler1 = s_frmLogFiler1;

namespace {
QDateTime toSecond(const QDateTime &t)
{
    QDateTime s = t;
    s.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
    return s;
}

QString shownTime(const QDateTime &t)
{
    return t.isValid() ? t.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")) : kNoEndTime;
}

// A value label: to assistive technology its name is the value it shows; the caption
// beside it labels it (and describes it), it does not take the value's place.
void showsValueOf(QLabel *value, QLabel *caption, const QString &description = QString())
{
    value->setTextFormat(Qt::PlainText);
    if (caption) {
        caption->setBuddy(value);
        value->setAccessibleDescription(caption->text().chopped(1));
    } else {
        value->setAccessibleDescription(description);
    }
}

void paintStatus(QLabel *l, const QColor &c)
{
    QPalette p = l->palette();
    p.setColor(QPalette::Window, c);
    l->setPalette(p);
}
} // namespace

frmLogFiler1::frmLogFiler1()
    : m_form(this, idLogFiler, s_frmLogFiler1, {}),
      m_run({[] { return g_intMonitorOn == -1; }, [] { return qint64(g_lngSamplingTime); }})
{
    setWindowTitle(QStringLiteral("QLVﾛｸﾞﾌｧｲﾗ"));
    buildControls();
    flgBitsDisp = Check1[1]->isChecked();
    flgVoltDisp = Check1[0]->isChecked();
    connect(Check1[0], &QCheckBox::toggled, this, [this](bool on) {
        flgVoltDisp = on;
        m_run.setDisplay(flgVoltDisp, flgBitsDisp);
    });
    connect(Check1[1], &QCheckBox::toggled, this, [this](bool on) {
        flgBitsDisp = on;
        m_run.setDisplay(flgVoltDisp, flgBitsDisp);
    });
    g_subLogFilerStatusSet(QStringLiteral("-1"));
    LogFileSetting s;
    set = LoadLogFileSetting(s) ? s : DefaultLogFileSetting();
    refreshFull(toSecond(Now()));
    ChangeButtonStatus(0);
    // The program's run samples the monitor store's newest reading.
    connect(&monitorEvents(), &MonitorEvents::readingStored, &m_run, [this] { m_run.takeReading(NewestReading()); });
    connect(&m_run, &LogRun::begun, this, [this] {
        set = m_run.settings().set;
        g_subLogFilerSettingSet(set);
        g_subLogFilePathSet(m_run.path());
    });
    connect(&m_run, &LogRun::stateChanged, this, &frmLogFiler1::showRunState);
    connect(&m_run, &LogRun::statusChanged, this, [](const QString &status) { g_subLogFilerStatusSet(status); });
    connect(&m_run, &LogRun::changed, this, [this] { flgRefreshNow = true; });
    connect(&m_run, &LogRun::ticked, this, [this](const QDateTime &now) {
        refreshPartial(now);
        flgRefreshNow = false;
    });
    // While it logs, the monitor it samples may not be stopped by hand; a refused stop
    // brings this window forward so that the user sees why.
    g_subMonitorHoldSet([] { return flgLogFilerOnWork == -1; });
    auto toFront = [this] {
        if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget())) {
            if (QMdiArea *area = sub->mdiArea())
                area->setActiveSubWindow(sub);
            sub->raise();
        }
    };
    connect(&logFilerEvents(), &LogFilerEvents::bringToFrontRequested, this, toFront);
    connect(&monitorEvents(), &MonitorEvents::stopRefused, this, toFront);
}

frmLogFiler1::~frmLogFiler1()
{
    g_subMonitorHoldSet({});
}

void frmLogFiler1::buildControls()
{
    setFixedSize(520, 546);
    auto *state = new QGroupBox(QStringLiteral("状態"), this);
    state->setGeometry(8, 6, 330, 168);
    const char *captions[6] = {"開始時刻：", "現在時刻：", "ｻﾝﾌﾟﾘﾝｸﾞ間隔：", "次回ｻﾝﾌﾟﾘﾝｸﾞ：", "終了予定：", "現在個数："};
    for (int i = 0; i < 6; ++i) {
        auto *c = new QLabel(QString::fromUtf8(captions[i]), state);
        c->setGeometry(10, 22 + 24 * i, 120, 20);
        Label3[i] = new QLabel(state);
        Label3[i]->setGeometry(134, 22 + 24 * i, 186, 20);
        showsValueOf(Label3[i], c);
    }
    auto *dest = new QGroupBox(QStringLiteral("保存先"), this);
    dest->setGeometry(8, 178, 330, 68);
    const char *destCaptions[2] = {"ﾌｫﾙﾀﾞ：", "ﾌｧｲﾙ名："};
    for (int i = 0; i < 2; ++i) {
        auto *c = new QLabel(QString::fromUtf8(destCaptions[i]), dest);
        c->setGeometry(10, 20 + 22 * i, 70, 20);
        Label4[i] = new QLabel(dest);
        Label4[i]->setGeometry(80, 20 + 22 * i, 244, 20);
        showsValueOf(Label4[i], c);
    }
    Label5 = new QLabel(this);
    Label5->setGeometry(348, 12, 164, 30);
    Label5->setAlignment(Qt::AlignCenter);
    Label5->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Label5->setAutoFillBackground(true);
    showsValueOf(Label5, nullptr, QStringLiteral("状態"));
    const char *buttons[4] = {"開始", "停止", "中断", "設定"};
    for (int i = 0; i < 4; ++i) {
        Command1[i] = new QPushButton(QString::fromUtf8(buttons[i]), this);
        Command1[i]->setGeometry(348 + 84 * (i % 2), 52 + 38 * (i / 2), 80, 32);
        connect(Command1[i], &QPushButton::clicked, this, [this, i] { Command1_Click(i); });
    }
    Check1[0] = new QCheckBox(QStringLiteral("電圧で表示"), this);
    Check1[0]->setGeometry(348, 140, 164, 22);
    Check1[1] = new QCheckBox(QStringLiteral("ﾋﾞｯﾄで表示"), this);
    Check1[1]->setGeometry(348, 164, 164, 22);
    Check1[0]->setChecked(true);
    Check1[1]->setChecked(true);
    Label1 = new LogLinesLabel(this);
    Label1->setGeometry(8, 252, 504, 286); // 21 lines
    QFont mono(QStringLiteral("IPAGothic"));
    mono.setPixelSize(11);
    mono.setStyleHint(QFont::TypeWriter);
    Label1->setFont(mono);
    Label1->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Label1->setAutoFillBackground(true);
    Label1->setBackgroundRole(QPalette::Base);
    Label1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Label1->setFocusPolicy(Qt::StrongFocus);
    Label1->setAccessibleName(QStringLiteral("ﾛｸﾞ"));
}

void frmLogFiler1::ChangeButtonStatus(qint16 BtnStatus1)
{
    const QColor face = palette().color(QPalette::Button);
    switch (BtnStatus1) {
    case 0:
        Command1[0]->setEnabled(true);
        Command1[0]->setText(QStringLiteral("開始"));
        Command1[1]->setEnabled(false);
        Command1[2]->setEnabled(false);
        Command1[3]->setEnabled(true);
        Label5->setText(QStringLiteral("停止中"));
        paintStatus(Label5, face);
        break;
    case -1:
        Command1[0]->setEnabled(false);
        Command1[0]->setText(QStringLiteral("開始"));
        Command1[1]->setEnabled(true);
        Command1[2]->setEnabled(true);
        Command1[3]->setEnabled(false);
        Label5->setText(QStringLiteral("Log ﾃﾞｰﾀ収集中"));
        paintStatus(Label5, QColor(255, 0, 0));
        break;
    case 2:
        Command1[0]->setEnabled(true);
        Command1[0]->setText(QStringLiteral("再開"));
        Command1[1]->setEnabled(true);
        Command1[2]->setEnabled(false);
        Label5->setText(QStringLiteral("中断"));
        paintStatus(Label5, face);
        break;
    case 3:
        Command1[0]->setEnabled(false);
        Command1[3]->setEnabled(false);
        break;
    case 4:
        Command1[0]->setEnabled(true);
        Command1[3]->setEnabled(true);
        break;
    default: break;
    }
}

// ---------------------------------------------------------------- buttons

void frmLogFiler1::Command1_Click(int index)
{
    // A stop is never lost: a run stopped just before ends with its marker before a new
    // start or the settings window.
    if ((index == 0 || index == 3) && m_run.stopAsked()) {
        m_run.endIfStopAsked();
        refreshPartial(toSecond(Now()));
        flgRefreshNow = false;
    }
    switch (index) {
    case 0:
        if (m_run.state() == LogRun::Paused) {
            ChangeButtonStatus(-1);
            m_run.resume();
            refreshPartial(toSecond(Now()));
            flgRefreshNow = false;
        } else if (StartLogging()) {
            ChangeButtonStatus(-1);
        }
        break;
    case 1:
        ChangeButtonStatus(0);
        m_run.stop();
        break;
    case 2:
        ChangeButtonStatus(2);
        m_run.pause();
        break;
    case 3: {
        ChangeButtonStatus(3);
        frmSetLogFiler1 dlg(this);
        dialogs().runModal(&dlg);
        ChangeButtonStatus(4);
        break;
    }
    default: break;
    }
}

void frmLogFiler1::showRunState(qint16 state)
{
    g_subLogFilerOnWorkSet(state);
    // The run ended by itself (its end, an Abort, the monitor): the buttons follow.
    if (state == LogRun::Stopped)
        ChangeButtonStatus(0);
}

bool frmLogFiler1::StartLogging()
{
    if (!m_run.monitorCheck())
        return false;
    g_subLogFilerStatusSet(QStringLiteral("-1"));
    // Without its settings a run would only meet an append error: it does not start.
    LogFileSetting s;
    if (!LoadLogFileSetting(s))
        return false;
    LogRunSettings settings;
    settings.set = s;
    settings.voltDisp = flgVoltDisp;
    settings.bitsDisp = flgBitsDisp;
    // The first sample is the store's newest reading.
    m_run.takeReading(NewestReading());
    bool begun = false;
    const QMetaObject::Connection seen = connect(&m_run, &LogRun::begun, this, [&begun] { begun = true; });
    const bool started = m_run.start(settings);
    disconnect(seen);
    // The start block written (an Abort on it shows nothing new).
    if (begun && m_run.count() > 0)
        refreshFull(m_run.startTime());
    return started;
}

// ---------------------------------------------------------------- display

void frmLogFiler1::refreshPartial(const QDateTime &now)
{
    if (now != dblLastShown) {
        Label3[1]->setText(shownTime(now));
        dblLastShown = now;
    }
    if (!flgRefreshNow)
        return;
    Label3[3]->setText(shownTime(m_run.nextTime()));
    Label3[5]->setText(QString::number(m_run.count()) + QStringLiteral(" 個"));
    Label1->setLines(m_run.lines());
}

void frmLogFiler1::refreshFull(const QDateTime &now)
{
    dblLastShown = QDateTime();
    Label3[0]->setText(shownTime(m_run.startTime()));
    Label3[2]->setText(set.strInterval);
    Label3[4]->setText(set.intEndMode != 0 ? set.strEndTime : QString::number(set.lngCountMax) + QStringLiteral(" 個"));
    Label4[0]->setText(set.strFolder);
    Label4[1]->setText(set.strFileName);
    Label4[0]->setToolTip(set.strFolder);
    const bool refresh = flgRefreshNow;
    flgRefreshNow = true;
    refreshPartial(now);
    flgRefreshNow = refresh;
}

void frmLogFiler1::closeEvent(QCloseEvent *e)
{
    // Not while logging or paused; a run already stopped ends now.
    m_run.endIfStopAsked();
    if (m_run.state() != LogRun::Stopped) {
        e->ignore();
        return;
    }
    m_form.closed();
    emit logFilerEvents().windowClosed();
    e->accept();
}
