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
