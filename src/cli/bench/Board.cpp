#include "cli/bench/Board.h"

#include <algorithm>

#include "app/Printf.h"
#include "cli/TerminalSize.h"
#include "cli/YesNoPrompt.h"
#include "link/Utf8.h"

namespace veska::cli {

using namespace veska::station;

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
  Say(views_[port].port + ": " + line);
}

void Board::Say(const std::string& line) {
  std::lock_guard lock(mutex_);
  if (asking_) {
    // Not into the middle of a question's prompt: shown once it is answered.
    held_.push_back(line);
    return;
  }
  if (table_) Clear();
  std::fprintf(err_, "%s\n", line.c_str());
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
  EndQuestion();
  return answer;
}

std::optional<std::string> Board::AskLine(std::string_view prompt, const LineTaker& take,
                                          int cancel, std::size_t limit) {
  const std::lock_guard oneQuestion(askMutex_);
  for (std::string said;;) {
    {
      std::lock_guard lock(mutex_);
      if (table_) Clear();
      asking_ = true;
      if (!said.empty()) std::fprintf(err_, "%s\n", said.c_str());
      std::fprintf(err_, "%.*s", static_cast<int>(prompt.size()), prompt.data());
      std::fflush(err_);
    }
    std::optional<std::string> answer = ReadLine(err_, cancel, limit);
    std::pair<bool, std::string> taken{false, {}};
    if (answer) taken = take(*answer);
    std::lock_guard lock(mutex_);
    if (!answer || taken.first) {
      EndQuestion();
      return answer;
    }
    said = std::move(taken.second);
  }
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

void Board::EndQuestion() {
  asking_ = false;
  for (const std::string& held : held_) std::fprintf(err_, "%s\n", held.c_str());
  held_.clear();
  std::fflush(err_);
  if (table_) Draw();
}

void Board::Draw() {
  std::vector<TableRow> rows;
  for (const PortView& view : views_) {
    const double rate = view.rate.Rate();
    const std::string percent =
        view.upper > 0
            ? app::Printf("%lld", static_cast<long long>(view.position * 100 / view.upper))
            : std::string("-");
    const double left =
        rate > 0 && view.upper > 0 ? static_cast<double>(view.upper - view.position) / rate : -1;
    rows.push_back({view.port, view.step, view.image, percent,
                    app::RateText(view.upper > 0 ? rate : -1), app::DurationText(left),
                    std::to_string(view.passes), std::to_string(view.failures), view.last});
  }
  if (drawnLines_ > 0) std::fprintf(out_, "\033[%dA", drawnLines_);
  int lines = 0;
  for (const std::string& line : FitTable(rows, TerminalColumns(out_))) {
    std::fprintf(out_, "\r%s\033[K\n", line.c_str());
    ++lines;
  }
  std::fflush(out_);
  drawnLines_ = lines;
  dirty_ = false;
}

namespace {

// Texts are measured in characters (UTF-8 sequences), not bytes: file names need not be ASCII.
std::vector<std::string> Characters(const std::string& text) {
  std::vector<std::string> characters;
  for (std::size_t i = 0; i < text.size();) {
    // A byte that starts no well-formed sequence counts as a character of its own.
    const std::size_t length =
        std::max<std::size_t>(1, link::Utf8SequenceLength(std::string_view(text).substr(i)));
    characters.push_back(text.substr(i, length));
    i += length;
  }
  return characters;
}

int Width(const std::string& text) {
  return static_cast<int>(Characters(text).size());
}

std::string Joined(const std::vector<std::string>& characters, std::size_t from, std::size_t to) {
  std::string text;
  for (std::size_t i = from; i < to; ++i) text += characters[i];
  return text;
}

constexpr const char* kCut = "~";  // marks where a text was cut, one column wide on any terminal

// `text` in at most `width` characters, cut at its end, its start, or in its middle.
enum class Keep { Start, End, Both };
std::string Cut(const std::string& text, int width, Keep keep) {
  const std::vector<std::string> characters = Characters(text);
  const auto size = characters.size();
  if (static_cast<int>(size) <= width) return text;
  if (width <= 1) return Joined(characters, 0, static_cast<std::size_t>(std::max(0, width)));
  const auto room = static_cast<std::size_t>(width - 1);
  switch (keep) {
    case Keep::Start:
      return Joined(characters, 0, room) + kCut;
    case Keep::End:
      return kCut + Joined(characters, size - room, size);
    case Keep::Both:
      break;
  }
  const std::size_t head = (room + 1) / 2;
  return Joined(characters, 0, head) + kCut + Joined(characters, size - (room - head), size);
}

// A step's words in their short forms.
std::string Abbreviated(const std::string& text) {
  static constexpr std::pair<std::string_view, std::string_view> kShort[] = {
      {"download", "dl"},     {"--default-cal", "+cal"},        {"--verify", "+vfy"},
      {"--reboot", "+rb"},    {"erase-bootloader", "erase-bl"}, {"explore", "exp"},
      {"bootloader", "boot"},
  };
  std::string result;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t end = std::min(text.find(' ', from), text.size());
    std::string word = text.substr(from, end - from);
    for (const auto& [full, brief] : kShort) {
      if (word == full) word = brief;
    }
    result += (result.empty() ? "" : " ") + word;
    from = end + 1;
  }
  return result;
}

// A step in `width`: whole, else abbreviated, else cut in its words, its "(k/n)" kept.
std::string FitStep(const std::string& step, int width) {
  if (Width(step) <= width) return step;
  const std::string brief = Abbreviated(step);
  if (Width(brief) <= width) return brief;
  const std::size_t count = brief.rfind(" (");
  if (count == std::string::npos || brief.back() != ')') return Cut(brief, width, Keep::Start);
  const std::string suffix = brief.substr(count);
  return Cut(brief.substr(0, count), width - Width(suffix), Keep::Start) + suffix;
}

// The last result in `width`: its verdict ("OK", "FAILED (exit 130)") whole, then its step.
std::string FitLast(const std::string& last, int width) {
  if (Width(last) <= width) return last;
  const std::size_t close = last.find(") ");
  const std::size_t split = last.starts_with("FAILED") && close != std::string::npos
                                ? close + 1
                                : std::min(last.find(' '), last.size());
  const std::string verdict = last.substr(0, split);
  if (Width(verdict) >= width) return Cut(verdict, width, Keep::Start);
  return verdict + " " +
         Cut(Abbreviated(last.substr(std::min(split + 1, last.size()))), width - Width(verdict) - 1,
             Keep::Start);
}

std::string Padded(const std::string& text, int width) {
  return text + std::string(static_cast<std::size_t>(std::max(0, width - Width(text))), ' ');
}

}  // namespace

std::vector<std::string> FitTable(const std::vector<TableRow>& rows, int columns) {
  const TableRow header{"PORT", "STEP", "IMAGE", "%", "RATE", "LEFT", "PASS", "FAIL", "LAST"};
  int port = Width(header.port);
  int step = Width(header.step);
  int image = Width(header.image);
  int last = Width(header.last);
  for (const TableRow& row : rows) {
    port = std::max(port, Width(row.port));
    step = std::max(step, Width(row.step));
    image = std::max(image, Width(row.image));
    last = std::max(last, Width(row.last));
  }
  // The figures keep their widths: "%" 4, the rate 12, the time left 6, the counts 4 each, and
  // the spaces between the columns.
  constexpr int kFixed = 1 + 4 + 1 + 12 + 1 + 6 + 1 + 4 + 1 + 4 + 2 + 2;
  const int room = std::max(20, columns - 1) - kFixed;
  const int stepNatural = step;
  const int lastNatural = last;
  int excess = port + step + image + last - room;
  const auto shrink = [&excess](int& width, int floor) {
    const int cut = std::clamp(width - floor, 0, std::max(0, excess));
    width -= cut;
    excess -= cut;
  };
  // A long device path gives way first, then the image's name, before the step and the result.
  shrink(port, 20);
  shrink(image, 18);
  shrink(last, 30);
  shrink(port, 14);
  shrink(image, 14);
  shrink(step, 24);
  shrink(last, 24);
  shrink(port, 10);
  shrink(image, 10);
  shrink(last, 20);
  // An 80-column terminal: the image's name, which the log has, gives its column away.
  const bool showImage = excess <= 0;
  if (!showImage) excess -= image + 1;
  shrink(step, 16);
  shrink(port, 8);
  shrink(last, 17);  // "FAILED (exit 130)"
  shrink(step, 10);
  // Room the image's column left goes back to the result, then to the step.
  for (auto [column, natural] : {std::pair{&last, lastNatural}, std::pair{&step, stepNatural}}) {
    const int back = std::clamp(natural - *column, 0, std::max(0, -excess));
    *column += back;
    excess += back;
  }
  const auto width = static_cast<std::size_t>(std::max(20, columns - 1));
  const auto line = [&](const TableRow& row, bool fit) {
    std::string text =
        Padded(fit ? Cut(row.port, port, Keep::End) : row.port, port) + " " +
        Padded(fit ? FitStep(row.step, step) : row.step, step) +
        (showImage ? " " + Padded(fit ? Cut(row.image, image, Keep::Both) : row.image, image)
                   : std::string()) +
        app::Printf(" %4s %12s %6s %4s %4s  ", row.percent.c_str(), row.rate.c_str(),
                    row.left.c_str(), row.passes.c_str(), row.failures.c_str()) +
        (fit ? FitLast(row.last, last) : row.last);
    // Still too wide (a terminal narrower than the figures): cut, never wrapped.
    const std::vector<std::string> characters = Characters(text);
    return characters.size() <= width ? text : Joined(characters, 0, width);
  };
  std::vector<std::string> lines{line(header, false)};
  for (const TableRow& row : rows) lines.push_back(line(row, true));
  return lines;
}
}  // namespace veska::cli
