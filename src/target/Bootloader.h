#pragma once

#include <cstdint>
#include <string_view>

#include "app/DownloaderDlg.h"

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

// "D / L Bootloader": UART only; examines the four boot images, then writes them on a worker
// after uploading the preloader and the bootloader driver, without a handshake.
void OnDownloadBootloader(app::DownloaderDlg& dlg);
// The worker's body: 0 when all four images were written, otherwise the status of what failed
// (the port's, the loader upload's or the image transfer's).
int DownloadBootloader(app::DownloaderDlg& dlg);

// "NAND Erase" and "Bootloader Erase": ask the running NAND flash driver to erase. The wait for
// the phone's answer runs on a worker, so the window stays responsive and Disconnect ends it.
void OnNandErase(app::DownloaderDlg& dlg);
void OnBootloaderErase(app::DownloaderDlg& dlg);

// Registers this layer's buttons (START, D / L Bootloader, the two erases).
void AddBootloaderOperations(app::DlgOperations& operations);

}  // namespace veska::target
