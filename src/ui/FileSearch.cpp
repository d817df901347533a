#include "ui/FileSearch.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "link/FilePath.h"
#include "ui/PathSeparators.h"

namespace veska::ui {

bool WildcardMatch(std::string_view pattern, std::string_view name) {
  // Iterative match with one back-tracking point: the last "*" seen. Linear in practice and
  // never recursive, so a hostile pattern cannot exhaust the stack.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starP = std::string_view::npos;
  std::size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::optional<std::string> FindFirstMatchingFile(std::string_view pattern) {
  const std::size_t cut = pattern.find_last_of(kPathSeparators);
  const std::string_view folderPart =
      cut == std::string_view::npos ? std::string_view{} : pattern.substr(0, cut + 1);
  const std::string_view namePattern =
      cut == std::string_view::npos ? pattern : pattern.substr(cut + 1);
  if (namePattern.empty()) return std::nullopt;

  std::error_code ec;
  const std::filesystem::path folder =
      folderPart.empty() ? std::filesystem::path(".") : link::PathOf(folderPart);
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) return std::nullopt;

  std::vector<std::string> names;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = link::Utf8Of(it->path().filename());
    if (!WildcardMatch(namePattern, name)) continue;
    std::error_code typeEc;
    if (!it->is_regular_file(typeEc)) continue;
    names.push_back(name);
  }
  if (names.empty()) return std::nullopt;
  std::sort(names.begin(), names.end());
  return std::string(folderPart) + names.front();
}

}  // namespace veska::ui
