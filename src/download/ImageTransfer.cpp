#include "download/ImageTransfer.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>

#include "app/Printf.h"
#include "download/TransferRequests.h"
#include "link/BaudCodes.h"
#include "link/FilePath.h"
#include "link/UniqueFile.h"
#include "link/Wire.h"

#if defined(_WIN32)
#include <share.h>
#else
#include <sys/file.h>
#include <sys/stat.h>
#endif

namespace veska::download {

using app::EngineContext;
using link::PORT_OK;
using link::SerialPort;
using namespace std::chrono_literals;

namespace {

// Codes the PC sends.
constexpr std::uint8_t IMAGE_REQUEST = 0x5A;  // USB: RequestFrame; UART: a command byte
constexpr std::uint8_t BLOCK_ACK = 0x30;      // USB: the block follows
constexpr std::uint8_t IMAGE_ACK = 0x31;      // USB: final acknowledgement
constexpr std::uint8_t UART_ACK = 0x2D;       // UART: answers 0x26 and 0x27

// Time-out factors of the UART exchange: the sync byte comes at once, while between blocks the
// phone may be busy programming its flash.
constexpr std::uint8_t UART_SYNC_TIMEOUT = 8;
constexpr std::uint8_t UART_REPLY_TIMEOUT = 15;
// A phone that answers the request with anything but the sync byte is still busy with
// something else; it is given a second before being asked again.
constexpr auto kResyncPause = 1000ms;
// Erased flash reads as 0xFF, so a block the file cannot fill is completed with that.
constexpr std::uint8_t kErasedByte = 0xFF;

using FileHandle = link::UniqueFile;

#if defined(_WIN32)

FileHandle OpenImageFile(const std::string& path) {
  // Readers may share the file; a writer could change it under the transfer.
  return FileHandle(_wfsopen(link::PathOf(path).c_str(), L"rb", _SH_DENYWR));
}

#else

FileHandle OpenImageFile(const std::string& path) {
  FileHandle file(link::OpenFile(path, "rbe"));
  if (!file) return file;
  struct stat info {};
  // A folder opens on Linux, but yields no bytes: it is no image file.
  if (::fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
  // The nearest Linux comes to denying other writers: a program that holds the file under an
  // exclusive lock keeps it, and one that asks for such a lock waits until the transfer ends.
  if (::flock(fileno(file.get()), LOCK_SH | LOCK_NB) != 0) return nullptr;
  return file;
}

#endif

// One transfer's port and image file: the common start opens both, and both are closed on
// every way out.
class TransferSession {
 public:
  // `size` is the length the request measured: what the phone is told, and what the file must
  // still hold.
  TransferSession(const EngineContext& engine, std::uint32_t size)
      : engine_(engine), narrator_(engine.narrator), port_(engine.port), size_(size) {}
  ~TransferSession() { port_.Close(); }
  TransferSession(const TransferSession&) = delete;
  TransferSession& operator=(const TransferSession&) = delete;

  [[nodiscard]] int Begin(const std::string& path) {
    if (!link::IsLoaderBaudCode(port_.baudCode)) return TRANSFER_BAD_BAUD;
    const link::PortStatus opened = link::OpenForLinkMode(port_);
    if (opened != PORT_OK) return opened;
    path_ = path;
    file_ = OpenImageFile(path);
    if (!file_) {
      engine_.causes.Note(app::Cause::File(std::nullopt, app::FileRule::CannotOpen, path));
      narrator_.Message("Fail to open bin file!");
      return TRANSFER_NO_FILE;
    }
    return TRANSFER_OK;
  }

  // Reads the next `length` bytes of the file into the start of the transfer buffer. A request
  // longer than the buffer is refused with a log line; one for which the measured image has no
  // byte left (at its end, or of length 0) fails. Only the part of a block past the measured end
  // is padded with erased flash: a file that fails to read or ends before its measured length
  // is a failed image with its own log line, never a block of stand-in bytes.
  [[nodiscard]] int FillBlock(std::uint32_t length) {
    if (int status = CheckBlockLength(length); status != TRANSFER_OK) return status;
    std::vector<std::uint8_t>& buffer = port_.State().transferBuffer;
    const std::uint64_t left = size_ > offset_ ? size_ - offset_ : 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(length, left));
    if (want == 0) return TRANSFER_NO_DATA;
    const std::size_t got = std::fread(buffer.data(), 1, want, file_.get());
    offset_ += got;
    if (got < want) {
      engine_.causes.Note(app::Cause::File(std::nullopt, app::FileRule::ReadFailed, path_));
      if (std::ferror(file_.get()) != 0) {
        narrator_.Log("Read error in the image file!\r\n");
      } else {
        narrator_.Log(app::Printf("The image file ended at %llu of %u bytes!\r\n",
                                  static_cast<unsigned long long>(offset_),
                                  static_cast<unsigned>(size_)));
      }
      return TRANSFER_FILE_ERROR;
    }
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(want),
              buffer.begin() + static_cast<std::ptrdiff_t>(length), kErasedByte);
    return TRANSFER_OK;
  }

  // The length the phone asked for must fit the transfer buffer; it is never trusted further.
  [[nodiscard]] int CheckBlockLength(std::uint32_t length) {
    const std::optional<std::string> refusal =
        BlockLengthRefusal(length, port_.State().transferBuffer.size());
    if (!refusal) return TRANSFER_OK;
    narrator_.Log(*refusal);
    return TRANSFER_NO_DATA;
  }

  [[nodiscard]] SerialPort& Port() { return port_; }
  [[nodiscard]] link::LinkState& Link() { return port_.State(); }

 private:
  const EngineContext& engine_;
  app::Narrator& narrator_;
  SerialPort& port_;
  std::string path_;
  std::uint64_t size_;
  std::uint64_t offset_ = 0;  // bytes of the file served so far
  FileHandle file_;
};

int WriteByte(SerialPort& port, std::uint8_t byte) {
  return port.WriteFully(std::span(&byte, 1), link::COMMAND_TIMEOUT);
}

int ReadByte(SerialPort& port, std::uint8_t timeoutFactor, std::uint8_t& byte) {
  std::uint8_t received = 0;
  const link::PortStatus status = port.ReadFully(std::span(&received, 1), timeoutFactor);
  byte = received;
  return status;
}

// A decision's failure: its log line, then its status.
int Failed(const EngineContext& engine, int status, const std::string& log) {
  if (!log.empty()) engine.narrator.Log(log);
  return status;
}

// The USB exchange after the common start: the request frame, then the phone's replies until it
// reports the end. Each block's sum comes back one exchange later, with the next reply.
int RunUsb(const EngineContext& engine, TransferSession& session, std::uint32_t address,
           std::uint32_t size) {
  SerialPort& port = session.Port();
  link::LinkState& link = session.Link();

  std::array<std::uint8_t, 48> frame{};
  const std::uint32_t args[] = {address, size};
  const std::size_t words = link::BuildRequestFrame(link, frame, IMAGE_REQUEST, args, 0);
  if (int status = port.WriteFully(std::span(frame).first(words * 4), link::FRAME_TIMEOUT);
      status != PORT_OK) {
    return status;
  }

  UsbProgress progress;
  for (;;) {
    std::array<std::uint8_t, link::REPLY_FRAME_SIZE> bytes{};
    if (int status = port.ReadFully(bytes, link::REPLY_TIMEOUT); status != PORT_OK) {
      return engine.Awaited(status, "the next reply frame");
    }
    const UsbStep step = DecideUsbReply(link::ReplyFrame::Decode(bytes), progress,
                                        link.lastBlockSum, link.transferBuffer.size());
    switch (step.action) {
      case UsbAction::SendBlock:
        if (int status = link::SendShortFrame(port, BLOCK_ACK); status != PORT_OK) return status;
        if (int status = session.FillBlock(step.length); status != TRANSFER_OK) return status;
        if (int status = link::SendBlock(port, step.length, &engine.narrator); status != PORT_OK) {
          return status;
        }
        progress.sent = true;
        break;
      case UsbAction::Wait:
        break;
      case UsbAction::Finish:
        // The image is written; a lost acknowledgement changes nothing on the phone's flash.
        (void)link::SendShortFrame(port, IMAGE_ACK);
        return TRANSFER_OK;
      case UsbAction::Fail:
        return Failed(engine, step.status, step.log);
    }
  }
}

int SendAddressAndSize(SerialPort& port, std::uint32_t address, std::uint32_t size) {
  if (int status = link::SendUartNumber(port, address); status != PORT_OK) return status;
  return link::SendUartNumber(port, size);
}

// The UART exchange after the common start: request, synchronisation, address and size, then
// the phone's single-byte requests until it reports the end.
int RunUart(const EngineContext& engine, TransferSession& session, std::uint32_t address,
            std::uint32_t size) {
  SerialPort& port = session.Port();

  if (int status = WriteByte(port, IMAGE_REQUEST); status != PORT_OK) return status;
  // A phone that keeps answering something else is given as long as a silent one would be.
  std::chrono::milliseconds patience = port.State().replyTimeout;
  if (patience <= 0ms) patience = link::DEFAULT_REPLY_TIMEOUT;
  const long long resyncLimit = std::max<long long>(1, patience / kResyncPause);
  for (long long resyncs = 0;; ++resyncs) {
    std::uint8_t byte = 0;
    if (int status = ReadByte(port, UART_SYNC_TIMEOUT, byte); status != PORT_OK) {
      return engine.Awaited(status, "the sync byte 0xA5");
    }
    if (byte == UART_SYNC) break;
    if (resyncs == resyncLimit) {
      engine.narrator.Log(
          app::Printf("\r\nNo sync byte 0xA5 from the phone after %lld requests\r\n", resyncs + 1));
      return TRANSFER_NO_DATA;
    }
    engine.clock.Sleep(kResyncPause);
    if (int status = WriteByte(port, IMAGE_REQUEST); status != PORT_OK) return status;
  }
  if (int status = SendAddressAndSize(port, address, size); status != PORT_OK) return status;

  UartProgress progress;
  for (;;) {
    std::uint8_t byte = 0;
    if (int status = ReadByte(port, UART_REPLY_TIMEOUT, byte); status != PORT_OK) {
      return engine.Awaited(status, "the phone's next request");
    }
    const UartStep step = DecideUartByte(byte, progress);
    int status = PORT_OK;
    switch (step.action) {
      case UartAction::SendAddressAndSize:
        status = SendAddressAndSize(port, address, size);
        break;
      case UartAction::SendAck:
        status = WriteByte(port, UART_ACK);
        break;
      case UartAction::ReadBlockLength: {
        std::uint32_t length = 0;
        if (status = link::ReadUartNumber(port, length); status != PORT_OK) {
          return engine.Awaited(status, "the length of the block request");
        }
        if (status = session.FillBlock(length); status != TRANSFER_OK) return status;
        status = link::SendBlock(port, length);
        progress.lastLength = length;
        break;
      }
      case UartAction::AcceptBlock:
        if (status = WriteByte(port, UART_ACK); status != PORT_OK) return status;
        engine.narrator.AddProgress(*progress.lastLength);
        break;
      case UartAction::ResendBlock:
        // The buffer still holds the block, so the same bytes and sum byte go out again.
        status = link::SendBlock(port, *progress.lastLength);
        break;
      case UartAction::Finish:
        return TRANSFER_OK;
      case UartAction::Fail:
        // What the phone answered instead of a request: its error or abort code, or a byte
        // that is none of its requests.
        engine.NoteRefusal(byte);
        return Failed(engine, step.status, step.log);
    }
    if (status != PORT_OK) return status;
  }
}

}  // namespace

int TransferImageUsb(const EngineContext& engine, const std::string& path, std::uint32_t address,
                     std::uint32_t size) {
  TransferSession session(engine, size);
  if (int status = session.Begin(path); status != TRANSFER_OK) return status;
  return RunUsb(engine, session, address, size);
}

int TransferImageUart(const EngineContext& engine, const std::string& path, std::uint32_t address,
                      std::uint32_t size) {
  TransferSession session(engine, size);
  if (int status = session.Begin(path); status != TRANSFER_OK) return status;
  return RunUart(engine, session, address, size);
}

}  // namespace veska::download
