#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "app/Engine.h"
#include "app/FlashMap.h"
#include "app/HostNotices.h"
#include "app/OperationRunner.h"

namespace veska::app {

// What a session tells whoever observes it, typed: the desktop program's status line, the
// console's presenter, a bench's table and report. The log itself stays the window's; these
// are the facts around it.

// A step of a command-line run starting, and ending with its exit status and, when it ran one,
// its operation's result.
struct StepBegan {
  std::size_t index = 0;
  std::size_t count = 0;
  std::string words;  // the step as given ("download all-bin --verify")
};
struct StepEnded {
  std::size_t index = 0;
  std::size_t count = 0;
  std::string words;
  int exitStatus = 0;
  std::optional<OperationResult> result;
};

// The phone acknowledged the start signal (the Flash ID box then says "Connect").
struct PhoneAnswered {};

// The Flash ID box's new text: the flash's identity (or "FAIL") once the driver answered.
struct FlashIdShown {
  std::string text;
};

// The progress bar: a new range (position 0), or a new position within it.
struct Progress {
  std::uint32_t position = 0;
  std::uint32_t upper = 0;
  bool newRange = false;
};

// A message box, or a question with the answer it got (ui::IDYES, ...).
struct MessageShown {
  std::string caption;  // empty: the program's name
  std::string text;
  unsigned style = 0;
  int answer = 0;
};

// A line the program says beside the log (on a console, standard error).
struct Said {
  enum class Kind {
    Explanation,  // the program's own words on what it did or why it stopped
    Diagnostic,   // the port layer's
    Note,         // anything else (the loader payloads in use, the fields)
  };
  Kind kind = Kind::Note;
  std::string text;  // as written, line breaks included
};

using SessionEvent =
    std::variant<StepBegan, StepEnded, ImageBegan, WrittenImage, ImagesReadBack, PhoneAnswered,
                 FlashIdShown, Progress, PhoneWait, MessageShown, Said>;
// Called on the thread the event happened on (a worker's, for an engine's events).
using SessionObserver = std::function<void(const SessionEvent&)>;

}  // namespace veska::app
