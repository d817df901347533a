#include "sim/TfsModel.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "sim/ByteOrder.h"
#include "sim/UniqueFd.h"

namespace veska::sim {

namespace {

// Stored form: magic, body length and body hash (both little-endian), then the body.
constexpr char kMagic[16] = "VESKA-TFS-v1";
constexpr std::size_t kHeaderSize = sizeof kMagic + 8;

enum Flag : std::uint8_t {
  kFormatted = 1,
  kChecksum = 2,
  kComplete = 4,
  kVersion = 8,
  kRelease = 16,
  kReleaseRecorded = 32,
  kTime = 64,
};

std::uint32_t Fnv1a(std::span<const std::uint8_t> bytes) {
  std::uint32_t h = 2166136261u;
  for (std::uint8_t b : bytes) h = (h ^ b) * 16777619u;
  return h;
}

class Writer {
 public:
  void U8(std::uint8_t v) { out_.push_back(v); }
  void U32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  void Bytes(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
  void Text(const std::string& s) {
    U32(static_cast<std::uint32_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
  }
  std::vector<std::uint8_t>& Out() { return out_; }

 private:
  std::vector<std::uint8_t> out_;
};

// Every read checks what is left, so a damaged store yields nullopt, never a wild length.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> in) : in_(in) {}
  bool U8(std::uint8_t& v) {
    if (in_.size() < 1) return false;
    v = in_[0];
    in_ = in_.subspan(1);
    return true;
  }
  bool U32(std::uint32_t& v) {
    if (in_.size() < 4) return false;
    v = GetLe32(in_);
    in_ = in_.subspan(4);
    return true;
  }
  bool Bytes(std::span<std::uint8_t> out) {
    if (in_.size() < out.size()) return false;
    std::copy_n(in_.begin(), out.size(), out.begin());
    in_ = in_.subspan(out.size());
    return true;
  }
  bool Bytes(std::vector<std::uint8_t>& out, std::uint32_t n) {
    if (in_.size() < n) return false;
    out.assign(in_.begin(), in_.begin() + n);
    in_ = in_.subspan(n);
    return true;
  }
  bool Text(std::string& s) {
    std::uint32_t n = 0;
    if (!U32(n) || in_.size() < n) return false;
    s.assign(in_.begin(), in_.begin() + n);
    in_ = in_.subspan(n);
    return true;
  }
  [[nodiscard]] bool Empty() const { return in_.empty(); }

 private:
  std::span<const std::uint8_t> in_;
};

// Writes every byte; 0, or the errno of the write that failed (EIO when one wrote nothing).
int WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<std::size_t>(n);
  }
  return 0;
}

bool WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  // Written beside and renamed over, so a crash never leaves half a file system behind.
  const std::string temporary = path + ".tmp";
  {
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.Valid() || WriteAll(fd.Get(), bytes) != 0 || ::fsync(fd.Get()) != 0) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path, int& error) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) {
    error = errno;
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = errno;
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
    if (bytes.size() > TfsModel::CAPACITY) break;  // not ours; Decode refuses it
  }
  error = 0;
  return bytes;
}

// A path from the PC made relative to the export folder, or nullopt when a component could
// lead elsewhere.
std::optional<std::filesystem::path> SafeRelative(const std::string& path) {
  std::filesystem::path relative;
  std::size_t start = 1;  // past the leading "/"
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    relative /= part;
    start = end + 1;
  }
  return relative;
}

int WriteExported(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd.Valid()) return errno;
  return WriteAll(fd.Get(), bytes);
}

}  // namespace

int ExportTfs(const TfsContents& contents, const std::string& dir, std::size_t* skipped) {
  namespace fs = std::filesystem;
  std::size_t refused = 0;
  std::error_code ec;
  const fs::path root = fs::path(dir) / "files";
  fs::create_directories(root, ec);
  if (ec) return ec.value();
  auto place = [&](const std::string& path) -> std::optional<fs::path> {
    if (path == "/") return root;
    auto relative = SafeRelative(path);
    if (!relative) ++refused;
    return relative ? std::optional(root / *relative) : std::nullopt;
  };
  for (const auto& d : contents.directories) {
    if (auto target = place(d)) {
      fs::create_directories(*target, ec);
      if (ec) return ec.value();
    }
  }
  for (const auto& [path, file] : contents.files) {
    if (auto target = place(path); target && target != root) {
      fs::create_directories(target->parent_path(), ec);
      if (ec) return ec.value();
      if (int error = WriteExported(*target, file.bytes); error != 0) return error;
    }
  }
  if (contents.version) {
    if (int error = WriteExported(fs::path(dir) / "version", *contents.version); error != 0) {
      return error;
    }
  }
  if (contents.releaseVersion) {
    if (int error = WriteExported(fs::path(dir) / "release", *contents.releaseVersion);
        error != 0) {
      return error;
    }
  }
  if (contents.time) {
    const TfsTime& t = *contents.time;
    char text[96];  // room for six 10-digit fields
    const int n = std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u\n", t.year,
                                t.month, t.day, t.hours, t.minutes, t.seconds);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(text);
    if (int error = WriteExported(
            fs::path(dir) / "time",
            std::span(begin, std::min(std::strlen(text), static_cast<std::size_t>(n))));
        error != 0) {
      return error;
    }
  }
  if (skipped != nullptr) *skipped = refused;
  return 0;
}

std::uint32_t DosDateTime(const TfsTime& t) {
  if (t.year < 1980 || t.year > 1980 + 127 || t.month > 12 || t.day > 31 || t.hours > 23 ||
      t.minutes > 59 || t.seconds > 59) {
    return 0;
  }
  return (t.year - 1980) << 25 | t.month << 21 | t.day << 16 | t.hours << 11 | t.minutes << 5 |
         t.seconds / 2;
}

std::uint64_t StoredSize(const TfsContents& c) {
  std::uint64_t size = kHeaderSize + 1 + 16 + 12 + 6 * 4 + 4 + 4 + 4;
  for (const auto& dir : c.directories) size += 4 + dir.size();
  for (const auto& [path, file] : c.files) size += 4 + path.size() + 12 + file.bytes.size();
  return size;
}

std::vector<std::uint8_t> EncodeTfs(const TfsContents& c) {
  Writer w;
  std::uint8_t flags = 0;
  if (c.formatted) flags |= kFormatted;
  if (c.checksumMarked) flags |= kChecksum;
  if (c.complete) flags |= kComplete;
  if (c.version) flags |= kVersion;
  if (c.releaseVersion) flags |= kRelease;
  if (c.releaseRecorded) flags |= kReleaseRecorded;
  if (c.time) flags |= kTime;
  w.U8(flags);
  w.Bytes(c.version.value_or(std::array<std::uint8_t, 16>{}));
  w.Bytes(c.releaseVersion.value_or(std::array<std::uint8_t, 12>{}));
  const TfsTime t = c.time.value_or(TfsTime{});
  for (std::uint32_t v : {t.seconds, t.minutes, t.hours, t.day, t.month, t.year}) w.U32(v);
  w.U32(c.nextInode);
  w.U32(static_cast<std::uint32_t>(c.directories.size()));
  for (const auto& dir : c.directories) w.Text(dir);
  w.U32(static_cast<std::uint32_t>(c.files.size()));
  for (const auto& [path, file] : c.files) {
    w.Text(path);
    w.U32(file.inode);
    w.U32(file.modified);
    w.U32(static_cast<std::uint32_t>(file.bytes.size()));
    w.Bytes(file.bytes);
  }

  std::vector<std::uint8_t> body = std::move(w.Out());
  Writer header;
  header.Bytes(std::span(reinterpret_cast<const std::uint8_t*>(kMagic), sizeof kMagic));
  header.U32(static_cast<std::uint32_t>(body.size()));
  header.U32(Fnv1a(body));
  std::vector<std::uint8_t> stored = std::move(header.Out());
  stored.insert(stored.end(), body.begin(), body.end());
  return stored;
}

std::optional<TfsContents> DecodeTfs(std::span<const std::uint8_t> stored) {
  if (stored.size() < kHeaderSize || std::memcmp(stored.data(), kMagic, sizeof kMagic) != 0) {
    return std::nullopt;
  }
  Reader header{stored.subspan(sizeof kMagic, 8)};
  std::uint32_t length = 0;
  std::uint32_t hash = 0;
  if (!header.U32(length) || !header.U32(hash)) return std::nullopt;
  if (length > stored.size() - kHeaderSize) return std::nullopt;
  auto body = stored.subspan(kHeaderSize, length);
  if (Fnv1a(body) != hash) return std::nullopt;

  Reader r(body);
  TfsContents c;
  std::uint8_t flags = 0;
  std::array<std::uint8_t, 16> version{};
  std::array<std::uint8_t, 12> release{};
  TfsTime t;
  if (!r.U8(flags) || !r.Bytes(version) || !r.Bytes(release)) return std::nullopt;
  for (std::uint32_t* v : {&t.seconds, &t.minutes, &t.hours, &t.day, &t.month, &t.year}) {
    if (!r.U32(*v)) return std::nullopt;
  }
  c.formatted = (flags & kFormatted) != 0;
  c.checksumMarked = (flags & kChecksum) != 0;
  c.complete = (flags & kComplete) != 0;
  c.releaseRecorded = (flags & kReleaseRecorded) != 0;
  if (flags & kVersion) c.version = version;
  if (flags & kRelease) c.releaseVersion = release;
  if (flags & kTime) c.time = t;
  std::uint32_t count = 0;
  if (!r.U32(c.nextInode) || !r.U32(count)) return std::nullopt;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string dir;
    if (!r.Text(dir)) return std::nullopt;
    c.directories.insert(std::move(dir));
  }
  if (!r.U32(count)) return std::nullopt;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::string path;
    TfsFile file;
    std::uint32_t size = 0;
    if (!r.Text(path) || !r.U32(file.inode) || !r.U32(file.modified) || !r.U32(size) ||
        !r.Bytes(file.bytes, size)) {
      return std::nullopt;
    }
    c.files.emplace(std::move(path), std::move(file));
  }
  if (!r.Empty()) return std::nullopt;
  return c;
}

void TfsModel::AttachFlash(NandModel& nand) {
  std::lock_guard lock(mutex_);
  nand_ = &nand;
  sideFile_.clear();
  LoadLocked();
}

int TfsModel::AttachSideFile(const std::string& path) {
  std::lock_guard lock(mutex_);
  nand_ = nullptr;
  sideFile_ = path;
  int error = 0;
  if (!ReadWholeFile(path, error) && error != ENOENT) return error;
  LoadLocked();
  return 0;
}

void TfsModel::Reload() {
  std::lock_guard lock(mutex_);
  LoadLocked();
}

void TfsModel::LoadLocked() {
  std::optional<TfsContents> loaded;
  if (nand_ != nullptr) {
    std::array<std::uint8_t, kHeaderSize> header{};
    if (nand_->ReadData(FLASH_ADDRESS, header)) {
      Reader r{std::span<const std::uint8_t>(header).subspan(sizeof kMagic)};
      std::uint32_t length = 0;
      if (r.U32(length) && kHeaderSize + std::uint64_t{length} <= CAPACITY) {
        std::vector<std::uint8_t> stored(kHeaderSize + std::size_t{length});
        if (nand_->ReadData(FLASH_ADDRESS, stored)) {
          loaded = DecodeTfs(stored);
          if (loaded) storedLength_ = stored.size();
        }
      }
    }
  } else if (!sideFile_.empty()) {
    int error = 0;
    if (auto bytes = ReadWholeFile(sideFile_, error)) loaded = DecodeTfs(*bytes);
  } else {
    return;  // memory only: the model is its own store
  }
  // Nothing stored (or nothing readable): an erased, unformatted file system.
  contents_ = loaded.value_or(TfsContents{});
}

bool TfsModel::Save() {
  std::lock_guard lock(mutex_);
  if (StoredSize(contents_) > CAPACITY) return false;
  const std::vector<std::uint8_t> stored = EncodeTfs(contents_);
  if (nand_ != nullptr) {
    // A shorter copy would leave the old tail behind: clear what the last one covered first.
    const std::uint64_t covered = std::max<std::uint64_t>(storedLength_, stored.size());
    const auto first = static_cast<std::uint32_t>(FLASH_ADDRESS / BLOCK_DATA_SIZE);
    const auto last = static_cast<std::uint32_t>((FLASH_ADDRESS + covered - 1) / BLOCK_DATA_SIZE);
    (void)nand_->EraseBlocks(first, last);
    if (!nand_->WriteData(FLASH_ADDRESS, stored)) return false;
    storedLength_ = stored.size();
    return true;
  }
  if (!sideFile_.empty()) return WriteWholeFile(sideFile_, stored);
  return true;  // memory only
}

TfsContents TfsModel::Snapshot() const {
  std::lock_guard lock(mutex_);
  return contents_;
}

}  // namespace veska::sim
