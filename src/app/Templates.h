#pragma once

#include <string_view>

#include "app/FlashMap.h"
#include "ui/DialogTemplate.h"
#include "ui/Window.h"

namespace veska::app {

// The dialogs of the program as data, one table each in the order of the template.
extern const ui::DialogTemplate kMainDialogTemplate;
extern const ui::DialogTemplate kAboutDialogTemplate;
// The NAND dump's area dialog: one radio button per area of the dump list (FlashMap's
// DumpAreas), captioned as the area, and the FROM and TO fields.
extern const ui::DialogTemplate kDumpAreaDialogTemplate;
// The area dialog's radio button of `area` (the button carries the area's caption), or
// ui::ID_STATIC when the template has none.
[[nodiscard]] int DumpAreaButton(const DumpArea& area);
// The TFS Explorer: directory tree, narrative pane, file list, progress bar, Start and EXIT
// (its Cancel is present but hidden).
extern const ui::DialogTemplate kTfsExplorerTemplate;

// Menu 131, the first sub-menu ("POP-UP") of the Explorer's file list: Dump, Delete, Status,
// Add.
[[nodiscard]] ui::PopupMenu ExplorerPopupMenu();

// String resource 101: the about item of the window's menu.
inline constexpr std::string_view kAboutMenuText = "VeskaDownloader 정보(&A)...";
// The item that opens the production bench's window, below the about item.
inline constexpr std::string_view kBenchMenuText = "Production bench...";

}  // namespace veska::app
