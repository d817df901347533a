#include "dump/ReadBackVerify.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/Printf.h"
#include "dump/NandDump.h"
#include "fs/FsCommands.h"
#include "link/FilePath.h"
#include "link/UniqueFile.h"

namespace veska::dump {

using app::EngineContext;
using app::Printf;

namespace {

using File = link::UniqueFile;

// Compares the chunks of one image, as they arrive, with its file.
class ImageComparison {
 public:
  ImageComparison(std::FILE* file, std::uint32_t address, std::uint32_t size)
      : file_(file), address_(address), size_(size) {}

  // The dump's chunk callback: 0 while everything matched so far.
  int Take(std::span<const std::uint8_t> chunk) {
    // Past the file's end the page holds whatever the flash held: nothing to compare.
    const std::uint32_t n =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(chunk.size(), size_ - offset_));
    buffer_.resize(n);
    if (n > 0 && std::fread(buffer_.data(), 1, n, file_) != n) return VERIFY_FILE_ERROR;
    const auto [fileAt, flashAt] = std::mismatch(buffer_.begin(), buffer_.end(), chunk.begin());
    if (fileAt != buffer_.end()) {
      const auto at = static_cast<std::uint32_t>(fileAt - buffer_.begin());
      differingAddress_ = address_ + offset_ + at;
      fileByte_ = *fileAt;
      flashByte_ = *flashAt;
      return VERIFY_MISMATCH;
    }
    offset_ += static_cast<std::uint32_t>(chunk.size());
    return VERIFY_OK;
  }

  [[nodiscard]] std::uint32_t Offset() const { return offset_; }
  [[nodiscard]] app::Cause DifferenceCause(app::ImageKind kind) const {
    return app::Cause::Difference(kind, differingAddress_, fileByte_, flashByte_);
  }
  [[nodiscard]] std::string Difference() const {
    return Printf("Failed at 0x%08X: file 0x%02X, flash 0x%02X", differingAddress_, fileByte_,
                  flashByte_);
  }

 private:
  std::FILE* file_;
  std::uint32_t address_;
  std::uint32_t size_;
  std::uint32_t offset_ = 0;
  std::vector<std::uint8_t> buffer_;
  std::uint32_t differingAddress_ = 0;
  std::uint8_t fileByte_ = 0;
  std::uint8_t flashByte_ = 0;
};

// Reads back one image; returns its status and appends its log line. `verdict` receives the
// line's verdict ("OK", or what failed and where).
int VerifyImage(const EngineContext& engine, const ImageToVerify& image, std::string& verdict) {
  const app::ImageInfo& info = app::Catalogue(image.kind);
  const std::uint32_t address = info.address.value_or(0);
  const std::uint32_t size = image.size;
  const std::uint32_t length =
      (size + app::kDumpDataChunk - 1) / app::kDumpDataChunk * app::kDumpDataChunk;
  const bool usb = engine.Usb();
  auto report = [&engine, &info, &verdict](int status, const std::string& text) {
    engine.narrator.Log(Printf("\n      Verify %s\t\t\t\t> > > %s\n",
                               std::string(info.logName).c_str(), text.c_str()));
    verdict = text;
    return status;
  };

  const File file(link::OpenFile(image.path, "rb"));
  if (!file) {
    engine.causes.Note(app::Cause::File(image.kind, app::FileRule::CannotOpen, image.path));
    return report(VERIFY_FILE_ERROR, "Failed (file open error)");
  }

  link::SerialPort& port = engine.port;
  if (const link::PortStatus s = link::OpenForLinkMode(port); s != link::PORT_OK) {
    port.Close();
    return report(s, "Failed (Comport Open error)");
  }
  ImageComparison comparison(file.get(), address, size);
  ReadOutcome read{ReadStop::Request};
  read.status = usb ? fs::SendTfsOperation(port) : link::PORT_OK;
  if (read.status == link::PORT_OK) {
    read = ReadFlash(port, usb, app::DUMP_DATA, address, length,
                     [&engine, &comparison](std::span<const std::uint8_t> chunk) {
                       engine.narrator.AddProgress(chunk.size());
                       return comparison.Take(chunk);
                     });
  }
  port.Close();

  const std::uint32_t at = address + comparison.Offset();
  switch (read.stop) {
    case ReadStop::Complete:
      return report(VERIFY_OK, "OK");
    case ReadStop::Request:
      return report(read.status, "Failed (read-back request not sent)");
    case ReadStop::ChunkData:
    case ReadStop::ChunkSum:
      engine.NoteSilence(read.status, "the read-back data");
      return report(read.status, Printf("Failed (no read-back data at 0x%08X)", at));
    case ReadStop::SumMismatch:
      return report(read.status, Printf("Failed (read-back at 0x%08X damaged on the line)", at));
    case ReadStop::SinkRefused:
      break;
  }
  if (read.status == VERIFY_MISMATCH) {
    engine.causes.Note(comparison.DifferenceCause(image.kind));
    return report(read.status, comparison.Difference());
  }
  engine.causes.Note(app::Cause::File(image.kind, app::FileRule::ReadFailed, image.path));
  return report(read.status, "Failed (file read error)");
}

}  // namespace

int VerifyWritten(const EngineContext& engine, std::span<const ImageToVerify> written) {
  app::Narrator& narrator = engine.narrator;
  std::uint32_t total = 0;
  for (const ImageToVerify& image : written) {
    if (app::Catalogue(image.kind).address) total += image.size;
  }
  narrator.SetProgressRange(total);
  narrator.ResetProgress();
  narrator.SetProgressPos(0);

  int first = VERIFY_OK;
  std::string firstFailure;
  app::Cause firstCause;
  for (const ImageToVerify& image : written) {
    const app::ImageInfo& info = app::Catalogue(image.kind);
    if (!info.address) continue;  // a file system: the phone rewrote it, no copy to compare
    std::string verdict;
    const int status = VerifyImage(engine, image, verdict);
    if (first == VERIFY_OK && status != VERIFY_OK) {
      first = status;
      firstFailure = "Verify " + std::string(info.logName) + " " + verdict;
      firstCause = engine.causes.Last();
    }
    // A link that failed will not serve the next image either; Disconnect ends it too.
    if (status != VERIFY_OK && status != VERIFY_MISMATCH && status != VERIFY_FILE_ERROR) break;
    if (!engine.Allowed()) break;
  }
  // The log line of a difference soon scrolls out of sight: like a failed download, it gets a
  // box (which the hosts also show in the status line or on standard error). After a
  // Disconnect the user expects no report.
  if (first != VERIFY_OK && engine.Allowed()) narrator.Message(firstFailure, "Failure", ui::MB_OK);
  // The read-back's result is its first failure, whatever the images after it met.
  if (first != VERIFY_OK) engine.causes.Note(std::move(firstCause));
  return first;
}

}  // namespace veska::dump
