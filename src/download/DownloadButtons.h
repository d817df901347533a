#pragma once

#include <optional>
#include <string_view>

#include "app/DownloaderDlg.h"
#include "download/DownloadWorker.h"

namespace veska::download {

inline constexpr std::string_view kCalDataQuestion =
    "You checked D/L Default Cal data. This will erase previous calibration data. Do you want "
    "it?";
// From this selection index on (the groups with calibration data), the question is asked.
inline constexpr std::int32_t kFirstCalDataSelection = 14;

// The Download button: examines every file of the selection, asks about calibration data and
// starts the download worker. Talks to no phone itself.
void OnDownload(app::DownloaderDlg& dlg, const DownloadHooks& hooks = {});

// Registers this layer's buttons (Download, Checksum) with the dialog's operations.
void AddOperations(app::DlgOperations& operations, DownloadHooks hooks = {});

// An image file the request refuses: the message box's text (shown by the caller) and the cause.
struct ImageRefusal {
  std::string_view text;
  app::Cause cause;
  std::string detail;  // which file and why, for under the box's text
};
// Measures the kind's file as the dialog names it and keeps the size in the dialog's imageSize.
// Its refusal when the file fails the kind's rules, nothing when it passes.
[[nodiscard]] std::optional<ImageRefusal> RefusedImageFile(app::DownloaderDlg& dlg, ImageKind kind);

// What the download worker writes, read from the dialog (on the user-interface thread, once
// the request's files were examined).
[[nodiscard]] DownloadInputs DownloadInputsOf(const app::DownloaderDlg& dlg);

}  // namespace veska::download
