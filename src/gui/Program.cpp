#include "gui/Program.h"

#include "app/ControlIds.h"
#include "app/DownloaderApp.h"
#include "app/FlashMap.h"
#include "app/HostNotices.h"
#include "app/SessionLog.h"
#include "app/Settings.h"
#include "app/TransferRate.h"
#include "gui/LogPane.h"
#include "gui/PortStatus.h"
#include "link/PortNames.h"
#include "operations/Registry.h"
#include "payloads/PayloadSet.h"
#include "records/Keeper.h"
#include "records/SessionRecorder.h"

#include <QCoreApplication>
#include <QPointer>
#include <cstdio>
#include <mutex>

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

// Real loader programs, when a technician has put them beside the program, replace the
// built-in stand-ins; which set is in use goes to the console and the about box, never into
// the log pane, whose narration stays as the operations write it.
void LoadPayloads(payloads::PayloadSet& payloads) {
  payloads = payloads::PayloadSet::Load(payloads::PayloadFolders());
  std::printf("%s\n", payloads.Describe().c_str());
  std::fflush(stdout);
}

// What the window hooks and the session's observers share while the dialog runs.
struct ProgramRun {
  QtHost& host;
  app::DownloaderApp& application;
  app::SessionLog& sessionLog;
  QPointer<QtWindow> mainWindow{};
  QPointer<PortStatus> portStatus{};
  // Keeps each phone's record (set while the dialog runs).
  records::SessionRecorder* recorder = nullptr;
  // Carries the workers' reports to the window while the program runs.
  QObject relay{};
  // The transfer under way, for the status line (workers report it, one at a time).
  std::mutex transferMutex{};
  app::TransferStatus transfer{};
  // The status line shows a transfer's progress (user-interface thread only): a success gives
  // the port's status back; a read-back's verdict stays.
  bool transferShown = false;
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
  if (run.application.SettingsFile().GetInt(KEY_EXPERT_BUTTONS, 0) != 0) {
    // Their template places are free space beside the link pair; the control states enable
    // and disable them as for every other operation button.
    for (int id : {app::IDC_NAND_DUMP, app::IDC_TFS_EXPLORER, app::IDC_VERIFY_AFTER_DOWNLOAD}) {
      window.Control(id)->show();
    }
  }
}

void WarnOfPayloadProblems(QtHost& host, QtWindow& window, const payloads::PayloadSet& payloads) {
  std::string problems;
  for (const std::string& problem : payloads.Problems()) problems += problem + "\n";
  if (!problems.empty()) host.MessageBox(&window, problems, {}, ui::MB_OK | ui::MB_ICONWARNING);
}

void OnWindowShown(ProgramRun& run, QtWindow& window, const std::function<void(QtWindow&)>& shown) {
  if (window.Template().resourceId == app::IDD_ABOUTBOX) {
    DressAboutBox(window, run.sessionLog);
    return;
  }
  if (window.Template().resourceId != app::IDD_DOWNLOADER_DIALOG) return;
  DressMainWindow(run, window);
  WarnOfPayloadProblems(run.host, window, run.application.State().payloads);
  if (shown) shown(window);
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
    if (run.recorder != nullptr) {
      run.recorder->Ended(result, dlg.PortName(),
                          link::DevicePathFor(dlg.PortName(), run.application.State().link),
                          dlg.flashReport);
    }
    const QString text =
        QString::fromStdString(app::ResultStatusText(result, dlg.PortFailureReason()));
    Later(run.relay, [&run, text] {
      if (!run.mainWindow) return;
      if (!text.isEmpty()) {
        run.mainWindow->ShowStatusLine(text);
      } else if (run.transferShown && run.portStatus) {
        run.portStatus->Refresh();
      }
      run.transferShown = false;
    });
    if (text.isEmpty()) return;
    // A phone lost midway is said at once, and the window no longer offers what only a
    // connected phone can do.
    if (std::string lost = dlg.LostPhoneReason(result); !lost.empty()) {
      Later(run.relay, [&run, &dlg, lost = std::move(lost)] {
        if (run.mainWindow && run.mainWindow->isVisible()) dlg.OnPhoneLost(lost);
      });
    }
  });
}

// A wait for the phone counts its seconds on the status line; when it ends the port's status
// returns.
void ShowPhoneWaitsOnStatusLine(app::DownloaderDlg& dlg, ProgramRun& run) {
  dlg.SetEventObserver([&run](const app::SessionEvent& event) {
    if (run.recorder != nullptr) run.recorder->Take(event);
    if (const auto* progress = std::get_if<app::Progress>(&event); progress != nullptr) {
      std::string text;
      {
        std::lock_guard lock(run.transferMutex);
        text = run.transfer.Take(progress->position, progress->upper, progress->newRange);
      }
      if (text.empty()) return;
      Later(run.relay, [&run, shown = QString::fromStdString(text)] {
        if (!run.mainWindow) return;
        run.mainWindow->ShowStatusLine(shown);
        run.transferShown = true;
      });
      return;
    }
    if (const auto* readBack = std::get_if<app::ImagesReadBack>(&event); readBack != nullptr) {
      Later(run.relay, [&run, text = QString::fromStdString(app::ReadBackText(*readBack))] {
        if (!run.mainWindow) return;
        run.mainWindow->ShowStatusLine(text);
        run.transferShown = false;
      });
      return;
    }
    const auto* waiting = std::get_if<app::PhoneWait>(&event);
    if (waiting == nullptr) return;
    const app::PhoneWait& wait = *waiting;
    const QString text = QString::fromStdString(app::PhoneWaitText(wait));
    Later(run.relay, [&run, text, ended = wait.ended] {
      if (!run.mainWindow) return;
      if (!ended) {
        run.mainWindow->ShowStatusLine(text);
      } else if (run.portStatus) {
        run.portStatus->Refresh();
      }
    });
  });
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
  LoadPayloads(application.State().payloads);
  // The session's log beside the settings file, named in the about box.
  app::SessionLog sessionLog(app::SessionLogPath(file, host.ApplicationName()));
  ProgramRun run{host, application, sessionLog};
  host.SetShownHook(
      [&run, shown = std::move(shown)](QtWindow& window) { OnWindowShown(run, window, shown); });
  // Every phone the window serves leaves its record, where the settings say (beside them by
  // default); what the records' store says goes to the console and the status line.
  // The desktop program starts whatever the store says of itself: it only tells.
  records::Place place = records::PlaceOf({}, file);
  place.chosen = false;
  records::Keeper keeper(place, records::LocalRecordsPath(file),
                         [&run, &host](const std::string& line) {
                           std::printf("%s: %s\n", host.ApplicationName().c_str(), line.c_str());
                           std::fflush(stdout);
                           Later(run.relay, [&run, text = QString::fromStdString(line)] {
                             if (run.mainWindow) run.mainWindow->ShowStatusLine(text);
                           });
                         });
  (void)keeper.Start();
  records::SessionRecorder recorder(
      {records::HostName(), application.State().payloads.Describe()},
      [&keeper](records::Record record) { keeper.Keep(std::move(record)); });
  run.recorder = &recorder;
  application.InitInstance(operations::AllOperations(), [&run](app::DownloaderDlg& dlg) {
    LogStops(dlg, run.sessionLog);
    ShowResultsOnStatusLine(dlg, run);
    ShowPhoneWaitsOnStatusLine(dlg, run);
    dlg.SetConfirmErasing(true);
  });
  recorder.End();
  keeper.Finish();
  run.recorder = nullptr;
  host.SetShownHook({});
  return application.DialogResult();
}

}  // namespace veska::gui
