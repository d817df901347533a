#pragma once

// What a bench run learns of its sessions by reading what they show rather than from what they
// report: their standard error's lines, the main window's controls, their steps' words and their
// operations' names. Kept here, together, until the sessions report these things themselves.

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "cli/bench/Board.h"
#include "cli/bench/Report.h"
#include "ui/Journal.h"

namespace veska::cli {

// A session's standard error in a bench run with several ports: a pipe whose lines a reader
// thread hands to the board, prefixed with the port, keeping the last explanation the program
// gave ("veska-cli: ..." or a message box) as the cause of a failure.
class ErrorPipe {
 public:
  ErrorPipe(Board& board, std::size_t port);
  ~ErrorPipe();
  ErrorPipe(const ErrorPipe&) = delete;
  ErrorPipe& operator=(const ErrorPipe&) = delete;

  [[nodiscard]] std::FILE* Writer() const { return writer_; }

  // The last explanation since the previous call, once the reader has taken every line the
  // session wrote (a marker line through the pipe tells when).
  std::string TakeCause();

 private:
  void Read();

  void Note(const std::string& line);

  Board& board_;
  std::size_t port_;
  int readFd_ = -1;
  std::FILE* writer_ = nullptr;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable drained_;
  std::uint64_t markersSent_ = 0;
  std::uint64_t markersSeen_ = 0;
  std::string cause_;

  static constexpr const char* kMarker = "\x01veska-bench-marker\n";
};

// Hands the board what a session's window event shows of its progress: the image's name (the
// File Name field) and the main dialog's progress bar.
void TapWindowEvent(Board& board, std::size_t port, const ui::Event& event);

// Whether a download step, by its words ("download all-bin --verify"), read its images back.
[[nodiscard]] bool ReadsBack(std::string_view words);

// Whether `step` is a START that no phone answered: its port failed, or the boot signal never
// came.
[[nodiscard]] bool StartUnanswered(const StepRecord& step);

// Whether `step` is a START whose wait for the boot signal ended without any phone.
[[nodiscard]] bool StartTimedOut(const StepRecord& step);

}  // namespace veska::cli
