#include "fs/FsCommands.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "fs/FsRecords.h"
#include "link/BlockSum.h"
#include "link/LinkState.h"
#include "link/Wire.h"

namespace veska::fs {

using link::PORT_OK;
using link::PortStatus;
using link::SerialPort;

namespace {

// The code byte and its arguments share one write on the UART link, so one factor serves both.
static_assert(link::COMMAND_TIMEOUT == ARGUMENT_TIMEOUT);

bool OnUart(const SerialPort& port) {
  return port.State().linkMode == link::LINK_UART;
}

// WriteFully that also says how many bytes left before a failure, with the same limits: the
// factor's count of empty writes and the port's stall time-out, both restarted by every byte
// moved. A gathered write of n bytes may therefore wait before each byte as long as a write of
// that byte alone could have: in total as long as the n single writes together.
PortStatus WriteCounting(SerialPort& port, std::span<const std::uint8_t> bytes,
                         std::size_t& moved) {
  using Clock = std::chrono::steady_clock;
  const unsigned long fullAllowance = ARGUMENT_TIMEOUT * 600000ul;
  unsigned long allowance = fullAllowance;
  auto stalledSince = Clock::now();
  moved = 0;
  while (moved < bytes.size()) {
    std::size_t put = 0;
    if (port.WriteSome(bytes.subspan(moved), put) != PORT_OK) return link::PORT_IO_ERROR;
    if (put > 0) {
      moved += std::min(put, bytes.size() - moved);
      allowance = fullAllowance;
      stalledSince = Clock::now();
      continue;
    }
    std::this_thread::sleep_for(port.emptyWritePause);
    if (allowance == 0) return link::PORT_TIMEOUT;
    --allowance;
    if (Clock::now() - stalledSince >= port.writeStallTimeout) return link::PORT_TIMEOUT;
  }
  return PORT_OK;
}

// Whether a failed write within a piece of a command ends the send. An unjudged piece that did
// not arrive shows later as a wrong or missing reply.
enum class Judged { No, Yes };

// One command and its argument bytes as they leave the PC, in as few writes as the link allows.
// A USB serial adapter turns every write into at least one bus transfer, so on the UART link the
// code byte and all its arguments go in one write. On the USB link the code keeps its
// ShortFrame, a write of its own, and the arguments follow in one more.
//
// Every piece keeps the judgement it had as a write of its own: a failure within a judged piece
// ends the send (CommandFailed for the code, ArgumentsFailed for an argument piece); a failure
// within an unjudged piece gives up the rest of that piece and goes on with the next one, just
// as the next piece's own write would have.
class CommandWrite {
 public:
  // `bytes` holds what goes out; the caller may keep it to spare allocations.
  CommandWrite(SerialPort& port, std::uint8_t code, Judged codeJudged,
               std::vector<std::uint8_t>& bytes)
      : port_(port), code_(code), codeJudged_(codeJudged), uart_(OnUart(port)), bytes_(bytes) {
    bytes_.clear();
    if (uart_) AddPiece(std::span(&code_, 1), codeJudged_, SendResult::CommandFailed);
  }

  void Add(std::span<const std::uint8_t> piece, Judged judged) {
    AddPiece(piece, judged, SendResult::ArgumentsFailed);
  }

  // Room for an argument piece of n bytes, filled by the caller before Send.
  std::span<std::uint8_t> Reserve(std::size_t n, Judged judged) {
    const std::size_t from = bytes_.size();
    bytes_.resize(from + n);
    pieces_.push_back({bytes_.size(), judged, SendResult::ArgumentsFailed});
    return std::span(bytes_).subspan(from);
  }

  // Forgets the arguments: the code alone goes out.
  void DropArguments() {
    const std::size_t codePieces = uart_ ? 1 : 0;
    pieces_.resize(codePieces);
    bytes_.resize(codePieces);
  }

  [[nodiscard]] SendResult Send() {
    if (!uart_ && link::SendCommand(port_, code_) != PORT_OK && codeJudged_ == Judged::Yes) {
      return SendResult::CommandFailed;
    }
    const std::span<const std::uint8_t> all(bytes_);
    std::size_t from = 0;
    while (from < all.size()) {
      std::size_t moved = 0;
      if (WriteCounting(port_, all.subspan(from), moved) == PORT_OK) break;
      const std::size_t failedAt = from + moved;
      const auto piece = std::find_if(pieces_.begin(), pieces_.end(),
                                      [failedAt](const Piece& p) { return p.end > failedAt; });
      if (piece == pieces_.end()) return SendResult::ArgumentsFailed;  // moved cannot pass the end
      if (piece->judged == Judged::Yes) return piece->failure;
      from = piece->end;
    }
    return SendResult::Sent;
  }

 private:
  struct Piece {
    std::size_t end;  // in bytes_, one past the piece's last byte
    Judged judged;
    SendResult failure;
  };

  void AddPiece(std::span<const std::uint8_t> piece, Judged judged, SendResult failure) {
    bytes_.insert(bytes_.end(), piece.begin(), piece.end());
    pieces_.push_back({bytes_.size(), judged, failure});
  }

  SerialPort& port_;
  std::uint8_t code_;
  Judged codeJudged_;
  bool uart_;
  std::vector<std::uint8_t>& bytes_;
  std::vector<Piece> pieces_;
};

std::uint8_t SumOf(std::span<const std::uint8_t> bytes) {
  return link::blockSum(bytes);
}

}  // namespace

PortStatus SendTfsOperation(SerialPort& port) {
  if (port.State().linkMode != link::LINK_USB) return PORT_OK;
  return link::SendPaddedCommand(port, TFS_OPERATION);
}

PortStatus ReadReply(SerialPort& port, std::uint8_t& reply) {
  std::uint8_t byte = 0;
  const PortStatus status = port.ReadFully(std::span(&byte, 1), FS_REPLY_TIMEOUT);
  if (status == PORT_OK) reply = byte;
  return status;
}

SendResult SendTimeRecord(SerialPort& port, const std::tm& local, std::uint8_t& expected) {
  const auto record = EncodeTimeRecord(local);
  expected = SumOf(record);
  std::vector<std::uint8_t> bytes;
  CommandWrite command(port, TFS_SET_TIME, Judged::Yes, bytes);
  command.Add(record, Judged::Yes);
  return command.Send();
}

SendResult SendDirRecord(SerialPort& port, std::string_view utf8Name, std::uint8_t& expected) {
  const auto record = EncodeNameRecord(utf8Name);
  expected = SumOf(record);
  // The code and the length bytes are not judged: a loss shows as a wrong echo.
  std::vector<std::uint8_t> bytes;
  CommandWrite command(port, TFS_CREATE_DIR, Judged::No, bytes);
  command.Add(std::span(record).first(1), Judged::No);
  command.Add(std::span(record).subspan(1, 1), Judged::No);
  command.Add(std::span(record).subspan(2), Judged::Yes);
  return command.Send();
}

void SendFileRecord(SerialPort& port, std::string_view utf8Name, std::uint32_t size,
                    std::uint8_t& expected) {
  const auto record = EncodeFileRecord(utf8Name, size);
  expected = SumOf(record);
  const std::span<const std::uint8_t> fields(record);
  const std::size_t nameEnd = fields.size() - 4;
  std::vector<std::uint8_t> bytes;
  CommandWrite command(port, TFS_ADD_FILE, Judged::No, bytes);
  command.Add(fields.first(1), Judged::No);
  command.Add(fields.subspan(1, 1), Judged::No);
  command.Add(fields.subspan(2, nameEnd - 2), Judged::No);
  for (std::size_t i = nameEnd; i < fields.size(); ++i) {
    command.Add(fields.subspan(i, 1), Judged::No);
  }
  (void)command.Send();
}

SendResult SendVersion(SerialPort& port, std::span<const std::uint8_t, VERSION_FIELD_SIZE> field) {
  std::vector<std::uint8_t> bytes;
  CommandWrite command(port, TFS_VERSION, Judged::Yes, bytes);
  command.Add(field, Judged::Yes);
  return command.Send();
}

SendResult SendReleaseVersion(SerialPort& port,
                              std::span<const std::uint8_t, RELEASE_FIELD_SIZE> field) {
  std::vector<std::uint8_t> bytes;
  CommandWrite command(port, TFS_RELEASE_VERSION, Judged::Yes, bytes);
  command.Add(field, Judged::Yes);
  return command.Send();
}

SendResult SendNoReleaseVersion(SerialPort& port) {
  if (link::SendCommand(port, TFS_NO_RELEASE_VERSION) != PORT_OK) {
    return SendResult::CommandFailed;
  }
  return SendResult::Sent;
}

SendResult SendFileChunk(SerialPort& port, std::istream& image, std::vector<std::uint8_t>& buffer,
                         std::uint32_t& remaining, bool& last, std::size_t& written,
                         std::uint8_t& expected) {
  expected = 0;
  written = 0;
  const std::size_t length = std::min<std::size_t>(FS_CHUNK_SIZE, remaining);
  CommandWrite command(port, TFS_ADD_DATA, Judged::Yes, buffer);
  const std::span<std::uint8_t> chunk = command.Reserve(length, Judged::Yes);
  // The image was measured when the listing loaded; one that shrank since cannot fill the
  // chunk, and a short chunk would leave the phone waiting for bytes that never come. The code
  // still goes out, on its own, and the download ends there.
  bool complete = true;
  if (length > 0) {
    image.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(length));
    complete = static_cast<std::size_t>(image.gcount()) == length;
  }
  if (!complete) command.DropArguments();
  const SendResult result = command.Send();
  if (result == SendResult::CommandFailed) return result;
  last = length < FS_CHUNK_SIZE;
  remaining -= static_cast<std::uint32_t>(length);
  if (!complete) return SendResult::ImageShort;
  if (result != SendResult::Sent) return result;
  written = length;
  expected = SumOf(chunk);
  return SendResult::Sent;
}

}  // namespace veska::fs
