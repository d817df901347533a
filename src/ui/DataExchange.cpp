#include "ui/DataExchange.h"

#include <vector>

namespace veska::ui {

void DdxRadio(Window& window, bool save, int firstId, int& value) {
  const std::vector<int> group = RadioGroupIds(window.Template(), firstId);
  if (save) {
    value = -1;
    for (std::size_t i = 0; i < group.size(); ++i) {
      if (window.GetCheck(group[i]) == BST_CHECKED) {
        value = static_cast<int>(i);
        break;
      }
    }
    return;
  }
  for (std::size_t i = 0; i < group.size(); ++i) {
    window.SetCheck(group[i], static_cast<int>(i) == value ? BST_CHECKED : BST_UNCHECKED);
  }
}

void DdxCheck(Window& window, bool save, int id, int& value) {
  if (save) {
    value = window.GetCheck(id);
    return;
  }
  window.SetCheck(id, value >= BST_UNCHECKED && value <= BST_INDETERMINATE ? value : 0);
}

}  // namespace veska::ui
