#include "ui/HeadlessWindow.h"

#include <algorithm>

#include "ui/TextLimit.h"
#include "ui/TreeOrder.h"

namespace veska::ui {

HeadlessWindow::HeadlessWindow(const DialogTemplate& dialog, Dialog& handler, Journal& journal)
    : template_(dialog), handler_(handler), journal_(journal) {
  for (const ControlTemplate& tmpl : dialog.controls) {
    if (tmpl.id == ID_STATIC) continue;
    Control control;
    control.tmpl = &tmpl;
    control.enabled = !tmpl.Has(STYLE_DISABLED);
    control.visible = !tmpl.Has(STYLE_HIDDEN);
    if (tmpl.kind != ControlKind::DropDownList && tmpl.kind != ControlKind::ListBox &&
        tmpl.kind != ControlKind::RichEdit && tmpl.kind != ControlKind::Edit) {
      control.text = std::string(tmpl.caption);
    }
    for (std::string_view item : tmpl.items) control.items.emplace_back(item);
    if (tmpl.kind == ControlKind::TreeView) control.nodes.emplace(TREE_NONE, Control::Node{});
    controls_.emplace(tmpl.id, std::move(control));
  }
}

HeadlessWindow::Control* HeadlessWindow::Find(int id) {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

const HeadlessWindow::Control* HeadlessWindow::Find(int id) const {
  auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : &it->second;
}

HeadlessWindow::Control* HeadlessWindow::FindTree(int id) {
  Control* control = Find(id);
  return control != nullptr && control->tmpl->kind == ControlKind::TreeView ? control : nullptr;
}

const HeadlessWindow::Control* HeadlessWindow::FindTree(int id) const {
  const Control* control = Find(id);
  return control != nullptr && control->tmpl->kind == ControlKind::TreeView ? control : nullptr;
}

void HeadlessWindow::Record(EventKind kind, int id, std::string text, std::int64_t a,
                            std::int64_t b) {
  Event event;
  event.kind = kind;
  event.dialog = template_.resourceId;
  event.id = id;
  event.text = std::move(text);
  event.a = a;
  event.b = b;
  journal_.Record(std::move(event));
}

void HeadlessWindow::SetText(int id, std::string_view text) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->text = std::string(text);
  control->selStart = control->selEnd = 0;
  Record(EventKind::SetText, id, std::string(text));
}

std::string HeadlessWindow::GetText(int id) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  return control == nullptr ? std::string{} : control->text;
}

void HeadlessWindow::Enable(int id, bool enabled) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->enabled = enabled;
  Record(EventKind::Enable, id, {}, enabled ? 1 : 0);
}

bool HeadlessWindow::IsEnabled(int id) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  return control != nullptr && control->enabled;
}

bool HeadlessWindow::IsVisible(int id) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  return control != nullptr && control->visible;
}

void HeadlessWindow::SetFocus(int id) {
  std::lock_guard lock(mutex_);
  if (Find(id) == nullptr) return;
  focus_ = id;
  Record(EventKind::Focus, id);
}

int HeadlessWindow::FocusedControl() const {
  std::lock_guard lock(mutex_);
  return focus_;
}

void HeadlessWindow::SetCheck(int id, int state) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->check = state;
  Record(EventKind::SetCheck, id, {}, state);
}

int HeadlessWindow::GetCheck(int id) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  return control == nullptr ? BST_UNCHECKED : control->check;
}

void HeadlessWindow::AddString(int id, std::string_view item) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->items.emplace_back(item);
  Record(EventKind::AddString, id, std::string(item));
}

void HeadlessWindow::ResetContent(int id) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->items.clear();
  control->curSel = LB_NONE;
  Record(EventKind::ResetContent, id);
}

int HeadlessWindow::GetCount(int id) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  return control == nullptr ? 0 : static_cast<int>(control->items.size());
}

std::string HeadlessWindow::GetItemText(int id, int index) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  if (control == nullptr || index < 0 || static_cast<std::size_t>(index) >= control->items.size()) {
    return {};
  }
  return control->items[static_cast<std::size_t>(index)];
}

bool HeadlessWindow::SetCurSel(int id, int index) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return false;
  const bool inRange = index >= 0 && static_cast<std::size_t>(index) < control->items.size();
  control->curSel = inRange ? index : LB_NONE;
  Record(EventKind::SetCurSel, id, {}, control->curSel);
  return inRange;
}

int HeadlessWindow::GetCurSel(int id) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  return control == nullptr ? LB_NONE : control->curSel;
}

void HeadlessWindow::SetHorizontalExtent(int id, int pixels) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->horizontalExtent = pixels;
  Record(EventKind::SetHorizontalExtent, id, {}, pixels);
}

int HeadlessWindow::TextWidth(int id, std::string_view text) const {
  std::lock_guard lock(mutex_);
  if (Find(id) == nullptr) return 0;
  // Characters, not bytes: UTF-8 continuation bytes add nothing.
  const auto characters = std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  });
  return static_cast<int>(characters) * kCharWidth;
}

TreeItem HeadlessWindow::InsertTreeItem(int id, TreeItem parent, std::string_view text) {
  std::lock_guard lock(mutex_);
  Control* tree = FindTree(id);
  if (tree == nullptr) return TREE_NONE;
  auto above = tree->nodes.find(parent);
  if (above == tree->nodes.end()) return TREE_NONE;
  const TreeItem item = nextTreeItem_++;
  above->second.children.push_back(item);
  tree->nodes.emplace(item, Control::Node{parent, std::string(text), {}, false});
  Record(EventKind::TreeInsert, id, std::string(text), item, parent);
  return item;
}

std::string HeadlessWindow::GetTreeItemText(int id, TreeItem item) const {
  std::lock_guard lock(mutex_);
  const Control* tree = FindTree(id);
  if (tree == nullptr) return {};
  auto it = tree->nodes.find(item);
  return it == tree->nodes.end() ? std::string{} : it->second.text;
}

TreeItem HeadlessWindow::GetParentTreeItem(int id, TreeItem item) const {
  std::lock_guard lock(mutex_);
  const Control* tree = FindTree(id);
  if (tree == nullptr) return TREE_NONE;
  auto it = tree->nodes.find(item);
  return it == tree->nodes.end() ? TREE_NONE : it->second.parent;
}

std::vector<TreeItem> HeadlessWindow::GetChildTreeItems(int id, TreeItem parent) const {
  std::lock_guard lock(mutex_);
  const Control* tree = FindTree(id);
  if (tree == nullptr) return {};
  auto it = tree->nodes.find(parent);
  return it == tree->nodes.end() ? std::vector<TreeItem>{} : it->second.children;
}

void HeadlessWindow::SortTreeChildren(int id, TreeItem parent) {
  std::lock_guard lock(mutex_);
  Control* tree = FindTree(id);
  if (tree == nullptr) return;
  auto it = tree->nodes.find(parent);
  if (it == tree->nodes.end()) return;
  const auto& nodes = tree->nodes;
  std::stable_sort(it->second.children.begin(), it->second.children.end(),
                   [&nodes](TreeItem a, TreeItem b) {
                     return TreeTextLess(nodes.at(a).text, nodes.at(b).text);
                   });
  Record(EventKind::TreeSort, id, {}, parent);
}

void HeadlessWindow::ExpandTreeItem(int id, TreeItem item) {
  std::lock_guard lock(mutex_);
  Control* tree = FindTree(id);
  if (tree == nullptr || item == TREE_NONE) return;
  auto it = tree->nodes.find(item);
  if (it == tree->nodes.end()) return;
  it->second.expanded = true;
  Record(EventKind::TreeExpand, id, {}, item);
}

bool HeadlessWindow::SelectTreeItem(int id, TreeItem item) {
  std::lock_guard lock(mutex_);
  Control* tree = FindTree(id);
  if (tree == nullptr || !tree->nodes.contains(item)) return false;
  tree->selected = item;
  Record(EventKind::TreeSelect, id, {}, item);
  return true;
}

TreeItem HeadlessWindow::GetSelectedTreeItem(int id) const {
  std::lock_guard lock(mutex_);
  const Control* tree = FindTree(id);
  return tree == nullptr ? TREE_NONE : tree->selected;
}

void HeadlessWindow::DeleteAllTreeItems(int id) {
  std::lock_guard lock(mutex_);
  Control* tree = FindTree(id);
  if (tree == nullptr) return;
  tree->nodes.clear();
  tree->nodes.emplace(TREE_NONE, Control::Node{});
  tree->selected = TREE_NONE;
  Record(EventKind::TreeDeleteAll, id);
}

void HeadlessWindow::SetRange(int id, std::int64_t lower, std::int64_t upper) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->progress.lower = lower;
  control->progress.upper = upper;
  Record(EventKind::SetRange, id, {}, lower, upper);
}

void HeadlessWindow::SetPos(int id, std::int64_t position) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->progress.position = position;
  Record(EventKind::SetPos, id, {}, position);
}

ProgressState HeadlessWindow::GetProgress(int id) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  return control == nullptr ? ProgressState{} : control->progress;
}

void HeadlessWindow::AppendText(int id, std::string_view text) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->text.append(text);
  const std::size_t drop = OldestTextToDrop(control->text, control->textLimit);
  control->text.erase(0, drop);
  control->selStart = control->selEnd = control->text.size();
  if (control->tmpl->kind == ControlKind::RichEdit) focus_ = id;
  Record(EventKind::AppendText, id, std::string(text));
}

void HeadlessWindow::SetTextLimit(int id, std::size_t characters) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control != nullptr) control->textLimit = characters;
}

bool HeadlessWindow::HasSystemMenu() const {
  return (template_.style & DIALOG_SYSTEM_MENU) != 0;
}

void HeadlessWindow::AppendSystemMenuItem(unsigned commandId, std::string_view text) {
  std::lock_guard lock(mutex_);
  systemMenu_.emplace_back(commandId, std::string(text));
  Record(EventKind::SystemMenu, 0, std::string(text), commandId);
}

unsigned HeadlessWindow::TrackPopupMenu(const PopupMenu& menu, Point point) {
  (void)point;
  std::lock_guard lock(mutex_);
  unsigned wanted = MENU_SEPARATOR;
  if (!menuAnswers_.empty()) {
    wanted = menuAnswers_.front();
    menuAnswers_.pop_front();
  }
  unsigned chosen = MENU_SEPARATOR;
  std::string lines;
  for (const MenuItem& item : menu) {
    if (!lines.empty()) lines += '\n';
    if (item.command == MENU_SEPARATOR && item.text.empty()) {
      lines += '-';
      continue;
    }
    lines += std::to_string(item.command) + ' ' + item.text;
    if (!item.enabled) lines += " (disabled)";
    if (item.enabled && item.command == wanted) chosen = wanted;
  }
  popupMenus_.push_back(menu);
  Record(EventKind::Menu, 0, std::move(lines), chosen);
  return chosen;
}

void HeadlessWindow::SetIcon(int iconId, bool big) {
  std::lock_guard lock(mutex_);
  Record(EventKind::SetIcon, 0, {}, iconId, big ? 1 : 0);
}

void HeadlessWindow::EndDialog(int result) {
  std::lock_guard lock(mutex_);
  ended_ = true;
  result_ = result;
  Record(EventKind::EndDialog, 0, {}, result);
}

bool HeadlessWindow::Click(int id) {
  {
    std::lock_guard lock(mutex_);
    Control* control = Find(id);
    if (control == nullptr || !control->enabled) return false;
    const ControlTemplate& tmpl = *control->tmpl;
    if (tmpl.kind == ControlKind::RadioButton) {
      // Automatic radio buttons: the others of the clicked one's group are cleared.
      for (int memberId : RadioGroupOf(template_, id)) {
        Control* member = Find(memberId);
        const int state = memberId == id ? BST_CHECKED : BST_UNCHECKED;
        if (member != nullptr && member->check != state) {
          member->check = state;
          Record(EventKind::SetCheck, memberId, {}, state);
        }
      }
    } else if (tmpl.kind == ControlKind::CheckBox) {
      control->check = control->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
      Record(EventKind::SetCheck, id, {}, control->check);
    }
  }
  handler_.Command(id, Notify::Clicked);
  return true;
}

bool HeadlessWindow::SelectItem(int id, int index) {
  {
    std::lock_guard lock(mutex_);
    Control* control = Find(id);
    if (control == nullptr || !control->enabled) return false;
    if (index < 0 || static_cast<std::size_t>(index) >= control->items.size()) return false;
    control->curSel = index;
    Record(EventKind::SetCurSel, id, {}, index);
  }
  handler_.Command(id, Notify::SelChange);
  return true;
}

bool HeadlessWindow::ClickTreeItem(int id, TreeItem item) {
  {
    std::lock_guard lock(mutex_);
    Control* tree = FindTree(id);
    if (tree == nullptr || !tree->enabled || item == TREE_NONE || !tree->nodes.contains(item)) {
      return false;
    }
    if (tree->selected == item) return true;
    tree->selected = item;
    Record(EventKind::TreeSelect, id, {}, item);
  }
  handler_.OnTreeSelChanged(id, item);
  return true;
}

bool HeadlessWindow::ContextMenu(int id, Point point) {
  {
    std::lock_guard lock(mutex_);
    const Control* control = Find(id);
    if (control == nullptr || !control->enabled) id = ID_STATIC;
  }
  return handler_.OnContextMenu(id, point);
}

bool HeadlessWindow::ChooseSystemMenuItem(unsigned commandId) {
  {
    std::lock_guard lock(mutex_);
    const bool offered =
        commandId != MENU_SEPARATOR &&
        std::any_of(systemMenu_.begin(), systemMenu_.end(),
                    [commandId](const auto& item) { return item.first == commandId; });
    if (!offered) return false;
  }
  handler_.OnSysCommand(commandId, 0);
  return true;
}

void HeadlessWindow::QueueMenuAnswer(unsigned command) {
  std::lock_guard lock(mutex_);
  menuAnswers_.push_back(command);
}

std::vector<PopupMenu> HeadlessWindow::PopupMenus() const {
  std::lock_guard lock(mutex_);
  return popupMenus_;
}

bool HeadlessWindow::IsTreeItemExpanded(int id, TreeItem item) const {
  std::lock_guard lock(mutex_);
  const Control* tree = FindTree(id);
  if (tree == nullptr) return false;
  auto it = tree->nodes.find(item);
  return it != tree->nodes.end() && it->second.expanded;
}

int HeadlessWindow::HorizontalExtent(int id) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  return control == nullptr ? 0 : control->horizontalExtent;
}

void HeadlessWindow::SelectText(int id, std::size_t start, std::size_t end) {
  std::lock_guard lock(mutex_);
  Control* control = Find(id);
  if (control == nullptr) return;
  control->selStart = std::min(start, control->text.size());
  control->selEnd = std::min(std::max(start, end), control->text.size());
  focus_ = id;
}

std::pair<std::size_t, std::size_t> HeadlessWindow::Selection(int id) const {
  std::lock_guard lock(mutex_);
  const Control* control = Find(id);
  if (control == nullptr) return {0, 0};
  return {control->selStart, control->selEnd};
}

std::vector<std::pair<unsigned, std::string>> HeadlessWindow::SystemMenu() const {
  std::lock_guard lock(mutex_);
  return systemMenu_;
}

bool HeadlessWindow::Ended() const {
  std::lock_guard lock(mutex_);
  return ended_;
}

int HeadlessWindow::Result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

}  // namespace veska::ui
