#include "sim/FileSystemServiceTfs.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "link/BlockSum.h"
#include "sim/ByteOrder.h"
#include "sim/Exchange.h"
#include "sim/FileSystemServiceCodes.h"
#include "sim/TextForms.h"

namespace veska::sim {

namespace {

// After a chunk, how long further bytes may take to show that the PC sent more than the chunk.
// The PC writes a chunk in one go and then waits for the reply, so anything behind it is
// already on the line: the phone looks without waiting. A wait here would be paid after every
// chunk and show as a slower line than the PC's; bytes that come later still break the next
// exchange.
constexpr auto kOverrunGrace = std::chrono::milliseconds(0);

constexpr Named<FsFaultStep> kStepNames[] = {
    {FsFaultStep::Format, "format"},       {FsFaultStep::Mount, "mount"},
    {FsFaultStep::Checksum, "checksum"},   {FsFaultStep::Time, "time"},
    {FsFaultStep::DirEcho, "dir"},         {FsFaultStep::DirCreated, "dir-created"},
    {FsFaultStep::Version, "version"},     {FsFaultStep::Release, "release"},
    {FsFaultStep::FileEcho, "file"},       {FsFaultStep::Chunk, "chunk"},
    {FsFaultStep::FileWritten, "written"}, {FsFaultStep::Complete, "complete"},
    {FsFaultStep::Unmount, "unmount"},     {FsFaultStep::DumpChunk, "dump-chunk"},
    {FsFaultStep::DirEnd, "dir-end"},      {FsFaultStep::Delete, "delete"},
    {FsFaultStep::ReadFile, "read-file"},  {FsFaultStep::Status, "status"},
};

constexpr Named<FsFaultKind> kKindNames[] = {
    {FsFaultKind::Silence, "silence"},
    {FsFaultKind::WrongSum, "sum"},
    {FsFaultKind::WrongByte, "wrong"},
    {FsFaultKind::FormatError, "error"},
};

const char* FsFaultKindName(FsFaultKind kind) {
  return NameOf(kKindNames, kind);
}

std::string Hex(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

std::string Printable(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      text += static_cast<char>(b);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      text += hex;
    }
  }
  return text;
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

std::string LeafOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsDownloadOnly(std::uint8_t code) {
  switch (code) {
    case TFS_FORMAT:
    case TFS_WRITE_CHECKSUM:
    case TFS_SET_TIME:
    case TFS_CREATE_DIR:
    case TFS_VERSION:
    case TFS_RELEASE_VERSION:
    case TFS_NO_RELEASE_VERSION:
    case WRITE_COMPLETE_NAND:
      return true;
    default:
      return false;
  }
}

bool IsExplorerOnly(std::uint8_t code) {
  switch (code) {
    case TFS_READ_DIR:
    case TFS_DELETE_FILE:
    case TFS_READ_FILE:
    case TFS_READ_DATA:
    case TFS_FILE_STATUS:
      return true;
    default:
      return false;
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Faults

const char* FsFaultStepName(FsFaultStep step) {
  return NameOf(kStepNames, step);
}

std::optional<FsFault> ParseFsFault(std::string_view text) {
  const auto written = ParseFaultText(text, kKindNames, kStepNames);
  if (!written) return std::nullopt;
  FsFault fault;
  fault.kind = written->kind;
  fault.step = written->step;
  fault.index = written->index;
  fault.repeat = written->repeat;
  const std::string_view value = written->value;
  switch (fault.kind) {
    case FsFaultKind::Silence:
    case FsFaultKind::WrongSum:
      if (!value.empty()) return std::nullopt;
      break;
    case FsFaultKind::WrongByte: {
      auto byte = ParseNumber<std::uint8_t>(value);
      if (!byte) return std::nullopt;
      fault.value = *byte;
      break;
    }
    case FsFaultKind::FormatError: {
      const std::size_t colon = value.find(':');
      if (fault.step != FsFaultStep::Format || colon == std::string_view::npos) {
        return std::nullopt;
      }
      auto function = ParseNumber<std::uint8_t>(value.substr(0, colon), 16);
      auto error = ParseNumber<std::uint32_t>(value.substr(colon + 1), 16);
      if (!function || !error) return std::nullopt;
      fault.function = *function;
      fault.error = *error;
      break;
    }
  }
  return fault;
}

std::string TfsPath(std::string_view name) {
  std::string path(name);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path.front() != '/') path.insert(path.begin(), '/');
  return path;
}

// ---------------------------------------------------------------------------------------------
// The line as one command sees it

class FileSystemServiceTfs::Io {
 public:
  Io(FsEntry entry, FsContext& context) : entry_(entry), context_(context) {}

  [[nodiscard]] FsEntry Entry() const { return entry_; }

  FsOutcome Read(std::span<std::uint8_t> out, const char* where) {
    return OutcomeOf(
        ReadInExchange(context_.line, context_.events, context_.options.peerTimeout, out, where),
        FsOutcome::Continue, FsOutcome::PeerSilent);
  }

  FsOutcome Send(std::span<const std::uint8_t> bytes, const char* where) {
    return OutcomeOf(
        WriteInExchange(context_.line, context_.events, context_.options.peerTimeout, bytes, where),
        FsOutcome::Continue, FsOutcome::PeerSilent);
  }

  FsOutcome SendByte(std::uint8_t byte, const char* where) {
    return Send(std::span(&byte, 1), where);
  }

  // True when more input is already waiting.
  bool MorePending() { return context_.line.WaitInput(kOverrunGrace) == IoResult::Ok; }

  void Record(EventKind kind, std::uint8_t code, std::uint64_t address, std::uint64_t length,
              std::uint8_t sum, std::string detail) {
    context_.events.Add(Event{kind, code, address, length, sum, std::move(detail)});
  }
  void Command(std::uint8_t code, std::string detail, std::uint64_t length = 0,
               std::uint8_t sum = 0, std::uint64_t address = 0) {
    Record(EventKind::Command, code, address, length, sum, std::move(detail));
  }
  FsOutcome Violation(std::uint8_t code, std::string reason) {
    Record(EventKind::Violation, code, 0, 0, 0, std::move(reason));
    return FsOutcome::Violation;
  }

 private:
  FsEntry entry_;
  FsContext& context_;
};

// ---------------------------------------------------------------------------------------------
// Dispatch

FileSystemServiceTfs::FileSystemServiceTfs(std::shared_ptr<TfsModel> model,
                                           std::vector<FsFault> faults)
    : model_(std::move(model)), faults_(std::move(faults)) {}

void FileSystemServiceTfs::Reset() {
  step_ = Step::Unmounted;
  writing_.reset();
  reading_.reset();
}

void FileSystemServiceTfs::InjectFault(const FsFault& fault) {
  std::lock_guard lock(faultMutex_);
  faults_.push_back(fault);
}

FsOutcome FileSystemServiceTfs::Serve(FsEntry entry, std::uint8_t code, FsContext& context) {
  Io io(entry, context);
  replyFaulted_ = false;
  if (std::optional<FsOutcome> settled = ServeByEntry(io, entry, code)) return *settled;
  const FsOutcome outcome = RunCommand(io, code);
  // A download's PC ends its operation on a reply it did not expect, so the session ends with
  // it rather than reading the PC's next operation as frames.
  if (outcome == FsOutcome::Continue && replyFaulted_ && entry == FsEntry::UsbDownload) {
    return FsOutcome::SessionEnded;
  }
  return outcome;
}

std::optional<FsOutcome> FileSystemServiceTfs::ServeByEntry(Io& io, FsEntry entry,
                                                            std::uint8_t code) {
  switch (entry) {
    case FsEntry::UsbBareFormat:
      if (code != TFS_FORMAT) return io.Violation(code, "bare " + Hex(code) + " is no format");
      if (FsOutcome o = Format(io); o != FsOutcome::Continue) return o;
      return FsOutcome::SessionEnded;  // the Format button reads one reply and closes
    case FsEntry::UsbExplorer:
      if (code == TFS_FORMAT) {
        // An Explorer left without unmount, then the Format button: its bare byte.
        if (FsOutcome o = Format(io); o != FsOutcome::Continue) return o;
        return FsOutcome::SessionEnded;
      }
      if (IsDownloadOnly(code)) {
        return io.Violation(code, "unexpected byte " + Hex(code) +
                                      " in state Explorer session (not an Explorer request)");
      }
      break;
    case FsEntry::UsbDownload:
      if (IsExplorerOnly(code)) {
        return io.Violation(code, "unexpected byte " + Hex(code) +
                                      " in state download session (an Explorer request)");
      }
      break;
    case FsEntry::Uart:
      break;
  }
  return std::nullopt;
}

FsOutcome FileSystemServiceTfs::RunCommand(Io& io, std::uint8_t code) {
  switch (code) {
    case TFS_FORMAT:
      return Format(io);
    case TFS_MOUNT:
      return Mount(io);
    case TFS_WRITE_CHECKSUM:
      return WriteChecksum(io);
    case TFS_SET_TIME:
      return SetTime(io);
    case TFS_CREATE_DIR:
      return CreateDir(io);
    case TFS_VERSION:
      return Version(io);
    case TFS_RELEASE_VERSION:
      return ReleaseVersion(io, true);
    case TFS_NO_RELEASE_VERSION:
      return ReleaseVersion(io, false);
    case TFS_ADD_FILE:
      return AddFile(io);
    case TFS_ADD_DATA:
      return AddData(io);
    case WRITE_COMPLETE_NAND:
      return Complete(io);
    case TFS_UNMOUNT:
      return Unmount(io);
    case TFS_READ_DIR:
      return ReadDir(io);
    case TFS_DELETE_FILE:
      return DeleteFile(io);
    case TFS_READ_FILE:
      return ReadFile(io);
    case TFS_READ_DATA:
      return ReadData(io);
    case TFS_FILE_STATUS:
      return FileStatus(io);
    default:
      return io.Violation(code, "unexpected byte " + Hex(code) + " in state file-system command");
  }
}

// ---------------------------------------------------------------------------------------------
// Replies and faults

std::optional<FsFault> FileSystemServiceTfs::TakeFault(FsFaultStep step) {
  const std::uint32_t occurrence = reached_[step]++;
  std::lock_guard lock(faultMutex_);
  auto it = std::find_if(faults_.begin(), faults_.end(), [&](const FsFault& f) {
    return f.step == step && (!f.index || *f.index == occurrence);
  });
  if (it == faults_.end()) return std::nullopt;
  FsFault taken = *it;
  if (!taken.repeat) faults_.erase(it);
  return taken;
}

FsOutcome FileSystemServiceTfs::Reply(Io& io, FsFaultStep step, std::uint8_t normal) {
  return Apply(io, step, normal, TakeFault(step));
}

FsOutcome FileSystemServiceTfs::Apply(Io& io, FsFaultStep step, std::uint8_t normal,
                                      const std::optional<FsFault>& fault) {
  std::uint8_t reply = normal;
  if (fault) {
    io.Record(EventKind::FaultInjected, fault->value, 0, fault->index.value_or(0), 0,
              std::string(FsFaultKindName(fault->kind)) + "@" + FsFaultStepName(step));
    replyFaulted_ = true;
    switch (fault->kind) {
      case FsFaultKind::Silence:
        return FsOutcome::Continue;
      case FsFaultKind::WrongSum:
        reply = static_cast<std::uint8_t>(normal + 1);
        break;
      case FsFaultKind::WrongByte:
        reply = fault->value;
        break;
      case FsFaultKind::FormatError:  // meaningful at the format only, handled there
        break;
    }
  }
  return io.SendByte(reply, FsFaultStepName(step));
}

FsOutcome FileSystemServiceTfs::Refuse(Io& io, const char* where) {
  replyFaulted_ = true;
  return io.SendByte(TFS_REFUSED, where);
}

FsOutcome FileSystemServiceTfs::ReportFormatError(Io& io, std::uint8_t function,
                                                  std::uint32_t error) {
  std::array<std::uint8_t, 1 + TFS_FORMAT_REPORT_SIZE> report{TFS_FORMAT_FAIL, function};
  PutBe32(std::span(report).subspan(2), error);
  replyFaulted_ = true;
  return io.Send(report, "format error report");
}

FsOutcome FileSystemServiceTfs::OutOfOrder(Io& io, const char* what) {
  static constexpr const char* kStepText[] = {
      "unmounted",   "mounted",     "checksum marked", "time set", "directories created",
      "version set", "release set", "writing files",   "completed"};
  std::string where = kStepText[static_cast<int>(step_)];
  if (writing_) where += ", file " + writing_->path + " open";
  return io.Violation(0, std::string(what) + " out of order (file system " + where + ")");
}

FsOutcome FileSystemServiceTfs::ReadName(Io& io, std::string& path,
                                         std::vector<std::uint8_t>& record) {
  std::array<std::uint8_t, 2> length{};
  if (FsOutcome o = io.Read(length, "name length"); o != FsOutcome::Continue) return o;
  const std::size_t n = std::size_t{length[0]} << 8 | length[1];
  // The length comes from the PC: never read more than the phone's name buffer holds.
  if (n == 0 || n > TFS_MAX_NAME) {
    return io.Violation(length[0], "name record of " + std::to_string(n) + " bytes refused");
  }
  record.assign(length.begin(), length.end());
  record.resize(2 + n);
  if (FsOutcome o = io.Read(std::span(record).subspan(2), "name"); o != FsOutcome::Continue) {
    return o;
  }
  const auto name = std::span<const std::uint8_t>(record).subspan(2);
  if (name.back() != 0 || std::find(name.begin(), name.end() - 1, 0) != name.end() - 1) {
    return io.Violation(0, "name \"" + Printable(name) + "\" without a single terminating zero");
  }
  path = TfsPath(std::string(name.begin(), name.end() - 1));
  return FsOutcome::Continue;
}

// ---------------------------------------------------------------------------------------------
// The file-system download

FsOutcome FileSystemServiceTfs::Format(Io& io) {
  Reset();
  auto fault = TakeFault(FsFaultStep::Format);
  if (fault && fault->kind == FsFaultKind::FormatError) {
    io.Record(EventKind::FaultInjected, fault->function, 0, fault->error, 0, "error@format");
    char detail[64];
    std::snprintf(detail, sizeof detail, "TFS_FORMAT failed: function 0x%02X error 0x%08X",
                  fault->function, fault->error);
    io.Command(TFS_FORMAT, detail);
    return ReportFormatError(io, fault->function, fault->error);
  }
  model_->Change([](TfsContents& c) {
    c = TfsContents{};
    c.formatted = true;
    c.directories.insert("/");
  });
  if (!model_->Save()) {
    io.Command(TFS_FORMAT, "TFS_FORMAT failed: the file system cannot be stored");
    return ReportFormatError(io, 0, 0);
  }
  io.Command(TFS_FORMAT, "TFS_FORMAT");
  return Apply(io, FsFaultStep::Format, TFS_FORMAT_OK, fault);
}

FsOutcome FileSystemServiceTfs::Mount(Io& io) {
  Reset();
  // What the flash holds now counts: an erase or an image write may have replaced it.
  model_->Reload();
  const bool formatted = model_->Change([](TfsContents& c) { return c.formatted; });
  if (!formatted) {
    io.Command(TFS_MOUNT, "TFS_MOUNT refused: no file system");
    return Refuse(io, "mount refusal");
  }
  step_ = Step::Mounted;
  io.Command(TFS_MOUNT, "TFS_MOUNT");
  return Reply(io, FsFaultStep::Mount, TFS_MOUNT);
}

FsOutcome FileSystemServiceTfs::WriteChecksum(Io& io) {
  if (step_ != Step::Mounted || writing_) return OutOfOrder(io, "TFS_WRITE_CHECKSUM");
  model_->Change([](TfsContents& c) { c.checksumMarked = true; });
  step_ = Step::Checksummed;
  io.Command(TFS_WRITE_CHECKSUM, "TFS_WRITE_CHECKSUM");
  return Reply(io, FsFaultStep::Checksum, TFS_WRITE_CHECKSUM);
}

FsOutcome FileSystemServiceTfs::SetTime(Io& io) {
  if (step_ != Step::Checksummed) return OutOfOrder(io, "TFS_SET_TIME");
  std::array<std::uint8_t, TFS_TIME_RECORD_SIZE> record{};
  if (FsOutcome o = io.Read(record, "time record"); o != FsOutcome::Continue) return o;
  TfsTime t;
  std::uint32_t* fields[] = {&t.seconds, &t.minutes, &t.hours, &t.day, &t.month, &t.year};
  for (std::size_t i = 0; i < 6; ++i) {
    *fields[i] = GetLe32(std::span<const std::uint8_t>(record).subspan(4 * i, 4));
  }
  model_->Change([&](TfsContents& c) { c.time = t; });
  step_ = Step::TimeSet;
  const std::uint8_t sum = link::blockSum(record);
  char detail[112];
  std::snprintf(detail, sizeof detail, "TFS_SET_TIME %04u-%02u-%02u %02u:%02u:%02u", t.year,
                t.month, t.day, t.hours, t.minutes, t.seconds);
  io.Command(TFS_SET_TIME, detail, record.size(), sum);
  return Reply(io, FsFaultStep::Time, sum);
}

FsOutcome FileSystemServiceTfs::CreateDir(Io& io) {
  if (step_ != Step::TimeSet && step_ != Step::DirsCreated) {
    return OutOfOrder(io, "TFS_CREATE_DIR");
  }
  std::string path;
  std::vector<std::uint8_t> record;
  if (FsOutcome o = ReadName(io, path, record); o != FsOutcome::Continue) return o;
  const std::uint8_t sum = link::blockSum(record);
  io.Command(TFS_CREATE_DIR, "TFS_CREATE_DIR " + path, record.size() - 2, sum);
  if (FsOutcome o = Reply(io, FsFaultStep::DirEcho, sum); o != FsOutcome::Continue) return o;
  const bool isFile = model_->Change([&](TfsContents& c) {
    if (c.files.count(path) != 0) return true;
    c.directories.insert(path);
    return false;
  });
  if (isFile) {
    return Refuse(io, "directory refusal");
  }
  step_ = Step::DirsCreated;
  return Reply(io, FsFaultStep::DirCreated, TFS_DIR_CREATED);
}

FsOutcome FileSystemServiceTfs::Version(Io& io) {
  // The directories come first; a listing may have none, so the time record also does.
  if (step_ != Step::DirsCreated && step_ != Step::TimeSet) return OutOfOrder(io, "TFS_VERSION");
  std::array<std::uint8_t, TFS_VERSION_SIZE> version{};
  if (FsOutcome o = io.Read(version, "version field"); o != FsOutcome::Continue) return o;
  model_->Change([&](TfsContents& c) { c.version = version; });
  step_ = Step::VersionSet;
  io.Command(TFS_VERSION, "TFS_VERSION " + Printable(version), version.size(),
             link::blockSum(version));
  return Reply(io, FsFaultStep::Version, TFS_VERSION_OK);
}

FsOutcome FileSystemServiceTfs::ReleaseVersion(Io& io, bool withVersion) {
  if (step_ != Step::VersionSet) {
    return OutOfOrder(io, withVersion ? "TFS_RELEASE_VERSION" : "TFS_NO_RELEASE_VERSION");
  }
  std::optional<std::array<std::uint8_t, TFS_RELEASE_VERSION_SIZE>> release;
  if (withVersion) {
    release.emplace();
    if (FsOutcome o = io.Read(*release, "release field"); o != FsOutcome::Continue) return o;
    io.Command(TFS_RELEASE_VERSION, "TFS_RELEASE_VERSION " + Printable(*release), release->size(),
               link::blockSum(*release));
  } else {
    io.Command(TFS_NO_RELEASE_VERSION, "TFS_NO_RELEASE_VERSION");
  }
  model_->Change([&](TfsContents& c) {
    c.releaseVersion = release;
    c.releaseRecorded = true;
  });
  step_ = Step::ReleaseSet;
  return Reply(io, FsFaultStep::Release, TFS_VERSION_OK);
}

FsOutcome FileSystemServiceTfs::AddFile(Io& io) {
  // The download adds files after its release record; the Explorer whenever it is mounted.
  if (writing_ || (step_ != Step::Mounted && step_ != Step::ReleaseSet && step_ != Step::Files)) {
    return OutOfOrder(io, "TFS_ADD_FILE");
  }
  std::string path;
  std::vector<std::uint8_t> record;
  if (FsOutcome o = ReadName(io, path, record); o != FsOutcome::Continue) return o;
  std::array<std::uint8_t, 4> sizeBytes{};
  if (FsOutcome o = io.Read(sizeBytes, "file size"); o != FsOutcome::Continue) return o;
  record.insert(record.end(), sizeBytes.begin(), sizeBytes.end());
  const std::uint32_t size = GetBe32(sizeBytes);
  const std::uint8_t sum = link::blockSum(record);

  // The size comes from the PC: refuse what the file system cannot hold before taking a byte.
  const bool fits = model_->Change([&](TfsContents& c) {
    auto old = c.files.find(path);
    const std::uint64_t freed = old == c.files.end() ? 0 : old->second.bytes.size();
    return c.directories.count(path) == 0 &&
           StoredSize(c) - freed + 16 + path.size() + size <= TfsModel::CAPACITY;
  });
  if (!fits) {
    io.Command(TFS_ADD_FILE, "TFS_ADD_FILE " + path + " refused: no room", size, sum);
    return Refuse(io, "file refusal");
  }
  io.Command(TFS_ADD_FILE, "TFS_ADD_FILE " + path, size, sum);
  writing_ = OpenFile{path, size, {}};
  // Room for what is announced, but never more than 8 MiB before any of it has come.
  writing_->bytes.reserve(std::min<std::size_t>(size, 1024 * TFS_CHUNK_SIZE));
  if (step_ != Step::Mounted) step_ = Step::Files;
  return Reply(io, FsFaultStep::FileEcho, sum);
}

FsOutcome FileSystemServiceTfs::AddData(Io& io) {
  if (!writing_) return OutOfOrder(io, "TFS_ADD_DATA");
  OpenFile& file = *writing_;
  const std::size_t offset = file.bytes.size();
  const std::size_t n = std::min<std::size_t>(TFS_CHUNK_SIZE, file.size - offset);
  std::vector<std::uint8_t> chunk(n);
  if (n > 0) {
    // The first byte apart: a PC that sends nothing has gone, one that stops short is wrong.
    if (FsOutcome o = io.Read(std::span(chunk).first(1), "file data"); o != FsOutcome::Continue) {
      return o;
    }
    if (FsOutcome o = io.Read(std::span(chunk).subspan(1), "rest of a chunk");
        o != FsOutcome::Continue) {
      if (o != FsOutcome::PeerSilent) return o;
      return io.Violation(TFS_ADD_DATA, "chunk of " + file.path + " at " + std::to_string(offset) +
                                            " shorter than " + std::to_string(n) + " bytes");
    }
  }
  if (io.MorePending()) {
    return io.Violation(TFS_ADD_DATA, "chunk of " + file.path + " at " + std::to_string(offset) +
                                          " longer than " + std::to_string(n) + " bytes");
  }
  const std::uint8_t sum = link::blockSum(chunk);
  file.bytes.insert(file.bytes.end(), chunk.begin(), chunk.end());
  io.Command(TFS_ADD_DATA, "TFS_ADD_DATA " + file.path, n, sum, offset);
  // A full chunk is echoed; a shorter one (an empty one too) is the file's last.
  if (n == TFS_CHUNK_SIZE) return Reply(io, FsFaultStep::Chunk, sum);

  OpenFile done = std::move(*writing_);
  writing_.reset();
  const std::uint32_t size = done.size;
  const std::string path = done.path;
  model_->Change([&](TfsContents& c) {
    TfsFile& f = c.files[path];
    f.bytes = std::move(done.bytes);
    f.inode = c.nextInode++;
    f.modified = c.time ? DosDateTime(*c.time) : 0;
  });
  // The Explorer's additions are committed at once; the download's at its completion.
  if (step_ == Step::Mounted && !model_->Save()) {
    model_->Change([&](TfsContents& c) { c.files.erase(path); });
    io.Command(TFS_FILE_WRITTEN, "TFS_FILE_WRITTEN " + path + " failed: not stored", size);
    return Refuse(io, "write refusal");
  }
  io.Command(TFS_FILE_WRITTEN, "TFS_FILE_WRITTEN " + path, size);
  return Reply(io, FsFaultStep::FileWritten, TFS_FILE_WRITTEN);
}

FsOutcome FileSystemServiceTfs::Complete(Io& io) {
  if (step_ != Step::Files || writing_) return OutOfOrder(io, "WRITE_COMPLETE_NAND");
  model_->Change([](TfsContents& c) { c.complete = true; });
  if (!model_->Save()) {
    io.Command(WRITE_COMPLETE_NAND, "WRITE_COMPLETE_NAND failed: not stored");
    return Refuse(io, "completion refusal");
  }
  step_ = Step::Completed;
  io.Command(WRITE_COMPLETE_NAND, "WRITE_COMPLETE_NAND");
  return Reply(io, FsFaultStep::Complete, WRITE_COMPLETE_NAND);
}

FsOutcome FileSystemServiceTfs::Unmount(Io& io) {
  if (!Mounted()) {
    // The Explorer closes with an unmount even when its mount failed; it does not judge the
    // answer, and there is nothing to unmount.
    io.Command(TFS_UNMOUNT, "TFS_UNMOUNT while not mounted");
    if (FsOutcome o = Refuse(io, "unmount refusal"); o != FsOutcome::Continue) {
      return o;
    }
    return FsOutcome::SessionEnded;
  }
  std::string detail = "TFS_UNMOUNT";
  if (writing_) detail += " (unfinished " + writing_->path + " dropped)";
  // The download commits at its completion and the Explorer at every change; only a download
  // unmounted before its completion still has something to write.
  const bool uncommitted = step_ != Step::Mounted && step_ != Step::Completed;
  Reset();
  if (uncommitted) (void)model_->Save();
  io.Command(TFS_UNMOUNT, detail);
  if (FsOutcome o = Reply(io, FsFaultStep::Unmount, TFS_UNMOUNT); o != FsOutcome::Continue) {
    return o;
  }
  return FsOutcome::SessionEnded;
}

// ---------------------------------------------------------------------------------------------
// The Explorer's requests

FsOutcome FileSystemServiceTfs::ReadDir(Io& io) {
  if (!Mounted() || writing_) return OutOfOrder(io, "TFS_READ_DIR");
  std::uint8_t length = 0;
  if (FsOutcome o = io.Read(std::span(&length, 1), "path length"); o != FsOutcome::Continue) {
    return o;
  }
  if (length == 0) return io.Violation(TFS_READ_DIR, "directory request with an empty path");
  std::vector<std::uint8_t> raw(length);
  if (FsOutcome o = io.Read(raw, "directory path"); o != FsOutcome::Continue) return o;
  // The root comes as "/" alone, other paths with their terminating zero.
  if (raw.back() == 0) raw.pop_back();
  const std::string path = TfsPath(std::string(raw.begin(), raw.end()));

  struct Entry {
    std::uint8_t type;
    std::string name;
  };
  std::vector<Entry> entries;
  const bool exists = model_->Change([&](const TfsContents& c) {
    if (c.directories.count(path) == 0) return false;
    // "." and ".." come first, as on the phone, so even an empty directory has entries.
    entries.push_back({TFS_ENTRY_DIR, "."});
    entries.push_back({TFS_ENTRY_DIR, ".."});
    for (const auto& dir : c.directories) {
      if (dir != "/" && ParentOf(dir) == path) entries.push_back({TFS_ENTRY_DIR, LeafOf(dir)});
    }
    for (const auto& [file, contents] : c.files) {
      if (ParentOf(file) == path) entries.push_back({TFS_ENTRY_FILE, LeafOf(file)});
    }
    return true;
  });
  io.Command(TFS_READ_DIR, "TFS_READ_DIR " + path, exists ? entries.size() : 0);
  // An error entry is its length byte 0 and the error type alone: the PC stops reading at it.
  const std::array<std::uint8_t, 2> error{0, TFS_DIR_ERROR};
  if (!exists) return io.Send(error, "directory error");

  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    // The entry's length byte counts the name and its zero.
    if (e.name.size() + 1 > 0xFF) return io.Send(error, "directory error");
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(e.name.size() + 1), e.type};
    bytes.insert(bytes.end(), e.name.begin(), e.name.end());
    bytes.push_back(0);
    if (FsOutcome o = io.Send(bytes, "directory entry"); o != FsOutcome::Continue) return o;
    std::uint8_t echo = 0;
    if (FsOutcome o = io.Read(std::span(&echo, 1), "entry acknowledgement");
        o != FsOutcome::Continue) {
      return o;
    }
    if (echo != e.type) {
      return io.Violation(echo, "entry " + e.name + " of type " + std::to_string(e.type) +
                                    " acknowledged with " + std::to_string(echo));
    }
    if (i + 1 == entries.size()) return Reply(io, FsFaultStep::DirEnd, TFS_DIR_END);
    if (FsOutcome o = io.SendByte(TFS_DIR_NEXT, "directory continuation");
        o != FsOutcome::Continue) {
      return o;
    }
  }
  return FsOutcome::Continue;
}

FsOutcome FileSystemServiceTfs::DeleteFile(Io& io) {
  if (!Mounted() || writing_) return OutOfOrder(io, "TFS_DELETE_FILE");
  std::string path;
  std::vector<std::uint8_t> record;
  if (FsOutcome o = ReadName(io, path, record); o != FsOutcome::Continue) return o;
  const bool erased = model_->Change([&](TfsContents& c) { return c.files.erase(path) != 0; });
  if (erased) (void)model_->Save();
  io.Command(TFS_DELETE_FILE, "TFS_DELETE_FILE " + path + (erased ? "" : " refused: no such file"));
  if (!erased) return Refuse(io, "delete reply");
  return Reply(io, FsFaultStep::Delete, TFS_DELETE_FILE);
}

FsOutcome FileSystemServiceTfs::ReadFile(Io& io) {
  if (!Mounted() || writing_) return OutOfOrder(io, "TFS_READ_FILE");
  std::string path;
  std::vector<std::uint8_t> record;
  if (FsOutcome o = ReadName(io, path, record); o != FsOutcome::Continue) return o;
  std::optional<std::uint32_t> size = model_->Change([&](const TfsContents& c) {
    auto it = c.files.find(path);
    return it == c.files.end() ? std::nullopt
                               : std::optional(static_cast<std::uint32_t>(it->second.bytes.size()));
  });
  reading_.reset();
  if (!size) {
    io.Command(TFS_READ_FILE, "TFS_READ_FILE " + path + " refused: no such file");
    return Refuse(io, "read refusal");
  }
  io.Command(TFS_READ_FILE, "TFS_READ_FILE " + path, *size);
  // A spoiled answer is the whole answer: the PC stops at it and asks for no data.
  if (auto fault = TakeFault(FsFaultStep::ReadFile)) {
    return Apply(io, FsFaultStep::ReadFile, TFS_FILE_SIZE, fault);
  }
  reading_ = path;
  std::array<std::uint8_t, 5> reply{TFS_FILE_SIZE};
  PutBe32(std::span(reply).subspan(1), *size);
  return io.Send(reply, "file size");
}

FsOutcome FileSystemServiceTfs::ReadData(Io& io) {
  if (!Mounted() || writing_ || !reading_) return OutOfOrder(io, "TFS_READ_DATA");
  const std::string path = *std::exchange(reading_, std::nullopt);
  std::vector<std::uint8_t> bytes = model_->Change([&](const TfsContents& c) {
    auto it = c.files.find(path);
    return it == c.files.end() ? std::vector<std::uint8_t>{} : it->second.bytes;
  });
  io.Command(TFS_READ_DATA, "TFS_READ_DATA " + path, bytes.size());
  auto answer = [&](std::uint8_t& byte) { return io.Read(std::span(&byte, 1), "data answer"); };
  if (bytes.empty()) {
    if (FsOutcome o = io.SendByte(TFS_EMPTY_FILE, "empty file"); o != FsOutcome::Continue) {
      return o;
    }
    std::uint8_t byte = 0;
    if (FsOutcome o = answer(byte); o != FsOutcome::Continue) return o;
    if (byte != TFS_DATA_ACK)
      return io.Violation(byte, "empty file answered with " + std::to_string(byte));
    return FsOutcome::Continue;
  }
  for (std::size_t offset = 0; offset < bytes.size();) {
    const std::size_t n = std::min(TFS_CHUNK_SIZE, bytes.size() - offset);
    std::vector<std::uint8_t> chunk(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(offset + n));
    const std::uint8_t sum = link::blockSum(chunk);
    chunk.push_back(sum);
    if (auto fault = TakeFault(FsFaultStep::DumpChunk)) {
      io.Record(EventKind::FaultInjected, fault->value, 0, fault->index.value_or(0), 0,
                std::string(FsFaultKindName(fault->kind)) + "@dump-chunk");
      if (fault->kind == FsFaultKind::Silence) return FsOutcome::Continue;
      chunk.back() =
          fault->kind == FsFaultKind::WrongByte ? fault->value : static_cast<std::uint8_t>(sum + 1);
    }
    if (FsOutcome o = io.Send(chunk, "file chunk"); o != FsOutcome::Continue) return o;
    std::uint8_t byte = 0;
    if (FsOutcome o = answer(byte); o != FsOutcome::Continue) return o;
    io.Command(byte, "TFS_READ_DATA chunk of " + path, n, chunk.back(), offset);
    if (byte == TFS_DATA_NAK) return FsOutcome::Continue;  // the PC ends the dump
    if (byte != TFS_DATA_ACK) {
      return io.Violation(byte, "chunk of " + path + " answered with " + std::to_string(byte));
    }
    offset += n;
  }
  return FsOutcome::Continue;
}

FsOutcome FileSystemServiceTfs::FileStatus(Io& io) {
  if (!Mounted() || writing_) return OutOfOrder(io, "TFS_FILE_STATUS");
  std::string path;
  std::vector<std::uint8_t> record;
  if (FsOutcome o = ReadName(io, path, record); o != FsOutcome::Continue) return o;
  std::optional<TfsFile> file = model_->Change([&](const TfsContents& c) {
    auto it = c.files.find(path);
    return it == c.files.end() ? std::nullopt : std::optional(it->second);
  });
  if (!file) {
    io.Command(TFS_FILE_STATUS, "TFS_FILE_STATUS " + path + " refused: no such file");
    return Refuse(io, "status refusal");
  }
  io.Command(TFS_FILE_STATUS, "TFS_FILE_STATUS " + path, file->bytes.size());
  if (auto fault = TakeFault(FsFaultStep::Status)) {
    return Apply(io, FsFaultStep::Status, TFS_STATUS_DATA, fault);
  }
  constexpr std::uint32_t kRegularFile = 0x81A4;  // a regular file, rw-r--r--
  std::array<std::uint8_t, 1 + TFS_STATUS_SIZE> reply{TFS_STATUS_DATA};
  auto status = std::span(reply).subspan(1);
  PutBe32(status.subspan(0, 4), kRegularFile);
  PutBe32(status.subspan(4, 4), file->inode);
  // Device id and dummy entry (8 ... 11) stay zero.
  PutBe32(status.subspan(12, 4), static_cast<std::uint32_t>(file->bytes.size()));
  PutBe32(status.subspan(16, 4), file->modified >> 16);  // the access date alone
  PutBe32(status.subspan(20, 4), file->modified);
  PutBe32(status.subspan(24, 4), file->modified);
  return io.Send(reply, "file status");
}

}  // namespace veska::sim
