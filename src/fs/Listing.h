#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/FsCodes.h"
#include "fs/NameConverter.h"
#include "link/UniqueFile.h"

namespace veska::fs {

// Keys of the listing (".cfg" beside a file-system image). Each value starts right after the
// key's last blank; keys are found wherever they stand, not only at the start of a line.
inline constexpr std::string_view KEY_TFS_VERSION = "TFSVERSION : ";
inline constexpr std::string_view KEY_RELEASE_VERSION = "TFSRELEASEVERSION : ";
inline constexpr std::string_view KEY_DIR_NAME = "DIR_NAME : ";
inline constexpr std::string_view KEY_FILE_NAME = "FILE_NAME : ";
inline constexpr std::string_view KEY_FILE_SIZE = "FILE_SIZE : ";

// What a walk over the listing found next.
enum class EntryKind {
  None,     // no further entry: the cursor is back at the start
  Found,    // the name (and for a file its size) is in currentName / currentSize
  TooLong,  // the name does not fit the current-name buffer; `name` shows it, nothing copied
};

struct Entry {
  EntryKind kind = EntryKind::None;
  std::string_view name;  // the value as it stands in the listing text
  std::string_view utf8;  // the name as the phone takes it, once the load has converted it
  std::uint32_t size = 0;
  // Faults of the entry's text, found by the load's checks before anything uses the entry.
  bool nameWithoutLineEnd = false;
  bool withoutSize = false;  // no FILE_SIZE follows before the next FILE_NAME or the end
  bool sizeWithoutLineEnd = false;
  bool sizeWithLineFeed = false;  // a bare line feed ends the size's line: the value runs on
  bool sizeMalformed = false;     // not a plain decimal number of at most 32 bits
};

// A loaded listing: the text, the version stamps and the walk over its entries. Directories are
// taken first and then files, each in listing order, by resetting the cursor between the two.
class Listing {
 public:
  // Checks `text` against the image's length, fills the version fields and converts every name
  // with `converter`. Returns "" when the whole listing can be sent, else the text of the
  // message box that refuses it: a few lines that name the first bad entry.
  [[nodiscard]] std::string Load(std::string text, std::uint64_t imageLength,
                                 NameConverter& converter);

  // The next "DIR_NAME : " value after the cursor; leaves the cursor at the value's end.
  Entry NextDirectory();
  // The next "FILE_NAME : " value after the cursor and the "FILE_SIZE : " value after it;
  // leaves the cursor at the end of the size's line.
  Entry NextFile();

  void Release();

  std::string text;
  std::uint64_t imageLength = 0;
  std::array<std::uint8_t, VERSION_FIELD_SIZE> tfsVersion{};
  bool hasReleaseVersion = false;
  std::array<std::uint8_t, RELEASE_FIELD_SIZE> releaseVersion{};
  std::size_t cursor = 0;
  std::string currentName;  // at most CURRENT_NAME_SIZE - 1 bytes
  std::uint32_t currentSize = 0;

 private:
  // The value after a key at `from`, up to the next carriage return or the end of the text.
  [[nodiscard]] std::string_view ValueAt(std::size_t from, bool& lineEnd) const;
  // A fixed-width field after a key; bytes beyond the end of the text count as zero.
  template <std::size_t N>
  void CopyField(std::size_t from, std::array<std::uint8_t, N>& field) const;
  [[nodiscard]] std::string CheckEntries(NameConverter& converter);
  // Refusal of a name the phone could not take, or "" after adding its UTF-8 form to `names`.
  [[nodiscard]] std::string ConvertName(const Entry& entry, bool directory,
                                        NameConverter& converter,
                                        std::vector<std::pair<std::size_t, std::string>>& names);
  [[nodiscard]] std::string_view Utf8At(std::size_t offset) const;

  // The UTF-8 form of every name, by the offset of the name in `text`, ascending.
  std::vector<std::pair<std::size_t, std::string>> utf8Names_;
};

// The sum the load compares with the image: every "FILE_SIZE : " value in the text (the run of
// digits after the key). Nothing when a value or the sum does not fit in 32 bits.
[[nodiscard]] bool SumFileSizes(std::string_view text, std::uint64_t& sum);

// The largest listing read. A listing of 20,000 files is about 1 MiB; anything near this size is
// not a listing, and reading on would only fill the memory.
inline constexpr std::uint64_t MAX_LISTING_BYTES = std::uint64_t{64} << 20;

// How reading a file from disk ended. The error number is kept for the message.
enum class FileStatus {
  Ok = 0,
  OpenFailed,  // the path cannot be opened
  NotRegular,  // a folder, a device, a FIFO, ...: nothing a listing or an image can be
  TooLarge,    // more than the limit
  ReadFailed,  // the system reported an error while reading
};

// The whole of a regular file of at most `limit` bytes. Never waits for a writer (a FIFO is
// refused, not opened for good) and never reads past the limit.
[[nodiscard]] FileStatus ReadRegularFile(const std::string& path, std::uint64_t limit,
                                         std::string& text, int& error);
// The length of a regular file.
[[nodiscard]] FileStatus RegularFileLength(const std::string& path, std::uint64_t& length,
                                           int& error);

using link::UniqueFile;

// Opens `path` for writing from its start, for a dump's copy: only a regular file (emptied) or a
// new one. Never waits for anyone (a FIFO is refused, not opened for good) and never empties or
// writes what is not a regular file (a device, a folder). Nothing when refused or failed; then
// `status` says which (OpenFailed, NotRegular, or ReadFailed for a file that could not be
// emptied) and `error` holds the system's error number, if any.
[[nodiscard]] UniqueFile CreateRegularFile(const std::string& path, FileStatus& status, int& error);
[[nodiscard]] UniqueFile CreateRegularFile(const std::string& path);

// A byte that is not shown as it is (a control byte, or one that is not text), written as a
// backslash and r, n, t, 0 or xNN.
[[nodiscard]] std::string EscapedByte(unsigned char c);

// A value as a refusal message shows it: at most a few dozen bytes, control bytes and bytes that
// are not UTF-8 written as escapes, "..." when shortened.
[[nodiscard]] std::string ShownValue(std::string_view value);

}  // namespace veska::fs
