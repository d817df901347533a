#pragma once

// USB serial adapters do not hand the phone's bytes on as they come: an FTDI chip holds them
// until 62 have gathered or its latency timer runs out (16 ms unless told otherwise). Every
// exchange in which the PC waits for a short answer pays that wait. Linux lets a program ask
// the driver for low latency when it opens the port (the FTDI driver then sets its timer to
// 1 ms); where the driver will not, and on Windows, where only the user can change it, the
// adapter's timer can still be read and the user told how to lower it.

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
// own request and folders in place of the system's.
struct AdapterLatency {
  // Asks the driver behind the open descriptor for low latency: 0, or the error that refused it.
  std::function<int(int fd)> request;
  // Linux: the kernel's tty class folder, where an adapter's latency_timer is found.
  std::filesystem::path sysTty = "/sys/class/tty";
  // Windows: the key under HKEY_LOCAL_MACHINE where the FTDI driver keeps, for every adapter
  // instance, "Device Parameters" with its PortName and LatencyTimer.
  std::string ftdiRegistryKey = "SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS";

  mutable std::mutex mutex;
  std::set<std::string> told;

  AdapterLatency();
  // True once an open found `device`'s timer slow and said so.
  [[nodiscard]] bool Told(const std::string& device) const {
    std::lock_guard lock(mutex);
    return told.contains(device);
  }
  // What to say when an open finds `device`'s timer slow: the hint the first time, "" after
  // that and whenever the timer is low or unknown.
  [[nodiscard]] std::string HintOnce(const std::string& portName, const std::string& device);
};

// The kernel's own request (TIOCGSERIAL/TIOCSSERIAL with ASYNC_LOW_LATENCY) where there is one;
// elsewhere it refuses with ENOTTY.
[[nodiscard]] int RequestLowLatency(int fd);

// The latency timer in milliseconds of the USB serial adapter behind the port, nullopt when it
// has none (no FTDI-like adapter). Linux finds it by `device` (a path, links followed), Windows
// by `portName` (COMn) in the driver's registry keys.
[[nodiscard]] std::optional<int> LatencyTimerMs(const std::string& portName,
                                                const std::string& device,
                                                const AdapterLatency& where);

// The words for a port whose adapter holds the phone's bytes longer than kSlowLatencyTimerMs,
// with what lowers it; "" when the timer is low enough or unknown.
[[nodiscard]] std::string SlowLatencyHint(const std::string& portName, const std::string& device,
                                          const AdapterLatency& where);

}  // namespace veska::link
