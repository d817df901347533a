#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace veska::explorer {

inline constexpr std::size_t kFileStatusSize = 28;

// A file's status record as the phone sends it after TFS_STATUS_DATA: every field big-endian,
// the three times in the MS-DOS packing.
struct FileStatus {
  std::uint32_t mode = 0;
  std::uint32_t inode = 0;
  std::int16_t deviceId = 0;
  std::int16_t dummyEntry = 0;
  std::uint32_t size = 0;
  std::uint32_t accessDate = 0;    // date only
  std::uint32_t modifiedTime = 0;  // date and time
  std::uint32_t changedTime = 0;   // date and time

  [[nodiscard]] static FileStatus Decode(std::span<const std::uint8_t, kFileStatusSize> bytes);
};

// The eleven texts the narrative pane shows for a status record, in order: mode, inode, device
// id, dummy entry, size, then each time's raw value followed by its decoded date (and time).
[[nodiscard]] std::vector<std::string> FileStatusLines(const FileStatus& status);

// The MS-DOS date of an access time as "YYYY-MM-DD", and a date and time as
// "YYYY-MM-DD HH:MM:SS", for readers other than the narrative.
[[nodiscard]] std::string DosDateText(std::uint32_t date);
[[nodiscard]] std::string DosDateTimeText(std::uint32_t value);

}  // namespace veska::explorer
