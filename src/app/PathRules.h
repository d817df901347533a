#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ui/PathSeparators.h"

namespace veska::app {

// Path rules of the image file selection. `separators` defaults to the platform's (Linux "/";
// Windows "\" and "/"); tests pass the other platform's set.

// The release root of an image chosen one folder below it: the path with its last two
// components cut away (root/APPS/FUSE_APPS.img gives root). Nothing when the path holds fewer
// than two separators: then there is no release layout to derive from, and the caller derives
// nothing rather than guess a drive or file-system root.
[[nodiscard]] std::optional<std::string> DeriveSiblingPaths(
    std::string_view path, std::string_view separators = ui::kPathSeparators);

// root + sep + folder + sep + file, with the platform's preferred separator.
[[nodiscard]] std::string ReleasePath(std::string_view root, std::string_view folder,
                                      std::string_view file,
                                      char separator = ui::kPreferredSeparator);

// The listing (".cfg") path of a file-system image: the path cut before its last "." and
// followed by ".cfg". The last "." of the whole path counts, even in a folder name, and a path
// without any "." gives just ".cfg".
[[nodiscard]] std::string ListingPathFor(std::string_view imagePath);

// The part of a path after its last separator; the whole path when it has none.
[[nodiscard]] std::string FileNamePart(std::string_view path,
                                       std::string_view separators = ui::kPathSeparators);

}  // namespace veska::app
