#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace veska::link {

// Waits for the set of serial devices to change, without polling: on Linux through udev's
// monitor of the "tty" subsystem (or, without udev, the kernel's notices about /dev), on Windows
// through the configuration manager's notices about COM-port and USB device interfaces. A
// pseudo-terminal (a virtual phone's link path) comes with no hot-plug event: its folder is
// watched instead (WatchPath).
//
// A wake means only that something may have changed: the caller looks again. Everything that
// happens after the watch is made (or after WatchPath) wakes the next Wait, even when it happened
// before that Wait began, so a look followed by a Wait misses nothing.
//
// Thread safety: one thread waits; Cancel may be called from any thread.
class DeviceWatch {
 public:
  DeviceWatch();
  ~DeviceWatch();
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  // Also watches the folder that holds `path` for entries that come and go. Where a folder
  // cannot be watched, Wait wakes at least once a second instead.
  void WatchPath(const std::string& path);

  enum class Wake { Changed, TimedOut, Cancelled };
  [[nodiscard]] Wake Wait(std::chrono::milliseconds timeout);

  // Ends the current Wait and every later one at once (Ctrl-C).
  void Cancel();
  [[nodiscard]] bool Cancelled() const;

  // How many times Wait has returned; a waiter that spins shows here.
  [[nodiscard]] std::size_t Wakes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The device at `place` now: for "usb:LOCATION" the serial device plugged in there, for a device
// path the path itself when it exists (on Windows, a COM port that is present); "" when nothing
// is there or the place is no place.
[[nodiscard]] std::string DeviceAtPlace(std::string_view place,
                                        const std::string& sysRoot = "/sys");

// Waits until something is at `place` (as DeviceAtPlace) and returns its device; "" when the
// wait timed out or `watch` was cancelled.
[[nodiscard]] std::string WaitForDevice(std::string_view place, DeviceWatch& watch,
                                        std::chrono::milliseconds timeout,
                                        const std::string& sysRoot = "/sys");

}  // namespace veska::link
