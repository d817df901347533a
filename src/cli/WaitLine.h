#pragma once

#include <cstdio>

#include "app/HostNotices.h"

namespace veska::cli {

// Counts a long wait for the phone on one line of a terminal's standard error: redrawn in
// place each second, left standing with a line break when the wait ends. The log on standard
// output is mid-line while the wait lasts ("Listen for the BOOT signal > > > "), so on a shared
// terminal the count starts on a line of its own.
//
// Thread safety: one wait at a time reports, from the worker that waits.
class WaitLine {
 public:
  WaitLine(std::FILE* err, bool logOnSameTerminal) : err_(err), breakFirst_(logOnSameTerminal) {}

  void Show(const app::PhoneWait& wait);

 private:
  std::FILE* err_;
  bool breakFirst_;
  bool shown_ = false;
};

}  // namespace veska::cli
