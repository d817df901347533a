#pragma once

#include "app/DownloaderDlg.h"

namespace veska::fs {

enum class FileSystemKind { Tfs, Db2 };

// The whole life of one file-system write: format, mount, checksum, time and version records,
// directories, files, completion and unmount. Runs on the download worker; true when the phone
// confirmed the unmount.
[[nodiscard]] bool DownloadFileSystem(app::DownloaderDlg& dlg, FileSystemKind kind);

// The Format button: a stand-alone format of the TFS file system, on the user-interface thread.
void OnFormat(app::DownloaderDlg& dlg);

// Registers this layer's buttons (Format) with the dialog's operations.
void AddOperations(app::DlgOperations& operations);

}  // namespace veska::fs
