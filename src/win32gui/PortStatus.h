#pragma once

#include <string>

#include "link/LinkState.h"
#include "win32gui/Win32Window.h"

namespace veska::win32gui {

// Tells the user which device the selected "COMn" stands for and whether it is there: as the
// port selector's tool tip and as the window's status line, the present ports in bold in the
// list. Ports come and go (the boot ROM's USB port appears only when the phone is switched on),
// so the window's device notices and its poll refresh the texts when they change.
class PortStatus {
 public:
  // Wires itself to `window`, which must not outlive it.
  PortStatus(Win32Window& window, int selectorId, const link::LinkState& link);

  // Shows the selected port's text again; with `always` false only when something changed
  // (a wait's text on the status line stays until then).
  void Refresh(bool always = true);

  // "COM3 = \\.\COM3 (present)" or "... (not present)"; "No COM port chosen: ..." (what to do)
  // for none.
  [[nodiscard]] static std::string Describe(int index, const link::LinkState& link);
  // True when the system knows the device the item stands for.
  [[nodiscard]] static bool IsPresent(int index, const link::LinkState& link);

 private:
  Win32Window& window_;
  int selectorId_;
  const link::LinkState& link_;
  std::string shown_;
  std::string presence_;
};

}  // namespace veska::win32gui
