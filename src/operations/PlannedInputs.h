#pragma once

#include <optional>
#include <string>

#include "app/DownloaderDlg.h"

namespace veska::operations {

// What refuses a planned input before the port is touched, in the words of the operation that
// would have refused it: its message box's text, and a line that names the file and the reason.
struct InputRefusal {
  std::string box;
  std::string explanation;  // "<image> file refused before connecting: <path>"
  app::Cause cause;
};

// Why `path` cannot be read, in the system's words where it has them ("no path given", "it is
// a folder", the system's reason); empty when it can be.
[[nodiscard]] std::string UnreadableReason(const std::string& path);

// The files the download of `selectionIndex` examines, with the Download button's own rules and
// texts (each measured size is kept in the dialog, as the button keeps it). The first refused.
[[nodiscard]] std::optional<InputRefusal> RefusedDownloadFile(app::DownloaderDlg& dlg,
                                                              int selectionIndex);

// The file systems' listings the download of `selectionIndex` reads, loaded and checked as the
// download loads them (their refusal's box is the download's own, shown by the load: the
// refusal's `box` is empty). The first refused.
[[nodiscard]] std::optional<InputRefusal> RefusedListing(app::DownloaderDlg& dlg,
                                                         int selectionIndex);

// A file the Explorer's Add would take from the PC: only a regular file (looked at without
// waiting for anyone: a FIFO would block the open) that the file's 32-bit size record can
// carry.
[[nodiscard]] std::optional<InputRefusal> RefusedExplorerFile(const std::string& file);

// The Checksum tool on any file: its size and CRC-32 in the window's fields, as the tool shows
// an image's. False (after its message box) when the file cannot be read.
bool ShowChecksumOf(app::DownloaderDlg& dlg, const std::string& path);

}  // namespace veska::operations
