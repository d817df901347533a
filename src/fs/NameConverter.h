#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veska::fs {

// Turns listing names from the system's character set into the UTF-8 the phone stores. On
// Linux the system's character set is the one of the user's locale (LC_CTYPE), so a UTF-8
// locale passes names through unchanged, while a Latin-1 or CP1252 locale has them converted.
//
// One converter per operation: an iconv descriptor carries shift state and is not meant to be
// shared between threads.
class NameConverter {
 public:
  // Converts from the locale's character set, read without touching the process's locale.
  NameConverter();
  // Converts from a named character set ("ISO-8859-1", "CP1252", ...).
  explicit NameConverter(const std::string& fromCharset);
  ~NameConverter();
  NameConverter(const NameConverter&) = delete;
  NameConverter& operator=(const NameConverter&) = delete;

  // False when iconv knows no conversion from the character set to UTF-8.
  [[nodiscard]] bool Valid() const { return handle_ != kNoHandle; }
  [[nodiscard]] const std::string& FromCharset() const { return from_; }

  // The UTF-8 form of `name`, or nothing when a byte sequence of it has no UTF-8 form (or is
  // not valid in the source character set).
  [[nodiscard]] std::optional<std::string> ToUtf8(std::string_view name);

  // The character set of the user's locale (LC_CTYPE), "ANSI_X3.4-1968" for the C locale.
  [[nodiscard]] static std::string LocaleCharset();

 private:
  using Handle = void*;  // iconv_t, kept out of this header
  static inline const Handle kNoHandle = reinterpret_cast<Handle>(-1);
  std::string from_;
  Handle handle_ = kNoHandle;
};

}  // namespace veska::fs
