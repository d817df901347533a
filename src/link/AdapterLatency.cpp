#include "link/AdapterLatency.h"

#include <cerrno>
#include <fstream>
#include <system_error>

#if defined(__linux__)
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace veska::link {

AdapterLatency::AdapterLatency() : request(RequestLowLatency) {}

int RequestLowLatency(int fd) {
#if defined(__linux__)
  serial_struct serial{};
  if (::ioctl(fd, TIOCGSERIAL, &serial) != 0) return errno;
  if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return 0;
  serial.flags |= ASYNC_LOW_LATENCY;
  if (::ioctl(fd, TIOCSSERIAL, &serial) != 0) return errno;
  return 0;
#else
  (void)fd;
  return ENOTTY;
#endif
}

std::optional<int> LatencyTimerMs(const std::string& device, const std::filesystem::path& sysTty) {
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::canonical(device, error);
  if (error) return std::nullopt;
  std::ifstream file(sysTty / resolved.filename() / "device" / "latency_timer");
  int timer = -1;
  if (!(file >> timer) || timer < 0 || timer > 255) return std::nullopt;
  return timer;
}

std::string LatencyHint(const std::string& portName, const std::string& device, int timerMs) {
  if (timerMs <= kSlowLatencyTimerMs) return {};
  const std::string where = portName == device ? device : portName + " (" + device + ")";
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::canonical(device, error);
  const std::string tty = (error ? std::filesystem::path(device) : resolved).filename().string();
  return where + ": the USB serial adapter holds the phone's bytes for up to " +
         std::to_string(timerMs) +
         " ms (its latency timer) and its driver would not lower it, so every answer waits that "
         "long: 'veska-cli udev-rule " +
         portName + "' writes a rule that sets it to 1 ms, or for now: echo 1 | sudo tee " +
         "/sys/bus/usb-serial/devices/" + tty + "/latency_timer";
}

}  // namespace veska::link
