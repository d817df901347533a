#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/DownloaderDlg.h"

namespace veska::download {

// The Checksum button: size and CRC-32 of the single image the selection names. Needs no phone.
// True when both were shown.
bool OnChecksum(app::DownloaderDlg& dlg);

// Size and CRC-32 of one file into the File Size and Checksum fields. `openFailureText` is
// shown when the file cannot be opened to measure it; `measured` receives the size shown (0
// when none, 4294967295 for a file larger than 4 GiB, which gets no checksum). True when both
// fields were filled from the file.
bool ShowFileChecksum(app::DownloaderDlg& dlg, const std::string& path,
                      std::string_view openFailureText, std::uint32_t* measured = nullptr);

}  // namespace veska::download
