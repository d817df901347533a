#pragma once

#include <cstdint>
#include <span>

namespace veska::link {

// The 8-bit additive sum that guards every block of image data in transit: the sum of the
// block's bytes modulo 256, no complement. The virtual phone uses this same function, so it is
// kept free of everything else in the link.
[[nodiscard]] constexpr std::uint8_t blockSum(std::span<const std::uint8_t> block) {
  unsigned sum = 0;
  for (std::uint8_t b : block) sum += b;
  return static_cast<std::uint8_t>(sum);
}

}  // namespace veska::link
