#include "app/ProfileFile.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <system_error>

#include "app/FileReplace.h"
#include "link/AsciiCase.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// What is known of a settings file as read.
enum class FileKind { Absent, Regular, Other, Unreadable };

struct FileText {
  FileKind kind = FileKind::Absent;
  std::vector<std::string> lines;  // split at '\n'; a '\r' before it stays with its line
  bool whole = true;               // false when the file was larger than kMaxFileSize
  bool crlf = false;               // the first line break was CR LF: new lines get one too
};

void SplitLines(std::string_view content, FileText& text) {
  // A single line ending in CR without its LF counts as CR LF: its break is completed so.
  const std::size_t firstBreak = std::min(content.find('\n'), content.size());
  text.crlf = firstBreak > 0 && content[firstBreak - 1] == '\r';
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    text.lines.emplace_back(content.substr(start, end - start));
    start = end + 1;
  }
}

// Reads at most kMaxFileSize bytes. Whatever the name stands for, nothing here can block: a FIFO
// without a writer or a terminal gives what is there now (usually nothing).
FileText ReadFileText(const std::filesystem::path& file) {
  FileText text;
  std::string content;
#if !defined(_WIN32)
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    text.kind = errno == ENOENT ? FileKind::Absent : FileKind::Unreadable;
    return text;
  }
  struct stat info {};
  text.kind =
      ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? FileKind::Regular : FileKind::Other;
  // One byte past the limit tells a file that is too large.
  std::array<char, 1 << 16> chunk;
  while (content.size() <= ProfileFile::kMaxFileSize) {
    const std::size_t want = std::min(chunk.size(), ProfileFile::kMaxFileSize + 1 - content.size());
    const ssize_t n = ::read(fd, chunk.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && text.kind == FileKind::Regular) text.kind = FileKind::Unreadable;
    if (n <= 0) break;
    content.append(chunk.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
#else
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return text;
  text.kind = std::filesystem::is_regular_file(file, ec) ? FileKind::Regular : FileKind::Other;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    text.kind = FileKind::Unreadable;
    return text;
  }
  content.resize(ProfileFile::kMaxFileSize + 1);
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(in.gcount()));
#endif
  if (content.size() > ProfileFile::kMaxFileSize) {
    text.whole = false;
    content.resize(ProfileFile::kMaxFileSize);
  }
  SplitLines(content, text);
  return text;
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

// Replaces or adds `key` in `section` of `lines`. A replaced line keeps its CR; an added line
// ends with `cr` ("\r" in a CR LF file, else "").
void SetKey(std::vector<std::string>& lines, std::string_view section, std::string_view key,
            std::string_view value, std::string_view cr) {
  const std::string newLine = std::string(Trim(key)) + "=" + std::string(value);

  bool inSection = false;
  std::optional<std::size_t> sectionEnd;  // index after the last line of our section
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto name = SectionName(lines[i])) {
      if (inSection) break;
      inSection = link::SameIgnoringAsciiCase(*name, Trim(section));
      if (inSection) sectionEnd = i + 1;
      continue;
    }
    if (!inSection) continue;
    if (!Trim(lines[i]).empty()) sectionEnd = i + 1;
    if (auto entry = SplitKey(lines[i]);
        entry && link::SameIgnoringAsciiCase(entry->key, Trim(key))) {
      const bool hadCr = !lines[i].empty() && lines[i].back() == '\r';
      lines[i] = newLine + (hadCr ? "\r" : "");
      return;
    }
  }
  if (sectionEnd) {
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(*sectionEnd),
                 newLine + std::string(cr));
  } else {
    lines.push_back("[" + std::string(Trim(section)) + "]" + std::string(cr));
    lines.push_back(newLine + std::string(cr));
  }
}

// Writes `text` to a temporary file beside `file` and renames it over `file`, keeping the old
// file's permissions.
bool ReplaceFile(const std::filesystem::path& file, const FileText& text) {
  std::string content;
  for (const std::string& line : text.lines) content += line + '\n';
  return ReplaceFileWith(file, content, ".tmp");
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

ProfileFile::ProfileFile(std::filesystem::path file, SettingsAccess access, LineEnd lineEnd)
    : file_(std::move(file)),
      access_(access),
      lineEnd_(lineEnd),
      lines_(ReadFileText(file_).lines) {}

std::string ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view fallback) const {
  std::lock_guard lock(mutex_);
  bool inSection = false;
  for (const std::string& line : lines_) {
    if (auto name = SectionName(line)) {
      inSection = link::SameIgnoringAsciiCase(*name, Trim(section));
      continue;
    }
    if (!inSection) continue;
    if (auto entry = SplitKey(line); entry && link::SameIgnoringAsciiCase(entry->key, Trim(key))) {
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
      inSection = link::SameIgnoringAsciiCase(*name, Trim(section));
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
    SetKey(lines_, section, key, value, "");
  }
  if (access_ == SettingsAccess::ReadOnly) return true;

  // A link is followed to the file it names, which is then replaced while the link stays.
  const std::filesystem::path target = ReplacementTarget(file_);
  if (target.empty()) return false;  // a link to nothing: no settings file of ours
  std::error_code ec;
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), ec);
  // Another window may have written other keys since this one read the file: only this key of
  // the file as it is now changes.
  std::lock_guard processLock(FileWriteMutex());
  const InterProcessLock fileLock(target);
  if (!fileLock.Locked()) return false;
  FileText text = ReadFileText(target);
  // Only a regular file read whole is rewritten: a device, a FIFO or a folder would be replaced
  // by a file, an unreadable file by one key, a huge one by its first megabyte.
  if (text.kind == FileKind::Other || text.kind == FileKind::Unreadable || !text.whole) {
    return false;
  }
  const bool crlf = text.crlf || lineEnd_ == LineEnd::CrLf;
  const std::string_view cr = crlf ? "\r" : "";
  if (lineEnd_ == LineEnd::CrLf) {
    // Every line: a file an older version wrote with LF would still read as one line.
    for (std::string& line : text.lines) {
      if (!line.ends_with('\r')) line += '\r';
    }
  } else if (text.crlf && !text.lines.empty() && !text.lines.back().ends_with('\r')) {
    // The last line gets its break: a line added after it must not join it.
    text.lines.back() += '\r';
  }
  SetKey(text.lines, section, key, value, cr);
  return ReplaceFile(target, text);
}

bool ProfileFile::WriteInt(std::string_view section, std::string_view key, int value) const {
  return WriteString(section, key, std::to_string(value));
}

}  // namespace veska::app
