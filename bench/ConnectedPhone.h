#pragma once

// The main dialog on a headless window, connected by START to a virtual phone, as a technician
// would have it before pressing an operation's button. Production time-outs are kept. The
// benchmarks against the virtual phone start from here.

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"
#include "app/Settings.h"
#include "app/Templates.h"
#include "sim/VirtualPhone.h"
#include "target/Connection.h"
#include "ui/HeadlessHost.h"

namespace veska::bench {

class ConnectedPhone {
 public:
  // `name` names the scratch folder; `baudIndex` is the selector's rate.
  ConnectedPhone(std::string_view name, bool usb, bool pace, int baudIndex)
      : folder_(std::filesystem::temp_directory_path() /
                (std::string(name) + "_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(folder_);
    host_.SetSleepScale(0);
    settings_ = std::make_unique<app::Settings>(folder_ / "VeskaDownloader.INI");

    sim::PhoneOptions options;
    options.link = usb ? sim::LinkDialect::Usb : sim::LinkDialect::Uart;
    options.pace = pace;
    // A USB phone gets no rate request: give its paced line the rate under test.
    options.usbRate = link::BaudRateForCode(link::kSelectorBaudCodes[baudIndex]);
    options.verbose = std::getenv("VESKA_PHONE_VERBOSE") != nullptr;
    phone_ = std::make_unique<sim::VirtualPhone>(options);
    if (phone_->Start() != 0) return;

    dlg_ = std::make_unique<app::DownloaderDlg>(host_, state_, *settings_);
    app::DlgOperations operations;
    target::AddOperations(operations);
    dlg_->SetOperations(operations);
    window_ = host_.Create(app::kMainDialogTemplate, *dlg_);
    state_.link.portPaths["COM1"] = phone_->SlavePath();
    window_->Click(usb ? app::IDC_USB : app::IDC_UART);
    window_->SelectItem(app::IDC_PORT, 0);
    window_->SelectItem(app::IDC_BAUD, baudIndex);
    dlg_->port.diagnostics = &quiet_;
    window_->Click(app::IDC_START);
    host_.JoinWorkers();
    connected_ = dlg_->connectStatus == target::CONNECT_OK;
  }
  ~ConnectedPhone() {
    host_.JoinWorkers();
    window_.reset();
    if (phone_) phone_->Stop();
    std::filesystem::remove_all(folder_);
  }
  ConnectedPhone(const ConnectedPhone&) = delete;
  ConnectedPhone& operator=(const ConnectedPhone&) = delete;

  [[nodiscard]] bool Connected() const { return connected_; }
  [[nodiscard]] const std::filesystem::path& Folder() const { return folder_; }
  [[nodiscard]] app::DownloaderDlg& Dialog() { return *dlg_; }
  [[nodiscard]] sim::VirtualPhone& Phone() { return *phone_; }

 private:
  class QuietDiagnostics final : public link::DiagnosticSink {
   public:
    void Diagnostic(std::string_view, std::string_view) override {}
  };

  std::filesystem::path folder_;
  ui::HeadlessHost host_;
  app::ProcessState state_;
  std::unique_ptr<app::Settings> settings_;
  std::unique_ptr<sim::VirtualPhone> phone_;
  std::unique_ptr<app::DownloaderDlg> dlg_;
  std::unique_ptr<ui::HeadlessWindow> window_;
  QuietDiagnostics quiet_;
  bool connected_ = false;
};

}  // namespace veska::bench
