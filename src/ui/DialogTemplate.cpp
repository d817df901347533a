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

}  // namespace veska::ui
