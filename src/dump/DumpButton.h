#pragma once

#include <string_view>

#include "app/DownloaderDlg.h"
#include "dump/NandDump.h"

namespace veska::dump {

// Texts of the save dialog.
inline constexpr std::string_view kDumpFileFilter = "Save File (*.hex)|*.hex|All Files (*.*)|*.*||";
inline constexpr std::string_view kDumpFileExtension = "hex";

// "NAND Dump" (control 1011), on the user-interface thread: busy state, the start check, then
// the dump worker. Its result: Written when the whole area reached the file; Refused when the
// area dialog or the save dialog was cancelled or the checks stopped it; Failed with a
// DumpStatus or a link::PortStatus otherwise (the file then keeps the chunks accepted so far,
// unless the status is DUMP_FILE_NOT_CREATED).
void OnNandDump(app::DownloaderDlg& dlg);

// The worker's body: clears the progress; the area dialog, the save dialog, the checks and the
// file, then the dump itself. Leaves the window connected (unless Disconnect ended it).
[[nodiscard]] app::OperationResult DumpThread(app::DownloaderDlg& dlg);

// Registers this layer's button (NAND Dump).
void AddOperations(app::DlgOperations& operations);

}  // namespace veska::dump
