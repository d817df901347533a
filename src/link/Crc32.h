#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>

namespace veska::link {

// The file checksum shown to the user: the standard reflected CRC-32 (zlib, PKZIP, Ethernet),
// polynomial 0x04C11DB7, initial register and final complement all ones. Check value 0xCBF43926
// for "123456789".
//
// The 256-entry table is built bit by bit from the polynomial. Seven more tables derived from it
// let the loop take eight bytes a step, and large inputs run as four independent lanes whose
// registers are joined afterwards (the register update is linear, so a lane's register can be
// moved past the bytes of the lanes after it by a table lookup); the lanes keep the processor
// busy instead of waiting on one chain of lookups.
class Crc32Table {
 public:
  Crc32Table() = default;  // empty until BuildCrc32Table

  void BuildCrc32Table();
  [[nodiscard]] bool Built() const { return built_; }
  [[nodiscard]] const std::array<std::uint32_t, 256>& Entries() const { return slices_[0]; }

  // Continues a CRC over more bytes: start from Crc32Begin(), end with Crc32End().
  [[nodiscard]] std::uint32_t Update(std::uint32_t reg, std::span<const std::uint8_t> data) const;

 private:
  static constexpr std::size_t kLane = 256;
  [[nodiscard]] std::uint32_t PastOneLane(std::uint32_t reg) const;

  std::array<std::array<std::uint32_t, 256>, 8> slices_{};
  // The register after kLane zero bytes, by the register's bytes.
  std::array<std::array<std::uint32_t, 256>, 4> pastLane_{};
  bool built_ = false;
};

inline constexpr std::uint32_t Crc32Begin() {
  return 0xFFFFFFFFu;
}
inline constexpr std::uint32_t Crc32End(std::uint32_t reg) {
  return ~reg;
}

// A table built once for the whole process, for callers that keep none of their own.
[[nodiscard]] const Crc32Table& SharedCrc32Table();

// Moves bit k of x to bit n - 1 - k for k < n; all other bits are cleared.
[[nodiscard]] std::uint32_t Reflect(std::uint32_t x, unsigned n);

// CRC-32 of a byte range; 0 for an empty range.
[[nodiscard]] std::uint32_t Crc32(const Crc32Table& table, std::span<const std::uint8_t> data);

struct FileCrcResult {
  bool opened = false;       // false: the file could not be opened or read to its end
  std::uint32_t crc = 0;     // 0 when not opened, and for an empty file
  std::uint64_t length = 0;  // the file's size when opened
};

// CRC-32 of a whole file, read in chunks so that memory does not grow with the file. A file that
// cannot be opened gives opened = false and crc 0: the caller shows "Fail to open bin file!"
// in its own window.
[[nodiscard]] FileCrcResult FileCrc32(const Crc32Table& table, const std::filesystem::path& path);

}  // namespace veska::link
