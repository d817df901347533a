#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/ProcessState.h"
#include "explorer/ExplorerNames.h"
#include "explorer/FileStatus.h"
#include "link/SerialPort.h"
#include "ui/Dialog.h"
#include "ui/Host.h"

namespace veska::explorer {

// Requests and replies of the Explorer beyond the file-system download's codes (fs/FsCodes.h).
inline constexpr std::uint8_t TFS_READ_DIR = 0xE5;
inline constexpr std::uint8_t TFS_DIR_NEXT = 0xCB;   // another entry follows
inline constexpr std::uint8_t TFS_DIR_END = 0xE7;    // the listing is complete
inline constexpr std::uint8_t TFS_DIR_ERROR = 0xE6;  // as an entry's type or a continuation
inline constexpr std::uint8_t TFS_DELETE_FILE = 0xEE;
inline constexpr std::uint8_t TFS_READ_FILE = 0xE8;
inline constexpr std::uint8_t TFS_FILE_SIZE = 0xE9;
inline constexpr std::uint8_t TFS_READ_DATA = 0xEA;
inline constexpr std::uint8_t TFS_FILE_STATUS = 0xF0;
inline constexpr std::uint8_t TFS_STATUS_DATA = 0xF1;
inline constexpr std::uint8_t TFS_DATA_ACK = 0x01;
inline constexpr std::uint8_t TFS_DATA_NAK = 0x00;
inline constexpr std::uint8_t TFS_EMPTY_FILE = 0x16;
inline constexpr std::uint8_t ENTRY_FILE = 1;
inline constexpr std::uint8_t ENTRY_DIRECTORY = 2;

// Every byte the Explorer sends goes with this factor; every reply byte is awaited with the
// reply factor, the unmount's answer with the send factor.
inline constexpr std::uint8_t kSendTimeoutFactor = 8;
inline constexpr std::uint8_t kReplyTimeoutFactor = 255;

inline constexpr std::size_t kChunkSize = 8192;
// The receive buffer of a directory entry: its type byte and the name with its zero.
inline constexpr std::size_t kEntryBufferSize = 100;
// The full path of a file on the phone, terminating zero included.
inline constexpr std::size_t kPathBufferSize = 504;
// A directory request carries its path's length in one byte.
inline constexpr std::size_t kMaxDirRequestBytes = 255;

// What the next byte from the phone means.
enum class ExplorerState : int {
  Mount = 25,
  FileSize = 37,
  FileSizeBytes = 38,
  DumpData = 39,
  Delete = 40,
  AddReady = 41,
  AddData = 42,
  Status = 43,
  StatusBytes = 44,
  DirEntryLength = 56,
  DirEntry = 57,
  DirNext = 58,
  Idle = 64,
};

// Texts of the Explorer's file dialogs.
inline constexpr std::string_view kAddFileFilter = "all files (*.*)|*.*||";
inline constexpr std::string_view kAddFileExtension = "*.*";
inline constexpr std::string_view kDumpFileFilter = "Hex Files (*.hex)|*.hex|All Files (*.*)|*.*||";
inline constexpr std::string_view kDumpFileExtension = "hex";

// The TFS Explorer (template 130): browses the phone's file system and adds, deletes, dumps
// and describes its files over the connection START prepared (the session's shared port
// record).
//
// Threads: the handlers run on the user-interface thread; every exchange with the phone runs
// on a worker of the dialog, one at a time, with the tree and the list disabled as each
// operation says, so the window keeps repainting while the phone answers. While an exchange
// runs, the user's other requests are ignored. EXIT (or closing the dialog in any other way)
// ends a running exchange at once by closing the port under it; the dialog then closes
// without an unmount, since the phone is in the middle of an exchange whose end it waits for.
class TfsExplorerDlg final : public ui::Dialog {
 public:
  // How the last action (Start, a listing, Add, Delete, Dump, Status) ended.
  enum class ActionOutcome {
    None,       // nothing was asked yet
    Confirmed,  // the phone confirmed what was asked (a listing: its end)
    Failed,     // refused, stopped, declined or cancelled
  };

  TfsExplorerDlg(ui::Host& host, app::ProcessState& state);
  // A PC character set other than the user's locale (tests).
  TfsExplorerDlg(ui::Host& host, app::ProcessState& state, const std::string& pcCharset);
  ~TfsExplorerDlg() override;

  // --- ui::Dialog ---
  bool OnInitDialog() override;
  bool OnCommand(int id, ui::Notify code) override;
  void OnTreeSelChanged(int id, ui::TreeItem item) override;
  bool OnContextMenu(int id, ui::Point point) override;
  // EXIT: unmount and close. Cancel (Escape, the close box) does the same.
  void OnOK() override;
  void OnCancel() override;

  // The pop-up menu's commands.
  void OnAdd();
  void OnDelete();
  void OnDump();
  void OnStatus();

  // True while an exchange runs.
  [[nodiscard]] bool Busy() const;
  // Waits until no exchange runs (hosts without an event loop: tests and the command line).
  void WaitIdle();

  [[nodiscard]] ActionOutcome LastOutcome() const;
  // How many actions have started so far (a menu that was dismissed starts none).
  [[nodiscard]] std::uint64_t ActionsStarted() const;
  // True when every action asked so far was confirmed by the phone.
  [[nodiscard]] bool AllConfirmed() const;
  // True when the last Dump stopped after creating its file: the file holds only the chunks
  // accepted before.
  [[nodiscard]] bool DumpIncomplete() const;
  // True when an exchange ended because the phone stayed silent for the reply time-out.
  [[nodiscard]] bool PhoneFellSilent() const { return phoneFellSilent_.load(); }
  [[nodiscard]] ui::TreeItem RootItem() const { return rootItem_; }
  [[nodiscard]] std::string SelectedPath() const;
  [[nodiscard]] ExplorerState State() const { return state_; }

 private:
  enum class Step { Continue, End };

  // --- worker bracket ---
  // Runs `body` on the dialog's worker unless an exchange runs already (false then).
  bool Begin(std::function<void()> body);
  void Finish();
  void Exit();
  // EXIT's own steps; `cancelled`: an exchange was ended under way.
  void ExitSequence(bool cancelled);

  // --- action bodies (on the worker) ---
  void StartBody();
  void SelectBody(ui::TreeItem item);
  void AddBody();
  void DeleteBody();
  void DumpBody();
  void StatusBody();

  // --- the engine ---
  void Exchange();
  Step Handle(std::uint8_t byte);
  Step OnMountByte(std::uint8_t byte);
  Step OnDirEntryByte(std::uint8_t byte);
  Step OnDirNextByte(std::uint8_t byte);
  Step OnAddReadyByte(std::uint8_t byte);
  Step OnAddDataByte(std::uint8_t byte);
  Step OnDeleteByte(std::uint8_t byte);
  Step OnFileSizeByte(std::uint8_t byte);
  Step OnSizeBytesByte(std::uint8_t byte);
  Step OnDumpDataByte(std::uint8_t byte);
  Step OnStatusByte(std::uint8_t byte);
  Step OnStatusRecordByte(std::uint8_t byte);
  // Bytes the phone is known to send next (more than one only inside a dump's chunk and the
  // fixed-size records), so that they can be taken with one read.
  [[nodiscard]] std::size_t Expecting() const;
  bool ReadByte(std::uint8_t& byte);
  void Send(std::span<const std::uint8_t> bytes);
  void SendByte(std::uint8_t byte) { Send(std::span(&byte, 1)); }
  // A request whose argument is a name record: the code, the length (two bytes, big-endian)
  // and the name with its zero.
  void SendNameRequest(std::uint8_t code, std::string_view utf8);

  // --- pieces of the operations ---
  void RequestRootListing();
  // The directory request for `path` (steps of a tree selection); false when refused.
  bool RequestListing(const std::string& path);
  // Lists the current directory again after Add or Delete.
  void ListAgain();
  void AddEntry(std::uint8_t type, std::string_view utf8Name);
  void SendNextAddChunk();
  Step StartDump(std::uint32_t size);
  void NextDumpChunk();
  Step CompleteDump();
  void CloseDumpFile();
  // The full path of `name` in the selected directory, or nothing (with a narrative line) when
  // it does not fit the path buffer.
  std::optional<std::string> FullPath(const std::string& name);
  // The selected list entry's name, empty when none.
  std::string SelectedFileName() const;
  std::optional<std::string> ToUtf8(std::string_view name);
  void EnableBrowsing(bool tree, bool list);
  void Append(std::string_view text);
  void Confirm();

  link::SerialPort* Port() const { return process_.sharedPort.get(); }

  ui::Host& host_;
  app::ProcessState& process_;
  ExplorerNames names_;

  // Browsing.
  ui::TreeItem rootItem_ = ui::TREE_NONE;
  ui::TreeItem selectedItem_ = ui::TREE_NONE;
  std::string selectedPath_ = "/";
  bool itemHadChildren_ = false;
  int listExtent_ = 0;
  ExplorerState state_ = ExplorerState::Idle;
  std::uint8_t expected_ = 0;
  std::size_t entryLength_ = 0;
  std::size_t entryIndex_ = 0;
  std::array<std::uint8_t, kEntryBufferSize> entry_{};

  // File operations.
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  using File = std::unique_ptr<std::FILE, FileCloser>;
  File addFile_;
  std::uint32_t addRemaining_ = 0;
  bool addLastChunk_ = false;
  File dumpFile_;
  std::uint32_t dumpRemaining_ = 0;
  std::uint32_t dumpReceived_ = 0;
  bool lastChunk_ = false;
  std::size_t chunkLength_ = 0;
  std::size_t chunkCount_ = 0;
  std::size_t sizeCount_ = 0;
  std::array<std::uint8_t, 4> sizeBytes_{};
  std::size_t statusCount_ = 0;
  std::array<std::uint8_t, kFileStatusSize> statusBytes_{};
  std::vector<std::uint8_t> chunk_ = std::vector<std::uint8_t>(kChunkSize);

  // Bytes taken from the port but not yet handled: a dump's chunk arrives in one read.
  std::vector<std::uint8_t> received_;
  std::size_t receivedUsed_ = 0;

  // The worker and its bracket.
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  std::thread worker_;
  bool running_ = false;
  bool exitRequested_ = false;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> phoneFellSilent_{false};
  ActionOutcome outcome_ = ActionOutcome::None;
  bool dumpIncomplete_ = false;
  bool allConfirmed_ = true;
  std::uint64_t actionsStarted_ = 0;
};

}  // namespace veska::explorer
