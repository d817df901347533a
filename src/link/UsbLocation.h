#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veska::link {

// A physical USB port: where a device is plugged in, whatever device that is. A phone's boot-ROM
// port is a new device at every power-on, under whichever tty or COM number the system picks, so
// a production bench binds its slots to these places instead of to device names.
//
// Three spellings are understood, each normalised so that the same port written twice matches:
//   Sysfs    "1-1.3": bus 1, root port 1, hub port 3 (a hub behind a hub: "1-1.3.2");
//   IdPath   udev's ID_PATH, the names under /dev/serial/by-path:
//            "pci-0000:00:14.0-usb-0:1.3" or "platform-xhci-hcd.0.auto-usb-0:1.3";
//   Windows  the device's location path: "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(1)#USB(3)".
// Each may end with the interface of the device that a serial port belongs to (":1.0", or
// "#USBMI(0)" on Windows), which is not part of the port chain.
struct UsbLocation {
  enum class Form { Sysfs, IdPath, Windows };
  Form form = Form::Sysfs;
  // What the chain starts from: the bus number ("1"), the host controller's device
  // ("pci-0000:00:14.0"), or everything up to the root hub ("PCIROOT(0)#PCI(1400)#USBROOT(0)").
  std::string host;
  std::vector<std::uint8_t> ports;  // hub port numbers, the root hub's first
  std::string usbInterface;         // "1.0" or "USBMI(0)"; empty: the device itself

  // The canonical text, without "usb:" and with the interface when there is one.
  [[nodiscard]] std::string Text() const;
  // The port chain alone: the canonical text without the interface.
  [[nodiscard]] std::string PortText() const;
};

// The text after "usb:" (any letter case) of a place, or nothing for a place of another kind (a
// COM name, a device path).
[[nodiscard]] std::optional<std::string_view> UsbPlaceOf(std::string_view place);

// Reads a location in any of the spellings above; nothing for anything else (the text comes from
// users and settings files: every part is checked, every number bounded).
[[nodiscard]] std::optional<UsbLocation> ParseUsbLocation(std::string_view text);

// Whether two locations are the same physical port. The interface counts only when both name
// one. A bus number and a controller name are compared through the system's device tree under
// `sysRoot` (on Linux; Windows paths match only Windows paths).
[[nodiscard]] bool SameUsbPort(const UsbLocation& a, const UsbLocation& b,
                               const std::string& sysRoot = "/sys");

// The host controller of USB bus `bus` ("1") as udev names it ("pci-0000:00:14.0"), read from the
// device tree under `sysRoot`; "" when unknown (and always on Windows).
[[nodiscard]] std::string UsbControllerOfBus(std::string_view bus, const std::string& sysRoot);

// The USB location of a serial device ("/dev/ttyACM0", "COM5"), or nothing for a device without
// one (a pseudo-terminal, a built-in UART, a device not present). On Linux it is read from the
// tty's node under `sysRoot`, in the Sysfs form with the interface.
[[nodiscard]] std::optional<UsbLocation> UsbLocationOf(const std::string& device,
                                                       const std::string& sysRoot = "/sys");

// The serial device present now at `location` ("/dev/ttyACM0", "COM5"), or "" when none is. When
// a device has several serial interfaces and the location names none, the first is taken.
[[nodiscard]] std::string DeviceAtUsbLocation(const UsbLocation& location,
                                              const std::string& sysRoot = "/sys");

// A serial device present now, with its USB location if it has one.
struct SerialDevice {
  std::string device;  // "/dev/ttyACM0", "COM5"
  std::optional<UsbLocation> location;
};
// The serial devices present now, in name order (on Linux, the ttys backed by a device under
// `sysRoot`: hardware ports, not virtual consoles or pseudo-terminals).
[[nodiscard]] std::vector<SerialDevice> PresentSerialDevices(const std::string& sysRoot = "/sys");

}  // namespace veska::link
