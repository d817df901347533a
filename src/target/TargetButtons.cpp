#include "target/TargetButtons.h"

#include "app/ControlIds.h"
#include "download/DownloadButtons.h"
#include "link/BaudCodes.h"

namespace veska::target {

using app::DownloaderDlg;
using app::OperationId;
using app::OperationResult;
using app::Outcome;

namespace {

constexpr std::string_view kUartOnly = "Only Uart Mode allowed!";

// The idle state, with the two buttons that would take the port again held off while the
// bootloader worker still runs: the port serves one operation at a time.
void EnterIdleWhileWorkerRuns(DownloaderDlg& dlg) {
  dlg.EnterIdleState();
  dlg.Wnd().Enable(app::IDC_START, false);
  dlg.Wnd().Enable(app::IDC_DL_BOOTLOADER, false);
}

void Refused(DownloaderDlg& dlg, OperationId id, std::string_view reason, app::Cause cause = {}) {
  dlg.Runner().Report(
      OperationResult::Ended(id, Outcome::Refused, 0, std::string(reason), std::move(cause)));
}

// The link radio pair into the session's link mode; false when neither is chosen.
bool TakeLinkMode(DownloaderDlg& dlg) {
  if (dlg.linkType == app::kUartLinkType) dlg.State().link.linkMode = link::LINK_UART;
  if (dlg.linkType == app::kUsbLinkType) dlg.State().link.linkMode = link::LINK_USB;
  return dlg.linkType == app::kUartLinkType || dlg.linkType == app::kUsbLinkType;
}

void OnErase(DownloaderDlg& dlg, OperationId id, std::uint8_t code, std::string_view doneText) {
  if (!dlg.ConfirmErasing(id) || !dlg.BeginConnectedOperation(id)) return;
  if (!link::IsLoaderBaudCode(dlg.port.baudCode)) {
    dlg.EnterConnectedState();
    Refused(dlg, id, "no loader runs at a known rate (connect first)");
    return;
  }
  // The window stays busy while the phone erases; only Disconnect is available.
  dlg.Runner().StartWorker(id, [engine = dlg.Engine(), id, code, doneText] {
    return Erase(engine, id, code, doneText);
  });
}

}  // namespace

std::uint8_t SelectedBaudCode(DownloaderDlg& dlg) {
  const int index = dlg.Wnd().GetCurSel(app::IDC_BAUD);
  if (index < 0 || index >= static_cast<int>(std::size(link::kSelectorBaudCodes))) return 0;
  return link::kSelectorBaudCodes[index];
}

ConnectInputs ConnectInputsOf(DownloaderDlg& dlg) {
  return {dlg.PortName(), SelectedBaudCode(dlg), dlg.StartCheck()};
}

void OnStart(DownloaderDlg& dlg) {
  dlg.EnterBusyState();
  dlg.UpdateData(true);
  if (!TakeLinkMode(dlg)) {
    static constexpr std::string_view kNoLink =
        "Select a comm type by USB or by UART.\r\nTry again!!";
    dlg.Host().MessageBox(&dlg.Wnd(), kNoLink);
    dlg.EnterIdleState();
    Refused(dlg, OperationId::Start, kNoLink);
    return;
  }
  dlg.Wnd().Enable(app::IDC_UART, false);
  dlg.Wnd().Enable(app::IDC_USB, false);
  dlg.Runner().StartWorker(OperationId::Start, [&dlg, inputs = ConnectInputsOf(dlg)] {
    const ConnectOutcome outcome = Connect(dlg.Engine(), dlg.State(), inputs);
    dlg.connectStatus = outcome.status;
    dlg.flashChecksFailed = outcome.checks.failed;
    dlg.flashReport = outcome.checks.report;
    return outcome.Result();
  });
}

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
  static_cast<void>(TakeLinkMode(dlg));
  if (dlg.linkType != app::kUartLinkType) {
    dlg.Host().MessageBox(&dlg.Wnd(), kUartOnly);
    dlg.EnterIdleState();
    Refused(dlg, id, kUartOnly);
    return;
  }
  for (const app::ImageKind kind : BootImages()) {
    if (const auto refusal = download::RefusedImageFile(dlg, kind)) {
      dlg.ShowFileRefusal(refusal->text, refusal->detail);
      dlg.EnterIdleState();
      Refused(dlg, id, refusal->text, refusal->cause);
      return;
    }
  }
  // Set only once the download really starts: a refused request must not leave Download
  // disabled after the next START.
  dlg.State().bootloaderMode.store(true);
  // The window's state first: its idle state puts the usage text in the log, which must not
  // land on top of the worker's first lines.
  EnterIdleWhileWorkerRuns(dlg);
  BootloaderInputs inputs{ConnectInputsOf(dlg), download::DownloadInputsOf(dlg)};
  dlg.Runner().StartWorker(id, [&dlg, id, inputs = std::move(inputs)] {
    const int status = DownloadBootloader(dlg.Engine(), dlg.State(), inputs);
    return status == 0 ? OperationResult::Ended(id, Outcome::Written)
                       : OperationResult::Ended(id, Outcome::Failed, status);
  });
}

void OnNandErase(DownloaderDlg& dlg) {
  OnErase(dlg, OperationId::NandErase, NAND_ERASE, kNandEraseDone);
}

void OnBootloaderErase(DownloaderDlg& dlg) {
  OnErase(dlg, OperationId::BootloaderErase, BOOTLOADER_ERASE, kBootloaderEraseDone);
}

void AddOperations(app::DlgOperations& operations) {
  operations.Set(OperationId::Start, OnStart);
}

void AddBootloaderOperations(app::DlgOperations& operations) {
  operations.Set(OperationId::DownloadBootloader, OnDownloadBootloader);
  operations.Set(OperationId::NandErase, OnNandErase);
  operations.Set(OperationId::BootloaderErase, OnBootloaderErase);
}

}  // namespace veska::target
