#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/FlashMap.h"

namespace veska::download {

// The image kinds and selections live in the flash map of app/; the download layer knows them
// under their old names here.
using app::Catalogue;
using app::IMAGE_APPS;
using app::IMAGE_BOOT2;
using app::ImageInfo;
using app::ImageKind;
using app::IsImageCode;
using app::kFileSystemSizeLimit;
using app::KindIndex;
using app::SELECT_ALL_BINARY;
using app::SELECT_ALL_BINARY_FS;
using app::SELECT_ALL_PARAMETERS;
using app::SELECT_BOOTLOADER;
using app::SELECT_EVERYTHING;
using app::SELECT_FILESYSTEM_FILES;
using app::Selection;
using app::SELECTION_COUNT;
using app::SelectionInfo;

// The size of a file, or nothing when it cannot be opened for reading. A size is kept apart
// from the open failure, so that no length (65,535 in particular) is mistaken for one. Sizes
// beyond 32 bits are reported as they are, never wrapped into a small accepted size.
[[nodiscard]] std::optional<std::uint64_t> FileSizeOf(const std::string& path);

// The outcome of examining one image file for a download request.
enum class FileCheck { Ok, OpenFailed, SizeOutOfRange };

// Measures the kind's file at `path` into `measured` (0 when it cannot be opened, at most
// 4294967295) and judges it against the kind's accepted sizes. Shows nothing.
[[nodiscard]] FileCheck CheckImageFile(const std::string& path, ImageKind kind,
                                       std::uint32_t& measured);
// The message box's text for a file that failed `check` (the kind's own words), empty for Ok.
[[nodiscard]] std::string_view FileCheckText(ImageKind kind, FileCheck check);
// Which file failed `check` and why, in a sentence for under that text ("PATH: it is empty.").
[[nodiscard]] std::string ImageFileProblem(const std::string& path, ImageKind kind,
                                           FileCheck check);

}  // namespace veska::download
