#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace veska::link {

// The port selector offers COM1 to COM50; the back ends map each to a device.
inline constexpr int kComPortCount = 50;

// The number n of a port name "COMn" (any letter case, one or two digits, n from 1 to
// kComPortCount), or 0 for any other name.
[[nodiscard]] constexpr int ParseComName(std::string_view name) {
  if (name.size() < 4 || name.size() > 5) return 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const char upper =
        (name[i] >= 'a' && name[i] <= 'z') ? static_cast<char>(name[i] - 'a' + 'A') : name[i];
    if (upper != "COM"[i]) return 0;
  }
  int number = 0;
  for (std::size_t i = 3; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    number = number * 10 + (name[i] - '0');
  }
  return number >= 1 && number <= kComPortCount ? number : 0;
}

// "COMn" for a port number, written as given (the name of a port index that is not chosen yet
// is "COM0").
[[nodiscard]] inline std::string ComName(int number) {
  return "COM" + std::to_string(number);
}

namespace detail {
struct ComNameText {
  char text[6] = {'C', 'O', 'M'};
  std::size_t size = 0;
};
inline constexpr auto kComNameTexts = [] {
  std::array<ComNameText, kComPortCount> names{};
  for (int n = 1; n <= kComPortCount; ++n) {
    ComNameText& name = names[static_cast<std::size_t>(n - 1)];
    std::size_t size = 3;
    if (n >= 10) name.text[size++] = static_cast<char>('0' + n / 10);
    name.text[size++] = static_cast<char>('0' + n % 10);
    name.size = size;
  }
  return names;
}();
}  // namespace detail

// "COM1" to "COM50", the port selector's entries in index order.
inline constexpr auto kComNames = [] {
  std::array<std::string_view, kComPortCount> names{};
  for (std::size_t i = 0; i < names.size(); ++i) {
    names[i] = std::string_view(detail::kComNameTexts[i].text, detail::kComNameTexts[i].size);
  }
  return names;
}();

}  // namespace veska::link
