#include "app/dialog_units.h"

namespace velloquin {
namespace {

// units * base / divisor, rounded to the nearest pixel as the dialog manager
// rounds (MulDiv).
int Scale(int units, int base, int divisor) {
  long long product = static_cast<long long>(units) * base;
  long long half = divisor / 2;
  return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}

int AverageLetterWidth(const QFontMetrics& metrics) {
  static const QString kLetters =
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  int width = metrics.horizontalAdvance(kLetters);
  return (width / 26 + 1) / 2;  // width / 52, rounded
}

}  // namespace

DialogUnits::DialogUnits(const QFontMetrics& metrics)
    : DialogUnits(AverageLetterWidth(metrics), metrics.height()) {}

DialogUnits::DialogUnits(int base_width, int base_height)
    : base_width_(base_width > 0 ? base_width : 1), base_height_(base_height > 0 ? base_height : 1) {}

int DialogUnits::X(int units) const { return Scale(units, base_width_, 4); }

int DialogUnits::Y(int units) const { return Scale(units, base_height_, 8); }

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return QRect(X(x), Y(y), X(width), Y(height));
}

}  // namespace velloquin
