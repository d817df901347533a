#include "sim/NandModel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace veska::sim {

namespace {

constexpr char kMagic[16] = "VESKA-NAND-v1";
constexpr off_t kBitmapOffset = 4096;
constexpr std::size_t kBitmapSize = PAGE_COUNT / 8;
constexpr off_t kPagesOffset = 65536;
constexpr off_t kFileSize = kPagesOffset + static_cast<off_t>(PAGE_COUNT) * PAGE_SIZE;

off_t PageOffset(std::uint32_t page) {
  return kPagesOffset + static_cast<off_t>(page) * PAGE_SIZE;
}

bool ReadAllAt(int fd, std::span<std::uint8_t> out, off_t offset) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t n =
        ::pread(fd, out.data() + done, out.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAllAt(int fd, std::span<const std::uint8_t> in, off_t offset) {
  std::size_t done = 0;
  while (done < in.size()) {
    ssize_t n = ::pwrite(fd, in.data() + done, in.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool InDataArea(std::uint64_t address, std::size_t length) {
  return address <= NAND_DATA_SIZE && length <= NAND_DATA_SIZE - address;
}

// Calls piece(page, offset in the page, part) for each page that the bytes at `address` touch,
// `part` being the bytes that fall in that page.
template <typename Byte, typename Piece>
void ForEachPage(std::uint64_t address, std::span<Byte> bytes, Piece piece) {
  for (std::size_t done = 0; done < bytes.size();) {
    const std::uint64_t at = address + done;
    const auto page = static_cast<std::uint32_t>(at / PAGE_DATA_SIZE);
    const auto offset = static_cast<std::size_t>(at % PAGE_DATA_SIZE);
    const std::size_t n = std::min<std::size_t>(PAGE_DATA_SIZE - offset, bytes.size() - done);
    piece(page, offset, bytes.subspan(done, n));
    done += n;
  }
}

}  // namespace

int NandModel::AttachFile(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  if (!fd.Valid()) return errno;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0) return errno;

  std::uint8_t magic[sizeof kMagic] = {};
  std::vector<std::uint8_t> bitmap(kBitmapSize, 0);
  if (st.st_size == 0) {
    // A new file: sparse, so the untouched flash costs no disk.
    std::memcpy(magic, kMagic, sizeof kMagic);
    if (!WriteAllAt(fd.Get(), magic, 0) || ::ftruncate(fd.Get(), kFileSize) != 0) {
      return errno != 0 ? errno : EIO;
    }
  } else {
    // Refuse anything that is not a flash file of ours rather than read pages out of it.
    if (st.st_size != kFileSize || !ReadAllAt(fd.Get(), magic, 0) ||
        std::memcmp(magic, kMagic, sizeof kMagic) != 0 ||
        !ReadAllAt(fd.Get(), bitmap, kBitmapOffset)) {
      return EINVAL;
    }
  }

  std::unordered_map<std::uint32_t, Page> loaded;
  for (std::uint32_t page = 0; page < PAGE_COUNT; ++page) {
    if ((bitmap[page / 8] & (1u << (page % 8))) == 0) continue;
    Page data(PAGE_SIZE);
    if (!ReadAllAt(fd.Get(), data, PageOffset(page))) return EIO;
    loaded.emplace(page, std::move(data));
  }

  std::lock_guard lock(mutex_);
  pages_ = std::move(loaded);
  bitmap_ = std::move(bitmap);
  file_ = std::move(fd);
  return 0;
}

int NandModel::Flush() {
  std::lock_guard lock(mutex_);
  if (!file_.Valid()) return 0;
  return ::fsync(file_.Get()) == 0 ? 0 : errno;
}

bool NandModel::ReadData(std::uint64_t address, std::span<std::uint8_t> out) const {
  if (!InDataArea(address, out.size())) return false;
  std::lock_guard lock(mutex_);
  ForEachPage(address, out,
              [&](std::uint32_t page, std::size_t offset, std::span<std::uint8_t> part) {
                auto it = pages_.find(page);
                if (it == pages_.end()) {
                  std::fill(part.begin(), part.end(), std::uint8_t{0xFF});
                } else {
                  std::copy_n(it->second.data() + offset, part.size(), part.data());
                }
              });
  return true;
}

bool NandModel::WriteData(std::uint64_t address, std::span<const std::uint8_t> data) {
  if (!InDataArea(address, data.size())) return false;
  std::lock_guard lock(mutex_);
  ForEachPage(address, data,
              [&](std::uint32_t page, std::size_t offset, std::span<const std::uint8_t> part) {
                std::copy(part.begin(), part.end(), PageForWrite(page).data() + offset);
                StorePage(page);
              });
  return true;
}

bool NandModel::ReadPage(std::uint32_t page, std::span<std::uint8_t, PAGE_SIZE> out) const {
  if (page >= PAGE_COUNT) return false;
  std::lock_guard lock(mutex_);
  auto it = pages_.find(page);
  if (it == pages_.end()) {
    std::fill(out.begin(), out.end(), std::uint8_t{0xFF});
  } else {
    std::copy(it->second.begin(), it->second.end(), out.begin());
  }
  return true;
}

bool NandModel::WriteSpare(std::uint32_t page,
                           std::span<const std::uint8_t, PAGE_SPARE_SIZE> spare) {
  if (page >= PAGE_COUNT) return false;
  std::lock_guard lock(mutex_);
  std::copy(spare.begin(), spare.end(), PageForWrite(page).data() + PAGE_DATA_SIZE);
  StorePage(page);
  return true;
}

std::uint32_t NandModel::EraseBlocks(std::uint32_t first, std::uint32_t last) {
  std::lock_guard lock(mutex_);
  std::uint32_t erased = 0;
  last = std::min(last, BLOCK_COUNT - 1);
  for (std::uint32_t block = first; block <= last; ++block) {
    if (bad_[block]) continue;
    for (std::uint32_t p = block * PAGES_PER_BLOCK; p < (block + 1) * PAGES_PER_BLOCK; ++p) {
      if (pages_.erase(p) != 0 && file_.Valid()) {
        bitmap_[p / 8] = static_cast<std::uint8_t>(bitmap_[p / 8] & ~(1u << (p % 8)));
        StoreBitmapByte(p);
        // Keep the file honest for whoever inspects it: erased data reads 0xFF there too.
        const Page blank(PAGE_SIZE, 0xFF);
        (void)WriteAllAt(file_.Get(), blank, PageOffset(p));
      }
    }
    ++erased;
  }
  return erased;
}

void NandModel::MarkBad(std::uint32_t block) {
  std::lock_guard lock(mutex_);
  if (block < BLOCK_COUNT) bad_[block] = true;
}

bool NandModel::IsBad(std::uint32_t block) const {
  std::lock_guard lock(mutex_);
  return block < BLOCK_COUNT && bad_[block];
}

std::size_t NandModel::WrittenPages() const {
  std::lock_guard lock(mutex_);
  return pages_.size();
}

NandModel::Page& NandModel::PageForWrite(std::uint32_t page) {
  auto [it, inserted] = pages_.try_emplace(page);
  if (inserted) it->second.assign(PAGE_SIZE, 0xFF);
  return it->second;
}

void NandModel::StorePage(std::uint32_t page) {
  if (!file_.Valid()) return;
  // Write-through: the page first, then its bit, so a crash never marks a page it did not hold.
  // A failing disk leaves the memory copy authoritative for this run; the phone keeps working.
  (void)WriteAllAt(file_.Get(), pages_[page], PageOffset(page));
  std::uint8_t& byte = bitmap_[page / 8];
  auto bit = static_cast<std::uint8_t>(1u << (page % 8));
  if ((byte & bit) == 0) {
    byte = static_cast<std::uint8_t>(byte | bit);
    StoreBitmapByte(page);
  }
}

void NandModel::StoreBitmapByte(std::uint32_t page) {
  (void)WriteAllAt(file_.Get(), std::span<const std::uint8_t>(&bitmap_[page / 8], 1),
                   kBitmapOffset + static_cast<off_t>(page / 8));
}

}  // namespace veska::sim
