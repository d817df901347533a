#pragma once

// What an engine needs in a test, and nothing more: a link state, a port on the device the test
// provides, a clock that does not sleep and a narrator that records what the engine tells.

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/Engine.h"
#include "app/ProcessState.h"
#include "link/SerialPort.h"

namespace veska::testing {

using namespace std::chrono_literals;

// Records what the tests look at: the log, the message boxes, the bar's positions, the window
// states and the pauses. Message boxes are answered OK (No for a question). Safe to read from
// the test's thread while an engine narrates on another.
class RecordingNarrator final : public app::QuietNarrator {
 public:
  void Log(std::string_view text) override {
    Locked([&] { log_ += text; });
  }
  void SetProgressPos(std::uint32_t position) override { Show(position); }
  void ResetProgress() override {
    Locked([&] { count_ = 0; });
  }
  void AddProgress(std::size_t bytes) override {
    std::uint32_t position = 0;
    Locked([&] { position = count_ += static_cast<std::uint32_t>(bytes); });
    Show(position);
  }
  int Message(std::string_view text, std::string_view, unsigned style) override {
    Locked([&] { messages_.emplace_back(text); });
    return (style & ui::MB_BUTTON_MASK) == ui::MB_YESNO ? ui::IDNO : ui::IDOK;
  }
  void Enter(app::WindowState state) override {
    Locked([&] { states_.push_back(state); });
  }

  void Sleep(std::chrono::milliseconds duration) override {
    Locked([&] { sleeps_.push_back(duration); });
  }

  // Called (on the engine's thread) with every position the bar is given.
  void OnProgress(std::function<void(std::uint32_t)> hook) {
    Locked([&] { progressHook_ = std::move(hook); });
  }

  [[nodiscard]] std::string Text() const { return Read(log_); }
  [[nodiscard]] std::vector<std::string> Messages() const { return Read(messages_); }
  [[nodiscard]] std::uint32_t Position() const { return Read(position_); }
  // Every position the bar was given, in order.
  [[nodiscard]] std::vector<std::uint32_t> Positions() const { return Read(positions_); }
  [[nodiscard]] std::vector<app::WindowState> States() const { return Read(states_); }
  [[nodiscard]] std::vector<std::chrono::milliseconds> Sleeps() const { return Read(sleeps_); }

  // Forgets everything recorded so far, the progress count included (not the hook).
  void Clear() {
    Locked([&] {
      log_.clear();
      messages_.clear();
      states_.clear();
      positions_.clear();
      sleeps_.clear();
      count_ = position_ = 0;
    });
  }

 private:
  template <typename Change>
  void Locked(Change change) {
    std::lock_guard lock(mutex_);
    change();
  }
  template <typename T>
  T Read(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }
  void Show(std::uint32_t position) {
    std::function<void(std::uint32_t)> hook;
    Locked([&] {
      position_ = position;
      positions_.push_back(position);
      hook = progressHook_;
    });
    if (hook) hook(position);
  }

  mutable std::mutex mutex_;
  std::string log_;
  std::vector<std::string> messages_;
  std::uint32_t position_ = 0;
  std::uint32_t count_ = 0;
  std::vector<std::uint32_t> positions_;
  std::function<void(std::uint32_t)> progressHook_;
  std::vector<app::WindowState> states_;
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

  app::ProcessState session;
  link::LinkState& link = session.link;
  link::SerialPort port{link};
  RecordingNarrator narrator;
  app::CauseRecorder causes;
  QuietDiagnostics quiet;
};

}  // namespace veska::testing
