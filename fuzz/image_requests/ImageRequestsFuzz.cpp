// Fuzz target of the phone's requests during an image transfer, on both links: the USB reply
// frames and the UART request bytes with their block lengths, through the transfer's own
// decisions. Checked for every input: no block longer than the transfer buffer is ever sent, a
// block is accepted or sent again only once one went out, the image ends as written only after
// a block and with the sum of the block sent last, a babbling phone ends the transfer, and the
// wire forms decode what they encode.
//
// Input: byte 0 bit 0 the link (set: USB), bits 1-2 the transfer buffer's size; the rest the
// phone's bytes (USB: 16-byte reply frames; UART: request bytes, each block request followed by
// its length).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "FuzzCheck.h"
#include "download/ImageTransfer.h"
#include "download/TransferRequests.h"
#include "link/LinkState.h"
#include "link/Wire.h"

namespace {

using namespace veska::download;
namespace link = veska::link;

void Check(bool holds, const char* what) {
  veska::fuzz::Check(holds, "image requests", what);
}

// The sum the phone would report for a block: any byte the block's length decides will do.
std::uint8_t SumOf(std::uint32_t length) {
  return static_cast<std::uint8_t>(length * 31 + 7);
}

void CheckLog(const std::string& log) {
  Check(log.size() <= 80, "a log line longer than the pane's columns");
}

void Usb(std::span<const std::uint8_t> line, std::size_t capacity) {
  UsbProgress progress;
  std::uint8_t lastSum = 0;
  unsigned waits = 0;
  for (std::size_t at = 0; line.size() - at >= link::REPLY_FRAME_SIZE;
       at += link::REPLY_FRAME_SIZE) {
    const auto bytes = line.subspan(at).first<link::REPLY_FRAME_SIZE>();
    const link::ReplyFrame reply = link::ReplyFrame::Decode(bytes);
    Check(reply.code == bytes[0] && reply.sumAt4 == bytes[4] && reply.sumAt8 == bytes[8] &&
              reply.word == link::GetLe32(bytes.subspan<4, 4>()),
          "a reply frame decoded from the wrong bytes");
    const std::array<std::uint8_t, link::SHORT_FRAME_SIZE> head{bytes[0], 0, bytes[2], bytes[3]};
    const link::ShortFrame frame = link::ShortFrame::Decode(head);
    Check(frame.Encode() == head, "a short frame that does not encode what it decoded");

    const bool sentBefore = progress.sent;
    const UsbStep step = DecideUsbReply(reply, progress, lastSum, capacity);
    CheckLog(step.log);
    if (step.action != UsbAction::Wait) waits = 0;
    switch (step.action) {
      case UsbAction::SendBlock:
        Check(step.length == reply.word && step.length <= capacity,
              "a block beyond the transfer buffer is sent");
        Check(!sentBefore || reply.sumAt8 == lastSum, "a block sent after a wrong sum");
        progress.sent = true;
        lastSum = SumOf(step.length);
        break;
      case UsbAction::Wait:
        Check(!sentBefore && ++waits < kMaxIdleRequests, "a babbling phone waited for");
        break;
      case UsbAction::Finish:
        Check(sentBefore && reply.sumAt4 == lastSum, "an image ended without its last sum");
        return;
      case UsbAction::Fail:
        Check(step.status != TRANSFER_OK, "a failure without its status");
        return;
    }
  }
}

void Uart(std::span<const std::uint8_t> line, std::size_t capacity) {
  UartProgress progress;
  unsigned idle = 0;
  for (std::size_t at = 0; at < line.size();) {
    const std::uint8_t byte = line[at++];
    const bool hadBlock = progress.lastLength.has_value();
    const UartStep step = DecideUartByte(byte, progress);
    CheckLog(step.log);
    idle = byte == UART_SYNC || byte == UART_ACK_REQUEST ? idle + 1 : 0;
    Check(idle < kMaxIdleRequests || step.action == UartAction::Fail,
          "a babbling phone answered for ever");
    switch (step.action) {
      case UartAction::SendAddressAndSize:
      case UartAction::SendAck:
        break;
      case UartAction::ReadBlockLength: {
        if (line.size() - at < link::UART_NUMBER_SIZE) return;  // the phone fell silent
        const auto number = line.subspan(at).first<link::UART_NUMBER_SIZE>();
        at += link::UART_NUMBER_SIZE;
        const std::uint32_t length = link::DecodeUartNumber(number);
        const auto encoded = link::EncodeUartNumber(length);
        Check(std::equal(encoded.begin(), encoded.end(), number.begin()),
              "a UART number that does not encode what it decoded");
        const auto refusal = BlockLengthRefusal(length, capacity);
        Check(refusal.has_value() == (length > capacity), "a block length misjudged");
        if (refusal) {
          CheckLog(*refusal);
          return;
        }
        progress.lastLength = length;
        break;
      }
      case UartAction::AcceptBlock:
      case UartAction::ResendBlock:
        Check(hadBlock && *progress.lastLength <= capacity, "a block taken that never went out");
        break;
      case UartAction::Finish:
        return;
      case UartAction::Fail:
        Check(step.status != TRANSFER_OK, "a failure without its status");
        return;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static constexpr std::size_t kCapacities[] = {0, 1, 4096, link::TRANSFER_BUFFER_SIZE};
  const std::size_t capacity = kCapacities[(data[0] >> 1) & 3];
  const std::span<const std::uint8_t> line(data + 1, size - 1);
  if ((data[0] & 1) != 0) {
    Usb(line, capacity);
  } else {
    Uart(line, capacity);
  }
  return 0;
}
