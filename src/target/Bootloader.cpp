#include "target/Bootloader.h"

#include <chrono>
#include <span>

#include "app/ControlIds.h"
#include "app/FlashMap.h"
#include "app/Printf.h"
#include "download/DownloadWorker.h"
#include "download/ImageCatalogue.h"
#include "link/BaudCodes.h"
#include "link/Wire.h"
#include "target/Connection.h"
#include "target/Loaders.h"

namespace veska::target {

using app::DownloaderDlg;
using app::OperationId;
using app::OperationResult;
using app::Outcome;
using link::PORT_OK;
using namespace std::chrono_literals;

namespace {

using K = app::ImageKind;
constexpr K kBootImages[] = {K::Nandpreboot, K::Boot1a, K::Boot1b, K::Boot2};

constexpr std::string_view kUartOnly = "Only Uart Mode allowed!";

// The idle state, with the two buttons that would take the port again held off while the
// bootloader worker still runs: the port serves one operation at a time.
void EnterIdleWhileWorkerRuns(DownloaderDlg& dlg) {
  dlg.EnterIdleState();
  dlg.Wnd().Enable(app::IDC_START, false);
  dlg.Wnd().Enable(app::IDC_DL_BOOTLOADER, false);
}

OperationResult Refused(DownloaderDlg& dlg, OperationId id, std::string_view reason) {
  const OperationResult result =
      OperationResult::Ended(id, Outcome::Refused, 0, std::string(reason));
  dlg.Runner().Report(result);
  return result;
}

// The erase's exchange on the worker: open, narrate, command, answer.
OperationResult Erase(DownloaderDlg& dlg, OperationId id, std::uint8_t code,
                      std::string_view doneText) {
  link::SerialPort& port = dlg.port;
  const bool usb = dlg.State().link.linkMode.load() == link::LINK_USB;
  auto finish = [&dlg, &port, id](Outcome outcome, int status, std::string reason = {}) {
    port.Close();
    // After Disconnect the window is idle already and expects no report.
    if (dlg.State().link.openAllowed.load()) dlg.EnterConnectedState();
    return OperationResult::Ended(id, outcome, status, std::move(reason));
  };
  if (link::PortStatus opened = link::OpenForLinkMode(port); opened != PORT_OK) {
    if (dlg.State().link.openAllowed.load()) {
      dlg.Host().MessageBox(&dlg.Wnd(), "Comport Open error!");
    }
    return finish(Outcome::Failed, opened);
  }
  dlg.AppendLog("\n\n  * NAND Flash Erase");
  dlg.AppendLog("\n     Nand Flash Erasing\t\t\t> > > ");
  link::PortStatus sent = PORT_OK;
  if (usb) {
    sent = link::SendPaddedCommand(port, code);
  } else {
    sent = port.WriteFully(std::span(&code, 1), link::COMMAND_TIMEOUT);
  }
  if (sent != PORT_OK) {
    if (usb) dlg.AppendLog("     Send erase command fail!\n");
    return finish(Outcome::Failed, sent);
  }
  std::uint8_t reply = 0;
  const link::PortStatus read = port.ReadFully(std::span(&reply, 1), kEraseReplyFactor);
  if (read != PORT_OK) return finish(Outcome::Failed, read);
  // Any other answer leaves the line ending in "> > > ": the phone did not confirm the erase.
  if (reply != ERASE_DONE) {
    return finish(Outcome::Failed, ERASE_NOT_CONFIRMED,
                  app::Printf("the phone answered 0x%02X instead of confirming the erase (0x%02X)",
                              reply, ERASE_DONE));
  }
  dlg.AppendLog(doneText);
  return finish(Outcome::Done, 0);
}

void OnErase(DownloaderDlg& dlg, OperationId id, std::uint8_t code, std::string_view doneText) {
  if (!dlg.BeginConnectedOperation(id)) return;
  if (!link::IsLoaderBaudCode(dlg.port.baudCode)) {
    dlg.EnterConnectedState();
    Refused(dlg, id, "no loader runs at a known rate (connect first)");
    return;
  }
  // The window stays busy while the phone erases; only Disconnect is available.
  dlg.Runner().StartWorker(id,
                           [&dlg, id, code, doneText] { return Erase(dlg, id, code, doneText); });
}

}  // namespace

void OnDownloadBootloader(DownloaderDlg& dlg) {
  constexpr OperationId id = OperationId::DownloadBootloader;
  dlg.EnterBusyState();
  dlg.Wnd().Enable(app::IDC_UART, false);
  dlg.Wnd().Enable(app::IDC_USB, false);
  dlg.DisableSelectionControls();
  dlg.UpdateData(true);
  if (!dlg.StartCheck()) {
    dlg.EnterIdleState();
    Refused(dlg, id, "no port chosen");
    return;
  }
  if (dlg.linkType == 0) dlg.State().link.linkMode = link::LINK_UART;
  if (dlg.linkType == 1) dlg.State().link.linkMode = link::LINK_USB;
  if (dlg.linkType != 0) {
    dlg.Host().MessageBox(&dlg.Wnd(), kUartOnly);
    dlg.EnterIdleState();
    Refused(dlg, id, kUartOnly);
    return;
  }
  for (K kind : kBootImages) {
    const download::FileCheck check = download::CheckImageFile(dlg, kind);
    if (check == download::FileCheck::Ok) continue;
    const app::ImageInfo& info = app::Catalogue(kind);
    const std::string_view text =
        check == download::FileCheck::OpenFailed ? info.openFailureText : info.sizeFailureText;
    dlg.Host().MessageBox(&dlg.Wnd(), text);
    dlg.EnterIdleState();
    Refused(dlg, id, text);
    return;
  }
  // Set only once the download really starts: a refused request must not leave Download
  // disabled after the next START.
  dlg.State().bootloaderMode.store(true);
  // The window's state first: its idle state puts the usage text in the log, which must not
  // land on top of the worker's first lines.
  EnterIdleWhileWorkerRuns(dlg);
  dlg.Runner().StartWorker(id, [&dlg, id] {
    const int status = DownloadBootloader(dlg);
    return status == 0 ? OperationResult::Ended(id, Outcome::Written)
                       : OperationResult::Ended(id, Outcome::Failed, status);
  });
}

int DownloadBootloader(DownloaderDlg& dlg) {
  // The ways out before anything was sent leave the window idle again, START included.
  if (!dlg.StartCheck()) {
    dlg.EnterIdleState();
    return CONNECT_INVALID_ENV;
  }
  const std::uint8_t chosen = PreparePortRecord(dlg);
  if (!link::IsSelectorBaudCode(chosen)) {
    dlg.EnterIdleState();
    return link::PORT_BAD_BAUD;
  }
  link::SerialPort& port = dlg.port;
  port.baudCode = link::BAUDCODE_115200;
  if (const link::PortStatus opened = link::OpenForLinkMode(port); opened != PORT_OK) {
    if (dlg.State().link.openAllowed.load()) {
      dlg.Host().MessageBox(&dlg.Wnd(), "Open Comport Fail!");
      dlg.EnterIdleState();
    }
    return opened;
  }
  dlg.Host().Sleep(500ms);
  dlg.Wnd().SetText(app::IDC_LOG, "\n  * Bootloader Download start!!!!");
  if (const link::PortStatus uploaded = UploadLoaders(dlg, port, LOADER_BOOTLOADER_DRIVER);
      uploaded != PORT_OK) {
    return uploaded;
  }
  for (K kind : kBootImages) {
    // The transfer's status says why; an image ended otherwise (Disconnect) still failed.
    if (!download::DownloadImage(dlg, kind, false)) {
      return dlg.lastTransferStatus != 0 ? dlg.lastTransferStatus : link::PORT_IO_ERROR;
    }
  }
  dlg.EnterConnectedState();
  dlg.EnableSelectionControls();
  return 0;
}

void OnNandErase(DownloaderDlg& dlg) {
  OnErase(dlg, OperationId::NandErase, NAND_ERASE,
          "OK\n    Now NAND All blocks except bootloader erased\t\t ");
}

void OnBootloaderErase(DownloaderDlg& dlg) {
  OnErase(dlg, OperationId::BootloaderErase, BOOTLOADER_ERASE,
          "OK\n    Now Bootloader erased\t\t ");
}

void AddBootloaderOperations(app::DlgOperations& operations) {
  operations.downloadBootloader = OnDownloadBootloader;
  operations.nandErase = OnNandErase;
  operations.bootloaderErase = OnBootloaderErase;
}

}  // namespace veska::target
