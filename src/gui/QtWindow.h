#pragma once

#include <QAbstractButton>
#include <QDialog>
#include <QLabel>
#include <QThread>
#include <QTreeWidget>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "gui/DialogUnits.h"
#include "ui/Dialog.h"
#include "ui/Window.h"

namespace veska::gui {

// A dialog template rendered with Qt Widgets: one widget per control at the position its dialog
// units give on the dialog's real font, in a window of the template's size. A resizable
// template's window may be enlarged, never made smaller: its stretching controls take the extra
// room and the controls beyond them move with the window's edges (ui::GrownRect).
//
// Every Window call made from another thread is carried to the user-interface thread by a
// blocking queued invocation, so the caller returns only after the widget has changed.
class QtWindow final : public QDialog, public ui::Window {
 public:
  QtWindow(const ui::DialogTemplate& dialog, ui::Dialog& handler, QWidget* parent = nullptr);
  // The same on given dialog units instead of the font's, to lay the window out as another
  // renderer with other font metrics does.
  QtWindow(const ui::DialogTemplate& dialog, ui::Dialog& handler, QWidget* parent,
           std::optional<DialogUnits> units);
  ~QtWindow() override;

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
  // A list widget sizes its sideways scrolling from its widest item itself.
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

  // The widget of a control, for the host's own additions (tool tips, tests).
  [[nodiscard]] QWidget* Control(int id) const;
  // The widget made for the template's `index`th entry (statics included); null past the end.
  [[nodiscard]] QWidget* PlacedControl(std::size_t index) const {
    return index < placed_.size() ? placed_[index] : nullptr;
  }
  // A line of status text under the template's area; the window (and its smallest size) grows by
  // one line for it. A text too long for the line shows its middle elided and whole as the tool
  // tip.
  void ShowStatusLine(const QString& text);
  [[nodiscard]] QString StatusLine() const;
  [[nodiscard]] const DialogUnits& Units() const { return units_; }

  // --- the host's additions to the window's look (the template stays as it is) ---
  // A disabled single-line edit of `id` looks read-only rather than greyed: its text stays
  // readable and selectable. IsEnabled still answers what the dialog set.
  void ShowDisabledAsReadOnly(int id);
  // A single-line edit of `id` shows the end of its text (a path's file name) and the whole
  // text as its tool tip.
  void ShowTextEnd(int id);
  // A static text of `id` grows downwards, and the window with it, until its wrapped text
  // fits.
  void FitStaticText(int id);
  // Hears every text appended to a control (the log pane), on the user-interface thread.
  void SetAppendHook(std::function<void(int id, const QString& text)> hook) {
    appendHook_ = std::move(hook);
  }

 protected:
  void reject() override;
  // The windows this one owns that are still open (a sub-dialog, a box a worker raised) end
  // with it, each as its close box would end it: a window's loop cannot return while one
  // opened above it still runs.
  void done(int result) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // Runs `work` on the window's thread and waits for it.
  template <typename Work>
  void OnUiThread(Work&& work) const;

  void Build();
  [[nodiscard]] bool Resizable() const;
  // The template's area (and with it the smallest window) grows by `pixels` of height.
  void GrowTemplateArea(int pixels);
  // Places the controls and the status line for the window's present size.
  void FollowSize();
  void ShowStatusText();
  // The widget of a control by its kind; those the user acts on are wired to the dialog.
  QWidget* MakeControl(const ui::ControlTemplate& tmpl);
  void PlaceControl(QWidget& widget, const ui::ControlTemplate& tmpl);
  QWidget* MakePushButton(const ui::ControlTemplate& tmpl, const QString& caption);
  QWidget* MakeRadioButton(const ui::ControlTemplate& tmpl, const QString& caption);
  QWidget* MakeCheckBox(const ui::ControlTemplate& tmpl, const QString& caption);
  void NotifyClicks(QAbstractButton& button, int id);
  QWidget* MakeDropDownList(const ui::ControlTemplate& tmpl);
  QWidget* MakeProgressBar(const ui::ControlTemplate& tmpl);
  QWidget* MakeListBox();
  QWidget* MakeTreeView(const ui::ControlTemplate& tmpl);
  [[nodiscard]] bool TemplateReadOnly(int id) const;
  void ClickRadio(int id);
  void ApplyProgress(int id);
  // The item behind a handle, only if it belongs to tree `id`. TREE_NONE gives the tree's
  // invisible root.
  [[nodiscard]] QTreeWidgetItem* TreeItemOf(int id, ui::TreeItem item) const;
  [[nodiscard]] static ui::TreeItem HandleOf(const QTreeWidgetItem* item);
  // The control whose widget (or a widget inside it) is at `pos`; ID_STATIC for none.
  [[nodiscard]] int ControlAt(const QPoint& pos) const;

  const ui::DialogTemplate& template_;
  ui::Dialog& handler_;
  QFont font_;
  DialogUnits units_;
  std::map<int, QWidget*> controls_;
  std::vector<QWidget*> placed_;    // in the template's order, statics included
  std::vector<QRect> placedRects_;  // their places at the template's size
  std::map<int, ui::ProgressState> progress_;
  std::map<int, std::size_t> textLimits_;
  std::vector<std::pair<unsigned, QString>> systemMenu_;
  std::map<ui::TreeItem, QTreeWidgetItem*> treeItems_;
  ui::TreeItem nextTreeItem_ = 1;
  // Set while the program itself changes a tree's selection, which the dialog does not hear.
  bool treeChangeOwn_ = false;
  QLabel* statusLine_ = nullptr;
  int statusLineHeight_ = 0;
  QString statusText_;
  std::set<int> readOnlyLook_;
  std::set<int> textEnd_;
  std::function<void(int, const QString&)> appendHook_;
  int clientHeight_ = 0;
};

}  // namespace veska::gui
