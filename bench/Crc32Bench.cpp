// CRC-32 throughput of our table-driven checksum against zlib's crc32 on the same data.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "link/Crc32.h"

namespace {

std::vector<std::uint8_t> MakeData(std::size_t size) {
  std::vector<std::uint8_t> data(size);
  std::mt19937 gen(7);
  for (auto& b : data) b = static_cast<std::uint8_t>(gen());
  return data;
}

void BM_Crc32Veska(benchmark::State& state) {
  const auto data = MakeData(static_cast<std::size_t>(state.range(0)));
  veska::link::Crc32Table table;
  table.BuildCrc32Table();
  for (auto _ : state) benchmark::DoNotOptimize(veska::link::Crc32(table, data));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Crc32Zlib(benchmark::State& state) {
  const auto data = MakeData(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        crc32(crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(data.size())));
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

BENCHMARK(BM_Crc32Veska)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_Crc32Zlib)->Arg(4096)->Arg(1 << 20);

}  // namespace
