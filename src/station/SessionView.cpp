#include "station/SessionView.h"

#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"

namespace veska::station {

void LogFileView::Present(const ui::Event& event) {
  const bool log = event.dialog == app::IDD_DOWNLOADER_DIALOG && event.id == app::IDC_LOG;
  const bool narrative =
      event.dialog == app::IDD_TFS_EXPLORER && event.id == app::IDC_EXPLORER_TEXT;
  if (!log && !narrative) return;
  // A pane that starts a narration anew follows the earlier text in a file; the main log's
  // idle usage text is no narration.
  if (event.kind == ui::EventKind::SetText && log && event.text == app::kUsageText) return;
  if (event.kind != ui::EventKind::AppendText && event.kind != ui::EventKind::SetText) return;
  std::fwrite(event.text.data(), 1, event.text.size(), log_);
  std::fflush(log_);
  if (tee_) tee_(event.text);
}

}  // namespace veska::station
