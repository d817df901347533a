// Fuzz target of the listing loader: load, checks, name conversion and the walk that builds the
// records, with the promises the file-system download relies on checked for every input that
// loads (names within the phone's limits and free of NUL bytes, records that say their own
// length, sizes that add up to the image) and for every refusal (a short message, control bytes
// escaped).
//
// Input: byte 0 chooses the character set the names are read in, byte 1 the image length (even:
// the sum of the listing's sizes, odd: that sum plus the byte), the rest is the listing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzCheck.h"
#include "fs/FsCodes.h"
#include "fs/FsRecords.h"
#include "fs/Listing.h"
#include "fs/NameConverter.h"

namespace {

using veska::fs::Entry;
using veska::fs::EntryKind;
using veska::fs::Listing;
using veska::fs::NameConverter;

// Longest refusal a message box may be given.
constexpr std::size_t kMaxRefusal = 300;

void Check(bool holds, const char* what) {
  veska::fuzz::Check(holds, "listing", what);
}

NameConverter& Converter(std::uint8_t choice) {
  static NameConverter utf8("UTF-8");
  static NameConverter latin1("ISO-8859-1");
  static NameConverter ascii("ANSI_X3.4-1968");
  static NameConverter cp1252("CP1252");
  switch (choice % 4) {
    case 0:
      return utf8;
    case 1:
      return latin1;
    case 2:
      return ascii;
    default:
      return cp1252;
  }
}

void CheckName(const Entry& entry, std::size_t limit) {
  Check(entry.kind == EntryKind::Found, "a loaded listing holds an entry the walk cannot take");
  Check(entry.utf8.size() + 1 <= limit, "a name beyond the phone's limit was accepted");
  Check(entry.utf8.find('\0') == std::string_view::npos, "a name with a NUL byte was accepted");
  Check(entry.name.find('\n') == std::string_view::npos, "a name with a line feed was accepted");
}

void CheckRecord(const std::vector<std::uint8_t>& record, std::string_view utf8,
                 std::size_t trailer) {
  const std::size_t n = utf8.size() + 1;
  Check(record.size() == 2 + n + trailer, "a record of the wrong length");
  Check(((std::size_t{record[0]} << 8) | record[1]) == n, "a record that misstates its length");
  Check(record[1 + n] == 0, "a name record without its zero");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  NameConverter& converter = Converter(data[0]);
  std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
  std::uint64_t image = 0;
  if (!veska::fs::SumFileSizes(text, image)) image = 0;
  if (data[1] % 2 != 0) image += data[1];

  Listing listing;
  const std::string refusal = listing.Load(text, image, converter);
  if (!refusal.empty()) {
    Check(refusal.size() <= kMaxRefusal, "a refusal longer than a few lines");
    for (char c : refusal) {
      const auto byte = static_cast<unsigned char>(c);
      Check(byte >= 0x20 && byte != 0x7F, "a control byte in a refusal");
    }
    return 0;
  }

  std::size_t directories = 0;
  listing.cursor = 0;
  for (Entry entry = listing.NextDirectory(); entry.kind != EntryKind::None;
       entry = listing.NextDirectory()) {
    ++directories;
    CheckName(entry, veska::fs::MAX_DIR_NAME_BYTES);
    CheckRecord(veska::fs::EncodeNameRecord(entry.utf8), entry.utf8, 0);
  }
  Check(directories > 0, "a listing without directories was accepted");

  std::size_t files = 0;
  std::uint64_t sum = 0;
  listing.cursor = 0;
  for (Entry entry = listing.NextFile(); entry.kind != EntryKind::None;
       entry = listing.NextFile()) {
    ++files;
    CheckName(entry, veska::fs::MAX_FILE_NAME_BYTES);
    CheckRecord(veska::fs::EncodeFileRecord(entry.utf8, entry.size), entry.utf8, 4);
    sum += entry.size;
  }
  Check(files > 0, "a listing without files was accepted");
  Check(sum == image, "the walk sends other sizes than the image holds");
  return 0;
}
