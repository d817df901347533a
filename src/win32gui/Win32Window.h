#pragma once

#include "win32gui/Win32Api.h"

#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ui/Dialog.h"
#include "ui/Window.h"
#include "win32gui/Handles.h"

namespace veska::win32gui {

// Dialog units measured on the dialog's font as the system's dialog manager measures them: a
// horizontal unit is a quarter of the average width of the 52 Latin letters (rounded as GDI
// rounds it), a vertical unit an eighth of the font's height.
struct DialogUnits {
  int baseX = 0;
  int baseY = 0;
  [[nodiscard]] int X(int units) const { return MulDiv(units, baseX, 4); }
  [[nodiscard]] int Y(int units) const { return MulDiv(units, baseY, 8); }
};

// For the program's windows built without a template (the bench): the font a template of `face`
// and `points` draws with, its dialog units, and a fixed-pitch font of `points` (empty when the
// system resolves no family to one).
[[nodiscard]] FontHandle DialogFontOf(std::string_view face, int points);
[[nodiscard]] DialogUnits MeasureDialogUnits(HFONT font);
[[nodiscard]] FontHandle FixedPitchFontOf(int points);

// A dialog template drawn with the system's own controls, in a window of the program's own
// class (so keyboard navigation and the default button are this window's, not the dialog
// manager's). A resizable template's window has a sizing frame and a maximize box and is never
// smaller than its template (with the status line): the stretching controls take the extra
// room, the controls beyond them move with the window's edges (ui::GrownRect).
//
// Every Window call made on another thread is sent to the window's thread as a message that
// carries the work; SendMessage waits until it has run, so the caller returns only after the
// control has changed.
class Win32Window final : public ui::Window {
 public:
  Win32Window(const ui::DialogTemplate& dialog, ui::Dialog& handler, HWND owner);
  ~Win32Window() override;
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  [[nodiscard]] HWND Handle() const { return window_.get(); }
  [[nodiscard]] const DialogUnits& Units() const { return units_; }
  // Shows the window, calls `shown` and runs until EndDialog, with the owner disabled; returns
  // the result.
  int RunModal(const std::function<void()>& shown);
  // Shows a control the template keeps hidden (the host's additions).
  void ShowControl(int id);
  // A single-line edit of `id` shows the end of its text (a path's file name) whenever the
  // program sets it, and the whole text as its tool tip.
  void ShowTextEnd(int id);
  // The system's control of `id`, for the host's own additions; null for none.
  [[nodiscard]] HWND Control(int id) const;
  // The control made for the template's `index`th entry (statics included); null past the end
  // or where it could not be made.
  [[nodiscard]] HWND PlacedControl(std::size_t index) const {
    return index < placed_.size() ? placed_[index] : nullptr;
  }

  // --- the host's additions to the window's look (the template stays as it is) ---
  // A line of status text under the template's area; the window (and its smallest size) grows by
  // one line for it. A text too long for the line shows its middle elided and whole as the tool
  // tip.
  void ShowStatusLine(std::string_view text);
  [[nodiscard]] std::string StatusLine() const;
  // A static text of `id` grows to hold its text wrapped at its width, and the window with it
  // (the status line goes down); a text that fits changes nothing.
  void FitStaticText(int id);
  // A disabled edit of `id` looks read-only rather than greyed: its text stays readable and
  // selectable. IsEnabled still answers what the dialog set.
  void ShowDisabledAsReadOnly(int id);
  // The tool tip of control `id`; an empty text takes it away.
  void SetToolTip(int id, std::string_view text);
  [[nodiscard]] std::string ToolTip(int id) const;
  // Item `index` of drop-down list `id` drawn in bold (the port selector's present ports).
  void EmphasizeItem(int id, int index, bool emphasized);
  [[nodiscard]] bool IsItemEmphasized(int id, int index) const;
  // Control `id` (an edit) in a fixed-pitch font of the dialog's size with tab stops every
  // eight characters.
  void UseFixedPitchFont(int id);
  // Hears every text appended to a control (the log pane), on the window's thread.
  void SetAppendHook(std::function<void(int id, std::string_view text)> hook) {
    appendHook_ = std::move(hook);
  }
  // Takes the context menu of control `id` from the dialog; `point` is in client coordinates.
  void SetContextMenuHook(int id, std::function<void(ui::Point point)> hook) {
    contextMenuHooks_[id] = std::move(hook);
  }
  // Hears every change of selection of drop-down list `id`, the user's and the program's.
  void SetSelectionHook(int id, std::function<void()> hook) {
    selectionHooks_[id] = std::move(hook);
  }
  // Called when the system's devices may have changed: when it says so and every
  // kDevicePollInterval, as not every driver announces its ports.
  void SetDeviceChangeHook(std::function<void()> hook);
  static constexpr UINT kDevicePollInterval = 2000;

  // --- ui::Window ---
  [[nodiscard]] const ui::DialogTemplate& Template() const override { return template_; }
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
  [[nodiscard]] int TextWidth(int id, std::string_view text) const override;
  ui::TreeItem InsertTreeItem(int id, ui::TreeItem parent, std::string_view text) override;
  [[nodiscard]] std::string GetTreeItemText(int id, ui::TreeItem item) const override;
  [[nodiscard]] ui::TreeItem GetParentTreeItem(int id, ui::TreeItem item) const override;
  [[nodiscard]] std::vector<ui::TreeItem> GetChildTreeItems(int id,
                                                            ui::TreeItem parent) const override;
  void SortTreeChildren(int id, ui::TreeItem parent) override;
  void ExpandTreeItem(int id, ui::TreeItem item) override;
  bool SelectTreeItem(int id, ui::TreeItem item) override;
  [[nodiscard]] ui::TreeItem GetSelectedTreeItem(int id) const override;
  void DeleteAllTreeItems(int id) override;
  void SetRange(int id, std::int64_t lower, std::int64_t upper) override;
  void SetPos(int id, std::int64_t position) override;
  [[nodiscard]] ui::ProgressState GetProgress(int id) const override;
  void AppendText(int id, std::string_view text) override;
  void SetTextLimit(int id, std::size_t characters) override;
  [[nodiscard]] bool HasSystemMenu() const override;
  void AppendSystemMenuItem(unsigned commandId, std::string_view text) override;
  unsigned TrackPopupMenu(const ui::PopupMenu& menu, ui::Point point) override;
  void SetIcon(int iconId, bool big) override;
  void EndDialog(int result) override;

 private:
  struct TreeEntry {
    int treeId = 0;
    HTREEITEM item = nullptr;
  };

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void OnCommandMessage(WPARAM wParam, LPARAM lParam);
  LRESULT OnNotify(const NMHDR& header);
  void OnContextMenuMessage(HWND over, LPARAM lParam);
  // Enter, Esc and Tab as a dialog takes them; true when the message was used.
  bool PreTranslate(MSG& message);

  // Runs `work` on the window's thread and waits for it.
  void OnUiThread(const std::function<void()>& work) const;

  void Build();
  [[nodiscard]] bool Resizable() const;
  // The smallest outer size of a resizable window: the template's and the status line's.
  [[nodiscard]] POINT SmallestSize() const;
  // Places the controls and the status line for a client area of this size.
  void FollowSize(int clientWidth, int clientHeight);
  // The window's client area `by` pixels taller, its width and place kept.
  void GrowClientHeight(int by);
  // Where a child window stands, in the window's client coordinates.
  [[nodiscard]] RECT ChildRect(HWND child) const;
  HWND MakeControl(const ui::ControlTemplate& tmpl);
  void DrawItem(const DRAWITEMSTRUCT& item);
  void SelectionChanged(int id);
  void SetTip(HWND control, const std::wstring& text);
  [[nodiscard]] const ui::ControlTemplate* ControlTemplateOf(int id) const;
  [[nodiscard]] int IdOf(HWND control) const;
  [[nodiscard]] bool IsKind(int id, ui::ControlKind kind) const;
  [[nodiscard]] bool IsMultiLineText(int id) const;
  void ClickRadio(int id);
  void ApplyProgress(int id);
  [[nodiscard]] HTREEITEM TreeItemOf(int id, ui::TreeItem item) const;
  [[nodiscard]] ui::TreeItem HandleOf(HWND tree, HTREEITEM item) const;
  [[nodiscard]] std::wstring WindowText(HWND control) const;

  const ui::DialogTemplate& template_;
  ui::Dialog& handler_;
  HWND owner_;
  DWORD thread_ = 0;
  FontHandle font_;
  DialogUnits units_;
  WindowHandle window_;
  std::map<int, HWND> controls_;
  std::vector<HWND> placed_;                // in the template's order
  std::vector<ui::PixelRect> placedRects_;  // their places at the template's size
  std::map<int, ui::ProgressState> progress_;
  std::map<int, std::size_t> textLimits_;
  std::vector<int> textEnd_;
  std::vector<unsigned> systemCommands_;
  std::map<ui::TreeItem, TreeEntry> treeItems_;
  ui::TreeItem nextTreeItem_ = 1;
  // Set while the program itself changes a tree's selection, which the dialog does not hear.
  bool treeChangeOwn_ = false;
  int defaultButton_ = 0;
  bool ended_ = false;
  int result_ = ui::IDCANCEL;
  HICON bigIcon_ = nullptr;
  HICON smallIcon_ = nullptr;
  // The additions: the bold font of emphasised items, the fixed-pitch font, the tool tips.
  FontHandle boldFont_;
  FontHandle fixedFont_;
  WindowHandle toolTips_;
  std::map<HWND, std::wstring> tips_;
  HWND statusLine_ = nullptr;
  std::wstring statusText_;
  int clientHeight_ = 0;
  int statusLineHeight_ = 0;
  std::set<int> readOnlyLook_;
  std::map<int, bool> logicallyEnabled_;
  std::set<int> fixedPitch_;
  std::function<void(int, std::string_view)> appendHook_;
  std::map<int, std::function<void(ui::Point)>> contextMenuHooks_;
  std::map<int, std::function<void()>> selectionHooks_;
  std::function<void()> deviceChangeHook_;
};

}  // namespace veska::win32gui
