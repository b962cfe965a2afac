#pragma once
// The graph colours: the table g_lngColor (0x00BBGGRR) and the colour file "clr.ini".
#include <QtGlobal>

constexpr int kColors = 21;
extern qint32 g_lngColor[kColors];

void SetDefaultColors();
bool LoadColorFile();
bool SaveColorFile();
