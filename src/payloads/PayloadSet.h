#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "payloads/PayloadTable.h"

namespace veska::payloads {

// Where a payload's bytes come from.
enum class PayloadSource { StandIn, RealFile, Refused };

// The loader payloads in use. By default the built-in stand-ins; a technician who holds the
// real target programs puts them in a folder (NAME.bin for each payload of the table) and every
// file found there replaces its stand-in once its size and header words match the table. A file
// that does not match is refused: its payload has no bytes at all, so it can never be sent, and
// Problems() says why.
class PayloadSet {
 public:
  // Only the stand-ins.
  PayloadSet();
  // Stand-ins, replaced by the valid real files found in `folder`.
  [[nodiscard]] static PayloadSet Load(const std::filesystem::path& folder);
  // The same over several folders: for each payload the first folder that holds its file
  // decides (a file there that does not fit is refused, not passed over for a later folder).
  [[nodiscard]] static PayloadSet Load(std::span<const std::filesystem::path> folders);

  // The bytes to send; empty for a refused payload.
  [[nodiscard]] std::span<const std::uint8_t> Bytes(PayloadId id) const;
  [[nodiscard]] PayloadSource Source(PayloadId id) const;
  // The folders the set was loaded from, in search order (none for the stand-ins alone).
  [[nodiscard]] std::span<const std::filesystem::path> Folders() const { return folders_; }
  // One line per refused file, naming the file and what is wrong with it.
  [[nodiscard]] const std::vector<std::string>& Problems() const { return problems_; }
  // A short line for the console and the about box, e.g.
  // "Loader payloads: built-in stand-ins (not real target programs)".
  [[nodiscard]] std::string Describe() const;

  // Checks a candidate file's bytes against the table; "" when they fit, else the reason.
  [[nodiscard]] static std::string Check(const PayloadSpec& spec,
                                         std::span<const std::uint8_t> bytes);

 private:
  struct Entry {
    PayloadSource source = PayloadSource::StandIn;
    std::vector<std::uint8_t> fileBytes;  // only for RealFile
    std::filesystem::path path;
  };
  std::array<Entry, kPayloadTable.size()> entries_;
  std::vector<std::filesystem::path> folders_;
  std::vector<std::string> problems_;
};

// Where a technician puts the real programs: the folder "payloads" beside the executable.
[[nodiscard]] std::filesystem::path DefaultPayloadFolder();
// Where an installed system keeps them for every user: /usr/share/veska-downloader/payloads for
// the Debian package (empty when the build names none), <ProgramData>\VeskaDownloader\payloads on
// Windows (empty when Windows names no ProgramData folder).
[[nodiscard]] std::filesystem::path SystemPayloadFolder();
// The folders searched, in order: beside the executable, then the system's.
[[nodiscard]] std::vector<std::filesystem::path> PayloadFolders();
// The line that tells a technician where to put the real programs, the folders in search order:
// "Loader folders: /opt/veska/bin/payloads, then /usr/share/veska-downloader/payloads".
[[nodiscard]] std::string DescribeFolders(std::span<const std::filesystem::path> folders);

// The built-in stand-in of a payload (its exact size and header, deterministic filler).
[[nodiscard]] std::span<const std::uint8_t> StandIn(PayloadId id);

}  // namespace veska::payloads
