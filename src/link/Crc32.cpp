#include "link/Crc32.h"

#include <cstdio>
#include <memory>
#include <vector>

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
  built_ = true;
}

std::uint32_t Crc32Table::Update(std::uint32_t c, std::span<const std::uint8_t> data) const {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  const auto& t = slices_;
  while (n >= 8) {
    const std::uint32_t lo = c ^ (std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                  std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return c;
}

std::uint32_t Crc32(const Crc32Table& table, std::span<const std::uint8_t> data) {
  return Crc32End(table.Update(Crc32Begin(), data));
}

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

FileCrcResult FileCrc32(const Crc32Table& table, const std::filesystem::path& path) {
  FileCrcResult result;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.string().c_str(), "rb"));
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
