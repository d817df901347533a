#include "download/ImageTransfer.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>

#include "app/Printf.h"
#include "fs/FsStep.h"
#include "link/BaudCodes.h"
#include "link/Wire.h"

#if defined(_WIN32)
#include <share.h>
#else
#include <sys/file.h>
#include <sys/stat.h>
#endif

namespace veska::download {

using app::DownloaderDlg;
using link::PORT_OK;
using link::SerialPort;
using namespace std::chrono_literals;

namespace {

// Codes the PC sends.
constexpr std::uint8_t IMAGE_REQUEST = 0x5A;  // USB: RequestFrame; UART: a command byte
constexpr std::uint8_t BLOCK_ACK = 0x30;      // USB: the block follows
constexpr std::uint8_t IMAGE_ACK = 0x31;      // USB: final acknowledgement
constexpr std::uint8_t UART_ACK = 0x2D;       // UART: answers 0x26 and 0x27

// The phone's replies on the USB link, in byte 0 of a ReplyFrame.
constexpr std::uint8_t BLOCK_REQUEST = 0x26;  // length at 4, previous block's sum at 8
constexpr std::uint8_t IMAGE_DONE = 0x29;     // last block's sum at 4
constexpr std::uint8_t PHONE_ERROR = 0x28;
constexpr std::uint8_t SEND_ACK_ERROR = 0x41;
constexpr std::uint8_t READ_FLASH_ERROR = 0x42;
constexpr std::uint8_t WRITE_FLASH_ERROR = 0x43;

// The phone's bytes on the UART link.
constexpr std::uint8_t UART_SYNC = 0xA5;
constexpr std::uint8_t UART_ACK_REQUEST = 0x26;
constexpr std::uint8_t UART_BLOCK_REQUEST = 0x2E;  // followed by the block length
constexpr std::uint8_t UART_BLOCK_OK = 0x27;
constexpr std::uint8_t UART_BLOCK_AGAIN = 0x2A;
constexpr std::uint8_t UART_DONE = 0x29;
constexpr std::uint8_t UART_ERROR = 0x28;

// Both links: the phone gave up on the image.
constexpr std::uint8_t PHONE_ABORT = 0x2B;
constexpr std::uint8_t PHONE_ABORT_ALT = 0x2C;

// Time-out factors of the UART exchange: the sync byte comes at once, while between blocks the
// phone may be busy programming its flash.
constexpr std::uint8_t UART_SYNC_TIMEOUT = 8;
constexpr std::uint8_t UART_REPLY_TIMEOUT = 15;
// A phone that answers the request with anything but the sync byte is still busy with
// something else; it is given a second before being asked again.
constexpr auto kResyncPause = 1000ms;
// The phone's requests that move the image no further (the sync byte, the acknowledgement
// request, USB's IMAGE_DONE before any block): a real phone sends one or two in a row; a stream
// this long is a babbling line and ends the transfer.
constexpr unsigned kMaxIdleRequests = 256;

// Erased flash reads as 0xFF, so a block the file cannot fill is completed with that.
constexpr std::uint8_t kErasedByte = 0xFF;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

#if defined(_WIN32)

FileHandle OpenImageFile(const std::string& path) {
  // Readers may share the file; a writer could change it under the transfer.
  return FileHandle(_fsopen(path.c_str(), "rb", _SH_DENYWR));
}

#else

FileHandle OpenImageFile(const std::string& path) {
  FileHandle file(std::fopen(path.c_str(), "rbe"));
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
  TransferSession(DownloaderDlg& dlg, std::uint32_t size)
      : dlg_(dlg), port_(dlg.port), size_(size) {}
  ~TransferSession() { port_.Close(); }
  TransferSession(const TransferSession&) = delete;
  TransferSession& operator=(const TransferSession&) = delete;

  [[nodiscard]] int Begin(const std::string& path) {
    if (!link::IsLoaderBaudCode(port_.baudCode)) return TRANSFER_BAD_BAUD;
    const link::PortStatus opened = link::OpenForLinkMode(port_);
    if (opened != PORT_OK) return opened;
    file_ = OpenImageFile(path);
    if (!file_) {
      dlg_.Host().MessageBox(&dlg_.Wnd(), "Fail to open bin file!");
      // A file-system download that called this must not go on.
      dlg_.State().fsStep = static_cast<int>(fs::FsStep::Ended);
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
      if (std::ferror(file_.get()) != 0) {
        dlg_.AppendLog("Read error in the image file!\r\n");
      } else {
        dlg_.AppendLog(app::Printf("The image file ended at %llu of %u bytes!\r\n",
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
    if (length <= port_.State().transferBuffer.size()) return TRANSFER_OK;
    dlg_.AppendLog(app::Printf("Block of %u bytes requested, more than the buffer holds!\r\n",
                               static_cast<unsigned>(length)));
    return TRANSFER_NO_DATA;
  }

  [[nodiscard]] SerialPort& Port() { return port_; }
  [[nodiscard]] link::LinkState& Link() { return port_.State(); }

 private:
  DownloaderDlg& dlg_;
  SerialPort& port_;
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

// A read's status, with the line that says what was awaited when the phone fell silent.
int Awaited(DownloaderDlg& dlg, int status, std::string_view awaited) {
  if (status == link::PORT_NO_REPLY) dlg.AppendLog(link::NoReplyText(dlg.State().link, awaited));
  return status;
}

int TooManyIdleRequests(DownloaderDlg& dlg, std::uint8_t code) {
  dlg.AppendLog(app::Printf("\r\n%u x 0x%02X from the phone, no block request\r\n",
                            kMaxIdleRequests, unsigned{code}));
  return TRANSFER_NO_DATA;
}

// The text and status of a USB reply that is neither a block request nor the end.
int UsbFailure(DownloaderDlg& dlg, std::uint8_t code) {
  switch (code) {
    case PHONE_ERROR:
      dlg.AppendLog("ERROR\r\n");
      return TRANSFER_PHONE_ERROR;
    case SEND_ACK_ERROR:
      dlg.AppendLog("SendACK Error!\r\n");
      return TRANSFER_PHONE_ERROR;
    case READ_FLASH_ERROR:
      dlg.AppendLog("Read Flash Data Error!\r\n");
      return TRANSFER_PHONE_ERROR;
    case WRITE_FLASH_ERROR:
      dlg.AppendLog("Write Flash Data Error!\r\n");
      return TRANSFER_PHONE_ERROR;
    case PHONE_ABORT:
    case PHONE_ABORT_ALT:
      return TRANSFER_ABORTED;
    default:
      dlg.AppendLog("Unknown command!\r\n");
      return TRANSFER_PHONE_ERROR;
  }
}

// The USB exchange after the common start: the request frame, then the phone's replies until it
// reports the end. Each block's sum comes back one exchange later, with the next reply.
int RunUsb(DownloaderDlg& dlg, TransferSession& session, std::uint32_t address,
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

  bool sent = false;
  unsigned idle = 0;  // IMAGE_DONE frames before any block
  for (;;) {
    std::array<std::uint8_t, link::REPLY_FRAME_SIZE> bytes{};
    if (int status = port.ReadFully(bytes, link::REPLY_TIMEOUT); status != PORT_OK) {
      return Awaited(dlg, status, "the next reply frame");
    }
    const link::ReplyFrame reply = link::ReplyFrame::Decode(bytes);

    switch (reply.code) {
      case BLOCK_REQUEST: {
        if (sent && reply.sumAt8 != link.lastBlockSum) {
          dlg.AppendLog("Checksum error!");
          return TRANSFER_SUM_MISMATCH;
        }
        const std::uint32_t length = reply.word;
        // Refused before the acknowledgement, so the phone is never told a block follows.
        if (int status = session.CheckBlockLength(length); status != TRANSFER_OK) return status;
        if (int status = link::SendShortFrame(port, BLOCK_ACK); status != PORT_OK) return status;
        if (int status = session.FillBlock(length); status != TRANSFER_OK) return status;
        if (int status = link::SendBlock(port, length, &dlg); status != PORT_OK) return status;
        sent = true;
        break;
      }
      case IMAGE_DONE:
        // Nothing was sent yet, so there is no sum to compare: the phone is ahead of itself.
        if (!sent) {
          if (++idle == kMaxIdleRequests) return TooManyIdleRequests(dlg, reply.code);
          break;
        }
        if (reply.sumAt4 != link.lastBlockSum) {
          dlg.AppendLog("\nChecksum Error");
          return TRANSFER_SUM_MISMATCH;
        }
        // The image is written; a lost acknowledgement changes nothing on the phone's flash.
        (void)link::SendShortFrame(port, IMAGE_ACK);
        return TRANSFER_OK;
      default:
        return UsbFailure(dlg, reply.code);
    }
  }
}

int SendAddressAndSize(SerialPort& port, std::uint32_t address, std::uint32_t size) {
  if (int status = link::SendUartNumber(port, address); status != PORT_OK) return status;
  return link::SendUartNumber(port, size);
}

// The UART exchange after the common start: request, synchronisation, address and size, then
// the phone's single-byte requests until it reports the end.
int RunUart(DownloaderDlg& dlg, TransferSession& session, std::uint32_t address,
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
      return Awaited(dlg, status, "the sync byte 0xA5");
    }
    if (byte == UART_SYNC) break;
    if (resyncs == resyncLimit) {
      dlg.AppendLog(
          app::Printf("\r\nNo sync byte 0xA5 from the phone after %lld requests\r\n", resyncs + 1));
      return TRANSFER_NO_DATA;
    }
    dlg.Host().Sleep(kResyncPause);
    if (int status = WriteByte(port, IMAGE_REQUEST); status != PORT_OK) return status;
  }
  if (int status = SendAddressAndSize(port, address, size); status != PORT_OK) return status;

  // Empty until the first block request: an acceptance or a resend request before it refers to
  // no block and is as unexpected as any stray byte.
  std::optional<std::uint32_t> lastLength;
  unsigned idle = 0;  // sync bytes and acknowledgement requests in a row
  for (;;) {
    std::uint8_t byte = 0;
    if (int status = ReadByte(port, UART_REPLY_TIMEOUT, byte); status != PORT_OK) {
      return Awaited(dlg, status, "the phone's next request");
    }
    if (byte != UART_SYNC && byte != UART_ACK_REQUEST) {
      idle = 0;
    } else if (++idle == kMaxIdleRequests) {
      return TooManyIdleRequests(dlg, byte);
    }

    int status = PORT_OK;
    switch (byte) {
      case UART_SYNC:
        status = SendAddressAndSize(port, address, size);
        break;
      case UART_ACK_REQUEST:
        status = WriteByte(port, UART_ACK);
        break;
      case UART_BLOCK_REQUEST: {
        std::uint32_t length = 0;
        if (status = link::ReadUartNumber(port, length); status != PORT_OK) {
          return Awaited(dlg, status, "the length of the block request");
        }
        if (status = session.FillBlock(length); status != TRANSFER_OK) return status;
        status = link::SendBlock(port, length);
        lastLength = length;
        break;
      }
      case UART_BLOCK_OK:
        if (!lastLength) return TRANSFER_NO_DATA;
        if (status = WriteByte(port, UART_ACK); status != PORT_OK) return status;
        dlg.progressCount += *lastLength;
        dlg.SetProgressPos(dlg.progressCount);
        break;
      case UART_BLOCK_AGAIN:
        // The buffer still holds the block, so the same bytes and sum byte go out again.
        if (!lastLength) return TRANSFER_NO_DATA;
        status = link::SendBlock(port, *lastLength);
        break;
      case UART_DONE:
        return TRANSFER_OK;
      case UART_ERROR:
        return TRANSFER_UART_ERROR;
      case PHONE_ABORT:
      case PHONE_ABORT_ALT:
        return TRANSFER_ABORTED;
      default:
        return TRANSFER_NO_DATA;
    }
    if (status != PORT_OK) return status;
  }
}

}  // namespace

int TransferImageUsb(DownloaderDlg& dlg, const std::string& path, std::uint32_t address,
                     std::uint32_t size) {
  TransferSession session(dlg, size);
  if (int status = session.Begin(path); status != TRANSFER_OK) return status;
  return RunUsb(dlg, session, address, size);
}

int TransferImageUart(DownloaderDlg& dlg, const std::string& path, std::uint32_t address,
                      std::uint32_t size) {
  TransferSession session(dlg, size);
  if (int status = session.Begin(path); status != TRANSFER_OK) return status;
  return RunUart(dlg, session, address, size);
}

}  // namespace veska::download
