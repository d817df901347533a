#include "target/Connection.h"

#include <chrono>
#include <optional>
#include <string>

#include "app/Printf.h"
#include "link/BaudCodes.h"
#include "target/Loaders.h"

namespace veska::target {

using app::EngineContext;
using app::Printf;
using app::WindowState;
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
  WaitReport(const EngineContext& engine, std::string awaited)
      : engine_(engine), wait_{std::move(awaited)}, start_(engine.clock.TickCount()) {
    engine_.port.waitTicks = this;
    engine_.narrator.ReportWait(wait_);
  }
  ~WaitReport() override {
    engine_.port.waitTicks = nullptr;
    wait_.ended = true;
    Update();
    engine_.narrator.ReportWait(wait_);
  }
  WaitReport(const WaitReport&) = delete;
  WaitReport& operator=(const WaitReport&) = delete;

  void SilentRead() override {
    Update();
    engine_.narrator.ReportWait(wait_);
  }

  // What was awaited came: the phone is there (told as the wait ends).
  void Answered() { wait_.answered = true; }

 private:
  void Update() { wait_.seconds = (engine_.clock.TickCount() - start_) / 1000; }

  const EngineContext& engine_;
  app::PhoneWait wait_;
  std::uint64_t start_;
};

}  // namespace

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

std::uint8_t PreparePortRecord(link::SerialPort& port, app::ProcessState& session,
                               const std::string& portName, std::uint8_t chosenBaudCode) {
  port.portName = portName;
  port.baudCode = chosenBaudCode;
  session.KeepSharedPort(port.CopyRecord());
  return port.baudCode;
}

namespace {

// The handshake's steps, one function each; each returns the step that follows.
enum class Step { Listen, Send, AckFailed, Loaders, Connected, End };

// What the steps share while one handshake runs.
struct HandshakeRun {
  const EngineContext& engine;
  app::Narrator& narrator;
  SerialPort& port;
  app::ProcessState& state;
  bool usb = false;
  std::uint8_t chosenCode = 0;
  std::uint8_t startByte = 0;
  std::uint8_t ack = 0xFF;
  link::PortStatus ackRead = PORT_OK;  // how the last read of the acknowledgement wait ended
  ConnectStatus status = CONNECT_OK;
  FlashChecks checks{};
};

// Waits for the boot signal of a phone being switched on.
Step Listen(HandshakeRun& run) {
  WaitReport waiting(run.engine, "the BOOT signal");
  std::uint8_t last = 0xFF;
  bool anyCode = false;  // a byte other than the zero bytes of line noise came
  for (unsigned stray = 0;; ++stray) {
    if (stray == kMaxBootNoise) {
      run.narrator.Log("FAIL\n");
      run.narrator.Log(Printf("      (%u bytes came, none of them the BOOT signal)\n", stray));
      run.status = anyCode ? CONNECT_WRONG_CHAR : CONNECT_TIMEOUT;
      if (anyCode) run.engine.NoteRefusal(last);
      return Step::End;
    }
    link::PortStatus read = PORT_OK;
    if (!ReadByte(run.port, kReadFactorBoot, last, &read)) {
      if (last == 0xFF) {
        run.narrator.Log("FAIL\n");
        run.narrator.Log("      (Check Comport connection & Bootloader existence)\n");
        run.status = CONNECT_TIMEOUT;
        run.engine.NoteSilence(read, "the BOOT signal");
      } else {
        run.status = CONNECT_WRONG_CHAR;
        run.narrator.Log(Printf("Wrong code! 0x%x has come.", last));
        run.engine.NoteRefusal(last);
      }
      return Step::End;
    }
    if (last == BOOT_SIGNAL) {
      waiting.Answered();
      run.narrator.Log("OK\n");
      run.startByte = START_UART;
      return Step::Send;
    }
    if (last == BOOT_SIGNAL_RETRY) {
      waiting.Answered();
      run.narrator.Log("OK\n");
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
  app::Narrator& narrator = run.narrator;
  narrator.Log("      Send the Download start signal\t\t> > > ");
  std::size_t put = 0;
  if (run.port.WriteSome(std::span(&run.startByte, 1), put) != PORT_OK || put != 1) {
    narrator.Log("FAIL\n");
    run.status = CONNECT_COMM_ERROR;
    return Step::End;
  }
  narrator.Log("OK\n");
  run.ack = 0xFF;
  narrator.Log("      Listen for the Download start ACK signal\t> > > ");
  // On the USB link this is the wait for a phone still switched off; on the UART link the
  // phone has just sent its boot signal and answers at once.
  std::optional<WaitReport> waiting;
  if (run.usb) waiting.emplace(run.engine, "the Download start ACK signal");
  for (unsigned stray = 1; ReadByte(run.port, kReadFactorAck, run.ack, &run.ackRead); ++stray) {
    if (run.usb && run.ack == START_USB) {
      waiting->Answered();
      // USB: the boot ROM itself takes the images; no loader is sent.
      run.port.Close();
      run.port.baudCode = run.chosenCode;
      narrator.Log("OK\n\n      USB Download Mode\t> > > ");
      narrator.PhoneAnswered();
      return Step::Connected;
    }
    if (!run.usb && (run.ack == START_UART || run.ack == BOOT_SIGNAL_RETRY)) {
      narrator.Log("OK\n");
      narrator.PhoneAnswered();
      run.engine.clock.Sleep(std::chrono::milliseconds(200));
      return Step::Loaders;
    }
    if (stray == kMaxAckNoise) {
      narrator.Log(Printf("FAIL\n      (%u bytes came, none of them the ACK signal)\n", stray));
      run.status = CONNECT_WRONG_CHAR;
      run.engine.NoteRefusal(run.ack);
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
      run.narrator.Log("Line lost\n");
      run.status = CONNECT_COMM_ERROR;
      return Step::End;
    }
    run.narrator.Log("Timeout\n");
    run.status = CONNECT_TIMEOUT;
    run.engine.NoteSilence(run.ackRead, "the Download start ACK signal");
    return Step::End;
  }
  if (run.ack == START_UART || run.ack == BOOT_SIGNAL_RETRY) {
    return Step::Loaders;  // only on the USB link, where these bytes were skipped
  }
  if (!run.state.bootRetryAllowed) {
    run.status = CONNECT_WRONG_CHAR;
    run.engine.NoteRefusal(run.ack);
    return Step::End;
  }
  run.state.bootRetryAllowed = false;
  run.narrator.Log("Try again\n");
  if (run.ack == BOOT_SIGNAL) {
    run.startByte = START_UART;
    return Step::Send;
  }
  run.narrator.Log("      Listen for the BOOT signal\t\t\t> > > ");
  return Step::Listen;
}

// The UART link: the loaders, the rate switch and the flash checks.
Step Loaders(HandshakeRun& run) {
  const LoaderInputs loaders{run.state.payloads, LOADER_NAND_FLASH_DRIVER, run.chosenCode};
  if (UploadLoaders(run.engine, loaders, run.checks) != PORT_OK) {
    run.narrator.Log("\n      Loader download fail!\n ");
    run.status = CONNECT_LOADER_FAILED;
    return Step::End;
  }
  run.narrator.Log("OK\n");
  run.narrator.Log("\n     UART Download Mode\t> > > ");
  return Step::Connected;
}

}  // namespace

ConnectStatus Handshake(const EngineContext& engine, app::ProcessState& session,
                        const ConnectInputs& inputs, FlashChecks& checks) {
  app::Narrator& narrator = engine.narrator;
  narrator.Enter(WindowState::Busy);
  if (!inputs.environmentValid) return CONNECT_INVALID_ENV;

  HandshakeRun run{engine, narrator, engine.port, session};
  run.usb = engine.Usb();
  run.chosenCode = PreparePortRecord(engine.port, session, inputs.portName, inputs.chosenBaudCode);

  Step step = Step::End;
  if (!link::IsSelectorBaudCode(run.chosenCode)) {
    run.status = CONNECT_BAD_BAUD;
  } else {
    // The handshake always runs at 115200 bit/s; the loader switches to the chosen rate later.
    run.port.baudCode = link::BAUDCODE_115200;
    if (link::OpenForLinkMode(run.port) != PORT_OK) {
      narrator.Log(" Fail\n");
      return CONNECT_COMM_ERROR;
    }
    narrator.Log("Success!!\n");
    if (run.usb) {
      run.startByte = START_USB;
      step = Step::Send;
    } else {
      narrator.Log("\n   - Turn on the target phone immediately!!!!\n");
      narrator.Log("      Listen for the BOOT signal\t\t\t> > > ");
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
        checks = run.checks;
        return CONNECT_OK;
      case Step::End:
        checks = run.checks;
        narrator.Enter(WindowState::Idle);
        run.port.Close();
        return run.status;
    }
  }
}

void ReportConnectStatus(const EngineContext& engine, ConnectStatus status) {
  app::Narrator& narrator = engine.narrator;
  if (!engine.Allowed()) {
    // Disconnect ended the connection: the failure it caused is no news to the user.
    narrator.Enter(WindowState::Idle);
    return;
  }
  const char* text = nullptr;
  switch (status) {
    case CONNECT_OK:
      narrator.Log("Available\n\n");
      narrator.Enter(WindowState::Connected);
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
  narrator.Message(text, "Failure", ui::MB_OK);
  narrator.Enter(WindowState::Idle);
}

ConnectOutcome Connect(const EngineContext& engine, app::ProcessState& session,
                       const ConnectInputs& inputs) {
  engine.narrator.Log("\n  * Connecting to target phone");
  engine.narrator.Log(Printf("\n     Try to open %s\t>", inputs.portName.c_str()));
  ConnectOutcome outcome;
  outcome.status = Handshake(engine, session, inputs, outcome.checks);
  ReportConnectStatus(engine, outcome.status);
  return outcome;
}

app::OperationResult ConnectOutcome::Result() const {
  return ConnectResult(status, checks.failed, checks.report);
}

}  // namespace veska::target
