#include "cli/Bench.h"

#include <fcntl.h>
#include <sys/stat.h>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "app/ControlIds.h"
#include "app/FileReplace.h"
#include "app/FlashMap.h"
#include "app/Printf.h"
#include "app/Settings.h"
#include "app/Templates.h"
#include "cli/Interrupt.h"
#include "cli/TerminalSize.h"
#include "cli/TransferRate.h"
#include "cli/YesNoPrompt.h"
#include "fs/Listing.h"
#include "link/Crc32.h"
#include "link/PortNames.h"
#include "link/SerialPort.h"
#include "target/Connection.h"
#include "ui/Host.h"
#include "ui/PathSeparators.h"

namespace veska::cli {

namespace {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------- JSON

// A JSON string: control characters escaped, and any byte that does not start or continue a
// valid UTF-8 sequence written as the Latin-1 character of that value, so that the report stays
// valid JSON whatever a path or a message holds.
std::string Json(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c == '\n') {
      out += "\\n";
      ++i;
    } else if (c == '\r') {
      out += "\\r";
      ++i;
    } else if (c == '\t') {
      out += "\\t";
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      out += app::Printf("\\u%04x", unsigned{c});
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      std::size_t length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
      if (c >= 0xF5) length = 0;
      bool valid = length > 0 && i + length <= text.size();
      for (std::size_t k = 1; valid && k < length; ++k) {
        valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
      }
      if (valid) {
        out.append(text.substr(i, length));
        i += length;
      } else {
        out += app::Printf("\\u%04x", unsigned{c});
        ++i;
      }
    }
  }
  return out + "\"";
}

std::string Hex32(std::uint32_t value) {
  return Json(app::Printf("0x%08X", value));
}

std::string Seconds(double seconds) {
  return app::Printf("%.1f", seconds);
}

std::string StepJson(const StepRecord& step) {
  return "{\"step\": " + Json(step.words) + ", \"operation\": " + Json(step.operation) +
         ", \"outcome\": " + Json(step.outcome) + ", \"status\": " + std::to_string(step.status) +
         ", \"reason\": " + Json(step.reason) +
         ", \"exit_status\": " + std::to_string(step.exitStatus) +
         ", \"seconds\": " + Seconds(step.seconds) + "}";
}

std::string ImageJson(const ImageRecord& image) {
  return "{\"image\": " + Json(image.image) + ", \"path\": " + Json(image.path) +
         ", \"size\": " + std::to_string(image.size) +
         ", \"crc32\": " + (image.crc32 ? Hex32(*image.crc32) : "null") +
         ", \"address\": " + (image.address ? Hex32(*image.address) : "null") +
         ", \"seconds\": " + Seconds(image.seconds) +
         ", \"written\": " + (image.written ? "true" : "false") +
         ", \"verified\": " + (image.verified ? "true" : "false") + "}";
}

std::string PhoneJson(const PhoneRecord& phone) {
  std::string json = "    {\n";
  json += "      \"port\": " + Json(phone.port) + ",\n";
  json += "      \"pass\": " + std::to_string(phone.pass) + ",\n";
  json += "      \"started\": " + Json(phone.started) + ",\n";
  json += "      \"seconds\": " + Seconds(phone.seconds) + ",\n";
  json += "      \"exit_status\": " + std::to_string(phone.exitStatus) + ",\n";
  json += std::string("      \"result\": ") +
          (phone.interrupted       ? "\"interrupted\""
           : phone.exitStatus == 0 ? "\"passed\""
                                   : "\"failed\"") +
          ",\n";
  if (phone.flashId.empty() && !phone.badBlocksKnown) {
    json += "      \"flash\": null,\n";
  } else {
    json += "      \"flash\": {\"id\": " + Json(phone.flashId) + ", \"bad_blocks\": ";
    if (!phone.badBlocksKnown) {
      json += "null";
    } else {
      json += "[";
      for (std::size_t i = 0; i < phone.badBlocks.size(); ++i) {
        json += (i == 0 ? "" : ", ") + std::string("{\"primary\": ") +
                std::to_string(phone.badBlocks[i].first) +
                ", \"spare\": " + std::to_string(phone.badBlocks[i].second) + "}";
      }
      json += "]";
    }
    json += "},\n";
  }
  json += "      \"steps\": [";
  for (std::size_t i = 0; i < phone.steps.size(); ++i) {
    json += (i == 0 ? "\n        " : ",\n        ") + StepJson(phone.steps[i]);
  }
  json += phone.steps.empty() ? "],\n" : "\n      ],\n";
  json += "      \"images\": [";
  for (std::size_t i = 0; i < phone.images.size(); ++i) {
    json += (i == 0 ? "\n        " : ",\n        ") + ImageJson(phone.images[i]);
  }
  json += phone.images.empty() ? "],\n" : "\n      ],\n";
  if (phone.error) {
    std::string error = StepJson(*phone.error);
    error.pop_back();  // the closing brace: the cause joins the step's fields
    json += "      \"error\": " + error + ", \"cause\": " + Json(phone.cause) + "}\n";
  } else {
    json += "      \"error\": null\n";
  }
  return json + "    }";
}

// Now, in UTC or local time, in strftime's `format`.
std::string Stamp(bool utc, const char* format) {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  if (utc) {
#if defined(_WIN32)
    gmtime_s(&parts, &now);
#else
    gmtime_r(&now, &parts);
#endif
  } else {
    ui::ToLocalTime(now, parts);
  }
  char text[32];
  std::strftime(text, sizeof text, format, &parts);
  return text;
}

std::string UtcNow() {
  return Stamp(true, "%Y-%m-%dT%H:%M:%SZ");
}

std::string LocalStamp() {
  return Stamp(false, "%Y%m%d-%H%M%S");
}

// ---------------------------------------------------------------- the console

// One port's line of the table.
struct PortView {
  std::string port;
  std::string step = "waiting";
  std::string stepWords;
  std::string image;
  std::int64_t upper = 0;
  std::int64_t position = 0;
  RateWindow rate{std::chrono::seconds(3), std::chrono::milliseconds(500)};
  int lastTenth = -1;
  std::string last = "-";
  int passes = 0;
  int failures = 0;
};

// What the console shows of a bench run with several ports: a table redrawn in place on a
// terminal, else one line per event; message boxes, the ports' explanations and questions on
// standard error, each prefixed with its port. With one port it shows nothing: the session has
// the console to itself, as in a plain run.
//
// Thread safety: every member may be called from any port's thread.
class Board {
 public:
  Board(std::FILE* out, std::FILE* err, const std::vector<std::string>& ports, bool quiet,
        bool table)
      : out_(out), err_(err), quiet_(quiet), table_(table && !quiet) {
    for (const std::string& port : ports) {
      PortView view;
      view.port = port;
      views_.push_back(std::move(view));
    }
    if (table_) painter_ = std::thread([this] { Paint(); });
  }
  ~Board() { Stop(); }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  void Stop() {
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

  void StepStarted(std::size_t port, const CliSession::StepEvent& step) {
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

  void StepEnded(std::size_t port, const CliSession::StepEvent& step) {
    std::lock_guard lock(mutex_);
    PortView& view = views_[port];
    const std::string result = step.exitStatus == EXIT_OK
                                   ? std::string("OK")
                                   : app::Printf("FAILED (exit %d)", step.exitStatus);
    // The table's column leads with the result, so that a narrow terminal cuts the words.
    view.last = result + " " + step.words;
    Event(view, step.words + " " + result);
  }

  void PassEnded(std::size_t port, const PhoneRecord& phone) {
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

  void Waiting(std::size_t port, std::string what = "waiting for a phone") {
    std::lock_guard lock(mutex_);
    views_[port].step = std::move(what);
  }

  // The session's window events that the table shows: the image's name and the progress bar.
  void WindowEvent(std::size_t port, const ui::Event& event) {
    if (event.dialog != app::kMainDialogTemplate.resourceId) return;
    std::lock_guard lock(mutex_);
    PortView& view = views_[port];
    if (event.kind == ui::EventKind::SetText && event.id == app::IDC_FILE_NAME) {
      const std::string name = std::filesystem::path(event.text).filename().string();
      if (!name.empty() && name != " " && name != view.image) {
        view.image = name;
        Event(view, "writing " + name);
      }
    } else if (event.kind == ui::EventKind::SetRange && event.id == app::IDC_PROGRESS) {
      view.upper = event.b;
      view.position = 0;
      view.rate.Clear();
      view.lastTenth = -1;
    } else if (event.kind == ui::EventKind::SetPos && event.id == app::IDC_PROGRESS) {
      view.position = event.a;
      view.rate.Add(Clock::now(), event.a);
      if (!table_ && view.upper > 0 && event.a > 0) {
        const int tenth = static_cast<int>(std::min<std::int64_t>(10, event.a * 10 / view.upper));
        if (tenth != view.lastTenth) {
          view.lastTenth = tenth;
          // Before any image (the loaders' upload) the step names the bar.
          const std::string what = !view.image.empty() ? view.image : view.stepWords;
          Event(view, app::Printf("%s %d%%", what.c_str(), tenth * 10));
        }
      }
    }
  }

  // A line the port's session wrote on its standard error.
  void Message(std::size_t port, const std::string& line) {
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

  // A question of one port, asked on the terminal; nothing without one. Questions of several
  // ports come one after the other, while the other ports' transfers go on: the board's lock is
  // not held during the wait for the answer (their progress passes through it).
  std::optional<int> Ask(std::size_t port, std::string_view text, std::string_view caption) {
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

  void SetTerminalInput(bool terminal) { terminalInput_ = terminal; }

 private:
  // One line per event on standard output, when no table is drawn.
  void Event(const PortView& view, const std::string& text) {
    if (quiet_ || table_) {
      dirty_ = true;
      return;
    }
    std::fprintf(out_, "%s: %s\n", view.port.c_str(), text.c_str());
    std::fflush(out_);
  }

  void Paint() {
    std::unique_lock lock(mutex_);
    Draw();
    while (!stopped_) {
      wake_.wait_for(lock, std::chrono::milliseconds(250));
      if (!stopped_ && !asking_) Draw();
    }
  }

  // Takes the table off the terminal (the cursor ends where it began).
  void Clear() {
    if (drawnLines_ > 0) std::fprintf(out_, "\033[%dA\r\033[J", drawnLines_);
    // Before anything goes to standard error, which may be the same terminal.
    std::fflush(out_);
    drawnLines_ = 0;
  }

  void Draw() {
    std::string text;
    text += app::Printf("%-16s %-30s %-18s %4s %12s %6s %4s %4s  %s\n", "PORT", "STEP", "IMAGE",
                        "%", "RATE", "LEFT", "PASS", "FAIL", "LAST");
    for (const PortView& view : views_) {
      const double rate = view.rate.Rate();
      const std::string percent =
          view.upper > 0
              ? app::Printf("%lld", static_cast<long long>(view.position * 100 / view.upper))
              : std::string("-");
      const double left =
          rate > 0 && view.upper > 0 ? static_cast<double>(view.upper - view.position) / rate : -1;
      text += app::Printf("%-16.16s %-30.30s %-18.18s %4s %12s %6s %4d %4d  %s\n",
                          view.port.c_str(), view.step.c_str(), view.image.c_str(), percent.c_str(),
                          RateText(view.upper > 0 ? rate : -1).c_str(), DurationText(left).c_str(),
                          view.passes, view.failures, view.last.c_str());
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

// ---------------------------------------------------------------- a port's standard error

// A session's standard error in a bench run with several ports: a pipe whose lines a reader
// thread hands to the board, prefixed with the port, keeping the last explanation the program
// gave ("veska-cli: ..." or a message box) as the cause of a failure.
class ErrorPipe {
 public:
  ErrorPipe(Board& board, std::size_t port) : board_(board), port_(port) {
    int fds[2] = {-1, -1};
#if defined(_WIN32)
    if (_pipe(fds, 65536, _O_BINARY) != 0) return;
#else
    if (::pipe(fds) != 0) return;
#endif
    readFd_ = fds[0];
    writer_ = ::fdopen(fds[1], "w");
    if (writer_ == nullptr) {
      ::close(fds[1]);
      return;
    }
    reader_ = std::thread([this] { Read(); });
  }
  ~ErrorPipe() {
    if (writer_ != nullptr) std::fclose(writer_);
    if (reader_.joinable()) reader_.join();
    if (readFd_ >= 0) ::close(readFd_);
  }
  ErrorPipe(const ErrorPipe&) = delete;
  ErrorPipe& operator=(const ErrorPipe&) = delete;

  [[nodiscard]] std::FILE* Writer() const {
    return writer_;
  }

  // The last explanation since the previous call, once the reader has taken every line the
  // session wrote (a marker line through the pipe tells when).
  std::string TakeCause() {
    if (writer_ == nullptr) return {};
    std::unique_lock lock(mutex_);
    const std::uint64_t wanted = ++markersSent_;
    lock.unlock();
    std::fputs(kMarker, writer_);
    std::fflush(writer_);
    lock.lock();
    drained_.wait_for(lock, std::chrono::seconds(2),
                      [this, wanted] { return markersSeen_ >= wanted; });
    return std::exchange(cause_, std::string());
  }

 private:
  void Read() {
    char buffer[4096];
    std::string partial;
    for (;;) {
      const auto got = ::read(readFd_, buffer, sizeof buffer);
      if (got <= 0) break;
      partial.append(buffer, static_cast<std::size_t>(got));
      std::size_t end;
      while ((end = partial.find('\n')) != std::string::npos) {
        std::string line = partial.substr(0, end);
        partial.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line + "\n" == kMarker) {
          std::lock_guard lock(mutex_);
          ++markersSeen_;
          drained_.notify_all();
          continue;
        }
        if (line.empty()) continue;
        Note(line);
        board_.Message(port_, line);
      }
    }
    if (!partial.empty()) {
      Note(partial);
      board_.Message(port_, partial);
    }
  }

  void Note(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (line.starts_with("veska-cli: ") || line.starts_with("[")) {
      cause_ += (cause_.empty() ? "" : "\n") + line;
    }
  }

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

// ---------------------------------------------------------------- the files of a run

// A port's log file, new or emptied. Only a regular file or a new one: a FIFO would hold the
// run until someone read it, a device would take the log.
link::UniqueFile CreateLogFile(const std::filesystem::path& path, std::string& problem) {
  static constexpr const char* kNotRegular = "it is not a regular file";
  if (app::KindOfTarget(path) == app::TargetKind::Other) {
    problem = kNotRegular;
    return nullptr;
  }
  // Opened without waiting, so that a FIFO put there since the look cannot hold the run either.
  fs::FileStatus status = fs::FileStatus::Ok;
  int error = 0;
  link::UniqueFile file = fs::CreateRegularFile(path.string(), status, error);
  if (!file) problem = status == fs::FileStatus::NotRegular ? kNotRegular : std::strerror(error);
  return file;
}

// The report's file. It is written whole through a temporary file and a rename when the run
// starts and when it ends; in between, each phone's record goes in place before the closing
// brackets. So the file is whole JSON after every phone, and a phone costs the disk its own
// record rather than the whole report again (a long --repeat run would otherwise write the
// square of its records).
//
// Thread safety: none; the run calls it under its records' lock.
class ReportFile {
 public:
  explicit ReportFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~ReportFile() { CloseRecords(); }
  ReportFile(const ReportFile&) = delete;
  ReportFile& operator=(const ReportFile&) = delete;

  // What makes the path unfit for the report, "" when nothing does: only a regular file or a
  // new one is written (a link is followed, and stays a link).
  [[nodiscard]] std::string Refusal() {
    target_ = app::ReplacementTarget(path_);
    if (target_.empty()) return "is a link to nothing";
    if (app::KindOfTarget(target_) == app::TargetKind::Other) return "is not a regular file";
    return "";
  }

  // The whole report (ReportJson) anew.
  bool Replace(const std::string& json) {
    CloseRecords();
    if (target_.empty() || app::KindOfTarget(target_) == app::TargetKind::Other) return false;
    if (!app::ReplaceFileWith(target_, json, ".part")) return false;
    const std::size_t stamp = json.find(kStampKey);
    if (stamp == std::string::npos || !json.ends_with(kNoPhonesTail)) return true;
    stampAt_ = stamp + kStampKey.size();
    size_ = json.size();
    hasPhones_ = !json.ends_with(std::string("[") + std::string(kNoPhonesTail));
#if !defined(_WIN32)
    fd_ = ::open(target_.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat info {};
    if (fd_ >= 0 && (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) ||
                     static_cast<std::uint64_t>(info.st_size) != size_)) {
      CloseRecords();
    }
#endif
    return true;
  }

  // Adds a phone's record (PhoneJson) and refreshes the time the file was written. False when
  // it could not: the caller then writes the report whole.
  bool Append(const std::string& phone) {
    if (fd_ < 0) return false;
    const std::size_t cut = hasPhones_ ? kPhonesTail.size() : kNoPhonesTail.size();
    const std::string piece = (hasPhones_ ? ",\n" : "\n") + phone + std::string(kPhonesTail);
    if (!WriteAt(size_ - cut, piece)) {
      CloseRecords();
      return false;
    }
    size_ = size_ - cut + piece.size();
    hasPhones_ = true;
    const std::string stamp = UtcNow();
    if (stamp.size() == kStampSize) (void)WriteAt(stampAt_, stamp);
    return true;
  }

 private:
  bool WriteAt(std::uint64_t offset, std::string_view bytes) {
#if defined(_WIN32)
    (void)offset;
    (void)bytes;
    return false;
#else
    while (!bytes.empty()) {
      const ssize_t put = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(put));
      offset += static_cast<std::uint64_t>(put);
    }
    return true;
#endif
  }

  void CloseRecords() {
#if !defined(_WIN32)
    if (fd_ >= 0) ::close(fd_);
#endif
    fd_ = -1;
  }

  // The ends of ReportJson's text, with and without phones, and where its time stamp stands.
  static constexpr std::string_view kNoPhonesTail = "]\n}\n";
  static constexpr std::string_view kPhonesTail = "\n  ]\n}\n";
  static constexpr std::string_view kStampKey = "\"written\": \"";
  static constexpr std::size_t kStampSize = 20;  // 2026-12-07T18:34:08Z

  std::filesystem::path path_;
  std::filesystem::path target_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::size_t stampAt_ = 0;
  bool hasPhones_ = false;
};

// The device a port name stands for, as the port layer maps it: COMn (any case) through the
// settings' [Ports] entries and the built-in table, a path as it is.
std::string PortDevice(const std::string& port, const link::LinkState& state) {
  const int number = link::ParseComName(port);
  return link::DevicePathFor(number > 0 ? link::ComName(number) : port, state);
}

// One key per device whatever the name that reaches it: links are followed, a device node is
// known by its device number and any other file by its inode.
std::string DeviceIdentity(const std::string& device) {
#if !defined(_WIN32)
  struct stat info {};
  if (::stat(device.c_str(), &info) == 0) {
    if (S_ISCHR(info.st_mode)) return "device " + std::to_string(info.st_rdev);
    return "file " + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
#endif
  std::error_code error;
  const std::filesystem::path path = std::filesystem::weakly_canonical(device, error);
  return "path " + (error ? device : path.string());
}

bool DevicePresent(const std::string& device) {
#if defined(_WIN32)
  (void)device;
  return true;  // a COM port is found only by opening it
#else
  std::error_code error;
  return std::filesystem::exists(device, error);
#endif
}

// ---------------------------------------------------------------- the run

// How often a port whose device is gone looks for it, and how long it rests after a try whose
// port would not open although its device is there (in use, no permission).
constexpr std::chrono::milliseconds kDeviceCheckInterval{250};
constexpr std::chrono::milliseconds kPortRetryPause{2000};

// How one pass of a port ended.
enum class PassEnd {
  Phone,            // a phone was served (or failed): it gets a record
  NoPhone,          // --repeat: the boot-signal wait ended without a phone
  PortUnavailable,  // --repeat: the port did not open or its device went before a phone answered
};

class BenchRun {
 public:
  BenchRun(const CliArguments& arguments, InterruptWatch& interrupts, std::FILE* out,
           std::FILE* err, const BenchOptions& options)
      : arguments_(arguments),
        interrupts_(interrupts),
        out_(out),
        err_(err),
        options_(options),
        single_(arguments.ports.size() == 1),
        board_(out, err, arguments.ports, single_,
               options.table.value_or(::isatty(::fileno(out)) == 1)),
        tags_(PortFileTags(arguments.ports)) {
    board_.SetTerminalInput(CanAskOnTerminal(err));
    crcTable_.BuildCrc32Table();
  }

  int Run() {
    // Everything that can refuse the run does so before any port opens.
    if (!FindDevices()) return EXIT_USAGE;
    if (!arguments_.report.empty()) {
      report_ = std::make_unique<ReportFile>(arguments_.report);
      if (const std::string refusal = report_->Refusal(); !refusal.empty()) {
        std::fprintf(err_,
                     "veska-cli: the report %s %s; a report is written only to a regular file "
                     "or a new one\n",
                     arguments_.report.c_str(), refusal.c_str());
        return EXIT_INPUT_REFUSED;
      }
    }
    if (!single_ && !OpenLogFiles()) return EXIT_INPUT_REFUSED;
    if (report_ && !report_->Replace(ReportJson(arguments_.ports, arguments_.steps, {}, -1))) {
      std::fprintf(err_, "veska-cli: the report %s could not be written\n",
                   arguments_.report.c_str());
      return EXIT_INPUT_REFUSED;
    }
    PlanPortFiles();

    interrupts_.SetHandler([this] {
      {
        std::lock_guard lock(sessionsMutex_);
        for (CliSession* session : live_) {
          if (session != nullptr) session->Cancel();
        }
      }
      std::lock_guard lock(waitMutex_);
      waitWake_.notify_all();
    });
    live_.assign(arguments_.ports.size(), nullptr);
    statuses_.assign(arguments_.ports.size(), EXIT_OK);
    incomplete_.assign(arguments_.ports.size(), std::string());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < arguments_.ports.size(); ++i) {
      threads.emplace_back([this, i] { ServePort(i); });
    }
    for (std::thread& thread : threads) thread.join();
    interrupts_.SetHandler({});
    board_.Stop();

    int status = WorstExitStatus(statuses_);
    if (interrupts_.Interrupted()) {
      for (std::size_t i = 0; i < incomplete_.size(); ++i) {
        if (!incomplete_[i].empty()) {
          std::fprintf(err_, "veska-cli: %s: the phone was left incomplete (%s)\n",
                       arguments_.ports[i].c_str(), incomplete_[i].c_str());
        }
      }
      // With one port the session has said so itself.
      if (!single_) std::fprintf(err_, "veska-cli: interrupted\n");
      status = EXIT_INTERRUPTED;
    }
    if (report_ && !WriteReport(status)) {
      std::fprintf(err_, "veska-cli: the report %s could not be written\n",
                   arguments_.report.c_str());
      if (status == EXIT_OK) status = EXIT_INPUT_REFUSED;
    }
    if (!single_) {
      std::fprintf(err_, "veska-cli: logs in %s\n", logFolder_.string().c_str());
    }
    return status;
  }

 private:
  // The device of each port. Two names of one device (COM5 and com5, a link and its target, a
  // COMn and the path the settings give it) would be two sessions fighting over one phone.
  bool FindDevices() {
    link::LinkState state;
    state.portPaths =
        app::Settings(SettingsFileOf(arguments_), app::SettingsAccess::ReadOnly).PortOverrides();
    std::map<std::string, std::size_t> seen;
    for (std::size_t i = 0; i < arguments_.ports.size(); ++i) {
      devices_.push_back(PortDevice(arguments_.ports[i], state));
      if (const auto [it, added] = seen.emplace(DeviceIdentity(devices_.back()), i); !added) {
        std::fprintf(err_, "veska-cli: %s and %s are the same port\n",
                     arguments_.ports[it->second].c_str(), arguments_.ports[i].c_str());
        return false;
      }
    }
    return true;
  }

  bool OpenLogFiles() {
    logFolder_ = arguments_.logDir.empty() ? std::filesystem::path("veska-bench-" + LocalStamp())
                                           : std::filesystem::path(arguments_.logDir);
    std::error_code error;
    std::filesystem::create_directories(logFolder_, error);
    if (error) {
      std::fprintf(err_, "veska-cli: cannot create the log folder %s: %s\n",
                   logFolder_.string().c_str(), error.message().c_str());
      return false;
    }
    for (const std::string& tag : tags_) {
      const std::filesystem::path path = logFolder_ / (tag + ".log");
      std::string problem;
      logs_.push_back(CreateLogFile(path, problem));
      if (!logs_.back()) {
        std::fprintf(err_, "veska-cli: cannot write the log file %s: %s\n", path.string().c_str(),
                     problem.c_str());
        return false;
      }
    }
    return true;
  }

  // With several ports, each writes its own copy of every file the steps write, named after the
  // port; standard error says which.
  void PlanPortFiles() {
    for (std::size_t i = 0; i < arguments_.ports.size(); ++i) {
      portSteps_.push_back(single_ ? arguments_.steps : StepsForPort(arguments_.steps, tags_[i]));
    }
    if (single_) return;
    for (std::size_t word = 0; word < arguments_.steps.size(); ++word) {
      if (portSteps_[0][word] == arguments_.steps[word]) continue;
      std::string names;
      for (const std::vector<std::string>& steps : portSteps_) {
        names += (names.empty() ? "" : ", ") + steps[word];
      }
      std::fprintf(err_, "veska-cli: each port writes its own %s: %s\n",
                   arguments_.steps[word].c_str(), names.c_str());
    }
  }

  // A line of the run's own about one port on standard error.
  void Say(std::size_t index, const std::string& line) {
    if (single_) {
      std::fprintf(err_, "%s\n", line.c_str());
      std::fflush(err_);
    } else {
      board_.Message(index, line);
    }
  }

  // Waits up to `pause`, or less when Ctrl-C comes; false after Ctrl-C.
  bool Rest(std::chrono::milliseconds pause) {
    std::unique_lock lock(waitMutex_);
    return !waitWake_.wait_for(lock, pause, [this] { return interrupts_.Interrupted(); });
  }

  // --repeat: while the port's device is not there no phone can answer on it; the port looks for
  // it a few times a second. False when Ctrl-C ended the wait.
  bool AwaitDevice(std::size_t index) {
    if (DevicePresent(devices_[index])) return true;
    Say(index, "veska-cli: " + devices_[index] + " is not there; waiting for it to appear");
    board_.Waiting(index, "waiting for the port");
    while (Rest(kDeviceCheckInterval)) {
      if (DevicePresent(devices_[index])) {
        board_.Waiting(index);
        return true;
      }
    }
    // With several ports the run says so at its end; with one, its session would have.
    if (single_) std::fprintf(err_, "veska-cli: interrupted\n");
    return false;
  }

  void ServePort(std::size_t index) {
    std::FILE* log = single_ ? out_ : logs_[index].get();
    std::unique_ptr<ErrorPipe> pipe;
    if (!single_) pipe = std::make_unique<ErrorPipe>(board_, index);
    std::FILE* errors = pipe && pipe->Writer() != nullptr ? pipe->Writer() : err_;

    int worst = EXIT_OK;
    for (int pass = 1; !interrupts_.Interrupted(); ++pass) {
      if (arguments_.repeat && !AwaitDevice(index)) break;
      PhoneRecord phone;
      const PassEnd end = ServePhone(index, pass, log, errors, pipe.get(), phone);
      if (end != PassEnd::Phone) {
        // --repeat: no phone answered; wait again (for the device, if it went).
        --pass;
        if (end == PassEnd::PortUnavailable && DevicePresent(devices_[index]) &&
            !Rest(kPortRetryPause)) {
          break;
        }
        continue;
      }
      worst = WorstExitStatus({worst, phone.exitStatus});
      board_.PassEnded(index, phone);
      Record(std::move(phone));
      if (!arguments_.repeat || interrupts_.Interrupted()) break;
      board_.Waiting(index);
      if (options_.afterPass) options_.afterPass(arguments_.ports[index], pass);
    }
    statuses_[index] = worst;
  }

  // One phone on the port.
  PassEnd ServePhone(std::size_t index, int pass, std::FILE* log, std::FILE* errors,
                     ErrorPipe* pipe, PhoneRecord& phone) {
    const std::string& port = arguments_.ports[index];
    CliArguments arguments = arguments_;
    arguments.port = port;
    arguments.ports = {port};
    arguments.steps = portSteps_[index];
    if (!single_ && arguments.progress.empty()) arguments.progress = "none";
    phone.port = port;
    phone.pass = pass;
    phone.started = UtcNow();
    const Clock::time_point started = Clock::now();

    CliSession session(std::move(arguments), log, errors);
    // Several ports: the table shows what the field lines would repeat for every image.
    if (!single_) session.ShowFieldLines(false);
    if (options_.prepare) options_.prepare(session, port);
    session.ObserveInterrupts(interrupts_);
    std::mutex imagesMutex;
    std::vector<app::WrittenImage> written;
    session.Dialog().SetImageObserver([&imagesMutex, &written](const app::WrittenImage& image) {
      std::lock_guard lock(imagesMutex);
      written.push_back(image);
    });
    Clock::time_point stepStarted = started;
    std::optional<CliSession::StepEvent> running;
    bool connected = false;
    session.SetStepObserver([&, index](const CliSession::StepEvent& step) {
      if (!step.ended) {
        stepStarted = Clock::now();
        running = step;
        board_.StepStarted(index, step);
        return;
      }
      const std::size_t firstImage = phone.images.size();
      running.reset();
      StepRecord record;
      record.words = step.words;
      record.exitStatus = step.exitStatus;
      record.seconds = std::chrono::duration<double>(Clock::now() - stepStarted).count();
      if (step.result) {
        record.operation = std::string(app::OperationName(step.result->operation));
        record.outcome = std::string(app::OutcomeName(step.result->outcome));
        record.status = step.result->status;
        record.reason = step.result->reason;
        if (step.result->operation == app::OperationId::Start && step.result->Succeeded()) {
          connected = true;
        }
      } else {
        record.outcome = step.exitStatus == EXIT_OK ? "done" : "failed";
      }
      CollectImages(phone, written, imagesMutex);
      // A download with --verify that passed read its images back (those with an address: the
      // file systems never are).
      if (step.exitStatus == EXIT_OK && step.words.starts_with("download ") &&
          step.words.find("--verify") != std::string::npos) {
        for (std::size_t i = firstImage; i < phone.images.size(); ++i) {
          ImageRecord& image = phone.images[i];
          image.verified = image.written && image.address.has_value();
        }
      }
      phone.steps.push_back(record);
      board_.StepEnded(index, step);
    });
    session.SetEventTap(
        [this, index](const ui::Event& event) { board_.WindowEvent(index, event); });
    if (!single_) {
      session.SetQuestionAsker([this, index](std::string_view text, std::string_view caption) {
        return board_.Ask(index, text, caption);
      });
    }

    {
      std::lock_guard lock(sessionsMutex_);
      live_[index] = &session;
    }
    const int status = interrupts_.Interrupted() ? EXIT_INTERRUPTED : session.Run();
    {
      std::lock_guard lock(sessionsMutex_);
      live_[index] = nullptr;
    }
    CollectImages(phone, written, imagesMutex);

    phone.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    phone.exitStatus = status;
    if (connected) {
      phone.flashId = session.FlashIdText();
      phone.badBlocksKnown = session.Dialog().flashReport.badBlocksKnown;
      phone.badBlocks = session.Dialog().flashReport.badBlocks;
    }
    const std::string cause = pipe != nullptr ? pipe->TakeCause() : std::string();
    const bool interrupted = interrupts_.Interrupted() && status != EXIT_OK;
    if (interrupted) {
      phone.interrupted = true;
      phone.exitStatus = EXIT_INTERRUPTED;
      // A phone that never connected was not touched (with --repeat, a wait for the next phone
      // leaves no record); one that did is left half done.
      if (!connected) return arguments_.repeat && pass > 1 ? PassEnd::NoPhone : PassEnd::Phone;
      if (running) {
        incomplete_[index] = "stopped in " + running->words;
      } else if (!phone.steps.empty()) {
        const StepRecord& last = phone.steps.back();
        incomplete_[index] =
            (last.exitStatus == EXIT_INTERRUPTED ? "stopped in " : "stopped after ") + last.words;
      }
    }
    // --repeat: a port that would not open, or whose device went while START waited for the
    // boot signal, served no phone.
    const bool unanswered =
        !phone.steps.empty() &&
        phone.steps.back().operation == app::OperationName(app::OperationId::Start) &&
        (phone.steps.back().status == target::CONNECT_COMM_ERROR ||
         phone.steps.back().status == target::CONNECT_TIMEOUT);
    if (arguments_.repeat && !interrupted && status != EXIT_OK && !connected &&
        (status == EXIT_PORT_UNAVAILABLE || (unanswered && !DevicePresent(devices_[index])))) {
      return PassEnd::PortUnavailable;
    }
    if (status != EXIT_OK && !phone.steps.empty() && phone.steps.back().exitStatus != EXIT_OK) {
      // A port that failed under its phone says why only in its diagnostics ("... does not
      // exist"); the operation's result has no words of its own for it.
      const std::string portReason = session.Dialog().PortFailureReason();
      if (phone.steps.back().reason.empty()) phone.steps.back().reason = portReason;
      phone.error = phone.steps.back();
      phone.cause = cause;
      if (!portReason.empty() && cause.find(portReason) == std::string::npos) {
        phone.cause = portReason + (cause.empty() ? "" : "\n") + cause;
      }
    } else if (status != EXIT_OK && !interrupted) {
      // The run ended before its first step (a refused file, no port chosen).
      StepRecord before;
      before.words = "(before the steps)";
      before.outcome = "refused";
      before.exitStatus = status;
      phone.error = before;
      phone.cause = cause;
    }
    // --repeat: a boot-signal wait that ended without any phone is no phone.
    if (arguments_.repeat && !interrupted && phone.steps.size() == 1 && phone.error &&
        phone.error->operation == app::OperationName(app::OperationId::Start) &&
        phone.error->status == target::CONNECT_TIMEOUT && !connected) {
      return PassEnd::NoPhone;
    }
    return PassEnd::Phone;
  }

  void CollectImages(PhoneRecord& phone, const std::vector<app::WrittenImage>& written,
                     std::mutex& imagesMutex) {
    std::lock_guard lock(imagesMutex);
    for (std::size_t i = phone.images.size(); i < written.size(); ++i) {
      const app::WrittenImage& image = written[i];
      ImageRecord record;
      record.image = std::string(app::Catalogue(image.kind).logName);
      record.path = image.path;
      record.size = image.size;
      record.address = image.address;
      record.seconds = image.seconds;
      record.written = image.written;
      const link::FileCrcResult crc = link::FileCrc32(crcTable_, image.path);
      if (crc.opened) record.crc32 = crc.crc;
      phone.images.push_back(std::move(record));
    }
  }

  // Keeps a phone's record and adds it to the report.
  void Record(PhoneRecord phone) {
    std::lock_guard lock(recordsMutex_);
    phones_.push_back(std::move(phone));
    if (report_ && !report_->Append(PhoneJson(phones_.back()))) {
      (void)report_->Replace(ReportJson(arguments_.ports, arguments_.steps, phones_, -1));
    }
  }

  // The report whole, a last time, with the run's `status`.
  bool WriteReport(int status) {
    std::lock_guard lock(recordsMutex_);
    return report_->Replace(ReportJson(arguments_.ports, arguments_.steps, phones_, status));
  }

  const CliArguments& arguments_;
  InterruptWatch& interrupts_;
  std::FILE* out_;
  std::FILE* err_;
  const BenchOptions& options_;
  bool single_;
  Board board_;
  link::Crc32Table crcTable_;
  std::filesystem::path logFolder_;
  std::vector<std::string> tags_;                    // what names each port's own files
  std::vector<std::string> devices_;                 // each port's device
  std::vector<link::UniqueFile> logs_;               // each port's log (several ports)
  std::vector<std::vector<std::string>> portSteps_;  // the steps as each port runs them

  std::mutex sessionsMutex_;
  std::vector<CliSession*> live_;        // the session running on each port, for Ctrl-C
  std::vector<int> statuses_;            // each port's worst exit status (its own thread writes it)
  std::vector<std::string> incomplete_;  // the step a Ctrl-C cut short, by port

  // Ctrl-C ends the ports' waits for their devices.
  std::mutex waitMutex_;
  std::condition_variable waitWake_;

  std::mutex recordsMutex_;
  std::vector<PhoneRecord> phones_;
  std::unique_ptr<ReportFile> report_;
};

}  // namespace

std::string ReportJson(const std::vector<std::string>& ports, const std::vector<std::string>& steps,
                       const std::vector<PhoneRecord>& phones, int exitStatus) {
  std::string json = "{\n";
  json += "  \"tool\": \"veska-cli\",\n";
  json += std::string("  \"version\": ") + Json(VESKA_VERSION) + ",\n";
  json += "  \"written\": " + Json(UtcNow()) + ",\n";
  json += "  \"ports\": [";
  for (std::size_t i = 0; i < ports.size(); ++i) json += (i == 0 ? "" : ", ") + Json(ports[i]);
  std::string command;
  for (const std::string& word : steps) command += (command.empty() ? "" : " ") + word;
  json += "],\n  \"command\": " + Json(command) + ",\n";
  json += "  \"finished\": " + std::string(exitStatus >= 0 ? "true" : "false") + ",\n";
  json += "  \"exit_status\": " + (exitStatus >= 0 ? std::to_string(exitStatus) : "null") + ",\n";
  json += "  \"phones\": [";
  for (std::size_t i = 0; i < phones.size(); ++i) {
    json += (i == 0 ? "\n" : ",\n") + PhoneJson(phones[i]);
  }
  json += phones.empty() ? "]\n" : "\n  ]\n";
  return json + "}\n";
}

std::string LogFileName(const std::string& port) {
  std::string name;
  for (const char c : port) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-';
    name += plain ? c : '_';
  }
  while (name.starts_with('_') || name.starts_with('.')) name.erase(0, 1);
  if (name.empty()) name = "port";
  return name + ".log";
}

std::vector<std::string> PortFileTags(const std::vector<std::string>& ports) {
  const auto lower = [](std::string text) {
    for (char& c : text) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
  };
  std::vector<std::string> tags;
  std::set<std::string> taken;  // in lower case: the log folder may ignore case
  for (const std::string& port : ports) {
    std::string base = LogFileName(port);
    base.resize(base.size() - std::string_view(".log").size());
    std::string tag = base;
    for (int n = 2; taken.contains(lower(tag)); ++n) tag = base + "-" + std::to_string(n);
    taken.insert(lower(tag));
    tags.push_back(std::move(tag));
  }
  return tags;
}

std::vector<std::string> StepsForPort(const std::vector<std::string>& steps,
                                      const std::string& tag) {
  std::vector<std::string> own = steps;
  // The words walked as the session plans them, so that a word of another step that happens to
  // read "dump" is not taken for one.
  const auto rename = [&own, &tag](std::size_t word) {
    if (word >= own.size()) return;
    std::string& file = own[word];
    const std::size_t slash = file.find_last_of(ui::kPathSeparators);
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    std::size_t dot = file.rfind('.');
    if (dot == std::string::npos || dot <= name) dot = file.size();  // ".hex" has no extension
    file = file.substr(0, dot) + "." + tag + file.substr(dot);
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const std::string& word = steps[i];
    if (word == "download") {
      ++i;  // the selection, then its options
      while (i + 1 < steps.size() && steps[i + 1].starts_with("--")) ++i;
    } else if (word == "dump") {
      rename(i + 2);  // dump AREA FILE
      i += 2;
    } else if (word == "udev-rule") {
      ++i;
    } else if (word == "explore") {
      const std::string verb = i + 1 < steps.size() ? steps[i + 1] : std::string();
      if (verb == "get") rename(i + 3);  // explore get PATH FILE
      i += verb == "get" || verb == "put" ? 3 : 2;
    } else if (word == "checksum") {
      i += i + 1 < steps.size() && steps[i + 1] == "--file" ? 2 : 1;
    }
  }
  return own;
}

bool IsBenchRun(const CliArguments& arguments) {
  return arguments.ports.size() > 1 || arguments.repeat || !arguments.report.empty();
}

int RunBench(const CliArguments& arguments, InterruptWatch& interrupts, std::FILE* out,
             std::FILE* err, const BenchOptions& options) {
  if (arguments.ports.empty()) {
    std::fprintf(err, "veska-cli: a bench run needs its ports (--port COMn, once per phone)\n");
    return EXIT_USAGE;
  }
  BenchRun run(arguments, interrupts, out, err, options);
  return run.Run();
}

}  // namespace veska::cli
