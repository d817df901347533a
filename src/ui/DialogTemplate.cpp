#include "ui/DialogTemplate.h"

#include <optional>

namespace veska::ui {

const ControlTemplate* DialogTemplate::Find(int id) const {
  if (id == ID_STATIC) return nullptr;
  for (const ControlTemplate& control : controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

namespace {

// The radio buttons from the control at `first` up to (not including) the next group start.
std::vector<int> RadioGroupFrom(const DialogTemplate& dialog, std::size_t first) {
  std::vector<int> ids;
  for (std::size_t i = first; i < dialog.controls.size(); ++i) {
    const ControlTemplate& control = dialog.controls[i];
    if (i != first && control.Has(STYLE_GROUP_START)) break;
    if (control.kind == ControlKind::RadioButton) ids.push_back(control.id);
  }
  return ids;
}

std::optional<std::size_t> IndexOf(const DialogTemplate& dialog, int id) {
  if (id == ID_STATIC) return std::nullopt;
  for (std::size_t i = 0; i < dialog.controls.size(); ++i) {
    if (dialog.controls[i].id == id) return i;
  }
  return std::nullopt;
}

}  // namespace

std::vector<int> RadioGroupIds(const DialogTemplate& dialog, int firstId) {
  const std::optional<std::size_t> first = IndexOf(dialog, firstId);
  return first ? RadioGroupFrom(dialog, *first) : std::vector<int>{};
}

std::vector<int> RadioGroupOf(const DialogTemplate& dialog, int id) {
  const std::optional<std::size_t> self = IndexOf(dialog, id);
  if (!self) return {};
  std::size_t first = *self;
  while (first > 0 && !dialog.controls[first].Has(STYLE_GROUP_START)) --first;
  return RadioGroupFrom(dialog, first);
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
