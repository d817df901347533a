#include "explorer/TfsExplorerDlg.h"

#include <algorithm>
#include <numeric>

#include "app/ControlIds.h"
#include "app/PathRules.h"
#include "app/Printf.h"
#include "app/Templates.h"
#include "fs/FsCodes.h"
#include "link/LinkState.h"
#include "link/Wire.h"

namespace veska::explorer {

using app::Printf;
using link::PORT_OK;

namespace {

constexpr int kTree = app::IDC_EXPLORER_TREE;
constexpr int kText = app::IDC_EXPLORER_TEXT;
constexpr int kList = app::IDC_EXPLORER_FILES;
constexpr int kProgress = app::IDC_EXPLORER_PROGRESS;
constexpr int kStart = app::IDC_EXPLORER_START;

std::uint8_t Sum(std::span<const std::uint8_t> bytes) {
  return static_cast<std::uint8_t>(std::accumulate(bytes.begin(), bytes.end(), 0u));
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

void PutBe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    out.push_back(static_cast<std::uint8_t>(value >> shift));
  }
}

}  // namespace

TfsExplorerDlg::TfsExplorerDlg(ui::Host& host, app::ProcessState& state)
    : host_(host), process_(state) {}

TfsExplorerDlg::TfsExplorerDlg(ui::Host& host, app::ProcessState& state,
                               const std::string& pcCharset)
    : host_(host), process_(state), names_(pcCharset) {}

TfsExplorerDlg::~TfsExplorerDlg() {
  // Only a dialog that never ended normally still has an exchange running: end it.
  cancelled_ = true;
  if (Busy() && Port() != nullptr) Port()->Close();
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
  Begin([this] { StartBody(); });
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
  Begin([this] { DumpBody(); });
}

void TfsExplorerDlg::OnStatus() {
  Begin([this] { StatusBody(); });
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
  ExitSequence(true);
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
    if (running) cancelled_ = true;
  }
  if (running) {
    // Closing the port ends the worker's read or write at once; the worker then closes the
    // dialog itself. Not under the lock: the worker takes it on its way out.
    if (Port() != nullptr) Port()->Close();
    return;
  }
  ExitSequence(false);
  Wnd().EndDialog(ui::IDOK);
}

void TfsExplorerDlg::ExitSequence(bool cancelled) {
  (void)CloseDumpFile();
  addFile_.reset();
  link::SerialPort* port = Port();
  // After Disconnect the phone is no longer talked to: no unmount either.
  if (cancelled || port == nullptr || !Connected()) {
    process_.mountSent = false;
    if (port != nullptr) port->Close();
    return;
  }
  // A mount that never succeeded may have left the port closed (or never opened it); the
  // phone still hears the unmount, which it answers without judging.
  if (!process_.mountSucceeded.load() && !port->HoldsDevice() &&
      link::OpenForLinkMode(*port) != PORT_OK) {
    process_.mountSent = false;
    Append("open comport Fail!");
    return;
  }
  process_.mountSent = false;
  SendByte(fs::TFS_UNMOUNT);
  // A phone that left an exchange unanswered is not waited for a second time.
  if (!noReply_) {
    std::uint8_t answer = 0;
    (void)port->ReadFully(std::span(&answer, 1), kSendTimeoutFactor);
  }
  port->Close();
  received_.clear();
  receivedUsed_ = 0;
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
  std::lock_guard lock(mutex_);
  return dumpIncomplete_;
}

bool TfsExplorerDlg::NoReply() const {
  return noReply_;
}

std::string TfsExplorerDlg::SelectedPath() const {
  std::lock_guard lock(mutex_);
  return selectedPath_;
}

void TfsExplorerDlg::Confirm() {
  std::lock_guard lock(mutex_);
  outcome_ = ActionOutcome::Confirmed;
}

// ---------------------------------------------------------------------------------------------
// Action bodies (worker)

void TfsExplorerDlg::StartBody() {
  if (!process_.mountSent.load()) {
    Append("\r\n** Mounting TFS system... ");
    state_ = ExplorerState::Mount;
    link::SerialPort* port = Port();
    if (port == nullptr || cancelled_ || link::OpenForLinkMode(*port) != PORT_OK) return;
    received_.clear();
    receivedUsed_ = 0;
    if (port->State().linkMode.load() == link::LINK_USB) {
      (void)link::SendPaddedCommand(*port, fs::TFS_OPERATION);
    }
    SendByte(fs::TFS_MOUNT);
    expected_ = fs::TFS_MOUNT;
    process_.mountSent = true;
  }
  Exchange();
}

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
  wnd.SetText(kText, Printf("\r\nSearching the files (in '%s')... ", ShownName(path).c_str()));
  if (RequestListing(path)) Exchange();
}

void TfsExplorerDlg::AddBody() {
  ui::FileDialogRequest request;
  request.open = true;
  request.filter = std::string(kAddFileFilter);
  request.defaultExtension = std::string(kAddFileExtension);
  request.flags = ui::OFN_HIDEREADONLY;
  const std::string path = host_.FileDialog(&Wnd(), request).value_or(std::string());

  // Only a regular file: a FIFO would block the open, a device would never end.
  std::uint64_t length = 0;
  int error = 0;
  if (path.empty() || fs::RegularFileLength(path, length, error) != fs::FileStatus::Ok) {
    host_.MessageBox(&Wnd(), "Fail to open resource file!");
    state_ = ExplorerState::Idle;
    return;
  }
  if (length > kMaxAddBytes) {
    host_.MessageBox(&Wnd(), kAddTooLargeText);
    state_ = ExplorerState::Idle;
    return;
  }
  const std::optional<std::string> full = FullPath(app::FileNamePart(path));
  if (!full) return;
  Append(Printf("\r\nAdding the file '%s'... \r\n", ShownName(*full).c_str()));
  const std::optional<std::string> utf8 = ToUtf8(*full);
  if (!utf8) {
    state_ = ExplorerState::Idle;
    return;
  }
  EnableBrowsing(false, false);
  addFile_.reset(std::fopen(path.c_str(), "rb"));
  if (!addFile_ || std::fseek(addFile_.get(), 0, SEEK_END) != 0) {
    addFile_.reset();
    host_.MessageBox(&Wnd(), "Fail to open tfs file!");
    state_ = ExplorerState::Idle;
    EnableBrowsing(true, true);
    return;
  }
  const long end = std::ftell(addFile_.get());
  std::rewind(addFile_.get());
  // What the file holds now, as long as the size record can carry it.
  if (end < 0 || static_cast<std::uint64_t>(end) > kMaxAddBytes) {
    addFile_.reset();
    host_.MessageBox(&Wnd(), kAddTooLargeText);
    state_ = ExplorerState::Idle;
    EnableBrowsing(true, true);
    return;
  }
  addRemaining_ = static_cast<std::uint32_t>(end);
  addLastChunk_ = false;
  Append(Printf("File size is %u", static_cast<unsigned>(addRemaining_)));

  // Code, name record and size in one write: the phone reads nothing in between.
  std::vector<std::uint8_t> bytes{fs::TFS_ADD_FILE, static_cast<std::uint8_t>(utf8->size() >> 8),
                                  static_cast<std::uint8_t>(utf8->size())};
  bytes.insert(bytes.end(), utf8->begin(), utf8->end());
  PutBe32(bytes, addRemaining_);
  expected_ = Sum(std::span(bytes).subspan(1));
  state_ = ExplorerState::AddReady;
  Send(bytes);
  Exchange();
}

void TfsExplorerDlg::DeleteBody() {
  if (host_.MessageBox(&Wnd(), "Sure to Delete?", {}, ui::MB_YESNO) != ui::IDYES) return;
  const std::string name = SelectedFileName();
  if (name.empty()) return;
  const std::optional<std::string> full = FullPath(name);
  if (!full) return;
  Append(Printf("\r\nDeleting the file '%s'... ", ShownName(*full).c_str()));
  const std::optional<std::string> utf8 = ToUtf8(*full);
  if (!utf8) {
    state_ = ExplorerState::Idle;
    return;
  }
  EnableBrowsing(false, false);
  state_ = ExplorerState::Delete;
  SendNameRequest(TFS_DELETE_FILE, *utf8);
  Exchange();
}

void TfsExplorerDlg::DumpBody() {
  const std::string name = SelectedFileName();
  if (name.empty()) return;
  const std::optional<std::string> full = FullPath(name);
  if (!full) return;
  Append(Printf("\r\n Reading the file '%s'... ", ShownName(*full).c_str()));
  EnableBrowsing(false, false);
  const std::optional<std::string> utf8 = ToUtf8(*full);
  if (!utf8) {
    state_ = ExplorerState::Idle;
    Append(Printf("**File name is too long(%s) **\r\n", ShownName(*full).c_str()));
    EnableBrowsing(true, true);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    dumpIncomplete_ = false;
  }
  state_ = ExplorerState::FileSize;
  SendNameRequest(TFS_READ_FILE, *utf8);
  Exchange();
}

void TfsExplorerDlg::StatusBody() {
  const std::string name = SelectedFileName();
  if (name.empty()) return;
  const std::optional<std::string> full = FullPath(name);
  if (!full) return;
  Wnd().SetText(kText, Printf("\r\n Reading the file status '%s'... \n", ShownName(*full).c_str()));
  Append("---------------------------- \n");
  EnableBrowsing(false, false);
  const std::optional<std::string> utf8 = ToUtf8(*full);
  if (!utf8) {
    state_ = ExplorerState::Idle;
    Append(Printf("**File name is too long(%s) **\r\n", ShownName(*full).c_str()));
    EnableBrowsing(true, true);
    return;
  }
  SendNameRequest(TFS_FILE_STATUS, *utf8);
  state_ = ExplorerState::Status;
  Exchange();
}

// ---------------------------------------------------------------------------------------------
// The engine

void TfsExplorerDlg::Exchange() {
  for (;;) {
    std::uint8_t byte = 0;
    if (!ReadByte(byte)) {
      // The phone went silent or the port was closed under the exchange: a dump's file keeps
      // what was accepted and is closed now, not at EXIT.
      if (dumpFile_) {
        (void)CloseDumpFile();
        std::lock_guard lock(mutex_);
        dumpIncomplete_ = true;
      }
      return;
    }
    if (Handle(byte) == Step::End) return;
  }
}

TfsExplorerDlg::Step TfsExplorerDlg::Handle(std::uint8_t byte) {
  switch (state_) {
    case ExplorerState::Mount:
      return OnMountByte(byte);
    case ExplorerState::DirEntryLength:
      entryLength_ = std::size_t{byte} + 1;
      entryIndex_ = 0;
      state_ = ExplorerState::DirEntry;
      return Step::Continue;
    case ExplorerState::DirEntry:
      return OnDirEntryByte(byte);
    case ExplorerState::DirNext:
      return OnDirNextByte(byte);
    case ExplorerState::AddReady:
      return OnAddReadyByte(byte);
    case ExplorerState::AddData:
      return OnAddDataByte(byte);
    case ExplorerState::Delete:
      return OnDeleteByte(byte);
    case ExplorerState::FileSize:
      return OnFileSizeByte(byte);
    case ExplorerState::FileSizeBytes:
      return OnSizeBytesByte(byte);
    case ExplorerState::DumpData:
      return OnDumpDataByte(byte);
    case ExplorerState::Status:
      return OnStatusByte(byte);
    case ExplorerState::StatusBytes:
      return OnStatusRecordByte(byte);
    case ExplorerState::Idle:
      break;
  }
  return Step::Continue;  // a byte nobody waits for is dropped
}

TfsExplorerDlg::Step TfsExplorerDlg::OnMountByte(std::uint8_t byte) {
  if (byte != expected_) {
    state_ = ExplorerState::Idle;
    Append(Printf("Fail! (0x%X)\r\n", byte));
    return Step::End;
  }
  Append("OK!\r\n");
  process_.mountSucceeded = true;
  Append("Searching the files... \r\n");
  RequestRootListing();
  return Step::Continue;
}

TfsExplorerDlg::Step TfsExplorerDlg::OnDirEntryByte(std::uint8_t byte) {
  // A name that does not fit the buffer is still taken off the line, so that the listing can
  // go on with the next entry.
  if (entryIndex_ < entry_.size()) entry_[entryIndex_] = byte;
  ++entryIndex_;
  if (entry_[0] == TFS_DIR_ERROR) {
    Append("Read Dir ERR!!\n");
    state_ = ExplorerState::Idle;
    return Step::End;
  }
  if (entryIndex_ < entryLength_) return Step::Continue;
  if (!CountListingEntry(entryLength_)) return Step::End;

  SendByte(entry_[0]);
  state_ = ExplorerState::DirNext;
  if (entryLength_ > entry_.size()) {
    Append(Printf("**Name too long(%d bytes), entry skipped **\r\n",
                  static_cast<int>(entryLength_ - 1)));
    return Step::Continue;
  }
  const std::string_view name(reinterpret_cast<const char*>(entry_.data() + 1), entryLength_ - 1);
  AddEntry(entry_[0], name);
  return Step::Continue;
}

void TfsExplorerDlg::AddEntry(std::uint8_t type, std::string_view utf8Name) {
  ui::Window& wnd = Wnd();
  if (type != ENTRY_FILE && type != ENTRY_DIRECTORY) {
    Append("error!\r\n");
    return;
  }
  const std::optional<std::string> name = names_.FromUtf8(utf8Name);
  if (!name) {
    Append(kConversionError);
    return;
  }
  const std::string shown = ShownName(*name);
  if (type == ENTRY_FILE) {
    // Items added to the list otherwise keep their text as their name.
    for (int i = static_cast<int>(listNames_.size()); i < wnd.GetCount(kList); ++i) {
      listNames_.push_back(wnd.GetItemText(kList, i));
    }
    listNames_.push_back(*name);
    wnd.AddString(kList, shown);
    Append(Printf("%s\r\n", shown.c_str()));
    const int count = wnd.GetCount(kList);
    const int width = wnd.TextWidth(kList, wnd.GetItemText(kList, count - 1));
    listExtent_ = std::max(listExtent_, width);
    wnd.SetHorizontalExtent(kList, listExtent_);
    return;
  }
  if (name->starts_with('.') || itemHadChildren_) return;
  treeNames_[wnd.InsertTreeItem(kTree, selectedItem_, shown)] = *name;
  wnd.SortTreeChildren(kTree, selectedItem_);
  wnd.ExpandTreeItem(kTree, selectedItem_);
}

TfsExplorerDlg::Step TfsExplorerDlg::OnDirNextByte(std::uint8_t byte) {
  switch (byte) {
    case TFS_DIR_NEXT:
      state_ = ExplorerState::DirEntryLength;
      return Step::Continue;
    case TFS_DIR_ERROR:
      Wnd().Enable(kTree, true);  // the list stays as it was
      Append("ERROR in reading File name!\r\n");
      return Step::End;
    case TFS_DIR_END:
      EnableBrowsing(true, true);
      Append("\r\n Read directory OK!\r\n");
      state_ = ExplorerState::Idle;
      Confirm();
      return Step::End;
    default:
      Append(Printf("Unknown FILE name receive error!(%x)\r\n", byte));
      state_ = ExplorerState::Idle;
      return Step::End;
  }
}

TfsExplorerDlg::Step TfsExplorerDlg::OnAddReadyByte(std::uint8_t byte) {
  if (byte != expected_) {
    Append(Printf("Add Fail! (0x%X)\r\n", byte));
    EnableBrowsing(true, true);
    return Step::End;
  }
  Append(Printf("Add READY OK! (0x%X)\r\n", byte));
  SendNextAddChunk();
  return Step::Continue;
}

TfsExplorerDlg::Step TfsExplorerDlg::OnAddDataByte(std::uint8_t byte) {
  // After the file's last chunk only TFS_FILE_WRITTEN counts: a last chunk whose sum happens
  // to be 0xDF must not be taken for "send the next one".
  if (!addLastChunk_ && byte == expected_) {
    Append(Printf("Add continue OK! (0x%X)\r\n", byte));
    SendNextAddChunk();
    return Step::Continue;
  }
  if (byte == fs::TFS_FILE_WRITTEN) {
    addFile_.reset();
    Confirm();
    Append("Add complete");
    Append(Printf("\r\nSearching the files (in '%s')...\r\n ", ShownName(SelectedPath()).c_str()));
    ListAgain();
    return Step::Continue;
  }
  Append(Printf("Add Fail! (0x%X)\r\n", byte));
  EnableBrowsing(true, true);
  return Step::End;
}

void TfsExplorerDlg::SendNextAddChunk() {
  expected_ = 0;
  std::size_t length = addRemaining_;
  if (addRemaining_ >= kChunkSize) {
    length = kChunkSize;
    addRemaining_ -= kChunkSize;
  } else {
    addLastChunk_ = true;  // a shorter chunk, an empty one too, ends the file
  }
  std::vector<std::uint8_t> bytes{fs::TFS_ADD_DATA};
  if (length > 0) {
    bytes.resize(1 + length);
    const std::size_t got = std::fread(bytes.data() + 1, 1, length, addFile_.get());
    bytes.resize(1 + got);
    expected_ = Sum(std::span(bytes).subspan(1));
  }
  state_ = ExplorerState::AddData;
  // The code and its chunk in one write: the phone answers only after the whole chunk.
  Send(bytes);
}

TfsExplorerDlg::Step TfsExplorerDlg::OnDeleteByte(std::uint8_t byte) {
  if (byte != TFS_DELETE_FILE) {
    state_ = ExplorerState::Idle;
    Append(Printf("Delete Fail! (0x%X)\r\n", byte));
    EnableBrowsing(true, true);
    return Step::End;
  }
  Confirm();
  Append("OK!\r\n");
  Append(Printf("\r\nSearching the files (in '%s')... \r\n", ShownName(SelectedPath()).c_str()));
  ListAgain();
  return Step::Continue;
}

TfsExplorerDlg::Step TfsExplorerDlg::OnFileSizeByte(std::uint8_t byte) {
  if (byte != TFS_FILE_SIZE) {
    EnableBrowsing(true, true);
    state_ = ExplorerState::Idle;
    Append(Printf("File size read Fail! (0x%X)\r\n", byte));
    return Step::End;
  }
  sizeCount_ = 0;
  state_ = ExplorerState::FileSizeBytes;
  return Step::Continue;
}

TfsExplorerDlg::Step TfsExplorerDlg::OnSizeBytesByte(std::uint8_t byte) {
  sizeBytes_[sizeCount_++] = byte;
  if (sizeCount_ < sizeBytes_.size()) return Step::Continue;
  sizeCount_ = 0;
  const std::uint32_t size = (std::uint32_t{sizeBytes_[0]} << 24) |
                             (std::uint32_t{sizeBytes_[1]} << 16) |
                             (std::uint32_t{sizeBytes_[2]} << 8) | sizeBytes_[3];
  return StartDump(size);
}

TfsExplorerDlg::Step TfsExplorerDlg::StartDump(std::uint32_t size) {
  dumpRemaining_ = size;
  Append(Printf("\r\nSize: %u bytes\r\n", static_cast<unsigned>(size)));
  const auto refuse = [this](std::string_view text) {
    EnableBrowsing(true, true);
    state_ = ExplorerState::Idle;
    host_.MessageBox(&Wnd(), text);
    return Step::End;
  };
  // Refused before a file is asked for: nothing is created for a size no file can have.
  if (size > limits_.fileBytes) {
    Append(Printf("%s\r\n", std::string(kDumpTooLargeText).c_str()));
    return refuse(kDumpTooLargeText);
  }
  ui::FileDialogRequest request;
  request.open = false;
  request.filter = std::string(kDumpFileFilter);
  request.defaultExtension = std::string(kDumpFileExtension);
  request.flags = ui::OFN_HIDEREADONLY | ui::OFN_OVERWRITEPROMPT;
  const std::string path = host_.FileDialog(&Wnd(), request).value_or(std::string());
  if (path.empty()) return refuse("No file selected!");
  // A FIFO or a device would hang the dump or take the data nowhere: only a file.
  dumpFile_ = fs::CreateRegularFile(path);
  if (!dumpFile_) return refuse("Internal Error! (file creation)");

  Append("** Dumping TFS File **\r\n");
  lastChunk_ = false;
  dumpReceived_ = 0;
  Wnd().SetRange(kProgress, 0, size);
  NextDumpChunk();
  state_ = ExplorerState::DumpData;
  SendByte(TFS_READ_DATA);
  return Step::Continue;
}

void TfsExplorerDlg::NextDumpChunk() {
  if (dumpRemaining_ >= kChunkSize) {
    chunkLength_ = kChunkSize;
    dumpRemaining_ -= kChunkSize;
    lastChunk_ = dumpRemaining_ == 0;
  } else {
    chunkLength_ = dumpRemaining_;
    lastChunk_ = true;
  }
  chunkCount_ = 0;
  expected_ = 0;
}

TfsExplorerDlg::Step TfsExplorerDlg::OnDumpDataByte(std::uint8_t byte) {
  if (chunkLength_ == 0 && byte == TFS_EMPTY_FILE) {
    Wnd().SetPos(kProgress, dumpReceived_);
    SendByte(TFS_DATA_ACK);
    return CompleteDump();
  }
  if (chunkCount_ < chunkLength_) {
    chunk_[chunkCount_++] = byte;
    expected_ = static_cast<std::uint8_t>(expected_ + byte);
    return Step::Continue;
  }
  if (byte != expected_) {
    (void)CloseDumpFile();
    {
      std::lock_guard lock(mutex_);
      dumpIncomplete_ = true;
    }
    SendByte(TFS_DATA_NAK);
    state_ = ExplorerState::Idle;
    Append("Checksum mismatched!\r\n");
    EnableBrowsing(true, true);
    host_.MessageBox(&Wnd(), "Checksum Mismatched!");
    return Step::End;
  }
  // Written through at once, so that a disk that is full or a file-size limit shows here.
  if (std::fwrite(chunk_.data(), 1, chunkLength_, dumpFile_.get()) != chunkLength_ ||
      std::fflush(dumpFile_.get()) != 0) {
    return DumpWriteFailed();
  }
  dumpReceived_ += static_cast<std::uint32_t>(chunkLength_);
  Wnd().SetPos(kProgress, dumpReceived_);
  SendByte(TFS_DATA_ACK);
  if (lastChunk_) return CompleteDump();
  NextDumpChunk();
  return Step::Continue;
}

TfsExplorerDlg::Step TfsExplorerDlg::CompleteDump() {
  // The phone has its acknowledgement already; only the copy on the PC can still fail.
  if (!CloseDumpFile()) {
    {
      std::lock_guard lock(mutex_);
      dumpIncomplete_ = true;
    }
    state_ = ExplorerState::Idle;
    Append(Printf("%s\r\n", std::string(kDumpWriteFailedText).c_str()));
    EnableBrowsing(true, true);
    host_.MessageBox(&Wnd(), kDumpWriteFailedText);
    return Step::End;
  }
  EnableBrowsing(true, true);
  Append("** Dump Completed! **\r\n");
  state_ = ExplorerState::Idle;
  Confirm();
  host_.MessageBox(&Wnd(), "Dump Completed!");
  return Step::End;
}

TfsExplorerDlg::Step TfsExplorerDlg::DumpWriteFailed() {
  (void)CloseDumpFile();
  {
    std::lock_guard lock(mutex_);
    dumpIncomplete_ = true;
  }
  // As for a bad sum: the phone ends the dump instead of sending what the file cannot take.
  SendByte(TFS_DATA_NAK);
  state_ = ExplorerState::Idle;
  Append(Printf("%s\r\n", std::string(kDumpWriteFailedText).c_str()));
  EnableBrowsing(true, true);
  host_.MessageBox(&Wnd(), kDumpWriteFailedText);
  return Step::End;
}

bool TfsExplorerDlg::CloseDumpFile() {
  if (!dumpFile_) return true;
  return std::fclose(dumpFile_.release()) == 0;
}

TfsExplorerDlg::Step TfsExplorerDlg::OnStatusByte(std::uint8_t byte) {
  if (byte != TFS_STATUS_DATA) {
    EnableBrowsing(true, true);
    state_ = ExplorerState::Idle;
    Append(Printf("Fail! (0x%X)\r\n", byte));
    return Step::End;
  }
  statusCount_ = 0;
  state_ = ExplorerState::StatusBytes;
  return Step::Continue;
}

TfsExplorerDlg::Step TfsExplorerDlg::OnStatusRecordByte(std::uint8_t byte) {
  statusBytes_[statusCount_++] = byte;
  if (statusCount_ < statusBytes_.size()) return Step::Continue;
  statusCount_ = 0;
  Confirm();
  for (const std::string& line : FileStatusLines(FileStatus::Decode(statusBytes_))) Append(line);
  state_ = ExplorerState::Idle;
  EnableBrowsing(true, true);
  return Step::End;
}

std::size_t TfsExplorerDlg::Expecting() const {
  switch (state_) {
    case ExplorerState::DumpData:
      // The rest of the chunk and its sum; an empty file's single byte.
      return chunkLength_ == 0 ? 1 : chunkLength_ - chunkCount_ + 1;
    case ExplorerState::FileSizeBytes:
      return sizeBytes_.size() - sizeCount_;
    case ExplorerState::StatusBytes:
      return statusBytes_.size() - statusCount_;
    default:
      return 1;
  }
}

bool TfsExplorerDlg::ReadByte(std::uint8_t& byte) {
  if (receivedUsed_ == received_.size()) {
    link::SerialPort* port = Port();
    if (port == nullptr || cancelled_ || !Connected()) return false;
    received_.resize(Expecting());
    receivedUsed_ = 0;
    const link::PortStatus status = port->ReadFully(received_, kReplyTimeoutFactor);
    // A phone that answers again is no longer taken for dead.
    noReply_ = status == link::PORT_NO_REPLY;
    if (status != PORT_OK) {
      received_.clear();
      return false;
    }
  }
  byte = received_[receivedUsed_++];
  return true;
}

void TfsExplorerDlg::Send(std::span<const std::uint8_t> bytes) {
  link::SerialPort* port = Port();
  if (port == nullptr || cancelled_ || !Connected()) return;
  // Not judged: a request that did not arrive shows as a missing or wrong answer.
  (void)port->WriteFully(bytes, kSendTimeoutFactor);
}

void TfsExplorerDlg::SendNameRequest(std::uint8_t code, std::string_view utf8) {
  std::vector<std::uint8_t> bytes{code, static_cast<std::uint8_t>(utf8.size() >> 8),
                                  static_cast<std::uint8_t>(utf8.size())};
  const auto name = Bytes(utf8);
  bytes.insert(bytes.end(), name.begin(), name.end());
  Send(bytes);
}

// ---------------------------------------------------------------------------------------------
// Listings

void TfsExplorerDlg::RequestRootListing() {
  entryIndex_ = 0;
  {
    std::lock_guard lock(mutex_);
    selectedItem_ = rootItem_;
  }
  StartListing();
  state_ = ExplorerState::DirEntryLength;
  // The root goes as "/" alone, without the zero every other path carries.
  static constexpr std::uint8_t kRootRequest[] = {TFS_READ_DIR, 0x01, '/'};
  Send(kRootRequest);
}

bool TfsExplorerDlg::RequestListing(const std::string& path) {
  const std::optional<std::string> utf8 = names_.ToUtf8(path);
  // The request carries the length in one byte: a longer path would be cut and misread.
  if (!utf8 || utf8->size() > kMaxDirRequestBytes) {
    if (!utf8) Append(kConversionError);
    state_ = ExplorerState::Idle;
    Append(Printf("**UTF8 length error(%d) **\r\n",
                  static_cast<int>(utf8 ? utf8->size() : path.size())));
    return false;
  }
  state_ = ExplorerState::DirEntryLength;
  EnableBrowsing(false, false);
  std::vector<std::uint8_t> bytes{TFS_READ_DIR, static_cast<std::uint8_t>(utf8->size())};
  const auto name = Bytes(*utf8);
  bytes.insert(bytes.end(), name.begin(), name.end());
  Send(bytes);
  StartListing();
  itemHadChildren_ = !Wnd().GetChildTreeItems(kTree, selectedItem_).empty();
  return true;
}

void TfsExplorerDlg::StartListing() {
  entryIndex_ = 0;
  listingEntries_ = 0;
  listingBytes_ = 0;
  Wnd().ResetContent(kList);
  listNames_.clear();
  listExtent_ = 0;
}

bool TfsExplorerDlg::CountListingEntry(std::size_t length) {
  ++listingEntries_;
  listingBytes_ += length + 2;  // its length byte before and the continuation after it
  if (listingEntries_ <= limits_.listingEntries && listingBytes_ <= limits_.listingBytes) {
    return true;
  }
  // Not acknowledged: the phone sends nothing more. What was listed stays.
  state_ = ExplorerState::Idle;
  Append(Printf("**Listing stopped after %llu entries: more than the flash can hold **\r\n",
                static_cast<unsigned long long>(listingEntries_ - 1)));
  EnableBrowsing(true, true);
  return false;
}

void TfsExplorerDlg::ListAgain() {
  const std::string path = SelectedPath();
  if (path == "/") {
    RequestRootListing();
    itemHadChildren_ = !Wnd().GetChildTreeItems(kTree, selectedItem_).empty();
    return;
  }
  if (!RequestListing(path)) EnableBrowsing(true, true);
}

// ---------------------------------------------------------------------------------------------
// Pieces

std::optional<std::string> TfsExplorerDlg::FullPath(const std::string& name) {
  std::string full = SelectedPath();
  if (!full.ends_with('/')) full += '/';
  full += name;
  // The path buffer holds the path and its zero; a longer one is refused before anything is
  // sent or disabled.
  if (full.size() + 1 > kPathBufferSize) {
    state_ = ExplorerState::Idle;
    Append(Printf("**File name is too long(%s) **\r\n", ShownName(full).c_str()));
    return std::nullopt;
  }
  return full;
}

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

bool TfsExplorerDlg::Connected() const {
  return process_.link.openAllowed.load();
}

std::optional<std::string> TfsExplorerDlg::ToUtf8(std::string_view name) {
  std::optional<std::string> utf8 = names_.ToUtf8(name);
  if (!utf8) Append(kConversionError);
  return utf8;
}

void TfsExplorerDlg::EnableBrowsing(bool tree, bool list) {
  Wnd().Enable(kTree, tree);
  Wnd().Enable(kList, list);
}

void TfsExplorerDlg::Append(std::string_view text) {
  Wnd().AppendText(kText, text);
}

}  // namespace veska::explorer
