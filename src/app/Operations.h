#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

#include "app/ControlIds.h"

namespace veska::app {

// The operations of the main dialog, one per button that starts one.
enum class OperationId : int {
  Start,
  Download,
  DownloadBootloader,
  NandErase,
  BootloaderErase,
  TfsExplorer,
  Format,
  NandDump,
  Checksum,
};
inline constexpr int kOperationCount = 9;

// Where an operation's exchange runs: on a worker (the window keeps answering, Disconnect ends
// it), or on the user-interface thread inside its button's press (a modal dialog of its own, or
// no phone at all).
enum class RunsOn { Worker, WindowThread };

// One operation, declared once: everything else (the button's handler, the names in reports,
// whether a busy phone refuses it, the command line's step) is looked up here.
struct OperationInfo {
  OperationId id;
  std::string_view name;  // the button's caption, as reports name it
  int button;             // the control that starts it
  bool needsPhone;        // only the checksum tool talks to no phone
  RunsOn runsOn;
  std::string_view step;  // the command line's step word
};

inline constexpr std::array<OperationInfo, kOperationCount> kOperationTable = {{
    {OperationId::Start, "START", IDC_START, true, RunsOn::Worker, "connect"},
    {OperationId::Download, "Download", IDC_DOWNLOAD, true, RunsOn::Worker, "download"},
    {OperationId::DownloadBootloader, "D / L Bootloader", IDC_DL_BOOTLOADER, true, RunsOn::Worker,
     "bootloader"},
    {OperationId::NandErase, "NAND Erase", IDC_NAND_ERASE, true, RunsOn::Worker, "erase-nand"},
    {OperationId::BootloaderErase, "Bootloader Erase", IDC_BOOTLOADER_ERASE, true, RunsOn::Worker,
     "erase-bootloader"},
    {OperationId::TfsExplorer, "TFS Explorer", IDC_TFS_EXPLORER, true, RunsOn::WindowThread,
     "explore"},
    {OperationId::Format, "Format", IDC_FORMAT, true, RunsOn::WindowThread, "format"},
    {OperationId::NandDump, "NAND Dump", IDC_NAND_DUMP, true, RunsOn::Worker, "dump"},
    {OperationId::Checksum, "Checksum", IDC_CHECKSUM, false, RunsOn::WindowThread, "checksum"},
}};

// The row of `id`.
[[nodiscard]] constexpr const OperationInfo& Operation(OperationId id) {
  return kOperationTable[static_cast<std::size_t>(id)];
}
// The operation whose button is `control`, if any.
[[nodiscard]] constexpr std::optional<OperationId> OperationOfButton(int control) {
  for (const OperationInfo& row : kOperationTable) {
    if (row.button == control) return row.id;
  }
  return std::nullopt;
}

// The button's caption, for reports ("START", "Download", ...).
[[nodiscard]] constexpr std::string_view OperationName(OperationId id) {
  return Operation(id).name;
}
// False only for the operations that never talk to the phone (the checksum tool).
[[nodiscard]] constexpr bool NeedsPhone(OperationId id) {
  return Operation(id).needsPhone;
}

// The table's rows stand in the order of their ids.
static_assert([] {
  for (std::size_t i = 0; i < kOperationTable.size(); ++i) {
    if (static_cast<std::size_t>(kOperationTable[i].id) != i) return false;
  }
  return true;
}());

}  // namespace veska::app
