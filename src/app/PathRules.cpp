#include "app/PathRules.h"

namespace veska::app {

std::optional<std::string> DeriveSiblingPaths(std::string_view path, std::string_view separators) {
  // Paths are UTF-8 here, where a separator byte never occurs inside a multi-byte character,
  // so a byte search cannot split one.
  std::string_view root = path;
  for (int cut = 0; cut < 2; ++cut) {
    const std::size_t at = root.find_last_of(separators);
    if (at == std::string_view::npos) return std::nullopt;
    root = root.substr(0, at);
  }
  return std::string(root);
}

std::string ReleasePath(std::string_view root, std::string_view folder, std::string_view file,
                        char separator) {
  std::string path(root);
  path += separator;
  path += folder;
  path += separator;
  path += file;
  return path;
}

std::string ListingPathFor(std::string_view imagePath) {
  const std::size_t dot = imagePath.rfind('.');
  const std::string_view stem =
      dot == std::string_view::npos ? std::string_view{} : imagePath.substr(0, dot);
  return std::string(stem) + ".cfg";
}

std::string FileNamePart(std::string_view path, std::string_view separators) {
  const std::size_t at = path.find_last_of(separators);
  return std::string(at == std::string_view::npos ? path : path.substr(at + 1));
}

}  // namespace veska::app
