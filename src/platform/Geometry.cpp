#include "platform/Geometry.h"

#include <QGuiApplication>
#include <QScreen>
#include <cmath>

double TwipsPerPixel()
{
    double dpi = 96.0;
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        if (QScreen *s = app->primaryScreen())
            dpi = s->logicalDotsPerInchY();
    }
    if (dpi <= 0)
        dpi = 96.0;
    return 1440.0 / dpi;
}

int TwipsToPx(int twips) { return int(std::lround(twips / TwipsPerPixel())); }
int PxToTwips(int px) { return int(std::lround(px * TwipsPerPixel())); }

QRect FitOnArea(const QRect &window, const QRect &area)
{
    if (area.isEmpty())
        return window;
    // How much of the title bar must stay on the area to grab the window.
    constexpr qint64 kGrip = 32;
    const qint64 w = qBound(qint64(1), qint64(window.width()), qint64(area.width()));
    const qint64 h = qBound(qint64(1), qint64(window.height()), qint64(area.height()));
    qint64 x = window.x(), y = window.y();
    const qint64 left = area.left(), top = area.top();
    const qint64 right = left + area.width(), bottom = top + area.height();
    const bool reachable = y >= top && y + kGrip <= bottom && x + w >= left + kGrip && x + kGrip <= right;
    if (!reachable) {
        x = qBound(left, x, right - w);
        y = qBound(top, y, bottom - h);
    }
    return QRect(int(x), int(y), int(w), int(h));
}
