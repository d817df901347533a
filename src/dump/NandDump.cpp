#include "dump/NandDump.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "app/FlashMap.h"
#include "app/Printf.h"
#include "fs/FsCommands.h"
#include "link/BaudCodes.h"
#include "link/BlockSum.h"
#include "link/Wire.h"

namespace veska::dump {

using app::EngineContext;
using app::OperationId;
using app::OperationResult;
using app::Outcome;
using app::Printf;
using link::PORT_OK;

namespace {

constexpr OperationId kId = OperationId::NandDump;

// One number of the request: little-endian on the USB link, big-endian on the UART link.
std::array<std::uint8_t, 4> RequestNumber(std::uint32_t value, bool usb) {
  if (!usb) return link::EncodeUartNumber(value);
  std::array<std::uint8_t, 4> bytes{};
  link::PutLe32(bytes, value);
  return bytes;
}

// DUMP_START and the request, each item its own write.
link::PortStatus SendRequest(link::SerialPort& port, std::uint8_t kind, std::uint32_t from,
                             std::uint32_t length, bool usb) {
  const std::uint8_t start = DUMP_START;
  if (auto s = port.WriteFully(std::span(&start, 1), kDumpTimeoutFactor); s != PORT_OK) return s;
  if (auto s = port.WriteFully(std::span(&kind, 1), kDumpTimeoutFactor); s != PORT_OK) return s;
  const auto fromBytes = RequestNumber(from, usb);
  if (auto s = port.WriteFully(fromBytes, kDumpTimeoutFactor); s != PORT_OK) return s;
  const auto lengthBytes = RequestNumber(length, usb);
  return port.WriteFully(lengthBytes, kDumpTimeoutFactor);
}

// The exchange once the area and the file are known: everything between opening and closing
// the port. `elapsedFrom` is set when the narration starts.
class DumpSession {
 public:
  DumpSession(const EngineContext& engine, std::FILE* file)
      : engine_(engine), narrator_(engine.narrator), port_(engine.port), file_(file) {}

  OperationResult Run(const DumpRequest& request) {
    const bool usb = engine_.Usb();
    if (usb) {
      if (const link::PortStatus s = fs::SendTfsOperation(port_); s != PORT_OK) {
        narrator_.Log("     Send TFS Operation command fail!\n");
        return Failed(s);
      }
    }
    start_ = engine_.clock.TickCount();
    narrator_.Log("\n\n  * NAND dump");
    narrator_.Log("\n     Dumping Nand Flash area..\t\t\t> > > ");

    const std::uint8_t kind = request.kind;
    const std::uint32_t length = app::DumpByteCount(request.from, request.to, kind);
    narrator_.SetProgressRange(length);

    // The file takes each chunk as soon as it is accepted, whatever the size of the area.
    const ReadOutcome read = ReadFlash(
        port_, usb, kind, request.from, length, [this](std::span<const std::uint8_t> data) {
          const std::size_t n = data.size();
          narrator_.AddProgress(n);
          if (std::fwrite(data.data(), 1, n, file_) != n || std::fflush(file_) != 0) {
            return static_cast<int>(DUMP_FILE_WRITE_FAILED);
          }
          return static_cast<int>(DUMP_OK);
        });
    switch (read.stop) {
      case ReadStop::Complete:
        break;
      case ReadStop::Request:
        narrator_.Log("Send dump request fail!\n");
        return Failed(read.status);
      case ReadStop::ChunkData:
        narrator_.Log("Receive Dump data fail!\n");
        engine_.NoteSilence(read.status, "a chunk of the dump");
        return Failed(read.status);
      case ReadStop::ChunkSum:
        narrator_.Log("Receive checksum fail!\n");
        engine_.NoteSilence(read.status, "a chunk's sum");
        return Failed(read.status);
      case ReadStop::SumMismatch:
        narrator_.Log(Printf("checksum is %x, ch is %x ", read.computed, read.received));
        narrator_.Log("Dump fail!\n");
        AppendElapsed();
        return Failed(read.status);
      case ReadStop::SinkRefused:
        // The phone would have gone on sending what the file cannot take.
        narrator_.Log("Write dump file fail!\n");
        engine_.causes.Note(app::Cause::File(std::nullopt, app::FileRule::WriteFailed, {}));
        return Failed(read.status);
    }
    narrator_.Log("Dump Success!!\n");
    AppendElapsed();
    narrator_.Message("Dump Finished", "  NOTICE  ", ui::MB_OK);
    return OperationResult::Ended(kId, Outcome::Written);
  }

 private:
  void AppendElapsed() {
    const double seconds = static_cast<double>(engine_.clock.TickCount() - start_) * 0.001;
    narrator_.Log(Printf("     ( Elapsed Time : %5.1fs)\n", seconds));
  }
  static OperationResult Failed(int status) {
    return OperationResult::Ended(kId, Outcome::Failed, status);
  }

  const EngineContext& engine_;
  app::Narrator& narrator_;
  link::SerialPort& port_;
  std::FILE* file_;
  std::uint64_t start_ = 0;
};

}  // namespace

std::uint32_t ChunkReader::NextLength() const {
  return std::min(remaining_, app::DumpChunkSize(kind_));
}

std::optional<ReadOutcome> ChunkReader::Take(std::span<const std::uint8_t> data,
                                             std::uint8_t received, const ChunkSink& sink) {
  if (data.size() != NextLength() || data.empty()) {
    return ReadOutcome{ReadStop::ChunkData, link::PORT_NO_REPLY};
  }
  const std::uint8_t computed = link::blockSum(data);
  if (computed != received) {
    return ReadOutcome{ReadStop::SumMismatch, DUMP_SUM_MISMATCH, computed, received};
  }
  if (const int s = sink(data); s != DUMP_OK) return ReadOutcome{ReadStop::SinkRefused, s};
  remaining_ -= static_cast<std::uint32_t>(data.size());
  return std::nullopt;
}

ReadOutcome ReadFlash(link::SerialPort& port, bool usb, std::uint8_t kind, std::uint32_t from,
                      std::uint32_t length, const ChunkSink& sink) {
  if (const link::PortStatus s = SendRequest(port, kind, from, length, usb); s != PORT_OK) {
    return {ReadStop::Request, s};
  }
  // One chunk at a time, whatever the area.
  std::vector<std::uint8_t> chunk(app::DumpChunkSize(kind));
  ChunkReader reader(kind, length);
  while (const std::uint32_t n = reader.NextLength()) {
    const std::span<std::uint8_t> data = std::span(chunk).first(n);
    if (const link::PortStatus s = port.ReadFully(data, kDumpTimeoutFactor); s != PORT_OK) {
      return {ReadStop::ChunkData, s};
    }
    std::uint8_t received = 0;
    if (const link::PortStatus s = port.ReadFully(std::span(&received, 1), kDumpTimeoutFactor);
        s != PORT_OK) {
      return {ReadStop::ChunkSum, s};
    }
    if (const std::optional<ReadOutcome> end = reader.Take(data, received, sink)) {
      (void)link::SendCommand(port, DUMP_NAK);  // the phone ends the dump on it
      return *end;
    }
    (void)link::SendCommand(port, DUMP_ACK);  // a lost answer shows as the next chunk missing
  }
  return {};
}

OperationResult DumpArea(const EngineContext& engine, const DumpRequest& request, std::FILE* file) {
  link::SerialPort& port = engine.port;
  if (const link::PortStatus opened = link::OpenForLinkMode(port); opened != PORT_OK) {
    if (engine.Allowed()) engine.narrator.Message("Comport Open error!");
    return OperationResult::Ended(kId, Outcome::Failed, opened, "Comport Open error!");
  }
  const OperationResult result = DumpSession(engine, file).Run(request);
  port.Close();
  return OperationResult::Ended(kId, result.outcome, result.status);
}

}  // namespace veska::dump
