#include "link/DeviceWatch.h"

#include <filesystem>
#include <optional>

#include "link/AsciiCase.h"
#include "link/UsbLocation.h"

namespace veska::link {

std::string DeviceAtPlace(std::string_view place, const std::string& sysRoot) {
  if (const std::optional<std::string_view> usb = UsbPlaceOf(place)) {
    const std::optional<UsbLocation> location = ParseUsbLocation(*usb);
    return location ? DeviceAtUsbLocation(*location, sysRoot) : std::string();
  }
  if (place.empty()) return "";
#if defined(_WIN32)
  // A COM port is present when the system lists it; "\\.\COM5" and "COM5" are one port.
  std::string_view name = place;
  if (name.starts_with("\\\\.\\")) name.remove_prefix(4);
  for (const SerialDevice& present : PresentSerialDevices(sysRoot)) {
    if (SameIgnoringAsciiCase(present.device, name)) return std::string(place);
  }
  return "";
#else
  std::error_code error;
  return std::filesystem::exists(std::string(place), error) ? std::string(place) : std::string();
#endif
}

std::string WaitForDevice(std::string_view place, DeviceWatch& watch,
                          std::chrono::milliseconds timeout, const std::string& sysRoot) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  if (!UsbPlaceOf(place)) watch.WatchPath(std::string(place));
  while (true) {
    // The watch is in place before this look, so whatever comes after it wakes the wait below.
    std::string device = DeviceAtPlace(place, sysRoot);
    if (!device.empty()) return device;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= std::chrono::milliseconds::zero()) return "";
    if (watch.Wait(left) == DeviceWatch::Wake::Cancelled) return "";
  }
}

}  // namespace veska::link
