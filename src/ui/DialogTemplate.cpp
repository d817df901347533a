#include "ui/DialogTemplate.h"

namespace veska::ui {

const ControlTemplate* DialogTemplate::Find(int id) const {
  if (id == ID_STATIC) return nullptr;
  for (const ControlTemplate& control : controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

std::vector<int> RadioGroupIds(const DialogTemplate& dialog, int firstId) {
  std::vector<int> ids;
  bool inGroup = false;
  for (const ControlTemplate& control : dialog.controls) {
    if (!inGroup) {
      if (control.id != firstId || firstId == ID_STATIC) continue;
      inGroup = true;
    } else if (control.Has(STYLE_GROUP_START)) {
      break;
    }
    if (control.kind == ControlKind::RadioButton) ids.push_back(control.id);
  }
  return ids;
}

PixelRect GrownRect(const DialogTemplate& dialog, std::size_t index, PixelRect placed, int dx,
                    int dy) {
  if (index >= dialog.controls.size()) return placed;
  const ControlTemplate& self = dialog.controls[index];
  bool below = false;
  bool right = false;
  for (const ControlTemplate& other : dialog.controls) {
    if (&other == &self) continue;
    if (other.Has(STYLE_STRETCH_HEIGHT) && self.rect.y >= other.rect.y + other.rect.height) {
      below = true;
    }
    if (other.Has(STYLE_STRETCH_WIDTH) && self.rect.x >= other.rect.x + other.rect.width) {
      right = true;
    }
  }
  dx = dx > 0 ? dx : 0;
  dy = dy > 0 ? dy : 0;
  if (self.Has(STYLE_STRETCH_WIDTH)) placed.width += dx;
  if (self.Has(STYLE_STRETCH_HEIGHT)) placed.height += dy;
  if (right) placed.x += dx;
  if (below) placed.y += dy;
  return placed;
}

}  // namespace veska::ui
