#include "doubles/PictureCheck.h"

#include <QHash>
#include <QImage>

bool PictureShowsSomething(const QImage &img)
{
    QHash<QRgb, int> counts;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            ++counts[img.pixel(x, y)];
    int top = 0;
    for (int n : counts)
        top = qMax(top, n);
    const qint64 total = qint64(img.width()) * img.height();
    return counts.size() >= 3 && total - top >= total / 200;
}
