#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "gui/QtWindow.h"
#include "ui/Host.h"

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

  // Called once each modal window is on screen (the program adds its port status to the
  // main window; tests look at it and close it).
  void SetShownHook(std::function<void(QtWindow&)> hook) { shownHook_ = std::move(hook); }

  // The application's icon (resource 128), drawn once.
  [[nodiscard]] static QIcon AppIcon();

 private:
  template <typename Work>
  void OnUiThread(Work&& work);

  std::unique_ptr<QObject> context_;  // lives on the user-interface thread
  std::function<void(QtWindow&)> shownHook_;
};

}  // namespace veska::gui
