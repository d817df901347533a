#include "win32gui/Program.h"

#include <memory>
#include <string>

#include "app/ControlIds.h"
#include "desktop/ProgramRun.h"
#include "win32gui/LogPane.h"
#include "win32gui/PortStatus.h"

namespace veska::win32gui {

namespace {

// The looks the template cannot state: the Flash ID box stays readable when disabled, and the
// path fields show the end of a path (the file name), the whole path as the tool tip.
void ApplyMainWindowLooks(Win32Window& window) {
  window.ShowDisabledAsReadOnly(app::IDC_FLASH_ID);
  for (int id : desktop::TextEndFields()) window.ShowTextEnd(id);
}

// The Windows side of the run. Its window members are set and read on the user-interface thread
// only; workers reach it through Win32Host::Post.
class Win32ProgramWindows final : public desktop::ProgramWindows {
 public:
  Win32ProgramWindows(Win32Host& host, std::function<void(Win32Window&)> shown)
      : host_(host), shown_(std::move(shown)) {}

  void Post(std::function<void()> work) override { host_.Post(std::move(work)); }
  bool MainWindowOpen() const override { return mainWindow_ != nullptr; }
  bool MainWindowVisible() const override {
    return mainWindow_ != nullptr && IsWindowVisible(mainWindow_->Handle()) != FALSE;
  }
  void ShowStatusLine(const std::string& text) override {
    if (mainWindow_ != nullptr) mainWindow_->ShowStatusLine(text);
  }
  void RefreshPortStatus() override {
    if (portStatus_) portStatus_->Refresh();
  }

  void Hook(const desktop::ProgramParts& parts) override {
    host_.SetShownHook([this, parts](Win32Window& window) { OnWindowShown(parts, window); });
    host_.SetEndedHook([this](Win32Window& window) { OnWindowEnded(window); });
  }
  void Unhook() override {
    host_.SetShownHook({});
    host_.SetEndedHook({});
    // Every worker has ended with the window: nothing posts any more, and what is still queued
    // would find this run gone.
    host_.DropPosted();
  }

 private:
  void OnWindowShown(const desktop::ProgramParts& parts, Win32Window& window) {
    if (window.Template().resourceId == app::IDD_ABOUTBOX) {
      window.FitStaticText(app::IDC_ABOUT_PAYLOADS);
      window.ShowStatusLine(desktop::AboutStatusLine(parts.sessionLog));
      return;
    }
    if (window.Template().resourceId != app::IDD_DOWNLOADER_DIALOG) return;
    DressMainWindow(parts, window);
    if (shown_) shown_(window);
  }

  void DressMainWindow(const desktop::ProgramParts& parts, Win32Window& window) {
    mainWindow_ = &window;
    ApplyMainWindowLooks(window);
    log_pane::Attach(window, app::IDC_LOG, host_);
    window.SetAppendHook([&sessionLog = parts.sessionLog](int id, std::string_view text) {
      if (id == app::IDC_LOG) sessionLog.Append(text);
    });
    portStatus_ =
        std::make_unique<PortStatus>(window, app::IDC_PORT, parts.application.State().link);
    for (int id : desktop::ExpertControls(parts.application.SettingsFile())) {
      window.ShowControl(id);
    }
    desktop::WarnOfPayloadProblems(host_, window, parts.application.State().payloads);
  }

  void OnWindowEnded(const Win32Window& window) {
    if (&window != mainWindow_) return;
    // The port status's hooks go with the window; reports still on their way find no window.
    portStatus_.reset();
    mainWindow_ = nullptr;
  }

  Win32Host& host_;
  std::function<void(Win32Window&)> shown_;
  Win32Window* mainWindow_ = nullptr;
  std::unique_ptr<PortStatus> portStatus_{};
};

}  // namespace

int RunProgram(Win32Host& host, const std::filesystem::path& settingsFile,
               std::function<void(Win32Window&)> shown) {
  Win32ProgramWindows windows(host, std::move(shown));
  return desktop::RunProgram(
      host, desktop::ProgramSettingsFile(host.ApplicationName(), settingsFile), windows);
}

}  // namespace veska::win32gui
