#include "download/TransferRequests.h"

#include "app/Printf.h"
#include "download/ImageTransfer.h"

namespace veska::download {

namespace {

std::string TooManyIdleRequests(std::uint8_t code) {
  return app::Printf("\r\n%u x 0x%02X from the phone, no block request\r\n", kMaxIdleRequests,
                     unsigned{code});
}

UsbStep Fail(int status, std::string log = {}) {
  return {UsbAction::Fail, status, 0, std::move(log)};
}

// A USB reply that is neither a block request nor the end.
UsbStep UsbFailure(std::uint8_t code) {
  switch (code) {
    case PHONE_ERROR:
      return Fail(TRANSFER_PHONE_ERROR, "ERROR\r\n");
    case SEND_ACK_ERROR:
      return Fail(TRANSFER_PHONE_ERROR, "SendACK Error!\r\n");
    case READ_FLASH_ERROR:
      return Fail(TRANSFER_PHONE_ERROR, "Read Flash Data Error!\r\n");
    case WRITE_FLASH_ERROR:
      return Fail(TRANSFER_PHONE_ERROR, "Write Flash Data Error!\r\n");
    case PHONE_ABORT:
    case PHONE_ABORT_ALT:
      return Fail(TRANSFER_ABORTED);
    default:
      return Fail(TRANSFER_PHONE_ERROR, "Unknown command!\r\n");
  }
}

}  // namespace

std::optional<std::string> BlockLengthRefusal(std::uint32_t length, std::size_t capacity) {
  if (length <= capacity) return std::nullopt;
  return app::Printf("Block of %u bytes requested, more than the buffer holds!\r\n",
                     static_cast<unsigned>(length));
}

UsbStep DecideUsbReply(const link::ReplyFrame& reply, UsbProgress& progress,
                       std::uint8_t lastBlockSum, std::size_t capacity) {
  switch (reply.code) {
    case BLOCK_REQUEST:
      if (progress.sent && reply.sumAt8 != lastBlockSum) {
        return Fail(TRANSFER_SUM_MISMATCH, "Checksum error!");
      }
      // Refused before the acknowledgement, so the phone is never told a block follows.
      if (std::optional<std::string> refusal = BlockLengthRefusal(reply.word, capacity)) {
        return Fail(TRANSFER_NO_DATA, std::move(*refusal));
      }
      return {UsbAction::SendBlock, TRANSFER_OK, reply.word, {}};
    case IMAGE_DONE:
      // Nothing was sent yet, so there is no sum to compare: the phone is ahead of itself.
      if (!progress.sent) {
        if (++progress.idle == kMaxIdleRequests) {
          return Fail(TRANSFER_NO_DATA, TooManyIdleRequests(reply.code));
        }
        return {UsbAction::Wait, TRANSFER_OK, 0, {}};
      }
      if (reply.sumAt4 != lastBlockSum) return Fail(TRANSFER_SUM_MISMATCH, "\nChecksum Error");
      return {UsbAction::Finish, TRANSFER_OK, 0, {}};
    default:
      return UsbFailure(reply.code);
  }
}

UartStep DecideUartByte(std::uint8_t byte, UartProgress& progress) {
  if (byte != UART_SYNC && byte != UART_ACK_REQUEST) {
    progress.idle = 0;
  } else if (++progress.idle == kMaxIdleRequests) {
    return {UartAction::Fail, TRANSFER_NO_DATA, TooManyIdleRequests(byte)};
  }
  switch (byte) {
    case UART_SYNC:
      return {UartAction::SendAddressAndSize, TRANSFER_OK, {}};
    case UART_ACK_REQUEST:
      return {UartAction::SendAck, TRANSFER_OK, {}};
    case UART_BLOCK_REQUEST:
      return {UartAction::ReadBlockLength, TRANSFER_OK, {}};
    case UART_BLOCK_OK:
      if (!progress.lastLength) return {UartAction::Fail, TRANSFER_NO_DATA, {}};
      return {UartAction::AcceptBlock, TRANSFER_OK, {}};
    case UART_BLOCK_AGAIN:
      if (!progress.lastLength) return {UartAction::Fail, TRANSFER_NO_DATA, {}};
      return {UartAction::ResendBlock, TRANSFER_OK, {}};
    case UART_DONE:
      return {UartAction::Finish, TRANSFER_OK, {}};
    case UART_ERROR:
      return {UartAction::Fail, TRANSFER_UART_ERROR, {}};
    case PHONE_ABORT:
    case PHONE_ABORT_ALT:
      return {UartAction::Fail, TRANSFER_ABORTED, {}};
    default:
      return {UartAction::Fail, TRANSFER_NO_DATA, {}};
  }
}

}  // namespace veska::download
