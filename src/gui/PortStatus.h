#pragma once

#include <QFileSystemWatcher>
#include <QObject>

#include "gui/QtWindow.h"
#include "link/LinkState.h"

namespace veska::gui {

// Tells a Linux user which device the selected "COMn" stands for and whether it is there:
// as the port selector's tool tip (every item carries its own) and as the window's status
// line. Devices come and go (the boot ROM's USB port appears only when the phone is switched
// on), so the device folder is watched and the text refreshed when it changes.
class PortStatus final : public QObject {
 public:
  PortStatus(QtWindow& window, int selectorId, const link::LinkState& link);

  void Refresh();

  // "COM3 = /dev/ttyS2 (present)" or "... (not present)"; "No COM port chosen: ..." (what to do)
  // for none.
  [[nodiscard]] static QString Describe(int index, const link::LinkState& link);
  // True when the device the item stands for exists.
  [[nodiscard]] static bool IsPresent(int index, const link::LinkState& link);

 private:
  QtWindow& window_;
  int selectorId_;
  const link::LinkState& link_;
  QFileSystemWatcher watcher_;
};

}  // namespace veska::gui
