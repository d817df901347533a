#pragma once

#include <cstdint>
#include <string_view>

#include "app/DownloaderDlg.h"

namespace veska::target {

// Commands of the erase buttons and the running driver's answer.
inline constexpr std::uint8_t NAND_ERASE = 0xB1;        // every block except the bootloader
inline constexpr std::uint8_t BOOTLOADER_ERASE = 0xB3;  // the bootloader
inline constexpr std::uint8_t ERASE_DONE = 0xAB;
// The erase takes as long as the chip needs: its answer is awaited with a long allowance.
inline constexpr std::uint8_t kEraseReplyFactor = 30;

// "D / L Bootloader": UART only; examines the four boot images, then writes them on a worker
// after uploading the preloader and the bootloader driver, without a handshake.
void OnDownloadBootloader(app::DownloaderDlg& dlg);
// The worker's body: true when all four images were written.
bool DownloadBootloader(app::DownloaderDlg& dlg);

// "NAND Erase" and "Bootloader Erase": ask the running NAND flash driver to erase. The wait for
// the phone's answer runs on a worker, so the window stays responsive and Disconnect ends it.
void OnNandErase(app::DownloaderDlg& dlg);
void OnBootloaderErase(app::DownloaderDlg& dlg);

// Registers this layer's buttons (START, D / L Bootloader, the two erases).
void AddBootloaderOperations(app::DlgOperations& operations);

}  // namespace veska::target
