#include "download/ImageCatalogue.h"

#include <filesystem>
#include <fstream>

namespace veska::download {

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

FileCheck CheckImageFile(const std::string& path, ImageKind kind, std::uint32_t& stored) {
  const ImageInfo& info = Catalogue(kind);
  const std::optional<std::uint64_t> size = FileSizeOf(path);
  if (!size) {
    stored = 0;
    return FileCheck::OpenFailed;
  }
  // Kept within 32 bits without wrapping: an oversized file stays out of range.
  stored = *size > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(*size);
  if (*size < 1 || *size > info.maxSize) return FileCheck::SizeOutOfRange;
  return FileCheck::Ok;
}

std::string_view FileCheckText(ImageKind kind, FileCheck check) {
  switch (check) {
    case FileCheck::Ok:
      break;
    case FileCheck::OpenFailed:
      return Catalogue(kind).openFailureText;
    case FileCheck::SizeOutOfRange:
      return Catalogue(kind).sizeFailureText;
  }
  return {};
}

}  // namespace veska::download
