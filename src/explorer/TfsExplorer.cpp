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
    if (explorer.AllConfirmed()) return OperationResult::Ended(kId, Outcome::Done);
    const int status =
        explorer.PhoneFellSilent() ? int{link::PORT_NO_REPLY} : int{EXPLORER_NOT_CONFIRMED};
    return OperationResult::Ended(kId, Outcome::Failed, status);
  });
}

void AddOperations(app::DlgOperations& operations) {
  operations.tfsExplorer = OnTfsExplorer;
}

}  // namespace veska::explorer
