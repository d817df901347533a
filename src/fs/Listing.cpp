#include "fs/Listing.h"

#include <algorithm>
#include <limits>

namespace veska::fs {

namespace {

constexpr char kLineEnd = '\r';
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

std::string Quoted(std::string_view name) {
  return "\"" + std::string(name) + "\"";
}

}  // namespace

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

std::string Listing::Load(std::string listingText, std::uint64_t length) {
  text = std::move(listingText);
  imageLength = length;
  cursor = 0;
  currentName.clear();
  currentSize = 0;

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

  std::string refusal = CheckEntries();
  cursor = 0;
  return refusal;
}

// The walk the download makes later, done once in advance, so that a listing it could not
// finish is refused before anything but the format has reached the phone.
std::string Listing::CheckEntries() {
  cursor = 0;
  std::size_t directories = 0;
  for (Entry entry = NextDirectory(); entry.kind != EntryKind::None; entry = NextDirectory()) {
    ++directories;
    if (entry.nameWithoutLineEnd) {
      return "No line end after DIR_NAME " + Quoted(entry.name) + " in cfg file";
    }
  }
  if (directories == 0) return "No DIR_NAME entry in cfg file";

  cursor = 0;
  std::size_t files = 0;
  std::uint64_t sum = 0;
  for (Entry entry = NextFile(); entry.kind != EntryKind::None; entry = NextFile()) {
    ++files;
    const std::string name = Quoted(entry.name);
    if (entry.nameWithoutLineEnd) return "No line end after FILE_NAME " + name + " in cfg file";
    if (entry.withoutSize) return "No FILE_SIZE after FILE_NAME " + name + " in cfg file";
    if (entry.sizeWithoutLineEnd) {
      return "No line end after the FILE_SIZE of " + name + " in cfg file";
    }
    if (entry.sizeMalformed) return "The FILE_SIZE of " + name + " is not a size in cfg file";
    sum += entry.size;
  }
  if (files == 0) return "No FILE_NAME entry in cfg file";
  // Sizes that stand outside any file entry were counted by the first check but would never
  // be written: the image would then not match what the walk sends.
  if (sum != imageLength) return "TFS file size mismatched!!!";
  return {};
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
  currentName.assign(entry.name);
  return entry;
}

void Listing::Release() {
  text.clear();
  text.shrink_to_fit();
  cursor = 0;
}

}  // namespace veska::fs
