#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "desktop/ProgramRun.h"
#include "gui/BenchWindow.h"
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
  veska::desktop::SetBenchOpener([&host](const std::filesystem::path& file) {
    return veska::gui::RunBenchWindow(*host, file);
  });
  QCommandLineParser options;
  options.setApplicationDescription(
      QStringLiteral("Firmware download tool for QX7430 phones with NAND flash"));
  options.addHelpOption();
  const QCommandLineOption settings(QStringLiteral("settings"),
                                    QStringLiteral("Settings file (default: the user's)"),
                                    QStringLiteral("FILE"));
  options.addOption(settings);
  const QCommandLineOption bench(QStringLiteral("bench"),
                                 QStringLiteral("Open the production bench instead of the main "
                                                "window"));
  options.addOption(bench);
  options.process(application);  // --help, or an unknown option, ends here
  const std::filesystem::path settingsFile(options.value(settings).toStdString());
  int status = 0;
  if (options.isSet(bench)) {
    status = veska::desktop::RunBench(host->ApplicationName(), settingsFile);
  } else {
    veska::gui::RunProgram(*host, settingsFile);
  }
  // EXIT ends the program at once, even while a worker still waits for the phone: the
  // settings are already on disk and a worker blocked in a port read must not hold it open.
  if (host->HasRunningWorkers()) {
    std::fflush(nullptr);
    std::_Exit(0);
  }
  veska::desktop::SetBenchOpener({});
  host.reset();
  return status;
}
