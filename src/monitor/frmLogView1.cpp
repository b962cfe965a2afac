#include "monitor/frmLogView1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "link/LinkSession.h"
#include "link/modLinkState.h"
#include "monitor/modMonitor1.h"
#include "platform/Geometry.h"
#include "settings/modUserData.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QMdiSubWindow>
#include <QVBoxLayout>

namespace {
frmLogView1 *s_frmLogView1 = nullptr; // only the registration, m_form, sets it
}
frmLogView1 *const &g_frmLogView1 = s_frmLogView1;

namespace {
// Default size, and the limits a resize snaps to (twips).
constexpr int kWidth = 3815, kHeight = 4800;
constexpr int kMinWidth = 2999, kMaxWidth = 3814, kMinHeight = 1999, kMaxHeight = 4799;
} // namespace

frmLogView1::frmLogView1()
    : m_form(this, idLogView, s_frmLogView1, {[this] { return recordedState(); }})
{
    setWindowTitle(QStringLiteral("現在値ﾛｸﾞ表示ﾊﾟﾈﾙ"));
    Label1 = new QListWidget;
    QFont mono(QStringLiteral("IPAGothic"));
    mono.setPixelSize(12);
    mono.setStyleHint(QFont::TypeWriter);
    Label1->setFont(mono);
    Label1->setFrameStyle(QFrame::NoFrame);
    Label1->setUniformItemSizes(true);
    Label1->setTextElideMode(Qt::ElideNone);
    Label1->setAccessibleDescription(QStringLiteral("現在値ﾛｸﾞ"));
    Picture1 = new QWidget;
    menu_Disp_Denatu = new QCheckBox(QStringLiteral("電圧で表示"), Picture1);
    menu_Disp_Bits = new QCheckBox(QStringLiteral("ﾋﾞｯﾄで表示"), Picture1);
    auto *strip = new QHBoxLayout(Picture1);
    strip->setContentsMargins(4, 2, 4, 2);
    strip->addWidget(menu_Disp_Denatu);
    strip->addWidget(menu_Disp_Bits);
    strip->addStretch();
    // The list takes the full width and the height above the strip at the bottom.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(Label1, 1);
    layout->addWidget(Picture1);

    // Load: the boxes from the record (both ticked when there is none).
    const FormPos &p = g_FormPos[idLogView];
    const bool defaults = g_intFormPosDefault == -1;
    menu_Disp_Denatu->setChecked(defaults || (p.State & 2));
    menu_Disp_Bits->setChecked(defaults || (p.State & 4));
    flgBitsDisp = menu_Disp_Bits->isChecked();
    flgVoltDisp = menu_Disp_Denatu->isChecked();
    connect(menu_Disp_Denatu, &QCheckBox::toggled, this, [this](bool on) {
        flgVoltDisp = on;
        subDataDraw();
    });
    connect(menu_Disp_Bits, &QCheckBox::toggled, this, [this](bool on) {
        flgBitsDisp = on;
        subDataDraw();
    });
    connect(&appEvents(), &AppEvents::monitorWindowsRefresh, this, &frmLogView1::subDataDraw);
    // Each reading is listed as it comes.
    connect(&monitorEvents(), &MonitorEvents::readingStored, this, &frmLogView1::subDataDraw);
    subDataDraw();
}

frmLogView1::~frmLogView1() = default;

qint32 frmLogView1::recordedState() const
{
    return 4 * (menu_Disp_Bits->isChecked() ? 1 : 0) + 2 * (menu_Disp_Denatu->isChecked() ? 1 : 0) +
           (g_intFormOpen[idLogView] == -1 ? 1 : 0);
}

void frmLogView1::loadPlace()
{
    auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget());
    if (!sub)
        return;
    // A resize snaps to the limits: the frame cannot be made smaller or larger.
    sub->setMinimumSize(TwipsToPx(kMinWidth), TwipsToPx(kMinHeight));
    sub->setMaximumSize(TwipsToPx(kMaxWidth), TwipsToPx(kMaxHeight));
    FormPos p = g_FormPos[idLogView];
    if (g_intFormPosDefault == -1)
        p = FormPos{kHeight, 0, 0, kWidth, 0};
    if (p.Height <= 0)
        p.Height = kHeight;
    if (p.Width <= 0)
        p.Width = kWidth;
    QRect r = FormPosToPx(p);
    if (QWidget *area = sub->parentWidget())
        r = FitOnArea(r, area->rect());
    sub->setGeometry(r);
}

void frmLogView1::subDataDraw()
{
    if (!flgCacheReady) {
        strLastList.clear();
        strLastCaption.clear();
        flgCacheReady = true;
    }
    QString text;
    // The ring's readings in the unit of the settings loaded now, their reply texts where
    // the boxes are not ticked.
    const ReadingScale scale = AppSessionOptions().scale;
    int i = g_intMonDataIdx;
    for (int n = 0; n < kMonData; ++n) {
        Reading r = g_typMonData[i];
        if (r.time.isValid()) {
            r.applyScale(scale);
            const QString outputs = flgBitsDisp ? r.outputBits() : r.outputsHex;
            QString value = r.valueHex;
            if (flgVoltDisp) {
                value = r.valueText00();
                if (r.valueValid)
                    value += r.unit; // a value that is no number has no unit
            }
            text += MonTimeText(r.time) + value + QStringLiteral("  ") + outputs + QStringLiteral("\r\n");
        }
        i = i == 0 ? kMonData - 1 : i - 1;
    }
    QString caption = QStringLiteral("電圧で表示");
    if (g_intInputType == Current20mA)
        caption = QStringLiteral("電流で表示");
    else if (IsDistanceMode(g_intInputType))
        caption = QStringLiteral("距離で表示");
    if (caption != strLastCaption) {
        menu_Disp_Denatu->setText(caption);
        strLastCaption = caption;
    }
    if (text != strLastList) {
        // Each item keeps its place; only the lines that changed get their new text.
        QStringList lines = text.split(QStringLiteral("\r\n"));
        lines.removeLast(); // after the last CR LF
        while (Label1->count() > lines.size())
            delete Label1->takeItem(Label1->count() - 1);
        for (int n = 0; n < lines.size(); ++n) {
            if (n >= Label1->count())
                Label1->addItem(lines[n]);
            else if (Label1->item(n)->text() != lines[n])
                Label1->item(n)->setText(lines[n]);
        }
        strLastList = text;
    }
}

void frmLogView1::closeEvent(QCloseEvent *e)
{
    // Closed by the user: recorded as closed, so it does not come back at the next start.
    m_form.closed();
    flgCacheReady = false;
    e->accept();
}
