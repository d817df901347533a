#pragma once

#include <string>
#include <vector>

#include "link/LinkState.h"

namespace veska::cli {

// One serial device of the machine, as `veska-cli ports` shows it.
struct PortEntry {
  std::string device;       // /dev/ttyUSB0
  std::string comName;      // the COMn that stands for it here; empty when none does
  std::string description;  // what the system calls it
  std::string usb;          // "USB 1a86:7523 serial 0001 (QinHeng USB Serial)"; empty if no USB
  std::string problem;      // why it cannot be opened now; empty when it can
};

// The serial devices present, in the order the system lists them, each with its COMn, its USB
// identity and whether it can be opened. Empty when none is present (or when this build has no
// port enumeration; see CanListPorts).
[[nodiscard]] std::vector<PortEntry> ListPorts(const link::LinkState& state);
[[nodiscard]] bool CanListPorts();

// The COM1 ... COM50 that names `device` (the settings' [Ports] entries first, then the
// built-in mapping), or empty.
[[nodiscard]] std::string ComNameFor(const std::string& device, const link::LinkState& state);

// One line per device, for the terminal.
[[nodiscard]] std::string FormatPorts(const std::vector<PortEntry>& ports);

}  // namespace veska::cli
