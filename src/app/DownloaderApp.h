#pragma once

#include <filesystem>
#include <functional>

#include "app/DownloaderDlg.h"
#include "app/ProcessState.h"
#include "app/Settings.h"
#include "ui/Host.h"

namespace veska::app {

// The application object: owns the process-wide values and the settings file, runs the main
// dialog modally, and ends when it closes.
class DownloaderApp {
 public:
  DownloaderApp(ui::Host& host, std::filesystem::path settingsFile);

  // Runs the main dialog and returns false when it has closed: the program runs no loop of
  // its own after it. `operations` are the bodies of the operation buttons; `prepare` sees the
  // dialog before it runs (a host's observer of the operations' results).
  bool InitInstance(DlgOperations operations = {},
                    const std::function<void(DownloaderDlg&)>& prepare = {});

  [[nodiscard]] ProcessState& State() { return state_; }
  [[nodiscard]] const Settings& SettingsFile() const { return settings_; }
  [[nodiscard]] int DialogResult() const { return result_; }

 private:
  ui::Host& host_;
  ProcessState state_;
  Settings settings_;
  int result_ = 0;
};

}  // namespace veska::app
