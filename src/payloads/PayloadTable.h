#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace veska::payloads {

// The four target programs the tool carries and sends to the phone unchanged. Each begins with
// an 8-byte header (a word, then a big-endian count) that the PC does not interpret but checks,
// so that a wrong file is never sent.
enum class PayloadId { PreloaderStage1, PreloaderStage2, NandFlashDriver, BootloaderDriver };

struct PayloadSpec {
  PayloadId id;
  std::string_view name;  // also the base name of a real file: NAME.bin
  std::uint32_t size;
  std::array<std::uint8_t, 4> headerWord;  // the first four bytes as stored
  std::uint32_t headerCount;               // bytes 4..7, big-endian
};

inline constexpr std::array<PayloadSpec, 4> kPayloadTable{{
    // Stage 1's count is 40 bytes less than what follows its header.
    {PayloadId::PreloaderStage1, "PreloaderStage1", 2656, {0x28, 0x00, 0x00, 0x00}, 0xA30},
    {PayloadId::PreloaderStage2, "PreloaderStage2", 2780, {0x08, 0x40, 0x00, 0x00}, 0xAD4},
    {PayloadId::NandFlashDriver, "NandFlashDriver", 188112, {0x80, 0x00, 0x00, 0x00}, 0x2DEC8},
    {PayloadId::BootloaderDriver, "BootloaderDriver", 41052, {0x80, 0x00, 0x00, 0x00}, 0xA054},
}};

[[nodiscard]] constexpr const PayloadSpec& SpecOf(PayloadId id) {
  return kPayloadTable[static_cast<std::size_t>(id)];
}

}  // namespace veska::payloads
