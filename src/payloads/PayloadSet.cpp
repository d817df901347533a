#include "payloads/PayloadSet.h"

#include <cstdio>
#include <memory>

namespace veska::payloads {

namespace standin {
extern const std::uint8_t kPreloaderStage1[2656 + 8];
extern const std::uint8_t kPreloaderStage2[2780 + 8];
extern const std::uint8_t kNandFlashDriver[188112 + 8];
extern const std::uint8_t kBootloaderDriver[41052 + 8];
}  // namespace standin

namespace {

// The stored form: a little-endian byte count and a zero word before the bytes.
std::span<const std::uint8_t> Unwrap(std::span<const std::uint8_t> stored) {
  if (stored.size() < 8) return {};
  const std::uint32_t count = std::uint32_t{stored[0]} | std::uint32_t{stored[1]} << 8 |
                              std::uint32_t{stored[2]} << 16 | std::uint32_t{stored[3]} << 24;
  if (count != stored.size() - 8) return {};
  return stored.subspan(8);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Reads at most `limit` + 1 bytes, enough to tell a file that is too long.
bool ReadSmallFile(const std::filesystem::path& path, std::size_t limit,
                   std::vector<std::uint8_t>& bytes) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.string().c_str(), "rb"));
  if (!file) return false;
  bytes.resize(limit + 1);
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file.get());
  if (std::ferror(file.get())) return false;
  bytes.resize(got);
  return true;
}

}  // namespace

std::span<const std::uint8_t> StandIn(PayloadId id) {
  switch (id) {
    case PayloadId::PreloaderStage1:
      return Unwrap(standin::kPreloaderStage1);
    case PayloadId::PreloaderStage2:
      return Unwrap(standin::kPreloaderStage2);
    case PayloadId::NandFlashDriver:
      return Unwrap(standin::kNandFlashDriver);
    case PayloadId::BootloaderDriver:
      return Unwrap(standin::kBootloaderDriver);
  }
  return {};
}

PayloadSet::PayloadSet() = default;

std::filesystem::path DefaultPayloadFolder() {
  std::error_code ec;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return (ec ? std::filesystem::current_path(ec) : self.parent_path()) / "payloads";
}

std::string PayloadSet::Check(const PayloadSpec& spec, std::span<const std::uint8_t> bytes) {
  if (bytes.size() != spec.size) {
    return "holds " + std::to_string(bytes.size()) + " bytes where " + std::to_string(spec.size) +
           " are expected";
  }
  const std::uint32_t count = std::uint32_t{bytes[4]} << 24 | std::uint32_t{bytes[5]} << 16 |
                              std::uint32_t{bytes[6]} << 8 | std::uint32_t{bytes[7]};
  if (!std::equal(spec.headerWord.begin(), spec.headerWord.end(), bytes.begin()) ||
      count != spec.headerCount) {
    return "does not begin with the header of " + std::string(spec.name);
  }
  return "";
}

PayloadSet PayloadSet::Load(const std::filesystem::path& folder) {
  PayloadSet set;
  for (const auto& spec : kPayloadTable) {
    const auto path = folder / (std::string(spec.name) + ".bin");
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) continue;
    Entry& entry = set.entries_[static_cast<std::size_t>(spec.id)];
    entry.path = path;
    std::vector<std::uint8_t> bytes;
    std::string problem;
    if (!ReadSmallFile(path, spec.size, bytes)) {
      problem = "cannot be read";
    } else {
      problem = Check(spec, bytes);
    }
    if (!problem.empty()) {
      entry.source = PayloadSource::Refused;
      set.problems_.push_back("Loader file " + path.string() + " " + problem +
                              "; it will not be sent.");
      continue;
    }
    entry.source = PayloadSource::RealFile;
    entry.fileBytes = std::move(bytes);
  }
  return set;
}

std::span<const std::uint8_t> PayloadSet::Bytes(PayloadId id) const {
  const Entry& entry = entries_[static_cast<std::size_t>(id)];
  switch (entry.source) {
    case PayloadSource::StandIn:
      return StandIn(id);
    case PayloadSource::RealFile:
      return entry.fileBytes;
    case PayloadSource::Refused:
      return {};
  }
  return {};
}

PayloadSource PayloadSet::Source(PayloadId id) const {
  return entries_[static_cast<std::size_t>(id)].source;
}

std::string PayloadSet::Describe() const {
  std::size_t real = 0, refused = 0;
  for (const Entry& e : entries_) {
    real += e.source == PayloadSource::RealFile;
    refused += e.source == PayloadSource::Refused;
  }
  std::string text;
  if (real == 0 && refused == 0) {
    text = "Loader payloads: built-in stand-ins (not real target programs)";
  } else if (real == entries_.size()) {
    text = "Loader payloads: real target programs from " + entries_[0].path.parent_path().string();
  } else {
    text = "Loader payloads:";
    for (const auto& spec : kPayloadTable) {
      const Entry& e = entries_[static_cast<std::size_t>(spec.id)];
      text.append(" ").append(spec.name).append("=");
      text.append(e.source == PayloadSource::RealFile  ? "file"
                  : e.source == PayloadSource::Refused ? "refused"
                                                       : "stand-in");
    }
  }
  return text;
}

}  // namespace veska::payloads
