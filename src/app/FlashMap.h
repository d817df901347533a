#pragma once

// The phone's flash map and the program's image table: every kind of image with where it lives
// in the flash, how big its file may be, what the dialog, the log and the command line call it;
// the selections with the images they examine and write; the areas the NAND dump reads back.
// Everything else looks these facts up here.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace veska::app {

class DownloaderDlg;

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

// Number of image kinds, and the index of each in the dialog's path and size arrays.
inline constexpr std::size_t IMAGE_KIND_COUNT = 13;

// Group selection codes (single images use their kind's code).
inline constexpr std::uint8_t SELECT_ALL_PARAMETERS = 0x2D;
inline constexpr std::uint8_t SELECT_FILESYSTEM_FILES = 0x2E;
inline constexpr std::uint8_t SELECT_ALL_BINARY = 0x2F;
inline constexpr std::uint8_t SELECT_ALL_BINARY_FS = 0x30;
inline constexpr std::uint8_t SELECT_EVERYTHING = 0x31;  // "Bootloader+All Bin+FS"
inline constexpr std::uint8_t SELECT_BOOTLOADER = 0x32;

[[nodiscard]] constexpr std::size_t KindIndex(ImageKind kind) {
  return static_cast<std::size_t>(kind) - IMAGE_APPS;
}
[[nodiscard]] constexpr bool IsImageCode(std::uint8_t code) {
  return code >= IMAGE_APPS && code <= IMAGE_BOOT2;
}

// The file systems have no limit of their own; sizes travel as 32-bit numbers, so a file system
// image must fit in one.
inline constexpr std::uint64_t kFileSystemSizeLimit = UINT32_MAX;

// One image kind: its place in the dialog (browse button, path field, path member, remembered
// setting, browse filter), on the command line and in the flash, how big its file may be, and
// what is shown and logged about it.
struct ImageInfo {
  ImageKind kind;
  std::string_view cliName;  // the command line's image option and selection word
  int browseButton;
  int pathEdit;
  std::string DownloaderDlg::*path;
  std::string_view settingsKey;
  std::string_view browseFilter;
  std::optional<std::uint32_t> address;  // none for the file systems
  std::uint64_t maxSize;                 // accepted sizes are 1 to maxSize
  // Sys_dep and Spinner hold the phone's calibration data: a group writes them only when the
  // technician asked for the default calibration data.
  bool calibration;
  std::string_view logName;
  std::string_view openFailureText;
  std::string_view sizeFailureText;
  std::string_view heading;
  std::string_view startLine;
};

// The row of a kind.
[[nodiscard]] const ImageInfo& Catalogue(ImageKind kind);
// All rows, in code order.
[[nodiscard]] std::span<const ImageInfo, IMAGE_KIND_COUNT> Catalogue();

// One selection of the radio group: its button and caption, the name the command line gives it,
// the code stored in downloadSelection, the files it examines (in order) and the order in which
// it writes them. Examination and writing differ: a group examines every file it could write
// before it writes any, and writes the calibration images only when asked for them (see
// ImageInfo::calibration).
struct SelectionInfo {
  int button;
  std::string_view caption;
  std::string_view cliName;
  std::uint8_t code;
  std::span<const ImageKind> files;
  std::span<const ImageKind> written;
};
inline constexpr int SELECTION_COUNT = 18;
// Row of a selection index 0-17; nothing for any other index.
[[nodiscard]] const SelectionInfo* Selection(std::int32_t selectionIndex);

// The selection index whose command-line name is `cliName`, or -1.
[[nodiscard]] int SelectionByName(std::string_view cliName);
// The group row of a group code (0x2D to 0x32); nothing for an image code or an unknown code.
[[nodiscard]] const SelectionInfo* GroupByCode(std::uint8_t code);

// How the NAND dump reads an area: the kind byte is sent to the phone as it is.
inline constexpr std::uint8_t DUMP_DATA = 0;           // data bytes only
inline constexpr std::uint8_t DUMP_PAGES_NAND1G = 1;   // pages with their spare bytes
inline constexpr std::uint8_t DUMP_PAGES_NAND2G = 2;   // pages with their spare bytes
inline constexpr std::uint32_t kDumpDataChunk = 2048;  // a 2 KiB page
inline constexpr std::uint32_t kDumpPageChunk = 2112;  // a page with its 64 spare bytes

// One area of the NAND dump's list: the caption of its button, the flash range [from, to), the
// kind byte, and the texts its FROM and TO fields show.
struct DumpArea {
  std::string_view caption;
  std::uint32_t from;
  std::uint32_t to;
  std::uint8_t kind;
  std::string_view fromText;
  std::string_view toText;
};
inline constexpr std::size_t DUMP_AREA_COUNT = 13;
[[nodiscard]] std::span<const DumpArea, DUMP_AREA_COUNT> DumpAreas();

// The number of bytes the phone sends for a dump request: the range itself for data, 16 spare
// bytes more for every 512 data bytes when pages are read with their spare bytes.
[[nodiscard]] constexpr std::uint32_t DumpByteCount(std::uint32_t from, std::uint32_t to,
                                                    std::uint8_t kind) {
  const std::uint32_t length = to - from;
  return kind == DUMP_DATA ? length : length / 512 * 528;
}
// The size of every chunk but the last, which is what remains.
[[nodiscard]] constexpr std::uint32_t DumpChunkSize(std::uint8_t kind) {
  return kind == DUMP_DATA ? kDumpDataChunk : kDumpPageChunk;
}

}  // namespace veska::app
