#include "download/DownloadRequest.h"

#include "download/ChecksumTool.h"
#include "download/ImageCatalogue.h"

namespace veska::download {

using app::DownloaderDlg;

namespace {

// Step 9 of a refused request: the controls come back and nothing was sent.
void Restore(DownloaderDlg& dlg, const DownloadHooks& hooks) {
  dlg.EnterConnectedState();
  dlg.EnableSelectionControls();
  if (hooks.finished) hooks.finished(false);
}

}  // namespace

void AddOperations(app::DlgOperations& operations, DownloadHooks hooks) {
  operations.download = [hooks](DownloaderDlg& dlg) { OnDownload(dlg, hooks); };
  operations.checksum = [](DownloaderDlg& dlg) { static_cast<void>(OnChecksum(dlg)); };
}

void OnDownload(DownloaderDlg& dlg, const DownloadHooks& hooks) {
  dlg.EnterBusyState();
  dlg.DisableSelectionControls();
  dlg.UpdateData(true);
  dlg.totalElapsed = 0;

  if (!dlg.StartCheck()) return Restore(dlg, hooks);

  const SelectionInfo* selection = Selection(dlg.selectionIndex);
  if (selection == nullptr) {
    dlg.Host().MessageBox(&dlg.Wnd(), "Please select download item");
    return Restore(dlg, hooks);
  }

  // Every file is examined before anything is sent; the first bad one ends the request.
  for (ImageKind kind : selection->files) {
    const FileCheck check = CheckImageFile(dlg, kind);
    if (check == FileCheck::Ok) continue;
    const ImageInfo& info = Catalogue(kind);
    dlg.Host().MessageBox(
        &dlg.Wnd(), check == FileCheck::OpenFailed ? info.openFailureText : info.sizeFailureText);
    return Restore(dlg, hooks);
  }

  dlg.State().downloadSelection = selection->code;

  if (dlg.defaultCalData != 0 && dlg.selectionIndex >= kFirstCalDataSelection) {
    const int answer = dlg.Host().MessageBox(
        &dlg.Wnd(), kCalDataQuestion, {}, ui::MB_YESNO | ui::MB_ICONQUESTION | ui::MB_DEFBUTTON2);
    if (answer != ui::IDYES) return Restore(dlg, hooks);
  }

  // The controls stay disabled; the worker brings them back.
  const std::uint32_t generation = dlg.State().link.disconnects;
  dlg.Host().StartWorker(ui::ThreadPriority::Highest, [&dlg, hooks, generation](std::stop_token) {
    const auto operation = dlg.State().BeginWorker(generation);
    int written = 0;
    if (operation.owns_lock()) written = DownloadWorker(dlg, hooks.writers);
    if (hooks.finished) hooks.finished(written == 1);
  });
}

}  // namespace veska::download
