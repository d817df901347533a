#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "sim/EventRecord.h"
#include "sim/FileSystemService.h"
#include "sim/NandModel.h"
#include "sim/PhoneLine.h"
#include "sim/PhoneOptions.h"

namespace veska::sim {

// Where the phone stands. Halted is where a byte outside the wire tables leaves it (when
// haltOnViolation is set): it reads and drops everything until powered off, as a real loader
// that lost its way hangs.
enum class PhoneState {
  PoweredOff,
  UsbDetached,  // switched on, USB device not yet visible
  BootRom,
  Loading,  // receiving the preloader and a driver
  Driver,   // a driver runs and waits for commands
  Halted,
  Dropped,  // the line was closed for good
};

[[nodiscard]] const char* PhoneStateName(PhoneState state);

// The phone's behaviour, written from its own side of the wire: boot ROM, loader reception and
// the driver's command loop. Run() executes on the phone's thread; the other public members are
// thread-safe.
class PhoneFirmware {
 public:
  // `deviceHook(true)` when the USB device appears, `(false)` when it goes away.
  PhoneFirmware(const PhoneOptions& options, PhoneLine& line, NandModel& nand, EventRecord& events,
                std::shared_ptr<FileSystemService> fileSystem,
                std::function<void(bool)> deviceHook);

  void Run(std::stop_token stop);

  void RequestPower(bool on);
  void InjectFault(const Fault& fault);
  [[nodiscard]] PhoneState State() const;
  bool WaitForState(PhoneState state, std::chrono::milliseconds timeout) const;

 private:
  // How one step ended. Silenced: a fault withheld the answer; the phone waits for commands.
  enum class Outcome { Done, Silenced, PeerSilent, Violation, Interrupted, LineDropped };
  enum class UsbSession { None, Download, Explorer };

  // An image write under way, shared by the steps of its exchange.
  struct ImageWrite {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
    std::uint32_t offset = 0;         // how much of the image the flash holds
    std::vector<std::uint8_t> block;  // the block in hand; over UART its sum follows it
    // What an injected fault does: the block in hand reaches the flash altered (corrupt); over
    // UART its sum is called bad once (claimBad); over USB its sum is reported one off with the
    // next request (misreport).
    bool corrupt = false;
    bool claimBad = false;
    bool misreport = false;
    std::uint8_t lastSum = 0;  // USB: the last block's sum, which goes out with the next frame
    // The phone ended the write before its last block: a fault sent something else in a block
    // request's place, or a block was given up.
    bool over = false;

    [[nodiscard]] std::uint8_t ReportedSum() const {
      return misreport ? static_cast<std::uint8_t>(lastSum + 1) : lastSum;
    }
  };

  void SetState(PhoneState state);
  void HandlePending();
  void PowerUp();
  void PowerDown();
  void Settle(Outcome outcome);

  Outcome RunBootRom();
  Outcome RunUsbBootRom();
  Outcome ReceiveLoaders(std::optional<std::uint8_t> firstByte);
  Outcome ReceivePayload(std::span<std::uint8_t> payload, std::optional<std::uint8_t> firstByte,
                         const char* what);

  Outcome RunDriverCommand();
  Outcome DispatchUart(std::uint8_t code);
  Outcome DispatchUsb(std::uint8_t code);
  Outcome AfterTfsOperation();
  Outcome ServeFileSystem(FsEntry entry, std::uint8_t code);
  Outcome RunUsbSession();

  Outcome SendFlashId();
  Outcome SendBadBlocks();
  Outcome Erase(std::uint8_t code);
  Outcome Reboot();
  // The steps of an image write. Over UART: the sync and the image's place, the optional ack
  // request, then each block's request, its reception (a bad sum is asked for again) and its
  // acceptance, and the end. Over USB the place comes in the request frame, and each block's
  // sum goes out with the next frame.
  Outcome WriteImageUart();
  Outcome SyncUartImage(std::uint8_t& first);
  Outcome ReceiveUartImageRequest(ImageWrite& write);
  Outcome AskUartAck();
  Outcome WriteUartBlock(ImageWrite& write, std::uint32_t index);
  Outcome RequestUartBlock(ImageWrite& write, std::uint32_t index, std::uint32_t length);
  Outcome ReceiveUartBlock(ImageWrite& write, std::uint32_t length);
  Outcome ExpectUartAck(const char* where);
  Outcome FinishUartImage(const ImageWrite& write);
  Outcome WriteImageUsb(std::span<const std::uint8_t, 16> request);
  Outcome ParseUsbImageRequest(std::span<const std::uint8_t, 16> request, ImageWrite& write);
  Outcome WriteUsbBlock(ImageWrite& write, std::uint32_t index);
  Outcome RequestUsbBlock(ImageWrite& write, std::uint32_t index, std::uint32_t length);
  Outcome ReceiveUsbBlock(ImageWrite& write, std::uint32_t length);
  Outcome ExpectUsbAck(std::uint8_t code, const char* where, const char* waiting);
  Outcome FinishUsbImage(const ImageWrite& write);
  // Either link: refuses an image that does not fit the flash.
  Outcome AcceptImageRequest(const ImageWrite& write);
  void StoreImageBlock(const ImageWrite& write, std::span<std::uint8_t> data, std::uint8_t sum);
  Outcome Dump();

  // I/O with the outcome mapping every exchange uses.
  Outcome Expect(std::span<std::uint8_t> out, const char* where);
  Outcome ExpectByte(std::uint8_t& byte, const char* where);
  // Waits without limit for the next command byte: `got` tells whether one came; when not, the
  // result is the outcome to end the step with.
  Outcome AwaitByte(std::uint8_t& byte, bool& got);
  Outcome ExpectFrameRest(std::span<std::uint8_t> frame, const char* where);
  Outcome Send(std::span<const std::uint8_t> bytes, const char* where);
  // Sends the answer of a step, applying a pending fault of that step.
  Outcome Answer(FaultStep step, std::span<const std::uint8_t> normal, const char* where,
                 std::optional<FaultKind>* fired = nullptr);
  // The kinds of fault every exchange treats alike: silence and a dropped line end it there,
  // stray bytes go out ahead of the step's own. Done: the step goes on, its own kinds still to
  // apply.
  Outcome ApplyCommonFault(const Fault& fault);
  Outcome SendReplyFrame(std::uint8_t code, std::uint32_t word, std::uint8_t sumAt8,
                         const char* where);
  Outcome Unexpected(std::uint8_t byte, const char* where);
  Outcome Refuse(const std::string& reason);
  Outcome DropLine();

  std::optional<Fault> TakeFault(FaultStep step, std::uint32_t block = 0);
  void Record(EventKind kind, std::uint8_t code = 0, std::uint64_t address = 0,
              std::uint64_t length = 0, std::uint8_t sum = 0, std::string detail = {});

  const PhoneOptions options_;
  PhoneLine& line_;
  NandModel& nand_;
  EventRecord& events_;
  std::shared_ptr<FileSystemService> fileSystem_;
  std::function<void(bool)> deviceHook_;

  mutable std::mutex mutex_;  // guards the members below
  mutable std::condition_variable stateChanged_;
  PhoneState state_ = PhoneState::PoweredOff;
  std::optional<bool> powerRequest_;
  std::vector<Fault> faults_;

  // Phone-thread only.
  bool signalling_ = true;       // boot ROM still sends its boot signal
  bool preludePending_ = false;  // stray bytes before the first boot signal
  bool bootSignalMuted_ = false;
  std::optional<std::uint8_t> bootSignalOverride_;
  bool usbAttached_ = false;
  UsbSession usbSession_ = UsbSession::None;
};

}  // namespace veska::sim
