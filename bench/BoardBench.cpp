// The bench table's redraw: fitting one line per port to the terminal, as the painter does four
// times a second. The figure that matters is the share of one core the redraws take with 32
// ports.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "cli/bench/Board.h"

namespace {

using veska::cli::FitTable;
using veska::cli::TableRow;

std::vector<TableRow> Rows(int ports) {
  std::vector<TableRow> rows;
  for (int i = 0; i < ports; ++i) {
    rows.push_back(
        {"/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5028" + std::to_string(i) + "-if00-port0",
         "download all-bin --default-cal --verify (2/2)", "FUSE_APPS.img",
         std::to_string(i * 3 % 100), "90.0 KiB/s", "0:28", std::to_string(i % 7),
         std::to_string(i % 3), "FAILED (exit 130) download all-bin --default-cal"});
  }
  return rows;
}

// Argument: the ports; at 120 and 80 columns.
void BM_TableRedraw(benchmark::State& state) {
  const std::vector<TableRow> rows = Rows(static_cast<int>(state.range(0)));
  const int columns = static_cast<int>(state.range(1));
  std::size_t bytes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const std::vector<std::string> lines = FitTable(rows, columns);
    for (const std::string& line : lines) bytes += line.size();
    benchmark::DoNotOptimize(lines);
  }
  state.counters["bytes_per_redraw"] =
      static_cast<double>(bytes) / static_cast<double>(state.iterations());
  // The painter redraws four times a second: the share of one core that costs, in percent.
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  state.counters["core_pct_at_4_per_s"] =
      4.0 * 100.0 * elapsed.count() / static_cast<double>(state.iterations());
}
BENCHMARK(BM_TableRedraw)->ArgsProduct({{1, 8, 32}, {120, 80}});

}  // namespace
