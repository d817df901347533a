#include "target/Connection.h"

#include <chrono>
#include <optional>
#include <string>

#include "app/ControlIds.h"
#include "app/OperationRunner.h"
#include "app/Printf.h"
#include "link/BaudCodes.h"
#include "target/Loaders.h"

namespace veska::target {

using app::DownloaderDlg;
using app::Printf;
using link::PORT_OK;
using link::SerialPort;

namespace {

constexpr std::uint8_t kReadFactorBoot = 8;  // about 1600 empty reads while the phone is off
constexpr std::uint8_t kReadFactorAck = 1;
// A phone being switched on sends its boot signal among at most a few stray bytes, and answers
// the start signal at once. A stream this long without the awaited byte is no phone talking
// (a babbling line, a device that is no phone) and ends the wait: only silence would otherwise.
// The boot wait allows more, as it may collect the odd noise byte of a line whose phone is
// still off for many minutes.
constexpr unsigned kMaxBootNoise = 65536;
constexpr unsigned kMaxAckNoise = 4096;

// The handshake's waits are bounded by their factors only: the technician is still switching
// the phone on, and the reply time-out is for a phone that already answered.
bool ReadByte(SerialPort& port, std::uint8_t factor, std::uint8_t& byte,
              link::PortStatus* status = nullptr) {
  std::uint8_t received = 0;
  const link::PortStatus read =
      port.ReadFully(std::span(&received, 1), factor,
                     port.State().replyTimeoutBoundsHandshake ? SerialPort::Silence::ReplyBounded
                                                              : SerialPort::Silence::FactorOnly);
  if (status != nullptr) *status = read;
  if (read != PORT_OK) return false;
  byte = received;
  return true;
}

// Tells the dialog's hosts how long a wait for the phone has lasted: once as it begins, at each
// empty one-second read of the port, and once as it ends, however it ends.
class WaitReport final : public link::WaitSink {
 public:
  WaitReport(DownloaderDlg& dlg, SerialPort& port, std::string awaited)
      : dlg_(dlg), port_(port), wait_{std::move(awaited)}, start_(dlg.Host().TickCount()) {
    port_.waitTicks = this;
    dlg_.ReportWait(wait_);
  }
  ~WaitReport() override {
    port_.waitTicks = nullptr;
    wait_.ended = true;
    Update();
    dlg_.ReportWait(wait_);
  }
  WaitReport(const WaitReport&) = delete;
  WaitReport& operator=(const WaitReport&) = delete;

  void SilentRead() override {
    Update();
    dlg_.ReportWait(wait_);
  }

 private:
  void Update() { wait_.seconds = (dlg_.Host().TickCount() - start_) / 1000; }

  DownloaderDlg& dlg_;
  SerialPort& port_;
  app::PhoneWait wait_;
  std::uint64_t start_;
};

}  // namespace

std::uint8_t SelectedBaudCode(DownloaderDlg& dlg) {
  const int index = dlg.Wnd().GetCurSel(app::IDC_BAUD);
  if (index < 0 || index >= static_cast<int>(std::size(link::kSelectorBaudCodes))) return 0;
  return link::kSelectorBaudCodes[index];
}

void AddOperations(app::DlgOperations& operations) {
  operations.start = OnStart;
}

app::OperationResult ConnectResult(ConnectStatus status, bool flashChecksFailed,
                                   const app::FlashReport& flash) {
  if (status == CONNECT_OK && flashChecksFailed) {
    return app::OperationResult::Ended(
        app::OperationId::Start, app::Outcome::Failed, CONNECT_FLASH_CHECKS_FAILED,
        std::string(flash.badBlockListTooLong ? kBadBlockListTooLong : kFlashChecksUnanswered));
  }
  if (status == CONNECT_OK)
    return app::OperationResult::Ended(app::OperationId::Start, app::Outcome::Connected);
  return app::OperationResult::Ended(app::OperationId::Start, app::Outcome::Failed, status);
}

void OnStart(DownloaderDlg& dlg) {
  dlg.EnterBusyState();
  dlg.UpdateData(true);
  if (dlg.linkType == 0) dlg.State().link.linkMode = link::LINK_UART;
  if (dlg.linkType == 1) dlg.State().link.linkMode = link::LINK_USB;
  if (dlg.linkType == -1) {
    static constexpr std::string_view kNoLink =
        "Select a comm type by USB or by UART.\r\nTry again!!";
    dlg.Host().MessageBox(&dlg.Wnd(), kNoLink);
    dlg.EnterIdleState();
    dlg.Runner().Report(app::OperationResult::Ended(app::OperationId::Start, app::Outcome::Refused,
                                                    0, std::string(kNoLink)));
    return;
  }
  dlg.Wnd().Enable(app::IDC_UART, false);
  dlg.Wnd().Enable(app::IDC_USB, false);
  dlg.Runner().StartWorker(app::OperationId::Start, [&dlg] {
    ConnectThread(dlg);
    return ConnectResult(static_cast<ConnectStatus>(dlg.connectStatus), dlg.flashChecksFailed,
                         dlg.flashReport);
  });
}

int ConnectThread(DownloaderDlg& dlg) {
  dlg.flashChecksFailed = false;
  dlg.AppendLog("\n  * Connecting to target phone");
  dlg.AppendLog(Printf("\n     Try to open %s\t>", dlg.PortName().c_str()));
  const ConnectStatus status = Handshake(dlg);
  dlg.connectStatus = status;
  ReportConnectStatus(dlg, status);
  return 1;
}

std::uint8_t PreparePortRecord(DownloaderDlg& dlg) {
  SerialPort& port = dlg.port;
  port.portName = dlg.PortName();
  port.baudCode = SelectedBaudCode(dlg);
  dlg.State().KeepSharedPort(port.CopyRecord());
  return port.baudCode;
}

namespace {

// The handshake's steps, one function each; each returns the step that follows.
enum class Step { Listen, Send, AckFailed, Loaders, Connected, End };

// What the steps share while one handshake runs.
struct HandshakeRun {
  DownloaderDlg& dlg;
  SerialPort& port;
  app::ProcessState& state;
  bool usb = false;
  std::uint8_t chosenCode = 0;
  std::uint8_t startByte = 0;
  std::uint8_t ack = 0xFF;
  link::PortStatus ackRead = PORT_OK;  // how the last read of the acknowledgement wait ended
  ConnectStatus status = CONNECT_OK;
};

// Waits for the boot signal of a phone being switched on.
Step Listen(HandshakeRun& run) {
  const WaitReport waiting(run.dlg, run.port, "the BOOT signal");
  std::uint8_t last = 0xFF;
  bool anyCode = false;  // a byte other than the zero bytes of line noise came
  for (unsigned stray = 0;; ++stray) {
    if (stray == kMaxBootNoise) {
      run.dlg.AppendLog("FAIL\n");
      run.dlg.AppendLog(Printf("      (%u bytes came, none of them the BOOT signal)\n", stray));
      run.status = anyCode ? CONNECT_WRONG_CHAR : CONNECT_TIMEOUT;
      return Step::End;
    }
    if (!ReadByte(run.port, kReadFactorBoot, last)) {
      if (last == 0xFF) {
        run.dlg.AppendLog("FAIL\n");
        run.dlg.AppendLog("      (Check Comport connection & Bootloader existence)\n");
        run.status = CONNECT_TIMEOUT;
      } else {
        run.status = CONNECT_WRONG_CHAR;
        run.dlg.AppendLog(Printf("Wrong code! 0x%x has come.", last));
      }
      return Step::End;
    }
    if (last == BOOT_SIGNAL) {
      run.dlg.AppendLog("OK\n");
      run.startByte = START_UART;
      return Step::Send;
    }
    if (last == BOOT_SIGNAL_RETRY) {
      run.dlg.AppendLog("OK\n");
      run.startByte = BOOT_SIGNAL_RETRY;
      run.state.bootRetryAllowed = true;
      return Step::Send;
    }
    if (last == BOOT_IDLE) {
      last = 0xFF;  // zero bytes are line noise, never a wrong code
    } else {
      anyCode = true;
    }
  }
}

// Sends the start signal and waits for its acknowledgement.
Step Send(HandshakeRun& run) {
  DownloaderDlg& dlg = run.dlg;
  dlg.AppendLog("      Send the Download start signal\t\t> > > ");
  std::size_t put = 0;
  if (run.port.WriteSome(std::span(&run.startByte, 1), put) != PORT_OK || put != 1) {
    dlg.AppendLog("FAIL\n");
    run.status = CONNECT_COMM_ERROR;
    return Step::End;
  }
  dlg.AppendLog("OK\n");
  run.ack = 0xFF;
  dlg.AppendLog("      Listen for the Download start ACK signal\t> > > ");
  // On the USB link this is the wait for a phone still switched off; on the UART link the
  // phone has just sent its boot signal and answers at once.
  std::optional<WaitReport> waiting;
  if (run.usb) waiting.emplace(dlg, run.port, "the Download start ACK signal");
  for (unsigned stray = 1; ReadByte(run.port, kReadFactorAck, run.ack, &run.ackRead); ++stray) {
    if (run.usb && run.ack == START_USB) {
      // USB: the boot ROM itself takes the images; no loader is sent.
      run.port.Close();
      run.port.baudCode = run.chosenCode;
      dlg.AppendLog("OK\n\n      USB Download Mode\t> > > ");
      dlg.Wnd().SetText(app::IDC_FLASH_ID, "Connect");
      return Step::Connected;
    }
    if (!run.usb && (run.ack == START_UART || run.ack == BOOT_SIGNAL_RETRY)) {
      dlg.AppendLog("OK\n");
      dlg.Wnd().SetText(app::IDC_FLASH_ID, "Connect");
      dlg.Host().Sleep(std::chrono::milliseconds(200));
      return Step::Loaders;
    }
    if (stray == kMaxAckNoise) {
      dlg.AppendLog(Printf("FAIL\n      (%u bytes came, none of them the ACK signal)\n", stray));
      run.status = CONNECT_WRONG_CHAR;
      return Step::End;
    }
  }
  return Step::AckFailed;
}

// No acknowledgement, or a byte that is none: time-out, wrong byte, or the one retry.
Step AckFailed(HandshakeRun& run) {
  if (run.ack == 0xFF) {
    // A line that failed (a pulled cable, a USB phone switched off) is no silent phone; after a
    // Disconnect, which closes the line on purpose, the narration stays as it always was.
    if (run.ackRead == link::PORT_IO_ERROR && run.state.link.openAllowed.load()) {
      run.dlg.AppendLog("Line lost\n");
      run.status = CONNECT_COMM_ERROR;
      return Step::End;
    }
    run.dlg.AppendLog("Timeout\n");
    run.status = CONNECT_TIMEOUT;
    return Step::End;
  }
  if (run.ack == START_UART || run.ack == BOOT_SIGNAL_RETRY) {
    return Step::Loaders;  // only on the USB link, where these bytes were skipped
  }
  if (!run.state.bootRetryAllowed) {
    run.status = CONNECT_WRONG_CHAR;
    return Step::End;
  }
  run.state.bootRetryAllowed = false;
  run.dlg.AppendLog("Try again\n");
  if (run.ack == BOOT_SIGNAL) {
    run.startByte = START_UART;
    return Step::Send;
  }
  run.dlg.AppendLog("      Listen for the BOOT signal\t\t\t> > > ");
  return Step::Listen;
}

// The UART link: the loaders, the rate switch and the flash checks.
Step Loaders(HandshakeRun& run) {
  if (UploadLoaders(run.dlg, run.port, LOADER_NAND_FLASH_DRIVER) != PORT_OK) {
    run.dlg.AppendLog("\n      Loader download fail!\n ");
    run.status = CONNECT_LOADER_FAILED;
    return Step::End;
  }
  run.dlg.AppendLog("OK\n");
  run.dlg.AppendLog("\n     UART Download Mode\t> > > ");
  return Step::Connected;
}

}  // namespace

ConnectStatus Handshake(DownloaderDlg& dlg) {
  dlg.EnterBusyState();
  if (dlg.portIndex == -1 && dlg.Wnd().GetCurSel(app::IDC_BAUD) == 0) return CONNECT_INVALID_ENV;

  HandshakeRun run{dlg, dlg.port, dlg.State()};
  run.usb = run.state.link.linkMode == link::LINK_USB;
  run.chosenCode = PreparePortRecord(dlg);

  Step step = Step::End;
  if (!link::IsSelectorBaudCode(run.chosenCode)) {
    run.status = CONNECT_BAD_BAUD;
  } else {
    // The handshake always runs at 115200 bit/s; the loader switches to the chosen rate later.
    run.port.baudCode = link::BAUDCODE_115200;
    if (link::OpenForLinkMode(run.port) != PORT_OK) {
      dlg.AppendLog(" Fail\n");
      return CONNECT_COMM_ERROR;
    }
    dlg.AppendLog("Success!!\n");
    if (run.usb) {
      run.startByte = START_USB;
      step = Step::Send;
    } else {
      dlg.AppendLog("\n   - Turn on the target phone immediately!!!!\n");
      dlg.AppendLog("      Listen for the BOOT signal\t\t\t> > > ");
      step = Step::Listen;
    }
  }

  for (;;) {
    switch (step) {
      case Step::Listen:
        step = Listen(run);
        break;
      case Step::Send:
        step = Send(run);
        break;
      case Step::AckFailed:
        step = AckFailed(run);
        break;
      case Step::Loaders:
        step = Loaders(run);
        break;
      case Step::Connected:
        return CONNECT_OK;
      case Step::End:
        dlg.EnterIdleState();
        run.port.Close();
        return run.status;
    }
  }
}

void ReportConnectStatus(DownloaderDlg& dlg, ConnectStatus status) {
  if (!dlg.State().link.openAllowed) {
    // Disconnect ended the connection: the failure it caused is no news to the user.
    dlg.EnterIdleState();
    return;
  }
  const char* text = nullptr;
  switch (status) {
    case CONNECT_OK:
      dlg.AppendLog("Available\n\n");
      dlg.EnterConnectedState();
      return;
    case CONNECT_TIMEOUT:
      text = "Timeout : No Response at the target phone";
      break;
    case CONNECT_BAD_BAUD:
      text = "Wrong BaudRate";
      break;
    case CONNECT_COMM_ERROR:
      text = "Comm Error";
      break;
    case CONNECT_WRONG_CHAR:
      text = "Received Wrong Char from MS";
      break;
    case CONNECT_INVALID_ENV:
      text = "Invalid Env";
      break;
    case CONNECT_LOADER_FAILED:
      text = "Downloading loader fail";
      break;
    case CONNECT_FLASH_CHECKS_FAILED:
      return;  // a result only: the handshake itself ended with CONNECT_OK
  }
  if (text == nullptr) return;
  dlg.Host().MessageBox(&dlg.Wnd(), text, "Failure", ui::MB_OK);
  dlg.EnterIdleState();
}

}  // namespace veska::target
