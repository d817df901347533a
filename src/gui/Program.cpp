#include "gui/Program.h"

#include "app/ControlIds.h"
#include "app/DownloaderApp.h"
#include "app/FlashMap.h"
#include "app/HostNotices.h"
#include "app/Settings.h"
#include "gui/LogPane.h"
#include "gui/PortStatus.h"
#include "operations/Registry.h"
#include "payloads/PayloadSet.h"

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

QString OneLine(const std::string& reason) {
  return QString::fromStdString(reason).replace(QLatin1Char('\n'), QStringLiteral("; "));
}

}  // namespace

int RunProgram(QtHost& host, const std::filesystem::path& settingsFile,
               std::function<void(QtWindow&)> shown) {
  std::filesystem::path file = settingsFile;
  if (file.empty()) file = app::UserSettingsFile(host.ApplicationName());
  // Without a home folder the settings stay beside the program's working folder.
  if (file.empty()) file = host.ApplicationName() + ".INI";

  app::DownloaderApp application(host, file);
  // Real loader programs, when a technician has put them beside the program, replace the
  // built-in stand-ins; which set is in use goes to the console and the about box, never into
  // the log pane, whose narration stays as the operations write it.
  payloads::PayloadSet& payloads = application.State().payloads;
  payloads = payloads::PayloadSet::Load(payloads::PayloadFolders());
  std::printf("%s\n", payloads.Describe().c_str());
  std::fflush(stdout);
  // The session's log beside the settings file, named in the about box.
  SessionLog sessionLog(SessionLogPath(QString::fromStdString(file.string()),
                                       QString::fromStdString(host.ApplicationName())));
  QPointer<QtWindow> mainWindow;
  QPointer<PortStatus> portStatus;
  // Carries the workers' reports to the window while this function runs.
  QObject relay;
  host.SetShownHook([&application, &host, &mainWindow, &portStatus, &sessionLog,
                     shown = std::move(shown)](QtWindow& window) {
    if (window.Template().resourceId == app::IDD_ABOUTBOX) {
      window.FitStaticText(app::IDC_ABOUT_PAYLOADS);
      window.ShowStatusLine(QStringLiteral("Session log: ") + sessionLog.Path());
      return;
    }
    if (window.Template().resourceId != app::IDD_DOWNLOADER_DIALOG) return;
    mainWindow = &window;
    ApplyMainWindowLooks(window);
    new LogPane(window, app::IDC_LOG, host);  // owned by the window
    window.SetAppendHook([&sessionLog](int id, const QString& text) {
      if (id == app::IDC_LOG) sessionLog.Append(text);
    });
    portStatus = new PortStatus(window, app::IDC_PORT, application.State().link);  // the window's
    if (application.SettingsFile().GetInt(KEY_EXPERT_BUTTONS, 0) != 0) {
      // Their template places are free space beside the link pair; the control states enable
      // and disable them as for every other operation button.
      for (int id : {app::IDC_NAND_DUMP, app::IDC_TFS_EXPLORER, app::IDC_VERIFY_AFTER_DOWNLOAD}) {
        window.Control(id)->show();
      }
    }
    std::string problems;
    for (const std::string& problem : application.State().payloads.Problems()) {
      problems += problem + "\n";
    }
    if (!problems.empty()) host.MessageBox(&window, problems, {}, ui::MB_OK | ui::MB_ICONWARNING);
    if (shown) shown(window);
  });
  application.InitInstance(operations::AllOperations(), [&relay, &mainWindow, &portStatus,
                                                         &sessionLog](app::DownloaderDlg& dlg) {
    // The pane loses the narration to the usage text at once; the file keeps it, and says
    // where it ended and why.
    dlg.SetStopObserver([&sessionLog](std::string_view operation) {
      sessionLog.Append(
          QStringLiteral("\n  * ") +
          QString::fromUtf8(operation.data(), static_cast<qsizetype>(operation.size())) +
          QStringLiteral(" stopped by the user\n"));
    });
    // The status line under the window says what the log cannot: a connection whose flash
    // checks went unanswered reads as connected there, and a failed port names no cause.
    // Results come from worker threads.
    dlg.Runner().SetObserver([&relay, &mainWindow, &dlg](const app::OperationResult& result) {
      QString text;
      if (result.operation == app::OperationId::Start && result.outcome == app::Outcome::Failed &&
          !result.reason.empty()) {
        // Only a connection whose flash checks failed says why in words of its own.
        text = QString::fromStdString(result.reason);
      } else if (result.outcome == app::Outcome::Failed ||
                 result.outcome == app::Outcome::Refused) {
        text = OneLine(dlg.PortFailureReason());
      }
      if (text.isEmpty()) return;
      Later(relay, [&mainWindow, text] {
        if (mainWindow) mainWindow->ShowStatusLine(text);
      });
      // A phone lost midway is said at once, and the window no longer offers what only a
      // connected phone can do.
      if (std::string lost = dlg.LostPhoneReason(result); !lost.empty()) {
        Later(relay, [&mainWindow, &dlg, lost = std::move(lost)] {
          if (mainWindow && mainWindow->isVisible()) dlg.OnPhoneLost(lost);
        });
      }
    });
    // A wait for the phone counts its seconds there; when it ends the port's status returns.
    dlg.SetEventObserver([&relay, &mainWindow, &portStatus](const app::SessionEvent& event) {
      const auto* waiting = std::get_if<app::PhoneWait>(&event);
      if (waiting == nullptr) return;
      const app::PhoneWait& wait = *waiting;
      const QString text = QString::fromStdString(app::PhoneWaitText(wait));
      Later(relay, [&mainWindow, &portStatus, text, ended = wait.ended] {
        if (!mainWindow) return;
        if (!ended) {
          mainWindow->ShowStatusLine(text);
        } else if (portStatus) {
          portStatus->Refresh();
        }
      });
    });
  });
  host.SetShownHook({});
  return application.DialogResult();
}

}  // namespace veska::gui
