#include "graph/frmGraph1.h"

#include "core/modIniFile.h"
#include "core/modMain1.h"
#include "graph/modGraph1.h"
#include "monitor/modMonitor1.h"
#include "platform/QtDialogs.h"
#include "platform/Geometry.h"
#include "settings/modUserData.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QMdiSubWindow>
#include <QPainter>

#include <cmath>

namespace {
frmGraph1 *s_frmGraph1 = nullptr; // only the registration, m_form, sets it
}
frmGraph1 *const &g_frmGraph1 = s_frmGraph1;

namespace {
constexpr int kSidePanelPx = 140;
constexpr int kLoadWidth = 5220, kLoadHeight = 3015;

QColor colourOf(qint32 c) { return QtDialogs::qtColor(quint32(c)); }

bool isDistance() { return IsDistanceMode(g_intInputType); }
} // namespace

int frmGraph1::px(double twips) { return int(std::lround(twips / TwipsPerPixel())); }

frmGraph1::frmGraph1()
    : m_form(this, idGraph, s_frmGraph1, {[] { return qint32(g_intFormOpen[idGraph] == -1 ? 1 : 0); }})
{
    flgGraphLoading = -1;
    setWindowTitle(QStringLiteral("ｸﾞﾗﾌｨｶﾙ表示ﾊﾟﾈﾙ"));
    buildControls();
    for (QWidget *control : findChildren<QWidget *>())
        control->installEventFilter(this);
    subPreView_SetColor();
    subGraphDraw();
    SetScrollRange();
    flgGraphLoading = 0;
    // Each reading draws the level (when its value text changed).
    connect(&monitorEvents(), &MonitorEvents::readingStored, this, &frmGraph1::subLevelDraw);
    connect(&appEvents(), &AppEvents::monitorWindowsRefresh, this, [this] {
        subGraphDraw();
        subRefreshLine();
    });
    // The colour settings' OK: scale, thresholds and legend in the new colours; the level
    // follows once the event loop is free.
    connect(&graphEvents(), &GraphEvents::colorsApplied, this, [this] {
        g_subGraph_Ini();
        g_subDraw_H_Line_All();
        subPreView_SetColor();
        subRefreshLine();
    });
    connect(&appEvents(), &AppEvents::gridCommitted, this, [this] {
        g_subGraph_Ini();
        g_subDraw_H_Line_All();
        subRefreshLine();
    });
}

frmGraph1::~frmGraph1() = default;

void frmGraph1::buildControls()
{
    Picture1 = new QWidget(this);
    Picture1->setFocusPolicy(Qt::StrongFocus);
    // A screen reader reads the plot as a short text of its level and thresholds.
    Picture1->setAccessibleDescription(QStringLiteral("ｸﾞﾗﾌｨｶﾙ表示"));
    FlatScrollBar1 = new QScrollBar(Qt::Vertical, this);
    FlatScrollBar1->setAccessibleName(QStringLiteral("表示位置"));
    connect(FlatScrollBar1, &QScrollBar::valueChanged, this, &frmGraph1::FlatScrollBar1_Change);

    Picture2 = new QWidget(this);
    ZoomFrame = new QGroupBox(QStringLiteral("Zoom"), Picture2);
    ZoomFrame->setGeometry(2, 0, kSidePanelPx - 4, 44);
    Slider1 = new QSlider(Qt::Horizontal, ZoomFrame);
    Slider1->setGeometry(8, 18, kSidePanelPx - 20, 20);
    Slider1->setRange(1, 10);
    Slider1->setSingleStep(1);
    Slider1->setPageStep(1);
    Slider1->setTickPosition(QSlider::TicksBelow);
    Slider1->setAccessibleName(QStringLiteral("Zoom"));
    connect(Slider1, &QSlider::valueChanged, this, &frmGraph1::Slider1_Change);

    Picture3 = new QWidget(Picture2);
    Picture3->setGeometry(2, 46, kSidePanelPx - 4, 104);
    for (int i = 0; i < 8; ++i) {
        Check1[i] = new QCheckBox(QString::number(i + 1), Picture3);
        Check1[i]->setGeometry(6 + 66 * (i / 4), 2 + 20 * (i % 4), 60, 20);
        Check1[i]->setChecked(true);
        Check1[i]->setAccessibleName(QStringLiteral("ch%1").arg(i + 1));
        connect(Check1[i], &QCheckBox::clicked, this, [this] {
            g_subGraph_Ini();
            g_subDraw_H_Line_All();
            subRefreshLine();
        });
    }
    Command2[1] = new QPushButton(QStringLiteral("+"), Picture3);
    Command2[1]->setToolTip(QStringLiteral("全てｵﾝ"));
    Command2[1]->setAccessibleName(QStringLiteral("全てｵﾝ"));
    Command2[1]->setGeometry(6, 82, 58, 22);
    Command2[0] = new QPushButton(QStringLiteral("-"), Picture3);
    Command2[0]->setToolTip(QStringLiteral("全てｵﾌ"));
    Command2[0]->setAccessibleName(QStringLiteral("全てｵﾌ"));
    Command2[0]->setGeometry(72, 82, 58, 22);
    for (int i = 0; i < 2; ++i)
        connect(Command2[i], &QPushButton::clicked, this, [this, i] { Command2_Click(i); });

    Picture4 = new QWidget(Picture2);
    Picture4->setGeometry(2, 152, kSidePanelPx - 4, 58);
    Picture4->setAutoFillBackground(true);
    for (int i = 0; i < 8; ++i) {
        Label1[i] = new QLabel(Picture4);
        Label1[i]->setGeometry(34 + 68 * (i / 4), 2 + 14 * (i % 4), 34, 14);
    }
    Command1 = new QPushButton(QStringLiteral("閉じる"), Picture2);
    Command1->setGeometry(2, 214, kSidePanelPx - 4, 26);
    connect(Command1, &QPushButton::clicked, this, [this] {
        if (auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget()))
            sub->close();
        else
            close();
    });
}

void frmGraph1::loadPlace(const QRect &editor)
{
    auto *sub = qobject_cast<QMdiSubWindow *>(parentWidget());
    if (!sub)
        return;
    sub->setMinimumSize(TwipsToPx(kGraphMinWidth), TwipsToPx(kGraphMinHeight));
    sub->setMaximumSize(TwipsToPx(kGraphMaxWidth), TwipsToPx(kGraphMaxHeight));
    QRect r;
    if (g_intFormPosDefault == -1) {
        // Below the editor, with the right edges in line.
        QSize size = QSize(TwipsToPx(kLoadWidth), TwipsToPx(kLoadHeight)).expandedTo(sub->minimumSize());
        r = QRect(QPoint(editor.right() + 1 - size.width(), editor.bottom() + 1), size);
    } else {
        FormPos p = g_FormPos[idGraph];
        if (p.Width <= 0)
            p.Width = kLoadWidth;
        if (p.Height <= 0)
            p.Height = kLoadHeight;
        r = FormPosToPx(p);
        r.setSize(r.size().expandedTo(sub->minimumSize()).boundedTo(sub->maximumSize()));
    }
    r.moveTo(qMax(0, r.x()), qMax(0, r.y()));
    if (QWidget *area = sub->parentWidget())
        r = FitOnArea(r, area->rect());
    sub->setGeometry(r);
}

void frmGraph1::layoutControls()
{
    const int w = width(), h = height();
    const int sb = FlatScrollBar1->sizeHint().width();
    Picture2->setGeometry(w - kSidePanelPx, 0, kSidePanelPx, h);
    const int plotWidth = qMax(1, w - kSidePanelPx - sb);
    Picture1->setGeometry(0, 0, plotWidth, h);
    FlatScrollBar1->setGeometry(plotWidth, 0, sb, h);
}

void frmGraph1::resizeEvent(QResizeEvent *e)
{
    QWidget::resizeEvent(e);
    if (flgGraphLoading == -1)
        return;
    layoutControls();
    subGraphDraw();
    subRefreshLine();
    SetScrollRange();
}

// ---------------------------------------------------------------- drawing

void frmGraph1::subGraphDraw()
{
    if (flgGraphLoading == -1)
        return;
    g_subGraph_Ini();
    g_subDraw_H_Line_All();
}

void frmGraph1::subRefreshLine()
{
    // The redraw that asked for it has left the plot without the level: it comes back as
    // soon as the event loop is free, once however many redraws asked.
    flgRefreshLevel = -1;
    if (m_levelQueued)
        return;
    m_levelQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_levelQueued = false;
            subLevelDraw();
        },
        Qt::QueuedConnection);
}

void frmGraph1::subPreView_SetColor()
{
    QPalette p = Picture4->palette();
    p.setColor(QPalette::Window, colourOf(g_lngColor[0]));
    Picture4->setPalette(p);
    for (int n = 1; n <= 8; ++n) {
        Label1[n - 1]->setText(QStringLiteral("ch") + QString::number(n));
        QPalette lp = Label1[n - 1]->palette();
        lp.setColor(QPalette::WindowText, colourOf(g_lngColor[n]));
        Label1[n - 1]->setPalette(lp);
    }
    Picture4->update();
}

void frmGraph1::paintLegend()
{
    QPainter p(Picture4);
    for (int n = 1; n <= 8; ++n) {
        if (!Label1[n - 1]->isVisible())
            continue;
        const QRect l = Label1[n - 1]->geometry();
        p.setPen(QPen(colourOf(g_lngColor[n]), 1, Qt::DotLine));
        const int y = l.center().y();
        p.drawLine(l.left() - 30, y, l.left() - 4, y);
    }
}

double frmGraph1::scalePos(double part, double whole) const
{
    // The product first, then one division: 0 lands exactly on the bottom end and the full
    // scale exactly on the top end (position 0). A rounded height of 0.01 unit times the
    // full scale misses the top by a hair, and the line would be dropped as outside.
    return sngZoomHeight - part * double(sngZoomHeight) / whole;
}

bool frmGraph1::visibleAt(double pos, double &y) const
{
    if (pos < sngViewTop || pos > double(sngViewTop) + sngGraphHeight)
        return false;
    y = pos - sngViewTop + 100;
    return true;
}

bool frmGraph1::valueY(double v, double &y) const { return visibleAt(scalePos(v, intDivide_Y), y); }

void frmGraph1::g_subGraph_Ini()
{
    const bool six = isDistance();
    for (int i = 6; i < 8; ++i) {
        Check1[i]->setVisible(!six);
        Label1[i]->setVisible(!six);
    }
    Picture4->update();
    const double H = std::floor(Picture1->height() * TwipsPerPixel());
    const double W = std::floor(Picture1->width() * TwipsPerPixel());
    sngXZero = 300;
    sngGraphHeight = float(H - 250);
    sngGraphWidth = float(W - 400);
    sngYZero = float(H - 150);
    LineColor0 = g_lngColor[10];
    if (m_canvas.size() != Picture1->size())
        m_canvas = QImage(Picture1->size().expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    QPainter p(&m_canvas);
    p.fillRect(QRect(QPoint(0, 0), QPoint(px(W - 10), px(H - 10))), colourOf(g_lngColor[0]));
    intZoom = qint16(qMax(1, Slider1->value()));
    sngZoomHeight = intZoom * sngGraphHeight;
    sngViewTop = (sngZoomHeight - sngGraphHeight) / 2;
    if (intZoom != 1) {
        SetScrollRange();
        sngViewTop = float(lngScrollValue) + sngZoomHeight - sngGraphHeight;
    }
    const QColor axis = colourOf(LineColor0);
    p.setPen(QPen(axis, 1));
    if ((sngViewTop <= 0 && 0 <= sngViewTop + sngGraphHeight) || lngScrollValue == 0)
        p.drawLine(px(sngXZero), px(sngYZero), px(sngXZero + sngGraphWidth), px(sngYZero));
    p.drawLine(px(300), px(100), px(300), px(sngYZero));
    switch (g_intInputType) {
    case Volt10:
    case Dist10M: intDivide_Y = 10; break;
    case Current20mA: intDivide_Y = 20; break;
    default: intDivide_Y = 5; break;
    }
    sngOneSeg_Y = sngZoomHeight / (intDivide_Y * 100);
    const QFontMetrics fm(Picture1->font());
    p.setFont(Picture1->font());
    double y = 0;
    for (int i = 0; i <= intDivide_Y; ++i) {
        if (!visibleAt(scalePos(i, intDivide_Y), y))
            continue;
        p.drawLine(px(220), px(y), px(300), px(y));
        const QString label = QString::number(i);
        const int right = px(220 - 10);
        const QRect box(right - fm.horizontalAdvance(label), px(y) - fm.height() / 2, fm.horizontalAdvance(label), fm.height());
        p.drawText(box, Qt::AlignRight | Qt::AlignVCenter, label);
    }
    for (int i = 0; i <= intDivide_Y * 100; i += 10) {
        if (!visibleAt(scalePos(i, intDivide_Y * 100), y))
            continue;
        p.drawLine(px(220), px(y), px(i % 50 == 0 ? 180 : 210), px(y));
    }
    Picture1->update();
}

void frmGraph1::drawValueLine(double v, qint32 colour, Qt::PenStyle style, double x0, double x1)
{
    double y = 0;
    if (!valueY(v, y))
        return;
    QPainter p(&m_canvas);
    p.setPen(QPen(colourOf(colour), 1, style));
    p.drawLine(px(x0), px(y), px(x1), px(y));
    Picture1->update();
}

// A threshold: dotted across the plot.
void frmGraph1::g_subDraw_H_Line(double myFig, qint32 mColor)
{
    drawValueLine(myFig, mColor, Qt::DotLine, sngXZero, sngXZero + sngGraphWidth);
}

// The level: solid, from the scale's ticks across the plot.
void frmGraph1::g_subDraw_H_Line2(double myFig, qint32 mColor)
{
    drawValueLine(myFig, mColor, Qt::SolidLine, sngXZero - 150, sngXZero - 150 + sngGraphWidth + 150);
}

void frmGraph1::g_subDraw_H_Line_All()
{
    const EditorTexts t = g_funcEditorTexts();
    const bool distance = isDistance();
    const int channels = distance ? 6 : 8;
    m_thresholdText.clear();
    for (int n = 1; n <= channels; ++n) {
        if (!Check1[n - 1]->isChecked())
            continue;
        g_subDraw_H_Line(ValOf(t.cell[1][n]), g_lngColor[n]);
        QString line = QStringLiteral("ch%1 ").arg(n);
        if (distance) {
            line += t.cell[1][n] + g_strUnit;
        } else {
            g_subDraw_H_Line(ValOf(t.cell[2][n]), g_lngColor[n]);
            line += QStringLiteral("最大値 ") + t.cell[1][n] + g_strUnit + QStringLiteral(" 最小値 ") + t.cell[2][n] + g_strUnit;
        }
        m_thresholdText << line;
    }
    describePlot();
}

void frmGraph1::describePlot()
{
    QStringList parts;
    if (!m_levelText.isEmpty())
        parts << QStringLiteral("ﾚﾍﾞﾙﾒｰﾀｰ ") + m_levelText;
    parts << m_thresholdText;
    const QString text = parts.join(QStringLiteral("、"));
    if (Picture1->accessibleName() != text)
        Picture1->setAccessibleName(text);
}

// ---------------------------------------------------------------- zoom and scroll

void frmGraph1::SetScrollRange()
{
    if (flgGraphLoading == -1)
        return;
    flgScrollSetting = -1;
    if (intZoom <= 1) {
        FlatScrollBar1->setEnabled(false);
        FlatScrollBar1->setRange(0, 0);
        lngScrollValue = qint32(sngZoomHeight / 2);
        lngScrollMin = qint32(sngGraphHeight);
    } else {
        FlatScrollBar1->setEnabled(true);
        const qint32 newMin = qint32(sngGraphHeight - sngZoomHeight);
        FlatScrollBar1->setRange(newMin, 0);
        FlatScrollBar1->setPageStep(qMax(1, int(100 * sngOneSeg_Y)));
        FlatScrollBar1->setSingleStep(qMax(1, int(20 * sngOneSeg_Y)));
        // The view keeps its relative place in the scale.
        const qint32 value = lngScrollMin != 0 ? qint32(std::lround(double(lngScrollValue) / lngScrollMin * newMin)) : newMin / 2;
        FlatScrollBar1->setValue(value);
        lngScrollValue = value;
        lngScrollMin = newMin;
    }
    flgScrollSetting = 0;
}

void frmGraph1::FlatScrollBar1_Change()
{
    if (flgScrollSetting == -1)
        return;
    FlatScrollBar1->setEnabled(false);
    lngScrollValue = FlatScrollBar1->value();
    subGraphDraw();
    subRefreshLine();
    FlatScrollBar1->setEnabled(true);
}

void frmGraph1::Slider1_Change()
{
    subGraphDraw();
    subRefreshLine();
    SetScrollRange();
    Picture1->setFocus(Qt::OtherFocusReason);
}

void frmGraph1::scrollBy(int direction)
{
    const int small = FlatScrollBar1->singleStep();
    if (direction < 0 && lngScrollValue > FlatScrollBar1->minimum())
        lngScrollValue = qMax(FlatScrollBar1->minimum(), FlatScrollBar1->value() - small);
    else if (direction > 0 && lngScrollValue < FlatScrollBar1->maximum())
        lngScrollValue = qMin(FlatScrollBar1->maximum(), FlatScrollBar1->value() + small);
    else
        return;
    // The bar follows, so that the next key goes on from here.
    flgScrollSetting = -1;
    FlatScrollBar1->setValue(lngScrollValue);
    flgScrollSetting = 0;
    subGraphDraw();
    subRefreshLine();
}

bool frmGraph1::windowKey(QKeyEvent *e)
{
    const bool held = e->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
    switch (e->key()) {
    case Qt::Key_Up:
    case Qt::Key_Z:
        if (held) {
            if (Slider1->value() < Slider1->maximum())
                Slider1->setValue(Slider1->value() + 1);
        } else if (e->key() == Qt::Key_Up) {
            if (FlatScrollBar1->isEnabled())
                scrollBy(-1);
        } else {
            return false; // a plain Z is the control's
        }
        return true;
    case Qt::Key_Down:
    case Qt::Key_X:
        if (held) {
            if (Slider1->value() > Slider1->minimum())
                Slider1->setValue(Slider1->value() - 1);
        } else if (e->key() == Qt::Key_Down) {
            if (FlatScrollBar1->isEnabled())
                scrollBy(1);
        } else {
            return false;
        }
        return true;
    default: return false;
    }
}

void frmGraph1::keyPressEvent(QKeyEvent *e)
{
    if (!windowKey(e))
        QWidget::keyPressEvent(e);
}

void frmGraph1::Command2_Click(int index)
{
    Picture3->hide();
    for (QCheckBox *c : Check1)
        c->setChecked(index == 1);
    Picture3->show();
    g_subGraph_Ini();
    g_subDraw_H_Line_All();
    subRefreshLine();
}

void frmGraph1::subLevelDraw()
{
    // Only while the monitor's poll runs: a stopped monitor's level is not drawn.
    if (!g_funcMonitorPolling())
        return;
    if (flgRefreshLevel == -1)
        strLastValue.clear();
    const Reading &reading = NewestReading();
    const QString &value = reading.valueHex;
    if (value == strLastValue)
        return;
    g_subGraph_Ini();
    g_subDraw_H_Line_All();
    double v = 0;
    const QString shown = reading.valueText();
    if (IsNumeric(shown, &v)) {
        g_subDraw_H_Line2(v, g_lngColor[9]);
        m_levelText = shown + g_strUnit;
    } else {
        m_levelText = shown;
    }
    describePlot();
    strLastValue = value;
    flgRefreshLevel = 0;
}

// ---------------------------------------------------------------- window

bool frmGraph1::eventFilter(QObject *o, QEvent *e)
{
    // The window's keys come before its controls', whichever has the focus.
    if (e->type() == QEvent::KeyPress && windowKey(static_cast<QKeyEvent *>(e)))
        return true;
    if (e->type() == QEvent::Paint) {
        if (o == Picture1) {
            QPainter p(Picture1);
            p.drawImage(0, 0, m_canvas);
            return true;
        }
        if (o == Picture4) {
            paintLegend();
            return false;
        }
    }
    return QWidget::eventFilter(o, e);
}

void frmGraph1::closeEvent(QCloseEvent *e)
{
    m_form.closed();
    e->accept();
}
