#pragma once

#include <cstdint>
#include <string>

#include "app/Engine.h"

namespace veska::download {

// Results of one image transfer. 0 is success; callers tell only zero from non-zero, the values
// are for diagnostics and tests. They share the port's integer space (113 and 115 come from the
// port unchanged).
enum TransferStatus : int {
  TRANSFER_OK = 0,
  TRANSFER_PHONE_ERROR = 1,     // USB: the phone reported an error (text logged)
  TRANSFER_NO_FILE = 104,       // the image file cannot be opened (message box)
  TRANSFER_FILE_ERROR = 106,    // the image file failed to read or ended early (logged)
  TRANSFER_SUM_MISMATCH = 107,  // USB: a block sum reported by the phone differs
  // No bytes for a block request, a block request longer than the transfer buffer (logged), or
  // (UART) an unexpected byte, including an acceptance or resend request before any block.
  TRANSFER_NO_DATA = 108,
  TRANSFER_BAD_BAUD = 112,
  TRANSFER_IO_ERROR = 113,
  TRANSFER_UART_ERROR = 114,  // UART: the phone reported an error
  TRANSFER_TIMEOUT = 115,
  TRANSFER_ABORTED = 116,  // the phone aborted (0x2B or 0x2C)
};

// Writes one image file into the phone's flash at `address` through the running loader, in the
// dialect of the link: each opens the engine's port, runs the whole exchange and closes the
// port and the file again on every way out. `size` is the size the download request measured.
// The file is read block by block as the phone asks; only the part of a block past the measured
// size is padded with 0xFF, as erased flash reads. A read error or a file that ends before its
// measured size fails the transfer. Run on a worker thread; they block until the phone
// ends the exchange or the port fails.
[[nodiscard]] int TransferImageUsb(const app::EngineContext& engine, const std::string& path,
                                   std::uint32_t address, std::uint32_t size);
[[nodiscard]] int TransferImageUart(const app::EngineContext& engine, const std::string& path,
                                    std::uint32_t address, std::uint32_t size);

}  // namespace veska::download
