#include "app/frmMdi1.h"

#include "app/ImageList1.h"
#include "app/modMenu.h"
#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "editor/frmCompare1.h"
#include "fleet/SiteMonitor.h"
#include "graph/frmTrend1.h"
#include "link/modLinkState.h"
#include "logfiler/modLogFiler.h"
#include "monitor/modMonitor1.h"
#include "platform/Geometry.h"
#include "platform/Process.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>

namespace {
frmMdi1 *s_frmMdi1 = nullptr;

// Designed client area of the frame, and the size used when a stored size is zero.
constexpr int kDesignWidth = 9285, kDesignHeight = 7815;
constexpr int kDefaultWidth = 9390, kDefaultHeight = 8520;

struct ButtonDef {
    const char *key;
    const char *tip;
    int icon;
    int code;
};
const ButtonDef kButtons[] = {
    {"new", "新規作成", 1, 1},
    {"open", "開く", 2, 2},
    {"save", "上書き保存", 3, 3},
    {nullptr, nullptr, 0, 0},
    {"conect", "接続", 4, 21},
    {"unconect", "接続解除", 5, 22},
    {nullptr, nullptr, 0, 0},
    {"InputMon", "入力ﾓﾆﾀｰﾊﾟﾈﾙ", 6, 12},
    {"graph", "ｸﾞﾗﾌｨｶﾙ表示ﾊﾟﾈﾙ", 8, 11},
    {"outmon", "出力ﾓﾆﾀｰﾊﾟﾈﾙ", 9, 15},
    {nullptr, nullptr, 0, 0},
    {"logviewer", "現在値ﾛｸﾞ表示", 10, 14},
    {"logfiler", "ﾛｸﾞﾌｧｲﾗｰ", 11, 13},
};
} // namespace

frmMdi1 *const &g_frmMdi1 = s_frmMdi1;

void g_subFrmMdi1Set(frmMdi1 *form) { s_frmMdi1 = form; }

frmMdi1::frmMdi1()
{
    // Load handler: hidden while it places itself and builds its bars.
    m_loading = true;
    g_intFormOpen[idMdi] = -1;
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowIcon(ImageList1Icon(8));
    mdiArea = new QMdiArea(this);
    mdiArea->setBackground(QColor(128, 128, 128));
    // A child window that lies partly outside the client area is reached by scrolling.
    mdiArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    mdiArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(mdiArea);
    buildMenus();
    buildToolbar();
    for (int i = 0; i < 2; ++i) {
        StatusBar1Panel[i] = new QLabel(this);
        StatusBar1Panel[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        StatusBar1Panel[i]->setContentsMargins(4, 0, 4, 0);
        statusBar()->addWidget(StatusBar1Panel[i]);
    }
    StatusBar1Panel[0]->setMinimumWidth(120);
    SitesAlarmPanel = new QLabel(this);
    SitesAlarmPanel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    SitesAlarmPanel->setContentsMargins(4, 0, 4, 0);
    SitesAlarmPanel->setStyleSheet(QStringLiteral("color: #c00000; font-weight: bold"));
    SitesAlarmPanel->hide();
    statusBar()->addWidget(SitesAlarmPanel);
    connect(&siteEvents(), &SiteEvents::unacknowledgedChanged, this, [this](int count) {
        SitesAlarmPanel->setText(count > 0 ? QStringLiteral("未確認警報 : %1件").arg(count) : QString());
        SitesAlarmPanel->setVisible(count > 0);
    });
    // A site's history: in the trend window, opened as its menu entry opens it, and brought
    // to the front.
    connect(&siteEvents(), &SiteEvents::historyAsked, this,
            [this](const QString &caption, std::shared_ptr<const TrendSeries> series, const QString &unit) {
                if (!g_frmTrend1)
                    g_subTrendToggle();
                if (!g_frmTrend1)
                    return;
                g_frmTrend1->showSite(caption, std::move(series), unit);
                if (auto *sub = qobject_cast<QMdiSubWindow *>(g_frmTrend1->parentWidget())) {
                    if (sub->isMinimized())
                        sub->showNormal();
                    mdiArea->setActiveSubWindow(sub);
                }
            });
    // A trend window showing a site's history follows its newest reading.
    connect(&siteEvents(), &SiteEvents::historyGrew, this, [](const TrendSeries *series) {
        if (g_frmTrend1)
            g_frmTrend1->siteReadingArrived(series);
    });

    const QRect screen = QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->availableGeometry()
                                                          : QRect(0, 0, 1024, 768);
    if (g_intFormPosDefault != 0) {
        resize(TwipsToPx(kDesignWidth), TwipsToPx(kDesignHeight));
        move(screen.x() + (screen.width() - width()) / 2, screen.y() + (screen.height() - height()) / 2);
    } else {
        // The stored place is the client area's (as recordPosition takes it); a size larger
        // than the screen or a place off it is brought onto the screen.
        const FormPos &p = g_FormPos[idMdi];
        const QRect stored(TwipsToPx(p.Left), TwipsToPx(p.Top), TwipsToPx(p.Width > 0 ? p.Width : kDefaultWidth),
                           TwipsToPx(p.Height > 0 ? p.Height : kDefaultHeight));
        setGeometry(FitOnArea(stored, screen));
        if (p.State == 1)
            setWindowState(Qt::WindowMaximized);
        else if (p.State == 2)
            setWindowState(Qt::WindowMinimized);
        else if (p.State == 0)
            setWindowState(Qt::WindowNoState);
    }
    listen();
    g_subFormPosRecorderSet(idMdi, [this] { recordPosition(); });
    m_loading = false;
}

frmMdi1::~frmMdi1()
{
    // Nothing announced while the children go (the site monitor outlives the windows) may reach
    // the frame's half-destroyed slots.
    disconnect(&siteEvents(), nullptr, this, nullptr);
    g_subFormPosRecorderSet(idMdi, nullptr);
    if (s_frmMdi1 == this)
        s_frmMdi1 = nullptr;
}

void frmMdi1::listen()
{
    connect(&linkEvents(), &LinkEvents::commStatusChanged, this, &frmMdi1::applyCommStatus);
    connect(&monitorEvents(), &MonitorEvents::monitorEnablingChanged, this, &frmMdi1::applyMonitorEnabling);
    connect(&linkEvents(), &LinkEvents::busyLockChanged, this, &frmMdi1::applyBusyLock);
    connect(&linkEvents(), &LinkEvents::waitCursorChanged, this, &frmMdi1::setWaitCursor);
    // A read or write: the whole frame takes no input until it ends.
    connect(&linkEvents(), &LinkEvents::transferRunningChanged, this, [this](bool running) {
        setEnabled(!running);
        if (!running)
            activateWindow();
    });
    connect(&appEvents(), &AppEvents::captionsChanged, this, [this] { setWindowTitle(FrameCaption()); });
    connect(&appEvents(), &AppEvents::exitAsked, this, [this] {
        if (isMinimized())
            showNormal();
    });
    connect(&appEvents(), &AppEvents::ending, this, &QWidget::hide);
    connect(&logFilerEvents(), &LogFilerEvents::windowClosed, this, [this] { subTbr_Logfiler_Enable(true); });
    // The comparison reads the controller: only while connected and the port is free.
    connect(&linkEvents(), &LinkEvents::commStatusChanged, this, &frmMdi1::applyCompareEnabling);
    connect(&linkEvents(), &LinkEvents::busyLockChanged, this, &frmMdi1::applyCompareEnabling);
    connect(&linkEvents(), &LinkEvents::transferRunningChanged, this, &frmMdi1::applyCompareEnabling);
    connect(&monitorEvents(), &MonitorEvents::monitorEnablingChanged, this, &frmMdi1::applyCompareEnabling);
    connect(&monitorEvents(), &MonitorEvents::pollingChanged, this, &frmMdi1::applyCompareEnabling);
    applyCompareEnabling();
}

void frmMdi1::applyCompareEnabling() { menu_Compare->setEnabled(g_funcCompareEnabled()); }

void frmMdi1::applyCommStatus()
{
    setStatusPanel(1, CommPortPanelText(g_intCommPort));
    const CommStatusRow &row = CommStatusRowOf(g_intConnectStatus);
    setStatusPanel(2, QString::fromUtf8(row.panel));
    auto apply = [](auto *control, Enable e, bool monitorOpen = false) {
        control->setEnabled(EnableResult(e, control->isEnabled(), monitorOpen));
    };
    apply(menu_Join, row.join);
    apply(menu_Direct, row.direct, g_intFormOpen[idDirect] == -1);
    apply(menu_Setting, row.setting);
    apply(menu_Tool, row.tool);
    apply(menu_Help, row.help);
    menu_Unjoin->setVisible(EnableResult(row.unjoinShown, menu_Unjoin->isVisible()));
    apply(Toolbar1, row.toolbar);
    apply(button.value(QStringLiteral("conect")), row.conect);
    apply(button.value(QStringLiteral("unconect")), row.unconect);
    if (row.inputMon != Enable::Keep)
        subTbr_MonIn_Enable(EnableResult(row.inputMon, false));
    if (row.connectIcon != Enable::Keep)
        subTbr_Connect_Enable(EnableResult(row.connectIcon, false));
    if (row.disconnectIcon != Enable::Keep)
        subTbr_Disconnect_Enable(EnableResult(row.disconnectIcon, false));
}

void frmMdi1::applyMonitorEnabling()
{
    if (g_intMonitorOn != -1 && g_intMonitorOn != 0)
        return;
    // When the monitor stops, the input monitor entry comes back only while connected.
    const bool on = g_intMonitorOn == 0;
    menu_Direct->setEnabled(on && g_intConnectStatus == 1);
    menu_Setting->setEnabled(on);
    menu_Unjoin->setEnabled(on);
    // The toolbar's disconnect waits for the monitor to stop.
    subTbr_Disconnect_Enable(on && g_intConnectStatus == 1);
}

void frmMdi1::applyBusyLock(bool locked)
{
    // The toolbar is not locked; the two menus leave the menu bar.
    menu_file->menuAction()->setVisible(!locked);
    menu_Tool->menuAction()->setVisible(!locked);
    setWaitCursor(locked);
}

void frmMdi1::g_subfrmIni() { g_subCaptionSet(); }

QMdiSubWindow *frmMdi1::addChild(QWidget *child)
{
    QMdiSubWindow *sub = mdiArea->addSubWindow(child);
    sub->setAttribute(Qt::WA_DeleteOnClose, false);
    sub->setWindowIcon(ImageList1Icon(6));
    return sub;
}

void frmMdi1::buildMenus()
{
    auto cmd = [this](QMenu *m, const QString &text, int code, const QKeySequence &key = {}) {
        QAction *a = m->addAction(text);
        if (!key.isEmpty())
            a->setShortcut(key);
        if (code)
            connect(a, &QAction::triggered, this, [this, code] { emit commandRequested(qint16(code)); });
        return a;
    };
    QMenuBar *bar = menuBar();
    menu_file = bar->addMenu(QStringLiteral("ﾌｧｲﾙ(&F)"));
    menu_fileNewOpen = cmd(menu_file, QStringLiteral("新規ﾌｧｲﾙ(&N)"), 1, QKeySequence(QStringLiteral("Ctrl+N")));
    menu_fileOpen = cmd(menu_file, QStringLiteral("開く(&O)"), 2, QKeySequence(QStringLiteral("Ctrl+O")));
    menu_fileSave = cmd(menu_file, QStringLiteral("上書き保存(&S)"), 3, QKeySequence(QStringLiteral("Ctrl+S")));
    menu_fileSaveAs = cmd(menu_file, QStringLiteral("名前を付けて保存(&A)"), 4, QKeySequence(QStringLiteral("Ctrl+A")));
    menu_file->addSeparator();
    menu_OutputTool = menu_file->addMenu(QStringLiteral("出力(&P)"));
    menu_CsvFile = cmd(menu_OutputTool, QStringLiteral("CSVﾌｧｲﾙへの出力"), 5);
    menu_HTMLFile = cmd(menu_OutputTool, QStringLiteral("HTMLﾌｧｲﾙへの出力"), 0);
    connect(menu_HTMLFile, &QAction::triggered, this, &frmMdi1::htmlOutputRequested);
    menu_PrintOut = cmd(menu_OutputTool, QStringLiteral("印刷(&P)"), 0, QKeySequence(QStringLiteral("Ctrl+P")));
    connect(menu_PrintOut, &QAction::triggered, this, &frmMdi1::printRequested);
    menu_file->addSeparator();
    menu_fileSaveDef = cmd(menu_file, QStringLiteral("初期値として保存(&T)"), 6);
    menu_file->addSeparator();
    menu_end = cmd(menu_file, QStringLiteral("終了(&X)"), 0, QKeySequence(QStringLiteral("Ctrl+Q")));
    connect(menu_end, &QAction::triggered, this, &frmMdi1::endRequested);

    menu_Tool = bar->addMenu(QStringLiteral("ﾂｰﾙ(&T)"));
    connect(menu_Tool, &QMenu::aboutToShow, this, [this] { emit commandRequested(50); });
    menu_Graph = cmd(menu_Tool, QStringLiteral("ｸﾞﾗﾌｨｶﾙ表示(&G)"), 11);
    menu_Direct = cmd(menu_Tool, QStringLiteral("入力ﾓﾆﾀｰﾊﾟﾈﾙ(&M)"), 12);
    menu_LogFiler1 = cmd(menu_Tool, QStringLiteral("ﾛｸﾞﾌｧｲﾗ(&F)"), 13);
    menu_inputLogViewer = cmd(menu_Tool, QStringLiteral("現在値ﾛｸﾞ表示(&L)"), 14);
    menu_outputMonitor = cmd(menu_Tool, QStringLiteral("出力ﾓﾆﾀｰ(&Y)"), 15);
    menu_Tool->addSeparator();
    menu_Join = cmd(menu_Tool, QStringLiteral("接続(&J)"), 21, QKeySequence(QStringLiteral("Ctrl+J")));
    menu_Unjoin = cmd(menu_Tool, QStringLiteral("接続解除(&B)"), 22);
    menu_Tool->addSeparator();
    menu_Setting = menu_Tool->addMenu(QStringLiteral("設定(&C)"));
    menu_Setting_Public = cmd(menu_Setting, QStringLiteral("一般設定"), 31);
    menu_Setting_Color = cmd(menu_Setting, QStringLiteral("色設定 - ｸﾞﾗﾌｨｶﾙ表示ﾊﾟﾈﾙ"), 32);
    // The entries beyond the written ones, after them behind a separator: the level's
    // history, the comparison with the controller and the sites of the watchers.
    menu_Tool->addSeparator();
    menu_Trend = cmd(menu_Tool, QStringLiteral("ﾄﾚﾝﾄﾞ表示(&R)"), 16);
    menu_Compare = cmd(menu_Tool, QStringLiteral("ｺﾝﾄﾛｰﾗとの比較(&D)"), 17);
    menu_Sites = cmd(menu_Tool, QStringLiteral("ｻｲﾄ一覧(&O)"), 18);

    menu_Window = bar->addMenu(QStringLiteral("ｳｨﾝﾄﾞｳ(&W)"));
    connect(menu_Window, &QMenu::aboutToShow, this, &frmMdi1::fillWindowMenu);

    menu_Help = bar->addMenu(QStringLiteral("ﾍﾙﾌﾟ(&H)"));
    menu_VerInfo = cmd(menu_Help, QStringLiteral("ﾊﾞｰｼﾞｮﾝ情報"), 41);
}

void frmMdi1::fillWindowMenu()
{
    menu_Window->clear();
    int n = 1;
    for (QMdiSubWindow *w : mdiArea->subWindowList()) {
        if (!w->isVisible())
            continue;
        QAction *a = menu_Window->addAction(QStringLiteral("&%1 %2").arg(n++).arg(w->windowTitle()));
        a->setCheckable(true);
        a->setChecked(w == mdiArea->activeSubWindow());
        connect(a, &QAction::triggered, this, [this, w] { mdiArea->setActiveSubWindow(w); });
    }
}

void frmMdi1::buildToolbar()
{
    Toolbar1 = addToolBar(QStringLiteral("Toolbar1"));
    Toolbar1->setMovable(false);
    Toolbar1->setIconSize(QSize(24, 24));
    for (const ButtonDef &b : kButtons) {
        if (!b.key) {
            Toolbar1->addSeparator();
            continue;
        }
        const QString key = QString::fromLatin1(b.key);
        QAction *a = Toolbar1->addAction(ImageList1Icon(b.icon), QString());
        a->setObjectName(key);
        a->setToolTip(QString::fromUtf8(b.tip));
        connect(a, &QAction::triggered, this, [this, key] { Toolbar1_ButtonClick(key); });
        button.insert(key, a);
    }
}

void frmMdi1::Toolbar1_ButtonClick(const QString &key)
{
    int code = 0;
    for (const ButtonDef &b : kButtons) {
        if (b.key && key == QLatin1String(b.key))
            code = b.code;
    }
    emit commandRequested(qint16(code));
}

void frmMdi1::setButtonIcon(const QString &key, int icon)
{
    if (QAction *a = button.value(key)) {
        a->setIcon(ImageList1Icon(icon));
    }
}

void frmMdi1::setButton(const QString &key, bool on, int iconOn, int iconOff)
{
    setButtonIcon(key, on ? iconOn : iconOff);
    button.value(key)->setEnabled(on);
}

void frmMdi1::subTbr_Connect_Enable(bool on) { setButton(QStringLiteral("conect"), on, 4, 12); }
void frmMdi1::subTbr_Disconnect_Enable(bool on) { setButton(QStringLiteral("unconect"), on, 5, 13); }
void frmMdi1::subTbr_MonIn_Enable(bool on) { setButton(QStringLiteral("InputMon"), on, 6, 7); }
void frmMdi1::subTbr_Logfiler_Enable(bool on) { setButton(QStringLiteral("logfiler"), on, 11, 14); }

void frmMdi1::setWaitCursor(bool on)
{
    if (on)
        setCursor(Qt::WaitCursor);
    else
        unsetCursor();
}

void frmMdi1::setStatusPanel(int panel, const QString &text)
{
    QLabel *l = StatusBar1Panel[panel - 1];
    l->setText(text);
    if (panel == 2)
        l->setFixedWidth(l->sizeHint().width()); // the state panel is sized to its text
}

QString frmMdi1::statusPanel(int panel) const { return StatusBar1Panel[panel - 1]->text(); }

void frmMdi1::recordPosition()
{
    // The place and size are the client area's in every state (geometry() when normal, the
    // normal geometry when maximized), and the load handler restores them the same way, so
    // a frame that leaves maximized comes back where it was.
    FormPos p = g_FormPos[idMdi];
    auto takeGeometry = [&p](const QRect &r) {
        p.Left = PxToTwips(r.x());
        p.Top = PxToTwips(r.y());
        p.Width = PxToTwips(r.width());
        p.Height = PxToTwips(r.height());
    };
    if (isMinimized()) {
        FlgMaximizeEND = true;
        hide();
        p.State = 2;
    } else if (isMaximized()) {
        FlgMaximizeEND = true;
        hide();
        const QRect normal = normalGeometry();
        setWindowState(Qt::WindowNoState);
        takeGeometry(normal.isValid() ? normal : geometry());
        p.State = 1;
    } else {
        takeGeometry(geometry());
        p.State = FlgMaximizeEND ? 1 : 0;
    }
    g_subFormPosSet(idMdi, p);
}

void frmMdi1::resizeEvent(QResizeEvent *e)
{
    QMainWindow::resizeEvent(e);
    if (!m_loading && !isMaximized() && !isMinimized() && isVisible())
        g_subFormPosGet(idMdi);
}

void frmMdi1::moveEvent(QMoveEvent *e)
{
    QMainWindow::moveEvent(e);
    if (!m_loading && !isMaximized() && !isMinimized() && isVisible())
        g_subFormPosGet(idMdi);
}

void frmMdi1::closeEvent(QCloseEvent *e)
{
    // The editor's close question decides. The frame counts as open while it is asked, so
    // the positions saved on the way out hold the frame's own (maximized included), and a
    // cancelled close leaves it open.
    if (ProcessEnding() || g_funcCloseQuery()) {
        g_intFormOpen[idMdi] = 0;
        e->accept();
    } else {
        e->ignore();
    }
}

void frmMdi1::menuToolOpened()
{
    menu_inputLogViewer->setText(g_intFormOpen[idLogView] != 0 ? QStringLiteral("現在値ﾛｸﾞ表示を閉じる(&L)")
                                                                : QStringLiteral("現在値ﾛｸﾞ表示(&L)"));
    menu_outputMonitor->setText(g_intFormOpen[idOutputMonitor] != 0 ? QStringLiteral("出力ﾓﾆﾀｰを閉じる(&Y)")
                                                                     : QStringLiteral("出力ﾓﾆﾀｰ(&Y)"));
    menu_Graph->setText(g_intFormOpen[idGraph] != 0 ? QStringLiteral("ｸﾞﾗﾌｨｶﾙ表示を閉じる(&G)")
                                                    : QStringLiteral("ｸﾞﾗﾌｨｶﾙ表示(&G)"));
    menu_Trend->setText(g_intFormOpen[idTrend] != 0 ? QStringLiteral("ﾄﾚﾝﾄﾞ表示を閉じる(&R)")
                                                    : QStringLiteral("ﾄﾚﾝﾄﾞ表示(&R)"));
    menu_Sites->setText(g_intFormOpen[idSites] != 0 ? QStringLiteral("ｻｲﾄ一覧を閉じる(&O)")
                                                    : QStringLiteral("ｻｲﾄ一覧(&O)"));
    menu_LogFiler1->setEnabled(g_intFormOpen[idLogFiler] == 0);
    menu_Setting->setEnabled(g_intMonitorOn == 0 && g_intConnectStatus == 0);
    applyCompareEnabling();
}
