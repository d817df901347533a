#pragma once

// A port connected by START's handshake to a virtual phone, with a narrator that keeps quiet:
// what the engines need, and nothing of a window. Production time-outs are kept. The
// benchmarks against the virtual phone start from here.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "app/Engine.h"
#include "app/ProcessState.h"
#include "link/BaudCodes.h"
#include "sim/VirtualPhone.h"
#include "target/Connection.h"

namespace veska::bench {

using app::QuietNarrator;

class ConnectedPhone {
 public:
  // `name` names the scratch folder; `baudIndex` is the selector's rate.
  ConnectedPhone(std::string_view name, bool usb, bool pace, int baudIndex)
      : folder_(std::filesystem::temp_directory_path() /
                (std::string(name) + "_" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(folder_);
    const std::uint8_t baudCode = link::kSelectorBaudCodes[baudIndex];
    sim::PhoneOptions options;
    options.link = usb ? sim::LinkDialect::Usb : sim::LinkDialect::Uart;
    options.pace = pace;
    // A USB phone gets no rate request: give its paced line the rate under test.
    options.usbRate = link::BaudRateForCode(baudCode);
    options.verbose = std::getenv("VESKA_PHONE_VERBOSE") != nullptr;
    phone_ = std::make_unique<sim::VirtualPhone>(options);
    if (phone_->Start() != 0) return;

    session_.link.linkMode = usb ? link::LINK_USB : link::LINK_UART;
    port_.diagnostics = &quiet_;
    const target::ConnectOutcome outcome =
        target::Connect(Engine(), session_, {phone_->SlavePath(), baudCode, true});
    connected_ = outcome.status == target::CONNECT_OK;
  }
  ~ConnectedPhone() {
    if (phone_) phone_->Stop();
    std::filesystem::remove_all(folder_);
  }
  ConnectedPhone(const ConnectedPhone&) = delete;
  ConnectedPhone& operator=(const ConnectedPhone&) = delete;

  [[nodiscard]] bool Connected() const { return connected_; }
  [[nodiscard]] const std::filesystem::path& Folder() const { return folder_; }
  [[nodiscard]] app::EngineContext Engine() { return {port_, narrator_, narrator_, causes_}; }
  [[nodiscard]] sim::VirtualPhone& Phone() { return *phone_; }

 private:
  class QuietDiagnostics final : public link::DiagnosticSink {
   public:
    void Diagnostic(std::string_view, std::string_view) override {}
  };

  std::filesystem::path folder_;
  app::ProcessState session_;
  link::SerialPort port_{session_.link};
  QuietNarrator narrator_;
  app::CauseRecorder causes_;
  QuietDiagnostics quiet_;
  std::unique_ptr<sim::VirtualPhone> phone_;
  bool connected_ = false;
};

}  // namespace veska::bench
