#include "graph/TrendPlot.h"

#include "graph/modGraph1.h"
#include "monitor/modMonitor1.h"
#include "monitor/modTrendHistory.h"
#include "platform/Clock.h"
#include "platform/QtDialogs.h"
#include "settings/modUserData.h"

#include <QDateTime>
#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {
QColor colourOf(int index) { return QtDialogs::qtColor(quint32(g_lngColor[index])); }

constexpr int kLeft = 58, kRight = 14, kTop = 20;
constexpr int kStripRows = 8;

int rowHeightFor(int height) { return qBound(8, height / 36, 14); }

// Tick steps of the time axis (ms).
const qint64 kSteps[] = {1000,    2000,    5000,     10000,    15000,    30000,    60000,     120000,
                         300000,  600000,  900000,   1800000,  3600000,  7200000,  10800000,  21600000,
                         43200000, 86400000, 172800000, 604800000};
} // namespace


TrendPlot::TrendPlot(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 200);
}

void TrendPlot::setSource(const TrendSource &source)
{
    m_source = source;
    m_pointed = -1;
    clampView();
    update();
    emit viewChanged();
}

void TrendPlot::setThresholds(const QList<TrendThreshold> &t)
{
    m_thresholds = t;
    update();
}

bool TrendPlot::thresholdsApply() const { return !m_source.hundredths || m_source.unit == g_strUnit; }

qint64 TrendPlot::maxSpan() const
{
    const TrendSeries *s = m_source.series;
    const qint64 extent = s && !s->isEmpty() ? s->lastMs() - s->firstMs() : 0;
    return std::max(kTrendHistoryMs, extent + extent / 50);
}

qint64 TrendPlot::viewStart() const
{
    if (!m_follow)
        return m_start;
    const TrendSeries *s = m_source.series;
    const qint64 end = s && !s->isEmpty() ? s->lastMs() : Now().toMSecsSinceEpoch();
    return end - m_span;
}

void TrendPlot::clampView()
{
    m_span = std::clamp(m_span, minSpan(), maxSpan());
    const TrendSeries *s = m_source.series;
    if (m_follow || !s || s->isEmpty())
        return;
    // The data fills the view when it is longer than the span, and lies wholly in it when not.
    const qint64 a = s->firstMs(), b = s->lastMs() - m_span;
    m_start = std::clamp(m_start, std::min(a, b), std::max(a, b));
}

void TrendPlot::setSpan(qint64 ms)
{
    const qint64 end = viewStart() + m_span;
    m_span = ms;
    if (!m_follow)
        m_start = end - std::clamp(ms, minSpan(), maxSpan());
    clampView();
    update();
    emit viewChanged();
}

void TrendPlot::setFollowing(bool on)
{
    if (!on)
        m_start = viewStart();
    m_follow = on;
    clampView();
    update();
    emit viewChanged();
}

void TrendPlot::setView(qint64 start, qint64 span)
{
    m_follow = false;
    m_start = start;
    m_span = span;
    clampView();
    update();
    emit viewChanged();
}

void TrendPlot::panBy(double spans)
{
    setView(viewStart() + qint64(std::llround(spans * double(m_span))), m_span);
}

void TrendPlot::zoomBy(double factor, double anchor)
{
    const qint64 span = std::clamp(qint64(std::llround(double(m_span) * factor)), minSpan(), maxSpan());
    if (m_follow) {
        // Following, the newest reading stays at the right edge.
        setSpan(span);
        return;
    }
    const double at = double(viewStart()) + anchor * double(m_span);
    setView(qint64(std::llround(at - anchor * double(span))), span);
}

double TrendPlot::valueOf(quint16 raw) const
{
    if (m_source.hundredths)
        return LogHundredthsValue(raw);
    const InputTypeInfo &t = InputTypeOf(g_intInputType);
    const double v = raw * g_dblScale;
    return t.inverted ? t.fullScale - v : v;
}

QString TrendPlot::unit() const { return m_source.hundredths ? m_source.unit : g_strUnit; }

void TrendPlot::valueRange(double &low, double &high) const
{
    low = 0;
    high = InputTypeOf(g_intInputType).fullScale;
    if (thresholdsApply() || !m_source.series || m_source.series->isEmpty())
        return;
    // Values in another unit than the current type's: the range of the values.
    const TrendSeries::Summary s = m_source.series->summarize(0, m_source.series->size());
    if (!s.hasValue())
        return;
    const double lo = valueOf(s.min), hi = valueOf(s.max);
    low = std::min(0.0, std::floor(lo));
    high = std::max(1.0, std::ceil(hi));
}

QRect TrendPlot::stripRectFor(const QSize &s) const
{
    const int row = rowHeightFor(s.height());
    const int labels = QFontMetrics(font()).height() * 2 + 6;
    const int h = row * kStripRows;
    return QRect(kLeft, s.height() - labels - h, s.width() - kLeft - kRight, h);
}

QRect TrendPlot::plotRectFor(const QSize &s) const
{
    const QRect strip = stripRectFor(s);
    return QRect(kLeft, kTop, s.width() - kLeft - kRight, std::max(10, strip.top() - 8 - kTop));
}

qint64 TrendPlot::timeAtX(int x) const
{
    const QRect plot = plotRect();
    return viewStart() + qint64(std::llround(double(x - plot.left()) * double(m_span) / std::max(1, plot.width())));
}

// ---------------------------------------------------------------- drawing

QImage TrendPlot::picture() const { return picture(size()); }

QImage TrendPlot::picture(const QSize &size) const
{
    QImage img(size, QImage::Format_RGB32);
    QPainter p(&img);
    render(p, size);
    return img;
}

void TrendPlot::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    render(p, size());
}

void TrendPlot::render(QPainter &p, const QSize &size) const
{
    p.save();
    p.setFont(font());
    p.fillRect(QRect(QPoint(0, 0), size), colourOf(0));
    const QRect plot = plotRectFor(size), strip = stripRectFor(size);
    drawValueAxis(p, plot);
    drawTimeAxis(p, plot, strip, strip.bottom() + 4);

    // The thresholds, dotted in their channels' colours, named at the right end.
    double low = 0, high = 1;
    valueRange(low, high);
    auto yOf = [&](double v) { return plot.bottom() - (v - low) / (high - low) * plot.height(); };
    if (thresholdsApply()) {
        const QFontMetrics fm(font());
        for (const TrendThreshold &t : m_thresholds) {
            const double y = yOf(t.value);
            if (y < plot.top() || y > plot.bottom())
                continue;
            p.setPen(QPen(colourOf(t.channel), 1, Qt::DotLine));
            p.drawLine(plot.left(), int(std::lround(y)), plot.right(), int(std::lround(y)));
            const QString label = QStringLiteral("ch%1").arg(t.channel);
            p.drawText(plot.right() - fm.horizontalAdvance(label) - 2, int(std::lround(y)) - 2, label);
        }
    }
    // A log's markers: where each run started and ended.
    const qint64 start = viewStart();
    if (!m_source.markers.isEmpty()) {
        const QFontMetrics fm(font());
        int lastRight = -1000;
        for (const LogMarker &m : m_source.markers) {
            if (m.ms < start || m.ms > start + m_span)
                continue;
            const int x = plot.left() + int(double(m.ms - start) * plot.width() / double(m_span));
            p.setPen(QPen(colourOf(10), 1, m.start ? Qt::DashLine : Qt::DashDotLine));
            p.drawLine(x, plot.top() - 4, x, strip.bottom());
            p.setPen(colourOf(9));
            const int w = fm.horizontalAdvance(m.text);
            // Right of its line, or left of it where the plot ends; labels that would
            // overlap the one before stand one line lower.
            const int left = x + 3 + w <= plot.right() ? x + 3 : x - 3 - w;
            const int y = left > lastRight ? plot.top() + fm.ascent() : plot.top() + fm.ascent() + fm.height();
            // On the background, so that a threshold's label at the plot's edge does not
            // write over it.
            p.fillRect(QRect(left - 1, y - fm.ascent(), w + 2, fm.height()), colourOf(0));
            p.drawText(left, y, m.text);
            lastRight = std::max(lastRight, left + w + 4);
        }
    }
    drawLevelAndStrip(p, plot, strip);
    p.restore();
}

void TrendPlot::drawValueAxis(QPainter &p, const QRect &plot) const
{
    double low = 0, high = 1;
    valueRange(low, high);
    const QFontMetrics fm(font());
    // One division per unit (half a unit or two where that suits the height better).
    double step = 1;
    const double range = high - low;
    while (range / step > plot.height() / 18.0)
        step *= 2;
    while (range / step < 4 && step > 0.25)
        step /= 2;
    p.setPen(QPen(colourOf(10), 1));
    p.drawLine(plot.left(), plot.top(), plot.left(), plot.bottom());
    for (double v = std::ceil(low / step) * step; v <= high + 1e-9; v += step) {
        const int y = int(std::lround(plot.bottom() - (v - low) / range * plot.height()));
        p.setPen(QPen(colourOf(10), 1, Qt::SolidLine));
        p.drawLine(plot.left() - 5, y, plot.left(), y);
        p.setPen(QPen(colourOf(10), 1, Qt::DotLine));
        p.drawLine(plot.left() + 1, y, plot.right(), y);
        const QString label = step < 1 ? QString::number(v, 'f', 2) : QString::number(v, 'f', 0);
        p.setPen(colourOf(10));
        p.drawText(QRect(0, y - fm.height() / 2, plot.left() - 8, fm.height()), Qt::AlignRight | Qt::AlignVCenter, label);
    }
    p.drawText(QRect(0, 0, plot.left() - 8, plot.top()), Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("[%1]").arg(unit()));
}

void TrendPlot::drawTimeAxis(QPainter &p, const QRect &plot, const QRect &strip, int labelTop) const
{
    const QFontMetrics fm(font());
    const qint64 start = viewStart(), end = start + m_span;
    const double pxPerMs = double(plot.width()) / double(m_span);
    const int labelWidth = fm.horizontalAdvance(QStringLiteral("00:00:00")) + 24;
    qint64 step = kSteps[std::size(kSteps) - 1];
    for (const qint64 s : kSteps) {
        if (s * pxPerMs >= labelWidth) {
            step = s;
            break;
        }
    }
    // Ticks on the local clock's round times. Where the clock keeps one offset from UTC over
    // the view (no change of summer time in it), the texts come from the offset alone.
    const QDateTime startTime = QDateTime::fromMSecsSinceEpoch(start), endTime = QDateTime::fromMSecsSinceEpoch(end);
    const qint64 offset = qint64(startTime.offsetFromUtc()) * 1000;
    const bool oneOffset = startTime.offsetFromUtc() == endTime.offsetFromUtc();
    auto local = [&](qint64 ms) {
        return oneOffset ? QDateTime::fromMSecsSinceEpoch(ms + offset, Qt::UTC) : QDateTime::fromMSecsSinceEpoch(ms);
    };
    qint64 tick = ((start + offset + step - 1) / step) * step - offset;
    if (start + offset < 0)
        tick = ((start + offset) / step) * step - offset;
    const bool crossesMidnight = startTime.date() != endTime.date();
    QString lastDate;
    p.setPen(QPen(colourOf(10), 1));
    p.drawLine(plot.left(), plot.bottom(), plot.right(), plot.bottom());
    p.drawLine(strip.left(), strip.bottom() + 1, strip.right(), strip.bottom() + 1);
    for (; tick <= end; tick += step) {
        if (tick < start)
            continue;
        const int x = plot.left() + int(std::lround(double(tick - start) * pxPerMs));
        p.setPen(QPen(colourOf(10), 1, Qt::DotLine));
        p.drawLine(x, plot.top(), x, plot.bottom());
        p.drawLine(x, strip.top(), x, strip.bottom());
        p.setPen(QPen(colourOf(10), 1));
        p.drawLine(x, strip.bottom() + 1, x, strip.bottom() + 4);
        const QDateTime at = local(tick);
        const QString time = at.toString(QStringLiteral("HH:mm:ss"));
        const int w = fm.horizontalAdvance(time);
        const int left = std::clamp(x - w / 2, 0, plot.right() + kRight - w);
        p.drawText(left, labelTop + fm.ascent(), time);
        if (crossesMidnight) {
            const QString date = at.toString(QStringLiteral("yyyy/MM/dd"));
            if (date != lastDate)
                p.drawText(std::clamp(x - fm.horizontalAdvance(date) / 2, 0, plot.right() + kRight - fm.horizontalAdvance(date)),
                           labelTop + fm.height() + fm.ascent(), date);
            lastDate = date;
        }
    }
    // The strip's rows, named by output.
    const int row = strip.height() / kStripRows;
    const QFont small = [&] {
        QFont f = font();
        f.setPixelSize(std::max(7, row - 1));
        return f;
    }();
    p.setFont(small);
    p.setPen(colourOf(10));
    for (int b = 0; b < kStripRows; ++b)
        p.drawText(QRect(0, strip.top() + b * row, plot.left() - 8, row), Qt::AlignRight | Qt::AlignVCenter,
                   QStringLiteral("ch%1").arg(b + 1));
    p.setFont(font());
}

void TrendPlot::drawLevelAndStrip(QPainter &p, const QRect &plot, const QRect &strip) const
{
    const TrendSeries *s = m_source.series;
    if (!s || s->isEmpty())
        return;
    double low = 0, high = 1;
    valueRange(low, high);
    const double range = high - low;
    const int w = plot.width();
    const qint64 start = viewStart();
    const double msPerPx = double(m_span) / w;
    auto yOf = [&](quint16 raw) {
        const double y = plot.bottom() - (valueOf(raw) - low) / range * plot.height();
        return int(std::lround(std::clamp(y, double(plot.top() - 2), double(plot.bottom() + 2))));
    };
    auto xOfMs = [&](qint64 ms) {
        return plot.left() + int(std::lround(std::clamp(double(ms - start) / msPerPx, -4.0, double(w + 4))));
    };

    std::vector<QLine> lines;
    std::vector<QPoint> points;
    lines.reserve(size_t(w) * 2 + 4);
    // The strip: per column, which outputs were on, and whether any reading stands there.
    std::vector<quint8> on(size_t(w), 0);
    std::vector<bool> present(size_t(w), false);

    qint64 i = s->lowerBound(start);
    // Columns of many readings end where a leaf of the series' tree begins: their summaries
    // take whole nodes, and a column's edge moves by less than a leaf's readings. Their
    // line joins the columns' ranges, without reading single readings.
    const bool dense = (s->lowerBound(start + m_span) - i) / std::max(1, w) >= 64;
    // The line so far: its last column and the rows it reached there (one row for a single
    // reading, the column's range for many).
    bool prevOk = false;
    int prevX = 0, prevTop = 0, prevBottom = 0;
    // The outputs hold over columns without readings until the next reading of the run: the
    // last reading's, read only where such a column comes.
    qint64 lastIdx = i - 1;
    bool holdKnown = false, holdOk = false;
    quint8 hold = 0;
    auto holdOf = [&] {
        if (!holdKnown && lastIdx >= 0) {
            const TrendSeries::Reading r = s->at(lastIdx);
            holdOk = !(r.flags & TrendSeries::NoOutputs);
            hold = r.outputs;
        }
        holdKnown = true;
    };
    if (i > 0) {
        const TrendSeries::Reading r = s->at(i - 1);
        prevOk = !(r.flags & TrendSeries::NoValue);
        prevX = xOfMs(r.ms);
        prevTop = prevBottom = prevOk ? yOf(r.value) : 0;
    }
    const qint64 n = s->size();
    for (int c = 0; c < w && i < n; ++c) {
        // The last column takes the view's end too: the newest reading of a following view.
        const qint64 j = c == w - 1 ? s->lowerBound(start + m_span + 1)
                                    : s->lowerBound(start + qint64(std::ceil((c + 1) * msPerPx)), dense);
        const int x = plot.left() + c;
        if (j <= i) {
            holdOf();
            if (holdOk && !s->runStartIn(i, i + 1)) {
                on[size_t(c)] = hold;
                present[size_t(c)] = true;
            }
            continue;
        }
        const TrendSeries::Summary sum = s->summarize(i, j);
        int top = 0, bottom = 0;
        if (sum.hasValue()) {
            top = yOf(sum.max);
            bottom = yOf(sum.min);
            if (top == bottom)
                points.emplace_back(x, top);
            else
                lines.emplace_back(x, bottom, x, top);
        }
        const bool runStarts = s->runStartIn(i, i + 1);
        if (dense) {
            // From the previous column's range to this one's, where they do not meet.
            if (prevOk && sum.hasValue() && !runStarts && prevX < x) {
                if (bottom < prevTop)
                    lines.emplace_back(prevX, prevTop, x, bottom);
                else if (top > prevBottom)
                    lines.emplace_back(prevX, prevBottom, x, top);
                else if (prevX < x - 1)
                    lines.emplace_back(prevX, std::max(prevTop, top), x, std::max(prevTop, top));
            }
            prevOk = sum.hasValue();
            prevTop = top;
            prevBottom = bottom;
        } else {
            const TrendSeries::Reading first = s->at(i);
            const TrendSeries::Reading last = j - 1 == i ? first : s->at(j - 1);
            const bool firstOk = !(first.flags & TrendSeries::NoValue);
            if (prevOk && firstOk && !runStarts && prevX < x)
                lines.emplace_back(prevX, prevTop, x, yOf(first.value));
            prevOk = !(last.flags & TrendSeries::NoValue);
            prevTop = prevBottom = prevOk ? yOf(last.value) : 0;
        }
        prevX = x;
        // A column where an output was on shows it on, however short the time.
        const bool anyOutputs = sum.on | sum.off;
        on[size_t(c)] = sum.on;
        present[size_t(c)] = anyOutputs;
        if (!anyOutputs && !runStarts) {
            holdOf();
            present[size_t(c)] = holdOk;
            on[size_t(c)] = holdOk ? hold : 0;
        }
        lastIdx = j - 1;
        holdKnown = false;
        i = j;
    }
    // The line goes on to the first reading right of the view.
    if (i < n && i > 0) {
        const TrendSeries::Reading r = s->at(i), before = s->at(i - 1);
        if (!(r.flags & (TrendSeries::NoValue | TrendSeries::RunStart)) && !(before.flags & TrendSeries::NoValue))
            lines.emplace_back(prevX, yOf(before.value), xOfMs(r.ms), yOf(r.value));
    }

    p.save();
    p.setClipRect(plot.adjusted(0, -2, 0, 2));
    p.setPen(QPen(colourOf(9), 1));
    p.drawLines(lines.data(), int(lines.size()));
    p.drawPoints(points.data(), int(points.size()));
    p.restore();

    // The strip: a thin line where readings stand, a bar where the output is on.
    const int row = strip.height() / kStripRows;
    auto runs = [&](auto test, auto draw) {
        int from = -1;
        for (int c = 0; c <= w; ++c) {
            const bool in = c < w && test(c);
            if (in && from < 0)
                from = c;
            else if (!in && from >= 0) {
                draw(from, c);
                from = -1;
            }
        }
    };
    for (int b = 0; b < kStripRows; ++b) {
        const int top = strip.top() + b * row;
        const QColor off = colourOf(10), onColour = colourOf(b + 1);
        runs([&](int c) { return bool(present[size_t(c)]); },
             [&](int a, int e) { p.fillRect(QRect(strip.left() + a, top + row - 2, e - a, 1), off); });
        runs([&](int c) { return bool(on[size_t(c)] & (1 << b)); },
             [&](int a, int e) { p.fillRect(QRect(strip.left() + a, top + 2, e - a, row - 3), onColour); });
    }

    // The reading under the pointer.
    if (m_pointed >= 0 && m_pointed < n) {
        const TrendSeries::Reading r = s->at(m_pointed);
        const qint64 dt = r.ms - start;
        if (dt >= 0 && dt <= m_span) {
            const int x = xOfMs(r.ms);
            p.setPen(QPen(colourOf(9), 1, Qt::DotLine));
            p.drawLine(x, plot.top(), x, strip.bottom());
            if (!(r.flags & TrendSeries::NoValue)) {
                p.setPen(QPen(colourOf(9), 1));
                p.setBrush(Qt::NoBrush);
                p.drawEllipse(QPoint(x, yOf(r.value)), 4, 4);
            }
        }
    }
}

// ---------------------------------------------------------------- the pointer

qint64 TrendPlot::nearestReading(qint64 ms) const
{
    const TrendSeries *s = m_source.series;
    if (!s || s->isEmpty())
        return -1;
    const qint64 i = s->lowerBound(ms);
    if (i >= s->size())
        return s->size() - 1;
    if (i > 0 && ms - s->at(i - 1).ms < s->at(i).ms - ms)
        return i - 1;
    return i;
}

QString TrendPlot::readingText(qint64 index) const
{
    const TrendSeries *s = m_source.series;
    if (!s || index < 0 || index >= s->size())
        return QString();
    const TrendSeries::Reading r = s->at(index);
    const QString time = QDateTime::fromMSecsSinceEpoch(r.ms).toString(QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz"));
    const QString value = r.flags & TrendSeries::NoValue ? QStringLiteral("ERROR") : FormatFixed2(valueOf(r.value)) + unit();
    QString outputs = QStringLiteral("ERROR");
    if (!(r.flags & TrendSeries::NoOutputs)) {
        outputs.clear();
        for (int b = 0; b < 8; ++b)
            outputs += (r.outputs >> b) & 1 ? QLatin1Char('1') : QLatin1Char('0');
    }
    return time + QStringLiteral("  ") + value + QStringLiteral("  出力 ") + outputs;
}

void TrendPlot::pointAt(int x)
{
    const QRect plot = plotRect();
    const qint64 idx = x >= plot.left() && x <= plot.right() ? nearestReading(timeAtX(x)) : -1;
    if (idx == m_pointed)
        return;
    m_pointed = idx;
    update();
    emit pointerReading(readingText(idx));
}

void TrendPlot::wheelEvent(QWheelEvent *e)
{
    const int notches = e->angleDelta().y();
    if (!notches) {
        e->ignore();
        return;
    }
    const QRect plot = plotRect();
    const double anchor = std::clamp(double(e->position().x() - plot.left()) / std::max(1, plot.width()), 0.0, 1.0);
    if (m_follow)
        setFollowing(false);
    zoomBy(std::pow(0.8, notches / 120.0), anchor);
    e->accept();
}

void TrendPlot::mousePressEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton) {
        m_dragging = true;
        m_dragX = int(e->position().x());
        m_dragStart = viewStart();
        setCursor(Qt::ClosedHandCursor);
    }
    QWidget::mousePressEvent(e);
}

void TrendPlot::mouseMoveEvent(QMouseEvent *e)
{
    const int x = int(e->position().x());
    if (m_dragging && x != m_dragX) {
        const double msPerPx = double(m_span) / std::max(1, plotRect().width());
        setView(m_dragStart - qint64(std::llround((x - m_dragX) * msPerPx)), m_span);
    }
    pointAt(x);
}

void TrendPlot::mouseReleaseEvent(QMouseEvent *e)
{
    if (e->button() == Qt::LeftButton && m_dragging) {
        m_dragging = false;
        unsetCursor();
    }
    QWidget::mouseReleaseEvent(e);
}

void TrendPlot::leaveEvent(QEvent *e)
{
    pointAt(-1);
    QWidget::leaveEvent(e);
}
