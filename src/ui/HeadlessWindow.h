#pragma once

#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ui/Dialog.h"
#include "ui/Journal.h"
#include "ui/Window.h"

namespace veska::ui {

// A window that lives in memory only: it keeps every control's state, records every change in
// the journal, and lets a script act as the user (press buttons, choose list items, select
// text, pick tree items, right-click and answer pop-up menus). The tests and the command line
// use it.
//
// Thread safety: as Window; each call takes the window's lock, so calls from a worker and from
// the scripting thread never interleave within one call. The user's actions (Click, SelectItem,
// ClickTreeItem, ContextMenu) run the dialog's handler on the calling thread without holding the
// lock.
class HeadlessWindow final : public Window {
 public:
  HeadlessWindow(const DialogTemplate& dialog, Dialog& handler, Journal& journal);

  // --- Window ---
  [[nodiscard]] const DialogTemplate& Template() const override { return template_; }
  void SetText(int id, std::string_view text) override;
  [[nodiscard]] std::string GetText(int id) const override;
  void Enable(int id, bool enabled) override;
  [[nodiscard]] bool IsEnabled(int id) const override;
  [[nodiscard]] bool IsVisible(int id) const override;
  void SetFocus(int id) override;
  [[nodiscard]] int FocusedControl() const override;
  void SetCheck(int id, int state) override;
  [[nodiscard]] int GetCheck(int id) const override;
  void AddString(int id, std::string_view item) override;
  void ResetContent(int id) override;
  [[nodiscard]] int GetCount(int id) const override;
  [[nodiscard]] std::string GetItemText(int id, int index) const override;
  bool SetCurSel(int id, int index) override;
  [[nodiscard]] int GetCurSel(int id) const override;
  void SetHorizontalExtent(int id, int pixels) override;
  // Without a font every character counts kCharWidth pixels.
  [[nodiscard]] int TextWidth(int id, std::string_view text) const override;
  TreeItem InsertTreeItem(int id, TreeItem parent, std::string_view text) override;
  [[nodiscard]] std::string GetTreeItemText(int id, TreeItem item) const override;
  [[nodiscard]] TreeItem GetParentTreeItem(int id, TreeItem item) const override;
  [[nodiscard]] std::vector<TreeItem> GetChildTreeItems(int id, TreeItem parent) const override;
  void SortTreeChildren(int id, TreeItem parent) override;
  void ExpandTreeItem(int id, TreeItem item) override;
  bool SelectTreeItem(int id, TreeItem item) override;
  [[nodiscard]] TreeItem GetSelectedTreeItem(int id) const override;
  void DeleteAllTreeItems(int id) override;
  void SetRange(int id, std::int64_t lower, std::int64_t upper) override;
  void SetPos(int id, std::int64_t position) override;
  [[nodiscard]] ProgressState GetProgress(int id) const override;
  void AppendText(int id, std::string_view text) override;
  void SetTextLimit(int id, std::size_t characters) override;
  [[nodiscard]] bool HasSystemMenu() const override;
  void AppendSystemMenuItem(unsigned commandId, std::string_view text) override;
  // Answered from the menu script: the next queued command if the menu offers it enabled,
  // otherwise (or when the script is empty) dismissed.
  unsigned TrackPopupMenu(const PopupMenu& menu, Point point) override;
  void SetIcon(int iconId, bool big) override;
  void EndDialog(int result) override;

  static constexpr int kCharWidth = 6;

  // --- the user, scripted ---
  // Presses a button as the user would: a radio button is checked and the others of its group
  // cleared, a check box toggles, then the dialog gets the click. A disabled control ignores the
  // press (false). Hidden controls can be pressed: a script reaches what the user cannot.
  bool Click(int id);
  // Chooses an item of a list and notifies the dialog; false when disabled or out of range.
  bool SelectItem(int id, int index);
  // Clicks an item of a tree: it becomes the selection and the dialog hears of it, unless it
  // was selected already. False when the tree is disabled or does not hold the item.
  bool ClickTreeItem(int id, TreeItem item);
  // Right-clicks control `id` at `point`; a disabled control passes the click to the dialog
  // (ID_STATIC), as does a click beside the controls. Returns the dialog's answer.
  bool ContextMenu(int id, Point point = {});
  // Chooses an item of the system menu, as the user would: false when the menu has no such item.
  bool ChooseSystemMenuItem(unsigned commandId);
  // The user's next choice in a pop-up menu: a command, or MENU_SEPARATOR to dismiss it.
  void QueueMenuAnswer(unsigned command);
  // The menus shown so far, in order.
  [[nodiscard]] std::vector<PopupMenu> PopupMenus() const;
  [[nodiscard]] bool IsTreeItemExpanded(int id, TreeItem item) const;
  [[nodiscard]] int HorizontalExtent(int id) const;
  // Selects characters [start, end) of a rich edit, as a user dragging the mouse.
  void SelectText(int id, std::size_t start, std::size_t end);
  [[nodiscard]] std::pair<std::size_t, std::size_t> Selection(int id) const;
  // The menu items added to the window's own menu: command id and text.
  [[nodiscard]] std::vector<std::pair<unsigned, std::string>> SystemMenu() const;
  [[nodiscard]] bool Ended() const;
  [[nodiscard]] int Result() const;
  [[nodiscard]] Dialog& Handler() const { return handler_; }

 private:
  struct Control {
    const ControlTemplate* tmpl = nullptr;
    std::string text;
    bool enabled = true;
    bool visible = true;
    int check = BST_UNCHECKED;
    std::vector<std::string> items;
    int curSel = LB_NONE;
    ProgressState progress;
    std::size_t selStart = 0;
    std::size_t selEnd = 0;
    std::size_t textLimit = 0;
    int horizontalExtent = 0;
    // Tree views: every item by handle, the top level under TREE_NONE.
    struct Node {
      TreeItem parent = TREE_NONE;
      std::string text;
      std::vector<TreeItem> children;
      bool expanded = false;
    };
    std::map<TreeItem, Node> nodes;
    TreeItem selected = TREE_NONE;
  };

  Control* Find(int id);
  const Control* Find(int id) const;
  // The tree view `id`, or null for any other control.
  Control* FindTree(int id);
  const Control* FindTree(int id) const;
  void Record(EventKind kind, int id, std::string text = {}, std::int64_t a = 0,
              std::int64_t b = 0);

  const DialogTemplate& template_;
  Dialog& handler_;
  Journal& journal_;
  mutable std::mutex mutex_;
  std::map<int, Control> controls_;
  int focus_ = ID_STATIC;
  std::vector<std::pair<unsigned, std::string>> systemMenu_;
  std::deque<unsigned> menuAnswers_;
  std::vector<PopupMenu> popupMenus_;
  TreeItem nextTreeItem_ = 1;
  bool ended_ = false;
  int result_ = 0;
};

}  // namespace veska::ui
