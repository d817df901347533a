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
#include "app/Templates.h"
#include "dump/NandDumpDlg.h"
#include "fs/FsCommands.h"
#include "fs/Listing.h"
#include "link/BaudCodes.h"
#include "link/BlockSum.h"
#include "link/Wire.h"

namespace veska::dump {

using app::DownloaderDlg;
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
  DumpSession(DownloaderDlg& dlg, std::FILE* file) : dlg_(dlg), port_(dlg.port), file_(file) {}

  OperationResult Run() {
    const bool usb = dlg_.State().link.linkMode.load() == link::LINK_USB;
    if (usb) {
      if (const link::PortStatus s = fs::SendTfsOperation(port_); s != PORT_OK) {
        dlg_.AppendLog("     Send TFS Operation command fail!\n");
        return Failed(s);
      }
    }
    start_ = dlg_.Host().TickCount();
    dlg_.AppendLog("\n\n  * NAND dump");
    dlg_.AppendLog("\n     Dumping Nand Flash area..\t\t\t> > > ");

    const app::ProcessState& state = dlg_.State();
    const std::uint8_t kind = state.dumpAreaKind;
    const std::uint32_t length = app::DumpByteCount(state.dumpFrom, state.dumpTo, kind);
    dlg_.SetProgressRange(length);

    // The file takes each chunk as soon as it is accepted, whatever the size of the area.
    const ReadOutcome read = ReadFlash(
        port_, usb, kind, state.dumpFrom, length, [this](std::span<const std::uint8_t> data) {
          const std::size_t n = data.size();
          dlg_.progressCount += static_cast<std::uint32_t>(n);
          dlg_.SetProgressPos(dlg_.progressCount);
          if (std::fwrite(data.data(), 1, n, file_) != n || std::fflush(file_) != 0) {
            return static_cast<int>(DUMP_FILE_WRITE_FAILED);
          }
          return static_cast<int>(DUMP_OK);
        });
    switch (read.stop) {
      case ReadStop::Complete:
        break;
      case ReadStop::Request:
        dlg_.AppendLog("Send dump request fail!\n");
        return Failed(read.status);
      case ReadStop::ChunkData:
        dlg_.AppendLog("Receive Dump data fail!\n");
        return Failed(read.status);
      case ReadStop::ChunkSum:
        dlg_.AppendLog("Receive checksum fail!\n");
        return Failed(read.status);
      case ReadStop::SumMismatch:
        dlg_.AppendLog(Printf("checksum is %x, ch is %x ", read.computed, read.received));
        dlg_.AppendLog("Dump fail!\n");
        AppendElapsed();
        return Failed(read.status);
      case ReadStop::SinkRefused:
        // The phone would have gone on sending what the file cannot take.
        dlg_.AppendLog("Write dump file fail!\n");
        return Failed(read.status);
    }
    dlg_.AppendLog("Dump Success!!\n");
    AppendElapsed();
    dlg_.Host().MessageBox(&dlg_.Wnd(), "Dump Finished", "  NOTICE  ", ui::MB_OK);
    return OperationResult::Ended(kId, Outcome::Written);
  }

 private:
  void AppendElapsed() {
    const double seconds = static_cast<double>(dlg_.Host().TickCount() - start_) * 0.001;
    dlg_.AppendLog(Printf("     ( Elapsed Time : %5.1fs)\n", seconds));
  }
  static OperationResult Failed(int status) {
    return OperationResult::Ended(kId, Outcome::Failed, status);
  }

  DownloaderDlg& dlg_;
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

void OnNandDump(DownloaderDlg& dlg) {
  if (!dlg.BeginConnectedOperation(kId)) return;
  dlg.Runner().StartWorker(kId, [&dlg] { return DumpThread(dlg); });
}

OperationResult DumpThread(DownloaderDlg& dlg) {
  dlg.progressCount = 0;
  dlg.SetProgressPos(0);
  return RunNandDump(dlg);
}

OperationResult RunNandDump(DownloaderDlg& dlg) {
  // Every way out after the area dialog leaves the window connected, unless Disconnect came:
  // the window is idle then and expects nothing more.
  auto stop = [&dlg](Outcome outcome, int status, std::string_view reason = {}) {
    if (dlg.State().link.openAllowed.load()) dlg.EnterConnectedState();
    return OperationResult::Ended(kId, outcome, status, std::string(reason));
  };

  NandDumpDlg areaDialog(dlg.State());
  // OK is offered only once an area is chosen; a host that ends the dialog otherwise still gets
  // no dump of nothing.
  if (dlg.Host().RunModal(app::kDumpAreaDialogTemplate, areaDialog, &dlg.Wnd()) != ui::IDOK ||
      NandDumpDlg::AreaInForce(dlg.State()) == nullptr) {
    return stop(Outcome::Refused, 0, "area dialog cancelled");
  }

  ui::FileDialogRequest request;
  request.open = false;
  request.filter = std::string(kDumpFileFilter);
  request.defaultExtension = std::string(kDumpFileExtension);
  request.flags = ui::OFN_HIDEREADONLY | ui::OFN_OVERWRITEPROMPT;
  const std::string path = dlg.Host().FileDialog(&dlg.Wnd(), request).value_or(std::string());

  if (!dlg.StartCheck()) return stop(Outcome::Refused, 0, "no port chosen");
  if (!link::IsLoaderBaudCode(dlg.port.baudCode)) {
    return stop(Outcome::Refused, 0, "no loader runs at a known rate (connect first)");
  }
  if (path.empty()) {
    static constexpr std::string_view kNoFile = "No file selected";
    dlg.Host().MessageBox(&dlg.Wnd(), kNoFile);
    return stop(Outcome::Refused, 0, kNoFile);
  }

  // A FIFO or a device would hang the dump or take the data nowhere: only a file.
  const fs::UniqueFile file = fs::CreateRegularFile(path);
  if (!file) {
    static constexpr std::string_view kNotCreated = "Internal Error! (file creation)";
    dlg.Host().MessageBox(&dlg.Wnd(), kNotCreated);
    return stop(Outcome::Failed, DUMP_FILE_NOT_CREATED, kNotCreated);
  }

  link::SerialPort& port = dlg.port;
  if (const link::PortStatus opened = link::OpenForLinkMode(port); opened != PORT_OK) {
    if (dlg.State().link.openAllowed.load()) {
      dlg.Host().MessageBox(&dlg.Wnd(), "Comport Open error!");
    }
    return stop(Outcome::Failed, opened, "Comport Open error!");
  }
  const OperationResult result = DumpSession(dlg, file.get()).Run();
  port.Close();
  return stop(result.outcome, result.status);
}

void AddOperations(app::DlgOperations& operations) {
  operations.nandDump = OnNandDump;
}

}  // namespace veska::dump
