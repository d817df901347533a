#include "app/FlashMap.h"

#include <array>

#include "app/ControlIds.h"
#include "app/DownloaderDlg.h"
#include "app/Settings.h"

namespace veska::app {

namespace {

using K = ImageKind;
using D = DownloaderDlg;

// In code order, so that a kind's row is at KindIndex(kind).
constexpr std::array<ImageInfo, IMAGE_KIND_COUNT> kCatalogue = {{
    {K::Apps, "apps", IDC_APPS, IDC_APPS_PATH, &D::m_strAPPSFileName, KEY_APPS,
     "FUSE_APPS File(*.img)|*.img|*.*|*.*||", 0x00C00000, 0x3C00000, false, "APPS",
     "file open error! Check the APPS file location", "APPS.img file size error!",
     "\n  * NAND : APPS Download", "\n    APPS Download start!!\n"},
    {K::Comms, "comms", IDC_COMMS, IDC_COMMS_PATH, &D::m_strCOMMSFileName, KEY_COMMS,
     "COMMS.img File(*.img)|*.img|*.*|*.*||", 0x00200000, 0xA00000, false, "COMMS",
     "file open error! Check the COMMS file location", "COMMS.img file size error!",
     "\n  * NAND : COMMS Download", "\n    COMMS Download start!!\n"},
    {K::SysInd, "sys-ind", IDC_SYS_IND, IDC_SYS_IND_PATH, &D::m_strSysIndFileName, KEY_SYS_IND,
     "sysparm_ind.img File(*.img)|*.img|*.*|*.*||", 0x000A0000, 0x10000, false, "Sys_ind",
     "file open error! Check the sys_ind file location", "Sys_ind.img file size error!",
     "\n  * NAND : Sys_ind Download", "\n    Sysparm Ind Download start!!\n"},
    {K::Patch, "patch", IDC_PATCH, IDC_PATCH_PATH, &D::m_strPatchFileName, KEY_PATCH,
     "patch_dsp.img File(*.img)|*.img|*.*|*.*||", 0x000E0000, 0x10000, false, "Patch",
     "file open error! Check the patch file location", "dsp_patch.img file size error!",
     "\n  * NAND : Patch Download", "\n    Patch Download start!!\n"},
    {K::Rsrc, "rsrc", IDC_RSRC, IDC_RSRC_PATH, &D::m_strRsrcFileName, KEY_RSRC,
     "*.enc File(*.rc1)|*.rc1|*.*|*.*||", 0x04800000, 0x34C0000, false, "Rsrc",
     "file open error! Check the Rsrc file location", "Rsrc file size error!",
     "\n  * NAND : Rsrc Download", "\n    Rsrc Download start!!\n"},
    {K::Tfs, "tfs", IDC_TFS, IDC_TFS_PATH, &D::m_strOgmPath, KEY_TFS,
     "TFS File(*.tfs)|*.tfs|*.*|*.*||", std::nullopt, kFileSystemSizeLimit, false, "TFS",
     "file open error! Check the tfs file location", "tfs file size error!",
     "\n  * NAND : TFS Download", "\n    TFS Download start!!\n"},
    {K::Db2, "db2", IDC_DB2, IDC_DB2_PATH, &D::m_strOgmPath_DB2, KEY_DB2,
     "TFS File(*.tfs)|*.tfs|*.*|*.*||", std::nullopt, kFileSystemSizeLimit, false, "DB2",
     "file open error! Check the DB2 file location", "DB2 file size error!",
     "\n  * NAND : DB2 Download", "\n    DB2 Download start!!\n"},
    {K::SysDep, "sys-dep", IDC_SYS_DEP, IDC_SYS_DEP_PATH, &D::m_strSysDepFileName, KEY_SYS_DEP,
     "sysparm_dep.img File(*.img)|*.img|*.*|*.*||", 0x000C0000, 0x10000, true, "Sys_dep",
     "file open error! Check the sys_dep file location", "Sys_dep.img file size error!",
     "\n  * NAND : Sys_dep Download", "\n    Sysparm Dep Download start!!\n"},
    {K::Spinner, "spinner", IDC_SPINNER, IDC_SPINNER_PATH, &D::m_strSpinnerFileName, KEY_SPINNER,
     "*.bin File(*.bin)|*.bin|*.*|*.*||", 0x001E0000, 0x10000, true, "Spinner FW",
     "file open error! Check the spinner file location", "spinner file size error!",
     "\n  * NAND : Spinner FW Download", "\n    SpinnerFW Download start!!\n"},
    {K::Nandpreboot, "nandpreboot", IDC_NANDPREBOOT, IDC_NANDPREBOOT_PATH,
     &D::m_strNandprebootFileName, KEY_NANDPREBOOT,
     "nandpreboot_le.img File(*.img)|*.img|*.*|*.*||", 0x00000000, 0x1000, false, "Preboot",
     "file open error! Check the Nandpreboot file location", "nandpreboot file size error!",
     "\n  * NAND : Preboot Download", "\n    Preboot Download start!!\n"},
    {K::Boot1a, "boot1a", IDC_BOOT1A, IDC_BOOT1A_PATH, &D::m_strBoot1FileName, KEY_BOOT1A,
     "boot1a.img File(*.img)|*.img|*.*|*.*||", 0x00001000, 0x3000, false, "Boot1a",
     "file open error! Check the boot1 file location", "boot1 file size error!",
     "\n  * NAND : Boot1a Download", "\n    Boot1 Download start!!\n"},
    // Boot1b shares Boot1a's open-failure text: both are "boot1" to the technician.
    {K::Boot1b, "boot1b", IDC_BOOT1B, IDC_BOOT1B_PATH, &D::m_strBoot1bFileName, KEY_BOOT1B,
     "boot1b.img File(*.img)|*.img|*.*|*.*||", 0x00004000, 0x1C000, false, "Boot1b",
     "file open error! Check the boot1 file location", "boot1b file size error!",
     "\n  * NAND : Boot1b Download", "\n    Boot1b Download start!!\n"},
    {K::Boot2, "boot2", IDC_BOOT2, IDC_BOOT2_PATH, &D::m_strBoot2FileName, KEY_BOOT2,
     "boot2.img File(*.img)|*.img|*.*|*.*||", 0x00020000, 0x80000, false, "Boot2",
     "file open error! Check the boot2 file location", "boot2 file size error!",
     "\n  * NAND : Boot2 Download", "\n    Boot2 Download start!!\n"},
}};

constexpr const ImageInfo& Row(ImageKind kind) {
  return kCatalogue[KindIndex(kind)];
}

// Every kind in code order: a single-image selection examines and writes a one-kind slice of it.
constexpr std::array<ImageKind, IMAGE_KIND_COUNT> kKinds = [] {
  std::array<ImageKind, IMAGE_KIND_COUNT> kinds{};
  for (std::size_t i = 0; i < IMAGE_KIND_COUNT; ++i) kinds[i] = kCatalogue[i].kind;
  return kinds;
}();

constexpr SelectionInfo Single(int button, ImageKind kind) {
  const std::span<const ImageKind> one(&kKinds[KindIndex(kind)], 1);
  return {button, "", Row(kind).cliName, static_cast<std::uint8_t>(kind), one, one};
}

// The groups: the files they examine, then the order in which they write them. The writing
// order puts the bootloader first, the calibration pair (Sys_dep, Spinner) after the other
// binaries, and TFS last, after Rsrc.
constexpr ImageKind kBootloader[] = {K::Nandpreboot, K::Boot1a, K::Boot1b, K::Boot2};
constexpr ImageKind kFsFilesExamined[] = {K::Tfs, K::Rsrc};
constexpr ImageKind kFsFilesWritten[] = {K::Rsrc, K::Tfs};
constexpr ImageKind kAllParametersExamined[] = {K::SysInd, K::SysDep, K::Patch, K::Spinner};
constexpr ImageKind kAllParametersWritten[] = {K::SysInd, K::Patch, K::SysDep, K::Spinner};
constexpr ImageKind kAllBinaryExamined[] = {K::Apps,   K::Comms, K::SysInd,
                                            K::SysDep, K::Patch, K::Spinner};
constexpr ImageKind kAllBinaryWritten[] = {K::Apps,  K::Comms,  K::SysInd,
                                           K::Patch, K::SysDep, K::Spinner};
constexpr ImageKind kAllBinaryFsExamined[] = {K::Apps,  K::Comms,   K::SysInd, K::SysDep,
                                              K::Patch, K::Spinner, K::Tfs,    K::Rsrc};
constexpr ImageKind kAllBinaryFsWritten[] = {K::Apps,   K::Comms,   K::SysInd, K::Patch,
                                             K::SysDep, K::Spinner, K::Rsrc,   K::Tfs};
constexpr ImageKind kEverythingExamined[] = {K::Apps,   K::Comms,   K::SysInd,      K::SysDep,
                                             K::Patch,  K::Spinner, K::Nandpreboot, K::Boot1a,
                                             K::Boot1b, K::Boot2,   K::Tfs,         K::Rsrc};
constexpr ImageKind kEverythingWritten[] = {K::Nandpreboot, K::Boot1a,  K::Boot1b, K::Boot2,
                                            K::Apps,        K::Comms,   K::SysInd, K::Patch,
                                            K::SysDep,      K::Spinner, K::Rsrc,   K::Tfs};

// By selectionIndex, in the radio group's order.
constexpr std::array<SelectionInfo, SELECTION_COUNT> kSelections = {{
    Single(IDC_SEL_APPS, K::Apps),
    Single(IDC_SEL_COMMS, K::Comms),
    Single(IDC_SEL_SYS_IND, K::SysInd),
    Single(IDC_SEL_SYS_DEP, K::SysDep),
    Single(IDC_SEL_PATCH, K::Patch),
    Single(IDC_SEL_SPINNER, K::Spinner),
    Single(IDC_SEL_TFS, K::Tfs),
    Single(IDC_SEL_RSRC, K::Rsrc),
    Single(IDC_SEL_DB2, K::Db2),
    Single(IDC_SEL_NANDPREBOOT, K::Nandpreboot),
    Single(IDC_SEL_BOOT1A, K::Boot1a),
    Single(IDC_SEL_BOOT2, K::Boot2),
    {IDC_SEL_BOOTLOADER, "Bootloader", "bootloader", SELECT_BOOTLOADER, kBootloader, kBootloader},
    {IDC_SEL_FS_FILES, "FileSystem Files", "fs-files", SELECT_FILESYSTEM_FILES, kFsFilesExamined,
     kFsFilesWritten},
    {IDC_SEL_ALL_PARAMETERS, "All Parameters", "all-params", SELECT_ALL_PARAMETERS,
     kAllParametersExamined, kAllParametersWritten},
    {IDC_SEL_ALL_BINARY, "All Binary Files", "all-bin", SELECT_ALL_BINARY, kAllBinaryExamined,
     kAllBinaryWritten},
    {IDC_SEL_ALL_BINARY_FS, "All Binary + FS", "all-bin-fs", SELECT_ALL_BINARY_FS,
     kAllBinaryFsExamined, kAllBinaryFsWritten},
    {IDC_SEL_BOOTLOADER_ALL, "Bootloader+All Bin+FS", "all", SELECT_EVERYTHING, kEverythingExamined,
     kEverythingWritten},
}};

// The region of an image kind: from its flash address over its largest accepted size.
constexpr DumpArea ImageArea(std::string_view caption, ImageKind kind, std::string_view fromText,
                             std::string_view toText) {
  const ImageInfo& image = Row(kind);
  const std::uint32_t from = image.address.value_or(0);
  return {caption,   from,     static_cast<std::uint32_t>(from + image.maxSize),
          DUMP_DATA, fromText, toText};
}

// The texts are what the dump's FROM and TO fields show; the Nandpreboot row shows its last
// address rather than the end.
constexpr std::array<DumpArea, DUMP_AREA_COUNT> kDumpAreas = {{
    {"Code(Nand1G)", 0x0, 0x8000000, DUMP_PAGES_NAND1G, "0x0000", "0x8000000"},
    {"TFS(Nand2G)", 0x0, 0x10000000, DUMP_PAGES_NAND2G, "0x0", "0x10000000"},
    ImageArea("APPS", K::Apps, "0x0C00000", "0x4800000"),
    ImageArea("COMMS", K::Comms, "0x200000", "0x0C00000"),
    ImageArea("Sysparm_ind", K::SysInd, "0xA0000", "0xB0000"),
    ImageArea("Sysparm_dep", K::SysDep, "0xC0000", "0xD0000"),
    ImageArea("DSP patch", K::Patch, "0xE0000", "0xF0000"),
    ImageArea("Spinner FW", K::Spinner, "0x1E0000", "0x1F0000"),
    ImageArea("Nandpreboot", K::Nandpreboot, "0x0000", "0x0FFF"),
    ImageArea("Boot1a", K::Boot1a, "0x1000", "0x4000"),
    ImageArea("Boot1b", K::Boot1b, "0x4000", "0x20000"),
    ImageArea("Boot2", K::Boot2, "0x20000", "0xA0000"),
    ImageArea("LFS", K::Rsrc, "0x4800000", "0x7CC0000"),
}};

}  // namespace

const ImageInfo& Catalogue(ImageKind kind) {
  return Row(kind);
}

std::span<const ImageInfo, IMAGE_KIND_COUNT> Catalogue() {
  return kCatalogue;
}

const SelectionInfo* Selection(std::int32_t selectionIndex) {
  if (selectionIndex < 0 || selectionIndex >= SELECTION_COUNT) return nullptr;
  return &kSelections[static_cast<std::size_t>(selectionIndex)];
}

int SelectionByName(std::string_view cliName) {
  for (int i = 0; i < SELECTION_COUNT; ++i) {
    if (kSelections[static_cast<std::size_t>(i)].cliName == cliName) return i;
  }
  return -1;
}

const SelectionInfo* GroupByCode(std::uint8_t code) {
  if (IsImageCode(code)) return nullptr;
  for (const SelectionInfo& selection : kSelections) {
    if (selection.code == code) return &selection;
  }
  return nullptr;
}

std::span<const DumpArea, DUMP_AREA_COUNT> DumpAreas() {
  return kDumpAreas;
}

}  // namespace veska::app
