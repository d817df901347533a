#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/TransferRate.h"
#include "cli/bench/Report.h"
#include "station/PassRecorder.h"

namespace veska::cli {

// One port's line of the table.
struct PortView {
  std::string port;
  std::string step = "waiting";
  std::string stepWords;
  std::string image;
  std::int64_t upper = 0;
  std::int64_t position = 0;
  app::RateWindow rate{std::chrono::seconds(3), std::chrono::milliseconds(500)};
  int lastTenth = -1;
  std::string last = "-";
  int passes = 0;
  int failures = 0;
};

// One line of the table as texts, before they are fitted to the terminal.
struct TableRow {
  std::string port, step, image, percent, rate, left, passes, failures, last;
};

// The table (its header, then one line per row) in lines of at most `columns` - 1 characters, so
// that the terminal never wraps one. The text columns take their texts' widths while they fit;
// on a narrower terminal the image and the port give way first (the port keeps its end, where
// ports differ), then the step and the last result: their words abbreviated ("download" as "dl",
// "--verify" as "+vfy") and then cut, the step keeping its "(k/n)" and the result its verdict.
[[nodiscard]] std::vector<std::string> FitTable(const std::vector<TableRow>& rows, int columns);

// What the console shows of a bench run with several ports: a table redrawn in place on a
// terminal, else one line per event; message boxes, the ports' explanations and questions on
// standard error, each prefixed with its port. With one port it shows nothing: the session has
// the console to itself, as in a plain run.
//
// Thread safety: every member may be called from any port's thread.
class Board final : public station::PassView {
 public:
  Board(std::FILE* out, std::FILE* err, const std::vector<std::string>& ports, bool quiet,
        bool table);
  ~Board() { Stop(); }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  // Stops the painter and draws the table a last time.
  void Stop();

  // What the table and the event lines show of the port's steps and phones.
  void StepStarted(std::size_t port, const app::StepBegan& step) override;

  void StepEnded(std::size_t port, const app::StepEnded& step) override;

  void PassEnded(std::size_t port, const PhoneRecord& phone);

  // What the port waits for between phones.
  void Waiting(std::size_t port, std::string what = "waiting for a phone");

  // The image the port's session is writing, by its file's name.
  void ImageNamed(std::size_t port, const std::string& name) override;
  // The port's progress bar: its range set anew, then its position.
  void ProgressRange(std::size_t port, std::int64_t upper) override;
  void ProgressAt(std::size_t port, std::int64_t position) override;

  // A line the port's session wrote on its standard error.
  void Message(std::size_t port, const std::string& line) override;
  // A line of the run's own on standard error, around the table.
  void Say(const std::string& line);

  // A question of one port, asked on the terminal; nothing without one. Questions of several
  // ports come one after the other, while the other ports' transfers go on: the board's lock is
  // not held during the wait for the answer (their progress passes through it).
  std::optional<int> Ask(std::size_t port, std::string_view text, std::string_view caption);

  // A line for the port asked on the terminal with `prompt`, one question at a time as Ask's,
  // until `take` accepts an answer: it returns whether it did and, when not, what to say before
  // the question is asked again (nothing: asked again at once). Nothing at the end of the input
  // or once `cancel` is readable (ReadLine).
  using LineTaker = std::function<std::pair<bool, std::string>(const std::string& answer)>;
  std::optional<std::string> AskLine(std::string_view prompt, const LineTaker& take, int cancel,
                                     std::size_t limit);

  void SetTerminalInput(bool terminal) { terminalInput_ = terminal; }

 private:
  // One line per event on standard output, when no table is drawn.
  void Event(const PortView& view, const std::string& text);

  void Paint();

  // Takes the table off the terminal (the cursor ends where it began).
  void Clear();

  void Draw();

  // A question answered: the lines held back meanwhile go out, and the table comes back. Called
  // with mutex_ held.
  void EndQuestion();

  std::FILE* out_;
  std::FILE* err_;
  bool quiet_;
  bool table_;
  bool terminalInput_ = false;
  std::mutex askMutex_;  // one question on the terminal at a time
  std::mutex mutex_;
  bool asking_ = false;            // a prompt waits for its answer on the terminal
  std::vector<std::string> held_;  // standard error lines that came meanwhile
  std::condition_variable wake_;
  bool stopped_ = false;
  bool dirty_ = false;
  int drawnLines_ = 0;
  std::vector<PortView> views_;
  std::thread painter_;
};

}  // namespace veska::cli
