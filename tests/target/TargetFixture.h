#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"
#include "app/FlashMap.h"
#include "app/Templates.h"
#include "sim/VirtualPhone.h"
#include "target/PhoneHarness.h"
#include "target/TargetButtons.h"
#include "ui/HeadlessHost.h"

namespace veska::target::testing {

using namespace std::chrono_literals;

// The main dialog on a headless window, its COM1 pointed at a device the test provides (the
// virtual phone or a raw pseudo-terminal), with the port's time-outs shrunk so that a silent
// phone fails in about a second instead of half an hour.
class TargetFixture : public ::testing::Test {
 protected:
  TargetFixture() {
    host_.SetSleepScale(0);
    settings_ = std::make_unique<app::Settings>(folder_ / "VeskaDownloader.INI");
  }
  ~TargetFixture() override {
    host_.JoinWorkers();
    window_.reset();
    if (phone_) phone_->Stop();
  }

  // Opens the dialog with COM1 standing for `device`, the link and the baud entry chosen.
  void OpenDialog(const std::string& device, bool usb = false, int baudIndex = 2) {
    dlg_ = std::make_unique<app::DownloaderDlg>(host_, state_, *settings_);
    app::DlgOperations operations;
    AddOperations(operations);
    AddBootloaderOperations(operations);
    dlg_->SetOperations(operations);
    window_ = host_.Create(app::kMainDialogTemplate, *dlg_);
    // After start-up, which reads the overrides of the settings file.
    state_.link.portPaths["COM1"] = device;
    window_->Click(usb ? app::IDC_USB : app::IDC_UART);
    window_->SelectItem(app::IDC_PORT, 0);
    window_->SelectItem(app::IDC_BAUD, baudIndex);
    auto& port = dlg_->port;
    port.readTotalTimeout = 2ms;
    port.readIntervalTimeout = 2ms;
    port.writeTimeout = 50ms;
    port.openRetryDelay = 10ms;
    port.emptyWritePause = 0ms;
    dlg_->SetDiagnosticsOutput(quiet_);
  }

  void StartPhone(sim::PhoneOptions options) {
    options.peerTimeout = 300ms;
    options.verbose = std::getenv("VESKA_PHONE_VERBOSE") != nullptr;
    phone_ = std::make_unique<sim::VirtualPhone>(options);
    ASSERT_EQ(phone_->Start(), 0);
  }

  // Makes `kind`'s image, a file of `size` bytes of its own content, and sets it in the dialog.
  std::vector<std::uint8_t> MakeImage(app::ImageKind kind, std::size_t size) {
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i) {
      data[i] = static_cast<std::uint8_t>(i * 13 + static_cast<std::size_t>(kind));
    }
    const auto path = folder_ / (std::string(app::Catalogue(kind).cliName) + ".img");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
    EXPECT_TRUE(dlg_->SetImagePathByKey(app::Catalogue(kind).settingsKey, path.string()));
    return data;
  }

  // Presses START and waits for the connection worker to end.
  void PressStart() {
    logFrom_ = host_.EventJournal().Events().size();
    window_->Click(app::IDC_START);
    host_.JoinWorkers();
  }

  // The phone records the end of a connection just after its last answer, so the PC may be done
  // first: waits for that record, so that a test which clears the record afterwards does not
  // find it arriving late.
  void WaitForConnectionRecorded(bool usb) {
    const auto last = usb ? sim::EventKind::StartByte : sim::EventKind::BadBlocksSent;
    ASSERT_TRUE(phone_->WaitFor(
        [last](const std::vector<sim::Event>& events) { return sim::HasEvent(events, last); }, 5s));
  }

  // Everything appended to the log pane since START, in order.
  std::string Log() const {
    std::string text;
    const auto events = host_.EventJournal().Events();
    for (std::size_t i = logFrom_; i < events.size(); ++i) {
      if (events[i].kind == ui::EventKind::AppendText && events[i].id == app::IDC_LOG) {
        text += events[i].text;
      }
    }
    return text;
  }

  // Waits (polling) until `done` holds or `timeout` passes; whether it held.
  template <typename Condition>
  static bool WaitUntil(Condition done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  // Waits until the log since START holds `text`.
  bool WaitForLog(std::string_view text, std::chrono::milliseconds timeout) const {
    return WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout);
  }

  // Collects the phone-wait reports of the dialog opened last.
  void RecordWaits() {
    dlg_->SetEventObserver([this](const app::SessionEvent& event) {
      const auto* wait = std::get_if<app::PhoneWait>(&event);
      if (wait == nullptr) return;
      std::lock_guard lock(waitsMutex_);
      waits_.push_back(*wait);
    });
  }
  std::vector<app::PhoneWait> Waits() {
    std::lock_guard lock(waitsMutex_);
    return waits_;
  }
  // The detail each message box was shown with, in order.
  std::vector<std::string> BoxDetails() const {
    std::vector<std::string> details;
    for (const ui::Event& event : host_.EventJournal().Events()) {
      if (event.kind == ui::EventKind::MessageBox) details.push_back(event.detail);
    }
    return details;
  }

  std::vector<std::string> MessageBoxes() const { return host_.MessageBoxTexts(); }
  std::string FlashIdBox() const { return window_->GetText(app::IDC_FLASH_ID); }
  bool Connected() const {
    // Download is enabled only in the connected state.
    return window_->IsEnabled(app::IDC_DOWNLOAD) && !window_->IsEnabled(app::IDC_START);
  }
  bool Idle() const {
    return window_->IsEnabled(app::IDC_START) && !window_->IsEnabled(app::IDC_DOWNLOAD);
  }

  class QuietDiagnostics final : public link::DiagnosticSink {
   public:
    void Diagnostic(std::string_view, std::string_view) override {}
  };

  veska::testing::ScratchFolder scratch_{"veska_target_"};
  const std::filesystem::path& folder_ = scratch_.Path();
  mutable ui::HeadlessHost host_;
  app::ProcessState state_;
  std::unique_ptr<app::Settings> settings_;
  std::unique_ptr<app::DownloaderDlg> dlg_;
  std::unique_ptr<ui::HeadlessWindow> window_;
  std::unique_ptr<sim::VirtualPhone> phone_;
  QuietDiagnostics quiet_;
  std::size_t logFrom_ = 0;
  std::mutex waitsMutex_;
  std::vector<app::PhoneWait> waits_;
};

}  // namespace veska::target::testing
