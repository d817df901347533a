#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "app/SessionEvents.h"

namespace veska::station {

// What a session says beside the log: written to its standard error as it always was, and told
// as typed events (app::Said, app::MessageShown) to whoever observes the session, so that a
// bench learns why a phone failed from the events rather than by reading the text back.
//
// Thread safety: the calls may come from the session's thread and from its workers' (the port's
// diagnostics); each writes whole and publishes at once.
class ErrorStream {
 public:
  explicit ErrorStream(std::FILE* file) : file_(file) {}
  ErrorStream(const ErrorStream&) = delete;
  ErrorStream& operator=(const ErrorStream&) = delete;

  void SetObserver(app::SessionObserver observer) { observer_ = std::move(observer); }

  // The program's own words, written as given (a line ends with its own "\n").
  void Explain(std::string_view text) { Say(app::Said::Kind::Explanation, text); }
  void Diagnostic(std::string_view text) { Say(app::Said::Kind::Diagnostic, text); }
  void Note(std::string_view text) { Say(app::Said::Kind::Note, text); }
  // A message box as "[CAPTION] TEXT" (the program's name for an empty caption).
  void Box(std::string_view caption, std::string_view text, unsigned style, int answer,
           std::string_view applicationName);

  // The stream itself, for what is drawn rather than said (the progress bar, a wait's count).
  [[nodiscard]] std::FILE* File() const { return file_; }

 private:
  void Say(app::Said::Kind kind, std::string_view text);

  std::FILE* file_;
  app::SessionObserver observer_;
};

}  // namespace veska::station
