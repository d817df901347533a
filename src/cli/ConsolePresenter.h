#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "app/TransferRate.h"
#include "station/ErrorStream.h"
#include "station/SessionView.h"
#include "ui/Journal.h"

namespace veska::cli {

using station::ErrorStream;

// How the progress bars of the operations show: a bar redrawn in place (a terminal), a line at
// every tenth of the way (a log file, a CI job), or not at all.
enum class ProgressMode { None, Plain, Bar };

// Shows a headless session on a terminal: the texts of the log pane and of the TFS Explorer's
// narrative pane on standard output exactly as the window shows them, message boxes on
// standard error as "[CAPTION] TEXT", the Flash ID box and the information fields as
// "Flash ID: TEXT" and so on whenever they take a non-blank value, and, only when standard
// error is a terminal, a progress line with bytes, rate and time left. A control is known by
// its dialog and its id together: the sub-dialogs reuse ids of the main dialog.
//
// Thread safety: Present() is called by the journal's observer, one event at a time.
class ConsolePresenter final : public station::SessionView {
 public:
  ConsolePresenter(std::FILE* out, ErrorStream& errors, std::string applicationName,
                   bool drawProgress);

  void Present(const ui::Event& event) override;

  // The fields print only once the steps begin: the window's start-up values ("Disconnect" in
  // the Flash ID box) are no news.
  void ShowFields(bool show) override { showFields_ = show; }
  // A question that was answered No by default gets a line saying how to answer Yes.
  void HintAtYes(bool hint) override { hintAtYes_ = hint; }
  // The next message box was already shown (asked on the terminal): do not repeat it.
  void SkipNextBox() override { skipNextBox_ = true; }
  // A wait for the phone may last many minutes: with CountWaits, its seconds are counted on a
  // line of their own. Pipes and log files get nothing of it.
  void CountWaits(bool count) { countWaits_ = count; }
  void PhoneWaiting(const app::PhoneWait& wait) override;
  // Asks on the terminal; nothing when standard input or error is no terminal.
  std::optional<int> Ask(std::string_view text, std::string_view caption) override;
  // Ends a progress line, so that what follows starts on a fresh line.
  void EndProgressLine() override {
    std::lock_guard lock(mutex_);
    ClearProgressLine();
    FlushPendingNotes();
  }
  // A line of its own on standard error, redrawn in place like the progress bar (below a
  // half-written log line): a long wait's count. EndTransient takes it away again.
  void ShowTransient(const std::string& text);
  void EndTransient();
  // Replaces the choice made at construction (Bar when drawing progress, None otherwise).
  void SetProgressMode(ProgressMode mode) { mode_ = mode; }
  // Standard output and error are the same terminal: the bar must not overwrite a log line
  // that is only half written.
  void SetLogOnSameTerminal(bool same) { sameTerminal_ = same; }
  // Standard output and error end in one file or pipe (`>run.log 2>&1`): the fields and the
  // progress lines wait for a half-written log line to end, as on a shared terminal.
  void SetLogInSameFile(bool same) { sameFile_ = same; }

 private:
  void WriteLog(const std::string& text);
  // A field's or a progress line's note on standard error, held while the log's line is half
  // written where both share a terminal or a file.
  void Note(const std::string& note);
  // Writes the fields held back while a log line was half written.
  void FlushPendingNotes();
  void Progress(std::int64_t position);
  void DrawBar(std::int64_t position);
  // Draws `line` in place of the transient line, below a half-written log line.
  void DrawLine(const std::string& line);
  void ClearProgressLine();
  // A note said now would land in the middle of the log's current line.
  [[nodiscard]] bool MidLine() const {
    return (sameTerminal_ || sameFile_) && !partialLine_.empty();
  }

  std::FILE* out_;
  ErrorStream& errors_;
  std::FILE* err_;  // the errors' stream, for what is drawn in place
  std::string applicationName_;
  ProgressMode mode_;
  bool sameTerminal_ = false;
  bool sameFile_ = false;
  std::string
      pendingNotes_;  // fields and progress lines held back until the half-written log line ends
  std::string partialLine_;       // the log's text after its last line break
  bool barBelowPartial_ = false;  // the bar was drawn on a line of its own below it
  int plainTenths_ = 0;           // Plain: the tenths already reported for this range
  app::RateWindow rate_;
  std::int64_t upper_ = 0;
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point lastDrawn_{};
  bool lineShown_ = false;
  // The journal's observer and a waiting worker both reach the console.
  std::mutex mutex_;
  bool showFields_ = true;
  bool hintAtYes_ = false;
  bool skipNextBox_ = false;
  bool countWaits_ = false;
  std::map<int, std::string> shownFields_;  // the last value printed, by control id
};

}  // namespace veska::cli
