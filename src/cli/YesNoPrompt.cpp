#include "cli/YesNoPrompt.h"

#include <unistd.h>

#include "ui/Dialog.h"

namespace veska::cli {

bool CanAskOnTerminal(std::FILE* err) {
  return ::isatty(STDIN_FILENO) == 1 && ::isatty(::fileno(err)) == 1;
}

void ShowQuestion(std::FILE* err, std::string_view prefix, std::string_view caption,
                  std::string_view text) {
  std::fprintf(err, "%.*s[%.*s] %.*s\n%.*sAnswer Yes? [y/N] ", static_cast<int>(prefix.size()),
               prefix.data(), static_cast<int>(caption.size()), caption.data(),
               static_cast<int>(text.size()), text.data(), static_cast<int>(prefix.size()),
               prefix.data());
  std::fflush(err);
}

int ReadAnswer(std::FILE* err) {
  char line[64] = {};
  const bool read = std::fgets(line, sizeof line, stdin) != nullptr;
  if (!read) std::fputc('\n', err);
  return read && (line[0] == 'y' || line[0] == 'Y') ? ui::IDYES : ui::IDNO;
}

}  // namespace veska::cli
