#pragma once

#include <cstddef>
#include <string>

#include "app/DownloaderDlg.h"
#include "fs/Listing.h"

namespace veska::fs {

enum class FileSystemKind { Tfs, Db2 };

// Where each kind's measured size stands in the dialog's imageSize (its kind code less 0x20).
inline constexpr std::size_t TFS_IMAGE_INDEX = 0x25 - 0x20;
inline constexpr std::size_t DB2_IMAGE_INDEX = 0x26 - 0x20;

// The whole life of one file-system write: format, mount, checksum, time and version records,
// directories, files, completion and unmount. Runs on the download worker; true when the phone
// confirmed the unmount. The listing is loaded, checked and converted first: a refused listing
// ends the call before the port is opened.
[[nodiscard]] bool DownloadFileSystem(app::DownloaderDlg& dlg, FileSystemKind kind);

// Reads the kind's image length and listing (regular files only, the listing at most
// MAX_LISTING_BYTES), checks the listing and converts its names in the locale's character set.
// On failure shows its message box (and the listing is then not to be used).
[[nodiscard]] bool LoadListing(app::DownloaderDlg& dlg, FileSystemKind kind, Listing& listing);

// How a stand-alone format ended; the window shows it only through the log.
enum FormatResult : int {
  FORMAT_OK = 0,           // the phone answered TFS_FORMAT_OK
  FORMAT_STOPPED = 1,      // no port chosen, or the port record has no loader rate
  FORMAT_OPEN_FAILED = 2,  // "Comport Open error!"
  FORMAT_REFUSED = 3,      // the phone answered something else ("Fail!")
  FORMAT_NO_REPLY = 4,     // the byte could not be written or no answer came
};

// The Format button: a stand-alone format of the TFS file system, on the user-interface thread,
// reported through the dialog's OperationRunner.
void OnFormat(app::DownloaderDlg& dlg);
// The format itself, with its own status.
[[nodiscard]] FormatResult FormatFileSystem(app::DownloaderDlg& dlg);

// Registers this layer's buttons (Format) with the dialog's operations.
void AddOperations(app::DlgOperations& operations);

}  // namespace veska::fs
