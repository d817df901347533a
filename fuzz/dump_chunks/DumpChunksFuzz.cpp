// Fuzz target of the flash read's chunk handling (the dump and the read-back after a download):
// the chunks the phone sends with their sum bytes. Checked for every input: no chunk longer than
// the area's chunk size or past the length asked for, only chunks whose sum matches reach the
// file (whole, in the order sent), and a read that ends says why.
//
// Input: byte 0 the area kind, bytes 1-2 the length asked for (big-endian), byte 3 the chunk
// the file refuses (0xFF: none), the rest what the phone sends: each chunk, then its sum.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzCheck.h"
#include "app/FlashMap.h"
#include "dump/NandDump.h"
#include "link/BlockSum.h"

namespace {

using veska::dump::ChunkReader;
using veska::dump::ReadStop;

constexpr int kRefused = 77;

void Check(bool holds, const char* what) {
  veska::fuzz::Check(holds, "dump chunks", what);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const auto kind = static_cast<std::uint8_t>(data[0] % 3);
  const auto length = static_cast<std::uint32_t>(data[1] << 8 | data[2]);
  const unsigned refuse = data[3];
  const std::span<const std::uint8_t> line(data + 4, size - 4);

  ChunkReader reader(kind, length);
  std::vector<std::uint8_t> expected;  // the data bytes of the chunks that should be accepted
  std::vector<std::uint8_t> stored;    // what reached the "file"
  std::uint32_t accepted = 0;
  std::size_t at = 0;
  for (unsigned index = 0;; ++index) {
    const std::uint32_t n = reader.NextLength();
    if (n == 0) break;
    Check(n <= veska::app::DumpChunkSize(kind), "a chunk longer than the area's chunk size");
    Check(accepted + n <= length, "a chunk past the length asked for");
    if (line.size() - at < std::size_t{n} + 1) break;  // the phone stopped: the port's business
    const auto chunk = line.subspan(at, n);
    const std::uint8_t sum = line[at + n];
    at += std::size_t{n} + 1;

    bool taken = false;
    const auto end = reader.Take(chunk, sum, [&](std::span<const std::uint8_t> got) {
      taken = true;
      Check(got.size() == n, "the file is handed another length than the chunk's");
      Check(veska::link::blockSum(got) == sum, "a chunk with a wrong sum reached the file");
      if (index == refuse) return kRefused;
      stored.insert(stored.end(), got.begin(), got.end());
      return 0;
    });
    if (!end) {
      Check(taken, "a chunk accepted without reaching the file");
      expected.insert(expected.end(), chunk.begin(), chunk.end());
      accepted += n;
      continue;
    }
    if (end->stop == ReadStop::SumMismatch) {
      Check(!taken, "a chunk with a wrong sum reached the file");
      Check(end->computed == veska::link::blockSum(chunk) && end->received == sum,
            "a mismatch that misreports the sums");
      Check(end->computed != end->received, "a mismatch of equal sums");
    } else {
      Check(end->stop == ReadStop::SinkRefused && end->status == kRefused && index == refuse,
            "a read that ends for no reason");
    }
    Check(reader.NextLength() == n, "a read that went on after it ended");
    break;
  }
  Check(stored == expected, "the file holds other bytes than the chunks accepted");
  if (reader.NextLength() == 0) Check(accepted == length, "a complete read short of its length");
  return 0;
}
