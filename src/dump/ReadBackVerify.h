#pragma once

#include <span>

#include <string>

#include "app/Engine.h"
#include "app/FlashMap.h"

namespace veska::dump {

// How a read-back failed, beyond the port's own statuses (link::PortStatus), which pass
// unchanged, and DUMP_SUM_MISMATCH (a chunk damaged on the line).
enum VerifyStatus : int {
  VERIFY_OK = 0,
  VERIFY_MISMATCH = 133,    // the flash holds another byte than the file
  VERIFY_FILE_ERROR = 134,  // the image file cannot be opened or ends before its measured size
};

// An image just written: its kind (which gives its flash address), its file and the size the
// download measured.
struct ImageToVerify {
  app::ImageKind kind = app::ImageKind::Apps;
  std::string path;
  std::uint32_t size = 0;
};

// Reads back, through the dump request (data only), the flash region of each image in `written`
// that has a flash address: the image's measured length rounded up to whole 2048-byte pages.
// Compares it with the image file chunk by chunk, never holding a whole image, and logs one line
// per image: OK, or the first differing address with the file's and the flash's byte. The file
// systems (TFS, DB2) are left out: the phone rewrites them into its own file system. Opens and
// closes the engine's port for each image. 0 when every image matched, otherwise the status of
// the first that did not (the images after it are still read back), which a "Failure" box then
// names with its log line's verdict, unless Disconnect ended the read-back.
[[nodiscard]] int VerifyWritten(const app::EngineContext& engine,
                                std::span<const ImageToVerify> written);

}  // namespace veska::dump
