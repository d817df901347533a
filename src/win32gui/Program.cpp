#include "win32gui/Program.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "app/AboutDlg.h"
#include "app/ControlIds.h"
#include "app/DownloaderApp.h"
#include "app/FlashMap.h"
#include "app/HostNotices.h"
#include "app/SessionLog.h"
#include "app/Settings.h"
#include "app/TransferRate.h"
#include "operations/Registry.h"
#include "payloads/PayloadSet.h"
#include "win32gui/LogPane.h"
#include "win32gui/PortStatus.h"

namespace veska::win32gui {

namespace {

// Real loader programs, when a technician has put them beside the program, replace the
// built-in stand-ins; which set is in use goes to the console, never into the log pane.
void LoadPayloads(payloads::PayloadSet& payloads) {
  payloads = payloads::PayloadSet::Load(payloads::PayloadFolders());
  std::printf("%s\n", payloads.Describe().c_str());
  std::fflush(stdout);
}

// What the window hooks and the session's observers share while the dialog runs. Set and read
// on the user-interface thread only; workers reach it through Win32Host::Post.
struct ProgramRun {
  Win32Host& host;
  app::DownloaderApp& application;
  app::SessionLog& sessionLog;
  Win32Window* mainWindow = nullptr;
  std::unique_ptr<PortStatus> portStatus{};
  // The transfer under way, for the status line (workers report it, one at a time).
  std::mutex transferMutex{};
  app::TransferStatus transfer{};
  // The status line shows a transfer's progress (user-interface thread only): a success gives
  // the port's status back; a read-back's verdict stays.
  bool transferShown = false;
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
  if (run.application.SettingsFile().GetInt(KEY_EXPERT_BUTTONS, 0) != 0) {
    // Their template places are free space beside the link pair; the control states enable
    // and disable them as for every other operation button.
    for (int id : {app::IDC_NAND_DUMP, app::IDC_TFS_EXPLORER, app::IDC_VERIFY_AFTER_DOWNLOAD}) {
      window.ShowControl(id);
    }
  }
  std::string problems;
  for (const std::string& problem : run.application.State().payloads.Problems()) {
    problems += problem + "\n";
  }
  if (!problems.empty()) {
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

// The pane loses the narration to the usage text at once; the file keeps it, and says where it
// ended and why.
void LogStops(app::DownloaderDlg& dlg, app::SessionLog& sessionLog) {
  dlg.SetStopObserver([&sessionLog](std::string_view operation) {
    sessionLog.Append(app::StoppedByUserText(operation));
  });
}

// The status line under the window says what the log cannot: a connection whose flash checks
// went unanswered reads as connected there, and a failed port names no cause. Results come from
// worker threads.
void ShowResultsOnStatusLine(app::DownloaderDlg& dlg, ProgramRun& run) {
  dlg.Runner().SetObserver([&run, &dlg](const app::OperationResult& result) {
    std::string text = app::ResultStatusText(result, dlg.PortFailureReason());
    const bool said = !text.empty();
    run.host.Post([&run, text = std::move(text)] {
      if (run.mainWindow == nullptr) return;
      if (!text.empty()) {
        run.mainWindow->ShowStatusLine(text);
      } else if (run.transferShown && run.portStatus) {
        run.portStatus->Refresh();
      }
      run.transferShown = false;
    });
    if (!said) return;
    // A phone lost midway is said at once, and the window no longer offers what only a
    // connected phone can do.
    if (std::string lost = dlg.LostPhoneReason(result); !lost.empty()) {
      run.host.Post([&run, &dlg, lost = std::move(lost)] {
        if (run.mainWindow != nullptr && IsWindowVisible(run.mainWindow->Handle()) != FALSE) {
          dlg.OnPhoneLost(lost);
        }
      });
    }
  });
}

// A wait for the phone counts its seconds on the status line; when it ends the port's status
// returns.
void ShowPhoneWaitsOnStatusLine(app::DownloaderDlg& dlg, ProgramRun& run) {
  dlg.SetEventObserver([&run](const app::SessionEvent& event) {
    if (const auto* progress = std::get_if<app::Progress>(&event); progress != nullptr) {
      std::string text;
      {
        std::lock_guard lock(run.transferMutex);
        text = run.transfer.Take(progress->position, progress->upper, progress->newRange);
      }
      if (text.empty()) return;
      run.host.Post([&run, text = std::move(text)] {
        if (run.mainWindow == nullptr) return;
        run.mainWindow->ShowStatusLine(text);
        run.transferShown = true;
      });
      return;
    }
    if (const auto* readBack = std::get_if<app::ImagesReadBack>(&event); readBack != nullptr) {
      run.host.Post([&run, text = app::ReadBackText(*readBack)] {
        if (run.mainWindow == nullptr) return;
        run.mainWindow->ShowStatusLine(text);
        run.transferShown = false;
      });
      return;
    }
    const auto* waiting = std::get_if<app::PhoneWait>(&event);
    if (waiting == nullptr) return;
    run.host.Post([&run, text = app::PhoneWaitText(*waiting), ended = waiting->ended] {
      if (run.mainWindow == nullptr) return;
      if (!ended) {
        run.mainWindow->ShowStatusLine(text);
      } else if (run.portStatus) {
        run.portStatus->Refresh();
      }
    });
  });
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
        host.ApplicationName().c_str(), settingsFile.string().c_str());
  }
  app::DownloaderApp application(host, file);
  LoadPayloads(application.State().payloads);
  // The session's log beside the settings file, named in the about box.
  app::SessionLog sessionLog(app::SessionLogPath(file, host.ApplicationName()));
  ProgramRun run{host, application, sessionLog};
  host.SetShownHook([&run, shown = std::move(shown)](Win32Window& window) {
    OnWindowShown(run, window);
    if (shown && window.Template().resourceId == app::IDD_DOWNLOADER_DIALOG) shown(window);
  });
  host.SetEndedHook([&run](Win32Window& window) { OnWindowEnded(run, window); });
  application.InitInstance(operations::AllOperations(), [&run](app::DownloaderDlg& dlg) {
    LogStops(dlg, run.sessionLog);
    ShowResultsOnStatusLine(dlg, run);
    ShowPhoneWaitsOnStatusLine(dlg, run);
    dlg.SetConfirmErasing(true);
  });
  host.SetShownHook({});
  host.SetEndedHook({});
  // Every worker has ended with the window: nothing posts any more, and what is still queued
  // would find this run gone.
  host.DropPosted();
  return application.DialogResult();
}

}  // namespace veska::win32gui
