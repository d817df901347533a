#pragma once

// USB serial adapters do not hand the phone's bytes on as they come: an FTDI chip holds them
// until 62 have gathered or its latency timer runs out (16 ms unless told otherwise). Every
// exchange in which the PC waits for a short answer pays that wait. Linux lets a program ask
// the driver for low latency when it opens the port (the FTDI driver then sets its timer to
// 1 ms); where the driver will not, the adapter's timer can still be read and the user told how
// to lower it.

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace veska::link {

// The timer above which a port's waits are worth a word to the user.
inline constexpr int kSlowLatencyTimerMs = 2;

// How an opened device is asked for low latency and where its adapter's timer is read, and the
// devices whose slow timer was told already (once per device in a process). Tests put their
// own request and folder in place of the kernel's.
struct AdapterLatency {
  // Asks the driver behind the open descriptor for low latency: 0, or the error that refused it.
  std::function<int(int fd)> request;
  // The kernel's tty class folder, where an adapter's latency_timer is found.
  std::filesystem::path sysTty = "/sys/class/tty";

  mutable std::mutex mutex;
  std::set<std::string> told;

  AdapterLatency();
  // True once an open found `device`'s timer slow and said so.
  [[nodiscard]] bool Told(const std::string& device) const {
    std::lock_guard lock(mutex);
    return told.contains(device);
  }
};

// The kernel's own request (TIOCGSERIAL/TIOCSSERIAL with ASYNC_LOW_LATENCY) where there is one;
// elsewhere it refuses with ENOTTY.
[[nodiscard]] int RequestLowLatency(int fd);

// The latency timer in milliseconds of the USB serial adapter behind `device` (a path, links
// followed), nullopt when it has none (no FTDI-like adapter, another system).
[[nodiscard]] std::optional<int> LatencyTimerMs(const std::string& device,
                                                const std::filesystem::path& sysTty);

// The words for a port whose adapter holds the phone's bytes for `timerMs`, with what lowers it;
// "" when the timer is low enough. `device` is the port's device path.
[[nodiscard]] std::string LatencyHint(const std::string& portName, const std::string& device,
                                      int timerMs);

}  // namespace veska::link
