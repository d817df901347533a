#include "gui/Program.h"

#include "app/ControlIds.h"
#include "desktop/ProgramRun.h"
#include "gui/LogPane.h"
#include "gui/PortStatus.h"

#include <QCoreApplication>
#include <QPointer>

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
  for (int id : desktop::TextEndFields()) window.ShowTextEnd(id);
}

// Qt's side of the run: its windows are QObjects that go with the dialog, so the run follows
// them through QPointer.
class QtProgramWindows final : public desktop::ProgramWindows {
 public:
  QtProgramWindows(QtHost& host, std::function<void(QtWindow&)> shown)
      : host_(host), shown_(std::move(shown)) {}

  void Post(std::function<void()> work) override { Later(relay_, std::move(work)); }
  bool MainWindowOpen() const override { return !mainWindow_.isNull(); }
  bool MainWindowVisible() const override { return mainWindow_ && mainWindow_->isVisible(); }
  void ShowStatusLine(const std::string& text) override {
    if (mainWindow_) mainWindow_->ShowStatusLine(QString::fromStdString(text));
  }
  void RefreshPortStatus() override {
    if (portStatus_) portStatus_->Refresh();
  }

  void Hook(const desktop::ProgramParts& parts) override {
    host_.SetShownHook([this, parts](QtWindow& window) { OnWindowShown(parts, window); });
  }
  void Unhook() override { host_.SetShownHook({}); }

 private:
  void OnWindowShown(const desktop::ProgramParts& parts, QtWindow& window) {
    if (window.Template().resourceId == app::IDD_ABOUTBOX) {
      window.FitStaticText(app::IDC_ABOUT_PAYLOADS);
      window.ShowStatusLine(QString::fromStdString(desktop::AboutStatusLine(parts.sessionLog)));
      return;
    }
    if (window.Template().resourceId != app::IDD_DOWNLOADER_DIALOG) return;
    DressMainWindow(parts, window);
    if (shown_) shown_(window);
  }

  void DressMainWindow(const desktop::ProgramParts& parts, QtWindow& window) {
    mainWindow_ = &window;
    ApplyMainWindowLooks(window);
    new LogPane(window, app::IDC_LOG, host_);  // owned by the window
    window.SetAppendHook([&sessionLog = parts.sessionLog](int id, const QString& text) {
      if (id == app::IDC_LOG) sessionLog.Append(text.toStdString());
    });
    // Owned by the window, as the log pane is.
    portStatus_ = new PortStatus(window, app::IDC_PORT, parts.application.State().link);
    for (int id : desktop::ExpertControls(parts.application.SettingsFile())) {
      window.Control(id)->show();
    }
    desktop::WarnOfPayloadProblems(host_, window, parts.application.State().payloads);
  }

  QtHost& host_;
  std::function<void(QtWindow&)> shown_;
  QPointer<QtWindow> mainWindow_{};
  QPointer<PortStatus> portStatus_{};
  // Carries the workers' reports to the window while the program runs.
  QObject relay_{};
};

}  // namespace

int RunProgram(QtHost& host, const std::filesystem::path& settingsFile,
               std::function<void(QtWindow&)> shown) {
  QtProgramWindows windows(host, std::move(shown));
  return desktop::RunProgram(
      host, desktop::ProgramSettingsFile(host.ApplicationName(), settingsFile), windows);
}

}  // namespace veska::gui
