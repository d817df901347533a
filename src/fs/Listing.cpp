#include "fs/Listing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <optional>

#include "link/FilePath.h"
#include "link/Utf8.h"

namespace veska::fs {

namespace {

constexpr char kLineEnd = '\r';

#if defined(_WIN32)
// Binary mode: text mode would turn the listing's "\r\n" line ends into "\n".
constexpr int kReadOnlyFlags = O_RDONLY | O_BINARY;
#else
// Without waiting for anyone: a FIFO opens at once and is then refused.
constexpr int kReadOnlyFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
#endif
constexpr std::uint64_t kMaxSize = std::numeric_limits<std::uint32_t>::max();

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The run of digits at the start of `value`. False when it does not fit in 32 bits.
bool DigitRun(std::string_view value, std::uint64_t& number) {
  number = 0;
  for (char c : value) {
    if (!IsDigit(c)) break;
    number = number * 10 + static_cast<unsigned>(c - '0');
    if (number > kMaxSize) return false;
  }
  return true;
}

// The reading a C library number conversion gives: leading blanks and a sign accepted, ended by
// the first byte that cannot continue the number. Saturates instead of wrapping.
std::int64_t LenientNumber(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t' || value[i] == '\n' ||
                              value[i] == '\v' || value[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < value.size() && (value[i] == '+' || value[i] == '-')) negative = value[i++] == '-';
  std::int64_t number = 0;
  for (; i < value.size() && IsDigit(value[i]); ++i) {
    number = std::min<std::int64_t>(number * 10 + (value[i] - '0'), std::int64_t{1} << 40);
  }
  return negative ? -number : number;
}

// Longest value a refusal message shows, in characters of the message.
constexpr std::size_t kShownChars = 60;

std::string Quoted(std::string_view name) {
  return "\"" + ShownValue(name) + "\"";
}

// Faults of a name's text that the walk would carry to the phone.
std::string NameFault(std::string_view key, const Entry& entry) {
  const std::size_t lineFeed = entry.name.find('\n');
  if (lineFeed != std::string_view::npos) {
    return "Line feed without carriage return after " + std::string(key) + " " +
           Quoted(entry.name.substr(0, lineFeed)) + " in cfg file (lines end in CR LF)";
  }
  if (entry.nameWithoutLineEnd) {
    return "No line end after " + std::string(key) + " " + Quoted(entry.name) + " in cfg file";
  }
  if (entry.name.find('\0') != std::string_view::npos) {
    return "The " + std::string(key) + " " + Quoted(entry.name) + " holds a NUL byte in cfg file";
  }
  return {};
}

// Text that is UTF-16: a byte order mark or a zero byte among the first two.
bool LooksLikeUtf16(std::string_view text) {
  if (text.size() < 2) return false;
  return text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF") || text[0] == '\0' ||
         text[1] == '\0';
}

// A descriptor closed when it goes out of scope.
class FileHandle {
 public:
  explicit FileHandle(const std::string& path) : fd_(link::OpenDescriptor(path, kReadOnlyFlags)) {}
  ~FileHandle() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  [[nodiscard]] int Fd() const { return fd_; }

 private:
  int fd_;
};

// Opens `path` without waiting for anyone (O_NONBLOCK: a FIFO opens at once and is then
// refused) and checks that it is a regular file.
FileStatus OpenRegular(const FileHandle& file, std::uint64_t& length, int& error) {
  error = 0;
  length = 0;
  if (file.Fd() < 0) {
    error = errno;
    return FileStatus::OpenFailed;
  }
  struct stat info {};
  if (::fstat(file.Fd(), &info) != 0) {
    error = errno;
    return FileStatus::ReadFailed;
  }
  if (!S_ISREG(info.st_mode)) return FileStatus::NotRegular;
  length = static_cast<std::uint64_t>(info.st_size);
  return FileStatus::Ok;
}

}  // namespace

std::string EscapedByte(unsigned char c) {
  switch (c) {
    case '\r':
      return "\\r";
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case 0:
      return "\\0";
    default: {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\x%02X", c);
      return escape;
    }
  }
}

std::string ShownValue(std::string_view value) {
  std::string shown;
  for (std::size_t at = 0; at < value.size();) {
    const auto c = static_cast<unsigned char>(value[at]);
    std::string piece;
    std::size_t used = 1;
    if (c >= 0x20 && c < 0x7F) {
      piece.assign(1, static_cast<char>(c));
    } else if (const std::size_t length =
                   c >= 0x80 ? link::Utf8SequenceLength(value.substr(at)) : 0;
               length > 0) {
      piece.assign(value.substr(at, length));
      used = length;
    } else {
      piece = EscapedByte(c);
    }
    if (shown.size() + piece.size() > kShownChars) return shown + "...";
    shown += piece;
    at += used;
  }
  return shown;
}

FileStatus RegularFileLength(const std::string& path, std::uint64_t& length, int& error) {
  const FileHandle file(path);
  return OpenRegular(file, length, error);
}

FileStatus ReadRegularFile(const std::string& path, std::uint64_t limit, std::string& text,
                           int& error) {
  text.clear();
  const FileHandle file(path);
  std::uint64_t length = 0;
  const FileStatus opened = OpenRegular(file, length, error);
  if (opened != FileStatus::Ok) return opened;
  if (length > limit) return FileStatus::TooLarge;
  text.reserve(static_cast<std::size_t>(length));
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(file.Fd(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errno;
      text.clear();
      return FileStatus::ReadFailed;
    }
    if (got == 0) return FileStatus::Ok;
    // A file that grows while it is read is held to the same limit.
    if (text.size() + static_cast<std::uint64_t>(got) > limit) {
      text.clear();
      return FileStatus::TooLarge;
    }
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

UniqueFile CreateRegularFile(const std::string& path, FileStatus& status, int& error) {
  status = FileStatus::Ok;
  error = 0;
#if defined(_WIN32)
  UniqueFile created(link::OpenFile(path, "wb"));
  if (!created) {
    status = FileStatus::OpenFailed;
    error = errno;
  }
  return created;
#else
  // Not emptied at the open: only once it is known to be a regular file.
  const int fd =
      link::OpenDescriptor(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    status = FileStatus::OpenFailed;
    error = errno;
    return nullptr;
  }
  struct stat info {};
  std::FILE* file = nullptr;
  if (::fstat(fd, &info) != 0) {
    status = FileStatus::ReadFailed;
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    status = FileStatus::NotRegular;
  } else if (const int flags = ::fcntl(fd, F_GETFL);
             ::ftruncate(fd, 0) == 0 && flags >= 0 &&
             ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
    file = ::fdopen(fd, "wb");
  }
  if (file == nullptr) {
    if (status == FileStatus::Ok) {
      status = FileStatus::ReadFailed;
      error = errno;
    }
    ::close(fd);
  }
  return UniqueFile(file);
#endif
}

UniqueFile CreateRegularFile(const std::string& path) {
  FileStatus status = FileStatus::Ok;
  int error = 0;
  return CreateRegularFile(path, status, error);
}

bool SumFileSizes(std::string_view text, std::uint64_t& sum) {
  sum = 0;
  for (std::size_t at = text.find(KEY_FILE_SIZE); at != std::string_view::npos;
       at = text.find(KEY_FILE_SIZE, at + KEY_FILE_SIZE.size())) {
    std::uint64_t value = 0;
    if (!DigitRun(text.substr(at + KEY_FILE_SIZE.size()), value)) return false;
    sum += value;
    if (sum > kMaxSize) return false;
  }
  return true;
}

std::string_view Listing::ValueAt(std::size_t from, bool& lineEnd) const {
  const std::size_t end = text.find(kLineEnd, from);
  lineEnd = end != std::string::npos;
  return std::string_view(text).substr(from, (lineEnd ? end : text.size()) - from);
}

template <std::size_t N>
void Listing::CopyField(std::size_t from, std::array<std::uint8_t, N>& field) const {
  field.fill(0);
  for (std::size_t i = 0; i < N && from + i < text.size(); ++i) {
    field[i] = static_cast<std::uint8_t>(text[from + i]);
  }
}

std::string Listing::Load(std::string listingText, std::uint64_t length, NameConverter& converter) {
  text = std::move(listingText);
  imageLength = length;
  cursor = 0;
  currentName.clear();
  currentSize = 0;
  utf8Names_.clear();

  // No key can be found in UTF-16 text; say why instead of which key is missing.
  if (LooksLikeUtf16(text) && text.find(KEY_TFS_VERSION) == std::string::npos) {
    return "The cfg file is UTF-16 text, not text in the locale's character set";
  }

  std::uint64_t sum = 0;
  if (!SumFileSizes(text, sum) || sum != imageLength) return "TFS file size mismatched!!!";

  const std::size_t version = text.find(KEY_TFS_VERSION);
  if (version == std::string::npos) {
    Release();
    return "TFSVERSION not found in cfg file";
  }
  CopyField(version + KEY_TFS_VERSION.size(), tfsVersion);

  const std::size_t release = text.find(KEY_RELEASE_VERSION);
  hasReleaseVersion = release != std::string::npos;
  releaseVersion.fill(0);
  if (hasReleaseVersion) CopyField(release + KEY_RELEASE_VERSION.size(), releaseVersion);

  std::string refusal = CheckEntries(converter);
  cursor = 0;
  currentName.clear();
  currentSize = 0;
  return refusal;
}

// The walk the download makes later, done once in advance with every name converted, so that
// a listing it could not finish is refused before anything reaches the phone.
std::string Listing::CheckEntries(NameConverter& converter) {
  std::vector<std::pair<std::size_t, std::string>> names;
  cursor = 0;
  std::size_t directories = 0;
  for (Entry entry = NextDirectory(); entry.kind != EntryKind::None; entry = NextDirectory()) {
    ++directories;
    if (std::string fault = NameFault("DIR_NAME", entry); !fault.empty()) return fault;
    if (std::string fault = ConvertName(entry, true, converter, names); !fault.empty()) {
      return fault;
    }
  }
  if (directories == 0) return "No DIR_NAME entry in cfg file";

  cursor = 0;
  std::size_t files = 0;
  std::uint64_t sum = 0;
  for (Entry entry = NextFile(); entry.kind != EntryKind::None; entry = NextFile()) {
    ++files;
    if (std::string fault = NameFault("FILE_NAME", entry); !fault.empty()) return fault;
    const std::string name = Quoted(entry.name);
    if (entry.withoutSize) return "No FILE_SIZE after FILE_NAME " + name + " in cfg file";
    if (entry.sizeWithLineFeed) {
      return "Line feed without carriage return after the FILE_SIZE of " + name +
             " in cfg file (lines end in CR LF)";
    }
    if (entry.sizeWithoutLineEnd) {
      return "No line end after the FILE_SIZE of " + name + " in cfg file";
    }
    if (entry.sizeMalformed) return "The FILE_SIZE of " + name + " is not a size in cfg file";
    if (std::string fault = ConvertName(entry, false, converter, names); !fault.empty()) {
      return fault;
    }
    sum += entry.size;
  }
  if (files == 0) return "No FILE_NAME entry in cfg file";
  // Sizes that stand outside any file entry were counted by the first check but would never
  // be written: the image would then not match what the walk sends.
  if (sum != imageLength) return "TFS file size mismatched!!!";

  std::sort(names.begin(), names.end());
  utf8Names_ = std::move(names);
  return {};
}

std::string Listing::ConvertName(const Entry& entry, bool directory, NameConverter& converter,
                                 std::vector<std::pair<std::size_t, std::string>>& names) {
  const std::string key = directory ? "DIR_NAME" : "FILE_NAME";
  // The phone's limits count the terminating zero.
  const std::size_t limit = (directory ? MAX_DIR_NAME_BYTES : MAX_FILE_NAME_BYTES) - 1;
  std::size_t length = entry.name.size();
  if (entry.kind == EntryKind::Found) {
    std::optional<std::string> utf8 = converter.ToUtf8(entry.name);
    if (!utf8) {
      return "The " + key + " " + Quoted(entry.name) + " cannot be converted from " +
             converter.FromCharset() + " to UTF-8 in cfg file";
    }
    if (utf8->find('\0') != std::string::npos) {
      return "The " + key + " " + Quoted(entry.name) + " holds a NUL byte in cfg file";
    }
    length = utf8->size();
    if (length <= limit) {
      names.emplace_back(static_cast<std::size_t>(entry.name.data() - text.data()),
                         std::move(*utf8));
      return {};
    }
  }
  return "The " + key + " " + Quoted(entry.name) + " is too long in cfg file (" +
         std::to_string(length) + " bytes, at most " + std::to_string(limit) + ")";
}

std::string_view Listing::Utf8At(std::size_t offset) const {
  const auto it = std::lower_bound(utf8Names_.begin(), utf8Names_.end(), offset,
                                   [](const std::pair<std::size_t, std::string>& name,
                                      std::size_t at) { return name.first < at; });
  if (it == utf8Names_.end() || it->first != offset) return {};
  return it->second;
}

Entry Listing::NextDirectory() {
  Entry entry;
  const std::size_t key = text.find(KEY_DIR_NAME, cursor);
  if (key == std::string::npos) {
    cursor = 0;
    return entry;
  }
  bool lineEnd = false;
  const std::size_t from = key + KEY_DIR_NAME.size();
  entry.name = ValueAt(from, lineEnd);
  entry.nameWithoutLineEnd = !lineEnd;
  cursor = from + entry.name.size();
  if (entry.name.size() >= CURRENT_NAME_SIZE) {
    entry.kind = EntryKind::TooLong;
    return entry;
  }
  entry.kind = EntryKind::Found;
  entry.utf8 = Utf8At(from);
  currentName.assign(entry.name);
  return entry;
}

Entry Listing::NextFile() {
  Entry entry;
  const std::size_t key = text.find(KEY_FILE_NAME, cursor);
  if (key == std::string::npos) {
    cursor = 0;
    return entry;
  }
  bool lineEnd = false;
  const std::size_t from = key + KEY_FILE_NAME.size();
  entry.name = ValueAt(from, lineEnd);
  entry.nameWithoutLineEnd = !lineEnd;
  cursor = from + entry.name.size();

  // The size belongs to this name only when no other name comes first: otherwise this name
  // would take the next file's size and that file would never be sent.
  const std::size_t sizeKey = text.find(KEY_FILE_SIZE, cursor);
  const std::size_t nextName = text.find(KEY_FILE_NAME, cursor);
  if (sizeKey == std::string::npos || nextName < sizeKey) {
    entry.withoutSize = true;
  } else {
    const std::string_view value = ValueAt(sizeKey + KEY_FILE_SIZE.size(), lineEnd);
    entry.sizeWithoutLineEnd = !lineEnd;
    entry.sizeWithLineFeed = value.find('\n') != std::string_view::npos;
    cursor = sizeKey + KEY_FILE_SIZE.size() + value.size();
    std::uint64_t digits = 0;
    const bool fits = DigitRun(value, digits);
    // Both readings of a size must agree, or the walk would send other sizes than the ones
    // checked against the image.
    entry.sizeMalformed = !fits || LenientNumber(value) != static_cast<std::int64_t>(digits);
    entry.size = entry.sizeMalformed ? 0 : static_cast<std::uint32_t>(digits);
  }
  currentSize = entry.size;
  if (entry.name.size() >= CURRENT_NAME_SIZE) {
    entry.kind = EntryKind::TooLong;
    return entry;
  }
  entry.kind = EntryKind::Found;
  entry.utf8 = Utf8At(from);
  currentName.assign(entry.name);
  return entry;
}

void Listing::Release() {
  text.clear();
  text.shrink_to_fit();
  utf8Names_.clear();
  utf8Names_.shrink_to_fit();
  cursor = 0;
}

}  // namespace veska::fs
