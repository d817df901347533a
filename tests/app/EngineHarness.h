#pragma once

// What an engine needs in a test, and nothing more: a link state, a port on the device the test
// provides, a clock that does not sleep and a narrator that records what the engine tells.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/Engine.h"
#include "app/ProcessState.h"
#include "link/SerialPort.h"

namespace veska::testing {

using namespace std::chrono_literals;

// Records every call in order. Message boxes take their answers from a queue (IDOK, or IDNO
// for a question, when it is empty). Safe to read from the test's thread while an engine
// narrates on another.
class RecordingNarrator final : public app::Narrator, public app::Clock {
  template <typename Get>
  auto Read(Get get) const -> decltype(get()) {
    std::lock_guard lock(mutex_);
    return get();
  }

 public:
  void Log(std::string_view text) override {
    Add([&] { log_ += text; });
  }
  void ReplaceLog(std::string_view text) override {
    Add([&] { replaced_.emplace_back(text); });
  }
  void ShowFlashId(std::string_view text) override {
    Add([&] { flashId_ = text; });
  }
  void ShowFileName(std::string_view path) override {
    Add([&] { fileName_ = path; });
  }
  void ShowFileSize(std::uint32_t size) override {
    Add([&] { fileSize_ = size; });
  }
  void ShowChecksum(std::uint32_t crc) override {
    Add([&] { checksum_ = crc; });
  }
  void ClearImageFields() override {
    Add([&] {
      fileName_.clear();
      fileSize_.reset();
      checksum_.reset();
    });
  }
  void SetProgressRange(std::uint32_t upper) override {
    Add([&] { range_ = upper; });
  }
  void SetProgressPos(std::uint32_t position) override { Show(position); }
  void ResetProgress() override {
    Add([&] { count_ = 0; });
  }
  void AddProgress(std::size_t bytes) override {
    std::uint32_t position = 0;
    Add([&] { position = count_ += static_cast<std::uint32_t>(bytes); });
    Show(position);
  }
  int Message(std::string_view text, std::string_view caption, unsigned style) override {
    int answer = ui::IDOK;
    Add([&] {
      messages_.emplace_back(text);
      captions_.emplace_back(caption);
      const bool question = (style & ui::MB_BUTTON_MASK) == ui::MB_YESNO;
      if (!answers_.empty()) {
        answer = answers_.front();
        answers_.pop_front();
      } else if (question) {
        answer = ui::IDNO;
      }
    });
    return answer;
  }
  void ReportWait(const app::PhoneWait& wait) override {
    Add([&] { waits_.push_back(wait); });
  }
  void Enter(app::WindowState state) override {
    Add([&] { states_.push_back(state); });
  }
  void EnableSelection() override {
    Add([&] { ++selectionEnabled_; });
  }
  void StartImage(const app::ImageBegan& image) override {
    Add([&] { begun_.push_back(image); });
  }
  void ImageEnded(const app::WrittenImage& image) override {
    Add([&] { images_.push_back(image); });
  }
  void ReadBack(const app::ImagesReadBack& readBack) override {
    Add([&] { readBacks_.push_back(readBack); });
  }

  void Sleep(std::chrono::milliseconds duration) override {
    Add([&] { sleeps_.push_back(duration); });
  }
  [[nodiscard]] std::uint64_t TickCount() const override {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
  }

  // Called (on the engine's thread) with every position the bar is given.
  void OnProgress(std::function<void(std::uint32_t)> hook) {
    std::lock_guard lock(mutex_);
    progressHook_ = std::move(hook);
  }

  // The answers the next message boxes get, in order.
  void QueueAnswer(int answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(answer);
  }

  [[nodiscard]] std::string Text() const {
    return Read([&] { return log_; });
  }
  [[nodiscard]] std::vector<std::string> Replaced() const {
    return Read([&] { return replaced_; });
  }
  [[nodiscard]] std::vector<std::string> Messages() const {
    return Read([&] { return messages_; });
  }
  [[nodiscard]] std::vector<std::string> Captions() const {
    return Read([&] { return captions_; });
  }
  [[nodiscard]] std::string FlashId() const {
    return Read([&] { return flashId_; });
  }
  [[nodiscard]] std::string FileName() const {
    return Read([&] { return fileName_; });
  }
  [[nodiscard]] std::optional<std::uint32_t> FileSize() const {
    return Read([&] { return fileSize_; });
  }
  [[nodiscard]] std::optional<std::uint32_t> Checksum() const {
    return Read([&] { return checksum_; });
  }
  [[nodiscard]] std::uint32_t Range() const {
    return Read([&] { return range_; });
  }
  [[nodiscard]] std::uint32_t Position() const {
    return Read([&] { return position_; });
  }
  // Every position the bar was given, in order.
  [[nodiscard]] std::vector<std::uint32_t> Positions() const {
    return Read([&] { return positions_; });
  }
  [[nodiscard]] std::vector<app::PhoneWait> Waits() const {
    return Read([&] { return waits_; });
  }
  [[nodiscard]] std::vector<app::WindowState> States() const {
    return Read([&] { return states_; });
  }
  [[nodiscard]] int SelectionEnabled() const {
    return Read([&] { return selectionEnabled_; });
  }
  [[nodiscard]] std::vector<app::ImageBegan> Begun() const {
    return Read([&] { return begun_; });
  }
  [[nodiscard]] std::vector<app::WrittenImage> Images() const {
    return Read([&] { return images_; });
  }
  [[nodiscard]] std::vector<app::ImagesReadBack> ReadBacks() const {
    return Read([&] { return readBacks_; });
  }
  [[nodiscard]] std::vector<std::chrono::milliseconds> Sleeps() const {
    return Read([&] { return sleeps_; });
  }

  // Waits until the log holds `text`; whether it came within `timeout`.
  bool WaitForLog(std::string_view text, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return log_.find(text) != std::string::npos; });
  }

  // Forgets everything recorded so far (not the queued answers nor the hook), the progress
  // count included.
  void Clear() {
    std::lock_guard lock(mutex_);
    log_.clear();
    replaced_.clear();
    messages_.clear();
    captions_.clear();
    waits_.clear();
    states_.clear();
    images_.clear();
    begun_.clear();
    readBacks_.clear();
    positions_.clear();
    sleeps_.clear();
    count_ = position_ = range_ = 0;
    selectionEnabled_ = 0;
  }

 private:
  template <typename Change>
  void Add(Change change) {
    {
      std::lock_guard lock(mutex_);
      change();
    }
    changed_.notify_all();
  }
  void Show(std::uint32_t position) {
    std::function<void(std::uint32_t)> hook;
    Add([&] {
      position_ = position;
      positions_.push_back(position);
      hook = progressHook_;
    });
    if (hook) hook(position);
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::string log_;
  std::vector<std::string> replaced_;
  std::vector<std::string> messages_;
  std::vector<std::string> captions_;
  std::deque<int> answers_;
  std::string flashId_;
  std::string fileName_;
  std::optional<std::uint32_t> fileSize_;
  std::optional<std::uint32_t> checksum_;
  std::uint32_t range_ = 0;
  std::uint32_t position_ = 0;
  std::uint32_t count_ = 0;
  std::vector<std::uint32_t> positions_;
  std::function<void(std::uint32_t)> progressHook_;
  std::vector<app::PhoneWait> waits_;
  std::vector<app::WindowState> states_;
  int selectionEnabled_ = 0;
  std::vector<app::WrittenImage> images_;
  std::vector<app::ImageBegan> begun_;
  std::vector<app::ImagesReadBack> readBacks_;
  std::vector<std::chrono::milliseconds> sleeps_;
};

class QuietDiagnostics final : public link::DiagnosticSink {
 public:
  void Diagnostic(std::string_view, std::string_view) override {}
};

// A port on `device` with the time-outs shrunk, so that a silent phone fails in moments, and
// its engine context. The port's link state is the session's, as in the programs.
class EngineHarness {
 public:
  explicit EngineHarness(const std::string& device = {}, bool usb = false,
                         std::uint8_t baudCode = 0x88) {
    link.linkMode = usb ? link::LINK_USB : link::LINK_UART;
    port.portName = device;
    port.baudCode = baudCode;
    port.readTotalTimeout = 2ms;
    port.readIntervalTimeout = 2ms;
    port.writeTimeout = 50ms;
    port.openRetryDelay = 10ms;
    port.emptyWritePause = 0ms;
    port.diagnostics = &quiet;
  }
  EngineHarness(const EngineHarness&) = delete;
  EngineHarness& operator=(const EngineHarness&) = delete;

  [[nodiscard]] app::EngineContext Context() { return {port, narrator, narrator, causes}; }
  // What Disconnect does to the port: it closes under the engine, which must not open it again.
  void Disconnect() {
    ++link.disconnects;
    link.openAllowed = false;
    port.Close();
  }

  app::ProcessState session;
  link::LinkState& link = session.link;
  link::SerialPort port{link};
  RecordingNarrator narrator;
  app::CauseRecorder causes;
  QuietDiagnostics quiet;
};

}  // namespace veska::testing
