// The file-system download into a paced virtual phone: a listing of many small files, where
// the records and the round trips between them dominate, and one of a few large files, where
// the chunks do. The figure that matters is the link utilisation: the bytes the PC wrote for
// the listing (command codes, records and file data) over what the line could have carried in
// the same time (rate / 10 bytes per second). The write calls the downloading thread made are
// counted too: on a USB serial adapter every write costs at least one bus transfer.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ConnectedPhone.h"
#include "fs/FileSystemDownload.h"

namespace {

using namespace veska;

// The calling thread's write system calls and the bytes they carried, from the kernel's I/O
// accounting. The download runs on the calling thread and the phone on its own, so the
// difference over one download is the PC's side alone.
struct ThreadWrites {
  std::uint64_t calls = 0;
  std::uint64_t bytes = 0;
  bool known = false;

  static ThreadWrites Now() {
    ThreadWrites writes;
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
      if (key == "syscw:") writes.calls = value;
      if (key == "wchar:") writes.bytes = value;
      writes.known = true;
    }
    return writes;
  }
};

struct Listed {
  std::string name;
  std::uint32_t size;
};

// A paced phone, connected, with a TFS image of `files` and its listing chosen.
class Session {
 public:
  Session(bool usb, int baudIndex, const std::vector<std::string>& dirs,
          const std::vector<Listed>& files)
      : phone_("veska_fs_bench", usb, true, baudIndex) {
    if (!phone_.Connected()) return;

    // The image is the files' contents back to back; the listing sits beside it.
    const auto image = phone_.Folder() / "bench.tfs";
    std::string listing = "TFSVERSION : V1.00-BENCH-00000\r\nTFSRELEASEVERSION : REL-20260101\r\n";
    for (const std::string& d : dirs) listing += "DIR_NAME : " + d + "\r\n";
    std::vector<char> data;
    std::uint32_t x = 0x12345678;  // arbitrary, not compressible, cheap
    for (const Listed& f : files) {
      listing += "FILE_NAME : " + f.name + "\r\nFILE_SIZE : " + std::to_string(f.size) + "\r\n";
      for (std::uint32_t i = 0; i < f.size; ++i) {
        x = x * 1664525u + 1013904223u;
        data.push_back(static_cast<char>(x >> 24));
      }
    }
    std::ofstream(image, std::ios::binary)
        .write(data.data(), static_cast<std::streamsize>(data.size()));
    std::ofstream(phone_.Folder() / "bench.cfg", std::ios::binary) << listing;
    inputs_.imagePath = image.string();
    inputs_.listingPath = (phone_.Folder() / "bench.cfg").string();
    inputs_.imageSize = static_cast<std::uint32_t>(data.size());
    ready_ = true;
  }

  [[nodiscard]] bool Ready() const { return ready_; }

  bool Download() {
    phone_.Phone().ClearEvents();
    int step = 0;
    return fs::DownloadFileSystem(phone_.Engine(), inputs_, step);
  }

 private:
  bench::ConnectedPhone phone_;
  fs::FileSystemInputs inputs_;
  bool ready_ = false;
};

// 2,000 files of 64 bytes to 1 KiB in 20 directories.
void SmallFiles(std::vector<std::string>& dirs, std::vector<Listed>& files) {
  std::uint32_t x = 7;
  for (int d = 0; d < 20; ++d) {
    char dir[32];
    std::snprintf(dir, sizeof dir, "/data/d%02d", d);
    if (d == 0) dirs.emplace_back("/data");
    dirs.emplace_back(dir);
    for (int f = 0; f < 100; ++f) {
      x = x * 1103515245u + 12345u;
      char name[64];
      std::snprintf(name, sizeof name, "%s/file%04d.dat", dir, d * 100 + f);
      files.push_back({name, 64 + (x >> 16) % 961});
    }
  }
}

// Four files of 1 MiB.
void LargeFiles(std::vector<std::string>& dirs, std::vector<Listed>& files) {
  dirs.emplace_back("/media");
  for (int f = 0; f < 4; ++f) {
    files.push_back({"/media/large" + std::to_string(f) + ".bin", 1024 * 1024});
  }
}

// Arguments: link (0 UART, 1 USB), baud selector index, listing (0 small files, 1 large).
void BM_FsDownload(benchmark::State& state) {
  const bool usb = state.range(0) != 0;
  const int baudIndex = static_cast<int>(state.range(1));
  std::vector<std::string> dirs;
  std::vector<Listed> files;
  (state.range(2) == 0 ? SmallFiles : LargeFiles)(dirs, files);
  Session session(usb, baudIndex, dirs, files);
  if (!session.Ready()) {
    state.SkipWithError("the phone could not be connected");
    return;
  }

  double seconds = 0;
  ThreadWrites total;
  for (auto _ : state) {
    const ThreadWrites before = ThreadWrites::Now();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = session.Download();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const ThreadWrites after = ThreadWrites::Now();
    if (!ok) {
      state.SkipWithError("the file-system download failed");
      return;
    }
    total.calls += after.calls - before.calls;
    total.bytes += after.bytes - before.bytes;
    total.known = after.known;
  }

  const auto passes = static_cast<double>(state.iterations());
  const double rate =
      static_cast<double>(link::BaudRateForCode(link::kSelectorBaudCodes[baudIndex]));
  if (total.known) {
    const double bytes = static_cast<double>(total.bytes);
    state.counters["pc_bytes"] = bytes / passes;
    state.counters["write_calls"] = static_cast<double>(total.calls) / passes;
    state.counters["link_utilisation_pct"] = 100.0 * bytes / (seconds * rate / 10.0);
  }
  state.counters["files"] = static_cast<double>(files.size());
}

// Paced: one pass each, at wire speed.
BENCHMARK(BM_FsDownload)
    ->ArgNames({"usb", "baud", "large"})
    ->Args({0, 3, 0})
    ->Args({0, 2, 0})
    ->Args({1, 3, 0})
    ->Args({0, 3, 1})
    ->Args({0, 2, 1})
    ->Args({1, 3, 1})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

}  // namespace
