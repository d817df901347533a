#include "win32gui/Program.h"

#include <cstdio>
#include <string>

#include "app/ControlIds.h"
#include "app/DownloaderApp.h"
#include "app/FlashMap.h"
#include "app/Settings.h"
#include "operations/Registry.h"
#include "payloads/PayloadSet.h"

namespace veska::win32gui {

namespace {

// Real loader programs, when a technician has put them beside the program, replace the
// built-in stand-ins; which set is in use goes to the console, never into the log pane.
void LoadPayloads(payloads::PayloadSet& payloads) {
  payloads = payloads::PayloadSet::Load(payloads::PayloadFolders());
  std::printf("%s\n", payloads.Describe().c_str());
  std::fflush(stdout);
}

void DressMainWindow(Win32Host& host, Win32Window& window, app::DownloaderApp& application) {
  // The path fields show the end of a path, the file name, where the field is too narrow.
  for (const app::ImageInfo& info : app::Catalogue()) window.ShowTextEnd(info.pathEdit);
  window.ShowTextEnd(app::IDC_FILE_NAME);
  if (application.SettingsFile().GetInt(KEY_EXPERT_BUTTONS, 0) != 0) {
    // Their template places are free space beside the link pair; the control states enable
    // and disable them as for every other operation button.
    for (int id : {app::IDC_NAND_DUMP, app::IDC_TFS_EXPLORER, app::IDC_VERIFY_AFTER_DOWNLOAD}) {
      window.ShowControl(id);
    }
  }
  std::string problems;
  for (const std::string& problem : application.State().payloads.Problems()) {
    problems += problem + "\n";
  }
  if (!problems.empty()) host.MessageBox(&window, problems, {}, ui::MB_OK | ui::MB_ICONWARNING);
}

}  // namespace

int RunProgram(Win32Host& host, const std::filesystem::path& settingsFile) {
  const std::filesystem::path file = app::DesktopSettingsFile(host.ApplicationName(), settingsFile);
  app::DownloaderApp application(host, file);
  LoadPayloads(application.State().payloads);
  host.SetShownHook([&host, &application](Win32Window& window) {
    if (window.Template().resourceId == app::IDD_DOWNLOADER_DIALOG) {
      DressMainWindow(host, window, application);
    }
  });
  application.InitInstance(operations::AllOperations());
  host.SetShownHook({});
  return application.DialogResult();
}

}  // namespace veska::win32gui
