#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "link/Wire.h"

namespace veska::download {

// What the phone sends during an image transfer, and what each of its requests asks of the PC.
// Pure: the transfer does the port's and the file's part, these only decide, so that every
// request the phone may send can be checked without a port.

// The phone's replies on the USB link, in byte 0 of a ReplyFrame.
inline constexpr std::uint8_t BLOCK_REQUEST = 0x26;  // length at 4, previous block's sum at 8
inline constexpr std::uint8_t IMAGE_DONE = 0x29;     // last block's sum at 4
inline constexpr std::uint8_t PHONE_ERROR = 0x28;
inline constexpr std::uint8_t SEND_ACK_ERROR = 0x41;
inline constexpr std::uint8_t READ_FLASH_ERROR = 0x42;
inline constexpr std::uint8_t WRITE_FLASH_ERROR = 0x43;

// The phone's bytes on the UART link.
inline constexpr std::uint8_t UART_SYNC = 0xA5;
inline constexpr std::uint8_t UART_ACK_REQUEST = 0x26;
inline constexpr std::uint8_t UART_BLOCK_REQUEST = 0x2E;  // followed by the block length
inline constexpr std::uint8_t UART_BLOCK_OK = 0x27;
inline constexpr std::uint8_t UART_BLOCK_AGAIN = 0x2A;
inline constexpr std::uint8_t UART_DONE = 0x29;
inline constexpr std::uint8_t UART_ERROR = 0x28;

// Both links: the phone gave up on the image.
inline constexpr std::uint8_t PHONE_ABORT = 0x2B;
inline constexpr std::uint8_t PHONE_ABORT_ALT = 0x2C;

// The phone's requests that move the image no further (the sync byte, the acknowledgement
// request, USB's IMAGE_DONE before any block): a real phone sends one or two in a row; a stream
// this long is a babbling line and ends the transfer.
inline constexpr unsigned kMaxIdleRequests = 256;

// The log line for a block longer than the transfer buffer (`capacity` bytes), or nothing for
// one that fits: the length the phone asks for is never trusted further.
[[nodiscard]] std::optional<std::string> BlockLengthRefusal(std::uint32_t length,
                                                            std::size_t capacity);

// One USB reply's consequence.
enum class UsbAction {
  SendBlock,  // acknowledge, then send `length` bytes of the image
  Finish,     // the image is written: the final acknowledgement, then TRANSFER_OK
  Wait,       // nothing to do: read the next reply
  Fail,       // the transfer ends with `status`, after logging `log` (may be empty)
};
struct UsbStep {
  UsbAction action = UsbAction::Wait;
  int status = 0;
  std::uint32_t length = 0;
  std::string log;
};
// What the USB exchange has done so far.
struct UsbProgress {
  bool sent = false;  // a block went out, so a reply carries its sum
  unsigned idle = 0;  // IMAGE_DONE frames before any block
};
// Decides on one reply; `lastBlockSum` is the sum of the block sent last, `capacity` the
// transfer buffer's size. Counts the idle replies in `progress`; the caller sets `sent`.
[[nodiscard]] UsbStep DecideUsbReply(const link::ReplyFrame& reply, UsbProgress& progress,
                                     std::uint8_t lastBlockSum, std::size_t capacity);

// One UART byte's consequence.
enum class UartAction {
  SendAddressAndSize,  // the phone lost them: again
  SendAck,             // UART_ACK
  ReadBlockLength,     // the length follows; then BlockLengthRefusal, the block and its sum
  AcceptBlock,         // UART_ACK, and the last block counts as written
  ResendBlock,         // the last block again, as it stands in the buffer
  Finish,              // the image is written: TRANSFER_OK
  Fail,                // the transfer ends with `status`, after logging `log` (may be empty)
};
struct UartStep {
  UartAction action = UartAction::Fail;
  int status = 0;
  std::string log;
};
// What the UART exchange has done so far.
struct UartProgress {
  // Empty until the first block request: an acceptance or a resend request before it refers to
  // no block and is as unexpected as any stray byte. The caller sets it.
  std::optional<std::uint32_t> lastLength;
  unsigned idle = 0;  // sync bytes and acknowledgement requests in a row
};
// Decides on one byte of the phone's, counting the idle ones in `progress`.
[[nodiscard]] UartStep DecideUartByte(std::uint8_t byte, UartProgress& progress);

}  // namespace veska::download
