#include "explorer/TfsExplorer.h"

#include "app/Templates.h"
#include "explorer/TfsExplorerDlg.h"

namespace veska::explorer {

using app::OperationId;
using app::OperationResult;
using app::Outcome;

namespace {

constexpr OperationId kId = OperationId::TfsExplorer;

}  // namespace

void OnTfsExplorer(app::DownloaderDlg& dlg) {
  if (!dlg.BeginConnectedOperation(kId)) return;
  (void)dlg.Runner().RunHere(kId, [&dlg] {
    TfsExplorerDlg explorer(dlg.Host(), dlg.State());
    dlg.Host().RunModal(app::kTfsExplorerTemplate, explorer, &dlg.Wnd());
    dlg.EnterConnectedState();
    return explorer.AllConfirmed()
               ? OperationResult::Ended(kId, Outcome::Done)
               : OperationResult::Ended(kId, Outcome::Failed, EXPLORER_NOT_CONFIRMED);
  });
}

void AddOperations(app::DlgOperations& operations) {
  operations.tfsExplorer = OnTfsExplorer;
}

}  // namespace veska::explorer
