// USB locations on Linux, read from the kernel's device tree (sysfs). Every tty backed by a
// device has a node /sys/class/tty/NAME whose "device" link leads to the USB interface (a
// CDC-ACM port) or to the usb-serial port below it (an FTDI-like adapter); above the interface
// is the USB device, whose name is its port chain ("1-1.3"), and above that, through the hubs,
// the bus's root hub ("usb1") and the host controller.

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "link/UsbLocation.h"

namespace veska::link {

namespace {

namespace fs = std::filesystem;

// A device tree is a few levels deep; a walk up that goes further is not in one.
constexpr int kDeepestWalk = 24;
// More ttys than any machine has: the scan stops there rather than read without end.
constexpr int kMostTtys = 4096;

fs::path Canonical(const fs::path& path) {
  std::error_code error;
  fs::path canonical = fs::canonical(path, error);
  return error ? fs::path() : canonical;
}

// The location of the tty whose device-tree node is `node` (its "device" link's target).
std::optional<UsbLocation> LocationOfNode(const fs::path& node) {
  std::string usbInterface;
  fs::path at = node;
  for (int depth = 0; depth < kDeepestWalk && at.has_relative_path(); ++depth) {
    const std::string name = at.filename().string();
    if (std::optional<UsbLocation> parsed = ParseUsbLocation(name);
        parsed && parsed->form == UsbLocation::Form::Sysfs) {
      if (!parsed->usbInterface.empty()) {
        if (usbInterface.empty()) usbInterface = parsed->usbInterface;
      } else {
        // The USB device; it is one only below its bus's root hub.
        const std::string rootHub = "usb" + parsed->host;
        for (fs::path up = at.parent_path(); up.has_relative_path(); up = up.parent_path()) {
          if (up.filename() == rootHub) {
            parsed->usbInterface = usbInterface;
            return parsed;
          }
        }
        return std::nullopt;
      }
    }
    at = at.parent_path();
  }
  return std::nullopt;
}

// The tty's name of a device path: "/dev/serial/by-path/..." is a link to the node.
std::string TtyName(const std::string& device) {
  const fs::path canonical = Canonical(device);
  return (canonical.empty() ? fs::path(device) : canonical).filename().string();
}

std::optional<UsbLocation> LocationOfTty(const std::string& name, const std::string& sysRoot) {
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  const fs::path node = Canonical(fs::path(sysRoot) / "class" / "tty" / name / "device");
  if (node.empty()) return std::nullopt;
  return LocationOfNode(node);
}

}  // namespace

std::string UsbControllerOfBus(std::string_view bus, const std::string& sysRoot) {
  const fs::path rootHub =
      Canonical(fs::path(sysRoot) / "bus" / "usb" / "devices" / ("usb" + std::string(bus)));
  if (rootHub.empty()) return "";
  const fs::path controller = rootHub.parent_path();
  const std::string subsystem = Canonical(controller / "subsystem").filename().string();
  if (subsystem != "pci" && subsystem != "platform") return "";
  return subsystem + "-" + controller.filename().string();
}

std::optional<UsbLocation> UsbLocationOf(const std::string& device, const std::string& sysRoot) {
  return LocationOfTty(TtyName(device), sysRoot);
}

std::vector<SerialDevice> PresentSerialDevices(const std::string& sysRoot) {
  std::vector<std::string> names;
  std::error_code error;
  fs::directory_iterator entries(fs::path(sysRoot) / "class" / "tty", error);
  for (int count = 0; !error && entries != fs::directory_iterator() && count < kMostTtys;
       entries.increment(error), ++count) {
    // Virtual consoles and the like have no device behind them.
    std::error_code missing;
    if (fs::exists(entries->path() / "device", missing)) {
      names.push_back(entries->path().filename().string());
    }
  }
  std::sort(names.begin(), names.end());
  std::vector<SerialDevice> devices;
  for (const std::string& name : names) {
    devices.push_back({"/dev/" + name, LocationOfTty(name, sysRoot)});
  }
  return devices;
}

}  // namespace veska::link
