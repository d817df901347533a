#pragma once

#include <cstdint>
#include <span>

namespace veska::sim {

// 32-bit words as the phone reads and writes them: big-endian on the UART link and in the
// file-system service's records, little-endian in USB frames and the file system's store.

[[nodiscard]] inline std::uint32_t GetBe32(std::span<const std::uint8_t> b) {
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 |
         std::uint32_t{b[3]};
}

[[nodiscard]] inline std::uint32_t GetLe32(std::span<const std::uint8_t> b) {
  return std::uint32_t{b[3]} << 24 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[1]} << 8 |
         std::uint32_t{b[0]};
}

inline void PutBe32(std::span<std::uint8_t> out, std::uint32_t v) {
  out[0] = static_cast<std::uint8_t>(v >> 24);
  out[1] = static_cast<std::uint8_t>(v >> 16);
  out[2] = static_cast<std::uint8_t>(v >> 8);
  out[3] = static_cast<std::uint8_t>(v);
}

inline void PutLe32(std::span<std::uint8_t> out, std::uint32_t v) {
  out[0] = static_cast<std::uint8_t>(v);
  out[1] = static_cast<std::uint8_t>(v >> 8);
  out[2] = static_cast<std::uint8_t>(v >> 16);
  out[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace veska::sim
