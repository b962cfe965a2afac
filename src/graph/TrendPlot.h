#pragma once
// The trend window's plot: the level against time over a span, the eight outputs as a strip
// of rows below it, the thresholds as dotted lines and a log's markers as labelled vertical
// lines, in the colours of g_lngColor. Drawn with QPainter from the series' summaries: each
// column of pixels asks the series for its lowest and highest value and the outputs that
// were on or off in it, so every extreme shows however many readings a column covers.
//
// The view is a span of time ending at the newest reading while it follows, or anywhere the
// user moved it: the wheel zooms around the pointer, a drag pans, Left/Right pan by a tenth
// of the span, +/- halve or double it.
#include "logfiler/modLogReader.h"
#include "monitor/TrendSeries.h"

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

// A threshold line: the value in the current unit, its channel (1 to 8) and its name.
struct TrendThreshold {
    double value = 0;
    int channel = 1;
    QString name; // "ch1 最大値"
};

class TrendPlot : public QWidget {
    Q_OBJECT
public:
    explicit TrendPlot(QWidget *parent = nullptr);

    void setSource(const TrendSource &source);
    const TrendSource &source() const { return m_source; }
    void setThresholds(const QList<TrendThreshold> &t);
    const QList<TrendThreshold> &thresholds() const { return m_thresholds; }
    // Whether the thresholds apply to the source (its values are in the current unit).
    bool thresholdsApply() const;

    // The view: its left edge and span (ms), and whether it follows the newest reading.
    qint64 viewStart() const;
    qint64 viewSpan() const { return m_span; }
    bool following() const { return m_follow; }
    void setSpan(qint64 ms);
    void setFollowing(bool on);
    // Shows [start, start + span) (not following).
    void setView(qint64 start, qint64 span);
    void panBy(double spans);
    void zoomBy(double factor, double anchor); // anchor: 0 left edge .. 1 right edge
    qint64 minSpan() const { return 5000; }
    qint64 maxSpan() const;

    // The value of a raw reading in the source's unit, and that unit.
    double valueOf(quint16 raw) const;
    QString unit() const;
    // The level axis' range.
    void valueRange(double &low, double &high) const;

    // Draws the whole picture at size onto p (the widget's own paint, a saved picture, a
    // benchmark).
    void render(QPainter &p, const QSize &size) const;
    QImage picture() const;
    QImage picture(const QSize &size) const;

    // The reading nearest to time ms (-1 when none), and its text: time, value, outputs.
    qint64 nearestReading(qint64 ms) const;
    QString readingText(qint64 index) const;
    // The time at a widget x, and the plot's area in the widget.
    qint64 timeAtX(int x) const;
    QRect plotRect() const { return plotRectFor(size()); }
    QRect stripRect() const { return stripRectFor(size()); }
    QRect plotRectFor(const QSize &s) const;
    QRect stripRectFor(const QSize &s) const;

signals:
    // The view changed (span, place or following).
    void viewChanged();
    // The pointer is over the reading with this text (empty when over none).
    void pointerReading(const QString &text);

protected:
    void paintEvent(QPaintEvent *e) override;
    void wheelEvent(QWheelEvent *e) override;
    void mousePressEvent(QMouseEvent *e) override;
    void mouseMoveEvent(QMouseEvent *e) override;
    void mouseReleaseEvent(QMouseEvent *e) override;
    void leaveEvent(QEvent *e) override;

private:
    void clampView();
    void drawTimeAxis(QPainter &p, const QRect &plot, const QRect &strip, int labelTop) const;
    void drawValueAxis(QPainter &p, const QRect &plot) const;
    void drawLevelAndStrip(QPainter &p, const QRect &plot, const QRect &strip) const;
    void pointAt(int x);

    TrendSource m_source;
    QList<TrendThreshold> m_thresholds;
    qint64 m_start = 0;
    qint64 m_span = 600000;
    bool m_follow = true;
    bool m_dragging = false;
    int m_dragX = 0;
    qint64 m_dragStart = 0;
    qint64 m_pointed = -1; // the reading under the pointer
};
