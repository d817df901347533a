#pragma once

#include <QFont>
#include <QRect>

#include "ui/DialogTemplate.h"

namespace veska::gui {

// Dialog units measured on the dialog's font, as the system's dialog manager measures them:
// a horizontal unit is a quarter of the font's average character width (the width of the 52
// Latin letters / 26, rounded half up, / 2) and a vertical unit an eighth of its height.
class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font);
  DialogUnits(int averageCharWidth, int charHeight)
      : baseX_(averageCharWidth), baseY_(charHeight) {}

  [[nodiscard]] int X(int units) const { return MulDiv(units, baseX_, 4); }
  [[nodiscard]] int Y(int units) const { return MulDiv(units, baseY_, 8); }
  [[nodiscard]] QRect Map(const ui::DialogRect& rect) const {
    return QRect(X(rect.x), Y(rect.y), X(rect.width), Y(rect.height));
  }
  [[nodiscard]] int BaseX() const { return baseX_; }
  [[nodiscard]] int BaseY() const { return baseY_; }

 private:
  // a * b / c rounded to the nearest integer, halves away from zero.
  static int MulDiv(int a, int b, int c) {
    const long long product = static_cast<long long>(a) * b;
    const long long half = c / 2;
    return static_cast<int>(product >= 0 ? (product + half) / c : (product - half) / c);
  }

  int baseX_;
  int baseY_;
};

// The dialog's font: the template's face where installed, else the closest the system offers.
[[nodiscard]] QFont DialogFont(const ui::DialogTemplate& dialog);

}  // namespace veska::gui
