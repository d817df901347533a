#include "fs/FsCommands.h"

#include <algorithm>

#include "fs/FsRecords.h"
#include "link/BlockSum.h"
#include "link/LinkState.h"
#include "link/Wire.h"

namespace veska::fs {

using link::PORT_OK;
using link::PortStatus;
using link::SerialPort;

namespace {

bool OnUart(const SerialPort& port) {
  return port.State().linkMode == link::LINK_UART;
}

PortStatus WriteArguments(SerialPort& port, std::span<const std::uint8_t> bytes) {
  return port.WriteFully(bytes, ARGUMENT_TIMEOUT);
}

// Byte by byte on the UART link, one write on USB; every write judged.
PortStatus WriteFieldForLink(SerialPort& port, std::span<const std::uint8_t> bytes) {
  if (!OnUart(port)) return WriteArguments(port, bytes);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (PortStatus status = WriteArguments(port, bytes.subspan(i, 1)); status != PORT_OK) {
      return status;
    }
  }
  return PORT_OK;
}

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
  if (link::SendCommand(port, TFS_SET_TIME) != PORT_OK) return SendResult::CommandFailed;
  if (WriteFieldForLink(port, record) != PORT_OK) return SendResult::ArgumentsFailed;
  return SendResult::Sent;
}

SendResult SendDirRecord(SerialPort& port, std::string_view utf8Name, std::uint8_t& expected) {
  const auto record = EncodeNameRecord(utf8Name);
  expected = SumOf(record);
  // The command and the length bytes are not judged: a loss shows as a wrong echo.
  (void)link::SendCommand(port, TFS_CREATE_DIR);
  (void)WriteArguments(port, std::span(record).first(1));
  (void)WriteArguments(port, std::span(record).subspan(1, 1));
  if (WriteArguments(port, std::span(record).subspan(2)) != PORT_OK) {
    return SendResult::ArgumentsFailed;
  }
  return SendResult::Sent;
}

void SendFileRecord(SerialPort& port, std::string_view utf8Name, std::uint32_t size,
                    std::uint8_t& expected) {
  const auto record = EncodeFileRecord(utf8Name, size);
  expected = SumOf(record);
  const std::span<const std::uint8_t> bytes(record);
  const std::size_t nameEnd = bytes.size() - 4;
  (void)link::SendCommand(port, TFS_ADD_FILE);
  (void)WriteArguments(port, bytes.first(1));
  (void)WriteArguments(port, bytes.subspan(1, 1));
  (void)WriteArguments(port, bytes.subspan(2, nameEnd - 2));
  for (std::size_t i = nameEnd; i < bytes.size(); ++i) {
    (void)WriteArguments(port, bytes.subspan(i, 1));
  }
}

SendResult SendVersion(SerialPort& port, std::span<const std::uint8_t, VERSION_FIELD_SIZE> field) {
  if (link::SendCommand(port, TFS_VERSION) != PORT_OK) return SendResult::CommandFailed;
  if (WriteFieldForLink(port, field) != PORT_OK) return SendResult::ArgumentsFailed;
  return SendResult::Sent;
}

SendResult SendReleaseVersion(SerialPort& port,
                              std::span<const std::uint8_t, RELEASE_FIELD_SIZE> field) {
  if (link::SendCommand(port, TFS_RELEASE_VERSION) != PORT_OK) return SendResult::CommandFailed;
  if (WriteArguments(port, field) != PORT_OK) return SendResult::ArgumentsFailed;
  return SendResult::Sent;
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
  if (link::SendCommand(port, TFS_ADD_DATA) != PORT_OK) return SendResult::CommandFailed;
  const std::size_t length = std::min<std::size_t>(FS_CHUNK_SIZE, remaining);
  last = length < FS_CHUNK_SIZE;
  remaining -= static_cast<std::uint32_t>(length);
  if (length == 0) return SendResult::Sent;

  buffer.resize(FS_CHUNK_SIZE);
  image.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(length));
  // The image was measured when the listing loaded; one that shrank since cannot fill the
  // chunk, and a short chunk would leave the phone waiting for bytes that never come.
  if (static_cast<std::size_t>(image.gcount()) != length) return SendResult::ImageShort;
  const std::span<const std::uint8_t> chunk(buffer.data(), length);
  if (WriteArguments(port, chunk) != PORT_OK) return SendResult::ArgumentsFailed;
  written = length;
  expected = SumOf(chunk);
  return SendResult::Sent;
}

}  // namespace veska::fs
