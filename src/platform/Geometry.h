#pragma once
// Stored sizes and places are in twips (1/1440 inch); windows convert with the
// screen's logical DPI (96 under offscreen and Xvfb: one pixel is 15 twips).
int TwipsToPx(int twips);
int PxToTwips(int px);
double TwipsPerPixel();

#include <QRect>

// A window's place and size (pixels) made usable on an area (the screen for a top-level
// window, the frame's document area for a child): the size no larger than the area, and
// the place moved onto the area when the window could not be reached there. A window
// partly off an edge whose title bar can still be grabbed keeps its place.
QRect FitOnArea(const QRect &window, const QRect &area);
