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
constexpr int kDispLines = 21;
constexpr qint32 kCountLimit = 65535;

QDateTime toSecond(const QDateTime &t)
{
    QDateTime s = t;
    s.setTime(QTime(t.time().hour(), t.time().minute(), t.time().second()));
    return s;
}

// The next once-a-second check: at the wall clock's next whole second, and never more than a
// second of elapsed (monotonic) time away, so a clock set back or forward never holds the
// checks up.
qint64 nextCheckMs(qint64 elapsedMs, const QDateTime &wall) { return elapsedMs + 1000 - wall.time().msec(); }

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
    : m_form(this, idLogFiler, s_frmLogFiler1, {})
{
    setWindowTitle(QStringLiteral("QLVﾛｸﾞﾌｧｲﾗ"));
    buildControls();
    flgBitsDisp = Check1[1]->isChecked();
    flgVoltDisp = Check1[0]->isChecked();
    connect(Check1[0], &QCheckBox::toggled, this, [this](bool on) { flgVoltDisp = on; });
    connect(Check1[1], &QCheckBox::toggled, this, [this](bool on) { flgBitsDisp = on; });
    g_subLogFilerStatusSet(QStringLiteral("-1"));
    LogFileSetting s;
    set = LoadLogFileSetting(s) ? s : DefaultLogFileSetting();
    strStartTime = QDateTime();
    strNextTime = QDateTime();
    lngCount = 0;
    for (int i = 0; i < kDispLines; ++i)
        strDispLine << QString();
    refreshFull(toSecond(Now()));
    ChangeButtonStatus(0);
    Timer1.onTick = [this] { Timer1_Timer(); };
    Timer1.setInterval(100);
    Timer1.setEnabled(true);
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
    if (index == 0 || index == 3)
        completeStop();
    switch (index) {
    case 0:
        intLastCommand = -1;
        if (flgLogFilerOnWork == 2) {
            ChangeButtonStatus(-1);
            g_subLogFilerOnWorkSet(-1);
            const QDateTime now = toSecond(Now());
            alignSchedule(now);
            refreshPartial(now);
            flgRefreshNow = false;
        } else if (StartLogging()) {
            ChangeButtonStatus(-1);
            g_subLogFilerOnWorkSet(-1);
        }
        break;
    case 1:
        ChangeButtonStatus(0);
        intLastCommand = 0;
        if (flgLogFilerOnWork != 0)
            m_stopAsked = true;
        break;
    case 2:
        intLastCommand = 2;
        ChangeButtonStatus(2);
        g_subLogFilerOnWorkSet(2);
        break;
    case 3: {
        intLastCommand = 3;
        ChangeButtonStatus(3);
        frmSetLogFiler1 dlg(this);
        dialogs().runModal(&dlg);
        ChangeButtonStatus(4);
        break;
    }
    default: break;
    }
}

void frmLogFiler1::completeStop()
{
    if (m_stopAsked && flgLogFilerOnWork != 0) {
        const QDateTime now = toSecond(Now());
        EndProc(now);
        refreshPartial(now);
        flgRefreshNow = false;
    }
    m_stopAsked = false;
}

void frmLogFiler1::alignSchedule(const QDateTime &now)
{
    // A pause, a moved clock or stalled readings leave no burst of samples to catch up with
    // readings stamped with times at which they were not taken.
    if (!strNextTime.isValid())
        return;
    const qint64 step = IntervalSeconds(set.strInterval);
    QDateTime next = now;
    if (step > 0) {
        const qint64 behind = strNextTime.secsTo(now); // negative while the next time lies ahead
        const qint64 steps = behind > 0 ? (behind + step - 1) / step : -(-behind / step);
        next = strNextTime.addSecs(steps * step);
    }
    if (next == strNextTime)
        return;
    strNextTime = next;
    flgRefreshNow = true;
}

void frmLogFiler1::keepScheduleNearNow(const QDateTime &now)
{
    if (!strNextTime.isValid())
        return;
    const qint64 step = IntervalSeconds(set.strInterval);
    // A due sample may wait for a fresh reading, one poll period and this check's second,
    // and is then written a little late with its scheduled time. Later than that, or more
    // than an interval ahead (the clock was set back), the schedule goes back on its grid.
    const qint64 slack = (qMax<qint64>(g_lngSamplingTime, 0) + 999) / 1000 + 1;
    const qint64 ahead = now.secsTo(strNextTime);
    if (step <= 0 ? ahead != 0 : (ahead > step || -ahead > slack))
        alignSchedule(now);
}

bool frmLogFiler1::StartLogging()
{
    if (g_intMonitorOn != -1) {
        MsgBox(QStringLiteral("入力ﾓﾆﾀｰ機能が停止している時はﾛｸﾞﾌｧｲﾗは開始できません。"), vbOKOnly + vbExclamation,
               QStringLiteral("ﾛｸﾞﾌｧｲﾗの開始"));
        return false;
    }
    g_subLogFilerStatusSet(QStringLiteral("-1"));
    // Without its settings a run would only meet an append error: it does not start.
    LogFileSetting s;
    if (!LoadLogFileSetting(s))
        return false;
    if (!CheckLogEndTime(s))
        return false;
    g_subLogFilerSettingSet(s);
    set = s;
    strDispLine.clear();
    for (int i = 0; i < kDispLines; ++i)
        strDispLine << QString();
    m_stopAsked = false;
    const QDateTime wall = Now();
    strStartTime = toSecond(wall);
    // The start counts as this second's check.
    dblLastTick = strStartTime;
    m_nextCheckMs = nextCheckMs(clockService().elapsedMs(), wall);
    g_subLogFilePathSet(set.strFolder + set.strFileName);
    lngCount = 0;
    const QString marker = QStringLiteral("/** Logging Start **/");
    if (AppendLogFilerData(LogBlock(marker, strStartTime), g_strLogFilePath) == 3) {
        EndProc(strStartTime);
        return false;
    }
    AddDispLine(marker);
    AddDispLine(QStringLiteral("Time :,") + LogTimeText(strStartTime));
    AddDispLine(QString());
    // The first sample at once, whatever the fresh-reading flag says.
    TakeSample(strStartTime);
    refreshFull(strStartTime);
    // An Abort on the first sample has ended the run already.
    return g_strLogFilerStatus == QLatin1String("-1");
}

void frmLogFiler1::TakeSample(QDateTime scheduled)
{
    const MonDataRec r = g_typMonData[g_intMonDataIdx];
    g_subMonNewFlagSet(monLogFiler, -1);
    dblLastSample = scheduled;
    strNextTime = CalcNextTime(set.strInterval, dblLastSample);
    ++lngCount;
    const QString line = MakeDataLine(lngCount, scheduled, r.Value, r.Outputs, flgVoltDisp, flgBitsDisp);
    if (AppendLogFilerData(line, g_strLogFilePath) == 3)
        EndProc(scheduled);
    else
        AddDispLine(line);
}

bool frmLogFiler1::EndProc(QDateTime curTime)
{
    QString marker;
    if (g_intMonitorOn != -1) {
        MsgBox(QStringLiteral("入力ﾓﾆﾀｰ機能が停止しました。") + QStringLiteral("入力ﾓﾆﾀｰ機能が停止している時はﾛｸﾞﾌｧｲﾗは使用できません。") +
                   vbCrLf + QStringLiteral("ﾛｸﾞﾌｧｲﾗを終了します。"),
               vbOKOnly + vbExclamation);
        marker = QStringLiteral("/** Logging Quit **/");
    } else if (g_strLogFilerStatus != QLatin1String("-1")) {
        if (g_strLogFilerStatus != QLatin1String("10"))
            marker = QStringLiteral("/** Logging ERR STOP **/");
    } else if (intLastCommand == 0 || m_stopAsked) {
        marker = QStringLiteral("/** Logging QUIT **/");
    } else if (set.intEndMode != 0 && LogEndDateTime(set.strEndTime).isValid() &&
               LogEndDateTime(set.strEndTime) <= curTime) {
        marker = QStringLiteral("/** Logging END T **/");
    } else if (set.intEndMode == 0 && lngCount >= set.lngCountMax) {
        marker = QStringLiteral("/** Logging END C **/");
    } else if (lngCount >= kCountLimit) {
        marker = QStringLiteral("/** Logging COUNTMAX OVER **/");
    } else {
        return false;
    }
    ChangeButtonStatus(0);
    g_subLogFilerOnWorkSet(0);
    m_stopAsked = false;
    if (!marker.isEmpty()) {
        flgRefreshNow = true;
        AppendLogFilerData(LogBlock(marker, curTime), g_strLogFilePath);
        AddDispLine(marker);
        AddDispLine(QStringLiteral("Time :,") + LogTimeText(curTime));
        AddDispLine(QString());
    }
    return true;
}

void frmLogFiler1::Timer1_Timer()
{
    // A box inside the work (the end, an append error) lets the timer tick again: the
    // tick waits for itself.
    if (m_inTick)
        return;
    m_inTick = true;
    const QDateTime wall = Now();
    const QDateTime now = toSecond(wall);
    const qint64 elapsed = clockService().elapsedMs();
    // Once a second of elapsed time, whatever the wall clock does; while a log runs also
    // without the monitor's poll, so that a monitor that stopped under the log ends it.
    const bool polling = g_funcMonitorPolling();
    if ((polling || flgLogFilerOnWork != 0) && elapsed >= m_nextCheckMs) {
        m_nextCheckMs = nextCheckMs(elapsed, wall);
        dblLastTick = now;
        if ((flgLogFilerOnWork == -1 || flgLogFilerOnWork == 2) && !EndProc(now)) {
            // While paused nothing is written, and resuming puts the schedule on its grid.
            if (flgLogFilerOnWork == -1)
                keepScheduleNearNow(now);
            if (strNextTime.isValid() && strNextTime <= now) {
                flgRefreshNow = true;
                if (flgLogFilerOnWork == -1 && g_intMonNewFlag[monLogFiler] == 0)
                    TakeSample(strNextTime);
            }
        }
    }
    refreshPartial(now);
    flgRefreshNow = false;
    m_inTick = false;
}

// ---------------------------------------------------------------- display

void frmLogFiler1::AddDispLine(const QString &line)
{
    if (strDispLine.size() >= kDispLines)
        strDispLine.removeFirst();
    strDispLine << line;
}

void frmLogFiler1::ShowDispLines()
{
    Label1->setLines(strDispLine);
}

void frmLogFiler1::refreshPartial(const QDateTime &now)
{
    if (now != dblLastShown) {
        Label3[1]->setText(shownTime(now));
        dblLastShown = now;
    }
    if (!flgRefreshNow)
        return;
    Label3[3]->setText(shownTime(strNextTime));
    Label3[5]->setText(QString::number(lngCount) + QStringLiteral(" 個"));
    ShowDispLines();
}

void frmLogFiler1::refreshFull(const QDateTime &now)
{
    dblLastShown = QDateTime();
    Label3[0]->setText(shownTime(strStartTime));
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
    completeStop();
    if (flgLogFilerOnWork != 0) {
        e->ignore();
        return;
    }
    Timer1.setEnabled(false);
    m_form.closed();
    emit logFilerEvents().windowClosed();
    e->accept();
}
