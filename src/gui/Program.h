#pragma once

#include <QApplication>
#include <filesystem>
#include <functional>

#include "gui/QtHost.h"

namespace veska::gui {

// Everything `VeskaDownloader` does between creating the application and ending: the settings
// file in the user's configuration folder (or `settingsFile` when given), the main dialog run
// modally with the port status added. `shown` runs once the main window is on screen.
// Returns the dialog's result.
int RunProgram(QtHost& host, const std::filesystem::path& settingsFile = {},
               std::function<void(QtWindow&)> shown = {});

}  // namespace veska::gui
