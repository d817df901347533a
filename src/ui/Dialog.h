#pragma once

#include "ui/Window.h"

namespace veska::ui {

// Dialog results.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Control notifications a dialog receives.
enum class Notify {
  Clicked,    // a button was clicked (radio buttons are checked first)
  SelChange,  // the user chose another item of a list
};

// System-menu and context-menu commands; the low four bits are the system's own.
inline constexpr unsigned SC_MASK = 0xFFF0;

// The logic behind one dialog. A host builds the window from the dialog's template, attaches
// it, calls OnInitDialog and then delivers the user's actions as notifications, always on the
// user-interface thread.
class Dialog {
 public:
  virtual ~Dialog() = default;

  void Attach(Window* window) { window_ = window; }
  [[nodiscard]] Window& Wnd() const { return *window_; }
  [[nodiscard]] bool HasWindow() const { return window_ != nullptr; }

  // Returns true to let the host give the first control the focus.
  virtual bool OnInitDialog() { return true; }
  // Returns false when the dialog has no handler for it.
  virtual bool OnCommand(int /*id*/, Notify /*code*/) { return false; }
  virtual void OnSysCommand(unsigned /*id*/, long /*param*/) {}
  // The user chose another item of tree `id`; `item` is now its selection.
  virtual void OnTreeSelChanged(int /*id*/, TreeItem /*item*/) {}
  // The user asked for a context menu (right button) at `point`, over control `id`: ID_STATIC
  // over the dialog itself or over a disabled control. False when the dialog shows none, and
  // the host may then offer its own.
  virtual bool OnContextMenu(int /*id*/, Point /*point*/) { return false; }
  // EXIT (id 1) and Enter end the dialog with IDOK; Esc and the close box with IDCANCEL.
  virtual void OnOK() { Wnd().EndDialog(IDOK); }
  virtual void OnCancel() { Wnd().EndDialog(IDCANCEL); }

  // What hosts call for a control's notification: the dialog's own handler first, then the
  // default meaning of the buttons IDOK and IDCANCEL.
  void Command(int id, Notify code) {
    if (OnCommand(id, code) || code != Notify::Clicked) return;
    if (id == IDOK) OnOK();
    if (id == IDCANCEL) OnCancel();
  }

 private:
  Window* window_ = nullptr;
};

}  // namespace veska::ui
