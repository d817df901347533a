#pragma once

#include <cstdint>
#include <string_view>

#include "app/DownloaderDlg.h"

namespace veska::dump {

// Commands of the dump. DUMP_START always goes as one bare byte, followed by the request (kind
// byte, first address, byte count); the answers to each chunk go in the link's command form.
inline constexpr std::uint8_t DUMP_START = 0xC0;
inline constexpr std::uint8_t DUMP_ACK = 0xC1;  // chunk accepted: send the next
inline constexpr std::uint8_t DUMP_NAK = 0xC2;  // sum mismatch: the dump ends

// Every write of the request and every read of a chunk or its sum uses this factor.
inline constexpr std::uint8_t kDumpTimeoutFactor = 8;

// How a dump failed, beyond the port's own statuses (link::PortStatus), which pass unchanged.
enum DumpStatus : int {
  DUMP_OK = 0,
  DUMP_FILE_NOT_CREATED = 130,   // "Internal Error! (file creation)": nothing was sent
  DUMP_SUM_MISMATCH = 131,       // a chunk's sum differed: DUMP_NAK was sent
  DUMP_FILE_WRITE_FAILED = 132,  // an accepted chunk could not be written to the file
};

// Texts of the save dialog.
inline constexpr std::string_view kDumpFileFilter = "Save File (*.hex)|*.hex|All Files (*.*)|*.*||";
inline constexpr std::string_view kDumpFileExtension = "hex";

// "NAND Dump" (control 1011), on the user-interface thread: busy state, the start check, then
// the dump worker. Its result: Written when the whole area reached the file; Refused when the
// area dialog or the save dialog was cancelled or the checks stopped it; Failed with a
// DumpStatus or a link::PortStatus otherwise (the file then keeps the chunks accepted so far,
// unless the status is DUMP_FILE_NOT_CREATED).
void OnNandDump(app::DownloaderDlg& dlg);

// The worker's entry: clears the progress, runs the dump, returns its result.
[[nodiscard]] app::OperationResult DumpThread(app::DownloaderDlg& dlg);

// The dump itself, on the worker: area dialog, save dialog, checks, file, port, request and
// chunks. Leaves the window connected (unless Disconnect ended it).
[[nodiscard]] app::OperationResult RunNandDump(app::DownloaderDlg& dlg);

// Registers this layer's button (NAND Dump).
void AddOperations(app::DlgOperations& operations);

}  // namespace veska::dump
