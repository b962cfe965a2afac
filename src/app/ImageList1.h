#pragma once
// The toolbar's icons, numbered from 1 as the frame's image list holds them: 1 new,
// 2 open, 3 save, 4 connect, 5 disconnect, 6 input monitor, 7 input monitor (off),
// 8 graph, 9 output monitor, 10 present-value log, 11 log filer, 12 connect (off),
// 13 disconnect (off), 14 log filer (off).
#include <QIcon>
#include <QPixmap>

QPixmap ImageList1(int index);
// The button icon of a picture; a disabled button shows it greyed.
QIcon ImageList1Icon(int index);
// The switched-off look of a picture: the same drawing in pale grey.
QPixmap Greyed(const QPixmap &src);
