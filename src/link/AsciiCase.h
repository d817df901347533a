#pragma once

#include <algorithm>
#include <string_view>

namespace veska::link {

// Letter case as names are compared here (settings sections and keys, payload files, tree
// items): only ASCII letters fold; every other byte, UTF-8 included, stays as it is, so the
// answer is the same in every locale.
[[nodiscard]] constexpr char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] constexpr bool SameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

}  // namespace veska::link
