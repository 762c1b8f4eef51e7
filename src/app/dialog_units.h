// Dialog units: the layout of the station's dialogs is given in the units of
// a dialog template (a quarter of the font's average character width across,
// an eighth of its height down), so the same layout keeps its proportions
// with whatever font the desktop offers. This converts them to pixels.
#pragma once

#include <QFontMetrics>
#include <QRect>

namespace velloquin {

class DialogUnits {
 public:
  // The base units of `metrics`: the average width of the 52 Latin letters,
  // rounded, and the font's height.
  explicit DialogUnits(const QFontMetrics& metrics);
  DialogUnits(int base_width, int base_height);

  int X(int units) const;  // horizontal units to pixels
  int Y(int units) const;  // vertical units to pixels
  QRect Rect(int x, int y, int width, int height) const;

  int BaseWidth() const { return base_width_; }
  int BaseHeight() const { return base_height_; }

 private:
  int base_width_;
  int base_height_;
};

}  // namespace velloquin
