#pragma once

#include <QFont>
#include <QObject>
#include <QString>
#include <memory>

#include "gui/QtWindow.h"
#include "ui/Host.h"

class QMenu;
class QPlainTextEdit;

namespace veska::gui {

// A fixed-pitch font of `proposed`'s size: `proposed` itself when it is one, else the first of
// the monospace style hint, the families known as monospaced and every fixed-pitch family
// installed that really is one as the font system resolves it (the platform's "fixed" font is
// not always fixed-pitch, for instance on the offscreen platform). `proposed` when none is.
[[nodiscard]] QFont FixedPitchFont(const QFont& proposed);

// A log's text edit: the fixed-pitch font at the edit's size, with tab stops every eight
// characters, so that the log's "> > >" columns line up.
void ShowAsLog(QPlainTextEdit& edit);

// The log pane's additions: a fixed-width font whose tab stops line the "> > >" columns up, and
// a context menu with "Copy all" and "Save log..." besides the edit's own entries. The pane's
// text itself stays the dialog's.
class LogPane final : public QObject {
 public:
  LogPane(QtWindow& window, int id, ui::Host& host);

  // The context menu as shown (the caller owns it).
  [[nodiscard]] std::unique_ptr<QMenu> BuildMenu();
  void CopyAll() const;
  // Writes the pane's text to `path` as UTF-8 with the platform's line ends; false when the
  // file cannot be written.
  [[nodiscard]] bool SaveTo(const QString& path) const;
  // Asks for a file and saves there; says so in a message box when it cannot be written.
  void Save();

 private:
  QtWindow& window_;
  ui::Host& host_;
  QPlainTextEdit* edit_;
};

}  // namespace veska::gui
