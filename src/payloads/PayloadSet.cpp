#include "payloads/PayloadSet.h"

#if defined(_WIN32)
#include <windows.h>
// After windows.h, which they need.
#include <knownfolders.h>
#include <objbase.h>
#include <shlobj.h>
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "link/AsciiCase.h"

namespace veska::payloads {

namespace standin {
extern const std::uint8_t kPreloaderStage1[2656 + 8];
extern const std::uint8_t kPreloaderStage2[2780 + 8];
extern const std::uint8_t kNandFlashDriver[188112 + 8];
extern const std::uint8_t kBootloaderDriver[41052 + 8];
}  // namespace standin

namespace {

// The stored form: a little-endian byte count and a zero word before the bytes.
std::span<const std::uint8_t> Unwrap(std::span<const std::uint8_t> stored) {
  if (stored.size() < 8) return {};
  const std::uint32_t count = std::uint32_t{stored[0]} | std::uint32_t{stored[1]} << 8 |
                              std::uint32_t{stored[2]} << 16 | std::uint32_t{stored[3]} << 24;
  if (count != stored.size() - 8) return {};
  return stored.subspan(8);
}

// A path's name as the program shows it: UTF-8 (on Windows not the ANSI code page's form).
std::string Shown(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
}

// A file in `folder` whose name is `name` in other letter case, or "" when there is none.
std::filesystem::path NameInOtherCase(const std::filesystem::path& folder, std::string_view name) {
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string found = Shown(it->path().filename());
    if (found != name && link::SameIgnoringAsciiCase(found, name)) return it->path();
  }
  return {};
}

// Reads a payload candidate: only a regular file is opened for its bytes (a FIFO would block
// the program, a device would never end), and a file of the wrong size is not read at all.
// Returns "" with the bytes, else what is wrong with the file.
std::string ReadPayloadFile(const std::filesystem::path& path, const PayloadSpec& spec,
                            std::vector<std::uint8_t>& bytes) {
#if defined(_WIN32)
  // Binary mode, or the bytes would be read with their line ends translated.
  const int fd = ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY);
#else
  // Non-blocking, so that a FIFO put there between a look and the open cannot block either.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
#endif
  if (fd < 0) return errno == ENOENT ? "is a link to a missing file" : "cannot be read";
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat info {};
  if (::fstat(fd, &info) != 0) return "cannot be read";
  if (!S_ISREG(info.st_mode)) return "is not a regular file";
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size != spec.size) {
    return "holds " + std::to_string(size) + " bytes where " + std::to_string(spec.size) +
           " are expected";
  }
  bytes.resize(spec.size);
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  // Shortened since it was measured: the bytes read are judged by their count.
  bytes.resize(got);
  return PayloadSet::Check(spec, bytes);
}

}  // namespace

std::span<const std::uint8_t> StandIn(PayloadId id) {
  switch (id) {
    case PayloadId::PreloaderStage1:
      return Unwrap(standin::kPreloaderStage1);
    case PayloadId::PreloaderStage2:
      return Unwrap(standin::kPreloaderStage2);
    case PayloadId::NandFlashDriver:
      return Unwrap(standin::kNandFlashDriver);
    case PayloadId::BootloaderDriver:
      return Unwrap(standin::kBootloaderDriver);
  }
  return {};
}

PayloadSet::PayloadSet() = default;

#if defined(_WIN32)

std::filesystem::path DefaultPayloadFolder() {
  // The module's own path, as UTF-16: the folder may hold characters outside the ANSI code page.
  std::wstring self(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
    if (length == 0) {
      std::error_code ec;
      return std::filesystem::current_path(ec) / "payloads";
    }
    if (length < self.size()) {
      self.resize(length);
      break;
    }
    if (self.size() >= 32768) return std::filesystem::path(L"payloads");
    self.resize(self.size() * 2);
  }
  return std::filesystem::path(self).parent_path() / "payloads";
}

#else

std::filesystem::path DefaultPayloadFolder() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (ec ? std::filesystem::current_path(ec) : self.parent_path()) / "payloads";
}

#endif

#if defined(_WIN32)

namespace {

// The folder the shell hands back, freed as the shell asks.
struct ShellString {
  PWSTR text = nullptr;
  ShellString() = default;
  ShellString(const ShellString&) = delete;
  ShellString& operator=(const ShellString&) = delete;
  ~ShellString() { CoTaskMemFree(text); }
};

// The machine-wide application data folder (C:\ProgramData), as UTF-16: its name may hold
// characters outside the ANSI code page. The environment's ProgramData when the shell cannot
// say; empty when neither can.
std::filesystem::path ProgramDataFolder() {
  ShellString known;
  if (SUCCEEDED(
          SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DEFAULT, nullptr, &known.text)) &&
      known.text != nullptr && known.text[0] != L'\0') {
    return std::filesystem::path(known.text);
  }
  std::wstring value(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableW(L"ProgramData", value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) return {};
    // Too small: the length asked for counts the ending zero.
    if (length >= value.size()) {
      if (length > 32768) return {};
      value.resize(length);
      continue;
    }
    value.resize(length);
    return std::filesystem::path(value);
  }
}

}  // namespace

std::filesystem::path SystemPayloadFolder() {
  std::filesystem::path data = ProgramDataFolder();
  if (data.empty()) return {};
  return data / L"VeskaDownloader" / L"payloads";
}

#else

std::filesystem::path SystemPayloadFolder() {
#if defined(VESKA_SYSTEM_PAYLOAD_DIR)
  return std::filesystem::path(VESKA_SYSTEM_PAYLOAD_DIR);
#else
  return {};
#endif
}

#endif

std::vector<std::filesystem::path> PayloadFolders() {
  std::vector<std::filesystem::path> folders{DefaultPayloadFolder()};
  if (std::filesystem::path system = SystemPayloadFolder(); !system.empty()) {
    folders.push_back(std::move(system));
  }
  return folders;
}

std::string DescribeFolders(std::span<const std::filesystem::path> folders) {
  std::string text = "Loader folders: ";
  const char* separator = "";
  for (const std::filesystem::path& folder : folders) {
    if (folder.empty()) continue;
    text.append(separator).append(Shown(folder));
    separator = ", then ";
  }
  if (*separator == '\0') text.append("none");
  return text;
}

std::string PayloadSet::Check(const PayloadSpec& spec, std::span<const std::uint8_t> bytes) {
  if (bytes.size() != spec.size) {
    return "holds " + std::to_string(bytes.size()) + " bytes where " + std::to_string(spec.size) +
           " are expected";
  }
  const std::uint32_t count = std::uint32_t{bytes[4]} << 24 | std::uint32_t{bytes[5]} << 16 |
                              std::uint32_t{bytes[6]} << 8 | std::uint32_t{bytes[7]};
  if (!std::equal(spec.headerWord.begin(), spec.headerWord.end(), bytes.begin()) ||
      count != spec.headerCount) {
    return "does not begin with the header of " + std::string(spec.name);
  }
  return "";
}

PayloadSet PayloadSet::Load(const std::filesystem::path& folder) {
  return Load(std::span(&folder, 1));
}

PayloadSet PayloadSet::Load(std::span<const std::filesystem::path> folders) {
  PayloadSet set;
  set.folders_.assign(folders.begin(), folders.end());
  for (const auto& spec : kPayloadTable) {
    const std::string name = std::string(spec.name) + ".bin";
    std::filesystem::path path;
    std::string problem;
    std::vector<std::uint8_t> bytes;
    for (const std::filesystem::path& folder : folders) {
      if (folder.empty()) continue;
      std::error_code ec;
      // A link counts as present even when what it names is gone: the technician meant a file.
      if (std::filesystem::exists(std::filesystem::symlink_status(folder / name, ec))) {
        path = folder / name;
        problem = ReadPayloadFile(path, spec, bytes);
        break;
      }
      if (auto other = NameInOtherCase(folder, name); !other.empty()) {
        path = std::move(other);
        problem = "is not named " + name + " (the case of its letters differs)";
        break;
      }
    }
    if (path.empty()) continue;
    Entry& entry = set.entries_[static_cast<std::size_t>(spec.id)];
    entry.path = path;
    if (!problem.empty()) {
      entry.source = PayloadSource::Refused;
      set.problems_.push_back("Loader file " + Shown(path) + " " + problem +
                              "; it will not be sent.");
      continue;
    }
    entry.source = PayloadSource::RealFile;
    entry.fileBytes = std::move(bytes);
  }
  return set;
}

std::span<const std::uint8_t> PayloadSet::Bytes(PayloadId id) const {
  const Entry& entry = entries_[static_cast<std::size_t>(id)];
  switch (entry.source) {
    case PayloadSource::StandIn:
      return StandIn(id);
    case PayloadSource::RealFile:
      return entry.fileBytes;
    case PayloadSource::Refused:
      return {};
  }
  return {};
}

PayloadSource PayloadSet::Source(PayloadId id) const {
  return entries_[static_cast<std::size_t>(id)].source;
}

std::string PayloadSet::Describe() const {
  std::size_t real = 0, refused = 0;
  for (const Entry& e : entries_) {
    real += e.source == PayloadSource::RealFile;
    refused += e.source == PayloadSource::Refused;
  }
  std::string text;
  if (real == 0 && refused == 0) {
    text = "Loader payloads: built-in stand-ins (not real target programs)";
  } else if (real == entries_.size() &&
             std::all_of(entries_.begin(), entries_.end(), [this](const Entry& e) {
               return e.path.parent_path() == entries_[0].path.parent_path();
             })) {
    text = "Loader payloads: real target programs from " + Shown(entries_[0].path.parent_path());
  } else {
    text = "Loader payloads:";
    for (const auto& spec : kPayloadTable) {
      const Entry& e = entries_[static_cast<std::size_t>(spec.id)];
      text.append(" ").append(spec.name).append("=");
      text.append(e.source == PayloadSource::RealFile  ? "file"
                  : e.source == PayloadSource::Refused ? "refused"
                                                       : "stand-in");
      if (e.source != PayloadSource::StandIn) {
        text.append(" (").append(Shown(e.path.parent_path())).append(")");
      }
    }
  }
  return text;
}

}  // namespace veska::payloads
