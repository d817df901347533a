#include "explorer/FileStatus.h"

#include "app/Printf.h"
#include "link/Wire.h"

namespace veska::explorer {

namespace {

using app::Printf;

std::int16_t Be16(std::span<const std::uint8_t> bytes) {
  return static_cast<std::int16_t>((bytes[0] << 8) | bytes[1]);
}

// Year from 1980, month and day of the MS-DOS date in the low 16 bits of `date`.
std::string DosDate(std::uint32_t date) {
  return Printf("%04lu:%02lu:%02lu \r\n", static_cast<unsigned long>((date >> 9) + 1980),
                static_cast<unsigned long>((date >> 5) & 0x0F),
                static_cast<unsigned long>(date & 0x1F));
}

// Date in the high 16 bits, time in the low ones (seconds counted in twos).
std::string DosDateTime(std::uint32_t value) {
  return Printf("%04lu:%02lu:%02lu %02lu:%02lu:%02lu \r\n",
                static_cast<unsigned long>((value >> 25) + 1980),
                static_cast<unsigned long>((value >> 21) & 0x0F),
                static_cast<unsigned long>((value >> 16) & 0x1F),
                static_cast<unsigned long>((value >> 11) & 0x1F),
                static_cast<unsigned long>((value >> 5) & 0x3F),
                static_cast<unsigned long>((value & 0x1F) * 2));
}

}  // namespace

std::string DosDateText(std::uint32_t date) {
  return Printf("%04lu-%02lu-%02lu", static_cast<unsigned long>(((date >> 9) & 0x7F) + 1980),
                static_cast<unsigned long>((date >> 5) & 0x0F),
                static_cast<unsigned long>(date & 0x1F));
}

std::string DosDateTimeText(std::uint32_t value) {
  return DosDateText(value >> 16) + Printf(" %02lu:%02lu:%02lu",
                                           static_cast<unsigned long>((value >> 11) & 0x1F),
                                           static_cast<unsigned long>((value >> 5) & 0x3F),
                                           static_cast<unsigned long>((value & 0x1F) * 2));
}

FileStatus FileStatus::Decode(std::span<const std::uint8_t, kFileStatusSize> bytes) {
  FileStatus status;
  status.mode = link::DecodeUartNumber(bytes.subspan<0, 4>());
  status.inode = link::DecodeUartNumber(bytes.subspan<4, 4>());
  status.deviceId = Be16(bytes.subspan(8, 2));
  status.dummyEntry = Be16(bytes.subspan(10, 2));
  status.size = link::DecodeUartNumber(bytes.subspan<12, 4>());
  status.accessDate = link::DecodeUartNumber(bytes.subspan<16, 4>());
  status.modifiedTime = link::DecodeUartNumber(bytes.subspan<20, 4>());
  status.changedTime = link::DecodeUartNumber(bytes.subspan<24, 4>());
  return status;
}

std::vector<std::string> FileStatusLines(const FileStatus& status) {
  // The signed fields print as 32-bit values widened with their sign (0xFFFE as fffffffe).
  const auto widened = [](std::int16_t value) {
    return static_cast<unsigned>(static_cast<std::int32_t>(value));
  };
  return {
      Printf("\n*File mode : 0x%x \r\n", status.mode),
      Printf("*File i node : 0x%x \r\n", status.inode),
      Printf("*File dev ID: 0x%x \r\n", widened(status.deviceId)),
      Printf("*File dummy entry : 0x%x \r\n", widened(status.dummyEntry)),
      Printf("*File size : %d byte\r\n", static_cast<int>(status.size)),
      Printf("*File last access time : 0x%x \r\n", status.accessDate),
      DosDate(status.accessDate),
      Printf("*File last modification time : 0x%x \r\n", status.modifiedTime),
      DosDateTime(status.modifiedTime),
      Printf("*File last status change time : 0x%x \r\n", status.changedTime),
      DosDateTime(status.changedTime),
  };
}

}  // namespace veska::explorer
