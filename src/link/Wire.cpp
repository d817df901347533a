#include "link/Wire.h"

#include <algorithm>

namespace veska::link {

std::uint16_t NextFrameTag(LinkState& state) {
  // Only 15 bits are drawn, as the phone's firmware was written against a generator whose
  // values end at 32767.
  return static_cast<std::uint16_t>(state.frameTags.Next() & 0x7FFF);
}

void PutLe32(std::span<std::uint8_t, 4> out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value);
  out[1] = static_cast<std::uint8_t>(value >> 8);
  out[2] = static_cast<std::uint8_t>(value >> 16);
  out[3] = static_cast<std::uint8_t>(value >> 24);
}

std::uint32_t GetLe32(std::span<const std::uint8_t, 4> in) {
  return std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 | std::uint32_t{in[2]} << 16 |
         std::uint32_t{in[3]} << 24;
}

std::array<std::uint8_t, SHORT_FRAME_SIZE> ShortFrame::Encode() const {
  std::array<std::uint8_t, SHORT_FRAME_SIZE> bytes{};
  bytes[0] = code;
  bytes[2] = static_cast<std::uint8_t>(frameTag);
  bytes[3] = static_cast<std::uint8_t>(frameTag >> 8);
  return bytes;
}

ShortFrame ShortFrame::Decode(std::span<const std::uint8_t, SHORT_FRAME_SIZE> bytes) {
  return ShortFrame{bytes[0], static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8)};
}

std::array<std::uint8_t, PADDED_COMMAND_SIZE> PaddedCommand::Encode() const {
  std::array<std::uint8_t, PADDED_COMMAND_SIZE> bytes{};
  bytes[0] = code;
  return bytes;
}

ReplyFrame ReplyFrame::Decode(std::span<const std::uint8_t, REPLY_FRAME_SIZE> bytes) {
  ReplyFrame reply;
  reply.code = bytes[0];
  reply.word = GetLe32(bytes.subspan<4, 4>());
  reply.sumAt4 = bytes[4];
  reply.sumAt8 = bytes[8];
  return reply;
}

std::size_t BuildRequestFrame(LinkState& state, std::span<std::uint8_t> frame, std::uint8_t code,
                              std::span<const std::uint32_t> args, std::uint32_t tag) {
  const std::size_t size = SHORT_FRAME_SIZE + 4 * args.size();
  if (frame.size() < size) return 0;
  const auto lowTag = static_cast<std::uint16_t>(tag & 0xFFFF);
  const ShortFrame head{code, lowTag != 0 ? lowTag : NextFrameTag(state)};
  const auto headBytes = head.Encode();
  // Only code and tag are written: the caller's cleared frame keeps the other head bytes zero.
  frame[0] = headBytes[0];
  frame[2] = headBytes[2];
  frame[3] = headBytes[3];
  for (std::size_t i = 0; i < args.size(); ++i) {
    PutLe32(frame.subspan(SHORT_FRAME_SIZE + 4 * i).first<4>(), args[i]);
  }
  return args.size() + 2;
}

std::array<std::uint8_t, UART_NUMBER_SIZE> EncodeUartNumber(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

std::uint32_t DecodeUartNumber(std::span<const std::uint8_t, UART_NUMBER_SIZE> bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
         std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

PortStatus SendShortFrame(SerialPort& port, std::uint8_t code) {
  const auto bytes = ShortFrame{code, NextFrameTag(port.State())}.Encode();
  return port.WriteFully(bytes, FRAME_TIMEOUT);
}

PortStatus SendPaddedCommand(SerialPort& port, std::uint8_t code) {
  const auto bytes = PaddedCommand{code}.Encode();
  return port.WriteFully(bytes, COMMAND_TIMEOUT);
}

PortStatus SendCommand(SerialPort& port, std::uint8_t code) {
  if (port.State().linkMode == LINK_UART) {
    const std::uint8_t byte[1] = {code};
    return port.WriteFully(byte, COMMAND_TIMEOUT);
  }
  return SendShortFrame(port, code);
}

PortStatus SendUartNumber(SerialPort& port, std::uint32_t value) {
  const auto bytes = EncodeUartNumber(value);
  return port.WriteFully(bytes, COMMAND_TIMEOUT);
}

PortStatus ReadUartNumber(SerialPort& port, std::uint32_t& value) {
  std::array<std::uint8_t, UART_NUMBER_SIZE> bytes{};
  const PortStatus status = port.ReadFully(bytes, COMMAND_TIMEOUT);
  if (status == PORT_OK) value = DecodeUartNumber(bytes);
  return status;
}

PortStatus SendBlock(SerialPort& port, std::size_t length, ProgressSink* progress) {
  LinkState& state = port.State();
  if (length > state.transferBuffer.size()) return PORT_NO_MEMORY;
  const bool uart = state.linkMode == LINK_UART;
  const std::size_t piece = uart ? UART_PIECE_SIZE : USB_PIECE_SIZE;
  const std::span<const std::uint8_t> block(state.transferBuffer.data(), length);

  for (std::size_t offset = 0; offset < length;) {
    const std::size_t n = std::min(piece, length - offset);
    if (PortStatus status = port.WriteFully(block.subspan(offset, n), COMMAND_TIMEOUT);
        status != PORT_OK) {
      return status;
    }
    if (state.linkMode == LINK_USB && progress != nullptr) progress->AddProgress(n);
    offset += n;
  }

  state.lastBlockSum = blockSum(block);
  if (uart) {
    const std::uint8_t sum[1] = {state.lastBlockSum};
    return port.WriteFully(sum, COMMAND_TIMEOUT);
  }
  return PORT_OK;
}

}  // namespace veska::link
