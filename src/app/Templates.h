#pragma once

#include <string_view>

#include "ui/DialogTemplate.h"

namespace veska::app {

// The dialogs of the program as data, one table each in the order of the template.
// The TFS Explorer (130) adds its table beside these.
extern const ui::DialogTemplate kMainDialogTemplate;
extern const ui::DialogTemplate kAboutDialogTemplate;
// The NAND dump's area dialog: one radio button per area of the dump list (FlashMap's
// DumpAreas), captioned as the area, and the FROM and TO fields.
extern const ui::DialogTemplate kDumpAreaDialogTemplate;

// String resource 101: the about item of the window's menu.
inline constexpr std::string_view kAboutMenuText = "VeskaDownloader 정보(&A)...";

}  // namespace veska::app
