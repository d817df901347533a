#pragma once

#include <algorithm>
#include <string_view>

#include "link/AsciiCase.h"

namespace veska::ui {

// The order of sorted tree items: alphabetical with ASCII letters compared without case, so
// that "data" and "Docs" sort as a person expects; texts that differ only in case then go by
// their bytes (upper case first), so the order never depends on insertion.
[[nodiscard]] inline bool TreeTextLess(std::string_view a, std::string_view b) {
  auto fold = [](char c) { return static_cast<unsigned char>(link::LowerAscii(c)); };
  const auto [ia, ib] = std::mismatch(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return fold(x) == fold(y); });
  if (ia != a.end() && ib != b.end()) return fold(*ia) < fold(*ib);
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

}  // namespace veska::ui
