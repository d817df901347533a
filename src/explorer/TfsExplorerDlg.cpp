#include "explorer/TfsExplorerDlg.h"

#include <algorithm>

#include "app/ControlIds.h"
#include "app/Templates.h"

namespace veska::explorer {

namespace {

constexpr int kTree = app::IDC_EXPLORER_TREE;
constexpr int kText = app::IDC_EXPLORER_TEXT;
constexpr int kList = app::IDC_EXPLORER_FILES;
constexpr int kProgress = app::IDC_EXPLORER_PROGRESS;
constexpr int kStart = app::IDC_EXPLORER_START;

}  // namespace

TfsExplorerDlg::TfsExplorerDlg(ui::Host& host, app::ProcessState& state)
    : host_(host), process_(state), session_(state, *this) {}

TfsExplorerDlg::TfsExplorerDlg(ui::Host& host, app::ProcessState& state,
                               const std::string& pcCharset)
    : host_(host), process_(state), session_(state, *this, pcCharset) {}

TfsExplorerDlg::~TfsExplorerDlg() {
  // Only a dialog that never ended normally still has an exchange running: end it.
  session_.Cancel();
  if (Busy()) process_.CloseSharedPort();
  if (worker_.joinable()) worker_.join();
}

// ---------------------------------------------------------------------------------------------
// The user's requests (user-interface thread)

bool TfsExplorerDlg::OnInitDialog() {
  rootItem_ = Wnd().InsertTreeItem(kTree, ui::TREE_NONE, "/");
  selectedItem_ = rootItem_;
  selectedPath_ = "/";
  itemHadChildren_ = false;
  return true;
}

bool TfsExplorerDlg::OnCommand(int id, ui::Notify code) {
  if (id != kStart || code != ui::Notify::Clicked) return false;
  if (!process_.mountSent.load()) Wnd().Enable(kStart, false);  // Start mounts only once
  Begin([this] { session_.Start(); });
  return true;
}

void TfsExplorerDlg::OnTreeSelChanged(int id, ui::TreeItem item) {
  if (id != kTree) return;
  Begin([this, item] { SelectBody(item); });
}

bool TfsExplorerDlg::OnContextMenu(int id, ui::Point point) {
  if (id != kList) return false;
  if (Busy()) return true;  // the list acts on what an exchange is still changing
  ui::PopupMenu menu = app::ExplorerPopupMenu();
  const std::string name = SelectedFileName();
  if (Wnd().GetCurSel(kList) == ui::LB_NONE) {
    for (ui::MenuItem& item : menu) {
      if (item.command != app::ID_EXPLORER_ADD) item.enabled = false;
    }
  } else {
    // The name as the list shows it, above a separator: what the commands act on.
    const std::string shown = ShownName(name);
    menu.insert(menu.begin(), {ui::MenuItem{ui::MENU_SEPARATOR, "< " + shown + " >"},
                               ui::MenuItem{ui::MENU_SEPARATOR, ""}});
  }
  switch (Wnd().TrackPopupMenu(menu, point)) {
    case app::ID_EXPLORER_DUMP:
      OnDump();
      break;
    case app::ID_EXPLORER_DELETE:
      OnDelete();
      break;
    case app::ID_EXPLORER_STATUS:
      OnStatus();
      break;
    case app::ID_EXPLORER_ADD:
      OnAdd();
      break;
    default:
      break;
  }
  return true;
}

void TfsExplorerDlg::OnAdd() {
  Begin([this] { AddBody(); });
}

void TfsExplorerDlg::OnDelete() {
  Begin([this] { DeleteBody(); });
}

void TfsExplorerDlg::OnDump() {
  Begin([this] { ActOnSelectedFile(&ExplorerSession::Dump); });
}

void TfsExplorerDlg::OnStatus() {
  Begin([this] { ActOnSelectedFile(&ExplorerSession::Status); });
}

void TfsExplorerDlg::OnOK() {
  Exit();
}

void TfsExplorerDlg::OnCancel() {
  // Escape and the close box leave the phone as EXIT does: unmounted, ready for the next one.
  Exit();
}

// ---------------------------------------------------------------------------------------------
// The worker bracket

bool TfsExplorerDlg::Begin(std::function<void()> body) {
  {
    std::lock_guard lock(mutex_);
    if (running_ || exitRequested_) return false;
    running_ = true;
    outcome_ = ActionOutcome::Failed;
    ++actionsStarted_;
  }
  // The previous worker has ended its work; only its thread is left to collect.
  if (worker_.joinable()) worker_.join();
  worker_ = std::thread([this, body = std::move(body)] {
    body();
    Finish();
  });
  return true;
}

void TfsExplorerDlg::Finish() {
  {
    // One look under the lock: EXIT either sees this worker still running (and leaves the end
    // of the dialog to it) or sees it gone (and ends the dialog itself).
    std::lock_guard lock(mutex_);
    if (outcome_ != ActionOutcome::Confirmed) allConfirmed_ = false;
    if (!exitRequested_) {
      running_ = false;
      idle_.notify_all();
      return;
    }
    outcome_ = ActionOutcome::Failed;
    allConfirmed_ = false;
  }
  session_.Unmount(true);
  Wnd().EndDialog(ui::IDOK);
  std::lock_guard lock(mutex_);
  running_ = false;
  idle_.notify_all();
}

void TfsExplorerDlg::Exit() {
  bool running = false;
  {
    std::lock_guard lock(mutex_);
    if (exitRequested_) return;
    exitRequested_ = true;
    running = running_;
    if (running) session_.Cancel();
  }
  if (running) {
    // Closing the port ends the worker's read or write at once; the worker then closes the
    // dialog itself. Not under the lock: the worker takes it on its way out.
    process_.CloseSharedPort();
    return;
  }
  session_.Unmount(false);
  Wnd().EndDialog(ui::IDOK);
}

bool TfsExplorerDlg::Busy() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void TfsExplorerDlg::WaitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return !running_; });
}

TfsExplorerDlg::ActionOutcome TfsExplorerDlg::LastOutcome() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

std::uint64_t TfsExplorerDlg::ActionsStarted() const {
  std::lock_guard lock(mutex_);
  return actionsStarted_;
}

bool TfsExplorerDlg::AllConfirmed() const {
  std::lock_guard lock(mutex_);
  return allConfirmed_;
}

bool TfsExplorerDlg::DumpIncomplete() const {
  return session_.DumpIncomplete();
}

bool TfsExplorerDlg::NoReply() const {
  return session_.NoReply();
}

std::string TfsExplorerDlg::SelectedPath() const {
  std::lock_guard lock(mutex_);
  return selectedPath_;
}

std::optional<FileStatus> TfsExplorerDlg::LastStatus() const {
  std::lock_guard lock(mutex_);
  return lastStatus_;
}

// ---------------------------------------------------------------------------------------------
// Action bodies (worker)

void TfsExplorerDlg::SelectBody(ui::TreeItem item) {
  ui::Window& wnd = Wnd();
  std::string path = TreeName(item);
  for (ui::TreeItem up = wnd.GetParentTreeItem(kTree, item); up != ui::TREE_NONE;
       up = wnd.GetParentTreeItem(kTree, up)) {
    std::string text = TreeName(up);
    if (!text.ends_with('/')) text += '/';
    path = text + path;
  }
  {
    std::lock_guard lock(mutex_);
    selectedItem_ = item;
    selectedPath_ = path;
  }
  session_.List(path);
}

void TfsExplorerDlg::AddBody() {
  ui::FileDialogRequest request;
  request.open = true;
  request.filter = std::string(kAddFileFilter);
  request.defaultExtension = std::string(kAddFileExtension);
  request.flags = ui::OFN_HIDEREADONLY;
  const std::string path = host_.FileDialog(&Wnd(), request).value_or(std::string());
  session_.Add(path, SelectedPath());
}

void TfsExplorerDlg::DeleteBody() {
  if (host_.MessageBox(&Wnd(), "Sure to Delete?", {}, ui::MB_YESNO) != ui::IDYES) return;
  ActOnSelectedFile(&ExplorerSession::Delete);
}

void TfsExplorerDlg::ActOnSelectedFile(void (ExplorerSession::*action)(const std::string&,
                                                                       const std::string&)) {
  const std::string name = SelectedFileName();
  if (!name.empty()) (session_.*action)(SelectedPath(), name);
}

// ---------------------------------------------------------------------------------------------
// The session's notices

void TfsExplorerDlg::Narrate(std::string_view text) {
  Wnd().AppendText(kText, text);
}

void TfsExplorerDlg::NarrateAnew(std::string_view text) {
  Wnd().SetText(kText, text);
}

void TfsExplorerDlg::ListingStarted(bool root) {
  if (root) {
    std::lock_guard lock(mutex_);
    selectedItem_ = rootItem_;
  }
  ui::Window& wnd = Wnd();
  wnd.ResetContent(kList);
  listNames_.clear();
  listExtent_ = 0;
  itemHadChildren_ = !wnd.GetChildTreeItems(kTree, selectedItem_).empty();
}

void TfsExplorerDlg::FileListed(std::string_view name) {
  ui::Window& wnd = Wnd();
  // Items added to the list otherwise keep their text as their name.
  for (int i = static_cast<int>(listNames_.size()); i < wnd.GetCount(kList); ++i) {
    listNames_.push_back(wnd.GetItemText(kList, i));
  }
  listNames_.emplace_back(name);
  wnd.AddString(kList, ShownName(name));
  const int count = wnd.GetCount(kList);
  const int width = wnd.TextWidth(kList, wnd.GetItemText(kList, count - 1));
  listExtent_ = std::max(listExtent_, width);
  wnd.SetHorizontalExtent(kList, listExtent_);
}

void TfsExplorerDlg::DirectoryListed(std::string_view name) {
  // The tree never shows the dot names, nor a directory's children twice.
  if (name.starts_with('.') || itemHadChildren_) return;
  ui::Window& wnd = Wnd();
  treeNames_[wnd.InsertTreeItem(kTree, selectedItem_, ShownName(name))] = name;
  wnd.SortTreeChildren(kTree, selectedItem_);
  wnd.ExpandTreeItem(kTree, selectedItem_);
}

void TfsExplorerDlg::EnableBrowsing(bool tree, bool list) {
  Wnd().Enable(kTree, tree);
  Wnd().Enable(kList, list);
}

void TfsExplorerDlg::EnableTree() {
  Wnd().Enable(kTree, true);
}

void TfsExplorerDlg::ProgressRange(std::uint32_t upper) {
  Wnd().SetRange(kProgress, 0, upper);
}

void TfsExplorerDlg::Progress(std::uint32_t position) {
  Wnd().SetPos(kProgress, position);
}

void TfsExplorerDlg::Message(std::string_view text) {
  host_.MessageBox(&Wnd(), text);
}

std::string TfsExplorerDlg::DumpTarget() {
  ui::FileDialogRequest request;
  request.open = false;
  request.filter = std::string(kDumpFileFilter);
  request.defaultExtension = std::string(kDumpFileExtension);
  request.flags = ui::OFN_HIDEREADONLY | ui::OFN_OVERWRITEPROMPT;
  return host_.FileDialog(&Wnd(), request).value_or(std::string());
}

void TfsExplorerDlg::Confirmed() {
  std::lock_guard lock(mutex_);
  outcome_ = ActionOutcome::Confirmed;
}

void TfsExplorerDlg::StatusRead(const FileStatus& status) {
  std::lock_guard lock(mutex_);
  lastStatus_ = status;
}

// ---------------------------------------------------------------------------------------------
// Pieces

std::string TfsExplorerDlg::SelectedFileName() const {
  const int selected = Wnd().GetCurSel(kList);
  if (selected == ui::LB_NONE) return std::string();
  const auto index = static_cast<std::size_t>(selected);
  // An item the listing did not add goes as it is shown.
  if (index < listNames_.size()) return listNames_[index];
  return Wnd().GetItemText(kList, selected);
}

std::string TfsExplorerDlg::TreeName(ui::TreeItem item) const {
  const auto it = treeNames_.find(item);
  return it != treeNames_.end() ? it->second : Wnd().GetTreeItemText(kTree, item);
}

}  // namespace veska::explorer
