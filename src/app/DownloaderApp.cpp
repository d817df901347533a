#include "app/DownloaderApp.h"

#include "app/Templates.h"

namespace veska::app {

DownloaderApp::DownloaderApp(ui::Host& host, std::filesystem::path settingsFile)
    : host_(host), settings_(std::move(settingsFile)) {}

bool DownloaderApp::InitInstance(DlgOperations operations) {
  DownloaderDlg dialog(host_, state_, settings_);
  dialog.SetOperations(std::move(operations));
  result_ = host_.RunModal(kMainDialogTemplate, dialog, nullptr);
  return false;
}

}  // namespace veska::app
