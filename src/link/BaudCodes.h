#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>

namespace veska::link {

// One-byte rate codes. The same byte opens the port and is sent to the loader as its rate
// request, so the values are part of the wire protocol. (Not BAUD_115200 and so on: <windows.h>
// defines those as macros.)
inline constexpr std::uint8_t BAUDCODE_115200 = 0x88;
inline constexpr std::uint8_t BAUDCODE_460800 = 0x8A;
inline constexpr std::uint8_t BAUDCODE_921600 = 0x8B;
inline constexpr std::uint8_t BAUDCODE_3000000 = 0x8D;
inline constexpr std::uint8_t BAUDCODE_812000 =
    0x93;  // known to the loader, never offered to the user

// The rate in bit/s for a baud code, or 0 for a code outside the table.
[[nodiscard]] constexpr std::uint32_t BaudRateForCode(std::uint8_t code) {
  switch (code) {
    case BAUDCODE_115200:
      return 115200;
    case BAUDCODE_460800:
      return 460800;
    case BAUDCODE_921600:
      return 921600;
    case BAUDCODE_3000000:
      return 3000000;
    case BAUDCODE_812000:
      return 812000;
    default:
      return 0;
  }
}

// The codes a running loader accepts as a rate: the table's, and 0x89, which the loaders know
// but which has no rate here (a port opened with it fails with PORT_BAD_BAUD).
[[nodiscard]] constexpr bool IsLoaderBaudCode(std::uint8_t code) {
  return code == 0x89 || BaudRateForCode(code) != 0;
}

// The baud selector's entries in index order: the caption it shows and the code it stands for.
struct SelectorBaud {
  std::string_view caption;
  std::uint8_t code;
};
inline constexpr SelectorBaud kSelectorBauds[] = {{"115K", BAUDCODE_115200},
                                                  {"460K", BAUDCODE_460800},
                                                  {"921K", BAUDCODE_921600},
                                                  {"3M", BAUDCODE_3000000}};
inline constexpr std::size_t kSelectorBaudCount = std::size(kSelectorBauds);

// The two columns on their own: the captions are the selector's items, the codes what a chosen
// index opens the port with.
inline constexpr auto kSelectorBaudCaptions = [] {
  std::array<std::string_view, kSelectorBaudCount> captions{};
  for (std::size_t i = 0; i < kSelectorBaudCount; ++i) captions[i] = kSelectorBauds[i].caption;
  return captions;
}();
inline constexpr auto kSelectorBaudCodes = [] {
  std::array<std::uint8_t, kSelectorBaudCount> codes{};
  for (std::size_t i = 0; i < kSelectorBaudCount; ++i) codes[i] = kSelectorBauds[i].code;
  return codes;
}();

// True for a code the baud selector offers: what START and the bootloader download accept as the
// user's rate.
[[nodiscard]] constexpr bool IsSelectorBaudCode(std::uint8_t code) {
  for (const SelectorBaud& baud : kSelectorBauds) {
    if (baud.code == code) return true;
  }
  return false;
}

}  // namespace veska::link
