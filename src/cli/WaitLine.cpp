#include "cli/WaitLine.h"

#include <string>

namespace veska::cli {

void WaitLine::Show(const app::PhoneWait& wait) {
  // Ctrl-C is the terminal's way of stopping; there is no Disconnect button here.
  const std::string text = app::PhoneWaitText(wait, "Ctrl-C stops the wait");
  if (!shown_ && breakFirst_) std::fputc('\n', err_);
  // "\033[K" clears what a longer earlier count left at the end of the line.
  std::fprintf(err_, "\r%s\033[K", text.c_str());
  if (wait.ended) std::fputc('\n', err_);
  std::fflush(err_);
  shown_ = !wait.ended;
}

}  // namespace veska::cli
