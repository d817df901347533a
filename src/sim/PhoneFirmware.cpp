#include "sim/PhoneFirmware.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "link/BlockSum.h"
#include "sim/ByteOrder.h"
#include "sim/Exchange.h"
#include "sim/FileSystemServiceCodes.h"
#include "sim/PhoneCodes.h"

namespace veska::sim {

namespace {

constexpr auto kForever = std::chrono::hours(24);
// After a violation with haltOnViolation clear: how long the line must be quiet before the
// driver trusts the next byte to be a command.
constexpr auto kResyncQuiet = std::chrono::milliseconds(200);
// A UART block whose sum keeps failing is given up after this many tries.
constexpr int kMaxBlockTries = 3;

std::string Hex(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", byte);
  return text;
}

bool IsFileSystemCode(std::uint8_t code) {
  static constexpr std::uint8_t kCodes[] = {0xE0, 0xDA, 0xC9, 0xC4, 0xDB, 0xE3, 0xF5, 0xF6, 0xDD,
                                            0xFE, 0xC5, 0xE4, 0xE5, 0xEE, 0xE8, 0xEA, 0xF0};
  return std::find(std::begin(kCodes), std::end(kCodes), code) != std::end(kCodes);
}

}  // namespace

const char* PhoneStateName(PhoneState state) {
  switch (state) {
    case PhoneState::PoweredOff:
      return "powered off";
    case PhoneState::UsbDetached:
      return "USB detached";
    case PhoneState::BootRom:
      return "boot ROM";
    case PhoneState::Loading:
      return "loader reception";
    case PhoneState::Driver:
      return "driver";
    case PhoneState::Halted:
      return "halted";
    case PhoneState::Dropped:
      return "line dropped";
  }
  return "?";
}

PhoneFirmware::PhoneFirmware(const PhoneOptions& options, PhoneLine& line, NandModel& nand,
                             EventRecord& events, std::shared_ptr<FileSystemService> fileSystem,
                             std::function<void(bool)> deviceHook)
    : options_(options),
      line_(line),
      nand_(nand),
      events_(events),
      fileSystem_(std::move(fileSystem)),
      deviceHook_(std::move(deviceHook)),
      faults_(options.faults) {}

// ---------------------------------------------------------------------------------------------
// Life cycle

void PhoneFirmware::Run(std::stop_token stop) {
  line_.SetPacing(options_.pace);
  line_.SetAdapter(options_.adapter);
  if (options_.poweredOnAtStart) PowerUp();
  while (!stop.stop_requested()) {
    if (line_.Interrupted()) {
      HandlePending();
      continue;
    }
    Outcome outcome = Outcome::Done;
    switch (State()) {
      case PhoneState::PoweredOff:
      case PhoneState::Dropped:
        (void)line_.Pause(kForever);
        break;
      case PhoneState::Halted:
        if (line_.DrainUntilQuiet(kForever) == IoResult::Closed) outcome = Outcome::LineDropped;
        break;
      case PhoneState::UsbDetached:
        if (line_.Pause(options_.usbAppearDelay) == IoResult::Ok) {
          usbAttached_ = true;
          if (deviceHook_) deviceHook_(true);
          Record(EventKind::UsbAttached);
          SetState(PhoneState::BootRom);
        }
        break;
      case PhoneState::BootRom:
        outcome = options_.link == LinkDialect::Usb ? RunUsbBootRom() : RunBootRom();
        break;
      case PhoneState::Loading:  // left only through ReceiveLoaders
        SetState(PhoneState::Halted);
        break;
      case PhoneState::Driver:
        outcome = usbSession_ != UsbSession::None ? RunUsbSession() : RunDriverCommand();
        break;
    }
    Settle(outcome);
  }
  if (usbAttached_ && deviceHook_) deviceHook_(false);
}

void PhoneFirmware::RequestPower(bool on) {
  {
    std::lock_guard lock(mutex_);
    powerRequest_ = on;
  }
  line_.Interrupt();
}

void PhoneFirmware::InjectFault(const Fault& fault) {
  std::lock_guard lock(mutex_);
  faults_.push_back(fault);
}

PhoneState PhoneFirmware::State() const {
  std::lock_guard lock(mutex_);
  return state_;
}

bool PhoneFirmware::WaitForState(PhoneState state, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return stateChanged_.wait_for(lock, timeout, [&] { return state_ == state; });
}

void PhoneFirmware::SetState(PhoneState state) {
  {
    std::lock_guard lock(mutex_);
    state_ = state;
  }
  stateChanged_.notify_all();
}

void PhoneFirmware::HandlePending() {
  line_.ClearInterrupt();
  std::optional<bool> request;
  {
    std::lock_guard lock(mutex_);
    request = std::exchange(powerRequest_, std::nullopt);
  }
  if (!request) return;                        // shutdown: the loop condition ends the run
  if (State() == PhoneState::Dropped) return;  // nothing comes back over a pulled cable
  if (State() != PhoneState::PoweredOff) PowerDown();
  if (*request) PowerUp();
}

void PhoneFirmware::PowerUp() {
  Record(EventKind::PowerOn);
  line_.SetRate(options_.link == LinkDialect::Usb && options_.usbRate != 0
                    ? options_.usbRate
                    : RateForCode(RATE_115200));
  signalling_ = true;
  preludePending_ = !options_.bootPrelude.empty();
  bootSignalMuted_ = false;
  bootSignalOverride_.reset();
  usbSession_ = UsbSession::None;
  if (fileSystem_) fileSystem_->Reset();
  if (options_.link == LinkDialect::Usb) {
    SetState(PhoneState::UsbDetached);
  } else {
    SetState(PhoneState::BootRom);
  }
}

void PhoneFirmware::PowerDown() {
  Record(EventKind::PowerOff);
  if (usbAttached_) {
    usbAttached_ = false;
    if (deviceHook_) deviceHook_(false);
  }
  // Whatever the PC sent to a switched-off phone is lost.
  (void)line_.DrainUntilQuiet(std::chrono::milliseconds(0));
  SetState(PhoneState::PoweredOff);
}

void PhoneFirmware::Settle(Outcome outcome) {
  switch (outcome) {
    case Outcome::Done:
    case Outcome::Silenced:
    case Outcome::PeerSilent:
    case Outcome::Interrupted:
      break;
    case Outcome::Violation:
      usbSession_ = UsbSession::None;
      if (options_.haltOnViolation) {
        SetState(PhoneState::Halted);
      } else if (line_.DrainUntilQuiet(kResyncQuiet) == IoResult::Closed) {
        Settle(Outcome::LineDropped);
      }
      break;
    case Outcome::LineDropped:
      if (State() != PhoneState::Dropped) {
        Record(EventKind::LineDropped);
        line_.Drop();
        if (usbAttached_) {
          usbAttached_ = false;
          if (deviceHook_) deviceHook_(false);
        }
        SetState(PhoneState::Dropped);
      }
      break;
  }
}

// ---------------------------------------------------------------------------------------------
// Boot ROM

PhoneFirmware::Outcome PhoneFirmware::RunBootRom() {
  if (signalling_) {
    if (preludePending_) {
      preludePending_ = false;
      line_.Offer(options_.bootPrelude);
    }
    if (auto fault = TakeFault(FaultStep::BootSignal)) {
      // A boot-signal fault lasts until the next power-on: the signal is repeated, so a single
      // altered signal would go unnoticed.
      switch (fault->kind) {
        case FaultKind::Silence:
          bootSignalMuted_ = true;
          break;
        case FaultKind::WrongByte:
          bootSignalOverride_ = fault->value;
          break;
        case FaultKind::StrayBytes:
          line_.Offer(fault->bytes);
          break;
        case FaultKind::LineDrop:
          return DropLine();
        default:
          break;
      }
    }
    if (!bootSignalMuted_) {
      std::uint8_t signal = bootSignalOverride_.value_or(options_.bootSignal);
      line_.Offer(std::span(&signal, 1));
    }
  }
  const IoResult waited =
      line_.WaitInput(signalling_ ? std::optional(options_.bootSignalPeriod) : std::nullopt);
  // Nothing within the period: signal again.
  if (waited != IoResult::Ok) return OutcomeOf(waited, Outcome::Done, Outcome::Done);
  std::uint8_t byte = 0;
  if (Outcome o = ExpectByte(byte, "boot ROM"); o != Outcome::Done) return o;

  const bool accepted = byte == START_AFTER_BOOT ||
                        (byte == START_AFTER_RETRY && options_.bootSignal == BOOT_SIGNAL_RETRY);
  if (accepted) {
    // Once a start byte came the ROM stops signalling: with the 0x77 variant a further signal
    // would read as an acknowledgement on the PC's side.
    signalling_ = false;
    const std::uint8_t ack = byte;
    std::optional<FaultKind> fired;
    Outcome answered =
        Answer(FaultStep::StartAck, std::span(&ack, 1), "start acknowledgement", &fired);
    // Silence or a wrong acknowledgement: the ROM did not take the start byte and is still
    // waiting for one (the PC's retry after the 0x77 variant).
    if (answered == Outcome::Silenced) return Outcome::Done;
    if (answered == Outcome::Done && fired == FaultKind::WrongByte) return Outcome::Done;
    if (answered != Outcome::Done) return answered;
    Record(EventKind::StartByte, byte);
    return ReceiveLoaders(std::nullopt);
  }
  if (byte == PRELOADER_STAGE1.word1[0]) {
    // No handshake: the PC pushes the preloader straight away (bootloader download).
    signalling_ = false;
    Record(EventKind::StartByte, byte, 0, 0, 0, "preloader without handshake");
    return ReceiveLoaders(byte);
  }
  // The ROM ignores noise and keeps waiting, but the strict peer still reports it.
  Record(EventKind::Violation, byte, 0, 0, 0,
         "unexpected byte " + Hex(byte) + " in state boot ROM (ignored)");
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::RunUsbBootRom() {
  std::uint8_t byte = 0;
  bool got = false;
  if (Outcome o = AwaitByte(byte, got); !got) return o;
  if (byte != USB_START) {
    Record(EventKind::Violation, byte, 0, 0, 0,
           "unexpected byte " + Hex(byte) + " in state USB boot ROM (ignored)");
    return Outcome::Done;
  }
  const std::uint8_t ack = USB_START;
  Outcome answered = Answer(FaultStep::StartAck, std::span(&ack, 1), "USB start acknowledgement");
  if (answered == Outcome::Silenced) return Outcome::Done;
  if (answered != Outcome::Done) return answered;
  Record(EventKind::StartByte, byte);
  // The USB boot ROM serves the driver's commands itself; nothing is uploaded.
  SetState(PhoneState::Driver);
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::ReceivePayload(std::span<std::uint8_t> payload,
                                                     std::optional<std::uint8_t> firstByte,
                                                     const char* what) {
  std::size_t at = 0;
  if (firstByte) payload[at++] = *firstByte;
  return Expect(payload.subspan(at), what);
}

PhoneFirmware::Outcome PhoneFirmware::ReceiveLoaders(std::optional<std::uint8_t> firstByte) {
  SetState(PhoneState::Loading);
  // Anything that goes wrong while loading leaves the phone hung, as a half-loaded phone is.
  auto fail = [this](Outcome o) {
    if (o == Outcome::Interrupted || o == Outcome::LineDropped) return o;
    SetState(PhoneState::Halted);
    return o == Outcome::Violation ? Outcome::Violation : Outcome::Done;
  };
  auto headerMatches = [](std::span<const std::uint8_t> bytes, const LoaderShape& shape) {
    return std::equal(std::begin(shape.word1), std::end(shape.word1), bytes.begin()) &&
           GetBe32(bytes.subspan(4, 4)) == shape.count;
  };

  for (const LoaderShape* shape : {&PRELOADER_STAGE1, &PRELOADER_STAGE2}) {
    std::vector<std::uint8_t> payload(shape->size);
    if (Outcome o = ReceivePayload(payload, firstByte, shape->name); o != Outcome::Done) {
      return fail(o);
    }
    firstByte.reset();
    if (!headerMatches(payload, *shape)) {
      return fail(Refuse(std::string("bad header of ") + shape->name));
    }
    Record(EventKind::LoaderReceived, 0, 0, payload.size(), 0, shape->name);
  }

  std::array<std::uint8_t, LOADER_HEADER_SIZE> header{};
  if (Outcome o = Expect(header, "driver header"); o != Outcome::Done) return fail(o);
  const LoaderShape* driver = nullptr;
  for (const LoaderShape* shape : {&NAND_FLASH_DRIVER, &BOOTLOADER_DRIVER}) {
    if (headerMatches(header, *shape)) driver = shape;
  }
  if (driver == nullptr) return fail(Refuse("driver header matches no known driver"));
  std::vector<std::uint8_t> body(driver->size - LOADER_HEADER_SIZE);
  if (Outcome o = Expect(body, driver->name); o != Outcome::Done) return fail(o);
  Record(EventKind::LoaderReceived, 0, 0, driver->size, 0, driver->name);

  const std::uint8_t ready = DRIVER_READY;
  if (Outcome o = Answer(FaultStep::ReadyByte, std::span(&ready, 1), "ready byte");
      o != Outcome::Done) {
    return fail(o);
  }
  std::uint8_t rateCode = 0;
  if (Outcome o = ExpectByte(rateCode, "rate request"); o != Outcome::Done) return fail(o);
  const std::uint32_t rate = RateForCode(rateCode);
  if (rate == 0) return fail(Unexpected(rateCode, "rate request"));
  const std::uint8_t reply = RATE_REPLY;
  if (Outcome o = Answer(FaultStep::RateReply, std::span(&reply, 1), "rate reply");
      o != Outcome::Done) {
    return fail(o);
  }
  // The reply still leaves at the old rate; everything after it uses the new one.
  line_.SetRate(rate);
  Record(EventKind::RateChanged, rateCode, 0, rate);
  SetState(PhoneState::Driver);
  return Outcome::Done;
}

// ---------------------------------------------------------------------------------------------
// Driver: command dispatch

PhoneFirmware::Outcome PhoneFirmware::RunDriverCommand() {
  std::uint8_t code = 0;
  bool got = false;
  if (Outcome o = AwaitByte(code, got); !got) return o;
  return options_.link == LinkDialect::Usb ? DispatchUsb(code) : DispatchUart(code);
}

PhoneFirmware::Outcome PhoneFirmware::DispatchUart(std::uint8_t code) {
  switch (code) {
    case FLASH_ID_QUERY:
      return SendFlashId();
    case BAD_BLOCK_QUERY:
      return SendBadBlocks();
    case NAND_ERASE:
    case BOOTLOADER_ERASE:
      return Erase(code);
    case REBOOT_REQUEST:
      return Reboot();
    case IMAGE_REQUEST:
      return WriteImageUart();
    case DUMP_START:
      return Dump();
    default:
      if (IsFileSystemCode(code)) return ServeFileSystem(FsEntry::Uart, code);
      return Unexpected(code, "UART command");
  }
}

PhoneFirmware::Outcome PhoneFirmware::DispatchUsb(std::uint8_t code) {
  // The USB dialect is modal: the first byte alone, read in this state, says how many bytes
  // the command occupies (see README.md).
  std::array<std::uint8_t, PADDED_COMMAND_SIZE> frame{};
  frame[0] = code;
  switch (code) {
    case IMAGE_REQUEST: {
      if (Outcome o = ExpectFrameRest(std::span(frame).first(REQUEST_FRAME_SIZE), "RequestFrame");
          o != Outcome::Done) {
        return o;
      }
      return WriteImageUsb(frame);
    }
    case REBOOT_REQUEST:
      if (Outcome o = ExpectFrameRest(std::span(frame).first(SHORT_FRAME_SIZE), "ShortFrame");
          o != Outcome::Done) {
        return o;
      }
      return Reboot();
    case NAND_ERASE:
    case BOOTLOADER_ERASE:
      if (Outcome o = ExpectFrameRest(frame, "PaddedCommand"); o != Outcome::Done) return o;
      return Erase(code);
    case TFS_OPERATION:
      if (Outcome o = ExpectFrameRest(frame, "PaddedCommand"); o != Outcome::Done) return o;
      Record(EventKind::Command, code, 0, 0, 0, "PaddedCommand TFS_OPERATION");
      return AfterTfsOperation();
    case TFS_FORMAT:  // the Format button: bare, without TFS_OPERATION
      return ServeFileSystem(FsEntry::UsbBareFormat, code);
    case TFS_UNMOUNT:  // the Explorer's EXIT after a mount that never succeeded: bare
      return ServeFileSystem(FsEntry::UsbExplorer, code);
    case FLASH_ID_QUERY:
      return SendFlashId();
    case BAD_BLOCK_QUERY:
      return SendBadBlocks();
    case USB_START: {
      // START again without switching the phone off: the driver acknowledges like the ROM.
      const std::uint8_t ack = USB_START;
      Outcome answered =
          Answer(FaultStep::StartAck, std::span(&ack, 1), "USB start acknowledgement");
      if (answered == Outcome::Done) Record(EventKind::StartByte, code);
      return answered;
    }
    default:
      return Unexpected(code, "USB command");
  }
}

PhoneFirmware::Outcome PhoneFirmware::AfterTfsOperation() {
  std::uint8_t code = 0;
  if (Outcome o = ExpectByte(code, "after TFS_OPERATION"); o != Outcome::Done) return o;
  switch (code) {
    case DUMP_START:
      return Dump();    // bare byte
    case TFS_FORMAT: {  // a ShortFrame: the file-system download
      std::array<std::uint8_t, SHORT_FRAME_SIZE> frame{};
      frame[0] = code;
      if (Outcome o = ExpectFrameRest(frame, "ShortFrame"); o != Outcome::Done) return o;
      usbSession_ = UsbSession::Download;
      return ServeFileSystem(FsEntry::UsbDownload, code);
    }
    case TFS_MOUNT:  // a bare byte: the TFS Explorer
      usbSession_ = UsbSession::Explorer;
      return ServeFileSystem(FsEntry::UsbExplorer, code);
    default:
      return Unexpected(code, "after TFS_OPERATION");
  }
}

PhoneFirmware::Outcome PhoneFirmware::RunUsbSession() {
  // Inside a USB file-system session every command has the session's form. A download session
  // that falls quiet is over (the PC closed the port); an Explorer session may idle as long as
  // the user browses, and ends from outside only when a byte arrives that starts no Explorer
  // request.
  std::uint8_t code = 0;
  const bool download = usbSession_ == UsbSession::Download;
  auto gap = download ? std::optional(options_.peerTimeout) : std::nullopt;
  const IoResult got = line_.Read(std::span(&code, 1), gap);
  if (got == IoResult::Timeout) {
    usbSession_ = UsbSession::None;
    Record(EventKind::PeerSilent, 0, 0, 0, 0, "file-system session ended without unmount");
  }
  if (got != IoResult::Ok) return OutcomeOf(got, Outcome::Done, Outcome::PeerSilent);
  if (!download && !IsFileSystemCode(code)) {
    // An Explorer left without unmount (the PC closed the port): a byte that no Explorer
    // request starts with belongs to the next operation.
    usbSession_ = UsbSession::None;
    Record(EventKind::PeerSilent, code, 0, 0, 0, "Explorer session ended without unmount");
    return DispatchUsb(code);
  }
  if (download) {
    std::array<std::uint8_t, SHORT_FRAME_SIZE> frame{};
    frame[0] = code;
    if (Outcome o = ExpectFrameRest(frame, "ShortFrame"); o != Outcome::Done) return o;
  }
  return ServeFileSystem(download ? FsEntry::UsbDownload : FsEntry::UsbExplorer, code);
}

PhoneFirmware::Outcome PhoneFirmware::ServeFileSystem(FsEntry entry, std::uint8_t code) {
  if (!fileSystem_) {
    usbSession_ = UsbSession::None;
    return Refuse("file-system command " + Hex(code) + " but no file-system service installed");
  }
  FsContext context{line_, events_, options_};
  switch (fileSystem_->Serve(entry, code, context)) {
    case FsOutcome::Continue:
      return Outcome::Done;
    case FsOutcome::SessionEnded:
      usbSession_ = UsbSession::None;
      return Outcome::Done;
    case FsOutcome::PeerSilent:
      usbSession_ = UsbSession::None;
      return Outcome::PeerSilent;
    case FsOutcome::Violation:
      return Outcome::Violation;
    case FsOutcome::Interrupted:
      return Outcome::Interrupted;
    case FsOutcome::LineDropped:
      return Outcome::LineDropped;
  }
  return Outcome::Done;
}

// ---------------------------------------------------------------------------------------------
// Driver: simple commands

PhoneFirmware::Outcome PhoneFirmware::SendFlashId() {
  Record(EventKind::Command, FLASH_ID_QUERY);
  Outcome o = Answer(FaultStep::FlashId, options_.flashId, "flash identity");
  if (o == Outcome::Done)
    Record(EventKind::FlashIdSent, options_.flashId[0], 0, 2, options_.flashId[1]);
  return o;
}

PhoneFirmware::Outcome PhoneFirmware::SendBadBlocks() {
  Record(EventKind::Command, BAD_BLOCK_QUERY);
  std::vector<std::uint8_t> words;
  for (auto [bad, spare] : options_.badBlocks) {
    for (std::uint16_t w : {bad, spare}) {
      words.push_back(static_cast<std::uint8_t>(w >> 8));
      words.push_back(static_cast<std::uint8_t>(w));
    }
  }
  words.push_back(static_cast<std::uint8_t>(BAD_BLOCK_END >> 8));
  words.push_back(static_cast<std::uint8_t>(BAD_BLOCK_END & 0xFF));
  Outcome o = Answer(FaultStep::BadBlocks, words, "bad-block list");
  if (o == Outcome::Done) Record(EventKind::BadBlocksSent, 0, 0, options_.badBlocks.size());
  return o;
}

PhoneFirmware::Outcome PhoneFirmware::Erase(std::uint8_t code) {
  Record(EventKind::Command, code);
  constexpr std::uint32_t kBootBlocks = BOOT_AREA_END / BLOCK_DATA_SIZE;
  const std::uint32_t first = code == NAND_ERASE ? kBootBlocks : 0;
  const std::uint32_t last = code == NAND_ERASE ? BLOCK_COUNT - 1 : kBootBlocks - 1;
  std::uint32_t erased = nand_.EraseBlocks(first, last);
  Record(EventKind::Erased, code, first, erased);
  // A real chip takes seconds to erase; the answer comes when that time is up.
  if (options_.eraseDuration.count() > 0) {
    if (Outcome o = OutcomeOf(line_.Pause(options_.eraseDuration), Outcome::Done, Outcome::Done);
        o != Outcome::Done) {
      return o;
    }
  }
  const std::uint8_t done = ERASE_DONE;
  return Answer(FaultStep::EraseDone, std::span(&done, 1), "erase done");
}

PhoneFirmware::Outcome PhoneFirmware::Reboot() {
  Record(EventKind::Reboot, REBOOT_REQUEST);
  // The phone restarts: its boot ROM comes back as after switching on.
  PowerDown();
  PowerUp();
  return Outcome::Done;
}

// ---------------------------------------------------------------------------------------------
// Image writes

PhoneFirmware::Outcome PhoneFirmware::WriteImageUart() {
  Record(EventKind::Command, IMAGE_REQUEST);
  ImageWrite write;
  if (Outcome o = ReceiveUartImageRequest(write); o != Outcome::Done) return o;
  if (Outcome o = AcceptImageRequest(write); o != Outcome::Done) return o;
  if (options_.uartAckRequest) {
    if (Outcome o = AskUartAck(); o != Outcome::Done) return o;
  }
  for (std::uint32_t index = 0; write.offset < write.size; ++index) {
    if (Outcome o = WriteUartBlock(write, index); o != Outcome::Done || write.over) return o;
  }
  return FinishUartImage(write);
}

PhoneFirmware::Outcome PhoneFirmware::SyncUartImage(std::uint8_t& first) {
  for (;;) {
    const std::uint8_t sync = UART_SYNC;
    if (Outcome o = Answer(FaultStep::ImageSync, std::span(&sync, 1), "image sync");
        o != Outcome::Done) {
      return o;
    }
    if (Outcome o = ExpectByte(first, "image address"); o != Outcome::Done) return o;
    // A PC that did not see the sync repeats its request; no flash address starts with 0x5A.
    if (first != IMAGE_REQUEST) return Outcome::Done;
  }
}

PhoneFirmware::Outcome PhoneFirmware::ReceiveUartImageRequest(ImageWrite& write) {
  std::array<std::uint8_t, 8> numbers{};
  if (Outcome o = SyncUartImage(numbers[0]); o != Outcome::Done) return o;
  if (Outcome o = Expect(std::span(numbers).subspan(1), "image address and size");
      o != Outcome::Done) {
    return o;
  }
  write.address = GetBe32(std::span(numbers).first(4));
  write.size = GetBe32(std::span(numbers).subspan(4, 4));
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::AskUartAck() {
  const std::uint8_t ask = UART_ACK_REQUEST;
  if (Outcome o = Send(std::span(&ask, 1), "ack request"); o != Outcome::Done) return o;
  return ExpectUartAck("ack after 0x26");
}

PhoneFirmware::Outcome PhoneFirmware::WriteUartBlock(ImageWrite& write, std::uint32_t index) {
  const std::uint32_t length = std::min(options_.blockLength, write.size - write.offset);
  if (Outcome o = RequestUartBlock(write, index, length); o != Outcome::Done || write.over) {
    return o;
  }
  if (Outcome o = ReceiveUartBlock(write, length); o != Outcome::Done || write.over) return o;
  StoreImageBlock(write, std::span(write.block).first(length), write.block[length]);
  const std::uint8_t ok = UART_BLOCK_OK;
  if (Outcome o = Send(std::span(&ok, 1), "block verdict"); o != Outcome::Done) return o;
  if (Outcome o = ExpectUartAck("ack after 0x27"); o != Outcome::Done) return o;
  write.offset += length;
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::RequestUartBlock(ImageWrite& write, std::uint32_t index,
                                                       std::uint32_t length) {
  write.claimBad = false;
  write.corrupt = false;
  std::array<std::uint8_t, 5> request{UART_BLOCK_REQUEST};
  PutBe32(std::span(request).subspan(1), length);
  if (auto fault = TakeFault(FaultStep::ImageBlock, index)) {
    if (Outcome o = ApplyCommonFault(*fault); o != Outcome::Done) return o;
    switch (fault->kind) {
      case FaultKind::TransferCode:
        write.over = true;
        return Send(std::span(&fault->value, 1), "transfer code");
      case FaultKind::WrongByte:
        // The request with another first byte: the PC cannot take it for a block request,
        // so no block follows and the phone goes back to waiting for commands.
        write.over = true;
        request[0] = fault->value;
        return Send(request, "block request");
      case FaultKind::WrongBlockSum:
        write.claimBad = true;
        break;
      case FaultKind::CorruptChunk:
        write.corrupt = true;
        break;
      default:
        break;
    }
  }
  return Send(request, "block request");
}

PhoneFirmware::Outcome PhoneFirmware::ReceiveUartBlock(ImageWrite& write, std::uint32_t length) {
  std::vector<std::uint8_t>& block = write.block;
  block.resize(std::size_t{length} + 1);
  for (int tries = 1;; ++tries) {
    if (Outcome o = Expect(block, "image block"); o != Outcome::Done) return o;
    const std::uint8_t sum = link::blockSum(std::span(block).first(length));
    if (sum == block[length] && !write.claimBad) return Outcome::Done;
    write.claimBad = false;
    Record(EventKind::ImageBlockBad, 0, std::uint64_t{write.address} + write.offset, length,
           block[length]);
    const std::uint8_t reply = tries < kMaxBlockTries ? UART_BLOCK_AGAIN : UART_ERROR;
    if (Outcome o = Send(std::span(&reply, 1), "block verdict"); o != Outcome::Done) return o;
    if (reply == UART_ERROR) {
      write.over = true;
      return Outcome::Done;
    }
  }
}

PhoneFirmware::Outcome PhoneFirmware::ExpectUartAck(const char* where) {
  std::uint8_t ack = 0;
  if (Outcome o = ExpectByte(ack, where); o != Outcome::Done) return o;
  if (ack != UART_ACK) return Unexpected(ack, where);
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::FinishUartImage(const ImageWrite& write) {
  std::uint8_t done = UART_DONE;
  if (auto fault = TakeFault(FaultStep::ImageDone)) {
    if (Outcome o = ApplyCommonFault(*fault); o != Outcome::Done) return o;
    switch (fault->kind) {
      case FaultKind::TransferCode:
      case FaultKind::WrongByte:
        done = fault->value;
        break;
      default:
        break;
    }
  }
  if (Outcome o = Send(std::span(&done, 1), "image done"); o != Outcome::Done) return o;
  Record(EventKind::ImageDone, done, write.address, write.size);
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::WriteImageUsb(std::span<const std::uint8_t, 16> request) {
  ImageWrite write;
  if (Outcome o = ParseUsbImageRequest(request, write); o != Outcome::Done) return o;
  if (Outcome o = AcceptImageRequest(write); o != Outcome::Done) return o;
  for (std::uint32_t index = 0; write.offset < write.size; ++index) {
    if (Outcome o = WriteUsbBlock(write, index); o != Outcome::Done || write.over) return o;
  }
  return FinishUsbImage(write);
}

PhoneFirmware::Outcome PhoneFirmware::ParseUsbImageRequest(
    std::span<const std::uint8_t, 16> request, ImageWrite& write) {
  // The request's first 8 bytes are a ShortFrame whose unassigned bytes are zero.
  for (std::size_t i : {1u, 4u, 5u, 6u, 7u}) {
    if (request[i] != 0) return Unexpected(request[i], "RequestFrame padding");
  }
  Record(EventKind::Command, IMAGE_REQUEST, 0, 0, 0, "RequestFrame");
  write.address = GetLe32(request.subspan(8, 4));
  write.size = GetLe32(request.subspan(12, 4));
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::WriteUsbBlock(ImageWrite& write, std::uint32_t index) {
  const std::uint32_t length = std::min(options_.blockLength, write.size - write.offset);
  if (Outcome o = RequestUsbBlock(write, index, length); o != Outcome::Done || write.over) {
    return o;
  }
  if (Outcome o = ReceiveUsbBlock(write, length); o != Outcome::Done) return o;
  write.lastSum = link::blockSum(write.block);
  StoreImageBlock(write, write.block, write.lastSum);
  write.offset += length;
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::RequestUsbBlock(ImageWrite& write, std::uint32_t index,
                                                      std::uint32_t length) {
  const std::uint8_t reported = write.ReportedSum();
  write.misreport = false;
  write.corrupt = false;
  if (auto fault = TakeFault(FaultStep::ImageBlock, index)) {
    if (Outcome o = ApplyCommonFault(*fault); o != Outcome::Done) return o;
    switch (fault->kind) {
      case FaultKind::TransferCode:
        write.over = true;
        return SendReplyFrame(fault->value, 0, 0, "transfer code");
      case FaultKind::WrongBlockSum:
        write.misreport = true;
        break;  // this block's sum, reported next
      case FaultKind::CorruptChunk:
        write.corrupt = true;
        break;
      case FaultKind::WrongByte:
        // A request frame with another code: no acknowledgement or block follows it.
        write.over = true;
        return SendReplyFrame(fault->value, length, reported, "block request");
      default:
        break;
    }
  }
  return SendReplyFrame(BLOCK_REQUEST, length, reported, "block request");
}

PhoneFirmware::Outcome PhoneFirmware::ReceiveUsbBlock(ImageWrite& write, std::uint32_t length) {
  if (Outcome o = ExpectUsbAck(BLOCK_ACK, "BLOCK_ACK", "waiting for BLOCK_ACK");
      o != Outcome::Done) {
    return o;
  }
  write.block.resize(length);
  return Expect(write.block, "image block");
}

PhoneFirmware::Outcome PhoneFirmware::ExpectUsbAck(std::uint8_t code, const char* where,
                                                   const char* waiting) {
  std::array<std::uint8_t, SHORT_FRAME_SIZE> ack{};
  if (Outcome o = Expect(ack, where); o != Outcome::Done) return o;
  if (ack[0] != code) return Unexpected(ack[0], waiting);
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::FinishUsbImage(const ImageWrite& write) {
  std::uint8_t reported = write.ReportedSum();
  if (auto fault = TakeFault(FaultStep::ImageDone)) {
    if (Outcome o = ApplyCommonFault(*fault); o != Outcome::Done) return o;
    switch (fault->kind) {
      case FaultKind::TransferCode:
        return SendReplyFrame(fault->value, 0, 0, "transfer code");
      case FaultKind::WrongBlockSum:
        reported = static_cast<std::uint8_t>(write.lastSum + 1);
        break;
      case FaultKind::WrongByte:
        // Another code in place of IMAGE_DONE: the PC acknowledges nothing it does not know.
        return SendReplyFrame(fault->value, reported, 0, "image done");
      default:
        break;
    }
  }
  if (Outcome o = SendReplyFrame(IMAGE_DONE, reported, 0, "image done"); o != Outcome::Done) {
    return o;
  }
  if (Outcome o = ExpectUsbAck(IMAGE_ACK, "IMAGE_ACK", "waiting for IMAGE_ACK");
      o != Outcome::Done) {
    return o;
  }
  Record(EventKind::ImageDone, IMAGE_DONE, write.address, write.size);
  return Outcome::Done;
}

PhoneFirmware::Outcome PhoneFirmware::AcceptImageRequest(const ImageWrite& write) {
  if (std::uint64_t{write.address} + write.size > NAND_DATA_SIZE) {
    return Refuse("image of " + std::to_string(write.size) + " bytes at " +
                  std::to_string(write.address) + " does not fit the flash");
  }
  Record(EventKind::ImageRequest, IMAGE_REQUEST, write.address, write.size);
  return Outcome::Done;
}

void PhoneFirmware::StoreImageBlock(const ImageWrite& write, std::span<std::uint8_t> data,
                                    std::uint8_t sum) {
  if (write.corrupt) data[data.size() / 2] ^= 0x5A;  // the flash keeps what the line did not send
  nand_.WriteData(std::uint64_t{write.address} + write.offset, data);
  Record(EventKind::ImageBlock, 0, std::uint64_t{write.address} + write.offset, data.size(), sum);
}

// ---------------------------------------------------------------------------------------------
// NAND dump

PhoneFirmware::Outcome PhoneFirmware::Dump() {
  const bool usb = options_.link == LinkDialect::Usb;
  Record(EventKind::Command, DUMP_START);
  std::array<std::uint8_t, 9> request{};
  if (Outcome o = Expect(request, "dump request"); o != Outcome::Done) return o;
  const std::uint8_t kind = request[0];
  auto number = [&](std::size_t at) {
    auto bytes = std::span<const std::uint8_t>(request).subspan(at, 4);
    return usb ? GetLe32(bytes) : GetBe32(bytes);
  };
  const std::uint32_t from = number(1);
  const std::uint32_t length = number(5);
  if (kind != DUMP_KIND_DATA && kind != DUMP_KIND_CODE && kind != DUMP_KIND_TFS) {
    return Unexpected(kind, "dump area kind");
  }
  const bool withSpare = kind != DUMP_KIND_DATA;
  const std::uint32_t chunkSize = withSpare ? PAGE_SIZE : PAGE_DATA_SIZE;
  // Never read past the flash, whatever the request says.
  if (withSpare) {
    const std::uint64_t pages = (std::uint64_t{length} + PAGE_SIZE - 1) / PAGE_SIZE;
    if (from % PAGE_DATA_SIZE != 0 || from / PAGE_DATA_SIZE + pages > PAGE_COUNT) {
      return Refuse("dump of " + std::to_string(length) + " bytes with spare from " +
                    std::to_string(from) + " leaves the flash");
    }
  } else if (std::uint64_t{from} + length > NAND_DATA_SIZE) {
    return Refuse("dump of " + std::to_string(length) + " bytes from " + std::to_string(from) +
                  " leaves the flash");
  }
  Record(EventKind::DumpRequest, kind, from, length);

  std::vector<std::uint8_t> chunk(std::size_t{chunkSize} + 1);
  std::uint32_t offset = 0;
  for (std::uint32_t index = 0; offset < length; ++index) {
    const std::uint32_t n = std::min(chunkSize, length - offset);
    if (withSpare) {
      std::array<std::uint8_t, PAGE_SIZE> page{};
      nand_.ReadPage(from / PAGE_DATA_SIZE + index, page);
      std::copy_n(page.begin(), n, chunk.begin());
    } else {
      nand_.ReadData(std::uint64_t{from} + offset, std::span(chunk).first(n));
    }
    chunk[n] = link::blockSum(std::span(chunk).first(n));
    if (auto fault = TakeFault(FaultStep::DumpChunk, index)) {
      if (Outcome o = ApplyCommonFault(*fault); o != Outcome::Done) return o;
      switch (fault->kind) {
        case FaultKind::CorruptChunk:
          chunk[n / 2] ^= 0x5A;
          break;
        case FaultKind::WrongByte:
          chunk[n] = fault->value;
          break;
        default:
          break;
      }
    }
    if (Outcome o = Send(std::span(chunk).first(std::size_t{n} + 1), "dump chunk");
        o != Outcome::Done) {
      return o;
    }
    std::array<std::uint8_t, SHORT_FRAME_SIZE> answer{};
    auto answerBytes = usb ? std::span(answer) : std::span(answer).first(1);
    if (Outcome o = Expect(answerBytes, "dump answer"); o != Outcome::Done) return o;
    Record(EventKind::DumpChunk, answer[0], offset, n, chunk[n]);
    if (answer[0] == DUMP_NAK) return Outcome::Done;  // the PC ends the dump
    if (answer[0] != DUMP_ACK) return Unexpected(answer[0], "dump answer");
    offset += n;
  }
  Record(EventKind::DumpDone, kind, from, length);
  return Outcome::Done;
}

// ---------------------------------------------------------------------------------------------
// I/O helpers

PhoneFirmware::Outcome PhoneFirmware::Expect(std::span<std::uint8_t> out, const char* where) {
  return OutcomeOf(ReadInExchange(line_, events_, options_.peerTimeout, out, where), Outcome::Done,
                   Outcome::PeerSilent);
}

PhoneFirmware::Outcome PhoneFirmware::ExpectByte(std::uint8_t& byte, const char* where) {
  return Expect(std::span(&byte, 1), where);
}

PhoneFirmware::Outcome PhoneFirmware::AwaitByte(std::uint8_t& byte, bool& got) {
  const IoResult result = line_.Read(std::span(&byte, 1), std::nullopt);
  got = result == IoResult::Ok;
  return OutcomeOf(result, Outcome::Done, Outcome::Done);
}

PhoneFirmware::Outcome PhoneFirmware::ExpectFrameRest(std::span<std::uint8_t> frame,
                                                      const char* where) {
  return Expect(frame.subspan(1), where);
}

PhoneFirmware::Outcome PhoneFirmware::Send(std::span<const std::uint8_t> bytes, const char* where) {
  return OutcomeOf(WriteInExchange(line_, events_, options_.peerTimeout, bytes, where),
                   Outcome::Done, Outcome::PeerSilent);
}

PhoneFirmware::Outcome PhoneFirmware::Answer(FaultStep step, std::span<const std::uint8_t> normal,
                                             const char* where, std::optional<FaultKind>* fired) {
  auto fault = TakeFault(step);
  if (!fault) return Send(normal, where);
  if (fired != nullptr) *fired = fault->kind;
  if (Outcome o = ApplyCommonFault(*fault); o != Outcome::Done) return o;
  if (fault->kind == FaultKind::WrongByte) {
    std::vector<std::uint8_t> altered(normal.begin(), normal.end());
    if (!altered.empty()) altered[0] = fault->value;
    return Send(altered, where);
  }
  return Send(normal, where);
}

PhoneFirmware::Outcome PhoneFirmware::ApplyCommonFault(const Fault& fault) {
  switch (fault.kind) {
    case FaultKind::Silence:
      return Outcome::Silenced;
    case FaultKind::LineDrop:
      return DropLine();
    case FaultKind::StrayBytes:
      return Send(fault.bytes, "stray bytes");
    default:
      return Outcome::Done;
  }
}

PhoneFirmware::Outcome PhoneFirmware::SendReplyFrame(std::uint8_t code, std::uint32_t word,
                                                     std::uint8_t sumAt8, const char* where) {
  std::array<std::uint8_t, REPLY_FRAME_SIZE> frame{};
  frame[0] = code;
  PutLe32(std::span(frame).subspan(4, 4), word);
  frame[8] = sumAt8;
  return Send(frame, where);
}

PhoneFirmware::Outcome PhoneFirmware::Unexpected(std::uint8_t byte, const char* where) {
  return Refuse("unexpected byte " + Hex(byte) + " in state " + where);
}

PhoneFirmware::Outcome PhoneFirmware::Refuse(const std::string& reason) {
  Record(EventKind::Violation, 0, 0, 0, 0, reason);
  return Outcome::Violation;
}

PhoneFirmware::Outcome PhoneFirmware::DropLine() {
  return Outcome::LineDropped;
}

std::optional<Fault> PhoneFirmware::TakeFault(FaultStep step, std::uint32_t block) {
  std::optional<Fault> taken;
  {
    std::lock_guard lock(mutex_);
    const bool counted = step == FaultStep::ImageBlock || step == FaultStep::DumpChunk;
    auto it = std::find_if(faults_.begin(), faults_.end(), [&](const Fault& f) {
      return f.step == step && (!counted || f.block == block);
    });
    if (it == faults_.end()) return std::nullopt;
    taken = *it;
    if (!it->repeat) faults_.erase(it);
  }
  Record(EventKind::FaultInjected, taken->value, 0, taken->block, 0,
         std::string(FaultKindName(taken->kind)) + "@" + FaultStepName(step));
  return taken;
}

void PhoneFirmware::Record(EventKind kind, std::uint8_t code, std::uint64_t address,
                           std::uint64_t length, std::uint8_t sum, std::string detail) {
  events_.Add(Event{kind, code, address, length, sum, std::move(detail)});
}

}  // namespace veska::sim
