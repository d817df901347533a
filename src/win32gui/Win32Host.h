#pragma once

#include "win32gui/Win32Api.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>

#include "ui/Host.h"
#include "win32gui/Handles.h"
#include "win32gui/PostedWork.h"
#include "win32gui/Win32Window.h"

namespace veska::win32gui {

// The platform services on Windows. Boxes, file dialogs and sub-dialogs run on the
// user-interface thread (the thread that made the host); a worker that asks for one waits there
// until the user has answered.
//
// The end of the main window ends the session: its workers (stopped by then, as Disconnect
// stops them) get up to kQuitWait to end while the user-interface thread keeps carrying out
// their calls to the window. Boxes, file dialogs and sub-dialogs asked for in that time are not
// shown; they get their escape answer.
class Win32Host final : public ui::Host {
 public:
  Win32Host();
  ~Win32Host() override;

  [[nodiscard]] std::string ApplicationName() const override;
  int MessageBox(ui::Window* owner, std::string_view text, std::string_view caption = {},
                 unsigned type = ui::MB_OK) override;
  std::optional<std::string> FileDialog(ui::Window* owner,
                                        const ui::FileDialogRequest& request) override;
  int RunModal(const ui::DialogTemplate& dialog, ui::Dialog& handler, ui::Window* owner) override;
  void StartWorker(ui::ThreadPriority priority, std::function<void(std::stop_token)> work) override;

  static constexpr std::chrono::milliseconds kQuitWait{5000};
  // Called on the user-interface thread when a worker is still running after kQuitWait; without
  // a hook the host goes on waiting.
  void SetAbandonHook(std::function<void()> hook) { abandonHook_ = std::move(hook); }
  // Called once each modal window is on screen, before its loop runs.
  void SetShownHook(std::function<void(Win32Window&)> hook) { shownHook_ = std::move(hook); }
  // Called once each modal window has ended and its workers with it, before it goes.
  void SetEndedHook(std::function<void(Win32Window&)> hook) { endedHook_ = std::move(hook); }
  // Runs `work` on the user-interface thread once it is free, without waiting for it: a worker
  // that reports there must never wait for a thread that may be waiting for it to end. Work
  // still queued when the host goes, or when DropPosted is called, is dropped.
  void Post(std::function<void()> work);
  void DropPosted();

 private:
  // Runs `work` on the user-interface thread and waits for it.
  void OnUiThread(const std::function<void()>& work);
  // Carries out messages until every worker has ended or `bound` has passed; false when one
  // is still running.
  bool ServeWorkersFor(std::chrono::milliseconds bound);
  static LRESULT CALLBACK RelayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  DWORD thread_;
  // A message-only window of the user-interface thread: other threads' work arrives there.
  WindowHandle relay_;
  std::function<void(Win32Window&)> shownHook_;
  std::function<void(Win32Window&)> endedHook_;
  PostedWork posted_;
  std::function<void()> abandonHook_;
  std::atomic<int> runningWorkers_{0};
  bool closing_ = false;
};

}  // namespace veska::win32gui
