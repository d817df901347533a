#include "download/ImageCatalogue.h"

#include <array>
#include <filesystem>
#include <fstream>

#include "app/ControlIds.h"
#include "app/Settings.h"

namespace veska::download {

using app::DownloaderDlg;
using K = ImageKind;

namespace {

// In code order, so that a kind's row is at KindIndex(kind).
constexpr std::array<ImageInfo, app::IMAGE_KIND_COUNT> kCatalogue = {{
    {K::Apps, app::IDC_APPS, app::IDC_APPS_PATH, &DownloaderDlg::m_strAPPSFileName, app::KEY_APPS,
     0x00C00000, "APPS", 0x3C00000, "file open error! Check the APPS file location",
     "APPS.img file size error!", "\n  * NAND : APPS Download", "\n    APPS Download start!!\n"},
    {K::Comms, app::IDC_COMMS, app::IDC_COMMS_PATH, &DownloaderDlg::m_strCOMMSFileName,
     app::KEY_COMMS, 0x00200000, "COMMS", 0xA00000,
     "file open error! Check the COMMS file location", "COMMS.img file size error!",
     "\n  * NAND : COMMS Download", "\n    COMMS Download start!!\n"},
    {K::SysInd, app::IDC_SYS_IND, app::IDC_SYS_IND_PATH, &DownloaderDlg::m_strSysIndFileName,
     app::KEY_SYS_IND, 0x000A0000, "Sys_ind", 0x10000,
     "file open error! Check the sys_ind file location", "Sys_ind.img file size error!",
     "\n  * NAND : Sys_ind Download", "\n    Sysparm Ind Download start!!\n"},
    {K::Patch, app::IDC_PATCH, app::IDC_PATCH_PATH, &DownloaderDlg::m_strPatchFileName,
     app::KEY_PATCH, 0x000E0000, "Patch", 0x10000, "file open error! Check the patch file location",
     "dsp_patch.img file size error!", "\n  * NAND : Patch Download",
     "\n    Patch Download start!!\n"},
    {K::Rsrc, app::IDC_RSRC, app::IDC_RSRC_PATH, &DownloaderDlg::m_strRsrcFileName, app::KEY_RSRC,
     0x04800000, "Rsrc", 0x34C0000, "file open error! Check the Rsrc file location",
     "Rsrc file size error!", "\n  * NAND : Rsrc Download", "\n    Rsrc Download start!!\n"},
    {K::Tfs, app::IDC_TFS, app::IDC_TFS_PATH, &DownloaderDlg::m_strOgmPath, app::KEY_TFS,
     std::nullopt, "TFS", kFileSystemSizeLimit, "file open error! Check the tfs file location",
     "tfs file size error!", "\n  * NAND : TFS Download", "\n    TFS Download start!!\n"},
    {K::Db2, app::IDC_DB2, app::IDC_DB2_PATH, &DownloaderDlg::m_strOgmPath_DB2, app::KEY_DB2,
     std::nullopt, "DB2", kFileSystemSizeLimit, "file open error! Check the DB2 file location",
     "DB2 file size error!", "\n  * NAND : DB2 Download", "\n    DB2 Download start!!\n"},
    {K::SysDep, app::IDC_SYS_DEP, app::IDC_SYS_DEP_PATH, &DownloaderDlg::m_strSysDepFileName,
     app::KEY_SYS_DEP, 0x000C0000, "Sys_dep", 0x10000,
     "file open error! Check the sys_dep file location", "Sys_dep.img file size error!",
     "\n  * NAND : Sys_dep Download", "\n    Sysparm Dep Download start!!\n"},
    {K::Spinner, app::IDC_SPINNER, app::IDC_SPINNER_PATH, &DownloaderDlg::m_strSpinnerFileName,
     app::KEY_SPINNER, 0x001E0000, "Spinner FW", 0x10000,
     "file open error! Check the spinner file location", "spinner file size error!",
     "\n  * NAND : Spinner FW Download", "\n    SpinnerFW Download start!!\n"},
    {K::Nandpreboot, app::IDC_NANDPREBOOT, app::IDC_NANDPREBOOT_PATH,
     &DownloaderDlg::m_strNandprebootFileName, app::KEY_NANDPREBOOT, 0x00000000, "Preboot", 0x1000,
     "file open error! Check the Nandpreboot file location", "nandpreboot file size error!",
     "\n  * NAND : Preboot Download", "\n    Preboot Download start!!\n"},
    {K::Boot1a, app::IDC_BOOT1A, app::IDC_BOOT1A_PATH, &DownloaderDlg::m_strBoot1FileName,
     app::KEY_BOOT1A, 0x00001000, "Boot1a", 0x3000,
     "file open error! Check the boot1 file location", "boot1 file size error!",
     "\n  * NAND : Boot1a Download", "\n    Boot1 Download start!!\n"},
    // Boot1b shares Boot1a's open-failure text: both are "boot1" to the technician.
    {K::Boot1b, app::IDC_BOOT1B, app::IDC_BOOT1B_PATH, &DownloaderDlg::m_strBoot1bFileName,
     app::KEY_BOOT1B, 0x00004000, "Boot1b", 0x1C000,
     "file open error! Check the boot1 file location", "boot1b file size error!",
     "\n  * NAND : Boot1b Download", "\n    Boot1b Download start!!\n"},
    {K::Boot2, app::IDC_BOOT2, app::IDC_BOOT2_PATH, &DownloaderDlg::m_strBoot2FileName,
     app::KEY_BOOT2, 0x00020000, "Boot2", 0x80000, "file open error! Check the boot2 file location",
     "boot2 file size error!", "\n  * NAND : Boot2 Download", "\n    Boot2 Download start!!\n"},
}};

constexpr ImageKind kApps[] = {K::Apps};
constexpr ImageKind kComms[] = {K::Comms};
constexpr ImageKind kSysInd[] = {K::SysInd};
constexpr ImageKind kSysDep[] = {K::SysDep};
constexpr ImageKind kPatch[] = {K::Patch};
constexpr ImageKind kSpinner[] = {K::Spinner};
constexpr ImageKind kTfs[] = {K::Tfs};
constexpr ImageKind kRsrc[] = {K::Rsrc};
constexpr ImageKind kDb2[] = {K::Db2};
constexpr ImageKind kNandpreboot[] = {K::Nandpreboot};
constexpr ImageKind kBoot1a[] = {K::Boot1a};
constexpr ImageKind kBoot2[] = {K::Boot2};
constexpr ImageKind kBootloader[] = {K::Nandpreboot, K::Boot1a, K::Boot1b, K::Boot2};
constexpr ImageKind kFileSystemFiles[] = {K::Tfs, K::Rsrc};
constexpr ImageKind kAllParameters[] = {K::SysInd, K::SysDep, K::Patch, K::Spinner};
constexpr ImageKind kAllBinary[] = {K::Apps, K::Comms, K::SysInd, K::SysDep, K::Patch, K::Spinner};
constexpr ImageKind kAllBinaryFs[] = {K::Apps,  K::Comms,   K::SysInd, K::SysDep,
                                      K::Patch, K::Spinner, K::Tfs,    K::Rsrc};
constexpr ImageKind kEverything[] = {K::Apps,   K::Comms,   K::SysInd,      K::SysDep,
                                     K::Patch,  K::Spinner, K::Nandpreboot, K::Boot1a,
                                     K::Boot1b, K::Boot2,   K::Tfs,         K::Rsrc};

constexpr std::uint8_t Code(ImageKind kind) {
  return static_cast<std::uint8_t>(kind);
}

// By selectionIndex, in the radio group's order.
const std::array<SelectionInfo, SELECTION_COUNT> kSelections = {{
    {app::IDC_SEL_APPS, "", kApps, Code(K::Apps)},
    {app::IDC_SEL_COMMS, "", kComms, Code(K::Comms)},
    {app::IDC_SEL_SYS_IND, "", kSysInd, Code(K::SysInd)},
    {app::IDC_SEL_SYS_DEP, "", kSysDep, Code(K::SysDep)},
    {app::IDC_SEL_PATCH, "", kPatch, Code(K::Patch)},
    {app::IDC_SEL_SPINNER, "", kSpinner, Code(K::Spinner)},
    {app::IDC_SEL_TFS, "", kTfs, Code(K::Tfs)},
    {app::IDC_SEL_RSRC, "", kRsrc, Code(K::Rsrc)},
    {app::IDC_SEL_DB2, "", kDb2, Code(K::Db2)},
    {app::IDC_SEL_NANDPREBOOT, "", kNandpreboot, Code(K::Nandpreboot)},
    {app::IDC_SEL_BOOT1A, "", kBoot1a, Code(K::Boot1a)},
    {app::IDC_SEL_BOOT2, "", kBoot2, Code(K::Boot2)},
    {app::IDC_SEL_BOOTLOADER, "Bootloader", kBootloader, SELECT_BOOTLOADER},
    {app::IDC_SEL_FS_FILES, "FileSystem Files", kFileSystemFiles, SELECT_FILESYSTEM_FILES},
    {app::IDC_SEL_ALL_PARAMETERS, "All Parameters", kAllParameters, SELECT_ALL_PARAMETERS},
    {app::IDC_SEL_ALL_BINARY, "All Binary Files", kAllBinary, SELECT_ALL_BINARY},
    {app::IDC_SEL_ALL_BINARY_FS, "All Binary + FS", kAllBinaryFs, SELECT_ALL_BINARY_FS},
    {app::IDC_SEL_BOOTLOADER_ALL, "Bootloader+All Bin+FS", kEverything, SELECT_EVERYTHING},
}};

}  // namespace

const ImageInfo& Catalogue(ImageKind kind) {
  return kCatalogue[KindIndex(kind)];
}

std::optional<std::uint64_t> FileSizeOf(const std::string& path) {
  std::error_code error;
  // A folder or a device is no image, even where the system lets it be opened.
  if (path.empty() || !std::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return std::nullopt;
  const std::streamoff end = file.tellg();
  if (end < 0) return std::nullopt;
  return static_cast<std::uint64_t>(end);
}

const SelectionInfo* Selection(std::int32_t selectionIndex) {
  if (selectionIndex < 0 || selectionIndex >= SELECTION_COUNT) return nullptr;
  return &kSelections[static_cast<std::size_t>(selectionIndex)];
}

FileCheck CheckImageFile(DownloaderDlg& dlg, ImageKind kind) {
  const ImageInfo& info = Catalogue(kind);
  const std::optional<std::uint64_t> size = FileSizeOf(dlg.*info.path);
  std::uint32_t& stored = dlg.imageSize[KindIndex(kind)];
  if (!size) {
    stored = 0;
    return FileCheck::OpenFailed;
  }
  // Kept within 32 bits without wrapping: an oversized file stays out of range.
  stored = *size > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(*size);
  if (*size < 1 || *size > info.maxSize) return FileCheck::SizeOutOfRange;
  return FileCheck::Ok;
}

}  // namespace veska::download
