#pragma once

#include "app/DownloaderDlg.h"

namespace veska::operations {

// Every operation of the main dialog, registered once for both programs: the desktop program
// and the command line take this table, so a button is either wired in both or in neither.
[[nodiscard]] app::DlgOperations AllOperations();

}  // namespace veska::operations
