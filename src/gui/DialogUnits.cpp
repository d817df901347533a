#include "gui/DialogUnits.h"

#include <QFontMetrics>
#include <QString>

namespace veska::gui {

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = (letters / 26 + 1) / 2;
  baseY_ = metrics.height();
}

QFont DialogFont(const ui::DialogTemplate& dialog) {
  QFont font(
      QString::fromUtf8(dialog.fontName.data(), static_cast<qsizetype>(dialog.fontName.size())));
  font.setPointSize(dialog.fontPointSize > 0 ? dialog.fontPointSize : 8);
  // Tahoma's nearest stand-ins on a Linux desktop are the common sans faces.
  font.setStyleHint(QFont::SansSerif);
  return font;
}

}  // namespace veska::gui
