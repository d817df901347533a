#pragma once

#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "app/DownloaderApp.h"
#include "app/SessionLog.h"
#include "app/TransferRate.h"
#include "desktop/PhoneJournal.h"
#include "payloads/PayloadSet.h"
#include "records/Keeper.h"
#include "records/SessionRecorder.h"

namespace veska::desktop {

// The expert switch, in the settings file's "Setting" section: a value other than 0 shows the
// NAND Dump and TFS Explorer buttons and the "Verify after download" box, which the template
// keeps hidden. Without it the window is exactly as the template draws it. The program only
// reads it; a technician sets it by hand.
inline constexpr std::string_view KEY_EXPERT_BUTTONS = "ExpertButtons";

// Real loader programs, when a technician has put them beside the program, replace the
// built-in stand-ins; which set is in use goes to the console and the about box, never into
// the log pane, whose narration stays as the operations write it.
void LoadPayloads(payloads::PayloadSet& payloads);
// The payloads' problems, one a line, for a warning box; empty when there are none.
[[nodiscard]] std::string PayloadProblems(const payloads::PayloadSet& payloads);

// What a desktop program's window offers the session. Post may be called from any thread; the
// other members are called on the user-interface thread only, from posted work.
class StatusWindow {
 public:
  virtual ~StatusWindow() = default;
  // Runs `work` on the user-interface thread once it is free; work still queued when the
  // program ends is dropped.
  virtual void Post(std::function<void()> work) = 0;
  // The main window is there (not yet ended), and shown.
  [[nodiscard]] virtual bool MainWindowOpen() const = 0;
  [[nodiscard]] virtual bool MainWindowVisible() const = 0;
  virtual void ShowStatusLine(const std::string& text) = 0;
  // The status line shows the port's status again.
  virtual void RefreshPortStatus() = 0;
};

// The session around a desktop program's dialog: the status line says what the log cannot (a
// transfer's progress, a wait for the phone, a read-back's verdict, why a result failed), the
// session log keeps where the user stopped an operation, a phone lost midway is said at once,
// and every phone the window serves leaves its record where the settings say (beside them by
// default): when the window lets go of it, with the next START or at the program's end, and,
// should the program not get there, from its journal at the next run. Results and events come
// from worker threads; the window is reached through Post.
class DesktopSession {
 public:
  DesktopSession(StatusWindow& window, app::DownloaderApp& application, app::SessionLog& sessionLog,
                 const std::filesystem::path& settingsFile, std::string programName);
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;
  ~DesktopSession();

  // Hooks the dialog's observers; called once the dialog exists, before it runs.
  void Attach(app::DownloaderDlg& dlg);
  // The dialog has ended: the phone under way is recorded and the records are written.
  void End();

 private:
  void TakeResult(app::DownloaderDlg& dlg, const app::OperationResult& result);
  void TakeEvent(const app::SessionEvent& event);
  // What the records' keeper says: on the console and the status line.
  void Say(const std::string& line);

  StatusWindow& window_;
  app::DownloaderApp& application_;
  app::SessionLog& sessionLog_;
  std::string programName_;
  // The transfer under way, for the status line (workers report it, one at a time).
  std::mutex transferMutex_;
  app::TransferStatus transfer_;
  // The status line shows a transfer's progress (user-interface thread only): a success gives
  // the port's status back; a read-back's verdict stays.
  bool transferShown_ = false;
  records::Keeper keeper_;
  PhoneJournal journal_;
  records::SessionRecorder recorder_;
  bool ended_ = false;
};

}  // namespace veska::desktop
