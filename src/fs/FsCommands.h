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
// (a bare byte on UART, a ShortFrame on USB); its argument bytes follow raw, never framed. Each
// command leaves in as few writes as the link allows: on UART the code and its arguments in one
// write, on USB the ShortFrame and then the arguments in one write. Each sender still judges
// every field as it would have judged the field's own write and reports which one failed,
// because the download names them apart.
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

// TFS_SET_TIME and the time record, the code and every byte judged; `expected` is the sum the
// phone echoes.
[[nodiscard]] SendResult SendTimeRecord(link::SerialPort& port, const std::tm& local,
                                        std::uint8_t& expected);

// TFS_CREATE_DIR and the name record; only the name and its zero are judged (a failure in the
// code or the length bytes leaves them out and the rest still goes).
[[nodiscard]] SendResult SendDirRecord(link::SerialPort& port, std::string_view utf8Name,
                                       std::uint8_t& expected);

// TFS_ADD_FILE and the file record. Nothing is judged: a field that did not arrive shows as a
// wrong or missing reply, and the fields after it still go.
void SendFileRecord(link::SerialPort& port, std::string_view utf8Name, std::uint32_t size,
                    std::uint8_t& expected);

// TFS_VERSION and the 16-byte field.
[[nodiscard]] SendResult SendVersion(link::SerialPort& port,
                                     std::span<const std::uint8_t, VERSION_FIELD_SIZE> field);
// TFS_RELEASE_VERSION and the 12-byte field.
[[nodiscard]] SendResult SendReleaseVersion(
    link::SerialPort& port, std::span<const std::uint8_t, RELEASE_FIELD_SIZE> field);
[[nodiscard]] SendResult SendNoReleaseVersion(link::SerialPort& port);

// TFS_ADD_DATA and the next chunk of the current file, read from `image` at its position:
// 8192 bytes while that many remain, else the rest (possibly nothing), which is the file's
// last chunk. `remaining` drops by the chunk; `written` is what went out; `expected` its sum.
// The image is read before anything is written; a short read sends the code alone.
[[nodiscard]] SendResult SendFileChunk(link::SerialPort& port, std::istream& image,
                                       std::vector<std::uint8_t>& buffer, std::uint32_t& remaining,
                                       bool& last, std::size_t& written, std::uint8_t& expected);

}  // namespace veska::fs
