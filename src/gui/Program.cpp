#include "gui/Program.h"

#include "app/ControlIds.h"
#include "app/DownloaderApp.h"
#include "app/FlashMap.h"
#include "app/SessionLog.h"
#include "app/Settings.h"
#include "desktop/DesktopSession.h"
#include "gui/LogPane.h"
#include "gui/PortStatus.h"
#include "operations/Registry.h"

#include <QCoreApplication>
#include <QPointer>
#include <cstdio>

namespace veska::gui {

namespace {

// Calls `work` on the user-interface thread once it is free (results and waits are reported on
// workers, which must not wait for the window); dropped once `context` is gone.
template <typename Work>
void Later(QObject& context, Work&& work) {
  QMetaObject::invokeMethod(&context, std::forward<Work>(work), Qt::QueuedConnection);
}

// The looks the template cannot state: the Flash ID box stays readable when disabled, and the
// path fields show the end of a path (the file name), the whole path as the tool tip.
void ApplyMainWindowLooks(QtWindow& window) {
  window.ShowDisabledAsReadOnly(app::IDC_FLASH_ID);
  for (const app::ImageInfo& info : app::Catalogue()) window.ShowTextEnd(info.pathEdit);
  window.ShowTextEnd(app::IDC_FILE_NAME);
}

// What the window hooks share while the dialog runs, and the session's way to the window.
struct ProgramRun final : desktop::StatusWindow {
  ProgramRun(QtHost& h, app::DownloaderApp& a, app::SessionLog& log)
      : host(h), application(a), sessionLog(log) {}

  void Post(std::function<void()> work) override { Later(relay, std::move(work)); }
  bool MainWindowOpen() const override { return !mainWindow.isNull(); }
  bool MainWindowVisible() const override { return mainWindow && mainWindow->isVisible(); }
  void ShowStatusLine(const std::string& text) override {
    if (mainWindow) mainWindow->ShowStatusLine(QString::fromStdString(text));
  }
  void RefreshPortStatus() override {
    if (portStatus) portStatus->Refresh();
  }

  QtHost& host;
  app::DownloaderApp& application;
  app::SessionLog& sessionLog;
  QPointer<QtWindow> mainWindow{};
  QPointer<PortStatus> portStatus{};
  // Carries the workers' reports to the window while the program runs.
  QObject relay{};
};

void DressAboutBox(QtWindow& window, const app::SessionLog& sessionLog) {
  window.FitStaticText(app::IDC_ABOUT_PAYLOADS);
  window.ShowStatusLine(QString::fromStdString("Session log: " + sessionLog.PathText()));
}

void DressMainWindow(ProgramRun& run, QtWindow& window) {
  run.mainWindow = &window;
  ApplyMainWindowLooks(window);
  new LogPane(window, app::IDC_LOG, run.host);  // owned by the window
  window.SetAppendHook([&sessionLog = run.sessionLog](int id, const QString& text) {
    if (id == app::IDC_LOG) sessionLog.Append(text.toStdString());
  });
  // Owned by the window, as the log pane is.
  run.portStatus = new PortStatus(window, app::IDC_PORT, run.application.State().link);
  if (run.application.SettingsFile().GetInt(desktop::KEY_EXPERT_BUTTONS, 0) != 0) {
    // Their template places are free space beside the link pair; the control states enable
    // and disable them as for every other operation button.
    for (int id : {app::IDC_NAND_DUMP, app::IDC_TFS_EXPLORER, app::IDC_VERIFY_AFTER_DOWNLOAD}) {
      window.Control(id)->show();
    }
  }
  if (const std::string problems = desktop::PayloadProblems(run.application.State().payloads);
      !problems.empty()) {
    run.host.MessageBox(&window, problems, {}, ui::MB_OK | ui::MB_ICONWARNING);
  }
}

void OnWindowShown(ProgramRun& run, QtWindow& window, const std::function<void(QtWindow&)>& shown) {
  if (window.Template().resourceId == app::IDD_ABOUTBOX) {
    DressAboutBox(window, run.sessionLog);
    return;
  }
  if (window.Template().resourceId != app::IDD_DOWNLOADER_DIALOG) return;
  DressMainWindow(run, window);
  if (shown) shown(window);
}

}  // namespace

int RunProgram(QtHost& host, const std::filesystem::path& settingsFile,
               std::function<void(QtWindow&)> shown) {
  const std::filesystem::path file = app::DesktopSettingsFile(host.ApplicationName(), settingsFile);
  if (std::error_code error;
      !settingsFile.empty() && !std::filesystem::exists(settingsFile, error)) {
    // A mistyped path would otherwise go unnoticed until the settings were missed.
    std::printf(
        "%s: the settings file %s does not exist; it is made when a choice is first saved\n",
        host.ApplicationName().c_str(), settingsFile.string().c_str());
  }
  app::DownloaderApp application(host, file);
  desktop::LoadPayloads(application.State().payloads);
  // The session's log beside the settings file, named in the about box.
  app::SessionLog sessionLog(app::SessionLogPath(file, host.ApplicationName()));
  ProgramRun run(host, application, sessionLog);
  host.SetShownHook(
      [&run, shown = std::move(shown)](QtWindow& window) { OnWindowShown(run, window, shown); });
  desktop::DesktopSession session(run, application, sessionLog, file, host.ApplicationName());
  application.InitInstance(operations::AllOperations(),
                           [&session](app::DownloaderDlg& dlg) { session.Attach(dlg); });
  session.End();
  host.SetShownHook({});
  return application.DialogResult();
}

}  // namespace veska::gui
