#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/Engine.h"
#include "fs/Listing.h"

namespace veska::fs {

enum class FileSystemKind { Tfs, Db2 };

// Where each kind's measured size stands in the dialog's imageSize (its kind code less 0x20).
inline constexpr std::size_t TFS_IMAGE_INDEX = 0x25 - 0x20;
inline constexpr std::size_t DB2_IMAGE_INDEX = 0x26 - 0x20;

// What one file-system write needs: the image whose files the listing names, the listing, and
// the image's measured size (the progress bar's range).
struct FileSystemInputs {
  FileSystemKind kind = FileSystemKind::Tfs;
  std::string imagePath;
  std::string listingPath;
  std::uint32_t imageSize = 0;
};

// The whole life of one file-system write: format, mount, checksum, time and version records,
// directories, files, completion and unmount, on the engine's port. True when the phone
// confirmed the unmount. The listing is loaded, checked and converted first: a refused listing
// ends the call before the port is opened. `step` is the session's file-system step (FsStep),
// the reply the download waits for.
[[nodiscard]] bool DownloadFileSystem(const app::EngineContext& engine,
                                      const FileSystemInputs& inputs, int& step);

// Reads the image's length and the listing (regular files only, the listing at most
// MAX_LISTING_BYTES), checks the listing and converts its names in the locale's character set.
// On failure says why in a message box and notes the file refused as the cause (and the
// listing is then not to be used).
[[nodiscard]] bool LoadListing(const app::EngineContext& engine, const FileSystemInputs& inputs,
                               Listing& listing);

// How a stand-alone format ended; the window shows it only through the log.
enum FormatResult : int {
  FORMAT_OK = 0,           // the phone answered TFS_FORMAT_OK
  FORMAT_STOPPED = 1,      // no port chosen, or the port record has no loader rate
  FORMAT_OPEN_FAILED = 2,  // "Comport Open error!"
  FORMAT_REFUSED = 3,      // the phone answered something else ("Fail!")
  FORMAT_NO_REPLY = 4,     // the byte could not be written or no answer came
};

// The stand-alone format of the TFS file system on the engine's port (opened and closed here).
[[nodiscard]] FormatResult FormatFileSystem(const app::EngineContext& engine);

}  // namespace veska::fs
