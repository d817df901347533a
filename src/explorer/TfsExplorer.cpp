#include "explorer/TfsExplorer.h"

#include "app/Templates.h"
#include "explorer/TfsExplorerDlg.h"
#include "link/PortStatus.h"

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
    // After Disconnect the window is idle and stays so.
    if (dlg.State().link.openAllowed.load()) dlg.EnterConnectedState();
    if (explorer.AllConfirmed()) return OperationResult::Ended(kId, Outcome::Done);
    // A phone that stopped answering is told apart from one that refused.
    const int status = explorer.NoReply() ? int{link::PORT_NO_REPLY} : int{EXPLORER_NOT_CONFIRMED};
    return OperationResult::Ended(kId, Outcome::Failed, status);
  });
}

void AddOperations(app::DlgOperations& operations) {
  operations.Set(kId, OnTfsExplorer);
}

}  // namespace veska::explorer
