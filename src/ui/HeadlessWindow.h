#pragma once

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
// text). The tests and the command line use it.
//
// Thread safety: as Window; each call takes the window's lock, so calls from a worker and from
// the scripting thread never interleave within one call. The user's actions (Click, SelectItem)
// run the dialog's handler on the calling thread without holding the lock.
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
  void SetRange(int id, std::int64_t lower, std::int64_t upper) override;
  void SetPos(int id, std::int64_t position) override;
  [[nodiscard]] ProgressState GetProgress(int id) const override;
  void AppendText(int id, std::string_view text) override;
  void SetTextLimit(int id, std::size_t characters) override;
  [[nodiscard]] bool HasSystemMenu() const override;
  void AppendSystemMenuItem(unsigned commandId, std::string_view text) override;
  void SetIcon(int iconId, bool big) override;
  [[nodiscard]] bool IsMinimized() const override;
  [[nodiscard]] int ClientWidth() const override;
  [[nodiscard]] int ClientHeight() const override;
  void DrawIcon(int iconId, int x, int y) override;
  void EndDialog(int result) override;

  // --- the user, scripted ---
  // Presses a button as the user would: a radio button is checked and the others of its group
  // cleared, a check box toggles, then the dialog gets the click. A disabled control ignores the
  // press (false). Hidden controls can be pressed: a script reaches what the user cannot.
  bool Click(int id);
  // Chooses an item of a list and notifies the dialog; false when disabled or out of range.
  bool SelectItem(int id, int index);
  // Selects characters [start, end) of a rich edit, as a user dragging the mouse.
  void SelectText(int id, std::size_t start, std::size_t end);
  [[nodiscard]] std::pair<std::size_t, std::size_t> Selection(int id) const;
  // The menu items added to the window's own menu: command id and text.
  [[nodiscard]] std::vector<std::pair<unsigned, std::string>> SystemMenu() const;
  void SetMinimized(bool minimized);
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
  };

  Control* Find(int id);
  const Control* Find(int id) const;
  void Record(EventKind kind, int id, std::string text = {}, std::int64_t a = 0,
              std::int64_t b = 0);

  const DialogTemplate& template_;
  Dialog& handler_;
  Journal& journal_;
  mutable std::mutex mutex_;
  std::map<int, Control> controls_;
  int focus_ = ID_STATIC;
  std::vector<std::pair<unsigned, std::string>> systemMenu_;
  bool minimized_ = false;
  bool ended_ = false;
  int result_ = 0;
};

}  // namespace veska::ui
