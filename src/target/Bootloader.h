#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "app/Engine.h"
#include "app/OperationRunner.h"
#include "app/ProcessState.h"
#include "download/DownloadWorker.h"
#include "target/Connection.h"

namespace veska::target {

// Commands of the erase buttons and the running driver's answer.
inline constexpr std::uint8_t NAND_ERASE = 0xB1;        // every block except the bootloader
inline constexpr std::uint8_t BOOTLOADER_ERASE = 0xB3;  // the bootloader
inline constexpr std::uint8_t ERASE_DONE = 0xAB;
// The erase's status when the phone answered with another byte than ERASE_DONE: the byte
// itself is no status (0x78 would read as the port's "no reply"), the result's reason names it.
inline constexpr int ERASE_NOT_CONFIRMED = 150;
// The erase takes as long as the chip needs: its answer is awaited with a long allowance.
inline constexpr std::uint8_t kEraseReplyFactor = 30;

// The images the bootloader download examines and writes, in order: the flash map's bootloader
// selection.
[[nodiscard]] std::span<const app::ImageKind> BootImages();

// What "D / L Bootloader" reads from the window before its worker starts: the port and rate as
// START would take them, and the boot images as the request examined them.
struct BootloaderInputs {
  ConnectInputs port;
  download::DownloadInputs images;
};

// The bootloader download on a worker: the preloader and the bootloader driver, then the four
// boot images, without a handshake. 0 when all four images were written, otherwise the status
// of what failed (the port's, the loader upload's or the image transfer's).
[[nodiscard]] int DownloadBootloader(const app::EngineContext& engine, app::ProcessState& session,
                                     const BootloaderInputs& inputs);

// One erase on the running NAND flash driver: open, narrate, command, answer. `doneText` ends
// the log's line when the phone confirms. Done, or Failed with the port's status or
// ERASE_NOT_CONFIRMED (the reason names the byte that came).
[[nodiscard]] app::OperationResult Erase(const app::EngineContext& engine, app::OperationId id,
                                         std::uint8_t code, std::string_view doneText);
inline constexpr std::string_view kNandEraseDone =
    "OK\n    Now NAND All blocks except bootloader erased\t\t ";
inline constexpr std::string_view kBootloaderEraseDone = "OK\n    Now Bootloader erased\t\t ";

}  // namespace veska::target
