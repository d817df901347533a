#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "sim/NandModel.h"

namespace veska::sim {

// The calendar fields of the time record, as the PC sent them.
struct TfsTime {
  std::uint32_t seconds = 0;
  std::uint32_t minutes = 0;
  std::uint32_t hours = 0;
  std::uint32_t day = 0;
  std::uint32_t month = 0;
  std::uint32_t year = 0;
  bool operator==(const TfsTime&) const = default;
};

// MS-DOS packed date-and-time of a time record (0 when the fields do not fit the packing).
[[nodiscard]] std::uint32_t DosDateTime(const TfsTime& time);

struct TfsFile {
  std::vector<std::uint8_t> bytes;
  std::uint32_t inode = 0;
  std::uint32_t modified = 0;  // DOS date-and-time of the time record in force when written
  bool operator==(const TfsFile&) const = default;
};

// Everything the phone's file system holds. Paths are absolute ("/sys/data"), without a
// trailing "/" except the root.
struct TfsContents {
  bool formatted = false;
  std::set<std::string> directories;     // "/" once formatted
  std::map<std::string, TfsFile> files;  // by full path
  std::optional<std::array<std::uint8_t, 16>> version;
  std::optional<std::array<std::uint8_t, 12>> releaseVersion;  // none after "no release"
  bool releaseRecorded = false;  // a release record (with or without version) was written
  std::optional<TfsTime> time;
  bool checksumMarked = false;
  bool complete = false;  // the completion command came after the last file
  std::uint32_t nextInode = 1;
  bool operator==(const TfsContents&) const = default;
};

// Bytes a file system occupies in its stored form (header included).
[[nodiscard]] std::uint64_t StoredSize(const TfsContents& contents);
[[nodiscard]] std::vector<std::uint8_t> EncodeTfs(const TfsContents& contents);
// Nullopt when the bytes are not a stored file system (erased, torn or foreign); every length
// inside is checked against what is left.
[[nodiscard]] std::optional<TfsContents> DecodeTfs(std::span<const std::uint8_t> stored);

// Writes the contents out as plain files, so a script can compare them with its inputs byte for
// byte: every directory and file under `dir`/files, the version field as `dir`/version, the
// release field as `dir`/release (both raw, absent when not recorded) and the time record as
// `dir`/time ("YYYY-MM-DD hh:mm:ss\n"). Names come from the PC: one that would lead out of `dir`
// (an empty, "." or ".." component) is not written and is counted in `skipped`. 0 or errno.
int ExportTfs(const TfsContents& contents, const std::string& dir, std::size_t* skipped = nullptr);

// The phone's file system and where it is kept between runs: either a region of the NAND flash
// (and so the flash's backing file, when there is one), or a side file of its own. The model
// in memory is what the service works on; Save() writes it through, and the service saves at
// the points where a real loader commits (format, completion, unmount, an Explorer change).
//
// Thread-safe: the phone's thread changes it while tests read snapshots.
class TfsModel {
 public:
  // Where the flash copy lives: the second half of the flash, clear of every image region.
  static constexpr std::uint64_t FLASH_ADDRESS = 0x8000000;
  static constexpr std::uint64_t CAPACITY = 0x8000000;

  TfsModel() = default;
  TfsModel(const TfsModel&) = delete;
  TfsModel& operator=(const TfsModel&) = delete;

  // Keeps the file system in `nand` and loads what the flash holds there.
  void AttachFlash(NandModel& nand);
  // Keeps the file system in a file of its own and loads it when the file exists. 0 or errno.
  int AttachSideFile(const std::string& path);
  // Reads the stored copy again (an erase or an image write may have replaced it). A region
  // that holds no file system leaves an unformatted model.
  void Reload();
  // Writes the model through. False when it does not fit or the file cannot be written.
  bool Save();

  [[nodiscard]] TfsContents Snapshot() const;
  // Runs `change` on the contents under the model's lock.
  template <typename F>
  auto Change(F&& change) {
    std::lock_guard lock(mutex_);
    return change(contents_);
  }

 private:
  void LoadLocked();

  mutable std::mutex mutex_;
  TfsContents contents_;
  NandModel* nand_ = nullptr;
  std::string sideFile_;
  std::uint64_t storedLength_ = 0;  // bytes the last save left in the flash
};

}  // namespace veska::sim
