// Two complete sessions in one process, each with its own phone, run at the same time: nothing
// of one (port, link state, frame tags, settings, log, progress, message boxes) may leak into the
// other. Run under ThreadSanitizer as well, where it shows any state the sessions still share.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"
#include "app/ProcessState.h"
#include "app/Settings.h"
#include "app/Templates.h"
#include "download/DownloadButtons.h"
#include "fs/FsButtons.h"
#include "link/Sinks.h"
#include "sim/VirtualPhone.h"
#include "target/TargetButtons.h"
#include "ui/HeadlessHost.h"

namespace veska::download {
namespace {

using namespace std::chrono_literals;
using K = ImageKind;

// The selection of every binary image, the calibration pair included.
constexpr std::int32_t kAllBinaryFiles = 15;

class RecordingDiagnostics final : public link::DiagnosticSink {
 public:
  void Diagnostic(std::string_view portName, std::string_view /*text*/) override {
    ports.emplace_back(portName);
  }
  std::vector<std::string> ports;  // only this session's worker writes here
};

// One program window with its own everything, on its own virtual phone.
class Session {
 public:
  Session(const std::filesystem::path& folder, bool usb, unsigned seed)
      : folder_(folder), usb_(usb), seed_(seed), phone_(PhoneOptionsFor(usb)) {
    std::filesystem::create_directories(folder_);
    host_.SetSleepScale(0);
    settings_ = std::make_unique<app::Settings>(folder_ / "VeskaDownloader.INI");
  }
  ~Session() {
    host_.JoinWorkers();
    window_.reset();
    phone_.Stop();
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Starts the phone, opens the window as the programs do and chooses link, port and rate.
  void Open() {
    ASSERT_EQ(phone_.Start(), 0);
    dlg_ = std::make_unique<app::DownloaderDlg>(host_, state_, *settings_);
    app::DlgOperations operations;
    target::AddOperations(operations);
    download::AddOperations(operations);
    fs::AddOperations(operations);
    dlg_->SetOperations(operations);
    window_ = host_.Create(app::kMainDialogTemplate, *dlg_);
    // Both sessions call their port COM1; each state maps it to its own phone.
    state_.link.portPaths["COM1"] = phone_.SlavePath();
    window_->Click(usb_ ? app::IDC_USB : app::IDC_UART);
    window_->SelectItem(app::IDC_PORT, 0);
    window_->SelectItem(app::IDC_BAUD, 3);
    link::SerialPort& port = dlg_->port;
    port.readTotalTimeout = 20ms;
    port.readIntervalTimeout = 5ms;
    port.writeTimeout = 200ms;
    port.openRetryDelay = 10ms;
    port.emptyWritePause = 0ms;
    port.diagnostics = &diagnostics_;
    for (const auto& [kind, size] : Sizes()) {
      const std::string name = std::string(Catalogue(kind).logName) + ".img";
      ASSERT_TRUE(dlg_->SetImagePathByKey(
          Catalogue(kind).settingsKey, MakeFile(name, size, seed_ + static_cast<unsigned>(kind))));
    }
    // The calibration question is answered by this session's own host.
    host_.QueueMessageBoxAnswer(ui::IDYES);
  }

  void PressStart() { ASSERT_TRUE(window_->Click(app::IDC_START)); }
  void PressDownload() {
    ASSERT_TRUE(window_->Click(Selection(kAllBinaryFiles)->button));
    window_->SetCheck(app::IDC_DEFAULT_CAL_DATA, 1);
    window_->SetCheck(app::IDC_AUTO_REBOOT, 0);
    ASSERT_TRUE(window_->Click(app::IDC_DOWNLOAD));
  }
  void Wait() { host_.JoinWorkers(); }

  [[nodiscard]] bool Connected() const {
    return window_->IsEnabled(app::IDC_DOWNLOAD) && !window_->IsEnabled(app::IDC_START);
  }
  [[nodiscard]] std::string Log() const {
    std::string text;
    for (const ui::Event& event : host_.EventJournal().Events()) {
      if (event.kind == ui::EventKind::AppendText && event.id == app::IDC_LOG) text += event.text;
    }
    return text;
  }
  [[nodiscard]] std::vector<std::string> MessageBoxes() const { return host_.MessageBoxTexts(); }
  [[nodiscard]] std::uint64_t Progress() const { return dlg_->progressCount; }
  [[nodiscard]] const std::vector<std::string>& DiagnosticPorts() const {
    return diagnostics_.ports;
  }

  // The phone's flash at each image's address holds that image's file byte for byte.
  void ExpectImagesInFlash() {
    std::uint64_t total = 0;
    for (const auto& [kind, size] : Sizes()) {
      const ImageInfo& info = Catalogue(kind);
      std::ifstream file(dlg_.get()->*info.path, std::ios::binary);
      const std::vector<std::uint8_t> expected((std::istreambuf_iterator<char>(file)),
                                               std::istreambuf_iterator<char>());
      ASSERT_EQ(expected.size(), size);
      std::vector<std::uint8_t> flash(size);
      ASSERT_TRUE(phone_.Nand().ReadData(*info.address, flash));
      EXPECT_TRUE(flash == expected) << info.logName << (usb_ ? " (USB)" : " (UART)");
      total += size;
    }
    EXPECT_EQ(Progress(), total);
  }

 private:
  static sim::PhoneOptions PhoneOptionsFor(bool usb) {
    sim::PhoneOptions options;
    options.link = usb ? sim::LinkDialect::Usb : sim::LinkDialect::Uart;
    options.blockLength = 0x4000;
    return options;
  }
  // Small images, several blocks for the larger ones.
  static std::vector<std::pair<K, std::size_t>> Sizes() {
    return {{K::Apps, 70000}, {K::Comms, 40001}, {K::SysInd, 20000},
            {K::Patch, 9000}, {K::SysDep, 5000}, {K::Spinner, 3001}};
  }
  std::string MakeFile(const std::string& name, std::size_t size, unsigned seed) const {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 31 + seed * 7) >> 1);
    const auto path = (folder_ / name).string();
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(size));
    return path;
  }

  std::filesystem::path folder_;
  bool usb_;
  unsigned seed_;
  sim::VirtualPhone phone_;
  mutable ui::HeadlessHost host_;
  app::ProcessState state_;
  RecordingDiagnostics diagnostics_;
  std::unique_ptr<app::Settings> settings_;
  std::unique_ptr<app::DownloaderDlg> dlg_;
  std::unique_ptr<ui::HeadlessWindow> window_;
};

class TwoSessionsTest : public ::testing::Test {
 protected:
  TwoSessionsTest() {
    folder_ = std::filesystem::temp_directory_path() /
              ("veska_two_sessions_" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder_);
  }
  ~TwoSessionsTest() override { std::filesystem::remove_all(folder_); }

  std::filesystem::path folder_;
};

TEST_F(TwoSessionsTest, RunSideBySideAndEachPhoneHoldsItsOwnImages) {
  for (const bool secondUsb : {false, true}) {
    SCOPED_TRACE(secondUsb ? "UART and USB" : "two UART");
    const std::filesystem::path round = folder_ / (secondUsb ? "mixed" : "uart");
    Session first(round / "first", /*usb=*/false, 1);
    Session second(round / "second", secondUsb, 50);
    first.Open();
    second.Open();
    if (::testing::Test::HasFatalFailure()) return;

    first.PressStart();
    second.PressStart();
    first.Wait();
    second.Wait();
    ASSERT_TRUE(first.Connected()) << first.Log();
    ASSERT_TRUE(second.Connected()) << second.Log();

    first.PressDownload();
    second.PressDownload();
    first.Wait();
    second.Wait();

    for (Session* session : {&first, &second}) {
      const std::vector<std::string> boxes = session->MessageBoxes();
      ASSERT_FALSE(boxes.empty());
      EXPECT_EQ(boxes.back(), "Download Finished") << session->Log();
      EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "Download Finished"), 1);
      EXPECT_NE(session->Log().find("\n  * TOTAL Elapsed Time : "), std::string::npos);
      session->ExpectImagesInFlash();
      for (const std::string& port : session->DiagnosticPorts()) EXPECT_EQ(port, "COM1");
    }
  }
}

}  // namespace
}  // namespace veska::download
