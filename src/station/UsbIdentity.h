#pragma once

#include <optional>
#include <string>

namespace veska::station {

// The USB device behind a serial device.
struct UsbIdentity {
  int vendor = 0;
  int product = 0;
  std::string description;    // maker and product as the device names them
  bool latencyTimer = false;  // the adapter holds received bytes for a latency timer (FTDI-like)
  std::string serial;         // the device's serial number, where it has one
};

// The USB identity of the device behind `device`, when it is a USB device present now.
[[nodiscard]] std::optional<UsbIdentity> UsbIdentityOf(const std::string& device);

}  // namespace veska::station
