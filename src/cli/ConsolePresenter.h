#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "ui/Journal.h"

namespace veska::cli {

// Shows a headless session on a terminal: the texts of the log pane and of the TFS Explorer's
// narrative pane on standard output exactly as the window shows them, message boxes on
// standard error as "[CAPTION] TEXT", the Flash ID box and the information fields as
// "Flash ID: TEXT" and so on whenever they take a non-blank value, and, only when standard
// error is a terminal, a progress line with bytes, rate and time left. A control is known by
// its dialog and its id together: the sub-dialogs reuse ids of the main dialog.
//
// Thread safety: Present() is called by the journal's observer, one event at a time.
class ConsolePresenter {
 public:
  ConsolePresenter(std::FILE* out, std::FILE* err, std::string applicationName, bool drawProgress);

  void Present(const ui::Event& event);

  // The fields print only once the steps begin: the window's start-up values ("Disconnect" in
  // the Flash ID box) are no news.
  void ShowFields(bool show) { showFields_ = show; }
  // A question that was answered No by default gets a line saying how to answer Yes.
  void HintAtYes(bool hint) { hintAtYes_ = hint; }
  // The next message box was already shown (asked on the terminal): do not repeat it.
  void SkipNextBox() { skipNextBox_ = true; }
  // Ends a progress line, so that what follows starts on a fresh line.
  void EndProgressLine() { ClearProgressLine(); }

 private:
  void WriteLog(const std::string& text);
  void Progress(std::int64_t position);
  void ClearProgressLine();

  std::FILE* out_;
  std::FILE* err_;
  std::string applicationName_;
  bool drawProgress_;
  std::int64_t upper_ = 0;
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point lastDrawn_{};
  bool lineShown_ = false;
  bool showFields_ = true;
  bool hintAtYes_ = false;
  bool skipNextBox_ = false;
  std::map<int, std::string> shownFields_;  // the last value printed, by control id
};

}  // namespace veska::cli
