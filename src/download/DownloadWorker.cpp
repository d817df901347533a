#include "download/DownloadWorker.h"

#include "app/Printf.h"
#include "download/ImageTransfer.h"
#include "fs/FileSystemDownload.h"
#include "link/BaudCodes.h"
#include "link/Wire.h"

namespace veska::download {

using app::DownloaderDlg;
using app::Printf;
using K = ImageKind;

namespace {

constexpr std::string_view kRule =
    "-----------------------------------------------------------------------------------------"
    "------\n";

int Transfer(DownloaderDlg& dlg, const ImageWriters& writers, const ImageInfo& info) {
  const std::string& path = dlg.*info.path;
  const std::uint32_t address = info.address.value_or(0);
  const std::uint32_t size = dlg.imageSize[KindIndex(info.kind)];
  if (dlg.State().link.linkMode.load() == link::LINK_UART) {
    return writers.uart ? writers.uart(dlg, path, address, size)
                        : TransferImageUart(dlg, path, address, size);
  }
  return writers.usb ? writers.usb(dlg, path, address, size)
                     : TransferImageUsb(dlg, path, address, size);
}

bool WriteFileSystem(DownloaderDlg& dlg, const ImageWriters& writers, ImageKind kind) {
  if (writers.fileSystem) return writers.fileSystem(dlg, kind);
  return fs::DownloadFileSystem(dlg,
                                kind == K::Tfs ? fs::FileSystemKind::Tfs : fs::FileSystemKind::Db2);
}

// How one image ended.
enum class ImageEnd { Written, Failed, Unverified };

// DownloadImage's body; `group` is what the read-back covers when `isLast`.
ImageEnd WriteImage(DownloaderDlg& dlg, ImageKind kind, bool isLast, const ImageWriters& writers,
                    AfterImage after, std::span<const PlannedImage> group);

}  // namespace

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

std::uint32_t ProgressRange(std::uint8_t code,
                            std::span<const std::uint32_t, app::IMAGE_KIND_COUNT> sizes) {
  if (IsImageCode(code)) return sizes[code - IMAGE_APPS];
  const SelectionInfo* group = app::GroupByCode(code);
  if (group == nullptr) return 0;
  // Every image the group may write, the calibration pair included; the file systems set their
  // own range when they start.
  std::uint32_t total = 0;
  for (ImageKind kind : group->written) {
    if (Catalogue(kind).address) total += sizes[KindIndex(kind)];
  }
  return total;
}

int DownloadWorker(DownloaderDlg& dlg, const ImageWriters& writers) {
  return WriteSelection(dlg, writers).Succeeded() ? 1 : 0;
}

app::OperationResult WriteSelection(DownloaderDlg& dlg, const ImageWriters& writers) {
  using app::OperationId;
  using app::OperationResult;
  using app::Outcome;
  auto failed = [&dlg](ImageKind kind, ImageEnd end) {
    if (end == ImageEnd::Unverified) {
      // The read-back's status: a difference, or why the flash could not be read back.
      return OperationResult::Ended(OperationId::Download, Outcome::Failed, dlg.lastTransferStatus,
                                    "read-back differs from the files");
    }
    // The transfer's own status (a silent phone, an error it reported), for callers that act
    // on the cause.
    return OperationResult::Ended(OperationId::Download, Outcome::Failed, dlg.lastTransferStatus,
                                  std::string(Catalogue(kind).logName));
  };
  const std::uint8_t code = dlg.State().downloadSelection;
  const std::vector<PlannedImage> plan = PlanSequence(code, dlg.defaultCalData != 0);
  dlg.SetProgressRange(ProgressRange(code, dlg.imageSize));
  dlg.progressCount = 0;
  dlg.SetProgressPos(0);
  if (plan.empty()) {
    dlg.EnterConnectedState();
    dlg.EnableSelectionControls();
    return OperationResult::Ended(OperationId::Download, Outcome::Refused, 0, "nothing to write");
  }

  if (IsImageCode(code)) {
    const ImageEnd end =
        WriteImage(dlg, plan.front().kind, true, writers, AfterImage::ConnectedState, plan);
    dlg.EnableSelectionControls();
    return end == ImageEnd::Written
               ? OperationResult::Ended(OperationId::Download, Outcome::Written)
               : failed(plan.front().kind, end);
  }

  for (const PlannedImage& image : plan) {
    // Between the images of a group the operation buttons stay disabled: the port and the
    // transfer buffer serve this group until its last image is written.
    const AfterImage after = image.isLast ? AfterImage::ConnectedState : AfterImage::StayBusy;
    const ImageEnd end = WriteImage(dlg, image.kind, image.isLast, writers, after, plan);
    if (end != ImageEnd::Written) return failed(image.kind, end);
  }
  dlg.AppendLog(Printf("\n  * TOTAL Elapsed Time : %5.1fs\n", dlg.totalElapsed));
  dlg.EnableSelectionControls();
  return OperationResult::Ended(OperationId::Download, Outcome::Written);
}

bool DownloadImage(DownloaderDlg& dlg, ImageKind kind, bool isLast, const ImageWriters& writers,
                   AfterImage after) {
  const PlannedImage only{kind, isLast};
  return WriteImage(dlg, kind, isLast, writers, after, std::span(&only, 1)) == ImageEnd::Written;
}

namespace {

// Runs the read-back of what `group` wrote; 0 when it matched, otherwise its status.
int Verify(DownloaderDlg& dlg, const ImageWriters& writers, std::span<const PlannedImage> group) {
  if (!writers.verify) return -1;  // no reader: nothing vouches for the flash
  std::vector<ImageKind> written;
  for (const PlannedImage& image : group) written.push_back(image.kind);
  return writers.verify(dlg, written);
}

ImageEnd WriteImage(DownloaderDlg& dlg, ImageKind kind, bool isLast, const ImageWriters& writers,
                    AfterImage after, std::span<const PlannedImage> group) {
  const ImageInfo& info = Catalogue(kind);
  const std::uint64_t start = dlg.Host().TickCount();

  dlg.AppendLog(info.heading);
  // Unsigned: a file-system image may pass 2 GiB, which a signed field would show negative.
  dlg.ShowFileSize(dlg.imageSize[KindIndex(kind)]);
  dlg.ShowFileName(dlg.*info.path);
  dlg.AppendLog(info.startLine);
  dlg.AppendLog(kRule);

  dlg.lastTransferStatus = TRANSFER_OK;
  if (info.address) dlg.lastTransferStatus = Transfer(dlg, writers, info);
  const bool written =
      info.address ? dlg.lastTransferStatus == TRANSFER_OK : WriteFileSystem(dlg, writers, kind);

  if (!dlg.State().link.openAllowed.load()) {
    // Disconnect ended the image: the window is idle again and the user expects no report.
    dlg.EnterIdleState();
    return ImageEnd::Failed;
  }

  const std::uint64_t end = dlg.Host().TickCount();
  dlg.AppendLog("\n      Download");
  dlg.AppendLog(written ? "  Completed" : "  Failed");
  const double elapsed = static_cast<double>(end - start) * 0.001;
  dlg.totalElapsed += elapsed;
  dlg.AppendLog(Printf(" ( Elapsed Time : %5.1fs)\n", elapsed));
  dlg.NoteImage(
      {kind, dlg.*info.path, dlg.imageSize[KindIndex(kind)], info.address, elapsed, written});

  // The read-back comes before the reboot: the phone's loader must still be running.
  bool verified = true;
  if (isLast && written && dlg.verifyAfterDownload != 0) {
    const int status = Verify(dlg, writers, group);
    verified = status == 0;
    if (!verified) dlg.lastTransferStatus = status;
    if (!dlg.State().link.openAllowed.load()) {
      dlg.EnterIdleState();  // Disconnect ended the read-back
      return ImageEnd::Failed;
    }
  }

  if (isLast && written && verified) {
    if (dlg.autoReboot != 0) static_cast<void>(RequestReboot(dlg));
    dlg.Host().MessageBox(&dlg.Wnd(), "Download Finished", "  NOTICE  ", ui::MB_OK);
  }

  if (written && verified && after == AfterImage::StayBusy) {
    // What the connected state shows between images, without enabling any operation.
    dlg.SetProgressPos(0);
    for (int id : {app::IDC_FILE_SIZE, app::IDC_FILE_NAME, app::IDC_CHECKSUM_FIELD}) {
      dlg.Wnd().SetText(id, " ");
    }
  } else {
    dlg.EnterConnectedState();
  }
  if (!written) return ImageEnd::Failed;
  return verified ? ImageEnd::Written : ImageEnd::Unverified;
}

}  // namespace

link::PortStatus RequestReboot(DownloaderDlg& dlg) {
  link::SerialPort& port = dlg.port;
  if (!link::IsLoaderBaudCode(port.baudCode)) return link::PORT_BAD_BAUD;
  const bool usb = dlg.State().link.linkMode.load() == link::LINK_USB;
  link::PortStatus status = link::OpenForLinkMode(port);
  if (status != link::PORT_OK) {
    port.Close();
    return status;
  }
  if (usb) {
    status = link::SendShortFrame(port, REBOOT_REQUEST);
  } else {
    const std::uint8_t request = REBOOT_REQUEST;
    status = port.WriteFully(std::span(&request, 1), kRebootFactorUart);
  }
  port.Close();
  return status;
}

}  // namespace veska::download
