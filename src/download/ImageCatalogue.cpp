#include "download/ImageCatalogue.h"

#include <filesystem>
#include <fstream>

#include "link/FilePath.h"

namespace veska::download {

std::optional<std::uint64_t> FileSizeOf(const std::string& path) {
  std::error_code error;
  // A folder or a device is no image, even where the system lets it be opened.
  if (path.empty() || !std::filesystem::is_regular_file(link::PathOf(path), error)) {
    return std::nullopt;
  }
  std::ifstream file(link::PathOf(path), std::ios::binary | std::ios::ate);
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

std::string ImageFileProblem(const std::string& path, ImageKind kind, FileCheck check) {
  if (path.empty()) return "No file is chosen.";
  const std::filesystem::path file = link::PathOf(path);
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(file, error);
  std::string why;
  if (check == FileCheck::OpenFailed) {
    if (!std::filesystem::exists(status)) {
      why = "it does not exist";
    } else if (std::filesystem::is_directory(status)) {
      why = "it is a folder";
    } else if (!std::filesystem::is_regular_file(status)) {
      why = "it is not a regular file";
    } else {
      why = "it cannot be opened for reading";
    }
  } else if (check == FileCheck::SizeOutOfRange) {
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    why = error       ? "its size cannot be read"
          : size == 0 ? "it is empty"
                      : "it holds " + std::to_string(size) +
                            " bytes; an image of this kind holds at most " +
                            std::to_string(Catalogue(kind).maxSize);
  }
  return path + ": " + why + ".";
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
