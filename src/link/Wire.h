#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/BlockSum.h"
#include "link/PortStatus.h"
#include "link/SerialPort.h"
#include "link/Sinks.h"

namespace veska::link {

// Wire forms used once a loader runs on the phone. On the UART link a command is one byte and a
// number a big-endian 32-bit word; on the USB link commands travel in fixed-size frames with
// little-endian words. None of the forms carries a length or checksum of its own: a frame is
// recognised only by where it stands in the exchange.

inline constexpr std::size_t SHORT_FRAME_SIZE = 8;
inline constexpr std::size_t PADDED_COMMAND_SIZE = 16;
inline constexpr std::size_t REPLY_FRAME_SIZE = 16;
inline constexpr std::size_t UART_NUMBER_SIZE = 4;

// Time-out factors of the forms.
inline constexpr std::uint8_t COMMAND_TIMEOUT = 8;  // command byte, number, PaddedCommand, block
inline constexpr std::uint8_t FRAME_TIMEOUT = 20;   // ShortFrame and RequestFrame
inline constexpr std::uint8_t REPLY_TIMEOUT = 10;   // ReplyFrame during an image transfer

// Pieces in which a block leaves the PC.
inline constexpr std::size_t UART_PIECE_SIZE = 2048;
inline constexpr std::size_t USB_PIECE_SIZE = 4096;

// A fresh tag from the session's generator (see FrameTagGenerator), 0 ... 32767. The phone
// echoes nothing of it; the PC never compares a tag.
[[nodiscard]] std::uint16_t NextFrameTag(LinkState& state);

// USB command frame: code, a tag at offset 2 (little-endian); the other bytes are zero.
struct ShortFrame {
  std::uint8_t code = 0;
  std::uint16_t frameTag = 0;

  [[nodiscard]] std::array<std::uint8_t, SHORT_FRAME_SIZE> Encode() const;
  [[nodiscard]] static ShortFrame Decode(std::span<const std::uint8_t, SHORT_FRAME_SIZE> bytes);
};

// USB command in 16 bytes: the code in byte 0, the rest zero.
struct PaddedCommand {
  std::uint8_t code = 0;

  [[nodiscard]] std::array<std::uint8_t, PADDED_COMMAND_SIZE> Encode() const;
};

// The phone's 16-byte reply during a USB image transfer. Which of the fields a code carries is
// the transfer's business; all three are decoded here.
struct ReplyFrame {
  std::uint8_t code = 0;
  std::uint32_t word = 0;   // offset 4, little-endian
  std::uint8_t sumAt4 = 0;  // the byte at offset 4
  std::uint8_t sumAt8 = 0;  // the byte at offset 8

  [[nodiscard]] static ReplyFrame Decode(std::span<const std::uint8_t, REPLY_FRAME_SIZE> bytes);
};

// Writes a request frame into `frame` (which the caller clears): the code at offset 0, the tag
// at offset 2 (a fresh one when the low 16 bits of `tag` are zero), the argument words from
// offset 8, little-endian. A fresh tag comes from `state`'s generator. Returns the frame's length
// in 32-bit words (args.size() + 2). The frame must hold 8 + 4 x args.size() bytes; a smaller one
// is left untouched and 0 returned.
std::size_t BuildRequestFrame(LinkState& state, std::span<std::uint8_t> frame, std::uint8_t code,
                              std::span<const std::uint32_t> args, std::uint32_t tag);

// UART numbers: most significant byte first.
[[nodiscard]] std::array<std::uint8_t, UART_NUMBER_SIZE> EncodeUartNumber(std::uint32_t value);
[[nodiscard]] std::uint32_t DecodeUartNumber(std::span<const std::uint8_t, UART_NUMBER_SIZE> bytes);

// Little-endian 32-bit words, as in the USB frames.
void PutLe32(std::span<std::uint8_t, 4> out, std::uint32_t value);
[[nodiscard]] std::uint32_t GetLe32(std::span<const std::uint8_t, 4> in);

// A command in the current link's form: the bare byte (factor 8) on the UART link, a ShortFrame
// (factor 20) otherwise.
[[nodiscard]] PortStatus SendCommand(SerialPort& port, std::uint8_t code);
[[nodiscard]] PortStatus SendShortFrame(SerialPort& port, std::uint8_t code);
[[nodiscard]] PortStatus SendPaddedCommand(SerialPort& port, std::uint8_t code);
[[nodiscard]] PortStatus SendUartNumber(SerialPort& port, std::uint32_t value);
[[nodiscard]] PortStatus ReadUartNumber(SerialPort& port, std::uint32_t& value);

// Sends the first `length` bytes of the transfer buffer in pieces (2048 bytes on the UART link,
// 4096 otherwise) and settles lastBlockSum. On the UART link the block's sum byte follows; on the
// USB link every piece is reported to `progress` (may be null), since the phone reports its own
// sum and the UART transfer advances the bar itself when the phone accepts a block. A failing
// piece ends the block at once and leaves lastBlockSum as it was. A length beyond the transfer
// buffer is refused with PORT_NO_MEMORY before anything is sent.
[[nodiscard]] PortStatus SendBlock(SerialPort& port, std::size_t length,
                                   ProgressSink* progress = nullptr);

}  // namespace veska::link
