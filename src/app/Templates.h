#pragma once

#include <string_view>

#include "ui/DialogTemplate.h"

namespace veska::app {

// The dialogs of the program as data, one table each in the order of the template.
// The TFS Explorer (130) and the dump-area dialog (133) add their tables beside these.
extern const ui::DialogTemplate kMainDialogTemplate;
extern const ui::DialogTemplate kAboutDialogTemplate;

// String resource 101: the about item of the window's menu.
inline constexpr std::string_view kAboutMenuText = "VeskaDownloader 정보(&A)...";

}  // namespace veska::app
