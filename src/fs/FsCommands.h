#pragma once

#include <cstdint>
#include <ctime>
#include <istream>
#include <span>
#include <string_view>
#include <vector>

#include "fs/FsCodes.h"
#include "link/PortStatus.h"
#include "link/SerialPort.h"

namespace veska::fs {

// The senders of the file-system download. A command code goes out in the link's command form
// (a bare byte on UART, a ShortFrame on USB); its argument bytes follow raw, never framed.
// Each sender reports which of its writes failed, because the download names them apart.
enum class SendResult {
  Sent,
  CommandFailed,
  ArgumentsFailed,
  ImageShort,  // the image file held fewer bytes than the chunk needs
};

// USB only: the 16-byte padded 0xCE that opens a file-system session. Nothing on UART.
[[nodiscard]] link::PortStatus SendTfsOperation(link::SerialPort& port);

// One reply byte, factor 255.
[[nodiscard]] link::PortStatus ReadReply(link::SerialPort& port, std::uint8_t& reply);

// TFS_SET_TIME and the time record (byte by byte on UART, each write judged); `expected` is the
// sum the phone echoes.
[[nodiscard]] SendResult SendTimeRecord(link::SerialPort& port, const std::tm& local,
                                        std::uint8_t& expected);

// TFS_CREATE_DIR and the name record: the two length bytes one at a time, then the name and its
// zero in one write; only that last write is judged.
[[nodiscard]] SendResult SendDirRecord(link::SerialPort& port, std::string_view utf8Name,
                                       std::uint8_t& expected);

// TFS_ADD_FILE and the file record, every field its own write. Nothing is judged: a record that
// did not arrive shows as a wrong or missing reply.
void SendFileRecord(link::SerialPort& port, std::string_view utf8Name, std::uint32_t size,
                    std::uint8_t& expected);

// TFS_VERSION and the 16-byte field (byte by byte on UART).
[[nodiscard]] SendResult SendVersion(link::SerialPort& port,
                                     std::span<const std::uint8_t, VERSION_FIELD_SIZE> field);
// TFS_RELEASE_VERSION and the 12-byte field in one write on both links.
[[nodiscard]] SendResult SendReleaseVersion(
    link::SerialPort& port, std::span<const std::uint8_t, RELEASE_FIELD_SIZE> field);
[[nodiscard]] SendResult SendNoReleaseVersion(link::SerialPort& port);

// TFS_ADD_DATA and the next chunk of the current file, read from `image` at its position:
// 8192 bytes while that many remain, else the rest (possibly nothing), which is the file's
// last chunk. `remaining` drops by the chunk; `written` is what went out; `expected` its sum.
[[nodiscard]] SendResult SendFileChunk(link::SerialPort& port, std::istream& image,
                                       std::vector<std::uint8_t>& buffer, std::uint32_t& remaining,
                                       bool& last, std::size_t& written, std::uint8_t& expected);

}  // namespace veska::fs
