#pragma once

#include <QApplication>
#include <cstdlib>

namespace veska::gui {

// One application for the whole run, on the offscreen platform unless told otherwise (the
// screenshot is taken under a virtual X server).
inline QApplication& App() {
  static int argc = 1;
  static char name[] = "VeskaDownloader";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QApplication(argc, argv);
  }();
  return *app;
}

}  // namespace veska::gui
