#pragma once

#include "app/DownloaderDlg.h"

namespace veska::explorer {

// How the Explorer operation failed (its OperationResult's status).
enum ExplorerStatus : int {
  EXPLORER_OK = 0,
  EXPLORER_NOT_CONFIRMED = 140,  // an action the user asked for was not confirmed by the phone
};

// "TFS Explorer" (control 1009), on the user-interface thread: busy state, the start check,
// the Explorer dialog run modally, then the connected state. Its result: Done when every
// action asked in the dialog was confirmed by the phone (or none was asked), Failed with
// link::PORT_NO_REPLY when the phone fell silent in an exchange, with EXPLORER_NOT_CONFIRMED
// otherwise, Refused when no port is chosen.
void OnTfsExplorer(app::DownloaderDlg& dlg);

// Registers this layer's button (TFS Explorer).
void AddOperations(app::DlgOperations& operations);

}  // namespace veska::explorer
