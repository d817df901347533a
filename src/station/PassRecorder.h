#pragma once

#include <chrono>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "app/SessionEvents.h"
#include "link/Crc32.h"
#include "records/SessionRecorder.h"
#include "station/ExitStatus.h"
#include "station/PhoneRecord.h"
#include "station/RunOptions.h"
#include "station/Session.h"
#include "ui/Host.h"

namespace veska::station {

// What shows a pass's phone as its session goes: the steps, the image being written, the
// progress and what the session said, line by line. Called on the session's threads.
class PassView {
 public:
  virtual ~PassView() = default;
  virtual void StepStarted(std::size_t port, const app::StepBegan& step) = 0;
  virtual void StepEnded(std::size_t port, const app::StepEnded& step) = 0;
  // The image the port's session is writing, by its file's name.
  virtual void ImageNamed(std::size_t port, const std::string& name) = 0;
  // The port's progress bar: its range set anew, then its position.
  virtual void ProgressRange(std::size_t port, std::int64_t upper) = 0;
  virtual void ProgressAt(std::size_t port, std::int64_t position) = 0;
  // A line the port's session said beside its log.
  virtual void Message(std::size_t port, const std::string& line) = 0;
};

// What a pass learns of its phone while its session runs, from the session's events: each
// step's record as it ends, the images as they are written (with their files' CRC-32) and read
// back, whether START connected, and the session's own words on a failure. On a bench it passes
// what the port shows on to the bench's view; a plain run has none.
//
// Thread safety: the session's events come from its thread and its workers'.
class PassRecorder {
  using Clock = std::chrono::steady_clock;

 public:
  PassRecorder(PassView* board, std::size_t port, const link::Crc32Table& crcTable,
               PhoneRecord& phone)
      : board_(board), port_(port), crcTable_(crcTable), phone_(phone) {}

  // Follows `session`'s events, and passes each on to `also`. Before the session runs.
  void Observe(Session& session, app::SessionObserver also = {}) {
    session.SetEventObserver([this, also = std::move(also)](const app::SessionEvent& event) {
      std::visit([this](const auto& e) { Take(e); }, event);
      if (also) also(event);
    });
  }

  // The images written so far into the phone's record.
  void CollectImages() {
    std::lock_guard lock(mutex_);
    phone_.images = images_.Records(crcTable_);
  }

  // The session of a pass begun at `passStarted` has ended with `status`: the phone's record
  // takes it, its time (from the phone's answer to START when it answered: the wait before it
  // was plugged in or switched on is the port's idle time, not the phone's) and, when START
  // connected, the flash the window was told of.
  void NoteEnd(int status, Clock::time_point passStarted, const app::DownloaderDlg& dlg) {
    CollectImages();
    Clock::time_point from = passStarted;
    {
      std::lock_guard lock(mutex_);
      if (answered_) {
        from = answeredAt_;
        phone_.started = answeredUtc_;
      }
    }
    phone_.seconds = std::chrono::duration<double>(Clock::now() - from).count();
    phone_.exitStatus = status;
    if (!connected_) return;
    phone_.flashId = FlashId();
    phone_.badBlocksKnown = dlg.flashReport.badBlocksKnown;
    phone_.badBlocks = dlg.flashReport.badBlocks;
  }

  [[nodiscard]] bool Connected() const { return connected_; }
  // Whether a phone answered START (its boot signal, or on USB its acknowledgement; a START that
  // connected had one): a pass without one served no phone.
  [[nodiscard]] bool Answered() const {
    std::lock_guard lock(mutex_);
    return answered_ || connected_;
  }
  // What the Flash ID box last showed of the phone.
  [[nodiscard]] std::string FlashId() const {
    std::lock_guard lock(mutex_);
    return flashId_;
  }
  // The step under way when the session stopped, if one was.
  [[nodiscard]] const std::optional<app::StepBegan>& Running() const { return running_; }
  // The session's own words since the pass began: its explanations and the first line of each
  // message box, one a line.
  [[nodiscard]] std::string Cause() const {
    std::lock_guard lock(mutex_);
    return cause_;
  }

 private:
  void Take(const app::StepBegan& step) {
    stepStarted_ = Clock::now();
    running_ = step;
    if (board_) board_->StepStarted(port_, step);
  }

  void Take(const app::StepEnded& step) {
    running_.reset();
    StepRecord record;
    record.words = step.words;
    record.exitStatus = step.exitStatus;
    record.seconds = std::chrono::duration<double>(Clock::now() - stepStarted_).count();
    if (step.result) {
      record.operation = std::string(app::OperationName(step.result->operation));
      record.outcome = std::string(app::OutcomeName(step.result->outcome));
      record.status = step.result->status;
      record.reason = step.result->reason;
      record.result = step.result;
      if (step.result->operation == app::OperationId::Start && step.result->Succeeded()) {
        connected_ = true;
      }
    } else {
      record.outcome = step.exitStatus == EXIT_OK ? "done" : "failed";
    }
    CollectImages();
    phone_.steps.push_back(record);
    if (board_) board_->StepEnded(port_, step);
  }

  void Take(const app::WrittenImage& image) {
    std::lock_guard lock(mutex_);
    images_.Take(image);
  }

  void Take(const app::ImagesReadBack& readBack) {
    std::lock_guard lock(mutex_);
    images_.Take(readBack);
  }

  void Take(const app::ImageBegan& image) {
    if (board_) board_->ImageNamed(port_, std::filesystem::path(image.path).filename().string());
  }

  void Take(const app::Progress& progress) {
    if (!board_) return;
    if (progress.newRange) {
      board_->ProgressRange(port_, progress.upper);
    } else {
      board_->ProgressAt(port_, progress.position);
    }
  }

  void Take(const app::PhoneWait& wait) {
    if (!wait.ended || !wait.answered) return;
    std::lock_guard lock(mutex_);
    if (answered_) return;
    answered_ = true;
    answeredAt_ = Clock::now();
    answeredUtc_ = UtcNow();
  }

  // The acknowledgement puts no identity in the box: a phone stopped before its flash answered
  // has none on record.
  void Take(const app::PhoneAnswered&) {}

  void Take(const app::FlashIdShown& flashId) {
    std::lock_guard lock(mutex_);
    flashId_ = flashId.text;
  }

  void Take(const app::MessageShown& box) {
    const std::string caption = box.caption.empty() ? kApplicationName : box.caption;
    const std::string shown = "[" + caption + "] " + box.text;
    // A box's first line names it; the rest is its detail. A question answered Yes (--yes) let
    // the run go on: it is no cause of anything.
    const unsigned buttons = box.style & ui::MB_BUTTON_MASK;
    const bool question = buttons == ui::MB_YESNO || buttons == ui::MB_OKCANCEL;
    if (!question || (box.answer != ui::IDYES && box.answer != ui::IDOK)) {
      AddCause(shown.substr(0, shown.find('\n')));
    }
    Show(shown);
  }

  void Take(const app::Said& said) {
    if (said.kind == app::Said::Kind::Explanation) {
      for (const std::string& line : Lines(said.text)) AddCause(line);
    }
    Show(said.text);
  }

  void AddCause(const std::string& line) {
    std::lock_guard lock(mutex_);
    cause_ += (cause_.empty() ? "" : "\n") + line;
  }

  // What the session says, line by line on the board.
  void Show(const std::string& text) {
    if (!board_) return;
    for (const std::string& line : Lines(text)) board_->Message(port_, line);
  }

  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    while (from <= text.size()) {
      const std::size_t end = std::min(text.find('\n', from), text.size());
      std::string line = text.substr(from, end - from);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!line.empty()) lines.push_back(std::move(line));
      from = end + 1;
    }
    return lines;
  }

  PassView* board_;
  std::size_t port_;
  const link::Crc32Table& crcTable_;
  PhoneRecord& phone_;
  mutable std::mutex mutex_;
  records::ImageLedger images_;  // every image the session's downloads ended
  std::string cause_;
  std::string flashId_;
  Clock::time_point stepStarted_ = Clock::now();
  std::optional<app::StepBegan> running_;
  bool connected_ = false;
  bool answered_ = false;
  Clock::time_point answeredAt_{};
  std::string answeredUtc_;
};

// Where Ctrl-C left a phone: in the step `running`, or after the last of `steps`; "" before any.
[[nodiscard]] std::string WhereStopped(const std::optional<app::StepBegan>& running,
                                       const std::vector<StepRecord>& steps);

// How one pass of a port that serves phone after phone ended.
enum class PassEnd {
  Phone,            // a phone was served (or failed): it gets a record
  NoPhone,          // the wait for a phone ended without one
  PortUnavailable,  // the port did not open, or its device went before a phone answered
};

// How the pass whose session ended with `status` counts when the port serves phone after phone
// (`repeat`), with the phone's record completed: `stopped` when the run was stopped (its record
// then takes `stopStatus`), `devicePresent` whether the port's device is there now. A phone is
// there from its answer to START on: whatever fails after it is that phone's failure.
[[nodiscard]] PassEnd ConcludePass(int status, bool stopped, int stopStatus, bool repeat,
                                   bool devicePresent, const PassRecorder& recorder,
                                   const std::string& portReason, PhoneRecord& phone);

// Notes in the phone's record what ended a pass whose session exited with `status`: the step
// that failed and why, or the refusal before the first step.
void NoteError(int status, bool interrupted, const std::string& portReason,
               const std::string& cause, PhoneRecord& phone);

}  // namespace veska::station
