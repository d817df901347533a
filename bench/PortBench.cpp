// Whole-buffer I/O through a pseudo-terminal pair, and the CPU an idle read costs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "link/PtyPair.h"
#include "link/SerialPort.h"

namespace {

using veska::link::LinkState;
using veska::link::SerialPort;

// The port under measurement, open on the slave side of a pty whose master the benchmark
// plays; `open` is false when the port could not be opened.
struct PortOnPty {
  explicit PortOnPty(std::uint8_t baudCode) {
    port.portName = pty.SlavePath();
    port.baudCode = baudCode;
    open = port.Open() == veska::link::PORT_OK;
  }
  PtyPair pty;
  LinkState link;
  SerialPort port{link};
  bool open = false;
};

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_WriteFully(benchmark::State& state) {
  PortOnPty session(veska::link::BAUDCODE_3000000);
  if (!session.open) {
    state.SkipWithError("open failed");
    return;
  }
  SerialPort& port = session.port;
  const int master = session.pty.Master();
  const auto piece = static_cast<std::size_t>(state.range(0));
  std::vector<std::uint8_t> data(1 << 20, 0x5A);
  std::jthread drain([&](std::stop_token stop) {
    std::vector<std::uint8_t> sink(1 << 16);
    while (!stop.stop_requested()) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 50) > 0 && read(master, sink.data(), sink.size()) < 0) break;
    }
  });
  for (auto _ : state) {
    for (std::size_t off = 0; off < data.size(); off += piece) {
      if (port.WriteFully(std::span(data).subspan(off, piece), 8) != 0) {
        state.SkipWithError("write failed");
        break;
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(data.size()));
  port.Close();
}

void BM_ReadFully(benchmark::State& state) {
  PortOnPty session(veska::link::BAUDCODE_3000000);
  if (!session.open) {
    state.SkipWithError("open failed");
    return;
  }
  SerialPort& port = session.port;
  const int master = session.pty.Master();
  const auto piece = static_cast<std::size_t>(state.range(0));
  constexpr std::size_t kTotal = 1 << 20;
  std::vector<std::uint8_t> in(kTotal);
  for (auto _ : state) {
    std::jthread feed([&] {
      std::vector<std::uint8_t> out(piece, 0xA5);
      for (std::size_t sent = 0; sent < kTotal; sent += piece) {
        for (std::size_t off = 0; off < piece;) {
          const ssize_t n = write(master, out.data() + off, piece - off);
          if (n > 0) {
            off += static_cast<std::size_t>(n);
          } else {
            pollfd p{master, POLLOUT, 0};
            poll(&p, 1, 50);
          }
        }
      }
    });
    for (std::size_t got = 0; got < kTotal; got += piece) {
      if (port.ReadFully(std::span(in).subspan(got, piece), 8) != 0) {
        state.SkipWithError("read failed");
        break;
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kTotal));
  port.Close();
}

// A ReadFully on a silent port for five seconds: the CPU it uses should be close to nothing.
void BM_IdleReadCpu(benchmark::State& state) {
  PortOnPty session(veska::link::BAUDCODE_115200);
  if (!session.open) {
    state.SkipWithError("open failed");
    return;
  }
  SerialPort& port = session.port;
  // Factor 0 allows one empty read; five one-second empty reads need factor 1 with the total
  // time-out shortened so that the allowance runs out after five seconds.
  port.readTotalTimeout = std::chrono::milliseconds(25);  // 200 empty reads x 25 ms = 5 s
  for (auto _ : state) {
    const double cpu0 = CpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    std::uint8_t byte = 0;
    benchmark::DoNotOptimize(port.ReadFully(std::span(&byte, 1), 1));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.counters["cpu_ms"] = (CpuSeconds() - cpu0) * 1000.0;
    state.counters["wall_s"] = wall;
  }
  port.Close();
}

BENCHMARK(BM_WriteFully)->Arg(2048)->Arg(4096)->UseRealTime();
BENCHMARK(BM_ReadFully)->Arg(2048)->Arg(4096)->UseRealTime();
BENCHMARK(BM_IdleReadCpu)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
