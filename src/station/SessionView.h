#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string_view>

#include "app/SessionEvents.h"
#include "ui/Journal.h"

namespace veska::station {

// Where a session shows itself: the headless window's changes as they happen (the log pane's
// text above all), the waits for the phone, and the questions nobody else answers. A console
// draws all of it; a bench's slot keeps only the log.
//
// Thread safety: Present() is called by the journal's observer, one event at a time; the rest
// from the session's thread and its workers'.
class SessionView {
 public:
  virtual ~SessionView() = default;

  virtual void Present(const ui::Event& event) = 0;
  // Whether the Flash ID box and the information fields show as the steps set them.
  virtual void ShowFields(bool /*show*/) {}
  // A question answered No by default may say how to answer Yes.
  virtual void HintAtYes(bool /*hint*/) {}
  // The next message box was already shown (its question was asked): do not repeat it.
  virtual void SkipNextBox() {}
  // Ends a line drawn in place, so that what follows starts on a fresh line.
  virtual void EndProgressLine() {}
  // The wait for the phone began, goes on or ended.
  virtual void PhoneWaiting(const app::PhoneWait& /*wait*/) {}
  // Asks an operation's question; nothing: no one can answer (the operation takes No).
  virtual std::optional<int> Ask(std::string_view /*text*/, std::string_view /*caption*/) {
    return std::nullopt;
  }
};

// The view that keeps only the log: the log pane's text (and the TFS Explorer's narrative)
// written to `log` as the window shows it, nothing else; `tee` hears the same text.
class LogFileView final : public SessionView {
 public:
  explicit LogFileView(std::FILE* log, std::function<void(std::string_view)> tee = {})
      : log_(log), tee_(std::move(tee)) {}
  void Present(const ui::Event& event) override;

 private:
  std::FILE* log_;
  std::function<void(std::string_view)> tee_;
};

}  // namespace veska::station
