#pragma once
// Stored sizes and places are in twips (1/1440 inch); windows convert with the
// screen's logical DPI (96 under offscreen and Xvfb: one pixel is 15 twips).
int TwipsToPx(int twips);
int PxToTwips(int px);
double TwipsPerPixel();
