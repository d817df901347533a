// One APPS image written into the virtual phone over each link dialect. With the phone pacing
// its line at the chosen rate, the figure that matters is the link utilisation: payload bytes
// over what the line could have carried in the same time (rate / 10 bytes per second). Without
// pacing, the pty's throughput and the PC side's CPU time per MiB show what the PC costs.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ConnectedPhone.h"
#include "download/ImageTransfer.h"

namespace {

using namespace veska;

constexpr std::uint32_t kAppsAddress = 0x00C00000;

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A connected phone with an APPS image of `imageSize` bytes to write into it.
class Session {
 public:
  Session(bool usb, bool pace, int baudIndex, std::uint32_t imageSize)
      : phone_("veska_transfer_bench", usb, pace, baudIndex) {
    if (!phone_.Connected()) return;
    image_ = (phone_.Folder() / "APPS.img").string();
    std::vector<char> data(imageSize);
    std::uint32_t x = 0x12345678;  // arbitrary, not compressible, cheap
    for (char& c : data) {
      x = x * 1664525u + 1013904223u;
      c = static_cast<char>(x >> 24);
    }
    std::ofstream(image_, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(size(data)));
    ready_ = true;
  }

  [[nodiscard]] bool Ready() const { return ready_; }

  // The phone records the end once it has taken the PC's last acknowledgement, possibly after
  // the PC has closed the port; each pass waits for it (outside the measured time) so that the
  // next one starts with the phone back at its commands.
  bool PhoneFinished() {
    return phone_.Phone().WaitFor(
        [](const auto& events) { return sim::HasEvent(events, sim::EventKind::ImageDone); },
        std::chrono::seconds(10));
  }

  int Transfer(bool usb, std::uint32_t size) {
    phone_.Phone().ClearEvents();
    const app::EngineContext engine = phone_.Engine();
    return usb ? download::TransferImageUsb(engine, image_, kAppsAddress, size)
               : download::TransferImageUart(engine, image_, kAppsAddress, size);
  }

 private:
  bench::ConnectedPhone phone_;
  std::string image_;
  bool ready_ = false;
};

// Arguments: link (0 UART, 1 USB), baud selector index, image size in KiB, pacing (0/1).
void BM_Transfer(benchmark::State& state) {
  const bool usb = state.range(0) != 0;
  const int baudIndex = static_cast<int>(state.range(1));
  const auto size = static_cast<std::uint32_t>(state.range(2) * 1024);
  const bool pace = state.range(3) != 0;
  Session session(usb, pace, baudIndex, size);
  if (!session.Ready()) {
    state.SkipWithError("the phone could not be connected");
    return;
  }

  double seconds = 0;
  double cpu = 0;
  for (auto _ : state) {
    const double cpuBefore = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const int status = session.Transfer(usb, size);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpu += ThreadCpuSeconds() - cpuBefore;
    if (status != download::TRANSFER_OK || !session.PhoneFinished()) {
      state.SkipWithError(("transfer failed with " + std::to_string(status)).c_str());
      return;
    }
  }

  const double mib =
      static_cast<double>(size) * static_cast<double>(state.iterations()) / (1024.0 * 1024.0);
  state.counters["MiB_per_s"] = mib / seconds;
  state.counters["pc_cpu_ms_per_MiB"] = cpu * 1000.0 / mib;
  if (pace) {
    const double rate =
        static_cast<double>(link::BaudRateForCode(link::kSelectorBaudCodes[baudIndex]));
    const double payload = static_cast<double>(size) * static_cast<double>(state.iterations());
    state.counters["link_utilisation_pct"] = 100.0 * payload / (seconds * rate / 10.0);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(size) * state.iterations());
}

constexpr std::int64_t kSixteenMiB = 16 * 1024;  // in KiB

// Paced: one pass each, they run at wire speed (a 16 MiB image takes about a minute at
// 3,000,000 bit/s and three at 921,600).
BENCHMARK(BM_Transfer)
    ->ArgNames({"usb", "baud", "KiB", "pace"})
    ->Args({0, 3, kSixteenMiB, 1})
    ->Args({0, 2, kSixteenMiB, 1})
    ->Args({1, 3, kSixteenMiB, 1})
    ->Args({1, 2, kSixteenMiB, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// Unpaced: the pty as fast as both sides can move it.
BENCHMARK(BM_Transfer)
    ->ArgNames({"usb", "baud", "KiB", "pace"})
    ->Args({0, 3, kSixteenMiB, 0})
    ->Args({1, 3, kSixteenMiB, 0})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
