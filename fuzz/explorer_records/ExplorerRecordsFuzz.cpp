// Fuzz target of what the Explorer takes from the phone without a dialog: the 28-byte status
// record and the names of listings and file reads. Checked for every input: the record gives
// its eleven lines of printable text, and a name comes out within the
// Explorer's limit, and goes back to the phone as the same UTF-8 bytes when the conversion
// loses nothing.
//
// Input: byte 0 chooses the PC's character set, the next 28 bytes the status record, the rest
// a name as the phone sends it (with or without its zero).
//
// The Explorer's byte-by-byte exchange (listing entries, sizes, file data) lives in its dialog
// and needs a port, so it is tested against the virtual phone instead.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "explorer/ExplorerNames.h"
#include "explorer/FileStatus.h"

namespace {

using veska::explorer::ExplorerNames;
using veska::explorer::FileStatus;
using veska::explorer::kFileStatusSize;
using veska::explorer::kMaxNameBytes;

void Check(bool holds, const char* what) {
  veska::fuzz::Check(holds, "explorer records", what);
}

// The conversions that give every character back as it came.
ExplorerNames& Names(std::uint8_t choice, bool& lossless) {
  static ExplorerNames utf8("UTF-8");
  static ExplorerNames latin1("ISO-8859-1");
  static ExplorerNames ascii("ANSI_X3.4-1968");
  static ExplorerNames cp1252("CP1252");
  lossless = choice % 4 != 3;
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

void CheckStatus(std::span<const std::uint8_t, kFileStatusSize> record) {
  const FileStatus status = FileStatus::Decode(record);
  Check(status.size == (std::uint32_t{record[12]} << 24 | std::uint32_t{record[13]} << 16 |
                        std::uint32_t{record[14]} << 8 | record[15]),
        "a size read from elsewhere than its big-endian field");
  const auto lines = veska::explorer::FileStatusLines(status);
  Check(lines.size() == 11, "a status record without its eleven lines");
  for (const std::string& line : lines) {
    Check(line.size() <= 64, "a status line longer than the pane's columns");
    Check(line.ends_with("\r\n"), "a status line without its line break");
    for (char c : line) {
      const auto byte = static_cast<unsigned char>(c);
      Check(c == '\r' || c == '\n' || (byte >= 0x20 && byte < 0x7F),
            "a control byte in a status line");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 + kFileStatusSize) return 0;
  bool lossless = false;
  ExplorerNames& names = Names(data[0], lossless);
  CheckStatus(std::span<const std::uint8_t, kFileStatusSize>(data + 1, kFileStatusSize));

  const std::string_view sent(reinterpret_cast<const char*>(data + 1 + kFileStatusSize),
                              size - 1 - kFileStatusSize);
  // Only the terminating zero goes: a zero inside a name is kept, so that it is shown (escaped)
  // and sent back as the phone gave it.
  const std::string_view utf8 = sent.ends_with('\0') ? sent.substr(0, sent.size() - 1) : sent;
  const auto name = names.FromUtf8(sent);
  if (!name) return 0;
  Check(name->size() + 1 <= kMaxNameBytes, "a name beyond the Explorer's limit");
  const auto back = names.ToUtf8(*name);
  if (back) {
    Check(back->ends_with('\0') && back->size() <= kMaxNameBytes, "a UTF-8 name without its zero");
    if (lossless) {
      Check(std::string_view(*back).substr(0, back->size() - 1) == utf8,
            "a name that goes back to the phone changed");
    }
  }
  return 0;
}
