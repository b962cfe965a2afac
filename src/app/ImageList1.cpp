#include "app/ImageList1.h"

#include <QPainter>
#include <QPainterPath>

namespace {
constexpr int S = 24;

void drawNew(QPainter &p)
{
    QPainterPath page;
    page.moveTo(5, 2);
    page.lineTo(15, 2);
    page.lineTo(20, 7);
    page.lineTo(20, 22);
    page.lineTo(5, 22);
    page.closeSubpath();
    p.setPen(QPen(QColor(60, 60, 60), 1.2));
    p.setBrush(Qt::white);
    p.drawPath(page);
    p.drawLine(QPointF(15, 2), QPointF(15, 7));
    p.drawLine(QPointF(15, 7), QPointF(20, 7));
    p.setPen(QPen(QColor(230, 170, 0), 2));
    p.drawLine(QPointF(3, 3), QPointF(9, 9));
    p.drawLine(QPointF(9, 3), QPointF(3, 9));
    p.drawLine(QPointF(6, 2), QPointF(6, 10));
}

void drawOpen(QPainter &p)
{
    p.setPen(QPen(QColor(120, 80, 0), 1.2));
    p.setBrush(QColor(240, 200, 90));
    p.drawRect(QRectF(2, 6, 16, 14));
    p.drawRect(QRectF(2, 4, 7, 3));
    p.setBrush(QColor(255, 225, 130));
    QPolygonF flap{{5, 10}, {22, 10}, {18, 20}, {2, 20}};
    p.drawPolygon(flap);
    p.setPen(QPen(QColor(0, 120, 0), 2));
    p.drawLine(QPointF(17, 2), QPointF(21, 6));
    p.drawLine(QPointF(21, 6), QPointF(17, 6));
}

void drawSave(QPainter &p)
{
    p.setPen(QPen(QColor(20, 30, 80), 1.2));
    p.setBrush(QColor(50, 80, 170));
    p.drawRect(QRectF(3, 3, 18, 18));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(7, 3, 10, 7));
    p.setBrush(QColor(200, 200, 210));
    p.drawRect(QRectF(6, 13, 12, 8));
    p.setBrush(QColor(20, 30, 80));
    p.drawRect(QRectF(13, 4, 3, 5));
}

void drawPlug(QPainter &p, bool connected)
{
    const QColor body = connected ? QColor(0, 150, 60) : QColor(200, 40, 40);
    p.setPen(QPen(QColor(40, 40, 40), 1.2));
    p.setBrush(body);
    if (connected) {
        p.drawRect(QRectF(3, 9, 8, 7));
        p.drawRect(QRectF(13, 9, 8, 7));
        p.setPen(QPen(QColor(40, 40, 40), 2));
        p.drawLine(QPointF(11, 11), QPointF(13, 11));
        p.drawLine(QPointF(11, 14), QPointF(13, 14));
        p.drawLine(QPointF(1, 12.5), QPointF(3, 12.5));
        p.drawLine(QPointF(21, 12.5), QPointF(23, 12.5));
    } else {
        p.drawRect(QRectF(2, 9, 7, 7));
        p.drawRect(QRectF(15, 9, 7, 7));
        p.setPen(QPen(QColor(40, 40, 40), 2));
        p.drawLine(QPointF(9, 11), QPointF(11, 11));
        p.drawLine(QPointF(9, 14), QPointF(11, 14));
        p.setPen(QPen(QColor(200, 40, 40), 2));
        p.drawLine(QPointF(12, 4), QPointF(12, 8));
        p.drawLine(QPointF(12, 17), QPointF(12, 21));
    }
}

void drawMeter(QPainter &p)
{
    p.setPen(QPen(QColor(40, 40, 40), 1.2));
    p.setBrush(QColor(250, 250, 235));
    p.drawRect(QRectF(2, 3, 20, 18));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(5, 7, 14, 14), 20 * 16, 140 * 16);
    p.setPen(QPen(QColor(210, 0, 0), 1.8));
    p.drawLine(QPointF(12, 15), QPointF(17, 9));
    p.setPen(QPen(QColor(0, 90, 200), 2));
    p.drawLine(QPointF(5, 19), QPointF(19, 19));
}

void drawGraph(QPainter &p)
{
    p.setPen(QPen(QColor(40, 40, 40), 1.2));
    p.setBrush(Qt::black);
    p.drawRect(QRectF(2, 2, 20, 20));
    p.setPen(QPen(QColor(255, 255, 128), 1.5, Qt::DotLine));
    p.drawLine(QPointF(3, 8), QPointF(21, 8));
    p.setPen(QPen(QColor(255, 0, 0), 1.5, Qt::DotLine));
    p.drawLine(QPointF(3, 14), QPointF(21, 14));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 200, 255));
    p.drawRect(QRectF(9, 11, 6, 10));
}

void drawLamps(QPainter &p)
{
    p.setPen(QPen(QColor(40, 40, 40), 1));
    for (int i = 0; i < 4; ++i) {
        p.setBrush(i % 2 ? QColor(0, 0, 255) : QColor(255, 0, 0));
        p.drawEllipse(QRectF(2 + (i % 2) * 11, 2 + (i / 2) * 11, 9, 9));
    }
}

void drawList(QPainter &p)
{
    p.setPen(QPen(QColor(40, 40, 40), 1.2));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3, 2, 18, 20));
    p.setPen(QPen(QColor(0, 90, 170), 1.5));
    for (int y = 6; y <= 18; y += 4)
        p.drawLine(QPointF(6, y), QPointF(18, y));
}

void drawFiler(QPainter &p)
{
    p.setPen(QPen(QColor(40, 40, 40), 1.2));
    p.setBrush(QColor(255, 245, 200));
    p.drawRect(QRectF(3, 2, 15, 20));
    p.setPen(QPen(QColor(120, 120, 120), 1));
    for (int y = 7; y <= 19; y += 4)
        p.drawLine(QPointF(5, y), QPointF(15, y));
    p.setPen(QPen(QColor(200, 60, 0), 2.5));
    p.drawLine(QPointF(12, 19), QPointF(22, 7));
    p.setPen(QPen(QColor(40, 40, 40), 1.2));
    p.drawLine(QPointF(11, 21), QPointF(12, 19));
}

QPixmap drawn(void (*fn)(QPainter &))
{
    QPixmap pm(S, S);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    fn(p);
    return pm;
}

} // namespace

QPixmap Greyed(const QPixmap &src)
{
    QImage img = src.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < img.height(); ++y) {
        for (int x = 0; x < img.width(); ++x) {
            const QRgb c = img.pixel(x, y);
            const int g = 150 + qGray(c) / 3;
            img.setPixel(x, y, qRgba(g, g, g, qAlpha(c) * 2 / 3));
        }
    }
    return QPixmap::fromImage(img);
}

QPixmap ImageList1(int index)
{
    switch (index) {
    case 1: return drawn(drawNew);
    case 2: return drawn(drawOpen);
    case 3: return drawn(drawSave);
    case 4: return drawn([](QPainter &p) { drawPlug(p, true); });
    case 5: return drawn([](QPainter &p) { drawPlug(p, false); });
    case 6: return drawn(drawMeter);
    case 7: return Greyed(drawn(drawMeter));
    case 8: return drawn(drawGraph);
    case 9: return drawn(drawLamps);
    case 10: return drawn(drawList);
    case 11: return drawn(drawFiler);
    case 12: return Greyed(drawn([](QPainter &p) { drawPlug(p, true); }));
    case 13: return Greyed(drawn([](QPainter &p) { drawPlug(p, false); }));
    case 14: return Greyed(drawn(drawFiler));
    default: return QPixmap();
    }
}

QIcon ImageList1Icon(int index)
{
    const QPixmap pm = ImageList1(index);
    QIcon icon;
    icon.addPixmap(pm, QIcon::Normal);
    icon.addPixmap(Greyed(pm), QIcon::Disabled);
    return icon;
}
