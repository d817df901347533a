#include "cli/YesNoPrompt.h"

#include <unistd.h>

#if !defined(_WIN32)
#include <poll.h>

#include <cerrno>
#endif

#include <algorithm>

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

std::optional<std::string> ReadLine(std::FILE* err, int cancel, std::size_t limit) {
  std::string line;
  const auto keep = [&line, limit](const char* bytes, std::size_t count) {
    line.append(bytes, std::min(count, limit + 1 - std::min(line.size(), limit + 1)));
  };
#if defined(_WIN32)
  // The console ends a read that Ctrl-C interrupts: the wait needs no descriptor of its own.
  (void)cancel;
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, stdin) != nullptr) {
    std::string_view piece(chunk);
    const bool ended = !piece.empty() && piece.back() == '\n';
    if (ended) piece.remove_suffix(1);
    keep(piece.data(), piece.size());
    if (ended) return line;
  }
#else
  // Read straight from the descriptor, a line at a time as the terminal hands it over, so that
  // the wait can end on Ctrl-C as well as on the answer.
  for (;;) {
    pollfd waits[2] = {{STDIN_FILENO, POLLIN, 0}, {cancel, POLLIN, 0}};
    if (::poll(waits, cancel >= 0 ? 2 : 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (cancel >= 0 && waits[1].revents != 0) break;
    char chunk[256];
    const ssize_t got = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    const std::string_view piece(chunk, static_cast<std::size_t>(got));
    const std::size_t end = piece.find('\n');
    keep(piece.data(), std::min(end, piece.size()));
    if (end != std::string_view::npos) return line;
  }
#endif
  std::fputc('\n', err);
  std::fflush(err);
  return std::nullopt;
}

}  // namespace veska::cli
