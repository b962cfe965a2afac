#pragma once
// Whether a screenshot shows a window's contents rather than an empty or flat area: the
// GUI tests and the headless tour check every picture they save with it.
class QImage;

// At least three colours, and at least half a percent of the pixels away from the
// commonest colour.
bool PictureShowsSomething(const QImage &img);
