#include "link/AdapterLatency.h"

#include <cerrno>
#include <fstream>
#include <system_error>
#include <vector>

#include "link/AsciiCase.h"

#if defined(_WIN32)
#include "link/win32/Registry.h"
#elif defined(__linux__)
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace veska::link {

namespace {

// A timer as the drivers keep it: one byte of milliseconds.
std::optional<int> InRange(long long timer) {
  if (timer < 0 || timer > 255) return std::nullopt;
  return static_cast<int>(timer);
}

std::string TimerHint(const std::string& portName, const std::string& device, int timerMs) {
#if defined(_WIN32)
  (void)device;
  return portName + ": the USB serial adapter holds the phone's bytes for up to " +
         std::to_string(timerMs) +
         " ms (its latency timer), so every answer waits that long: in Device Manager, open " +
         portName +
         "'s Properties, then Port Settings, Advanced, and set Latency Timer (msec) to 1";
#else
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
#endif
}

}  // namespace

AdapterLatency::AdapterLatency() : request(RequestLowLatency) {}

std::string AdapterLatency::HintOnce(const std::string& portName, const std::string& device) {
  std::string hint = SlowLatencyHint(portName, device, *this);
  if (hint.empty()) return hint;
  std::lock_guard lock(mutex);
  if (!told.insert(device).second) return {};
  return hint;
}

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

std::optional<int> LatencyTimerMs(const std::string& portName, const std::string& device,
                                  const AdapterLatency& where) {
#if defined(_WIN32)
  // FTDIBUS\<vendor+product+serial>\<instance>\Device Parameters names its COM port.
  (void)device;
  const win32::RegistryKey bus(HKEY_LOCAL_MACHINE, where.ftdiRegistryKey);
  for (const std::string& adapter : bus.Subkeys()) {
    const win32::RegistryKey adapterKey(bus.Get(), adapter);
    for (const std::string& instance : adapterKey.Subkeys()) {
      const win32::RegistryKey parameters(adapterKey.Get(), instance + "\\Device Parameters");
      const std::optional<std::string> name = parameters.Text("PortName");
      if (!name || !SameIgnoringAsciiCase(*name, portName)) continue;
      const std::optional<DWORD> timer = parameters.Number("LatencyTimer");
      if (!timer) return std::nullopt;
      return InRange(*timer);
    }
  }
  return std::nullopt;
#else
  (void)portName;
  std::error_code error;
  const std::filesystem::path resolved = std::filesystem::canonical(device, error);
  if (error) return std::nullopt;
  std::ifstream file(where.sysTty / resolved.filename() / "device" / "latency_timer");
  long long timer = -1;
  if (!(file >> timer)) return std::nullopt;
  return InRange(timer);
#endif
}

std::string SlowLatencyHint(const std::string& portName, const std::string& device,
                            const AdapterLatency& where) {
  const std::optional<int> timer = LatencyTimerMs(portName, device, where);
  if (!timer || *timer <= kSlowLatencyTimerMs) return {};
  return TimerHint(portName, device, *timer);
}

}  // namespace veska::link
