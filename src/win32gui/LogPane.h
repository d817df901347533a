#pragma once

#include <filesystem>
#include <string_view>

#include "ui/Host.h"
#include "ui/Window.h"
#include "win32gui/Win32Window.h"

namespace veska::win32gui {

// The log pane's additions: a fixed-pitch font whose tab stops line the "> > >" columns up, and
// a context menu with "Copy all" and "Save log..." besides the edit's own entries. The pane's
// text itself stays the dialog's.
namespace log_pane {

// The menu's commands.
enum Command : unsigned { kCopy = 1, kSelectAll, kCopyAll, kSave };

// Gives control `id` of `window` the font and the menu; `host` asks where to save.
void Attach(Win32Window& window, int id, ui::Host& host);
// The context menu as shown: Copy only while text is selected.
[[nodiscard]] ui::PopupMenu Menu(bool hasSelection);
// Carries out a command of the menu.
void Run(Win32Window& window, int id, ui::Host& host, unsigned command);
// Writes the pane's text to `path` as UTF-8 with CRLF line ends; false when the file cannot be
// written.
[[nodiscard]] bool SaveTo(const Win32Window& window, int id, const std::filesystem::path& path);
// Asks for a file and saves there; says so in a message box when it cannot be written.
void Save(Win32Window& window, int id, ui::Host& host);

}  // namespace log_pane

}  // namespace veska::win32gui
