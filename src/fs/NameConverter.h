#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "fs/Charset.h"

namespace veska::fs {

// Turns listing names from the system's character set into the UTF-8 the phone stores. On
// Linux the system's character set is the one of the user's locale (LC_CTYPE), so a UTF-8
// locale passes names through unchanged, while a Latin-1 or CP1252 locale has them converted;
// on Windows it is the ANSI code page.
//
// One converter per operation: a conversion carries shift state and is not meant to be shared
// between threads.
class NameConverter {
 public:
  // Converts from the locale's character set, read without touching the process's locale.
  NameConverter();
  // Converts from a named character set ("ISO-8859-1", "CP1252", ...).
  explicit NameConverter(const std::string& fromCharset);
  NameConverter(const NameConverter&) = delete;
  NameConverter& operator=(const NameConverter&) = delete;

  // False when the system knows no conversion from the character set to UTF-8.
  [[nodiscard]] bool Valid() const { return conversion_.Valid(); }
  [[nodiscard]] const std::string& FromCharset() const { return from_; }

  // The UTF-8 form of `name`, or nothing when a byte sequence of it has no UTF-8 form (or is
  // not valid in the source character set).
  [[nodiscard]] std::optional<std::string> ToUtf8(std::string_view name);

  // The character set of the user's file names (see SystemCharset).
  [[nodiscard]] static std::string LocaleCharset() { return SystemCharset(); }

 private:
  std::string from_;
  CharsetConversion conversion_;
};

}  // namespace veska::fs
