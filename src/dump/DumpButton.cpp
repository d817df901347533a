#include "dump/DumpButton.h"

#include <string>

#include "app/Templates.h"
#include "dump/NandDumpDlg.h"
#include "fs/Listing.h"
#include "link/BaudCodes.h"

namespace veska::dump {

using app::DownloaderDlg;
using app::OperationId;
using app::OperationResult;
using app::Outcome;

namespace {

constexpr OperationId kId = OperationId::NandDump;

}  // namespace

void OnNandDump(DownloaderDlg& dlg) {
  if (!dlg.BeginConnectedOperation(kId)) return;
  dlg.Runner().StartWorker(kId, [&dlg] { return DumpThread(dlg); });
}

OperationResult DumpThread(DownloaderDlg& dlg) {
  dlg.Narration().ResetProgress();
  dlg.SetProgressPos(0);
  // Every way out after the area dialog leaves the window connected, unless Disconnect came:
  // the window is idle then and expects nothing more.
  auto stop = [&dlg](Outcome outcome, int status, std::string_view reason = {}) {
    if (dlg.State().link.openAllowed.load()) dlg.EnterConnectedState();
    return OperationResult::Ended(kId, outcome, status, std::string(reason));
  };

  NandDumpDlg areaDialog(dlg.State());
  // OK is offered only once an area is chosen; a host that ends the dialog otherwise still gets
  // no dump of nothing.
  if (dlg.Host().RunModal(app::kDumpAreaDialogTemplate, areaDialog, &dlg.Wnd()) != ui::IDOK ||
      NandDumpDlg::AreaInForce(dlg.State()) == nullptr) {
    return stop(Outcome::Refused, 0, "area dialog cancelled");
  }

  ui::FileDialogRequest request;
  request.open = false;
  request.filter = std::string(kDumpFileFilter);
  request.defaultExtension = std::string(kDumpFileExtension);
  request.flags = ui::OFN_HIDEREADONLY | ui::OFN_OVERWRITEPROMPT;
  const std::string path = dlg.Host().FileDialog(&dlg.Wnd(), request).value_or(std::string());

  if (!dlg.StartCheck()) return stop(Outcome::Refused, 0, "no port chosen");
  if (!link::IsLoaderBaudCode(dlg.port.baudCode)) {
    return stop(Outcome::Refused, 0, "no loader runs at a known rate (connect first)");
  }
  if (path.empty()) {
    static constexpr std::string_view kNoFile = "No file selected";
    dlg.Host().MessageBox(&dlg.Wnd(), kNoFile);
    return stop(Outcome::Refused, 0, kNoFile);
  }

  // A FIFO or a device would hang the dump or take the data nowhere: only a file.
  const fs::UniqueFile file = fs::CreateRegularFile(path);
  if (!file) {
    static constexpr std::string_view kNotCreated = "Internal Error! (file creation)";
    dlg.Host().MessageBox(&dlg.Wnd(), kNotCreated);
    OperationResult refused = stop(Outcome::Failed, DUMP_FILE_NOT_CREATED, kNotCreated);
    refused.cause = app::Cause::File(std::nullopt, app::FileRule::CannotOpen, path);
    return refused;
  }

  const app::ProcessState& state = dlg.State();
  const DumpRequest area{state.dumpFrom, state.dumpTo, state.dumpAreaKind};
  OperationResult result = DumpArea(dlg.Engine(), area, file.get());
  result = stop(result.outcome, result.status, result.reason);
  // The dump's file is the one output that can refuse what the phone sends.
  app::Cause cause = dlg.Engine().causes.Last();
  if (cause.kind == app::CauseKind::FileRefused && cause.path.empty()) cause.path = path;
  if (result.outcome == Outcome::Failed) result.cause = std::move(cause);
  return result;
}

void AddOperations(app::DlgOperations& operations) {
  operations.Set(kId, OnNandDump);
}

}  // namespace veska::dump
