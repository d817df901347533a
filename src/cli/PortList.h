#pragma once

#include <optional>
#include <string>
#include <vector>

#include "link/LinkState.h"
#include "station/UsbIdentity.h"

namespace veska::cli {

using station::UsbIdentity;
using station::UsbIdentityOf;

// One serial device of the machine, as `veska-cli ports` shows it.
struct PortEntry {
  std::string device;       // /dev/ttyUSB0
  std::string comName;      // the COMn that stands for it here; empty when none does
  std::string description;  // what the system calls it
  std::string usb;          // "USB 1a86:7523 serial 0001 (QinHeng USB Serial)"; empty if no USB
  std::string usbLocation;  // the hub port it is plugged into, "1-1.3"; empty if none
  std::string problem;      // why it cannot be opened now; empty when it can
  std::string hint;         // what else may stand in the way (ModemManager); empty for nothing
  bool mapped = false;      // named by the settings file's [Ports], not found by the system
  std::optional<int> latencyTimerMs;  // a USB adapter's latency timer (FTDI-like); none: none
};

// A udev rule for that USB device: ModemManager leaves it alone and the logged-in user may open
// it (uaccess), with a comment naming the port; for an adapter with a latency timer, a second
// line sets the timer to 1 ms, so that the phone's answers are not held back.
[[nodiscard]] std::string UdevRule(const UsbIdentity& usb, const std::string& portName,
                                   const std::string& device);

// The serial devices present, in the order the system lists them, each with its COMn, its USB
// identity and whether it can be opened; then each device the settings file's [Ports] maps
// that the system does not list (a pseudo-terminal, a by-id link), marked as mapped. Empty when
// none is present (or when this build has no port enumeration; see CanListPorts).
[[nodiscard]] std::vector<PortEntry> ListPorts(const link::LinkState& state);
[[nodiscard]] bool CanListPorts();

// The COM1 ... COM50 that names `device` (the settings' [Ports] entries first, then the
// built-in mapping), or empty.
[[nodiscard]] std::string ComNameFor(const std::string& device, const link::LinkState& state);

// The device a port name stands for, as the port layer maps it: COMn (any case) through the
// settings' [Ports] entries and the built-in table, a path as it is.
[[nodiscard]] std::string PortDevice(const std::string& port, const link::LinkState& state);

// One line per device, for the terminal.
[[nodiscard]] std::string FormatPorts(const std::vector<PortEntry>& ports);
// The same as one JSON array, one object per device, for scripts.
[[nodiscard]] std::string PortsJson(const std::vector<PortEntry>& ports);

}  // namespace veska::cli
