#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "ui/DialogTemplate.h"

namespace veska::ui {

// Check states of buttons.
inline constexpr int BST_UNCHECKED = 0;
inline constexpr int BST_CHECKED = 1;
inline constexpr int BST_INDETERMINATE = 2;

// The selection of a list that has none.
inline constexpr int LB_NONE = -1;

// Id of the separator in system-menu additions and pop-up menus.
inline constexpr unsigned MENU_SEPARATOR = 0;

// A position in a window's client area, in pixels.
struct Point {
  int x = 0;
  int y = 0;
};

// Handle of a tree item. TREE_NONE is no item; as a parent it stands for the tree's top level.
using TreeItem = std::uint32_t;
inline constexpr TreeItem TREE_NONE = 0;

// One entry of a pop-up menu. MENU_SEPARATOR without text is a separator; with text it is an
// inert item, which can be chosen but gives no command.
struct MenuItem {
  unsigned command = MENU_SEPARATOR;
  std::string text;
  bool enabled = true;  // false: greyed out, cannot be chosen
};
using PopupMenu = std::vector<MenuItem>;

struct ProgressState {
  std::int64_t lower = 0;
  std::int64_t upper = 100;
  std::int64_t position = 0;
};

// A bar's state as a control that counts in int shows it: from 0 to `upper`, at `position`.
// Byte counts past int's range are shown in proportion; a position outside the range is held
// at its nearer end.
struct IntBarSteps {
  int upper = 0;
  int position = 0;
};
[[nodiscard]] inline IntBarSteps ToIntBarSteps(const ProgressState& p) {
  constexpr std::int64_t kMax = std::numeric_limits<int>::max();
  const std::int64_t span = std::max<std::int64_t>(p.upper - p.lower, 0);
  const std::int64_t scale = span > kMax ? span / kMax + 1 : 1;
  const std::int64_t position = std::clamp(p.position, p.lower, std::max(p.lower, p.upper));
  return {static_cast<int>(span / scale), static_cast<int>((position - p.lower) / scale)};
}

// One dialog on screen (or in memory), its controls addressed by id.
//
// Thread safety: every member may be called from any thread. A call made from a worker thread
// runs on the user-interface thread and returns only once it has been handled, so the order of
// a worker's calls is the order in which the user sees them. Calls for an id the template does
// not hold, or for a kind that has no such property, do nothing and read as empty or zero.
class Window {
 public:
  virtual ~Window() = default;

  [[nodiscard]] virtual const DialogTemplate& Template() const = 0;

  // Text of any control (caption of buttons and statics, content of edits).
  virtual void SetText(int id, std::string_view text) = 0;
  [[nodiscard]] virtual std::string GetText(int id) const = 0;

  virtual void Enable(int id, bool enabled) = 0;
  [[nodiscard]] virtual bool IsEnabled(int id) const = 0;
  // False for a control created hidden: nothing in the program shows one.
  [[nodiscard]] virtual bool IsVisible(int id) const = 0;

  virtual void SetFocus(int id) = 0;
  // The id of the control that has the keyboard focus, ID_STATIC when none.
  [[nodiscard]] virtual int FocusedControl() const = 0;

  // Radio buttons and check boxes.
  virtual void SetCheck(int id, int state) = 0;
  [[nodiscard]] virtual int GetCheck(int id) const = 0;

  // Drop-down lists and list boxes. SetCurSel with an index outside the items clears the
  // selection and returns false, as the system's lists do.
  virtual void AddString(int id, std::string_view item) = 0;
  virtual void ResetContent(int id) = 0;
  [[nodiscard]] virtual int GetCount(int id) const = 0;
  [[nodiscard]] virtual std::string GetItemText(int id, int index) const = 0;
  virtual bool SetCurSel(int id, int index) = 0;
  [[nodiscard]] virtual int GetCurSel(int id) const = 0;
  // List boxes: the width in pixels over which the list scrolls sideways, and the width `text`
  // takes in the list's font (what a caller measures its widest item with).
  virtual void SetHorizontalExtent(int id, int pixels) = 0;
  [[nodiscard]] virtual int TextWidth(int id, std::string_view text) const = 0;

  // Tree views. A handle stays valid until its item is deleted and is never given to another
  // item of the same window; a handle the tree does not hold reads as empty and changes
  // nothing. Changes made here never notify the dialog: only the user's choice does.
  // Adds `text` as the last child of `parent` (TREE_NONE: the top level); TREE_NONE when the
  // parent is unknown.
  virtual TreeItem InsertTreeItem(int id, TreeItem parent, std::string_view text) = 0;
  [[nodiscard]] virtual std::string GetTreeItemText(int id, TreeItem item) const = 0;
  // TREE_NONE for a top-level item.
  [[nodiscard]] virtual TreeItem GetParentTreeItem(int id, TreeItem item) const = 0;
  // In the order shown.
  [[nodiscard]] virtual std::vector<TreeItem> GetChildTreeItems(int id, TreeItem parent) const = 0;
  // Orders the children of `parent` by TreeTextLess (ui/TreeOrder.h); equal texts keep their
  // order.
  virtual void SortTreeChildren(int id, TreeItem parent) = 0;
  virtual void ExpandTreeItem(int id, TreeItem item) = 0;
  // TREE_NONE clears the selection. False for an unknown item.
  virtual bool SelectTreeItem(int id, TreeItem item) = 0;
  [[nodiscard]] virtual TreeItem GetSelectedTreeItem(int id) const = 0;
  virtual void DeleteAllTreeItems(int id) = 0;

  // Progress bars.
  virtual void SetRange(int id, std::int64_t lower, std::int64_t upper) = 0;
  virtual void SetPos(int id, std::int64_t position) = 0;
  [[nodiscard]] virtual ProgressState GetProgress(int id) const = 0;

  // Rich edits and multi-line edits: drop the selection, put the caret at the end of the text,
  // add `text` there and scroll to it. A rich edit also takes the focus. Nothing is added of
  // its own. When a text limit is set and the text grows past it, the oldest text goes first.
  virtual void AppendText(int id, std::string_view text) = 0;
  // Characters a rich edit keeps at most; 0 for no limit.
  virtual void SetTextLimit(int id, std::size_t characters) = 0;

  // The window's own menu (the title bar's menu on Windows, a context menu elsewhere).
  [[nodiscard]] virtual bool HasSystemMenu() const = 0;
  virtual void AppendSystemMenuItem(unsigned commandId, std::string_view text) = 0;

  // Shows `menu` at `point` until the user chooses or dismisses it, and returns the chosen
  // command: 0 when dismissed or when an inert item was chosen.
  virtual unsigned TrackPopupMenu(const PopupMenu& menu, Point point) = 0;

  virtual void SetIcon(int iconId, bool big) = 0;

  // Ends the dialog's modal run with this result.
  virtual void EndDialog(int result) = 0;
};

}  // namespace veska::ui
