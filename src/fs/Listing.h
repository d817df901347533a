#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fs/FsCodes.h"

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
  std::uint32_t size = 0;
  // Faults of the entry's text, found by the load's checks before anything uses the entry.
  bool nameWithoutLineEnd = false;
  bool withoutSize = false;  // no FILE_SIZE follows before the next FILE_NAME or the end
  bool sizeWithoutLineEnd = false;
  bool sizeMalformed = false;  // not a plain decimal number of at most 32 bits
};

// A loaded listing: the text, the version stamps and the walk over its entries. Directories are
// taken first and then files, each in listing order, by resetting the cursor between the two.
class Listing {
 public:
  // Checks `text` against the image's length and fills the version fields. Returns "" when the
  // listing can be used, else the text of the message box that refuses it.
  [[nodiscard]] std::string Load(std::string text, std::uint64_t imageLength);

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
  [[nodiscard]] std::string CheckEntries();
};

// The sum the load compares with the image: every "FILE_SIZE : " value in the text (the run of
// digits after the key). Nothing when a value or the sum does not fit in 32 bits.
[[nodiscard]] bool SumFileSizes(std::string_view text, std::uint64_t& sum);

}  // namespace veska::fs
