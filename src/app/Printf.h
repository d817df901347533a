#pragma once

#include <cstdio>
#include <string>

namespace veska::app {

// printf-style formatting into a string, for the log texts whose formats are fixed ("%5.1f",
// "0x%x", "COM%d").
template <typename... Args>
[[nodiscard]] std::string Printf(const char* format, Args... args) {
  const int size = std::snprintf(nullptr, 0, format, args...);
  if (size <= 0) return {};
  std::string text(static_cast<std::size_t>(size), '\0');
  std::snprintf(text.data(), text.size() + 1, format, args...);
  return text;
}

}  // namespace veska::app
