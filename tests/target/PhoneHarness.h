#pragma once

// The virtual phone and an engine harness on its line, connected by START's handshake when a
// test needs a running loader; and a scratch folder named after the test.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/EngineHarness.h"
#include "link/BaudCodes.h"
#include "sim/VirtualPhone.h"
#include "target/Connection.h"

namespace veska::testing {

// A folder named after the running test, empty at the start and gone with the test.
class ScratchFolder {
 public:
  explicit ScratchFolder(const std::string& prefix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    path_ = std::filesystem::temp_directory_path() /
            (prefix + info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() { std::filesystem::remove_all(path_); }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  [[nodiscard]] const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

class PhoneHarness {
 public:
  ~PhoneHarness() {
    if (phone) phone->Stop();
  }

  // Starts the phone and puts a harness on its line (the options' linkPath when it has one).
  void Start(sim::PhoneOptions options, bool usb = false) {
    options.link = usb ? sim::LinkDialect::Usb : sim::LinkDialect::Uart;
    options.peerTimeout = 300ms;
    phone = std::make_unique<sim::VirtualPhone>(options);
    ASSERT_EQ(phone->Start(), 0);
    device = options.linkPath.empty() ? phone->SlavePath() : options.linkPath;
    harness = std::make_unique<EngineHarness>(device, usb);
  }

  // Starts the phone and runs START's handshake at the selector's rate `baudIndex`; the log
  // and the phone's record are cleared once the phone has recorded the connection's end, so
  // that only what follows shows.
  void Connect(sim::PhoneOptions options, bool usb, int baudIndex) {
    Start(std::move(options), usb);
    const target::ConnectOutcome connected = target::Connect(
        harness->Context(), harness->session, {device, link::kSelectorBaudCodes[baudIndex], true});
    ASSERT_EQ(connected.status, target::CONNECT_OK) << harness->narrator.Text();
    // The phone records its last answer just after sending it, so the PC may be done first.
    const auto last = usb ? sim::EventKind::StartByte : sim::EventKind::BadBlocksSent;
    ASSERT_TRUE(phone->WaitFor(
        [last](const std::vector<sim::Event>& events) { return sim::HasEvent(events, last); }, 5s));
    phone->ClearEvents();
    harness->narrator.Clear();
  }

  std::unique_ptr<sim::VirtualPhone> phone;
  std::unique_ptr<EngineHarness> harness;
  std::string device;
};

}  // namespace veska::testing
