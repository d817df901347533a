#include "download/DownloadRequest.h"

#include "download/ChecksumTool.h"
#include "download/ImageCatalogue.h"

namespace veska::download {

using app::DownloaderDlg;

namespace {

using app::OperationId;
using app::OperationResult;
using app::Outcome;

// A refused request: the controls come back, nothing was sent, and the result says why.
void Refuse(DownloaderDlg& dlg, std::string_view reason) {
  dlg.EnterConnectedState();
  dlg.EnableSelectionControls();
  dlg.Runner().Report(
      OperationResult::Ended(OperationId::Download, Outcome::Refused, 0, std::string(reason)));
}

}  // namespace

void AddOperations(app::DlgOperations& operations, DownloadHooks hooks) {
  operations.download = [hooks](DownloaderDlg& dlg) { OnDownload(dlg, hooks); };
  operations.checksum = [](DownloaderDlg& dlg) {
    dlg.Runner().RunHere(OperationId::Checksum, [&dlg] {
      return OperationResult::Ended(OperationId::Checksum,
                                    OnChecksum(dlg) ? Outcome::Done : Outcome::Failed);
    });
  };
}

void OnDownload(DownloaderDlg& dlg, const DownloadHooks& hooks) {
  dlg.EnterBusyState();
  dlg.DisableSelectionControls();
  dlg.UpdateData(true);
  dlg.totalElapsed = 0;

  if (!dlg.StartCheck()) return Refuse(dlg, "no port chosen");

  const SelectionInfo* selection = Selection(dlg.selectionIndex);
  if (selection == nullptr) {
    static constexpr std::string_view kNoSelection = "Please select download item";
    dlg.Host().MessageBox(&dlg.Wnd(), kNoSelection);
    return Refuse(dlg, kNoSelection);
  }

  // Every file is examined before anything is sent; the first bad one ends the request.
  for (ImageKind kind : selection->files) {
    const FileCheck check = CheckImageFile(dlg, kind);
    if (check == FileCheck::Ok) continue;
    const ImageInfo& info = Catalogue(kind);
    const std::string_view text =
        check == FileCheck::OpenFailed ? info.openFailureText : info.sizeFailureText;
    dlg.Host().MessageBox(&dlg.Wnd(), text);
    return Refuse(dlg, text);
  }

  dlg.State().downloadSelection = selection->code;

  if (dlg.defaultCalData != 0 && dlg.selectionIndex >= kFirstCalDataSelection) {
    const int answer = dlg.Host().MessageBox(
        &dlg.Wnd(), kCalDataQuestion, {}, ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2);
    if (answer != ui::IDYES) return Refuse(dlg, "calibration data not confirmed");
  }

  // The controls stay disabled; the worker brings them back.
  dlg.Runner().StartWorker(OperationId::Download, [&dlg, writers = hooks.writers] {
    return WriteSelection(dlg, writers);
  });
}

}  // namespace veska::download
