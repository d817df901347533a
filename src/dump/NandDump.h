#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "app/Engine.h"
#include "app/OperationRunner.h"
#include "link/SerialPort.h"

namespace veska::dump {

// Commands of the dump. DUMP_START always goes as one bare byte, followed by the request (kind
// byte, first address, byte count); the answers to each chunk go in the link's command form.
inline constexpr std::uint8_t DUMP_START = 0xC0;
inline constexpr std::uint8_t DUMP_ACK = 0xC1;  // chunk accepted: send the next
inline constexpr std::uint8_t DUMP_NAK = 0xC2;  // sum mismatch: the dump ends

// Every write of the request and every read of a chunk or its sum uses this factor.
inline constexpr std::uint8_t kDumpTimeoutFactor = 8;

// How a dump failed, beyond the port's own statuses (link::PortStatus), which pass unchanged.
enum DumpStatus : int {
  DUMP_OK = 0,
  DUMP_FILE_NOT_CREATED = 130,   // "Internal Error! (file creation)": nothing was sent
  DUMP_SUM_MISMATCH = 131,       // a chunk's sum differed: DUMP_NAK was sent
  DUMP_FILE_WRITE_FAILED = 132,  // an accepted chunk could not be written to the file
};

// Where a flash read stopped, so that each caller can tell it in its own words.
enum class ReadStop {
  Complete,     // every chunk was accepted
  Request,      // DUMP_START or the request could not be sent
  ChunkData,    // a chunk did not arrive in full
  ChunkSum,     // a chunk's sum did not arrive
  SumMismatch,  // a chunk's sum differed: DUMP_NAK was sent
  SinkRefused,  // the callback refused a chunk: DUMP_NAK was sent
};

struct ReadOutcome {
  ReadStop stop = ReadStop::Complete;
  int status = DUMP_OK;       // DUMP_OK, a link::PortStatus, DUMP_SUM_MISMATCH or the sink's own
  std::uint8_t computed = 0;  // SumMismatch: the sum of the data received
  std::uint8_t received = 0;  // SumMismatch: the sum the phone sent
};

// Takes one accepted chunk; 0 to go on, any other value ends the read with that status.
using ChunkSink = std::function<int(std::span<const std::uint8_t> chunk)>;

// The chunks of one flash read as the phone sends them: how long the next one is, and what
// becomes of it and of the sum byte that follows it. Pure: ReadFlash does the port's part.
class ChunkReader {
 public:
  ChunkReader(std::uint8_t kind, std::uint32_t length) : kind_(kind), remaining_(length) {}

  // The length of the next chunk, at most app::DumpChunkSize(kind); 0 once every chunk came.
  [[nodiscard]] std::uint32_t NextLength() const;
  // Takes the next chunk (NextLength() bytes) and its sum byte: a chunk whose sum matches goes
  // to `sink`. Nothing while the read goes on (DUMP_ACK is due); otherwise how it ends
  // (SumMismatch or SinkRefused, DUMP_NAK is due). A chunk of another length ends it too, as a
  // chunk that did not arrive.
  [[nodiscard]] std::optional<ReadOutcome> Take(std::span<const std::uint8_t> data,
                                                std::uint8_t received, const ChunkSink& sink);

 private:
  std::uint8_t kind_;
  std::uint32_t remaining_;
};

// Reads `length` bytes of the area kind `kind` from `from` on an open port: DUMP_START and the
// request, then chunk by chunk, each with its sum. A chunk whose sum matches goes to `sink`
// before DUMP_ACK is sent; a mismatch or a refusal sends DUMP_NAK, which ends the phone's dump.
// Logs nothing. On USB the caller opens the session first (fs::SendTfsOperation).
[[nodiscard]] ReadOutcome ReadFlash(link::SerialPort& port, bool usb, std::uint8_t kind,
                                    std::uint32_t from, std::uint32_t length,
                                    const ChunkSink& sink);

// One area of the flash to read: [from, to) and the kind byte (data, or pages with their spare
// bytes), as the area dialog sets them.
struct DumpRequest {
  std::uint32_t from = 0;
  std::uint32_t to = 0;
  std::uint8_t kind = 0;
};

// The NAND dump's exchange on the engine's port (opened and closed here) into `file`, which
// takes each chunk as soon as the phone's sum for it matched. Written when the whole area
// reached the file; Failed with a DumpStatus or a link::PortStatus otherwise (the file then
// keeps the chunks accepted so far).
[[nodiscard]] app::OperationResult DumpArea(const app::EngineContext& engine,
                                            const DumpRequest& request, std::FILE* file);

}  // namespace veska::dump
