#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "gui/Program.h"
#include "gui/QtHost.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  QApplication::setWindowIcon(veska::gui::QtHost::AppIcon());
  auto host = std::make_unique<veska::gui::QtHost>();
  // A worker that has not ended within the quit's wait is stuck where nothing reaches it:
  // ending the process is the only way out, and the settings are already on disk.
  host->SetAbandonHook([] {
    std::fflush(nullptr);
    std::_Exit(0);
  });
  veska::gui::RunProgram(*host);
  // EXIT ends the program at once, even while a worker still waits for the phone: the
  // settings are already on disk and a worker blocked in a port read must not hold it open.
  if (host->HasRunningWorkers()) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  host.reset();
  return 0;
}
