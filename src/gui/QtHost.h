#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

#include "gui/QtWindow.h"
#include "ui/Host.h"

class QEventLoop;
class QMessageBox;

namespace veska::gui {

// Converts "desc|pattern|desc|pattern||" into Qt's "desc (pattern);;desc (pattern)", with
// "All files (*)" added at the end unless the list offers "*" already.
[[nodiscard]] QString QtFileFilter(std::string_view filter);

// The least width of a message box whose title bar shows `caption` whole.
[[nodiscard]] int MessageBoxMinimumWidth(const QString& caption);
// Widens `box` to that width.
void KeepCaptionWhole(QMessageBox& box, const QString& caption);

// The platform services on a Qt desktop. Dialogs of the system run on the user-interface
// thread; a worker that asks for one waits there until the user has answered.
//
// The end of a window without an owner (the main window) ends the session: before the window
// goes, its workers (stopped by then, as Disconnect stops them) get up to kQuitWait to end,
// and the user-interface thread keeps carrying out their calls to the window meanwhile. Boxes,
// file dialogs and sub-dialogs asked for in that time are not shown; they get their escape
// answer.
class QtHost final : public ui::Host {
 public:
  QtHost();
  ~QtHost() override;

  [[nodiscard]] std::string ApplicationName() const override;
  int MessageBox(ui::Window* owner, std::string_view text, std::string_view caption = {},
                 unsigned type = ui::MB_OK) override;
  std::optional<std::string> FileDialog(ui::Window* owner,
                                        const ui::FileDialogRequest& request) override;
  int RunModal(const ui::DialogTemplate& dialog, ui::Dialog& handler, ui::Window* owner) override;
  void StartWorker(ui::ThreadPriority priority, std::function<void(std::stop_token)> work) override;

  // How long the end of the main window waits for its workers.
  static constexpr std::chrono::milliseconds kQuitWait{5000};
  // Called on the user-interface thread when a worker is still running after kQuitWait: the
  // window and the dialog it serves cannot go while a worker may still use them, so the
  // program ends the process there. Without a hook the host goes on waiting.
  void SetAbandonHook(std::function<void()> hook) { abandonHook_ = std::move(hook); }

  // Called once each modal window is on screen (the program adds its port status to the
  // main window; tests look at it and close it).
  void SetShownHook(std::function<void(QtWindow&)> hook) { shownHook_ = std::move(hook); }

  // The application's icon (resource 128), drawn once.
  [[nodiscard]] static QIcon AppIcon();

 private:
  template <typename Work>
  void OnUiThread(Work&& work);
  // Runs the event loop until every worker started here has ended or `bound` has passed;
  // false when one is still running.
  bool ServeWorkersFor(std::chrono::milliseconds bound);
  // On the user-interface thread, once a worker has ended.
  void WorkerEnded();

  std::unique_ptr<QObject> context_;  // lives on the user-interface thread
  std::function<void(QtWindow&)> shownHook_;
  std::function<void()> abandonHook_;
  std::atomic<int> runningWorkers_{0};
  // User-interface thread only: the loop of ServeWorkersFor while it runs, and whether the
  // main window has ended (no box or file dialog is shown then).
  QEventLoop* serving_ = nullptr;
  bool closing_ = false;
};

}  // namespace veska::gui
