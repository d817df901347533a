#pragma once

#include "ui/Dialog.h"

namespace veska::app {

// The about box: icon, version text and an OK button; nothing of its own to handle.
class AboutDlg final : public ui::Dialog {};

}  // namespace veska::app
