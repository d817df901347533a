#include "win32gui/Win32Api.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "win32gui/Program.h"
#include "win32gui/Win32Host.h"

int main() {
  INITCOMMONCONTROLSEX controls{sizeof(controls),
                                ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_TREEVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  auto host = std::make_unique<veska::win32gui::Win32Host>();
  // A worker that has not ended within the quit's wait is stuck where nothing reaches it:
  // ending the process is the only way out, and the settings are already on disk.
  host->SetAbandonHook([] {
    std::fflush(nullptr);
    std::_Exit(0);
  });
  veska::win32gui::RunProgram(*host);
  // EXIT ends the program at once, even while a worker still waits for the phone: the
  // settings are already on disk and a worker blocked in a port read must not hold it open.
  if (host->HasRunningWorkers()) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  host.reset();
  return 0;
}
