#pragma once

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace veska::cli {

// An operation's question asked on the terminal, answered No unless the user types y.

// Whether a question can be asked: standard input and `err` are both terminals.
[[nodiscard]] bool CanAskOnTerminal(std::FILE* err);

// Shows the question on `err` as "[CAPTION] TEXT" and the prompt "Answer Yes? [y/N] " below it,
// each led by `prefix` (a bench names the port asking).
void ShowQuestion(std::FILE* err, std::string_view prefix, std::string_view caption,
                  std::string_view text);

// Waits for the user's line on standard input: ui::IDYES when it starts with y, else ui::IDNO.
// At the end of the input the prompt's line is ended on `err`, as the user's Enter would have.
[[nodiscard]] int ReadAnswer(std::FILE* err);

// Waits for the user's line on standard input, without its line end; a longer line than
// `limit` bytes keeps its first limit + 1 (enough to be refused as too long) and the rest is
// read and dropped. Nothing at the end of the input, or once `cancel` (a descriptor that Ctrl-C's
// handler makes readable; -1: none) is readable: the prompt's line is then ended on `err`.
[[nodiscard]] std::optional<std::string> ReadLine(std::FILE* err, int cancel, std::size_t limit);

}  // namespace veska::cli
