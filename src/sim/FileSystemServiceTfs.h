#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sim/FileSystemService.h"
#include "sim/TfsModel.h"

namespace veska::sim {

// The replies of the file-system service where a fault can be injected. Each is counted from 0
// since the phone started (for `Chunk`, the full chunks of every file; `DumpChunk` likewise).
enum class FsFaultStep {
  Format,       // TFS_FORMAT_OK
  Mount,        // the mount echo
  Checksum,     // the TFS_WRITE_CHECKSUM echo
  Time,         // the time record's echo sum
  DirEcho,      // a directory record's echo sum
  DirCreated,   // TFS_DIR_CREATED
  Version,      // 0xE3 after TFS_VERSION
  Release,      // 0xE3 after either release record
  FileEcho,     // a file record's echo sum
  Chunk,        // the echo sum of a full chunk
  FileWritten,  // TFS_FILE_WRITTEN
  Complete,     // the WRITE_COMPLETE_NAND echo
  Unmount,      // the unmount echo
  DumpChunk,    // Explorer: the sum after a chunk of TFS_READ_DATA
  DirEnd,       // Explorer: TFS_DIR_END after a directory's last entry
  Delete,       // Explorer: the TFS_DELETE_FILE echo
  ReadFile,     // Explorer: TFS_FILE_SIZE (the size follows only a healthy one)
  Status,       // Explorer: TFS_STATUS_DATA (the record follows only a healthy one)
};

enum class FsFaultKind {
  Silence,      // the command takes effect, but its reply is withheld
  WrongSum,     // the reply is one more than it should be (a wrong echo sum, or code + 1)
  WrongByte,    // the reply is `value`
  FormatError,  // Format only: TFS_FORMAT_FAIL and the report (`function`, `error`); the file
                // system stays as it was
};

struct FsFault {
  FsFaultKind kind = FsFaultKind::Silence;
  FsFaultStep step = FsFaultStep::Format;
  std::optional<std::uint32_t> index;  // which occurrence; none: the next one
  std::uint8_t value = 0;
  std::uint8_t function = 0;
  std::uint32_t error = 0;
  bool repeat = false;
};

[[nodiscard]] const char* FsFaultStepName(FsFaultStep step);
// "KIND@STEP[#N][=VALUE][!]": KIND silence|sum|wrong|error; STEP format|mount|checksum|time|
// dir|dir-created|version|release|file|chunk|written|complete|unmount|dump-chunk|dir-end|
// delete|read-file|status. `wrong`
// takes a byte (=0x55), `error` the report as FUNCTION:ERROR in hexadecimal (=85:102) and
// only at `format`.
[[nodiscard]] std::optional<FsFault> ParseFsFault(std::string_view text);

// The loader's file-system service, written from the phone's side: format (with an injectable
// error report), mount, checksum mark, time, directories, version records, files with their
// chunk sums, completion and unmount, and the Explorer's requests (directory listing, add,
// delete, read, status). It is strict: a command out of order, a malformed record or a chunk
// of the wrong length is recorded as a violation and answered as the driver answers every
// violation.
//
// Every command is recorded in the event record as EventKind::Command with its code; detail
// names it ("TFS_ADD_FILE /sys/a.txt"), length carries the record's size or the file's, and
// sum the echo sum the phone computed.
//
// Thread safety: Serve() and Reset() run on the phone's thread; InjectFault() may be called
// from any thread.
class FileSystemServiceTfs : public FileSystemService {
 public:
  explicit FileSystemServiceTfs(std::shared_ptr<TfsModel> model, std::vector<FsFault> faults = {});

  FsOutcome Serve(FsEntry entry, std::uint8_t code, FsContext& context) override;
  void Reset() override;
  void InjectFault(const FsFault& fault);

  [[nodiscard]] const std::shared_ptr<TfsModel>& Model() const { return model_; }

 private:
  // Where the session stands in the download's order; the Explorer works in Mounted.
  enum class Step {
    Unmounted,
    Mounted,
    Checksummed,
    TimeSet,
    DirsCreated,
    VersionSet,
    ReleaseSet,
    Files,
    Completed,
  };
  struct OpenFile {
    std::string path;
    std::uint32_t size = 0;
    std::vector<std::uint8_t> bytes;
  };
  class Io;

  // What the session's kind settles before the command table: a bare format, a request the
  // session does not take. None: the command runs as in every session.
  std::optional<FsOutcome> ServeByEntry(Io& io, FsEntry entry, std::uint8_t code);
  FsOutcome RunCommand(Io& io, std::uint8_t code);

  FsOutcome Format(Io& io);
  FsOutcome Mount(Io& io);
  FsOutcome WriteChecksum(Io& io);
  FsOutcome SetTime(Io& io);
  FsOutcome CreateDir(Io& io);
  FsOutcome Version(Io& io);
  FsOutcome ReleaseVersion(Io& io, bool withVersion);
  FsOutcome AddFile(Io& io);
  FsOutcome AddData(Io& io);
  FsOutcome Complete(Io& io);
  FsOutcome Unmount(Io& io);
  FsOutcome ReadDir(Io& io);
  FsOutcome DeleteFile(Io& io);
  FsOutcome ReadFile(Io& io);
  FsOutcome ReadData(Io& io);
  FsOutcome FileStatus(Io& io);

  // Sends a reply byte, applying a pending fault of `step`.
  FsOutcome Reply(Io& io, FsFaultStep step, std::uint8_t normal);
  FsOutcome Apply(Io& io, FsFaultStep step, std::uint8_t normal,
                  const std::optional<FsFault>& fault);
  std::optional<FsFault> TakeFault(FsFaultStep step);
  // Answers 0xEF, this phone's refusal. Like a spoiled reply, it ends a USB download session:
  // the PC's operation stops at it.
  FsOutcome Refuse(Io& io, const char* where);
  // TFS_FORMAT_FAIL and the report: `function`, then `error` big-endian.
  FsOutcome ReportFormatError(Io& io, std::uint8_t function, std::uint32_t error);
  FsOutcome OutOfOrder(Io& io, const char* what);
  // Reads a name record (two length bytes and the name with its zero); the path comes back
  // normalised and `record` holds every byte read, for the echo sum.
  FsOutcome ReadName(Io& io, std::string& path, std::vector<std::uint8_t>& record);
  [[nodiscard]] bool Mounted() const { return step_ != Step::Unmounted; }

  std::shared_ptr<TfsModel> model_;
  std::mutex faultMutex_;
  std::vector<FsFault> faults_;
  std::map<FsFaultStep, std::uint32_t> reached_;  // phone thread only

  // Phone thread only.
  Step step_ = Step::Unmounted;
  std::optional<OpenFile> writing_;
  std::optional<std::string> reading_;  // the file TFS_READ_FILE chose
  bool replyFaulted_ = false;           // the current command's reply was spoiled or withheld
};

// Normalises a name from the wire into an absolute path: a leading "/" added, trailing ones
// dropped (the root stays "/").
[[nodiscard]] std::string TfsPath(std::string_view name);

}  // namespace veska::sim
