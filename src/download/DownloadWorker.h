#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "app/DownloaderDlg.h"
#include "download/ImageCatalogue.h"
#include "link/PortStatus.h"

namespace veska::download {

// Asks the loader to restart the phone; the phone sends no reply.
inline constexpr std::uint8_t REBOOT_REQUEST = 0x37;
inline constexpr std::uint8_t kRebootFactorUart = 8;

// What writes one image. Empty members stand for the real image transfer of the link and the
// real file-system download; tests put their own in to watch the sequence.
using TransferFunction = std::function<int(app::DownloaderDlg&, const std::string& path,
                                           std::uint32_t address, std::uint32_t size)>;
using FileSystemFunction = std::function<bool(app::DownloaderDlg&, ImageKind)>;
// Reads back the images just written and compares them with their files, logging its own lines;
// 0 when every one matched. The download layer cannot read flash itself: a layer that can puts
// this in. It runs only when the dialog's verifyAfterDownload is set, after the last image and
// before the reboot request; set without a reader, the download fails.
using VerifyFunction = std::function<int(app::DownloaderDlg&, std::span<const ImageKind> written)>;
struct ImageWriters {
  TransferFunction uart;
  TransferFunction usb;
  FileSystemFunction fileSystem;
  VerifyFunction verify;
};

// What a host or a test puts into the Download operation; how it ended reaches the dialog's
// OperationRunner.
struct DownloadHooks {
  ImageWriters writers;
};

// One image of a sequence and whether it is written with the last-image flag.
struct PlannedImage {
  ImageKind kind;
  bool isLast;
  bool operator==(const PlannedImage&) const = default;
};

// The images a selection code writes, in order. Empty for an unknown code.
[[nodiscard]] std::vector<PlannedImage> PlanSequence(std::uint8_t code, bool defaultCalData);
// The progress bar's upper limit for a selection code: the sum of its sizes (file systems left
// out of the groups, which set their own range), added as 32-bit numbers.
[[nodiscard]] std::uint32_t ProgressRange(
    std::uint8_t code, std::span<const std::uint32_t, app::IMAGE_KIND_COUNT> sizes);

// The download thread's body: writes the selection stored in downloadSelection. 1 when the
// whole selection was written, 0 otherwise.
int DownloadWorker(app::DownloaderDlg& dlg, const ImageWriters& writers = {});
// The same, as the Download operation's result: Written, or Failed naming the image that
// failed (its log name), or Refused for a selection code that names nothing.
[[nodiscard]] app::OperationResult WriteSelection(app::DownloaderDlg& dlg,
                                                  const ImageWriters& writers = {});

// What the dialog shows after an image that was written.
enum class AfterImage {
  ConnectedState,  // the operation buttons come back (the end of an operation)
  StayBusy,        // more images of the same group follow: only the fields and the bar clear
};

// Writes one image with its narration and timing. `isLast` shows the notice (after the reboot
// request when asked for, and after the read-back when verifyAfterDownload is set). True when
// the image was written (and, with the read-back, found as written).
bool DownloadImage(app::DownloaderDlg& dlg, ImageKind kind, bool isLast,
                   const ImageWriters& writers = {}, AfterImage after = AfterImage::ConnectedState);

// Sends the reboot request on the dialog's port, opened and closed here.
link::PortStatus RequestReboot(app::DownloaderDlg& dlg);

}  // namespace veska::download
