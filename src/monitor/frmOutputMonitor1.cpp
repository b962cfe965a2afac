#include "monitor/frmOutputMonitor1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "monitor/modMonitor1.h"
#include "platform/Geometry.h"

#include <QCloseEvent>
#include <QMdiSubWindow>

namespace {
frmOutputMonitor1 *s_frmOutputMonitor1 = nullptr; // only the registration, m_form, sets it
}
frmOutputMonitor1 *const &g_frmOutputMonitor1 = s_frmOutputMonitor1;

namespace {
const QColor kOn(255, 0, 0), kOff(0, 0, 255), kUnknown(128, 128, 128);

void paintLamp(QLabel *lamp, const QColor &c)
{
    QPalette p = lamp->palette();
    p.setColor(QPalette::Window, c);
    lamp->setPalette(p);
}
} // namespace

frmOutputMonitor1::frmOutputMonitor1()
    : m_form(this, idOutputMonitor, s_frmOutputMonitor1, {[] { return qint32(g_intFormOpen[idOutputMonitor] == -1 ? 1 : 0); }})
{
    setWindowTitle(QStringLiteral("出力ﾓﾆﾀｰﾊﾟﾈﾙ"));
    setFixedSize(8 * 46 + 12, 70);
    for (int i = 0; i < 8; ++i) {
        const int x = 10 + 46 * i;
        Picture1[i] = new QLabel(this);
        Picture1[i]->setGeometry(x + 6, 10, 26, 26);
        Picture1[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        Picture1[i]->setAutoFillBackground(true);
        // A screen reader reads each lamp by its caption and its state; Tab reaches them.
        Picture1[i]->setFocusPolicy(Qt::TabFocus);
        Picture1[i]->setAccessibleName(QStringLiteral("ch%1").arg(i + 1));
        paintLamp(Picture1[i], kUnknown); // until the first reading
        Label1[i] = new QLabel(QStringLiteral("ch%1").arg(i + 1), this);
        Label1[i]->setGeometry(x, 40, 38, 20);
        Label1[i]->setAlignment(Qt::AlignCenter);
        Label1[i]->setBuddy(Picture1[i]);
    }
    // Each reading is shown as it comes; one that came while the window was closed shows
    // at once when it opens while the monitor runs.
    connect(&monitorEvents(), &MonitorEvents::readingStored, this, [this] { subOutputDisp(NewestReading()); });
    if (g_funcMonitorPolling())
        subOutputDisp(NewestReading());
}

frmOutputMonitor1::~frmOutputMonitor1() = default;

void frmOutputMonitor1::loadPlace()
{
    auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget());
    if (!sub)
        return;
    const FormPos &p = g_FormPos[idOutputMonitor];
    const QPoint at = g_intFormPosDefault == -1 ? QPoint(TwipsToPx(100), TwipsToPx(100))
                                                : QPoint(TwipsToPx(p.Left), TwipsToPx(p.Top));
    QRect r(at, sub->sizeHint());
    if (QWidget *area = sub->parentWidget())
        r = FitOnArea(r, area->rect());
    sub->setGeometry(r);
}

void frmOutputMonitor1::subOutputDisp(const Reading &reading)
{
    if (!reading.outputsValid)
        return; // not a reading the lamps can show: they keep their state
    for (int i = 0; i < 8; ++i) {
        const bool on = reading.outputOn(i + 1);
        const QString state = on ? QStringLiteral("ON") : QStringLiteral("OFF");
        if (Picture1[i]->accessibleDescription() == state)
            continue; // a lamp that keeps its state is not painted again
        paintLamp(Picture1[i], on ? kOn : kOff);
        Picture1[i]->setAccessibleDescription(state);
    }
}

void frmOutputMonitor1::closeEvent(QCloseEvent *e)
{
    m_form.closed();
    e->accept();
}
