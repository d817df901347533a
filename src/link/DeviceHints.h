#pragma once

// What stands between a user and a serial port on a Linux desktop besides permissions:
// ModemManager, which opens every new USB CDC-ACM device and sends AT commands to it for several
// seconds. For a phone in its boot ROM that can spoil the handshake. On other systems these say
// nothing.

#include <filesystem>
#include <string>

namespace veska::link {

// True when a process named ModemManager runs (looked up in `proc`).
[[nodiscard]] bool ModemManagerRunning(const std::filesystem::path& proc = "/proc");

// True when `device` (a path, links followed) is a tty of the cdc_acm driver (looked up in
// `sysTty`, the kernel's tty class folder).
[[nodiscard]] bool IsUsbCdcAcm(const std::string& device,
                               const std::filesystem::path& sysTty = "/sys/class/tty");

// The hint for a port whose device is a CDC-ACM device while ModemManager runs, else "".
[[nodiscard]] std::string ModemManagerHint(const std::string& portName, bool modemManagerRunning,
                                           bool cdcAcm);

}  // namespace veska::link
