#include "link/Crc32.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "link/FilePath.h"
#include "link/UniqueFile.h"

namespace veska::link {

std::uint32_t Reflect(std::uint32_t x, unsigned n) {
  std::uint32_t result = 0;
  for (unsigned k = 0; k < n && k < 32; ++k) {
    if (x & (1u << k)) result |= 1u << (n - 1 - k);
  }
  return result;
}

void Crc32Table::BuildCrc32Table() {
  auto& base = slices_[0];
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t v = Reflect(i, 8) << 24;
    for (int bit = 0; bit < 8; ++bit) {
      v = (v & 0x80000000u) ? (v << 1) ^ 0x04C11DB7u : v << 1;
    }
    base[i] = Reflect(v, 32);
  }
  // slices_[k][i] is the register contribution of byte i followed by k zero bytes; with them the
  // loop folds eight input bytes per step and gives the same result as the byte-wise loop.
  for (std::size_t k = 1; k < slices_.size(); ++k) {
    for (std::size_t i = 0; i < 256; ++i) {
      const std::uint32_t prev = slices_[k - 1][i];
      slices_[k][i] = (prev >> 8) ^ base[prev & 0xFF];
    }
  }
  // Where each register bit ends up after a lane of zero bytes; a byte's image is the XOR of
  // its bits' images.
  std::array<std::uint32_t, 32> bitImage{};
  for (unsigned bit = 0; bit < 32; ++bit) {
    std::uint32_t v = 1u << bit;
    for (std::size_t i = 0; i < kLane; ++i) v = (v >> 8) ^ base[v & 0xFF];
    bitImage[bit] = v;
  }
  for (unsigned k = 0; k < 4; ++k) {
    for (unsigned b = 0; b < 256; ++b) {
      std::uint32_t image = 0;
      for (unsigned j = 0; j < 8; ++j) {
        if (b & (1u << j)) image ^= bitImage[8 * k + j];
      }
      pastLane_[k][b] = image;
    }
  }
  built_ = true;
}

namespace {

inline std::uint32_t Word(const std::uint8_t* q) {
  return std::uint32_t{q[0]} | std::uint32_t{q[1]} << 8 | std::uint32_t{q[2]} << 16 |
         std::uint32_t{q[3]} << 24;
}

// Eight bytes into the register through the eight slices.
inline std::uint32_t Step8(const std::array<std::array<std::uint32_t, 256>, 8>& t, std::uint32_t c,
                           const std::uint8_t* p) {
  const std::uint32_t a = c ^ Word(p);
  const std::uint32_t b = Word(p + 4);
  return t[7][a & 0xFF] ^ t[6][(a >> 8) & 0xFF] ^ t[5][(a >> 16) & 0xFF] ^ t[4][a >> 24] ^
         t[3][b & 0xFF] ^ t[2][(b >> 8) & 0xFF] ^ t[1][(b >> 16) & 0xFF] ^ t[0][b >> 24];
}

}  // namespace

std::uint32_t Crc32Table::PastOneLane(std::uint32_t reg) const {
  return pastLane_[0][reg & 0xFF] ^ pastLane_[1][(reg >> 8) & 0xFF] ^
         pastLane_[2][(reg >> 16) & 0xFF] ^ pastLane_[3][reg >> 24];
}

std::uint32_t Crc32Table::Update(std::uint32_t c, std::span<const std::uint8_t> data) const {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  const auto& t = slices_;
  while (n >= 4 * kLane) {
    // The later lanes start from a zero register; linearity lets each register be carried past
    // the lanes after it once they are done.
    std::uint32_t c0 = c, c1 = 0, c2 = 0, c3 = 0;
    for (std::size_t i = 0; i < kLane; i += 8) {
      c0 = Step8(t, c0, p + i);
      c1 = Step8(t, c1, p + kLane + i);
      c2 = Step8(t, c2, p + 2 * kLane + i);
      c3 = Step8(t, c3, p + 3 * kLane + i);
    }
    c = PastOneLane(PastOneLane(PastOneLane(c0) ^ c1) ^ c2) ^ c3;
    p += 4 * kLane;
    n -= 4 * kLane;
  }
  for (; n >= 8; p += 8, n -= 8) c = Step8(t, c, p);
  while (n-- > 0) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return c;
}

const Crc32Table& SharedCrc32Table() {
  static const Crc32Table table = [] {
    Crc32Table built;
    built.BuildCrc32Table();
    return built;
  }();
  return table;
}

std::uint32_t Crc32(const Crc32Table& table, std::span<const std::uint8_t> data) {
  return Crc32End(table.Update(Crc32Begin(), data));
}

FileCrcResult FileCrc32(const Crc32Table& table, const std::filesystem::path& path) {
  FileCrcResult result;
  UniqueFile file(OpenFile(Utf8Of(path), "rb"));
  if (!file) return result;

  // Streamed in chunks: an image of any size costs one chunk of memory.
  constexpr std::size_t kChunk = 1 << 16;
  std::vector<std::uint8_t> chunk(kChunk);
  std::uint32_t reg = Crc32Begin();
  std::uint64_t length = 0;
  for (;;) {
    const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
    reg = table.Update(reg, std::span(chunk.data(), got));
    length += got;
    if (got < chunk.size()) break;
  }
  if (std::ferror(file.get())) return result;  // a read error is no checksum to show
  result.opened = true;
  result.length = length;
  result.crc = Crc32End(reg);  // 0 for an empty file
  return result;
}

}  // namespace veska::link
