#include "win32gui/Program.h"

#include <cstdio>
#include <memory>
#include <string>

#include "app/AboutDlg.h"
#include "app/ControlIds.h"
#include "app/DownloaderApp.h"
#include "app/FlashMap.h"
#include "app/SessionLog.h"
#include "app/Settings.h"
#include "desktop/DesktopSession.h"
#include "link/FilePath.h"
#include "operations/Registry.h"
#include "win32gui/LogPane.h"
#include "win32gui/PortStatus.h"

namespace veska::win32gui {

namespace {

// What the window hooks share while the dialog runs, and the session's way to the window. Its
// window members are set and read on the user-interface thread only; workers reach it through
// Win32Host::Post.
struct ProgramRun final : desktop::StatusWindow {
  ProgramRun(Win32Host& h, app::DownloaderApp& a, app::SessionLog& log)
      : host(h), application(a), sessionLog(log) {}

  void Post(std::function<void()> work) override { host.Post(std::move(work)); }
  bool MainWindowOpen() const override { return mainWindow != nullptr; }
  bool MainWindowVisible() const override {
    return mainWindow != nullptr && IsWindowVisible(mainWindow->Handle()) != FALSE;
  }
  void ShowStatusLine(const std::string& text) override {
    if (mainWindow != nullptr) mainWindow->ShowStatusLine(text);
  }
  void RefreshPortStatus() override {
    if (portStatus) portStatus->Refresh();
  }

  Win32Host& host;
  app::DownloaderApp& application;
  app::SessionLog& sessionLog;
  Win32Window* mainWindow = nullptr;
  std::unique_ptr<PortStatus> portStatus{};
};

// The looks the template cannot state: the Flash ID box stays readable when disabled, and the
// path fields show the end of a path (the file name), the whole path as the tool tip.
void ApplyMainWindowLooks(Win32Window& window) {
  window.ShowDisabledAsReadOnly(app::IDC_FLASH_ID);
  for (const app::ImageInfo& info : app::Catalogue()) window.ShowTextEnd(info.pathEdit);
  window.ShowTextEnd(app::IDC_FILE_NAME);
}

void DressMainWindow(ProgramRun& run, Win32Window& window) {
  run.mainWindow = &window;
  ApplyMainWindowLooks(window);
  log_pane::Attach(window, app::IDC_LOG, run.host);
  window.SetAppendHook([&sessionLog = run.sessionLog](int id, std::string_view text) {
    if (id == app::IDC_LOG) sessionLog.Append(text);
  });
  run.portStatus =
      std::make_unique<PortStatus>(window, app::IDC_PORT, run.application.State().link);
  if (run.application.SettingsFile().GetInt(desktop::KEY_EXPERT_BUTTONS, 0) != 0) {
    // Their template places are free space beside the link pair; the control states enable
    // and disable them as for every other operation button.
    for (int id : {app::IDC_NAND_DUMP, app::IDC_TFS_EXPLORER, app::IDC_VERIFY_AFTER_DOWNLOAD}) {
      window.ShowControl(id);
    }
  }
  if (const std::string problems = desktop::PayloadProblems(run.application.State().payloads);
      !problems.empty()) {
    run.host.MessageBox(&window, problems, {}, ui::MB_OK | ui::MB_ICONWARNING);
  }
}

void OnWindowShown(ProgramRun& run, Win32Window& window) {
  if (window.Template().resourceId == app::IDD_ABOUTBOX) {
    window.ShowStatusLine("Session log: " + run.sessionLog.PathText());
    return;
  }
  if (window.Template().resourceId == app::IDD_DOWNLOADER_DIALOG) DressMainWindow(run, window);
}

void OnWindowEnded(ProgramRun& run, const Win32Window& window) {
  if (&window != run.mainWindow) return;
  // The port status's hooks go with the window; reports still on their way find no window.
  run.portStatus.reset();
  run.mainWindow = nullptr;
}

}  // namespace

int RunProgram(Win32Host& host, const std::filesystem::path& settingsFile,
               std::function<void(Win32Window&)> shown) {
  const std::filesystem::path file = app::DesktopSettingsFile(host.ApplicationName(), settingsFile);
  if (std::error_code error;
      !settingsFile.empty() && !std::filesystem::exists(settingsFile, error)) {
    // A mistyped path would otherwise go unnoticed until the settings were missed.
    std::printf(
        "%s: the settings file %s does not exist; it is made when a choice is first saved\n",
        host.ApplicationName().c_str(), link::Utf8Of(settingsFile).c_str());
  }
  app::DownloaderApp application(host, file);
  desktop::LoadPayloads(application.State().payloads);
  // The session's log beside the settings file, named in the about box.
  app::SessionLog sessionLog(app::SessionLogPath(file, host.ApplicationName()));
  ProgramRun run(host, application, sessionLog);
  host.SetShownHook([&run, shown = std::move(shown)](Win32Window& window) {
    OnWindowShown(run, window);
    if (shown && window.Template().resourceId == app::IDD_DOWNLOADER_DIALOG) shown(window);
  });
  host.SetEndedHook([&run](Win32Window& window) { OnWindowEnded(run, window); });
  desktop::DesktopSession session(run, application, sessionLog, file, host.ApplicationName());
  application.InitInstance(operations::AllOperations(),
                           [&session](app::DownloaderDlg& dlg) { session.Attach(dlg); });
  session.End();
  host.SetShownHook({});
  host.SetEndedHook({});
  // Every worker has ended with the window: nothing posts any more, and what is still queued
  // would find this run gone.
  host.DropPosted();
  return application.DialogResult();
}

}  // namespace veska::win32gui
