// Pixel measures of the picture and layout tests.
#include "tests/support/Pixels.h"

#include <algorithm>
#include <cstdlib>

namespace tav::test {

QColor meanColour(const QImage& image, const QRect& area) {
  qint64 r = 0, g = 0, b = 0, n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb c = image.pixel(x, y);
      r += qRed(c);
      g += qGreen(c);
      b += qBlue(c);
      ++n;
    }
  if (n == 0) return QColor();
  return QColor(static_cast<int>(r / n), static_cast<int>(g / n), static_cast<int>(b / n));
}

int inkPixels(const QImage& image, const QRect& area) {
  int n = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) n += qGray(image.pixel(x, y)) < 120;
  return n;
}

int darkest(const QImage& image, const QRect& area) {
  int m = 255;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) m = std::min(m, qGray(image.pixel(x, y)));
  return m;
}

double meanDifference(const QImage& a, const QImage& b, const QRegion& region) {
  const QImage x = a.convertToFormat(QImage::Format_RGB32);
  const QImage y = b.convertToFormat(QImage::Format_RGB32);
  qint64 sum = 0, n = 0;
  for (const QRect& r : region)
    for (int row = r.top(); row <= r.bottom(); ++row)
      for (int col = r.left(); col <= r.right(); ++col) {
        const QRgb p = x.pixel(col, row), q = y.pixel(col, row);
        sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) + std::abs(qBlue(p) - qBlue(q));
        ++n;
      }
  return n ? static_cast<double>(sum) / (3.0 * static_cast<double>(n)) : 0.0;
}

double meanDifference(const QImage& a, const QImage& b) { return meanDifference(a, b, QRegion(a.rect())); }

}  // namespace tav::test
