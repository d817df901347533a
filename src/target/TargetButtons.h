#pragma once

#include <cstdint>

#include "app/DownloaderDlg.h"
#include "target/Bootloader.h"
#include "target/Connection.h"

namespace veska::target {

// START: busy state, link mode from the radio pair, and the connection worker.
void OnStart(app::DownloaderDlg& dlg);
// "D / L Bootloader": UART only; examines the four boot images, then writes them on a worker
// after uploading the preloader and the bootloader driver, without a handshake.
void OnDownloadBootloader(app::DownloaderDlg& dlg);
// "NAND Erase" and "Bootloader Erase": ask the running NAND flash driver to erase. The wait for
// the phone's answer runs on a worker, so the window stays responsive and Disconnect ends it.
void OnNandErase(app::DownloaderDlg& dlg);
void OnBootloaderErase(app::DownloaderDlg& dlg);

// The baud code of the baud selector's current entry, or 0 when it shows none.
[[nodiscard]] std::uint8_t SelectedBaudCode(app::DownloaderDlg& dlg);
// What START reads from the window: the port's name, the chosen rate and the start check.
[[nodiscard]] ConnectInputs ConnectInputsOf(app::DownloaderDlg& dlg);

// Registers this layer's buttons with the dialog's operations: START, and D / L Bootloader
// with the two erases.
void AddOperations(app::DlgOperations& operations);
void AddBootloaderOperations(app::DlgOperations& operations);

}  // namespace veska::target
