#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim/PhoneCodes.h"
#include "sim/UniqueFd.h"

namespace veska::sim {

// The phone's NAND flash: 256 MiB of 2048-byte pages, each with 64 spare bytes, in blocks of 64
// pages. Pages are kept sparsely: a page never written reads as 0xFF (erased), so a fresh phone
// costs no memory.
//
// Optionally the flash is backed by a file, written through on every change, so that it
// survives between runs and can be inspected. File layout (all offsets in bytes):
//   0        16-byte magic "VESKA-NAND-v1\0\0\0"
//   4096     written-page bitmap, one bit per page (bit p%8 of byte p/8), 16384 bytes
//   65536    page p at 65536 + p x 2112: 2048 data bytes, then 64 spare bytes
// A page whose bit is clear is erased and reads as 0xFF whatever the file holds there (the file
// is created sparse, so such pages cost no disk either).
//
// Bad-block marks live in memory only; the phone's options set them at every start.
//
// Thread-safe: every member takes the model's lock, so tests may read while the phone writes.
class NandModel {
 public:
  NandModel() = default;
  NandModel(const NandModel&) = delete;
  NandModel& operator=(const NandModel&) = delete;

  // Attaches a backing file, creating it when missing, and loads the pages it holds (replacing
  // what the model held). Returns 0 or an errno value; on failure the model stays memory-only.
  int AttachFile(const std::string& path);
  // Forces the backing file's contents to the disk (no-op without one). 0 or errno.
  int Flush();

  // Data bytes at a flash address (page data only, spare skipped). False, with nothing copied,
  // when the range leaves the flash.
  bool ReadData(std::uint64_t address, std::span<std::uint8_t> out) const;
  // Programs data bytes at a flash address (spare bytes untouched). False when out of range.
  bool WriteData(std::uint64_t address, std::span<const std::uint8_t> data);
  // One page with its spare bytes (2112 bytes). False when the page does not exist.
  bool ReadPage(std::uint32_t page, std::span<std::uint8_t, PAGE_SIZE> out) const;
  // Sets one page's spare bytes (64). False when the page does not exist.
  bool WriteSpare(std::uint32_t page, std::span<const std::uint8_t, PAGE_SPARE_SIZE> spare);

  // Erases blocks first ... last inclusive, skipping blocks marked bad (an erase on a bad block
  // is refused by real flash). Returns the number of blocks erased.
  std::uint32_t EraseBlocks(std::uint32_t first, std::uint32_t last);

  void MarkBad(std::uint32_t block);
  [[nodiscard]] bool IsBad(std::uint32_t block) const;

  // Pages that are not erased: what the model costs in memory.
  [[nodiscard]] std::size_t WrittenPages() const;

 private:
  using Page = std::vector<std::uint8_t>;  // PAGE_SIZE bytes

  Page& PageForWrite(std::uint32_t page);  // lock held
  void StorePage(std::uint32_t page);      // lock held: write-through of one page
  void StoreBitmapByte(std::uint32_t page);

  mutable std::mutex mutex_;
  std::unordered_map<std::uint32_t, Page> pages_;
  std::vector<bool> bad_ = std::vector<bool>(BLOCK_COUNT, false);
  UniqueFd file_;
  std::vector<std::uint8_t> bitmap_;  // mirror of the file's bitmap, only with a file
};

}  // namespace veska::sim
