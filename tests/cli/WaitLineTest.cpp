#include "cli/WaitLine.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace veska::cli {
namespace {

std::string Shown(bool logOnSameTerminal, std::initializer_list<app::PhoneWait> waits) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* err = ::open_memstream(&text, &size);
  {
    WaitLine line(err, logOnSameTerminal);
    for (const app::PhoneWait& wait : waits) line.Show(wait);
  }
  std::fclose(err);
  std::string shown(text, size);
  std::free(text);
  return shown;
}

// One line, redrawn in place, left standing when the wait ends; a second wait starts afresh.
TEST(WaitLine, RedrawsOneLineAndEndsItWithALineBreak) {
  const std::string shown = Shown(true, {{"the BOOT signal", 0, false},
                                         {"the BOOT signal", 1, false},
                                         {"the BOOT signal", 2, true},
                                         {"the BOOT signal", 0, false},
                                         {"the BOOT signal", 0, true}});
  const std::string tail = " s. Switch the phone on now; Ctrl-C stops the wait\033[K";
  EXPECT_EQ(shown, "\n\rWaiting for the BOOT signal: 0" + tail +
                       "\rWaiting for the BOOT signal: 1" + tail +
                       "\rWaiting for the BOOT signal: 2" + tail + "\n" +
                       "\n\rWaiting for the BOOT signal: 0" + tail +
                       "\rWaiting for the BOOT signal: 0" + tail + "\n");
  // With the log elsewhere (a file), standard error has no half-written line to leave.
  EXPECT_EQ(Shown(false, {{"x", 0, false}, {"x", 0, true}}).substr(0, 1), "\r");
}

}  // namespace
}  // namespace veska::cli
