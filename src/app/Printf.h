#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

#if defined(__GNUC__)
#define VESKA_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define VESKA_PRINTF_FORMAT
#endif

namespace veska::app {

// printf-style formatting into a string, for the log texts whose formats are fixed ("%5.1f",
// "0x%x", "COM%d"). The compiler checks every call's arguments against its format.
[[nodiscard]] inline std::string Printf(const char* format, ...) VESKA_PRINTF_FORMAT;

inline std::string Printf(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  std::va_list measure;
  va_copy(measure, args);
  const int size = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (size > 0) {
    text.resize(static_cast<std::size_t>(size));
    std::vsnprintf(text.data(), text.size() + 1, format, args);
  }
  va_end(args);
  return text;
}

}  // namespace veska::app

#undef VESKA_PRINTF_FORMAT
