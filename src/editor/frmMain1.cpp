#include "editor/frmMain1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/modComm1.h"
#include "link/modLinkState.h"
#include "link/modPos.h"
#include "link/modProtocol.h"
#include "link/modTransfer.h"
#include "monitor/modMonitor1.h"
#include "platform/Dialogs.h"
#include "platform/Geometry.h"
#include "platform/Process.h"
#include "settings/modCompare.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>

namespace {
frmMain1 *s_frmMain1 = nullptr;
qint16 s_posArea = 0;

constexpr int kEditorWidthPx = 592;
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

QFont gridFont()
{
    QFont f(QStringLiteral("IPAGothic"));
    f.setPixelSize(13);
    return f;
}

} // namespace

frmMain1 *const &g_frmMain1 = s_frmMain1;
const qint16 &g_intPosArea = s_posArea;

void g_subFrmMain1Set(frmMain1 *form) { s_frmMain1 = form; }
void g_subPosAreaSet(qint16 open) { s_posArea = open; }

void SetBackColor(QWidget *w, const QColor &c)
{
    w->setAutoFillBackground(true);
    QPalette p = w->palette();
    p.setColor(QPalette::Window, c);
    w->setPalette(p);
}

frmMain1::frmMain1()
{
    setWindowTitle(QStringLiteral("ﾃﾞｰﾀ設定ﾊﾟﾈﾙ"));
    buildControls();
    listen();
    SetSettingsView({[this](FileError *err) { return subFrmMainDataSet(err); }, [this] { subFrmMainDataGet(); },
                     [this] { return editorTexts(); }});
    g_subFormPosRecorderSet(idMain, [this] {
        FormPos p = windowPos();
        p.State = 0;
        g_subFormPosSet(idMain, p);
    });
}

frmMain1::~frmMain1()
{
    SetSettingsView({});
    g_subFormPosRecorderSet(idMain, nullptr);
    if (s_frmMain1 == this)
        s_frmMain1 = nullptr;
}

void frmMain1::listen()
{
    connect(&linkEvents(), &LinkEvents::commStatusChanged, this, &frmMain1::applyCommStatus);
    connect(&monitorEvents(), &MonitorEvents::monitorEnablingChanged, this, &frmMain1::applyMonitorEnabling);
    connect(&linkEvents(), &LinkEvents::busyLockChanged, this, &frmMain1::setBusyLock);
    connect(&appEvents(), &AppEvents::captionsChanged, this, [this] { setCaption(EditorCaption()); });
    connect(&appEvents(), &AppEvents::ending, this, &frmMain1::hideWindow);
}

void frmMain1::buildControls()
{
    Command1[0] = new QPushButton(QStringLiteral("データ読込"), this);
    Command1[1] = new QPushButton(QStringLiteral("データ書込"), this);
    Command1[0]->setGeometry(4, 4, 84, 24);
    Command1[1]->setGeometry(92, 4, 84, 24);
    for (int i = 0; i < 2; ++i)
        connect(Command1[i], &QPushButton::clicked, this, [this, i] { Command1_Click(i); });

    Label1 = new QLabel(QStringLiteral("Link"), this);
    Label1->setGeometry(184, 4, 44, 24);
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Label1->installEventFilter(this);
    SetBackColor(Label1, kRed);

    Label4 = new QLabel(this);
    Label4->setGeometry(240, 4, 180, 24);
    Label4->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);

    Command2 = new QPushButton(QStringLiteral("POS"), this);
    Command2->setGeometry(530, 4, 54, 24);
    connect(Command2, &QPushButton::clicked, this, &frmMain1::Command2_Click);

    MSFlexGrid1 = new MSFlexGrid(this);
    MSFlexGrid1->setFont(gridFont());
    MSFlexGrid1->move(4, 32);
    connect(MSFlexGrid1, &MSFlexGrid::cellClicked, this, &frmMain1::startGridEdit);
    connect(MSFlexGrid1, &MSFlexGrid::enterPressed, this, &frmMain1::startGridEdit);

    HysFrame = new QGroupBox(kCaptionHysteresis, this);
    HysFrame->setGeometry(4, 100, 112, 44);
    // The four parameters above the hysteresis travel through the editor but stay hidden.
    static const char *captions[3] = {"スケーリング", "オフセット　OV", "オフセット　５V"};
    for (int i = 0; i < 3; ++i) {
        Label3[i] = new QLabel(QString::fromUtf8(captions[i]), this);
        Label3[i]->hide();
    }
    for (int i = 0; i < 5; ++i) {
        Label2[i] = new QLabel(i == 4 ? static_cast<QWidget *>(HysFrame) : this);
        Label2[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        Label2[i]->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        Label2[i]->installEventFilter(this);
        SetBackColor(Label2[i], Qt::white);
        if (i < 4)
            Label2[i]->hide();
    }
    Label2[4]->setGeometry(8, 18, 60, 20);
    HysUnit = new QLabel(HysFrame);
    HysUnit->setGeometry(72, 18, 34, 20);
    Text2 = new QLineEdit(HysFrame);
    Text2->hide();
    Text2->installEventFilter(this);

    Command4[0] = new QPushButton(QStringLiteral("全て「NC」にする"), this);
    Command4[1] = new QPushButton(QStringLiteral("全て「NO」にする"), this);
    Command4[0]->setGeometry(124, 112, 124, 26);
    Command4[1]->setGeometry(252, 112, 124, 26);
    for (int i = 0; i < 2; ++i)
        connect(Command4[i], &QPushButton::clicked, this, [this, i] { Command4_Click(i); });

    DetectLimitFrame = new QGroupBox(kCaptionDetectLimit, this);
    DetectLimitFrame->setGeometry(430, 100, 124, 44);
    Label10 = new QLabel(DetectLimitFrame);
    Label10->setGeometry(8, 18, 70, 20);
    Label10->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Label10->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    Label10->setFont(gridFont());
    Label10->installEventFilter(this);
    SetBackColor(Label10, Qt::white);
    Label5 = new QLabel(QStringLiteral("M"), DetectLimitFrame);
    Label5->setGeometry(84, 18, 20, 20);
    DetectLimitFrame->hide();

    RelayFrame = new QGroupBox(kCaptionRelay, this);
    RelayFrame->setGeometry(4, 146, 548, 56);
    for (int i = 0; i < 8; ++i) {
        const int x = 62 + 60 * i;
        OutLabel[i] = new QLabel(QString::number(i + 1), RelayFrame);
        OutLabel[i]->setGeometry(x - 14, 24, 12, 18);
        Picture2[i] = new QLabel(RelayFrame);
        Picture2[i]->setGeometry(x, 18, 10, 10);
        Picture2[i]->setFrameStyle(QFrame::Box | QFrame::Plain);
        Check1[i] = new QCheckBox(QStringLiteral("NO"), RelayFrame);
        Check1[i]->setGeometry(x, 30, 48, 20);
        connect(Check1[i], &QCheckBox::toggled, this, [this, i] { Check1_Click(i); });
        subRelayDisp(i);
    }

    Text1 = new QLineEdit(this);
    Text1->setFont(gridFont());
    Text1->setAlignment(Qt::AlignRight);
    Text1->hide();
    Text1->installEventFilter(this);

    Frame1 = new QGroupBox(QStringLiteral("ﾎﾟｼﾞｼｮﾝ指定出力（POS）"), this);
    Frame1->setGeometry(4, 206, 548, 190);
    for (int i = 0; i < 4; ++i) {
        auto *l = new QLabel(QStringLiteral("%1").arg(i + 1), Frame1);
        l->setGeometry(20 + 100 * i, 40, 80, 20);
        l->setAlignment(Qt::AlignCenter);
        Combo1[i] = new QComboBox(Frame1);
        Combo1[i]->setGeometry(20 + 100 * i, 64, 80, 28);
    }
    Command3 = new QPushButton(QStringLiteral("送信"), Frame1);
    Command3->setGeometry(430, 120, 100, 36);
    connect(Command3, &QPushButton::clicked, this, &frmMain1::Command3_Click);
    Frame1->hide();
}

// ---------------------------------------------------------------- window

QMdiSubWindow *frmMain1::subWindow() const
{
    QWidget *p = parentWidget();
    while (p && !qobject_cast<QMdiSubWindow *>(p))
        p = p->parentWidget();
    return qobject_cast<QMdiSubWindow *>(p);
}

void frmMain1::setWindowHeightTwips(int twips)
{
    QWidget *w = subWindow() ? static_cast<QWidget *>(subWindow()) : this;
    w->resize(w->width(), TwipsToPx(twips));
    Frame1->setVisible(twips > kEditorHeight);
}

int frmMain1::windowHeightTwips() const
{
    const QWidget *w = subWindow() ? static_cast<const QWidget *>(subWindow()) : this;
    return PxToTwips(w->height());
}

void frmMain1::setCaption(const QString &caption)
{
    setWindowTitle(caption);
    if (QMdiSubWindow *s = subWindow())
        s->setWindowTitle(caption);
}

QString frmMain1::caption() const { return windowTitle(); }

void frmMain1::showWindow()
{
    if (QMdiSubWindow *s = subWindow()) {
        s->show();
        // A stored place outside the frame's area would leave the window out of reach.
        if (QWidget *area = s->parentWidget())
            s->setGeometry(FitOnArea(s->geometry(), area->rect()));
    }
    show();
}

void frmMain1::hideWindow()
{
    if (QMdiSubWindow *s = subWindow())
        s->hide();
    else
        hide();
}

FormPos frmMain1::windowPos() const
{
    const QWidget *w = subWindow() ? static_cast<const QWidget *>(subWindow()) : this;
    FormPos p;
    p.Left = PxToTwips(w->x());
    p.Top = PxToTwips(w->y());
    p.Width = PxToTwips(w->width());
    p.Height = PxToTwips(w->height());
    return p;
}

void frmMain1::requestClose()
{
    if (QMdiSubWindow *s = subWindow())
        s->close();
    else
        close();
}

void frmMain1::closeEvent(QCloseEvent *e)
{
    if (ProcessEnding() || g_funcCloseQuery())
        e->accept();
    else
        e->ignore();
}

void frmMain1::g_subfrmIni()
{
    QWidget *w = subWindow() ? static_cast<QWidget *>(subWindow()) : this;
    w->resize(TwipsToPx(8880), TwipsToPx(kEditorHeight));
    if (g_intFormPosDefault == -1)
        w->move(0, 0);
    else
        w->move(TwipsToPx(g_FormPos[idMain].Left), TwipsToPx(g_FormPos[idMain].Top));
    Frame1->hide();
    s_posArea = 0;
    for (QComboBox *c : Combo1) {
        c->clear();
        for (int n = 0; n <= 7; ++n)
            c->addItem(QString::number(n));
        c->setCurrentIndex(0);
    }
    subFlexGridIni();
    for (QLabel *l : Label2)
        l->clear();
    FileError e;
    if (!subFrmMainDataSet(&e)) {
        // An image that cannot be shown is replaced by the defaults.
        g_subUserDataIni();
        subFrmMainDataSet(nullptr);
    }
    g_subCaptionSet();
    subCommStatus_Change();
    g_intFormOpen[idMain] = -1;
}

void frmMain1::mousePressEvent(QMouseEvent *e)
{
    // The window takes the focus back to its active control: an open hysteresis box stays.
    if (!Text2->hasFocus())
        setFocus(Qt::MouseFocusReason);
    hideText1();
    QWidget::mousePressEvent(e);
}

bool frmMain1::focusNextPrevChild(bool)
{
    // Tab gives the focus to the grid.
    MSFlexGrid1->setFocus(Qt::TabFocusReason);
    return true;
}

// ---------------------------------------------------------------- image <-> editor

void frmMain1::subFlexGridIni()
{
    MSFlexGrid *g = MSFlexGrid1;
    g->hide();
    const bool distance = IsDistanceMode(g_intInputType);
    g->setRowsCols(distance ? 2 : 3, distance ? 7 : 9);
    for (int c = 1; c < g->Cols(); ++c)
        g->setTextMatrix(0, c, GridColumnCaption(g_intInputType, c));
    for (int r = 1; r < g->Rows(); ++r)
        g->setTextMatrix(r, 0, GridRowCaption(g_intInputType, r));
    DetectLimitFrame->setVisible(distance);
    for (int r = 0; r < g->Rows(); ++r) {
        for (int c = 0; c < g->Cols(); ++c) {
            if (r == 0 || c == 0) {
                g->setRow(r);
                g->setCol(c);
                g->setCellAlignmentCenter();
            }
        }
    }
    const bool window = !IsDistanceMode(g_intInputType);
    for (int i = 6; i < 8; ++i) {
        Check1[i]->setVisible(window);
        Picture2[i]->setVisible(window);
        OutLabel[i]->setVisible(window);
    }
    // Both layouts keep the window-mode size: 9 columns and 3 rows of the fixed cells.
    g->resize(TwipsToPx(9 * g->ColWidth0() + 90), TwipsToPx(3 * g->RowHeight0() + 90));
    g->setRow(1);
    g->setCol(1);
    g->setCurrentCell(1, 1);
    g->show();
}

EditorTexts frmMain1::editorTexts() const
{
    EditorTexts t;
    for (int r = 0; r < MSFlexGrid1->Rows() && r < 3; ++r)
        for (int c = 0; c < MSFlexGrid1->Cols() && c < 9; ++c)
            t.cell[r][c] = MSFlexGrid1->TextMatrix(r, c);
    t.detectLimit = Label10->text();
    for (int i = 0; i < 5; ++i)
        t.param[i] = Label2[i]->text();
    for (int i = 0; i < 8; ++i)
        t.nc[i] = Check1[i]->isChecked();
    std::copy(&shownCounts.cellCount[0][0], &shownCounts.cellCount[0][0] + 3 * 9, &t.cellCount[0][0]);
    t.detectLimitCount = shownCounts.detectLimitCount;
    std::copy(shownCounts.paramCount, shownCounts.paramCount + 5, t.paramCount);
    return t;
}

void frmMain1::setEditorTexts(const EditorTexts &t)
{
    MSFlexGrid1->hide();
    for (int r = 1; r < MSFlexGrid1->Rows() && r < 3; ++r)
        for (int c = 1; c < MSFlexGrid1->Cols() && c < 9; ++c)
            MSFlexGrid1->setTextMatrix(r, c, t.cell[r][c]);
    MSFlexGrid1->setRow(1);
    MSFlexGrid1->setCol(1);
    MSFlexGrid1->show();
    Label10->setText(t.detectLimit);
    for (int i = 0; i < 5; ++i)
        Label2[i]->setText(t.param[i]);
    subRelayModeSet(t.nc);
    shownCounts = t;
}

bool frmMain1::subFrmMainDataSet(FileError *err)
{
    // An image that cannot be shown leaves the editor and its input type as they were.
    FileError e;
    if (!ImageShowable(UserData, e)) {
        if (err)
            *err = e;
        return false;
    }
    SetTypeFromImage(UserData);
    EditorTexts t;
    DecodeSettings(UserData, t, e);
    hideText1();
    Text2->hide();
    subFlexGridIni();
    setEditorTexts(t);
    HysUnit->setText(g_strUnit);
    Label5->setText(g_strUnit);
    Label4->setText(InputTypeOf(g_intInputType).rangeCaption);
    return true;
}

void frmMain1::subFrmMainDataGet() { EncodeSettings(editorTexts(), UserData); }

// ---------------------------------------------------------------- NC/NO boxes

void frmMain1::subRelayDisp(int i)
{
    const bool nc = Check1[i]->isChecked();
    Check1[i]->setText(nc ? QStringLiteral("NC") : QStringLiteral("NO"));
    QPalette p = Check1[i]->palette();
    p.setColor(QPalette::Active, QPalette::WindowText, nc ? kRed : kBlue);
    p.setColor(QPalette::Inactive, QPalette::WindowText, nc ? kRed : kBlue);
    Check1[i]->setPalette(p);
    SetBackColor(Picture2[i], nc ? kRed : kBlue);
}

void frmMain1::subRelayModeSet(const bool nc[8])
{
    Check1ValueSet_FLG = true;
    for (int i = 0; i < 8; ++i)
        Check1[i]->setChecked(nc[i]);
    for (int i = 0; i < 8; ++i)
        subRelayDisp(i);
    Check1ValueSet_FLG = false;
}

void frmMain1::Check1_Click(int i)
{
    if (Check1ValueSet_FLG)
        return;
    subRelayDisp(i);
    g_intSaved = 0;
}

void frmMain1::Command4_Click(int index)
{
    for (int i = 0; i < 8; ++i)
        Check1[i]->setChecked(index == 0);
}

void frmMain1::Command2_Click()
{
    if (g_intPosArea == 0) {
        setWindowHeightTwips(kEditorHeightPos);
        s_posArea = 1;
    } else {
        setWindowHeightTwips(kEditorHeight);
        s_posArea = 0;
    }
}

void frmMain1::closePosArea()
{
    if (g_intPosArea == 1)
        Command2_Click();
}

QStringList frmMain1::posSelections() const
{
    QStringList s;
    for (const QComboBox *c : Combo1)
        s << c->currentText();
    return s;
}

void frmMain1::Command1_Click(int index) { g_subTransferStart(index); }

void frmMain1::Command3_Click()
{
    // The running monitor polls the same port: the position output waits until it stops.
    if (g_intMonitorOn == -1)
        return;
    g_subCommBusySet(1);
    g_subPosSend(g_funcPosCommand(posSelections()));
    g_subCommBusySet(0);
    // The lock's release enables the buttons; the connection state (which a lost device
    // may have changed) has the last word.
    subCommStatus_Change();
}

// ---------------------------------------------------------------- connection state

void frmMain1::subCommStatus_Change() { g_subCommStatusNotify(); }

void frmMain1::applyCommStatus()
{
    const CommStatusRow &row = CommStatusRowOf(g_intConnectStatus);
    SetBackColor(Label1, QColor::fromRgb(row.label));
    Command2->setEnabled(EnableResult(row.posButton, Command2->isEnabled()));
    for (QPushButton *b : Command1)
        b->setEnabled(EnableResult(row.transferButtons, b->isEnabled()));
    if (row.closePosArea)
        closePosArea();
}

void frmMain1::g_subCommUnConnect()
{
    if (g_intMonitorOn == -1) {
        g_subMonitorStopSet(1);
        g_subMonitorOnSet(0);
    }
    emit monitorEvents().analogMonitorCloseRequested();
    g_subConnectStatusSet(0);
    g_subCommPortClose();
}

void frmMain1::g_subChangeFrmEnable() { g_subMonitorEnableNotify(); }

void frmMain1::applyMonitorEnabling()
{
    if (g_intMonitorOn != -1 && g_intMonitorOn != 0)
        return;
    // While the monitor runs, the link label, the read and write and the position output's
    // "送信" (the poll and the "P" would share the port) take no input. When it stops they
    // come back, the read and write only while connected.
    const bool on = g_intMonitorOn == 0;
    Label1->setEnabled(on);
    Command1[0]->setEnabled(on && g_intConnectStatus == 1);
    Command1[1]->setEnabled(on && g_intConnectStatus == 1);
    Command3->setEnabled(on);
}

void frmMain1::setBusyLock(bool lock)
{
    const bool on = !lock;
    Command1[0]->setEnabled(on);
    Command1[1]->setEnabled(on);
    Label1->setEnabled(on);
    Command2->setEnabled(on);
    // The position output frame is locked while shown; unlocking always frees it, so a
    // panel closed during the lock does not come back dead.
    if (on || Frame1->isVisible())
        Frame1->setEnabled(on);
    setEnabled(on);
}

// ---------------------------------------------------------------- in-place editing

void frmMain1::placeOver(QLineEdit *box, const QRect &r)
{
    box->setGeometry(r);
    box->show();
    box->raise();
    box->setFocus(Qt::OtherFocusReason);
}

// Starting an edit counts as a change even when the value is left as it was. It is set here,
// not only when the box gets the focus: in a window that is not active the focus comes only
// with the window's activation, which alone never counts.
void frmMain1::startGridEdit()
{
    g_intSaved = 0;
    flgLimitEdit = 0;
    intNowActCOL = qint16(MSFlexGrid1->Col());
    intNowActROW = qint16(MSFlexGrid1->Row());
    const QRect cell = MSFlexGrid1->CellRect().translated(MSFlexGrid1->pos());
    Text1->setText(MSFlexGrid1->Text());
    placeOver(Text1, cell);
}

void frmMain1::startLimitEdit()
{
    g_intSaved = 0;
    flgLimitEdit = 1;
    const QRect r(DetectLimitFrame->pos() + Label10->pos(), Label10->size());
    Text1->setText(Label10->text());
    placeOver(Text1, r);
}

void frmMain1::startParamEdit(int i)
{
    g_intSaved = 0;
    intNowActLabel = qint16(i);
    Text2->setParent(Label2[i]->parentWidget());
    Text2->setGeometry(Label2[i]->geometry());
    Text2->setText(Label2[i]->text());
    Text2->show();
    Text2->raise();
    Text2->setFocus(Qt::OtherFocusReason);
}

void frmMain1::hideText1()
{
    if (Text1->isVisible())
        Text1->hide();
}

void frmMain1::Label1_Click()
{
    hideText1();
    if (g_intConnectStatus != 1)
        g_subConnectCheck();
}

qint16 frmMain1::g_funcInputDataCheck2(double v)
{
    const int otherRow = intNowActROW == 1 ? 2 : 1;
    const double other = ValOf(MSFlexGrid1->TextMatrix(otherRow, intNowActCOL));
    QString second, third;
    if (intNowActROW == 1 && v < other) {
        second = QStringLiteral("入力された値はchの最小値より大きく設定する必要があります。");
        third = QStringLiteral("入力値 >　最小値");
    } else if (intNowActROW == 2 && v > other) {
        second = QStringLiteral("入力された値はchの最大値より小さく設定する必要があります。");
        third = QStringLiteral("最大値 >　入力値");
    } else {
        return -1;
    }
    MsgBox(QStringLiteral("入力された値が不正です。") + vbCrLf + second + vbCrLf + third, vbOKOnly + vbExclamation,
           g_strAppTitle);
    return 0;
}

qint16 frmMain1::g_funcInputDataCheck3(double v)
{
    QString second, third;
    if (flgLimitEdit == 1) {
        for (int c = 2; c <= 6; ++c) {
            if (v < ValOf(MSFlexGrid1->TextMatrix(1, c))) {
                second = QStringLiteral("入力された値は待機、注意、判断、洪水、急激の各値より大きく設定する必要があります。");
                third = QStringLiteral("水位検出上限 入力値 >=　待機、注意、判断、洪水、急激");
                break;
            }
        }
    } else if (intNowActCOL >= 2 && intNowActCOL <= 6 && v > ValOf(Label10->text())) {
        second = QStringLiteral("入力された値は水位検出上限値より小さく設定する必要があります。");
        third = QStringLiteral("水位検出上限値 >=　入力値");
    }
    if (second.isEmpty())
        return -1;
    MsgBox(QStringLiteral("入力された値が不正です。") + vbCrLf + second + vbCrLf + third, vbOKOnly + vbExclamation,
           g_strAppTitle);
    return 0;
}

void frmMain1::commitText1()
{
    double v = 0;
    if (!IsNumeric(Text1->text(), &v))
        return;
    auto refuse = [this] {
        Text1->selectAll();
        Text1->setFocus(Qt::OtherFocusReason);
    };
    if (!g_funcLevelRangeCheck(v)) {
        refuse();
        return;
    }
    const qint16 ok = IsDistanceMode(g_intInputType) ? g_funcInputDataCheck3(v) : g_funcInputDataCheck2(v);
    if (ok == 0) {
        refuse();
        return;
    }
    // The value the controller will hold: quantised to a count and shown again.
    const QString h = HexPad(CountFromDisplay(v, true), 4);
    int count = 0;
    DecodeCount(h.left(2), h.mid(2), count);
    const QString shown = g_funcValueFormat(count * g_dblScale, 1);
    // Every committed value reaches the close question, whenever the edit began (also one
    // begun before a save).
    g_intSaved = 0;
    // An edited value is taken from its text from now on, not from the count it was read as.
    if (flgLimitEdit == 1) {
        Label10->setText(shown);
        shownCounts.detectLimitCount = EditorTexts::kNoCount;
        flgLimitEdit = 0;
        Text1->hide();
    } else {
        MSFlexGrid1->setRow(intNowActROW);
        MSFlexGrid1->setCol(intNowActCOL);
        MSFlexGrid1->setText(shown);
        if (intNowActROW >= 0 && intNowActROW < 3 && intNowActCOL >= 0 && intNowActCOL < 9)
            shownCounts.cellCount[intNowActROW][intNowActCOL] = EditorTexts::kNoCount;
        // The graph's threshold lines follow the committed cell.
        emit appEvents().gridCommitted();
        Text1->hide();
        MSFlexGrid1->setFocus(Qt::OtherFocusReason);
    }
}

void frmMain1::commitText2()
{
    double v = 0;
    if (!IsNumeric(Text2->text(), &v))
        return;
    bool ok = false;
    QString shown;
    switch (intNowActLabel) {
    case 0:
    case 1:
        ok = g_funcCountRangeCheck(v);
        shown = QString::number(v, 'g', 15);
        break;
    case 2:
    case 3:
        ok = g_funcOffsetRangeCheck(v);
        shown = FormatFixed2(v);
        break;
    default:
        ok = g_funcHysRangeCheck(v);
        shown = FormatFixed2(v);
        break;
    }
    if (!ok) {
        Text2->setSelection(0, int(Text2->text().size()));
        return;
    }
    Label2[intNowActLabel]->setText(shown);
    shownCounts.paramCount[intNowActLabel] = EditorTexts::kNoCount;
    g_intSaved = 0;
    Text2->hide();
    MSFlexGrid1->setFocus(Qt::OtherFocusReason);
}

bool frmMain1::filterKey(QLineEdit *box, QKeyEvent *k)
{
    // An empty box takes every key; Enter and Esc then do nothing.
    if (box->text().isEmpty())
        return false;
    const int key = k->key();
    if (key == Qt::Key_Escape) {
        box->hide();
        return true;
    }
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (box == Text1)
            commitText1();
        else
            commitText2();
        return true;
    }
    // Editing keys that are not characters pass (Delete carries a control character).
    if (key == Qt::Key_Backspace || key == Qt::Key_Tab || key == Qt::Key_Delete)
        return false;
    const QString t = k->text();
    if (t.isEmpty())
        return false; // cursor keys and the like are not characters
    const QChar c = t.at(0);
    if (c.isDigit() && c.unicode() < 128)
        return false;
    if (c == QLatin1Char('.'))
        return false;
    return true; // every other character is discarded
}

bool frmMain1::eventFilter(QObject *o, QEvent *e)
{
    if (o == Text1 || o == Text2) {
        auto *box = static_cast<QLineEdit *>(o);
        switch (e->type()) {
        case QEvent::KeyPress:
            return filterKey(box, static_cast<QKeyEvent *>(e));
        case QEvent::FocusIn: {
            // Only focus the user gives the box marks the settings changed; the window
            // coming back to the front (or a closed menu) does not.
            const auto reason = static_cast<QFocusEvent *>(e)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                g_intSaved = 0;
            QMetaObject::invokeMethod(box, &QLineEdit::selectAll, Qt::QueuedConnection);
            break;
        }
        case QEvent::FocusOut: {
            // A message box or another window taking the focus does not end the edit.
            const auto reason = static_cast<QFocusEvent *>(e)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason)
                box->hide();
            break;
        }
        default: break;
        }
        return false;
    }
    // A disabled label (during an exchange or while the monitor runs) takes no clicks.
    if (e->type() == QEvent::MouseButtonRelease && static_cast<QMouseEvent *>(e)->button() == Qt::LeftButton &&
        o->isWidgetType() && static_cast<QWidget *>(o)->isEnabled()) {
        if (o == Label10) {
            startLimitEdit();
            return true;
        }
        if (o == Label1) {
            Label1_Click();
            return true;
        }
        for (int i = 0; i < 5; ++i) {
            if (o == Label2[i]) {
                startParamEdit(i);
                return true;
            }
        }
    }
    return QWidget::eventFilter(o, e);
}
