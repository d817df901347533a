#pragma once

// The decisions of the Win32 port back end that need no Windows API: which device a port name
// opens, what a failed open tells the user, and how the port record's time-outs become the
// device's millisecond fields. Kept free of <windows.h> so that they are tested on every host.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "link/Sinks.h"

namespace veska::link::win32 {

// The Win32 device namespace. "COM1" to "COM9" would also open without it, but "COM10" and up
// only open through it.
inline constexpr std::string_view kDeviceNamespace = "\\\\.\\";

// The error codes OpenFailureHint explains (their <windows.h> names are ERROR_FILE_NOT_FOUND and
// ERROR_ACCESS_DENIED; the back end checks that they agree).
inline constexpr int kErrorFileNotFound = 2;
inline constexpr int kErrorAccessDenied = 5;

// Errors an overlapped read can finish with (ERROR_SEM_TIMEOUT, ERROR_OPERATION_ABORTED and
// ERROR_TIMEOUT in <windows.h>; checked there too).
inline constexpr std::uint32_t kErrorSemTimeout = 121;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorTimeout = 1460;

// Largest value a time-out field takes as a plain count of milliseconds: MAXDWORD is a marker
// that changes the meaning of the other fields.
inline constexpr std::uint32_t kLongestCommTimeout = 0xFFFFFFFEu;

// The path CreateFileA opens for a port name. A name in the device namespace is used as is;
// otherwise an override from the settings wins, then the name itself in the namespace. An
// override may be written either way ("COM12" or "\\.\COM12"); anything starting with a
// backslash is taken as a full path.
[[nodiscard]] inline std::string DevicePathForName(
    const std::string& portName, const std::map<std::string, std::string>& overrides) {
  if (portName.starts_with(kDeviceNamespace)) return portName;
  std::string name = portName;
  if (auto found = overrides.find(portName); found != overrides.end() && !found->second.empty()) {
    name = found->second;
    if (name.starts_with('\\')) return name;
  }
  return std::string(kDeviceNamespace) + name;
}

// The kind of a failed open: a port another program holds is refused as access denied.
[[nodiscard]] inline PortProblem OpenProblemOf(int osError) {
  if (osError == kErrorAccessDenied) return PortProblem::InUse;
  if (osError == kErrorFileNotFound) return PortProblem::Missing;
  return PortProblem::Other;
}

// A line for the console after a failed open, or "" when the error says nothing useful.
[[nodiscard]] inline std::string OpenHintText(int osError, std::string_view portName,
                                              std::string_view path) {
  const std::string name(portName);
  if (osError == kErrorAccessDenied) return "\n" + name + " is in use by another program\n";
  if (osError == kErrorFileNotFound) {
    return "\n" + name + " is not present (" + std::string(path) + ")\n";
  }
  return {};
}

// What a finished overlapped read means to the caller.
enum class ReadEnd {
  kTransfer,   // the bytes counted arrived, possibly none: the line was quiet
  kCancelled,  // Close ended it: the port is going away
  kFailed,     // the device reported a real error
};

// Some drivers (and wine) end a read that reached its time-out as a failure with a time-out
// error rather than as a success with a short count. Both mean the same: the phone was quiet, and
// the whole-buffer loops decide through their allowance whether it has gone silent. Taking it for
// a device error would end the boot-signal wait after its first second.
[[nodiscard]] inline ReadEnd ClassifyReadEnd(bool succeeded, std::uint32_t error) {
  if (succeeded) return ReadEnd::kTransfer;
  if (error == kErrorTimeout || error == kErrorSemTimeout) return ReadEnd::kTransfer;
  if (error == kErrorOperationAborted) return ReadEnd::kCancelled;
  return ReadEnd::kFailed;
}

// A line for the console when the driver, asked for `asked` bit/s, reports running the line at
// `reported`; "" when they agree. Some drivers (and wine) take an unusual rate without an error
// and fall back to another one, and a phone that was told the asked rate would then hear noise.
[[nodiscard]] inline std::string RateMismatchText(std::string_view portName, std::uint32_t asked,
                                                  std::uint32_t reported) {
  if (asked == reported) return {};
  return "\n" + std::string(portName) + " runs at " + std::to_string(reported) + " bit/s where " +
         std::to_string(asked) + " was set: the driver does not take that rate\n";
}

// The inter-byte limit as the device's ReadIntervalTimeout; 0 switches the limit off.
[[nodiscard]] inline std::uint32_t ReadIntervalMillis(std::chrono::milliseconds interval) {
  return static_cast<std::uint32_t>(
      std::clamp<std::chrono::milliseconds::rep>(interval.count(), 0, kLongestCommTimeout));
}

// The total read limit as ReadTotalTimeoutConstant. Never 0: with the interval off as well, the
// device would treat the read as having no time-out and block until the buffer is full, so a
// silent phone would hang the read for good instead of giving an empty read.
[[nodiscard]] inline std::uint32_t ReadTotalMillis(std::chrono::milliseconds total) {
  return static_cast<std::uint32_t>(
      std::clamp<std::chrono::milliseconds::rep>(total.count(), 1, kLongestCommTimeout));
}

}  // namespace veska::link::win32
