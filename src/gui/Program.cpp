#include "gui/Program.h"

#include "app/ControlIds.h"
#include "app/DownloaderApp.h"
#include "app/Settings.h"
#include "gui/PortStatus.h"
#include "operations/Registry.h"
#include "payloads/PayloadSet.h"
#include "target/Connection.h"

#include <QCoreApplication>
#include <QPointer>
#include <cstdio>

namespace veska::gui {

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
  payloads = payloads::PayloadSet::Load(payloads::DefaultPayloadFolder());
  std::printf("%s\n", payloads.Describe().c_str());
  std::fflush(stdout);
  QPointer<QtWindow> mainWindow;
  host.SetShownHook([&application, &host, &mainWindow, shown = std::move(shown)](QtWindow& window) {
    if (window.Template().resourceId != app::IDD_DOWNLOADER_DIALOG) return;
    mainWindow = &window;
    new PortStatus(window, app::IDC_PORT, application.State().link);  // owned by the window
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
  application.InitInstance(operations::AllOperations(), [&mainWindow](app::DownloaderDlg& dlg) {
    // A connection whose flash checks went unanswered reads as connected in the log; the
    // status line under the window says what happened. Results come from worker threads.
    dlg.Runner().SetObserver([&mainWindow](const app::OperationResult& result) {
      if (result.operation != app::OperationId::Start ||
          result.status != target::CONNECT_FLASH_CHECKS_FAILED) {
        return;
      }
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [&mainWindow] {
            if (mainWindow) {
              mainWindow->ShowStatusLine(QString::fromUtf8(target::kFlashChecksUnanswered.data(),
                                                           target::kFlashChecksUnanswered.size()));
            }
          },
          Qt::QueuedConnection);
    });
  });
  host.SetShownHook({});
  return application.DialogResult();
}

}  // namespace veska::gui
