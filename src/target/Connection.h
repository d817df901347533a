#pragma once

#include <cstdint>
#include <string_view>

#include "app/DownloaderDlg.h"

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

// START: busy state, link mode from the radio pair, and the connection worker.
void OnStart(app::DownloaderDlg& dlg);
// The worker: narrates, runs the handshake and reports its outcome.
int ConnectThread(app::DownloaderDlg& dlg);
[[nodiscard]] ConnectStatus Handshake(app::DownloaderDlg& dlg);
void ReportConnectStatus(app::DownloaderDlg& dlg, ConnectStatus status);
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

// Fills the dialog's port record from the chosen port and rate and keeps the copy that later
// operations open their own connection from (sharedPort). Returns the chosen rate's baud code
// (0 when the selector shows none). The handshake starts with it; an operation that opens the
// phone without a handshake (the bootloader download) needs it on its own.
std::uint8_t PreparePortRecord(app::DownloaderDlg& dlg);

// Registers this layer's buttons (START) with the dialog's operations.
void AddOperations(app::DlgOperations& operations);

// The baud code of the baud selector's current entry, or 0 when it shows none.
[[nodiscard]] std::uint8_t SelectedBaudCode(app::DownloaderDlg& dlg);

}  // namespace veska::target
