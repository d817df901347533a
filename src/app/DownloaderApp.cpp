#include "app/DownloaderApp.h"

#include "app/Templates.h"

namespace veska::app {

DownloaderApp::DownloaderApp(ui::Host& host, std::filesystem::path settingsFile)
    : host_(host), settings_(std::move(settingsFile)) {}

bool DownloaderApp::InitInstance(DlgOperations operations,
                                 const std::function<void(DownloaderDlg&)>& prepare) {
  DownloaderDlg dialog(host_, state_, settings_);
  dialog.SetOperations(std::move(operations));
  if (prepare) prepare(dialog);
  result_ = host_.RunModal(kMainDialogTemplate, dialog, nullptr);
  return false;
}

}  // namespace veska::app
