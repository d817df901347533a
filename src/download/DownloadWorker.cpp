#include "download/DownloadWorker.h"

#include "app/Printf.h"
#include "download/ImageTransfer.h"
#include "fs/FileSystemDownload.h"
#include "link/BaudCodes.h"
#include "link/Wire.h"

namespace veska::download {

using app::EngineContext;
using app::OperationId;
using app::OperationResult;
using app::Outcome;
using app::Printf;
using app::WindowState;
using K = ImageKind;

namespace {

constexpr std::string_view kRule =
    "-----------------------------------------------------------------------------------------"
    "------\n";

int Transfer(const EngineContext& engine, const DownloadInputs& inputs, const ImageWriters& writers,
             const ImageInfo& info) {
  const ImageFile& file = inputs.Image(info.kind);
  const std::uint32_t address = info.address.value_or(0);
  if (!engine.Usb()) {
    return writers.uart ? writers.uart(engine, file.path, address, file.size)
                        : TransferImageUart(engine, file.path, address, file.size);
  }
  return writers.usb ? writers.usb(engine, file.path, address, file.size)
                     : TransferImageUsb(engine, file.path, address, file.size);
}

bool WriteFileSystem(const EngineContext& engine, const DownloadInputs& inputs,
                     const ImageWriters& writers, ImageKind kind) {
  if (writers.fileSystem) return writers.fileSystem(engine, inputs, kind);
  const bool tfs = kind == K::Tfs;
  fs::FileSystemInputs fileSystem;
  fileSystem.kind = tfs ? fs::FileSystemKind::Tfs : fs::FileSystemKind::Db2;
  fileSystem.imagePath = inputs.Image(kind).path;
  fileSystem.listingPath = tfs ? inputs.tfsListing : inputs.db2Listing;
  fileSystem.imageSize = inputs.Image(kind).size;
  int step = 0;
  return fs::DownloadFileSystem(engine, fileSystem, step);
}

// WriteImage's answer: the image's outcome and whether its read-back found a difference.
enum class ImageEnd { Written, Failed, Unverified };

// DownloadImage's body; `group` is what the read-back covers when `isLast`. `outcome` receives
// the status and the seconds.
ImageEnd WriteImage(const EngineContext& engine, const DownloadInputs& inputs, ImageKind kind,
                    bool isLast, const ImageWriters& writers, AfterImage after,
                    std::span<const PlannedImage> group, ImageOutcome& outcome);

}  // namespace

std::array<std::uint32_t, app::IMAGE_KIND_COUNT> DownloadInputs::Sizes() const {
  std::array<std::uint32_t, app::IMAGE_KIND_COUNT> sizes{};
  for (std::size_t i = 0; i < sizes.size(); ++i) sizes[i] = images[i].size;
  return sizes;
}

std::vector<PlannedImage> PlanSequence(std::uint8_t code, bool defaultCalData) {
  std::vector<PlannedImage> plan;
  if (IsImageCode(code)) {
    plan.push_back({static_cast<ImageKind>(code), true});
    return plan;
  }
  const SelectionInfo* group = app::GroupByCode(code);
  if (group == nullptr) return plan;
  for (ImageKind kind : group->written) {
    // Calibration data is written only when the technician asked for it (and confirmed it).
    if (Catalogue(kind).calibration && !defaultCalData) continue;
    plan.push_back({kind, false});
  }
  if (!plan.empty()) plan.back().isLast = true;
  return plan;
}

std::uint32_t ProgressRange(std::uint8_t code, bool defaultCalData,
                            std::span<const std::uint32_t, app::IMAGE_KIND_COUNT> sizes) {
  if (IsImageCode(code)) return sizes[code - IMAGE_APPS];
  // The images the group writes; the file systems set their own range when they start.
  std::uint32_t total = 0;
  for (const PlannedImage& image : PlanSequence(code, defaultCalData)) {
    if (Catalogue(image.kind).address) total += sizes[KindIndex(image.kind)];
  }
  return total;
}

OperationResult WriteSelection(const EngineContext& engine, const DownloadInputs& inputs,
                               const ImageWriters& writers) {
  app::Narrator& narrator = engine.narrator;
  auto failed = [&engine](ImageKind kind, ImageEnd end, int status) {
    // What the transfer, the read-back or the port noted, told of this image.
    app::Cause cause = engine.causes.Last();
    if (cause.kind == app::CauseKind::FileRefused && !cause.image) cause.image = kind;
    if (end == ImageEnd::Unverified) {
      // The read-back's status: a difference, or why the flash could not be read back.
      return OperationResult::Ended(OperationId::Download, Outcome::Failed, status,
                                    "read-back differs from the files", std::move(cause));
    }
    // The transfer's own status (a silent phone, an error it reported), for callers that act
    // on the cause.
    return OperationResult::Ended(OperationId::Download, Outcome::Failed, status,
                                  std::string(Catalogue(kind).logName), std::move(cause));
  };
  const std::uint8_t code = inputs.selection;
  const std::vector<PlannedImage> plan = PlanSequence(code, inputs.defaultCalData);
  narrator.SetProgressRange(ProgressRange(code, inputs.defaultCalData, inputs.Sizes()));
  narrator.ResetProgress();
  narrator.SetProgressPos(0);
  if (plan.empty()) {
    narrator.Enter(WindowState::Connected);
    narrator.EnableSelection();
    return OperationResult::Ended(OperationId::Download, Outcome::Refused, 0, "nothing to write");
  }

  if (IsImageCode(code)) {
    ImageOutcome outcome;
    const ImageEnd end = WriteImage(engine, inputs, plan.front().kind, true, writers,
                                    AfterImage::ConnectedState, plan, outcome);
    narrator.EnableSelection();
    return end == ImageEnd::Written
               ? OperationResult::Ended(OperationId::Download, Outcome::Written)
               : failed(plan.front().kind, end, outcome.status);
  }

  double totalElapsed = 0.0;
  for (const PlannedImage& image : plan) {
    // Between the images of a group the operation buttons stay disabled: the port and the
    // transfer buffer serve this group until its last image is written.
    const AfterImage after = image.isLast ? AfterImage::ConnectedState : AfterImage::StayBusy;
    ImageOutcome outcome;
    const ImageEnd end =
        WriteImage(engine, inputs, image.kind, image.isLast, writers, after, plan, outcome);
    totalElapsed += outcome.seconds;
    if (end != ImageEnd::Written) return failed(image.kind, end, outcome.status);
  }
  narrator.Log(Printf("\n  * TOTAL Elapsed Time : %5.1fs\n", totalElapsed));
  narrator.EnableSelection();
  return OperationResult::Ended(OperationId::Download, Outcome::Written);
}

ImageOutcome DownloadImage(const EngineContext& engine, const DownloadInputs& inputs,
                           ImageKind kind, bool isLast, const ImageWriters& writers,
                           AfterImage after) {
  const PlannedImage only{kind, isLast};
  ImageOutcome outcome;
  const ImageEnd end =
      WriteImage(engine, inputs, kind, isLast, writers, after, std::span(&only, 1), outcome);
  outcome.written = end == ImageEnd::Written;
  return outcome;
}

namespace {

// Runs the read-back of what `group` wrote; 0 when it matched, otherwise its status.
int Verify(const EngineContext& engine, const DownloadInputs& inputs, const ImageWriters& writers,
           std::span<const PlannedImage> group) {
  if (!writers.verify) return -1;  // no reader: nothing vouches for the flash
  std::vector<ImageKind> written;
  for (const PlannedImage& image : group) written.push_back(image.kind);
  return writers.verify(engine, inputs, written);
}

ImageEnd WriteImage(const EngineContext& engine, const DownloadInputs& inputs, ImageKind kind,
                    bool isLast, const ImageWriters& writers, AfterImage after,
                    std::span<const PlannedImage> group, ImageOutcome& outcome) {
  app::Narrator& narrator = engine.narrator;
  const ImageInfo& info = Catalogue(kind);
  const ImageFile& file = inputs.Image(kind);
  const std::uint64_t start = engine.clock.TickCount();

  narrator.StartImage({kind, file.path, file.size, info.address});
  narrator.Log(info.heading);
  // Unsigned: a file-system image may pass 2 GiB, which a signed field would show negative.
  narrator.ShowFileSize(file.size);
  narrator.ShowFileName(file.path);
  narrator.Log(info.startLine);
  narrator.Log(kRule);

  outcome.status = TRANSFER_OK;
  if (info.address) outcome.status = Transfer(engine, inputs, writers, info);
  const bool written =
      info.address ? outcome.status == TRANSFER_OK : WriteFileSystem(engine, inputs, writers, kind);

  if (!engine.Allowed()) {
    // Disconnect ended the image: the window is idle again and the user expects no report.
    narrator.Enter(WindowState::Idle);
    return ImageEnd::Failed;
  }

  const std::uint64_t end = engine.clock.TickCount();
  narrator.Log("\n      Download");
  narrator.Log(written ? "  Completed" : "  Failed");
  const double elapsed = static_cast<double>(end - start) * 0.001;
  outcome.seconds = elapsed;
  narrator.Log(Printf(" ( Elapsed Time : %5.1fs)\n", elapsed));
  narrator.ImageEnded({kind, file.path, file.size, info.address, elapsed, written});

  // The read-back comes before the reboot: the phone's loader must still be running.
  bool verified = true;
  if (isLast && written && inputs.verify) {
    app::ImagesReadBack readBack;
    for (const PlannedImage& image : group) {
      if (Catalogue(image.kind).address) readBack.images.push_back(image.kind);
    }
    narrator.ReadBack(readBack);
    const std::uint64_t readStart = engine.clock.TickCount();
    const int status = Verify(engine, inputs, writers, group);
    verified = status == 0;
    if (!verified) outcome.status = status;
    if (!engine.Allowed()) {
      narrator.Enter(WindowState::Idle);  // Disconnect ended the read-back
      return ImageEnd::Failed;
    }
    readBack.ended = true;
    readBack.matched = verified;
    readBack.seconds = static_cast<double>(engine.clock.TickCount() - readStart) * 0.001;
    narrator.ReadBack(readBack);
  }

  if (isLast && written && verified) {
    narrator.OutcomeDecided();
    if (inputs.autoReboot) static_cast<void>(RequestReboot(engine));
    narrator.Message("Download Finished", "  NOTICE  ", ui::MB_OK);
  }

  if (written && verified && after == AfterImage::StayBusy) {
    // What the connected state shows between images, without enabling any operation.
    narrator.SetProgressPos(0);
    narrator.ClearImageFields();
  } else {
    narrator.Enter(WindowState::Connected);
  }
  if (!written) return ImageEnd::Failed;
  return verified ? ImageEnd::Written : ImageEnd::Unverified;
}

}  // namespace

link::PortStatus RequestReboot(const EngineContext& engine) {
  link::SerialPort& port = engine.port;
  if (!link::IsLoaderBaudCode(port.baudCode)) return link::PORT_BAD_BAUD;
  link::PortStatus status = link::OpenForLinkMode(port);
  if (status != link::PORT_OK) {
    port.Close();
    return status;
  }
  if (engine.Usb()) {
    status = link::SendShortFrame(port, REBOOT_REQUEST);
  } else {
    const std::uint8_t request = REBOOT_REQUEST;
    status = port.WriteFully(std::span(&request, 1), kRebootFactorUart);
  }
  port.Close();
  return status;
}

}  // namespace veska::download
