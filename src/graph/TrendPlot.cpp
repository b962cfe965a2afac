#include "graph/TrendPlot.h"

#include "graph/modGraph1.h"
#include "monitor/modMonitor1.h"
#include "monitor/modTrendHistory.h"
#include "platform/Clock.h"
#include "platform/QtDialogs.h"
#include "settings/modUserData.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QDateTime>
#include <QHash>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QToolTip>
#include <QWheelEvent>
#include <QWindow>

#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

namespace {
QColor colourOf(int index) { return QtDialogs::qtColor(quint32(g_lngColor[index])); }

constexpr int kLeft = 58, kTop = 20;
constexpr int kStripRows = 8;
// Rows of the markers' labels along the top of the plot.
constexpr int kMarkerRows = 3;

// A colour's relative luminance (sRGB, 0 black to 1 white).
double luminance(const QColor &c)
{
    auto channel = [](int v) {
        const double s = v / 255.0;
        return s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

int rowHeightFor(int height) { return qBound(8, height / 36, 14); }

// Tick steps of the time axis (ms).
const qint64 kSteps[] = {1000,    2000,    5000,     10000,    15000,    30000,    60000,     120000,
                         300000,  600000,  900000,   1800000,  3600000,  7200000,  10800000,  21600000,
                         43200000, 86400000, 172800000, 604800000};

QString timeText(qint64 ms, const QString &format) { return QDateTime::fromMSecsSinceEpoch(ms).toString(format); }

// "時刻戻り 06:00:00→05:00:10": a step of the clock back, with the date where it changes.
QString stepText(const TrendSeries::Step &s, bool withDates)
{
    const QString f = withDates ? QStringLiteral("yyyy/MM/dd HH:mm:ss") : QStringLiteral("HH:mm:ss");
    return QStringLiteral("時刻戻り ") + timeText(s.beforeMs, f) + QStringLiteral("→") + timeText(s.afterMs, f);
}

// The chart as assistive technology reads it: its name and description, and one item per
// threshold, marker and step back.
class PlotItem : public QAccessibleInterface {
public:
    PlotItem(TrendPlot *plot, int index) : m_plot(plot), m_index(index) {}
    bool isValid() const override { return m_plot && m_index < m_plot->accessibleItems().size(); }
    QObject *object() const override { return nullptr; }
    QWindow *window() const override { return m_plot ? m_plot->window()->windowHandle() : nullptr; }
    QAccessibleInterface *parent() const override { return m_plot ? QAccessible::queryAccessibleInterface(m_plot) : nullptr; }
    QAccessibleInterface *child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface *) const override { return -1; }
    QAccessibleInterface *childAt(int, int) const override { return nullptr; }
    QAccessibleInterface *focusChild() const override { return nullptr; }
    QString text(QAccessible::Text t) const override
    {
        if (t != QAccessible::Name || !isValid())
            return QString();
        return m_plot->accessibleItems().at(m_index).text;
    }
    void setText(QAccessible::Text, const QString &) override {}
    QRect rect() const override
    {
        if (!isValid())
            return QRect();
        const QRect r = m_plot->accessibleItems().at(m_index).rect;
        return r.isEmpty() ? QRect() : QRect(m_plot->mapToGlobal(r.topLeft()), r.size());
    }
    QAccessible::Role role() const override { return QAccessible::StaticText; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.readOnly = true;
        s.invisible = !isValid() || !m_plot->isVisible() || m_plot->accessibleItems().at(m_index).rect.isEmpty();
        return s;
    }

private:
    QPointer<TrendPlot> m_plot;
    int m_index;
};

class PlotChart : public QAccessibleWidget {
public:
    explicit PlotChart(TrendPlot *plot) : QAccessibleWidget(plot, QAccessible::Chart) {}
    ~PlotChart() override
    {
        for (QAccessible::Id id : std::as_const(m_items))
            QAccessible::deleteAccessibleInterface(id);
    }
    int childCount() const override { return int(plot()->accessibleItems().size()); }
    QAccessibleInterface *child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        while (m_items.size() <= index)
            m_items << QAccessible::registerAccessibleInterface(new PlotItem(plot(), int(m_items.size())));
        return QAccessible::accessibleInterface(m_items.at(index));
    }
    int indexOfChild(const QAccessibleInterface *child) const override
    {
        for (int i = 0; i < m_items.size(); ++i)
            if (QAccessible::accessibleInterface(m_items.at(i)) == child)
                return i;
        return -1;
    }
    QAccessibleInterface *childAt(int x, int y) const override
    {
        const QPoint p = plot()->mapFromGlobal(QPoint(x, y));
        const QList<TrendLabel> items = plot()->accessibleItems();
        for (int i = 0; i < items.size(); ++i)
            if (items.at(i).rect.contains(p))
                return child(i);
        return nullptr;
    }

private:
    TrendPlot *plot() const { return static_cast<TrendPlot *>(widget()); }
    mutable QList<QAccessible::Id> m_items;
};

QAccessibleInterface *plotFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("TrendPlot") && object && object->isWidgetType())
        return new PlotChart(static_cast<TrendPlot *>(object));
    return nullptr;
}
} // namespace

double ContrastRatio(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor LabelBacking(const QColor &text, const QColor &background)
{
    if (ContrastRatio(text, background) >= 4.5)
        return QColor();
    const QColor white(255, 255, 255), black(0, 0, 0);
    return ContrastRatio(text, white) >= ContrastRatio(text, black) ? white : black;
}

TrendPlot::TrendPlot(QWidget *parent) : QWidget(parent)
{
    static const bool installed = [] {
        QAccessible::installFactory(plotFactory);
        return true;
    }();
    Q_UNUSED(installed);
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMinimumSize(320, 200);
}

void TrendPlot::setSource(const TrendSource &source)
{
    m_source = source;
    m_itemsValid = false;
    m_pointed = -1;
    clampView();
    update();
    emit viewChanged();
}

void TrendPlot::setThresholds(const QList<TrendThreshold> &t)
{
    m_thresholds = t;
    m_itemsValid = false;
    update();
}

int TrendPlot::sourceType() const
{
    const int current = InputTypeOf(g_intInputType).type;
    if (!m_source.hundredths)
        return current;
    TrendSeries::Summary sum;
    if (m_source.series && !m_source.series->isEmpty())
        sum = m_source.series->summarize(0, m_source.series->size());
    // Hundredths compared as whole numbers: the full scale's own text ("5.00") is in range.
    auto holds = [&](int type) {
        const InputTypeInfo &t = InputTypeOf(type);
        if (t.unit != m_source.unit)
            return false;
        return !sum.hasValue() ||
               (int(sum.min) >= kHundredthsZero && int(sum.max) - kHundredthsZero <= int(std::lround(t.fullScale * 100)));
    };
    if (holds(current))
        return current;
    int best = 0;
    for (int type = Volt5; type <= Dist10M; ++type) {
        if (holds(type) && (!best || InputTypeOf(type).fullScale < InputTypeOf(best).fullScale))
            best = type;
    }
    return best;
}

bool TrendPlot::thresholdsApply() const { return sourceType() == InputTypeOf(g_intInputType).type; }

QString TrendPlot::thresholdsNote() const
{
    if (thresholdsApply())
        return QString();
    // "設定範囲 0 - 5V" without its caption.
    auto range = [](int type) { return InputTypeOf(type).rangeCaption.mid(5); };
    const int type = sourceType();
    if (type)
        return QStringLiteral("しきい値なし (ﾛｸﾞは %1、設定は %2)").arg(range(type), range(g_intInputType));
    if (m_source.unit != g_strUnit)
        return QStringLiteral("しきい値なし (ﾛｸﾞの単位は %1、設定は %2)").arg(m_source.unit, g_strUnit);
    double low = 0, high = 0;
    const TrendSeries::Summary s = m_source.series->summarize(0, m_source.series->size());
    low = valueOf(s.min);
    high = valueOf(s.max);
    return QStringLiteral("しきい値なし (ﾛｸﾞの値 %1 - %2%3 は設定の %4 の外)")
        .arg(FormatFixed2(low), FormatFixed2(high), m_source.unit, range(g_intInputType));
}

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

qint64 TrendPlot::writtenAt(qint64 ms) const { return m_source.series ? m_source.series->writtenAt(ms) : ms; }

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

void TrendPlot::toOldest()
{
    const TrendSeries *s = m_source.series;
    if (s && !s->isEmpty())
        setView(s->firstMs(), m_span);
}

void TrendPlot::toNewest()
{
    const TrendSeries *s = m_source.series;
    if (s && !s->isEmpty())
        setView(s->lastMs() - m_span, m_span);
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
    const int type = sourceType();
    low = 0;
    high = type ? InputTypeOf(type).fullScale : 1;
    if (!m_source.series || m_source.series->isEmpty())
        return;
    const TrendSeries::Summary s = m_source.series->summarize(0, m_source.series->size());
    if (!s.hasValue())
        return;
    // The distance types turn the order of counts round.
    const double a = valueOf(s.min), b = valueOf(s.max);
    low = std::min(0.0, std::floor(std::min(a, b)));
    high = std::max(high, std::ceil(std::max(a, b)));
}

TrendPlot::Scale TrendPlot::scale() const
{
    Scale sc;
    valueRange(sc.low, sc.high);
    if (sc.high <= sc.low)
        sc.high = sc.low + 1;
    return sc;
}

int TrendPlot::marginWidth() const
{
    // The widest label: a channel, its bound and the count of the lines it stands for.
    return QFontMetrics(font()).horizontalAdvance(QStringLiteral("ch8↓+15")) + 12;
}

QRect TrendPlot::stripRectFor(const QSize &s) const
{
    const int row = rowHeightFor(s.height());
    const int labels = QFontMetrics(font()).height() * 2 + 6;
    const int h = row * kStripRows;
    return QRect(kLeft, s.height() - labels - h, s.width() - kLeft - marginWidth(), h);
}

QRect TrendPlot::plotRectFor(const QSize &s) const
{
    const QRect strip = stripRectFor(s);
    return QRect(kLeft, kTop, strip.width(), std::max(10, strip.top() - 8 - kTop));
}

qint64 TrendPlot::timeAtX(int x) const
{
    const QRect plot = plotRect();
    return viewStart() + qint64(std::llround(double(x - plot.left()) * double(m_span) / std::max(1, plot.width())));
}

std::vector<TrendSeries::Step> TrendPlot::stepsIn(qint64 from, qint64 to) const
{
    std::vector<TrendSeries::Step> out;
    if (!m_source.series || !m_source.series->stepCount())
        return out;
    for (const TrendSeries::Step &s : m_source.series->steps()) {
        if (s.breakMs() >= from && s.breakMs() <= to)
            out.push_back(s);
    }
    return out;
}

// ---------------------------------------------------------------- labels

QList<TrendLabel> TrendPlot::thresholdLabels(const QSize &size) const { return thresholdLabels(size, scale()); }

QList<TrendLabel> TrendPlot::thresholdLabels(const QSize &size, const Scale &sc) const
{
    QList<TrendLabel> out;
    if (m_thresholds.isEmpty() || !thresholdsApply())
        return out;
    const QRect plot = plotRectFor(size);
    const QFontMetrics fm(font());
    const int h = fm.height();
    // The lines in the plot, from the top down; each starts as a label of its own.
    struct Item {
        int y;
        QList<int> lines;
    };
    std::vector<Item> items;
    for (int i = 0; i < m_thresholds.size(); ++i) {
        const double y = plot.bottom() - (m_thresholds[i].value - sc.low) / (sc.high - sc.low) * plot.height();
        if (y < plot.top() - 1.5 || y > plot.bottom() + 1.5)
            continue;
        items.push_back({int(std::lround(y)), {i}});
    }
    std::stable_sort(items.begin(), items.end(), [](const Item &a, const Item &b) { return a.y < b.y; });
    // More labels than the margin holds one under the other: the two closest lines share
    // one, until they fit.
    const int top = plot.top() - h / 2, bottom = plot.bottom() + h / 2;
    const size_t room = size_t(std::max(1, (bottom - top) / h));
    while (items.size() > room) {
        size_t k = 0;
        for (size_t j = 1; j + 1 < items.size(); ++j) {
            if (items[j + 1].y - items[j].y < items[k + 1].y - items[k].y)
                k = j;
        }
        items[k].lines += items[k + 1].lines;
        items.erase(items.begin() + qsizetype(k + 1));
    }
    // Runs of labels one under the other, each run centred on its lines as far as the runs
    // beside it and the margin's ends let it.
    struct Run {
        size_t first, count;
        int top;
    };
    std::vector<Run> runs;
    auto place = [&](Run &r) {
        double centre = 0;
        for (size_t j = r.first; j < r.first + r.count; ++j)
            centre += items[j].y;
        centre /= double(r.count);
        const int want = int(std::lround(centre - double(r.count) * h / 2));
        r.top = std::clamp(want, top, std::max(top, bottom - int(r.count) * h));
    };
    for (size_t j = 0; j < items.size(); ++j) {
        runs.push_back({j, 1, 0});
        place(runs.back());
        // Join the runs before while they overlap.
        while (runs.size() > 1) {
            Run &a = runs[runs.size() - 2];
            const Run &b = runs.back();
            if (a.top + int(a.count) * h <= b.top)
                break;
            a.count += b.count;
            runs.pop_back();
            place(runs.back());
        }
    }
    const int left = plot.right() + 8;
    for (const Run &r : runs) {
        for (size_t j = r.first; j < r.first + r.count; ++j) {
            const Item &it = items[j];
            TrendLabel l;
            l.lineY = it.y;
            l.thresholds = it.lines;
            l.text = m_thresholds[it.lines.first()].label;
            if (it.lines.size() > 1)
                l.text += QStringLiteral("+%1").arg(it.lines.size() - 1);
            l.rect = QRect(left, r.top + int(j - r.first) * h, fm.horizontalAdvance(l.text), h);
            out << l;
        }
    }
    return out;
}

QList<TrendLabel> TrendPlot::lineLabels(const QSize &size) const
{
    QList<TrendLabel> out;
    const QRect plot = plotRectFor(size);
    const qint64 start = viewStart();
    const QFontMetrics fm(font());
    const int h = fm.height();
    auto xOf = [&](qint64 ms) { return plot.left() + int(double(ms - start) * plot.width() / double(m_span)); };
    for (int i = 0; i < m_source.markers.size(); ++i) {
        const LogMarker &m = m_source.markers[i];
        if (m.ms < start || m.ms > start + m_span)
            continue;
        TrendLabel l;
        l.lineX = xOf(m.ms);
        l.text = m.text;
        l.marker = i;
        out << l;
    }
    if (m_source.series && m_source.series->stepCount()) {
        const std::vector<TrendSeries::Step> steps = m_source.series->steps();
        for (int i = 0; i < int(steps.size()); ++i) {
            if (steps[size_t(i)].breakMs() < start || steps[size_t(i)].breakMs() > start + m_span)
                continue;
            TrendLabel l;
            l.lineX = xOf(steps[size_t(i)].breakMs());
            l.text = stepText(steps[size_t(i)], false);
            l.step = i;
            out << l;
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const TrendLabel &a, const TrendLabel &b) { return a.lineX < b.lineX; });
    // Right of its line, or left of it where the plot ends, in the first row along the top
    // where it overlaps no other; with every row taken there, the line stands unlabelled
    // (its words are in the readout and among the chart's items).
    int rowRight[kMarkerRows];
    std::fill(std::begin(rowRight), std::end(rowRight), INT_MIN);
    // A few words, many lines: each width is measured once.
    QHash<QString, int> widths;
    for (TrendLabel &l : out) {
        auto known = widths.constFind(l.text);
        const int w = known != widths.constEnd() ? *known : *widths.insert(l.text, fm.horizontalAdvance(l.text));
        int left = l.lineX + 3 + w <= plot.right() ? l.lineX + 3 : l.lineX - 3 - w;
        left = std::max(left, plot.left() + 1);
        for (int r = 0; r < kMarkerRows; ++r) {
            if (rowRight[r] + 6 <= left) {
                l.rect = QRect(left, plot.top() + r * h, w, h);
                rowRight[r] = left + w;
                break;
            }
        }
    }
    return out;
}

QList<TrendLabel> TrendPlot::accessibleItems() const
{
    const ItemsKey key{viewStart(), m_span, m_source.series ? m_source.series->size() : -1, size(), g_intInputType, m_source.series};
    if (m_itemsValid && key == m_itemsKey)
        return m_items;
    QList<TrendLabel> items;
    const QSize s = size();
    // Each threshold, with the rect of the label that stands for it.
    if (thresholdsApply()) {
        const QList<TrendLabel> labels = thresholdLabels(s);
        for (int i = 0; i < m_thresholds.size(); ++i) {
            TrendLabel l;
            const TrendThreshold &t = m_thresholds[i];
            l.text = t.label + QLatin1Char(' ') + t.name + QLatin1Char(' ') + FormatFixed2(t.value) + g_strUnit;
            l.thresholds = {i};
            for (const TrendLabel &d : labels) {
                if (d.thresholds.contains(i))
                    l.rect = d.rect;
            }
            items << l;
        }
    }
    // Every marker and step back of the source, whether in view or not.
    const std::vector<TrendSeries::Step> steps = m_source.series ? m_source.series->steps() : std::vector<TrendSeries::Step>();
    std::vector<QRect> markerRects(size_t(m_source.markers.size())), stepRects(steps.size());
    for (const TrendLabel &d : lineLabels(s)) {
        if (d.marker >= 0)
            markerRects[size_t(d.marker)] = d.rect;
        else if (d.step >= 0)
            stepRects[size_t(d.step)] = d.rect;
    }
    for (int i = 0; i < m_source.markers.size(); ++i) {
        TrendLabel l;
        l.text = m_source.markers[i].text + QLatin1Char(' ') + timeText(m_source.markers[i].written, QStringLiteral("yyyy/MM/dd HH:mm:ss"));
        l.rect = markerRects[size_t(i)];
        l.marker = i;
        items << l;
    }
    for (size_t i = 0; i < steps.size(); ++i) {
        TrendLabel l;
        l.text = stepText(steps[i], true);
        l.rect = stepRects[i];
        l.step = int(i);
        items << l;
    }
    m_items = items;
    m_itemsKey = key;
    m_itemsValid = true;
    return items;
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
    const Scale sc = scale();
    drawValueAxis(p, plot, sc);
    drawTimeAxis(p, plot, strip, strip.bottom() + 4);
    const QFontMetrics fm(font());

    // The thresholds, dotted in their channels' colours across the plot, named in the
    // margin right of it; a label moved off its line's height is led to it.
    if (thresholdsApply()) {
        for (const TrendThreshold &t : m_thresholds) {
            const double y = plot.bottom() - (t.value - sc.low) / (sc.high - sc.low) * plot.height();
            if (y < plot.top() - 1.5 || y > plot.bottom() + 1.5)
                continue;
            p.setPen(QPen(colourOf(t.channel), 1, Qt::DotLine));
            p.drawLine(plot.left(), int(std::lround(y)), plot.right(), int(std::lround(y)));
        }
        for (const TrendLabel &l : thresholdLabels(size, sc)) {
            const QColor c = colourOf(m_thresholds[l.thresholds.first()].channel);
            // A colour too close to the background in lightness (blue or dark green on
            // black) is read off a backing of its own.
            if (const QColor back = LabelBacking(c, colourOf(0)); back.isValid())
                p.fillRect(l.rect.adjusted(-2, 0, 2, 0), back);
            p.setPen(QPen(c, 1));
            p.drawLine(plot.right() + 1, l.lineY, l.rect.left() - 2, l.rect.center().y());
            p.drawText(l.rect, Qt::AlignLeft | Qt::AlignVCenter, l.text);
        }
    }
    // A log's markers (where each run started and ended) and the clock's steps back.
    const qint64 start = viewStart();
    for (const LogMarker &m : m_source.markers) {
        if (m.ms < start || m.ms > start + m_span)
            continue;
        const int x = plot.left() + int(double(m.ms - start) * plot.width() / double(m_span));
        p.setPen(QPen(colourOf(10), 1, m.start ? Qt::DashLine : Qt::DashDotLine));
        p.drawLine(x, plot.top(), x, strip.bottom());
    }
    for (const TrendSeries::Step &s : stepsIn(start, start + m_span)) {
        // A break: two solid lines, the time line not running on through it.
        const int x = plot.left() + int(double(s.breakMs() - start) * plot.width() / double(m_span));
        p.setPen(QPen(colourOf(10), 1));
        p.drawLine(x - 1, plot.top(), x - 1, strip.bottom() + 4);
        p.drawLine(x + 1, plot.top(), x + 1, strip.bottom() + 4);
        p.fillRect(QRect(x, plot.top(), 1, strip.bottom() + 5 - plot.top()), colourOf(0));
    }
    for (const TrendLabel &l : lineLabels(size)) {
        if (l.rect.isEmpty())
            continue;
        // On the background, so that a grid line does not write through it.
        p.fillRect(l.rect.adjusted(-1, 0, 1, 0), colourOf(0));
        p.setPen(colourOf(9));
        p.drawText(l.rect, Qt::AlignLeft | Qt::AlignVCenter, l.text);
    }
    drawLevelAndStrip(p, plot, strip, sc);
    p.restore();
}

void TrendPlot::drawValueAxis(QPainter &p, const QRect &plot, const Scale &sc) const
{
    const double low = sc.low, high = sc.high;
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
    // The stretches of the time line in view, between the breaks of the clock's steps back;
    // each is labelled with its own times.
    struct Stretch {
        qint64 from, to, shift;
    };
    std::vector<Stretch> stretches;
    qint64 from = start;
    for (const TrendSeries::Step &s : stepsIn(start, end)) {
        stretches.push_back({from, s.breakMs(), 0});
        from = s.breakMs();
    }
    stretches.push_back({from, end, 0});
    for (Stretch &s : stretches)
        s.shift = s.from + (s.to - s.from) / 2 - writtenAt(s.from + (s.to - s.from) / 2);
    // Dates under the times where the view holds more than one day.
    const QDate firstDay = QDateTime::fromMSecsSinceEpoch(stretches.front().from - stretches.front().shift).date();
    bool manyDays = false;
    for (const Stretch &s : stretches) {
        manyDays = manyDays || QDateTime::fromMSecsSinceEpoch(s.from - s.shift).date() != firstDay ||
                   QDateTime::fromMSecsSinceEpoch(s.to - s.shift).date() != firstDay;
    }
    QString lastDate;
    int lastRight = INT_MIN, lastDateRight = INT_MIN;
    p.setPen(QPen(colourOf(10), 1));
    p.drawLine(plot.left(), plot.bottom(), plot.right(), plot.bottom());
    p.drawLine(strip.left(), strip.bottom() + 1, strip.right(), strip.bottom() + 1);
    for (const Stretch &s : stretches) {
        const qint64 wFrom = s.from - s.shift, wTo = s.to - s.shift;
        // Ticks on the local clock's round times. Where the clock keeps one offset from UTC
        // over the stretch (no change of summer time in it), the texts come from the offset.
        const QDateTime startTime = QDateTime::fromMSecsSinceEpoch(wFrom), endTime = QDateTime::fromMSecsSinceEpoch(wTo);
        const qint64 offset = qint64(startTime.offsetFromUtc()) * 1000;
        const bool oneOffset = startTime.offsetFromUtc() == endTime.offsetFromUtc();
        auto local = [&](qint64 ms) {
            return oneOffset ? QDateTime::fromMSecsSinceEpoch(ms + offset, Qt::UTC) : QDateTime::fromMSecsSinceEpoch(ms);
        };
        qint64 tick = ((wFrom + offset + step - 1) / step) * step - offset;
        if (wFrom + offset < 0)
            tick = ((wFrom + offset) / step) * step - offset;
        for (; tick <= wTo; tick += step) {
            if (tick < wFrom)
                continue;
            const int x = plot.left() + int(std::lround(double(tick + s.shift - start) * pxPerMs));
            p.setPen(QPen(colourOf(10), 1, Qt::DotLine));
            p.drawLine(x, plot.top(), x, plot.bottom());
            p.drawLine(x, strip.top(), x, strip.bottom());
            p.setPen(QPen(colourOf(10), 1));
            p.drawLine(x, strip.bottom() + 1, x, strip.bottom() + 4);
            // A label that would run into the one before (next to a break) is left out.
            const QDateTime at = local(tick);
            const QString time = at.toString(QStringLiteral("HH:mm:ss"));
            const int w = fm.horizontalAdvance(time);
            const int left = std::clamp(x - w / 2, 0, plot.right() + marginWidth() - w);
            if (left < lastRight + 4)
                continue;
            p.drawText(left, labelTop + fm.ascent(), time);
            lastRight = left + w;
            if (manyDays) {
                const QString date = at.toString(QStringLiteral("yyyy/MM/dd"));
                const int dw = fm.horizontalAdvance(date);
                const int dl = std::clamp(x - dw / 2, 0, plot.right() + marginWidth() - dw);
                if (date != lastDate && dl >= lastDateRight + 4) {
                    p.drawText(dl, labelTop + fm.height() + fm.ascent(), date);
                    lastDateRight = dl + dw;
                    lastDate = date;
                }
            }
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

void TrendPlot::drawLevelAndStrip(QPainter &p, const QRect &plot, const QRect &strip, const Scale &sc) const
{
    const TrendSeries *s = m_source.series;
    if (!s || s->isEmpty())
        return;
    const double low = sc.low, high = sc.high;
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
    const QString time = timeText(r.written, QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz"));
    const QString value = r.flags & TrendSeries::NoValue ? QStringLiteral("ERROR") : FormatFixed2(valueOf(r.value)) + unit();
    QString outputs = QStringLiteral("ERROR");
    if (!(r.flags & TrendSeries::NoOutputs)) {
        outputs.clear();
        for (int b = 0; b < 8; ++b)
            outputs += (r.outputs >> b) & 1 ? QLatin1Char('1') : QLatin1Char('0');
    }
    return time + QStringLiteral("  ") + value + QStringLiteral("  出力 ") + outputs;
}

QString TrendPlot::pointerText(const QPoint &at) const
{
    const QRect plot = plotRect(), strip = stripRect();
    if (at.y() < 0 || at.y() > strip.bottom())
        return QString();
    // Over the margin: every threshold of the label there.
    if (at.x() > plot.right()) {
        QStringList parts;
        for (const int i : thresholdsAt(at.y()))
            parts << m_thresholds[i].label + QLatin1Char(' ') + FormatFixed2(m_thresholds[i].value) + g_strUnit;
        return parts.isEmpty() ? QString() : QStringLiteral("しきい値 ") + parts.join(QStringLiteral("  "));
    }
    if (at.x() < plot.left())
        return QString();
    QString text = readingText(nearestReading(timeAtX(at.x())));
    // A marker's or a break's line next to the pointer: its words too.
    for (const TrendLabel &l : lineLabels(size())) {
        if (std::abs(l.lineX - at.x()) <= 3)
            text += QStringLiteral("  [") + l.text + QLatin1Char(']');
    }
    return text;
}

QList<int> TrendPlot::thresholdsAt(int y) const
{
    // The label nearest by height, within a line of it.
    const QList<TrendLabel> labels = thresholdLabels(size());
    const TrendLabel *near = nullptr;
    for (const TrendLabel &l : labels) {
        if (!near || std::abs(l.rect.center().y() - y) < std::abs(near->rect.center().y() - y))
            near = &l;
    }
    if (!near || std::abs(near->rect.center().y() - y) > near->rect.height())
        return {};
    return near->thresholds;
}

void TrendPlot::pointAt(const QPoint &at)
{
    const QRect plot = plotRect();
    const qint64 idx = at.x() >= plot.left() && at.x() <= plot.right() && at.y() >= 0 ? nearestReading(timeAtX(at.x())) : -1;
    const QString text = at.y() >= 0 ? pointerText(at) : QString();
    if (idx != m_pointed)
        update();
    m_pointed = idx;
    if (text == m_pointerText)
        return;
    // The thresholds of a label in the margin, one a line beside the pointer as well: the
    // readout below may be too narrow for all of them.
    QStringList lines;
    if (at.x() > plot.right()) {
        for (const int i : thresholdsAt(at.y()))
            lines << m_thresholds[i].label + QLatin1Char(' ') + m_thresholds[i].name + QLatin1Char(' ') +
                         FormatFixed2(m_thresholds[i].value) + g_strUnit;
    }
    if (lines.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(mapToGlobal(at), lines.join(QLatin1Char('\n')), this);
    m_pointerText = text;
    emit pointerReading(text);
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
    // The reading under the pointer is another one now.
    pointAt(e->position().toPoint());
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
    pointAt(e->position().toPoint());
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
    pointAt(QPoint(-1, -1));
    QWidget::leaveEvent(e);
}
