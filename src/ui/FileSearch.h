#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veska::ui {

// Matches `name` against a pattern of "*" (any run, also empty) and "?" (one character);
// everything else matches itself, byte for byte.
[[nodiscard]] bool WildcardMatch(std::string_view pattern, std::string_view name);

// The first regular file (in byte order of the names) in the folder part of `pattern` whose
// name matches the pattern's last component. The folder part ends at the last "/" (and on
// Windows also "\"); without one the current folder is searched. Returns the folder part joined
// with the name.
[[nodiscard]] std::optional<std::string> FindFirstMatchingFile(std::string_view pattern);

}  // namespace veska::ui
