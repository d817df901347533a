#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "app/Engine.h"
#include "app/OperationRunner.h"
#include "download/ImageCatalogue.h"
#include "link/PortStatus.h"

namespace veska::download {

// Asks the loader to restart the phone; the phone sends no reply.
inline constexpr std::uint8_t REBOOT_REQUEST = 0x37;
inline constexpr std::uint8_t kRebootFactorUart = 8;

// One image file as the download request measured it.
struct ImageFile {
  std::string path;
  std::uint32_t size = 0;
};

// What a download writes: the request's selection code and options, and every kind's file as
// the request examined it, with the file systems' listings.
struct DownloadInputs {
  std::uint8_t selection = 0;  // a kind's code or a group's (downloadSelection)
  bool defaultCalData = false;
  bool autoReboot = false;
  // Read the written images back and compare them with their files before the reboot request.
  bool verify = false;
  std::array<ImageFile, app::IMAGE_KIND_COUNT> images{};  // by KindIndex
  std::string tfsListing;
  std::string db2Listing;

  [[nodiscard]] const ImageFile& Image(ImageKind kind) const { return images[KindIndex(kind)]; }
  [[nodiscard]] std::array<std::uint32_t, app::IMAGE_KIND_COUNT> Sizes() const;
};

// What writes one image. Empty members stand for the real image transfer of the link and the
// real file-system download; tests put their own in to watch the sequence.
using TransferFunction = std::function<int(const app::EngineContext&, const std::string& path,
                                           std::uint32_t address, std::uint32_t size)>;
using FileSystemFunction =
    std::function<bool(const app::EngineContext&, const DownloadInputs&, ImageKind)>;
// Reads back the images just written and compares them with their files, logging its own lines;
// 0 when every one matched. The download layer cannot read flash itself: a layer that can puts
// this in. It runs only when the inputs ask for the read-back, after the last image and before
// the reboot request; asked for without a reader, the download fails.
using VerifyFunction = std::function<int(const app::EngineContext&, const DownloadInputs&,
                                         std::span<const ImageKind> written)>;
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
// The progress bar's upper limit for a selection code: the sum of the sizes of the images it
// writes (the calibration pair only with `defaultCalData`, so that the bar ends full; file
// systems left out of the groups, which set their own range), added as 32-bit numbers.
[[nodiscard]] std::uint32_t ProgressRange(
    std::uint8_t code, bool defaultCalData,
    std::span<const std::uint32_t, app::IMAGE_KIND_COUNT> sizes);

// The Download operation on a worker: writes the selection of `inputs`. Written, or Failed
// naming the image that failed (its log name) with the transfer's or the read-back's status,
// or Refused for a selection code that names nothing.
[[nodiscard]] app::OperationResult WriteSelection(const app::EngineContext& engine,
                                                  const DownloadInputs& inputs,
                                                  const ImageWriters& writers = {});

// What the window shows after an image that was written.
enum class AfterImage {
  ConnectedState,  // the operation buttons come back (the end of an operation)
  StayBusy,        // more images of the same group follow: only the fields and the bar clear
};

// How one image of a sequence ended, for the operation that writes it.
struct ImageOutcome {
  bool written = false;  // written (and, with the read-back, found as written)
  int status = 0;        // 0, the transfer's failure, or the read-back's after it
  double seconds = 0.0;
};

// Writes one image with its narration and timing. `isLast` shows the notice (after the reboot
// request when asked for, and after the read-back when the inputs ask for it).
ImageOutcome DownloadImage(const app::EngineContext& engine, const DownloadInputs& inputs,
                           ImageKind kind, bool isLast, const ImageWriters& writers = {},
                           AfterImage after = AfterImage::ConnectedState);

// Sends the reboot request on the engine's port, opened and closed here.
link::PortStatus RequestReboot(const app::EngineContext& engine);

}  // namespace veska::download
