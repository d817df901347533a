#include "cli/bench/Board.h"

#include <algorithm>

#include "app/Printf.h"
#include "cli/TerminalSize.h"
#include "cli/YesNoPrompt.h"

namespace veska::cli {

Board::Board(std::FILE* out, std::FILE* err, const std::vector<std::string>& ports, bool quiet,
             bool table)
    : out_(out), err_(err), quiet_(quiet), table_(table && !quiet) {
  for (const std::string& port : ports) {
    PortView view;
    view.port = port;
    views_.push_back(std::move(view));
  }
  if (table_) painter_ = std::thread([this] { Paint(); });
}

void Board::Stop() {
  {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    stopped_ = true;
  }
  wake_.notify_all();
  if (painter_.joinable()) painter_.join();
  std::lock_guard lock(mutex_);
  if (table_) Draw();
}

void Board::StepStarted(std::size_t port, const app::StepBegan& step) {
  std::lock_guard lock(mutex_);
  PortView& view = views_[port];
  view.step = step.words + app::Printf(" (%u/%u)", static_cast<unsigned>(step.index + 1),
                                       static_cast<unsigned>(step.count));
  view.stepWords = step.words;
  view.image.clear();
  view.upper = view.position = 0;
  view.rate.Clear();
  Event(view, step.words + ": started");
}

void Board::StepEnded(std::size_t port, const app::StepEnded& step) {
  std::lock_guard lock(mutex_);
  PortView& view = views_[port];
  const std::string result = step.exitStatus == EXIT_OK
                                 ? std::string("OK")
                                 : app::Printf("FAILED (exit %d)", step.exitStatus);
  // The table's column leads with the result, so that a narrow terminal cuts the words.
  view.last = result + " " + step.words;
  Event(view, step.words + " " + result);
}

void Board::PassEnded(std::size_t port, const PhoneRecord& phone) {
  std::lock_guard lock(mutex_);
  PortView& view = views_[port];
  if (phone.exitStatus == EXIT_OK) {
    ++view.passes;
  } else {
    ++view.failures;
  }
  view.step = "done";
  view.image.clear();
  view.upper = view.position = 0;
  Event(view, app::Printf("phone %d %s in %.1f s", phone.pass,
                          phone.interrupted       ? "interrupted"
                          : phone.exitStatus == 0 ? "passed"
                                                  : "failed",
                          phone.seconds));
}

void Board::Waiting(std::size_t port, std::string what) {
  std::lock_guard lock(mutex_);
  views_[port].step = std::move(what);
}

void Board::ImageNamed(std::size_t port, const std::string& name) {
  std::lock_guard lock(mutex_);
  PortView& view = views_[port];
  if (name == view.image) return;
  view.image = name;
  Event(view, "writing " + name);
}

void Board::ProgressRange(std::size_t port, std::int64_t upper) {
  std::lock_guard lock(mutex_);
  PortView& view = views_[port];
  view.upper = upper;
  view.position = 0;
  view.rate.Clear();
  view.lastTenth = -1;
}

void Board::ProgressAt(std::size_t port, std::int64_t position) {
  std::lock_guard lock(mutex_);
  PortView& view = views_[port];
  view.position = position;
  view.rate.Add(app::RateWindow::Clock::now(), position);
  if (table_ || view.upper <= 0 || position <= 0) return;
  const int tenth = static_cast<int>(std::min<std::int64_t>(10, position * 10 / view.upper));
  if (tenth == view.lastTenth) return;
  view.lastTenth = tenth;
  // Before any image (the loaders' upload) the step names the bar.
  const std::string what = !view.image.empty() ? view.image : view.stepWords;
  Event(view, app::Printf("%s %d%%", what.c_str(), tenth * 10));
}

void Board::Message(std::size_t port, const std::string& line) {
  if (quiet_) return;
  std::lock_guard lock(mutex_);
  if (asking_) {
    // Not into the middle of a question's prompt: shown once it is answered.
    held_.push_back(views_[port].port + ": " + line);
    return;
  }
  if (table_) Clear();
  std::fprintf(err_, "%s: %s\n", views_[port].port.c_str(), line.c_str());
  std::fflush(err_);
  if (table_) Draw();
}

std::optional<int> Board::Ask(std::size_t port, std::string_view text, std::string_view caption) {
  if (!terminalInput_) return std::nullopt;
  const std::lock_guard oneQuestion(askMutex_);
  {
    std::lock_guard lock(mutex_);
    if (table_) Clear();
    asking_ = true;
    ShowQuestion(err_, views_[port].port + ": ", caption, text);
  }
  const int answer = ReadAnswer(err_);
  std::lock_guard lock(mutex_);
  asking_ = false;
  for (const std::string& held : held_) std::fprintf(err_, "%s\n", held.c_str());
  held_.clear();
  std::fflush(err_);
  if (table_) Draw();
  return answer;
}

void Board::Event(const PortView& view, const std::string& text) {
  if (quiet_ || table_) {
    dirty_ = true;
    return;
  }
  std::fprintf(out_, "%s: %s\n", view.port.c_str(), text.c_str());
  std::fflush(out_);
}

void Board::Paint() {
  std::unique_lock lock(mutex_);
  Draw();
  while (!stopped_) {
    wake_.wait_for(lock, std::chrono::milliseconds(250));
    if (!stopped_ && !asking_) Draw();
  }
}

void Board::Clear() {
  if (drawnLines_ > 0) std::fprintf(out_, "\033[%dA\r\033[J", drawnLines_);
  // Before anything goes to standard error, which may be the same terminal.
  std::fflush(out_);
  drawnLines_ = 0;
}

void Board::Draw() {
  std::string text;
  text += app::Printf("%-16s %-30s %-18s %4s %12s %6s %4s %4s  %s\n", "PORT", "STEP", "IMAGE", "%",
                      "RATE", "LEFT", "PASS", "FAIL", "LAST");
  for (const PortView& view : views_) {
    const double rate = view.rate.Rate();
    const std::string percent =
        view.upper > 0
            ? app::Printf("%lld", static_cast<long long>(view.position * 100 / view.upper))
            : std::string("-");
    const double left =
        rate > 0 && view.upper > 0 ? static_cast<double>(view.upper - view.position) / rate : -1;
    text +=
        app::Printf("%-16.16s %-30.30s %-18.18s %4s %12s %6s %4d %4d  %s\n", view.port.c_str(),
                    view.step.c_str(), view.image.c_str(), percent.c_str(),
                    app::RateText(view.upper > 0 ? rate : -1).c_str(),
                    app::DurationText(left).c_str(), view.passes, view.failures, view.last.c_str());
  }
  if (drawnLines_ > 0) std::fprintf(out_, "\033[%dA", drawnLines_);
  // A line the terminal wraps would take two rows and spoil the redraw in place.
  const auto width = static_cast<std::size_t>(std::max(20, TerminalColumns(out_) - 1));
  std::size_t from = 0;
  int lines = 0;
  while (from < text.size()) {
    const std::size_t end = text.find('\n', from);
    std::fprintf(out_, "\r%s\033[K\n", text.substr(from, std::min(end - from, width)).c_str());
    from = end + 1;
    ++lines;
  }
  std::fflush(out_);
  drawnLines_ = lines;
  dirty_ = false;
}
}  // namespace veska::cli
