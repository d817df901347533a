#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "app/DownloaderDlg.h"

namespace veska::download {

// The thirteen kinds of image, by their one-byte codes. The index of a kind in the dialog's
// `imageSize` array is its code minus IMAGE_APPS.
enum class ImageKind : std::uint8_t {
  Apps = 0x20,
  Comms = 0x21,
  SysInd = 0x22,
  Patch = 0x23,
  Rsrc = 0x24,
  Tfs = 0x25,
  Db2 = 0x26,
  SysDep = 0x27,
  Spinner = 0x28,
  Nandpreboot = 0x29,
  Boot1a = 0x2A,
  Boot1b = 0x2B,
  Boot2 = 0x2C,
};
inline constexpr std::uint8_t IMAGE_APPS = 0x20;
inline constexpr std::uint8_t IMAGE_BOOT2 = 0x2C;

// Group selection codes (single images use their kind's code).
inline constexpr std::uint8_t SELECT_ALL_PARAMETERS = 0x2D;
inline constexpr std::uint8_t SELECT_FILESYSTEM_FILES = 0x2E;
inline constexpr std::uint8_t SELECT_ALL_BINARY = 0x2F;
inline constexpr std::uint8_t SELECT_ALL_BINARY_FS = 0x30;
inline constexpr std::uint8_t SELECT_EVERYTHING = 0x31;  // "Bootloader+All Bin+FS"
inline constexpr std::uint8_t SELECT_BOOTLOADER = 0x32;

// One row of the catalogue: where the kind lives in the dialog and in the flash, how big its
// file may be, and what is shown and logged about it.
struct ImageInfo {
  ImageKind kind;
  int browseButton;
  int pathEdit;
  std::string app::DownloaderDlg::*path;
  std::string_view settingsKey;
  std::optional<std::uint32_t> address;  // none for the file systems
  std::string_view logName;
  std::uint64_t maxSize;  // accepted sizes are 1 to maxSize
  std::string_view openFailureText;
  std::string_view sizeFailureText;
  std::string_view heading;
  std::string_view startLine;
};

// The file systems have no limit of their own; sizes travel as 32-bit numbers, so a file system
// image must fit in one.
inline constexpr std::uint64_t kFileSystemSizeLimit = UINT32_MAX;

[[nodiscard]] const ImageInfo& Catalogue(ImageKind kind);
[[nodiscard]] constexpr std::size_t KindIndex(ImageKind kind) {
  return static_cast<std::size_t>(kind) - IMAGE_APPS;
}
[[nodiscard]] constexpr bool IsImageCode(std::uint8_t code) {
  return code >= IMAGE_APPS && code <= IMAGE_BOOT2;
}

// The size of a file, or nothing when it cannot be opened for reading. A size is kept apart
// from the open failure, so that no length (65,535 in particular) is mistaken for one. Sizes
// beyond 32 bits are reported as they are, never wrapped into a small accepted size.
[[nodiscard]] std::optional<std::uint64_t> FileSizeOf(const std::string& path);

// One row of the selection table: the radio button of `selectionIndex`, the files it examines
// in order and the code stored in downloadSelection.
struct SelectionInfo {
  int button;
  std::string_view caption;
  std::span<const ImageKind> files;
  std::uint8_t code;
};
inline constexpr int SELECTION_COUNT = 18;
// Row of a selection index 0-17; nothing for any other index.
[[nodiscard]] const SelectionInfo* Selection(std::int32_t selectionIndex);

// The outcome of examining one image file for a download request.
enum class FileCheck { Ok, OpenFailed, SizeOutOfRange };

// Measures the kind's file, stores the size in the dialog's imageSize and judges it against the
// kind's accepted sizes. Shows nothing.
[[nodiscard]] FileCheck CheckImageFile(app::DownloaderDlg& dlg, ImageKind kind);

}  // namespace veska::download
