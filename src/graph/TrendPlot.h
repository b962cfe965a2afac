#pragma once
// The trend window's plot: the level against time over a span, the eight outputs as a strip
// of rows below it, the thresholds as dotted lines named in a margin right of the plotted
// data, and a log's markers and the clock's steps back as labelled vertical lines, in the
// colours of g_lngColor. Drawn with QPainter from the series' summaries: each column of
// pixels asks the series for its lowest and highest value and the outputs that were on or
// off in it, so every extreme shows however many readings a column covers.
//
// The view is a span of the series' time line ending at the newest reading while it
// follows, or anywhere the user moved it: the wheel zooms around the pointer, a drag pans,
// Left/Right pan by a tenth of the span, +/- halve or double it, Home and End go to the
// oldest and the newest reading. Each stretch of the time line (see TrendSeries) is labelled
// with its own times, and a break marks where the clock went back.
//
// To assistive technology the plot is a chart whose items are every threshold, marker and
// step back, each named with its value or time.
#include "logfiler/modLogReader.h"
#include "monitor/TrendSeries.h"

#include <QColor>
#include <QList>
#include <QString>
#include <QWidget>

class QPainter;

// What the plot draws: a series and how to read its values.
struct TrendSource {
    const TrendSeries *series = nullptr;
    // Values in hundredths of unit (a log with values); otherwise counts of the controller,
    // shown in the current input type's unit.
    bool hundredths = false;
    QString unit;
    QList<LogMarker> markers;
};

// A threshold line: the value in the current unit, its channel (1 to 8), its name and the
// short label that says which bound it is.
struct TrendThreshold {
    double value = 0;
    int channel = 1;
    QString name;  // "ch1 最大値"
    QString label; // "ch1↑"
};

// A label as drawn: where, what it says, and for a threshold's label the thresholds it
// stands for (several where lines lie too close for a label each).
struct TrendLabel {
    QRect rect;
    QString text;
    int lineY = 0;       // a threshold's line (its first one's)
    int lineX = 0;       // a marker's or a break's line
    QList<int> thresholds; // indexes into thresholds()
    int marker = -1;       // a marker's index in the source, a step's in the series' steps
    int step = -1;
};

// The contrast of two colours as the accessibility guidelines reckon it, from 1 (the same
// lightness) to 21 (black on white).
double ContrastRatio(const QColor &a, const QColor &b);
// What a label drawn in the colour text needs behind it to be read on background: nothing
// (an invalid colour) where the background sets it off well enough (4.5:1), otherwise white
// or black, whichever sets it off more. The text keeps its colour: it is the user's.
QColor LabelBacking(const QColor &text, const QColor &background);

class TrendPlot : public QWidget {
    Q_OBJECT
public:
    explicit TrendPlot(QWidget *parent = nullptr);

    void setSource(const TrendSource &source);
    const TrendSource &source() const { return m_source; }
    void setThresholds(const QList<TrendThreshold> &t);
    const QList<TrendThreshold> &thresholds() const { return m_thresholds; }
    // The input type in whose full scale the source's values were written: the current one
    // for live readings and counts; for a log with values, the current one where its unit is
    // the current type's and every value lies in its range, otherwise the type of that unit
    // with the smallest range that holds them all, or 0 when none does.
    int sourceType() const;
    // Whether the thresholds apply to the source (its full scale is the current type's), and
    // when not, why none are drawn.
    bool thresholdsApply() const;
    QString thresholdsNote() const;

    // The view: its left edge and span (ms of the time line), and whether it follows the
    // newest reading.
    qint64 viewStart() const;
    qint64 viewSpan() const { return m_span; }
    bool following() const { return m_follow; }
    void setSpan(qint64 ms);
    void setFollowing(bool on);
    // Shows [start, start + span) (not following).
    void setView(qint64 start, qint64 span);
    void panBy(double spans);
    void zoomBy(double factor, double anchor); // anchor: 0 left edge .. 1 right edge
    // The oldest and the newest reading at the view's left and right edge.
    void toOldest();
    void toNewest();
    qint64 minSpan() const { return 5000; }
    qint64 maxSpan() const;
    // The own time of a place of the time line.
    qint64 writtenAt(qint64 ms) const;

    // The value of a raw reading in the source's unit, and that unit.
    double valueOf(quint16 raw) const;
    QString unit() const;
    // The level axis' range: the source's full scale, widened to hold every value of it.
    void valueRange(double &low, double &high) const;

    // Draws the whole picture at size onto p (the widget's own paint, a saved picture, a
    // benchmark).
    void render(QPainter &p, const QSize &size) const;
    QImage picture() const;
    QImage picture(const QSize &size) const;

    // The labels as drawn at size: the thresholds' in the margin, the markers' and breaks'
    // along the top; a label left out for want of room has an empty rect.
    QList<TrendLabel> thresholdLabels(const QSize &size) const;
    QList<TrendLabel> lineLabels(const QSize &size) const;
    // What assistive technology reads as the chart's items, and where each is drawn.
    QList<TrendLabel> accessibleItems() const;

    // The reading nearest to time ms (-1 when none), and its text: time, value, outputs.
    qint64 nearestReading(qint64 ms) const;
    QString readingText(qint64 index) const;
    // What the readout says with the pointer at p (the reading there, a line's label, or
    // over the margin every threshold of the label there); empty over nothing.
    QString pointerText(const QPoint &p) const;
    // The time at a widget x, and the plot's area in the widget.
    qint64 timeAtX(int x) const;
    QRect plotRect() const { return plotRectFor(size()); }
    QRect stripRect() const { return stripRectFor(size()); }
    QRect plotRectFor(const QSize &s) const;
    QRect stripRectFor(const QSize &s) const;

signals:
    // The view changed (span, place or following).
    void viewChanged();
    // The readout under the pointer (empty when over nothing).
    void pointerReading(const QString &text);

protected:
    void paintEvent(QPaintEvent *e) override;
    void wheelEvent(QWheelEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void leaveEvent(QEvent *e) override;

private:
    struct Scale {
        double low = 0, high = 1;
    };
    Scale scale() const;
    int marginWidth() const;
    void clampView();
    void drawTimeAxis(QPainter &p, const QRect &plot, const QRect &strip, int labelTop) const;
    void drawValueAxis(QPainter &p, const QRect &plot, const Scale &sc) const;
    void drawLevelAndStrip(QPainter &p, const QRect &plot, const QRect &strip, const Scale &sc) const;
    QList<TrendLabel> thresholdLabels(const QSize &size, const Scale &sc) const;
    // The clock's steps back in [from, to] of the time line.
    std::vector<TrendSeries::Step> stepsIn(qint64 from, qint64 to) const;
    void pointAt(const QPoint &p);
    // The thresholds of the margin's label at height y (none away from every label).
    QList<int> thresholdsAt(int y) const;

    TrendSource m_source;
    QList<TrendThreshold> m_thresholds;
    qint64 m_start = 0;
    qint64 m_span = 600000;
    bool m_follow = true;
    bool m_dragging = false;
    int m_dragX = 0;
    qint64 m_dragStart = 0;
    qint64 m_pointed = -1; // the reading under the pointer
    QString m_pointerText;
    // The chart's items as last laid out, and what they were laid out for.
    struct ItemsKey {
        qint64 start = 0, span = 0, readings = -1;
        QSize size;
        int type = 0;
        const TrendSeries *series = nullptr;
        bool operator==(const ItemsKey &) const = default;
    };
    mutable QList<TrendLabel> m_items;
    mutable ItemsKey m_itemsKey;
    mutable bool m_itemsValid = false;
};
