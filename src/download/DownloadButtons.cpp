#include "download/DownloadButtons.h"

#include "download/ChecksumTool.h"
#include "download/ImageCatalogue.h"

namespace veska::download {

using app::DownloaderDlg;

namespace {

using app::OperationId;
using app::OperationResult;
using app::Outcome;

// A refused request: the controls come back, nothing was sent, and the result says why.
void Refuse(DownloaderDlg& dlg, std::string_view reason, app::Cause cause = {}) {
  dlg.EnterConnectedState();
  dlg.EnableSelectionControls();
  dlg.Runner().Report(OperationResult::Ended(OperationId::Download, Outcome::Refused, 0,
                                             std::string(reason), std::move(cause)));
}

}  // namespace

std::optional<ImageRefusal> RefusedImageFile(DownloaderDlg& dlg, ImageKind kind) {
  const std::string& path = dlg.*Catalogue(kind).path;
  const FileCheck check = CheckImageFile(path, kind, dlg.imageSize[KindIndex(kind)]);
  if (check == FileCheck::Ok) return std::nullopt;
  const app::FileRule rule =
      check == FileCheck::OpenFailed ? app::FileRule::CannotOpen : app::FileRule::SizeOutOfRange;
  app::Cause cause = app::Cause::File(kind, rule, path);
  cause.detail = FileCheckText(kind, check);
  return ImageRefusal{FileCheckText(kind, check), std::move(cause),
                      ImageFileProblem(path, kind, check)};
}

DownloadInputs DownloadInputsOf(const DownloaderDlg& dlg) {
  DownloadInputs inputs;
  inputs.selection = dlg.State().downloadSelection;
  inputs.defaultCalData = dlg.defaultCalData != 0;
  inputs.autoReboot = dlg.autoReboot != 0;
  inputs.verify = dlg.verifyAfterDownload != 0;
  for (const ImageInfo& info : Catalogue()) {
    inputs.images[KindIndex(info.kind)] = {dlg.*info.path, dlg.imageSize[KindIndex(info.kind)]};
  }
  inputs.tfsListing = dlg.tfsListingPath;
  inputs.db2Listing = dlg.db2ListingPath;
  return inputs;
}

void AddOperations(app::DlgOperations& operations, DownloadHooks hooks) {
  operations.Set(OperationId::Download, [hooks](DownloaderDlg& dlg) { OnDownload(dlg, hooks); });
  operations.Set(OperationId::Checksum, [](DownloaderDlg& dlg) {
    dlg.Runner().RunHere(OperationId::Checksum, [&dlg] {
      if (OnChecksum(dlg)) return OperationResult::Ended(OperationId::Checksum, Outcome::Done);
      // The tool talks to no phone: it fails only on its file.
      app::Cause cause = app::Cause::File(std::nullopt, app::FileRule::CannotOpen, {});
      if (const SelectionInfo* selection = Selection(dlg.selectionIndex)) {
        cause.image = selection->files.front();
        cause.path = dlg.*Catalogue(selection->files.front()).path;
      }
      return OperationResult::Ended(OperationId::Checksum, Outcome::Failed, 0, {},
                                    std::move(cause));
    });
  });
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
    if (const auto refusal = RefusedImageFile(dlg, kind)) {
      dlg.ShowFileRefusal(refusal->text, refusal->detail);
      return Refuse(dlg, refusal->text, refusal->cause);
    }
  }

  dlg.State().downloadSelection = selection->code;

  if (dlg.defaultCalData != 0 && dlg.selectionIndex >= kFirstCalDataSelection) {
    const int answer = dlg.Host().MessageBox(
        &dlg.Wnd(), kCalDataQuestion, {}, ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2);
    if (answer != ui::IDYES) return Refuse(dlg, "calibration data not confirmed");
  }

  // The controls stay disabled; the worker brings them back.
  dlg.Runner().StartWorker(
      OperationId::Download,
      [engine = dlg.Engine(), inputs = DownloadInputsOf(dlg), writers = hooks.writers] {
        return WriteSelection(engine, inputs, writers);
      });
}

}  // namespace veska::download
