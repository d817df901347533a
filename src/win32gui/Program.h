#pragma once

#include <filesystem>
#include <functional>

#include "win32gui/Win32Host.h"

namespace veska::win32gui {

// Everything VeskaDownloader.exe does between starting and ending: the settings file in the
// user's application data folder (or `settingsFile` when given), the loader payloads, the main
// dialog run modally with the log pane's menu, the port status and the session log beside the
// settings file added. `shown` runs once the main window is on screen. Returns the dialog's
// result.
int RunProgram(Win32Host& host, const std::filesystem::path& settingsFile = {},
               std::function<void(Win32Window&)> shown = {});

}  // namespace veska::win32gui
