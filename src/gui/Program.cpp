#include "gui/Program.h"

#include "app/ControlIds.h"
#include "app/DownloaderApp.h"
#include "app/Settings.h"
#include "gui/PortStatus.h"

namespace veska::gui {

int RunProgram(QtHost& host, const std::filesystem::path& settingsFile,
               std::function<void(QtWindow&)> shown) {
  std::filesystem::path file = settingsFile;
  if (file.empty()) file = app::UserSettingsFile(host.ApplicationName());
  // Without a home folder the settings stay beside the program's working folder.
  if (file.empty()) file = host.ApplicationName() + ".INI";

  app::DownloaderApp application(host, file);
  host.SetShownHook([&application, shown = std::move(shown)](QtWindow& window) {
    if (window.Template().resourceId != app::IDD_DOWNLOADER_DIALOG) return;
    new PortStatus(window, app::IDC_PORT, application.State().link);  // owned by the window
    if (shown) shown(window);
  });
  application.InitInstance();
  host.SetShownHook({});
  return application.DialogResult();
}

}  // namespace veska::gui
