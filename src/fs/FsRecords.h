#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <span>
#include <string_view>
#include <vector>

#include "fs/FsCodes.h"

namespace veska::fs {

// The argument records of the file-system commands. Their byte orders are fixed whatever the
// link: lengths and sizes big-endian, the time fields little-endian.

// A name as the phone takes it: the length n (terminating zero included, big-endian 16 bits),
// then the UTF-8 name and its zero. The caller keeps names within the phone's limits, far
// below what 16 bits can count.
[[nodiscard]] std::vector<std::uint8_t> EncodeNameRecord(std::string_view utf8Name);

// The name record followed by the file's size, big-endian.
[[nodiscard]] std::vector<std::uint8_t> EncodeFileRecord(std::string_view utf8Name,
                                                         std::uint32_t size);

// Seconds, minutes, hours, day of the month, month (January = 1) and full year, each as a
// little-endian 32-bit field.
[[nodiscard]] std::array<std::uint8_t, TIME_RECORD_SIZE> EncodeTimeRecord(const std::tm& local);

// What the phone reports after refusing a format: the failing routine and its error code.
struct FormatErrorReport {
  std::uint8_t functionCode = 0;
  std::uint32_t errorCode = 0;  // big-endian on the wire
  [[nodiscard]] static FormatErrorReport Decode(
      std::span<const std::uint8_t, ERROR_REPORT_SIZE> bytes);
};

}  // namespace veska::fs
