#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/ProcessState.h"
#include "explorer/ExplorerNames.h"
#include "explorer/FileStatus.h"
#include "link/SerialPort.h"
#include "link/UniqueFile.h"
#include "link/Wire.h"

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
// A file's size travels as a 32-bit number: a larger PC file cannot be announced.
inline constexpr std::uint64_t kMaxAddBytes = UINT32_MAX;

// What the phone's file system can hold, so that a phone that lies cannot make the PC take
// without end. The NAND flash has 2,048 blocks of 64 pages of 2 KiB (256 MiB): no file on it is
// larger. Every file and directory takes at least one page, so no directory lists more entries
// than the flash has pages; and as a name longer than the entry buffer is skipped, a listing of
// that many entries needs at most that many full entries on the line (length, entry buffer and
// continuation). A phone that announces or sends more is not describing its file system.
struct ExplorerLimits {
  std::uint32_t fileBytes = 2048u * 64u * 2048u;
  std::size_t listingEntries = 2048u * 64u;
  std::uint64_t listingBytes = std::uint64_t{2048u * 64u} * (kEntryBufferSize + 2);
};

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

// Refusals of what a file or the phone announces.
inline constexpr std::string_view kAddTooLargeText = "The file is too large for the phone!";
inline constexpr std::string_view kDumpTooLargeText = "File size is larger than the flash!";
inline constexpr std::string_view kDumpWriteFailedText = "Write dump file fail!";

// What the Explorer's exchanges tell whoever shows them, in the order it happens. Called on the
// thread that runs the exchange; an implementation that shows a window returns once shown, so
// that the narrative keeps the exchange's order.
class ExplorerNotices {
 public:
  virtual ~ExplorerNotices() = default;

  // The narrative pane: `text` appended at its end, or in place of its whole text.
  virtual void Narrate(std::string_view text) = 0;
  virtual void NarrateAnew(std::string_view text) = 0;

  // A listing begins, so the files listed before are gone. `root`: the root's own request
  // (after the mount, or after Add or Delete in "/"), which lists into the tree's root.
  virtual void ListingStarted(bool root) = 0;
  // An entry of the listing, in the PC's character set with its control bytes as they came.
  virtual void FileListed(std::string_view name) = 0;
  virtual void DirectoryListed(std::string_view name) = 0;

  // Whether the user may browse (the tree) and choose files (the list) while the exchange goes
  // on or after it ended. EnableTree offers the tree again and leaves the list as it is.
  virtual void EnableBrowsing(bool tree, bool list) = 0;
  virtual void EnableTree() = 0;

  // A dump's progress: its size first, then the bytes accepted so far.
  virtual void ProgressRange(std::uint32_t upper) = 0;
  virtual void Progress(std::uint32_t position) = 0;

  // A message the user acknowledges.
  virtual void Message(std::string_view text) = 0;
  // Where a dump's copy goes, asked once the phone announced the size; empty when the user
  // chose nothing.
  [[nodiscard]] virtual std::string DumpTarget() = 0;

  // The phone confirmed what the action asked for (a listing: its end).
  virtual void Confirmed() = 0;
  // A file's status record as the phone sent it, before its lines are narrated.
  virtual void StatusRead(const FileStatus& status) { (void)status; }
};

// The TFS Explorer's side of the line: the mount and the unmount, directory listings, and Add,
// Delete, Dump and Status of one file, each a request and the phone's answers byte by byte
// through the ExplorerState machine, with the PC files Add reads and Dump writes. It talks over
// the session's shared port record (the one START prepared, taken under sharedPortMutex),
// keeps the session's mountSent and mountSucceeded, and tells `notices` what happens.
//
// Paths and names come and go in the PC's character set and are converted to and from the
// phone's UTF-8 here; `dir` is the directory a file action works in (where it relists).
//
// Threads: one action at a time, each running its whole exchange on the calling thread. Cancel,
// NoReply and DumpIncomplete may be called from any thread.
class ExplorerSession {
 public:
  ExplorerSession(app::ProcessState& session, ExplorerNotices& notices);
  // A PC character set other than the user's locale (tests).
  ExplorerSession(app::ProcessState& session, ExplorerNotices& notices,
                  const std::string& pcCharset);
  ExplorerSession(const ExplorerSession&) = delete;
  ExplorerSession& operator=(const ExplorerSession&) = delete;

  // Start: opens the port and mounts, then lists the root; a session whose mount went out
  // already only takes what the phone sends until it falls silent.
  void Start();
  // Lists the directory `path`: its files and its subdirectories.
  void List(const std::string& path);
  // Adds the PC file `pcFile` to `dir` under its own name, then lists `dir` again.
  void Add(const std::string& pcFile, const std::string& dir);
  // Deletes `dir`/`name`, then lists `dir` again.
  void Delete(const std::string& dir, const std::string& name);
  // Copies `dir`/`name` into the file DumpTarget names.
  void Dump(const std::string& dir, const std::string& name);
  void Status(const std::string& dir, const std::string& name);
  // The end of the Explorer: closes the PC files, unmounts and closes the port. `interrupted`:
  // an exchange was ended under way, and the phone, still in it, hears no unmount. Nor does it
  // after Disconnect.
  void Unmount(bool interrupted);

  // From now on nothing more is sent or awaited: the running exchange ends at its next read or
  // write (closing the port ends one under way).
  void Cancel() { cancelled_ = true; }

  // True once the phone left an exchange unanswered for the reply time-out: the line is taken
  // for dead, and the unmount's answer is not awaited.
  [[nodiscard]] bool NoReply() const { return noReply_; }
  // True when the last Dump stopped after creating its file: the file holds only the chunks
  // accepted before (or fewer, when the disk did not take them).
  [[nodiscard]] bool DumpIncomplete() const { return dumpIncomplete_; }
  [[nodiscard]] ExplorerState State() const { return state_; }
  // Another flash than the phone's (tests).
  void SetLimits(const ExplorerLimits& limits) { limits_ = limits; }

 private:
  enum class Step { Continue, End };

  // --- the receive engine ---
  void Exchange();
  Step Handle(std::uint8_t byte);
  Step OnMountByte(std::uint8_t byte);
  Step OnDirEntryByte(std::uint8_t byte);
  Step OnDirNextByte(std::uint8_t byte);
  Step OnAddReadyByte(std::uint8_t byte);
  Step OnAddDataByte(std::uint8_t byte);
  Step OnDeleteByte(std::uint8_t byte);
  Step OnFileSizeByte(std::uint8_t byte);
  Step OnDumpDataByte(std::uint8_t byte);
  Step OnStatusByte(std::uint8_t byte);
  // The fixed-size records after their codes (the file's size, the status): gathered as they
  // come and handled once whole.
  void AwaitRecord(ExplorerState state, std::size_t length);
  Step OnRecordByte(std::uint8_t byte);
  // Bytes the phone is known to send next (more than one only inside a dump's chunk and the
  // fixed-size records), so that they can be taken with one read.
  [[nodiscard]] std::size_t Expecting() const;
  bool ReadByte(std::uint8_t& byte);
  void Send(std::span<const std::uint8_t> bytes);
  void SendByte(std::uint8_t byte) { Send(std::span(&byte, 1)); }

  // --- pieces of the actions ---
  void RequestRootListing();
  // The directory request for `path`; false when refused.
  bool RequestListing(const std::string& path);
  // Lists the action's directory again after Add or Delete.
  void ListAgain();
  void StartListing(bool root);
  // Counts one listing entry of `length` bytes on the line; false (after a narrative line)
  // when the listing goes beyond what the flash can hold.
  bool CountListingEntry(std::size_t length);
  void AddEntry(std::uint8_t type, std::string_view utf8Name);
  void SendNextAddChunk();
  Step StartDump(std::uint32_t size);
  void NextDumpChunk();
  Step CompleteDump();
  // Ends a dump whose file did not take a chunk or its close.
  Step DumpWriteFailed();
  // Closes a dump's file; false when the file did not take everything written to it.
  bool CloseDumpFile();
  // The full path of `name` in the action's directory, or nothing (with a narrative line) when
  // it does not fit the path buffer.
  std::optional<std::string> FullPath(const std::string& name);
  std::optional<std::string> ToUtf8(std::string_view name);
  // The UTF-8 form of `full` for Dump and Status, which have taken the browsing away already:
  // without one the browsing is offered again, after a line that says the name is too long.
  std::optional<std::string> ReadingName(const std::string& full);
  void NameTooLong(const std::string& full);
  // False once Disconnect came: nothing more goes to the phone or is awaited from it.
  [[nodiscard]] bool Connected() const { return session_.link.openAllowed.load(); }
  [[nodiscard]] link::SerialPort* Port() const;

  app::ProcessState& session_;
  ExplorerNotices& notices_;
  ExplorerNames names_;
  ExplorerLimits limits_;
  // The directory of the running file action.
  std::string dir_ = "/";

  ExplorerState state_ = ExplorerState::Idle;
  std::uint8_t expected_ = 0;

  // Listings.
  std::size_t entryLength_ = 0;
  std::size_t entryIndex_ = 0;
  std::array<std::uint8_t, kEntryBufferSize> entry_{};
  std::size_t listingEntries_ = 0;
  std::uint64_t listingBytes_ = 0;

  // The PC files.
  link::UniqueFile addFile_;
  std::uint32_t addRemaining_ = 0;
  bool addLastChunk_ = false;
  link::UniqueFile dumpFile_;
  std::uint32_t dumpRemaining_ = 0;
  std::uint32_t dumpReceived_ = 0;
  bool lastChunk_ = false;
  std::size_t chunkLength_ = 0;
  std::size_t chunkCount_ = 0;
  std::vector<std::uint8_t> chunk_ = std::vector<std::uint8_t>(kChunkSize);

  std::array<std::uint8_t, kFileStatusSize> record_{};
  std::size_t recordLength_ = 0;
  std::size_t recordCount_ = 0;
  static_assert(kFileStatusSize >= link::UART_NUMBER_SIZE);

  // Bytes taken from the port but not yet handled: a dump's chunk arrives in one read.
  std::vector<std::uint8_t> received_;
  std::size_t receivedUsed_ = 0;

  std::atomic<bool> cancelled_{false};
  std::atomic<bool> noReply_{false};
  std::atomic<bool> dumpIncomplete_{false};
};

}  // namespace veska::explorer
