// Lays the Qt window out on the dialog units another renderer measured and prints where each
// control lands, in the format of that renderer's listing (tests/windows/WindowRects.cpp): reads
// its "units DIALOG BASE_X BASE_Y" lines from the file given and answers each with the Qt
// window's "DIALOG INDEX KIND X Y WIDTH HEIGHT" lines. Not a test by itself: the Windows
// end-to-end test compares the two listings.
//
//   window_rects WIN32_LISTING
#include <QApplication>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "app/Templates.h"
#include "gui/QtWindow.h"

namespace {

struct Inert final : veska::ui::Dialog {};

const veska::ui::DialogTemplate* TemplateOf(int id) {
  using namespace veska::app;
  for (const veska::ui::DialogTemplate* dialog :
       {&kMainDialogTemplate, &kAboutDialogTemplate, &kDumpAreaDialogTemplate,
        &kTfsExplorerTemplate}) {
    if (dialog->resourceId == id) return dialog;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_rects WIN32_LISTING\n");
    return 2;
  }
  std::ifstream listing(argv[1]);
  if (!listing) {
    std::fprintf(stderr, "window_rects: cannot read %s\n", argv[1]);
    return 2;
  }
  for (std::string line; std::getline(listing, line);) {
    std::istringstream fields(line);
    std::string word;
    int id = 0;
    int baseX = 0;
    int baseY = 0;
    if (!(fields >> word >> id >> baseX >> baseY) || word != "units") continue;
    const veska::ui::DialogTemplate* dialog = TemplateOf(id);
    if (dialog == nullptr || baseX <= 0 || baseY <= 0) {
      std::fprintf(stderr, "window_rects: no dialog %d or no units\n", id);
      return 1;
    }
    Inert handler;
    veska::gui::QtWindow window(*dialog, handler, nullptr, veska::gui::DialogUnits(baseX, baseY));
    std::printf("units %d %d %d\n", id, baseX, baseY);
    for (std::size_t index = 0; index < dialog->controls.size(); ++index) {
      const QWidget* control = window.PlacedControl(index);
      if (control == nullptr) continue;
      const QRect rect = control->geometry();
      std::printf("%d %u %d %d %d %d %d\n", id, static_cast<unsigned>(index),
                  static_cast<int>(dialog->controls[index].kind), rect.x(), rect.y(), rect.width(),
                  rect.height());
    }
  }
  return 0;
}
