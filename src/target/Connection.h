#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "app/Engine.h"
#include "app/OperationRunner.h"
#include "app/ProcessState.h"
#include "target/Loaders.h"

namespace veska::target {

// The outcome of START, kept in the dialog's connectStatus and reported once.
enum ConnectStatus : int {
  CONNECT_OK = 0,
  CONNECT_TIMEOUT = 1,         // no boot signal, or no acknowledgement at all
  CONNECT_BAD_BAUD = 2,        // the baud selector names no valid rate
  CONNECT_COMM_ERROR = -1,     // the port did not open, or the start signal could not be written
  CONNECT_WRONG_CHAR = -2,     // the phone sent something other than the expected bytes
  CONNECT_INVALID_ENV = -3,    // no port chosen while the baud selector shows its first entry
  CONNECT_LOADER_FAILED = -5,  // the loader upload failed
  // The loaders run, but the phone did not answer the flash identity or bad-block query in full.
  // Reported only in the operation's result: the log and the window read as connected.
  CONNECT_FLASH_CHECKS_FAILED = -6,
};

// Handshake bytes.
inline constexpr std::uint8_t BOOT_SIGNAL = 0xA5;
inline constexpr std::uint8_t BOOT_SIGNAL_RETRY = 0x77;  // the variant that allows one retry
inline constexpr std::uint8_t BOOT_IDLE = 0x00;          // ignored while listening
inline constexpr std::uint8_t START_UART = 0xC9;
inline constexpr std::uint8_t START_USB = 0xCC;

// What START reads from the window before its worker starts.
struct ConnectInputs {
  std::string portName;             // the port as the log names it ("COM3", a device path)
  std::uint8_t chosenBaudCode = 0;  // the baud selector's rate, 0 when it shows none
  // False when no port is chosen while the baud selector shows its first entry.
  bool environmentValid = true;
};

struct ConnectOutcome {
  ConnectStatus status = CONNECT_OK;
  FlashChecks checks;  // what the NAND flash driver answered (UART link)
  // START's result: a connection whose flash checks went unanswered is a failure.
  [[nodiscard]] app::OperationResult Result() const;
};

// START's worker: narrates, runs the handshake on the engine's port, loads the drivers (UART
// link) and reports the outcome in the log, the window's states and a "Failure" box.
// `session` gives the payloads, keeps the retry the boot signal allows and the port record
// the later operations open their own connection from (sharedPort).
[[nodiscard]] ConnectOutcome Connect(const app::EngineContext& engine, app::ProcessState& session,
                                     const ConnectInputs& inputs);
[[nodiscard]] ConnectStatus Handshake(const app::EngineContext& engine, app::ProcessState& session,
                                      const ConnectInputs& inputs, FlashChecks& checks);
void ReportConnectStatus(const app::EngineContext& engine, ConnectStatus status);
// The typed result of a START that ended with `status`; a connection whose flash checks went
// unanswered, or whose bad-block list ran past the flash's blocks (`flash`), is a failure.
[[nodiscard]] app::OperationResult ConnectResult(ConnectStatus status, bool flashChecksFailed,
                                                 const app::FlashReport& flash = {});
// The words of those failures (the result's reason), for a host's status line.
inline constexpr std::string_view kFlashChecksUnanswered =
    "The phone did not answer the flash checks: switch it off, press START and switch it on again";
inline constexpr std::string_view kBadBlockListTooLong =
    "The phone's bad-block list is longer than the flash's 2048 blocks: switch it off, press "
    "START and switch it on again";

// Names the port record's device and rate and keeps the copy that later operations open their
// own connection from (sharedPort). Returns the chosen rate's baud code (0 when the selector
// shows none). The handshake starts with it; an operation that opens the phone without a
// handshake (the bootloader download) needs it on its own.
std::uint8_t PreparePortRecord(link::SerialPort& port, app::ProcessState& session,
                               const std::string& portName, std::uint8_t chosenBaudCode);

}  // namespace veska::target
