// Pixel measures the picture and layout tests judge images by.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QRegion>

namespace tav::test {

// The mean colour over `area` of `image`.
QColor meanColour(const QImage& image, const QRect& area);

// Pixels of `area` clearly darker than paper (grey level below 120): where lettering was drawn.
int inkPixels(const QImage& image, const QRect& area);

// The darkest grey level inside `area`.
int darkest(const QImage& image, const QRect& area);

// Mean absolute difference per colour channel (0..255) between `a` and `b` over `region`, or over
// the whole of `a`; 0 for an empty region.
double meanDifference(const QImage& a, const QImage& b, const QRegion& region);
double meanDifference(const QImage& a, const QImage& b);

}  // namespace tav::test
