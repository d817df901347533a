// Prints where the Windows window places every control of the program's four dialogs, in client
// pixels, with the dialog units it measured on the template's font: per dialog a line
// "units DIALOG BASE_X BASE_Y", then per template entry "DIALOG INDEX KIND X Y WIDTH HEIGHT".
// tests/cross/windows-gui-e2e lays the Qt window out on the same units (window_rects) and
// compares the two.
#include <cstdio>

#include "app/Templates.h"
#include "win32gui/Win32Window.h"

namespace {

struct Inert final : veska::ui::Dialog {};

}  // namespace

int main() {
  using namespace veska;
  for (const ui::DialogTemplate* dialog :
       {&app::kMainDialogTemplate, &app::kAboutDialogTemplate, &app::kDumpAreaDialogTemplate,
        &app::kTfsExplorerTemplate}) {
    Inert handler;
    win32gui::Win32Window window(*dialog, handler, nullptr);
    std::printf("units %d %d %d\n", dialog->resourceId, window.Units().baseX, window.Units().baseY);
    for (std::size_t index = 0; index < dialog->controls.size(); ++index) {
      HWND control = window.PlacedControl(index);
      if (control == nullptr) continue;
      RECT rect{};
      GetWindowRect(control, &rect);
      MapWindowPoints(nullptr, window.Handle(), reinterpret_cast<POINT*>(&rect), 2);
      std::printf("%d %u %d %ld %ld %ld %ld\n", dialog->resourceId, static_cast<unsigned>(index),
                  static_cast<int>(dialog->controls[index].kind), rect.left, rect.top,
                  rect.right - rect.left, rect.bottom - rect.top);
    }
  }
  return 0;
}
