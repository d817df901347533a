#include "fs/FsButtons.h"

namespace veska::fs {

using app::OperationId;
using app::OperationResult;
using app::Outcome;

FileSystemInputs FileSystemInputsOf(const app::DownloaderDlg& dlg, FileSystemKind kind) {
  const bool tfs = kind == FileSystemKind::Tfs;
  FileSystemInputs inputs;
  inputs.kind = kind;
  inputs.imagePath = tfs ? dlg.m_strOgmPath : dlg.m_strOgmPath_DB2;
  inputs.listingPath = tfs ? dlg.tfsListingPath : dlg.db2ListingPath;
  inputs.imageSize = dlg.imageSize[tfs ? TFS_IMAGE_INDEX : DB2_IMAGE_INDEX];
  return inputs;
}

void OnFormat(app::DownloaderDlg& dlg) {
  if (!dlg.ConfirmErasing(OperationId::Format)) return;
  dlg.Runner().RunHere(OperationId::Format, [&dlg] {
    dlg.EnterBusyState();
    dlg.UpdateData(true);
    const FormatResult result = dlg.StartCheck() ? FormatFileSystem(dlg.Engine()) : FORMAT_STOPPED;
    dlg.EnterConnectedState();
    switch (result) {
      case FORMAT_OK:
        return OperationResult::Ended(OperationId::Format, Outcome::Done);
      case FORMAT_STOPPED:
        return OperationResult::Ended(OperationId::Format, Outcome::Refused, result,
                                      "no port chosen, or the phone is not connected");
      default:
        return OperationResult::Ended(OperationId::Format, Outcome::Failed, result);
    }
  });
}

void AddOperations(app::DlgOperations& operations) {
  operations.Set(OperationId::Format, OnFormat);
}

}  // namespace veska::fs
