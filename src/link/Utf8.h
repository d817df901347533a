#pragma once

#include <cstddef>
#include <string_view>

namespace veska::link {

// The length of the well-formed UTF-8 sequence `text` starts with: 1 for an ASCII byte, 2 to 4
// for a multi-byte character, 0 when it starts with none (a stray continuation byte, an
// overlong form, a surrogate, a code point past U+10FFFF, a sequence cut short, or no byte).
// Names and paths from files and from the phone are checked with it before they are shown or
// written into a report.
[[nodiscard]] constexpr std::size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto byte = [text](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;  // the second byte's range, narrower after some leads
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
  }
  return length;
}

}  // namespace veska::link
