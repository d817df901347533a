#pragma once

#include <QApplication>
#include <filesystem>
#include <functional>
#include <string_view>

#include "gui/QtHost.h"

namespace veska::gui {

// The expert switch, in the settings file's "Setting" section: a value other than 0 shows the
// NAND Dump and TFS Explorer buttons and the "Verify after download" box, which the template
// keeps hidden. Without it the window is
// exactly as the template draws it. The program only reads it; a technician sets it by hand.
inline constexpr std::string_view KEY_EXPERT_BUTTONS = "ExpertButtons";

// Everything `VeskaDownloader` does between creating the application and ending: the settings
// file in the user's configuration folder (or `settingsFile` when given), the main dialog run
// modally with the port status added. `shown` runs once the main window is on screen.
// Returns the dialog's result.
int RunProgram(QtHost& host, const std::filesystem::path& settingsFile = {},
               std::function<void(QtWindow&)> shown = {});

}  // namespace veska::gui
