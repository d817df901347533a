#pragma once

#include "app/DownloaderDlg.h"
#include "fs/FileSystemDownload.h"

namespace veska::fs {

// The Format button: a stand-alone format of the TFS file system, on the user-interface thread,
// reported through the dialog's OperationRunner.
void OnFormat(app::DownloaderDlg& dlg);

// The dialog's image and listing of `kind`, as a download writes them.
[[nodiscard]] FileSystemInputs FileSystemInputsOf(const app::DownloaderDlg& dlg,
                                                  FileSystemKind kind);

// Registers this layer's buttons (Format) with the dialog's operations.
void AddOperations(app::DlgOperations& operations);

}  // namespace veska::fs
