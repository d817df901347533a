#include "app/ProfileFile.h"

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <system_error>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace veska::app {

namespace {

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::vector<std::string> ReadLines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  if (!in) return lines;
  std::string content(ProfileFile::kMaxFileSize, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(in.gcount()));
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

// "[name]" gives name; anything else nothing.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const std::size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> SplitKey(std::string_view line) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';') return std::nullopt;
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyLine{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
}

std::string Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// Replaces or adds `key` in `section` of `lines`.
void SetKey(std::vector<std::string>& lines, std::string_view section, std::string_view key,
            std::string_view value) {
  const std::string newLine = std::string(Trim(key)) + "=" + std::string(value);

  bool inSection = false;
  std::optional<std::size_t> sectionEnd;  // index after the last line of our section
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto name = SectionName(lines[i])) {
      if (inSection) break;
      inSection = SameName(*name, Trim(section));
      if (inSection) sectionEnd = i + 1;
      continue;
    }
    if (!inSection) continue;
    if (!Trim(lines[i]).empty()) sectionEnd = i + 1;
    if (auto entry = SplitKey(lines[i]); entry && SameName(entry->key, Trim(key))) {
      lines[i] = newLine;
      return;
    }
  }
  if (sectionEnd) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*sectionEnd), newLine);
  } else {
    lines.push_back("[" + std::string(Trim(section)) + "]");
    lines.push_back(newLine);
  }
}

bool ReplaceFile(const std::filesystem::path& file, const std::vector<std::string>& lines) {
  std::error_code ec;
  std::filesystem::path temporary = file;
  temporary += ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    for (const std::string& line : lines) out << line << '\n';
    out.flush();
    if (!out) {
      out.close();
      std::filesystem::remove(temporary, ec);
      return false;
    }
  }
  std::filesystem::rename(temporary, file, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    return false;
  }
  return true;
}

// Serialises the read-change-replace of every settings file among the objects and threads of
// this process.
std::mutex& FileWriteMutex() {
  static std::mutex mutex;
  return mutex;
}

// Holds an exclusive lock on "<file>.lock" against other processes writing the same file. The
// settings file itself cannot carry the lock: each write replaces it by a new file.
class InterProcessLock {
 public:
  explicit InterProcessLock(const std::filesystem::path& file) {
#if !defined(_WIN32)
    std::filesystem::path lockFile = file;
    lockFile += ".lock";
    fd_ = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
    locked_ = true;
#else
    // The settings layer is built for Linux only; a Windows build would lock within the
    // process alone until it gets a LockFileEx counterpart.
    (void)file;
    locked_ = true;
#endif
  }
  ~InterProcessLock() {
#if !defined(_WIN32)
    if (fd_ >= 0) ::close(fd_);  // releases the lock
#endif
  }
  InterProcessLock(const InterProcessLock&) = delete;
  InterProcessLock& operator=(const InterProcessLock&) = delete;

  [[nodiscard]] bool Locked() const {
    return locked_;
  }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

}  // namespace

ProfileFile::ProfileFile(std::filesystem::path file, SettingsAccess access)
    : file_(std::move(file)), access_(access), lines_(ReadLines(file_)) {}

std::string ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view fallback) const {
  std::lock_guard lock(mutex_);
  bool inSection = false;
  for (const std::string& line : lines_) {
    if (auto name = SectionName(line)) {
      inSection = SameName(*name, Trim(section));
      continue;
    }
    if (!inSection) continue;
    if (auto entry = SplitKey(line); entry && SameName(entry->key, Trim(key))) {
      return Unquote(entry->value);
    }
  }
  return std::string(fallback);
}

int ProfileFile::GetInt(std::string_view section, std::string_view key, int fallback) const {
  // A sentinel that no file can produce tells a missing key from a present one.
  static constexpr std::string_view kMissing = "\n";
  const std::string text = GetString(section, key, kMissing);
  if (text == kMissing || text.empty()) return fallback;
  std::size_t i = 0;
  bool negative = false;
  if (text[i] == '-' || text[i] == '+') {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::numeric_limits<int>::max()) {
      value = std::numeric_limits<int>::max();  // saturate rather than overflow
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

std::vector<std::pair<std::string, std::string>> ProfileFile::GetSection(
    std::string_view section) const {
  std::lock_guard lock(mutex_);
  std::vector<std::pair<std::string, std::string>> entries;
  bool inSection = false;
  for (const std::string& line : lines_) {
    if (auto name = SectionName(line)) {
      inSection = SameName(*name, Trim(section));
      continue;
    }
    if (!inSection) continue;
    if (auto entry = SplitKey(line)) {
      entries.emplace_back(std::string(entry->key), Unquote(entry->value));
    }
  }
  return entries;
}

bool ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) const {
  if (value.find_first_of("\r\n") != std::string_view::npos ||
      key.find_first_of("\r\n=") != std::string_view::npos) {
    return false;
  }
  {
    std::lock_guard lock(mutex_);
    SetKey(lines_, section, key, value);
  }
  if (access_ == SettingsAccess::ReadOnly) return true;

  // Another window may have written other keys since this one read the file: only this key of
  // the file as it is now changes.
  std::error_code ec;
  if (file_.has_parent_path()) std::filesystem::create_directories(file_.parent_path(), ec);
  std::lock_guard processLock(FileWriteMutex());
  const InterProcessLock fileLock(file_);
  if (!fileLock.Locked()) return false;
  std::vector<std::string> lines = ReadLines(file_);
  SetKey(lines, section, key, value);
  return ReplaceFile(file_, lines);
}

bool ProfileFile::WriteInt(std::string_view section, std::string_view key, int value) const {
  return WriteString(section, key, std::to_string(value));
}

}  // namespace veska::app
